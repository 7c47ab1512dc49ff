// Arbitrary flat files imported through a page (delimiter and field count from the
// first two bytes), and records split and built back.

#include <time.h>

#include "data/flat_file.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 18 || size < 2 || data[0] == 0) return 0;
    String delimiter(reinterpret_cast<const char*>(data), 1 + data[0] % 2);
    int count = data[1] % 6;
    String line(reinterpret_cast<const char*>(data + 2), static_cast<int>(size - 2));
    std::vector<String> fields = FlatFile::SplitRecord(line, delimiter, count);
    String built = FlatFile::BuildRecord(fields, delimiter);
    // A record built from values splits back into the same values.
    // (A delimiter starting with "n" or "r" cannot be escaped: "\n" is a line feed.)
    if (!delimiter.contains('\\') && !delimiter.contains('\n') && !delimiter.contains('\r') &&
        delimiter[0] != 'n' && delimiter[0] != 'r' && count > 0) {
        std::vector<String> again = FlatFile::SplitRecord(
            built.before(built.length() - 1), delimiter, static_cast<int>(fields.size()));
        if (again.size() != fields.size()) __builtin_trap();
        for (size_t i = 0; i < fields.size(); i++) {
            if (again[i] != fields[i]) __builtin_trap();
        }
    }
    FuzzKelp engine(ScratchDirectory());
    WriteScratch("data.txt", data + 2, size - 2);
    const char page[] =
        "<KpIMPORT FILE=\"data.txt\" FIELDS=\"a,b,c\" DELIMITER=\",\" FILTER=b NE "
        "\"x\">&[a]&[b]&[c]"
        "</KpIMPORT>";
    String path =
        WriteScratch("import.kp", reinterpret_cast<const uint8_t*>(page), sizeof page - 1);
    MacroExpander source(&engine, 4096);
    if (!source.Open(path, "import.kp")) return 0;
    engine.SetDeadline(time(nullptr) + 1);
    ScriptParser parser(&engine, &source, engine.output());
    parser.Parse();
    return 0;
}
