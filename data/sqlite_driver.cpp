// The sqlite driver: a database file in the data directory through libsqlite3,
// opened with dlopen on first use. Files are opened in WAL mode with a busy time-out
// up to the page's time limit, so that requests writing at once wait for each other
// instead of failing; a statement that runs past the time limit is interrupted.

#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include <map>

#include "data/sql_database.h"
#include "data/sql_drivers.h"
#include "foundation/shared_library.h"
#include "script/engine.h"
#include "script/expression.h"

namespace {

struct Sqlite {
    bool loaded = false;
    String error;
    decltype(&sqlite3_open_v2) open;
    decltype(&sqlite3_close_v2) close;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_extended_result_codes) extended_codes;
    decltype(&sqlite3_busy_timeout) busy_timeout;
    decltype(&sqlite3_progress_handler) progress_handler;
    decltype(&sqlite3_set_authorizer) set_authorizer;
    decltype(&sqlite3_prepare_v2) prepare;
    decltype(&sqlite3_step) step;
    decltype(&sqlite3_reset) reset;
    decltype(&sqlite3_clear_bindings) clear_bindings;
    decltype(&sqlite3_finalize) finalize;
    decltype(&sqlite3_bind_text) bind_text;
    decltype(&sqlite3_bind_int64) bind_int64;
    decltype(&sqlite3_bind_null) bind_null;
    decltype(&sqlite3_bind_parameter_count) parameter_count;
    decltype(&sqlite3_column_count) column_count;
    decltype(&sqlite3_column_name) column_name;
    decltype(&sqlite3_column_type) column_type;
    decltype(&sqlite3_column_int64) column_int64;
    decltype(&sqlite3_column_double) column_double;
    decltype(&sqlite3_column_text) column_text;
    decltype(&sqlite3_column_blob) column_blob;
    decltype(&sqlite3_column_bytes) column_bytes;
    decltype(&sqlite3_column_table_name) column_table_name;
    decltype(&sqlite3_column_origin_name) column_origin_name;
    decltype(&sqlite3_column_database_name) column_database_name;
    decltype(&sqlite3_limit) limit;
};

Sqlite* Library(String* error) {
    static Sqlite s;
    static bool tried = false;
    if (tried) {
        if (!s.loaded) *error = s.error;
        return s.loaded ? &s : nullptr;
    }
    tried = true;
    SharedLibrary lib("The sqlite driver is not available: ", "libsqlite3", "libsqlite3.so.0");
    if (!lib.Open()) {
        s.error = lib.error();
        *error = s.error;
        return nullptr;
    }
    bool ok = lib.Find("sqlite3_open_v2", &s.open) && lib.Find("sqlite3_close_v2", &s.close) &&
              lib.Find("sqlite3_errmsg", &s.errmsg) &&
              lib.Find("sqlite3_extended_result_codes", &s.extended_codes) &&
              lib.Find("sqlite3_busy_timeout", &s.busy_timeout) &&
              lib.Find("sqlite3_progress_handler", &s.progress_handler) &&
              lib.Find("sqlite3_set_authorizer", &s.set_authorizer) &&
              lib.Find("sqlite3_prepare_v2", &s.prepare) && lib.Find("sqlite3_step", &s.step) &&
              lib.Find("sqlite3_reset", &s.reset) &&
              lib.Find("sqlite3_clear_bindings", &s.clear_bindings) &&
              lib.Find("sqlite3_finalize", &s.finalize) &&
              lib.Find("sqlite3_bind_text", &s.bind_text) &&
              lib.Find("sqlite3_bind_int64", &s.bind_int64) &&
              lib.Find("sqlite3_bind_null", &s.bind_null) &&
              lib.Find("sqlite3_bind_parameter_count", &s.parameter_count) &&
              lib.Find("sqlite3_column_count", &s.column_count) &&
              lib.Find("sqlite3_column_name", &s.column_name) &&
              lib.Find("sqlite3_column_type", &s.column_type) &&
              lib.Find("sqlite3_column_int64", &s.column_int64) &&
              lib.Find("sqlite3_column_double", &s.column_double) &&
              lib.Find("sqlite3_column_text", &s.column_text) &&
              lib.Find("sqlite3_column_blob", &s.column_blob) &&
              lib.Find("sqlite3_column_bytes", &s.column_bytes) &&
              lib.Find("sqlite3_column_table_name", &s.column_table_name) &&
              lib.Find("sqlite3_column_origin_name", &s.column_origin_name) &&
              lib.Find("sqlite3_column_database_name", &s.column_database_name) &&
              lib.Find("sqlite3_limit", &s.limit);
    if (!ok) {
        s.error = lib.error();
        *error = s.error;
        return nullptr;
    }
    s.loaded = true;
    return &s;
}

// A statement may not reach outside the data directory: attaching another database
// file is refused (VACUUM INTO and ATTACH name files anywhere).
int Authorize(void*, int action, const char*, const char*, const char*, const char*) {
    return action == SQLITE_ATTACH || action == SQLITE_DETACH ? SQLITE_DENY : SQLITE_OK;
}

// Called every few thousand steps of a statement: a page out of time stops it.
int Progress(void* engine) {
    return static_cast<Kelp*>(engine)->timedout() ? 1 : 0;
}

struct TextOrder {
    bool operator()(const String& a, const String& b) const {
        int n = a.length() < b.length() ? a.length() : b.length();
        int c = memcmp(a.chars(), b.chars(), static_cast<size_t>(n));
        return c != 0 ? c < 0 : a.length() < b.length();
    }
};

class SqliteConnection : public SqlConnection {
  public:
    SqliteConnection(Sqlite* s, sqlite3* db, Kelp* engine) : s_(s), db_(db), engine_(engine) {}
    ~SqliteConnection() override {
        for (auto& kept : statements_) s_->finalize(kept.second);
        s_->close(db_);
    }

    bool Run(const SqlStatement& statement, SqlRows* rows, String* error) override;
    String Placeholder(int n) const override {
        char text[16];
        snprintf(text, sizeof text, "?%d", n);
        return String(text);
    }
    bool Describe(const SqlStatement& query, SqlOrigin* origin, String* error) override;

    // Settings of a connection just opened; false with the reason.
    bool Start(String* error);

  private:
    // The prepared statement for text (kept for the next use); null with *error.
    sqlite3_stmt* Prepare(const String& text, String* error);
    bool Bind(sqlite3_stmt* statement, const SqlStatement& values, String* error);
    String Message() { return String(s_->errmsg(db_)); }
    void BusyWait() {
        int left = engine_->timeremaining();
        long ms = left < 0 ? 30000L : (left > 0 ? left * 1000L : 0L);
        if (ms > 30000) ms = 30000;
        s_->busy_timeout(db_, static_cast<int>(ms));
    }

    Sqlite* s_;    // not owned
    sqlite3* db_;  // owned
    Kelp* engine_;
    std::map<String, sqlite3_stmt*, TextOrder> statements_;  // owned statements, by their text
};

bool SqliteConnection::Start(String* error) {
    s_->extended_codes(db_, 1);
    s_->set_authorizer(db_, Authorize, nullptr);
    s_->progress_handler(db_, 4000, Progress, engine_);
    BusyWait();
    SqlRows rows;
    SqlStatement wal;
    wal.text = "PRAGMA journal_mode=WAL";
    return Run(wal, &rows, error);
}

sqlite3_stmt* SqliteConnection::Prepare(const String& text, String* error) {
    auto kept = statements_.find(text);
    if (kept != statements_.end()) return kept->second;
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    if (s_->prepare(db_, text.chars(), text.length() + 1, &statement, &tail) != SQLITE_OK) {
        *error = Message();
        return nullptr;
    }
    if (statement == nullptr) {
        *error = "The query is empty";
        return nullptr;
    }
    while (tail != nullptr && String::IsWhitespace(*tail)) tail++;
    if (tail != nullptr && *tail == ';') {
        for (tail++; String::IsWhitespace(*tail);) tail++;
    }
    if (tail != nullptr && *tail != '\0') {
        s_->finalize(statement);
        *error = "A query holds one statement";
        return nullptr;
    }
    if (statements_.size() >= 32) {
        for (auto& old : statements_) s_->finalize(old.second);
        statements_.clear();
    }
    statements_[text] = statement;
    return statement;
}

bool SqliteConnection::Bind(sqlite3_stmt* statement, const SqlStatement& values, String* error) {
    int wanted = s_->parameter_count(statement);
    for (int i = 0; i < wanted; i++) {
        int n = i + 1;
        int r;
        if (static_cast<size_t>(i) >= values.values.size() || values.values[i].null) {
            r = s_->bind_null(statement, n);
        } else {
            const String& text = values.values[static_cast<size_t>(i)].text;
            long long whole;
            r = PlainWholeNumber(text, &whole)
                    ? s_->bind_int64(statement, n, whole)
                    : s_->bind_text(statement, n, text.chars(), text.length(), SQLITE_TRANSIENT);
        }
        if (r != SQLITE_OK) {
            *error = Message();
            return false;
        }
    }
    return true;
}

bool SqliteConnection::Run(const SqlStatement& statement, SqlRows* rows, String* error) {
    rows->Clear();
    sqlite3_stmt* st = Prepare(statement.text, error);
    if (st == nullptr) return false;
    BusyWait();
    bool ok = Bind(st, statement, error);
    int columns = s_->column_count(st);
    for (int c = 0; c < columns; c++) rows->names.push_back(String(s_->column_name(st, c)));
    while (ok) {
        int r = s_->step(st);
        if (r == SQLITE_DONE) break;
        if (r != SQLITE_ROW) {
            *error = engine_->timedout() ? String("The query ran out of time") : Message();
            ok = false;
            break;
        }
        for (int c = 0; c < columns && ok; c++) {
            SqlValue v;
            v.null = false;
            switch (s_->column_type(st, c)) {
                case SQLITE_NULL:
                    v.null = true;
                    break;
                case SQLITE_INTEGER: {
                    char text[32];
                    snprintf(text, sizeof text, "%lld",
                             static_cast<long long>(s_->column_int64(st, c)));
                    v.text = text;
                    break;
                }
                case SQLITE_FLOAT:
                    v.text = FormatNumber(s_->column_double(st, c));
                    break;
                default: {
                    const void* bytes = s_->column_blob(st, c);
                    int length = s_->column_bytes(st, c);
                    if (bytes != nullptr) v.text.assign(static_cast<const char*>(bytes), length);
                    break;
                }
            }
            if (!rows->Add(static_cast<SqlValue&&>(v))) {
                *error = "The query gave more rows than a view may hold";
                ok = false;
            }
        }
    }
    s_->reset(st);
    s_->clear_bindings(st);
    if (!ok) rows->Clear();
    return ok;
}

bool SqliteConnection::Describe(const SqlStatement& query, SqlOrigin* origin, String* error) {
    origin->table.clear();
    origin->columns.clear();
    origin->key.clear();
    sqlite3_stmt* st = Prepare(query.text, error);
    if (st == nullptr) return false;
    String table;
    int columns = s_->column_count(st);
    for (int c = 0; c < columns; c++) {
        const char* t = s_->column_table_name(st, c);
        const char* o = s_->column_origin_name(st, c);
        const char* d = s_->column_database_name(st, c);
        if (t == nullptr || o == nullptr || d == nullptr || strcmp(d, "main") != 0) {
            origin->columns.push_back(String());
            continue;
        }
        if (table.empty()) {
            table = t;
        } else if (!table.matches(t)) {
            return false;  // columns of two tables
        }
        origin->columns.push_back(QuoteIdentifier(String(o)));
    }
    if (table.empty()) return false;
    origin->table = QuoteIdentifier(table);
    // The primary key's columns, in the key's order; each must be in the view.
    SqlStatement info;
    info.text = "SELECT name FROM pragma_table_info(?1) WHERE pk > 0 ORDER BY pk";
    SqlValue name;
    name.text = table;
    name.null = false;
    info.values.push_back(name);
    SqlRows keys;
    if (!Run(info, &keys, error)) return false;
    for (long k = 0; k < keys.rows(); k++) {
        String column = QuoteIdentifier(keys.at(k, 0).text);
        int found = -1;
        for (size_t c = 0; c < origin->columns.size() && found < 0; c++) {
            if (origin->columns[c].matches(column.chars())) found = static_cast<int>(c);
        }
        if (found < 0) {
            origin->key.clear();
            break;
        }
        origin->key.push_back(found);
    }
    return true;
}

}  // namespace

bool PlainWholeNumber(const String& text, long long* value) {
    const char* p = text.chars();
    int n = text.length();
    int i = p[0] == '-' ? 1 : 0;
    int digits = n - i;
    if (digits < 1 || digits > 18) return false;
    if (p[i] == '0' && (digits > 1 || i == 1)) return false;
    long long v = 0;
    for (; i < n; i++) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + (p[i] - '0');
    }
    *value = p[0] == '-' ? -v : v;
    return true;
}

SqlConnection* OpenSqlite(Kelp* engine, const String& name, bool create, String* error) {
    String path;
    if (!engine->ResolvePath(name, DataPath, &path, error)) return nullptr;
    Sqlite* s = Library(error);
    if (s == nullptr) return nullptr;
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (s->open(path.chars(), &db, flags, nullptr) != SQLITE_OK) {
        *error = "Database '" + name + "' cannot be opened: " +
                 (db != nullptr ? String(s->errmsg(db)) : String("out of memory"));
        if (db != nullptr) s->close(db);
        return nullptr;
    }
    SqliteConnection* connection = new SqliteConnection(s, db, engine);
    String why;
    if (!connection->Start(&why)) {
        *error = "Database '" + name + "' cannot be opened: " + why;
        delete connection;
        return nullptr;
    }
    return connection;
}
