// Statements with bound values, and the sqlite driver under them.

#include "data/sql_database.h"

#include <gtest/gtest.h>

#include "data/sql_drivers.h"
#include "script/variables.h"
#include "tests/support/test_engine.h"

namespace {

// Numbers its placeholders as PostgreSQL does.
class NumberedConnection : public SqlConnection {
  public:
    bool Run(const SqlStatement&, SqlRows*, String*) override { return false; }
    String Placeholder(int n) const override {
        String p("$");
        p.catint(n);
        return p;
    }
    bool Describe(const SqlStatement&, SqlOrigin*, String*) override { return false; }
};

TEST(SqlQuery, NamesBecomePlaceholdersOnlyOutsideQuotesAndComments) {
    TestKelp engine;
    engine.vars()->SetVariable("x", "one");
    engine.vars()->SetVariable("y", "it's");
    NumberedConnection c;
    struct Case {
        const char* query;
        const char* text;
        int values;
    } cases[] = {
        {"SELECT a FROM t WHERE a = :x AND b = :y", "SELECT a FROM t WHERE a = $1 AND b = $2", 2},
        {"SELECT ':x', \":x\", :x", "SELECT ':x', \":x\", $1", 1},
        {"SELECT 'it''s :x' || :y", "SELECT 'it''s :x' || $1", 1},
        {"SELECT :x -- and :y\n, 2", "SELECT $1 -- and :y\n, 2", 1},
        {"SELECT /* :y */ :x", "SELECT /* :y */ $1", 1},
        {"SELECT :x::text, a::int", "SELECT $1::text, a::int", 1},
        {"SELECT $$ :x $$, $q$ :y $q$, :y", "SELECT $$ :x $$, $q$ :y $q$, $1", 1},
        {"SELECT $1, :x:", "SELECT $1, $1:", 1},
        {"SELECT 'unclosed :x", "SELECT 'unclosed :x", 0},
        {"SELECT :x.", "SELECT $1.", 1},
    };
    for (const Case& k : cases) {
        SqlStatement s;
        String error;
        ASSERT_TRUE(BindQuery(&c, engine.vars(), k.query, &s, &error)) << k.query << error.chars();
        EXPECT_STREQ(s.text.chars(), k.text) << k.query;
        EXPECT_EQ(static_cast<int>(s.values.size()), k.values) << k.query;
    }
    SqlStatement s;
    String error;
    ASSERT_TRUE(BindQuery(&c, engine.vars(), "SELECT :y, :x, :y", &s, &error));
    ASSERT_EQ(s.values.size(), 3u);
    EXPECT_STREQ(s.values[0].text.chars(), "it's");
    EXPECT_STREQ(s.values[1].text.chars(), "one");
    EXPECT_FALSE(s.values[2].null);
    EXPECT_FALSE(BindQuery(&c, engine.vars(), "SELECT :x, :nosuch", &s, &error));
    EXPECT_STREQ(error.chars(), "The query names ':nosuch', which is no variable");
}

TEST(SqlQuery, OnlyPlainWholeNumbersAreBoundAsNumbers) {
    long long v = 1;
    EXPECT_TRUE(PlainWholeNumber("0", &v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(PlainWholeNumber("-42", &v));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(PlainWholeNumber("999999999999999999", &v));
    EXPECT_EQ(v, 999999999999999999LL);
    for (const char* text :
         {"", "-", "007", "-0", "+1", "1e3", "1.0", " 1", "1 ", "9999999999999999999", "12a"}) {
        EXPECT_FALSE(PlainWholeNumber(text, &v)) << text;
    }
}

class SqliteDriver : public ::testing::Test {
  protected:
    void SetUp() override { engine_.configure().datadirectory = dir_.path(); }
    SqlConnection* Open(bool create) {
        String error;
        SqlConnection* c = OpenSqlite(&engine_, "t.db", create, &error);
        EXPECT_TRUE(c != nullptr || !create) << error.chars();
        return c;
    }
    bool Run(SqlConnection* c, const char* text, SqlRows* rows) {
        SqlStatement s;
        s.text = text;
        String error;
        bool ok = c->Run(s, rows, &error);
        if (!ok) last_ = error;
        return ok;
    }

    TempDir dir_;
    TestKelp engine_;
    String last_;
};

TEST_F(SqliteDriver, ValuesComeBackAsTextWithNullTold) {
    String error;
    EXPECT_EQ(OpenSqlite(&engine_, "t.db", false, &error), nullptr);
    EXPECT_NE(error.search("cannot be opened"), -1) << error.chars();
    EXPECT_EQ(OpenSqlite(&engine_, "../t.db", true, &error), nullptr);
    EXPECT_NE(error.search("is not contained"), -1) << error.chars();

    SqlConnection* c = Open(true);
    ASSERT_NE(c, nullptr);
    SqlRows rows;
    ASSERT_TRUE(Run(c, "CREATE TABLE t (id INTEGER PRIMARY KEY, s TEXT, r REAL, b BLOB)", &rows));
    SqlStatement insert;
    insert.text = "INSERT INTO t (s, r, b) VALUES (?1, ?2, ?3)";
    SqlValue text, real, bytes;
    text.text = "007";  // stays text: leading zeros
    text.null = false;
    real.text = "2.50";
    real.null = false;
    bytes.text.assign("a\0b", 3);
    bytes.null = false;
    insert.values = {text, real, bytes};
    ASSERT_TRUE(c->Run(insert, &rows, &error)) << error.chars();
    insert.values = {SqlValue(), SqlValue(), SqlValue()};
    ASSERT_TRUE(c->Run(insert, &rows, &error)) << error.chars();
    ASSERT_TRUE(Run(c, "SELECT id, s, r, b, typeof(s) AS ts FROM t ORDER BY id", &rows));
    ASSERT_EQ(rows.rows(), 2);
    ASSERT_EQ(rows.columns(), 5);
    EXPECT_STREQ(rows.names[4].chars(), "ts");
    EXPECT_STREQ(rows.at(0, 0).text.chars(), "1");
    EXPECT_STREQ(rows.at(0, 1).text.chars(), "007");
    EXPECT_STREQ(rows.at(0, 2).text.chars(), "2.5");
    EXPECT_EQ(rows.at(0, 3).text.length(), 3);
    EXPECT_STREQ(rows.at(0, 4).text.chars(), "text");
    EXPECT_TRUE(rows.at(1, 1).null);
    EXPECT_TRUE(rows.at(1, 1).text.empty());
    EXPECT_FALSE(rows.at(0, 1).null);

    EXPECT_FALSE(Run(c, "SELECT 1; SELECT 2", &rows));
    EXPECT_STREQ(last_.chars(), "A query holds one statement");
    EXPECT_FALSE(Run(c, "ATTACH DATABASE 'x.db' AS x", &rows));
    EXPECT_FALSE(Run(c, "VACUUM INTO 'copy.db'", &rows));
    delete c;
}

TEST_F(SqliteDriver, AViewKnowsItsTableAndKeyOnlyWhenItHasThem) {
    SqlConnection* c = Open(true);
    ASSERT_NE(c, nullptr);
    SqlRows rows;
    ASSERT_TRUE(Run(c, "CREATE TABLE a (x TEXT, y TEXT, PRIMARY KEY (y, x))", &rows));
    ASSERT_TRUE(Run(c, "CREATE TABLE b (id INTEGER PRIMARY KEY, x TEXT)", &rows));
    ASSERT_TRUE(Run(c, "CREATE TABLE \"we\"\"ird\" (k TEXT)", &rows));
    struct Case {
        const char* query;
        bool one;
        const char* table;
        const char* columns;  // quoted names, "-" for computed ones
        const char* key;      // result columns of the key, in key order
    } cases[] = {
        {"SELECT x, y, length(x) AS n FROM a", true, "\"a\"", "\"x\" \"y\" -", "1 0"},
        {"SELECT x FROM a", true, "\"a\"", "\"x\"", ""},
        {"SELECT x AS shown, id FROM b", true, "\"b\"", "\"x\" \"id\"", "1"},
        {"SELECT k FROM \"we\"\"ird\"", true, "\"we\"\"ird\"", "\"k\"", ""},
        {"SELECT a.x, b.id FROM a JOIN b ON a.x = b.x", false, "", "", ""},
        {"SELECT count(*) AS n FROM b", false, "", "", ""},
    };
    for (const Case& k : cases) {
        SqlStatement s;
        s.text = k.query;
        SqlOrigin o;
        String error;
        bool one = c->Describe(s, &o, &error);
        EXPECT_EQ(one, k.one) << k.query;
        if (!one) continue;
        EXPECT_STREQ(o.table.chars(), k.table) << k.query;
        String columns, key;
        for (const String& column : o.columns) {
            if (!columns.empty()) columns += " ";
            columns += column.empty() ? String("-") : column;
        }
        for (int i : o.key) {
            if (!key.empty()) key += " ";
            key.catint(i);
        }
        EXPECT_STREQ(columns.chars(), k.columns) << k.query;
        EXPECT_STREQ(key.chars(), k.key) << k.query;
    }
    delete c;
}

}  // namespace
