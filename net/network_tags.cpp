// KpCALL and CALL: fetch a URL and run the block once per element of the returned
// document. The call's variables form a system scope of their own while the loop
// runs, so callvalue and its kin are found by their plain names (and s.callvalue)
// and vanish when the loop ends; a nested call has its own.

#include "net/network_tags.h"

#include <string.h>

#include "net/call.h"
#include "net/mail.h"
#include "script/encoding.h"
#include "script/loop_state.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

class CALLState : public LoopState {
  public:
    CALLState(ScriptParser* parser, Tag* tag)
        : LoopState(parser, tag, TagKpCALLSTOP),
          call_(parser->engine()),
          scope_(parser->variables()) {}

    // Sends the request and reads the first element: a CallElement.
    int Start(const String& method, const String& url, const String& fields, const String& files) {
        if (!call_.Connect(method, url, fields, files)) return CallElementError;
        int r = call_.FindNextElement();
        if (r == CallElementFound) {
            MarkBody();
            scope_.Push(call_.vars());
        }
        return r;
    }

    const String& error() const { return call_.error(); }

  protected:
    Pass Next(String* message) override {
        int r = call_.FindNextElement();
        // The elements' variables changed (new attribute numbers may have appeared).
        parser_->variables()->Invalidate();
        if (r == CallElementFound) return Again;
        if (r != CallElementError) return Finished;
        *message = call_.error();
        call_.Close();
        return Failed;
    }

    void Finish() override {
        call_.Close();
        scope_.Pop();
    }

  private:
    Call call_;
    PushedScope scope_;  // call_'s variables while the loop runs
};

int ProcessKpCALL(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    for (const char* required : {"ACTION", "METHOD"}) {
        if (tag->Find(required) == nullptr) {
            parser->SyntaxError(tag->name() + " requires the " + required +
                                " attribute to be specified");
            return StateError;
        }
    }
    String method = tag->Value("METHOD").trimmed();
    String files = tag->Value("FILES");
    if (tag->Find("FILES") != nullptr && !method.matches("POST") && !method.matches("PUT")) {
        parser->SyntaxError(tag->name() +
                            " requires the METHOD attribute to be 'POST' or 'PUT' when the FILES "
                            "attribute is specified");
        return StateError;
    }
    int refused;
    String action = tag->Value("ACTION");
    if (memchr(action.chars(), 0, static_cast<size_t>(action.length())) != nullptr) {
        // Cut at the NUL, the URL would be another one.
        refused = state->RuntimeError(
            tag, "Unable to open URL '" + Entities(action) + "': it holds a NUL character");
        return refused ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    if (!state->OwnName(tag, "FIELDS", "variables", &refused) ||
        !state->OwnName(tag, "FILES", "variables", &refused)) {
        return refused ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    CALLState* s = new CALLState(parser, tag);
    int r = s->Start(method, tag->Value("ACTION").trimmed(), tag->Value("FIELDS"), files);
    if (r == CallElementFound) {
        parser->AddState(s);
        return StateDone;
    }
    String message = s->error();
    delete s;
    if (r == CallElementError) {
        int result = state->RuntimeError(tag, message);
        if (!result) return StateError;
    }
    // No element (or a reported error the page goes on after): the body is skipped.
    return parser->SkipBlock(tag) ? StateDone : StateError;
}

}  // namespace

namespace {

const TagSpec kNetworkTags[] = {
    {"CALL", TagCALL, TagEndCALL, "", 0, ProcessKpCALL, nullptr, nullptr},
    {"/CALL", TagEndCALL, 0, "", 0, nullptr, nullptr, nullptr},
    {"KpCALL", TagKpCALL, TagEndKpCALL, "ACTION*,METHOD*,FIELDS,FILES", 0, ProcessKpCALL, nullptr,
     nullptr},
    {"KpCALLSTOP", TagKpCALLSTOP, 0, "", kPassedDown, nullptr, nullptr, nullptr},
    {"/KpCALL", TagEndKpCALL, 0, "", 0, nullptr, nullptr, nullptr},
};

}  // namespace

void DeclareNetworkTags() {
    DeclareTags(kNetworkTags);
    DeclareMailTags();
}
