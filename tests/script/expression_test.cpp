// Expressions: grouping, conversions, every operator, the comparison rule, errors,
// and reading expressions out of tag text.

#include "script/expression.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/test_context.h"

namespace {

struct Case {
    const char* expression;
    const char* expected;
};

void Check(TestContext* c, const Case* cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(cases[i].expression);
        EXPECT_EQ(cases[i].expected, c->Eval(cases[i].expression));
    }
}

}  // namespace

TEST(Expression, PrecedenceAndGrouping) {
    TestContext c;
    const Case cases[] = {
        {"1 + 2 * 3", "7"},
        {"(1 + 2) * 3", "9"},
        {"10 - 2 - 3", "5"},
        {"100 / 10 / 5", "2"},
        {"2 POW 3 * 2", "16"},
        {"2 * 3 POW 2", "18"},
        {"NOT 0 AND 1", "1"},
        {"1 OR 0 AND 0", "0"},
        {"NOT 1 EQ 0", "1"},
        {"1 + 1 EQ 2", "1"},
        {"BITOC 0", "-1"},
        {"BITOC 1 + 1", "-1"},  // BITOC binds as tightly as +: (BITOC 1) + 1
        {"BITOC 1 * 2", "-3"},  // but * binds tighter
        {"not not 5", "1"},
        {"((2))", "2"},
        {"1 + (2 - (3 * (4)))", "-9"},
        {"\"a\" $ \"b\" $ 'c'", "abc"},
        {"5 - -3", "8"},
        {"5 -3", "2"},
        {"-2 * -2", "4"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
}

TEST(Expression, NumberPrintingAndConversion) {
    TestContext c;
    const Case cases[] = {
        {"1 + 2", "3"},           {"10 / 4", "2.5"},      {"100 * 1", "100"},
        {"1 / 3", "0.333333"},    {"0.1 + 0.2", "0.3"},   {"12abc + 1", "13"},
        {"abc + 1", "1"},         {"'  7' + 1", "8"},     {"'1e3' + 0", "1000"},
        {"1e3 + 0", "1000"},      {"1.5e-1 * 10", "1.5"}, {"'0x10' + 0", "0"},
        {"'inf' + 1", "1"},       {"0 * -1", "0"},        {"-0.0000001 + 0", "0"},
        {"007", "007"},           {"'007' + 0", "7"},     {"2 POW 0.5", "1.414214"},
        {"1e300 * 1e300", "inf"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
}

TEST(Expression, TruthValues) {
    struct {
        const char* value;
        bool truth;
    } cases[] = {
        {"", false},     {"0", false}, {"0.0", false}, {"00", false}, {".", false},
        {"000.", false}, {"1", true},  {"abc", true},  {" ", true},   {"-0", true},
        {"0.0.0", true}, {"0x", true}, {"0.01", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(c.truth, Expression::IsTrue(c.value));
    }
    TestContext c;
    const Case ops[] = {
        {"'0.0' OR '00'", "0"},
        {"'0.0.0' AND 'x'", "1"},
        {"NOT '.'", "1"},
        {"NOT ''", "1"},
    };
    Check(&c, ops, sizeof ops / sizeof ops[0]);
}

TEST(Expression, IntegerOperators) {
    TestContext c;
    const Case cases[] = {
        {"-7 MOD 3", "-1"},
        {"7 MOD -3", "1"},
        {"7 MOD 3", "1"},
        {"7.9 MOD 3", "1"},
        {"'-9223372036854775808' MOD -1", "0"},
        {"1 BITSL 33", "2"},
        {"1 BITSL 1", "2"},
        {"-8 BITSR 1", "-4"},
        {"1 BITSL -1", "2147483648"},  // a shift by -1 is a shift by 31
        {"12 BITAND 10", "8"},
        {"12 BITOR 3", "15"},
        {"12 BITXOR 10", "6"},
        {"3.9 BITOR 0", "3"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
}

TEST(Expression, SubstringPositions) {
    TestContext c;
    const Case cases[] = {
        {"b IN abc", "2"},   {"b EIN abc", "2"},        {"bc EIN abcd", "3"}, {"'B' CIN abc", "2"},
        {"'B' IN abc", "0"}, {"'' IN abc", "1"},        {"'' EIN abc", "0"},  {"'' IN ''", "1"},
        {"x IN ''", "0"},    {"'BC' ECIN 'abcd'", "3"}, {"zz IN abc", "0"},   {"ab IN a", "0"},
    };
    // Unquoted words are variables: give them their own names as values.
    for (const char* v : {"a", "b", "bc", "abc", "abcd", "x", "zz", "ab"}) {
        c.engine.vars()->SetVariable(v, v);
    }
    Check(&c, cases, sizeof cases / sizeof cases[0]);
}

TEST(Expression, SubstrRoundFmtCrypt) {
    TestContext c;
    const Case cases[] = {
        {"'abcdef' SUBSTR '2,3'", "bcd"},
        {"'abc' SUBSTR '5,2'", ""},
        {"'abc' SUBSTR 'x'", ""},
        {"'abc' SUBSTR '0,2'", "ab"},
        {"'abc' SUBSTR '2,99'", "bc"},
        {"'abc' SUBSTR '-1,2'", ""},
        {"'abc' SUBSTR '3,4294967295'", "c"},
        {"2 ROUND 2", "2.00"},
        {"2.5 ROUND 0", "2"},
        {"3.14159 ROUND 3", "3.142"},
        {"-0.001 ROUND 2", "0.00"},
        {"42 FMT '%05d'", "00042"},
        {"3.14159 FMT '%.2f'", "3.14"},
        {"'ab' FMT '[%-4s]'", "[ab  ]"},
        {"255 FMT '%X%%'", "FF%"},
        {"65 FMT '%c'", "A"},
        {"-1 FMT '%u'", "18446744073709551615"},
        {"'pw' CRYPT 'ab'", "abzlUXK5ed5rs"},
        {"'pw' CRYPT 'a'", "aa5V9MSdgw5ec"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(512u, c.Eval("1 FMT '%512d'").size());
    EXPECT_EQ("ERROR: Invalid FMT format '%513d'", c.Eval("1 FMT '%513d'"));
}

TEST(Expression, ComparisonRule) {
    TestContext c;
    const Case cases[] = {
        {"10 GT 9", "1"},       {"'10' GT '9x'", "0"},       {"abc LT abd", "1"},
        {"'' EQ 0", "1"},       {"1.50 EQ 1.5", "1"},        {"'1.50' EQ '1.5 '", "0"},
        {"' 1.5' EQ 1.5", "1"}, {"'a' NE 'A'", "1"},         {"2 GE 2", "1"},
        {"2 LE 1", "0"},        {"'1e999' EQ '1e998'", "0"}, {"-1 LT 0", "1"},
        {"'B' LT 'a'", "1"},
    };
    c.engine.vars()->SetVariable("abc", "abc");
    c.engine.vars()->SetVariable("abd", "abd");
    Check(&c, cases, sizeof cases / sizeof cases[0]);
}

TEST(Expression, OperatorAndTokenizerErrors) {
    TestContext c;
    const Case cases[] = {
        {"7 MOD 0", "ERROR: Divide by 0"},
        {"7 / 0", "ERROR: Divide by 0"},
        {"7 / 'x'", "ERROR: Divide by 0"},
        {"'x' CRYPT ''", "ERROR: The CRYPT operator expects a non-empty alphabet"},
        {"1 FMT '%d %d'", "ERROR: Invalid FMT format '%d %d'"},
        {"1 FMT 'none'", "ERROR: Invalid FMT format 'none'"},
        {"1 FMT '%n'", "ERROR: Invalid FMT format '%n'"},
        {"1 FMT '%*d'", "ERROR: Invalid FMT format '%*d'"},
        {"1 FMT '%ld'", "ERROR: Invalid FMT format '%ld'"},
        {"1 FMT '%2222222222222d'", "ERROR: Invalid FMT format '%2222222222222d'"},
        {"1 FMT '%.99999999999f'", "ERROR: Invalid FMT format '%.99999999999f'"},
        {"1 + 'abc", "ERROR: Found end of file in quoted string"},
        {"1 +", "ERROR: Unexpected end of expression"},
        {"", "ERROR: Unexpected end of expression"},
        {"* 2", "ERROR: Expected non-operator, found '*'"},
        {"1 AND AND 2", "ERROR: Expected non-operator, found 'AND'"},
        {"1 2", "ERROR: Expected operator, found '2'"},
        {"(1 + 2", "ERROR: Mismatched parenthesis"},
        {"1 + 2)", "ERROR: Mismatched parenthesis"},
        {")", "ERROR: Mismatched parenthesis"},
        {"ab\"c\"", "ERROR: Unexpected &quot;"},
        {"ab'c'", "ERROR: Unexpected '"},
        {"nosuch(1)", "ERROR: Call to undefined function 'nosuch'"},
        {"twice()", "ERROR: Call to function 'twice' expects 1 parameter, found 0"},
        {"pair(1)", "ERROR: Call to function 'pair' expects 2 parameters, found 1"},
        {"tick(1, 2)", "ERROR: Call to function 'tick' expects 0 parameters, found 2"},
        {"1 + fail()", "ERROR: fail called"},
        {"a = b", "ERROR: Expected operator, found '='"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
    std::string text = "'" + std::string(600, 'x') + "' FMT '%s'";
    EXPECT_EQ("ERROR: The left operand to the FMT operator is limited to 512 characters",
              c.Eval(text.c_str()));
}

TEST(Expression, FunctionsVariablesAndNoShortCircuit) {
    TestContext c;
    c.engine.vars()->SetVariable("price", "10");
    const Case cases[] = {
        {"twice(price)", "1010"},
        {"twice(twice('ab'))", "abababab"},
        {"pair(1 + 1, twice(3))", "2/33"},
        {"PAIR ( 'a' , 'b' )", "ERROR: Expected operator, found '('"},
        {"Pair( 'a' , 'b' )", "a/b"},
        {"price * 1.2", "12"},
        {"g.price + l.price", "20"},
        {"missing $ 'x'", "x"},
    };
    Check(&c, cases, sizeof cases / sizeof cases[0]);
    // Both sides of AND and OR always run.
    c.ticks = 0;
    EXPECT_EQ("0", c.Eval("0 AND tick()"));
    EXPECT_EQ("1", c.Eval("1 OR tick()"));
    EXPECT_EQ(2, c.ticks);
}

TEST(Expression, StoredExpressionsEvaluateAgainAndKeepTheirSource) {
    TestContext c;
    String text("(a + 2) * b GT c AND d $ \"x\\\"y\" EQ e");
    StringSource source(text);
    ExpressionSyntax syntax = {nullptr, false, false, false, false};
    ExpressionEnd end;
    Expression* e = ReadExpression(&c, &source, syntax, &end);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(ExpressionEndOfText, end);
    EXPECT_EQ(String("( a + 2 ) * b GT c AND d $ \"x\\\"y\" EQ e"), e->source());
    Variables* v = c.engine.vars();
    v->SetVariable("a", "1");
    v->SetVariable("b", "4");
    v->SetVariable("c", "11");
    v->SetVariable("d", "q");
    v->SetVariable("e", "qx\"y");
    String result;
    ASSERT_TRUE(e->Evaluate(&c, &result));
    EXPECT_EQ(String("1"), result);
    v->SetVariable("c", "12");
    ASSERT_TRUE(e->Evaluate(&c, &result));
    EXPECT_EQ(String("0"), result);
    // The source text reads back as the same expression.
    String again;
    ASSERT_TRUE(EvaluateExpressionText(&c, e->source(), &again));
    EXPECT_EQ(result, again);
    delete e;
}

namespace {

// Reads one attribute value the way a tag does and reports what is left.
struct TagRead {
    TagRead(TestContext* c, const char* text, bool quoted = false) : rest(text), source(rest) {
        ExpressionSyntax syntax = {">", true, quoted, true, false};
        e = ReadExpression(c, &source, syntax, &end, &terminator);
        if (e) e->Evaluate(c, &value);
        for (int ch = source.GetNextChar(); ch >= 0; ch = source.GetNextChar())
            left += static_cast<char>(ch);
    }
    ~TagRead() { delete e; }
    String rest;
    StringSource source;
    Expression* e = nullptr;
    ExpressionEnd end = ExpressionFailed;
    int terminator = 0;
    String value;
    std::string left;
};

}  // namespace

TEST(Expression, ReadingAttributeValuesOutOfATag) {
    TestContext c;
    c.engine.vars()->SetVariable("price", "10");
    c.engine.vars()->SetVariable("x", "7");
    struct {
        const char* text;
        bool quoted;
        ExpressionEnd end;
        const char* value;
        const char* left;
    } cases[] = {
        {"\"f\">", false, ExpressionTerminated, "f", ""},
        {"x>rest", false, ExpressionTerminated, "7", "rest"},
        {"x EQ \"abc\">", false, ExpressionTerminated, "0", ""},
        {"\"1 + 2\" NAME=y>", false, ExpressionMore, "1 + 2", "NAME=y>"},
        {"price * 1.2 NAME=\"x\">", false, ExpressionMore, "12", "NAME=\"x\">"},
        {"price *\n 2\n>", false, ExpressionTerminated, "20", ""},
        {"(price\n+ 1) NEXT>", false, ExpressionMore, "11", "NEXT>"},
        {"twice(x) VALUE=1>", false, ExpressionMore, "77", "VALUE=1>"},
        {"\"twice('ab') $ x\" NAME=r>", true, ExpressionMore, "abab7", "NAME=r>"},
        {" \"1 + 1\">", true, ExpressionTerminated, "2", ""},
        {"x>", true, ExpressionTerminated, "7", ""},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        TagRead r(&c, k.text, k.quoted);
        ASSERT_NE(nullptr, r.e) << c.errors;
        EXPECT_EQ(k.end, r.end);
        EXPECT_EQ(String(k.value), r.value);
        EXPECT_EQ(k.left, r.left);
        if (k.end == ExpressionTerminated) {
            EXPECT_EQ('>', r.terminator);
        }
    }
}

TEST(Expression, ReadingFromTheScriptReportsTheEndOfFile) {
    TestContext c;
    struct {
        const char* text;
        bool quoted;
        const char* error;
    } cases[] = {
        {"", false, "Unexpected end of file in expression"},
        {"  \n ", false, "Unexpected end of file in expression"},
        {"1 +", false, "Unexpected end of file"},
        {"(1", false, "Unexpected end of file"},
        {"1 + >", false, "Unexpected end of expression"},
        {"(1 >", false, "Mismatched parenthesis"},
        {"\"1 2\">", true, "Expected &quot;, found '2'"},
        {"\"1", true, "Unexpected end of file"},
        {"\"1\"", true, "Unexpected end of file"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        c.errors.clear();
        TagRead r(&c, k.text, k.quoted);
        EXPECT_EQ(nullptr, r.e);
        EXPECT_EQ(k.error, c.errors);
    }
}

namespace {

// Reads text in which the characters between two \x01 marks are outside text, as a
// macro delivers them.
class MarkedSource : public CharacterSource {
  public:
    explicit MarkedSource(const std::string& text) {
        bool outside = false;
        for (char c : text) {
            if (c == '\x01') {
                outside = !outside;
                continue;
            }
            chars_.push_back(c);
            outside_.push_back(outside);
        }
    }
    int GetNextChar() override {
        if (position_ >= chars_.size()) return -1;
        return static_cast<unsigned char>(chars_[position_++]);
    }
    void UnGetChar(int) override { position_--; }
    bool fromoutside() override { return position_ > 0 && outside_[position_ - 1]; }

  private:
    std::string chars_;
    std::vector<bool> outside_;
    size_t position_ = 0;
};

// What one evaluation gives, all of it: the value, what the hint says, whether it is
// outside text, and the errors and warnings reported.
std::string EvaluationRecord(TestContext* c, const Expression* e, bool maydefer) {
    String value("stale");
    NumberHint hint;
    hint.maydefer = maydefer;
    bool outside = true;
    c->errors.clear();
    int ok = e->Evaluate(c, &value, &hint, &outside);
    std::string r = std::to_string(ok) + "|" + value.chars() + "|" + std::to_string(outside);
    if (hint.known) {
        char number[64];
        snprintf(number, sizeof number, "%.17g", hint.number);
        r += std::string("|known ") + number + (hint.whole ? " whole" : "") +
             (hint.deferred ? " deferred" : "");
    }
    String plain;
    ok = e->Evaluate(c, &plain, &outside);
    r += std::string("|") + std::to_string(ok) + "|" + plain.chars() + "|" +
         std::to_string(outside) + "|" + c->errors;
    return r;
}

}  // namespace

// Expressions of numbers and joined text run flat from their second evaluation on:
// generated ones (every arithmetic, comparison and logic operator, joins, constants
// and variables holding numbers at the edges of their formatting, text, nothing,
// outside text) give exactly what their trees give.
TEST(Expression, FlatNumberProgramsMatchTheirTrees) {
    const char* values[] = {"0",
                            "1",
                            "2",
                            "-3",
                            "0.5",
                            "1e15",
                            "999999999999999",
                            "0.1",
                            "-0.0000001",
                            "-0",
                            "12abc",
                            "",
                            "abc",
                            " 7",
                            "1e3",
                            "inf",
                            "1e300",
                            "0.0000005",
                            "-999999999999999",
                            "3.25"};
    const char* operators[] = {"+",  "-",  "*",  "/",   "POW", "EQ", "NE", "LT",
                               "GT", "LE", "GE", "AND", "OR",  "$",  "$"};
    std::mt19937 random(20261210);
    auto pick = [&](int n) { return static_cast<int>(random() % n); };
    const int kValues = sizeof values / sizeof values[0];
    const int kOperators = sizeof operators / sizeof operators[0];
    std::function<std::string(int)> operand = [&](int depth) -> std::string {
        int k = pick(depth > 0 ? 6 : 4);
        if (k == 0) return std::string("'") + values[pick(kValues)] + "'";
        if (k == 1) {
            // Some numbers come from outside text, as a macro in the expression gives them.
            std::string number = std::to_string(pick(5)) + (pick(3) == 0 ? ".5" : "");
            return pick(4) == 0 ? "\x01" + number + "\x01" : number;
        }
        if (k == 2) {
            std::string v = std::string("v") + std::to_string(pick(kValues + 2));
            return pick(5) == 0 ? "NOT " + v : v;
        }
        if (k == 3) return "-" + std::to_string(pick(4)) + (pick(2) == 0 ? ".25" : "");
        if (k == 4)
            return std::string(pick(4) == 0 ? "NOT " : "") + "(" + operand(depth - 1) + " " +
                   operators[pick(kOperators)] + " " + operand(depth - 1) + ")";
        return operand(depth - 1) + " " + operators[pick(kOperators)] + " " + operand(depth - 1);
    };
    int flat = 0;
    for (int round = 0; round < 2000; round++) {
        TestContext c;
        // v0.. hold the values (some as outside text, some as unwritten numbers);
        // the last two names are never assigned.
        for (int i = 0; i < kValues; i++) {
            String name = String("v").catint(i);
            c.engine.vars()->SetVariable(name, values[i], pick(4) == 0);
        }
        c.engine.vars()->SetNumber(Variables::Resolve(String("v").catint(pick(kValues))), 42);
        std::string text = operand(3) + " " + operators[pick(kOperators)] + " " + operand(2);
        if (round % 4 == 2) {
            // One or two operators over constants and variables, as loops mostly have.
            auto op = [&]() { return std::string(" ") + operators[pick(kOperators)] + " "; };
            text = operand(0) + op() + operand(0);
            int form = pick(3);
            if (form == 1) text = "(" + text + ")" + op() + operand(0);
            if (form == 2) text = operand(0) + op() + "(" + text + ")";
        }
        if (round % 4 == 3) {
            // Text joined from constants and variables only.
            text = operand(0);
            for (int k = pick(5); k >= 0; k--) text += " $ " + operand(0);
        }
        SCOPED_TRACE(text);
        MarkedSource in(text);
        ExpressionSyntax syntax = {nullptr, false, false, false, false};
        ExpressionEnd end;
        Expression* e = ReadExpression(&c, &in, syntax, &end);
        ASSERT_NE(nullptr, e) << c.errors;
        bool maydefer = pick(2) == 0;
        Expression::SetFlat(false);
        std::string tree = EvaluationRecord(&c, e, maydefer);
        Expression::SetFlat(true);
        std::string first = EvaluationRecord(&c, e, maydefer);  // made flat here
        std::string again = EvaluationRecord(&c, e, maydefer);
        EXPECT_EQ(tree, first);
        EXPECT_EQ(tree, again);
        if (e->flat()) flat++;
        delete e;
    }
    EXPECT_GT(flat, 800);  // most are expressions of numbers or joined text only
}
