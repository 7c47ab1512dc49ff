// Arbitrary bytes as an index file: opened, walked in key order, and searched.

#include "data/index_file.h"
#include "foundation/file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    String path = WriteScratch("t.kpx", data, size);
    FuzzKelp engine(ScratchDirectory());
    BrnIndexFile index(engine.filemanager());
    if (!index.Open(path, "t.kpx", FileRead)) return 0;
    long recno;
    int steps = 0;
    for (bool ok = index._First(&recno); ok && steps < 100000; ok = index._Next(&recno)) steps++;
    index._Find(size > 8 ? String(reinterpret_cast<const char*>(data), 8) : String("a"), false,
                &recno);
    index._Find("m", true, &recno);
    return 0;
}
