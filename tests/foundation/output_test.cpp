// Output: buffering and flush sizes; StringOutput.

#include "foundation/output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/print.h"

namespace {

// Records the size of every DoWrite call.
class RecordingOutput : public Output {
  public:
    explicit RecordingOutput(int size) : Output(size) {}
    ~RecordingOutput() override { Flush(); }
    int DoWrite(const char* s, int n) override {
        writes.push_back(n);
        bytes.append(s, n);
        return n;
    }
    std::vector<int> writes;
    std::string bytes;
};

}  // namespace

TEST(Output, AFullBufferIsFlushedOnlyByTheNextWrite) {
    RecordingOutput out(8192);
    std::string page(8192, 'x');
    EXPECT_EQ(8192, out.Write(page.data(), 8192));
    EXPECT_TRUE(out.writes.empty());
    EXPECT_EQ(8192, out.used());
    out.Write("y", 1);
    ASSERT_EQ(1u, out.writes.size());
    EXPECT_EQ(8192, out.writes[0]);
    EXPECT_EQ(1, out.used());
}

TEST(Output, LargeWritesGoOutInWholeBuffers) {
    RecordingOutput out(8192);
    std::string filler(8192, 'a');
    out.Write(filler.data(), 8192);
    std::string big(20000, 'b');
    EXPECT_EQ(20000, out.Write(big.data(), 20000));
    EXPECT_EQ((std::vector<int>{8192, 8192, 8192}), out.writes);
    EXPECT_EQ(3616, out.used());
    out.Flush();
    EXPECT_EQ(filler + big, out.bytes);
}

TEST(Output, WritesThatDoNotFitFlushFirst) {
    RecordingOutput out(10);
    out.Write("123456", -1);
    out.Write("7890a", 5);  // 11 > 10: flush the 6 first
    EXPECT_EQ((std::vector<int>{6}), out.writes);
    EXPECT_EQ(0, out.Write("", 0));
    EXPECT_EQ(0, out.Write("", -1));
    EXPECT_EQ(5, out.used());
    out.Write("0123456789012345678901", 22);  // 5 used: pieces of 5, 10, then 7 kept
    EXPECT_EQ((std::vector<int>{6, 10, 10}), out.writes);
    EXPECT_EQ(7, out.used());
    EXPECT_EQ(0, out.Flush() - 7);
    out.Flush();  // an empty flush still reaches DoWrite
    EXPECT_EQ((std::vector<int>{6, 10, 10, 7, 0}), out.writes);
}

TEST(Output, StringOutputCollectsEverythingIncludingNuls) {
    StringOutput out(4);
    out.Write("ab\0cd", 5);
    out.Write(String("efg"));
    out.Flush();
    EXPECT_EQ(8, out.data().length());
    EXPECT_EQ(String("ab\0cdefg", 8), out.data());
    EXPECT_EQ(0, out.inwhitespace());
    out.inwhitespace() = 1;
    EXPECT_EQ(1, out.inwhitespace());
}

TEST(Output, TheBufferGrowsWithoutLosingOrMovingBytes) {
    // Short and long writes past every step of the buffer's growth, to a size that is
    // no power of two: every byte arrives in order, and each flush comes only when the
    // next write would not fit.
    RecordingOutput out(3000);
    std::string expected;
    std::vector<int> lengths;
    for (int i = 0; i < 700; i++) {
        int n = i % 97 == 0 ? 450 : 1 + i % 40;
        std::string piece(n, static_cast<char>('a' + i % 26));
        piece[0] = static_cast<char>('0' + i % 10);
        out.Write(piece.data(), n);
        expected += piece;
        lengths.push_back(n);
    }
    out.Flush();
    EXPECT_EQ(expected, out.bytes);
    int written = 0;
    size_t next = 0;
    for (size_t w = 0; w + 1 < out.writes.size(); w++) {
        int flushed = out.writes[w];
        EXPECT_LE(flushed, 3000);
        // The writes that made up this flush, then the one that did not fit.
        int sum = 0;
        while (sum < flushed) sum += lengths[next++];
        EXPECT_EQ(flushed, sum);
        EXPECT_GT(flushed + lengths[next], 3000);
        written += flushed;
    }
    EXPECT_EQ(static_cast<int>(expected.size()), written + out.writes.back());

    // Before its first byte there is no buffer: empty writes and a flush still work.
    RecordingOutput fresh(8);
    EXPECT_EQ(0, fresh.Write("", -1));
    EXPECT_EQ(0, fresh.Write(String()));
    EXPECT_EQ(0, fresh.Flush());
    EXPECT_EQ((std::vector<int>{0}), fresh.writes);
}
