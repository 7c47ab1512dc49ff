// TagCache.

#include "script/tag_cache.h"

#include "script/compiled_body.h"
#include "script/expression.h"
#include "script/tag.h"

CachedTag::~CachedTag() {
    for (CachedAttribute& a : attributes) delete a.expression;
    for (Prepared& p : prepared) delete p.tag;
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
    }
}

bool TagCache::SeenBefore(long position) {
    bool& seen = seen_[position];
    bool before = seen;
    seen = true;
    return before;
}

const TagCache::CachedExpression* TagCache::FindExpression(long position) const {
    auto it = expressions_.find(position);
    return it == expressions_.end() ? nullptr : &it->second;
}

void TagCache::InsertExpression(long position, Expression* expression, int lines) {
    CachedExpression& slot = expressions_[position];
    if (slot.expression != expression) delete slot.expression;
    slot.expression = expression;
    slot.lines = lines;
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
}
