// Databases behind an SQL engine: statements with bound values, views over the rows
// of a query, and changes through a view's table and its primary key.

#include "data/sql_database.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>

#include <algorithm>

#include "data/data_context.h"
#include "data/field_variables.h"
#include "data/sql_drivers.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/expression.h"
#include "script/script_parser.h"

// ---------------------------------------------------------------------------
// Statements

namespace {

bool NameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool NameChar(char c) {
    return NameStart(c) || (c >= '0' && c <= '9') || c == '.';
}

// Where a quoted part that starts at i ends (one past its closing quote).
int QuotedEnd(const String& text, int i, char quote) {
    int n = text.length();
    for (i++; i < n; i++) {
        if (text[i] != quote) continue;
        if (i + 1 < n && text[i + 1] == quote) {
            i++;  // a doubled quote stands for itself
            continue;
        }
        return i + 1;
    }
    return n;
}

// $tag$ ... $tag$: where it ends, or -1 when i starts no such quote.
int DollarQuotedEnd(const String& text, int i) {
    int n = text.length();
    int j = i + 1;
    while (j < n && (NameChar(text[j]) && text[j] != '.')) j++;
    if (j >= n || text[j] != '$') return -1;
    if (j > i + 1 && text[i + 1] >= '0' && text[i + 1] <= '9') return -1;  // $1 is a parameter
    String tag = text.at(i, j + 1);
    int close = text.search(tag.chars(), j + 1);
    return close < 0 ? n : close + tag.length();
}

}  // namespace

bool BindQuery(SqlConnection* connection, Variables* variables, const String& query,
               SqlStatement* statement, String* error) {
    statement->text.clear();
    statement->values.clear();
    int n = query.length();
    int copied = 0;
    for (int i = 0; i < n;) {
        char c = query[i];
        int skip = -1;
        if (c == '\'' || c == '"') {
            skip = QuotedEnd(query, i, c);
        } else if (c == '-' && query[i + 1] == '-') {
            int end = query.search("\n", i);
            skip = end < 0 ? n : end;
        } else if (c == '/' && query[i + 1] == '*') {
            int end = query.search("*/", i + 2);
            skip = end < 0 ? n : end + 2;
        } else if (c == '$') {
            skip = DollarQuotedEnd(query, i);
        } else if (c == ':' && query[i + 1] == ':') {
            skip = i + 2;  // a cast
        }
        if (skip >= 0) {
            i = skip > i ? skip : i + 1;
            continue;
        }
        if (c != ':' || !NameStart(query[i + 1])) {
            i++;
            continue;
        }
        int end = i + 1;
        while (end < n && NameChar(query[end])) end++;
        while (query[end - 1] == '.') end--;
        String name = query.at(i + 1, end);
        Variable* v = variables->Find(name);
        if (v == nullptr) {
            *error = "The query names ':" + name + "', which is no variable";
            return false;
        }
        statement->text.cat(query.chars() + copied, i - copied);
        SqlValue value;
        value.text = v->value();
        value.null = false;
        statement->values.push_back(static_cast<SqlValue&&>(value));
        statement->text += connection->Placeholder(static_cast<int>(statement->values.size()));
        copied = i = end;
    }
    statement->text.cat(query.chars() + copied, n - copied);
    return true;
}

String QuoteIdentifier(const String& name) {
    String quoted("\"");
    for (int i = 0; i < name.length(); i++) {
        if (name[i] == '"') quoted += '"';
        quoted += name[i];
    }
    quoted += '"';
    return quoted;
}

// ---------------------------------------------------------------------------
// Field variables of a view

namespace {

// A column of the view's current row (or what the page assigned to it since); or, as
// NAME_null, 1 when the column holds SQL NULL (assigning a true value makes it NULL).
class SqlColumnVariable : public Variable {
  public:
    SqlColumnVariable(const String& name, SqlView* view, int column, bool null)
        : Variable(name, ""), view_(view), column_(column), null_(null) {
        KeepOutside();
    }
    const String& value() override {
        const SqlValue* v = view_->Current(column_);
        if (null_) {
            text_ = v == nullptr || v->null ? "1" : "0";
        } else {
            text_ = v == nullptr ? String() : v->text;
        }
        return text_;
    }
    int SetValue(const String& value) override {
        if (!null_) {
            view_->Assign(column_, value, false);
        } else if (Expression::IsTrue(value)) {
            view_->Assign(column_, String(), true);
        } else {
            const SqlValue* v = view_->Current(column_);
            if (v == nullptr || v->null) view_->Assign(column_, String(), false);
        }
        return 1;
    }
    int SetNumber(double number) override { return SetValue(FormatNumber(number)); }
    bool stable() const override { return false; }

  private:
    SqlView* view_;  // not owned
    int column_;
    bool null_;
    String text_;
};

String RowCount(const void* view) {
    String s;
    s.catint(static_cast<const SqlView*>(view)->total());
    return s;
}

String RowNumber(const void* view) {
    const SqlView* v = static_cast<const SqlView*>(view);
    String s;
    s.catint(v->eof() || v->row() < 0 ? 0 : v->row() + 1);
    return s;
}

String RowDeleted(const void* view) {
    return static_cast<const SqlView*>(view)->deleted() ? "1" : "0";
}

String ViewEnd(const void* view) {
    return static_cast<const SqlView*>(view)->eof() ? "1" : "0";
}

// A value read as a number for Find's order; false when it is none.
bool AsNumber(const String& text, double* value) {
    if (text.empty()) return false;
    char* end;
    errno = 0;
    *value = strtod(text.chars(), &end);
    return *end == '\0' && end != text.chars() && !isnan(*value) &&
           !(errno == ERANGE && isinf(*value));
}

}  // namespace

// ---------------------------------------------------------------------------
// SqlView

SqlView::SqlView(SqlDatabase* database, const String& name)
    : DatabaseView(name), database_(database) {}

SqlView::~SqlView() {}

bool SqlView::Open(const SqlStatement& query) {
    query_ = query;
    String error;
    if (!database_->connection()->Run(query_, &rows_, &error)) return Error(Entities(error));
    readat_ = database_->changes();
    gone_.assign(static_cast<size_t>(rows_.rows()), false);
    gonecount_ = 0;
    edits_.assign(rows_.names.size(), Edit());
    Publish();
    Land(0, 1);
    return true;
}

void SqlView::Publish() {
    for (int c = 0; c < rows_.columns(); c++) {
        const String& n = rows_.names[static_cast<size_t>(c)];
        if (variables_.Find(n.chars()) == nullptr) {
            variables_.Insert(new SqlColumnVariable(n, this, c, false));
        }
        if (variables_.Find((n + "_null").chars()) == nullptr) {
            variables_.Insert(new SqlColumnVariable(n + "_null", this, c, true));
        }
    }
    if (variables_.Find("totrec") == nullptr) {
        variables_.Insert(new XBaseRecordVariable("totrec", this, RowCount));
    }
    if (variables_.Find("recno") == nullptr) {
        variables_.Insert(new XBaseRecordVariable("recno", this, RowNumber));
    }
    if (variables_.Find("deleted") == nullptr) {
        variables_.Insert(new XBaseRecordVariable("deleted", this, RowDeleted));
    }
    if (variables_.Find("eof") == nullptr) {
        variables_.Insert(new XBaseRecordVariable("eof", this, ViewEnd));
    }
}

const SqlValue* SqlView::Current(int column) {
    size_t c = static_cast<size_t>(column);
    if (c < edits_.size() && edits_[c].set) return &edits_[c].value;
    long row = eof_ ? shown_ : row_;
    if (row < 0 || row >= rows_.rows()) return nullptr;
    return &rows_.at(row, column);
}

void SqlView::Assign(int column, const String& text, bool null) {
    Edit& e = edits_[static_cast<size_t>(column)];
    e.set = true;
    e.value.text = text;
    e.value.null = null;
}

long SqlView::total() const {
    return rows_.rows() - gonecount_;
}

bool SqlView::deleted() const {
    return !eof_ && row_ >= 0 && static_cast<size_t>(row_) < gone_.size() &&
           gone_[static_cast<size_t>(row_)];
}

bool SqlView::Refresh() {
    if (readat_ == database_->changes()) return true;
    SqlRows fresh;
    String error;
    if (!database_->connection()->Run(query_, &fresh, &error)) return Error(Entities(error));
    if (fresh.names.size() != rows_.names.size()) {
        return Error("The columns of view '" + Entities(name_) + "' changed");
    }
    rows_.cells.swap(fresh.cells);
    rows_.bytes = fresh.bytes;
    readat_ = database_->changes();
    shown_ = -1;
    gone_.assign(static_cast<size_t>(rows_.rows()), false);
    gonecount_ = 0;
    firstsmade_ = false;
    bytext_.clear();
    return true;
}

bool SqlView::Passes(bool* ok) {
    FieldScope scope(database_->engine(), database_);
    bool passes = filter_.Passes(database_->parser(), ok);
    if (!*ok) Error("The filter cannot be evaluated");
    return passes;
}

DatabaseResult SqlView::Land(long row, int direction) {
    long n = rows_.rows();
    for (;;) {
        if (row < 0) return AtEnd(-1);
        if (row >= n) return AtEnd(n);
        if (gone_[static_cast<size_t>(row)]) {
            row += direction;
            continue;
        }
        int arrived = Arrive(row);
        if (arrived != 0) return arrived > 0 ? DatabaseDone : DatabaseFailed;
        row += direction;
    }
}

int SqlView::Arrive(long row) {
    row_ = shown_ = row;
    eof_ = false;
    edits_.assign(edits_.size(), Edit());
    bool ok;
    bool passes = Passes(&ok);
    return !ok ? -1 : (passes ? 1 : 0);
}

bool SqlView::SetFilter(const String& expression) {
    return filter_.Set(database_->parser(), expression) || Error("The filter cannot be read");
}

bool SqlView::RevealStructure(const String&) {
    return Error(String("KpREVEALSTRUCTURE is not currently supported for databases of type '") +
                 database_->type() + "'");
}

DatabaseResult SqlView::Skip(long n) {
    if (n == 0) return eof_ ? DatabaseEndOfFile : DatabaseDone;
    int direction = n > 0 ? 1 : -1;
    long steps = n > 0 ? n : -n;
    DatabaseResult r = DatabaseDone;
    for (; steps > 0 && r == DatabaseDone; steps--) r = Land(row_ + direction, direction);
    return r;
}

DatabaseResult SqlView::Go(long n) {
    if (!Refresh()) return DatabaseFailed;
    long rows = rows_.rows();
    if (n == -1) return Land(0, 1);
    if (n == -2) return Land(rows - 1, -1);
    if (n < 1 || n > rows || gone_[static_cast<size_t>(n - 1)]) return AtEnd(rows);
    DatabaseResult r = Land(n - 1, 1);
    if (r == DatabaseDone && row_ != n - 1) return AtEnd(rows);
    return r;
}

DatabaseResult SqlView::Find(const String& key, bool exact) {
    if (rows_.columns() == 0) return Fail("View '" + Entities(name_) + "' has no columns");
    if (!Refresh()) return DatabaseFailed;
    long n = rows_.rows();
    if (!firstsmade_) {
        // Numbers by value before all other text by its bytes, the view's order kept
        // among equals.
        firstsmade_ = true;
        firsts_.resize(static_cast<size_t>(n));
        for (long i = 0; i < n; i++) {
            FirstKey& k = firsts_[static_cast<size_t>(i)];
            k.row = i;
            k.number = AsNumber(rows_.at(i, 0).text, &k.value);
        }
        std::stable_sort(
            firsts_.begin(), firsts_.end(), [this](const FirstKey& a, const FirstKey& b) {
                if (a.number != b.number) return a.number;
                if (a.number) return a.value < b.value;
                return strcmp(rows_.at(a.row, 0).text.chars(), rows_.at(b.row, 0).text.chars()) < 0;
            });
    }
    // The candidates in the view's order: the rows whose first column equals the key
    // (as numbers when both are), or for an inexact search begins with it.
    std::vector<long> candidates;
    if (exact) {
        FirstKey wanted;
        wanted.number = AsNumber(key, &wanted.value);
        auto compare = [&](const FirstKey& a) {
            if (a.number != wanted.number) return a.number ? -1 : 1;
            if (a.number) return a.value < wanted.value ? -1 : (a.value > wanted.value ? 1 : 0);
            return strcmp(rows_.at(a.row, 0).text.chars(), key.chars());
        };
        auto it = std::lower_bound(firsts_.begin(), firsts_.end(), 0,
                                   [&](const FirstKey& a, int) { return compare(a) < 0; });
        for (; it != firsts_.end() && compare(*it) == 0; ++it) candidates.push_back(it->row);
    } else {
        if (bytext_.size() != static_cast<size_t>(n)) {
            bytext_.resize(static_cast<size_t>(n));
            for (long i = 0; i < n; i++) bytext_[static_cast<size_t>(i)] = i;
            std::stable_sort(bytext_.begin(), bytext_.end(), [this](long a, long b) {
                return strcmp(rows_.at(a, 0).text.chars(), rows_.at(b, 0).text.chars()) < 0;
            });
        }
        size_t length = static_cast<size_t>(key.length());
        auto it = std::lower_bound(bytext_.begin(), bytext_.end(), 0, [&](long row, int) {
            return strcmp(rows_.at(row, 0).text.chars(), key.chars()) < 0;
        });
        for (; it != bytext_.end(); ++it) {
            if (strncmp(rows_.at(*it, 0).text.chars(), key.chars(), length) != 0) break;
            candidates.push_back(*it);
        }
    }
    std::sort(candidates.begin(), candidates.end());
    for (long row : candidates) {
        if (gone_[static_cast<size_t>(row)]) continue;
        int arrived = Arrive(row);
        if (arrived != 0) return arrived > 0 ? DatabaseDone : DatabaseFailed;
    }
    return AtEnd(n);
}

bool SqlView::Origin() {
    if (described_) return onetable_;
    described_ = true;
    String error;
    onetable_ = database_->connection()->Describe(query_, &origin_, &error) &&
                !origin_.table.empty() && origin_.columns.size() == rows_.names.size();
    return onetable_;
}

void SqlView::Take(const SqlRows& back, long row) {
    if (back.rows() < 1 || back.columns() != rows_.columns()) return;
    for (int c = 0; c < rows_.columns(); c++) {
        if (origin_.columns[static_cast<size_t>(c)].empty()) continue;  // computed: as it was
        rows_.at(row, c) = const_cast<SqlRows&>(back).at(0, c);
    }
}

bool SqlView::KeyClause(SqlStatement* where) {
    SqlConnection* connection = database_->connection();
    where->text += " WHERE ";
    bool first = true;
    for (int k : origin_.key) {
        if (!first) where->text += " AND ";
        first = false;
        where->text += origin_.columns[static_cast<size_t>(k)];
        where->text += " = ";
        where->values.push_back(rows_.at(row_, k));
        where->text += connection->Placeholder(static_cast<int>(where->values.size()));
    }
    return true;
}

namespace {

// " RETURNING" the view's columns in order (NULL for those the table does not hold).
String Returning(const SqlOrigin& origin) {
    String text(" RETURNING ");
    for (size_t c = 0; c < origin.columns.size(); c++) {
        if (c > 0) text += ", ";
        text += origin.columns[c].empty() ? String("NULL") : origin.columns[c];
    }
    return text;
}

}  // namespace

DatabaseResult SqlView::Add() {
    if (!Origin()) {
        return Fail("View '" + Entities(name_) +
                    "' does not come from one table, so no row can be added through it");
    }
    SqlConnection* connection = database_->connection();
    SqlStatement insert;
    insert.text = "INSERT INTO " + origin_.table;
    String values;
    for (size_t c = 0; c < edits_.size(); c++) {
        if (!edits_[c].set || origin_.columns[c].empty()) continue;
        insert.text += insert.values.empty() ? " (" : ", ";
        values += insert.values.empty() ? " VALUES (" : ", ";
        insert.text += origin_.columns[c];
        insert.values.push_back(edits_[c].value);
        values += connection->Placeholder(static_cast<int>(insert.values.size()));
    }
    if (insert.values.empty()) {
        insert.text += " DEFAULT VALUES";
    } else {
        insert.text += ")";
        insert.text += values;
        insert.text += ")";
    }
    insert.text += Returning(origin_);
    SqlRows back;
    String error;
    if (!connection->Run(insert, &back, &error)) return Fail(Entities(error));
    database_->Changed();
    // The new row comes after the rows held, with the values the table gave it.
    long row = rows_.rows();
    for (int c = 0; c < rows_.columns(); c++) {
        size_t i = static_cast<size_t>(c);
        SqlValue v;
        if (back.rows() > 0 && !origin_.columns[i].empty()) {
            v = back.at(0, c);
        } else if (edits_[i].set) {
            v = edits_[i].value;
        }
        rows_.Add(static_cast<SqlValue&&>(v));
    }
    gone_.push_back(false);
    firstsmade_ = false;
    bytext_.clear();
    row_ = shown_ = row;
    eof_ = false;
    edits_.assign(edits_.size(), Edit());
    return DatabaseDone;
}

bool SqlView::KeyedRow(const char* change) {
    if (!Origin() || origin_.key.empty()) {
        return Error("View '" + Entities(name_) +
                     "' does not hold the primary key of one table, so its rows cannot be "
                     "changed through it");
    }
    if (eof_ || row_ < 0 || row_ >= rows_.rows()) {
        return Error("View '" + Entities(name_) + "' has no current row to " + change);
    }
    return true;
}

DatabaseResult SqlView::Update() {
    if (!KeyedRow("change")) return DatabaseFailed;
    if (gone_[static_cast<size_t>(row_)]) {
        return Fail("View '" + Entities(name_) + "' has no current row to change");
    }
    SqlConnection* connection = database_->connection();
    SqlStatement update;
    update.text = "UPDATE " + origin_.table + " SET ";
    for (size_t c = 0; c < edits_.size(); c++) {
        if (!edits_[c].set || origin_.columns[c].empty()) continue;
        if (!update.values.empty()) update.text += ", ";
        update.text += origin_.columns[c];
        update.text += " = ";
        update.values.push_back(edits_[c].value);
        update.text += connection->Placeholder(static_cast<int>(update.values.size()));
    }
    if (update.values.empty()) return DatabaseDone;  // nothing was assigned
    KeyClause(&update);
    update.text += Returning(origin_);
    SqlRows back;
    String error;
    if (!connection->Run(update, &back, &error)) return Fail(Entities(error));
    database_->Changed();
    if (back.rows() < 1) {
        return Fail("The current row of view '" + Entities(name_) + "' is no longer in its table");
    }
    Take(back, row_);
    firstsmade_ = false;
    bytext_.clear();
    edits_.assign(edits_.size(), Edit());
    return DatabaseDone;
}

DatabaseResult SqlView::Delete() {
    if (!KeyedRow("delete")) return DatabaseFailed;
    if (gone_[static_cast<size_t>(row_)]) return DatabaseDone;
    SqlStatement remove;
    remove.text = "DELETE FROM " + origin_.table;
    KeyClause(&remove);
    SqlRows back;
    String error;
    if (!database_->connection()->Run(remove, &back, &error)) return Fail(Entities(error));
    database_->Changed();
    gone_[static_cast<size_t>(row_)] = true;
    gonecount_++;
    return DatabaseDone;
}

DatabaseResult SqlView::UnDelete() {
    return Fail(String("KpUNDELETE is not currently supported for databases of type '") +
                database_->type() + "': a row deleted is gone");
}

// ---------------------------------------------------------------------------
// SqlDatabase

SqlDatabase::SqlDatabase(ScriptParser* parser, const String& name, const char* driver)
    : Database(name), engine_(parser->engine()), parser_(parser), driver_(driver) {}

SqlDatabase::~SqlDatabase() {
    Close();
}

bool SqlDatabase::Unsupported(const char* tag) {
    return Error(String(tag) + " is not currently supported for databases of type '" + driver_ +
                 "'");
}

bool SqlDatabase::Connect(const String& database, const String& user, const String& password,
                          bool create) {
    String error;
    if (strcmp(driver_, "sqlite") == 0) {
        if (!user.empty() || !password.empty()) {
            return Error("A sqlite database has no users: KpOPEN takes no USER or PASSWORD for it");
        }
        connection_ = OpenSqlite(engine_, database, create, &error);
    } else {
        if (create) return Unsupported("KpCREATE");
        connection_ = ConnectPostgresql(engine_, database, user, password, &shared_, &error);
    }
    if (connection_ == nullptr) {
        engine_->Log(2, "FILEERROR",
                     "filename=" + database + "&type=database&operation=" +
                         (create ? "creating" : "opening") + "&error=" + error);
        return Error(Entities(error));
    }
    engine_->Log(2, "FILEOPENED", "filename=" + database + "&type=database");
    return true;
}

bool SqlDatabase::Open(const String& database, const String& user, const String& password) {
    return Connect(database, user, password, false);
}

bool SqlDatabase::Create(const String& database, const String& fields) {
    if (!fields.trimmed().empty()) {
        return Error("KpCREATE makes an empty database of type '" + String(driver_) +
                     "' (FIELDS=\"\"); its tables are made with KpQUERY");
    }
    return Connect(database, String(), String(), true);
}

bool SqlDatabase::OpenIndexes(const String& list) {
    if (list.trimmed().empty()) return true;
    return Unsupported("KpSETINDEX");
}

bool SqlDatabase::SetPrimaryIndex(const String&) {
    return Unsupported("KpPRIMARY INDEX");
}

bool SqlDatabase::CreateIndex(const String&, const String&, const String&) {
    return Unsupported("KpMAKEINDEX");
}

bool SqlDatabase::Pack() {
    return Unsupported("KpPACK");
}

bool SqlDatabase::Reindex() {
    return Unsupported("KpREINDEX");
}

void SqlDatabase::Close() {
    while (views_.First() != nullptr) RemoveView(views_.First());
    if (connection_ != nullptr) {
        if (shared_) {
            ReleasePostgresql(connection_);
        } else {
            delete connection_;
        }
    }
    connection_ = nullptr;
    engine_->vars()->Invalidate();
}

bool SqlDatabase::Bind(const String& query, SqlStatement* statement) {
    if (connection_ == nullptr) return Error("Database '" + Entities(name_) + "' is not open");
    String error;
    if (!BindQuery(connection_, parser_->variables(), query, statement, &error)) {
        return Error(Entities(error));
    }
    return true;
}

bool SqlDatabase::OpenView(const String& view, const String& query) {
    SqlStatement statement;
    if (!Bind(query, &statement)) return false;
    SqlView* v = new SqlView(this, view);
    if (!v->Open(statement)) {
        String message = v->error();
        delete v;
        return Error(message);
    }
    AddView(v);
    engine_->vars()->Invalidate();
    return true;
}

bool SqlDatabase::RunQuery(const String& query) {
    SqlStatement statement;
    if (!Bind(query, &statement)) return false;
    SqlRows rows;
    String error;
    bool ok = connection_->Run(statement, &rows, &error);
    Changed();
    return ok || Error(Entities(error));
}

Variable* SqlDatabase::FindVariable(const String& name) {
    SqlView* primary = static_cast<SqlView*>(primaryview_);
    if (primary != nullptr) {
        Variable* v = primary->FindVariable(name);
        if (v != nullptr) return v;
    }
    for (DatabaseView* view = views_.First(); view != nullptr; view = views_.Next()) {
        if (view == primary) continue;
        Variable* v = static_cast<SqlView*>(view)->FindVariable(name);
        if (v != nullptr) return v;
    }
    return nullptr;
}
