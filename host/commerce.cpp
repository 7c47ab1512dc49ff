// The commerce handler and KpCOMMERCE.

#include "host/commerce.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

#include "host/engine.h"
#include "script/encoding.h"
#include "script/loop_state.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/tag_rules.h"
#include "script/tag_table.h"

void CommerceHandler::SetFields(const String& list) {
    fields_.Dump();
    for (const String& name : SplitNameList(list))
        fields_.SetVariable(name, parser_->variables()->Value(name));
}

namespace {
long g_librariesloaded = 0;
}  // namespace

long CommerceLibrariesLoaded() {
    return g_librariesloaded;
}

int UNIXCommerceHandler::Failed() {
    const char* text =
        errorfunction_ != nullptr
            ? errorfunction_(parser_, &data_, method_.method.chars(), action_.chars(), &fields_)
            : nullptr;
    error_ = text != nullptr ? String(text) : String("The commerce library reported an error");
    return CommerceFailed;
}

int UNIXCommerceHandler::Go(VariableTree* vars) {
    KeepCommerceExports();
    vars_ = vars;
    // The C library's generator is seeded for plug-ins (nothing else in the program
    // uses it), once, when the first one is loaded.
    static bool seeded = false;
    if (!seeded) {
        srand(static_cast<unsigned>(ClockSeconds()));
        seeded = true;
    }
    g_librariesloaded++;  // (its constructors run in dlopen)
    library_ = dlopen(method_.library.chars(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* message = dlerror();
        error_ = message != nullptr ? String(message)
                                    : String("Unable to load '" + method_.library + "'");
        return CommerceFailed;
    }
    const char* names[] = {"kelp_commerce_init", "kelp_commerce_loop", "kelp_commerce_cleanup",
                           "kelp_commerce_error"};
    void* found[4];
    for (int i = 0; i < 4; i++) {
        dlerror();
        found[i] = dlsym(library_, names[i]);
        if (found[i] == nullptr) {
            const char* message = dlerror();
            error_ = message != nullptr ? String(message) : String("Undefined symbol ") + names[i];
            return CommerceFailed;
        }
    }
    init_ = reinterpret_cast<InitFunction>(found[0]);
    loop_ = reinterpret_cast<LoopFunction>(found[1]);
    cleanup_ = reinterpret_cast<CleanupFunction>(found[2]);
    errorfunction_ = reinterpret_cast<ErrorFunction>(found[3]);
    int r = init_(parser_, &data_, method_.method.chars(), action_.chars(), &fields_, vars_);
    if (r == 1) return Failed();
    if (r == 2) return CommerceDone;
    iteration_ = 0;
    return Continue();
}

int UNIXCommerceHandler::Continue() {
    if (loop_ == nullptr) return CommerceDone;
    int r = loop_(parser_, &data_, method_.method.chars(), action_.chars(), &fields_, vars_,
                  iteration_++);
    if (r == 1) return Failed();
    if (r == 2) return CommerceDone;
    return CommerceRun;
}

void UNIXCommerceHandler::End() {
    if (library_ == nullptr) return;
    if (cleanup_ != nullptr)
        cleanup_(parser_, &data_, method_.method.chars(), action_.chars(), &fields_);
    dlclose(library_);
    library_ = nullptr;
    init_ = nullptr;
    loop_ = nullptr;
    cleanup_ = nullptr;
    errorfunction_ = nullptr;
}

namespace {

// The block: runs its body while the library asks for another iteration. The
// variables the library sets are a system scope of their own while the block runs.
class COMMERCEState : public LoopState {
  public:
    COMMERCEState(ScriptParser* parser, Tag* tag, CommerceHandler* handler)
        : LoopState(parser, tag, TagKpCOMMERCESTOP),
          handler_(handler),
          scope_(parser->variables()) {}
    ~COMMERCEState() override {
        scope_.Pop();
        delete handler_;
    }

    int Start() {
        scope_.Push(&vars_);
        int r = handler_->Go(&vars_);
        parser_->variables()->Invalidate();
        if (r == CommerceRun) {
            MarkBody();
        } else {
            handler_->End();
            scope_.Pop();
        }
        return r;
    }

    const String& error() const { return handler_->error(); }

  protected:
    Pass Next(String* message) override {
        int r = handler_->Continue();
        parser_->variables()->Invalidate();
        if (r == CommerceRun) return Again;
        if (r != CommerceFailed) return Finished;
        *message = Entities(handler_->error());
        handler_->End();
        return Failed;
    }

    void Finish() override {
        handler_->End();
        scope_.Pop();
    }

  private:
    CommerceHandler* handler_;  // owned
    VariableTree vars_;         // owns elements
    PushedScope scope_;         // vars_ while the block runs
};

int ProcessKpCOMMERCE(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    if (!CheckRequired(parser, tag, "METHOD", "METAMETHOD")) return StateError;
    NameValuePair* method = tag->Find("METHOD");
    if (method == nullptr) method = tag->Find("METAMETHOD");
    const CommerceMethod* m = Host(parser->engine())->FindCommerceMethod(method->value().trimmed());
    if (m == nullptr) {
        int result = state->RuntimeError(
            tag, "Unsupported commerce method '" + Entities(method->value()) + "'");
        if (!result) return StateError;
        return parser->SkipBlock(tag) ? StateDone : StateError;
    }
    int result;
    if (!state->OwnName(tag, "FIELDS", "variables", &result)) {
        return result ? (parser->SkipBlock(tag) ? StateDone : StateError) : StateError;
    }
    CommerceHandler* handler = new UNIXCommerceHandler(*m, parser);
    handler->SetAction(tag->Value("ACTION"));
    handler->SetFields(tag->Value("FIELDS"));
    COMMERCEState* s = new COMMERCEState(parser, tag, handler);
    int r = s->Start();
    if (r == CommerceRun) {
        parser->AddState(s);
        return StateDone;
    }
    String message = s->error();
    delete s;
    if (r == CommerceFailed && !state->RuntimeError(tag, Entities(message))) return StateError;
    return parser->SkipBlock(tag) ? StateDone : StateError;
}

}  // namespace

namespace {

bool CheckKpCOMMERCE(ScriptParser* parser, Tag* tag, const TagPlace&) {
    return CheckRequired(parser, tag, "METHOD", "METAMETHOD");
}

const TagSpec kCommerceTags[] = {
    {"KpCOMMERCE", TagKpCOMMERCE, TagEndKpCOMMERCE, "ACTION,FIELDS", 0, ProcessKpCOMMERCE,
     CheckKpCOMMERCE, nullptr},
    {"KpCOMMERCESTOP", TagKpCOMMERCESTOP, 0, "", kPassedDown, nullptr, nullptr, nullptr},
    {"/KpCOMMERCE", TagEndKpCOMMERCE, 0, "", 0, nullptr, nullptr, nullptr},
};

}  // namespace

void DeclareCommerceTags() {
    DeclareTags(kCommerceTags);
}
