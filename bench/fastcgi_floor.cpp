// The floor for any FastCGI responder behind a web server: started with the listening
// socket on descriptor 0, it answers every request with a fixed header block and page,
// from as many processes as its argument says (4 by default), each taking connections
// in turn. It reads each request whole with the responder's own record layer and does
// nothing else, so what a page costs above it is the page's own. The answer is a hello
// page, or the bytes of the file FLOOR_ANSWER names (a header block and a page, as a
// responder writes them): the floor for a page that answers with those bytes.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "host/fastcgi.h"

namespace {

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string g_answer = "Content-type: text/html\r\n\r\nHello, world!\n";

// The whole of the file at path in *bytes; false when it cannot be read.
bool ReadFile(const char* path, std::string* bytes) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bytes->clear();
    char block[16384];
    ssize_t n;
    while ((n = read(fd, block, sizeof block)) > 0) bytes->append(block, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

// Serves one connection until the peer closes it or a request does not keep it.
void Serve(int fd) {
    fastcgi::RecordReader reader;
    fastcgi::RequestAssembler requests{fastcgi::Limits()};
    char block[16384];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0) return;
        reader.Feed(block, static_cast<size_t>(n));
        fastcgi::Record record;
        int got;
        while ((got = reader.Next(&record)) == 1) {
            fastcgi::RequestAssembler::State state = requests.Take(record);
            if (state == fastcgi::RequestAssembler::kBroken) return;
            if (state != fastcgi::RequestAssembler::kComplete) continue;
            std::string out;
            fastcgi::AppendRecord(&out, fastcgi::kStdout, requests.requestid(), g_answer.data(),
                                  g_answer.size());
            fastcgi::AppendRecord(&out, fastcgi::kStdout, requests.requestid(), nullptr, 0);
            fastcgi::AppendEndRequest(&out, requests.requestid(), 0, fastcgi::kRequestComplete);
            bool keep = requests.keepconnection();
            requests.Reset();
            if (!WriteAll(fd, out) || !keep) return;
        }
        if (got < 0) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int processes = argc > 1 ? atoi(argv[1]) : 4;
    const char* answer = getenv("FLOOR_ANSWER");
    if (answer != nullptr && !ReadFile(answer, &g_answer)) return 1;
    signal(SIGPIPE, SIG_IGN);
    for (int i = 1; i < processes; i++) {
        if (fork() == 0) {
            // Ends with the process the web server started (and stops).
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() == 1) return 0;
            break;
        }
    }
    for (;;) {
        int fd = accept(0, nullptr, nullptr);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0) return 1;
        Serve(fd);
        close(fd);
    }
}
