// ScriptParser: tag table, attribute reading, the state-stack walk, output levels and
// error reporting. ScriptState: the base dispatch.

#include "script/script_parser.h"

#include <string.h>

#include <algorithm>
#include <array>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "host/engine.h"
#include "script/builtins.h"
#include "script/macro_expander.h"
#include "script/script_tags.h"
#include "script/tag_cache.h"
#include "script/variables.h"

namespace {

// The table of known tags: name, id, end id (0 for none) and the attribute template
// ("NAME*" required, "NAME=value" with a default, "NAME" optional).
struct TagSpec {
    const char* name;
    int id;
    int endid;
    const char* attributes;
};

const TagSpec kTags[] = {
    {"IF", TagIF, TagEndIF, ""},
    {"/IF", TagEndIF, 0, ""},
    {"IMPORT", TagIMPORT, TagEndIMPORT, ""},
    {"/IMPORT", TagEndIMPORT, 0, ""},
    {"EXPORT", TagEXPORT, 0, ""},
    {"LET", TagLET, 0, ""},
    {"EVAL", TagEVAL, 0, ""},
    {"EVALUATE", TagEVAL, 0, ""},
    {"HIDE", TagHIDE, 0, ""},
    {"FILE", TagFILE, 0, ""},
    {"MAIL", TagMAIL, TagEndMAIL, ""},
    {"/MAIL", TagEndMAIL, 0, ""},
    {"WHILE", TagWHILE, TagEndWHILE, ""},
    {"/WHILE", TagEndWHILE, 0, ""},
    {"CALL", TagCALL, TagEndCALL, ""},
    {"/CALL", TagEndCALL, 0, ""},
    {"BRINDLE", TagBRINDLE, 0, ""},
    {"EXIT", TagEXIT, 0, ""},
    {"KpIF", TagKpIF, TagEndKpIF, ""},
    {"KpELSE", TagKpELSE, TagEndKpIF, ""},
    {"/KpIF", TagEndKpIF, 0, ""},
    {"KpIMPORT", TagKpIMPORT, TagEndKpIMPORT, "FILE*,FIELDS*,DELIMITER*"},
    {"KpIMPORTSTOP", TagKpIMPORTSTOP, 0, ""},
    {"/KpIMPORT", TagEndKpIMPORT, 0, ""},
    {"KpEXPORT", TagKpEXPORT, 0, "FILE*,FIELDS*,DELIMITER*"},
    {"KpLET", TagKpLET, 0, ""},
    {"KpASSIGN", TagKpASSIGN, 0, "NAME*,VALUE*"},
    {"KpEVAL", TagKpEVAL, 0, ""},
    {"KpEVALUATE", TagKpEVAL, 0, ""},
    {"KpHIDE", TagKpHIDE, 0, "FIELDS*"},
    {"KpPOP", TagKpPOP, TagEndKpPOP, "LOGIN*,PASSWORD*,DIRECTORY*,MAILHOST*"},
    {"KpPOPSTOP", TagKpPOPSTOP, 0, ""},
    {"KpPOPDELETE", TagKpPOPDELETE, 0, ""},
    {"/KpPOP", TagEndKpPOP, 0, ""},
    {"KpSMTP", TagKpSMTP, TagEndKpSMTP, "FROM*,TO*,MAILHOST*,SUBJECT=(no subject),CC"},
    {"/KpSMTP", TagEndKpSMTP, 0, ""},
    {"KpWHILE", TagKpWHILE, TagEndKpWHILE, ""},
    {"KpWHILESTOP", TagKpWHILESTOP, 0, ""},
    {"/KpWHILE", TagEndKpWHILE, 0, ""},
    {"KpCALL", TagKpCALL, TagEndKpCALL, "ACTION*,METHOD*,FIELDS,FILES"},
    {"KpCALLSTOP", TagKpCALLSTOP, 0, ""},
    {"/KpCALL", TagEndKpCALL, 0, ""},
    {"KpFUNCTION", TagKpFUNCTION, TagEndKpFUNCTION, "NAME*,PARAMETERS"},
    {"KpFUNCRETURN", TagKpFUNCRETURN, 0, "VALUE"},
    {"KpFUNCTIONRETURN", TagKpFUNCRETURN, 0, "VALUE"},
    {"/KpFUNCTION", TagEndKpFUNCTION, 0, ""},
    {"KpCOMMERCE", TagKpCOMMERCE, TagEndKpCOMMERCE, "ACTION,FIELDS"},
    {"KpCOMMERCESTOP", TagKpCOMMERCESTOP, 0, ""},
    {"/KpCOMMERCE", TagEndKpCOMMERCE, 0, ""},
    {"KpCOMMENT", TagKpCOMMENT, TagEndKpCOMMENT, ""},
    {"/KpCOMMENT", TagEndKpCOMMENT, 0, ""},
    {"KpDO", TagKpDO, 0, "FILE*"},
    {"KpLOCKFILE", TagKpLOCKFILE, TagEndKpLOCKFILE, "FILE*"},
    {"/KpLOCKFILE", TagEndKpLOCKFILE, 0, ""},
    {"KpLOCALIZED", TagKpLOCALIZED, TagEndKpLOCALIZED, "NAME,ID"},
    {"/KpLOCALIZED", TagEndKpLOCALIZED, 0, ""},
    {"KpLOCALIZED-TOKEN", TagKpLOCALIZEDTOKEN, 0, "NAME*,VALUE*"},
    {"KpLOCALIZED-TEXT", TagKpLOCALIZEDTEXT, TagEndKpLOCALIZEDTEXT, "LANGUAGE*"},
    {"/KpLOCALIZED-TEXT", TagEndKpLOCALIZEDTEXT, 0, ""},
    {"KpEXIT", TagKpEXIT, 0, ""},
    {"KpOPEN", TagKpOPEN, 0, "NAME*,TYPE=xbase3,DATABASE*,USER,PASSWORD,INDEXES"},
    {"KpCLOSE", TagKpCLOSE, 0, "NAME"},
    {"KpSKIP", TagKpSKIP, 0, "NAME,VIEW,ROWS=1"},
    {"KpGO", TagKpGO, 0, "NAME,VIEW,ROW*"},
    {"KpPRIMARY", TagKpPRIMARY, 0, "NAME*"},
    {"KpFIND", TagKpFIND, 0, "NAME,VIEW,VALUE*"},
    {"KpSETINDEX", TagKpSETINDEX, 0, "NAME,VIEW,INDEXES*"},
    {"KpUPDATE", TagKpUPDATE, 0, "NAME,VIEW"},
    {"KpDELETE", TagKpDELETE, 0, "NAME,VIEW"},
    {"KpUNDELETE", TagKpUNDELETE, 0, "NAME,VIEW"},
    {"KpADD", TagKpADD, 0, "NAME,VIEW"},
    {"KpMAKEINDEX", TagKpMAKEINDEX, 0, "NAME,INDEXFILE*,FLAGS=ascending"},
    {"KpPACK", TagKpPACK, 0, "NAME"},
    {"KpREINDEX", TagKpREINDEX, 0, "NAME"},
    {"KpCREATE", TagKpCREATE, 0, "NAME*,TYPE=xbase3,DATABASE*,FIELDS*"},
    {"KpREVEALSTRUCTURE", TagKpREVEALSTRUCTURE, 0, "NAME,VIEW,DATABASE*"},
    {"KpOPENVIEW", TagKpOPENVIEW, 0, "NAME,VIEW*,QUERY"},
    {"KpCLOSEVIEW", TagKpCLOSEVIEW, 0, "NAME,VIEW"},
    {"KpQUERY", TagKpQUERY, 0, "NAME,QUERY*"},
    {"KpFILTER", TagKpFILTER, 0, "NAME,VIEW,FILTER"},
    {"KELP", TagKELP, 0, ""},
};

// The state at the bottom of the stack: every tag goes to the base dispatch.
class BaseState : public ScriptState {
  public:
    explicit BaseState(ScriptParser* parser) : ScriptState(parser, nullptr) {}
    bool HandsToDispatch(const Tag*) const override { return true; }
};

// Tags that the base dispatch hands down to the enclosing block that owns them.
bool PassedDown(int id) {
    switch (id) {
        case TagKpIMPORTSTOP:
        case TagKpPOPSTOP:
        case TagKpPOPDELETE:
        case TagKpWHILESTOP:
        case TagKpCALLSTOP:
        case TagKpFUNCRETURN:
        case TagKpCOMMERCESTOP:
            return true;
        default:
            return false;
    }
}

// Tags with a handler of their own (the others are closing or inner tags).
bool Dispatched(int id) {
    switch (id) {
        case TagIF:
        case TagIMPORT:
        case TagEXPORT:
        case TagLET:
        case TagEVAL:
        case TagHIDE:
        case TagFILE:
        case TagMAIL:
        case TagWHILE:
        case TagCALL:
        case TagBRINDLE:
        case TagKpIF:
        case TagKpIMPORT:
        case TagKpEXPORT:
        case TagKpLET:
        case TagKpASSIGN:
        case TagKpEVAL:
        case TagKpHIDE:
        case TagKpPOP:
        case TagKpSMTP:
        case TagKpWHILE:
        case TagKpCALL:
        case TagKpFUNCTION:
        case TagKpCOMMERCE:
        case TagKpDO:
        case TagKpLOCKFILE:
        case TagKpLOCALIZED:
        case TagKELP:
            return true;
        default:
            return id >= TagKpOPEN && id <= TagKpFILTER;
    }
}

Tag* MakeTemplate(const TagSpec& spec) {
    Tag* t = new Tag(spec.name, spec.id, spec.endid);
    String list(spec.attributes);
    String parts[8];
    int n = list.empty() ? 0 : split(list, parts, 8, String(","));
    for (int i = 0; i < n; i++) {
        String& a = parts[i];
        int required = 0;
        String value;
        if (a.matches('*', a.length() - 1)) {
            required = 1;
            a = a.before(a.length() - 1);
        } else if (a.contains('=', 0)) {
            value = a.after('=');
            a = a.before('=');
        }
        t->AddNameValuePair(a, value, required);
    }
    return t;
}

const char* ClosingName(int endid) {
    for (const TagSpec& spec : kTags) {
        if (spec.id == endid) return spec.name;
    }
    return "";
}

void AddTarget(TagTable* table, const char* name, int id, int endid) {
    table->Insert(new Tag(name, id, endid));
}

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
    // What the base dispatch does with each id, worked out once.
    enum { Handled = 1, Down = 2 };
    static const auto kinds = [] {
        std::array<unsigned char, TagKELP + 1> k{};
        for (int id = 0; id <= TagKELP; id++) {
            k[id] = static_cast<unsigned char>((Dispatched(id) ? Handled : 0) |
                                               (PassedDown(id) ? Down : 0));
        }
        return k;
    }();
    int id = tag->id();
    int kind = (id >= 0 && id <= TagKELP) ? kinds[id] : 0;
    parser_->ClearErrorVariable(tag);
    if (id == TagIMPORT && tag->Find("STOP") != nullptr) return StatePass;
    if (kind & Down) return StatePass;
    if (!(kind & Handled)) {
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
    for (ErrorVariable* slots : errorvariables_) delete[] slots;
    delete recording_;
    delete cache_;
}

void ScriptParser::Init() {
    cache_ = new TagCache;
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
    for (TagHandler& h : handlers_) h = nullptr;
    for (ErrorVariable*& slots : errorvariables_) slots = nullptr;
    base_ = new BaseState(this);
    states_.Push(base_);
    SetupSupportedTags();
    RegisterScriptTags(this);
    SetupBuiltinFunctions(this);
    engine()->InstallTagHandlers(this);
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
                    String(ClosingName(open->tag()->endid())) + "&gt; (opened on line " +
                    String::FromInt(open->line()) + ")");
        return 0;
    }
    return r;
}

// Templates are made when a tag is first met: a request meets few of them.
void ScriptParser::SetupSupportedTags() {}

const char* ScriptParser::TagName(int id) {
    return ClosingName(id);
}

int ScriptParser::SupportedTagCount() {
    return static_cast<int>(sizeof kTags / sizeof kTags[0]);
}

Tag* ScriptParser::FindTemplate(const char* name) {
    Tag* t = tags().Find(name);
    if (t != nullptr) return t;
    // The specifications in name order, made once per process.
    static const std::vector<const TagSpec*> sorted = [] {
        std::vector<const TagSpec*> v;
        for (const TagSpec& spec : kTags) v.push_back(&spec);
        std::sort(v.begin(), v.end(), [](const TagSpec* a, const TagSpec* b) {
            return CompareKeys(a->name, b->name) < 0;
        });
        return v;
    }();
    auto it = std::lower_bound(
        sorted.begin(), sorted.end(), name,
        [](const TagSpec* spec, const char* n) { return CompareKeys(spec->name, n) < 0; });
    if (it == sorted.end() || CompareKeys((*it)->name, name) != 0) return nullptr;
    t = MakeTemplate(**it);
    t->SetErrorVariable(ErrorVariableName(t));
    tags().Insert(t);
    return t;
}

void ScriptParser::BuildSkipTables() {
    if (skiptablesbuilt_) return;
    skiptablesbuilt_ = true;
    AddTarget(&ifskip_, "KpIF", TagKpIF, TagEndKpIF);
    AddTarget(&ifskip_, "KpELSE", TagKpELSE, -1);
    AddTarget(&ifskip_, "/KpIF", TagEndKpIF, 0);
    AddTarget(&iffinish_, "KpIF", TagKpIF, TagEndKpIF);
    AddTarget(&iffinish_, "/KpIF", TagEndKpIF, 0);
    AddTarget(&legacyifskip_, "IF", TagIF, TagEndIF);
    AddTarget(&legacyifskip_, "/IF", TagEndIF, 0);
    AddTarget(&legacyiffinish_, "IF", TagIF, TagEndIF);
    AddTarget(&legacyiffinish_, "/IF", TagEndIF, 0);
    AddTarget(&whileskip_, "KpWHILE", TagKpWHILE, TagEndKpWHILE);
    AddTarget(&whileskip_, "/KpWHILE", TagEndKpWHILE, 0);
    AddTarget(&legacywhileskip_, "WHILE", TagWHILE, TagEndWHILE);
    AddTarget(&legacywhileskip_, "/WHILE", TagEndWHILE, 0);
    AddTarget(&functionskip_, "/KpFUNCTION", TagEndKpFUNCTION, 0);
}

void ScriptParser::SetHandler(int id, TagHandler routine) {
    if (id >= 0 && id <= TagKELP) handlers_[id] = routine;
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
    AddTarget(&targets, tag->name().chars(), tag->id(), tag->endid());
    AddTarget(&targets, ClosingName(tag->endid()), tag->endid(), 0);
    Tag found("", 0, 0);
    int r = FindTag(&found, &targets);
    if (r == ScanEnd) {
        SyntaxError("Unexpected end of file looking for &lt;" + String(ClosingName(tag->endid())) +
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
    if (id < 0 || id > TagKELP) return nullptr;
    if (errorvariables_[id] == nullptr) errorvariables_[id] = new ErrorVariable[2];
    ErrorVariable* slot = errorvariables_[id];
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
    if (v != nullptr && v->value().empty()) return;  // already clear
    variables()->SetVariable(*name, String());
}

// --- errors

void ScriptParser::UndefinedVariable(const String& name) {
    if (engine()->warnundefined()) engine()->UndefinedRead(name);
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

// --- reading attributes

int ScriptParser::ReadRawRest(String* text) {
    if (!EatUntil(text, '>', "&gt;")) return 0;
    *text = text->before(text->length() - 1);
    return 1;
}

Expression* ScriptParser::ReadExpression(const ExpressionSyntax& syntax, ExpressionEnd* end) {
    return ::ReadExpression(this, this, syntax, end);
}

Expression* ScriptParser::ReadExpressionAt(long position, int startline, bool* owned) {
    *owned = false;
    if (const TagCache::CachedExpression* c = cache_->FindExpression(position)) {
        SetLine(startline + c->lines);
        return c->expression;
    }
    MacroExpander::Position saved;
    macrosource_->SavePosition(&saved);
    macrosource_->Seek(position);
    SetLine(startline);
    long ampersands = macrosource_->ampersands();
    ExpressionSyntax syntax = {">", true, false, true, false};
    ExpressionEnd end;
    Expression* e = ReadExpression(syntax, &end);
    if (e != nullptr) {
        if (macrosource_->ampersands() == ampersands && !macrosource_->inmacro()) {
            cache_->InsertExpression(position, e, line() - startline);
        } else {
            *owned = true;
        }
    }
    int endline = line();
    macrosource_->RestorePosition(saved);
    SetLine(endline);
    return e;
}

int ScriptParser::Evaluate(const String& text, String* result, bool* outside) {
    return EvaluateExpressionText(this, text, result, outside);
}

int ScriptParser::GetNameValuePairs(Tag* tag) {
    // A tag read by the main loop is recorded, to be replayed from the cache on the
    // next pass, unless its text holds an "&" (a macro could read differently).
    CachedTag* outer = recording_;
    int outerline = recordline_;
    long start = TakeTagStart();
    long ampersands = macrosource_->ampersands();
    recording_ = start >= 0 ? new CachedTag : nullptr;
    recordline_ = tagstartline();
    int r = ReadAttributes(tag);
    CachedTag* recorded = recording_;
    recording_ = outer;
    if (recorded != nullptr) {
        if (r != ScanFailure && macrosource_->ampersands() == ampersands &&
            !macrosource_->inmacro()) {
            recorded->templ = FindTemplate(tag->name().chars());
            recorded->assignment = tag->id() == TagKpLET && recorded->attributes.size() == 1 &&
                                   recorded->attributes[0].kind != CachedAttribute::Position &&
                                   recorded->attributes[0].kind != CachedAttribute::TagPosition;
            recorded->end = macrosource_->CurrentFilePosition();
            recorded->lines = line() - recordline_;
            cache_->Insert(start, recorded);
        } else {
            delete recorded;
        }
    }
    recordline_ = outerline;
    return r;
}

void ScriptParser::DoNotRecord() {
    delete recording_;
    recording_ = nullptr;
}

void ScriptParser::Record(const String& name, int kind, Expression* expression,
                          const String& literal, long position, int positionline) {
    if (recording_ == nullptr) {
        delete expression;
        return;
    }
    recording_->attributes.emplace_back();
    CachedAttribute& a = recording_->attributes.back();
    a.name = name;
    a.scopedname = Variables::Resolve(name);
    a.kind = static_cast<CachedAttribute::Kind>(kind);
    a.expression = expression;
    a.literal = literal;
    a.position = position;
    a.positionline = positionline - recordline_;
    a.line = line() - recordline_;
}

int ScriptParser::TextPhase(int* result) {
    // A tag replayed after a replayed run that left every state in place is followed
    // by the next run here, without a return to the scan loop (which would only come
    // back): a loop's body runs as one walk along the cache.
    for (;;) {
        if (macrosource_->inmacro()) return Parser::TextPhase(result);
        long position = macrosource_->CurrentFilePosition();
        int start = line();
        // What follows a replayed tag is usually the run found there before, after the
        // tag or where the tag last sent the scan.
        CachedText* run = nullptr;
        if (lasttag_ != nullptr) {
            if (lasttag_->end == position) {
                run = lasttag_->nextrun;
            } else if (lasttag_->jumpedto == position) {
                run = lasttag_->jumprun;
            }
        }
        if (run == nullptr) {
            run = cache_->FindRun(position);
            if (run != nullptr && lasttag_ != nullptr) {
                if (lasttag_->end == position) {
                    lasttag_->nextrun = run;
                } else {
                    lasttag_->jumpedto = position;
                    lasttag_->jumprun = run;
                }
            }
        }
        lasttag_ = nullptr;
        lastrun_ = run;
        if (run != nullptr) {
            bool delivered = false;
            if (run->events.empty()) {
                // Tag after tag: nothing to deliver.
                delivered = true;
            } else {
                // Text written as it stands goes out in one piece. Text the level
                // leaves out is passed over without a look at the clock: the next
                // step looks before anything else happens.
                int level = standardoutputlevel_;
                bool writes = (level & OutputText) != 0;
                if (textrecording_ == nullptr && !(level & OutputCompressWhitespace) &&
                    states_.Top()->WritesText() && (!writes || !engine()->timedout())) {
                    if (writes) {
                        output_->Write(run->joined);
                        if (run->endwhitespace >= 0) output_->inwhitespace() = run->endwhitespace;
                    }
                    SetLine(start + run->lines);
                    delivered = true;
                }
            }
            if (delivered) {
                // The tag that followed the run before is replayed at once, as the
                // scan's next step would do.
                CachedTag* next = run->code == ScanStop ? run->nexttag : nullptr;
                if (next == nullptr) {
                    macrosource_->Seek(run->end);
                    return run->code;
                }
                lastrun_ = nullptr;
                long closed = closedstates_;
                int r = ReplayCachedTag(next);
                if (r == ScanMore && closedstates_ == closed) continue;
                *result = r;
                return ScanDone;
            }
            for (const CachedTextEvent& e : run->events) {
                SetLine(start + e.line);
                int r = e.newline ? ProcessNewLine(e.text) : ProcessText(e.text);
                if (r != 1) {
                    macrosource_->Seek(e.end);
                    *result = r;
                    return ScanDone;
                }
            }
            SetLine(start + run->lines);
            macrosource_->Seek(run->end);
            return run->code;
        }
        if (!cache_->SeenBefore(position)) return Parser::TextPhase(result);
        // Read a second time (a loop or a function body): remember it, unless it holds
        // an "&" (a macro could read differently on the next pass).
        CachedText* fresh = new CachedText;
        CachedText* outer = textrecording_;
        int outerline = textline_;
        textrecording_ = fresh;
        textline_ = start;
        long ampersands = macrosource_->ampersands();
        int code = Parser::TextPhase(result);
        textrecording_ = outer;
        textline_ = outerline;
        if (code != ScanDone && macrosource_->ampersands() == ampersands &&
            !macrosource_->inmacro()) {
            fresh->end = macrosource_->CurrentFilePosition();
            fresh->lines = line() - start;
            fresh->code = code;
            for (const CachedTextEvent& e : fresh->events) {
                fresh->joined.cat(e.text.chars(), e.text.length());
                if (e.newline) {
                    fresh->endwhitespace = 1;
                } else if (!e.text.empty()) {
                    unsigned char last = static_cast<unsigned char>(e.text[e.text.length() - 1]);
                    fresh->endwhitespace = String::IsWhitespace(last);
                }
            }
            cache_->InsertRun(position, fresh);
        } else {
            delete fresh;
        }
        return code;
    }
}

void ScriptParser::RecordText(bool newline, const String& text) {
    textrecording_->events.push_back(
        CachedTextEvent{newline, text, line() - textline_, macrosource_->CurrentFilePosition()});
}

int ScriptParser::ProcessCachedTag() {
    if (macrosource_->inmacro()) return -1;
    long position = macrosource_->CurrentFilePosition();
    CachedTag* c = nullptr;
    if (lastrun_ != nullptr && lastrun_->end == position) c = lastrun_->nexttag;
    if (c == nullptr) {
        c = cache_->Find(position);
        if (c != nullptr && lastrun_ != nullptr && lastrun_->end == position) lastrun_->nexttag = c;
    }
    lastrun_ = nullptr;
    if (c == nullptr) return -1;
    return ReplayCachedTag(c);
}

int ScriptParser::ReplayCachedTag(CachedTag* c) {
    int start = line();
    macrosource_->Seek(c->end);
    int depth = c->inuse;
    if (depth == static_cast<int>(c->prepared.size())) {
        c->prepared.push_back(CachedTag::Prepared{new Tag(*c->templ), false});
    }
    // Deeper replays may add entries: hold the tag, not a reference into the vector.
    Tag* tag = c->prepared[depth].tag;
    bool complete = c->prepared[depth].complete;
    if (!complete) tag->Reset(*c->templ);
    c->inuse++;
    int r = ReplayTag(c, start, tag, complete);
    c->inuse--;
    // Only a complete replay leaves a tag to fill in again.
    c->prepared[depth].complete = r != ScanFailure;
    lasttag_ = c;
    return r;
}

int ScriptParser::ReplayTag(CachedTag* c, int start, Tag* tag, bool prepared) {
    NameValuePair* pair = prepared ? tag->attributes().First() : nullptr;
    for (const CachedAttribute& a : c->attributes) {
        SetLine(start + a.line);
        if (pair != nullptr && a.kind == CachedAttribute::Evaluate) {
            // Straight into the prepared tag's attribute; a whole number's text is
            // written only if someone reads it.
            NumberHint* hint = pair->mutablehint();
            hint->maydefer = true;
            hint->deferred = false;
            bool outside;
            if (!a.expression->Evaluate(this, pair->mutablevalue(), hint, &outside)) {
                return ScanFailure;
            }
            pair->SetOutside(outside);
            pair = tag->attributes().Next();
            continue;
        }
        String value;
        // A recorded tag holds no macro: its literal values are the page's own.
        bool outside = false;
        if (a.kind == CachedAttribute::Evaluate) {
            if (!a.expression->Evaluate(this, &value, &outside)) return ScanFailure;
        } else if (a.kind == CachedAttribute::Position || a.kind == CachedAttribute::TagPosition) {
            tag->SetPosition(a.position, start + a.positionline);
            if (a.kind == CachedAttribute::TagPosition) continue;
        } else {
            value = a.literal;
        }
        if (pair != nullptr) {
            pair->SetValue(value);
            pair->SetOutside(outside);
            pair = tag->attributes().Next();
        } else {
            tag->AddValue(a.name, value, outside);
            tag->attributes().Last()->SetScopedName(&a.scopedname);
        }
    }
    SetLine(start + c->lines);
    if (!prepared && !ValidateTag(c->templ, tag)) return ScanFailure;
    int r = prepared && c->assignment ? ProcessAssignment(tag) : ProcessKnownTag(tag);
    if (r == 0) return ScanFailure;
    return r == 3 ? ScanStop : ScanMore;
}

int ScriptParser::ReadAttributes(Tag* tag) {
    switch (tag->id()) {
        case TagIF:
        case TagEVAL: {
            // The whole rest of the tag is one expression, evaluated at once.
            if (EatWhitespace(nullptr) == ScanEnd) return EndOfFileInTag(tag);
            int c = GetNextChar();
            if (c == '>') return ScanStop;
            UnGetChar(c);
            ExpressionSyntax syntax = {">", false, false, true, false};
            ExpressionEnd end;
            Expression* e = ReadExpression(syntax, &end);
            if (e == nullptr) return ScanFailure;
            String value;
            bool outside;
            if (!e->Evaluate(this, &value, &outside)) {
                delete e;
                return ScanFailure;
            }
            Record(String(), CachedAttribute::Evaluate, e, String());
            tag->AddValue(String(), value, outside);
            return ScanStop;
        }
        case TagIMPORT:
        case TagEXPORT:
            DoNotRecord();
            return GetFlatFileNameValuePairs(tag);
        case TagHIDE:
        case TagWHILE: {
            long position = macrosource_->CurrentFilePosition();
            int positionline = line();
            if (tag->id() == TagWHILE) tag->SetPosition(position, positionline);
            String raw;
            long outsidevalues = macrosource_->outsidevalues();
            if (!ReadRawRest(&raw)) return ScanFailure;
            raw.StripWhitespace();
            if (tag->id() == TagHIDE) {
                tag->AddValue(String(), raw, macrosource_->outsidevalues() != outsidevalues);
                Record(String(), CachedAttribute::Literal, nullptr, raw);
            } else {
                // The condition is read again from its position on every test.
                Record("", CachedAttribute::TagPosition, nullptr, String(), position, positionline);
                if (raw.matches("STOP")) {
                    tag->AddNameValuePair("STOP", "STOP");
                    Record("STOP", CachedAttribute::Literal, nullptr, "STOP");
                }
            }
            return ScanStop;
        }
        default:
            return Parser::GetNameValuePairs(tag);
    }
}

int ScriptParser::GetFlatFileNameValuePairs(Tag* tag) {
    return Parser::GetNameValuePairs(tag);
}

int ScriptParser::GetValue(Tag* tag, const String& name, String* value, bool* outside) {
    int id = tag->id();
    long outsidevalues = macrosource_->outsidevalues();
    if ((id == TagIMPORT || id == TagEXPORT) && name.matches("ORDER")) {
        // The rest of the tag, verbatim; a quoted value is cut at its closing quote.
        if (!ReadRawRest(value)) return ScanFailure;
        *outside = macrosource_->outsidevalues() != outsidevalues;
        if (value->matches('"', 0)) *value = value->after(0).before('"');
        Record(name, CachedAttribute::Literal, nullptr, *value);
        return ScanStop;
    }
    bool keepsource =
        (id == TagKpMAKEINDEX && (name.matches("EXPR") || name.matches("EXPRESSION"))) ||
        (id == TagKpFILTER && name.matches("FILTER")) || (id == TagKpDO && name.matches("VALUE"));
    bool rereadlater = id == TagKpWHILE || (id == TagKpIMPORT && name.matches("FILTER")) ||
                       (id == TagIMPORT && name.matches("WHERE"));
    long position = macrosource_->CurrentFilePosition();
    int startline = line();
    ExpressionSyntax syntax = {">", true, id == TagKpDO && name.matches("VALUE"), true, keepsource};
    ExpressionEnd end;
    Expression* e = ReadExpression(syntax, &end);
    if (e == nullptr) return ScanFailure;
    if (keepsource) {
        // Outside text in it stays quoted constants, but what the text computes later
        // is outside text all the same.
        *value = e->source();
        *outside = macrosource_->outsidevalues() != outsidevalues;
        Record(name, CachedAttribute::Literal, nullptr, *value);
        delete e;
    } else if (rereadlater) {
        *outside = false;
        value->clear();
        tag->SetPosition(position, startline);
        Record(name, CachedAttribute::Position, nullptr, String(), position, startline);
        delete e;
    } else {
        if (!e->Evaluate(this, value, outside)) {
            delete e;
            return ScanFailure;
        }
        Record(name, CachedAttribute::Evaluate, e, String());
    }
    return end == ExpressionMore ? ScanMore : ScanStop;
}

int ScriptParser::ProcessEmptyValue(Tag* tag, const String& name, String* value) {
    int id = tag->id();
    if (id == TagKpIF || id == TagKpEVAL || id == TagKpWHILE) {
        SyntaxError("Attributes with empty values are not allowed in &lt;" + tag->name() +
                    "&gt;<BR>(you have probably omitted EXPR= in front of your expression)");
        return 0;
    }
    *value = name;
    Record(name, CachedAttribute::Literal, nullptr, name);
    return 1;
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

namespace {

// Tags that may run between the adds of a run that keeps its table's write locks
// (see Kelp::HoldLocks): they compute, decide and loop, and neither wait nor touch a
// table. Before any other tag the locks are let go.
bool ContinuesRunOfAdds(int id) {
    switch (id) {
        case TagKpADD:
        case TagKpLET:
        case TagKpEVAL:
        case TagKpHIDE:
        case TagKpIF:
        case TagKpELSE:
        case TagEndKpIF:
        case TagKpWHILE:
        case TagKpWHILESTOP:
        case TagEndKpWHILE:
        case TagKpCOMMENT:
        case TagEndKpCOMMENT:
        case TagLET:
        case TagEVAL:
        case TagHIDE:
        case TagIF:
        case TagEndIF:
        case TagWHILE:
        case TagEndWHILE:
            return true;
        default:
            return false;
    }
}

}  // namespace

int ScriptParser::ProcessKnownTag(Tag* tag) {
    if (engine()->timedout()) return Timeout();
    int id = tag->id();
    if (engine()->heldlocks() != nullptr &&
        (!ContinuesRunOfAdds(id) || engine()->HeldLocksExpired())) {
        engine()->ReleaseLocks();
    }
    if (!(interpret_ & InterpretTags) && id != TagKELP && id != TagBRINDLE) return 1;
    if (id == TagEXIT || id == TagKpEXIT) {
        exited_ = true;
        while (states_.Top() != base_) {
            ScriptState* s = states_.Top();
            int ok = s->ExitState();
            states_.Pop();
            delete s;
            if (!ok) break;
        }
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
