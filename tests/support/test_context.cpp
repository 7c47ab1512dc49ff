// TestContext.

#include "tests/support/test_context.h"

TestContext::TestContext() : functions(1) {
    Function* f = new Function("twice", 0, 0);
    f->SetParameters("x");
    functions.Insert(f);
    functions.Insert(new Function("tick", 0, 0));
    functions.Insert(new Function("fail", 0, 0));
    f = new Function("pair", 0, 0);
    f->SetParameters("a, b");
    functions.Insert(f);
}

int TestContext::CallFunction(Function* f, VariableTree* arguments, String* result) {
    if (f->name() == "twice") {
        String x = arguments->Find("x")->value();
        *result = x + x;
    } else if (f->name() == "tick") {
        *result = String::FromInt(++ticks);
    } else if (f->name() == "pair") {
        *result = arguments->Find("a")->value() + "/" + arguments->Find("b")->value();
    } else {
        ExpressionError("fail called");
        return 0;
    }
    return 1;
}

void TestContext::ExpressionError(const String& message) {
    if (!errors.empty()) errors += "\n";
    errors += message.chars();
}

std::string TestContext::Eval(const char* text) {
    errors.clear();
    String result;
    if (!EvaluateExpressionText(this, text, &result)) return "ERROR: " + errors;
    return result.chars();
}
