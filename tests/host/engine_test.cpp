// The engine's error output: the header block goes out once, with the first error's
// status, before any message.

#include "host/engine.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

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

// Caller ids guard sessions: 10,000 of them repeat nothing, hold neither the clock
// nor the process id, and each of their 128 bits is set about half the time (a
// counter or a clock would leave high bits fixed).
TEST(Engine, SessionIdsAreUnpredictable) {
    TestKelp engine;
    std::set<std::string> seen;
    int ones[128] = {};
    char now[16], pid[16];
    snprintf(now, sizeof now, "%08X", static_cast<unsigned>(time(nullptr)));
    snprintf(pid, sizeof pid, "%08X", static_cast<unsigned>(getpid()));
    const int kIds = 10000;
    int withclock = 0;
    for (int i = 0; i < kIds; i++) {
        std::string id = engine.MakeSessionID().chars();
        ASSERT_EQ(32u, id.size());
        ASSERT_EQ(std::string::npos, id.find_first_not_of("0123456789ABCDEF")) << id;
        EXPECT_TRUE(seen.insert(id).second) << "repeated: " << id;
        if (id.find(std::string(now, 6)) != std::string::npos) withclock++;
        EXPECT_EQ(std::string::npos, id.find(pid)) << id;
        for (int b = 0; b < 128; b++) {
            int digit = id[b / 4] <= '9' ? id[b / 4] - '0' : id[b / 4] - 'A' + 10;
            ones[b] += (digit >> (3 - b % 4)) & 1;
        }
    }
    // Six digits of the clock turn up by chance in about 27 per 16^6 positions.
    EXPECT_LT(withclock, 10);
    for (int b = 0; b < 128; b++) {
        EXPECT_GT(ones[b], kIds * 45 / 100) << "bit " << b;
        EXPECT_LT(ones[b], kIds * 55 / 100) << "bit " << b;
    }
}
