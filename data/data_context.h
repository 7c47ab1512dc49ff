// DataContext: the data room's part of a request: the open databases, the primary
// one, the field scope, and the run of adds that keeps its table's locks.

#ifndef DATA_DATA_CONTEXT_H_
#define DATA_DATA_CONTEXT_H_

#include <vector>

#include "foundation/string.h"
#include "script/request_context.h"

class Database;
class Kelp;

// Write locks a run of changes keeps from one change to the next, so that it need not
// take them and read the files' headers again for each.
class HeldLocks {
  public:
    virtual ~HeldLocks() {}
    virtual void ReleaseLocks() = 0;
};

class DataContext : public RequestContext, public FieldSource, public OpenRun {
  public:
    explicit DataContext(Kelp* engine);
    ~DataContext() override;
    // The request's data context, attached on first use.
    static DataContext* Of(Kelp* engine);

    // Open databases, by the name a page gave them (case ignored); owned, and closed
    // when the request ends.
    Database* FindDatabase(const String& name);
    // Takes ownership of db; it goes first in the list and becomes the primary one.
    void AddDatabase(Database* db);
    void RemoveDatabase(Database* db);  // closes and deletes db
    Database* primarydatabase() const { return primarydatabase_; }
    // Makes db (when open) the primary database, first in the list.
    void SetPrimaryDatabase(Database* db);
    // The database whose fields unprefixed names find first, while its index keys or
    // filter are evaluated (null: none); returns the previous one.
    Database* SetFieldScope(Database* db);
    // The field varname of the database named dbname, or of the first open database
    // that has one when dbname is empty (the field scope's first); null when none.
    Variable* FindField(const String& dbname, const String& varname) override;

    // A run of adds to one table keeps its write locks (not owned) from one add to the
    // next. They are let go before any tag that does not continue such a run, before
    // output is written, before a built-in touches a file, when the request ends, and
    // once the run has held them for kHeldLocksMilliseconds: other requests wait for
    // a table no longer than that. HoldLocks() lets go of any other locks first.
    static const long kHeldLocksMilliseconds = 20;
    void HoldLocks(HeldLocks* locks);
    void ReleaseLocks();
    HeldLocks* heldlocks() const { return heldlocks_; }
    bool HeldLocksExpired() const;
    void SetHeldLocksLimit(long milliseconds) { heldlockslimit_ = milliseconds; }
    // Called before locks are taken for a run: after a run that ended by the time
    // limit, waits kTurnMicroseconds first, so that a request waiting for the locks
    // (woken when they were let go) takes them before this one takes them again.
    static const long kTurnMicroseconds = 300;
    void TakeTurn();

    void BeforeTag(bool continuesrun) override;
    void End() override { ReleaseLocks(); }
    void EndRequest() override;

  private:
    Kelp* engine_;                         // not owned
    std::vector<Database*> databases_;     // owned, the primary one first
    Database* primarydatabase_ = nullptr;  // not owned: one of databases_
    Database* fieldscope_ = nullptr;       // not owned: one of databases_
    Variable* closedend_ = nullptr;        // owned: "eof" of a database that is not open
    HeldLocks* heldlocks_ = nullptr;       // not owned
    long heldsince_ = 0;                   // milliseconds of the monotonic clock
    long heldlockslimit_ = kHeldLocksMilliseconds;
    bool turnowed_ = false;  // the last run ended by the time limit
};

// While it lives, unprefixed field names in expressions find the database's fields
// first (index keys and filters belong to their own table).
class FieldScope {
  public:
    FieldScope(Kelp* engine, Database* database);
    ~FieldScope();
    FieldScope(const FieldScope&) = delete;
    FieldScope& operator=(const FieldScope&) = delete;

  private:
    Kelp* engine_;
    Database* previous_;
    // The look-ups' generations before and after the scope was entered: leaving a
    // scope in which nothing was created or removed brings back the look-ups
    // remembered before it (a loop that skips through a table enters it at every
    // step).
    unsigned long before_;
    unsigned long entered_;
};

#endif  // DATA_DATA_CONTEXT_H_
