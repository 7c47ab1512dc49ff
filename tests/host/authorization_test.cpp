// The authorization file and the authorization database.

#include "host/authorization.h"

#include <gtest/gtest.h>

#include "data/xbase_table.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

TEST(Authorization, FileBlocksDecideInOrder) {
    const char* text =
        "# who may run scripts\n"
        "<AUTH ACCESS=\"deny\" TYPE=\"login\">\n mallory # not her\n</AUTH>\n"
        "<AUTH ACCESS=allow TYPE=login DATADIR=\"~/kelp data\">\nalice "
        "bob,carol\nmallory\n</AUTH>\n"
        "<AUTH ACCESS=allow TYPE=login>\ndave\n</AUTH>\n"
        "outside\n";
    String error;
    String datadir;
    EXPECT_EQ(AuthorizationAllowed, CheckAuthorizationText(text, "alice", &datadir, &error));
    EXPECT_EQ(String("~/kelp data"), datadir);
    datadir.clear();
    EXPECT_EQ(AuthorizationAllowed, CheckAuthorizationText(text, "dave", &datadir, &error));
    EXPECT_EQ(String(""), datadir);
    EXPECT_EQ(AuthorizationAllowed, CheckAuthorizationText(text, "carol", &datadir, &error));
    EXPECT_EQ(AuthorizationDenied, CheckAuthorizationText(text, "mallory", &datadir, &error));
    EXPECT_EQ(AuthorizationDenied, CheckAuthorizationText(text, "outside", &datadir, &error));
    EXPECT_EQ(AuthorizationDenied, CheckAuthorizationText(text, "ali", &datadir, &error));
    EXPECT_EQ(AuthorizationDenied, CheckAuthorizationText("", "alice", &datadir, &error));

    EXPECT_EQ(AuthorizationError,
              CheckAuthorizationText("<AUTH ACCESS=allow TYPE=group>\nstaff\n</AUTH>", "alice",
                                     &datadir, &error));
    EXPECT_EQ(String("Group mode authorization is not supported in this version of Kelp"), error);
}

TEST(Authorization, DatabaseByUserId) {
    TempDir dir;
    TestKelp engine;
    String error;
    String home;
    EXPECT_EQ(AuthorizationDenied,
              CheckAuthorizationDatabase(engine.filemanager(), dir.path(), 1000, &home, &error));
    {
        List<XBaseFieldSpec> specs(1);
        specs.Insert(new XBaseFieldSpec{"UID", XBaseNumber, 10, 0}, ListTail);
        specs.Insert(new XBaseFieldSpec{"LOGINID", XBaseCharacter, 32, 0}, ListTail);
        specs.Insert(new XBaseFieldSpec{"GROUPID", XBaseNumber, 10, 0}, ListTail);
        specs.Insert(new XBaseFieldSpec{"HOMEDIR", XBaseCharacter, 128, 0}, ListTail);
        XBaseTable table(engine.filemanager());
        ASSERT_TRUE(table.Create(dir.File("auth.dbf"), "auth.dbf", "", "", specs))
            << table.error().chars();
        const char* rows[][4] = {{"1000", "alice", "100", "/home/alice"},
                                 {"1001", "bob", "100", "/home/bob"}};
        for (const auto& row : rows) {
            int i = 0;
            for (XBaseField* f = table.fields().First(); f != nullptr; f = table.fields().Next()) {
                f->Set(String(row[i++]));
            }
            ASSERT_TRUE(table.Append());
        }
        ASSERT_TRUE(table.Goto(2));
        ASSERT_TRUE(table.UpdateDeleted(true));  // bob's record is deleted
    }
    EXPECT_EQ(AuthorizationAllowed,
              CheckAuthorizationDatabase(engine.filemanager(), dir.path(), 1000, &home, &error));
    EXPECT_EQ(String("/home/alice"), home);
    EXPECT_EQ(AuthorizationDenied,
              CheckAuthorizationDatabase(engine.filemanager(), dir.path(), 1001, &home, &error));
    EXPECT_EQ(AuthorizationDenied,
              CheckAuthorizationDatabase(engine.filemanager(), dir.path(), 100, &home, &error));

    dir.Write("auth.dbf", "not a table");
    EXPECT_EQ(AuthorizationError, CheckAuthorizationDatabase(engine.filemanager(), dir.path() + "/",
                                                             1000, &home, &error));
    EXPECT_FALSE(error.empty());
}
