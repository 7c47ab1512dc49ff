// The engine's error output: the header block goes out once, with the first error's
// status, before any message.

#include "host/engine.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <set>
#include <string>

#include "host/activity_log.h"
#include "host/config.h"
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

// The time is looked at only when the process's alarm rings: a deadline that comes
// while nothing else happens is noticed, an alarm set for another engine's later
// deadline does not hide an earlier one, and an engine whose deadline has not come
// when the alarm rings for another goes on (and is still told when its own comes).
TEST(Engine, DeadlineAlarmRingsForEveryEngine) {
    TestKelp early, late;
    time_t now = ClockNow().tv_sec;
    early.SetDeadline(now);
    late.SetDeadline(now + 4);
    unsigned long rings = DeadlineAlarm::Rings();
    while (!early.timedout() && ClockNow().tv_sec - now < 4) usleep(1000);
    EXPECT_TRUE(early.timedout());
    EXPECT_NE(rings, DeadlineAlarm::Rings());
    EXPECT_FALSE(late.timedout());
    {
        // An engine that goes away may leave the alarm set for its deadline: when it
        // rings, the engines still alive look at the clock and go on.
        TestKelp gone;
        gone.SetDeadline(now + 1);
    }
    rings = DeadlineAlarm::Rings();
    while (DeadlineAlarm::Rings() == rings && ClockNow().tv_sec - now < 4) usleep(1000);
    EXPECT_NE(rings, DeadlineAlarm::Rings());
    EXPECT_FALSE(late.timedout());
    while (!late.timedout() && ClockNow().tv_sec - now < 8) usleep(1000);
    EXPECT_TRUE(late.timedout());
    EXPECT_GE(ClockNow().tv_sec, now + 5);
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
        std::string id = ScriptContext::MakeSessionID().chars();
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

// An error line for the web server's log stays one line whatever the message
// holds: line breaks (a visitor's among them) and control characters are escaped,
// a message's own "<BR>" joins its parts.
TEST(Engine, ErrorLogLinesStayOneLine) {
    EXPECT_EQ(String("kelp: p.kp: Line 2: Runtime Error: Error opening 'a\\x0ab\\x0d\\x1b[31m'\n"),
              ActivityLog::StandardErrorLine(
                  "p.kp: Line 2: Runtime Error: Error opening 'a\nb\r\x1b[31m'"));
    EXPECT_EQ(String("kelp: Configuration Error: x; Please contact the server administrator: w\n"),
              ActivityLog::StandardErrorLine(
                  "Configuration Error: x<BR>\nPlease contact the server administrator: w"));
}

// Unknown keys and tags are kept as warnings with their lines, inside blocks of
// other hosts too; a data directory inside the script root is one as well.
TEST(Engine, ConfigurationWarnings) {
    UNIXConfig config(nullptr, false);
    ASSERT_EQ(
        0, config.ParseConfiguration("kelproot=/srv/a\ndnslookup=off\nKelpRoot=/srv/b\nlogfil=x\n"
                                     "<VIRTUALHOST nowhere>\nnicee=1\n</VIRTUALHOST>\n<FOO>\n"
                                     "stdmodedatadir=/srv/b/./data"));
    ASSERT_EQ(0, config.ValidateConfiguration());
    ASSERT_EQ(4u, config.warnings().size());
    EXPECT_EQ(4, config.warnings()[0].line);
    EXPECT_EQ(String("unknown configuration key 'logfil'"), config.warnings()[0].text);
    EXPECT_EQ(6, config.warnings()[1].line);
    EXPECT_EQ(String("unknown configuration tag 'FOO'"), config.warnings()[2].text);
    EXPECT_EQ(0, config.warnings()[3].line);
    EXPECT_TRUE(UNIXConfig::Below("/srv/b/", "/srv/b"));
    EXPECT_TRUE(UNIXConfig::Below("/srv/b/./x", "/srv/b/."));
    EXPECT_FALSE(UNIXConfig::Below("/srv/bb", "/srv/b"));
    EXPECT_TRUE(UNIXConfig::Below("/anything", "/"));
}
