// Arbitrary page text through the tag scanner and the interpreter. A budget of the
// interpreter's time checks ends loops; files stay in the scratch directory.

#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    ClearScratch();
    FuzzKelp engine(ScratchDirectory());
    String path = WriteScratch("fuzz.kp", data, size);
    MacroExpander source(&engine, 4096);
    if (!source.Open(path, "fuzz.kp")) return 0;
    engine.SetStepBudget(20000);
    ScriptParser parser(&engine, &source, engine.output());
    parser.Parse();
    return 0;
}
