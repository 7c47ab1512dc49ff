// KpLOCALIZED: one text in several languages. The block runs only the
// KpLOCALIZED-TEXT of the engine's current language, or else the one of its default
// language (wherever that stands in the block), and inserts the block's tokens
// (KpLOCALIZED-TOKEN) where a text says %name%.

#include "foundation/output.h"
#include "script/macro_expander.h"
#include "script/script_context.h"
#include "script/script_tags.h"
#include "script/variables.h"

namespace {

// A "%" that no "%" follows within this many bytes is plain text.
const int kMaxTokenName = 256;

class LocalizedTextState : public ScriptState {
  public:
    // tokens: not owned (the block's). name: the variable that receives the text, or
    // empty to write it on the page.
    LocalizedTextState(ScriptParser* parser, Tag* tag, VariableTree* tokens, const String& name)
        : ScriptState(parser, tag),
          tokens_(tokens),
          name_(name),
          previous_(nullptr),
          captured_(8192) {
        if (!name_.empty()) previous_ = parser->SwitchOutput(&captured_);
        writestext_ = false;
    }
    ~LocalizedTextState() override {
        if (previous_ != nullptr) parser_->SwitchOutput(previous_);
    }

    bool HandsToDispatch(const Tag*) const override { return false; }

    int ProcessTag(Tag* tag) override {
        if (tag->id() == TagEndKpLOCALIZEDTEXT) return StateClose;
        parser_->SyntaxError("Unexpected &lt;" + tag->name() + "&gt;");
        return StateError;
    }

    int ProcessText(const String& text, int level) override {
        if (!(level & OutputText)) return StateHandled;
        level_ = level;
        String s = pending_ + text;
        pending_.clear();
        String out;
        int i = 0;
        while (i < s.length()) {
            int percent = s.search("%", i);
            if (percent < 0) {
                out += s.from(i);
                break;
            }
            out += s.at(i, percent);
            int close = s.search("%", percent + 1);
            if (close < 0) {
                // The name may go on in the next run of text.
                if (s.length() - percent <= kMaxTokenName)
                    pending_ = s.from(percent);
                else
                    out += s.from(percent);
                break;
            }
            String name = s.at(percent + 1, close);
            Variable* token = name.empty() ? nullptr : tokens_->Find(name.chars());
            if (name.empty()) {
                out += '%';
            } else if (token != nullptr) {
                out += token->value();
            } else {
                // An undefined token stays as written, so that a lone "%" is just text.
                out += s.at(percent, close);
                i = close;
                continue;
            }
            i = close + 1;
        }
        return ScriptState::ProcessText(out, level);
    }

    int ExitState() override {
        if (!pending_.empty()) ScriptState::ProcessText(pending_, level_);
        pending_.clear();
        if (previous_ == nullptr) return StateDone;
        captured_.Flush();
        parser_->SwitchOutput(previous_);
        previous_ = nullptr;
        String text = captured_.data();
        if (parser_->standardoutputlevel() & OutputCompressWhitespace) {
            // Line ends too: every run of whitespace is one blank in the variable.
            String compressed;
            bool run = false;
            for (int i = 0; i < text.length(); i++) {
                bool space = String::IsWhitespace(static_cast<unsigned char>(text[i]));
                if (!space)
                    compressed += text[i];
                else if (!run)
                    compressed += ' ';
                run = space;
            }
            text = compressed;
        }
        return Assign(tag_, name_, text, true) ? StateDone : StateError;
    }

  private:
    VariableTree* tokens_;  // not owned
    String name_;
    Output* previous_;  // not owned: the output before capturing
    StringOutput captured_;
    String pending_;  // text from a "%" whose closing "%" has not come yet
    int level_ = OutputText;
};

class LocalizedState : public ScriptState {
  public:
    LocalizedState(ScriptParser* parser, Tag* tag) : ScriptState(parser, tag) {
        name_ = tag->Value("NAME").trimmed();
        id_ = tag->Value("ID");
        if (NameValuePair* a = tag->Find("STANDARDOUTPUTLEVEL")) {
            standard_ =
                parser->SetStandardOutputLevel(ScriptParser::StandardOutputLevelValue(a->value()));
            standardchanged_ = true;
        } else if (!name_.empty()) {
            standard_ =
                parser->SetStandardOutputLevel(OutputHtml | OutputText | OutputCompressWhitespace);
            standardchanged_ = true;
        }
        if (NameValuePair* a = tag->Find("ERROROUTPUTLEVEL")) {
            error_ = parser->errorhandler().SetErrorOutputLevel(
                ScriptParser::ErrorOutputLevelValue(a->value()));
            errorchanged_ = true;
        }
    }

    bool HandsToDispatch(const Tag*) const override { return false; }

    int ProcessTag(Tag* tag) override {
        switch (tag->id()) {
            case TagKpLOCALIZEDTOKEN:
                tokens_.SetVariable(tag->Value("NAME").trimmed(), tag->Value("VALUE"));
                return StateDone;
            case TagKpLOCALIZEDTEXT: {
                ScriptContext* context = parser_->scriptcontext();
                String language = tag->Value("LANGUAGE").trimmed();
                // Every text of the current language is processed; the default
                // language's first text only when none is.
                if (language.matches(context->language().chars()) &&
                    language.length() == context->language().length()) {
                    matched_ = true;
                    parser_->AddState(new LocalizedTextState(parser_, tag, &tokens_, name_));
                    return StateDone;
                }
                if (!matched_ && !defaultfound_ &&
                    language.length() == context->defaultlanguage().length() &&
                    language.matches(context->defaultlanguage().chars())) {
                    defaultfound_ = true;
                    parser_->macrosource()->SavePosition(&default_);
                    defaultline_ = parser_->line();
                    defaulttag_.Reset(*tag);
                }
                return parser_->SkipBlock(tag) ? StateDone : StateError;
            }
            case TagEndKpLOCALIZED:
                if (matched_ || !defaultfound_) return StateClose;
                matched_ = true;
                parser_->macrosource()->RestorePosition(default_);
                parser_->SetLine(defaultline_);
                parser_->AddState(new LocalizedTextState(parser_, &defaulttag_, &tokens_, name_));
                return StateDone;
            default:
                parser_->SyntaxError("Unexpected &lt;" + tag->name() + "&gt;");
                return StateError;
        }
    }

    int ExitState() override {
        if (standardchanged_) parser_->SetStandardOutputLevel(standard_);
        if (errorchanged_) parser_->errorhandler().SetErrorOutputLevel(error_);
        standardchanged_ = errorchanged_ = false;
        return StateDone;
    }

  private:
    String name_;
    String id_;
    VariableTree tokens_;  // owns elements
    bool matched_ = false;
    bool defaultfound_ = false;
    MacroExpander::Position default_;  // just after the default language's text tag
    int defaultline_ = 0;
    Tag defaulttag_{"", 0, 0};
    int standard_ = 0;
    unsigned error_ = 0;
    bool standardchanged_ = false;
    bool errorchanged_ = false;
};

}  // namespace

int ProcessKpLOCALIZED(ScriptState* state, Tag* tag) {
    state->parser()->AddState(new LocalizedState(state->parser(), tag));
    return StateDone;
}
