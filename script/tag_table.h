// The table of the tags the interpreter knows. Each room declares its own tags, once
// per process, before a page is read: name, id, end id, attribute template, flags,
// handler, the static check its handler and kelp-check share, and how the attribute
// reader reads its attributes. The interpreter dispatches by id and knows no tag of
// another room.

#ifndef SCRIPT_TAG_TABLE_H_
#define SCRIPT_TAG_TABLE_H_

#include "foundation/string.h"
#include "script/parser.h"
#include "script/tag.h"

class ScriptParser;
class ScriptState;

// Carries out a tag; returns a state result (StateDone, StateError, ...).
typedef int (*TagHandler)(ScriptState* state, Tag* tag);

// Where a tag stands, for its static check.
class TagPlace {
  public:
    virtual ~TagPlace() {}
    // Whether the tag is inside a block opened by a tag of this id.
    virtual bool Inside(int id) const = 0;
};
// The rules of a tag that hold without running it: a broken one is reported as a
// syntax error through the parser, and the check returns false. The handler calls it
// when the page runs and kelp-check when it reads the page: the message lives once.
typedef bool (*TagCheck)(ScriptParser* parser, Tag* tag, const TagPlace& place);

// How the attribute reader reads an attribute.
enum AttributeMode {
    AttributeEvaluated,     // an expression, evaluated when read (the default)
    AttributeVerbatim,      // the rest of the tag as written (a quoted value to its quote)
    AttributeSource,        // an expression kept as its source, which the tag evaluates later
    AttributeQuotedSource,  // the same, and a value in double quotes is expression text
    AttributeReread,        // read again from its place in the page whenever the tag needs it
};
// Attributes (a comma-separated list of names; "*" for every one) read in one mode.
struct AttributeRule {
    const char* names;
    AttributeMode mode;
};

enum TagFlag {
    kPassedDown = 1,      // the base dispatch hands it down to the enclosing block that owns it
    kStopPassedDown = 2,  // the same, when it has a STOP attribute
    // It may run between the adds of a run that keeps a table's write locks: it
    // computes, decides or loops, and neither waits nor touches a table; before any
    // other tag the locks are let go.
    kContinuesRun = 4,
    kNonFatal = 8,     // its runtime errors let the page go on unless a KELP tag says otherwise
    kUnrecorded = 16,  // its attributes are plain pairs, read afresh each time it is met
    // Its handler does its work and returns: it opens and closes no block, ends nothing
    // and leaves the scanner where it is (moving a view is such work). A compiled loop
    // runs it in place, as the interpreter would, without handing its pass back.
    kInPlace = 32,
};

struct TagSpec {
    const char* name;
    int id;
    int endid;               // 0 for none
    const char* attributes;  // "NAME*" required, "NAME=value" with a default, "NAME" optional
    int flags;
    TagHandler handler;          // null: a closing or inner tag that a block state takes
    TagCheck check;              // null: nothing to check before it runs
    const AttributeRule* rules;  // null, or ended by a rule with null names
};

// Adds a room's tags to the table; declaring the same rows again does nothing.
void DeclareTags(const TagSpec* specs, int count);
template <int N>
void DeclareTags(const TagSpec (&specs)[N]) {
    DeclareTags(specs, N);
}
// The row of an id (the first, for ids with several names), or null.
const TagSpec* TagSpecOf(int id);
// How the attribute name of a tag of that id is read.
AttributeMode AttributeModeOf(int id, const String& name);
bool TagHasFlag(int id, int flag);

// False when no tag has a name of that shape (its first character and length): most
// HTML tags are turned away by it without a look-up. True says nothing for sure.
bool MayBeTagName(const char* name);
// A new template of the tag of that name (case ignored), or null for none the
// interpreter knows. The caller owns it.
Tag* MakeTagTemplate(const char* name);
// How many tag names there are.
int KnownTagCount();
// The name a tag id is written with; "" for an id of none.
const char* TagSpelling(int id);
// Adds a target (name, id, end id) to a table of tags a skip looks for.
void AddTagTarget(TagTable* table, const char* name, int id, int endid);

#endif  // SCRIPT_TAG_TABLE_H_
