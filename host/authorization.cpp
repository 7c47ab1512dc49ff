// Authorization file and database.

#include "host/authorization.h"

#include "data/xbase_table.h"
#include "foundation/file.h"
#include "foundation/key_compare.h"
#include "host/tag_attributes.h"

namespace {

bool IsNameSeparator(char c) {
    return String::IsWhitespace(c) || c == ',';
}

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
            String tag = text.at(i + 1, end).trimmed();
            i = end + 1;
            int nameend = 0;
            while (nameend < tag.length() && !String::IsWhitespace(tag[nameend])) nameend++;
            String name = tag.before(nameend);
            TagAttributes attributes;
            attributes.Parse(tag.from(nameend));
            if (CompareKeys(name.chars(), "/AUTH") == 0) {
                inblock = false;
            } else if (CompareKeys(name.chars(), "AUTH") == 0) {
                String type = attributes.Value("TYPE");
                if (CompareKeys(type.chars(), "group") == 0) {
                    *error = "Group mode authorization is not supported in this version of Kelp";
                    return AuthorizationError;
                }
                String access = attributes.Value("ACCESS");
                inblock = true;
                allow = CompareKeys(access.chars(), "allow") == 0;
                blockdatadir = attributes.Value("DATADIR");
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

AuthorizationResult CheckAuthorizationDatabase(FileManager* files, const String& directory,
                                               long uid, String* homedir, String* error) {
    String path = directory;
    if (!path.matches('/', path.length() - 1)) path += "/";
    path += "auth.dbf";
    if (!files->Exists(path)) return AuthorizationDenied;
    XBaseTable table(files);
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
        if (!table.Goto(r)) {
            // A damaged database is reported, never read past.
            *error = table.error();
            return AuthorizationError;
        }
        if (table.deleted()) continue;
        if (String(uidfield->data()).trimmed() != wanted) continue;
        if (homefield != nullptr) *homedir = String(homefield->data()).trimmed();
        return AuthorizationAllowed;
    }
    return AuthorizationDenied;
}
