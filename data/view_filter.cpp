// The filter of a view.

#include "data/view_filter.h"

#include "script/expression.h"
#include "script/script_parser.h"

ViewFilter::~ViewFilter() {
    delete expression_;
}

bool ViewFilter::Set(ScriptParser* parser, const String& text) {
    delete expression_;
    expression_ = nullptr;
    if (text.trimmed().empty()) return true;
    StringSource source(text);
    ExpressionSyntax syntax = {nullptr, false, false, false, false};
    ExpressionEnd end;
    expression_ = ReadExpression(parser, &source, syntax, &end);
    return expression_ != nullptr;
}

bool ViewFilter::Passes(ScriptParser* parser, bool* ok) {
    *ok = true;
    if (expression_ == nullptr) return true;
    String value;
    if (!expression_->Evaluate(parser, &value)) {
        *ok = false;
        return false;
    }
    return Expression::IsTrue(value);
}
