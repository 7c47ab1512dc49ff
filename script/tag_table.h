// The table of the tags the interpreter knows (see tag_table.cpp).

#ifndef SCRIPT_TAG_TABLE_H_
#define SCRIPT_TAG_TABLE_H_

#include "script/parser.h"
#include "script/tag.h"

// A new template of the tag of that name (case ignored), or null for none the
// interpreter knows. The caller owns it.
Tag* MakeTagTemplate(const char* name);
// How many tag names there are.
int KnownTagCount();
// The name a tag id is written with (the first, for ids with several names); "" for
// an id of none.
const char* TagSpelling(int id);
// Tags that the base dispatch hands down to the enclosing block that owns them.
bool TagPassedDown(int id);
// Tags with a handler of their own (the others are closing or inner tags).
bool TagDispatched(int id);
// Tags that may run between the adds of a run that keeps its table's write locks.
bool TagContinuesRunOfAdds(int id);
// Adds a target (name, id, end id) to a table of tags a skip looks for.
void AddTagTarget(TagTable* table, const char* name, int id, int endid);

#endif  // SCRIPT_TAG_TABLE_H_
