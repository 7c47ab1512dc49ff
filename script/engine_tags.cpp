// The engine-control tags KELP and BRINDLE, the stand-in for unavailable tags, and
// the registration of the script language's own handlers.

#include "script/encoding.h"
#include "script/engine.h"
#include "script/script_tags.h"

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

void RegisterScriptTags(ScriptParser* parser) {
    const struct {
        int id;
        TagHandler handler;
    } kHandlers[] = {
        {TagIF, ProcessKpIF},
        {TagKpIF, ProcessKpIF},
        {TagLET, ProcessKpLET},
        {TagKpLET, ProcessKpLET},
        {TagEVAL, ProcessEVAL},
        {TagKpEVAL, ProcessKpEVAL},
        {TagHIDE, ProcessHIDE},
        {TagKpHIDE, ProcessKpHIDE},
        {TagWHILE, ProcessKpWHILE},
        {TagKpWHILE, ProcessKpWHILE},
        {TagKpASSIGN, ProcessKpASSIGN},
        {TagKpFUNCTION, ProcessKpFUNCTION},
        {TagBRINDLE, ProcessBRINDLE},
        {TagKELP, ProcessKELP},
        {TagKpLOCALIZED, ProcessKpLOCALIZED},
    };
    for (const auto& h : kHandlers) parser->SetHandler(h.id, h.handler);
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
        parser->engine()->SetWarnUndefined(on);
    }
    if (NameValuePair* a = tag->Find("DEFAULTMACROENCODING")) {
        MacroEncoding e = MacroEncodingNone;
        if (a->value().matches("entities")) e = MacroEncodingEntities;
        if (a->value().matches("attribute")) e = MacroEncodingAttribute;
        parser->engine()->SetDefaultMacroEncoding(e);
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
