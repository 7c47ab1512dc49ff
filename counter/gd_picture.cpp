// The gd image format reader and writer.

#include "counter/gd_picture.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

// Reads big-endian numbers, refusing to read past the end.
struct Reader {
    const unsigned char* p;
    const unsigned char* end;
    bool ok;

    unsigned long Take(int bytes) {
        unsigned long v = 0;
        if (end - p < bytes) {
            ok = false;
            return 0;
        }
        for (int i = 0; i < bytes; i++) v = (v << 8) | *p++;
        return v;
    }
};

const unsigned kMaxSide = 4096;  // digit pictures are 15 x 20; refuse the absurd

gdImagePtr ReadPalette(Reader* r, unsigned width, unsigned height, bool gd2) {
    unsigned long transparent;
    if (gd2) {
        r->Take(2);  // colours used
        transparent = r->Take(4);
    } else {
        r->Take(1);
        transparent = r->Take(2);
        if (transparent == 257) transparent = 0xFFFFFFFFUL;
    }
    unsigned char palette[256][4];
    for (int i = 0; i < 256; i++) {
        for (int c = 0; c < (gd2 ? 4 : 3); c++)
            palette[i][c] = static_cast<unsigned char>(r->Take(1));
        if (!gd2) palette[i][3] = 0;
    }
    if (!r->ok ||
        static_cast<unsigned long>(r->end - r->p) < static_cast<unsigned long>(width) * height) {
        return nullptr;
    }
    gdImagePtr im = gdImageCreate(width, height);
    if (im == nullptr) return nullptr;
    int colours[256];
    for (int i = 0; i < 256; i++) colours[i] = -1;
    for (unsigned y = 0; y < height; y++) {
        for (unsigned x = 0; x < width; x++) {
            int index = *r->p++;
            if (colours[index] < 0) {
                colours[index] =
                    gdImageColorAllocateAlpha(im, palette[index][0], palette[index][1],
                                              palette[index][2], palette[index][3] & 0x7F);
                if (static_cast<unsigned long>(index) == transparent) {
                    gdImageColorTransparent(im, colours[index]);
                }
            }
            gdImageSetPixel(im, x, y, colours[index]);
        }
    }
    return im;
}

gdImagePtr ReadTrueColor(Reader* r, unsigned width, unsigned height) {
    unsigned long transparent = r->Take(4);
    if (!r->ok || static_cast<unsigned long>(r->end - r->p) / 4 <
                      static_cast<unsigned long>(width) * height) {
        return nullptr;
    }
    gdImagePtr im = gdImageCreateTrueColor(width, height);
    if (im == nullptr) return nullptr;
    for (unsigned y = 0; y < height; y++) {
        for (unsigned x = 0; x < width; x++) {
            unsigned long argb = r->Take(4);
            gdImageSetPixel(im, x, y, static_cast<int>(argb & 0x7FFFFFFFUL));
        }
    }
    if (transparent != 0xFFFFFFFFUL) gdImageColorTransparent(im, static_cast<int>(transparent));
    return im;
}

}  // namespace

gdImagePtr ReadGdPicture(const unsigned char* data, size_t size) {
    Reader r = {data, data + size, true};
    unsigned long first = r.Take(2);
    if (!r.ok) return nullptr;
    if (first == 0xFFFF || first == 0xFFFE) {
        unsigned width = static_cast<unsigned>(r.Take(2));
        unsigned height = static_cast<unsigned>(r.Take(2));
        unsigned long truecolor = r.Take(1);
        if (!r.ok || width == 0 || height == 0 || width > kMaxSide || height > kMaxSide)
            return nullptr;
        if (first == 0xFFFE && truecolor == 1) return ReadTrueColor(&r, width, height);
        if (first == 0xFFFF && truecolor == 0) return ReadPalette(&r, width, height, true);
        return nullptr;
    }
    unsigned width = static_cast<unsigned>(first);
    unsigned height = static_cast<unsigned>(r.Take(2));
    if (!r.ok || width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return nullptr;
    return ReadPalette(&r, width, height, false);
}

gdImagePtr ReadGdPictureFile(const char* path) {
    FILE* f = fopen(path, "rb");
    if (f == nullptr) return nullptr;
    unsigned char buffer[65536];
    size_t n = fread(buffer, 1, sizeof buffer, f);
    bool complete = feof(f) != 0;
    fclose(f);
    if (!complete) return nullptr;  // larger than any picture we accept
    return ReadGdPicture(buffer, n);
}

int WriteGdPictureFile(gdImagePtr image, const char* path) {
    if (gdImageTrueColor(image)) return 0;
    FILE* f = fopen(path, "wb");
    if (f == nullptr) return 0;
    int width = gdImageSX(image), height = gdImageSY(image);
    unsigned char header[11] = {0xFF,
                                0xFF,
                                static_cast<unsigned char>(width >> 8),
                                static_cast<unsigned char>(width),
                                static_cast<unsigned char>(height >> 8),
                                static_cast<unsigned char>(height),
                                0,
                                static_cast<unsigned char>(gdImageColorsTotal(image) >> 8),
                                static_cast<unsigned char>(gdImageColorsTotal(image)),
                                0,
                                0};
    fwrite(header, 1, 9, f);
    int transparent = gdImageGetTransparent(image);
    unsigned long t = transparent < 0 ? 0xFFFFFFFFUL : static_cast<unsigned long>(transparent);
    unsigned char tb[4] = {static_cast<unsigned char>(t >> 24), static_cast<unsigned char>(t >> 16),
                           static_cast<unsigned char>(t >> 8), static_cast<unsigned char>(t)};
    fwrite(tb, 1, 4, f);
    for (int i = 0; i < 256; i++) {
        unsigned char rgba[4] = {0, 0, 0, 0};
        if (i < gdImageColorsTotal(image)) {
            rgba[0] = static_cast<unsigned char>(gdImageRed(image, i));
            rgba[1] = static_cast<unsigned char>(gdImageGreen(image, i));
            rgba[2] = static_cast<unsigned char>(gdImageBlue(image, i));
            rgba[3] = static_cast<unsigned char>(gdImageAlpha(image, i));
        }
        fwrite(rgba, 1, 4, f);
    }
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) fputc(gdImageGetPixel(image, x, y), f);
    }
    return fclose(f) == 0;
}
