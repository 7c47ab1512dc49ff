// ScriptParser: the tag table, attribute reading for handlers, time-outs, settings
// lists and the replay of remembered tags.

#include "script/script_parser.h"

#include <gtest/gtest.h>
#include <time.h>

#include <string>

#include "script/macro_expander.h"
#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// Runs a page with an interpreter whose handlers for EXPORT and KpOPEN record the
// attributes they receive.
struct PageRun {
    explicit PageRun(const char* page, time_t deadline = 0) : source(&engine, 16) {
        source.Open(dir.Write("page.kp", page), "page.kp");
        parser = new ScriptParser(&engine, &source, engine.output());
        parser->SetHandler(TagEXPORT, Capture);
        parser->SetHandler(TagKpOPEN, Capture);
        engine.SetDeadline(deadline);
        captured.clear();
        result = parser->Parse();
    }
    ~PageRun() { delete parser; }

    static int Capture(ScriptState*, Tag* tag) {
        captured += "[" + std::string(tag->name().chars());
        SearchableList<NameValuePair, const char*>& a = tag->attributes();
        for (NameValuePair* p = a.First(); p != nullptr; p = a.Next()) {
            captured += " " + std::string(p->name().chars()) + "=" + p->value().chars();
        }
        captured += "]";
        return StateDone;
    }
    std::string page() { return engine.page().chars(); }

    static std::string captured;
    TestKelp engine;
    TempDir dir;
    MacroExpander source;
    ScriptParser* parser;
    int result;
};
std::string PageRun::captured;

}  // namespace

TEST(ScriptParser, TagTableHasEveryNameAndId) {
    PageRun r("");
    struct {
        const char* name;
        int id;
        int endid;
    } tags[] = {
        {"if", 0, 1},
        {"EVALUATE", 6, 0},
        {"kpevaluate", 26, 0},
        {"KpELSE", 18, 19},
        {"KpFUNCTIONRETURN", 41, 0},
        {"KpLOCALIZED-TEXT", 54, 55},
        {"/KpLOCALIZED-TEXT", 55, 0},
        {"KpFILTER", 76, 0},
        {"KELP", 77, 0},
        {"KpCOMMENT", 46, 47},
        {"KpPOP", 28, 31},
        {"/mail", 10, 0},
    };
    for (const auto& t : tags) {
        SCOPED_TRACE(t.name);
        Tag* found = r.parser->FindTemplate(t.name);
        ASSERT_NE(nullptr, found);
        EXPECT_EQ(t.id, found->id());
        EXPECT_EQ(t.endid, found->endid());
    }
    EXPECT_EQ(nullptr, r.parser->FindTemplate("KpNOSUCHTAG"));
    EXPECT_EQ(nullptr, r.parser->FindTemplate("div"));
    EXPECT_EQ(81, ScriptParser::SupportedTagCount());  // 78 ids, three of them with two names
}

// The rooms declare their own tags: together they must cover every id, each row must
// be found again by its name, a block's end must be declared too, and a tag the base
// dispatch hands down must have no handler that would never run. A second engine
// declares nothing twice.
TEST(ScriptParser, EveryIdIsDeclaredByARoom) {
    TestKelp engine;
    int count = KnownTagCount();
    for (int id = 0; id < TagIdCount; id++) {
        SCOPED_TRACE(id);
        const TagSpec* spec = TagSpecOf(id);
        ASSERT_NE(nullptr, spec);
        EXPECT_EQ(id, spec->id);
        // A name of every row, in any case, passes the shape test that turns HTML away.
        std::string lower(spec->name), upper(spec->name);
        for (char& c : lower) c = static_cast<char>(tolower(c));
        for (char& c : upper) c = static_cast<char>(toupper(c));
        EXPECT_TRUE(MayBeTagName(spec->name) && MayBeTagName(lower.c_str()) &&
                    MayBeTagName(upper.c_str()));
        Tag* t = MakeTagTemplate(spec->name);
        ASSERT_NE(nullptr, t);
        EXPECT_EQ(id, t->id());
        EXPECT_EQ(spec->endid, t->endid());
        delete t;
        if (spec->endid > 0) {
            EXPECT_NE(nullptr, TagSpecOf(spec->endid));
        }
        if (spec->flags & kPassedDown) {
            EXPECT_EQ(nullptr, spec->handler);
        }
    }
    TestKelp another;
    EXPECT_EQ(count, KnownTagCount());
    for (const char* alias : {"evaluate", "/kpcall", "KpFunctionReturn", "kplocalized-text"}) {
        EXPECT_TRUE(MayBeTagName(alias)) << alias;
        Tag* t = MakeTagTemplate(alias);
        EXPECT_NE(nullptr, t) << alias;
        delete t;
    }
    for (const char* html : {"td", "/td", "TABLE", "div", "", "/", "!--"}) {
        EXPECT_FALSE(MayBeTagName(html)) << html;
    }
}

TEST(ScriptParser, AttributesAsHandlersReceiveThem) {
    PageRun r(
        "<KpLET v=\"db\"><KpOPEN NAME=v $ \"1\" DATABASE='orders' INDEXES>"
        "<EXPORT FILE=out ORDER=\"a, b\" c>"
        "<EXPORT ORDER=plain text>");
    EXPECT_EQ(1, r.result) << r.page();
    EXPECT_EQ(
        "[KpOPEN NAME=db1 DATABASE=orders INDEXES=INDEXES TYPE=xbase3]"
        "[EXPORT FILE= ORDER=a, b]"
        "[EXPORT ORDER=plain text]",
        PageRun::captured);
}

TEST(ScriptParser, RememberedTagsReplayWithFreshValues) {
    // The loop body's tags are read once and replayed: values are still evaluated on
    // every pass, defaults still added, and handlers see the same attributes.
    PageRun r(
        "<KpLET i=0><KpWHILE EXPR=i LT 3><KpOPEN NAME=\"n\" $ i DATABASE=i * 10>"
        "<KpLET i=i + 1></KpWHILE>");
    EXPECT_EQ(1, r.result) << r.page();
    EXPECT_EQ(
        "[KpOPEN NAME=n0 DATABASE=0 TYPE=xbase3]"
        "[KpOPEN NAME=n1 DATABASE=10 TYPE=xbase3]"
        "[KpOPEN NAME=n2 DATABASE=20 TYPE=xbase3]",
        PageRun::captured);
}

TEST(ScriptParser, EveryEventChecksTheTimeLimit) {
    const char* pages[] = {"text", "\n", "<p>", "<KpLET x=1>"};
    for (const char* page : pages) {
        SCOPED_TRACE(page);
        PageRun r(page, time(nullptr) - 10);
        EXPECT_EQ(0, r.result);
        EXPECT_EQ("Status: 200\r\n\r\nApplication timed out\r\n", r.page());
    }
    PageRun loop("<KpWHILE EXPR=1>x</KpWHILE>", time(nullptr) + 1);
    EXPECT_EQ(0, loop.result);
    EXPECT_NE(std::string::npos, loop.page().find("Application timed out\r\n"));
    // A loop of assignments whose layout the output level leaves out.
    PageRun quiet(
        "<KELP STANDARDOUTPUTLEVEL=\"html\"><KpWHILE EXPR=1>\n  <KpLET x=x + 1>\n</KpWHILE>",
        time(nullptr) + 1);
    EXPECT_EQ(0, quiet.result);
    EXPECT_NE(std::string::npos, quiet.page().find("Application timed out\r\n"));
}

TEST(ScriptParser, SettingLists) {
    EXPECT_EQ(OutputHtml | OutputText, ScriptParser::StandardOutputLevelValue(" HTML , text "));
    EXPECT_EQ(OutputKelp | OutputCompressWhitespace,
              ScriptParser::StandardOutputLevelValue("kelp,compresswhitespace,bogus"));
    EXPECT_EQ(0, ScriptParser::StandardOutputLevelValue(""));
    EXPECT_EQ(kSyntaxErrors | kRuntimeErrors,
              ScriptParser::ErrorOutputLevelValue("runtime,syntax"));

    PageRun r(
        "<KELP KpOPEN_ERROR=\"nodisplay\" NoSuchTag_ERROR=\"nonfatal\" kpdo_error=\"nonfatal\">");
    EXPECT_EQ(1, r.result);
    ErrorHandler& h = r.parser->errorhandler();
    EXPECT_FALSE(h.GetErrorSettings(kRuntimeErrors + TagKpOPEN)->display());
    EXPECT_FALSE(h.GetErrorSettings(kRuntimeErrors + TagKpOPEN)->fatal());
    EXPECT_FALSE(h.GetErrorSettings(kRuntimeErrors + TagKpDO)->fatal());
}

TEST(ScriptParser, ExitInsideAFunctionEndsThePage) {
    PageRun r("<KpFUNCTION NAME=\"f\">in f<KpEXIT></KpFUNCTION>a<KpEVAL EXPR=f()>b");
    EXPECT_EQ(1, r.result);
    EXPECT_EQ("ain f", r.page());
}
