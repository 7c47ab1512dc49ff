// ViewFilter: the filter of a view (KpFILTER): an expression the page gave, true for
// the records a move may come to.

#ifndef DATA_VIEW_FILTER_H_
#define DATA_VIEW_FILTER_H_

#include "foundation/string.h"

class Expression;
class ScriptParser;

class ViewFilter {
  public:
    ViewFilter() {}
    ~ViewFilter();
    ViewFilter(const ViewFilter&) = delete;
    ViewFilter& operator=(const ViewFilter&) = delete;

    // Reads the expression (empty text: no filter); false when it cannot be read,
    // leaving no filter.
    bool Set(ScriptParser* parser, const String& text);
    // Whether the record the fields hold now passes (true without a filter); *ok
    // false when the expression cannot be evaluated.
    bool Passes(ScriptParser* parser, bool* ok);

  private:
    Expression* expression_ = nullptr;  // owned; null without a filter
};

#endif  // DATA_VIEW_FILTER_H_
