// Parser: events, line counting, comments, attributes, validation, skip mode and
// every scanner error message.

#include "script/parser.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "script/buffer.h"
#include "tests/support/print.h"
#include "tests/support/recording_parser.h"
#include "tests/support/test_engine.h"

TEST(Parser, LineEndsGiveOneEventEachAndOnlyLFCounts) {
    struct Case {
        const char* page;
        const char* log;
        int lines;
    } cases[] = {
        {"a\nb", "T[a]N[\\n]T[b]", 2}, {"a\r\nb", "T[a]N[\\r\\n]T[b]", 2},
        {"a\rb", "T[a]N[\\r]T[b]", 1}, {"\r\r\n\n", "N[\\r]N[\\r\\n]N[\\n]", 3},
        {"x\r", "T[x]N[\\r]", 1},      {"", "", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        Scan s(c.page);
        EXPECT_EQ(1, s.result);
        EXPECT_EQ(c.log, s.parser->log);
        EXPECT_EQ(c.lines, s.parser->line());
    }
}

TEST(Parser, TextUnknownTagsAndComments) {
    struct Case {
        const char* page;
        const char* log;
    } cases[] = {
        {"a<b c>d", "T[a]U[<b c>]T[d]"},
        {"<a href=\"x>y\">z", "U[<a href=\"x>y\">]T[z]"},
        {"<a title='x>y'>z", "U[<a title='x>]T[y'>z]"},
        {"a\\<b", "T[a\\<b]"},
        {"a\\\nb", "T[a\\\\nb]"},
        {"x<##>y", "T[x]T[y]"},
        {"x<##note>y", "T[x]T[y]"},
        {"x<## a\nb ##>y", "T[x]T[y]"},
        {"x<## a ###>y", "T[x]T[y]"},
        {"<!-- a -- b -->c", "U[<!-- a -- b -->]T[c]"},
        {"<!---->c", "U[<!---->]T[c]"},
        {"<!--x>y-->z", "U[<!--x>y-->]T[z]"},
        {"a<KpCOMMENT><KpIF &[x]; <!-- </kpcomment>b", "T[a]T[b]"},
        {"< b>", "U[< b>]"},
        {"< >", "U[< >]"},
        {"a<", "T[a]"},
        {"a<  ", "T[a]"},
        {"<KpSKIP>", "K[KpSKIP]"},
        {"<kpskip/>", "U[<kpskip/>]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        Scan s(c.page);
        EXPECT_EQ(1, s.result) << s.errors();
        EXPECT_EQ(c.log, s.parser->log);
    }
}

TEST(Parser, CommentsCountTheirLines) {
    Scan s("<## one\ntwo\n##><KpSKIP>\n<!--\n--><KpSKIP><KpCOMMENT>\n</KpCOMMENT><KpSKIP>");
    EXPECT_EQ(1, s.result);
    EXPECT_EQ("3 5 6 ", s.parser->lines);
}

TEST(Parser, AttributesOfKnownTags) {
    struct Case {
        const char* page;
        const char* log;
    } cases[] = {
        {"<KpIF a=1 b=\"x y\">", "K[KpIF a=1 b=\"x y\"]"},
        {"<kpif A = 1\n\tB=2>", "K[KpIF A=1 B=2]"},
        {"<KpIF flag other=3>", "K[KpIF flag=flag other=3]"},
        {"<KpIF flag>", "K[KpIF flag=flag]"},
        {"<KpIF a=1/>", "K[KpIF a=1]"},
        {"<KpIF a=\"1/>2\">", "K[KpIF a=\"1/>2\"]"},
        {"<KpIF _x=1 >", "K[KpIF _x=1]"},
        {"<KpIF>", "K[KpIF]"},
        {"<KpSMTP FROM=me>", "K[KpSMTP FROM=me SUBJECT=(no subject)]"},
        {"<KpSMTP from=me subject=hi>", "K[KpSMTP from=me subject=hi]"},
        {"<KpASSIGN NAME=a VALUE=b EXTRA=c>", "K[KpASSIGN NAME=a VALUE=b EXTRA=c]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        Scan s(c.page);
        EXPECT_EQ(1, s.result) << s.errors();
        EXPECT_EQ(c.log, s.parser->log);
    }
}

TEST(Parser, AHandlerStopEndsTheScanSuccessfully) {
    Scan s("a<KpEXIT>b<KpSKIP>");
    EXPECT_EQ(1, s.result);
    EXPECT_EQ("T[a]K[KpEXIT]", s.parser->log);
}

TEST(Parser, ScannerErrorsCarryFileAndLine) {
    struct Case {
        const char* page;
        const char* message;
    } cases[] = {
        {"\n<KpIF", "page.kp: Line 2: Syntax Error: Unexpected end of file in tag"},
        {"<KpIF a=1\n\n", "page.kp: Line 3: Syntax Error: Unexpected end of file in &lt;KpIF&gt;"},
        {"<KpIF a=", "page.kp: Line 1: Syntax Error: Unexpected end of file in &lt;KpIF&gt;"},
        {"<KpIF a=\"1>", "page.kp: Line 1: Syntax Error: Unexpected end of file in &lt;KpIF&gt;"},
        {"<KpIF a", "page.kp: Line 1: Syntax Error: Unexpected end of file in &lt;KpIF&gt;"},
        {"<KpIF\n1a=2>",
         "page.kp: Line 2: Syntax Error: Attribute '1a' begins with a non-alpha character"},
        {"<KpIF =2>",
         "page.kp: Line 1: Syntax Error: Attribute '' begins with a non-alpha character"},
        {"<KpIF a=1/x>", "page.kp: Line 1: Syntax Error: Expected &gt;, found 'x'"},
        {"<KpASSIGN NAME=a>",
         "page.kp: Line 1: Syntax Error: KpASSIGN requires the VALUE attribute to be specified"},
        {"<kpassign>",
         "page.kp: Line 1: Syntax Error: KpASSIGN requires the NAME attribute to be specified"},
        {"<b\nclass=\"x>",
         "page.kp: Line 2: Syntax Error: Unexpected end of file while looking for '&gt;'"},
        {"<!-- x\n->",
         "page.kp: Line 2: Syntax Error: Unexpected end of file while looking for '--&gt;'"},
        {"<## x #>",
         "page.kp: Line 1: Syntax Error: Unexpected end of file while looking for '##&gt;'"},
        {"<KpCOMMENT>\n\n</KpCOMMENT",
         "page.kp: Line 3: Syntax Error: Unexpected end of file while looking for "
         "'&lt;/KpCOMMENT&gt;'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page);
        Scan s(c.page);
        EXPECT_EQ(0, s.result);
        EXPECT_EQ("Status: 200\r\n\r\n" + std::string(c.message) + "\r\n", s.errors());
        EXPECT_EQ(200, s.engine.status());
    }
}

TEST(Parser, BlockSizeNeverChangesTheEvents) {
    // Pages of exactly one block, one byte more, and tags straddling every boundary.
    const char* page = "ab<KpIF x=\"1\">\r\n<p>\\<q</KpIF><## c ##>z\n";
    int n = static_cast<int>(strlen(page));
    Scan whole(page, n, 4096);
    ASSERT_EQ(1, whole.result);
    for (int block = 1; block <= n + 1; block++) {
        SCOPED_TRACE(block);
        Scan s(page, n, block);
        EXPECT_EQ(1, s.result);
        EXPECT_EQ(whole.parser->log, s.parser->log);
        EXPECT_EQ(whole.parser->lines, s.parser->lines);
    }
}

TEST(Parser, LongAttributeAcrossManyBlocks) {
    std::string value(100000, 'v');
    std::string page = "<KpIF a=" + value + " b=2>\n";
    Scan s(page.c_str(), -1, 64);
    EXPECT_EQ(1, s.result);
    EXPECT_EQ("K[KpIF a=" + value + " b=2]N[\\n]", s.parser->log);
}

namespace {

// The targets of a KpIF block: nested KpIF opens, /KpIF closes, KpELSE is a middle tag.
void IfTargets(TagTable* targets) {
    targets->Insert(new Tag("KpIF", 17, 19));
    targets->Insert(new Tag("KpELSE", 18, -1));
    targets->Insert(new Tag("/KpIF", 19, 0));
}

struct Skip {
    explicit Skip(const char* page) : scan(page, -1, 7, false), found("", 0, 0), targets(1) {
        IfTargets(&targets);
    }
    int Next() { return scan.parser->FindTag(&found, &targets); }
    Scan scan;
    Tag found;
    TagTable targets;
};

}  // namespace

TEST(Parser, SkipModeFindsTheMiddleTagOnlyAtDepthZero) {
    Skip s("x<KpIF a=1>y<KpELSE>z</KpIF>\n<KpSKIP rows=\"a>b\"><b>t<KpELSE q=1>w</KpIF>");
    ASSERT_EQ(ScanDone, s.Next());
    EXPECT_EQ(String("KpELSE"), s.found.name());
    EXPECT_EQ(-1, s.found.endid());
    EXPECT_EQ(String("1"), s.found.Value("Q"));
    EXPECT_EQ(2, s.scan.parser->line());
    ASSERT_EQ(ScanDone, s.Next());
    EXPECT_EQ(String("/KpIF"), s.found.name());
    EXPECT_EQ(0, s.found.attributes().Entries());
    EXPECT_EQ(ScanEnd, s.Next());
}

TEST(Parser, SkipModeNestedBlocksAndFailures) {
    Skip s("<KpIF><KpIF></KpIF><KpELSE></KpIF></KpIF>");
    ASSERT_EQ(ScanDone, s.Next());
    EXPECT_EQ(String("/KpIF"), s.found.name());
    EXPECT_EQ(ScanEnd, s.Next());

    Skip broken("<!-- x --><## y ##><KpCOMMENT><KpELSE></KpCOMMENT></KpIF>\n<KpELSE ");
    ASSERT_EQ(ScanDone, broken.Next());
    EXPECT_EQ(String("/KpIF"), broken.found.name());
    EXPECT_EQ(ScanFailure, broken.Next());
    EXPECT_EQ(
        "Status: 200\r\n\r\npage.kp: Line 2: Syntax Error: Unexpected end of file in "
        "&lt;KpELSE&gt;\r\n",
        broken.scan.errors());
}

TEST(Parser, OpenerTemplatesWithAttributesCountOnlyFullOccurrences) {
    // An IMPORT block is nested only when the occurrence names a FILE; a bare
    // <IMPORT STOP> inside does not open anything.
    Scan scan("<IMPORT STOP><IMPORT FILE=a></IMPORT></IMPORT>", -1, 7, false);
    TagTable targets(1);
    Tag* opener = new Tag("IMPORT", 2, 3);
    opener->AddNameValuePair("FILE", "");
    targets.Insert(opener);
    targets.Insert(new Tag("/IMPORT", 3, 0));
    Tag found("", 0, 0);
    ASSERT_EQ(ScanDone, scan.parser->FindTag(&found, &targets));
    EXPECT_EQ(String("/IMPORT"), found.name());
    EXPECT_EQ(ScanEnd, scan.parser->FindTag(&found, &targets));
}

TEST(Parser, FindTextIgnoresCaseAndFindsOverlaps) {
    Scan s("aaAAb tail", -1, 7, false);
    EXPECT_EQ(1, s.parser->FindText("aab", "aab"));
    EXPECT_EQ(' ', s.parser->GetNextChar());
}

TEST(NameValuePair, RemoveQuotes) {
    struct Case {
        const char* value;
        const char* expected;
    } cases[] = {
        {"  \"abc\"  ", "abc"}, {"\"abc", "abc"}, {"abc\"", "abc\""}, {"\"a\\\"b\\\"\"", "a\"b\""},
        {"\"ab\\\"", "ab\""},   {"'x'", "'x'"},   {"\"\"", ""},       {"\"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        NameValuePair p("N", c.value);
        p.RemoveQuotes();
        EXPECT_EQ(String(c.expected), p.value());
    }
}
