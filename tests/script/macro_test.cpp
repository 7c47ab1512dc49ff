// MacroExpander and the text encoders.

#include <gtest/gtest.h>

#include <string>

#include "script/encoding.h"
#include "script/macro_expander.h"
#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/recording_parser.h"
#include "tests/support/test_context.h"
#include "tests/support/test_engine.h"

namespace {

// Expands a page with the page-made variables name = "a<b", empty = "", lines =
// "x\ny", tag = "<KpSKIP>", and the same text from outside the page in visitor =
// "<KpSKIP>", and returns the event log.
struct MacroScan {
    explicit MacroScan(const char* page, MacroEncoding encoding = MacroEncodingNone, int block = 5)
        : scan(page, -1, block, false) {
        Variables* v = scan.engine.vars();
        v->SetVariable("name", "a<b", false);
        v->SetVariable("empty", "", false);
        v->SetVariable("lines", "x\ny", false);
        v->SetVariable("tag", "<KpSKIP>", false);
        v->SetVariable("visitor", "<KpSKIP>");
        scan.engine.script().SetDefaultMacroEncoding(encoding);
        result = scan.parser->Parse();
    }
    const std::string& log() { return scan.parser->log; }
    Scan scan;
    int result;
};

std::string ReadAll(MacroExpander* m) {
    std::string s;
    for (int c = m->GetNextChar(); c >= 0; c = m->GetNextChar()) s += static_cast<char>(c);
    return s;
}

}  // namespace

TEST(MacroExpander, ReferencesAndEncodings) {
    struct {
        const char* page;
        MacroEncoding encoding;
        const char* log;
    } cases[] = {
        {"&[name:entities];", MacroEncodingNone, "T[a&lt;b]"},
        {"&[name:attribute];", MacroEncodingNone, "T[a%3Cb]"},
        {"&[name:none];>", MacroEncodingEntities, "T[a]U[<b>]"},
        {"&[name];", MacroEncodingEntities, "T[a&lt;b]"},
        {"&[ name ]x", MacroEncodingEntities, "T[a&lt;bx]"},
        {"&[Name:ENTITIES ];", MacroEncodingNone, "T[a&lt;b]"},
        {"&[name:bogus];", MacroEncodingAttribute, "T[a%3Cb]"},
        {"&amp;[name:entities];", MacroEncodingNone, "T[a&lt;b]"},
        {"&AMP;[name:entities];", MacroEncodingNone, "T[a&lt;b]"},
        {"&amp;x &amp &a", MacroEncodingNone, "T[&amp;x &amp &a]"},
        {"a&[missing];b&[empty]c", MacroEncodingNone, "T[abc]"},
        {"a&[name", MacroEncodingEntities, "T[a]"},
        {"a&", MacroEncodingNone, "T[a&]"},
        {"x&[tag];y", MacroEncodingNone, "T[x]K[KpSKIP]T[y]"},
        {"x&[visitor];y", MacroEncodingNone, "T[x<KpSKIP>y]"},
        {"x&[visitor:entities];y", MacroEncodingNone, "T[x&lt;KpSKIP&gt;y]"},
        {"<KpSKIP ROWS=\"&[name:attribute];\">", MacroEncodingNone, "K[KpSKIP ROWS=\"a%3Cb\"]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        MacroScan s(c.page, c.encoding);
        EXPECT_EQ(1, s.result) << s.scan.errors();
        EXPECT_EQ(c.log, s.log());
    }
}

TEST(MacroExpander, ValuesCountNoLinesAndExpansionCanBeOff) {
    MacroScan s("&[lines];\n<KpSKIP>");
    EXPECT_EQ("T[x]N[\\n]T[y]N[\\n]K[KpSKIP]", s.log());
    EXPECT_EQ("2 ", s.scan.parser->lines);  // only the file's own line feed counts

    Scan off("&[name];<KpSKIP>", -1, 4, false);
    off.engine.vars()->SetVariable("name", "v");
    off.source.SetExpandMacros(0);
    off.parser->Parse();
    EXPECT_EQ("T[&[name];]K[KpSKIP]", off.parser->log);
}

TEST(MacroExpander, PushBackAcrossAMacroReExpandsTheReference) {
    TestKelp engine;
    TempDir dir;
    engine.vars()->SetVariable("v", "XYZ");
    String path = dir.Write("p", "ab&[v];cd");
    MacroExpander m(&engine, 3);
    ASSERT_TRUE(m.Open(path, "p"));
    EXPECT_EQ('a', m.GetNextChar());
    EXPECT_EQ('b', m.GetNextChar());
    EXPECT_EQ(2, m.CurrentFilePosition());
    EXPECT_EQ('X', m.GetNextChar());
    EXPECT_TRUE(m.inmacro());
    EXPECT_EQ(2, m.CurrentFilePosition());  // before the reference
    EXPECT_EQ('Y', m.GetNextChar());
    m.UnGetChar();
    EXPECT_EQ('Y', m.GetNextChar());
    m.UnGetChar();
    m.UnGetChar();  // over the first character: the whole reference goes back
    EXPECT_FALSE(m.inmacro());
    EXPECT_EQ(2, m.CurrentFilePosition());
    engine.vars()->SetVariable("v", "Q");  // and is looked up again
    EXPECT_EQ("Qcd", ReadAll(&m));

    // A remembered position re-expands the reference.
    ASSERT_TRUE(m.Seek(2));
    EXPECT_EQ("Qcd", ReadAll(&m));
    ASSERT_TRUE(m.Seek(0));
    EXPECT_EQ("abQcd", ReadAll(&m));
}

TEST(MacroExpander, NotAReferencePutsEverythingBack) {
    TestKelp engine;
    TempDir dir;
    String path = dir.Write("p", "&amp;x&ampy&amp;&[&;");
    MacroExpander m(&engine, 2);
    ASSERT_TRUE(m.Open(path, "p"));
    EXPECT_EQ("&amp;x&ampy&amp;", ReadAll(&m));  // the final "&[&;" is cut off: nothing
}

TEST(Encoding, AttributeAndEntityEncoders) {
    struct {
        void (*code)(String*);
        const char* in;
        const char* out;
    } cases[] = {
        {EncodeAttribute, "a b/c", "a+b%2Fc"},
        {EncodeAttribute, "x-_.*@\t~`!#$%^&()+={}[]|\\:;\"'<>,?/",
         "x-_.*@\t%7E%60%21%23%24%25%5E%26%28%29%2B%3D%7B%7D%5B%5D%7C%5C%3A%3B%22%27%3C%3E%2C%3F%"
         "2F"},
        {EncodeAttribute, "\xe9", "%E9"},
        {DecodeAttribute, "a+b%2Fc%2f", "a b/c/"},
        {DecodeAttribute, "100%", "100%"},
        {DecodeAttribute, "x%4", "x%4"},
        {DecodeAttribute, "%zz%41", "%zzA"},
        {EncodeEntities, "<a href=\"x\">&'", "&lt;a href=&quot;x&quot;&gt;&amp;&#39;"},
        {EncodeEntities, "plain text", "plain text"},
        {EncodeEntities, "a<<b>", "a&lt;&lt;b&gt;"},
        {EncodeEntities, "x & y", "x &amp; y"},
        {DecodeEntities, "&lt;&GT;&quot;&amp;&AMP;", "<>\"&&"},
        {DecodeEntities, "&nbsp;x", "nbspx"},
        {DecodeEntities, "a & b", "a & b"},
        {DecodeEntities, "tail&amp", "tail&amp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        String s(c.in);
        c.code(&s);
        EXPECT_EQ(String(c.out), s);
    }
    // The entities for page text leave the apostrophe; the text's bytes after a NUL
    // are encoded as well.
    String nul("a\0<'", 4);
    EXPECT_EQ(String("a\0&lt;'", 7), Entities(nul));
    EXPECT_EQ(String("%0A"), HexValue('\n'));
    EXPECT_EQ(String("%FF"), HexValue(0xFF));
    // Round trips.
    String all;
    for (int i = 1; i < 256; i++) all.cat(static_cast<char>(i));
    String copy(all);
    EncodeAttribute(&copy);
    DecodeAttribute(&copy);
    EXPECT_EQ(all, copy);
    EncodeEntities(&copy);
    DecodeEntities(&copy);
    EXPECT_EQ(all, copy);
}

TEST(MacroExpander, ExpressionsReadFromTheScriptExpandMacrosAndCountLines) {
    // A tag's attribute text: the macro becomes part of the expression's source.
    Scan s("price *\n &[factor]; NEXT=1>", -1, 4, false);
    TestContext context;
    context.engine.vars()->SetVariable("price", "10");
    s.engine.vars()->SetVariable("factor", "1.5 + 1", false);
    ExpressionSyntax syntax = {">", true, false, true, false};
    ExpressionEnd end;
    s.source.Seek(0);
    Expression* e = ReadExpression(&context, s.parser, syntax, &end);
    ASSERT_NE(nullptr, e) << context.errors;
    EXPECT_EQ(ExpressionMore, end);
    EXPECT_EQ(String("price * 1.5 + 1"), e->source());
    String value;
    ASSERT_TRUE(e->Evaluate(&context, &value));
    EXPECT_EQ(String("16"), value);
    EXPECT_EQ(2, s.parser->line());
    // The next attribute's name was left in place.
    std::string rest;
    for (int c = s.parser->GetNextChar(); c >= 0; c = s.parser->GetNextChar()) rest += (char)c;
    EXPECT_EQ("NEXT=1>", rest);
    delete e;
}

// Outside text: values that did not come from the page (request input, files,
// tables) reach the scanner as plain text whatever they hold.
TEST(MacroExpander, OutsideTextIsNeverMarkup) {
    struct {
        const char* page;
        const char* value;
        const char* log;
    } cases[] = {
        {"a&[v]b", "<KpSKIP ROWS=2>", "T[a<KpSKIP ROWS=2>b]"},
        // A backslash at the end of the value does not escape the page's own tag.
        {"&[v]<KpSKIP>", "x\\", "T[x\\]K[KpSKIP]"},
        // Quotes in an unknown tag's attribute do not swallow the page's next tag.
        {"<a title=\"&[v]\">t<KpSKIP>", "\"", "U[<a title=\"\"\">]T[t]K[KpSKIP]"},
        // Comment ends in the value do not end the page's comments early.
        {"<!-- &[v] <KpSKIP> -->", "-->", "U[<!-- --> <KpSKIP> -->]"},
        {"<KpCOMMENT>&[v]<KpSKIP></KpCOMMENT>z", "</KpCOMMENT>", "T[z]"},
        {"<## &[v] <KpSKIP> ##>z", "##>", "T[z]"},
        // A tag name made of outside text is no tag.
        {"<&[v] ROWS=1>", "KpSKIP", "U[<KpSKIP ROWS=1>]"},
        {"<Kp&[v]>", "SKIP", "U[<KpSKIP>]"},
        // In skip mode the value cannot close the block.
        {"<KpIF>&[v]<KpSKIP></KpIF>", "</KpIF>", "K[KpIF]T[</KpIF>]K[KpSKIP]K[/KpIF]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.page);
        Scan scan(c.page, -1, 5, false);
        scan.engine.vars()->SetVariable("v", c.value);
        EXPECT_EQ(1, scan.parser->Parse()) << scan.errors();
        EXPECT_EQ(c.log, scan.parser->log);
    }
    // Nor can it name an attribute of its own.
    Scan named("<KpSKIP &[v]=1>", -1, 5, false);
    named.engine.vars()->SetVariable("v", "ROWS");
    EXPECT_EQ(0, named.parser->Parse());
    EXPECT_NE(std::string::npos, named.errors().find("comes from outside the page"));
}

TEST(MacroExpander, OutsideTextInAnExpressionIsOneLiteralValue) {
    struct {
        const char* attribute;
        const char* value;
        const char* result;  // the value, or "!" and the start of the error
    } cases[] = {
        // Unquoted: the whole value is one string constant.
        {"&[v]>", "1 + 1", "1 + 1"},
        {"&[v]>", " x OR fdelete(\"y\")", " x OR fdelete(\"y\")"},
        {"&[v] $ \"!\">", "a\" $ \"b", "a\" $ \"b!"},
        {"2 * &[v]>", "3 + 4", "6"},
        // Quoted: quotes and backslashes in the value are its own characters.
        {"\"<&[v]>\">", "\" OR fexists(\"x\") OR \"", "<\" OR fexists(\"x\") OR \">"},
        {"\"&[v]\">", "\\", "\\"},
        {"\"&[v]\">", "x\\\"", "x\\\""},
        // Never part of a name, nor the next attribute, nor the tag's end.
        {"price&[v]>", "_secret", "!Expected operator"},
        {"1 &[v]>", "NEXT=1", "!Expected operator"},
        {"1&[v]", ">", "!"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.attribute);
        Scan s(c.attribute, -1, 4, false);
        TestContext context;
        context.engine.vars()->SetVariable("price", "10", false);
        s.engine.vars()->SetVariable("v", c.value);
        ExpressionSyntax syntax = {">", true, false, true, false};
        ExpressionEnd end;
        s.source.Seek(0);
        Expression* e = ReadExpression(&context, s.parser, syntax, &end);
        if (c.result[0] == '!') {
            EXPECT_EQ(nullptr, e);
            EXPECT_NE(std::string::npos, context.errors.find(c.result + 1)) << context.errors;
            delete e;
            continue;
        }
        ASSERT_NE(nullptr, e) << context.errors;
        String value;
        bool outside = false;
        ASSERT_TRUE(e->Evaluate(&context, &value, &outside));
        EXPECT_EQ(String(c.result), value);
        EXPECT_TRUE(outside);
        delete e;
    }
}
