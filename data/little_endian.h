// Little-endian integers in the on-disk headers of tables and index files.

#ifndef DATA_LITTLE_ENDIAN_H_
#define DATA_LITTLE_ENDIAN_H_

inline unsigned long GetLE(const unsigned char* p, int bytes) {
    unsigned long v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

inline void PutLE(unsigned char* p, unsigned long v, int bytes) {
    for (int i = 0; i < bytes; i++, v >>= 8) p[i] = static_cast<unsigned char>(v & 0xFF);
}

#endif  // DATA_LITTLE_ENDIAN_H_
