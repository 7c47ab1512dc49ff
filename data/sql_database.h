// Databases behind an SQL engine (the sqlite and postgresql drivers): the database
// tags over a connection. KpQUERY runs a statement; KpOPENVIEW runs a query and keeps
// its rows as a view that KpGO, KpSKIP and KpFIND move through and whose columns are
// field variables; KpADD, KpUPDATE and KpDELETE on a view of one table act on that
// table through its primary key.
//
// A query names page variables as :name. Their values are bound as parameters, never
// put into the statement's text. Query text is the page's own: outside text is
// refused by the tags before it reaches a driver. Everything read back is outside
// text.
//
// A view holds the rows its query gave when it was opened or last read. It reads
// them again before KpGO and KpFIND when anything was changed through the database
// since; KpSKIP walks the rows it holds, where this view's own changes show (a row
// updated shows its new values, a row deleted is passed over, a row added comes at
// the end).

#ifndef DATA_SQL_DATABASE_H_
#define DATA_SQL_DATABASE_H_

#include <vector>

#include "data/database.h"
#include "data/view_filter.h"
#include "foundation/string.h"
#include "script/variables.h"

class Expression;
class Kelp;
class ScriptParser;
class SqlDatabase;

// One value of a row: text, or SQL NULL (null, with empty text).
struct SqlValue {
    String text;
    bool null = true;
};

// The rows a statement gave, row after row, columns() values each.
class SqlRows {
  public:
    void Clear() {
        names.clear();
        cells.clear();
        bytes = 0;
    }
    int columns() const { return static_cast<int>(names.size()); }
    long rows() const { return names.empty() ? 0 : static_cast<long>(cells.size() / names.size()); }
    SqlValue& at(long row, int column) {
        return cells[static_cast<size_t>(row) * names.size() + static_cast<size_t>(column)];
    }
    // Adds a value to the last row; false once the rows hold more than kMaxBytes.
    bool Add(SqlValue&& value) {
        bytes += value.text.length() + 16;
        cells.push_back(static_cast<SqlValue&&>(value));
        return bytes <= kMaxBytes;
    }

    // What a view may hold in memory.
    static const long kMaxBytes = 64L * 1024 * 1024;

    std::vector<String> names;
    std::vector<SqlValue> cells;
    long bytes = 0;
    long changed = 0;  // rows a change statement touched
};

// Where the columns of a query come from: one table, and which of its columns.
struct SqlOrigin {
    String table;                 // quoted for the statement ("" when not one table)
    std::vector<String> columns;  // per result column: the table's column, quoted; "" when computed
    std::vector<int> key;         // the result columns that make the table's primary key
};

// A statement for a connection: text with the driver's placeholders, and the values
// they stand for, in order.
struct SqlStatement {
    String text;
    std::vector<SqlValue> values;
};

// A driver's connection.
class SqlConnection {
  public:
    virtual ~SqlConnection() {}
    // Runs a statement; the rows it returns (none for most changes) replace *rows.
    // False with the database's own message in *error.
    virtual bool Run(const SqlStatement& statement, SqlRows* rows, String* error) = 0;
    // The placeholder of the nth value (from 1).
    virtual String Placeholder(int n) const = 0;
    // Where the query's columns come from; false when not all from one table.
    virtual bool Describe(const SqlStatement& query, SqlOrigin* origin, String* error) = 0;
    // Whether the driver can give back the row a change made (INSERT ... RETURNING).
    virtual bool returning() const { return true; }
};

// Turns query text naming page variables as :name into a statement: the names become
// placeholders and their values are taken from the page's variables. Quoted text,
// quoted names, comments and "::" are left alone. False with the reason in *error
// when a name is no variable.
bool BindQuery(SqlConnection* connection, Variables* variables, const String& query,
               SqlStatement* statement, String* error);

// Quotes an identifier for a statement ("name", inner quotes doubled).
String QuoteIdentifier(const String& name);

class SqlView : public DatabaseView {
  public:
    // database: not owned; owns the view.
    SqlView(SqlDatabase* database, const String& name);
    ~SqlView() override;

    // Runs the query; false with the reason in error().
    bool Open(const SqlStatement& query);
    bool SetFilter(const String& expression) override;
    bool RevealStructure(const String& name) override;
    DatabaseResult Skip(long n) override;
    DatabaseResult Go(long n) override;
    DatabaseResult Find(const String& key, bool exact) override;
    DatabaseResult Add() override;
    DatabaseResult Update() override;
    DatabaseResult Delete() override;
    DatabaseResult UnDelete() override;

    Variable* FindVariable(const String& name) { return variables_.Find(name.chars()); }

    // What the field variables read and write. At end of file the fields still show
    // the last row a move came to.
    const SqlValue* Current(int column);
    void Assign(int column, const String& text, bool null);
    long row() const { return row_; }
    long total() const;
    bool eof() const { return eof_; }
    bool deleted() const;

  private:
    // Reads the rows again when the database changed since they were read.
    bool Refresh();
    // Moves to row (0-based; out of range: end of file), where the filter is true,
    // going on in direction (1 or -1) while it is false.
    DatabaseResult Land(long row, int direction);
    // Makes row the current one: 1 when it passes the filter, 0 when not, -1 when the
    // filter failed.
    int Arrive(long row);
    bool Passes(bool* ok);
    bool Origin();
    DatabaseResult Fail(const String& message) {
        Error(message);
        return DatabaseFailed;
    }
    DatabaseResult AtEnd(long row) {
        row_ = row;
        eof_ = true;
        edits_.assign(edits_.size(), Edit());
        return DatabaseEndOfFile;
    }
    // Puts the row a change gave back into row (of the rows held).
    void Take(const SqlRows& back, long row);
    // Whether the view holds its table's key and a current row to change; false with
    // the reason in error().
    bool KeyedRow(const char* change);
    // The key columns' WHERE clause for the current row, its values added to *where.
    bool KeyClause(SqlStatement* where);
    void Publish();

    struct Edit {
        bool set = false;
        SqlValue value;
    };

    SqlDatabase* database_;  // not owned
    SqlStatement query_;
    SqlRows rows_;
    std::vector<bool> gone_;  // rows deleted through this view
    long gonecount_ = 0;
    std::vector<Edit> edits_;  // per column: assigned since the last move
    // The rows in the order Find searches them: by their first column's number (for
    // those that are numbers) or text.
    struct FirstKey {
        bool number;
        double value;
        long row;
    };
    std::vector<FirstKey> firsts_;
    std::vector<long> bytext_;  // the rows by their first column's bytes alone
    bool firstsmade_ = false;
    long row_ = -1;
    long shown_ = -1;  // the row the fields show: the last one a move came to
    bool eof_ = true;
    unsigned long readat_ = 0;  // the database's changes when the rows were read
    bool described_ = false;
    bool onetable_ = false;
    SqlOrigin origin_;
    ViewFilter filter_;
    VariableTree variables_;  // owns elements
};

class SqlDatabase : public Database {
  public:
    // parser: not owned; must outlive the database. driver: "sqlite" or "postgresql".
    SqlDatabase(ScriptParser* parser, const String& name, const char* driver);
    ~SqlDatabase() override;

    bool Open(const String& database, const String& user, const String& password) override;
    bool OpenIndexes(const String& list) override;
    bool SetPrimaryIndex(const String& name) override;
    bool Create(const String& database, const String& fields) override;
    bool CreateIndex(const String& name, const String& expression, const String& flags) override;
    void Close() override;
    bool OpenView(const String& view, const String& query) override;
    bool RunQuery(const String& query) override;
    bool Pack() override;
    bool Reindex() override;
    const char* type() const override { return driver_; }
    Variable* FindVariable(const String& name) override;

    ScriptParser* parser() { return parser_; }
    Kelp* engine() { return engine_; }
    SqlConnection* connection() { return connection_; }
    // Counts the changes made through the database (views read their rows again).
    unsigned long changes() const { return changes_; }
    void Changed() { changes_++; }
    // Binds query for this database's connection; false with the reason in error().
    bool Bind(const String& query, SqlStatement* statement);

  private:
    // "KpTAG is not supported for databases of type 'driver'".
    bool Unsupported(const char* tag);
    bool Connect(const String& database, const String& user, const String& password, bool create);

    Kelp* engine_;          // not owned
    ScriptParser* parser_;  // not owned
    const char* driver_;
    SqlConnection* connection_ = nullptr;  // owned unless the driver keeps it
    bool shared_ = false;                  // the connection belongs to the driver's pool
    unsigned long changes_ = 1;
};

#endif  // DATA_SQL_DATABASE_H_
