// ScriptParser: the interpreter itself: the state-stack walk, output levels, settings and
// error reporting (the tag table, the attribute reader and the replay of cached runs
// have files of their own). ScriptState: the base dispatch.

#include "script/script_parser.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "script/builtins.h"
#include "script/engine.h"
#include "script/macro_expander.h"
#include "script/script_tags.h"
#include "script/tag_cache.h"
#include "script/tag_table.h"
#include "script/variables.h"

namespace {

// The state at the bottom of the stack: every tag goes to the base dispatch.
class BaseState : public ScriptState {
  public:
    explicit BaseState(ScriptParser* parser) : ScriptState(parser, nullptr) {}
    bool HandsToDispatch(const Tag*) const override { return true; }
};

}  // namespace

// ---------------------------------------------------------------------------
// ScriptState

ScriptState::ScriptState(ScriptParser* parser, const Tag* tag)
    : parser_(parser),
      copy_(tag ? *tag : Tag(String(), 0, 0)),
      tag_(tag ? &copy_ : nullptr),
      line_(parser->line()) {}

ScriptState::~ScriptState() {
    if (closed_ != nullptr) *closed_ = true;
    parser_->closedstates_++;
}

int ScriptState::ProcessTag(Tag* tag) {
    return Dispatch(tag);
}

bool ScriptState::HandsToDispatch(const Tag*) const {
    return false;
}

int ScriptState::Dispatch(Tag* tag) {
    int id = tag->id();
    const TagSpec* spec = TagSpecOf(id);
    int flags = spec != nullptr ? spec->flags : 0;
    parser_->ClearErrorVariable(tag);
    if ((flags & kStopPassedDown) && tag->Find("STOP") != nullptr) return StatePass;
    if (flags & kPassedDown) return StatePass;
    if (spec == nullptr || spec->handler == nullptr) {
        parser_->SyntaxError("Unexpected &lt;" + tag->name() + "&gt;");
        return StateError;
    }
    TagHandler handler = parser_->handler(id);
    if (handler == nullptr) return ProcessUnavailableTag(this, tag);
    return handler(this, tag);
}

int ScriptState::ProcessText(const String& text, int level) {
    if (!(level & OutputText)) return StateHandled;
    Output* out = parser_->output();
    if (!(level & OutputCompressWhitespace)) {
        if (text.empty()) return StateHandled;
        out->inwhitespace() =
            String::IsWhitespace(static_cast<unsigned char>(text[text.length() - 1]));
        out->Write(text);
        return StateHandled;
    }
    // Every run of whitespace becomes one blank; none at the start after whitespace.
    String compressed;
    bool run = out->inwhitespace() != 0;
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (String::IsWhitespace(static_cast<unsigned char>(c))) {
            if (!run) compressed.cat(' ');
            run = true;
        } else {
            compressed.cat(c);
            run = false;
        }
    }
    if (compressed.empty()) return StateHandled;
    out->inwhitespace() = run ? 1 : 0;
    out->Write(compressed);
    return StateHandled;
}

int ScriptState::RuntimeError(Tag* tag, const String& message) {
    if (!parser_->RuntimeError(tag, message)) return StateError;
    parser_->variables()->SetVariable(tag->name() + "_Error", message);
    return StateHandled;
}

bool ScriptState::OwnName(Tag* tag, const char* attribute, const char* named, int* result) {
    NameValuePair* a = tag->Find(attribute);
    if (a == nullptr || !a->outside()) return true;
    *result = RuntimeError(tag, String("The ") + attribute +
                                    " attribute holds text from outside the page, "
                                    "which never names " +
                                    named);
    return false;
}

int ScriptState::Assign(Tag* tag, NameValuePair* attribute) {
    if (attribute->scopedname() == nullptr) {
        return Assign(tag, attribute->name(), attribute->value(), attribute->outside());
    }
    // The value as it stands: a whole number whose text is still unwritten goes to the
    // variable as a number.
    Variables* vars = parser_->variables();
    if (vars->SetVariable(*attribute->scopedname(), *attribute->mutablevalue(), &attribute->hint(),
                          attribute->outside())) {
        return StateDone;
    }
    return RuntimeError(tag, vars->error());
}

int ScriptState::Assign(Tag* tag, const String& name, const String& value, bool outside) {
    Variables* vars = parser_->variables();
    if (vars->SetVariable(name, value, outside)) return StateDone;
    return RuntimeError(tag, vars->error());
}

// ---------------------------------------------------------------------------
// ScriptParser

bool ScriptParser::compiling_ = true;
unsigned long ScriptParser::serials_ = 0;

ScriptParser::ScriptParser(Kelp* engine, MacroExpander* source, Output* output)
    : Parser(engine, source),
      output_(output),
      macrosource_(source),
      states_(1),
      base_(nullptr),
      errorhandler_(engine),
      functions_(1) {
    Init();
}

ScriptParser::ScriptParser(Kelp* engine, MacroExpander* source, Output* output,
                           const ScriptParser& other)
    : Parser(engine, source),
      output_(output),
      macrosource_(source),
      states_(1),
      base_(nullptr),
      errorhandler_(engine, other.errorhandler_),
      functions_(1) {
    Init();
}

ScriptParser::~ScriptParser() {
    delete recording_;
    // What was read of the file goes back to the file's keeper, which may keep it for
    // the next run of the same text.
    cache_->Release();
    macrosource_->KeepScan(cache_);
}

void ScriptParser::Init() {
    scriptcontext_ = &engine()->script();
    settings_ = &engine()->settings();
    store_ = engine()->vars();
    serial_ = ++serials_;
    // (A TagCache is the only scan an interpreter keeps.)
    ScriptScan* kept = macrosource_->TakeScan();
    cache_ = kept != nullptr ? static_cast<TagCache*>(kept) : new TagCache;
    lastrun_ = nullptr;
    lasttag_ = nullptr;
    textrecording_ = nullptr;
    textline_ = 0;
    recording_ = nullptr;
    recordline_ = 0;
    interpret_ = InterpretMacros | InterpretTags;
    standardoutputlevel_ = OutputHtml | OutputText;
    depth_ = 0;
    exited_ = false;
    base_ = new BaseState(this);
    states_.Push(base_);
    SetupSupportedTags();
    DeclareScriptTags();
    SetupBuiltinFunctions(this);
    engine()->InstallRooms(this);
    for (int id = 0; id < TagIdCount; id++) {
        const TagSpec* spec = TagSpecOf(id);
        handlers_[id] = spec != nullptr ? spec->handler : nullptr;
    }
}

int ScriptParser::Parse() {
    int r = Parser::Parse();
    if (exited_) return 1;
    // The page ended inside a block that ran (a loop, a true KpIF): its closing tag
    // is missing or misspelt, and what should have followed it never ran.
    ScriptState* open = states_.Top();
    if (r == 1 && open != nullptr && open != base_ && open->tag() != nullptr &&
        open->tag()->endid() > 0) {
        SyntaxError("Unexpected end of file looking for &lt;" +
                    String(TagSpelling(open->tag()->endid())) + "&gt; (opened on line " +
                    String::FromInt(open->line()) + ")");
        return 0;
    }
    return r;
}

// Templates are made when a tag is first met: a request meets few of them.
void ScriptParser::SetupSupportedTags() {}

const char* ScriptParser::TagName(int id) {
    return TagSpelling(id);
}

int ScriptParser::SupportedTagCount() {
    return KnownTagCount();
}

namespace {

// What every interpreter of the process shares, made once and never changed after:
// tag templates, the names of the TAG_Error variables and the skip targets. A tag
// cache kept from one request for the next points into them.
struct Shared {
    TagTable templates{1};
    // Two per tag id, made when a tag of that id is first met.
    ScriptParser::ErrorVariable* errorvariables[TagIdCount] = {};
};

Shared& TheShared() {
    static Shared* shared = new Shared;
    return *shared;
}

// Made when a block is first skipped.
struct SkipTables {
    TagTable ifskip{1}, iffinish{1}, legacyifskip{1}, legacyiffinish{1};
    TagTable whileskip{1}, legacywhileskip{1}, functionskip{1};

    SkipTables() {
        AddTagTarget(&ifskip, "KpIF", TagKpIF, TagEndKpIF);
        AddTagTarget(&ifskip, "KpELSE", TagKpELSE, -1);
        AddTagTarget(&ifskip, "/KpIF", TagEndKpIF, 0);
        AddTagTarget(&iffinish, "KpIF", TagKpIF, TagEndKpIF);
        AddTagTarget(&iffinish, "/KpIF", TagEndKpIF, 0);
        AddTagTarget(&legacyifskip, "IF", TagIF, TagEndIF);
        AddTagTarget(&legacyifskip, "/IF", TagEndIF, 0);
        AddTagTarget(&legacyiffinish, "IF", TagIF, TagEndIF);
        AddTagTarget(&legacyiffinish, "/IF", TagEndIF, 0);
        AddTagTarget(&whileskip, "KpWHILE", TagKpWHILE, TagEndKpWHILE);
        AddTagTarget(&whileskip, "/KpWHILE", TagEndKpWHILE, 0);
        AddTagTarget(&legacywhileskip, "WHILE", TagWHILE, TagEndWHILE);
        AddTagTarget(&legacywhileskip, "/WHILE", TagEndWHILE, 0);
        AddTagTarget(&functionskip, "/KpFUNCTION", TagEndKpFUNCTION, 0);
    }
};

SkipTables& Skips() {
    static SkipTables* tables = new SkipTables;
    return *tables;
}

}  // namespace

Tag* ScriptParser::FindTemplate(const char* name) {
    // (Every template in the table was made from a declared row.)
    if (!MayBeTagName(name)) return nullptr;
    TagTable& templates = TheShared().templates;
    Tag* t = templates.Find(name);
    if (t != nullptr) return t;
    t = MakeTagTemplate(name);
    if (t == nullptr) return nullptr;
    t->SetErrorVariable(ErrorVariableName(t));
    templates.Insert(t);
    return t;
}

TagTable& ScriptParser::ifskip(bool legacy) {
    return legacy ? Skips().legacyifskip : Skips().ifskip;
}

TagTable& ScriptParser::iffinish(bool legacy) {
    return legacy ? Skips().legacyiffinish : Skips().iffinish;
}

TagTable& ScriptParser::whileskip(bool legacy) {
    return legacy ? Skips().legacywhileskip : Skips().whileskip;
}

TagTable& ScriptParser::functionskip() {
    return Skips().functionskip;
}

void ScriptParser::SetHandler(int id, TagHandler routine) {
    if (id >= 0 && id < TagIdCount) handlers_[id] = routine;
}

int ScriptParser::SkipTo(Tag* found, TagTable* targets) {
    if (macrosource_->inmacro()) return FindTag(found, targets);
    long position = macrosource_->CurrentFilePosition();
    int start = line();
    if (const TagCache::CachedSkip* s = cache_->FindSkip(position, targets)) {
        macrosource_->Seek(s->end);
        SetLine(start + s->lines);
        found->Reset(*s->target);
        return ScanDone;
    }
    long ampersands = macrosource_->ampersands();
    int r = FindTag(found, targets);
    if (r == ScanDone && macrosource_->ampersands() == ampersands && !macrosource_->inmacro() &&
        found->attributes().Entries() == 0) {
        Tag* target = targets->Find(found->name().chars());
        if (target != nullptr) {
            cache_->InsertSkip(
                position, TagCache::CachedSkip{targets, target, macrosource_->CurrentFilePosition(),
                                               line() - start});
        }
    }
    return r;
}

int ScriptParser::SkipBlock(Tag* tag) {
    TagTable targets(1);
    AddTagTarget(&targets, tag->name().chars(), tag->id(), tag->endid());
    AddTagTarget(&targets, TagSpelling(tag->endid()), tag->endid(), 0);
    Tag found("", 0, 0);
    int r = FindTag(&found, &targets);
    if (r == ScanEnd) {
        SyntaxError("Unexpected end of file looking for &lt;" + String(TagSpelling(tag->endid())) +
                    "&gt;");
    }
    return r == ScanDone ? 1 : 0;
}

Output* ScriptParser::SwitchOutput(Output* output) {
    Output* previous = output_;
    output_ = output;
    return previous;
}

void ScriptParser::WriteValue(const String& value) {
    if (value.empty()) return;
    output_->Write(value);
    output_->inwhitespace() =
        String::IsWhitespace(static_cast<unsigned char>(value[value.length() - 1])) ? 1 : 0;
}

Variables* ScriptParser::variables() {
    return engine()->vars();
}

// --- settings

void ScriptParser::SetInterpret(int flags) {
    interpret_ = flags;
    macrosource_->SetExpandMacros(flags & InterpretMacros);
}

void ScriptParser::SetTagDetect(bool on) {
    interpret_ = on ? (interpret_ | InterpretTags) : (interpret_ & ~InterpretTags);
}

void ScriptParser::SetExpandMacros(bool on) {
    SetInterpret(on ? (interpret_ | InterpretMacros) : (interpret_ & ~InterpretMacros));
}

int ScriptParser::SetStandardOutputLevel(int bits) {
    int previous = standardoutputlevel_;
    standardoutputlevel_ = bits;
    return previous;
}

namespace {

// The sum of the bits of the listed words (case and blanks ignored).
unsigned ListValue(const String& list, const char* const* words, const unsigned* bits, int n) {
    unsigned value = 0;
    String items[64];
    int count = split(list, items, 64, String(","));
    for (int i = 0; i < count; i++) {
        items[i].StripWhitespace();
        for (int w = 0; w < n; w++) {
            if (items[i].matches(words[w])) value |= bits[w];
        }
    }
    return value;
}

}  // namespace

int ScriptParser::StandardOutputLevelValue(const String& list) {
    static const char* const kWords[] = {"kelp", "html", "text", "compresswhitespace"};
    static const unsigned kBits[] = {OutputKelp, OutputHtml, OutputText, OutputCompressWhitespace};
    return static_cast<int>(ListValue(list, kWords, kBits, 4));
}

unsigned ScriptParser::ErrorOutputLevelValue(const String& list) {
    static const char* const kWords[] = {"syntax", "expression", "runtime"};
    static const unsigned kBits[] = {kSyntaxErrors, kExpressionErrors, kRuntimeErrors};
    return ListValue(list, kWords, kBits, 3);
}

void ScriptParser::SetTagErrorSettings(const String& tagname, const String& list) {
    Tag* t = FindTemplate(tagname.chars());
    if (t == nullptr) return;
    unsigned type = kRuntimeErrors + t->id();
    String items[16];
    int count = split(list, items, 16, String(","));
    for (int i = 0; i < count; i++) {
        items[i].StripWhitespace();
        if (items[i].matches("fatal")) errorhandler_.SetFatal(type, true);
        if (items[i].matches("nonfatal")) errorhandler_.SetFatal(type, false);
        if (items[i].matches("display")) errorhandler_.SetDisplay(type, true);
        if (items[i].matches("nodisplay")) errorhandler_.SetDisplay(type, false);
    }
}

const ScopedName* ScriptParser::ErrorVariableName(const Tag* tag) {
    int id = tag->id();
    if (id < 0 || id >= TagIdCount) return nullptr;
    ErrorVariable*& slots = TheShared().errorvariables[id];
    if (slots == nullptr) slots = new ErrorVariable[2];
    ErrorVariable* slot = slots;
    if (slot->tagname != tag->name()) slot++;  // the second name of a shared id
    if (slot->tagname != tag->name()) {
        slot->tagname = tag->name();
        slot->name = Variables::Resolve(tag->name() + "_Error");
    }
    return &slot->name;
}

void ScriptParser::ClearErrorVariable(Tag* tag) {
    const ScopedName* name = tag->errorvariable();
    if (name == nullptr && (name = ErrorVariableName(tag)) == nullptr) return;
    Variable* v = variables()->Find(*name);
    if (v != nullptr && v->Empty()) return;  // already clear
    variables()->SetVariable(*name, String());
}

// --- errors

void ScriptParser::UndefinedVariable(const String& name) {
    if (scriptcontext_->warnundefined()) engine()->UndefinedRead(name);
}

int ScriptParser::SyntaxError(const String& message) {
    return errorhandler_.Error(kSyntaxErrors,
                               ::SyntaxError(source()->errorname(), line(), message));
}

int ScriptParser::ReportExpressionError(const String& message) {
    return errorhandler_.Error(kExpressionErrors,
                               ::ExpressionError(source()->errorname(), line(), message));
}

int ScriptParser::RuntimeError(Tag* tag, const String& message) {
    return errorhandler_.Error(kRuntimeErrors + tag->id(),
                               ::RuntimeError(source()->errorname(), line(), tag->name(), message));
}

int ScriptParser::Timeout() {
    errorhandler_.Error(kTimeoutErrors, TimeoutError("Application"));
    return 0;
}

// --- the state-stack walk

int ScriptParser::CloseStates(ScriptState* last) {
    for (;;) {
        ScriptState* s = states_.Top();
        if (s == nullptr) return 1;
        int ok = s->ExitState();
        states_.Pop();
        delete s;
        if (!ok) return 0;
        if (s == last) return 1;
    }
}

void ScriptParser::DiscardStatesAbove(ScriptState* state) {
    for (ScriptState* s = states_.Top(); s != nullptr && s != state; s = states_.Top()) {
        states_.Pop();
        delete s;
    }
}

ScriptState* ScriptParser::Below(ScriptState* state) {
    for (ScriptState* s = states_.Top(); s != nullptr; s = states_.Peek()) {
        if (s == state) return states_.Peek();
    }
    return nullptr;
}

bool ScriptParser::OnStack(ScriptState* state) {
    for (ScriptState* s = states_.Top(); s != nullptr; s = states_.Peek()) {
        if (s == state) return true;
    }
    return false;
}

int ScriptParser::Settled(int result) const {
    if (exited_) return 3;
    return result == StateError ? 0 : 1;
}

int ScriptParser::ProcessAssignment(Tag* tag) {
    // What the walk, the base dispatch and the KpLET handler would do with it, when
    // the top state hands it to the base dispatch.
    ScriptState* top = states_.Top();
    if (!(interpret_ & InterpretTags) || handlers_[TagKpLET] != ProcessKpLET ||
        !top->HandsToDispatch(tag)) {
        return ProcessKnownTag(tag);
    }
    if (engine()->timedout()) return Timeout();
    ClearErrorVariable(tag);
    return Settled(top->Assign(tag, tag->attributes().First()));
}

int ScriptParser::ProcessKnownTag(Tag* tag) {
    if (engine()->timedout()) return Timeout();
    int id = tag->id();
    if (OpenRun* run = engine()->openrun()) {
        run->BeforeTag(TagHasFlag(id, kContinuesRun));
    }
    if (!(interpret_ & InterpretTags) && id != TagKELP && id != TagBRINDLE) return 1;
    if (id == TagEXIT || id == TagKpEXIT) {
        exited_ = true;
        while (states_.Top() != base_) {
            ScriptState* s = states_.Top();
            LeaveCallsAbove(s);
            int ok = s->ExitState();
            states_.Pop();
            delete s;
            if (!ok) break;
        }
        LeaveCallsAbove(base_);
        return 3;
    }
    for (ScriptState* s = states_.Top(); s != nullptr;) {
        int r = s->ProcessTag(tag);
        switch (r) {
            case StateError:
            case StateHandled:
            case StateDone:
                return Settled(r);
            case StateClose:
                if (!CloseStates(s)) return 0;
                return states_.Top() == nullptr ? 3 : 1;
            default:
                break;
        }
        s = Below(s);  // not this state's: offer it to the one below
    }
    SyntaxError("Unexpected &lt;" + tag->name() + "&gt;");
    return 0;
}

int ScriptParser::ProcessText(const String& text) {
    if (textrecording_ != nullptr) RecordText(false, text);
    if (engine()->timedout()) return Timeout();
    for (ScriptState* s = states_.Top(); s != nullptr;) {
        int r = s->ProcessText(text, standardoutputlevel_);
        if (r == StateError) return 0;
        if (r == StateHandled || r == StateDone) return 1;
        if (r == StateClose) return CloseStates(s) ? 1 : 0;
        s = Below(s);
    }
    SyntaxError("Unexpected text");
    return 0;
}

int ScriptParser::ProcessNewLine(const String& text) {
    if (textrecording_ != nullptr) RecordText(true, text);
    if (engine()->timedout()) return Timeout();
    if (standardoutputlevel_ & OutputText) {
        bool compress = (standardoutputlevel_ & OutputCompressWhitespace) != 0;
        if (!(compress && output_->inwhitespace())) output_->Write(text);
        output_->inwhitespace() = 1;
    }
    return 1;
}

int ScriptParser::ProcessUnknownTag(const String& text) {
    if (markupat_ >= 0) RecordMarkup(text);
    return WriteMarkup(text);
}

int ScriptParser::WriteMarkup(const String& text) {
    if (engine()->timedout()) return Timeout();
    if (standardoutputlevel_ & OutputHtml) {
        output_->inwhitespace() = 0;
        output_->Write(text);
    }
    return 1;
}

int ScriptParser::RunUntilClosed(ScriptState* state) {
    // A run inside a run for the same state (none is known) hands the news on.
    bool closed = false;
    bool* outer = state->closed_;
    state->closed_ = &closed;
    int code = ScanMore;
    while (code == ScanMore && !closed) code = FindNextTag();
    if (!closed) {
        state->closed_ = outer;
    } else if (outer != nullptr) {
        *outer = true;
    }
    if (code == ScanFailure) return 0;
    if (exited_) return ScanStop;
    if (closed) return 1;
    return code;
}
