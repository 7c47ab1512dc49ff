// KpDO: runs another script file, or evaluates an expression in its context.

#include "host/engine.h"
#include "host/script_host_tags.h"
#include "script/module.h"
#include "script/script_parser.h"
#include "script/tag_rules.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

// KpDO: VALUE only with NAME.
bool CheckNameForValue(ScriptParser* parser, Tag* tag) {
    if (tag->Find("VALUE") == nullptr || tag->Find("NAME") != nullptr) return true;
    return TagRuleBroken(parser, tag->name() +
                                     " requires the NAME attribute to be specified when the VALUE "
                                     "attribute is specified");
}

bool CheckKpDO(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckNameForValue(parser, tag);
}

// The expression of VALUE is evaluated by the module's interpreter: it is kept as
// its source, and a value in double quotes is expression text.
const AttributeRule kKpDORules[] = {{"VALUE", AttributeQuotedSource},
                                    {nullptr, AttributeEvaluated}};
const TagSpec kHostTags[] = {
    {"KpDO", TagKpDO, 0, "FILE*", 0, ProcessKpDO, CheckKpDO, kKpDORules},
};

}  // namespace

void DeclareHostTags() {
    DeclareTags(kHostTags);
    DeclareFileTags();
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
