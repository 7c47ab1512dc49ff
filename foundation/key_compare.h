// Key comparison shared by the searchable containers: string keys ignore case,
// integer keys compare numerically, pointer keys compare for identity only.

#ifndef FOUNDATION_KEY_COMPARE_H_
#define FOUNDATION_KEY_COMPARE_H_

// A character of a key as keys compare: letters folded to lower case.
inline int FoldKeyChar(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// Each returns a negative number, zero or a positive number as key sorts before,
// equal to or after other. Strings compare as strcasecmp() does in the C locale
// (letters folded to lower case), without its locale look-ups.
inline int CompareKeys(const char* key, const char* other) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(key);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(other);
    for (;; a++, b++) {
        int ca = FoldKeyChar(*a), cb = FoldKeyChar(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}
// Whether the first n characters of key and other are the same, letters compared
// without case as above.
inline bool SameKeyPrefix(const char* key, const char* other, int n) {
    for (int i = 0; i < n; i++) {
        int ca = FoldKeyChar(static_cast<unsigned char>(key[i]));
        int cb = FoldKeyChar(static_cast<unsigned char>(other[i]));
        if (ca != cb) return false;
        if (ca == 0) return true;
    }
    return true;
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
