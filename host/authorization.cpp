// Authorization file and database.

#include "host/authorization.h"

#include "data/xbase_table.h"
#include "foundation/file.h"
#include "foundation/key_compare.h"
#include "host/engine.h"

namespace {

String Trimmed(const String& s) {
    String t = s;
    t.StripWhitespace();
    return t;
}

// The value of attribute name in tag text (quotes removed), empty when absent.
String Attribute(const String& tag, const char* name) {
    String upper = tag.upper();
    String key = String(name) + "=";
    int at = upper.search(key.chars());
    if (at < 0) return String();
    int i = at + key.length();
    if (tag[i] == '"' || tag[i] == '\'') {
        char quote = tag[i];
        const char closing[2] = {quote, 0};
        int end = tag.search(closing, i + 1);
        return tag.at(i + 1, end < 0 ? tag.length() : end);
    }
    int end = i;
    while (end < tag.length() && !String::IsWhitespace(tag[end])) end++;
    return tag.at(i, end);
}

bool IsNameSeparator(char c) { return String::IsWhitespace(c) || c == ','; }

}  // namespace

AuthorizationResult CheckAuthorizationText(const String& text, const String& login, String* datadir,
                                           String* error) {
    int i = 0;
    int n = text.length();
    bool inblock = false;
    bool allow = false;
    String blockdatadir;
    while (i < n) {
        char c = text[i];
        if (c == '#') {
            while (i < n && text[i] != '\n') i++;
            continue;
        }
        if (c == '<') {
            int end = text.search(">", i);
            if (end < 0) end = n;
            String tag = Trimmed(text.at(i + 1, end));
            i = end + 1;
            String name = tag.contains(" ") ? tag.before(" ") : tag;
            if (CompareKeys(name.chars(), "/AUTH") == 0) {
                inblock = false;
            } else if (CompareKeys(name.chars(), "AUTH") == 0) {
                String type = Attribute(tag, "TYPE");
                if (CompareKeys(type.chars(), "group") == 0) {
                    *error = "Group mode authorization is not supported in this version of Kelp";
                    return AuthorizationError;
                }
                String access = Attribute(tag, "ACCESS");
                inblock = true;
                allow = CompareKeys(access.chars(), "allow") == 0;
                blockdatadir = Attribute(tag, "DATADIR");
            }
            continue;
        }
        if (IsNameSeparator(c)) {
            i++;
            continue;
        }
        int start = i;
        while (i < n && !IsNameSeparator(text[i]) && text[i] != '<' && text[i] != '#') i++;
        if (inblock && text.at(start, i) == login) {
            if (!allow) return AuthorizationDenied;
            *datadir = blockdatadir;
            return AuthorizationAllowed;
        }
    }
    return AuthorizationDenied;
}

AuthorizationResult CheckAuthorizationDatabase(Kelp* engine, const String& directory, long uid,
                                               String* homedir, String* error) {
    String path = directory;
    if (!path.matches('/', path.length() - 1)) path += "/";
    path += "auth.dbf";
    if (!engine->filemanager()->Exists(path)) return AuthorizationDenied;
    XBaseTable table(engine);
    if (!table.Open(path, "auth.dbf", FileRead)) {
        *error = table.error();
        return AuthorizationError;
    }
    XBaseField* uidfield = nullptr;
    XBaseField* homefield = nullptr;
    List<XBaseField>& fields = table.fields();
    for (XBaseField* f = fields.First(); f != nullptr; f = fields.Next()) {
        if (CompareKeys(f->name().chars(), "UID") == 0) uidfield = f;
        if (CompareKeys(f->name().chars(), "HOMEDIR") == 0) homefield = f;
    }
    if (uidfield == nullptr) {
        *error = "The authorization database has no UID field";
        return AuthorizationError;
    }
    String wanted = String::FromInt(uid);
    for (long r = 1; r <= table.numrecords(); r++) {
        if (!table.Goto(r) || table.deleted()) continue;
        if (Trimmed(uidfield->data()) != wanted) continue;
        if (homefield != nullptr) *homedir = Trimmed(homefield->data());
        return AuthorizationAllowed;
    }
    return AuthorizationDenied;
}
