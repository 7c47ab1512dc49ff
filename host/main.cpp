// kelp: the CGI program. One process serves one request.

#include "host/cgi_kelp.h"

int main(int argc, char** argv) {
    CGIKelp host(argc, argv);
    return host.Go();
}
