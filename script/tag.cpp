// Tag and NameValuePair.

#include "script/tag.h"

#include "script/expression.h"

void NameValuePair::WriteNumber() const {
    FormatNumber(hint_.number, &value_);
    hint_.deferred = false;
}

void NameValuePair::RemoveQuotes() {
    String v(value());
    v.StripWhitespace();
    if (v.matches('"', 0)) {
        v = v.after(0);
        int last = v.length() - 1;
        if (last >= 0 && v[last] == '"' && (last == 0 || v[last - 1] != '\\')) v = v.before(last);
    }
    v.gsub("\\\"", "\"");
    SetValue(v);
}

String Tag::Value(const char* name) {
    NameValuePair* pair = Find(name);
    return pair ? pair->value() : String();
}
