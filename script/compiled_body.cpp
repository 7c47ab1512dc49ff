// CompiledBody: made from the tag cache, run step by step. Each step does what the
// interpreter does for its tag, in the same order: the attribute's value first (at the
// line where it was read), then the time limit and an open run of adds, then the
// clearing of the tag's error variable, then the tag's work.

#include "script/compiled_body.h"

#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "script/engine.h"
#include "script/macro_expander.h"
#include "script/number_program.h"
#include "script/script_parser.h"
#include "script/script_tags.h"
#include "script/tag.h"
#include "script/tag_cache.h"
#include "script/variables.h"

namespace {

// A tag with exactly one attribute whose value is evaluated.
const CachedAttribute* OneValue(const CachedTag* c) {
    if (c->attributes.size() != 1) return nullptr;
    const CachedAttribute& a = c->attributes[0];
    return a.kind == CachedAttribute::Evaluate && a.expression != nullptr ? &a : nullptr;
}

// How many times a body is made again after a pass met a place not remembered when
// it was made (and the interpreter has remembered more since).
const int kRemakes = 32;

}  // namespace

inline void CompiledBody::ClearError(ScriptParser* parser, const CompiledStep& s) {
    if (s.errorname == nullptr) return;
    Variable* v = parser->variables()->Find(*s.errorname);
    if (v != nullptr && !v->Empty()) parser->variables()->SetVariable(*s.errorname, String());
}

bool CompiledBody::MayRemake(const CompiledBody* body, const TagCache* cache) {
    // A body replaced while a pass is under way stays alive until the interpreter goes
    // (see TagCache::Retire), so the pass finishes with it.
    return body == nullptr ||
           (body->stale_ && body->generation_ < kRemakes && body->madeat_ != cache->entries());
}

CompiledBody::~CompiledBody() {
    for (CompiledStep& s : steps_) {
        delete s.then;
        delete s.otherwise;
    }
}

CompiledBody* CompiledBody::Compile(ScriptParser* parser, long position, CompiledKind kind) {
    CompiledBody* body = new CompiledBody;
    body->madeat_ = parser->cache_->entries();
    body->Read(parser, position, 0, kind, kind == CompiledFunction, 0);
    return body;
}

void CompiledBody::AddWrite(CompiledStep::Kind kind, CachedText* run, CachedTag* markup,
                            long position, int line) {
    CompiledStep s{};
    s.kind = kind;
    s.run = run;
    s.tag = markup;
    s.line = line;
    s.position = position;
    steps_.push_back(s);
}

CachedText* CompiledBody::TakeRun(int* line) {
    if (steps_.empty() || steps_.back().kind != CompiledStep::Text ||
        !steps_.back().run->pieces.empty()) {
        return nullptr;
    }
    CachedText* run = steps_.back().run;
    *line = steps_.back().line;
    steps_.pop_back();
    return run;
}

void CompiledBody::AddHand(long position, int line, bool missing) {
    CompiledStep s{};
    s.kind = CompiledStep::Hand;
    s.position = position;
    s.line = line;
    s.missing = missing;
    steps_.push_back(s);
}

bool CompiledBody::Read(ScriptParser* parser, long position, int line, CompiledKind kind,
                        bool infunction, int depth) {
    TagCache* cache = parser->cache_;
    for (;;) {
        // A tag remembered where the text would start starts right there: no text
        // comes between (a place the interpreter reaches by a skip or a replay may
        // have no run of its own).
        CachedText* run = cache->FindRun(position);
        if (run != nullptr) {
            if (run->code != ScanStop) {
                AddHand(position, line, false);
                return false;
            }
            if (!run->events.empty() || !run->pieces.empty()) {
                AddWrite(CompiledStep::Text, run, nullptr, position, line);
            }
            position = run->end;
            line += run->lines;
        }
        CachedTag* c = cache->Find(position);
        if (c == nullptr || !parser->Bound(c)) {
            AddHand(position, line, true);
            return false;
        }
        if (c->templ == nullptr) {
            if (!steps_.empty() && steps_.back().kind == CompiledStep::Markup) {
                // Markup right after markup is written with it, in one piece.
                CompiledStep& last = steps_.back();
                if (markups_.empty() || last.markup != &markups_.back()) {
                    markups_.push_back(*last.markup);
                    last.markup = &markups_.back();
                }
                markups_.back().cat(c->markup.chars(), c->markup.length());
                last.after = line + c->lines;
            } else {
                AddWrite(CompiledStep::Markup, nullptr, c, position, line);
                steps_.back().markup = &c->markup;
                steps_.back().after = line + c->lines;
            }
            position = c->end;
            line += c->lines;
            continue;
        }
        int id = c->templ->id();
        // The closing tags of the body.
        bool closes = (kind == CompiledLoop && id == TagEndKpWHILE) ||
                      (kind == CompiledFunction && id == TagEndKpFUNCTION) ||
                      ((kind == CompiledThen || kind == CompiledElse) &&
                       (id == TagEndKpIF || id == TagKpELSE));
        if (closes) {
            if (!c->attributes.empty()) {
                AddHand(position, line, false);
                return false;
            }
            last_ = TakeRun(&lastline_);
            closing_ = c;
            closingstart_ = position;
            closingline_ = line;
            end_ = c->end;
            endline_ = line + c->lines;
            return true;
        }
        CompiledStep s{};
        s.tag = c;
        s.line = line;
        s.errorname = parser->ErrorVariableName(c->templ);
        const CachedAttribute* a = OneValue(c);
        TagHandler handler = parser->handler(id);
        if (id == TagKpLET && c->assignment && a != nullptr && handler == ProcessKpLET) {
            s.kind = CompiledStep::Assign;
        } else if (id == TagKpEVAL && a != nullptr && handler == ProcessKpEVAL) {
            s.kind = CompiledStep::Eval;
        } else if (id == TagKpIF && a != nullptr && handler == ProcessKpIF) {
            s.kind = CompiledStep::If;
        } else if (kind == CompiledLoop && depth == 0 && TagHasFlag(id, kInPlace) &&
                   handler == TagSpecOf(id)->handler) {
            // The loop's state is on top, as when the interpreter meets the tag.
            s.kind = CompiledStep::Tag;
        } else if (id == TagKpFUNCRETURN && infunction &&
                   (c->attributes.empty() ||
                    (a != nullptr && CompareKeys(a->name.chars(), "VALUE") == 0))) {
            s.kind = CompiledStep::Return;
        } else {
            AddHand(position, line, false);
            return false;
        }
        if (s.kind == CompiledStep::Return && depth > 0) {
            // A return inside blocks closes each of them on its way out, and each looks
            // for its /KpIF from where the last one stopped. Until the interpreter has
            // made those skips once (and found the ends), it makes them.
            long from = c->end;
            for (int k = 0; k < depth && from >= 0; k++) {
                const TagCache::CachedSkip* skip = cache->FindSkip(from, &parser->iffinish(false));
                from = skip != nullptr ? skip->end : -1;
            }
            if (from < 0) {
                AddHand(position, line, true);
                return false;
            }
        }
        // The text right before goes with the tag (the tag sets the line itself).
        s.before = TakeRun(&s.beforeline);
        s.attribute = s.kind == CompiledStep::Tag ? nullptr : a;
        s.position = position;
        s.calls = a != nullptr && !a->expression->pure();
        if ((s.kind == CompiledStep::Assign || s.kind == CompiledStep::If) && !s.calls) {
            s.numbers = a->expression->Numbers();
            if (s.kind == CompiledStep::Assign) s.joins = a->expression->Joins();
        }
        s.resets = s.calls || s.kind == CompiledStep::If;
        steps_.push_back(s);
        if (s.kind != CompiledStep::If) {
            position = c->end;
            line += c->lines;
            continue;
        }
        if (!ReadIf(parser, c, infunction, depth, &position, &line)) return false;
    }
}

bool CompiledBody::ReadIf(ScriptParser* parser, CachedTag* c, bool infunction, int depth,
                          long* position, int* line) {
    TagCache* cache = parser->cache_;
    // The step is the last one; the vector may grow below, so it is found again.
    size_t index = steps_.size() - 1;
    int start = *line + c->lines;
    long after = -1;
    int afterline = 0;
    // A part that ends at a KpELSE goes on at the /KpIF its skip found.
    auto ends = [&](CompiledBody* part) {
        if (part == nullptr || part->closing_ == nullptr) return;
        if (part->closing_->templ->id() == TagEndKpIF) {
            after = part->end_;
            afterline = part->endline_;
            return;
        }
        const TagCache::CachedSkip* skip = cache->FindSkip(part->end_, &parser->iffinish(false));
        if (skip != nullptr) {
            part->finishknown_ = true;
            after = skip->end;
            afterline = part->endline_ + skip->lines;
        }
    };
    CompiledBody* then = new CompiledBody;
    then->Read(parser, c->end, start, CompiledThen, infunction, depth + 1);
    ends(then);
    CompiledBody* otherwise = nullptr;
    const TagCache::CachedSkip* skip = cache->FindSkip(c->end, &parser->ifskip(false));
    bool skipknown = skip != nullptr;
    bool haselse = false;
    if (skip != nullptr) {
        if (skip->target->id() == TagKpELSE) {
            haselse = true;
            otherwise = new CompiledBody;
            otherwise->Read(parser, skip->end, start + skip->lines, CompiledElse, infunction,
                            depth + 1);
            ends(otherwise);
        } else {
            after = skip->end;
            afterline = start + skip->lines;
        }
    }
    CompiledStep& s = steps_[index];
    s.then = then;
    s.otherwise = otherwise;
    s.haselse = haselse;
    s.skipknown = skipknown;
    if (after < 0) return false;  // no pass that goes on after the block is known yet
    *position = after;
    *line = afterline;
    return true;
}

// ---------------------------------------------------------------------------
// Running

CompiledOutcome CompiledBody::Run(ScriptParser* parser, int baseline) {
    size_t base = parser->openifs_.size();
    CompiledOutcome r = RunSteps(parser, baseline, base);
    if (parser->openifs_.size() != base) parser->openifs_.resize(base);
    return r;
}

CompiledOutcome CompiledBody::HandOver(ScriptParser* parser, int baseline, size_t base,
                                       long position, int line) {
    // The call whose body this is gets its state first, then the blocks open at that
    // place go on the stack, outermost first.
    parser->TakeOverCall(base);
    for (size_t i = base; i < parser->openifs_.size(); i++) {
        const CompiledStep* open = parser->openifs_[i];
        parser->SetLine(baseline + open->line);
        PushKpIFState(parser, open->tag->templ);
    }
    parser->macrosource_->Seek(position);
    parser->SetLine(baseline + line);
    return CompiledHanded;
}

bool CompiledBody::BeforeTag(ScriptParser* parser, int id) {
    return Before(parser, id);
}

inline bool CompiledBody::Before(ScriptParser* parser, int id) {
    Kelp* engine = parser->engine();
    if (engine->timedout()) {
        parser->Timeout();
        return false;
    }
    if (OpenRun* run = engine->openrun()) run->BeforeTag(TagHasFlag(id, kContinuesRun));
    return true;
}

bool CompiledBody::Assign(ScriptParser* parser, const CompiledStep& s, const String& value,
                          const NumberHint* hint, bool outside) {
    return Assigned(
        parser, s, parser->variables()->SetVariable(s.attribute->scopedname, value, hint, outside));
}

inline bool CompiledBody::AfterValue(ScriptParser* parser, const CompiledStep& s, int baseline) {
    const CachedTag* c = s.tag;
    parser->SetLine(baseline + s.line + c->lines);
    if (!Before(parser, c->templ->id())) return false;
    ClearError(parser, s);
    return true;
}

inline bool CompiledBody::AssignNumber(ScriptParser* parser, const CompiledStep& s, double number,
                                       bool outside) {
    return Assigned(
        parser, s,
        parser->variables()->SetNumber(s.attribute->scopedname, number == 0 ? 0 : number, outside));
}

inline bool CompiledBody::Assigned(ScriptParser* parser, const CompiledStep& s, int done) {
    if (!done && parser->basestate()->RuntimeError(s.tag->templ, parser->variables()->error()) ==
                     StateError) {
        return false;
    }
    return !parser->exited();
}

inline bool CompiledBody::WriteRun(ScriptParser* parser, const CachedText* run, int line,
                                   int* quiet) {
    // Whether text the level leaves out only moves the line on: the level leaves out
    // text and does not compress it, and the state on top takes text as a function's
    // state does, with no run being recorded.
    if (*quiet < 0) {
        *quiet = !(parser->standardoutputlevel_ & (OutputText | OutputCompressWhitespace)) &&
                 parser->textrecording_ == nullptr && parser->states_.Top()->WritesText();
    }
    if (*quiet) {
        parser->SetLine(line + run->lines);
        return true;
    }
    *quiet = -1;  // a state may take text as its end
    return parser->DeliverRun(run, line);
}

CompiledOutcome CompiledBody::RunSteps(ScriptParser* parser, int baseline, size_t base) {
    String value;
    // Whether text the output leaves out only moves the line on (see WriteRun()):
    // asked at the first text, again after a step that may have run script of its own
    // (a call, a block), which is also where the level may change.
    int quiet = -1;
    for (const CompiledStep& s : steps_) {
        if (parser->exited()) return CompiledFailed;
        if (s.resets) quiet = -1;
        if (s.before != nullptr && !WriteRun(parser, s.before, baseline + s.beforeline, &quiet)) {
            return CompiledFailed;
        }
        switch (s.kind) {
            case CompiledStep::Text: {
                if (!s.run->pieces.empty()) {
                    int r = parser->DeliverReferences(s.run, baseline + s.line);
                    if (r < 0) return HandOver(parser, baseline, base, s.position, s.line);
                    if (r == 0) return CompiledFailed;
                    quiet = -1;  // a state may take text as its end
                    break;
                }
                if (!WriteRun(parser, s.run, baseline + s.line, &quiet)) return CompiledFailed;
                break;
            }
            case CompiledStep::Markup:
                parser->SetLine(baseline + s.after);
                if (parser->WriteMarkup(*s.markup) != 1) return CompiledFailed;
                break;
            case CompiledStep::Assign:
            case CompiledStep::If: {
                if (s.numbers != nullptr) {
                    // A value of numbers that comes out a whole number is assigned
                    // and tested as that number, as its deferred hint would have it.
                    double number;
                    bool outside;
                    if (s.numbers->Compute(parser->variables(), &number, &outside) &&
                        s.numbers->Defers(number)) {
                        if (!AfterValue(parser, s, baseline)) return CompiledFailed;
                        bool named = s.kind == CompiledStep::Assign || !s.attribute->name.empty();
                        if (named && !AssignNumber(parser, s, number, outside)) {
                            return CompiledFailed;
                        }
                        if (s.kind == CompiledStep::Assign) break;
                        CompiledOutcome r = RunIf(parser, s, number != 0, baseline, base);
                        if (r != CompiledEnded) return r;
                        break;
                    }
                } else if (s.joins != nullptr) {
                    // Joined text: no number is known of it.
                    bool outside;
                    if (s.joins->Compute(parser->variables(), &value, &outside)) {
                        if (!AfterValue(parser, s, baseline) ||
                            !Assign(parser, s, value, nullptr, outside)) {
                            return CompiledFailed;
                        }
                        break;
                    }
                }
                const CachedTag* c = s.tag;
                if (s.calls) parser->macrosource_->Seek(c->end);
                parser->SetLine(baseline + s.line + s.attribute->line);
                NumberHint hint;
                hint.maydefer = true;
                bool outside;
                if (!s.attribute->expression->EvaluateOften(parser, &value, &hint, &outside)) {
                    return CompiledFailed;
                }
                if (!AfterValue(parser, s, baseline)) return CompiledFailed;
                if ((s.kind == CompiledStep::Assign || !s.attribute->name.empty()) &&
                    !Assign(parser, s, value, &hint, outside)) {
                    return CompiledFailed;
                }
                if (s.kind == CompiledStep::Assign) break;
                CompiledOutcome r =
                    RunIf(parser, s, Expression::IsTrue(value, hint), baseline, base);
                if (r != CompiledEnded) return r;
                break;
            }
            case CompiledStep::Eval: {
                const CachedTag* c = s.tag;
                if (s.calls) parser->macrosource_->Seek(c->end);
                parser->SetLine(baseline + s.line + s.attribute->line);
                bool outside;
                if (!s.attribute->expression->Evaluate(parser, &value, &outside)) {
                    return CompiledFailed;
                }
                if (!AfterValue(parser, s, baseline)) return CompiledFailed;
                if (!s.attribute->name.empty() && !Assign(parser, s, value, nullptr, outside)) {
                    return CompiledFailed;
                }
                parser->WriteValue(value);
                break;
            }
            case CompiledStep::Return: {
                const CachedTag* c = s.tag;
                bool outside = false;
                value.clear();
                // A whole number goes back as a number: the caller writes its text if
                // it reads it as text.
                NumberHint hint;
                hint.maydefer = true;
                if (s.attribute != nullptr) {
                    if (s.calls) parser->macrosource_->Seek(c->end);
                    parser->SetLine(baseline + s.line + s.attribute->line);
                    if (!s.attribute->expression->EvaluateOften(parser, &value, &hint, &outside)) {
                        return CompiledFailed;
                    }
                }
                parser->SetLine(baseline + s.line + c->lines);
                if (!Before(parser, TagKpFUNCRETURN)) return CompiledFailed;
                // Inside a block it passes through the base dispatch on its way down.
                if (parser->openifs_.size() > base) ClearError(parser, s);
                // The value's text changes hands: the step's scratch is written anew.
                parser->functionreturnvalue().Swap(&value);
                parser->functionreturnoutside() = outside;
                parser->functionreturnhint() = hint;
                return CompiledReturned;
            }
            case CompiledStep::Tag: {
                // Read and run as the interpreter replays it (the scanner ends after it).
                parser->SetLine(baseline + s.line);
                long closed = parser->closedstates_;
                int r = parser->ReplayCachedTag(s.tag);
                if (r == ScanFailure) return CompiledFailed;
                if (parser->exited()) return CompiledFailed;
                if (r != ScanMore || parser->closedstates_ != closed) {
                    // Not what such a tag does: the interpreter goes on after it.
                    return HandOver(parser, baseline, base, s.tag->end, s.line + s.tag->lines);
                }
                quiet = -1;
                break;
            }
            case CompiledStep::Hand:
                if (s.missing) stale_ = true;
                return HandOver(parser, baseline, base, s.position, s.line);
        }
    }
    if (last_ != nullptr) {
        if (parser->exited()) return CompiledFailed;
        if (!WriteRun(parser, last_, baseline + lastline_, &quiet)) return CompiledFailed;
    }
    return CompiledEnded;
}

CompiledOutcome CompiledBody::RunIf(ScriptParser* parser, const CompiledStep& s, bool truth,
                                    int baseline, size_t base) {
    CompiledBody* part = nullptr;
    if (truth) {
        part = s.then;
    } else if (s.skipknown) {
        if (!s.haselse) return CompiledEnded;  // nothing to run: on after the block
        part = s.otherwise;
    }
    if (part == nullptr) {
        // Not remembered: the interpreter takes the block from its start.
        stale_ = true;
        CompiledOutcome r = HandOver(parser, baseline, base, s.tag->end, s.line + s.tag->lines);
        if (!ContinueKpIF(parser, s.tag->templ, truth)) return CompiledFailed;
        return r;
    }
    parser->openifs_.push_back(&s);
    CompiledOutcome r = part->RunSteps(parser, baseline, base);
    if (part->stale_) stale_ = true;
    if (r != CompiledEnded) return r;
    parser->openifs_.pop_back();
    // The part ran to its KpELSE or /KpIF.
    const CachedTag* closing = part->closing_;
    if (closing->templ->id() == TagKpELSE && !part->finishknown_) {
        // Where the block ends is not known: the interpreter skips to it.
        stale_ = true;
        parser->openifs_.push_back(&s);
        return HandOver(parser, baseline, base, part->closingstart_, part->closingline_);
    }
    parser->SetLine(baseline + part->endline_);
    if (!BeforeTag(parser, closing->templ->id())) return CompiledFailed;
    return CompiledEnded;
}
