// Serving pages over FastCGI from one process: a listening socket (descriptor 0 when a
// web server starts the program the FastCGI way, or one bound to an address given on
// the command line), its connections taken one at a time, and each request run as a
// CGI request is, in a fresh engine: its parameters are the environment while it runs,
// its STDIN is the body, and its output goes back as STDOUT records.

#ifndef HOST_FASTCGI_SERVER_H_
#define HOST_FASTCGI_SERVER_H_

#include <string>

// Whether descriptor 0 is a listening socket.
bool StartedAsFastCGI();
// A listening socket for address: a path (a unix socket) or HOST:PORT (an IPv4
// address); -1 with *error when it cannot be made.
int ListenOn(const std::string& address, std::string* error);
// Serves the connections of listener with fastcgiworkers worker processes (one per
// core by default), each replaced when it ends, and after fastcgirequests requests,
// until SIGTERM or SIGINT stops them all; argc and argv are the program's (its
// configuration file is found from argv[0] as in CGI).
int ServeFastCGI(int listener, int argc, char** argv);

#endif  // HOST_FASTCGI_SERVER_H_
