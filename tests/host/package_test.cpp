// The tar reader on archives GNU tar makes and on headers built here: entry types,
// data positions, the end of the archive, checksums, and extraction that stays in its
// directory.

#include "host/package.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

std::string ReadAll(const std::string& path) {
    std::string s;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return "<missing>";
    char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0) s.append(block, n);
    fclose(f);
    return s;
}

void WriteAll(const std::string& path, const std::string& data) {
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// One ustar header block with a correct checksum.
std::string Header(const std::string& name, char type, long size) {
    std::string h(512, '\0');
    memcpy(&h[0], name.data(), name.size() < 100 ? name.size() : 100);
    snprintf(&h[100], 8, "%07o", 0644);
    snprintf(&h[108], 8, "%07o", 0);
    snprintf(&h[116], 8, "%07o", 0);
    snprintf(&h[124], 12, "%011lo", size);
    snprintf(&h[136], 12, "%011o", 0);
    h[156] = type;
    memcpy(&h[257], "ustar\00000", 8);
    memset(&h[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : h) sum += c;
    snprintf(&h[148], 8, "%06o", sum);
    return h;
}

std::string Padded(const std::string& data) {
    std::string d = data;
    d.resize((data.size() + 511) / 512 * 512, '\0');
    return d;
}

class TarTest : public ::testing::Test {
  protected:
    TempDir dir;
    TestKelp engine;
    std::string Path(const char* name) { return std::string(dir.path().chars()) + "/" + name; }
};

TEST_F(TarTest, ReadsWhatGnuTarWrites) {
    std::string src = Path("src");
    mkdir(src.c_str(), 0755);
    mkdir((src + "/sub").c_str(), 0755);
    WriteAll(src + "/sub/big.txt", std::string(513, 'b'));
    WriteAll(src + "/small.txt", "hello\n");
    ASSERT_EQ(0, symlink("small.txt", (src + "/link").c_str()));
    std::string command = "cd '" + src + "' && tar --format=ustar -cf ../a.tar sub small.txt link";
    ASSERT_EQ(0, system(command.c_str()));

    Tar tar(&engine);
    ASSERT_TRUE(tar.Open(Path("a.tar").c_str(), "a.tar"));
    std::string listing;
    int n = tar.First();
    for (; n != 0 && tar.type() != TarEnd; n = tar.Next()) {
        listing += std::to_string(n) + ":" + tar.name().chars() + ":" + std::to_string(tar.type()) +
                   ":" + std::to_string(tar.size()) +
                   (tar.type() == TarSymbolicLink ? std::string("->") + tar.link().chars() : "") +
                   " ";
    }
    EXPECT_EQ("1:sub/:3:0 2:sub/big.txt:0:513 3:small.txt:0:6 4:link:2:0->small.txt ", listing);
    // The end-of-archive block is an entry of its own.
    EXPECT_EQ(5, n);
    EXPECT_EQ(TarEnd, tar.type());

    // The 513-byte file's data takes two blocks: the next entry is read right.
    ASSERT_EQ(1, tar.First());
    ASSERT_EQ(2, tar.Next());
    ASSERT_TRUE(tar.Write(Path("big.out").c_str(), "big.out"));
    EXPECT_EQ(std::string(513, 'b'), ReadAll(Path("big.out")));
    ASSERT_EQ(3, tar.Next());
    EXPECT_EQ(String("small.txt"), tar.name());
    ASSERT_EQ(4, tar.Next());
    EXPECT_FALSE(tar.Write(Path("link.out").c_str(), "link.out"));  // a link writes nothing
    EXPECT_EQ("<missing>", ReadAll(Path("link.out")));
}

TEST_F(TarTest, TypesChecksumsAndEnd) {
    std::string archive = Header("dir/", '0', 0) + Header("file", '\0', 3) + Padded("abc") +
                          Header("fifo", '6', 0) + std::string(1024, '\0');
    WriteAll(Path("b.tar"), archive);
    Tar tar(&engine);
    ASSERT_TRUE(tar.Open(Path("b.tar").c_str(), "b.tar"));
    ASSERT_EQ(1, tar.First());
    EXPECT_EQ(TarDirectory, tar.type());  // type "0" with a name ending in "/"
    ASSERT_EQ(2, tar.Next());
    EXPECT_EQ(TarFile, tar.type());
    ASSERT_EQ(3, tar.Next());
    EXPECT_EQ(TarOther, tar.type());
    ASSERT_EQ(4, tar.Next());
    EXPECT_EQ(TarEnd, tar.type());

    archive[512 + 10] ^= 1;  // one byte of the second header changed
    WriteAll(Path("c.tar"), archive);
    Tar bad(&engine);
    ASSERT_TRUE(bad.Open(Path("c.tar").c_str(), "c.tar"));
    ASSERT_EQ(1, bad.First());
    EXPECT_EQ(0, bad.Next());
    EXPECT_EQ(String("Error reading from 'c.tar': Header checksum mismatch"), bad.error());

    Tar missing(&engine);
    EXPECT_FALSE(missing.Open(Path("none.tar").c_str(), "none.tar"));
    EXPECT_EQ(String("Error opening 'none.tar': No such file or directory"), missing.error());
}

TEST_F(TarTest, ExtractionStaysInItsDirectory) {
    std::string target = Path("target");
    mkdir(target.c_str(), 0755);
    for (const char* evil : {"../evil", "/tmp/kelp-evil-absolute", "a/../../evil"}) {
        WriteAll(Path("evil.tar"), Header("good.txt", '0', 2) + Padded("ok") +
                                       Header(evil, '0', 4) + Padded("evil") +
                                       std::string(1024, '\0'));
        String error;
        EXPECT_EQ(0, ExtractArchive(&engine, Path("evil.tar").c_str(), "evil.tar", target.c_str(),
                                    &error))
            << evil;
        EXPECT_NE(-1, error.search("would be written outside the directory")) << error;
        EXPECT_EQ("<missing>", ReadAll(target + "/good.txt"))
            << "nothing is written from a refused archive";
    }
    EXPECT_EQ("<missing>", ReadAll(Path("evil")));
    EXPECT_EQ("<missing>", ReadAll("/tmp/kelp-evil-absolute"));

    // A symbolic link already in the directory does not carry entries out of it.
    std::string outside = Path("outside");
    mkdir(outside.c_str(), 0755);
    ASSERT_EQ(0, symlink(outside.c_str(), (target + "/sub").c_str()));
    WriteAll(Path("link.tar"), Header("sub/x.txt", '0', 1) + Padded("x") + std::string(1024, '\0'));
    String error;
    EXPECT_EQ(
        0, ExtractArchive(&engine, Path("link.tar").c_str(), "link.tar", target.c_str(), &error));
    EXPECT_EQ("<missing>", ReadAll(outside + "/x.txt"));

    WriteAll(Path("ok.tar"), Header("d/", '5', 0) + Header("d/f.txt", '0', 5) + Padded("hello") +
                                 std::string(1024, '\0'));
    ASSERT_EQ(1, ExtractArchive(&engine, Path("ok.tar").c_str(), "ok.tar", target.c_str(), &error))
        << error;
    EXPECT_EQ("hello", ReadAll(target + "/d/f.txt"));
}

// Whatever already stands at an entry's name is replaced, never written through: a
// symbolic link (dangling or not) to a file outside stays as it was, and so does the
// file it points to.
TEST_F(TarTest, ExtractionReplacesLinksAtItsTargets) {
    std::string target = Path("target");
    mkdir(target.c_str(), 0755);
    WriteAll(Path("victim"), "the owner's file");
    ASSERT_EQ(0, symlink(Path("victim").c_str(), (target + "/a.txt").c_str()));
    ASSERT_EQ(0, symlink(Path("created-outside").c_str(), (target + "/b.txt").c_str()));
    WriteAll(Path("links.tar"), Header("a.txt", '0', 1) + Padded("A") + Header("b.txt", '0', 1) +
                                    Padded("B") + std::string(1024, '\0'));
    String error;
    ASSERT_EQ(
        1, ExtractArchive(&engine, Path("links.tar").c_str(), "links.tar", target.c_str(), &error))
        << error;
    EXPECT_EQ("the owner's file", ReadAll(Path("victim")));
    EXPECT_EQ("<missing>", ReadAll(Path("created-outside")));
    EXPECT_EQ("A", ReadAll(target + "/a.txt"));
    EXPECT_EQ("B", ReadAll(target + "/b.txt"));
    struct stat st;
    ASSERT_EQ(0, lstat((target + "/a.txt").c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
}

// Sizes a header cannot honestly hold are refused before anything is written: a
// base-256 size with its top bits set, a negative one, twelve octal digits and more.
TEST_F(TarTest, SizesOutOfRangeAreRefused) {
    std::string target = Path("target");
    mkdir(target.c_str(), 0755);
    struct Case {
        const char* what;
        std::string field;
        const char* message;
    } cases[] = {
        {"base-256, largest", std::string("\x80") + std::string(11, '\xff'),
         "an entry's size is out of range"},
        {"base-256, near LONG_MAX", std::string("\x80\0\0\0\x7f") + std::string(7, '\xff'),
         "an entry's size is out of range"},
        {"base-256, negative", std::string("\xff") + std::string(11, '\xff'),
         "an entry's size is out of range"},
        // In range, but more than the archive holds.
        {"octal, eleven sevens", std::string("77777777777") + '\0',
         "unexpected end of the archive"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string h = Header("big.bin", '0', 0);
        memcpy(&h[124], c.field.data(), 12);
        memset(&h[148], ' ', 8);
        unsigned sum = 0;
        for (unsigned char ch : h) sum += ch;
        snprintf(&h[148], 8, "%06o", sum);
        WriteAll(Path("big.tar"), Header("first.txt", '0', 1) + Padded("1") + h + Padded("x") +
                                      std::string(1024, '\0'));
        String error;
        EXPECT_EQ(
            0, ExtractArchive(&engine, Path("big.tar").c_str(), "big.tar", target.c_str(), &error));
        EXPECT_EQ(String("Error reading from 'big.tar': ") + c.message, error);
        EXPECT_EQ("<missing>", ReadAll(target + "/first.txt"));
    }
}

TEST(Packages, EnabledInTheOrderNamed) {
    TestKelp engine;
    for (const char* code : {"a", "b", "c"}) {
        engine.AddPackage(new Package(code, String("name ") + code, "", "1", "", ""));
    }
    engine.EnablePackages(" b, a ,missing");
    ASSERT_EQ(2u, engine.packages().size());
    EXPECT_EQ(String("b"), engine.packages()[0]->code());
    EXPECT_EQ(String("a"), engine.packages()[1]->code());
    EXPECT_EQ(nullptr, engine.FindPackage("c"));
    engine.EnablePackages("");
    EXPECT_TRUE(engine.packages().empty());
}

}  // namespace
