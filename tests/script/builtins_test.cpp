// The built-in functions, evaluated by a real interpreter.

#include "script/builtins.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <set>
#include <string>

#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// An interpreter over an empty script, to evaluate expressions with.
struct Interpreter {
    Interpreter() : source(&engine, 64) {
        source.Open(dir.Write("empty.kp", ""), "empty.kp");
        parser = new ScriptParser(&engine, &source, engine.output());
    }
    ~Interpreter() { delete parser; }

    // The result, or "ERROR: " and the page (the error message).
    std::string Eval(const char* text) {
        String result;
        if (!parser->Evaluate(text, &result)) return std::string("ERROR: ") + engine.page().chars();
        return result.chars();
    }

    TestKelp engine;
    TempDir dir;
    MacroExpander source;
    ScriptParser* parser;
};

struct Case {
    const char* expression;
    const char* expected;
};

void Check(Interpreter* in, const Case* cases, size_t n) {
    for (size_t i = 0; i < n; i++) {
        SCOPED_TRACE(cases[i].expression);
        EXPECT_EQ(cases[i].expected, in->Eval(cases[i].expression));
    }
}

}  // namespace

TEST(Builtins, AllNinetyTwoAreRegisteredWithTheirParameters) {
    Interpreter in;
    EXPECT_EQ(92, in.parser->BuiltinCount());
    Function* f = in.parser->FindFunction("MKTIME_T");
    ASSERT_NE(nullptr, f);
    EXPECT_TRUE(f->builtin());
    EXPECT_EQ(f, in.parser->FindFunction("mktime_t"));  // entered once
    EXPECT_EQ(7, f->parametercount());
    EXPECT_EQ(String("time_zone"), f->Parameters().Last()->name());
    EXPECT_EQ(0, in.parser->FindFunction("makesessionid")->parametercount());
    EXPECT_EQ(nullptr, in.parser->FindFunction("no_such_function"));
}

TEST(Builtins, Strings) {
    Interpreter in;
    const Case cases[] = {
        {"len('abc')", "3"},
        {"len('')", "0"},
        {"substring('abcdef', 2, 3)", "bcd"},
        {"substring('abcdef', 0, 2)", "ab"},
        {"substring('abc', 5, 2)", ""},
        {"substring('abc', 2, 99)", "bc"},
        {"substring('abcdef', 4, 9223372036854775807)", "def"},
        {"substring('abc', 1, -1)", ""},
        // Numbers passed unwritten read as their text would: whole ones exactly,
        // others through their text.
        {"substring('abcdef', 1 + 1, 2 * 2)", "bcde"},
        {"substring('abcdef', 2.9, 1.5 + 0.1)", "b"},
        {"substring('abcdef', 5 - 9, 1e1)", "a"},  // a length's text is read as digits
        {"power(1 + 1, 2 + 1) + abs(0 - 4)", "12"},
        {"toupper('aBc1')", "ABC1"},
        {"tolower('AbC1')", "abc1"},
        {"ltrim('  a b ')", "a b "},
        {"rtrim('  a b   ')", "  a b"},
        {"padl('42', 5, '0')", "00042"},
        {"padl('42', 1, '0')", "42"},
        {"padr('ab', 4, '')", "ab  "},
        {"padr('ab', 4, '-=')", "ab--"},
        {"glosub('a-b-c', '-', '+')", "a+b+c"},
        {"glosub('aaaa', 'aa', 'b')", "bb"},
        {"gettoken('a,b;c', ',;', 2)", "b"},
        {"gettoken('a,,c', ',', 2)", ""},
        {"gettoken('a,,c', ',', 3)", "c"},
        {"gettoken('a,b', ',', 3)", ""},
        {"gettoken('a,b', ',', 0)", ""},
        {"asciivalue('A')", "65"},
        {"asciivalue('')", "0"},
        {"asciichar(97)", "a"},
        {"asciichar(0)", ""},
        {"asciichar(300)", ""},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);
}

TEST(Builtins, CharacterClasses) {
    Interpreter in;
    in.engine.vars()->SetVariable("tab", "\t");
    const Case cases[] = {
        {"isalpha('abcXYZ')", "1"}, {"isalpha('ab1')", "0"},  {"isalpha('')", "0"},
        {"isdigit('0123')", "1"},   {"isdigit('12.5')", "0"}, {"isxdigit('0aF')", "1"},
        {"isalnum('a1')", "1"},     {"isalnum('a 1')", "0"},  {"isupper('AB')", "1"},
        {"islower('ab')", "1"},     {"islower('aB')", "0"},   {"isspace('  ')", "1"},
        {"ispunct('!?')", "1"},     {"isprint('a b')", "1"},  {"isgraph('a b')", "0"},
        {"iscntrl(tab)", "1"},      {"isascii('abc')", "1"},  {"isascii('\xc3\xa9')", "0"},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);
}

TEST(Builtins, Mathematics) {
    Interpreter in;
    const Case cases[] = {
        {"abs(-3.5)", "3.5"},
        {"ceil(1.2)", "2"},
        {"floor(-1.2)", "-2"},
        {"int(-1.7)", "-1"},
        {"int(2.9)", "2"},
        {"sqrt(16)", "4"},
        {"power(2, 10)", "1024"},
        {"fmod(7, 3)", "1"},
        {"exp(0)", "1"},
        {"log(1)", "0"},
        {"log10(1000)", "3"},
        {"sin(0)", "0"},
        {"cos(0)", "1"},
        {"atan2(1, 1) * 4", "3.141592"},
        {"rnd(2.5, 0)", "3"},
        {"rnd(-2.5, 0)", "-3"},
        {"rnd(1.23456, 2)", "1.23"},
        {"rnd(3.14159, 9)", "3.14159"},
        {"tanh(0) + sinh(0) + cosh(0) + tan(0) + asin(0) + acos(1) + atan(0)", "1"},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);
}

TEST(Builtins, TimeFunctions) {
    Interpreter in;
    setenv("TZ", "UTC", 1);
    tzset();
    const Case cases[] = {
        // 2000-02-29 13:14:15 UTC is 951830055, a Tuesday, day 60 of the year.
        {"time_t_year(951830055, 0)", "2000"},
        {"time_t_month(951830055, 0)", "2"},
        {"time_t_dayofmonth(951830055, 0)", "29"},
        {"time_t_hour(951830055, 0)", "13"},
        {"time_t_min(951830055, 0)", "14"},
        {"time_t_sec(951830055, 0)", "15"},
        {"time_t_dayofweek(951830055, 0)", "3"},
        {"time_t_dayofyear(951830055, 0)", "60"},
        {"time_t_hour(951830055, -14)", "23"},
        {"time_t_dayofmonth(951830055, 11)", "1"},
        {"mktime_t(2000, 2, 29, 13, 14, 15, 0)", "951830055"},
        {"mktime_t(2000, 2, 29, 15, 14, 15, 2)", "951830055"},
        {"mktime_t(1970, 1, 1, 0, 0, 0, 0)", "0"},
        {"timezone()", "0"},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);

    VariableTree params(1);
    params.SetVariable("time_t", "0");
    params.SetVariable("time_zone", "2");
    struct tm t = gettm(&params);
    EXPECT_EQ(2, t.tm_hour);
    EXPECT_EQ(1, t.tm_mday);
    EXPECT_EQ(70, t.tm_year);
    params.SetVariable("time_t", "99999999999999999");  // beyond what gmtime can break down
    t = gettm(&params);
    EXPECT_EQ(70, t.tm_year);
}

TEST(Builtins, EncodingsLanguagesAndVariableLists) {
    Interpreter in;
    in.engine.vars()->SetVariable("b", "1");
    in.engine.vars()->SetVariable("a", "2");
    const Case cases[] = {
        {"encodeattribute('a b/c')", "a+b%2Fc"},
        {"decodeattribute('a+b%2Fc')", "a b/c"},
        {"encodeentities('<a&b>')", "&lt;a&amp;b&gt;"},
        {"decodeentities('&lt;x&gt;')", "<x>"},
        {"kelp_setlanguage('de-DE')", "de-DE"},
        {"kelp_setlanguage('')", "de-DE"},
        {"kelp_setdefaultlanguage('fr')", "fr"},
        {"kelp_getvarlist('global')", "A,B"},
        {"kelp_getvarlist('g')", "A,B"},
        {"kelp_getvarlist('nonsense')", ""},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);
    EXPECT_EQ(String("de-DE"), in.engine.script().language());
    EXPECT_EQ(String("fr"), in.engine.script().defaultlanguage());
    EXPECT_EQ("", in.Eval("kelp_package_list()"));  // no package enabled
}

TEST(Builtins, RandomNumbersAndSessionIds) {
    Interpreter in;
    std::set<std::string> seen;
    for (int i = 0; i < 200; i++) {
        std::string r = in.Eval("random(10)");
        int v = atoi(r.c_str());
        ASSERT_GE(v, 0);
        ASSERT_LT(v, 10);
        seen.insert(r);
    }
    EXPECT_EQ(10u, seen.size());
    EXPECT_EQ("0", in.Eval("random(0)"));
    std::string a = in.Eval("makesessionid()"), b = in.Eval("makesessionid()");
    EXPECT_EQ(32u, a.size());
    EXPECT_NE(a, b);
    EXPECT_EQ(std::string::npos, a.find_first_not_of("0123456789ABCDEF"));
    // Two engines started in the same second draw different numbers.
    Interpreter other;
    std::string x, y;
    for (int i = 0; i < 5; i++) {
        x += in.Eval("random(1000000)") + ",";
        y += other.Eval("random(1000000)") + ",";
    }
    EXPECT_NE(x, y);
}

// A pure built-in reads a variable's long text where it stands: the results, and
// whether they are outside text, are those of a copy, also when an argument is a
// call (which could change the variable) or the same variable comes twice.
TEST(Builtins, LongArgumentsReadWhereTheyStand) {
    Interpreter in;
    Variables* vars = in.engine.vars();
    vars->SetVariable("page", "<p>the page's own text, long enough</p>", false);
    vars->SetVariable("visitor", "<script>a visitor's long text</script>", true);
    const Case cases[] = {
        {"len(page)", "39"},
        {"substring(page, 4, 8) $ '|' $ substring(visitor, 9, 9)", "the page|a visitor"},
        {"toupper(substring(page, len(page) - 4, 4))", "H</P"},
        {"len(page) + len(page) + len(visitor)", "116"},
        {"glosub(page, 'page', gettoken(visitor, ' ', 2))",
         "<p>the visitor's's own text, long enough</p>"},
        {"page IN visitor", "0"},
    };
    Check(&in, cases, sizeof cases / sizeof cases[0]);
    for (const char* text : {"substring(page, 1, 30)", "substring(visitor, 1, 30)",
                             "len(page) $ substring(page, len(visitor), 5)"}) {
        String result;
        bool outside = true;
        ASSERT_TRUE(in.parser->Evaluate(text, &result, &outside)) << text;
        EXPECT_EQ(strstr(text, "visitor") != nullptr, outside) << text;
    }
}
