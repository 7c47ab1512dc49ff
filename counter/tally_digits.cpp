// tally-digits DIR: writes the ten digit pictures 0.gd ... 9.gd (15 x 20 pixels,
// black on white, gd's large built-in font) that nph-tally draws counts with.

#include <gd.h>
#include <gdfontl.h>
#include <stdio.h>

#include <string>

#include "counter/gd_picture.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tally-digits DIRECTORY\n");
        return 2;
    }
    gdFontPtr font = gdFontGetLarge();  // 8 x 16 glyphs
    for (char digit = '0'; digit <= '9'; digit++) {
        gdImagePtr im = gdImageCreate(15, 20);
        gdImageColorAllocate(im, 255, 255, 255);  // background
        int ink = gdImageColorAllocate(im, 0, 0, 0);
        gdImageChar(im, font, (15 - font->w) / 2, (20 - font->h) / 2, digit, ink);
        std::string path = std::string(argv[1]) + "/" + digit + ".gd";
        int ok = WriteGdPictureFile(im, path.c_str());
        gdImageDestroy(im);
        if (!ok) {
            fprintf(stderr, "tally-digits: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}
