// Buffer: block boundaries, stepping back across blocks, seeking.

#include "script/buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

std::string ReadAll(Buffer* b) {
    std::string s;
    for (int c = b->GetNextChar(); c >= 0; c = b->GetNextChar()) s += static_cast<char>(c);
    return s;
}

std::string Content(int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += static_cast<char>('a' + i % 26);
    return s;
}

}  // namespace

TEST(Buffer, FilesOfOneBlockAndOneByteMoreReadIdentically) {
    TestKelp engine;
    TempDir dir;
    for (int n : {0, 1, 15, 16, 17, 32, 33}) {
        SCOPED_TRACE(n);
        std::string content = Content(n);
        String path = dir.Write("f", content.data(), n);
        Buffer b(engine.filemanager(), 16);
        ASSERT_TRUE(b.Open(path, "f"));
        EXPECT_EQ(content, ReadAll(&b));
        EXPECT_EQ(-1, b.GetNextChar());
        EXPECT_EQ(n, b.CurrentFilePosition());
    }
}

TEST(Buffer, UnGetCharAcrossABlockBoundary) {
    TestKelp engine;
    TempDir dir;
    std::string content = Content(40);
    String path = dir.Write("f", content.data(), 40);
    Buffer b(engine.filemanager(), 16);
    ASSERT_TRUE(b.Open(path, "f"));
    for (int i = 0; i < 16; i++) b.GetNextChar();  // the next block is loaded now
    EXPECT_EQ(16, b.CurrentFilePosition());
    b.UnGetChar();
    EXPECT_EQ(15, b.CurrentFilePosition());
    EXPECT_EQ(content[15], b.GetNextChar());
    EXPECT_EQ(content[16], b.GetNextChar());

    // Step back over several blocks one character at a time.
    for (int i = 0; i < 17; i++) b.UnGetChar();
    EXPECT_EQ(0, b.CurrentFilePosition());
    EXPECT_EQ(content, ReadAll(&b));

    // After a seek into the middle of a block, stepping back re-reads correctly.
    ASSERT_TRUE(b.Seek(21));
    EXPECT_EQ(content[21], b.GetNextChar());
    ASSERT_TRUE(b.Seek(37));
    for (int i = 0; i < 20; i++) b.UnGetChar();
    EXPECT_EQ(17, b.CurrentFilePosition());
    EXPECT_EQ(content.substr(17), ReadAll(&b));
}

TEST(Buffer, SeekInsideAndOutsideTheBlock) {
    TestKelp engine;
    TempDir dir;
    std::string content = Content(100);
    String path = dir.Write("f", content.data(), 100);
    Buffer b(engine.filemanager(), 8);
    ASSERT_TRUE(b.Open(path, "f"));
    ASSERT_TRUE(b.Seek(5));
    EXPECT_EQ(content[5], b.GetNextChar());
    ASSERT_TRUE(b.Seek(77));
    EXPECT_EQ(content.substr(77), ReadAll(&b));
    ASSERT_TRUE(b.Seek(0));
    EXPECT_EQ(content, ReadAll(&b));
}

TEST(Buffer, OpenFailureKeepsTheReason) {
    TestKelp engine;
    Buffer b(engine.filemanager(), 8);
    EXPECT_FALSE(b.Open("/nonexistent/dir/page.kp", "page.kp"));
    EXPECT_EQ(String("No such file or directory"), b.error());
    EXPECT_EQ(-1, b.GetNextChar());
    EXPECT_FALSE(b.Seek(0));
}
