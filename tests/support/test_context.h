// TestContext: an expression context over a TestKelp's variables with a small
// function table, recording every expression error.

#ifndef TESTS_SUPPORT_TEST_CONTEXT_H_
#define TESTS_SUPPORT_TEST_CONTEXT_H_

#include <string>

#include "script/expression.h"
#include "script/function.h"
#include "tests/support/test_engine.h"

// Functions: twice(x) gives x$x; tick() counts its calls and gives the count;
// fail() reports "fail called" and fails.
class TestContext : public ExpressionContext {
  public:
    TestContext();

    Variables* variables() override { return engine.vars(); }
    Function* FindFunction(const String& name) override { return functions.Find(name.chars()); }
    int CallFunction(Function* f, VariableTree* arguments, String* result) override;
    void ExpressionError(const String& message) override;

    // Evaluates text; the result, or "ERROR: " and the first error message.
    std::string Eval(const char* text);

    TestKelp engine;
    FunctionTable functions;
    std::string errors;
    int ticks = 0;
};

#endif  // TESTS_SUPPORT_TEST_CONTEXT_H_
