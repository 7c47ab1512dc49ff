// The data room's part of a request.

#include "data/data_context.h"

#include <time.h>

#include "data/database.h"
#include "foundation/key_compare.h"
#include "script/engine.h"
#include "script/variables.h"

namespace {

// "eof" of a database that is not open: a table that could not be opened has no
// records, so a loop until its end (the usual list loop) ends at once instead of
// running until the time limit.
class ClosedEndVariable : public DynamicVariable {
  public:
    explicit ClosedEndVariable(Kelp* engine) : DynamicVariable(engine, "eof") {}

  protected:
    String Compute() override { return "1"; }
};

}  // namespace

Variable* DataContext::FindField(const String& dbname, const String& varname) {
    if (!dbname.empty()) {
        Database* db = FindDatabase(dbname);
        if (db != nullptr) return db->FindVariable(varname);
        if (CompareKeys(varname.chars(), "eof") != 0) return nullptr;
        if (closedend_ == nullptr) closedend_ = new ClosedEndVariable(engine_);
        return closedend_;
    }
    if (fieldscope_ != nullptr) {
        Variable* v = fieldscope_->FindVariable(varname);
        if (v != nullptr) return v;
    }
    for (Database* db : databases_) {
        Variable* v = db->FindVariable(varname);
        if (v != nullptr) return v;
    }
    return nullptr;
}

Database* DataContext::FindDatabase(const String& name) {
    for (Database* db : databases_) {
        if (db->name().matches(name.chars())) return db;
    }
    return nullptr;
}

// The list runs from the primary database on: a database opened or created goes to
// the front and becomes the primary one, and so does one made primary; unprefixed
// field names search the list in that order.
void DataContext::AddDatabase(Database* db) {
    databases_.insert(databases_.begin(), db);
    primarydatabase_ = db;
    engine_->vars()->Invalidate();
}

void DataContext::SetPrimaryDatabase(Database* db) {
    for (size_t i = 0; i < databases_.size(); i++) {
        if (databases_[i] != db) continue;
        databases_.erase(databases_.begin() + static_cast<long>(i));
        databases_.insert(databases_.begin(), db);
        primarydatabase_ = db;
        engine_->vars()->Invalidate();
        return;
    }
}

void DataContext::RemoveDatabase(Database* db) {
    for (size_t i = 0; i < databases_.size(); i++) {
        if (databases_[i] == db) databases_.erase(databases_.begin() + static_cast<long>(i));
    }
    if (primarydatabase_ == db)
        primarydatabase_ = databases_.empty() ? nullptr : databases_.front();
    if (fieldscope_ == db) fieldscope_ = nullptr;
    db->Close();
    delete db;
    engine_->vars()->Invalidate();
}

void DataContext::EndRequest() {
    ReleaseLocks();
    while (!databases_.empty()) RemoveDatabase(databases_.back());
}

DataContext::~DataContext() {
    EndRequest();
    delete closedend_;
}

DataContext::DataContext(Kelp* engine) : engine_(engine) {
    engine->SetFieldSource(this);
}

DataContext* DataContext::Of(Kelp* engine) {
    return engine->PartOf<DataContext>(DataContextSlot);
}

namespace {

long MonotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void DataContext::HoldLocks(HeldLocks* locks) {
    if (heldlocks_ != locks) ReleaseLocks();
    heldlocks_ = locks;
    heldsince_ = MonotonicMilliseconds();
    engine_->SetOpenRun(this);
}

void DataContext::BeforeTag(bool continuesrun) {
    if (!continuesrun || HeldLocksExpired()) ReleaseLocks();
}

void DataContext::ReleaseLocks() {
    HeldLocks* locks = heldlocks_;
    if (locks == nullptr) return;
    turnowed_ = HeldLocksExpired();
    heldlocks_ = nullptr;
    engine_->SetOpenRun(nullptr);
    locks->ReleaseLocks();
}

void DataContext::TakeTurn() {
    if (!turnowed_) return;
    turnowed_ = false;
    struct timespec pause = {0, kTurnMicroseconds * 1000};
    nanosleep(&pause, nullptr);
}

bool DataContext::HeldLocksExpired() const {
    return heldlocks_ != nullptr && MonotonicMilliseconds() - heldsince_ >= heldlockslimit_;
}

Database* DataContext::SetFieldScope(Database* db) {
    Database* previous = fieldscope_;
    if (db != previous) {
        fieldscope_ = db;
        engine_->vars()->Invalidate();  // remembered look-ups may name another table's field
    }
    return previous;
}

FieldScope::FieldScope(Kelp* engine, Database* database)
    : engine_(engine), before_(engine->vars()->generation()) {
    previous_ = DataContext::Of(engine_)->SetFieldScope(database);
    entered_ = engine_->vars()->generation();
}

FieldScope::~FieldScope() {
    Variables* vars = engine_->vars();
    bool untouched = vars->generation() == entered_;
    DataContext::Of(engine_)->SetFieldScope(previous_);
    if (untouched) vars->RestoreGeneration(before_);
}
