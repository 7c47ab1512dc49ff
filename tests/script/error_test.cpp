// Error messages, default error settings and the handler's display and fatal rules.

#include "script/error.h"

#include <gtest/gtest.h>

#include "script/tag_ids.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

TEST(Error, MessageFormatsAndResultCodes) {
    struct Case {
        const Error& error;
        int code;
        const char* message;
        unsigned level;
    };
    SyntaxError syntax("page.kp", 12, "Unexpected &lt;/KpIF&gt;");
    ExpressionError expression("page.kp", 3, "Division by zero");
    RuntimeError runtime("page.kp", 7, "KpOPEN", "Error opening 'x.dbf'");
    RuntimeError untagged("page.kp", 7, "", "bad");
    TimeoutError timeout("Application");
    FatalError fatal("out of memory");
    ScriptNotFoundError missing("Script '/x.kp' not found");
    ConfigurationError config("admin@example.com", "Invalid maxfiles");
    ConfigurationSyntaxError configsyntax("admin@example.com", 4, "Unknown key 'x'");
    Case cases[] = {
        {syntax, 200, "page.kp: Line 12: Syntax Error: Unexpected &lt;/KpIF&gt;", kSyntaxErrors},
        {expression, 200, "page.kp: Line 3: Expression Error: Division by zero", kExpressionErrors},
        {runtime, 200, "page.kp: Line 7: KpOPEN: Runtime Error: Error opening 'x.dbf'",
         kRuntimeErrors},
        {untagged, 200, "page.kp: Line 7: Runtime Error: bad", kRuntimeErrors},
        {timeout, 200, "Application timed out", 0},
        {fatal, 500, "Fatal Error: out of memory", 0},
        {missing, 404, "Script '/x.kp' not found", 0},
        {config, 500,
         "Configuration Error: Invalid maxfiles<BR>\nPlease contact the server administrator: "
         "admin@example.com",
         0},
        {configsyntax, 500,
         "Syntax error in Configuration File: Line 4: Unknown key 'x'<BR>\nPlease contact the "
         "server administrator: admin@example.com",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.code, c.error.resultcode());
        EXPECT_EQ(String(c.message), c.error.message());
        EXPECT_EQ(c.level, c.error.Level());
    }
}

TEST(ErrorHandler, DefaultSettings) {
    TestKelp engine;
    ErrorHandler h(&engine);
    struct Case {
        const char* what;
        unsigned type;
        bool fatal;
    } cases[] = {
        {"syntax", kSyntaxErrors, true},
        {"expression", kExpressionErrors, true},
        {"timeout", kTimeoutErrors, true},
        {"call depth", kStopErrors, true},
        {"KpOPEN", kRuntimeErrors + TagKpOPEN, false},
        {"KpFILTER", kRuntimeErrors + TagKpFILTER, false},
        {"IMPORT", kRuntimeErrors + TagIMPORT, false},
        {"MAIL", kRuntimeErrors + TagMAIL, false},
        {"KpPOPDELETE", kRuntimeErrors + TagKpPOPDELETE, false},
        {"KpMAKEINDEX", kRuntimeErrors + TagKpMAKEINDEX, true},
        {"KpPRIMARY", kRuntimeErrors + TagKpPRIMARY, true},
        {"KpCALL", kRuntimeErrors + TagKpCALL, true},
        {"KpDO", kRuntimeErrors + TagKpDO, true},
        {"KpEVAL", kRuntimeErrors + TagKpEVAL, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ErrorSettings* s = h.GetErrorSettings(c.type);
        EXPECT_EQ(c.fatal, s->fatal());
        EXPECT_TRUE(s->display());
        EXPECT_EQ(c.type, s->source());
    }
    EXPECT_EQ(kAllErrorClasses, h.erroroutputlevel());
}

TEST(ErrorHandler, FatalErrorsStopAndDisplayedOnesReachThePage) {
    TestKelp engine;
    ErrorHandler h(&engine);
    EXPECT_EQ(0, h.Error(kSyntaxErrors, SyntaxError("p.kp", 1, "bad")));
    EXPECT_EQ(1, h.Error(kRuntimeErrors + TagKpOPEN,
                         RuntimeError("p.kp", 2, "KpOPEN", "Error opening 'x'")));
    EXPECT_EQ(String("Status: 200\r\n\r\n"
                     "p.kp: Line 1: Syntax Error: bad\r\n"
                     "p.kp: Line 2: KpOPEN: Runtime Error: Error opening 'x'\r\n"),
              engine.page());
}

TEST(ErrorHandler, OutputLevelHidesClassesButKeepsThemFatal) {
    TestKelp engine;
    ErrorHandler h(&engine);
    EXPECT_EQ(kAllErrorClasses, h.SetErrorOutputLevel(kRuntimeErrors));
    EXPECT_EQ(0, h.Error(kSyntaxErrors, SyntaxError("p.kp", 1, "hidden")));
    EXPECT_EQ(0, engine.status());  // nothing was written, not even headers
    // Timeouts and call-depth errors carry the always-displayed bit.
    EXPECT_EQ(0, h.Error(kTimeoutErrors, TimeoutError("Application")));
    h.SetErrorOutputLevel(0);
    EXPECT_EQ(0, h.Error(kStopErrors, RuntimeError("p.kp", 9, "KpFUNCTION", "too deep")));
    EXPECT_EQ(String("Status: 200\r\n\r\nApplication timed out\r\n"
                     "p.kp: Line 9: KpFUNCTION: Runtime Error: too deep\r\n"),
              engine.page());
}

TEST(ErrorHandler, PerTypeSettingsAndTheErrorMessageText) {
    TestKelp engine;
    ErrorHandler h(&engine);
    unsigned kpopen = kRuntimeErrors + TagKpOPEN;
    h.SetDisplay(kpopen, false);
    EXPECT_EQ(String(""), h.SetErrorMessage("<b>Sorry</b>"));
    EXPECT_EQ(1, h.Error(kpopen, RuntimeError("p.kp", 1, "KpOPEN", "quiet")));
    h.SetFatal(kpopen, true);
    EXPECT_EQ(0, h.Error(kpopen, RuntimeError("p.kp", 1, "KpOPEN", "quiet")));
    // The message text is written for every error, shown or not.
    EXPECT_EQ(String("Status: 200\r\n\r\n<b>Sorry</b><b>Sorry</b>"), engine.page());

    // A nested handler starts from a copy of these settings.
    ErrorHandler nested(&engine, h);
    EXPECT_TRUE(nested.GetErrorSettings(kpopen)->fatal());
    EXPECT_FALSE(nested.GetErrorSettings(kpopen)->display());
    EXPECT_FALSE(nested.GetErrorSettings(kRuntimeErrors + TagKpSKIP)->fatal());
    EXPECT_EQ(String("<b>Sorry</b>"), nested.errormessage());
}
