#include "tests/fuzz/fuzz_support.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

const String& ScratchDirectory() {
    static String directory = [] {
        char templ[] = "/tmp/kelp-fuzz-XXXXXX";
        char* d = mkdtemp(templ);
        return String(d != nullptr ? d : "/tmp/kelp-fuzz");
    }();
    return directory;
}

namespace {

void RemoveBelow(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return;
    while (struct dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string full = path + "/" + name;
        struct stat st;
        if (lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            RemoveBelow(full);
            rmdir(full.c_str());
        } else {
            unlink(full.c_str());
        }
    }
    closedir(dir);
}

}  // namespace

void ClearScratch() {
    RemoveBelow(ScratchDirectory().chars());
}

String WriteScratch(const char* name, const uint8_t* data, size_t size) {
    String path = ScratchDirectory() + "/" + name;
    FILE* f = fopen(path.chars(), "wb");
    if (f != nullptr) {
        if (size > 0) fwrite(data, 1, size, f);
        fclose(f);
    }
    return path;
}
