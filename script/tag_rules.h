// Rules a tag must meet that can be checked without running the page. Each is the one
// place of its message: the handlers check them when the page runs and kelp-check
// when it reads the page, so that both say the same. Each check reports a syntax
// error through the parser and returns false when the rule is broken.

#ifndef SCRIPT_TAG_RULES_H_
#define SCRIPT_TAG_RULES_H_

#include "script/tag.h"
#include "script/tag_table.h"

class ScriptParser;

// "TAG expects exactly 1 name/value pair, found N" (IF, KpIF, KpWHILE, KpEVAL).
bool CheckOnePair(ScriptParser* parser, Tag* tag);
// "TAG expects exactly one 1 name/value pair, found N" (LET, KpLET).
bool CheckOneLetPair(ScriptParser* parser, Tag* tag);
// "TAG requires the ATTRIBUTE attribute to be specified"; alternative, when given, is
// another name the attribute may have.
bool CheckRequired(ScriptParser* parser, Tag* tag, const char* attribute,
                   const char* alternative = nullptr);
// EVAL with an expression.
bool CheckEvalExpression(ScriptParser* parser, Tag* tag);
// HIDE with a list.
bool CheckHideList(ScriptParser* parser, Tag* tag);
// WHILE STOP only inside a WHILE.
bool CheckWhileStop(ScriptParser* parser, bool insideloop);
// No KpFUNCTION inside another.
bool CheckNotNestedFunction(ScriptParser* parser, bool insidefunction);
// Reports a broken rule (a syntax error); returns false.
[[gnu::cold]] bool TagRuleBroken(ScriptParser* parser, const String& message);

// The static checks of the script language's own tags (see TagCheck).
bool CheckPairTag(ScriptParser* parser, Tag* tag, const TagPlace& place);      // IF, KpIF, ...
bool CheckLetTag(ScriptParser* parser, Tag* tag, const TagPlace& place);       // LET, KpLET
bool CheckWhileTag(ScriptParser* parser, Tag* tag, const TagPlace& place);     // WHILE STOP
bool CheckEvalTag(ScriptParser* parser, Tag* tag, const TagPlace& place);      // EVAL
bool CheckHideTag(ScriptParser* parser, Tag* tag, const TagPlace& place);      // HIDE
bool CheckAssignTag(ScriptParser* parser, Tag* tag, const TagPlace& place);    // KpASSIGN
bool CheckFunctionTag(ScriptParser* parser, Tag* tag, const TagPlace& place);  // KpFUNCTION

#endif  // SCRIPT_TAG_RULES_H_
