// FileManager's path helpers.

#include "foundation/file.h"

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
