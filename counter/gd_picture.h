// Reading and writing pictures in gd's own image format. The gd library of the
// system may be built without that format, so the counter carries its own reader
// (and the digit generator its own writer) and hands the pixels to gd.
//
// Layouts (numbers big-endian):
//   GD 2.x palette:   word 0xFFFF, word width, word height, byte 0, word colours used,
//                     dword transparent index (0xFFFFFFFF = none),
//                     256 x (byte R, G, B, A), then width x height bytes (row by row)
//   GD 2.x truecolor: word 0xFFFE, word width, word height, byte 1,
//                     dword transparent colour, then width x height dwords ARGB
//   GD 1.x:           word width, word height, byte colours used,
//                     word transparent (257 = none), 256 x (byte R, G, B),
//                     then width x height bytes

#ifndef COUNTER_GD_PICTURE_H_
#define COUNTER_GD_PICTURE_H_

#include <gd.h>
#include <stddef.h>

// A gd image of the picture in data[0..size), or null when the bytes are not a
// complete picture in one of the layouts. Caller destroys the image.
gdImagePtr ReadGdPicture(const unsigned char* data, size_t size);

// The picture in file path, or null (also when the file cannot be read).
gdImagePtr ReadGdPictureFile(const char* path);

// Writes a palette image in the GD 2.x palette layout. Returns 0 on failure.
int WriteGdPictureFile(gdImagePtr image, const char* path);

#endif  // COUNTER_GD_PICTURE_H_
