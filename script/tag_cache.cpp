// TagCache.

#include "script/tag_cache.h"

#include "script/compiled_body.h"
#include "script/expression.h"
#include "script/tag.h"

CachedTag::~CachedTag() {
    for (CachedAttribute& a : attributes) delete a.expression;
    for (Prepared& p : prepared) delete p.tag;
}

namespace {

// Rough sizes of entries, their strings and the maps' nodes included.
const size_t kEntrySize = 64;

size_t SizeOf(const String& s) {
    return static_cast<size_t>(s.length());
}

size_t SizeOf(const Expression* e) {
    // A tree of a few nodes per token of its source.
    return e == nullptr ? 0 : 64 + 12 * SizeOf(e->source());
}

size_t SizeOf(const CachedTag* tag) {
    size_t n = kEntrySize + sizeof(CachedTag) + SizeOf(tag->markup);
    // Its attributes, and a prepared tag with their values.
    for (const CachedAttribute& a : tag->attributes) {
        n += sizeof(CachedAttribute) + 96 + 2 * SizeOf(a.name) + SizeOf(a.literal) +
             SizeOf(a.expression);
    }
    return n;
}

size_t SizeOf(const CachedText* run) {
    size_t n = kEntrySize + sizeof(CachedText) + SizeOf(run->joined);
    for (const CachedTextEvent& e : run->events) n += sizeof e + SizeOf(e.text);
    for (const CachedTextPiece& p : run->pieces) n += sizeof p + SizeOf(p.text);
    return n;
}

}  // namespace

void TagCache::Release() {
    for (auto& entry : compiled_) delete entry.second;
    compiled_.clear();
    for (CompiledBody* body : retired_) delete body;
    retired_.clear();
}

TagCache::~TagCache() {
    for (auto& entry : compiled_) delete entry.second;
    for (CompiledBody* body : retired_) delete body;
    for (auto& entry : tags_) delete entry.second;
    for (auto& entry : expressions_) delete entry.second.expression;
    for (auto& entry : runs_) delete entry.second;
}

CachedText* TagCache::FindRun(long position) const {
    auto it = runs_.find(position);
    return it == runs_.end() ? nullptr : it->second;
}

void TagCache::InsertRun(long position, CachedText* run) {
    // Entries stay where they are once made (the interpreter links them).
    CachedText*& slot = runs_[position];
    if (slot != nullptr) {
        delete run;
        return;
    }
    slot = run;
    entries_++;
    bytes_ += SizeOf(run);
}

const TagCache::CachedSkip* TagCache::FindSkip(long position, const void* table) const {
    auto range = skips_.equal_range(position);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.table == table) return &it->second;
    }
    return nullptr;
}

void TagCache::InsertSkip(long position, const CachedSkip& skip) {
    if (FindSkip(position, skip.table) == nullptr) {
        skips_.emplace(position, skip);
        entries_++;
        bytes_ += kEntrySize + sizeof skip;
    }
}

bool TagCache::SeenBefore(long position) {
    bool& seen = seen_[position];
    if (!seen) bytes_ += kEntrySize;
    bool before = seen;
    seen = true;
    return before;
}

TagCache::CachedExpression* TagCache::FindExpression(long position) {
    auto it = expressions_.find(position);
    return it == expressions_.end() ? nullptr : &it->second;
}

void TagCache::InsertExpression(long position, Expression* expression, int lines,
                                unsigned long boundby) {
    CachedExpression& slot = expressions_[position];
    if (slot.expression != expression) {
        if (slot.expression == nullptr) {
            bytes_ += kEntrySize;
        } else {
            bytes_ -= SizeOf(slot.expression);
        }
        bytes_ += SizeOf(expression);
        delete slot.expression;
    }
    slot.expression = expression;
    slot.lines = lines;
    slot.boundby = boundby;
    entries_++;
}

CachedTag* TagCache::Find(long position) const {
    auto it = tags_.find(position);
    return it == tags_.end() ? nullptr : it->second;
}

void TagCache::Insert(long position, CachedTag* tag) {
    CachedTag*& slot = tags_[position];
    if (slot != nullptr) {
        delete tag;
        return;
    }
    slot = tag;
    entries_++;
    bytes_ += SizeOf(tag);
}
