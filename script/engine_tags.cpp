// The engine-control tags KELP and BRINDLE, the stand-in for unavailable tags, and
// the registration of the script language's own handlers.

#include "script/encoding.h"
#include "script/script_context.h"
#include "script/script_tags.h"
#include "script/tag_rules.h"
#include "script/tag_table.h"

namespace {

bool OnOff(const String& value, bool* on) {
    if (value.matches("on")) {
        *on = true;
        return true;
    }
    if (value.matches("off")) {
        *on = false;
        return true;
    }
    return false;
}

}  // namespace

namespace {

// The script language's own tags.
const AttributeRule kWhileRules[] = {{"*", AttributeReread}, {nullptr, AttributeEvaluated}};
const int kRun = kContinuesRun;
const TagSpec kScriptTags[] = {
    {"IF", TagIF, TagEndIF, "", kRun, ProcessKpIF, CheckPairTag, nullptr},
    {"/IF", TagEndIF, 0, "", kRun, nullptr, nullptr, nullptr},
    {"LET", TagLET, 0, "", kRun, ProcessKpLET, CheckLetTag, nullptr},
    {"EVAL", TagEVAL, 0, "", kRun, ProcessEVAL, CheckEvalTag, nullptr},
    {"EVALUATE", TagEVAL, 0, "", kRun, ProcessEVAL, CheckEvalTag, nullptr},
    {"HIDE", TagHIDE, 0, "", kRun, ProcessHIDE, CheckHideTag, nullptr},
    {"WHILE", TagWHILE, TagEndWHILE, "", kRun, ProcessKpWHILE, CheckWhileTag, nullptr},
    {"/WHILE", TagEndWHILE, 0, "", kRun, nullptr, nullptr, nullptr},
    {"BRINDLE", TagBRINDLE, 0, "", 0, ProcessBRINDLE, nullptr, nullptr},
    {"EXIT", TagEXIT, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpIF", TagKpIF, TagEndKpIF, "", kRun, ProcessKpIF, CheckPairTag, nullptr},
    {"KpELSE", TagKpELSE, TagEndKpIF, "", kRun, nullptr, nullptr, nullptr},
    {"/KpIF", TagEndKpIF, 0, "", kRun, nullptr, nullptr, nullptr},
    {"KpLET", TagKpLET, 0, "", kRun, ProcessKpLET, CheckLetTag, nullptr},
    {"KpASSIGN", TagKpASSIGN, 0, "NAME*,VALUE*", 0, ProcessKpASSIGN, CheckAssignTag, nullptr},
    {"KpEVAL", TagKpEVAL, 0, "", kRun, ProcessKpEVAL, CheckPairTag, nullptr},
    {"KpEVALUATE", TagKpEVAL, 0, "", kRun, ProcessKpEVAL, CheckPairTag, nullptr},
    {"KpHIDE", TagKpHIDE, 0, "FIELDS*", kRun, ProcessKpHIDE, nullptr, nullptr},
    {"KpWHILE", TagKpWHILE, TagEndKpWHILE, "", kRun, ProcessKpWHILE, CheckPairTag, kWhileRules},
    {"KpWHILESTOP", TagKpWHILESTOP, 0, "", kPassedDown | kRun, nullptr, nullptr, nullptr},
    {"/KpWHILE", TagEndKpWHILE, 0, "", kRun, nullptr, nullptr, nullptr},
    {"KpFUNCTION", TagKpFUNCTION, TagEndKpFUNCTION, "NAME*,PARAMETERS", 0, ProcessKpFUNCTION,
     CheckFunctionTag, nullptr},
    {"KpFUNCRETURN", TagKpFUNCRETURN, 0, "VALUE", kPassedDown, nullptr, nullptr, nullptr},
    {"KpFUNCTIONRETURN", TagKpFUNCRETURN, 0, "VALUE", kPassedDown, nullptr, nullptr, nullptr},
    {"/KpFUNCTION", TagEndKpFUNCTION, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpCOMMENT", TagKpCOMMENT, TagEndKpCOMMENT, "", kRun, nullptr, nullptr, nullptr},
    {"/KpCOMMENT", TagEndKpCOMMENT, 0, "", kRun, nullptr, nullptr, nullptr},
    {"KpLOCALIZED", TagKpLOCALIZED, TagEndKpLOCALIZED, "NAME,ID", 0, ProcessKpLOCALIZED, nullptr,
     nullptr},
    {"/KpLOCALIZED", TagEndKpLOCALIZED, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpLOCALIZED-TOKEN", TagKpLOCALIZEDTOKEN, 0, "NAME*,VALUE*", 0, nullptr, nullptr, nullptr},
    {"KpLOCALIZED-TEXT", TagKpLOCALIZEDTEXT, TagEndKpLOCALIZEDTEXT, "LANGUAGE*", 0, nullptr,
     nullptr, nullptr},
    {"/KpLOCALIZED-TEXT", TagEndKpLOCALIZEDTEXT, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpEXIT", TagKpEXIT, 0, "", 0, nullptr, nullptr, nullptr},
    {"KELP", TagKELP, 0, "", 0, ProcessKELP, nullptr, nullptr},
};

}  // namespace

void DeclareScriptTags() {
    DeclareTags(kScriptTags);
}

int ProcessKELP(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    if (NameValuePair* a = tag->Find("INTERPRET")) {
        String items[8];
        int n = split(a->value(), items, 8, String(","));
        int flags = 0;
        for (int i = 0; i < n; i++) {
            items[i].StripWhitespace();
            if (items[i].matches("macros")) flags |= InterpretMacros;
            if (items[i].matches("tags")) flags |= InterpretTags;
        }
        parser->SetInterpret(flags);
    }
    if (NameValuePair* a = tag->Find("STANDARDOUTPUTLEVEL")) {
        parser->SetStandardOutputLevel(ScriptParser::StandardOutputLevelValue(a->value()));
    }
    if (NameValuePair* a = tag->Find("ERROROUTPUTLEVEL")) {
        parser->errorhandler().SetErrorOutputLevel(ScriptParser::ErrorOutputLevelValue(a->value()));
    }
    if (NameValuePair* a = tag->Find("ERRORMESSAGE")) {
        parser->errorhandler().SetErrorMessage(a->value());
    }
    if (NameValuePair* a = tag->Find("WARNUNDEFINED")) {
        bool on;
        if (!OnOff(a->value(), &on)) {
            parser->SyntaxError("'" + Entities(a->value()) +
                                "' is not a valid value for WARNUNDEFINED");
            return StateError;
        }
        parser->scriptcontext()->SetWarnUndefined(on);
    }
    if (NameValuePair* a = tag->Find("DEFAULTMACROENCODING")) {
        MacroEncoding e = MacroEncodingNone;
        if (a->value().matches("entities")) e = MacroEncodingEntities;
        if (a->value().matches("attribute")) e = MacroEncodingAttribute;
        parser->scriptcontext()->SetDefaultMacroEncoding(e);
    }
    SearchableList<NameValuePair, const char*>& attributes = tag->attributes();
    for (NameValuePair* a = attributes.First(); a != nullptr; a = attributes.Next()) {
        int p = a->name().upper().search("_ERROR", 0);
        if (p >= 0) parser->SetTagErrorSettings(a->name().before(p), a->value());
    }
    return StateDone;
}

int ProcessBRINDLE(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    bool on;
    if (NameValuePair* a = tag->Find("TAGDETECT")) {
        if (OnOff(a->value(), &on)) {
            parser->SetTagDetect(on);
        } else {
            parser->SyntaxError("'" + Entities(a->value()) +
                                "' is not a valid value for TAGDETECT");
        }
    }
    if (NameValuePair* a = tag->Find("MACRO")) {
        if (!OnOff(a->value(), &on)) {
            parser->SyntaxError("'" + Entities(a->value()) + "' is not a valid value for MACRO");
            return StateError;
        }
        parser->SetExpandMacros(on);
    }
    return StateDone;
}

int ProcessUnavailableTag(ScriptState* state, Tag* tag) {
    if (tag->endid() > 0 && !state->parser()->SkipBlock(tag)) return StateError;
    return state->RuntimeError(
        tag, "&lt;" + tag->name() + "&gt; is not available in this version of Kelp");
}
