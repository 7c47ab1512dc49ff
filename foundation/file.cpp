// FileManager's path helpers.

#include "foundation/file.h"

#include <errno.h>
#include <fcntl.h>
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

String FileManager::StripDirectory(const String& path) {
    int slash = LastIndex(path, '/');
    return slash < 0 ? path : path.after(slash);
}

String FileManager::WorkingDirectory() {
    char buffer[4096];
    return getcwd(buffer, sizeof buffer) ? String(buffer) : String("/");
}

bool FileManager::ReadTextFile(const String& path, String* text) {
    int fd = open(path.chars(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[8192];
    text->clear();
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) break;
        text->cat(buffer, static_cast<int>(n));
    }
    close(fd);
    return true;
}
