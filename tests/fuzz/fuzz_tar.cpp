// Arbitrary bytes as a package archive: listed, and extracted into the scratch
// directory, which nothing may leave.

#include "host/package.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    ClearScratch();
    String archive = WriteScratch("a.tar", data, size);
    FuzzKelp engine(ScratchDirectory());
    Tar tar(&engine);
    if (tar.Open(archive, "a.tar")) {
        int steps = 0;
        for (int n = tar.First(); n != 0 && tar.type() != TarEnd && steps < 10000; n = tar.Next())
            steps++;
    }
    String out = ScratchDirectory() + "/out";
    engine.filemanager()->MakeDirectory(out);
    String error;
    ExtractArchive(&engine, archive, "a.tar", out, &error);
    return 0;
}
