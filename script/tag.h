// Tag and NameValuePair: a scanned tag (or a template in a table of known tags)
// with its ordered attributes.

#ifndef SCRIPT_TAG_H_
#define SCRIPT_TAG_H_

#include "foundation/list.h"
#include "foundation/string.h"
#include "script/number_hint.h"

struct ScopedName;

// One attribute. In a tag template, required marks an attribute that must be
// present and a non-empty value is the default added when it is absent.
class NameValuePair {
  public:
    NameValuePair(const String& name, const String& value, int required = 0)
        : name_(name), value_(value), required_(required), scopedname_(nullptr), outside_(true) {}

    const String& name() const { return name_; }
    const String& value() const {
        if (hint_.deferred) WriteNumber();
        return value_;
    }
    int required() const { return required_; }
    // The value becomes outside text until SetOutside() says otherwise.
    void SetValue(const String& value) {
        value_ = value;
        hint_.known = false;
        hint_.deferred = false;
        outside_ = true;
    }
    // Whether the value is outside text (see Variable). Only the interpreter, which
    // knows where an evaluated value came from, marks values page-made.
    bool outside() const { return outside_; }
    void SetOutside(bool outside) { outside_ = outside; }
    // The value and what it reads as a number, for whoever computes them in place
    // (the hint may say that the text is still to be written from the number).
    String* mutablevalue() { return &value_; }
    NumberHint* mutablehint() { return &hint_; }
    const NumberHint& hint() const { return hint_; }
    const char* key() const { return name_.chars(); }
    // The attribute's name resolved as a variable name, when the interpreter has it
    // (tags replayed from its cache); null otherwise.
    const ScopedName* scopedname() const { return scopedname_; }
    void SetScopedName(const ScopedName* n) { scopedname_ = n; }

    // Strips surrounding whitespace, then one leading double quote and a final one
    // unless escaped by a backslash, then turns every \" into ".
    void RemoveQuotes();

  private:
    // Writes the deferred text of the number.
    void WriteNumber() const;

    String name_;
    mutable String value_;
    mutable NumberHint hint_;
    int required_;
    const ScopedName* scopedname_;  // not owned: the interpreter's cache
    bool outside_;
};

// A tag: name (as written in the table of known tags), id, end id, a flag and the
// attributes in the order added; attribute look-up ignores case. The end id is the id
// of the closing tag for a block opener, 0 otherwise; in a skip-mode target table its
// sign classifies the target (> 0 opens a nested block, 0 closes one, < 0 is a middle
// tag such as KpELSE).
//
// Copying a tag copies name, id, end id and flag but not the attributes.
class Tag {
  public:
    Tag(const String& name, int id, int endid)
        : name_(name),
          id_(id),
          endid_(endid),
          flag_(0),
          position_(-1),
          line_(0),
          errorvariable_(nullptr),
          attributes_(1) {}
    Tag(const Tag& other)
        : name_(other.name_),
          id_(other.id_),
          endid_(other.endid_),
          flag_(other.flag_),
          position_(other.position_),
          line_(other.line_),
          errorvariable_(other.errorvariable_),
          attributes_(1) {}
    Tag& operator=(const Tag&) = delete;

    // Becomes a copy of other as the copy constructor makes it: no attributes.
    void Reset(const Tag& other) {
        name_ = other.name_;
        id_ = other.id_;
        endid_ = other.endid_;
        flag_ = other.flag_;
        position_ = other.position_;
        line_ = other.line_;
        errorvariable_ = other.errorvariable_;
        attributes_.Dump();
    }

    void AddNameValuePair(const String& name, const String& value, int required = 0) {
        attributes_.Insert(new NameValuePair(name, value, required), ListTail);
    }
    // Adds an attribute read from a page; outside tells whether its value is outside text.
    void AddValue(const String& name, const String& value, bool outside) {
        NameValuePair* pair = new NameValuePair(name, value);
        pair->SetOutside(outside);
        attributes_.Insert(pair, ListTail);
    }
    // The attribute of that name, or null.
    NameValuePair* Find(const char* name) { return attributes_.Find(name); }
    // The attribute's value, or the empty string.
    String Value(const char* name);

    const String& name() const { return name_; }
    int id() const { return id_; }
    int endid() const { return endid_; }
    int flag() const { return flag_; }
    void SetFlag(int flag) { flag_ = flag; }
    // A place in the script remembered while the attributes were read (where a loop
    // condition or a filter starts), with its line; -1 when none.
    long position() const { return position_; }
    int positionline() const { return line_; }
    void SetPosition(long position, int line) {
        position_ = position;
        line_ = line;
    }
    SearchableList<NameValuePair, const char*>& attributes() { return attributes_; }
    const char* key() const { return name_.chars(); }
    // The resolved name of the variable NAME_Error that holds the tag's runtime
    // errors, when the interpreter has given it to the tag's template; else null.
    const ScopedName* errorvariable() const { return errorvariable_; }
    void SetErrorVariable(const ScopedName* name) { errorvariable_ = name; }

  private:
    String name_;
    int id_;
    int endid_;
    int flag_;
    long position_;
    int line_;
    const ScopedName* errorvariable_;                        // not owned: the interpreter's
    SearchableList<NameValuePair, const char*> attributes_;  // owns elements
};

#endif  // SCRIPT_TAG_H_
