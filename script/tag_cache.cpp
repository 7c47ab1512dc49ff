// TagCache.

#include "script/tag_cache.h"

#include "script/expression.h"

CachedTag::~CachedTag() {
    for (CachedAttribute& a : attributes) delete a.expression;
}

TagCache::~TagCache() {
    for (auto& entry : tags_) delete entry.second;
    for (auto& entry : expressions_) delete entry.second.expression;
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
}

CachedTag* TagCache::Find(long position) const {
    auto it = tags_.find(position);
    return it == tags_.end() ? nullptr : it->second;
}

void TagCache::Insert(long position, CachedTag* tag) {
    CachedTag*& slot = tags_[position];
    delete slot;
    slot = tag;
}
