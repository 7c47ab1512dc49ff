// kelp-table: a site owner's command-line tool for tables and their indexes: facts,
// a dump, a consistency check, and the same create, pack and reindex the page tags
// run. It takes the locks pages take, so it can run while the site serves requests.

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "data/xbase_database.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tools/tool_engine.h"

namespace {

const char kUsage[] =
    "usage: kelp-table COMMAND TABLE.dbf [ARGUMENTS]\n"
    "\n"
    "  info TABLE.dbf                    fields, record counts, header and memo facts\n"
    "  dump TABLE.dbf [--format=json] [--delimiter=C]\n"
    "                                    every record, deleted ones marked, memos included\n"
    "  check TABLE.dbf [INDEX.kpx...]    the table and each index agree; exit status 1 if not\n"
    "  reindex TABLE.dbf INDEX.kpx...    rebuilds the indexes from the table\n"
    "  pack TABLE.dbf [INDEX.kpx...]     removes deleted records, rebuilds the indexes named\n"
    "  create TABLE.dbf \"FIELDS\"         a new empty table (\"name CHAR(30), price "
    "NUMBER(7.2)\")\n"
    "  restore TABLE.dbf BACKUP.dbf [INDEX.kpx...]\n"
    "                                    puts a copy of the backup (and its memo file) in the\n"
    "                                    table's place whole, and rebuilds the indexes named\n"
    "\n"
    "Exit status: 0 done, 1 a problem was found or the command failed, 2 usage.\n";

int Usage() {
    fputs(kUsage, stderr);
    return 2;
}

int Failed(const String& message) {
    fprintf(stderr, "kelp-table: %s\n", message.chars());
    return 1;
}

// A table opened as a page opens it, with the indexes named.
class Session {
  public:
    Session()
        : source_(&engine_, 16),
          parser_(&engine_, &source_, engine_.output()),
          db_(&parser_, "t") {}

    bool Open(const String& table, const std::vector<String>& indexes) {
        path_ = ToolKelp::Absolute(table);
        if (!db_.Open(path_, String(), String())) return false;
        if (indexes.empty()) return true;
        String list;
        for (const String& i : indexes) {
            if (!list.empty()) list += ",";
            list += ToolKelp::Absolute(i);
        }
        return db_.OpenIndexes(list);
    }
    XBaseDatabase& db() { return db_; }
    XBaseTable& table() { return db_.table(); }
    FileManager* files() { return engine_.filemanager(); }
    const String& path() const { return path_; }
    String error() const { return db_.error(); }

  private:
    ToolKelp engine_;
    MacroExpander source_;
    ScriptParser parser_;
    XBaseDatabase db_;
    String path_;
};

const char* TypeName(XBaseFieldType type) {
    switch (type) {
        case XBaseCharacter:
            return "CHAR";
        case XBaseNumber:
            return "NUMBER";
        case XBaseDate:
            return "DATE";
        case XBaseLogical:
            return "BOOL";
        case XBaseMemo:
            return "MEMO";
    }
    return "?";
}

String FieldSpec(XBaseField* f) {
    String s(TypeName(f->type()));
    if (f->type() == XBaseCharacter) {
        s += "(" + String::FromInt(f->length()) + ")";
    } else if (f->type() == XBaseNumber) {
        // As a field specification writes it: digits before the point, then after.
        int decimals = f->decimalcount();
        s += "(" + String::FromInt(decimals > 0 ? f->length() - decimals - 1 : f->length());
        if (decimals > 0) s += "." + String::FromInt(decimals);
        s += ")";
    }
    return s;
}

int Info(Session* s) {
    XBaseTable& t = s->table();
    long deleted = 0;
    for (long r = 1; r <= t.numrecords(); r++) {
        if (!t.Goto(r))
            return Failed(t.error().empty() ? "record " + String::FromInt(r) + " cannot be read"
                                            : t.error());
        if (t.deleted()) deleted++;
    }
    printf("table       %s\n", s->path().chars());
    printf("version     0x%02X\n", t.version());
    int year = t.lastupdate_year();
    printf("updated     %04d-%02d-%02d\n", year < 1900 ? year + 1900 : year, t.lastupdate_month(),
           t.lastupdate_day());
    printf("records     %ld (%ld deleted, %ld live)\n", t.numrecords(), deleted,
           t.numrecords() - deleted);
    printf("header      %d bytes; records of %d bytes\n", t.headerlength(), t.recordlength());
    bool memo = false;
    for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next())
        memo = memo || f->type() == XBaseMemo;
    if (memo) {
        struct stat st;
        long size = stat(t.memopath().chars(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
        printf("memo file   %s: %ld bytes, next free block %ld\n", t.memopath().chars(), size,
               t.firstfreeblock());
    } else {
        printf("memo file   none\n");
    }
    printf("fields\n");
    for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
        printf("  %-10s  %s\n", f->name().chars(), FieldSpec(f).chars());
    }
    return 0;
}

// Text as a JSON string: bytes of valid UTF-8 sequences pass, other bytes above 0x7F
// are taken as Latin-1.
void JSONString(const char* s, std::string* out) {
    out->push_back('"');
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    while (*p != 0) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back(static_cast<char>(c));
        } else if (c < 0x20 || c == 0x7F) {
            char e[8];
            snprintf(e, sizeof e, "\\u%04x", c);
            out->append(e);
        } else if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else {
            int n = c >= 0xF0 && c < 0xF5 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
            bool valid = n > 0;
            for (int i = 1; valid && i <= n; i++) valid = (p[i] & 0xC0) == 0x80;
            if (valid) {
                out->append(reinterpret_cast<const char*>(p), n + 1);
                p += n + 1;
                continue;
            }
            char e[8];
            snprintf(e, sizeof e, "\\u%04x", c);
            out->append(e);
        }
        p++;
    }
    out->push_back('"');
}

// A field's value as JSON: numbers as numbers, dates as "YYYY-MM-DD", logicals as
// true or false, blanks as null.
void JSONValue(XBaseField* f, std::string* out) {
    const char* v = f->data();
    if (v == nullptr) v = "";
    String t = String(v).trimmed();
    switch (f->type()) {
        case XBaseNumber: {
            char* end = nullptr;
            strtod(t.chars(), &end);
            bool number = !t.empty() && end != nullptr && *end == '\0' && t[0] != '+' &&
                          strspn(t.chars(), "-0123456789.eE") == static_cast<size_t>(t.length());
            if (number) {
                // JSON wants a digit before and after the point.
                std::string n(t.chars());
                if (n[0] == '.') n.insert(0, "0");
                if (n.compare(0, 2, "-.") == 0) n.insert(1, "0");
                if (n.back() == '.') n.push_back('0');
                out->append(n);
            } else if (t.empty()) {
                out->append("null");
            } else {
                JSONString(t.chars(), out);
            }
            return;
        }
        case XBaseDate:
            if (t.length() == 8 && strspn(t.chars(), "0123456789") == 8) {
                out->append("\"")
                    .append(t.chars(), 4)
                    .append("-")
                    .append(t.chars() + 4, 2)
                    .append("-");
                out->append(t.chars() + 6, 2).append("\"");
            } else if (t.empty()) {
                out->append("null");
            } else {
                JSONString(t.chars(), out);
            }
            return;
        case XBaseLogical:
            if (t.length() == 1 && strchr("TtYy", t[0]) != nullptr) {
                out->append("true");
            } else if (t.length() == 1 && strchr("FfNn", t[0]) != nullptr) {
                out->append("false");
            } else {
                out->append("null");
            }
            return;
        default:
            JSONString(v, out);
    }
}

// A value in the delimited form: the delimiter, line breaks and backslashes escaped.
void TextValue(const char* v, char delimiter, std::string* out) {
    for (const char* p = v == nullptr ? "" : v; *p != '\0'; p++) {
        if (*p == '\\') {
            out->append("\\\\");
        } else if (*p == '\n') {
            out->append("\\n");
        } else if (*p == '\r') {
            out->append("\\r");
        } else if (*p == delimiter) {
            out->push_back('\\');
            out->push_back(*p);
        } else {
            out->push_back(*p);
        }
    }
}

int Dump(Session* s, bool json, char delimiter) {
    XBaseTable& t = s->table();
    std::string line;
    if (!json) {
        line = "deleted";
        for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
            line.push_back(delimiter);
            line.append(f->name().chars());
        }
        line.push_back('\n');
        fwrite(line.data(), 1, line.size(), stdout);
    }
    for (long r = 1; r <= t.numrecords(); r++) {
        if (!t.Goto(r))
            return Failed(t.error().empty() ? "record " + String::FromInt(r) + " cannot be read"
                                            : t.error());
        line.clear();
        if (json) {
            line = "{\"_recno\":" + std::to_string(r) +
                   ",\"_deleted\":" + (t.deleted() ? "true" : "false");
            for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
                line.push_back(',');
                JSONString(f->name().chars(), &line);
                line.push_back(':');
                JSONValue(f, &line);
            }
            line.append("}\n");
        } else {
            line = t.deleted() ? "*" : "";
            for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
                line.push_back(delimiter);
                TextValue(f->data(), delimiter, &line);
            }
            line.push_back('\n');
        }
        fwrite(line.data(), 1, line.size(), stdout);
    }
    return 0;
}

// The whole of a file, read through a descriptor kept open until the program ends:
// closing a descriptor of a file would drop this process's locks on it.
bool ReadWhole(const String& path, std::string* bytes) {
    int fd = open(path.chars(), O_RDONLY);
    if (fd < 0) return false;
    char buffer[65536];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) bytes->append(buffer, n);
    return n == 0;
}

long LE(const std::string& s, size_t at, int bytes) {
    long v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

// The data file against its header, every record's flag, every memo pointer.
void CheckTableFile(Session* s, std::vector<String>* problems) {
    XBaseTable& t = s->table();
    std::string data;
    if (!ReadWhole(t.datapath(), &data)) {
        problems->push_back("the table cannot be read");
        return;
    }
    long h = t.headerlength(), length = t.recordlength(), n = LE(data, 4, 4);
    long size = static_cast<long>(data.size());
    long whole = size >= h ? (size - h) / length : 0;
    if (size < h + n * length) {
        problems->push_back("the header counts " + String::FromInt(n) +
                            " records but the file holds " + String::FromInt(whole) +
                            " (cut short, or a count that is wrong)");
    } else if (size > h + (n + 1) * length + 1) {
        problems->push_back("the file holds " + String::FromInt(whole) +
                            " records but the header counts only " + String::FromInt(n));
    } else if (size > h + n * length + 1) {
        printf(
            "note: %ld bytes after the last record (an add that did not finish; the next add "
            "writes over them)\n",
            size - h - n * length);
    }
    std::string memo;
    long blocks = -1;
    bool hasmemo = false;
    for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next())
        hasmemo = hasmemo || f->type() == XBaseMemo;
    if (hasmemo) {
        if (!ReadWhole(t.memopath(), &memo) || memo.size() < 512) {
            problems->push_back("the memo file " + t.memopath() +
                                " is missing or shorter than its header");
        } else {
            blocks = static_cast<long>((memo.size() + 511) / 512);
        }
    }
    long limit = n < whole ? n : whole;
    int reported = 0;
    for (long r = 1; r <= limit && reported < 50; r++) {
        size_t at = static_cast<size_t>(h + (r - 1) * length);
        char flag = data[at];
        if (flag != ' ' && flag != '*') {
            problems->push_back("record " + String::FromInt(r) +
                                ": its first byte is neither live (' ') nor deleted ('*')");
            reported++;
        }
        if (blocks < 0) continue;
        size_t offset = at + 1;
        for (XBaseField* f = t.fields().First(); f != nullptr; f = t.fields().Next()) {
            if (f->type() == XBaseMemo) {
                String v = String(data.data() + offset, f->length()).trimmed();
                long block = atol(v.chars());
                if (!v.empty() &&
                    (strspn(v.chars(), "0123456789") != static_cast<size_t>(v.length()) ||
                     block >= blocks)) {
                    problems->push_back("record " + String::FromInt(r) + ", field " + f->name() +
                                        ": memo block " + v + " lies past the memo file's " +
                                        String::FromInt(blocks) + " blocks");
                    reported++;
                }
            }
            offset += f->length();
        }
    }
}

// One index against the table: its tree whole, each live record under its key, no
// entry that no record gives.
void CheckIndex(Session* s, XBaseIndex* index, std::vector<String>* problems) {
    std::vector<std::pair<String, long>> entries;
    std::vector<String> tree;
    index->file().Check(&entries, &tree);
    for (const String& p : tree) problems->push_back(index->errorpath() + ": " + p);
    XBaseTable& t = s->table();
    long n = t.numrecords();
    int keysize = index->file().keysize() - 1;
    std::vector<String> keys(n + 1);
    std::vector<char> live(n + 1, 0);
    for (long r = 1; r <= n; r++) {
        if (!t.Goto(r)) {
            problems->push_back("record " + String::FromInt(r) + " cannot be read");
            return;
        }
        String key;
        if (!s->db().IndexKey(index, &key)) {
            problems->push_back(index->errorpath() + ": " + index->error());
            return;
        }
        keys[r] = key.length() > keysize ? key.at(0, keysize) : key;
        live[r] = !t.deleted();
    }
    std::vector<int> seen(n + 1, 0);
    int reported = 0;
    for (auto& e : entries) {
        if (reported >= 50) break;
        long r = e.second;
        String name =
            index->errorpath() + ": the entry '" + e.first + "' for record " + String::FromInt(r);
        if (r < 1 || r > n) {
            problems->push_back(name + " points past the table's " + String::FromInt(n) +
                                " records");
            reported++;
        } else if (!(keys[r] == e.first)) {
            problems->push_back(name + " does not match the record, whose key is '" + keys[r] +
                                "'");
            reported++;
        } else if (++seen[r] == 2) {
            problems->push_back(index->errorpath() + ": record " + String::FromInt(r) +
                                " is in the index twice");
            reported++;
        }
    }
    for (long r = 1; r <= n && reported < 50; r++) {
        if (live[r] && seen[r] == 0) {
            problems->push_back(index->errorpath() + ": record " + String::FromInt(r) + " (key '" +
                                keys[r] + "') is missing from the index");
            reported++;
        }
    }
}

// The index files beside table, other than those named, that open with it: a pack
// renumbers the records, and any of them that indexes the table goes stale.
std::vector<String> UnnamedIndexes(const String& table, const std::vector<String>& named) {
    std::vector<String> found;
    int slash = table.length() - 1;
    while (slash > 0 && table[slash] != '/') slash--;
    String directory = slash > 0 ? table.at(0, slash) : String("/");
    DIR* dir = opendir(directory.chars());
    if (dir == nullptr) return found;
    std::vector<String> candidates;
    while (struct dirent* e = readdir(dir)) {
        String name(e->d_name);
        if (name.length() > 4 && strcasecmp(name.chars() + name.length() - 4, ".kpx") == 0) {
            candidates.push_back(directory + "/" + name);
        }
    }
    closedir(dir);
    for (const String& candidate : candidates) {
        bool isnamed = false;
        for (const String& n : named) {
            char* a = realpath(ToolKelp::Absolute(n).chars(), nullptr);
            char* b = realpath(candidate.chars(), nullptr);
            if (a != nullptr && b != nullptr && strcmp(a, b) == 0) isnamed = true;
            free(a);
            free(b);
        }
        if (isnamed) continue;
        Session look;
        look.db().SetFinishInterruptedPacks(false);
        if (look.Open(table, std::vector<String>{candidate})) found.push_back(candidate);
    }
    std::sort(found.begin(), found.end(),
              [](const String& a, const String& b) { return strcmp(a.chars(), b.chars()) < 0; });
    return found;
}

int Check(Session* s) {
    XBaseTable& t = s->table();
    // Changes made through pages hold the maintenance lock shared from start to end:
    // holding it exclusively, the check sees no change half made.
    if (!t.LockMaintenance(FileExclusiveLock)) return Failed(t.error());
    if (t.Replaced() || !t.ReadTableHeader()) {
        t.UnlockMaintenance();
        return Failed(t.error());
    }
    std::vector<String> problems;
    CheckTableFile(s, &problems);
    SearchableList<XBaseIndex, const char*>& indexes = s->db().indexes();
    for (XBaseIndex* i = indexes.First(); i != nullptr; i = indexes.Next())
        CheckIndex(s, i, &problems);
    t.UnlockMaintenance();
    // One path per line: the file the problem is in (an index's problems name it).
    for (const String& p : problems) {
        if (p.matches('/', 0)) {
            printf("%s\n", p.chars());
        } else {
            printf("%s: %s\n", s->path().chars(), p.chars());
        }
    }
    if (!problems.empty()) return 1;
    printf("%s: ok (%ld records", s->path().chars(), t.numrecords());
    long count = 0;
    for (XBaseIndex* i = indexes.First(); i != nullptr; i = indexes.Next()) count++;
    printf(", %ld %s)\n", count, count == 1 ? "index" : "indexes");
    return 0;
}

}  // namespace

// A table comes back from a backup without ever being cut short in place: the backup
// is copied beside the table and renamed over it (requests reading the old file keep
// it, and open the restored one next time), memo file first; then the indexes are
// rebuilt from the restored records.
int Restore(const String& table, const std::vector<String>& rest) {
    if (rest.empty()) return Usage();
    String live = ToolKelp::Absolute(table), backup = ToolKelp::Absolute(rest[0]);
    {
        Session check;
        check.db().SetFinishInterruptedPacks(false);
        if (!check.Open(backup, std::vector<String>())) return Failed(check.error());
    }
    Session s;
    FileManager* files = s.files();
    String backupmemo = FileManager::StripExtension(backup) + ".dbt";
    if (files->Exists(backupmemo) &&
        files->Copy(backupmemo, FileManager::StripExtension(live) + ".dbt") <= 0) {
        return Failed("Error copying '" + backupmemo + "': " + files->error());
    }
    if (files->Copy(backup, live) <= 0)
        return Failed("Error copying '" + backup + "': " + files->error());
    std::vector<String> indexes(rest.begin() + 1, rest.end());
    if (!s.Open(table, indexes)) return Failed(s.error());
    if (!indexes.empty() && !s.db().Reindex()) return Failed(s.error());
    printf("%s: restored from %s, %ld records, %zu %s rebuilt\n", live.chars(), backup.chars(),
           s.table().numrecords(), indexes.size(), indexes.size() == 1 ? "index" : "indexes");
    return 0;
}

int main(int argc, char** argv) {
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3) return Usage();
    String command(argv[1]);
    String table(argv[2]);
    std::vector<String> rest;
    for (int i = 3; i < argc; i++) rest.push_back(String(argv[i]));
    Session s;
    if (command == "create") {
        if (rest.size() != 1) return Usage();
        String path = ToolKelp::Absolute(table);
        if (!s.db().Create(path, rest[0])) return Failed(s.error());
        printf("%s: created\n", path.chars());
        return 0;
    }
    if (command == "restore") return Restore(table, rest);
    bool json = false;
    char delimiter = '\t';
    std::vector<String> indexes;
    for (const String& a : rest) {
        if (command == "dump" && a == "--format=json") {
            json = true;
        } else if (command == "dump" && a == "--format=text") {
            json = false;
        } else if (command == "dump" && strncmp(a.chars(), "--delimiter=", 12) == 0 &&
                   a.length() == 13) {
            delimiter = a[12];
        } else if (command != "dump" && command != "info" && !a.matches('-', 0)) {
            indexes.push_back(a);
        } else {
            return Usage();
        }
    }
    if (command != "info" && command != "dump" && command != "check" && command != "reindex" &&
        command != "pack") {
        return Usage();
    }
    if (command == "reindex" && indexes.empty()) return Usage();
    // Looking never changes a table: an interrupted pack is reported, not finished.
    s.db().SetFinishInterruptedPacks(command != "info" && command != "dump" && command != "check");
    if (!s.Open(table, indexes)) {
        if (command != "check") return Failed(s.error());
        // A file the driver refuses to open is a finding of the check.
        printf("%s: %s\n", ToolKelp::Absolute(table).chars(), s.error().chars());
        return 1;
    }
    if (command == "info") return Info(&s);
    if (command == "dump") return Dump(&s, json, delimiter);
    if (command == "check") return Check(&s);
    if (command == "reindex") {
        if (!s.db().Reindex()) return Failed(s.error());
        printf("%s: %zu %s rebuilt\n", s.path().chars(), indexes.size(),
               indexes.size() == 1 ? "index" : "indexes");
        return 0;
    }
    std::vector<String> others = UnnamedIndexes(s.path(), indexes);
    long before = s.table().numrecords();
    if (!s.db().Pack()) return Failed(s.error());
    printf("%s: packed, %ld records kept of %ld\n", s.path().chars(), s.table().numrecords(),
           before);
    for (const String& other : others) {
        fprintf(stderr,
                "kelp-table: warning: %s was not named: if it indexes this table, its record "
                "numbers are "
                "stale now; rebuild it: kelp-table reindex %s %s\n",
                other.chars(), s.path().chars(), other.chars());
    }
    return 0;
}
