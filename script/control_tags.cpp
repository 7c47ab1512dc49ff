// Control flow and assignment tags: IF/KpIF/KpELSE, WHILE/KpWHILE/KpWHILESTOP,
// LET/KpLET, KpASSIGN, EVAL/KpEVAL, HIDE/KpHIDE.
//
// Blocks are never stored: a true block runs as the scan goes on, a false one is
// skipped with the scanner's skip mode, and a loop seeks back to its body start.

#include "foundation/output.h"
#include "script/encoding.h"
#include "script/loop_state.h"
#include "script/macro_expander.h"
#include "script/number_program.h"
#include "script/script_tags.h"
#include "script/tag_rules.h"
#include "script/variables.h"

namespace {

// Skips forward to a target of table; ScanDone, or 0 after reporting.
int SkipTo(ScriptParser* parser, TagTable& table, Tag* found, const char* closing) {
    int r = parser->SkipTo(found, &table);
    if (r == ScanEnd) {
        parser->SyntaxError(String("Unexpected end of file looking for &lt;") + closing + "&gt;");
        return 0;
    }
    return r == ScanDone ? ScanDone : 0;
}

class IFState : public ScriptState {
  public:
    IFState(ScriptParser* parser, Tag* tag)
        : ScriptState(parser, tag), legacy_(tag->id() == TagIF), ended_(false) {}

    bool HandsToDispatch(const Tag* tag) const override {
        return tag->id() != tag_->endid() && (tag->id() != TagKpELSE || legacy_);
    }

    int ProcessTag(Tag* tag) override {
        if (HandsToDispatch(tag)) return Dispatch(tag);
        // The closing tag; or KpELSE, which ends the true part (the exit step skips
        // the else part).
        if (tag->id() == tag_->endid()) ended_ = true;
        return StateClose;
    }

    int ExitState() override {
        if (ended_) return StateDone;
        Tag found("", 0, 0);
        return SkipTo(parser_, parser_->iffinish(legacy_), &found, Closing()) ? StateDone
                                                                              : StateError;
    }

    // Takes ownership of this state: pushes it or discards it.
    int Continue(bool truth) {
        if (truth) {
            parser_->AddState(this);
            return StateDone;
        }
        Tag found("", 0, 0);
        if (!SkipTo(parser_, parser_->ifskip(legacy_), &found, Closing())) {
            delete this;
            return StateError;
        }
        if (found.id() == TagKpELSE) {
            parser_->AddState(this);  // the else part runs
            return StateDone;
        }
        delete this;  // the closing tag: the block is finished
        return StateDone;
    }

  private:
    const char* Closing() const { return legacy_ ? "/IF" : "/KpIF"; }

    bool legacy_;
    bool ended_;
};

// A legacy WHILE ends at a WHILE STOP (a WHILE without STOP inside it is a loop of
// its own); KpWHILE at a KpWHILESTOP.
class WHILEState final : public LoopState {
  public:
    WHILEState(ScriptParser* parser, Tag* tag, const String& attribute)
        : LoopState(parser, tag, tag->id() == TagWHILE ? -1 : TagKpWHILESTOP,
                    tag->id() == TagWHILE ? TagWHILE : -1),
          legacy_(tag->id() == TagWHILE),
          condition_(nullptr),
          conditionlines_(0),
          assigns_(!attribute.empty()),
          attribute_(Variables::Resolve(attribute)) {
        MarkBody();
    }

    // Reads the condition again from the script text and evaluates it: StateDone
    // when true, StateClose when false, StateError when it failed.
    int EvaluateExpression() {
        if (test_ != nullptr) {
            // A comparison of numbers read before: its 1 or 0 decides and is assigned
            // as a number, as a hint that may defer has it; AND, OR and NOT assign the
            // text "1" or "0" as they write it (a program that gives up leaves it to
            // the expression, with nothing done).
            double value;
            bool outside;
            if (test_->Compute(parser_->store(), &value, &outside)) {
                int result = value != 0 ? StateDone : StateClose;
                Variables* vars = parser_->store();
                static const String kTruths[2] = {"0", "1"};
                if (assigns_ &&
                    !(test_->logic()
                          ? vars->SetVariable(attribute_, kTruths[value != 0], nullptr, outside)
                          : vars->SetNumber(attribute_, value, outside))) {
                    int line = parser_->line();
                    parser_->SetLine(tag_->positionline() + conditionlines_);
                    if (!RuntimeError(tag_, vars->error())) result = StateError;
                    parser_->SetLine(line);
                }
                return result;
            }
        }
        int line = parser_->line();
        bool owned = false;
        Expression* e = condition_;
        if (e != nullptr) {
            parser_->SetLine(tag_->positionline() + conditionlines_);
        } else {
            e = parser_->ReadExpressionAt(tag_->position(), tag_->positionline(), &owned);
            if (e != nullptr && !owned) {
                // Read once and kept by the interpreter: the next tests use it as it is.
                condition_ = e;
                conditionlines_ = parser_->line() - tag_->positionline();
                const NumberProgram* numbers = e->Numbers();
                if (numbers != nullptr && (numbers->compares() || numbers->logic())) {
                    test_ = numbers;
                }
            }
        }
        String value;
        int result = StateError;
        bool outside;
        // A whole number (a comparison's "1" or "0") need not be written out to be
        // tested or assigned.
        NumberHint hint;
        hint.maydefer = true;
        if (e != nullptr && e->EvaluateOften(parser_, &value, &hint, &outside)) {
            result = Expression::IsTrue(value, hint) ? StateDone : StateClose;
            Variables* vars = parser_->variables();
            if (assigns_ && !vars->SetVariable(attribute_, value, &hint, outside)) {
                if (!RuntimeError(tag_, vars->error())) result = StateError;
            }
        }
        if (owned) delete e;
        parser_->SetLine(line);
        return result;
    }

    int ProcessTag(Tag* tag) override {
        if (legacy_ || tag->id() != TagEndKpWHILE) return LoopState::ProcessTag(tag);
        // The end of a pass: the next passes run compiled, while the body allows.
        int line = parser_->line();
        ScriptParser* parser = parser_;
        // A compiled pass may move the scanner (a call in a value): the loop goes on
        // from its end tag.
        long end = parser->macrosource()->CurrentFilePosition();
        Watch watch(this);
        String message;  // a loop's test leaves none
        for (bool compiled = false;; compiled = true) {
            Pass pass = Next(&message);
            if (watch.gone()) return StateError;
            if (compiled && pass != Again) parser->macrosource()->Seek(end);
            if (pass == Again && bodyposition() >= 0 && parser_->MayRemake(compiled_)) {
                compiled_ = parser_->CompiledAt(bodyposition(), CompiledLoop);
            }
            if (pass != Again || compiled_ == nullptr) return AfterPass(pass, message);
            CompiledOutcome outcome = compiled_->Run(parser, bodyline());
            if (watch.gone()) return StateError;
            switch (outcome) {
                case CompiledEnded:
                    // At the end tag again, where the interpreter would stand.
                    parser->SetLine(line);
                    if (!CompiledBody::BeforeTag(parser, TagEndKpWHILE)) return StateError;
                    break;
                case CompiledHanded:
                    return StateDone;
                default:
                    return StateError;
            }
        }
    }

  protected:
    // A condition that failed to evaluate was reported where it failed; the loop ends.
    Pass Next(String*) override { return EvaluateExpression() == StateDone ? Again : Finished; }

    int ProcessOwnTag(Tag* tag) override {
        return tag->Find("STOP") != nullptr ? StateClose : Dispatch(tag);
    }

    bool SkipRest() override {
        Tag found("", 0, 0);
        return SkipTo(parser_, parser_->whileskip(legacy_), &found,
                      legacy_ ? "/WHILE" : "/KpWHILE");
    }

  private:
    bool legacy_;
    Expression* condition_;  // not owned: the interpreter keeps it; null until read
    int conditionlines_;     // the lines it spans
    bool assigns_;           // the condition's value is assigned to attribute_
    ScopedName attribute_;
    CompiledBody* compiled_ = nullptr;  // not owned: the interpreter's; null until made
    // The condition's flat program when it is a comparison of numbers or AND, OR or NOT
    // over numbers and truths (not owned: the condition's); null otherwise.
    const NumberProgram* test_ = nullptr;
};

void WriteHiddenFields(ScriptParser* parser, const String& list) {
    Output* out = parser->output();
    int start = 0;
    for (;;) {
        int comma = list.search(",", start);
        String name = list.at(start, comma < 0 ? list.length() : comma);
        name.StripWhitespace();
        String value = parser->variables()->Value(name);
        EncodeEntities(&value);
        EncodeEntities(&name);
        out->Write("<INPUT TYPE=\"hidden\" NAME=\"");
        out->Write(name);
        out->Write("\" VALUE=\"");
        out->Write(value);
        out->Write("\">");
        out->inwhitespace() = 0;
        if (comma < 0) return;
        start = comma + 1;
    }
}

}  // namespace

void PushKpIFState(ScriptParser* parser, Tag* tag) {
    parser->AddState(new IFState(parser, tag));
}

int ContinueKpIF(ScriptParser* parser, Tag* tag, bool truth) {
    IFState* s = new IFState(parser, tag);
    return s->Continue(truth);
}

int ProcessKpIF(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    if (!CheckOnePair(parser, tag)) return StateError;
    NameValuePair* a = tag->attributes().First();
    if (tag->id() == TagKpIF && !a->name().empty()) {
        if (!state->Assign(tag, a)) return StateError;
    }
    IFState* s = new IFState(parser, tag);
    // A comparison's "1" or "0" may still be unwritten.
    return s->Continue(Expression::IsTrue(*a->mutablevalue(), a->hint()));
}

int ProcessKpWHILE(ScriptState* state, Tag* tag) {
    ScriptParser* parser = state->parser();
    String attribute;
    if (tag->id() == TagWHILE) {
        if (tag->Find("STOP") != nullptr) {
            CheckWhileStop(parser, false);
            return StateError;
        }
    } else {
        if (!CheckOnePair(parser, tag)) return StateError;
        attribute = tag->attributes().First()->name();
    }
    WHILEState* s = new WHILEState(parser, tag, attribute);
    int r = s->EvaluateExpression();
    if (r == StateDone) {
        parser->AddState(s);
        return StateDone;
    }
    if (r == StateClose) r = s->ExitState();  // skip the body
    delete s;
    return r;
}

int ProcessKpLET(ScriptState* state, Tag* tag) {
    if (!CheckOneLetPair(state->parser(), tag)) return StateError;
    NameValuePair* a = tag->attributes().First();
    return state->Assign(tag, a);
}

int ProcessKpASSIGN(ScriptState* state, Tag* tag) {
    for (const char* attribute : {"NAME", "VALUE"}) {
        if (!CheckRequired(state->parser(), tag, attribute)) return StateError;
    }
    int result;
    if (!state->OwnName(tag, "NAME", "a variable", &result)) return result;
    return state->Assign(tag, tag->Value("NAME"), tag->Value("VALUE"),
                         tag->Find("VALUE")->outside());
}

int ProcessEVAL(ScriptState* state, Tag* tag) {
    if (!CheckEvalExpression(state->parser(), tag)) return StateError;
    state->parser()->WriteValue(tag->attributes().First()->value());
    return StateDone;
}

int ProcessKpEVAL(ScriptState* state, Tag* tag) {
    if (!CheckOnePair(state->parser(), tag)) return StateError;
    NameValuePair* a = tag->attributes().First();
    if (!a->name().empty() && !state->Assign(tag, a)) return StateError;
    state->parser()->WriteValue(a->value());
    return StateDone;
}

int ProcessHIDE(ScriptState* state, Tag* tag) {
    NameValuePair* first = tag->attributes().First();
    if (first != nullptr && first->outside()) {
        return state->RuntimeError(tag,
                                   "The list of HIDE holds text from outside the page, which never "
                                   "names variables");
    }
    if (!CheckHideList(state->parser(), tag)) return StateError;
    String list = tag->Value("");
    WriteHiddenFields(state->parser(), list);
    return StateDone;
}

int ProcessKpHIDE(ScriptState* state, Tag* tag) {
    int result;
    if (!state->OwnName(tag, "FIELDS", "variables", &result)) return result;
    String list = tag->Value("FIELDS");
    if (list.matches('"', 0)) list = list.at(1, list.length() - 1);
    WriteHiddenFields(state->parser(), list);
    return StateDone;
}
