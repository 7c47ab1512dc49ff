// Activity log lines.

#include "host/activity_log.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include "foundation/time_helpers.h"

ActivityLog::~ActivityLog() {
    if (fd_ >= 0) close(fd_);
}

bool ActivityLog::Open(const String& path, const String& script) {
    fd_ = open(path.chars(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    script_ = script;
    return fd_ >= 0;
}

namespace {

// A field as the log shows it: CR, LF and "|" (which would split or forge an entry)
// and "%" itself as %XX.
String Field(const String& text) {
    String out;
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (c == '\r' || c == '\n' || c == '|' || c == '%') {
            static const char kHex[] = "0123456789ABCDEF";
            out.cat('%');
            out.cat(kHex[(c >> 4) & 0xF]);
            out.cat(kHex[c & 0xF]);
        } else {
            out.cat(c);
        }
    }
    return out;
}

}  // namespace

String ActivityLog::StandardErrorLine(const String& text) {
    String out("kelp: ");
    for (int i = 0; i < text.length(); i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '<' && text.at(i, i + 4) == "<BR>") {
            out += "; ";
            i += 3;
            while (text[i + 1] == '\r' || text[i + 1] == '\n') i++;
        } else if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out.cat(kHex[c >> 4]);
            out.cat(kHex[c & 0xF]);
        } else {
            out.cat(static_cast<char>(c));
        }
    }
    out += "\n";
    return out;
}

void ActivityLog::ToStandardError(const String& text) {
    String line = StandardErrorLine(text);
    ssize_t written = write(2, line.chars(), static_cast<size_t>(line.length()));
    (void)written;  // nobody to tell
}

String ActivityLog::FormatLine(const String& time, long pid, long uid, long gid, int level,
                               const char* kind, const String& script, const String& info) {
    String line = time;
    line += "|";
    line.catint(pid);
    line += "|";
    line.catint(uid);
    line += "|";
    line.catint(gid);
    line += "|3.7833|";
    line.catint(level);
    line += String("|") + Field(kind) + "|" + Field(script) + "|" + Field(info);
    line += "\n";
    return line;
}

void ActivityLog::Write(int level, const char* kind, const String& info) {
    if (fd_ < 0 || level > level_) return;
    time_t now = ClockSeconds();
    struct tm local;
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    String line = FormatLine(stamp, getpid(), getuid(), getgid(), level, kind, script_, info);
    ssize_t written = write(fd_, line.chars(), static_cast<size_t>(line.length()));
    (void)written;  // a full disk must not stop the page
}
