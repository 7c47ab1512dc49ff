// The script language's part of a request.

#include "script/script_context.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

bool ScriptContext::FirstUndefinedRead(const String& name) {
    return warnundefined_ && warnedundefined_.insert(name.upper().chars()).second;
}

PseudoRND& ScriptContext::random() {
    if (!seeded_) {
        // Two requests in the same second must still differ: mix in the
        // microseconds and the process id.
        struct timeval now;
        now = ClockNow();
        random_.R250Seed(static_cast<unsigned long>(now.tv_sec) ^
                         (static_cast<unsigned long>(now.tv_usec) << 11) ^
                         (static_cast<unsigned long>(getpid()) << 3));
        seeded_ = true;
    }
    return random_;
}

String ScriptContext::MakeSessionID() {
    // 128 bits from the system's generator: nothing of the clock or the process in
    // it, so that no id tells another.
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof bytes) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        got = fd >= 0 && read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes)
                  ? sizeof bytes
                  : 0;
        if (fd >= 0) close(fd);
    }
    if (got < sizeof bytes) return String();  // no id rather than a guessable one
    static const char kHex[] = "0123456789ABCDEF";
    char id[33];
    for (size_t i = 0; i < sizeof bytes; i++) {
        id[2 * i] = kHex[bytes[i] >> 4];
        id[2 * i + 1] = kHex[bytes[i] & 15];
    }
    id[32] = '\0';
    return String(id);
}

void ScriptContext::SetLanguage(const String& s) {
    if (!s.empty()) language_ = s;
}

void ScriptContext::SetDefaultLanguage(const String& s) {
    if (!s.empty()) defaultlanguage_ = s;
}
