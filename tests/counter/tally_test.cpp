// nph-tally run as a CGI process: counting, the pictures it draws, the debug page,
// failures, and concurrent requests.

#include <fcntl.h>
#include <gd.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "counter/gd_picture.h"
#include "tests/support/slack.h"

namespace {

// Every image answer: no cache may keep it, or hits would be missed.
const char kImageHead[] =
    "HTTP/1.0 200 OK\nContent-type: image/gif\nCache-Control: no-store, no-cache, "
    "must-revalidate\nPragma: no-cache\nExpires: Thu, 01 Jan 1970 00:00:00 GMT\n\n";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

struct Response {
    std::string output;
    int status;
    std::string head;  // up to the blank line
    std::string body;
};

// A fresh directory in the build tree holding the digit pictures; the test copy of
// the program keeps its count file, lock and log there.
class Tally : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = TALLY_TEST_ROOT "/tally-XXXXXX";
        mkdir(TALLY_TEST_ROOT, 0755);
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_EQ(0, mkdir((dir_ + "/digits").c_str(), 0755));
        std::string command = std::string(TALLY_DIGITS_PROGRAM) + " " + dir_ + "/digits";
        ASSERT_EQ(0, system(command.c_str()));
    }
    void TearDown() override { system(("rm -rf " + dir_).c_str()); }

    // Runs one request: query (GET) or body (POST).
    // fsize: a file-size limit in bytes for the program (0: none), a disk that looks full.
    Response Request(const std::string& query, const char* body = nullptr, long fsize = 0) {
        int in[2], out[2];
        EXPECT_EQ(0, pipe(in));
        EXPECT_EQ(0, pipe(out));
        pid_t pid = fork();
        if (pid == 0) {
            if (chdir(dir_.c_str()) != 0) _exit(99);
            if (fsize > 0) {
                struct rlimit limit = {static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
                setrlimit(RLIMIT_FSIZE, &limit);
            }
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            if (body != nullptr) {
                setenv("REQUEST_METHOD", "POST", 1);
                setenv("CONTENT_LENGTH", std::to_string(strlen(body)).c_str(), 1);
            } else {
                setenv("REQUEST_METHOD", "GET", 1);
                setenv("QUERY_STRING", query.c_str(), 1);
            }
            execl(TALLY_PROGRAM, "nph-tally", static_cast<char*>(nullptr));
            _exit(98);
        }
        close(in[0]);
        close(out[1]);
        if (body != nullptr && write(in[1], body, strlen(body)) < 0) ADD_FAILURE();
        close(in[1]);
        Response r;
        char buffer[4096];
        ssize_t n;
        while ((n = read(out[0], buffer, sizeof buffer)) > 0) r.output.append(buffer, n);
        close(out[0]);
        int status;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        size_t blank = r.output.find("\n\n");
        r.head = r.output.substr(0, blank == std::string::npos ? r.output.size() : blank + 2);
        r.body = blank == std::string::npos ? "" : r.output.substr(blank + 2);
        return r;
    }

    std::string CountFile() { return ReadAll(dir_ + "/count_file"); }
    std::string Log() { return ReadAll(dir_ + "/nph-tally.errors"); }

    // The image must be `digits` side by side, each exactly its picture.
    void ExpectDigits(const Response& r, const std::string& digits) {
        ASSERT_EQ(kImageHead, r.head);
        gdImagePtr im = gdImageCreateFromGifPtr(static_cast<int>(r.body.size()),
                                                const_cast<char*>(r.body.data()));
        ASSERT_NE(nullptr, im);
        EXPECT_EQ(static_cast<int>(digits.size()) * 15, gdImageSX(im));
        EXPECT_EQ(20, gdImageSY(im));
        for (size_t p = 0; p < digits.size(); p++) {
            std::string path = dir_ + "/digits/" + digits[p] + ".gd";
            gdImagePtr d = ReadGdPictureFile(path.c_str());
            ASSERT_NE(nullptr, d);
            int differing = 0;
            for (int y = 0; y < 20; y++) {
                for (int x = 0; x < 15; x++) {
                    int a = gdImageGetPixel(im, static_cast<int>(p) * 15 + x, y);
                    int b = gdImageGetPixel(d, x, y);
                    differing += gdImageRed(im, a) != gdImageRed(d, b) ||
                                 gdImageGreen(im, a) != gdImageGreen(d, b) ||
                                 gdImageBlue(im, a) != gdImageBlue(d, b);
                }
            }
            EXPECT_EQ(0, differing) << "position " << p;
            gdImageDestroy(d);
        }
        gdImageDestroy(im);
    }

    std::string dir_;
};

}  // namespace

TEST_F(Tally, FirstRequestCreatesTheCountFile) {
    Response r = Request("link=index.html");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("1\nindex.html\t1\n", CountFile());
    ExpectDigits(r, "1");
    r = Request("link=index.html&link=other");  // a later occurrence wins
    EXPECT_EQ("2\nindex.html\t1\nother\t1\n", CountFile());
    r = Request("link=index.html");
    EXPECT_EQ("2\nindex.html\t2\nother\t1\n", CountFile());
    ExpectDigits(r, "2");
}

TEST_F(Tally, IncreaseAndWidth) {
    Request("link=a&increase=3");
    Response r = Request("link=a&increase=-5");
    ExpectDigits(r, "0");
    EXPECT_EQ("1\na\t0\n", CountFile());
    r = Request("link=new&increase=-5");
    ExpectDigits(r, "0");
    r = Request("link=a&increase=12345&width=3");
    ExpectDigits(r, "12345");
    r = Request("link=a&increase=0&width=-7");
    ExpectDigits(r, "0012345");
    r = Request("link=a&increase=0&width=25");
    ExpectDigits(r, "0000012345");
    r = Request("link=b&increase=7&width=abc");
    ExpectDigits(r, "7");
}

TEST_F(Tally, ShowOnlyTheExactNOHidesTheDigits) {
    Response r = Request("link=s&show=no");
    ExpectDigits(r, "1");
    r = Request("link=s&show=NO");
    ASSERT_EQ(kImageHead, r.head);
    gdImagePtr im =
        gdImageCreateFromGifPtr(static_cast<int>(r.body.size()), const_cast<char*>(r.body.data()));
    ASSERT_NE(nullptr, im);
    EXPECT_EQ(1, gdImageSX(im));
    EXPECT_EQ(1, gdImageSY(im));
    EXPECT_EQ(gdImageGetPixel(im, 0, 0), gdImageGetTransparent(im));
    gdImageDestroy(im);
    EXPECT_EQ("1\ns\t2\n", CountFile());  // still counted
}

TEST_F(Tally, KeysAreSanitisedAndCut) {
    Request("link=my+page%20two");
    Request("link=" + std::string(70, 'k'));
    Request("link=a%3Cb%3E:c/d.e");
    EXPECT_EQ("3\nmy_page_two\t1\n" + std::string(64, 'k') + "\t1\na_b_:c/d.e\t1\n", CountFile());
    Request("", "link=posted+key&increase=4");
    EXPECT_NE(std::string::npos, CountFile().find("posted_key\t4\n"));
}

TEST_F(Tally, MissingLinkFails) {
    for (const char* query : {"", "width=3", "link=&debug=ON", "debug=ON"}) {
        SCOPED_TRACE(query);
        Response r = Request(query);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("HTTP/1.0 500 Bad arguments\n\n", r.output);
    }
    std::string log = Log();
    // "[Tue Dec  8 07:21:18 2026] nph-tally: program called with bad arguments"
    EXPECT_EQ('[', log[0]);
    EXPECT_EQ("] nph-tally: program called with bad arguments\n", log.substr(25, 47));
    EXPECT_EQ(4u * 72, log.size());
    EXPECT_FALSE(access((dir_ + "/count_file").c_str(), F_OK) == 0);
}

TEST_F(Tally, DebugPage) {
    Request("link=d&increase=2");
    Response r = Request("link=d&width=4&increase=-2&show=NO&debug=ON");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(
        "HTTP/1.0 200 OK\nContent-type: text/html\n\n<TITLE>Hitwell</TITLE>\n"
        "<H2>Hitwell Debugging</H2><HR>\n<H3>Received input arguments:</H3><UL>"
        "<LI> <B>width</B> = 4<LI> <B>link</B> = d<LI> <B>increase</B> = -2<LI> <B>show</B> = NO"
        "</UL><HR><H3>Checking necessary files:</H3><UL>"
        "<LI>Administration file: <I>count_file</I><BR>File opened for reading and writing.<BR>"
        "<LI>Image directory: <I>digits/</I><BR>Image files located and reading is possible<BR>"
        "</UL><B>Looking good !!</B><HR>\n<H3>Output test:</H3>"
        "The counter image should appear below:<P>"
        "<IMG SRC=\"/cgi-bin/nph-tally?width=4&link=d&increase=-2\">",
        r.output);
    EXPECT_EQ("1\nd\t2\n", CountFile());  // unchanged

    unlink((dir_ + "/digits/0.gd").c_str());
    r = Request("link=d&debug=ON");
    EXPECT_EQ(
        "HTTP/1.0 200 OK\nContent-type: text/html\n\n<TITLE>Hitwell</TITLE>\n"
        "<H2>Hitwell Debugging</H2><HR>\n<H3>Received input arguments:</H3><UL>"
        "<LI> <B>link</B> = d"
        "</UL><HR><H3>Checking necessary files:</H3><UL>"
        "<LI>Administration file: <I>count_file</I><BR>File opened for reading and writing.<BR>"
        "<LI>Image directory: <I>digits/</I><BR>Problems opening image files<BR>"
        "<B>WARNING: Check the directory-name and permissions</B>"
        "</UL><HR>\n<H3>Output test:</H3>"
        "Errors were detected. Most probably the broken image will appear below:<P>"
        "<IMG SRC=\"/cgi-bin/nph-tally?width=0&link=d&increase=1\">",
        r.output);

    unlink((dir_ + "/count_file").c_str());
    r = Request("link=x&debug=ON");
    EXPECT_EQ("", CountFile());  // created, empty
}

TEST_F(Tally, MissingOrBrokenDigitPictures) {
    unlink((dir_ + "/digits/7.gd").c_str());
    Response r = Request("link=p&increase=7");
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("HTTP/1.0 500 Internal error image counter\n\n", r.output);
    EXPECT_EQ("1\np\t7\n", CountFile());  // stored before drawing
    EXPECT_NE(std::string::npos, Log().find("nph-tally: could not open digit file 7.gd\n"));

    WriteAll(dir_ + "/digits/7.gd", std::string(100, 'x'));
    r = Request("link=q&increase=7");
    EXPECT_EQ("HTTP/1.0 500 Internal error image counter\n\n", r.output);
    EXPECT_NE(std::string::npos,
              Log().find("nph-tally: 7.gd digit file doesn't contain a gd-image\n"));
    // A picture cut short is refused too, never read past its end.
    std::string good = ReadAll(dir_ + "/digits/1.gd");
    WriteAll(dir_ + "/digits/7.gd", good.substr(0, good.size() - 1));
    r = Request("link=q&increase=0");
    EXPECT_EQ("HTTP/1.0 500 Internal error image counter\n\n", r.output);
}

TEST_F(Tally, DamagedCountFiles) {
    WriteAll(dir_ + "/count_file", "3\nkeep\t5\n\t9\nalso\n");
    Response r = Request("link=keep");
    ExpectDigits(r, "6");
    EXPECT_EQ("2\nkeep\t6\nalso\t0\n", CountFile());
    EXPECT_NE(std::string::npos,
              Log().find("nph-tally: error detected in count_file; removing line\n"));

    // A first line that claims far more entries than there are reserves nothing.
    WriteAll(dir_ + "/count_file", "2147483647\nkeep\t1\n");
    r = Request("link=keep");
    ExpectDigits(r, "2");
    EXPECT_EQ("1\nkeep\t2\n", CountFile());
    WriteAll(dir_ + "/count_file", "-5\nkeep\t1\nnew\t3\n");
    r = Request("link=new");
    EXPECT_EQ("2\nkeep\t1\nnew\t4\n", CountFile());
}

TEST_F(Tally, AFullDiskLeavesTheCountAsItWas) {
    // The new count file cannot be written (a file-size limit below its new size):
    // the old one stays whole and the answer is an error, not a count.
    WriteAll(dir_ + "/count_file", "1\nkeep\t9\n");
    Response r = Request("link=keep", nullptr, 9);
    EXPECT_NE(kImageHead, r.head);
    EXPECT_NE(std::string::npos, r.head.find("500")) << r.head;
    EXPECT_EQ("1\nkeep\t9\n", CountFile());
    EXPECT_EQ("", ReadAll(dir_ + "/count_file.new"));
    ExpectDigits(Request("link=keep"), "10");
    EXPECT_EQ("1\nkeep\t10\n", CountFile());
}

TEST_F(Tally, ConcurrentRequestsCountEveryOne) {
    pid_t workers[8];
    for (int w = 0; w < 8; w++) {
        workers[w] = fork();
        if (workers[w] == 0) {
            for (int i = 0; i < 25; i++) {
                Response r = Request("link=busy");
                if (r.status != 0) _exit(1);
            }
            _exit(0);
        }
    }
    int failures = 0;
    for (pid_t w : workers) {
        int status;
        waitpid(w, &status, 0);
        failures += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    }
    EXPECT_EQ(0, failures);
    EXPECT_EQ("1\nbusy\t200\n", CountFile());
}

TEST_F(Tally, AKilledLockHolderDoesNotBlock) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = fork();
    if (holder == 0) {
        int fd = open((dir_ + "/nph-tally.lock").c_str(), O_WRONLY | O_CREAT, 0600);
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fcntl(fd, F_SETLKW, &fl);
        if (write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    Response r = Request("link=after");
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("1\nafter\t1\n", CountFile());
}

TEST_F(Tally, LinksPlantedAtItsPathsAreNeverFollowed) {
    // A link at the lock path, the error log or the new count file must neither
    // truncate nor extend its target.
    WriteAll(dir_ + "/victim", "precious\n");
    ASSERT_EQ(0, symlink((dir_ + "/victim").c_str(), (dir_ + "/nph-tally.lock").c_str()));
    ASSERT_EQ(0, symlink((dir_ + "/victim").c_str(), (dir_ + "/nph-tally.errors").c_str()));
    Response r = Request("link=a");
    EXPECT_EQ("HTTP/1.0 500 Lock problem\n\n", r.output);
    EXPECT_EQ("precious\n", ReadAll(dir_ + "/victim"));
    unlink((dir_ + "/nph-tally.lock").c_str());
    r = Request("");  // a failure that writes to the log
    EXPECT_EQ("precious\n", ReadAll(dir_ + "/victim"));
    unlink((dir_ + "/nph-tally.errors").c_str());
    // Nor hard links, which look like regular files of the user's.
    ASSERT_EQ(0, link((dir_ + "/victim").c_str(), (dir_ + "/nph-tally.errors").c_str()));
    r = Request("");
    EXPECT_EQ("precious\n", ReadAll(dir_ + "/victim"));
    unlink((dir_ + "/nph-tally.errors").c_str());
    ASSERT_EQ(0, link((dir_ + "/victim").c_str(), (dir_ + "/nph-tally.lock").c_str()));
    EXPECT_EQ("HTTP/1.0 500 Lock problem\n\n", Request("link=a").output);
    unlink((dir_ + "/nph-tally.lock").c_str());
    // The log itself is written when it is what it should be.
    r = Request("");
    EXPECT_NE("", ReadAll(dir_ + "/nph-tally.errors"));
    unlink((dir_ + "/nph-tally.errors").c_str());

    ASSERT_EQ(0, symlink((dir_ + "/victim").c_str(), (dir_ + "/count_file.new").c_str()));
    ExpectDigits(Request("link=a"), "1");
    EXPECT_EQ("precious\n", ReadAll(dir_ + "/victim"));
    EXPECT_EQ("1\na\t1\n", CountFile());
    // A lock file with content keeps it: it is never truncated.
    WriteAll(dir_ + "/nph-tally.lock", "kept");
    ExpectDigits(Request("link=a"), "2");
    EXPECT_EQ("kept", ReadAll(dir_ + "/nph-tally.lock"));
}

TEST_F(Tally, ASlowClientHoldsNoLock) {
    // A POST whose body never comes must not keep other requests waiting.
    int in[2];
    ASSERT_EQ(0, pipe(in));
    pid_t slow = fork();
    if (slow == 0) {
        if (chdir(dir_.c_str()) != 0) _exit(99);
        dup2(in[0], 0);
        close(in[1]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        setenv("REQUEST_METHOD", "POST", 1);
        setenv("CONTENT_LENGTH", "100", 1);
        execl(TALLY_PROGRAM, "nph-tally", static_cast<char*>(nullptr));
        _exit(98);
    }
    close(in[0]);
    usleep(200000);
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    ExpectDigits(Request("link=fast"), "1");
    clock_gettime(CLOCK_MONOTONIC, &end);
    double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_LT(seconds, 2.0 * LoadSlack());
    kill(slow, SIGKILL);
    close(in[1]);
    waitpid(slow, nullptr, 0);
}

TEST_F(Tally, NewKeysAreBoundedOldOnesStillCount) {
    std::string text = "10000\n";
    for (int i = 0; i < 10000; i++) text += "k" + std::to_string(i) + "\t1\n";
    WriteAll(dir_ + "/count_file", text);
    Response r = Request("link=one.more");
    EXPECT_EQ("HTTP/1.0 500 Internal error image counter\n\n", r.output);
    EXPECT_EQ(text, CountFile());
    EXPECT_NE(std::string::npos, Log().find("new key refused"));
    ExpectDigits(Request("link=k42"), "2");
}
