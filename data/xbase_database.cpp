// The xbase3 driver: opening tables and indexes, the view's moves, searches and
// changes, and the field variables it publishes.

#include "data/xbase_database.h"

#include <utility>
#include <vector>

#include "data/field_variables.h"
#include "foundation/file.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/expression.h"
#include "script/script_parser.h"

// ---------------------------------------------------------------------------
// XBaseIndex

XBaseIndex::XBaseIndex(ScriptParser* parser, const String& name)
    : parser_(parser),
      name_(name),
      expression_(nullptr),
      context_(parser),
      file_(parser->engine()->filemanager()) {}

XBaseIndex::~XBaseIndex() {
    Close();
}

Variables* KeyExpressionContext::variables() {
    return parser_->variables();
}

Function* KeyExpressionContext::FindFunction(const String& name) {
    Function* f = parser_->FindPureBuiltin(name);
    if (f == nullptr && reading_) {
        message_ =
            "it calls '" + Entities(name) + "', and a key may call only built-ins that compute";
    }
    return f;
}

int KeyExpressionContext::CallFunction(Function* f, VariableTree* arguments, String* result) {
    return parser_->CallFunction(f, arguments, result);
}

void KeyExpressionContext::ExpressionError(const String& message) {
    if (!reading_) {
        parser_->ExpressionError(message);
    } else if (message_.empty()) {
        message_ = Entities(message);
    }
}

bool XBaseIndex::Parse(const String& text) {
    delete expression_;
    StringSource source(text);
    ExpressionSyntax syntax = {nullptr, false, false, false, false};
    ExpressionEnd end;
    context_.SetReading(true);
    expression_ = ReadExpression(&context_, &source, syntax, &end);
    context_.SetReading(false);
    if (expression_ == nullptr) {
        error_ = "The key expression of index '" + errorpath_ + "' cannot be read";
        if (!context_.message().empty()) error_ += ": " + context_.message();
        return false;
    }
    return true;
}

bool XBaseIndex::Open(const String& path, const String& errorpath) {
    filepath_ = path;
    errorpath_ = errorpath;
    if (!file_.Open(path, errorpath, FileRead | FileWrite)) {
        error_ = file_.error();
        return false;
    }
    return Parse(file_.keyexpression());
}

bool XBaseIndex::Create(const String& path, const String& errorpath, const String& expression,
                        int flags) {
    filepath_ = path;
    errorpath_ = errorpath;
    // The expression is checked before a file is made for it.
    if (!Parse(expression)) return false;
    if (!file_.Create(path, errorpath, expression_->source(), flags)) {
        error_ = file_.error();
        return false;
    }
    return true;
}

void XBaseIndex::Close() {
    file_.Close();
    delete expression_;
    expression_ = nullptr;
}

bool XBaseIndex::Key(String* key) {
    if (expression_ == nullptr || !expression_->Evaluate(&context_, key)) {
        error_ = "The key of index '" + errorpath_ + "' cannot be computed";
        return false;
    }
    return true;
}

bool XBaseDatabase::IndexKey(XBaseIndex* index, String* key) {
    FieldScope scope(engine_, this);
    return index->Key(key);
}

// ---------------------------------------------------------------------------
// XBaseDatabaseView

namespace {

// A change of a table and its indexes, held against a rebuild from start to end: a
// pack waits for it, and a change that waited for a pack finds the table replaced.
class ChangeHold {
  public:
    explicit ChangeHold(XBaseTable* table)
        : table_(table), held_(table->LockMaintenance(FileSharedLock)) {}
    ~ChangeHold() {
        if (held_) table_->UnlockMaintenance();
    }
    // The table's own writes check that its file is still the table's.
    bool ok() { return held_; }

  private:
    XBaseTable* table_;
    bool held_;
};

}  // namespace

XBaseDatabaseView::XBaseDatabaseView(XBaseDatabase* database)
    : DatabaseView(database->name()),
      database_(database),
      eof_(true),
      seekpending_(false),
      seekrecno_(0) {}

XBaseDatabaseView::~XBaseDatabaseView() {}

bool XBaseDatabaseView::SetFilter(const String& expression) {
    return filter_.Set(database_->parser(), expression) || Error("The filter cannot be read");
}

bool XBaseDatabaseView::Passes(bool* ok) {
    bool passes = filter_.Passes(database_->parser(), ok);
    if (!*ok) Error("The filter cannot be evaluated");
    return passes;
}

bool XBaseDatabaseView::Read(long recno) {
    if (database_->table().Goto(recno)) return true;
    return Error(database_->table().error());
}

DatabaseResult XBaseDatabaseView::Skip(long n) {
    FieldScope scope(database_->engine(), database_);
    if (n == 0) return eof_ ? DatabaseEndOfFile : DatabaseDone;
    XBaseTable& table = database_->table();
    XBaseIndex* index = database_->primaryindex();
    if (index != nullptr && !PlaceCursor()) return DatabaseFailed;
    long steps = n > 0 ? n : -n;
    while (steps > 0) {
        long next = 0;
        if (index != nullptr) {
            bool moved = n > 0 ? index->file()._Next(&next) : index->file()._Prev(&next);
            if (!moved) return Fail(index->file().error());
        } else {
            long current = eof_ && n < 0 ? table.numrecords() + 1 : table.recordnum();
            next = n > 0 ? current + 1 : current - 1;
            if (next > table.numrecords() || next < 0) next = 0;
        }
        if (next == 0) return AtEnd();
        if (!Read(next)) return DatabaseFailed;
        bool ok;
        bool passes = Passes(&ok);
        if (!ok) return DatabaseFailed;
        if (passes) steps--;
    }
    eof_ = false;
    return DatabaseDone;
}

DatabaseResult XBaseDatabaseView::Go(long n) {
    FieldScope scope(database_->engine(), database_);
    XBaseTable& table = database_->table();
    XBaseIndex* index = database_->primaryindex();
    seekpending_ = false;  // every way of going somewhere places the cursor anew
    if (n == -1 || n == -2) {
        bool top = n == -1;
        long recno = 0;
        if (index != nullptr) {
            bool moved = top ? index->file()._First(&recno) : index->file()._Last(&recno);
            if (!moved) return Fail(index->file().error());
        } else {
            recno = top ? (table.numrecords() > 0 ? 1 : 0) : table.numrecords();
        }
        if (recno == 0) return AtEnd();
        if (!Read(recno)) {
            // A record beyond the table's end (an index ahead of its table, such as one
            // left from before a restore) is no record: a reindex mends the index.
            return database_->table().error().empty() ? AtEnd() : DatabaseFailed;
        }
        bool ok;
        bool passes = Passes(&ok);
        if (!ok) return DatabaseFailed;
        eof_ = false;
        // Then on to the first record that passes the filter.
        return passes ? DatabaseDone : Skip(top ? 1 : -1);
    }
    if (n < 1 || n > table.numrecords()) return AtEnd();
    if (!Read(n)) return DatabaseFailed;
    bool ok;
    bool passes = Passes(&ok);
    if (!ok) return DatabaseFailed;
    if (!passes) return AtEnd();
    if (index != nullptr) {
        // In index order a record the index does not hold is nowhere: the move fails
        // here, not at the next skip.
        String key;
        if (!index->Key(&key)) return Fail(index->error());
        SeekLater(key, n);
        if (!PlaceCursor()) return DatabaseFailed;
    }
    eof_ = false;
    return DatabaseDone;
}

bool XBaseDatabaseView::PlaceCursor() {
    if (!seekpending_) return true;
    seekpending_ = false;
    XBaseIndex* index = database_->primaryindex();
    if (index == nullptr || index->file()._Seek(seekkey_, seekrecno_)) return true;
    return Error("Record is not in index");
}

DatabaseResult XBaseDatabaseView::Find(const String& key, bool exact) {
    FieldScope scope(database_->engine(), database_);
    XBaseIndex* index = database_->primaryindex();
    if (index == nullptr) return Fail("Database has no\topen indexes");
    seekpending_ = false;
    long recno = 0;
    if (!index->file()._Find(key, exact, &recno)) return Fail(index->file().error());
    for (;;) {
        if (recno == 0) return AtEnd();
        if (!Read(recno)) {
            // A record beyond the table's end (an index ahead of its table) is no record.
            return database_->table().error().empty() ? AtEnd() : DatabaseFailed;
        }
        bool ok;
        bool passes = Passes(&ok);
        if (!ok) return DatabaseFailed;
        if (passes) break;
        if (!index->file()._Next(&recno)) return Fail(index->file().error());
    }
    eof_ = false;
    return DatabaseDone;
}

DatabaseResult XBaseDatabaseView::Add() {
    FieldScope scope(database_->engine(), database_);
    XBaseTable& table = database_->table();
    // The table and its indexes stay locked from this add to the next one of the page
    // (see XBaseDatabase::HoldForAdds); a failure lets them go.
    if (!database_->HoldForAdds()) return Fail(database_->error());
    struct LetGoOnFailure {
        XBaseDatabase* database;
        bool failed = true;
        ~LetGoOnFailure() {
            Kelp* engine = database->engine();
            if (failed && DataContext::Of(engine)->heldlocks() == database)
                DataContext::Of(engine)->ReleaseLocks();
        }
    } letgo{database_};
    SearchableList<XBaseIndex, const char*>& indexes = database_->indexes();
    bool pending = indexes.First() != nullptr;
    if (!table.Append(pending)) return Fail(table.error());
    long recno = table.recordnum();
    std::vector<std::pair<XBaseIndex*, String>> inserted;
    for (XBaseIndex* index = indexes.First(); index != nullptr; index = indexes.Next()) {
        String key;
        bool ok = index->Key(&key) || Error(index->error());
        ok = ok && (index->file().Insert(recno, key) || Error(index->file().error()));
        if (!ok) {
            // No live record may be missing from an index (a duplicate key of a unique
            // one, a damaged file): the new record is taken out again, marked deleted.
            for (auto& done : inserted) done.first->file().Delete(recno, done.second);
            eof_ = true;
            return DatabaseFailed;
        }
        inserted.emplace_back(index, key);
    }
    if (pending && !table.ConfirmAppend()) {
        for (auto& done : inserted) done.first->file().Delete(recno, done.second);
        eof_ = true;
        return Fail(table.error());
    }
    letgo.failed = false;
    // The new record is current already (its values are the fields'): what is left of
    // going to it is the filter, and the primary index's cursor.
    bool ok;
    bool passes = Passes(&ok);
    if (!ok) return DatabaseFailed;
    eof_ = !passes;  // a filter the new record does not pass leaves the view at end of file
    for (auto& done : inserted) {
        if (passes && done.first == database_->primaryindex()) SeekLater(done.second, recno);
    }
    return DatabaseDone;
}

DatabaseResult XBaseDatabaseView::Update() {
    FieldScope scope(database_->engine(), database_);
    XBaseTable& table = database_->table();
    if (eof_ || table.recordnum() < 1) return AtEnd();
    ChangeHold hold(&table);
    if (!hold.ok()) return Fail(table.error());
    long recno = table.recordnum();
    SearchableList<XBaseIndex, const char*>& indexes = database_->indexes();
    struct Change {
        XBaseIndex* index;
        String before, now;
    };
    std::vector<Change> changed;
    bool ok = true;
    for (XBaseIndex* index = indexes.First(); ok && index != nullptr; index = indexes.Next()) {
        String now, before;
        ok = index->Key(&now) || Error(index->error());
        if (!ok) break;
        table.SwapOriginal();
        ok = index->Key(&before) || Error(index->error());
        table.SwapOriginal();
        if (!ok || now == before) continue;  // this index does not change
        // The new key goes in before the record changes and the old one goes after:
        // a process killed in between leaves an extra entry, never a record that an
        // index misses.
        BrnIndexFile& file = index->file();
        if (BrnIndexFile::Compare(now.chars(), before.chars(), true, file.flags()) == 0) {
            // Keys that sort as one (numbers written two ways): a unique index would
            // refuse the new before the old went.
            if (!file.Delete(recno, before) || !file.Insert(recno, now)) ok = Error(file.error());
            file._Seek(now, recno);
        } else if (!file.Insert(recno, now)) {
            ok = Error(file.error());
        } else {
            changed.push_back(Change{index, before, now});
        }
    }
    ok = ok && (table.Update() || Error(table.error()));
    if (!ok) {
        // The record keeps its old values: the new keys go again.
        for (Change& c : changed) c.index->file().Delete(recno, c.now);
        return DatabaseFailed;
    }
    for (Change& c : changed) {
        BrnIndexFile& file = c.index->file();
        if (!file.Delete(recno, c.before)) return Fail(file.error());
        file._Seek(c.now, recno);
    }
    return DatabaseDone;
}

DatabaseResult XBaseDatabaseView::Delete() {
    XBaseTable& table = database_->table();
    if (eof_ || table.recordnum() < 1) return AtEnd();
    ChangeHold hold(&table);
    if (!hold.ok()) return Fail(table.error());
    return table.UpdateDeleted(true) ? DatabaseDone : Fail(table.error());
}

DatabaseResult XBaseDatabaseView::UnDelete() {
    XBaseTable& table = database_->table();
    if (eof_ || table.recordnum() < 1) return AtEnd();
    ChangeHold hold(&table);
    if (!hold.ok()) return Fail(table.error());
    // A deleted record may miss keys (an add cut short leaves one so): each index gets
    // the record's key again before it is live.
    FieldScope scope(database_->engine(), database_);
    long recno = table.recordnum();
    SearchableList<XBaseIndex, const char*>& indexes = database_->indexes();
    for (XBaseIndex* index = indexes.First(); index != nullptr; index = indexes.Next()) {
        String key;
        if (!index->Key(&key)) return Fail(index->error());
        BrnIndexFile& file = index->file();
        file.Delete(recno, key);
        if (!file.Insert(recno, key)) return Fail(file.error());
    }
    return table.UpdateDeleted(false) ? DatabaseDone : Fail(table.error());
}

// ---------------------------------------------------------------------------
// XBaseDatabase

namespace {

String TotalRecords(const void* table) {
    return String::FromInt(static_cast<const XBaseTable*>(table)->numrecords());
}

String RecordNumber(const void* table) {
    return String::FromInt(static_cast<const XBaseTable*>(table)->recordnum());
}

String Deleted(const void* table) {
    return const_cast<XBaseTable*>(static_cast<const XBaseTable*>(table))->deleted() ? "1" : "0";
}

String EndOfFile(const void* view) {
    return static_cast<const XBaseDatabaseView*>(view)->eof() ? "1" : "0";
}

}  // namespace

XBaseDatabase::XBaseDatabase(ScriptParser* parser, const String& name)
    : Database(name),
      engine_(parser->engine()),
      parser_(parser),
      table_(parser->engine()->filemanager()),
      indexes_(1),
      primary_(nullptr),
      view_(nullptr),
      variables_(1),
      open_(false) {}

XBaseDatabase::~XBaseDatabase() {
    Close();
}

bool XBaseDatabase::HoldForAdds() {
    if (DataContext::Of(engine_)->heldlocks() == this &&
        !DataContext::Of(engine_)->HeldLocksExpired())
        return true;
    // Another table's run ends here; this table's, after its time, lets waiting
    // requests in before it goes on.
    DataContext::Of(engine_)->ReleaseLocks();
    if (!open_) return Error("Database '" + Entities(name_) + "' is not open");
    DataContext::Of(engine_)->TakeTurn();
    if (!table_.Hold()) return Error(table_.error());
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        if (!index->file().Hold()) {
            Error(index->file().error());
            ReleaseLocks();
            return false;
        }
    }
    DataContext::Of(engine_)->HoldLocks(this);
    return true;
}

void XBaseDatabase::EndRunOfAdds() {
    DataContext* data = DataContext::Of(engine_);
    if (data->heldlocks() == this) data->ReleaseLocks();
}

void XBaseDatabase::ReleaseLocks() {
    for (XBaseIndex* index = indexes_.First(); index != nullptr; index = indexes_.Next()) {
        index->file().ReleaseHold();
    }
    table_.ReleaseHold();
}

bool XBaseDatabase::Resolve(const String& name, String* path) {
    String error;
    if (engine_->ResolvePath(name, DataPath, path, &error)) return true;
    return Error(error);
}

bool XBaseDatabase::Open(const String& database, const String&, const String&) {
    EndRunOfAdds();
    if (!Resolve(database, &path_)) return false;
    database_ = database;
    String error;
    if (!finishpacks_ && PackInterrupted(engine_, path_)) {
        std::vector<Replacement> replacements;
        if (!ReadPackJournal(path_, Entities(database), &replacements, &error)) return Error(error);
        return Error("'" + Entities(database) +
                     "' has an interrupted pack, which opening it through a page or "
                     "'kelp-table pack' finishes");
    }
    if (!Recover(engine_, path_, &error, Entities(database))) return Error(error);
    return Opened(table_.Open(path_, Entities(database), FileRead | FileWrite), "opening");
}

bool XBaseDatabase::Opened(bool ok, const char* operation) {
    if (!ok) {
        engine_->Log(2, "FILEERROR",
                     "filename=" + path_ + "&type=database&operation=" + operation +
                         "&error=" + table_.error());
        return Error(table_.error());
    }
    engine_->Log(2, "FILEOPENED", "filename=" + path_ + "&type=database");
    Publish();
    return true;
}

void XBaseDatabase::Publish() {
    open_ = true;
    view_ = new XBaseDatabaseView(this);
    AddView(view_);
    List<XBaseField>& fields = table_.fields();
    for (XBaseField* f = fields.First(); f != nullptr; f = fields.Next()) {
        const String& n = f->name();
        switch (f->type()) {
            case XBaseNumber:
                variables_.Insert(new XBaseNumberVariable(n, f));
                break;
            case XBaseDate:
                variables_.Insert(new XBaseDateTimeTVariable(n, f));
                variables_.Insert(new XBaseDatePartVariable(n + "_month", f, DateMonth));
                variables_.Insert(new XBaseDatePartVariable(n + "_day", f, DateDay));
                variables_.Insert(new XBaseDatePartVariable(n + "_year", f, DateYear));
                variables_.Insert(new XBaseDatePartVariable(n + "_raw", f, DateRaw));
                break;
            case XBaseLogical:
                variables_.Insert(new XBaseBoolVariable(n, f));
                break;
            default:
                variables_.Insert(new XBaseCharVariable(n, f));
                break;
        }
    }
    variables_.Insert(new XBaseRecordVariable("totrec", &table_, TotalRecords));
    variables_.Insert(new XBaseRecordVariable("recno", &table_, RecordNumber));
    variables_.Insert(new XBaseRecordVariable("deleted", &table_, Deleted));
    variables_.Insert(new XBaseRecordVariable("eof", view_, EndOfFile));
    engine_->vars()->Invalidate();
}

void XBaseDatabase::Unpublish() {
    variables_.Dump();
    if (view_ != nullptr) RemoveView(view_);
    view_ = nullptr;
    engine_->vars()->Invalidate();
}

void XBaseDatabase::Close() {
    EndRunOfAdds();
    if (!open_) return;
    open_ = false;
    Unpublish();
    primary_ = nullptr;
    indexes_.Dump();
    table_.Close();
}

bool XBaseDatabase::OpenIndexes(const String& list) {
    EndRunOfAdds();
    primary_ = nullptr;
    indexes_.Dump();
    String names = list.trimmed();
    if (names[0] == '"') {
        names = names.after(0).before('"');
    }
    int start = 0;
    while (start <= names.length()) {
        int comma = names.search(",", start);
        int end = comma < 0 ? names.length() : comma;
        String name = names.at(start, end).trimmed();
        start = end + 1;
        if (name.empty() || indexes_.Find(name.chars()) != nullptr) {
            if (comma < 0) break;
            continue;
        }
        String path;
        if (!Resolve(name, &path)) return false;
        XBaseIndex* index = new XBaseIndex(parser_, name);
        if (!index->Open(path, Entities(name))) {
            Error(index->error());
            delete index;
            return false;
        }
        indexes_.Insert(index, ListTail);
        if (primary_ == nullptr) primary_ = index;
        if (comma < 0) break;
    }
    return view_->Go(-1) != DatabaseFailed || Error(view_->error());
}

bool XBaseDatabase::SetPrimaryIndex(const String& name) {
    EndRunOfAdds();
    XBaseIndex* index = indexes_.Find(name.trimmed().chars());
    if (index == nullptr) {
        return Error("Database '" + Entities(name_) + "' has no index named '" + Entities(name) +
                     "'");
    }
    primary_ = index;
    view_->ForgetCursor();
    FieldScope scope(engine_, this);
    // The new index's cursor goes to the current record, so moves go on from there.
    long recno = table_.recordnum();
    if (!view_->eof() && recno > 0) {
        String key;
        if (index->Key(&key)) index->file()._Seek(key, recno);
    }
    return true;
}

bool XBaseDatabase::Fill(XBaseIndex* index) {
    for (long r = 1; r <= table_.numrecords(); r++) {
        if (!table_.Goto(r)) return Error(table_.error());
        String key;
        if (!index->Key(&key)) return Error(index->error());
        if (!index->file().Insert(r, key)) return Error(index->file().error());
    }
    return true;
}

int XBaseDatabase::IndexFlags(const String& words) {
    int flags = 0;
    int start = 0;
    while (start <= words.length()) {
        int comma = words.search(",", start);
        int end = comma < 0 ? words.length() : comma;
        String word = words.at(start, end).trimmed();
        if (word.matches("ascending")) flags &= ~IndexDescending;
        if (word.matches("descending")) flags |= IndexDescending;
        if (word.matches("nounique")) flags &= ~IndexUnique;
        if (word.matches("unique")) flags |= IndexUnique;
        if (word.matches("string")) flags |= IndexString;
        if (comma < 0) break;
        start = comma + 1;
    }
    return flags;
}

bool XBaseDatabase::CreateIndex(const String& name, const String& expression, const String& flags) {
    EndRunOfAdds();
    String path;
    if (!Resolve(name, &path)) return false;
    XBaseIndex* index = new XBaseIndex(parser_, name);
    long current = view_->eof() ? 0 : table_.recordnum();
    FieldScope scope(engine_, this);
    // Built beside the file it replaces, then renamed over it: a request reading an
    // index of that name meanwhile goes on reading the old file whole, never one cut
    // short or half built.
    FileManager* files = engine_->filemanager();
    String fresh = path + "~makeindex";
    bool ok = index->Create(fresh, Entities(name), expression, IndexFlags(flags)) ||
              Error(index->error());
    ok = ok && Fill(index);
    index->Close();
    if (ok) {
        File* f = files->Open(fresh, FileRead | FileWrite);
        ok = f != nullptr && f->Sync() > 0;
        delete f;
        ok = (ok && files->Rename(fresh, path) > 0) ||
             Error("Error writing to '" + Entities(name) + "': " + files->error());
    }
    ok = ok && (index->Open(path, Entities(name)) || Error(index->error()));
    if (!ok) {
        files->Delete(fresh);
        delete index;
        return false;
    }
    XBaseIndex* old = indexes_.Find(name.chars());
    if (old != nullptr) {
        if (indexes_.Seek(old) != nullptr) indexes_.Remove(ListCurrent);
        if (primary_ == old) primary_ = nullptr;
        delete old;
    }
    indexes_.Insert(index, ListTail);
    if (primary_ == nullptr) primary_ = index;
    // Back to the record the page was on.
    if (current > 0) return view_->Go(current) != DatabaseFailed || Error(view_->error());
    return true;
}

bool XBaseDatabase::OpenView(const String&, const String&) {
    return Error("KpOPENVIEW is not currently supported for databases of type 'xbase3'");
}

bool XBaseDatabase::RunQuery(const String&) {
    return Error("KpQUERY is not currently supported for databases of type 'xbase3'");
}
