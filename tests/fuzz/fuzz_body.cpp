// Arbitrary request bodies: URL-encoded, and multipart with a boundary taken from
// the input's first line.

#include "host/request_input.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20 || size < 1) return 0;
    ClearScratch();
    std::string input(reinterpret_cast<const char*>(data), size);
    {
        FuzzKelp engine(ScratchDirectory());
        engine.body = input.substr(1);
        URLEncodedParser parser(&engine);
        parser.Parse(static_cast<long>(engine.body.size()));
    }
    size_t line = input.find('\n');
    if (line == std::string::npos) return 0;
    FuzzKelp engine(ScratchDirectory());
    engine.contenttype = String(("multipart/form-data; boundary=" + input.substr(0, line)).c_str());
    engine.body = input.substr(line + 1);
    MultipartFormDataParser parser(&engine, engine.contenttype);
    // A length that differs from the body is part of what a visitor may send.
    long length = static_cast<long>(engine.body.size()) + (data[0] % 3) - 1;
    parser.Parse(length < 0 ? 0 : length);
    return 0;
}
