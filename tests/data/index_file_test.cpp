// BrnIndexFile: the file layout, comparison, splits, and a randomised run of inserts
// and deletes against an in-memory model, with the whole file checked after every
// step by a reader of its own.

#include "data/index_file.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/faulty_files.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

std::string ReadBytes(const String& path) {
    FILE* f = fopen(path.chars(), "rb");
    std::string s;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) s.append(buffer, n);
    fclose(f);
    return s;
}

unsigned long LE(const std::string& s, size_t at, int bytes) {
    unsigned long v = 0;
    for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | static_cast<unsigned char>(s[at + i]);
    return v;
}

typedef std::vector<std::pair<std::string, long>> Entries;

// Walks the file as laid out on disk, independently of BrnIndexFile: checks order,
// fill, depth and cycles, and returns the entries in key order.
struct Checker {
    std::string file;
    int flags;
    std::string problem;
    int leafdepth = -1;
    std::vector<long> seen;

    Entries Walk(const String& path) {
        file = ReadBytes(path);
        Entries out;
        if (file.compare(0, 4, "BRNI") != 0) {
            problem = "bad identifier";
            return out;
        }
        flags = static_cast<int>(LE(file, 23, 4));
        long numpages = static_cast<long>(LE(file, 9, 4));
        if (static_cast<long>(file.size()) < numpages * 1024)
            problem = "file shorter than numpages";
        Page(static_cast<long>(LE(file, 13, 4)), 0, true, &out);
        for (size_t i = 1; i < out.size() && problem.empty(); i++) {
            if (BrnIndexFile::Compare(out[i - 1].first.c_str(), out[i].first.c_str(), true, flags) >
                0) {
                problem = "keys out of order at " + std::to_string(i);
            }
        }
        return out;
    }

    void Page(long page, int depth, bool root, Entries* out) {
        if (!problem.empty()) return;
        for (long s : seen) {
            if (s == page) problem = "page " + std::to_string(page) + " reached twice";
        }
        seen.push_back(page);
        size_t base = static_cast<size_t>(page) * 1024;
        if (base + 1024 > file.size()) {
            problem = "page beyond the file";
            return;
        }
        int n = static_cast<int>(LE(file, base, 4));
        if (n > 8 || (!root && n < 3))
            problem = "page " + std::to_string(page) + " holds " + std::to_string(n);
        if (!problem.empty()) return;
        bool leaf = LE(file, base + 4, 4) == 0;
        if (leaf) {
            if (leafdepth < 0) leafdepth = depth;
            if (leafdepth != depth) problem = "leaves at different depths";
        }
        for (int i = 0; i <= n; i++) {
            long child = static_cast<long>(LE(file, base + 4 + i * 108, 4));
            if ((child == 0) != leaf) problem = "a page mixes leaf and inner slots";
            if (child != 0) Page(child, depth + 1, false, out);
            if (i < n) {
                const char* key = file.data() + base + 4 + i * 108 + 8;
                out->emplace_back(std::string(key, strnlen(key, 100)),
                                  static_cast<long>(LE(file, base + 4 + i * 108 + 4, 4)));
            }
        }
    }
};

struct Index {
    Index() : index(engine.filemanager()) { path = dir.File("t.kpx"); }
    TestKelp engine;
    TempDir dir;
    BrnIndexFile index;
    String path;
};

Entries Forward(BrnIndexFile* index) {
    Entries out;
    long recno;
    EXPECT_TRUE(index->_First(&recno));
    while (recno != 0) {
        out.emplace_back(index->CurrentKey(), recno);
        if (!index->_Next(&recno)) ADD_FAILURE() << index->error();
    }
    return out;
}

Entries Backward(BrnIndexFile* index) {
    Entries out;
    long recno;
    EXPECT_TRUE(index->_Last(&recno));
    while (recno != 0) {
        out.insert(out.begin(), std::make_pair(std::string(index->CurrentKey()), recno));
        if (!index->_Prev(&recno)) ADD_FAILURE() << index->error();
    }
    return out;
}

}  // namespace

TEST(BrnIndexFile, NewFileAndTheFirstSplit) {
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "NAME", IndexUnique)) << t.index.error();
    std::string bytes = ReadBytes(t.path);
    ASSERT_EQ(2048u, bytes.size());
    EXPECT_EQ("BRNI", bytes.substr(0, 4));
    EXPECT_EQ(3, bytes[4]);
    EXPECT_EQ(2u, LE(bytes, 9, 4));
    EXPECT_EQ(1u, LE(bytes, 13, 4));
    EXPECT_EQ(8u, LE(bytes, 17, 2));
    EXPECT_EQ(1024u, LE(bytes, 19, 2));
    EXPECT_EQ(108u, LE(bytes, 21, 2));
    EXPECT_EQ(1u, LE(bytes, 23, 4));
    EXPECT_EQ("NAME", std::string(bytes.data() + 27));
    for (int i = 1; i <= 9; i++) ASSERT_TRUE(t.index.Insert(i, String::FromInt(i * 10)));
    bytes = ReadBytes(t.path);
    EXPECT_EQ(4u, LE(bytes, 9, 4));   // numpages
    EXPECT_EQ(3u, LE(bytes, 13, 4));  // the new root
    EXPECT_EQ(9u, LE(bytes, 5, 4));   // updatecount
    EXPECT_EQ(1u, LE(bytes, 3 * 1024, 4));
    EXPECT_EQ("50", std::string(bytes.data() + 3 * 1024 + 4 + 8));
    EXPECT_EQ(4u, LE(bytes, 1 * 1024, 4));
    EXPECT_EQ(4u, LE(bytes, 2 * 1024, 4));
    EXPECT_FALSE(t.index.Insert(10, "50"));
    EXPECT_EQ(String("Index 't.kpx' was created with the UNIQUE flag and the key '50' already "
                     "exists in the index file"),
              t.index.error());
    EXPECT_FALSE(t.index.Delete(99, "50"));
    EXPECT_EQ(String("Record is not in index"), t.index.error());
}

TEST(BrnIndexFile, Comparison) {
    struct {
        const char* a;
        const char* b;
        bool exact;
        int flags;
        int sign;
    } cases[] = {
        {"9", "10", true, 0, -1},
        {"9", "10", true, IndexString, 1},
        {"10 ", "9", true, 0, -1},
        {"", "0", true, 0, 0},
        {"1e3", "999", true, 0, 1},
        {"abc", "abd", true, 0, -1},
        {"AB", "ABCD", false, 0, 0},
        {"AC", "ABCD", false, 0, 1},
        {"9", "10", true, IndexDescending, 1},
        {"nan", "1", true, 0, 1},
        {"1e999", "2", true, 0, -1},
        // Whole numbers compare by value whatever their spelling, as any number does;
        // beyond what a double holds exactly they compare as doubles.
        {" 12", "12", true, 0, 0},
        {"-0", "+0", true, 0, 0},
        {"007", "7", true, 0, 0},
        {"-5", "3", true, 0, -1},
        {"\t-20", "-3", true, 0, -1},
        {"100", "99.5", true, 0, 1},
        {"123456789012345", "123456789012346", true, 0, -1},
        {"12345678901234567", "12345678901234568", true, 0, 0},
        {"-", "0", true, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
        int r = BrnIndexFile::Compare(c.a, c.b, c.exact, c.flags);
        EXPECT_EQ(c.sign, r < 0 ? -1 : (r > 0 ? 1 : 0));
    }
}

TEST(BrnIndexFile, LongKeysPrefixSearchAndOpenChecks) {
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    std::string longkey(150, 'q');
    ASSERT_TRUE(t.index.Insert(1, String(longkey.c_str())));
    ASSERT_TRUE(t.index.Insert(2, "ABX"));
    ASSERT_TRUE(t.index.Insert(3, "ABC"));
    ASSERT_TRUE(t.index.Insert(4, "B"));
    long recno;
    ASSERT_TRUE(t.index._Find(String(longkey.substr(0, 120).c_str()), true, &recno));
    EXPECT_EQ(1, recno);
    EXPECT_EQ(99u, strlen(t.index.CurrentKey()));
    ASSERT_TRUE(t.index._Find("AB", false, &recno));
    EXPECT_EQ(3, recno);  // the first key that begins with AB
    ASSERT_TRUE(t.index._Find("AB", true, &recno));
    EXPECT_EQ(0, recno);
    t.index.Close();

    std::string bytes = ReadBytes(t.path);
    std::string bad = bytes;
    bad[0] = 'X';
    t.dir.Write("bad.kpx", bad.data(), static_cast<int>(bad.size()));
    BrnIndexFile other(t.engine.filemanager());
    EXPECT_FALSE(other.Open(t.dir.File("bad.kpx"), "bad.kpx", FileRead));
    EXPECT_EQ(String("'bad.kpx' is either corrupt or is not a valid index file"), other.error());
    bad = bytes;
    bad[4] = 4;
    t.dir.Write("new.kpx", bad.data(), static_cast<int>(bad.size()));
    EXPECT_FALSE(other.Open(t.dir.File("new.kpx"), "new.kpx", FileRead));
    EXPECT_EQ(String("'new.kpx' was created by a newer version of the software"), other.error());
    // A page that names itself as its child is reported, not followed for ever.
    bad = bytes;
    bad[1024 + 4] = 1;
    t.dir.Write("loop.kpx", bad.data(), static_cast<int>(bad.size()));
    ASSERT_TRUE(other.Open(t.dir.File("loop.kpx"), "loop.kpx", FileRead | FileWrite));
    EXPECT_FALSE(other._Find("A", true, &recno));
    EXPECT_EQ(String("Error reading from 'loop.kpx': File is corrupt"), other.error());
    EXPECT_FALSE(other.Insert(9, "AAA"));
    bad = bytes;
    bad[1024] = 20;  // more entries than a page can hold
    t.dir.Write("count.kpx", bad.data(), static_cast<int>(bad.size()));
    ASSERT_TRUE(other.Open(t.dir.File("count.kpx"), "count.kpx", FileRead));
    EXPECT_FALSE(other._First(&recno));
    EXPECT_NE(-1, other.error().search("the number of entries is larger", 0));
    // Key slots filled to the last byte: reads stay inside the slot.
    bad = bytes;
    for (int e = 0; e < 4; e++) {
        for (int k = 0; k < 100; k++) bad[1024 + 4 + e * 108 + 8 + k] = 'Z';
    }
    t.dir.Write("full.kpx", bad.data(), static_cast<int>(bad.size()));
    ASSERT_TRUE(other.Open(t.dir.File("full.kpx"), "full.kpx", FileRead));
    ASSERT_TRUE(other._First(&recno));
    EXPECT_EQ(99u, strlen(other.CurrentKey()));
    EXPECT_TRUE(other._Find(String(std::string(99, 'Z').c_str()), true, &recno));
}

TEST(BrnIndexFile, RandomInsertsAndDeletesMatchAModel) {
    struct Config {
        int flags;
        bool numeric;
        bool longkeys;
    } configs[] = {
        {0, false, false},
        {IndexUnique, true, false},
        {IndexDescending, true, false},
        {IndexUnique | IndexDescending, false, true},
        {IndexString, true, false},
        {0, false, true},
    };
    const int kSteps = 17000;  // per configuration: over 100000 operations in all
    int config = 0;
    for (const Config& cfg : configs) {
        unsigned seed = 1000 + config++;
        SCOPED_TRACE("seed " + std::to_string(seed) + " flags " + std::to_string(cfg.flags));
        std::mt19937 rng(seed);
        Index t;
        ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "KEY", cfg.flags));
        Entries model;
        long nextrecno = 1;
        for (int step = 0; step < kSteps; step++) {
            bool insert = model.size() < 20 || (rng() % 100) < (model.size() < 70 ? 55 : 40);
            if (insert) {
                int n = rng() % 120;
                std::string key =
                    cfg.numeric ? std::to_string(n - 20) : "k" + std::to_string(n % 47);
                if (cfg.longkeys) key = std::string(95 + n % 10, 'a' + n % 3) + key;
                std::string stored = key.substr(0, 99);
                size_t pos = 0;
                while (pos < model.size() &&
                       BrnIndexFile::Compare(stored.c_str(), model[pos].first.c_str(), true,
                                             cfg.flags) > 0) {
                    pos++;
                }
                bool duplicate = pos < model.size() &&
                                 BrnIndexFile::Compare(stored.c_str(), model[pos].first.c_str(),
                                                       true, cfg.flags) == 0;
                bool ok = t.index.Insert(nextrecno, String(key.c_str()));
                if ((cfg.flags & IndexUnique) && duplicate) {
                    ASSERT_FALSE(ok);
                    continue;
                }
                ASSERT_TRUE(ok) << t.index.error() << " at step " << step;
                model.insert(model.begin() + pos, std::make_pair(stored, nextrecno++));
            } else {
                size_t victim = rng() % model.size();
                ASSERT_TRUE(
                    t.index.Delete(model[victim].second, String(model[victim].first.c_str())))
                    << t.index.error() << " at step " << step;
                model.erase(model.begin() + victim);
            }
            // The whole file every 64 steps and at the end (a fault found there is
            // then searched for by the steps since the last check); a probe every step.
            if (step % 64 == 0 || step == kSteps - 1) {
                Checker checker;
                Entries walked = checker.Walk(t.path);
                ASSERT_EQ("", checker.problem) << "at step " << step;
                ASSERT_EQ(model, walked) << "at step " << step;
                ASSERT_EQ(model, Forward(&t.index)) << "at step " << step;
                ASSERT_EQ(model, Backward(&t.index)) << "at step " << step;
            }
            if (!model.empty()) {
                const std::string& probe = model[rng() % model.size()].first;
                long recno;
                ASSERT_TRUE(t.index._Find(String(probe.c_str()), true, &recno));
                size_t first = 0;
                while (BrnIndexFile::Compare(probe.c_str(), model[first].first.c_str(), true,
                                             cfg.flags) != 0) {
                    first++;
                }
                ASSERT_EQ(model[first].second, recno) << "at step " << step;
            }
        }
    }
}

TEST(BrnIndexFile, CursorSurvivesChangesByOthers) {
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    for (int i = 1; i <= 40; i++) ASSERT_TRUE(t.index.Insert(i, String::FromInt(i * 2)));
    long recno;
    ASSERT_TRUE(t.index._Find("20", true, &recno));
    EXPECT_EQ(10, recno);
    BrnIndexFile other(t.engine.filemanager());
    ASSERT_TRUE(other.Open(t.path, "t.kpx", FileRead | FileWrite));
    ASSERT_TRUE(other.Insert(100, "21"));
    ASSERT_TRUE(other.Delete(11, "22"));
    ASSERT_TRUE(t.index._Next(&recno));
    EXPECT_EQ(100, recno);  // the cursor was rebuilt on the entry it stood on
    ASSERT_TRUE(t.index._Next(&recno));
    EXPECT_EQ(12, recno);
    ASSERT_TRUE(t.index._Seek("40", 20));
    ASSERT_TRUE(t.index._Prev(&recno));
    EXPECT_EQ(19, recno);
}

TEST(BrnIndexFile, ConcurrentWritersKeepEveryKey) {
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    t.index.Close();
    const int kWriters = 8, kEach = 150;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; w++) {
        children[w] = fork();
        if (children[w] == 0) {
            TestKelp e;
            BrnIndexFile index(e.filemanager());
            if (!index.Open(t.path, "t.kpx", FileRead | FileWrite)) _exit(1);
            for (int i = 0; i < kEach; i++) {
                long recno = w * kEach + i + 1;
                if (!index.Insert(recno, String::FromInt(recno % 97))) _exit(2);
            }
            _exit(0);
        }
    }
    for (pid_t c : children) {
        int status;
        waitpid(c, &status, 0);
        EXPECT_EQ(0, WEXITSTATUS(status));
    }
    Checker checker;
    Entries all = checker.Walk(t.path);
    EXPECT_EQ("", checker.problem);
    ASSERT_EQ(static_cast<size_t>(kWriters * kEach), all.size());
    std::vector<int> seen(kWriters * kEach + 1, 0);
    for (auto& e : all) seen[e.second]++;
    for (int i = 1; i <= kWriters * kEach; i++) ASSERT_EQ(1, seen[i]);
}

TEST(BrnIndexFile, ReadersSeeEveryKeyAWriterFinished) {
    // A reader whose pages are cached reads without the lock while it can: it must
    // still find every key a writer has finished inserting, and walk in order.
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", IndexString));
    t.index.Close();
    int progress[2];
    ASSERT_EQ(0, pipe(progress));
    const int kKeys = 1500;
    pid_t writer = fork();
    if (writer == 0) {
        close(progress[0]);
        TestKelp e;
        BrnIndexFile index(e.filemanager());
        if (!index.Open(t.path, "t.kpx", FileRead | FileWrite)) _exit(1);
        for (int i = 1; i <= kKeys; i++) {
            // Keys in a scattered order, so that pages split everywhere.
            int k = (i * 7919) % kKeys + 1;
            if (!index.Insert(k, String::FromInt(100000 + k))) _exit(2);
            if (write(progress[1], &k, sizeof k) != sizeof k) _exit(3);
        }
        _exit(0);
    }
    close(progress[1]);
    BrnIndexFile reader(t.engine.filemanager());
    ASSERT_TRUE(reader.Open(t.path, "t.kpx", FileRead));
    std::vector<int> done;
    int k;
    int problems = 0;
    while (read(progress[0], &k, sizeof k) == sizeof k) {
        done.push_back(k);
        // A key finished just now, and one finished a while ago.
        for (int probe : {k, done[done.size() / 2]}) {
            long recno = 0;
            if (!reader._Find(String::FromInt(100000 + probe), true, &recno) || recno != probe) {
                problems++;
            }
        }
        if (done.size() % 250 == 0) {
            Entries all = Forward(&reader);
            if (all.size() < done.size()) problems++;
            for (size_t i = 1; i < all.size(); i++) {
                if (strcmp(all[i - 1].first.c_str(), all[i].first.c_str()) > 0) problems++;
            }
        }
    }
    int status;
    waitpid(writer, &status, 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0, problems);
    EXPECT_EQ(static_cast<size_t>(kKeys), Forward(&reader).size());
}

namespace {

void WriteBytes(const String& path, const std::string& bytes) {
    FILE* f = fopen(path.chars(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

}  // namespace

TEST(BrnIndexFile, AnUpdateCutShortIsUndoneWhole) {
    // Every insert and delete below splits or merges pages on several levels. Each is
    // cut after 0, 1, 2, ... writes, either as a process killed there (later writes
    // never reach the file) or as a full disk (writes that grow the file fail): the
    // next process must find the index exactly as before or exactly as after, and
    // able to go on.
    Index t;
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    Entries model;
    for (int i = 1; i <= 300; i++) {
        // Keys that make the tree three levels deep with full pages on the right.
        ASSERT_TRUE(t.index.Insert(i, String::FromInt(1000 + i)));
        model.emplace_back(std::to_string(1000 + i), i);
    }
    t.index.Close();
    struct Step {
        bool insert;
        long recno;
        int key;
    };
    const Step steps[] = {{true, 301, 1301},  {true, 302, 1302}, {true, 303, 1303},
                          {false, 150, 1150}, {false, 1, 1001},  {false, 2, 1002},
                          {false, 3, 1003}};
    int cuts = 0;
    for (const Step& step : steps) {
        std::string before = ReadBytes(t.path);
        Entries after = model;
        std::pair<std::string, long> entry(std::to_string(step.key), step.recno);
        if (step.insert) {
            after.push_back(entry);
        } else {
            after.erase(std::find(after.begin(), after.end(), entry));
        }
        for (int vanish = 0; vanish <= 1; vanish++) {
            for (long budget = 0;; budget++) {
                WriteBytes(t.path, before);
                bool completed;
                {
                    FaultyKelp e;
                    e.budget.left = budget;
                    e.budget.vanish = vanish != 0;
                    BrnIndexFile index(e.filemanager());
                    ASSERT_TRUE(index.Open(t.path, "t.kpx", FileRead | FileWrite));
                    bool ok = step.insert ? index.Insert(step.recno, String::FromInt(step.key))
                                          : index.Delete(step.recno, String::FromInt(step.key));
                    completed = !e.budget.cut;
                    if (!vanish) {
                        EXPECT_EQ(completed, ok) << index.error();
                    }
                    if (!vanish && !ok) {
                        // A failed write is taken back at once, in the same process.
                        EXPECT_EQ(model, Forward(&index)) << "budget " << budget;
                    }
                }
                BrnIndexFile index(t.engine.filemanager());
                ASSERT_TRUE(index.Open(t.path, "t.kpx", FileRead | FileWrite)) << index.error();
                Entries found = Forward(&index);
                EXPECT_TRUE(found == model || found == after)
                    << "budget " << budget << " vanish " << vanish;
                if (completed) {
                    EXPECT_EQ(after, found);
                }
                Checker checker;
                Entries walked = checker.Walk(t.path);
                EXPECT_EQ("", checker.problem) << "budget " << budget << " vanish " << vanish;
                EXPECT_EQ(found, walked);
                // And it goes on: a change after the recovery keeps the tree whole.
                ASSERT_TRUE(index.Insert(9999, "0999")) << index.error();
                Checker again;
                again.Walk(t.path);
                EXPECT_EQ("", again.problem);
                cuts++;
                if (completed) break;
            }
        }
        WriteBytes(t.path, before);
        BrnIndexFile index(t.engine.filemanager());
        ASSERT_TRUE(index.Open(t.path, "t.kpx", FileRead | FileWrite));
        ASSERT_TRUE(step.insert ? index.Insert(step.recno, String::FromInt(step.key))
                                : index.Delete(step.recno, String::FromInt(step.key)));
        model = after;
    }
    // Seven changes of several pages each, cut at every write of theirs both ways.
    EXPECT_GE(cuts, 7 * 2 * 2);
    printf("%d cuts\n", cuts);
}

// A descriptor given up for another file is opened again by the index's name when
// the index is next used; by then the name may lead to a rebuilt file. Header and
// pages are then read from that one file, and a change goes into it soundly.
TEST(BrnIndexFile, AnIndexOpenedAgainByItsNameUsesOneFile) {
    Index t;
    t.engine.configure().maxfiles = 1;
    String rebuilt = t.dir.File("rebuilt.kpx");
    {
        BrnIndexFile maker(t.engine.filemanager());
        ASSERT_TRUE(maker.Create(rebuilt, "rebuilt.kpx", "K", 0));
        for (int i = 1; i <= 60; i++)
            ASSERT_TRUE(maker.Insert(i, "new" + String::FromInt(i * 7 % 61)));
    }
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    for (int i = 1; i <= 90; i++) ASSERT_TRUE(t.index.Insert(i, "old" + String::FromInt(i)));
    EXPECT_EQ(90u, Forward(&t.index).size());
    // Another file takes the one descriptor; meanwhile the name gets the rebuilt file.
    {
        BrnIndexFile other(t.engine.filemanager());
        ASSERT_TRUE(other.Open(rebuilt, "rebuilt.kpx", FileRead));
        EXPECT_EQ(60u, Forward(&other).size());
        ASSERT_EQ(0, rename(rebuilt.chars(), t.path.chars()));
    }
    ASSERT_TRUE(t.index.Insert(99, "new99")) << t.index.error().chars();
    BrnIndexFile fresh(t.engine.filemanager());
    ASSERT_TRUE(fresh.Open(t.path, "t.kpx", FileRead | FileWrite));
    std::vector<std::pair<String, long>> entries;
    std::vector<String> problems;
    EXPECT_TRUE(fresh.Check(&entries, &problems)) << fresh.error().chars();
    EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems[0].chars());
    EXPECT_EQ(61u, entries.size());
    Entries walked = Forward(&fresh);
    EXPECT_EQ(61u, walked.size());
    for (auto& e : walked) EXPECT_EQ(0u, e.first.find("new")) << e.first;
}

// A process serving many requests keeps the pages an index read for its next open, and
// takes them only while the file is the one they were read from: a change by another
// writer, or another file copied over it with the same size, is read afresh.
TEST(BrnIndexFile, KeptPagesServeOnlyTheFileTheyWereReadFrom) {
    Index t;
    String other = t.dir.File("other.kpx");
    {
        BrnIndexFile maker(t.engine.filemanager());
        ASSERT_TRUE(maker.Create(other, "other.kpx", "K", 0));
        // As many changes as the other file will have had: the same update count.
        for (int i = 1; i <= 61; i++) ASSERT_TRUE(maker.Insert(i, "b" + String::FromInt(i + 100)));
    }
    ASSERT_TRUE(t.index.Create(t.path, "t.kpx", "K", 0));
    for (int i = 1; i <= 60; i++) ASSERT_TRUE(t.index.Insert(i, "a" + String::FromInt(i + 100)));
    t.index.Close();
    BrnIndexFile::KeepPages(1024, 0);
    auto walk = [&](Entries* entries) {
        BrnIndexFile reader(t.engine.filemanager());
        ASSERT_TRUE(reader.Open(t.path, "t.kpx", FileRead)) << reader.error().chars();
        *entries = Forward(&reader);
    };
    Entries first, again;
    long hits = BrnIndexFile::KeptHits();
    walk(&first);
    ASSERT_EQ(60u, first.size());
    walk(&again);
    EXPECT_EQ(hits + 1, BrnIndexFile::KeptHits());
    EXPECT_EQ(first, again);
    // Another writer's change.
    {
        BrnIndexFile writer(t.engine.filemanager());
        ASSERT_TRUE(writer.Open(t.path, "t.kpx", FileRead | FileWrite));
        ASSERT_TRUE(writer.Insert(99, "a150x"));
    }
    Entries changed;
    hits = BrnIndexFile::KeptHits();
    walk(&changed);
    EXPECT_EQ(hits, BrnIndexFile::KeptHits());
    EXPECT_EQ(61u, changed.size());
    // Another index of the same size and update count copied over it, its bytes in the
    // same inode.
    walk(&changed);
    std::string bytes = ReadBytes(other);
    ASSERT_EQ(LE(ReadBytes(t.path), 5, 4), LE(bytes, 5, 4));
    FILE* f = fopen(t.path.chars(), "r+b");
    ASSERT_NE(nullptr, f);
    fseek(f, 0, SEEK_END);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(ftell(f)));
    rewind(f);
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    fclose(f);
    Entries copied;
    hits = BrnIndexFile::KeptHits();
    walk(&copied);
    EXPECT_EQ(hits, BrnIndexFile::KeptHits());
    ASSERT_EQ(61u, copied.size());
    for (auto& e : copied) EXPECT_EQ('b', e.first[0]) << e.first;
    // A file changed within the settling time is not kept at all.
    BrnIndexFile::KeepPages(1024, 3600);
    walk(&copied);
    hits = BrnIndexFile::KeptHits();
    walk(&copied);
    EXPECT_EQ(hits, BrnIndexFile::KeptHits());
    BrnIndexFile::KeepPages(0);
}
