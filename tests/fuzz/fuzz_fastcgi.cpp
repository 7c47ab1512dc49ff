// Arbitrary bytes as what a web server sent on a FastCGI connection, in pieces of a
// size the first byte chooses: records are taken and put together into requests,
// which never keep more than their limits, and the reader never holds more than one
// record and one piece. Then the bytes as name-value pairs: whatever reads, written
// again, reads the same.

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "host/fastcgi.h"

using namespace fastcgi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* bytes = reinterpret_cast<const char*>(data);
    size_t piece = 1 + data[0] % 64;
    Limits limits;
    limits.maxparamsbytes = 4096;
    limits.maxcontentlength = 4096;
    RequestAssembler a(limits);
    RecordReader reader;
    Record r;
    for (size_t at = 1; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        reader.Feed(bytes + at, n);
        int got;
        while ((got = reader.Next(&r)) == 1) {
            RequestAssembler::State s = a.Take(r);
            size_t kept = 0;
            for (const auto& p : a.params()) kept += p.first.size() + p.second.size();
            if (kept > limits.maxparamsbytes || a.body().size() > limits.maxcontentlength) abort();
            if (s == RequestAssembler::kBroken) return 0;
            if (s == RequestAssembler::kComplete || s == RequestAssembler::kAborted) a.Reset();
            a.replies().clear();  // sent
        }
        if (got < 0) return 0;
        if (reader.pending() > kHeaderLength + kMaxContent + 255 + piece) abort();
    }

    std::string raw(bytes, size);
    std::vector<std::pair<std::string, std::string>> pairs, again;
    if (ReadNameValuePairs(raw, &pairs)) {
        std::string written;
        for (const auto& p : pairs) AppendNameValuePair(&written, p.first, p.second);
        if (!ReadNameValuePairs(written, &again) || again != pairs) abort();
    }
    return 0;
}
