// xbase3 maintenance: tables from a field specification, packing, reindexing, the
// structure of a table as a table, and the recovery of an interrupted pack.
//
// A pack writes the packed table, its memo file and every open index as new files
// named after the originals with "~pack" (TABLE~pack.dbf, TABLE~pack.dbt,
// NAME.kpx~pack), syncs them, and then writes the journal TABLE.dbf.pack: one line
// per replacement, "NEW<TAB>ORIGINAL", both named relative to the table's directory.
// Only with the journal complete are the new files renamed over the originals; then
// the journal goes. A process that dies before the journal exists leaves the
// originals untouched (the new files are overwritten by the next pack); one that
// dies after it leaves a journal that the next open of the table carries out to the
// end. Either way the table and its indexes agree.
//
// A journal is a file like any other, and anyone who can write beside the table can
// plant one: it is carried out only when every line names a replacement a pack of
// this table makes (TABLE~pack.dbf over TABLE.dbf, TABLE~pack.dbt over TABLE.dbt,
// NAME~pack over NAME for an index at or below the table's directory). Anything else
// makes the table corrupt, and nothing is renamed.
//
// Reindexing replaces one index file at a time, each rebuilt completely first: an
// index is always either the old one or the new one, and both agree with the table.

#include <stdio.h>
#include <string.h>

#include <vector>

#include "data/xbase_database.h"
#include "foundation/file.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/script_parser.h"

namespace {

const int kMaxFieldName = 10;

// A number in a field specification; -1 when the text is not one.
int SpecNumber(const String& text) {
    String t = text.trimmed();
    if (t.empty() || t.length() > 6) return -1;
    int n = 0;
    for (int i = 0; i < t.length(); i++) {
        if (t[i] < '0' || t[i] > '9') return -1;
        n = n * 10 + (t[i] - '0');
    }
    return n;
}

bool IsSpecBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// One element of a field specification ("price NUMBER(7.2)") into *spec.
bool ParseField(const String& element, List<XBaseFieldSpec>* specs, XBaseFieldSpec* spec,
                String* error) {
    int blank = -1;
    for (int i = 0; i < element.length(); i++) {
        if (IsSpecBlank(element[i])) {
            blank = i;
            break;
        }
    }
    if (blank < 0) {
        *error = "Dangling comma in field\tspecification";
        return false;
    }
    String name = element.before(blank).upper();
    if (name.empty()) {
        *error = "Empty field name in field specification";
        return false;
    }
    if (name.length() > kMaxFieldName) {
        *error =
            "Field name '" + Entities(name) + "' is longer than the XBase limit of 10 characters";
        return false;
    }
    for (XBaseFieldSpec* s = specs->First(); s != nullptr; s = specs->Next()) {
        if (s->name == name) {
            *error = "Field name '" + Entities(name) +
                     "' is used more than once in the field specification";
            return false;
        }
    }
    String type = element.from(blank).trimmed();
    if (type.empty()) {
        *error = "Empty field type in field specification";
        return false;
    }
    int open = type.search("(");
    String word = (open < 0 ? type : type.before(open)).trimmed();
    String inside, after;
    if (open >= 0) {
        int close = type.search(")", open);
        inside = close < 0 ? type.from(open + 1) : type.at(open + 1, close);
        after = close < 0 ? String() : type.from(close + 1).trimmed();
    }
    spec->name = name;
    spec->decimals = 0;
    if (word.matches("CHAR")) {
        spec->type = XBaseCharacter;
        spec->length = SpecNumber(inside);
        if (open < 0 || spec->length < 1) {
            *error = "Error in field specification: CHAR datatypes require a length";
            return false;
        }
        if (spec->length > 254) {
            *error = "CHAR fields may\tonly be\t254 characters long, field '" + Entities(name) +
                     "' is " + String::FromInt(spec->length) + " characters long";
            return false;
        }
    } else if (word.matches("NUMBER")) {
        spec->type = XBaseNumber;
        spec->length = 19;
        if (open >= 0) {
            int dot = inside.search(".");
            int digits = SpecNumber(dot < 0 ? inside : inside.before(dot));
            int fraction = dot < 0 ? 0 : SpecNumber(inside.from(dot + 1));
            if (digits < 1 || fraction < 0) {
                *error = "Unknown\tfield type '" + Entities(type) + "' in field specification";
                return false;
            }
            spec->decimals = fraction;
            spec->length = fraction > 0 ? digits + 1 + fraction : digits;
        }
        if (spec->length > 19) {
            *error = "NUMERIC\tfields may only\tbe 19 digits, field '" + Entities(name) + "'\tis " +
                     String::FromInt(spec->length) + " digits";
            return false;
        }
    } else if (word.matches("DATE")) {
        spec->type = XBaseDate;
        spec->length = 8;
    } else if (word.matches("BOOL")) {
        spec->type = XBaseLogical;
        spec->length = 1;
    } else if (word.matches("MEMO")) {
        spec->type = XBaseMemo;
        spec->length = 10;
    } else {
        *error = "Unknown\tfield type '" + Entities(word) + "' in field specification";
        return false;
    }
    if (!after.empty()) {
        *error = "Unexpected '" + Entities(after) + "' following field declaration";
        return false;
    }
    return true;
}

// The new name a pack gives a file: TABLE~pack.dbf for a table (so that its memo
// file, named after it, is TABLE~pack.dbt), NAME~pack for anything else.
String PackName(const String& path, bool table) {
    if (!table) return path + "~pack";
    return FileManager::StripExtension(path) + "~pack" +
           path.from(FileManager::StripExtension(path).length());
}

}  // namespace

bool XBaseDatabase::ParseFields(const String& text, List<XBaseFieldSpec>* specs, String* error) {
    int start = text.trimmed().empty() ? text.length() + 1 : 0;
    while (start <= text.length()) {
        int comma = text.search(",", start);
        int end = comma < 0 ? text.length() : comma;
        String element = text.at(start, end).trimmed();
        start = end + 1;
        XBaseFieldSpec* spec = new XBaseFieldSpec;
        if (!ParseField(element, specs, spec, error)) {
            delete spec;
            return false;
        }
        specs->Insert(spec, ListTail);
        if (comma < 0) break;
    }
    if (specs->Entries() == 0) {
        *error = "Field specification does not define any\tfields";
        return false;
    }
    return true;
}

bool XBaseDatabase::Create(const String& database, const String& fields) {
    EndRunOfAdds();
    if (!Resolve(database, &path_)) return false;
    database_ = database;
    List<XBaseFieldSpec> specs(1);
    String error;
    if (!ParseFields(fields, &specs, &error)) return Error(error);
    // A page never replaces a table by creating one of the same name: its records
    // would be gone.
    if (engine_->filemanager()->Exists(path_)) {
        return Error("Database '" + Entities(database) + "' already exists");
    }
    return Opened(table_.Create(path_, Entities(database), "", "", specs), "creating");
}

bool XBaseDatabaseView::RevealStructure(const String& name) {
    XBaseDatabase* db = database_;
    String path, error;
    if (!db->engine()->ResolvePath(name, DataPath, &path, &error)) return Error(error);
    List<XBaseFieldSpec> specs(1);
    specs.Insert(new XBaseFieldSpec{"FIELD_NAME", XBaseCharacter, 10, 0}, ListTail);
    specs.Insert(new XBaseFieldSpec{"FIELD_TYPE", XBaseCharacter, 1, 0}, ListTail);
    specs.Insert(new XBaseFieldSpec{"FIELD_LEN", XBaseNumber, 3, 0}, ListTail);
    specs.Insert(new XBaseFieldSpec{"FIELD_DEC", XBaseNumber, 3, 0}, ListTail);
    XBaseTable out(db->engine()->filemanager());
    if (!out.Create(path, Entities(name), "", "", specs)) return Error(out.error());
    List<XBaseField>& columns = db->table().fields();
    for (XBaseField* c = columns.First(); c != nullptr; c = columns.Next()) {
        XBaseField* f = out.fields().First();
        f->Set(c->name());
        f = out.fields().Next();
        char letter = XBaseField::TypeLetter(c->type());
        f->Set(&letter, 1);
        out.fields().Next()->Set(String::FromInt(c->length()));
        out.fields().Next()->Set(String::FromInt(c->decimalcount()));
        if (!out.Append()) return Error(out.error());
    }
    out.Close();
    return true;
}

namespace {

// name relative to the directory dir ends in (its separator included), or empty when
// it is not below it.
String RelativeTo(const String& dir, const String& name) {
    bool below =
        name.length() > dir.length() && strncmp(name.chars(), dir.chars(), dir.length()) == 0;
    return below ? name.from(dir.length()) : String();
}

// Whether a journal's name for an index stays at or below the table's directory.
bool PlainRelativeName(const String& name) {
    if (name.empty() || name[0] == '/') return false;
    int start = 0;
    while (start <= name.length()) {
        int slash = name.search("/", start);
        int end = slash < 0 ? name.length() : slash;
        String part = name.at(start, end);
        if (part.empty() || part == "." || part == "..") return false;
        for (int i = 0; i < part.length(); i++) {
            if (static_cast<unsigned char>(part[i]) < 0x20) return false;
        }
        if (slash < 0) break;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool XBaseDatabase::ReadPackJournal(const String& path, const String& shown,
                                    std::vector<Replacement>* replacements, String* error) {
    String text;
    String journal = path + ".pack";
    if (!FileManager::ReadTextFile(journal, &text)) {
        *error = "The interrupted pack of '" + shown +
                 "' cannot be finished: its journal cannot be read";
        return false;
    }
    String table = FileManager::StripDirectory(path);
    String dir = path.before(path.length() - table.length());
    String memo = FileManager::StripExtension(table) + ".dbt";
    int start = 0;
    while (start < text.length()) {
        int end = text.search("\n", start);
        if (end < 0) end = text.length();
        String line = text.at(start, end);
        start = end + 1;
        int tab = line.search("\t");
        String from = tab < 0 ? String() : line.before(tab),
               to = tab < 0 ? String() : line.from(tab + 1);
        // Journals written before names were relative name the table's own directory.
        if (!from.empty() && from[0] == '/') from = RelativeTo(dir, from);
        if (!to.empty() && to[0] == '/') to = RelativeTo(dir, to);
        bool made =
            (to == table && from == PackName(table, true)) ||
            (to == memo && from == PackName(memo, true)) ||
            (to != table && to != memo && PlainRelativeName(to) && from == PackName(to, false));
        if (!made) {
            *error = "'" + shown +
                     "' is corrupt (its pack journal names files a pack of it does not make)";
            return false;
        }
        replacements->push_back(Replacement{dir + from, dir + to});
    }
    return true;
}

bool XBaseDatabase::PackInterrupted(Kelp* engine, const String& path) {
    // (Looked for at every opening: a journal not there is usually known so.)
    String journal = path + ".pack";
    return !engine->Missing(journal) && engine->filemanager()->Exists(journal);
}

bool XBaseDatabase::Recover(Kelp* engine, const String& path, String* error, const String& shown) {
    FileManager* files = engine->filemanager();
    if (!PackInterrupted(engine, path)) return true;
    std::vector<Replacement> replacements;
    const String& name = shown.empty() ? path : shown;
    if (!ReadPackJournal(path, name, &replacements, error)) return false;
    // Every replacement not yet made is made; one already made has no new file left.
    for (const Replacement& r : replacements) {
        if (files->Exists(r.from) && files->Rename(r.from, r.to) < 0) {
            *error = "The interrupted pack of '" + name + "' cannot be finished: " + files->error();
            return false;
        }
    }
    files->Delete(path + ".pack");
    return true;
}

bool XBaseDatabase::PackInto(const String& packed, std::vector<Replacement>* made) {
    // The packed table with the same columns.
    List<XBaseFieldSpec> specs(1);
    List<XBaseField>& fields = table_.fields();
    for (XBaseField* f = fields.First(); f != nullptr; f = fields.Next()) {
        specs.Insert(new XBaseFieldSpec{f->name(), f->type(), f->length(), f->decimalcount()},
                     ListTail);
    }
    XBaseTable out(engine_->filemanager());
    if (!out.Create(packed, Entities(database_), "", "", specs)) return Error(out.error());
    made->push_back(Replacement{packed, path_});
    if (out.version() == 0x83) made->push_back(Replacement{out.memopath(), table_.memopath()});
    // New files for the open indexes, filled as the records are copied.
    std::vector<BrnIndexFile*> files;
    bool ok = true;
    for (XBaseIndex* index = indexes_.First(); ok && index != nullptr; index = indexes_.Next()) {
        BrnIndexFile* file = new BrnIndexFile(engine_->filemanager());
        files.push_back(file);
        String name = PackName(index->filepath(), false);
        ok = file->Create(name, index->errorpath(), index->file().keyexpression(),
                          index->file().flags()) ||
             Error(file->error());
        if (ok) made->push_back(Replacement{name, index->filepath()});
    }
    FieldScope scope(engine_, this);
    for (long r = 1; ok && r <= table_.numrecords(); r++) {
        if (!table_.Goto(r)) {
            ok = Error(table_.error());
            break;
        }
        if (table_.deleted()) continue;
        XBaseField* to = out.fields().First();
        for (XBaseField* from = fields.First(); from != nullptr; from = fields.Next()) {
            to->Set(String(from->data()));
            to = out.fields().Next();
        }
        if (!out.Append()) {
            ok = Error(out.error());
            break;
        }
        size_t i = 0;
        for (XBaseIndex* index = indexes_.First(); ok && index != nullptr;
             index = indexes_.Next(), i++) {
            String key;
            ok = index->Key(&key) || Error(index->error());
            ok = ok && (files[i]->Insert(out.recordnum(), key) || Error(files[i]->error()));
        }
    }
    for (BrnIndexFile* file : files) delete file;
    out.Close();
    return ok;
}

bool XBaseDatabase::SyncAll(const std::vector<Replacement>& made) {
    FileManager* files = engine_->filemanager();
    for (const Replacement& r : made) {
        File* f = files->Open(r.from, FileRead | FileWrite);
        bool ok = f != nullptr && f->Sync() > 0;
        delete f;
        if (!ok) return Error("Error writing to '" + r.from + "': " + files->error());
    }
    return true;
}

bool XBaseDatabase::HoldForRebuild(bool table) {
    // Other requests wait while the files are rebuilt; the descriptors closed after
    // the replacement let them go (and find the files replaced).
    if (table && !table_.LockForRebuild()) return Error(table_.error());
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        if (!index->file().LockForRebuild()) {
            Error(index->file().error());
            ReleaseRebuild(table, index);
            return false;
        }
    }
    return true;
}

void XBaseDatabase::ReleaseRebuild(bool table, XBaseIndex* upto) {
    for (XBaseIndex* index = indexes_.First(); index != nullptr && index != upto;
         index = indexes_.Next()) {
        index->file().UnlockForRebuild();
    }
    if (table) table_.UnlockForRebuild();
}

bool XBaseDatabase::Pack() {
    EndRunOfAdds();
    if (!open_) return Error("Database '" + Entities(name_) + "' is not open");
    FileManager* files = engine_->filemanager();
    if (!HoldForRebuild(true)) return false;
    // Appends made before the lock count too.
    if (!table_.ReadTableHeader()) {
        Error(table_.error());
        ReleaseRebuild(true, nullptr);
        return false;
    }
    // The journal names the indexes relative to the table's directory.
    String dir = path_.before(path_.length() - FileManager::StripDirectory(path_).length());
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        if (!PlainRelativeName(RelativeTo(dir, index->filepath()))) {
            ReleaseRebuild(true, nullptr);
            return Error("Cannot pack '" + Entities(database_) + "' with the index '" +
                         index->errorpath() + "': it is not in the table's directory");
        }
    }
    std::vector<Replacement> made;
    // Everything new reaches the disk before the journal says it is complete.
    bool ok = PackInto(PackName(path_, true), &made) && SyncAll(made);
    String journal;
    for (const Replacement& r : made)
        journal += RelativeTo(dir, r.from) + "\t" + RelativeTo(dir, r.to) + "\n";
    String partial = path_ + ".pack~";
    if (ok) {
        File* j = files->Open(partial, FileWrite | FileCreate | FileTruncate);
        ok = j != nullptr && j->Write(journal) == journal.length() && j->Sync() > 0;
        delete j;
        ok = (ok && files->Rename(partial, path_ + ".pack") > 0) ||
             Error("Error writing to '" + database_ + ".pack': " + files->error());
    }
    if (!ok) {
        files->Delete(partial);
        for (const Replacement& r : made) files->Delete(r.from);
        ReleaseRebuild(true, nullptr);
        return false;
    }
    // From here the pack is done, whatever happens: the replacements are made now,
    // or by the next open. The locks go with the old files' descriptors.
    String error;
    ok = Recover(engine_, path_, &error, Entities(database_)) || Error(error);
    return Reopen() && ok;
}

bool XBaseDatabase::Reopen() {
    // The files were replaced: this process's descriptors still read the old ones.
    String primary = primary_ != nullptr ? primary_->name() : String();
    String list;
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        if (!list.empty()) list += ",";
        list += index->name();
    }
    primary_ = nullptr;
    indexes_.Dump();
    Unpublish();
    open_ = false;
    table_.Close();
    if (!table_.Open(path_, Entities(database_), FileRead | FileWrite))
        return Error(table_.error());
    Publish();
    if (!list.empty() && !OpenIndexes(list)) return false;
    if (!primary.empty() && !SetPrimaryIndex(primary)) return false;
    return view_->Go(-1) != DatabaseFailed || Error(view_->error());
}

bool XBaseDatabase::Reindex() {
    EndRunOfAdds();
    if (!open_) return Error("Database '" + Entities(name_) + "' is not open");
    FileManager* files = engine_->filemanager();
    FieldScope scope(engine_, this);
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        // Changes to this index wait until its replacement is in place.
        if (!index->file().LockForRebuild()) return Error(index->file().error());
        String fresh = index->filepath() + "~reindex";
        XBaseIndex rebuilt(parser_, index->name());
        bool ok = rebuilt.Create(fresh, index->errorpath(), index->file().keyexpression(),
                                 index->file().flags()) ||
                  Error(rebuilt.error());
        ok = ok && Fill(&rebuilt);
        rebuilt.Close();
        if (ok) {
            File* f = files->Open(fresh, FileRead | FileWrite);
            ok = f != nullptr && f->Sync() > 0;
            delete f;
            ok = (ok && files->Rename(fresh, index->filepath()) > 0) ||
                 Error("Error writing to '" + index->errorpath() + "': " + files->error());
        }
        if (!ok) {
            files->Delete(fresh);
            index->file().UnlockForRebuild();
            return false;
        }
        // The new file replaces the old one under this index's name; closing the old
        // one lets the waiting changes go (to fail: they must open it again).
        index->Close();
        if (!index->Open(index->filepath(), index->errorpath())) return Error(index->error());
    }
    return view_->Go(-1) != DatabaseFailed || Error(view_->error());
}
