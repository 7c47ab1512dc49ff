// kelp: the CGI program. One process serves one request; started with a listening
// socket on descriptor 0 (a web server's FastCGI start) or with --fastcgi ADDRESS, it
// serves request after request over FastCGI instead.

#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "host/cgi_kelp.h"
#include "host/fastcgi_server.h"

namespace {

// Server safe mode runs each page as its owner: a process serving many owners' pages
// cannot. True (after saying so) when this is a set-user-id kelp, or a set-user-id
// root kelp that root started (which would run each page as its owner).
bool RefuseServerSafeMode(const char* program) {
    if (geteuid() == getuid() && !CGIKelp::RunningSetUIDRoot(program)) return false;
    fprintf(stderr,
            "kelp: a set-user-id kelp (server safe mode) does not serve FastCGI: run it "
            "as a CGI program\n");
    return true;
}

int FastCGI(int listener, char** argv) {
    char* program[] = {argv[0], nullptr};
    return ServeFastCGI(listener, 1, program);
}

}  // namespace

int main(int argc, char** argv) {
    // A write past the file-size limit (a full quota) fails with its error, which the
    // page reports, instead of killing the request half way.
    signal(SIGXFSZ, SIG_IGN);
    if (argc == 3 && strcmp(argv[1], "--fastcgi") == 0) {
        if (RefuseServerSafeMode(argv[0])) return 1;
        std::string error;
        int listener = ListenOn(argv[2], &error);
        if (listener < 0) {
            fprintf(stderr, "kelp: cannot listen on %s: %s\n", argv[2], error.c_str());
            return 1;
        }
        return FastCGI(listener, argv);
    }
    if (StartedAsFastCGI()) return RefuseServerSafeMode(argv[0]) ? 1 : FastCGI(0, argv);
    CGIKelp host(argc, argv);
    return host.Go();
}
