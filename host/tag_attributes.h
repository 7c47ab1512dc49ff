// The attributes of a tag in the configuration and authorization files: NAME=value
// pairs (a value in double or single quotes loses them) and bare names, names
// compared without regard to case.

#ifndef HOST_TAG_ATTRIBUTES_H_
#define HOST_TAG_ATTRIBUTES_H_

#include "foundation/string.h"

class TagAttributes {
  public:
    // Reads the attributes of text (the tag without its name); at most 16.
    void Parse(const String& text);
    bool Has(const char* name) const { return Find(name) >= 0; }
    // The value of the attribute; empty when absent or bare.
    String Value(const char* name) const {
        int k = Find(name);
        return k < 0 ? String() : values_[k];
    }

  private:
    static const int kMaxAttributes = 16;
    int Find(const char* name) const;

    String names_[kMaxAttributes];
    String values_[kMaxAttributes];
    int count_ = 0;
};

#endif  // HOST_TAG_ATTRIBUTES_H_
