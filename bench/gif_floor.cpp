// The floor for counter requests: a CGI program that only answers with a fixed
// 1 x 1 GIF, nothing read, locked or drawn.

#include <stdio.h>

int main() {
    static const unsigned char kGif[] = {
        'G', 'I',  'F',  '8',  '9',  'a',  1, 0, 1, 0,    0x80, 0, 0,    0, 0,
        0,   0xFF, 0xFF, 0xFF, 0x21, 0xF9, 4, 1, 0, 0,    0,    0, 0x2C, 0, 0,
        0,   0,    1,    0,    1,    0,    0, 2, 2, 0x44, 1,    0, 0x3B};
    fputs("HTTP/1.0 200 OK\nContent-type: image/gif\n\n", stdout);
    fwrite(kGif, 1, sizeof kGif, stdout);
    return 0;
}
