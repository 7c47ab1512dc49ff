// XBaseTable: the file layout byte for byte, memo texts, open checks, agreement with
// another program's reader and writer, and concurrent appenders.

#include "data/xbase_table.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "data/data_context.h"
#include "data/index_file.h"
#include "data/xbase_database.h"
#include "host/unix_file_manager.h"
#include "script/macro_expander.h"
#include "script/script_parser.h"
#include "tests/support/faulty_files.h"
#include "tests/support/print.h"
#include "tests/support/slack.h"
#include "tests/support/test_engine.h"

namespace {

std::string Hex(const std::string& bytes) {
    std::string s;
    char b[4];
    for (unsigned char c : bytes) {
        snprintf(b, sizeof b, "%02x", c);
        s += b;
    }
    return s;
}

std::string ReadBytes(const String& path) {
    FILE* f = fopen(path.chars(), "rb");
    std::string s;
    if (f == nullptr) return s;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
    fclose(f);
    return s;
}

// What python3-dbfread makes of a table.
std::string ReadWithDbfread(const String& path) {
    std::string command =
        "/usr/bin/python3 " KELP_SOURCE_DIR "/tests/data/read_dbf.py " + std::string(path.chars());
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
    return out;
}

void AddSpec(List<XBaseFieldSpec>* specs, const char* name, XBaseFieldType type, int length,
             int decimals = 0) {
    specs->Insert(new XBaseFieldSpec{name, type, length, decimals}, ListTail);
}

XBaseField* Field(XBaseTable* t, const char* name) {
    for (XBaseField* f = t->fields().First(); f != nullptr; f = t->fields().Next()) {
        if (f->name() == name) return f;
    }
    return nullptr;
}

struct PeopleTable {
    PeopleTable() : specs(1), table(engine.filemanager()) {
        AddSpec(&specs, "NAME", XBaseCharacter, 10);
        AddSpec(&specs, "AGE", XBaseNumber, 3);
        AddSpec(&specs, "BORN", XBaseDate, 8);
        AddSpec(&specs, "MEMBER", XBaseLogical, 1);
        AddSpec(&specs, "NOTES", XBaseMemo, 10);
        path = dir.File("people.dbf");
    }
    void Add(const char* name, const char* age, const char* born, const char* member,
             const std::string& notes) {
        Field(&table, "NAME")->Set(String(name));
        Field(&table, "AGE")->Set(String(age));
        Field(&table, "BORN")->Set(String(born));
        Field(&table, "MEMBER")->Set(String(member));
        Field(&table, "NOTES")->Set(notes.data(), static_cast<int>(notes.size()));
        ASSERT_TRUE(table.Append()) << table.error();
    }
    TestKelp engine;
    TempDir dir;
    List<XBaseFieldSpec> specs;
    XBaseTable table;
    String path;
};

}  // namespace

TEST(XBaseTable, NewTableLayoutByteForByte) {
    PeopleTable p;
    ASSERT_TRUE(p.table.Create(p.path, "people.dbf", "", "", p.specs)) << p.table.error();
    std::string dbf = ReadBytes(p.path);
    time_t now = time(nullptr);
    struct tm t;
    gmtime_r(&now, &t);
    char date[8];
    snprintf(date, sizeof date, "%02x%02x%02x", t.tm_year, t.tm_mon + 1, t.tm_mday);
    // 5 fields: header length 32 x 5 + 33 = 193 (0xc1), record length 1 + 32 = 33.
    EXPECT_EQ("83" + std::string(date) +
                  "00000000"
                  "c100"
                  "2100" +
                  std::string(40, '0'),
              Hex(dbf.substr(0, 32)));
    EXPECT_EQ(193u + 1, dbf.size());
    EXPECT_EQ(
        "4e414d4500000000000000"
        "43"
        "00000000"
        "0a"
        "00" +
            std::string(28, '0'),
        Hex(dbf.substr(32, 32)));
    EXPECT_EQ('\x0d', dbf[192]);
    EXPECT_EQ('\x1a', dbf[193]);
    std::string dbt = ReadBytes(p.dir.File("people.dbt"));
    EXPECT_EQ(513u, dbt.size());
    EXPECT_EQ("01000000", Hex(dbt.substr(0, 4)));
    EXPECT_EQ('\x1a', dbt[512]);
    EXPECT_FALSE(p.table.Goto(1));
    EXPECT_EQ(String(""), p.table.error());
}

TEST(XBaseTable, RecordsAndMemosAsAnotherReaderSeesThem) {
    PeopleTable p;
    ASSERT_TRUE(p.table.Create(p.path, "people.dbf", "", "", p.specs));
    p.Add("Ann", "41", "19850314", "T", "first\nsecond");
    p.Add("Bob", "7", "", "F", "");
    p.Add("Chloe Zoeeeeeee", "100", "19261231", "?", std::string(510, 'y'));
    p.Add("Dan  ", "1234", "20260101", "T", std::string(511, 'z'));
    EXPECT_EQ(4, p.table.numrecords());
    std::string dbf = ReadBytes(p.path);
    EXPECT_EQ(193u + 4 * 33 + 1, dbf.size());
    EXPECT_EQ('\x1a', dbf.back());
    // 510 bytes + 2 end marks fill one block; 511 need two.
    EXPECT_EQ(5, p.table.firstfreeblock());
    std::string dbt = ReadBytes(p.dir.File("people.dbt"));
    EXPECT_EQ(3u * 512 + 511 + 2, dbt.size());  // the last text starts at block 3

    ASSERT_TRUE(p.table.Goto(2));
    ASSERT_TRUE(p.table.UpdateDeleted(true));
    ASSERT_TRUE(p.table.Goto(1));
    Field(&p.table, "AGE")->Set(String("42"));
    ASSERT_TRUE(p.table.Update());
    EXPECT_EQ(
        " NAME=Ann|AGE=42|BORN=1985-03-14|MEMBER=True|NOTES=first\nsecond\n"
        " NAME=Chloe Zoee|AGE=100|BORN=1926-12-31|MEMBER=|NOTES=" +
            std::string(510, 'y') +
            "\n"
            " NAME=Dan|AGE=123|BORN=2026-01-01|MEMBER=True|NOTES=" +
            std::string(511, 'z') +
            "\n"
            "*NAME=Bob|AGE=7|BORN=|MEMBER=False|NOTES=\n",
        ReadWithDbfread(p.path));

    XBaseTable again(p.engine.filemanager());
    ASSERT_TRUE(again.Open(p.path, "people.dbf", FileRead)) << again.error();
    ASSERT_TRUE(again.Goto(1));
    EXPECT_STREQ("Ann", Field(&again, "NAME")->data());
    EXPECT_STREQ("first\nsecond", Field(&again, "NOTES")->data());
    ASSERT_TRUE(again.Goto(2));
    EXPECT_TRUE(again.deleted());
    EXPECT_STREQ("", Field(&again, "NOTES")->data());
    EXPECT_STREQ("", Field(&again, "BORN")->data() + strspn(Field(&again, "BORN")->data(), " "));
    ASSERT_TRUE(again.Goto(4));
    EXPECT_STREQ("Dan", Field(&again, "NAME")->data());  // trailing blanks go
    EXPECT_EQ(511u, strlen(Field(&again, "NOTES")->data()));
    EXPECT_FALSE(again.Goto(5));
}

// A walk reads records ahead in growing reads; every record comes out as written,
// across those reads, after a jump back, after a write, and at the table's end.
TEST(XBaseTable, AWalkReadsEveryRecordAsWritten) {
    TestKelp engine;
    TempDir dir;
    List<XBaseFieldSpec> specs(1);
    AddSpec(&specs, "NAME", XBaseCharacter, 10);
    AddSpec(&specs, "N", XBaseNumber, 5);
    XBaseTable table(engine.filemanager());
    String path = dir.File("walk.dbf");
    ASSERT_TRUE(table.Create(path, "walk.dbf", "", "", specs));
    const int kRecords = 5000;  // 16 bytes each: more than every read ahead together
    for (int i = 1; i <= kRecords; i++) {
        Field(&table, "NAME")->Set(String("r") + String::FromInt(i));
        Field(&table, "N")->Set(String::FromInt(i % 100000));
        ASSERT_TRUE(table.Append()) << table.error();
    }
    XBaseTable reader(engine.filemanager());
    ASSERT_TRUE(reader.Open(path, "walk.dbf", FileRead | FileWrite)) << reader.error();
    auto expect = [&](int i) {
        ASSERT_TRUE(reader.Goto(i)) << i;
        ASSERT_EQ(std::string("r") + std::to_string(i), Field(&reader, "NAME")->data()) << i;
    };
    for (int i = 1; i <= 2500; i++) expect(i);
    for (int i = 10; i <= 300; i++) expect(i);  // a jump back starts a new walk
    Field(&reader, "NAME")->Set(String("changed"));
    ASSERT_TRUE(reader.Update());  // record 300: what was read ahead goes
    ASSERT_TRUE(reader.Goto(301));
    ASSERT_STREQ("r301", Field(&reader, "NAME")->data());
    ASSERT_TRUE(reader.Goto(300));
    ASSERT_STREQ("changed", Field(&reader, "NAME")->data());
    for (int i = 4990; i <= kRecords; i++) expect(i);
    EXPECT_FALSE(reader.Goto(kRecords + 1));
}

// A process that keeps its mappings reads its tables through them: what another
// table object (another request, another process) writes is seen as a read would see
// it, and a table cut short under it is an error, never a fault.
TEST(XBaseTable, ReadThroughAKeptMappingAsWritten) {
    for (bool mapped : {false, true}) {
        SCOPED_TRACE(mapped ? "through the mapping" : "by reads");
        UNIXFileManager::KeepMappings(mapped);
        XBaseTable::ReadThroughMappings(mapped);
        TestKelp engine;
        TempDir dir;
        List<XBaseFieldSpec> specs(1);
        AddSpec(&specs, "NAME", XBaseCharacter, 10);
        AddSpec(&specs, "N", XBaseNumber, 5);
        String path = dir.File("kept.dbf");
        XBaseTable writer(engine.filemanager());
        ASSERT_TRUE(writer.Create(path, "kept.dbf", "", "", specs));
        for (int i = 1; i <= 300; i++) {
            Field(&writer, "NAME")->Set(String("r") + String::FromInt(i));
            Field(&writer, "N")->Set(String::FromInt(i));
            ASSERT_TRUE(writer.Append()) << writer.error();
        }
        for (int opening = 0; opening < 2; opening++) {  // the second finds it kept
            XBaseTable reader(engine.filemanager());
            ASSERT_TRUE(reader.Open(path, "kept.dbf", FileRead | FileWrite)) << reader.error();
            for (int i = 1; i <= 300; i++) {
                ASSERT_TRUE(reader.Goto(i)) << i;
                ASSERT_EQ(std::string("r") + std::to_string(i), Field(&reader, "NAME")->data());
            }
        }
        XBaseTable reader(engine.filemanager());
        ASSERT_TRUE(reader.Open(path, "kept.dbf", FileRead | FileWrite)) << reader.error();
        ASSERT_TRUE(reader.Goto(5));
        ASSERT_TRUE(writer.Goto(5));
        Field(&writer, "NAME")->Set(String("five"));
        ASSERT_TRUE(writer.Update());
        Field(&writer, "NAME")->Set(String("r301"));
        ASSERT_TRUE(writer.Append());
        ASSERT_TRUE(reader.Goto(5));
        EXPECT_STREQ("five", Field(&reader, "NAME")->data());
        ASSERT_TRUE(reader.Goto(301)) << reader.error();
        EXPECT_STREQ("r301", Field(&reader, "NAME")->data());
        // Cut short by another program: the records gone are an error to read.
        long header = static_cast<long>(ReadBytes(path).size()) - 301 * 16 - 1;
        ASSERT_EQ(0, truncate(path.chars(), header + 100 * 16));
        EXPECT_FALSE(reader.Goto(200));
        EXPECT_NE(std::string::npos, std::string(reader.error().chars()).find("Error reading"))
            << reader.error();
        ASSERT_TRUE(reader.Goto(50)) << reader.error();
        EXPECT_STREQ("r50", Field(&reader, "NAME")->data());
    }
    XBaseTable::ReadThroughMappings(false);
    UNIXFileManager::KeepMappings(false);
}

TEST(XBaseTable, TablesWrittenByAnotherProgram) {
    TestKelp engine;
    XBaseTable t(engine.filemanager());
    String people = KELP_SOURCE_DIR "/tests/data/thirdparty/people.dbf";
    ASSERT_TRUE(t.Open(people, "people.dbf", FileRead)) << t.error();
    EXPECT_EQ(0x83, t.version());
    EXPECT_EQ(3, t.numrecords());
    EXPECT_EQ(5, t.fields().Entries());
    ASSERT_TRUE(t.Goto(1));
    EXPECT_STREQ("Ann", Field(&t, "NAME")->data());
    EXPECT_STREQ("41", Field(&t, "AGE")->data());
    EXPECT_STREQ("19850314", Field(&t, "BORN")->data());
    EXPECT_STREQ("T", Field(&t, "MEMBER")->data());
    EXPECT_STREQ("First line\r\nsecond line", Field(&t, "NOTES")->data());
    ASSERT_TRUE(t.Goto(2));
    EXPECT_TRUE(t.deleted());
    ASSERT_TRUE(t.Goto(3));
    EXPECT_EQ(600u, strlen(Field(&t, "NOTES")->data()));
    XBaseTable plain(engine.filemanager());
    ASSERT_TRUE(
        plain.Open(KELP_SOURCE_DIR "/tests/data/thirdparty/plain.dbf", "plain.dbf", FileRead));
    EXPECT_EQ(0x03, plain.version());
    ASSERT_TRUE(plain.Goto(5));
    EXPECT_STREQ("K4", Field(&plain, "CODE")->data());
    EXPECT_STREQ("5.00", Field(&plain, "PRICE")->data());
}

TEST(XBaseTable, OpenChecks) {
    TestKelp engine;
    TempDir dir;
    XBaseTable t(engine.filemanager());
    EXPECT_FALSE(t.Open(dir.File("none.dbf"), "none.dbf", FileRead));
    EXPECT_EQ(String("Error opening 'none.dbf': No such file or directory"), t.error());
    std::string header(32, '\0');
    header[0] = 0x30;
    header[8] = 65;
    header[10] = 2;
    dir.Write("v.dbf", (header + std::string(33, '\0')).data(), 65);
    EXPECT_FALSE(t.Open(dir.File("v.dbf"), "v.dbf", FileRead));
    EXPECT_EQ(String("'v.dbf': Unsupported xBase file version (0x30)"), t.error());
    header[0] = 0x03;
    std::string field(32, '\0');
    field[0] = 'X';
    field[11] = 'Q';
    field[16] = 1;
    dir.Write("q.dbf", (header + field + "\x0d").data(), 65);
    EXPECT_FALSE(t.Open(dir.File("q.dbf"), "q.dbf", FileRead));
    EXPECT_EQ(String("'q.dbf' contains an unsupported field of type 'Q'"), t.error());
    dir.Write("short.dbf", "\x03\x7e\x01\x01", 4);
    EXPECT_FALSE(t.Open(dir.File("short.dbf"), "short.dbf", FileRead));
    EXPECT_EQ(0, t.error().search("Error reading from 'short.dbf'", 0));
}

// A header longer than what opening reads first (80 fields) is read whole, and each
// value is what the record holds up to a NUL, text without the spaces after it and
// numbers without those before.
TEST(XBaseTable, ManyFieldsAndTheValuesOfTheirBytes) {
    TestKelp engine;
    TempDir dir;
    List<XBaseFieldSpec> specs(1);
    std::vector<std::string> names;
    for (int i = 0; i < 80; i++) names.push_back("F" + std::to_string(i));
    for (int i = 0; i < 80; i++) AddSpec(&specs, names[i].c_str(), XBaseCharacter, 4);
    AddSpec(&specs, "N", XBaseNumber, 6);
    XBaseTable table(engine.filemanager());
    String path = dir.File("wide.dbf");
    ASSERT_TRUE(table.Create(path, "wide.dbf", "", "", specs));
    for (int i = 0; i < 80; i++) Field(&table, names[i].c_str())->Set(String::FromInt(i));
    Field(&table, "N")->Set(String("42"));
    ASSERT_TRUE(table.Append()) << table.error();
    // The first field's bytes become "a\0b ", the last's "  4 2 ".
    std::string bytes = ReadBytes(path);
    long record = 32 * 81 + 33;
    ASSERT_EQ(record + 1 + 80 * 4 + 6 + 1, static_cast<long>(bytes.size()));
    bytes.replace(record + 1, 4, std::string("a\0b ", 4));
    bytes.replace(record + 1 + 80 * 4, 6, "  4 2 ");
    dir.Write("wide.dbf", bytes.data(), static_cast<int>(bytes.size()));
    XBaseTable reader(engine.filemanager());
    ASSERT_TRUE(reader.Open(path, "wide.dbf", FileRead)) << reader.error();
    ASSERT_EQ(81, reader.fields().Entries());
    ASSERT_TRUE(reader.Goto(1));
    EXPECT_STREQ("a", Field(&reader, "F0")->data());
    EXPECT_STREQ("1", Field(&reader, "F1")->data());
    EXPECT_STREQ("79", Field(&reader, "F79")->data());
    EXPECT_STREQ("4 2 ", Field(&reader, "N")->data());
    EXPECT_STREQ("4 2 ", Field(&reader, "N")->original());
}

TEST(XBaseTable, DamagedCountsAndMemoHeadersAreReported) {
    PeopleTable p;
    ASSERT_TRUE(p.table.Create(p.path, "people.dbf", "", "", p.specs));
    p.Add("Ann", "41", "19850314", "T", "note");
    p.Add("Bob", "7", "", "F", "");
    p.table.Close();
    std::string good = ReadBytes(p.path);

    // A header counting more records than the file holds: refused on open, never
    // scanned record by record.
    std::string bad = good;
    bad[4] = bad[5] = bad[6] = bad[7] = '\xff';
    p.dir.Write("people.dbf", bad.data(), static_cast<int>(bad.size()));
    XBaseTable t(p.engine.filemanager());
    EXPECT_FALSE(t.Open(p.path, "people.dbf", FileRead));
    EXPECT_NE(-1, t.error().search("is corrupt (the header counts 4294967295 records"));

    // A truncated file is not extended by an append: the hole is reported.
    p.dir.Write("people.dbf", good.data(), static_cast<int>(good.size()));
    ASSERT_TRUE(t.Open(p.path, "people.dbf", FileRead | FileWrite)) << t.error();
    ASSERT_EQ(0, truncate(p.path.chars(), 193 + 33));
    Field(&t, "NAME")->Set(String("Cat"));
    EXPECT_FALSE(t.Append());
    EXPECT_NE(-1, t.error().search("is corrupt"));
    EXPECT_EQ(193u + 33, ReadBytes(p.path).size());
    t.Close();

    // A memo header whose first free block is 0 would have the next text written over
    // the header itself.
    p.dir.Write("people.dbf", good.data(), static_cast<int>(good.size()));
    std::string dbt = ReadBytes(p.dir.File("people.dbt"));
    std::string zero = dbt;
    zero[0] = zero[1] = zero[2] = zero[3] = '\0';
    p.dir.Write("people.dbt", zero.data(), static_cast<int>(zero.size()));
    EXPECT_FALSE(t.Open(p.path, "people.dbf", FileRead | FileWrite));
    EXPECT_NE(-1, t.error().search("people.dbt' is corrupt (the first free block is 0)"));
    EXPECT_EQ(zero, ReadBytes(p.dir.File("people.dbt")));
}

TEST(XBaseTable, ConcurrentAppendersWithAnIndex) {
    TestKelp engine;
    TempDir dir;
    List<XBaseFieldSpec> specs(1);
    AddSpec(&specs, "WHO", XBaseNumber, 4);
    AddSpec(&specs, "SEQ", XBaseNumber, 6);
    AddSpec(&specs, "TEXT", XBaseMemo, 10);
    String path = dir.File("shared.dbf");
    String indexpath = dir.File("shared.kpx");
    {
        XBaseTable t(engine.filemanager());
        ASSERT_TRUE(t.Create(path, "shared.dbf", "", "", specs));
        BrnIndexFile index(engine.filemanager());
        ASSERT_TRUE(index.Create(indexpath, "shared.kpx", "WHO*1000+SEQ", IndexUnique));
    }
    const int kWriters = 8, kEach = 1000;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; w++) {
        children[w] = fork();
        if (children[w] == 0) {
            TestKelp e;
            XBaseTable t(e.filemanager());
            BrnIndexFile index(e.filemanager());
            if (!t.Open(path, "shared.dbf", FileRead | FileWrite)) _exit(1);
            if (!index.Open(indexpath, "shared.kpx", FileRead | FileWrite)) _exit(3);
            for (int i = 0; i < kEach; i++) {
                Field(&t, "WHO")->Set(String::FromInt(w));
                Field(&t, "SEQ")->Set(String::FromInt(i));
                String text = "writer " + String::FromInt(w) + " record " + String::FromInt(i);
                Field(&t, "TEXT")->Set(text);
                if (!t.Append()) _exit(2);
                if (!index.Insert(t.recordnum(), String::FromInt(w * kEach + i))) _exit(4);
            }
            _exit(0);
        }
    }
    // A reader at the same time never sees a torn record.
    XBaseTable reader(engine.filemanager());
    ASSERT_TRUE(reader.Open(path, "shared.dbf", FileRead));
    int torn = 0;
    for (int round = 0; round < 20; round++) {
        reader.ReadTableHeader();
        for (long r = 1; r <= reader.numrecords(); r++) {
            if (!reader.Goto(r)) continue;
            String expected = "writer " + String(Field(&reader, "WHO")->data()) + " record " +
                              String(Field(&reader, "SEQ")->data());
            torn += expected != Field(&reader, "TEXT")->data();
        }
    }
    EXPECT_EQ(0, torn);
    for (pid_t c : children) {
        int status;
        waitpid(c, &status, 0);
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    XBaseTable t(engine.filemanager());
    ASSERT_TRUE(t.Open(path, "shared.dbf", FileRead));
    ASSERT_EQ(kWriters * kEach, t.numrecords());
    std::vector<int> seen(kWriters * kEach, 0);
    for (long r = 1; r <= t.numrecords(); r++) {
        ASSERT_TRUE(t.Goto(r));
        int who = atoi(Field(&t, "WHO")->data()), seq = atoi(Field(&t, "SEQ")->data());
        seen[who * kEach + seq]++;
        ASSERT_EQ(String("writer " + String::FromInt(who) + " record " + String::FromInt(seq)),
                  String(Field(&t, "TEXT")->data()));
    }
    for (int s : seen) ASSERT_EQ(1, s);
    // The index holds every record exactly once, under its own key.
    BrnIndexFile index(engine.filemanager());
    ASSERT_TRUE(index.Open(indexpath, "shared.kpx", FileRead));
    std::vector<int> indexed(kWriters * kEach + 1, 0);
    long recno;
    long previous = -1;
    ASSERT_TRUE(index._First(&recno));
    for (; recno != 0; index._Next(&recno)) {
        indexed[recno]++;
        ASSERT_TRUE(t.Goto(recno));
        long key = atol(index.CurrentKey());
        EXPECT_EQ(atoi(Field(&t, "WHO")->data()) * kEach + atoi(Field(&t, "SEQ")->data()), key);
        EXPECT_LT(previous, key);
        previous = key;
    }
    for (int r = 1; r <= kWriters * kEach; r++) ASSERT_EQ(1, indexed[r]);
}

TEST(XBaseDatabase, AnInterruptedPackIsFinishedByTheNextOpen) {
    TestKelp engine;
    TempDir dir;
    String table = dir.File("t.dbf");
    dir.Write("t.dbf", "old table");
    dir.Write("t.kpx", "old index");
    // Killed after the journal was complete: one replacement made, one still to do.
    dir.Write("t.kpx~pack", "new index");
    dir.Write("t.dbf.pack", (dir.File("t~pack.dbf") + "\t" + table + "\n" + dir.File("t.kpx~pack") +
                             "\t" + dir.File("t.kpx") + "\n")
                                .chars());
    dir.Write("t.dbf", "new table");  // the first rename had happened
    String error;
    ASSERT_TRUE(XBaseDatabase::Recover(&engine, table, &error)) << error.chars();
    EXPECT_EQ("new table", ReadBytes(table));
    EXPECT_EQ("new index", ReadBytes(dir.File("t.kpx")));
    EXPECT_FALSE(engine.filemanager()->Exists(dir.File("t.dbf.pack")));
    EXPECT_FALSE(engine.filemanager()->Exists(dir.File("t.kpx~pack")));
    // Without a journal nothing is touched: new files of an unfinished pack stay unused.
    dir.Write("t~pack.dbf", "half a table");
    ASSERT_TRUE(XBaseDatabase::Recover(&engine, table, &error));
    EXPECT_EQ("new table", ReadBytes(table));
    // Names relative to the table, as packs write them now; the memo file too.
    dir.Write("t~pack.dbt", "new memos");
    dir.Write("t.dbf.pack", "t~pack.dbf\tt.dbf\nt~pack.dbt\tt.dbt\n");
    ASSERT_TRUE(XBaseDatabase::Recover(&engine, table, &error)) << error.chars();
    EXPECT_EQ("half a table", ReadBytes(table));
    EXPECT_EQ("new memos", ReadBytes(dir.File("t.dbt")));

    // A planted journal: anything a pack of this table does not make leaves every
    // file where it is, the journal included, and the table is reported corrupt.
    ASSERT_EQ(0, mkdir(dir.File("site").chars(), 0755));
    dir.Write("secret.dat", "the owner's data");
    dir.Write("t.kpx~pack", "new index");
    const char* planted[] = {
        "secret.dat\tsite/page.kp\n",              // not a pack's name
        "t.kpx~pack\tt.kpx\nsecret.dat\tt.dbf\n",  // a good line does not excuse a bad one
        "../secret.dat~pack\t../secret.dat\n",     // out of the directory
        "site/../secret.dat~pack\tsite/../secret.dat\n",
        "/etc/passwd~pack\t/etc/passwd\n",  // another directory
        "t~pack.dbf\tt.dbt\n",              // the table's file over its memo
        "t.kpx~pack t.kpx\n",               // not a line of the journal
    };
    for (const char* text : planted) {
        SCOPED_TRACE(text);
        dir.Write("t.dbf.pack", text);
        error = String();
        EXPECT_FALSE(XBaseDatabase::Recover(&engine, table, &error));
        EXPECT_NE(-1, error.search(
                          "is corrupt (its pack journal names files a pack of it does not make)"))
            << error.chars();
        EXPECT_EQ("the owner's data", ReadBytes(dir.File("secret.dat")));
        EXPECT_EQ("new index", ReadBytes(dir.File("t.kpx~pack")));
        EXPECT_FALSE(engine.filemanager()->Exists(dir.File("site/page.kp")));
        EXPECT_TRUE(engine.filemanager()->Exists(dir.File("t.dbf.pack")));
    }

    // Field specifications.
    List<XBaseFieldSpec> specs(1);
    ASSERT_TRUE(
        XBaseDatabase::ParseFields("name CHAR(30), price NUMBER(7.2), born DATE, n NUMBER, "
                                   "ok BOOL, m MEMO, w NUMBER(4.0)",
                                   &specs, &error));
    std::string described;
    for (XBaseFieldSpec* s = specs.First(); s != nullptr; s = specs.Next()) {
        described += std::string(s->name.chars()) + ":" + XBaseField::TypeLetter(s->type) + ":" +
                     std::to_string(s->length) + ":" + std::to_string(s->decimals) + " ";
    }
    EXPECT_EQ("NAME:C:30:0 PRICE:N:10:2 BORN:D:8:0 N:N:19:0 OK:L:1:0 M:M:10:0 W:N:4:0 ", described);
    EXPECT_EQ(IndexUnique | IndexString,
              XBaseDatabase::IndexFlags(" unique, descending, string ,ascending"));
    EXPECT_EQ(0, XBaseDatabase::IndexFlags("unique, nounique, bogus"));
}

namespace {

void WriteFile(const String& path, const std::string& bytes) {
    FILE* f = fopen(path.chars(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// The records of a table as "NAME AGE NOTES" lines, read by a fresh process's view.
std::string Records(const String& path) {
    TestKelp engine;
    XBaseTable t(engine.filemanager());
    if (!t.Open(path, "people.dbf", FileRead))
        return "cannot open: " + std::string(t.error().chars());
    std::string out;
    for (long r = 1; r <= t.numrecords(); r++) {
        if (!t.Goto(r)) return out + "cannot read " + std::to_string(r);
        out += std::string(t.deleted() ? "*" : "") + Field(&t, "NAME")->data() + " " +
               Field(&t, "AGE")->data() + " " + Field(&t, "NOTES")->data() + "\n";
    }
    return out;
}

}  // namespace

TEST(XBaseTable, AWriteCutShortLeavesTheTableAsBeforeOrAsAfter) {
    // An append and an update, each with a memo text, cut after 0, 1, 2, ... writes:
    // as a process killed there, or as a full disk (writes that grow a file fail, and
    // the call must say so). Every record written before reads as it did, and the
    // changed record reads wholly old or wholly new.
    PeopleTable p;
    ASSERT_TRUE(p.table.Create(p.path, "people.dbf", "", "", p.specs));
    p.Add("Ann", "41", "19850314", "T", "first\nsecond");
    p.Add("Bob", "7", "", "F", std::string(700, 'b'));
    p.table.Close();
    const String memo = p.dir.File("people.dbt");
    const std::string dbf = ReadBytes(p.path), dbt = ReadBytes(memo);
    const std::string before = Records(p.path);
    const std::string appended = before + "Cy 5 " + std::string(900, 'c') + "\n";
    const std::string updated =
        "Ann 42 " + std::string(600, 'n') + "\n" + before.substr(before.find("Bob"));
    int cuts = 0;
    for (int update = 0; update <= 1; update++) {
        for (int vanish = 0; vanish <= 1; vanish++) {
            for (long budget = 0;; budget++) {
                WriteFile(p.path, dbf);
                WriteFile(memo, dbt);
                FaultyKelp e;
                e.budget.left = budget;
                e.budget.vanish = vanish != 0;
                XBaseTable t(e.filemanager());
                ASSERT_TRUE(t.Open(p.path, "people.dbf", FileRead | FileWrite)) << t.error();
                bool ok;
                if (update) {
                    ASSERT_TRUE(t.Goto(1));
                    Field(&t, "AGE")->Set(String("42"));
                    Field(&t, "NOTES")->Set(String(std::string(600, 'n').c_str()));
                    ok = t.Update();
                } else {
                    Field(&t, "NAME")->Set(String("Cy"));
                    Field(&t, "AGE")->Set(String("5"));
                    Field(&t, "NOTES")->Set(String(std::string(900, 'c').c_str()));
                    ok = t.Append();
                }
                bool completed = !e.budget.cut;
                t.Close();
                if (!vanish) {
                    EXPECT_EQ(completed, ok) << "budget " << budget << ": " << t.error();
                }
                std::string now = Records(p.path);
                const std::string& after = update ? updated : appended;
                EXPECT_TRUE(now == before || now == after)
                    << (update ? "update" : "append") << " budget " << budget << " vanish "
                    << vanish << ":\n"
                    << now;
                if (completed) {
                    EXPECT_EQ(after, now);
                }
                if (!vanish && !ok) {
                    EXPECT_EQ(before, now);
                }
                cuts++;
                if (completed) break;
            }
        }
    }
    EXPECT_GT(cuts, 8);
    printf("%d cuts\n", cuts);
}

namespace {

// Runs page text with the engine (its databases stay open from one call to the next).
int RunPage(TestKelp* engine, const TempDir& dir, const char* text) {
    String path = dir.Write("page.kp", text);
    MacroExpander source(engine, 4096);
    if (!source.Open(path, "page.kp")) return -1;
    ScriptParser parser(engine, &source, engine->output());
    return parser.Parse();
}

// Locks the first byte of path as another request would (F_SETLK tries, F_SETLKW waits).
bool LockFirstByte(const String& path, short type, int command) {
    int fd = open(path.chars(), O_RDWR);
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    return fd >= 0 && fcntl(fd, command, &lock) == 0;
}

// Whether another process could take a write lock on the first byte of path now.
bool OthersMayWrite(const String& path) {
    pid_t child = fork();
    if (child == 0) _exit(LockFirstByte(path, F_WRLCK, F_SETLK) ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// A run of adds keeps the table and its index locked from one add to the next while
// only computation comes between, and lets go before anything else and after the
// engine's time limit.
TEST(XBaseDatabase, ARunOfAddsHoldsItsTableOnlyWhileAddsFollow) {
    TestKelp engine;
    TempDir dir;
    engine.configure().datadirectory = dir.path();
    DataContext::Of(&engine)->SetHeldLocksLimit(3600 * 1000);  // no time limit until it is tested
    String table = dir.File("t.dbf");
    String index = dir.File("t.kpx");
    ASSERT_EQ(
        1,
        RunPage(&engine, dir,
                "<KpCREATE NAME=\"t\" DATABASE=\"t.dbf\" FIELDS=\"id NUMBER(8)\">"
                "<KpMAKEINDEX INDEXFILE=\"t.kpx\" EXPR=id>"
                "<KpLET i=0><KpWHILE EXPR=i LT 50><KpLET id=i><KpADD><KpLET i=i + 1></KpWHILE>"));
    ASSERT_NE(nullptr, DataContext::Of(&engine)->heldlocks()) << engine.page().chars();
    EXPECT_FALSE(OthersMayWrite(table));
    EXPECT_FALSE(OthersMayWrite(index));
    // Computing and deciding go on within the run.
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpIF EXPR=1><KpEVAL EXPR=1 + 1></KpIF>"));
    EXPECT_NE(nullptr, DataContext::Of(&engine)->heldlocks());
    // Looking at files goes on within it; changing one ends it first.
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpEVAL EXPR=fexists(\"t.dbf\") + fsize(\"t.kpx\")>"));
    EXPECT_NE(nullptr, DataContext::Of(&engine)->heldlocks());
    ASSERT_EQ(
        1, RunPage(&engine, dir, "<KpLET id=50><KpADD><KpEVAL EXPR=fcopy(\"t.kpx\", \"u.kpx\")>"));
    EXPECT_EQ(nullptr, DataContext::Of(&engine)->heldlocks());
    EXPECT_TRUE(OthersMayWrite(table));
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpLET id=51><KpADD><KpLET ok=fdelete(\"u.kpx\")>"));
    EXPECT_EQ(nullptr, DataContext::Of(&engine)->heldlocks());
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpEVAL EXPR=1><KpLET id=52><KpADD>"));
    ASSERT_NE(nullptr, DataContext::Of(&engine)->heldlocks());
    // Any other tag ends it; what was added is all there, found through the index.
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpFIND VALUE=49 EXACT>[&[id]] of &[totrec]"));
    EXPECT_EQ(nullptr, DataContext::Of(&engine)->heldlocks());
    EXPECT_TRUE(OthersMayWrite(table));
    EXPECT_TRUE(OthersMayWrite(index));
    EXPECT_NE(std::string::npos, std::string(engine.page().chars()).find("[49] of 53"))
        << engine.page().chars();
    // So does the time limit: the next tag after it lets go.
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpLET id=53><KpADD>"));
    ASSERT_NE(nullptr, DataContext::Of(&engine)->heldlocks());
    DataContext::Of(&engine)->SetHeldLocksLimit(DataContext::kHeldLocksMilliseconds);
    struct timespec pause = {0, (DataContext::kHeldLocksMilliseconds + 20) * 1000000L};
    nanosleep(&pause, nullptr);
    ASSERT_EQ(1, RunPage(&engine, dir, "<KpIF EXPR=1></KpIF>"));
    EXPECT_EQ(nullptr, DataContext::Of(&engine)->heldlocks());
    EXPECT_TRUE(OthersMayWrite(table));
    // A run on another table ends this one's first.
    DataContext::Of(&engine)->SetHeldLocksLimit(3600 * 1000);
    ASSERT_EQ(1, RunPage(&engine, dir,
                         "<KpLET id=54><KpADD>"
                         "<KpCREATE NAME=\"u\" DATABASE=\"u.dbf\" FIELDS=\"id NUMBER(8)\">"
                         "<KpLET id=1><KpADD NAME=\"u\">"));
    EXPECT_TRUE(OthersMayWrite(table));
    EXPECT_FALSE(OthersMayWrite(dir.File("u.dbf")));
    DataContext::Of(&engine)->ReleaseLocks();
    EXPECT_TRUE(OthersMayWrite(dir.File("u.dbf")));
    XBaseTable t(engine.filemanager());
    ASSERT_TRUE(t.Open(table, "t.dbf", FileRead));
    EXPECT_EQ(55, t.numrecords());
    for (long r = 1; r <= t.numrecords(); r++) {
        ASSERT_TRUE(t.Goto(r));
        EXPECT_FALSE(t.deleted()) << r;
    }
}

// A request that waits for a table another request keeps adding to gets it when the
// adder's locks reach their time limit: the adder does not take them straight back.
TEST(XBaseDatabase, ARequestWaitingForATableGetsItBetweenRunsOfAdds) {
    TestKelp engine;
    TempDir dir;
    engine.configure().datadirectory = dir.path();
    String table = dir.File("t.dbf");
    ASSERT_EQ(1, RunPage(&engine, dir,
                         "<KpCREATE NAME=\"t\" DATABASE=\"t.dbf\" FIELDS=\"id NUMBER(8)\">"
                         "<KpMAKEINDEX INDEXFILE=\"t.kpx\" EXPR=id><KpLET id=0><KpADD>"));
    ASSERT_NE(nullptr, DataContext::Of(&engine)->heldlocks());
    auto now = [] {
        struct timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        return t.tv_sec + t.tv_nsec / 1e9;
    };
    int times[2];
    ASSERT_EQ(0, pipe(times));
    pid_t waiter = fork();
    if (waiter == 0) {
        double got = LockFirstByte(table, F_RDLCK, F_SETLKW) ? now() : -1;
        _exit(write(times[1], &got, sizeof got) == sizeof got ? 0 : 1);
    }
    // A second or more of adds: the waiter gets in when the first run reaches its
    // limit (with the locks taken straight back, only when the adds end, or in a gap
    // of a few microseconds).
    double start = now();
    ASSERT_EQ(1, RunPage(&engine, dir,
                         "<KpLET i=0><KpWHILE EXPR=i LT 60000><KpLET id=i><KpADD><KpLET i=i + 1>"
                         "</KpWHILE>"));
    double end = now();
    DataContext::Of(&engine)->ReleaseLocks();
    double got = -1;
    ASSERT_EQ(static_cast<ssize_t>(sizeof got), read(times[0], &got, sizeof got));
    waitpid(waiter, nullptr, 0);
    close(times[0]);
    close(times[1]);
    EXPECT_GT(got, 0);
    EXPECT_LT(got, end) << "the waiting process got the table only after the adds ended";
    EXPECT_LT(got - start, 0.5 * LoadSlack()) << "the adds took " << end - start << " s";
}
