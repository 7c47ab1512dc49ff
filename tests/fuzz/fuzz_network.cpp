// Arbitrary server output: an HTTP response walked element by element, and a POP3
// dialogue (greeting, login, list, every message retrieved into a file).

#include "net/call.h"
#include "net/mail.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    ClearScratch();
    FuzzKelp engine(ScratchDirectory());
    {
        Call call(&engine);
        if (call.Receive(new MemoryConnection(&engine, data, size), "http://fuzz/")) {
            int steps = 0;
            while (call.FindNextElement() == CallElementFound && steps++ < 100000) {
            }
        }
    }
    POP3 pop(1, 1 << 20);
    if (pop.Connect(new MemoryConnection(&engine, data, size)) != ResponseDone) return 0;
    if (pop.Login("user", "password") != ResponseDone) return 0;
    if (pop.BuildMessageList() != ResponseDone) return 0;
    String prefix = ScratchDirectory() + "/KELP_POP";
    int steps = 0;
    while (pop.GetNextMessage(&engine, prefix) == 1 && steps++ < 1000) {
        if (pop.current() != nullptr) (void)pop.current()->headers("Subject");
    }
    pop.Quit();
    return 0;
}
