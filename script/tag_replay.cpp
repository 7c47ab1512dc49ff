// ScriptParser: the replay of text runs and tags read before (a loop's body, a
// function called again) from the tag cache, and their recording on first reading.

#include <string.h>

#include <algorithm>
#include <array>
#include <vector>

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "script/builtins.h"
#include "script/engine.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "script/script_tags.h"
#include "script/tag_cache.h"
#include "script/tag_table.h"
#include "script/variables.h"

bool ScriptParser::Bound(CachedTag* c) {
    return !c->calls || c->boundby == serial_ || BindCalls(c);
}

int ScriptParser::TextPhase(int* result) {
    // A tag replayed after a replayed run that left every state in place is followed
    // by the next run here, without a return to the scan loop (which would only come
    // back): a loop's body runs as one walk along the cache.
    for (;;) {
        if (macrosource_->inmacro()) {
            rereading_ = false;
            return Parser::TextPhase(result);
        }
        long position = macrosource_->CurrentFilePosition();
        int start = line();
        CachedText* run = RunAt(position);
        lasttag_ = nullptr;
        lastrun_ = run;
        rereading_ = true;
        if (run != nullptr && !run->pieces.empty()) {
            int r = DeliverReferences(run, start);
            if (r < 0) return Parser::TextPhase(result);
            macrosource_->Seek(run->end);
            if (r == 0) {
                *result = 0;
                return ScanDone;
            }
            return run->code;
        }
        if (run != nullptr) {
            // Tag after tag: nothing to deliver.
            if (run->events.empty() || DeliversWhole()) {
                if (!run->events.empty()) WriteWhole(run, start);
                // The tag that followed the run before is replayed at once, as the
                // scan's next step would do.
                CachedTag* next = run->code == ScanStop ? run->nexttag : nullptr;
                if (next == nullptr || !Bound(next)) {
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
            long failedat = -1;
            if (!DeliverEvents(run, start, &failedat)) {
                macrosource_->Seek(failedat);
                *result = 0;
                return ScanDone;
            }
            macrosource_->Seek(run->end);
            return run->code;
        }
        if (!cache_->SeenBefore(position)) {
            rereading_ = false;
            return Parser::TextPhase(result);
        }
        return RecordRun(position, start, result);
    }
}

bool ScriptParser::DeliversWhole() {
    // Text written as it stands goes out in one piece. Text the level leaves out is
    // passed over without a look at the clock: the next step looks before anything
    // else happens.
    int level = standardoutputlevel_;
    bool writes = (level & OutputText) != 0;
    return textrecording_ == nullptr && !(level & OutputCompressWhitespace) &&
           states_.Top()->WritesText() && (!writes || !engine()->timedout());
}

void ScriptParser::WriteWhole(const CachedText* run, int start) {
    if (standardoutputlevel_ & OutputText) {
        output_->Write(run->joined);
        if (run->endwhitespace >= 0) output_->inwhitespace() = run->endwhitespace;
    }
    SetLine(start + run->lines);
}

bool ScriptParser::DeliverEvents(const CachedText* run, int start, long* failedat) {
    for (const CachedTextEvent& e : run->events) {
        SetLine(start + e.line);
        int r = e.newline ? ProcessNewLine(e.text) : ProcessText(e.text);
        if (r != 1) {
            *failedat = e.end;
            return false;
        }
    }
    SetLine(start + run->lines);
    return true;
}

bool ScriptParser::DeliverRun(const CachedText* run, int start) {
    if (DeliversWhole()) {
        WriteWhole(run, start);
        return true;
    }
    long failedat;
    return DeliverEvents(run, start, &failedat);
}

CompiledBody* ScriptParser::CompiledAt(long position, CompiledKind kind) {
    if (!compiling_) return nullptr;
    CompiledBody*& slot = cache_->CompiledSlot(position);
    if (!CompiledBody::MayRemake(slot, cache_)) return slot;
    CompiledBody* fresh = CompiledBody::Compile(this, position, kind);
    fresh->SetGeneration(slot != nullptr ? slot->generation() + 1 : 1);
    if (slot != nullptr) cache_->Retire(slot);
    slot = fresh;
    return slot;
}

CachedText* ScriptParser::RunAt(long position) {
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
    return run;
}

int ScriptParser::RecordRun(long position, int start, int* result) {
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
    bool references = macrosource_->ampersands() != ampersands;
    if (code != ScanDone && references && !macrosource_->inmacro() &&
        RecordReferences(fresh, position, start)) {
        fresh->end = macrosource_->CurrentFilePosition();
        fresh->lines = line() - start;
        fresh->code = code;
        fresh->events.clear();
        cache_->InsertRun(position, fresh);
    } else if (code != ScanDone && !references && !macrosource_->inmacro()) {
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

bool ScriptParser::RecordReferences(CachedText* run, long position, int start) {
    // Only text read as it stands, with references expanded and without a backslash
    // (which would reach into a value), whose references span no line.
    long end = macrosource_->CurrentFilePosition();
    String raw;
    if (!macrosource_->expandmacros() || !macrosource_->RawText(position, end, &raw)) return false;
    std::vector<CachedTextPiece>& pieces = run->pieces;
    pieces.emplace_back();
    int lines = 0;
    for (int i = 0; i < raw.length(); i++) {
        char c = raw[i];
        if (c == '\\') return false;
        if (c == '\n') lines++;
        // A reference is "&[" or "&amp;[" (as the reader spells it, in any case), the
        // name, "]" and an optional ";".
        int open = -1;
        if (c == '&' && raw[i + 1] == '[') {
            open = i + 1;
        } else if (c == '&' && raw.at(i + 1, i + 5).matches("amp;") && raw[i + 5] == '[') {
            open = i + 5;
        }
        if (open < 0) {
            pieces.back().text.cat(c);
            continue;
        }
        int close = raw.search("]", open);
        if (close < 0) return false;
        String inside = raw.at(open + 1, close);
        if (inside.contains('\n') || inside.contains('\r')) return false;
        CachedTextPiece piece;
        piece.reference = true;
        piece.macro = ReadMacroReference(inside);
        piece.macro.scoped = Variables::Resolve(piece.macro.name);
        piece.macro.resolved = true;
        pieces.push_back(piece);
        pieces.emplace_back();
        i = raw[close + 1] == ';' ? close + 1 : close;
    }
    // The line count must agree with the scan's.
    return lines == line() - start;
}

int ScriptParser::DeliverReferences(const CachedText* run, int start) {
    if (textrecording_ != nullptr || !macrosource_->expandmacros() ||
        engine()->script().warnundefined()) {
        return -1;
    }
    // Every value first: one that is the page's own text and holds markup or a
    // backslash is read by the scanner, and the whole run with it.
    struct Value {
        String text;
        bool outside;
    };
    // The usual few on the stack.
    const size_t count = run->pieces.size() / 2;
    Value few[4];
    std::vector<Value> many(count > 4 ? count : 0);
    Value* values = count > 4 ? many.data() : few;
    size_t next = 0;
    for (const CachedTextPiece& p : run->pieces) {
        if (!p.reference) continue;
        Value& v = values[next++];
        macrosource_->ReferenceValue(p.macro, &v.outside, &v.text);
        if (!v.outside && (v.text.contains('<') || v.text.contains('\\'))) return -1;
    }
    if (DeliversWhole()) {
        // Written as it stands, the pieces go out one after the other: what the
        // states would write of them, line break by line break.
        if (standardoutputlevel_ & OutputText) {
            next = 0;
            int last = -1;
            for (const CachedTextPiece& p : run->pieces) {
                const String& chars = p.reference ? values[next++].text : p.text;
                if (chars.empty()) continue;
                output_->Write(chars);
                last = static_cast<unsigned char>(chars[chars.length() - 1]);
            }
            if (last >= 0) output_->inwhitespace() = String::IsWhitespace(last) ? 1 : 0;
        }
        SetLine(start + run->lines);
        return 1;
    }
    // Then the text as the scan splits it: at each line break, which counts a line
    // when it is the page's own.
    String text;
    int lines = 0;
    bool cr = false;  // a CR was read: a LF next belongs to it
    next = 0;
    auto flush = [&]() {
        if (text.empty()) return true;
        SetLine(start + lines);
        bool ok = ProcessText(text) == 1;
        text.clear();
        return ok;
    };
    auto newline = [&](const char* breaktext) {
        SetLine(start + lines);
        return ProcessNewLine(String(breaktext)) == 1;
    };
    for (const CachedTextPiece& p : run->pieces) {
        const String& chars = p.reference ? values[next++].text : p.text;
        const int length = chars.length();
        for (int i = 0; i < length; i++) {
            // Up to the next line break in one piece.
            int stop = i;
            while (stop < length && chars[stop] != '\r' && chars[stop] != '\n') stop++;
            if (stop > i) {
                if (cr) {
                    cr = false;
                    if (!newline("\r")) return 0;
                }
                text.cat(chars.chars() + i, stop - i);
                i = stop;
                if (i == length) break;
            }
            // A line break: the text before it goes first.
            char c = chars[i];
            if (cr) {
                cr = false;
                if (c == '\n') {
                    if (!p.reference) lines++;
                    if (!newline("\r\n")) return 0;
                    continue;
                }
                if (!newline("\r")) return 0;
            }
            if (!flush()) return 0;
            if (c == '\r') {
                cr = true;
                continue;
            }
            if (!p.reference) lines++;
            if (!newline("\n")) return 0;
        }
    }
    if (cr && !newline("\r")) return 0;
    if (!flush()) return 0;
    SetLine(start + run->lines);
    return 1;
}

void ScriptParser::RecordText(bool newline, const String& text) {
    textrecording_->events.push_back(
        CachedTextEvent{newline, text, line() - textline_, macrosource_->CurrentFilePosition()});
}

int ScriptParser::ProcessCachedTag() {
    markupat_ = -1;
    if (macrosource_->inmacro()) return -1;
    long position = macrosource_->CurrentFilePosition();
    CachedTag* c = nullptr;
    if (lastrun_ != nullptr && lastrun_->end == position) c = lastrun_->nexttag;
    if (c == nullptr) {
        c = cache_->Find(position);
        if (c != nullptr && lastrun_ != nullptr && lastrun_->end == position) lastrun_->nexttag = c;
    }
    lastrun_ = nullptr;
    if (c != nullptr && !Bound(c)) return -1;
    if (c == nullptr) {
        if (rereading_) {
            markupat_ = position;
            markupline_ = line();
            markupampersands_ = macrosource_->ampersands();
        }
        return -1;
    }
    return ReplayCachedTag(c);
}

void ScriptParser::RecordMarkup(const String& text) {
    // Markup read from the file itself, with no "&" in it, reads the same on every
    // pass: remembered when the text before it is read again (a page read straight
    // through costs no memory and no look-up for it).
    long at = markupat_;
    markupat_ = -1;
    if (at < 0 || macrosource_->inmacro() || macrosource_->ampersands() != markupampersands_) {
        return;
    }
    CachedTag* c = new CachedTag;
    c->markup = text;
    c->end = macrosource_->CurrentFilePosition();
    c->lines = line() - markupline_;
    cache_->Insert(at, c);
}

int ScriptParser::ReplayMarkup(CachedTag* c, int start) {
    macrosource_->Seek(c->end);
    SetLine(start + c->lines);
    lasttag_ = c;
    return WriteMarkup(c->markup);
}

bool ScriptParser::BindCalls(CachedTag* c) {
    for (CachedAttribute& a : c->attributes) {
        if (a.expression != nullptr && !a.expression->Bind(this)) return false;
    }
    c->boundby = serial_;
    return true;
}

int ScriptParser::ReplayCachedTag(CachedTag* c) {
    int start = line();
    if (c->templ == nullptr) {
        int r = ReplayMarkup(c, start);
        return r == 1 ? ScanMore : r;
    }
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
