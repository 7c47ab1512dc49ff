// Expression throughput: evaluating a parsed expression again and again (as index
// keys, filters and WHERE clauses do per record), and reading plus evaluating it
// from text each time (as tag attributes are).

#include <benchmark/benchmark.h>

#include "script/expression.h"
#include "tests/support/test_context.h"

namespace {

const char kText[] = "(a + 2) * b GT c AND d $ \"x\" EQ e";

void SetUp(TestContext* c) {
    Variables* v = c->engine.vars();
    v->SetVariable("a", "1");
    v->SetVariable("b", "4");
    v->SetVariable("c", "11");
    v->SetVariable("d", "q");
    v->SetVariable("e", "qx");
}

void BM_EvaluateParsed(benchmark::State& state) {
    TestContext c;
    SetUp(&c);
    String text(kText);
    StringSource source(text);
    ExpressionSyntax syntax = {nullptr, false, false, false, false};
    ExpressionEnd end;
    Expression* e = ReadExpression(&c, &source, syntax, &end);
    String result;
    for (auto _ : state) {
        e->Evaluate(&c, &result);
        benchmark::DoNotOptimize(result.chars());
    }
    if (!(result == "1")) state.SkipWithError("wrong result");
    state.SetItemsProcessed(state.iterations());
    delete e;
}
BENCHMARK(BM_EvaluateParsed);

void BM_ReadAndEvaluate(benchmark::State& state) {
    TestContext c;
    SetUp(&c);
    String text(kText);
    String result;
    for (auto _ : state) {
        EvaluateExpressionText(&c, text, &result);
        benchmark::DoNotOptimize(result.chars());
    }
    if (!(result == "1")) state.SkipWithError("wrong result");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadAndEvaluate);

}  // namespace

BENCHMARK_MAIN();
