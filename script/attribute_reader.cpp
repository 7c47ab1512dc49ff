// ScriptParser: reading a tag's attributes, each value an expression, and the
// expressions of the page.

#include <string.h>

#include <algorithm>
#include <array>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "script/builtins.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/script_tags.h"
#include "script/tag_cache.h"
#include "script/tag_table.h"
#include "script/variables.h"

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
    TagCache::CachedExpression* c = cache_->FindExpression(position);
    if (c != nullptr && (c->boundby == serial_ || c->expression->Bind(this))) {
        c->boundby = serial_;
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
        // (One kept that calls a function not declared yet is read again here, and
        // replaced by the same.)
        if (macrosource_->ampersands() == ampersands && !macrosource_->inmacro()) {
            cache_->InsertExpression(position, e, line() - startline, serial_);
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
            for (const CachedAttribute& a : recorded->attributes) {
                if (a.expression != nullptr && a.expression->calls()) recorded->calls = true;
            }
            recorded->boundby = serial_;
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

int ScriptParser::ReadAttributes(Tag* tag) {
    if (TagHasFlag(tag->id(), kUnrecorded)) {
        DoNotRecord();
        return Parser::GetNameValuePairs(tag);
    }
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

int ScriptParser::GetValue(Tag* tag, const String& name, String* value, bool* outside) {
    int id = tag->id();
    long outsidevalues = macrosource_->outsidevalues();
    AttributeMode mode = AttributeModeOf(id, name);
    if (mode == AttributeVerbatim) {
        // The rest of the tag, verbatim; a quoted value is cut at its closing quote.
        if (!ReadRawRest(value)) return ScanFailure;
        *outside = macrosource_->outsidevalues() != outsidevalues;
        if (value->matches('"', 0)) *value = value->after(0).before('"');
        Record(name, CachedAttribute::Literal, nullptr, *value);
        return ScanStop;
    }
    bool keepsource = mode == AttributeSource || mode == AttributeQuotedSource;
    bool rereadlater = mode == AttributeReread;
    long position = macrosource_->CurrentFilePosition();
    int startline = line();
    ExpressionSyntax syntax = {">", true, mode == AttributeQuotedSource, true, keepsource};
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
