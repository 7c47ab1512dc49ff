// The page cache of a process that serves many requests: a page is read again whenever
// it is not the file read before, and what is kept stays within its bound.

#include "host/page_cache.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "foundation/file.h"

namespace {

// Files change this long after they were written here are old enough to be kept.
const long kSettle = 40;

class PageCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kelp-page-cache-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
    }
    void TearDown() override { system(("rm -rf " + dir_).c_str()); }

    std::string Write(const std::string& name, const std::string& text) {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "r+");
        if (f == nullptr) f = fopen(path.c_str(), "w");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
        return path;
    }
    static void Settle() { usleep((kSettle + 20) * 1000); }

    // The whole text an open gives, or "error: MESSAGE".
    static std::string Text(PageCache* cache, const std::string& path) {
        String error;
        std::unique_ptr<File> file(cache->Open(String(path.c_str()), &error));
        if (!file) return "error: " + std::string(error.chars());
        std::string text;
        char block[7];
        long n;
        EXPECT_EQ(0, file->Seek(0));
        while ((n = file->Read(block, sizeof block)) > 0)
            text.append(block, static_cast<size_t>(n));
        EXPECT_EQ(static_cast<long>(text.size()), file->Length());
        return text;
    }

    std::string dir_;
};

// The status a request took of its page stands for the next open of that page only.
TEST_F(PageCacheTest, AStatusSeenServesTheNextOpenOfItsPageOnly) {
    PageCache cache(1 << 20, kSettle);
    std::string page = Write("page.kp", "<KpEVAL 1>");
    std::string other = Write("other.kp", "other");
    Settle();
    EXPECT_EQ("<KpEVAL 1>", Text(&cache, page));
    Write("page.kp", "<KpEVAL 22>");
    Settle();
    struct stat seen;
    ASSERT_EQ(0, stat(page.c_str(), &seen));
    // Told of the page's new status: read again (and kept under it).
    cache.Seen(String(page.c_str()), seen);
    EXPECT_EQ("<KpEVAL 22>", Text(&cache, page));
    EXPECT_EQ(2, cache.reads());
    // The status of another file is not the page's.
    cache.Seen(String(other.c_str()), seen);
    Write("page.kp", "<KpEVAL 333>");
    EXPECT_EQ("<KpEVAL 333>", Text(&cache, page));
    // Nor is one an open of another file has used.
    Settle();
    EXPECT_EQ("<KpEVAL 333>", Text(&cache, page));
    ASSERT_EQ(0, stat(page.c_str(), &seen));
    cache.Seen(String(page.c_str()), seen);
    EXPECT_EQ("other", Text(&cache, other));
    Write("page.kp", "<KpEVAL 4444>");
    EXPECT_EQ("<KpEVAL 4444>", Text(&cache, page));
}

TEST_F(PageCacheTest, AnUnchangedPageIsReadOnceAChangedOneAgain) {
    PageCache cache(1 << 20, kSettle);
    std::string page = Write("page.kp", "<KpEVAL 1>");
    // Written just now: read, and read again, until it has settled.
    EXPECT_EQ("<KpEVAL 1>", Text(&cache, page));
    EXPECT_EQ("<KpEVAL 1>", Text(&cache, page));
    EXPECT_EQ(2, cache.reads());
    EXPECT_EQ(0u, cache.entries());
    Settle();
    EXPECT_EQ("<KpEVAL 1>", Text(&cache, page));
    EXPECT_EQ("<KpEVAL 1>", Text(&cache, page));
    EXPECT_EQ(3, cache.reads());
    EXPECT_EQ(1, cache.hits());
    EXPECT_EQ(10u, cache.bytes());

    // Rewritten in place with the same length: a new change time.
    Write("page.kp", "<KpEVAL 2>");
    EXPECT_EQ("<KpEVAL 2>", Text(&cache, page));
    Settle();
    EXPECT_EQ("<KpEVAL 2>", Text(&cache, page));
    EXPECT_EQ("<KpEVAL 2>", Text(&cache, page));
    EXPECT_EQ(1u, cache.entries());

    // Replaced by another file under its name, then removed.
    std::string other = Write("other.kp", "replaced");
    Settle();
    ASSERT_EQ(0, rename(other.c_str(), page.c_str()));
    EXPECT_EQ("replaced", Text(&cache, page));
    ASSERT_EQ(0, unlink(page.c_str()));
    EXPECT_EQ("error: No such file or directory", Text(&cache, page));
    EXPECT_EQ(0u, cache.entries());
    EXPECT_EQ(0u, cache.bytes());
    EXPECT_EQ("error: Is a directory", Text(&cache, dir_));
}

TEST_F(PageCacheTest, WhatIsKeptStaysWithinTheBound) {
    PageCache cache(25, kSettle);
    std::string a = Write("a.kp", std::string(10, 'a'));
    std::string b = Write("b.kp", std::string(10, 'b'));
    std::string c = Write("c.kp", std::string(10, 'c'));
    std::string big = Write("big.kp", std::string(26, 'x'));
    Settle();
    Text(&cache, a);
    Text(&cache, b);
    Text(&cache, a);  // b is now the least recently used
    Text(&cache, c);
    EXPECT_EQ(20u, cache.bytes());
    long reads = cache.reads();
    EXPECT_EQ(std::string(10, 'a'), Text(&cache, a));
    EXPECT_EQ(std::string(10, 'c'), Text(&cache, c));
    EXPECT_EQ(reads, cache.reads());
    EXPECT_EQ(std::string(10, 'b'), Text(&cache, b));  // dropped, so read again
    EXPECT_EQ(reads + 1, cache.reads());
    // A page larger than the bound is read every time and keeps nothing out.
    EXPECT_EQ(std::string(26, 'x'), Text(&cache, big));
    EXPECT_EQ(std::string(26, 'x'), Text(&cache, big));
    EXPECT_EQ(reads + 3, cache.reads());
    EXPECT_LE(cache.bytes(), 25u);
    // A smaller bound drops what no longer fits; none keeps nothing.
    cache.SetLimit(10);
    EXPECT_LE(cache.bytes(), 10u);
    cache.SetLimit(0);
    EXPECT_EQ(0u, cache.entries());
    EXPECT_EQ(std::string(10, 'a'), Text(&cache, a));
    EXPECT_EQ(0u, cache.entries());
}

// A file from memory reads as the file would, to the end, and takes no writes.
TEST_F(PageCacheTest, AFileFromMemoryOnlyReads) {
    PageCache cache(1 << 20, kSettle);
    std::string page = Write("page.kp", "0123456789");
    Settle();
    Text(&cache, page);
    String error;
    std::unique_ptr<File> file(cache.Open(String(page.c_str()), &error));
    ASSERT_TRUE(file);
    char block[16];
    EXPECT_EQ(7, file->Seek(7));
    EXPECT_EQ(3, file->Read(block, sizeof block));
    EXPECT_EQ(0, file->Read(block, sizeof block));
    EXPECT_EQ(20, file->Seek(20));
    EXPECT_EQ(0, file->Read(block, sizeof block));
    EXPECT_LT(file->Seek(-1), 0);
    EXPECT_LT(file->Write("x", 1), 0);
    EXPECT_LT(file->Truncate(0), 0);
    file->Close();
    EXPECT_LT(file->Read(block, 1), 0);
}

}  // namespace

namespace {

// A scan that counts how many of its kind are alive.
class CountedScan : public ScriptScan {
  public:
    explicit CountedScan(size_t size) : size_(size) { alive++; }
    ~CountedScan() override { alive--; }
    size_t footprint() const override { return size_; }
    static int alive;

  private:
    size_t size_;
};
int CountedScan::alive = 0;

}  // namespace

// What an interpreter made of a text is kept with that text: handed to one reader at a
// time, dropped when the file changes, and counted within the bound.
TEST_F(PageCacheTest, AScanIsKeptWithItsTextForOneReaderAtATime) {
    PageCache cache(100, kSettle);
    std::string page = Write("page.kp", std::string(10, 'p'));
    String error;
    {
        // Written just now: the text is not kept, nor is a scan of it.
        std::unique_ptr<File> fresh(cache.Open(String(page.c_str()), &error));
        fresh->KeepScan(new CountedScan(5));
        EXPECT_EQ(0, CountedScan::alive);
    }
    Settle();
    std::unique_ptr<File> first(cache.Open(String(page.c_str()), &error));
    EXPECT_EQ(nullptr, first->TakeScan());
    first->KeepScan(new CountedScan(30));
    EXPECT_EQ(40u, cache.bytes());
    // Two readers at once: the first takes it, the second makes its own.
    std::unique_ptr<File> a(cache.Open(String(page.c_str()), &error));
    std::unique_ptr<File> b(cache.Open(String(page.c_str()), &error));
    std::unique_ptr<ScriptScan> taken(a->TakeScan());
    ASSERT_NE(nullptr, taken);
    EXPECT_EQ(30u, taken->footprint());
    EXPECT_EQ(nullptr, b->TakeScan());
    EXPECT_EQ(10u, cache.bytes());
    b->KeepScan(new CountedScan(20));
    a->KeepScan(taken.release());  // one is kept already: this one goes
    EXPECT_EQ(1, CountedScan::alive);
    EXPECT_EQ(30u, cache.bytes());
    EXPECT_EQ(1, cache.scanhits());

    // A scan that would not fit beside its text is not kept.
    std::unique_ptr<ScriptScan> held(b->TakeScan());
    b->KeepScan(new CountedScan(91));
    EXPECT_EQ(1, CountedScan::alive);
    b->KeepScan(held.release());

    // Another page's text and scan push the least recently used out, scan and all
    // (gone once its last reader closes).
    std::string other = Write("other.kp", std::string(10, 'o'));
    Settle();
    std::unique_ptr<File> o(cache.Open(String(other.c_str()), &error));
    o->KeepScan(new CountedScan(70));
    EXPECT_EQ(80u, cache.bytes());
    EXPECT_EQ(1u, cache.entries());
    first.reset();
    a.reset();
    b.reset();
    EXPECT_EQ(1, CountedScan::alive);

    // A changed file is read again, and the scan of the text before is not given out;
    // a reader of that text keeps nothing for the new one.
    Write("other.kp", std::string(10, 'O'));
    Settle();
    std::unique_ptr<File> changed(cache.Open(String(other.c_str()), &error));
    EXPECT_EQ(nullptr, changed->TakeScan());
    o->KeepScan(new CountedScan(5));
    EXPECT_EQ(nullptr, changed->TakeScan());
    EXPECT_EQ(10u, cache.bytes());
    o.reset();
    EXPECT_EQ(0, CountedScan::alive);
}
