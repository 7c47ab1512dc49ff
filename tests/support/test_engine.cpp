// TestKelp and TempDir.

#include "tests/support/test_engine.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int TestKelp::StartHeaders(int status) {
    status_ = status;
    String line("Status: ");
    line.catint(status);
    line += "\r\n";
    out_.Write(line);
    return 1;
}

int TestKelp::EndHeaders() {
    out_.Write("\r\n", 2);
    return 1;
}

const String& TestKelp::page() {
    out_.Flush();
    return out_.data();
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    String pattern(base && *base ? base : "/tmp");
    pattern += "/kelp-test-XXXXXX";
    char* buffer = strdup(pattern.chars());
    if (mkdtemp(buffer) == nullptr) abort();
    path_ = buffer;
    free(buffer);
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

}  // namespace

TempDir::~TempDir() {
    nftw(path_.chars(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

String TempDir::File(const char* name) const {
    return path_ + "/" + name;
}

String TempDir::Write(const char* name, const char* content, int n) const {
    String path = File(name);
    FILE* f = fopen(path.chars(), "wb");
    if (f == nullptr) abort();
    size_t len = n < 0 ? strlen(content) : static_cast<size_t>(n);
    fwrite(content, 1, len, f);
    fclose(f);
    return path;
}
