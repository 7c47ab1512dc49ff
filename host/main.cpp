// kelp: the CGI program. One process serves one request.

#include <signal.h>

#include "host/cgi_kelp.h"

int main(int argc, char** argv) {
    // A write past the file-size limit (a full quota) fails with its error, which the
    // page reports, instead of killing the request half way.
    signal(SIGXFSZ, SIG_IGN);
    CGIKelp host(argc, argv);
    return host.Go();
}
