// KpDO: runs another script file, or evaluates an expression in its context.

#include "host/engine.h"
#include "host/script_host_tags.h"
#include "script/module.h"
#include "script/script_parser.h"
#include "script/tag_rules.h"
#include "script/variables.h"

void InstallHostTagHandlers(ScriptParser* parser) {
    parser->SetHandler(TagKpDO, ProcessKpDO);
    InstallFileTags(parser);
}

int ProcessKpDO(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    Kelp* engine = parser->engine();
    NameValuePair* value = tag->Find("VALUE");
    if (!CheckNameForValue(parser, tag)) return StateError;
    int refused;
    if (!state->OwnName(tag, "FILE", "a module", &refused)) return refused;
    if (value != nullptr && !state->OwnName(tag, "NAME", "a variable", &refused)) return refused;
    String error;
    Module* module = engine->FindModule(tag->Value("FILE"), &error);
    if (module == nullptr) return state->RuntimeError(tag, error);
    if (!parser->PushFunctionCall()) return StateError;
    Module* previous = engine->SetCurrentModule(module);
    ScriptParser* inner = module->scriptparser();
    int ok;
    if (value != nullptr) {
        // Evaluated by the module's interpreter, so its functions are the visible ones.
        String result;
        bool outside;
        ok = inner->Evaluate(value->value(), &result, &outside) &&
             state->Assign(tag, tag->Value("NAME"), result, outside || value->outside()) !=
                 StateError;
    } else {
        ok = inner->Parse();
    }
    engine->SetCurrentModule(previous);
    parser->PopFunctionCall();
    return ok ? StateDone : StateError;
}
