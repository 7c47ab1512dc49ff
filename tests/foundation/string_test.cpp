// String: capacity growth, extraction asymmetries, searching, in-place edits, split.

#include "foundation/string.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>

#include <string>

#include "tests/support/print.h"

TEST(String, CapacityStepsOf24) {
    EXPECT_EQ(24, String().capacity());
    EXPECT_EQ(24, String("12345678901234567890123").capacity());   // 23 bytes
    EXPECT_EQ(48, String("123456789012345678901234").capacity());  // 24 bytes
    EXPECT_EQ(24, String().assign('x').capacity());

    String s("12345678901234567890123");
    s.cat('x');  // a full 24-byte buffer grows by exactly one step
    EXPECT_EQ(48, s.capacity());
    EXPECT_EQ(24, s.length());

    String t("ab");
    t.cat("0123456789012345678901234567890123456789", -1);  // 42 bytes -> 48
    EXPECT_EQ(48, t.capacity());
    t.cat("123456", 6);  // 48 bytes need 49 -> 72
    EXPECT_EQ(72, t.capacity());
}

TEST(String, ByteAppendsStayLinearUpTo4096ThenGrowGeometrically) {
    String s;
    int previous = s.capacity();
    int reallocations_above_limit = 0;
    for (int i = 0; i < 1000000; i++) {
        s.cat('a');
        if (s.capacity() != previous) {
            if (previous + String::kStep <= String::kLinearGrowthLimit) {
                EXPECT_EQ(previous + String::kStep, s.capacity()) << "at length " << s.length();
            } else {
                EXPECT_GE(s.capacity(), previous + previous / 2) << "at length " << s.length();
                reallocations_above_limit++;
            }
            previous = s.capacity();
        }
        ASSERT_LT(s.length(), s.capacity());
    }
    EXPECT_EQ(1000000, s.length());
    // 4 KB to 1 MB by factors of 1.5 takes about 14 steps; 24-byte steps would take
    // more than 40000.
    EXPECT_LT(reallocations_above_limit, 20);
    EXPECT_EQ('\0', s.chars()[s.length()]);
}

TEST(String, AssignKeepsEmbeddedNulsAndSelfAliasingWorks) {
    String s("ab\0cd", 5);
    EXPECT_EQ(5, s.length());
    String copy;
    copy = s;
    EXPECT_EQ(5, copy.length());
    EXPECT_EQ('d', copy[4]);

    String t("abc");
    t.cat(t.chars(), t.length());
    EXPECT_EQ(String("abcabc"), t);
    for (int i = 0; i < 5; i++) t.cat(t.chars(), -1);  // forces reallocation mid-append
    EXPECT_EQ(192, t.length());
    t.assign(t.chars() + 3, 3);
    EXPECT_EQ(String("abc"), t);
}

TEST(String, PrependBuildsANewBufferOfFittingCapacity) {
    String s("world");
    s.prepend("hello ");
    EXPECT_EQ(String("hello world"), s);
    EXPECT_EQ(24, s.capacity());
    s.prepend("0123456789012");  // 24 bytes -> 48
    EXPECT_EQ(48, s.capacity());
    s.prepend('>');
    EXPECT_EQ('>', s[0]);
}

TEST(String, MissingSeparatorBeforeIsWholeAfterAndFromAreEmpty) {
    String abc("abc"), ab("a,b");
    EXPECT_EQ(String("abc"), abc.before(','));
    EXPECT_EQ(String(""), abc.after(','));
    EXPECT_EQ(String(""), abc.from(','));
    EXPECT_EQ(String("a"), ab.before(','));
    EXPECT_EQ(String("b"), ab.after(','));
    EXPECT_EQ(String(",b"), ab.from(','));
    EXPECT_EQ(String("abc"), abc.before(""));

    EXPECT_EQ(String("abc"), abc.before(3));
    EXPECT_EQ(String("ab"), abc.before(2));
    EXPECT_EQ(String(""), abc.before(-1));
    EXPECT_EQ(String("c"), abc.after(1));
    EXPECT_EQ(String(""), abc.after(2));
    EXPECT_EQ(String("bc"), abc.from(1));
    EXPECT_EQ(String("c"), abc.from(2));
    EXPECT_EQ(String(""), abc.from(3));
    EXPECT_EQ(String("abc"), abc.after(-1));

    String path("a/b/c");
    EXPECT_EQ(String("c"), path.after("/", 2));
    EXPECT_EQ(String("/c"), path.from("/", 2));
}

TEST(String, AtTakesAnEndPositionNotACount) {
    String abc("abc");
    EXPECT_EQ(String("bc"), abc.at(1, 99));
    EXPECT_EQ(String(""), abc.at(3, 5));
    EXPECT_EQ(String("b"), abc.at(1, 2));
    EXPECT_EQ(String(""), abc.at(2, 1));
}

TEST(String, Matches) {
    struct Case {
        const char* text;
        const char* word;
        int pos;
        bool expected;
    } cases[] = {
        {"GET", "get", 0, true}, {"GETX", "get", 0, false}, {"GE", "get", 0, false},
        {"abc", "", 3, true},    {"abc", "", 0, false},     {"xxAsc", "asc", 2, true},
        {"", "", 0, true},       {"abc", "bc", 4, false},   {"abc", "abc", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(String(c.text) + " / " + c.word);
        EXPECT_EQ(c.expected, String(c.text).matches(c.word, c.pos));
    }
    // A name read from a page may hold NULs: they are part of it, never an end.
    EXPECT_FALSE(String("WHERE\0\0\0", 8).matches("WHERE"));
    EXPECT_FALSE(String("xWHERE\0", 7).matches("where", 1));
    EXPECT_TRUE(String("a\0b", 3).matches("", 3));
    String abc("abc");
    EXPECT_TRUE(abc.matches('c', 2));
    EXPECT_TRUE(abc.matches('\0', 3));  // the terminating NUL
    EXPECT_FALSE(abc.matches('c', 4));
}

TEST(String, SearchFreqAndContains) {
    String s("aaaa");
    EXPECT_EQ(3, s.freq("aa"));
    EXPECT_EQ(0, s.freq(""));
    EXPECT_EQ(1, String("aab").search("ab", 0));
    EXPECT_EQ(-1, String("abc").search("abc", 1));
    EXPECT_EQ(-1, String("ab").search("abc", 0));
    EXPECT_EQ(-1, String("").search("a", 0));
    EXPECT_EQ(-1, String("abc").search("", 0));
    EXPECT_EQ(-1, String("abc").search("c", 3));
    EXPECT_EQ(2, String("abc").index("c"));
    EXPECT_TRUE(String("abc").contains('a', 0));
    EXPECT_FALSE(String("abc").contains('a', 1));
    EXPECT_EQ(-1, String("ABC").search("abc", 0));  // case-sensitive
}

TEST(String, InPlaceEdits) {
    struct Case {
        const char* text;
        void (String::*edit)();
        const char* expected;
    } cases[] = {
        {"a \t\n b ", &String::CompressWhitespace, "a b "},
        {"\n\n a", &String::CompressWhitespace, "\na"},
        {" \t x y \r\n", &String::StripWhitespace, "x y"},
        {"   ", &String::StripWhitespace, ""},
        {" \v x ", &String::StripWhitespace, "\v x"},  // vertical tab is no whitespace
        {"  x ", &String::ltrim, "x "},
        {"aBc1", &String::upcase, "ABC1"},
        {"AbC1", &String::lowcase, "abc1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        String s(c.text);
        (s.*c.edit)();
        EXPECT_EQ(String(c.expected), s);
    }
}

TEST(String, GsubScansLeftToRightWithoutOverlap) {
    String s("aaaa");
    s.gsub("aa", "b");
    EXPECT_EQ(String("bb"), s);
    String t("a.b.c");
    t.gsub(".", nullptr);
    EXPECT_EQ(String("abc"), t);
    String u("abc");
    u.gsub("x", "y");
    EXPECT_EQ(String("abc"), u);
    u.gsub("b", "bbb");  // the replacement is not searched again
    EXPECT_EQ(String("abbbc"), u);
}

TEST(String, PadNeverTruncates) {
    EXPECT_EQ(String("00042"), String("42").padl(5, '0'));
    EXPECT_EQ(String("42"), String("42").padl(1, '0'));
    EXPECT_EQ(String("42   "), String("42").padr(5, ' '));
    EXPECT_EQ(String("12345"), String("12345").padr(3, ' '));
}

TEST(String, Split) {
    String parts[10];
    struct Case {
        const char* text;
        const char* sep;
        int max;
        int count;
        const char* joined;  // the parts joined with '|'
    } cases[] = {
        {"a,,b,", ",", 10, 3, "a||b"},
        {"a,,b,", ",", 2, 2, "a|"},  // text after the last separator used is dropped
        {"", ",", 10, 0, ""},
        {"abc", ",", 10, 1, "abc"},
        {"abc", "", 10, 1, "abc"},
        {"", "", 10, 1, ""},
        {"abc", "", 0, 0, ""},
        {"a::b::c", "::", 10, 3, "a|b|c"},
        {",a", ",", 10, 2, "|a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(String(c.text) + " sep " + c.sep);
        int n = split(String(c.text), parts, c.max, String(c.sep));
        ASSERT_EQ(c.count, n);
        String joined;
        for (int i = 0; i < n; i++) {
            if (i) joined += "|";
            joined += parts[i];
        }
        EXPECT_EQ(String(c.joined), joined);
    }
}

TEST(String, ConcatenationAndNumbers) {
    String s = "Error reading '" + String("x.dbf") + "': " + "gone";
    EXPECT_EQ(String("Error reading 'x.dbf': gone"), s);
    EXPECT_EQ(String("-42"), String::FromInt(-42));
    EXPECT_EQ(String("a7"), String("a").catint(7));
    // Every digit count, both signs, and the extremes.
    long v = 0;
    for (int digits = 1; digits <= 18; digits++) {
        v = v * 10 + digits % 10;
        char expected[32];
        snprintf(expected, sizeof expected, "%ld", v);
        EXPECT_EQ(String(expected), String::FromInt(v));
        snprintf(expected, sizeof expected, "%ld", -v);
        EXPECT_EQ(String(expected), String::FromInt(-v));
    }
    // Either side of every power of ten up to 10^18.
    long power = 1;
    for (int exponent = 0; exponent <= 18; exponent++) {
        for (long w : {power - 1, power, power + 1}) {
            char expected[32];
            snprintf(expected, sizeof expected, "%ld", w);
            EXPECT_EQ(String(expected), String::FromInt(w));
        }
        if (exponent < 18) power *= 10;
    }
    EXPECT_EQ(String("0"), String::FromInt(0));
    EXPECT_EQ(String("100"), String::FromInt(100));
    EXPECT_EQ(String("9223372036854775807"), String::FromInt(LONG_MAX));
    EXPECT_EQ(String("-9223372036854775808"), String::FromInt(LONG_MIN));
}

TEST(String, CopiesKeepTheirOwnBuffers) {
    String long_value(std::string(100, 'x').c_str());
    String copy(long_value);
    String short_value("abc");
    String assigned;
    assigned = short_value;
    short_value.cat("def");
    EXPECT_EQ(String("abc"), assigned);
    assigned = assigned;
    EXPECT_EQ(String("abc"), assigned);
    assigned = long_value;
    EXPECT_EQ(100, assigned.length());
    assigned = short_value;
    EXPECT_EQ(String("abcdef"), assigned);
    EXPECT_EQ(24, assigned.capacity());
    long_value.clear();
    EXPECT_EQ(100, copy.length());
    EXPECT_TRUE(long_value.empty());
}

// Swap: short with short, long with long and the two mixed ways; each side keeps
// working (appends, copies) with what it received.
TEST(String, SwapExchangesShortAndLongValues) {
    std::string hundred(100, 'x'), fifty(50, 'y');
    String a("abc"), b("de");
    a.Swap(&b);
    EXPECT_EQ(String("de"), a);
    EXPECT_EQ(String("abc"), b);
    String l1(hundred.c_str()), l2(fifty.c_str());
    l1.Swap(&l2);
    EXPECT_EQ(50, l1.length());
    EXPECT_EQ(100, l2.length());
    String s("short"), l(hundred.c_str());
    s.Swap(&l);
    EXPECT_EQ(String(hundred.c_str()), s);
    EXPECT_EQ(String("short"), l);
    EXPECT_EQ(24, l.capacity());
    l.cat(fifty.c_str());  // grows out of its inline buffer again
    EXPECT_EQ(55, l.length());
    l.Swap(&s);
    EXPECT_EQ(100, l.length());
    EXPECT_EQ(55, s.length());
    String copy(s);
    EXPECT_EQ(s, copy);
}
