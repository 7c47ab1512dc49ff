// Rules a tag must meet that can be checked without running the page. Each is the one
// place of its message: the handlers check them when the page runs and kelp-check
// when it reads the page, so that both say the same. Each check reports a syntax
// error through the parser and returns false when the rule is broken.

#ifndef SCRIPT_TAG_RULES_H_
#define SCRIPT_TAG_RULES_H_

#include "script/tag.h"

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
// KpDO: VALUE only with NAME.
bool CheckNameForValue(ScriptParser* parser, Tag* tag);
// WHILE STOP only inside a WHILE.
bool CheckWhileStop(ScriptParser* parser, bool insideloop);
// No KpFUNCTION inside another.
bool CheckNotNestedFunction(ScriptParser* parser, bool insidefunction);
// No IMPORT with DATA inside another.
bool CheckNotNestedImport(ScriptParser* parser, bool insideimport);

#endif  // SCRIPT_TAG_RULES_H_
