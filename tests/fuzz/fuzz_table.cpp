// Arbitrary bytes as a dBase table and its memo file (the input split at its first
// 0x1A 0x1A 0x1A 0x1A, if any): opened, every record read with its memo texts.

#include "data/xbase_table.h"
#include "foundation/file.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t split = input.find("\x1a\x1a\x1a\x1a");
    std::string table = split == std::string::npos ? input : input.substr(0, split);
    std::string memo = split == std::string::npos ? std::string() : input.substr(split + 4);
    String path =
        WriteScratch("t.dbf", reinterpret_cast<const uint8_t*>(table.data()), table.size());
    WriteScratch("t.dbt", reinterpret_cast<const uint8_t*>(memo.data()), memo.size());
    FuzzKelp engine(ScratchDirectory());
    XBaseTable t(engine.filemanager());
    if (!t.Open(path, "t.dbf", FileRead)) return 0;
    long n = t.numrecords();
    for (long r = 1; r <= n && r <= 2000; r++) {
        if (!t.Goto(r)) break;
        for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
            const char* value = f->data();
            if (value != nullptr) (void)strlen(value);
        }
    }
    return 0;
}
