// MacroExpander.

#include "script/macro_expander.h"

#include <strings.h>

#include "script/encoding.h"
#include "script/engine.h"
#include "script/variables.h"

MacroExpander::MacroExpander(Kelp* engine, int size)
    : Buffer(engine->filemanager(), size),
      engine_(engine),
      expand_(1),
      index_(-1),
      consumed_(0),
      outside_(false),
      encoding_(engine->script().defaultmacroencoding()),
      ampersands_(0),
      outsidevalues_(0) {}

void MacroExpander::ClearMacro() {
    if (index_ < 0 && consumed_ == 0) return;  // nothing to clear
    index_ = -1;
    value_.clear();
    name_.clear();
    consumed_ = 0;
    outside_ = false;
    encoding_ = engine_->script().defaultmacroencoding();
}

bool MacroExpander::SeekFar(long offset) {
    // A value half delivered belongs to the old position.
    ClearMacro();
    return Buffer::Seek(offset);
}

int MacroExpander::GetNextChar() {
    if (index_ >= 0) {
        if (index_ < value_.length()) return static_cast<unsigned char>(value_[index_++]);
        ClearMacro();
    }
    for (;;) {
        int c = Buffer::GetNextChar();
        if (c != '&') return c;
        ampersands_++;
        if (!expand_) return c;
        String value;
        bool outside = false;
        if (!CheckForMacro(&value, &outside)) return c;
        if (!value.empty()) {
            value_ = value;
            outside_ = outside;
            if (outside) outsidevalues_++;
            index_ = 1;
            return static_cast<unsigned char>(value_[0]);
        }
        consumed_ = 0;  // the reference vanished; read on
    }
}

void MacroExpander::UnGetChar() {
    if (index_ < 0) {
        Buffer::UnGetChar();
    } else if (index_ > 1) {
        index_--;
    } else {
        int n = consumed_;
        ClearMacro();
        PushBack(n);
    }
}

void MacroExpander::PushBack(int n) {
    for (int i = 0; i < n; i++) Buffer::UnGetChar();
}

bool MacroExpander::CheckForMacro(String* value, bool* outside) {
    value->clear();
    *outside = false;
    int c = Buffer::GetNextChar();
    if (c == '[') {
        consumed_ = 2;
    } else {
        // Perhaps "&amp;[": collect up to five characters, stopping after a ";".
        String collected;
        while (c >= 0) {
            collected.cat(static_cast<char>(c));
            if (c == ';' || collected.length() == 5) break;
            c = Buffer::GetNextChar();
        }
        int next = collected.matches("amp;") ? Buffer::GetNextChar() : -1;
        if (next != '[') {
            PushBack(collected.length() + (next >= 0 ? 1 : 0));
            return false;
        }
        consumed_ = 6;
    }
    String name;
    for (c = Buffer::GetNextChar(); c != ']'; c = Buffer::GetNextChar()) {
        if (c < 0) return true;  // cut off by the end of the file: nothing
        name.cat(static_cast<char>(c));
        consumed_++;
    }
    consumed_++;
    c = Buffer::GetNextChar();
    if (c == ';') {
        consumed_++;
    } else if (c >= 0) {
        Buffer::UnGetChar();
    }
    MacroReference reference = ReadMacroReference(name);
    name_ = reference.name;
    ReferenceValue(reference, outside, value);
    return true;
}

MacroReference ReadMacroReference(const String& inside) {
    MacroReference r;
    String name = inside;
    int colon = name.search(":", 0);
    if (colon >= 0) {
        String word = name.after(colon);
        word.StripWhitespace();
        r.explicitencoding = true;
        if (word.matches("attribute")) {
            r.encoding = MacroEncodingAttribute;
        } else if (word.matches("entities")) {
            r.encoding = MacroEncodingEntities;
        } else if (word.matches("none")) {
            r.encoding = MacroEncodingNone;
        } else if (word.matches("script")) {
            r.encoding = MacroEncodingNone;
            r.script = true;
        } else {
            r.explicitencoding = false;  // an unknown word: the default applies
        }
        name = name.before(colon);
    }
    name.StripWhitespace();
    r.name = name;
    return r;
}

void MacroExpander::ReferenceValue(const MacroReference& reference, bool* outside, String* value) {
    encoding_ =
        reference.explicitencoding ? reference.encoding : engine_->script().defaultmacroencoding();
    Variables* vars = engine_->vars();
    Variable* v = reference.resolved ? vars->Find(reference.scoped) : vars->Find(reference.name);
    *outside = v != nullptr && v->outside();
    if (v != nullptr) {
        *value = v->value();
    } else {
        value->clear();
        if (engine_->script().warnundefined()) engine_->UndefinedRead(reference.name);
    }
    // The page says it runs this value as its own text, whatever its origin.
    if (reference.script) *outside = false;
    if (encoding_ == MacroEncodingAttribute) EncodeAttribute(value);
    if (encoding_ == MacroEncodingEntities) EncodeEntities(value);
}

bool MacroExpander::RawText(long from, long to, String* text) {
    text->clear();
    if (index_ >= 0 || consumed_ != 0 || !Buffer::Seek(from)) return false;
    bool complete = true;
    for (long p = from; p < to; p++) {
        int c = Buffer::GetNextChar();
        if (c < 0) {
            complete = false;
            break;
        }
        text->cat(static_cast<char>(c));
    }
    return Buffer::Seek(to) && complete;
}

void MacroExpander::SavePosition(Position* p) {
    p->offset = Buffer::CurrentFilePosition();
    p->index = index_;
    // The value matters only while it is being delivered.
    if (index_ >= 0) {
        p->value = value_;
    } else {
        p->value.clear();
    }
    p->consumed = consumed_;
    p->outside = outside_;
}

bool MacroExpander::RestorePosition(const Position& p) {
    if (p.index < 0 && p.consumed == 0) return Seek(p.offset);  // outside any macro
    ClearMacro();
    if (!Buffer::Seek(p.offset)) return false;
    index_ = p.index;
    value_ = p.value;
    consumed_ = p.consumed;
    outside_ = p.outside;
    if (outside_) outsidevalues_++;  // the rest of the value is read anew
    return true;
}
