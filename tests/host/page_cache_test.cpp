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
