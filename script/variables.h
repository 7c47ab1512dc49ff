// Variables and scopes: named string values in the local, global, system and
// database scopes, the dynamic system variables computed on each read, and the
// store (Variables) that resolves scope prefixes, reads and assigns.

#ifndef SCRIPT_VARIABLES_H_
#define SCRIPT_VARIABLES_H_

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/list.h"
#include "foundation/recycler.h"
#include "foundation/splay_tree.h"
#include "foundation/stack.h"
#include "foundation/string.h"
#include "foundation/time_helpers.h"
#include "script/number_hint.h"

class Kelp;

// A named value. Names compare without regard to case.
//
// Every value knows whether it is outside text: anything that did not come from the
// page itself (request input, the environment, files, tables, the network), or was
// computed from such text. A macro delivers outside text as plain text, never as
// script. A variable holds outside text unless whoever assigns it says otherwise:
// only values computed from the page's own constants are marked page-made.
class Variable {
  public:
    Variable(const String& name, const String& value, bool outside = true)
        : name_(name),
          value_(value),
          number_(0),
          numberknown_(false),
          whole_(false),
          pending_(false),
          outside_(outside) {}
    virtual ~Variable() {}
    // A variable of this class itself, that keeps its value as given: assignments and
    // reads of it may skip the virtual calls (see plain()).
    static Variable* Plain(const String& name, const String& value, bool outside = true) {
        Variable* v = new Variable(name, value, outside);
        v->plain_ = true;
        return v;
    }
    Variable(const Variable&) = delete;
    Variable& operator=(const Variable&) = delete;
    // Every function call makes one per argument.
    static void* operator new(size_t size) { return Recycler::Take(size); }
    static void operator delete(void* p, size_t size) { Recycler::Give(p, size); }

    virtual const String& name() const { return name_; }
    // The current value; dynamic variables compute it on each call.
    virtual const String& value() {
        if (pending_) WritePending();
        return value_;
    }
    // Returns non-zero on success; on refusal the reason is in error().
    virtual int SetValue(const String& value);
    // Assigns a whole number (|number| < 1e15) whose text, its plain decimal form,
    // is written only when the value is read: arithmetic results are often only
    // used as numbers again. A subclass that overrides SetValue() must override
    // this too.
    virtual int SetNumber(double number);
    // SetValue(), and when hint knows what the value reads as a number, the
    // variable remembers it (if it keeps the value as given). A deferred hint's
    // number is assigned with SetNumber() (value is then unwritten).
    int SetValue(const String& value, const NumberHint* hint);
    // SetValue(value, hint) for a plain variable just made (an argument): the text is
    // taken over, and *value is left with the variable's former (empty) value.
    void Adopt(String* value, const NumberHint* hint);
    virtual const String& error() const { return error_; }
    const char* key() const { return name_.chars(); }
    // Whether the value is outside text (see the class comment).
    bool outside() const { return outside_; }
    void SetOutside(bool outside) { outside_ = outside || alwaysoutside_; }
    // Appends text to the value in place (repeated form fields); the value becomes
    // outside text.
    void Append(const String& text);
    // Whether the value is a whole number whose text is not written yet (see
    // SetNumber()): number() is then the value.
    bool pending() const { return pending_; }
    double number() const { return number_; }
    // Whether the variable was made by Plain(): value_ is its value, and SetValue()
    // and SetNumber() are this class's own. Any other may be of a subclass.
    bool plain() const { return plain_; }
    // Whether the value is empty; a whole number not written yet never is.
    [[gnu::always_inline]] bool Empty() {
        if (plain_) return !pending_ && value_.empty();
        return value().empty();
    }
    // For a plain variable: SetNumber(number) and SetOutside(outside).
    void PutNumber(double number, bool outside) {
        number_ = number;
        whole_ = true;
        numberknown_ = true;
        pending_ = true;
        SetOutside(outside);
    }
    // For a plain variable: SetValue(value, hint) and SetOutside(outside).
    void PutText(const String& value, const NumberHint* hint, bool outside) {
        Store(value);
        if (hint != nullptr && hint->known) {
            number_ = hint->number;
            whole_ = hint->whole;
            numberknown_ = true;
        }
        SetOutside(outside);
    }
    // Whether a reference to value() stays good while other variables are read
    // (dynamic variables compute a new value on every read).
    virtual bool stable() const { return true; }
    // The value read as a number (ToNumber), and in *whole whether all of the
    // value is that number; worked out once per value.
    [[gnu::always_inline]] double Number(bool* whole = nullptr) {
        if (pending_) {
            if (whole) *whole = true;
            return number_;
        }
        const String& text = value();
        if (&text != &value_) return OtherNumber(text, whole);
        if (!numberknown_) ReadNumber(text);
        if (whole) *whole = whole_;
        return number_;
    }

  protected:
    // Replaces the value.
    void Store(const String& value) {
        value_ = value;
        numberknown_ = false;
        pending_ = false;
    }
    // Records a refusal and returns 0.
    int Refuse(const String& message) {
        error_ = message;
        return 0;
    }
    // For variables whose value always comes from outside the page (table fields):
    // no assignment marks them page-made.
    void KeepOutside() {
        alwaysoutside_ = true;
        outside_ = true;
    }

    String name_;
    String error_;

  private:
    void ReadNumber(const String& text);
    void WritePending();
    // The number of a value not kept in value_.
    static double OtherNumber(const String& text, bool* whole);

    String value_;
    double number_;
    bool numberknown_;
    bool whole_;
    bool pending_;  // value_ is still to be written from number_
    bool outside_;
    bool alwaysoutside_ = false;
    bool plain_ = false;
};

// A system variable computed when read; refuses every assignment.
class DynamicVariable : public Variable {
  public:
    // engine: not owned.
    DynamicVariable(Kelp* engine, const String& name) : Variable(name, ""), engine_(engine) {}
    const String& value() override;
    int SetValue(const String& value) override;
    int SetNumber(double number) override;
    bool stable() const override { return false; }

  protected:
    // The value as of now.
    virtual String Compute() = 0;

    Kelp* engine_;  // not owned
};

// dyn_time_remaining: seconds before the script's time limit.
class TimeRemainingVariable : public DynamicVariable {
  public:
    explicit TimeRemainingVariable(Kelp* engine) : DynamicVariable(engine, "dyn_time_remaining") {}

  protected:
    String Compute() override;
};

// kelp_language: the engine's current language.
class LanguageVariable : public DynamicVariable {
  public:
    explicit LanguageVariable(Kelp* engine) : DynamicVariable(engine, "kelp_language") {}

  protected:
    String Compute() override;
};

// kelp_defaultlanguage: the engine's default language.
class DefaultLanguageVariable : public DynamicVariable {
  public:
    explicit DefaultLanguageVariable(Kelp* engine)
        : DynamicVariable(engine, "kelp_defaultlanguage") {}

  protected:
    String Compute() override;
};

// One field of a fresh snapshot of the clock.
enum DynamicTimeVariableType {
    DynTimeT = 0,  // dyn_time_t
    DynUsec,       // dyn_tm_usec
    DynSec,        // dyn_tm_sec
    DynMin,        // dyn_tm_min
    DynHour,       // dyn_tm_hour
    DynMday,       // dyn_tm_mday
    DynMon,        // dyn_tm_mon
    DynMonName,    // dyn_stm_mon
    DynYear,       // dyn_tm_year
    DynWday,       // dyn_tm_wday
    DynWdayName,   // dyn_stm_wday
    DynYday,       // dyn_tm_yday
    DynIsDst,      // dyn_tm_isdst
    DynZone,       // dyn_stm_zone
    DynTimeTypes,
};

// The clock read once; its fields are worked out when the first one is read, so a
// request that shows no time pays for no time-zone look-up.
class TimeSnapshot {
  public:
    TimeSnapshot();
    const char* Field(DynamicTimeVariableType type);

  private:
    struct timeval at_;
    STRTM fields_;
    bool filled_;
};

// tm_hour and the others: one field of the request's snapshot of the clock. An
// assignment replaces the value as for any system variable.
class SnapshotTimeVariable : public Variable {
  public:
    // snapshot: not owned; outlives the variable.
    SnapshotTimeVariable(const String& name, TimeSnapshot* snapshot, DynamicTimeVariableType type)
        : Variable(name, ""), snapshot_(snapshot), type_(type), read_(false) {}
    const String& value() override;
    int SetValue(const String& value) override;
    int SetNumber(double number) override;

  private:
    TimeSnapshot* snapshot_;
    DynamicTimeVariableType type_;
    bool read_;
};

class DynamicTimeVariable : public DynamicVariable {
  public:
    DynamicTimeVariable(Kelp* engine, DynamicTimeVariableType type);

  protected:
    String Compute() override;

  private:
    DynamicTimeVariableType type_;
};

// One scope: variables by name. Owns its variables when created owning.
class VariableTree : public SplayTree<Variable, const char*> {
  public:
    explicit VariableTree(int owns = 1) : SplayTree<Variable, const char*>(owns) {}
    // Set when the tree is pushed as a function scope: a number no other push has.
    unsigned long serial = 0;
    // A scope whose variables are a function's parameters, one per slot in their
    // order, names all different: every call of that function makes a scope of the
    // same layout (a number no other layout has; 0 for any other scope), so a name
    // found in one of its slots is in that slot in all of them.
    static const int kSlots = 8;
    unsigned long layout = 0;
    int slotcount = 0;
    Variable* slots[kSlots];
    // Assigns to the variable of that name, creating it if needed. Returns the
    // assignment's result (0 when the variable refuses the value).
    int SetVariable(const String& name, const String& value);
    // The argument of a call bound to that parameter name, or null: in a scope with
    // a layout every parameter has its slot.
    Variable* Argument(const char* name) {
        for (int k = 0; k < slotcount; k++) {
            if (CompareKeys(slots[k]->key(), name) == 0) return slots[k];
        }
        return layout != 0 ? nullptr : Find(name);
    }
};

// Variables in order of first assignment (parameter lists, listings).
class VariableList : public SearchableList<Variable, const char*> {
  public:
    explicit VariableList(int owns = 1) : SearchableList<Variable, const char*>(owns) {}
    int SetVariable(const String& name, const String& value);
};

enum VariableScope {
    ScopeLocal = 0,
    ScopeGlobal = 1,
    ScopeSystem = 2,
    ScopeDatabase = 3,
    ScopeDefault = 4,
};

// A script name resolved once: the scope code and the upper-cased variable and
// database names (see Variables::Scope). It also remembers the variable it found,
// valid while the store's generation is unchanged.
struct ScopedName {
    VariableScope scope = ScopeDefault;
    String varname;
    String dbname;
    mutable Variable* found = nullptr;     // not owned; found outside function scopes
    mutable bool fromsystem = false;       // found is a system variable
    mutable unsigned long generation = 0;  // of the store when found was looked up
    mutable bool maybelocal = true;        // a function scope may hold the name
    // No function scope can hide found: the name is not unprefixed, or found is a
    // system variable, or no function scope holds the name. Never set for local names,
    // whose generation stays 0 (no store's).
    mutable bool direct = false;
    // What a look-up found in a function scope (null: not there), valid while the
    // same push of the scope is innermost and the store's generation is unchanged.
    mutable Variable* localfound = nullptr;
    mutable unsigned long localserial = 0;
    mutable unsigned long localgeneration = 0;
    // The same for scopes with a layout: the slot that holds the name (-1: none),
    // valid in every scope of that layout while the store's generation is unchanged.
    mutable int localslot = -1;
    mutable unsigned long locallayout = 0;
    mutable unsigned long layoutgeneration = 0;
};

// The variable store of one request. Resolution by scope:
//   local     the innermost function scope, or the global scope outside functions
//   global    the global scope
//   system    the system-scope stack, innermost first
//   database  the open databases' field variables (through the engine)
//   default   system stack, innermost local scope, databases, then global
// Unprefixed assignments go to an existing system, local or field variable, else
// create a global. Scripts never create system or field variables.
class Variables {
  public:
    // engine: not owned; asked for field variables of open databases.
    explicit Variables(Kelp* engine);
    ~Variables();
    Variables(const Variables&) = delete;
    Variables& operator=(const Variables&) = delete;

    // Classifies name; varname and dbname come back upper-cased.
    static VariableScope Scope(const String& name, String* varname, String* dbname);
    static ScopedName Resolve(const String& name);

    Variable* Find(const String& name) { return Find(Resolved(name)); }
    [[gnu::always_inline]] Variable* Find(const ScopedName& name) {
        // What a look-up found outside the function scopes stays good while the
        // generation is unchanged; a function scope may still hide it.
        if (name.generation == generation_) {
            if (name.direct || locals_.empty()) return name.found;
            // A parameter, in the slot it has in every scope of the same layout.
            VariableTree* local = locals_.Top();
            if (local->layout != 0 && name.locallayout == local->layout &&
                name.layoutgeneration == generation_) {
                Variable* v = name.localslot < 0 ? nullptr : local->slots[name.localslot];
                return v ? v : name.found;
            }
        }
        return Search(name);
    }
    // A copy of the variable's value; empty when there is none. *outside tells
    // whether it is outside text.
    String Value(const String& name);
    String Value(const String& name, bool* outside);
    // Returns 0 when the variable refuses the value (error() then says why); an
    // assignment that finds no system or field variable is ignored and returns 1.
    // outside: whether the value is outside text; values whose origin the caller
    // cannot vouch for are.
    int SetVariable(const String& name, const String& value, bool outside = true);
    // hint: what the value reads as a number, when known; may be null. With a deferred
    // hint value is unwritten and the number is assigned (SetNumber()).
    int SetVariable(const ScopedName& name, const String& value, const NumberHint* hint = nullptr,
                    bool outside = true) {
        if (hint != nullptr && hint->deferred) return SetNumber(name, hint->number, outside);
        Variable* v = Find(name);
        if (v != nullptr && v->plain()) {
            v->PutText(value, hint, outside);
            return 1;
        }
        return SetText(name, v, value, hint, outside);
    }
    // Assigns a whole number, as SetVariable() would assign its plain decimal form.
    int SetNumber(const ScopedName& name, double number, bool outside = true) {
        Variable* v = Find(name);
        if (v != nullptr && v->plain()) {
            v->PutNumber(number, outside);
            return 1;
        }
        return SetNumber(name, v, number, outside);
    }
    // The reason of the last refused assignment.
    const String& error() const { return error_; }

    void AddGlobalVariable(const String& name, const String& value);
    // Repeated form fields arrive as one comma-separated value, appended in place.
    void AddFormVariable(const String& name, const String& value);
    void AddSystemVariable(const String& name, const String& value);
    // Takes ownership of v.
    void AddSystemVariable(Variable* v);
    // Registers the dynamic system variables (time, language, time remaining).
    void AddDynamicVariables();
    // Registers time_t, tm_usec, ... stm_zone: the clock as of this call.
    void AddTimeVariables();
    // Registers process_id.
    void AddProcessIdVariable();
    // The entries of environment ("NAME=value") as system variables, each made when
    // first looked up or listed (a page reads few of the dozens a web server passes, and
    // making them all at start shows in the hello page's time in bench/cgi_bench.sh;
    // the environment must stay as it is until then); names
    // in skipped (a null-terminated list) are left out. A variable given under the
    // same name hides the environment's.
    void AddEnvironment(char** environment, const char* const* skipped);
    // Look-ups remember what they found outside function scopes until a variable is
    // created or a system scope is pushed or popped. Whoever changes the set of field
    // variables (opening or closing a database or view) must call Invalidate().
    // Each invalidation makes a generation never used before in the process: a name
    // resolved by another store (an earlier request's, in a process that serves many)
    // never matches this one's.
    void Invalidate() { generation_ = ++generations_; }
    unsigned long generation() const { return generation_; }
    // Goes back to an earlier generation, whose remembered look-ups are good again:
    // for a scope that was entered and left with nothing created or removed meanwhile
    // (the caller checks that no other invalidation came between).
    void RestoreGeneration(unsigned long earlier) { generation_ = earlier; }
    String GetSystemVariableValue(const String& name);

    // The caller owns scopes it pushes and gets back on pop.
    void PushLocalVars(VariableTree* scope) {
        scope->serial = ++localserials_;
        locals_.Push(scope);
        // The names of a layout stay noted once they are.
        if (scope->layout != 0 && NotedLayout(scope->layout)) return;
        scope->Visit([this](Variable* v) { NoteLocalName(v->name()); });
        if (scope->layout != 0 && notedlayouts_.size() < 64) notedlayouts_.push_back(scope->layout);
    }
    VariableTree* PopLocalVars();
    void PushSystemVars(VariableTree* scope) {
        systems_.Push(scope);
        Invalidate();
    }
    // Never pops the base system scope; returns null instead.
    VariableTree* PopSystemVars();
    // The innermost function scope, or null outside functions.
    VariableTree* LocalScope() { return locals_.Top(); }

    // Append pointers to live variables to a non-owning list, ascending by name.
    void GetGlobalVariableList(VariableList& list);
    void GetSystemVariableList(VariableList& list);
    void GetLocalVariableList(VariableList& list);

  private:
    unsigned long localserials_ = 0;  // function scopes pushed so far
    // SetVariable() of a value whose text is written, and SetNumber(), given what
    // Find(name) found (v).
    int SetText(const ScopedName& name, Variable* v, const String& value, const NumberHint* hint,
                bool outside);
    int SetNumber(const ScopedName& name, Variable* v, double number, bool outside);
    // Find() when the remembered look-up does not answer.
    Variable* Search(const ScopedName& name);
    // The look-up of name in the function scope local, remembered.
    Variable* FindLocal(const ScopedName& name, VariableTree* local);
    // Function scopes hold only names noted here (parameters and local variables),
    // so a look-up of any other name can skip them.
    void NoteLocalName(const String& name);
    bool MaybeLocalName(const String& varname) const;
    bool NotedLayout(unsigned long layout) const {
        for (unsigned long noted : notedlayouts_)
            if (noted == layout) return true;
        return false;
    }
    // Resolve(name), remembered for names seen before (with their look-up).
    const ScopedName& Resolved(const String& name);

    Variable* FindSystem(const String& varname);
    // The built-in system variables are made when first looked up or listed: a
    // request that reads none of them makes none.
    Variable* FindInBaseSystem(const char* name);
    // Makes the pending built-in of that name; null when there is none.
    Variable* FindBuiltin(const char* name);
    bool Pending(int builtin) const { return (pendingbuiltins_ & (uint64_t{1} << builtin)) != 0; }
    void MakeBuiltin(int builtin);
    void MakeAllBuiltins();
    // The environment's variable of that name, made now; null when there is none.
    Variable* FindInEnvironment(const char* name);
    void MakeAllEnvironment();
    bool SkippedInEnvironment(const char* entry, int length) const;
    // The look-up in every scope but the function scopes.
    Variable* SearchOutsideFunctions(const ScopedName& name, bool* fromsystem);
    // Records a refusal in error_.
    int Assign(Variable* v, const String& value, const NumberHint* hint, bool outside);
    void Create(VariableTree* scope, const String& varname, const String& value,
                bool outside = true);
    Variable* FindField(const String& dbname, const String& varname);

    Kelp* engine_;                 // not owned
    TimeSnapshot* snapshot_;       // owned; null until AddTimeVariables
    VariableTree globals_;         // owns elements
    VariableTree* basesystem_;     // owned; also the bottom of systems_
    Stack<VariableTree> locals_;   // not owning
    Stack<VariableTree> systems_;  // not owning
    String error_;
    unsigned long generation_;
    static unsigned long generations_;  // the last generation made, by any store
    uint64_t pendingbuiltins_;          // one bit per built-in not made yet
    char** environment_;                // not owned; null once every entry is made
    int environmentmisses_ = 0;         // names looked for there in vain
    const char* const* skippedenvironment_;
    std::vector<String> localnames_;  // every name ever given to a function scope, in key order
    bool manylocalnames_;             // too many to note: any name may be local
    std::vector<unsigned long> notedlayouts_;  // scope layouts whose names are noted
    std::unordered_map<std::string, ScopedName> resolved_;
};

// The names of a comma-separated list of variables, trimmed; empty ones left out.
std::vector<String> SplitNameList(const String& list);

// A block's own variables as a system scope while the block runs: Pop() may be
// called again, and the destructor pops what is still pushed.
class PushedScope {
  public:
    explicit PushedScope(Variables* variables) : variables_(variables) {}
    ~PushedScope() { Pop(); }
    PushedScope(const PushedScope&) = delete;
    PushedScope& operator=(const PushedScope&) = delete;
    // scope: not owned.
    void Push(VariableTree* scope) {
        if (pushed_) return;
        variables_->PushSystemVars(scope);
        pushed_ = true;
    }
    void Pop() {
        if (!pushed_) return;
        pushed_ = false;
        variables_->PopSystemVars();
    }

  private:
    Variables* variables_;  // not owned
    bool pushed_ = false;
};

#endif  // SCRIPT_VARIABLES_H_
