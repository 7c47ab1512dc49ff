// PageChecker: the static reading of a page.

#include "tools/page_checker.h"

#include <ctype.h>

#include "script/builtins.h"
#include "script/function.h"
#include "script/macro_expander.h"
#include "script/script_tags.h"
#include "script/tag_rules.h"

namespace {

// The text of an interpreter message as a browser shows it.
String Shown(const String& message) {
    String out;
    const char* s = message.chars();
    while (*s != '\0') {
        static const struct {
            const char* entity;
            char c;
        } kEntities[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}};
        bool done = false;
        for (const auto& e : kEntities) {
            size_t n = strlen(e.entity);
            if (strncmp(s, e.entity, n) == 0) {
                out.cat(e.c);
                s += n;
                done = true;
                break;
            }
        }
        if (done) continue;
        if (strncasecmp(s, "<BR>", 4) == 0) {
            out.cat(' ');
            s += 4;
            continue;
        }
        out.cat(*s++);
    }
    return out;
}

// Middle tags and the block they belong in; anywhere inside it (a loop's stop may
// sit in an IF of the loop).
struct Middle {
    int id;
    int block;
    bool direct;  // must be right inside the block, not deeper
};
const Middle kMiddles[] = {
    {TagKpELSE, TagKpIF, true},
    {TagKpWHILESTOP, TagKpWHILE, false},
    {TagKpIMPORTSTOP, TagKpIMPORT, false},
    {TagKpPOPSTOP, TagKpPOP, false},
    {TagKpPOPDELETE, TagKpPOP, false},
    {TagKpCALLSTOP, TagKpCALL, false},
    {TagKpCOMMERCESTOP, TagKpCOMMERCE, false},
    {TagKpFUNCRETURN, TagKpFUNCTION, false},
    {TagKpLOCALIZEDTOKEN, TagKpLOCALIZED, false},
    {TagKpLOCALIZEDTEXT, TagKpLOCALIZED, false},
};

int ParameterCount(const String& list) {
    Function f(String("f"), 0, 0);
    f.SetParameters(list);
    return f.parametercount();
}

}  // namespace

std::string FunctionKey(const String& name) {
    std::string key(name.chars());
    for (char& c : key) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return key;
}

PageChecker::PageChecker(Kelp* engine, MacroExpander* source, Output* output, const String& file)
    : ScriptParser(engine, source, output), file_(file) {}

void PageChecker::Report(int line, bool warning, const String& kind, const String& message) {
    if (problems_ == nullptr) return;
    CheckProblem problem{file_, line, warning, kind + ": " + Shown(message)};
    // (The reading and the checks after it may find the same fault.)
    if (!problems_->empty() && problems_->back().line == line &&
        problems_->back().message == problem.message)
        return;
    problems_->push_back(problem);
}

int PageChecker::ValidateTag(Tag* templ, Tag* tag) {
    // A missing attribute is reported, and the reading goes on to find the rest.
    ScriptParser::ValidateTag(templ, tag);
    return 1;
}

int PageChecker::SyntaxError(const String& message) {
    Report(line(), false, "Syntax Error", message);
    return 1;
}

void PageChecker::ExpressionError(const String& message) {
    Report(line(), false, "Expression Error", message);
}

void PageChecker::NoteCall(const String& name, int count) {
    (invalue_ ? valuecalls_ : calls_).push_back(Call{name, count, line(), String()});
}

void PageChecker::Check(std::vector<CheckProblem>* problems) {
    problems_ = problems;
    Parse();
    // What is still open at the end of the file, innermost first, as the
    // interpreter reports the first of them.
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
        SyntaxError("Unexpected end of file looking for &lt;" + String(TagName(it->endid)) +
                    "&gt; (opened on line " + String::FromInt(it->line) + ")");
    }
    open_.clear();
}

void PageChecker::Resolve(const FunctionsOf& functionsof, std::vector<CheckProblem>* problems) {
    problems_ = problems;
    for (const Call& c : calls_) {
        const std::map<std::string, DeclaredFunction>* functions =
            c.file.empty() ? &declared_ : functionsof(c.file);
        if (functions == nullptr) continue;
        int expected;
        auto f = functions->find(FunctionKey(c.name));
        if (f != functions->end()) {
            expected = f->second.parameters;
        } else if (const Builtin* b = FindBuiltin(c.name.chars())) {
            expected = ParameterCount(b->parameters);
        } else {
            Report(c.line, false, "Expression Error",
                   "Call to undefined function '" + c.name + "'");
            continue;
        }
        if (expected != c.count) {
            String message = "Call to function '" + c.name + "' expects ";
            message.catint(expected);
            message += expected == 1 ? " parameter, found " : " parameters, found ";
            message.catint(c.count);
            Report(c.line, false, "Expression Error", message);
        }
    }
}

int PageChecker::ReadValue(const ExpressionSyntax& syntax, String* value, ExpressionEnd* end,
                           bool* quoted) {
    Expression* e = ReadExpression(syntax, end);
    if (e == nullptr) return 0;
    *value = e->source();
    if (quoted != nullptr)
        *quoted = e->pure() && (value->matches('"', 0) || value->matches('\'', 0));
    if (e->pure()) {
        // Constants and variables: the value, when it can be had without a message
        // (a variable reads empty here, and what that gives proves nothing).
        std::vector<CheckProblem>* keep = problems_;
        problems_ = nullptr;
        String computed;
        if (e->Evaluate(this, &computed)) *value = computed;
        problems_ = keep;
    }
    delete e;
    return 1;
}

int PageChecker::GetNameValuePairs(Tag* tag) {
    // A tag whose text holds a macro reads differently when the page runs (the
    // macro's value becomes part of it): what its reading here reports proves nothing.
    long ampersands = macrosource()->ampersands();
    size_t reported = problems_ == nullptr ? 0 : problems_->size();
    long start = TakeTagStart();  // (taken, nothing is kept for a replay)
    int startline = tagstartline();
    int r = ReadTag(tag);
    macrotag_ = macrosource()->ampersands() != ampersands;
    if (problems_ != nullptr) {
        // What the macros' values would change is dropped; but a tag that runs to the
        // end of the file (an unclosed quote) does so whatever they hold. Such an end
        // says where the tag began.
        size_t kept = reported;
        for (size_t i = reported; i < problems_->size(); i++) {
            CheckProblem p = (*problems_)[i];
            bool atend = p.message.contains("end of file");
            if (macrotag_ && !atend) continue;
            if (atend && p.line != startline && !p.message.contains("(opened on line")) {
                p.message += " (opened on line " + String::FromInt(startline) + ")";
            }
            (*problems_)[kept++] = p;
        }
        problems_->resize(kept);
    }
    if (macrotag_ && r == ScanFailure && start >= 0) {
        // Read on after the tag's end, found in the page's own text (its macros not
        // expanded).
        macrosource()->Seek(start);
        SetLine(startline);
        bool expand = ExpandMacros();
        SetExpandMacros(false);
        GetNextChar();  // "<"
        String skipped;
        r = EatUntil(&skipped, '>', "&gt;") == ScanDone ? ScanStop : ScanFailure;
        SetExpandMacros(expand);
    }
    return r;
}

int PageChecker::ReadTag(Tag* tag) {
    if (tag->id() != TagIF && tag->id() != TagEVAL) return ScriptParser::GetNameValuePairs(tag);
    // The whole rest of the tag is one expression.
    if (EatWhitespace(nullptr) == ScanEnd) return EndOfFileInTag(tag);
    int c = GetNextChar();
    if (c == '>') return ScanStop;
    UnGetChar(c);
    ExpressionSyntax syntax = {">", false, false, true, true};
    ExpressionEnd end;
    String value;
    if (ReadValue(syntax, &value, &end)) tag->AddValue(String(), value, false);
    return ScanStop;
}

int PageChecker::GetValue(Tag* tag, const String& name, String* value, bool* outside) {
    int id = tag->id();
    if ((id == TagIMPORT || id == TagEXPORT) && name.matches("ORDER")) {
        return ScriptParser::GetValue(tag, name, value, outside);
    }
    *outside = false;
    ExpressionSyntax syntax = {">", true, id == TagKpDO && name.matches("VALUE"), true, true};
    ExpressionEnd end;
    // After an error the tag is taken as ended where the reading stopped: the rest
    // reads as text, and the next tag is checked as usual.
    bool quoted = false;
    invalue_ = id == TagKpDO && name.matches("VALUE");
    bool read = ReadValue(syntax, value, &end, &quoted);
    invalue_ = false;
    if (!read) return ScanStop;
    // A filter or an index key is an expression read per record: in quotes it is one
    // text, the same for every record (the filter lets every record pass, the index
    // gives every record one key).
    if (quoted &&
        ((id == TagKpFILTER && name.matches("FILTER")) ||
         (id == TagKpMAKEINDEX && (name.matches("EXPR") || name.matches("EXPRESSION"))))) {
        Report(line(), true, "Warning",
               "the " + name + " of &lt;" + tag->name() +
                   "&gt; is a quoted text, the same for every record: write the expression without "
                   "quotes");
    }
    return end == ExpressionMore ? ScanMore : ScanStop;
}

int PageChecker::ProcessEmptyValue(Tag* tag, const String& name, String* value) {
    if (!ScriptParser::ProcessEmptyValue(tag, name, value)) {
        *value = name;  // reported: the count it makes is not reported again
        emptyvalue_ = true;
    }
    return 1;
}

bool PageChecker::Inside(int id) const {
    for (const Open& o : open_) {
        if (o.id == id) return true;
    }
    return false;
}

void PageChecker::Declare(Tag* tag) {
    String name = tag->Value("NAME");
    if (FindBuiltin(name.chars()) != nullptr) {
        SyntaxError("Function '" + name + "' has the same name as a built-in function");
        return;
    }
    auto it = declared_.find(FunctionKey(name));
    if (it != declared_.end()) {
        String message =
            "A function with the name '" + name + "' has already been declared, on line ";
        message.catint(it->second.line);
        SyntaxError(message);
        return;
    }
    declared_[FunctionKey(name)] =
        DeclaredFunction{file_, line(), ParameterCount(tag->Value("PARAMETERS"))};
}

bool PageChecker::CheckRules(Tag* tag, bool counted) {
    // The tag's own static check, which its handler makes when the page runs. An
    // attribute without a value was reported already: the count it makes is not.
    const TagSpec* spec = TagSpecOf(tag->id());
    bool ok = counted || spec == nullptr || spec->check == nullptr || spec->check(this, tag, *this);
    // A block tag with STOP ends its block: it opens none.
    if (tag->endid() > 0 && tag->Find("STOP") != nullptr) return false;
    if (tag->id() == TagKpFUNCTION) {
        if (!ok) return false;
        Declare(tag);
    }
    return true;
}

int PageChecker::ProcessKnownTag(Tag* tag) {
    int id = tag->id();
    // The calls of a KpDO VALUE belong to the file it names (known only when no macro
    // makes it).
    std::vector<Call> valuecalls;
    valuecalls.swap(valuecalls_);
    if (id == TagKpDO && !macrotag_ && tag->Find("FILE") != nullptr) {
        for (Call& c : valuecalls) {
            c.file = tag->Value("FILE");
            calls_.push_back(c);
        }
    }
    if (id == TagKELP || id == TagBRINDLE) {
        // Their settings change how the rest is read (tag detection, macros).
        handler(id)(basestate(), tag);
        return 1;
    }
    if (!(interpret() & InterpretTags)) return 1;
    const String& name = tag->name();
    if (!open_.empty() && open_.back().id == TagKpLOCALIZEDTEXT) {
        // A text is text up to its end: a tag in it is an error, unless it is an end
        // tag, which a language not chosen skips like text.
        if (id == TagEndKpLOCALIZEDTEXT) {
            open_.pop_back();
        } else if (!name.matches('/', 0)) {
            SyntaxError("Unexpected &lt;" + name + "&gt;");
        }
        return 1;
    }
    if (!open_.empty() && open_.back().id == TagKpLOCALIZED && id != TagKpLOCALIZEDTOKEN &&
        id != TagKpLOCALIZEDTEXT && id != TagEndKpLOCALIZED) {
        SyntaxError("Unexpected &lt;" + name + "&gt;");
        return 1;
    }
    if (macrotag_) {
        // Attribute counts and values of a tag with a macro are known at run time only.
        macrotag_ = false;
        if (id == TagKpFUNCTION && !Inside(TagKpFUNCTION)) Declare(tag);
        if (tag->endid() > 0 && id != TagKpELSE)
            open_.push_back(Open{id, tag->endid(), name, line()});
        return 1;
    }
    if (name.matches('/', 0)) {
        for (size_t i = open_.size(); i-- > 0;) {
            if (open_[i].endid != id) continue;
            for (size_t j = open_.size() - 1; j > i; j--) {
                Report(line(), false, "Syntax Error",
                       "&lt;" + open_[j].name + "&gt; of line " + String::FromInt(open_[j].line) +
                           " is not closed before &lt;" + name + "&gt;");
            }
            open_.resize(i);
            return 1;
        }
        SyntaxError("Unexpected &lt;" + name + "&gt;");
        return 1;
    }
    for (const Middle& m : kMiddles) {
        if (m.id != id) continue;
        bool ok = m.direct ? !open_.empty() && open_.back().id == m.block : Inside(m.block);
        // A stop inside a function body may end a loop the function is called in.
        if (!ok && !m.direct && Inside(TagKpFUNCTION)) ok = true;
        if (!ok) {
            SyntaxError("Unexpected &lt;" + name + "&gt;");
            return 1;
        }
    }
    bool counted = emptyvalue_;
    emptyvalue_ = false;
    if (!CheckRules(tag, counted)) return 1;
    if (tag->endid() > 0 && id != TagKpELSE) open_.push_back(Open{id, tag->endid(), name, line()});
    return 1;
}

int PageChecker::ProcessUnknownTag(const String& text) {
    // "<KpSOMETHING" or "</KpSOMETHING" the interpreter does not know: probably a
    // misspelt tag, which the page would show as text.
    const char* s = text.chars();
    if (*s == '<') s++;
    while (*s == ' ' || *s == '\t') s++;
    if (*s == '/') s++;
    if (strncasecmp(s, "Kp", 2) == 0 && isalpha(static_cast<unsigned char>(s[2]))) {
        int n = 0;
        while (s[n] != '\0' &&
               (isalnum(static_cast<unsigned char>(s[n])) || s[n] == '-' || s[n] == '_'))
            n++;
        Report(line(), true, "Warning",
               "unknown tag &lt;" + String(s, n) + "&gt; is shown as text");
    }
    return 1;
}
