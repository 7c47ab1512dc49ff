// The engine's error output: the header block goes out once, with the first error's
// status, before any message.

#include "host/engine.h"

#include <gtest/gtest.h>

#include "script/error.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

TEST(Engine, FirstErrorSetsTheStatus) {
    TestKelp engine;
    engine.Error(ScriptNotFoundError("Script not found"));
    engine.Error(FatalError("later"));  // headers go out once
    EXPECT_EQ(404, engine.status());
    EXPECT_EQ(String("Status: 404\r\n\r\nScript not found\r\nFatal Error: later\r\n"),
              engine.page());

    TestKelp config;
    config.Error(ConfigurationError("root", "x"));
    EXPECT_EQ(500, config.status());
}

TEST(Engine, DeadlineAndTimeRemaining) {
    TestKelp engine;
    EXPECT_FALSE(engine.timedout());
    EXPECT_EQ(-1, engine.timeremaining());
    engine.SetDeadline(time(nullptr) - 1);
    EXPECT_TRUE(engine.timedout());
    EXPECT_LT(engine.timeremaining(), 0);
    engine.SetDeadline(time(nullptr) + 100);
    EXPECT_FALSE(engine.timedout());
    EXPECT_GT(engine.timeremaining(), 90);
}
