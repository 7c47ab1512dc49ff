// Key comparison shared by the searchable containers: string keys ignore case,
// integer keys compare numerically, pointer keys compare for identity only.

#ifndef FOUNDATION_KEY_COMPARE_H_
#define FOUNDATION_KEY_COMPARE_H_

#include <strings.h>

// Each returns a negative number, zero or a positive number as key sorts before,
// equal to or after other.
inline int CompareKeys(const char* key, const char* other) {
    return strcasecmp(key, other);
}
inline int CompareKeys(int key, int other) {
    return key < other ? -1 : (key > other ? 1 : 0);
}
inline int CompareKeys(unsigned key, unsigned other) {
    return key < other ? -1 : (key > other ? 1 : 0);
}
inline int CompareKeys(const void* key, const void* other) {
    return key == other ? 0 : 1;
}

#endif  // FOUNDATION_KEY_COMPARE_H_
