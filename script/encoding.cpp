// Text encoders.

#include "script/encoding.h"

#include <string.h>
#include <strings.h>

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool Reserved(unsigned char c) {
    return c >= 128 || (c != 0 && strchr("~`!#$%^&()+={}[]|\\:;\"'<>,?/", c) != nullptr);
}

}  // namespace

namespace {

// " & < > and, for attribute values, the apostrophe, as entities. Text with none of
// them (most values) stays as it is; otherwise the runs between them are copied whole.
// Per byte: 1 for " & < >, 2 for the apostrophe.
struct EntityBytes {
    unsigned char kind[256] = {};
    constexpr EntityBytes() {
        kind[static_cast<unsigned char>('"')] = 1;
        kind[static_cast<unsigned char>('&')] = 1;
        kind[static_cast<unsigned char>('<')] = 1;
        kind[static_cast<unsigned char>('>')] = 1;
        kind[static_cast<unsigned char>('\'')] = 2;
    }
};
constexpr EntityBytes kEntityBytes;

void Encode(String* s, bool apostrophe) {
    const char* text = s->chars();
    const int n = s->length();
    const unsigned char mask = apostrophe ? 3 : 1;
    auto special = [mask](char c) {
        return (kEntityBytes.kind[static_cast<unsigned char>(c)] & mask) != 0;
    };
    int i = 0;
    while (i < n && !special(text[i])) i++;
    if (i == n) return;
    String out;
    int from = 0;
    for (; i < n; i++) {
        char c = text[i];
        if (!special(c)) continue;
        out.cat(text + from, i - from);
        from = i + 1;
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += "&#39;";  // single-quoted attributes end at it too
                break;
        }
    }
    out.cat(text + from, n - from);
    *s = out;
}

}  // namespace

String Entities(const String& s) {
    String t(s);
    Encode(&t, false);
    return t;
}

String HexValue(unsigned char byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    char s[4] = {'%', kDigits[byte >> 4], kDigits[byte & 15], '\0'};
    return String(s, 3);
}

void EncodeAttribute(String* s) {
    String out;
    for (int i = 0; i < s->length(); i++) {
        unsigned char c = static_cast<unsigned char>((*s)[i]);
        if (c == ' ') {
            out.cat('+');
        } else if (Reserved(c)) {
            out += HexValue(c);
        } else {
            out.cat(static_cast<char>(c));
        }
    }
    *s = out;
}

void DecodeAttribute(String* s) {
    String out;
    int n = s->length();
    for (int i = 0; i < n; i++) {
        char c = (*s)[i];
        if (c == '+') {
            out.cat(' ');
        } else if (c == '%' && i + 2 < n && HexDigit((*s)[i + 1]) >= 0 &&
                   HexDigit((*s)[i + 2]) >= 0) {
            out.cat(static_cast<char>(HexDigit((*s)[i + 1]) * 16 + HexDigit((*s)[i + 2])));
            i += 2;
        } else {
            out.cat(c);
        }
    }
    *s = out;
}

void EncodeEntities(String* s) {
    Encode(s, true);
}

void DecodeEntities(String* s) {
    static const struct {
        const char* name;
        char c;
    } kEntities[] = {{"quot", '"'}, {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"#39", '\''}};
    String out;
    int n = s->length();
    for (int i = 0; i < n; i++) {
        char c = (*s)[i];
        int end = c == '&' ? s->search(";", i + 1) : -1;
        if (end < 0) {
            out.cat(c);  // not an entity, or a final & without ;
            continue;
        }
        String name = s->at(i + 1, end);
        bool known = false;
        for (const auto& e : kEntities) {
            if (strcasecmp(name.chars(), e.name) == 0) {
                out.cat(e.c);
                known = true;
            }
        }
        if (!known) out += name;
        i = end;
    }
    *s = out;
}
