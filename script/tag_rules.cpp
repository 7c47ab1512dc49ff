// The rules of tag_rules.h and their messages.

#include "script/tag_rules.h"

#include "script/script_parser.h"
#include "script/tag_ids.h"

bool TagRuleBroken(ScriptParser* parser, const String& message) {
    parser->SyntaxError(message);
    return false;
}

namespace {

bool Broken(ScriptParser* parser, const String& message) {
    return TagRuleBroken(parser, message);
}

bool CountIsOne(ScriptParser* parser, Tag* tag, const char* expects) {
    int count = tag->attributes().Entries();
    if (count == 1) return true;
    return Broken(parser, tag->name() + expects + String::FromInt(count));
}

}  // namespace

bool CheckOnePair(ScriptParser* parser, Tag* tag) {
    return CountIsOne(parser, tag, " expects exactly 1 name/value pair, found ");
}

bool CheckOneLetPair(ScriptParser* parser, Tag* tag) {
    return CountIsOne(parser, tag, " expects exactly one 1 name/value pair, found ");
}

bool CheckRequired(ScriptParser* parser, Tag* tag, const char* attribute, const char* alternative) {
    if (tag->Find(attribute) != nullptr) return true;
    if (alternative != nullptr && tag->Find(alternative) != nullptr) return true;
    return Broken(parser,
                  tag->name() + " requires the " + attribute + " attribute to be specified");
}

bool CheckEvalExpression(ScriptParser* parser, Tag* tag) {
    return tag->attributes().Entries() != 0 || Broken(parser, "EVAL requires an expression");
}

bool CheckHideList(ScriptParser* parser, Tag* tag) {
    return !tag->Value("").empty() || Broken(parser, "HIDE requires a list of variables to hide");
}

bool CheckWhileStop(ScriptParser* parser, bool insideloop) {
    return insideloop || Broken(parser, "Unexpected &lt;WHILE STOP&gt;");
}

bool CheckNotNestedFunction(ScriptParser* parser, bool insidefunction) {
    return !insidefunction || Broken(parser, "Nested function declarations are not supported");
}

bool CheckPairTag(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckOnePair(parser, tag);
}

bool CheckLetTag(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckOneLetPair(parser, tag);
}

bool CheckWhileTag(ScriptParser* parser, Tag* tag, const TagPlace& place) {
    return tag->Find("STOP") == nullptr || CheckWhileStop(parser, place.Inside(TagWHILE));
}

bool CheckEvalTag(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckEvalExpression(parser, tag);
}

bool CheckHideTag(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckHideList(parser, tag);
}

bool CheckAssignTag(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckRequired(parser, tag, "NAME") && CheckRequired(parser, tag, "VALUE");
}

bool CheckFunctionTag(ScriptParser* parser, Tag*, const TagPlace& place) {
    return CheckNotNestedFunction(parser, place.Inside(TagKpFUNCTION));
}
