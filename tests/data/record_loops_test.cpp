// Loops over records run compiled: a KpSKIP, KpGO or KpFIND straight in a loop's body
// runs in place, and every page writes exactly what the plain interpreter writes.

#include <gtest/gtest.h>

#include <string>

#include "script/expression.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/support/test_engine.h"

namespace {

struct Outcome {
    int result;
    std::string page;
};

// Runs text as page.kp in dir with a fresh engine.
Outcome RunPage(const TempDir& dir, const std::string& text, bool compiling) {
    TestKelp engine;
    engine.configure().datadirectory = dir.path();
    engine.configure().globaltimeout = 0;
    ScriptParser::SetCompiling(compiling);
    Expression::SetFlat(compiling);  // the plain interpretation evaluates trees
    String path = dir.Write("page.kp", text.c_str());
    Outcome r{-1, ""};
    {
        MacroExpander source(&engine, 4096);
        if (source.Open(path, "page.kp")) {
            ScriptParser parser(&engine, &source, engine.output());
            r.result = parser.Parse();
        }
    }
    ScriptParser::SetCompiling(true);
    Expression::SetFlat(true);
    r.page = engine.page().chars();
    return r;
}

const char* const kOpen = "<KpOPEN NAME=\"t\" DATABASE=\"t.dbf\" INDEXES=\"t.kpx\">";

}  // namespace

TEST(RecordLoops, CompiledLoopsOverRecordsWriteWhatTheInterpreterWrites) {
    TempDir dir;
    Outcome made = RunPage(
        dir,
        "<KpCREATE NAME=\"t\" DATABASE=\"t.dbf\" FIELDS=\"k CHAR(6), w NUMBER(4), t CHAR(20)\">"
        "<KpMAKEINDEX NAME=\"t\" INDEXFILE=\"t.kpx\" EXPR=k>"
        "<KpLET i=1><KpWHILE EXPR=i LE 40><KpLET k=\"k\" $ (100 - i)><KpLET w=i>"
        "<KpLET t=\"<KpEVAL EXPR=6\" $ i $ \">\">"
        "<KpADD><KpLET i=i + 1></KpWHILE>",
        true);
    ASSERT_EQ(1, made.result) << made.page;
    const std::string pages[] = {
        // The usual walk from a find, by the index.
        "<KpFIND VALUE=\"k70\"><KpLET n=0><KpWHILE EXPR=n LT 12 AND NOT eof>[&[k] &[w]]\n"
        "<KpLET n=n + 1><KpSKIP></KpWHILE>",
        // Past the end: the error variable, set and cleared pass by pass.
        "<KpGO ROW=bottom><KpLET n=0><KpWHILE EXPR=n LT 4>[&[k] &[KpSKIP_Error] &[eof]]"
        "<KpSKIP><KpLET n=n + 1></KpWHILE>",
        // Rows from a call, and finds and goes whose values change each pass.
        "<KpFUNCTION NAME=two><KpFUNCRETURN VALUE=2></KpFUNCTION><KpGO ROW=top><KpLET n=0>"
        "<KpWHILE EXPR=n LT 6><KpSKIP ROWS=two()>&[k] <KpGO ROW=n * 3 + 1>&[w] "
        "<KpFIND VALUE=\"k\" $ (90 - n) EXACT>&[w]/&[KpFIND_Error] <KpLET n=n + 1></KpWHILE>",
        // Fields assigned numbers and joined text pass by pass.
        "<KpGO ROW=top><KpLET n=0><KpWHILE EXPR=n LT 5><KpLET w=w * 3 + n><KpLET k=k $ n>"
        "[&[w] &[k]]<KpSKIP><KpLET n=n + 1></KpWHILE>",
        // A view that is not open: a runtime error each pass, shown or stopping the page.
        "<KpLET n=0><KpWHILE EXPR=n LT 3><KpSKIP NAME=\"nope\">(&[KpSKIP_Error])<KpLET n=n + 1>"
        "</KpWHILE>",
        "<KELP KpSKIP_ERROR=\"fatal,display\"><KpLET n=0><KpWHILE EXPR=n LT 3>[&[n]]"
        "<KpSKIP NAME=\"nope\"><KpLET n=n + 1></KpWHILE>after",
        // Inside a block, and in a loop in a function: handed back or run in place.
        "<KpGO ROW=top><KpLET n=0><KpWHILE EXPR=n LT 8><KpIF EXPR=n % 2 EQ 0><KpSKIP ROWS=3>"
        "<KpELSE><KpSKIP ROWS=-1></KpIF>&[w],<KpLET n=n + 1></KpWHILE>",
        "<KpFUNCTION NAME=walk from><KpGO ROW=from><KpLET s=\"\"><KpWHILE EXPR=NOT eof>"
        "<KpLET s=s $ w $ \";\"><KpSKIP ROWS=5></KpWHILE><KpFUNCRETURN VALUE=s></KpFUNCTION>"
        "<KpEVAL EXPR=walk(1)>|<KpEVAL EXPR=walk(2)>",
        // A loop left early by its stop tag after the move.
        "<KpGO ROW=top><KpWHILE EXPR=1><KpSKIP>&[w] <KpIF EXPR=w LE 30><KpWHILESTOP></KpIF>"
        "</KpWHILE>done",
    };
    for (const std::string& body : pages) {
        std::string text = kOpen + body;
        SCOPED_TRACE(text);
        Outcome plain = RunPage(dir, text, false);
        Outcome compiled = RunPage(dir, text, true);
        EXPECT_EQ(plain.page, compiled.page);
        EXPECT_EQ(plain.result, compiled.result);
        EXPECT_GT(plain.page.size(), 6u) << plain.page;  // the page got somewhere
    }
    // A table's text that reads as a tag comes back as text, through a reference and
    // through a value joined from it, pass after pass.
    std::string text = std::string(kOpen) +
                       "<KpGO ROW=top><KpLET n=0><KpWHILE EXPR=n LT 5>[&[t]|<KpLET x=t $ \"!\">"
                       "<KpEVAL EXPR=x>]<KpSKIP><KpLET n=n + 1></KpWHILE>";
    Outcome plain = RunPage(dir, text, false);
    Outcome compiled = RunPage(dir, text, true);
    EXPECT_EQ(plain.page, compiled.page);
    EXPECT_NE(std::string::npos, compiled.page.find("KpEVAL EXPR=636")) << compiled.page;
    EXPECT_EQ(std::string::npos, compiled.page.find("[636")) << compiled.page;
}
