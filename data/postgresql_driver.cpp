// The postgresql driver: connections to the servers the configuration names, through
// libpq, opened with dlopen on first use. Every wait for the server (connecting,
// each statement) ends at the page's time limit, and a statement still running then
// is cancelled.
//
// The databases a request opens on one connection share it. A CGI request closes it
// when no database uses it any more; a FastCGI worker keeps it for later requests. A
// connection given back with a transaction open has it rolled back at once; one used
// again after it was given back has its session reset first (DISCARD ALL: temporary tables,
// settings, prepared statements, ...), so that nothing of one request reaches the
// next.

#include <errno.h>
#include <libpq-fe.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "data/sql_database.h"
#include "data/sql_drivers.h"
#include "foundation/key_compare.h"
#include "foundation/shared_library.h"
#include "script/engine.h"
#include "script/expression.h"

namespace {

struct Libpq {
    bool loaded = false;
    String error;
    decltype(&PQconnectStartParams) connect_start;
    decltype(&PQconnectPoll) connect_poll;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQsocket) socket;
    decltype(&PQfinish) finish;
    decltype(&PQsendQueryParams) send_query;
    decltype(&PQsendPrepare) send_prepare;
    decltype(&PQsendDescribePrepared) send_describe;
    decltype(&PQconsumeInput) consume;
    decltype(&PQisBusy) busy;
    decltype(&PQgetResult) result;
    decltype(&PQresultStatus) result_status;
    decltype(&PQresultErrorField) error_field;
    decltype(&PQresultErrorMessage) result_error;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQfname) fname;
    decltype(&PQftype) ftype;
    decltype(&PQftable) ftable;
    decltype(&PQftablecol) ftablecol;
    decltype(&PQgetvalue) value;
    decltype(&PQgetlength) length;
    decltype(&PQgetisnull) isnull;
    decltype(&PQclear) clear;
    decltype(&PQtransactionStatus) transaction;
    decltype(&PQgetCancel) get_cancel;
    decltype(&PQcancel) cancel;
    decltype(&PQfreeCancel) free_cancel;
    decltype(&PQsetnonblocking) set_nonblocking;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
};

Libpq* Library(String* error) {
    static Libpq p;
    static bool tried = false;
    if (tried) {
        if (!p.loaded) *error = p.error;
        return p.loaded ? &p : nullptr;
    }
    tried = true;
    SharedLibrary lib("The postgresql driver is not available: ", "libpq", "libpq.so.5");
    if (!lib.Open()) {
        p.error = lib.error();
        *error = p.error;
        return nullptr;
    }
    bool ok = lib.Find("PQconnectStartParams", &p.connect_start) &&
              lib.Find("PQconnectPoll", &p.connect_poll) && lib.Find("PQstatus", &p.status) &&
              lib.Find("PQerrorMessage", &p.error_message) && lib.Find("PQsocket", &p.socket) &&
              lib.Find("PQfinish", &p.finish) && lib.Find("PQsendQueryParams", &p.send_query) &&
              lib.Find("PQsendPrepare", &p.send_prepare) &&
              lib.Find("PQsendDescribePrepared", &p.send_describe) &&
              lib.Find("PQconsumeInput", &p.consume) && lib.Find("PQisBusy", &p.busy) &&
              lib.Find("PQgetResult", &p.result) && lib.Find("PQresultStatus", &p.result_status) &&
              lib.Find("PQresultErrorField", &p.error_field) &&
              lib.Find("PQresultErrorMessage", &p.result_error) &&
              lib.Find("PQntuples", &p.ntuples) && lib.Find("PQnfields", &p.nfields) &&
              lib.Find("PQfname", &p.fname) && lib.Find("PQftype", &p.ftype) &&
              lib.Find("PQftable", &p.ftable) && lib.Find("PQftablecol", &p.ftablecol) &&
              lib.Find("PQgetvalue", &p.value) && lib.Find("PQgetlength", &p.length) &&
              lib.Find("PQgetisnull", &p.isnull) && lib.Find("PQclear", &p.clear) &&
              lib.Find("PQtransactionStatus", &p.transaction) &&
              lib.Find("PQgetCancel", &p.get_cancel) && lib.Find("PQcancel", &p.cancel) &&
              lib.Find("PQfreeCancel", &p.free_cancel) &&
              lib.Find("PQsetnonblocking", &p.set_nonblocking) &&
              lib.Find("PQsetNoticeProcessor", &p.set_notice_processor);
    if (!ok) {
        p.error = lib.error();
        *error = p.error;
        return nullptr;
    }
    p.loaded = true;
    return &p;
}

long long NowMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// libpq's messages end with a line break and may run over several lines.
String OneLine(const char* message) {
    String text(message != nullptr ? message : "");
    String line;
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        line += (c == '\n' || c == '\r') ? ' ' : c;
    }
    return line.trimmed();
}

// The server's notices ("table does not exist, skipping") are not the page's output.
void IgnoreNotice(void*, const char*) {}

// How long a connection may take to be made when the page has no time limit.
const long long kConnectMilliseconds = 10000;

// Type numbers of the server's types whose text is read differently.
const unsigned kBool = 16, kFloat4 = 700, kFloat8 = 701;

class PostgresqlConnection : public SqlConnection {
  public:
    PostgresqlConnection(Libpq* p, PGconn* conn, const String& key)
        : p_(p), conn_(conn), key_(key) {}
    ~PostgresqlConnection() override { p_->finish(conn_); }

    bool Run(const SqlStatement& statement, SqlRows* rows, String* error) override;
    String Placeholder(int n) const override {
        char text[16];
        snprintf(text, sizeof text, "$%d", n);
        return String(text);
    }
    bool Describe(const SqlStatement& query, SqlOrigin* origin, String* error) override;

    // Ends a transaction left open; the session is reset before the next use.
    void GiveBack();
    // Resets the session of a connection used before; false when it is lost.
    bool TakeAgain(Kelp* engine);
    bool usable() const { return !broken_ && p_->status(conn_) == CONNECTION_OK; }

    const String& key() const { return key_; }
    int users = 0;
    Kelp* engine = nullptr;  // not owned: the request using the connection

  private:
    // Waits for the results of what was sent; the last one (null when there was
    // none) goes into *last, to be cleared by the caller. False with *error.
    bool Collect(PGresult** last, String* error);
    // The time by which the server must have answered.
    long long Deadline() const;
    bool SimpleRun(const char* text, String* error) {
        SqlStatement statement;
        statement.text = text;
        SqlRows rows;
        return Run(statement, &rows, error);
    }

    Libpq* p_;      // not owned
    PGconn* conn_;  // owned
    String key_;    // what it was made from
    bool broken_ = false;
    bool used_ = false;
};

bool keep = false;  // connections no database uses are kept for later requests

std::vector<PostgresqlConnection*>& Pool() {
    static std::vector<PostgresqlConnection*> pool;
    return pool;
}

long long PostgresqlConnection::Deadline() const {
    time_t deadline = engine != nullptr ? engine->deadline() : 0;
    return deadline != 0 ? static_cast<long long>(deadline) * 1000 : 0;
}

bool PostgresqlConnection::Collect(PGresult** last, String* error) {
    *last = nullptr;
    long long deadline = Deadline();
    int socket = p_->socket(conn_);
    String failure;
    for (;;) {
        while (p_->busy(conn_)) {
            int wait = -1;
            if (deadline != 0) {
                long long left = deadline - NowMilliseconds();
                if (left <= 0) {
                    PGcancel* cancel = p_->get_cancel(conn_);
                    char why[256];
                    if (cancel != nullptr) {
                        p_->cancel(cancel, why, sizeof why);
                        p_->free_cancel(cancel);
                    }
                    broken_ = true;  // what the server still sends is never read
                    if (*last != nullptr) p_->clear(*last);
                    *last = nullptr;
                    *error = "The database did not answer within the page's time limit";
                    return false;
                }
                wait = static_cast<int>(left > 1000 ? 1000 : left);
            }
            struct pollfd pfd = {socket, POLLIN, 0};
            int r = poll(&pfd, 1, wait);
            if (r < 0 && errno != EINTR) {
                broken_ = true;
                *error = "The connection to the database failed";
                return false;
            }
            if (!p_->consume(conn_)) {
                broken_ = true;
                *error = OneLine(p_->error_message(conn_));
                return false;
            }
        }
        PGresult* result = p_->result(conn_);
        if (result == nullptr) break;
        ExecStatusType status = p_->result_status(result);
        if (status == PGRES_FATAL_ERROR || status == PGRES_BAD_RESPONSE ||
            status == PGRES_NONFATAL_ERROR) {
            if (failure.empty()) {
                const char* primary = p_->error_field(result, PG_DIAG_MESSAGE_PRIMARY);
                failure = OneLine(primary != nullptr ? primary : p_->result_error(result));
                if (failure.empty()) failure = "The database refused the statement";
            }
            p_->clear(result);
            continue;
        }
        if (*last != nullptr) p_->clear(*last);
        *last = result;
    }
    if (p_->status(conn_) != CONNECTION_OK) broken_ = true;
    if (failure.empty()) return true;
    if (*last != nullptr) p_->clear(*last);
    *last = nullptr;
    *error = failure;
    return false;
}

bool PostgresqlConnection::Run(const SqlStatement& statement, SqlRows* rows, String* error) {
    rows->Clear();
    used_ = true;
    if (broken_) {
        *error = "The connection to the database was lost";
        return false;
    }
    std::vector<const char*> values;
    for (const SqlValue& v : statement.values) {
        if (!v.null && static_cast<int>(strlen(v.text.chars())) != v.text.length()) {
            *error = "A value holds a NUL byte, which the database's text cannot hold";
            return false;
        }
        values.push_back(v.null ? nullptr : v.text.chars());
    }
    if (!p_->send_query(conn_, statement.text.chars(), static_cast<int>(values.size()), nullptr,
                        values.empty() ? nullptr : values.data(), nullptr, nullptr, 0)) {
        *error = OneLine(p_->error_message(conn_));
        if (p_->status(conn_) != CONNECTION_OK) broken_ = true;
        return false;
    }
    PGresult* result;
    if (!Collect(&result, error)) return false;
    if (result == nullptr) return true;
    int columns = p_->nfields(result);
    int n = p_->ntuples(result);
    std::vector<unsigned> types;
    for (int c = 0; c < columns; c++) {
        rows->names.push_back(String(p_->fname(result, c)));
        types.push_back(p_->ftype(result, c));
    }
    bool ok = true;
    for (int r = 0; r < n && ok; r++) {
        for (int c = 0; c < columns && ok; c++) {
            SqlValue v;
            v.null = p_->isnull(result, r, c) != 0;
            if (!v.null) {
                const char* text = p_->value(result, r, c);
                unsigned type = types[static_cast<size_t>(c)];
                if (type == kBool) {
                    v.text = text[0] == 't' ? "1" : "0";
                } else if ((type == kFloat4 || type == kFloat8) && text[0] != 'N' &&
                           text[0] != 'I' && text[1] != 'I') {
                    v.text = FormatNumber(strtod(text, nullptr));
                } else {
                    v.text.assign(text, p_->length(result, r, c));
                }
            }
            if (!rows->Add(static_cast<SqlValue&&>(v))) {
                *error = "The query gave more rows than a view may hold";
                ok = false;
            }
        }
    }
    p_->clear(result);
    if (!ok) rows->Clear();
    return ok;
}

bool PostgresqlConnection::Describe(const SqlStatement& query, SqlOrigin* origin, String* error) {
    origin->table.clear();
    origin->columns.clear();
    origin->key.clear();
    PGresult* result;
    if (!p_->send_prepare(conn_, "", query.text.chars(), static_cast<int>(query.values.size()),
                          nullptr) ||
        !Collect(&result, error)) {
        return false;
    }
    if (result != nullptr) p_->clear(result);
    if (!p_->send_describe(conn_, "") || !Collect(&result, error) || result == nullptr) {
        return false;
    }
    unsigned table = 0;
    std::vector<int> attributes;
    bool one = true;
    for (int c = 0; c < p_->nfields(result); c++) {
        unsigned t = p_->ftable(result, c);
        int a = p_->ftablecol(result, c);
        attributes.push_back(t == 0 ? 0 : a);
        if (t == 0) continue;
        if (table != 0 && t != table) one = false;
        table = t;
    }
    p_->clear(result);
    if (!one || table == 0) return false;
    char oid[16];
    snprintf(oid, sizeof oid, "%u", table);
    SqlStatement ask;
    SqlValue value;
    value.text = oid;
    value.null = false;
    ask.values.push_back(value);
    SqlRows rows;
    ask.text =
        "SELECT quote_ident(n.nspname) || '.' || quote_ident(c.relname) FROM pg_catalog.pg_class "
        "c JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace WHERE c.oid = $1";
    if (!Run(ask, &rows, error) || rows.rows() != 1) return false;
    origin->table = rows.at(0, 0).text;
    ask.text =
        "SELECT attnum, quote_ident(attname) FROM pg_catalog.pg_attribute WHERE attrelid = $1 "
        "AND attnum > 0 AND NOT attisdropped";
    if (!Run(ask, &rows, error)) return false;
    for (int a : attributes) {
        String name;
        for (long r = 0; r < rows.rows() && a != 0; r++) {
            if (atoi(rows.at(r, 0).text.chars()) == a) name = rows.at(r, 1).text;
        }
        origin->columns.push_back(name);
    }
    ask.text =
        "SELECT k FROM pg_catalog.pg_index i, unnest(i.indkey) k WHERE i.indrelid = $1 AND "
        "i.indisprimary";
    if (!Run(ask, &rows, error)) return false;
    for (long r = 0; r < rows.rows(); r++) {
        int a = atoi(rows.at(r, 0).text.chars());
        int found = -1;
        for (size_t c = 0; c < attributes.size() && found < 0; c++) {
            if (attributes[c] == a) found = static_cast<int>(c);
        }
        if (found < 0) {
            origin->key.clear();
            break;
        }
        origin->key.push_back(found);
    }
    return true;
}

void PostgresqlConnection::GiveBack() {
    engine = nullptr;
    if (broken_ || p_->status(conn_) != CONNECTION_OK) return;
    if (p_->transaction(conn_) != PQTRANS_IDLE) {
        String error;
        if (!SimpleRun("ROLLBACK", &error)) broken_ = true;
    }
}

bool PostgresqlConnection::TakeAgain(Kelp* user) {
    engine = user;
    if (!usable()) return false;
    if (!used_) return true;
    String error;
    if (!SimpleRun("DISCARD ALL", &error)) return false;
    used_ = false;
    return true;
}

// The configured connection of that name; null when there is none.
const SqlConnectionSetting* Configured(Kelp* engine, const String& name) {
    for (const SqlConnectionSetting& c : engine->settings().sqlconnections) {
        if (CompareKeys(c.name.chars(), name.chars()) == 0) return &c;
    }
    return nullptr;
}

bool Allows(const SqlConnectionSetting& c, const char* word) {
    String list = c.allow;
    for (int start = 0; start <= list.length();) {
        int end = start;
        while (end < list.length() && list[end] != ',' && !String::IsWhitespace(list[end])) end++;
        if (list.at(start, end).matches(word)) return true;
        start = end + 1;
    }
    return false;
}

PGconn* Connect(Libpq* p, Kelp* engine, const char* const* keywords, const char* const* values,
                String* error) {
    PGconn* conn = p->connect_start(keywords, values, 1);
    if (conn == nullptr) {
        *error = "out of memory";
        return nullptr;
    }
    long long deadline = NowMilliseconds() + kConnectMilliseconds;
    if (engine->deadline() != 0) {
        long long limit = static_cast<long long>(engine->deadline()) * 1000;
        if (limit < deadline) deadline = limit;
    }
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (p->status(conn) != CONNECTION_BAD) {
        if (state == PGRES_POLLING_OK) {
            p->set_nonblocking(conn, 0);
            p->set_notice_processor(conn, IgnoreNotice, nullptr);
            return conn;
        }
        if (state == PGRES_POLLING_FAILED) break;
        long long left = deadline - NowMilliseconds();
        if (left <= 0) {
            p->finish(conn);
            *error = "the server did not answer in time";
            return nullptr;
        }
        struct pollfd pfd = {p->socket(conn),
                             static_cast<short>(state == PGRES_POLLING_READING ? POLLIN : POLLOUT),
                             0};
        int r = poll(&pfd, 1, static_cast<int>(left > 1000 ? 1000 : left));
        if (r < 0 && errno != EINTR) break;
        if (r == 0) continue;
        state = p->connect_poll(conn);
    }
    *error = OneLine(p->error_message(conn));
    if (error->empty()) *error = "the connection failed";
    p->finish(conn);
    return nullptr;
}

}  // namespace

SqlConnection* ConnectPostgresql(Kelp* engine, const String& database, const String& user,
                                 const String& password, bool* shared, String* error) {
    *shared = false;
    String name = database.before('/');
    bool hasdbname = database.search("/") >= 0;
    String dbname = hasdbname ? database.after('/') : String();
    const SqlConnectionSetting* c = Configured(engine, name);
    if (c == nullptr) {
        *error = "No database connection named '" + name +
                 "' is configured (an SQL-CONNECTION tag in the configuration file names it)";
        return nullptr;
    }
    struct Override {
        bool given;
        const char* word;
        const String& value;
    } overrides[] = {{hasdbname, "dbname", dbname},
                     {!user.empty(), "user", user},
                     {!password.empty(), "password", password}};
    for (const Override& o : overrides) {
        if (o.given && !Allows(*c, o.word)) {
            *error =
                "The database connection '" + name + "' does not let pages choose the " + o.word;
            return nullptr;
        }
    }
    Libpq* p = Library(error);
    if (p == nullptr) return nullptr;
    // Connections are kept by what they were made from.
    String key = c->connect;
    for (const Override& o : overrides) {
        key += '\n';
        if (o.given) key += o.value;
    }
    std::vector<PostgresqlConnection*>& pool = Pool();
    for (size_t i = 0; i < pool.size(); i++) {
        PostgresqlConnection* kept = pool[i];
        if (kept->key().length() != key.length() || strcmp(kept->key().chars(), key.chars()) != 0)
            continue;
        if (kept->users > 0 || kept->TakeAgain(engine)) {
            kept->users++;
            *shared = true;
            return kept;
        }
        delete kept;  // lost: a new one is made
        pool.erase(pool.begin() + static_cast<long>(i));
        break;
    }
    std::vector<const char*> keywords = {"dbname", "application_name"};
    std::vector<const char*> values = {c->connect.chars(), "kelp"};
    for (const Override& o : overrides) {
        if (!o.given) continue;
        keywords.push_back(o.word);
        values.push_back(o.value.chars());
    }
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = Connect(p, engine, keywords.data(), values.data(), error);
    if (conn == nullptr) {
        *error = "Database '" + name + "' cannot be reached: " + *error;
        return nullptr;
    }
    PostgresqlConnection* made = new PostgresqlConnection(p, conn, key);
    made->engine = engine;
    made->users = 1;
    pool.push_back(made);
    *shared = true;
    return made;
}

void ReleasePostgresql(SqlConnection* connection) {
    PostgresqlConnection* c = static_cast<PostgresqlConnection*>(connection);
    if (--c->users > 0) return;
    c->GiveBack();
    if (keep && c->usable()) return;
    std::vector<PostgresqlConnection*>& pool = Pool();
    for (size_t i = 0; i < pool.size(); i++) {
        if (pool[i] == c) pool.erase(pool.begin() + static_cast<long>(i));
    }
    delete c;
}

void KeepSqlConnections(bool keeping) {
    keep = keeping;
}
