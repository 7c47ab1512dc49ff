// User functions: declaration (KpFUNCTION), forward declarations, calls with a
// FunctionState and a local scope, KpFUNCRETURN.
//
// A function is not stored as a parsed body: its declaration records where the body
// starts, and each call seeks there and lets the scanner run through the body.

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "script/encoding.h"
#include "script/macro_expander.h"
#include "script/script_tags.h"
#include "script/settings.h"
#include "script/tag_rules.h"
#include "script/variables.h"

namespace {

class FunctionState : public ScriptState {
  public:
    // frame: the call's, entered already; it outlives the state.
    FunctionState(ScriptParser* parser, ScriptParser::CallFrame* frame)
        : ScriptState(parser, nullptr), frame_(frame) {}

    bool HandsToDispatch(const Tag* tag) const override {
        int id = tag->id();
        return id != TagKpFUNCRETURN && id != TagEndKpFUNCTION && id != TagKpFUNCTION;
    }

    int ProcessTag(Tag* tag) override {
        switch (tag->id()) {
            case TagKpFUNCRETURN: {
                NameValuePair* value = tag->Find("VALUE");
                parser_->functionreturnhint().deferred = false;
                if (value != nullptr) {
                    parser_->functionreturnvalue() = value->value();
                    parser_->functionreturnoutside() = value->outside();
                } else {
                    parser_->functionreturnvalue().clear();
                    parser_->functionreturnoutside() = false;
                }
                return StateClose;
            }
            case TagEndKpFUNCTION:
                parser_->functionreturnhint().deferred = false;
                parser_->functionreturnvalue().clear();
                parser_->functionreturnoutside() = false;
                return StateClose;
            case TagKpFUNCTION:
                CheckNotNestedFunction(parser_, true);
                return StateError;
            default:
                return Dispatch(tag);
        }
    }

    int ExitState() override {
        parser_->LeaveCall(frame_);
        return StateDone;
    }

  private:
    ScriptParser::CallFrame* frame_;  // not owned
};

}  // namespace

int Function::CallFunction(ScriptParser* parser, VariableTree* arguments, String* result) {
    return parser->CallUserFunction(this, arguments, result);
}

int ScriptParser::CallFunction(Function* f, VariableTree* arguments, String* result) {
    return f->CallFunction(this, arguments, result);
}

void ScriptParser::EnterCall(CallFrame* frame, Function* f, VariableTree* arguments, bool seek) {
    macrosource_->SavePosition(&frame->caller);
    frame->callerline = line();
    if (seek) {
        macrosource_->Seek(f->offset());
        SetLine(f->linenumber());
    }
    // Whether the function set its own levels is kept apart from the caller's
    // levels: a caller at the default error level holds the very number that marks
    // a function's level as not set.
    frame->setlevel = f->standardoutputlevel() != kStandardOutputLevelNotSet;
    frame->seterrorlevel = f->erroroutputlevel() != kErrorOutputLevelNotSet;
    if (frame->setlevel) frame->callerlevel = SetStandardOutputLevel(f->standardoutputlevel());
    if (frame->seterrorlevel) {
        frame->callererrorlevel = errorhandler_.SetErrorOutputLevel(f->erroroutputlevel());
    }
    variables()->PushLocalVars(arguments);
}

void ScriptParser::LeaveCall(CallFrame* frame) {
    frame->left = true;
    macrosource_->RestorePosition(frame->caller);
    SetLine(frame->callerline);
    if (frame->setlevel) SetStandardOutputLevel(frame->callerlevel);
    if (frame->seterrorlevel) errorhandler_.SetErrorOutputLevel(frame->callererrorlevel);
    variables()->PopLocalVars();
}

void ScriptParser::TakeOverCall(size_t base) {
    CallFrame* frame = callframe_;
    if (frame == nullptr || frame->state != nullptr || frame->base != base) return;
    frame->state = new FunctionState(this, frame);
    AddState(frame->state);
}

void ScriptParser::LeaveCallsAbove(ScriptState* state) {
    for (CallFrame* frame = callframe_; frame != nullptr; frame = frame->outer) {
        if (!frame->left && frame->state == nullptr && frame->below == state) LeaveCall(frame);
    }
}

int ScriptParser::CallUserFunction(Function* f, VariableTree* arguments, String* result) {
    NumberHint* number = TakeNumberResult();
    result->clear();
    if (!PushFunctionCall()) return 0;
    returnvalue_.clear();
    returnoutside_ = false;
    returnhint_.deferred = false;
    CompiledBody* body = nullptr;
    if (interpret_ & InterpretTags) {
        if (f->compiledby != this || MayRemake(f->compiled)) {
            f->compiled = CompiledAt(f->offset(), CompiledFunction);
            f->compiledby = this;
        }
        body = f->compiled;
    }
    CallFrame frame;
    frame.below = states_.Top();
    frame.outer = callframe_;
    callframe_ = &frame;
    // A compiled body runs without a state of its own until it hands over, where the
    // state on top writes text as the call's would (no state there collects it).
    bool alone = body != nullptr && states_.Top()->WritesText();
    EnterCall(&frame, f, arguments, !alone);
    if (!alone) AddState(frame.state = new FunctionState(this, &frame));
    ScriptState* state = frame.state;
    int r;
    CompiledOutcome outcome = CompiledHanded;
    if (body != nullptr) {
        frame.base = openifs_.size();
        if (state != nullptr) {
            ScriptState::Watch watch(state);
            outcome = body->Run(this, f->linenumber());
            if (watch.gone()) outcome = CompiledFailed;  // an exit closed every block
        } else {
            outcome = body->Run(this, f->linenumber());
            state = frame.state;  // made if the body handed over
        }
    }
    switch (outcome) {
        case CompiledEnded:
            // At the /KpFUNCTION, as the interpreter would be.
            if (!CompiledBody::BeforeTag(this, TagEndKpFUNCTION)) {
                r = 0;
                break;
            }
            returnvalue_.clear();
            returnoutside_ = false;
            returnhint_.deferred = false;
            r = 1;
            break;
        case CompiledReturned:
            r = 1;
            break;
        case CompiledHanded:
            // A body that hands over has given its call a state (TakeOverCall).
            r = state != nullptr ? RunUntilClosed(state) : 0;
            break;
        default:
            r = 0;
            break;
    }
    if (outcome == CompiledEnded || outcome == CompiledReturned) {
        if (state != nullptr) {
            r = CloseStates(state) ? r : 0;
        } else {
            LeaveCall(&frame);
        }
    } else if (state == nullptr) {
        // A compiled body that failed ends here, unless an exit ended it already.
        if (!frame.left) LeaveCall(&frame);
    } else if (r != 1 && OnStack(state)) {
        // The body failed or ran into the end of the file: leave it from here.
        DiscardStatesAbove(state);
        CloseStates(state);
    }
    callframe_ = frame.outer;
    PopFunctionCall();
    if (r == 1) {
        if (!returnhint_.deferred) {
            *result = returnvalue_;
        } else if (number != nullptr) {
            *number = returnhint_;  // the text stays unwritten
        } else {
            FormatNumber(returnhint_.number, result);
        }
        if (returnoutside_) NoteOutsideRead();
        return 1;
    }
    // An exit or the end of the file inside the body ends the whole script.
    if (r != 0) exited_ = true;
    return 0;
}

int ScriptParser::PushFunctionCall() {
    int limit = settings_->maxfunctiondepth;
    if (++depth_ <= limit) return 1;
    depth_--;
    String message("The maximum number of nested function calls (");
    message.catint(limit);
    message += ") has been exceeded";
    errorhandler_.Error(kStopErrors, ::RuntimeError(source()->errorname(), line(), "", message));
    return 0;
}

void ScriptParser::AddBuiltins(const Builtin* table, int count) {
    builtins_.emplace_back(table, count);
}

int ScriptParser::BuiltinCount() const {
    int n = 0;
    for (const auto& table : builtins_) n += table.second;
    return n;
}

const Builtin* ScriptParser::FindBuiltin(const char* name) const {
    for (const auto& table : builtins_) {
        for (int i = 0; i < table.second; i++) {
            if (CompareKeys(table.first[i].name, name) == 0) return &table.first[i];
        }
    }
    return nullptr;
}

Function* ScriptParser::FindKnownFunction(const char* name) {
    Function* f = functions_.Find(name);
    if (f != nullptr) return f;
    const Builtin* b = FindBuiltin(name);
    if (b == nullptr) return nullptr;
    f = new BuiltinFunction(b->name, b->parameters, b->routine, b->pure);
    functions_.Insert(f);
    return f;
}

Function* ScriptParser::FindPureBuiltin(const String& name) {
    const Builtin* b = FindBuiltin(name.chars());
    if (b == nullptr || !b->pure) return nullptr;
    Function* f = FindKnownFunction(name.chars());
    return f != nullptr && f->builtin() ? f : nullptr;
}

Function* ScriptParser::FindFunction(const String& name) {
    Function* f = FindKnownFunction(name.chars());
    if (f != nullptr) return f;
    ScanForFunction(name);
    return FindKnownFunction(name.chars());
}

void ScriptParser::ScanForFunction(const String& name) {
    MacroExpander::Position saved;
    macrosource_->SavePosition(&saved);
    int savedline = line();
    TagTable targets(1);
    targets.Insert(new Tag("KpFUNCTION", TagKpFUNCTION, -1));
    Tag found("", 0, 0);
    while (FindTag(&found, &targets) == ScanDone) {
        if (DeclareFunction(&found) == StateError) break;
        if (found.Value("NAME").matches(name.chars())) break;
    }
    macrosource_->RestorePosition(saved);
    SetLine(savedline);
}

int ScriptParser::DeclareFunction(Tag* tag) {
    String name = tag->Value("NAME");
    long position = source()->CurrentFilePosition();
    Function* existing = FindKnownFunction(name.chars());
    if (existing != nullptr && (existing->builtin() || existing->offset() != position)) {
        String message;
        if (existing->builtin()) {
            message = "Function '" + Entities(name) + "' has the same name as a built-in function";
        } else {
            message = "A function with the name '" + Entities(name) +
                      "' has already been declared, on line ";
            message.catint(existing->linenumber());
        }
        SyntaxError(message);
        return StateError;
    }
    if (existing == nullptr) {
        Function* f = new Function(name, position, line());
        f->SetParameters(tag->Value("PARAMETERS"));
        if (NameValuePair* a = tag->Find("STANDARDOUTPUTLEVEL")) {
            f->SetStandardOutputLevel(StandardOutputLevelValue(a->value()));
        }
        if (NameValuePair* a = tag->Find("ERROROUTPUTLEVEL")) {
            f->SetErrorOutputLevel(ErrorOutputLevelValue(a->value()));
        }
        functions_.Insert(f);
    }
    Tag found("", 0, 0);
    int r = SkipTo(&found, &functionskip());
    if (r == ScanEnd) SyntaxError("Unexpected end of file looking for &lt;/KpFUNCTION&gt;");
    return r == ScanDone ? StateDone : StateError;
}

int ProcessKpFUNCTION(ScriptState* state, Tag* tag) {
    return state->parser()->DeclareFunction(tag);
}
