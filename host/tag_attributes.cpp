// Tag attributes of the configuration files.

#include "host/tag_attributes.h"

#include "foundation/key_compare.h"

void TagAttributes::Parse(const String& text) {
    int i = 0;
    int n = text.length();
    while (i < n && count_ < kMaxAttributes) {
        while (i < n && String::IsWhitespace(text[i])) i++;
        if (i >= n) break;
        int start = i;
        while (i < n && !String::IsWhitespace(text[i]) && text[i] != '=') i++;
        names_[count_] = text.at(start, i);
        values_[count_].clear();
        int j = i;
        while (j < n && String::IsWhitespace(text[j])) j++;
        if (j < n && text[j] == '=') {
            j++;
            while (j < n && String::IsWhitespace(text[j])) j++;
            int vstart = j;
            if (j < n && (text[j] == '"' || text[j] == '\'')) {
                char quote = text[j];
                vstart = ++j;
                while (j < n && text[j] != quote) j++;
                values_[count_] = text.at(vstart, j);
                if (j < n) j++;
            } else {
                while (j < n && !String::IsWhitespace(text[j])) j++;
                values_[count_] = text.at(vstart, j);
            }
            i = j;
        }
        count_++;
    }
}

int TagAttributes::Find(const char* name) const {
    for (int k = 0; k < count_; k++) {
        if (CompareKeys(names_[k].chars(), name) == 0) return k;
    }
    return -1;
}
