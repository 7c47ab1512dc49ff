// nph-tally: the page-access counter. A non-parsed-header CGI program that adds to
// the hit count of one page key, kept in a text file, and answers with a GIF picture
// of the count composed of one digit picture per position.
//
// Count file: the number of entries N, then one line per entry, "NAME\tCOUNT":
//   2\n
//   index.html\t17\n
//   about:me\t3\n
// Requests serialise on an exclusive record lock of the lock file, taken once the
// arguments are read and held to the response; a ten-second alarm ends a request
// that takes too long (a slow client included). The lock file and the error log must
// be regular files of the running user: a link (symbolic or hard) planted at either
// path is refused, never followed. At most kMaxKeys keys are counted; a new key beyond them is
// refused. The count file is rewritten through a new file that is synced and renamed over it.

#include <errno.h>
#include <fcntl.h>
#include <gd.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "counter/gd_picture.h"

#ifndef TALLY_COUNT_FILE
#define TALLY_COUNT_FILE "/www/Hitwell1.2/count_file"
#endif
#ifndef TALLY_DIGIT_DIR
#define TALLY_DIGIT_DIR "/www/images/"
#endif
#ifndef TALLY_LOCK_FILE
#define TALLY_LOCK_FILE "/tmp/nph-tally.lock"
#endif
#ifndef TALLY_ERROR_LOG
#define TALLY_ERROR_LOG "/tmp/nph-tally.errors"
#endif

namespace {

const int kMaxPairs = 32;
const size_t kMaxKeys = 10000;
const int kMaxLink = 64;
const int kMaxWidth = 10;
const int kDigitWidth = 15;
const int kDigitHeight = 20;

struct Request {
    int width = 0;
    std::string link;
    int count = 0;
    int increase = 1;
    bool show = true;
};

struct Entry {
    std::string name;
    int count;
};

bool debug = false;
int lockfd = -1;

// Opens path (created when missing) if it is a regular file of the running user, no
// symbolic link and its only name (a hard link would lead writes to another file of
// the user's); -1 otherwise.
int OpenOwnFile(const char* path, int flags) {
    int fd = open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

void Log(const char* message) {
    int fd = OpenOwnFile(TALLY_ERROR_LOG, O_WRONLY | O_APPEND);
    if (fd < 0) return;  // nowhere safe to complain: the message is dropped
    FILE* f = fdopen(fd, "a");
    if (f == nullptr) {
        close(fd);
        return;
    }
    time_t now = time(nullptr);
    char stamp[64];
    struct tm local;
    localtime_r(&now, &local);
    asctime_r(&local, stamp);
    stamp[strcspn(stamp, "\n")] = '\0';
    fprintf(f, "[%s] nph-tally: %s\n", stamp, message);
    fclose(f);
}

void ReleaseLock() {
    if (lockfd < 0) return;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fcntl(lockfd, F_SETLK, &fl);
    close(lockfd);
    lockfd = -1;
}

// Writes the failure response and ends the request. The status line is followed by
// the blank line that ends the header block: without it a web server that reads the
// program's headers (rather than passing them through) cannot see where they end
// and answers 200 OK with the line as the page.
[[noreturn]] void Fail(const char* reason) {
    ReleaseLock();
    printf("HTTP/1.0 500 %s\n\n", reason);
    fflush(stdout);
    exit(1);
}

void OnAlarm(int) {
    Log("nph-tally alarm activated, releasing lock; exiting");
    ReleaseLock();
    _exit(0);
}

void ArmAlarm() {
    alarm(10);
}

void TakeLock() {
    // Never truncated: the lock file holds nothing, and a file that is not ours must
    // not lose its content.
    lockfd = OpenOwnFile(TALLY_LOCK_FILE, O_WRONLY);
    if (lockfd < 0) {
        Log("the lock file is not a regular file of this user");
        Fail("Lock problem");
    }
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    while (fcntl(lockfd, F_SETLKW, &fl) < 0) {
        if (errno != EINTR) Fail("Lock problem");
    }
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "+" becomes a blank, %XX its byte; then the pair splits at the first "=".
void DecodePair(const std::string& raw, std::vector<std::pair<std::string, std::string>>* pairs) {
    if (static_cast<int>(pairs->size()) >= kMaxPairs) return;  // further pairs are ignored
    std::string text;
    for (size_t i = 0; i < raw.size(); i++) {
        char c = raw[i];
        if (c == '+') {
            text += ' ';
        } else if (c == '%' && i + 2 < raw.size() && Hex(raw[i + 1]) >= 0 && Hex(raw[i + 2]) >= 0) {
            text += static_cast<char>(Hex(raw[i + 1]) * 16 + Hex(raw[i + 2]));
            i += 2;
        } else {
            text += c;
        }
    }
    size_t eq = text.find('=');
    if (eq == std::string::npos) {
        pairs->emplace_back(text, "");
    } else {
        pairs->emplace_back(text.substr(0, eq), text.substr(eq + 1));
    }
}

std::vector<std::pair<std::string, std::string>> ReadArguments() {
    std::vector<std::pair<std::string, std::string>> pairs;
    const char* method = getenv("REQUEST_METHOD");
    if (method != nullptr && strcmp(method, "POST") == 0) {
        const char* length = getenv("CONTENT_LENGTH");
        long remaining = length ? strtol(length, nullptr, 10) : 0;
        std::string pair;
        while (remaining > 0) {
            int c = getchar();
            if (c == EOF) break;
            remaining--;
            if (c == '&') {
                DecodePair(pair, &pairs);
                pair.clear();
            } else {
                pair += static_cast<char>(c);
            }
        }
        if (!pair.empty() || pairs.empty()) DecodePair(pair, &pairs);
        return pairs;
    }
    const char* query = getenv("QUERY_STRING");
    std::string text = query ? query : "";
    size_t start = 0;
    for (;;) {
        size_t amp = text.find('&', start);
        DecodePair(text.substr(start, amp == std::string::npos ? std::string::npos : amp - start),
                   &pairs);
        if (amp == std::string::npos) break;
        start = amp + 1;
    }
    return pairs;
}

// A decimal integer clamped to the int range (non-numeric text gives 0).
int Integer(const std::string& text) {
    long v = strtol(text.c_str(), nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < -INT_MAX) return -INT_MAX;
    return static_cast<int>(v);
}

Request ParseRequest(const std::vector<std::pair<std::string, std::string>>& pairs) {
    Request r;
    for (const auto& p : pairs) {
        if (p.first == "width") {
            r.width = abs(Integer(p.second));
        } else if (p.first == "link") {
            std::string link = p.second.substr(0, kMaxLink);
            for (char& c : link) {
                bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                            (c >= '0' && c <= '9') || c == ':' || c == '.' || c == '/';
                if (!keep) c = '_';
            }
            r.link = link;
        } else if (p.first == "increase") {
            r.increase = Integer(p.second);
        } else if (p.first == "show") {
            r.show = p.second != "NO";
        } else if (p.first == "debug") {
            debug = p.second == "ON";
        }
    }
    return r;
}

// The entries present in the count file. The first line announces their number, but
// only the lines actually there count: a damaged first line cannot make the program
// reserve or read what the file does not hold.
std::vector<Entry> ReadCountFile() {
    std::vector<Entry> entries;
    FILE* f = fopen(TALLY_COUNT_FILE, "r");
    if (f == nullptr) return entries;
    char line[512];
    if (fgets(line, sizeof line, f) != nullptr) {
        while (fgets(line, sizeof line, f) != nullptr) {
            line[strcspn(line, "\n")] = '\0';
            char* tab = strchr(line, '\t');
            int count = 0;
            if (tab != nullptr) {
                *tab = '\0';
                count = Integer(tab + 1);
            }
            if (line[0] == '\0') {
                Log("error detected in count_file; removing line");
                continue;
            }
            entries.push_back(Entry{std::string(line).substr(0, 255), count});
        }
    }
    fclose(f);
    return entries;
}

// Syncs the directory holding path, so that a rename in it survives a power cut.
bool SyncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// Writes the new contents beside the count file, syncs them and renames them over
// it, so that neither a crash, a full disk nor a power cut leaves a half-written or
// empty file behind. The new file is made afresh (a link planted at its name is
// removed, not followed); the lock keeps other requests away from it.
bool WriteCountFile(const std::vector<Entry>& entries) {
    std::string temporary = std::string(TALLY_COUNT_FILE) + ".new";
    unlink(temporary.c_str());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    FILE* f = fdopen(fd, "w");
    if (f == nullptr) {
        close(fd);
        unlink(temporary.c_str());
        return false;
    }
    fprintf(f, "%d\n", static_cast<int>(entries.size()));
    for (const Entry& e : entries) fprintf(f, "%s\t%d\n", e.name.c_str(), e.count);
    bool ok = fflush(f) == 0 && fsync(fileno(f)) == 0;
    ok = fclose(f) == 0 && ok;
    if (!ok || rename(temporary.c_str(), TALLY_COUNT_FILE) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    return SyncDirectoryOf(TALLY_COUNT_FILE);
}

bool UpdateCount(Request* r) {
    alarm(0);
    std::vector<Entry> entries = ReadCountFile();
    Entry* entry = nullptr;
    for (Entry& e : entries) {
        if (e.name == r->link) {
            entry = &e;
            break;
        }
    }
    if (entry != nullptr) {
        long sum = static_cast<long>(entry->count) + r->increase;
        entry->count = sum < 0 ? 0 : (sum > INT_MAX ? INT_MAX : static_cast<int>(sum));
    } else {
        // Any visitor can name a new key: without a bound every request would pay for
        // the keys of all before it.
        if (entries.size() >= kMaxKeys) {
            Log("the count file holds the most keys allowed; new key refused");
            return false;
        }
        entries.push_back(Entry{r->link, r->increase < 0 ? 0 : r->increase});
        entry = &entries.back();
    }
    r->count = entry->count;
    if (!WriteCountFile(entries)) {
        Log("problem opening admin file for writing");
        return false;
    }
    ArmAlarm();
    return true;
}

gdImagePtr LoadDigit(char c) {
    std::string path = std::string(TALLY_DIGIT_DIR) + c + ".gd";
    char message[64];
    if (access(path.c_str(), R_OK) != 0) {
        snprintf(message, sizeof message, "could not open digit file %c.gd", c);
        Log(message);
        return nullptr;
    }
    gdImagePtr digit = ReadGdPictureFile(path.c_str());
    if (digit == nullptr) {
        snprintf(message, sizeof message, "%c.gd digit file doesn't contain a gd-image", c);
        Log(message);
    }
    return digit;
}

gdImagePtr BuildImage(Request* r) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", r->count);
    int n = static_cast<int>(strlen(digits));
    if (r->width > kMaxWidth) r->width = kMaxWidth;
    if (r->width < n) r->width = n;
    if (!r->show) {
        gdImagePtr im = gdImageCreate(1, 1);
        int black = gdImageColorAllocate(im, 0, 0, 0);
        gdImageSetPixel(im, 0, 0, black);
        gdImageColorTransparent(im, black);
        return im;
    }
    gdImagePtr im = gdImageCreate(r->width * kDigitWidth, kDigitHeight);
    if (im == nullptr) {
        Log("unable to create new counter image");
        return nullptr;
    }
    int position = 0;
    gdImagePtr zero = LoadDigit('0');
    if (zero == nullptr) {
        gdImageDestroy(im);
        return nullptr;
    }
    for (; position < r->width - n; position++) {
        gdImageCopy(im, zero, position * kDigitWidth, 0, 0, 0, kDigitWidth, kDigitHeight);
    }
    gdImageDestroy(zero);
    for (int i = 0; i < n; i++, position++) {
        gdImagePtr digit = LoadDigit(digits[i]);
        if (digit == nullptr) {
            gdImageDestroy(im);
            return nullptr;
        }
        gdImageCopy(im, digit, position * kDigitWidth, 0, 0, 0, kDigitWidth, kDigitHeight);
        gdImageDestroy(digit);
    }
    return im;
}

void DebugPage(const Request& r) {
    printf("HTTP/1.0 200 OK\n");
    printf("Content-type: text/html\n\n");
    printf("<TITLE>Hitwell</TITLE>\n");
    printf("<H2>Hitwell Debugging</H2><HR>\n");
    printf("<H3>Received input arguments:</H3><UL>");
    if (r.width != 0) printf("<LI> <B>width</B> = %d", r.width);
    if (!r.link.empty()) printf("<LI> <B>link</B> = %s", r.link.c_str());
    if (r.increase != 1) printf("<LI> <B>increase</B> = %d", r.increase);
    if (!r.show) printf("<LI> <B>show</B> = NO");
    printf("</UL><HR>");
    int problems = 0;
    printf("<H3>Checking necessary files:</H3><UL>");
    printf("<LI>Administration file: <I>%s</I><BR>", TALLY_COUNT_FILE);
    FILE* f = fopen(TALLY_COUNT_FILE, "a+");
    if (f != nullptr) {
        fclose(f);
        printf("File opened for reading and writing.<BR>");
    } else {
        printf("File could <B>NOT</B> be opened for reading and writing.<BR>");
        printf("<B>WARNING: Check the filename and permissions</B>");
        problems++;
    }
    printf("<LI>Image directory: <I>%s</I><BR>", TALLY_DIGIT_DIR);
    std::string zero = std::string(TALLY_DIGIT_DIR) + "0.gd";
    f = fopen(zero.c_str(), "r");
    if (f != nullptr) {
        fclose(f);
        printf("Image files located and reading is possible<BR>");
    } else {
        printf("Problems opening image files<BR>");
        printf("<B>WARNING: Check the directory-name and permissions</B>");
        problems++;
    }
    printf(problems == 0 ? "</UL><B>Looking good !!</B><HR>\n" : "</UL><HR>\n");
    printf("<H3>Output test:</H3>");
    printf(problems == 0
               ? "The counter image should appear below:<P>"
               : "Errors were detected. Most probably the broken image will appear below:<P>");
    printf("<IMG SRC=\"/cgi-bin/nph-tally?width=%d&link=%s&increase=%d\">", r.width, r.link.c_str(),
           r.increase);
    fflush(stdout);
}

}  // namespace

int main() {
    signal(SIGALRM, OnAlarm);
    // A count file that cannot grow is a failed update (reported), not a killed process.
    signal(SIGXFSZ, SIG_IGN);
    ArmAlarm();
    // The arguments first: a slow client sending its body holds up nobody else.
    Request r = ParseRequest(ReadArguments());
    if (r.link.empty()) {
        Log("program called with bad arguments");
        Fail("Bad arguments");
    }
    TakeLock();
    if (debug) {
        DebugPage(r);
        ReleaseLock();
        return 0;
    }
    if (!UpdateCount(&r)) Fail("Internal error image counter");
    gdImagePtr im = BuildImage(&r);
    if (im == nullptr) Fail("Internal error image counter");
    int size = 0;
    void* gif = gdImageGifPtr(im, &size);
    if (gif == nullptr) Fail("Internal error image counter");
    // Every hit must reach the counter: browsers and proxies keep no copy.
    printf("HTTP/1.0 200 OK\n");
    printf("Content-type: image/gif\n");
    printf("Cache-Control: no-store, no-cache, must-revalidate\n");
    printf("Pragma: no-cache\n");
    printf("Expires: Thu, 01 Jan 1970 00:00:00 GMT\n\n");
    fwrite(gif, 1, size, stdout);
    fflush(stdout);
    gdFree(gif);
    gdImageDestroy(im);
    ReleaseLock();
    return 0;
}
