// Database and DatabaseView: what the database tags need of a database driver. A
// database is opened under a name a page chooses; a view is a cursor over it with
// its own filter. The engine owns the open databases.

#ifndef DATA_DATABASE_H_
#define DATA_DATABASE_H_

#include "foundation/list.h"
#include "foundation/string.h"

class Variable;

// How a move, search or change ended. End of file is no error: the tags report it
// in their _Error variable and go on.
enum DatabaseResult { DatabaseFailed = 0, DatabaseDone = 1, DatabaseEndOfFile = 2 };

// What databases and views have alike: the name a page gave them and the last error.
class DatabaseEntity {
  public:
    explicit DatabaseEntity(const String& name) : name_(name) {}
    virtual ~DatabaseEntity() {}
    DatabaseEntity(const DatabaseEntity&) = delete;
    DatabaseEntity& operator=(const DatabaseEntity&) = delete;

    const String& name() const { return name_; }
    const String& error() const { return error_; }
    // Records the message and returns false.
    bool Error(const String& message) {
        error_ = message;
        return false;
    }
    const char* key() const { return name_.chars(); }

  protected:
    String name_;
    String error_;
};

class DatabaseView : public DatabaseEntity {
  public:
    explicit DatabaseView(const String& name) : DatabaseEntity(name) {}
    // An empty expression removes the filter.
    virtual bool SetFilter(const String& expression) = 0;
    // Writes the columns of the table as a new table named name.
    virtual bool RevealStructure(const String& name) = 0;
    // n records on (back for negative n); -1 top, -2 bottom, else a record number.
    virtual DatabaseResult Skip(long n) = 0;
    virtual DatabaseResult Go(long n) = 0;
    virtual DatabaseResult Find(const String& key, bool exact) = 0;
    virtual DatabaseResult Add() = 0;
    virtual DatabaseResult Update() = 0;
    virtual DatabaseResult Delete() = 0;
    virtual DatabaseResult UnDelete() = 0;
};

class Database : public DatabaseEntity {
  public:
    explicit Database(const String& name)
        : DatabaseEntity(name), views_(1), primaryview_(nullptr) {}

    // Each returns false with the reason in error().
    virtual bool Open(const String& database, const String& user, const String& password) = 0;
    virtual bool OpenIndexes(const String& list) = 0;
    virtual bool SetPrimaryIndex(const String& name) = 0;
    virtual bool Create(const String& database, const String& fields) = 0;
    virtual bool CreateIndex(const String& name, const String& expression, const String& flags) = 0;
    virtual void Close() = 0;
    virtual bool OpenView(const String& view, const String& query) = 0;
    virtual bool RunQuery(const String& query) = 0;
    virtual bool Pack() = 0;
    virtual bool Reindex() = 0;
    virtual const char* type() const = 0;
    // The field or record variable of that name (case ignored), or null.
    virtual Variable* FindVariable(const String& name) = 0;

    // Views; the database owns them.
    DatabaseView* FindView(const String& name) { return views_.Find(name.chars()); }
    DatabaseView* PrimaryView() const { return primaryview_; }
    void SetPrimaryView(DatabaseView* view) { primaryview_ = view; }
    SearchableList<DatabaseView, const char*>& views() { return views_; }
    // Takes ownership of view; the first view added becomes the primary one.
    void AddView(DatabaseView* view) {
        views_.Insert(view, ListTail);
        if (primaryview_ == nullptr) primaryview_ = view;
    }
    // Deletes view.
    void RemoveView(DatabaseView* view) {
        if (views_.Seek(view) != nullptr) views_.Remove(ListCurrent);
        if (primaryview_ == view) primaryview_ = views_.First();
        delete view;
    }

  protected:
    SearchableList<DatabaseView, const char*> views_;  // owns elements
    DatabaseView* primaryview_;                        // not owned: one of views_
};

#endif  // DATA_DATABASE_H_
