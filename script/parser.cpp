// Parser: the tag scanner's steps.

#include "script/parser.h"

#include <string.h>

#include <vector>

#include "script/buffer.h"
#include "script/encoding.h"
#include "script/engine.h"
#include "script/error.h"

namespace {

int Upper(int c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}

bool IsNameStart(int c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool BeginsWith(const String& s, const char* prefix) {
    for (int i = 0; prefix[i]; i++) {
        if (s[i] != prefix[i]) return false;
    }
    return true;
}

}  // namespace

Parser::Parser(Kelp* engine, Buffer* source)
    : engine_(engine), source_(source), tags_(1), line_(1), tagstart_(-1), tagstartline_(0) {}

Parser::~Parser() {}

int Parser::GetNextChar() {
    int c = source_->GetNextChar();
    if (c == '\n' && !source_->inmacro()) line_++;
    return c;
}

void Parser::UnGetChar(int c) {
    if (c < 0) return;
    // A line feed of a macro value counted no line when it was read (stepping back
    // over a value's first character leaves the value).
    if (c != '\n') {
        source_->UnGetChar();
        return;
    }
    bool counted = !source_->inmacro();
    source_->UnGetChar();
    if (counted) line_--;
}

bool Parser::fromoutside() {
    return source_->inoutside();
}

int Parser::SyntaxError(const String& message) {
    engine_->Error(::SyntaxError(source_->errorname(), line_, message));
    return 0;
}

int Parser::Parse() {
    if (!source_->Seek(0)) return 0;
    int code;
    do {
        code = FindNextTag();
    } while (code == ScanMore);
    return code == ScanFailure ? 0 : 1;
}

int Parser::EatWhitespace(String* text) {
    for (;;) {
        int c = GetNextChar();
        if (c < 0) return ScanEnd;
        if (!IsWhitespace(c)) {
            UnGetChar(c);
            return ScanDone;
        }
        if (text) text->cat(static_cast<char>(c));
    }
}

int Parser::EatUntil(String* text, char stop, const char* display) {
    bool quoted = false;
    for (;;) {
        int c = GetNextChar();
        if (c < 0) {
            SyntaxError(String("Unexpected end of file while looking for '") + display + "'");
            return ScanFailure;
        }
        if (text) text->cat(static_cast<char>(c));
        if ((c == '"' || c == stop) && fromoutside()) continue;
        if (c == '"') {
            quoted = !quoted;
        } else if (c == stop && !quoted) {
            return ScanDone;
        }
    }
}

int Parser::EatHTMLComment(String* text) {
    int dashes = 0;
    for (;;) {
        int c = GetNextChar();
        if (c < 0) {
            SyntaxError("Unexpected end of file while looking for '--&gt;'");
            return ScanFailure;
        }
        text->cat(static_cast<char>(c));
        if ((c == '-' || c == '>') && fromoutside()) {
            dashes = 0;
        } else if (c == '-') {
            dashes++;
        } else if (c == '>') {
            if (dashes >= 2) return ScanDone;
        } else {
            dashes = 0;
        }
    }
}

int Parser::FindText(const char* target, const char* display) {
    // Knuth-Morris-Pratt over case-folded bytes, so that overlapping beginnings
    // ("###>" for "##>") are found.
    int m = static_cast<int>(strlen(target));
    if (m == 0) return ScanDone;
    std::vector<int> fail(m, 0);
    for (int i = 1, k = 0; i < m; i++) {
        while (k > 0 && Upper(target[i]) != Upper(target[k])) k = fail[k - 1];
        if (Upper(target[i]) == Upper(target[k])) k++;
        fail[i] = k;
    }
    int matched = 0;
    for (;;) {
        int c = GetNextChar();
        if (c < 0) {
            SyntaxError(String("Unexpected end of file while looking for '") + display + "'");
            return ScanFailure;
        }
        if (fromoutside()) {
            matched = 0;  // outside text never ends a comment
            continue;
        }
        c = Upper(c);
        while (matched > 0 && c != Upper(target[matched])) matched = fail[matched - 1];
        if (c == Upper(target[matched])) matched++;
        if (matched == m) return ScanDone;
    }
}

int Parser::GetNextLine(String* text) {
    text->clear();
    for (;;) {
        int c = GetNextChar();
        if (c < 0) return ScanEnd;
        if ((c == '<' || c == '\\') && fromoutside()) {
            text->cat(static_cast<char>(c));  // outside text starts no tag and escapes nothing
            continue;
        }
        if (c == '\r') {
            if (!text->empty()) {
                UnGetChar(c);
                return ScanMore;
            }
            text->cat('\r');
            int next = GetNextChar();
            if (next == '\n') {
                text->cat('\n');
            } else {
                UnGetChar(next);  // a lone CR is a line break that counts no line
            }
            return ScanMore;
        }
        if (c == '\n') {
            if (!text->empty()) {
                UnGetChar(c);
                return ScanMore;
            }
            text->cat('\n');
            return ScanMore;
        }
        if (c == '<') {
            UnGetChar(c);
            return ScanStop;
        }
        text->cat(static_cast<char>(c));
        if (c == '\\') {
            // The backslash keeps the next character, whatever it is, from being markup.
            int next = GetNextChar();
            if (next < 0) return ScanEnd;
            text->cat(static_cast<char>(next));
        }
    }
}

Parser::TagStart Parser::ReadTagStart(String* raw, String* name) {
    raw->assign(static_cast<char>(GetNextChar()));  // the "<"
    if (EatWhitespace(raw) == ScanEnd) return TagStartEnd;
    int c;
    bool outside = false;
    for (;;) {
        c = GetNextChar();
        if (c < 0) {
            SyntaxError("Unexpected end of file in tag");
            return TagStartFailed;
        }
        if (fromoutside()) {
            outside = true;
        } else if (IsWhitespace(c) || c == '>') {
            break;
        }
        name->cat(static_cast<char>(c));
    }
    raw->cat(name->chars(), name->length());
    if (outside) {
        UnGetChar(c);
        return TagStartOutside;
    }
    if (BeginsWith(*name, "##")) {
        if (c == '>') return TagStartSkipped;
        UnGetChar(c);
        return FindText("##>", "##&gt;") ? TagStartSkipped : TagStartFailed;
    }
    if (BeginsWith(*name, "!--")) {
        // "<!---->" and "<!-->" end with the name; otherwise read on to "-->".
        if (c == '>' && name->at(name->length() - 2, name->length()) == "--") {
            raw->cat('>');
            return TagStartComment;
        }
        UnGetChar(c);
        return EatHTMLComment(raw) ? TagStartComment : TagStartFailed;
    }
    if (name->matches("KpCOMMENT")) {
        // Nothing inside is scanned: tags, macros and comments are inert.
        return FindText("</KpCOMMENT>", "&lt;/KpCOMMENT&gt;") ? TagStartSkipped : TagStartFailed;
    }
    UnGetChar(c);
    return TagStartName;
}

int Parser::SkipTagRest(String* raw) {
    return EatUntil(raw, '>', "&gt;");
}

int Parser::TextPhase(int* result) {
    String text;
    for (;;) {
        int code = GetNextLine(&text);
        if (!text.empty()) {
            int r = (text[0] == '\r' || text[0] == '\n') ? ProcessNewLine(text) : ProcessText(text);
            if (r != 1) {
                *result = r;
                return ScanDone;
            }
        }
        if (code == ScanEnd || code == ScanStop) return code;
    }
}

int Parser::FindNextTag() {
    int result;
    int code = TextPhase(&result);
    if (code == ScanDone) return result;
    if (code == ScanEnd) return ScanEnd;
    int cached = ProcessCachedTag();
    if (cached >= 0) return cached;
    long start = source_->inmacro() ? -1 : source_->CurrentFilePosition();
    int startline = line_;
    String raw, name;
    TagStart kind = ReadTagStart(&raw, &name);
    switch (kind) {
        case TagStartFailed:
            return ScanFailure;
        case TagStartEnd:
            return ScanEnd;
        case TagStartSkipped:
            return ScanMore;
        case TagStartComment: {
            int r = ProcessUnknownTag(raw);
            return r == 1 ? ScanMore : r;
        }
        case TagStartName:
        case TagStartOutside:
            break;
    }
    Tag* templ = kind == TagStartOutside ? nullptr : FindTemplate(name.chars());
    if (templ == nullptr) {
        if (!SkipTagRest(&raw)) return ScanFailure;
        int r = ProcessUnknownTag(raw);
        return r == 1 ? ScanMore : r;
    }
    Tag tag(*templ);
    tagstart_ = start;
    tagstartline_ = startline;
    int read = GetNameValuePairs(&tag);
    tagstart_ = -1;
    if (!read || !ValidateTag(templ, &tag)) return ScanFailure;
    int r = ProcessKnownTag(&tag);
    if (r == 0) return ScanFailure;
    return r == 3 ? ScanStop : ScanMore;
}

int Parser::GetNameValuePairs(Tag* tag) {
    int code;
    do {
        code = GetNextNameValuePair(tag);
    } while (code == ScanMore);
    return code;
}

int Parser::EndOfFileInTag(Tag* tag) {
    SyntaxError("Unexpected end of file in &lt;" + tag->name() + "&gt;");
    return ScanFailure;
}

int Parser::GetNextNameValuePair(Tag* tag) {
    if (EatWhitespace(nullptr) == ScanEnd) return EndOfFileInTag(tag);
    int c = GetNextChar();
    if (c == '>') return ScanStop;
    String name;
    bool outsidename = false;
    while (c >= 0 && (fromoutside() || (!IsWhitespace(c) && c != '=' && c != '>'))) {
        outsidename = outsidename || fromoutside();
        name.cat(static_cast<char>(c));
        c = GetNextChar();
    }
    if (outsidename) {
        // A macro's outside text may be a value, never an attribute of its own.
        SyntaxError("Attribute '" + Entities(name) + "' comes from outside the page");
        return ScanFailure;
    }
    if (IsWhitespace(c)) c = EatWhitespace(nullptr) == ScanEnd ? -1 : GetNextChar();
    if (!IsNameStart(static_cast<unsigned char>(name[0]))) {
        SyntaxError("Attribute '" + Entities(name) + "' begins with a non-alpha character");
        return ScanFailure;
    }
    if (c < 0) return EndOfFileInTag(tag);
    String value;
    if (c == '=') {
        if (EatWhitespace(nullptr) == ScanEnd) return EndOfFileInTag(tag);
        bool outside = true;
        int code = GetValue(tag, name, &value, &outside);
        if (code == ScanFailure) return ScanFailure;
        tag->AddValue(name, value, outside);
        return code;
    }
    // An attribute without a value; c is the tag's end or the next attribute.
    if (c != '>') UnGetChar(c);
    if (!ProcessEmptyValue(tag, name, &value)) return ScanFailure;
    tag->AddValue(name, value, false);  // its own name, written in the page
    return c == '>' ? ScanStop : ScanMore;
}

int Parser::GetValue(Tag* tag, const String&, String* value, bool* outside) {
    *outside = false;
    bool quoted = false;
    for (;;) {
        int c = GetNextChar();
        if (c < 0) return EndOfFileInTag(tag);
        if (fromoutside()) {
            *outside = true;  // plain text of the value
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted) {
            if (c == '>') return ScanStop;
            if (IsWhitespace(c)) return ScanMore;
            if (c == '/') {
                int next = GetNextChar();
                if (next == '>') return ScanStop;
                if (next < 0) return EndOfFileInTag(tag);
                SyntaxError(String("Expected &gt;, found '") + static_cast<char>(next) + "'");
                return ScanFailure;
            }
        }
        value->cat(static_cast<char>(c));
    }
}

int Parser::ProcessEmptyValue(Tag*, const String& name, String* value) {
    *value = name;
    return 1;
}

int Parser::ValidateTag(Tag* templ, Tag* tag) {
    SearchableList<NameValuePair, const char*>& wanted = templ->attributes();
    for (NameValuePair* a = wanted.First(); a != nullptr; a = wanted.Next()) {
        if (tag->Find(a->name().chars()) != nullptr) continue;
        if (a->required()) {
            SyntaxError(templ->name() + " requires the " + a->name() +
                        " attribute to be specified");
            return 0;
        }
        if (!a->value().empty()) tag->AddNameValuePair(a->name(), a->value());
    }
    return 1;
}

int Parser::ParseTarget(Tag* found, Tag* target) {
    found->Reset(*target);
    if (!GetNameValuePairs(found)) return ScanFailure;
    Tag* templ = FindTemplate(target->name().chars());
    if (!ValidateTag(templ ? templ : target, found)) return ScanFailure;
    return ScanDone;
}

int Parser::FindTag(Tag* found, TagTable* targets) {
    int depth = 0;
    String text;
    for (;;) {
        int code = GetNextLine(&text);
        if (code == ScanEnd) return ScanEnd;
        if (code != ScanStop) continue;
        String raw, name;
        switch (ReadTagStart(&raw, &name)) {
            case TagStartFailed:
                return ScanFailure;
            case TagStartEnd:
                return ScanEnd;
            case TagStartSkipped:
            case TagStartComment:
                continue;
            case TagStartOutside:
                if (!SkipTagRest(&raw)) return ScanFailure;
                continue;
            case TagStartName:
                break;
        }
        Tag* target = targets->Find(name.chars());
        if (target == nullptr) {
            if (!SkipTagRest(&raw)) return ScanFailure;
            continue;
        }
        if (target->endid() > 0) {
            // A nested opener; a template with attributes counts only occurrences
            // that carry all of them.
            SearchableList<NameValuePair, const char*>& wanted = target->attributes();
            if (wanted.Entries() == 0) {
                if (!SkipTagRest(&raw)) return ScanFailure;
                depth++;
                continue;
            }
            Tag occurrence(*target);
            if (!GetNameValuePairs(&occurrence)) return ScanFailure;
            bool opener = true;
            for (NameValuePair* a = wanted.First(); a != nullptr; a = wanted.Next()) {
                if (occurrence.Find(a->name().chars()) == nullptr) opener = false;
            }
            if (opener) depth++;
            continue;
        }
        if (depth > 0) {
            if (target->endid() == 0) depth--;
            if (!SkipTagRest(&raw)) return ScanFailure;
            continue;
        }
        return ParseTarget(found, target);
    }
}
