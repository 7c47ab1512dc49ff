// The floor for any CGI program: writes a fixed header block and page with one
// write and exits.

#include <unistd.h>

int main() {
    static const char kResponse[] = "Content-type: text/html\r\n\r\nHello, world!\n";
    return write(1, kResponse, sizeof kResponse - 1) == sizeof kResponse - 1 ? 0 : 1;
}
