// Tag and NameValuePair.

#include "script/tag.h"

void NameValuePair::RemoveQuotes() {
    String v(value_);
    v.StripWhitespace();
    if (v.matches('"', 0)) {
        v = v.after(0);
        int last = v.length() - 1;
        if (last >= 0 && v[last] == '"' && (last == 0 || v[last - 1] != '\\')) v = v.before(last);
    }
    v.gsub("\\\"", "\"");
    value_ = v;
}

String Tag::Value(const char* name) {
    NameValuePair* pair = Find(name);
    return pair ? pair->value() : String();
}
