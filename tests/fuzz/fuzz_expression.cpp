// Arbitrary text as an expression: read, evaluated, and read again from a tag.

#include <time.h>

#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    static FuzzKelp* engine = new FuzzKelp(ScratchDirectory());
    static MacroExpander* source = [] {
        MacroExpander* s = new MacroExpander(engine, 256);
        uint8_t empty = 0;
        s->Open(WriteScratch("empty.kp", &empty, 0), "empty.kp");
        return s;
    }();
    engine->SetDeadline(time(nullptr) + 1);
    ScriptParser parser(engine, source, engine->output());
    String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    String result;
    parser.Evaluate(text, &result);
    return 0;
}
