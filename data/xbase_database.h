// The xbase3 database driver: one dBase III table with its open index files, a view
// that moves through it (in index order when a primary index is set) under an
// optional filter, and the table's maintenance (create, pack, reindex, reveal
// structure).
//
// An index key is the value of the index's key expression while the fields hold a
// record's values (the field variables make them visible to the expression). Every
// change keeps every open index current; indexes that are not open are not.
//
// Pack and reindex build complete new files beside the originals and only then put
// them in place; a journal file (TABLE.dbf + ".pack") lists the replacements of a
// pack, so that a table whose pack was interrupted after its new files were ready
// is finished by the next open, and one interrupted before keeps its old files.

#ifndef DATA_XBASE_DATABASE_H_
#define DATA_XBASE_DATABASE_H_

#include <vector>

#include "data/data_context.h"
#include "data/database.h"
#include "data/index_file.h"
#include "data/view_filter.h"
#include "data/xbase_table.h"
#include "script/expression.h"
#include "script/variables.h"

class Expression;
class Kelp;
class ScriptParser;
class XBaseDatabase;

// Where an index's key expression runs. The expression is read from the index file,
// which anyone who can write beside the table can plant: it is data, evaluated with
// field values, operators and pure built-ins only, never the page's functions or the
// built-ins that reach files, the network, variables or the output.
class KeyExpressionContext : public ExpressionContext {
  public:
    // parser: not owned.
    explicit KeyExpressionContext(ScriptParser* parser) : parser_(parser) {}

    Variables* variables() override;
    Function* FindFunction(const String& name) override;
    int CallFunction(Function* f, VariableTree* arguments, String* result) override;
    void ExpressionError(const String& message) override;

    // While reading, errors are kept (in message()) rather than reported on the page.
    void SetReading(bool reading) {
        reading_ = reading;
        if (reading) message_ = String();
    }
    const String& message() const { return message_; }

  private:
    ScriptParser* parser_;  // not owned
    bool reading_ = false;
    String message_;
};

// One open index file and its parsed key expression.
class XBaseIndex {
  public:
    // parser: not owned; evaluates the key expression.
    XBaseIndex(ScriptParser* parser, const String& name);
    ~XBaseIndex();
    XBaseIndex(const XBaseIndex&) = delete;
    XBaseIndex& operator=(const XBaseIndex&) = delete;

    // Opens the index file read + write and parses its key expression.
    bool Open(const String& path, const String& errorpath);
    // Creates the file with the expression and flags (see IndexFlag).
    bool Create(const String& path, const String& errorpath, const String& expression, int flags);
    void Close();
    // The key of the record the fields hold now.
    bool Key(String* key);

    BrnIndexFile& file() { return file_; }
    const String& name() const { return name_; }
    const String& filepath() const { return filepath_; }
    const String& errorpath() const { return errorpath_; }
    const String& error() const { return error_; }
    const char* key() const { return name_.chars(); }

  private:
    bool Parse(const String& expression);

    ScriptParser* parser_;  // not owned
    String name_;           // as the page gave it
    String filepath_;
    String errorpath_;
    String error_;
    Expression* expression_;  // owned
    KeyExpressionContext context_;
    BrnIndexFile file_;
};

class XBaseDatabaseView : public DatabaseView {
  public:
    // database: not owned; owns the view.
    explicit XBaseDatabaseView(XBaseDatabase* database);
    ~XBaseDatabaseView() override;

    bool SetFilter(const String& expression) override;
    bool RevealStructure(const String& name) override;
    DatabaseResult Skip(long n) override;
    DatabaseResult Go(long n) override;
    DatabaseResult Find(const String& key, bool exact) override;
    DatabaseResult Add() override;
    DatabaseResult Update() override;
    DatabaseResult Delete() override;
    DatabaseResult UnDelete() override;

    bool eof() const { return eof_; }
    // The primary index changed: its cursor is placed there, not by a pending seek.
    void ForgetCursor() { seekpending_ = false; }

  private:
    // The primary index's cursor is placed on (key, recno) when a move first needs it:
    // a page that adds many records never moves from them.
    void SeekLater(const String& key, long recno) {
        seekpending_ = true;
        seekkey_ = key;
        seekrecno_ = recno;
    }
    bool PlaceCursor();
    // Whether the current record passes the filter; *ok false when it failed.
    bool Passes(bool* ok);
    // Reads record recno; false (with the table's message) when it cannot.
    bool Read(long recno);
    DatabaseResult Fail(const String& message) {
        Error(message);
        return DatabaseFailed;
    }
    DatabaseResult AtEnd() {
        eof_ = true;
        return DatabaseEndOfFile;
    }

    XBaseDatabase* database_;  // not owned
    ViewFilter filter_;
    bool eof_;
    bool seekpending_;
    String seekkey_;
    long seekrecno_;
};

class XBaseDatabase : public Database, public HeldLocks {
  public:
    // parser: not owned; evaluates keys and filters and must outlive the database.
    XBaseDatabase(ScriptParser* parser, const String& name);
    ~XBaseDatabase() override;

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
    const char* type() const override { return "xbase3"; }
    Variable* FindVariable(const String& name) override { return variables_.Find(name.chars()); }

    // Parses a field specification ("name CHAR(30), price NUMBER(7.2), born DATE")
    // into specs; false with the message in *error.
    static bool ParseFields(const String& text, List<XBaseFieldSpec>* specs, String* error);
    // The flag words of an index ("unique, descending, string") as IndexFlag bits.
    static int IndexFlags(const String& words);
    // Finishes or abandons a pack that was interrupted (see the file comment).
    // False when the journal names files that cannot be put in place.
    // Messages name the table as shown (its path when empty).
    static bool Recover(Kelp* engine, const String& path, String* error,
                        const String& shown = String());
    // Whether Open() finishes an interrupted pack (as pages do); when not, it fails
    // with a message that says so and changes nothing.
    void SetFinishInterruptedPacks(bool finish) { finishpacks_ = finish; }

    XBaseTable& table() { return table_; }
    XBaseIndex* primaryindex() { return primary_; }
    SearchableList<XBaseIndex, const char*>& indexes() { return indexes_; }
    ScriptParser* parser() { return parser_; }
    Kelp* engine() { return engine_; }
    XBaseDatabaseView* view() { return view_; }
    // The key index gives the current record (the table's fields as they are now).
    bool IndexKey(XBaseIndex* index, String* key);
    // A run of adds holds the table and its open indexes (see DataContext::HoldLocks):
    // true once held, false with the error when a lock or a check fails.
    bool HoldForAdds();
    void ReleaseLocks() override;

  private:
    // Lets go of the locks of a run of adds before anything else is done here.
    void EndRunOfAdds();
    // Resolves a page's name in the data directory; false with the refusal.
    bool Resolve(const String& name, String* path);
    // After the table was opened or created (ok): its log entry, the view and the
    // variables of its fields; else the log entry of the failure and its message.
    bool Opened(bool ok, const char* operation);
    void Publish();
    void Unpublish();
    // A new file and the file it is to replace.
    struct Replacement {
        String from;
        String to;
    };
    // The replacements the journal of an interrupted pack of the table at path
    // names, as paths; false (*error set) when it names anything a pack of that
    // table does not make.
    static bool ReadPackJournal(const String& path, const String& shown,
                                std::vector<Replacement>* replacements, String* error);
    // Whether the table at path has the journal of an interrupted pack.
    static bool PackInterrupted(Kelp* engine, const String& path);
    friend class XBaseDatabaseView;

    // Inserts the key of every record into index.
    bool Fill(XBaseIndex* index);
    // Writes the live records into the table packed, and the open indexes beside
    // theirs; *made lists the new files.
    bool PackInto(const String& packed, std::vector<Replacement>* made);
    bool SyncAll(const std::vector<Replacement>& made);
    // Opens the table and the same indexes again after their files were replaced.
    bool Reopen();
    // Locks the table (when table) and every open index against changes by other
    // requests for a rebuild; false (reported, nothing held) when a lock fails.
    bool HoldForRebuild(bool table);
    // Releases the rebuild locks of the table (when table) and the indexes before upto.
    void ReleaseRebuild(bool table, XBaseIndex* upto);

    Kelp* engine_;          // not owned
    ScriptParser* parser_;  // not owned
    XBaseTable table_;
    SearchableList<XBaseIndex, const char*> indexes_;  // owns elements
    XBaseIndex* primary_;                              // not owned: one of indexes_
    String path_;                                      // the table file
    String database_;                                  // the table's name as the page gave it
    XBaseDatabaseView* view_;                          // not owned: the database's one view
    VariableTree variables_;                           // owns elements
    bool open_;
    bool finishpacks_ = true;
};

#endif  // DATA_XBASE_DATABASE_H_
