// FileManager's path helpers.

#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int LastIndex(const String& s, char c) {
    for (int i = s.length() - 1; i >= 0; i--) {
        if (s[i] == c) return i;
    }
    return -1;
}

}  // namespace

String FileManager::StripExtension(const String& path) {
    int dot = LastIndex(path, '.');
    int slash = LastIndex(path, '/');
    if (dot < 0 || dot <= slash + 1) return path;  // no extension, or a leading-dot name
    return path.before(dot);
}

String FileManager::Extension(const String& path) {
    String file = StripDirectory(path);
    int dot = LastIndex(file, '.');
    return dot < 0 ? String() : file.from(dot + 1);
}

String FileManager::StripDirectory(const String& path) {
    int slash = LastIndex(path, '/');
    return slash < 0 ? path : path.after(slash);
}

// Buffers of a page or more live on the heap, whose memory is used again, rather than
// on the stack, where they would make fresh pages present for one call.

namespace {
String* g_keptdirectory = nullptr;
}  // namespace

void FileManager::KeepWorkingDirectory() {
    delete g_keptdirectory;
    g_keptdirectory = nullptr;
    g_keptdirectory = new String(WorkingDirectory());
}

String FileManager::WorkingDirectory() {
    if (g_keptdirectory != nullptr) return *g_keptdirectory;
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return String("/");
    String here(cwd);
    free(cwd);
    return here;
}

String FileManager::MachineName() {
    char name[256];
    if (gethostname(name, sizeof name) < 0) return String("localhost");
    name[sizeof name - 1] = '\0';
    return String(name);
}

bool FileManager::ReadTextFile(const String& path, String* text) {
    int fd = open(path.chars(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const size_t kBuffer = 4096;
    char* buffer = static_cast<char*>(malloc(kBuffer));
    bool complete = buffer != nullptr;
    text->clear();
    while (complete) {
        ssize_t n = read(fd, buffer, kBuffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            complete = n == 0;
            break;
        }
        text->cat(buffer, static_cast<int>(n));
    }
    free(buffer);
    close(fd);
    return complete;
}
