// The network layer over real loopback connections: URL and mail-host splitting,
// line reads with their limits and time-outs, the buffered reader's push-back, and
// the SMTP body stream's line ends and dot-stuffing however the writes fall.

#include "net/network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/call.h"
#include "net/cgi_network.h"
#include "net/mail.h"
#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// A listening socket on a free loopback port; Accept() gives the server's end.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 4);
        socklen_t n = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(fd_); }
    int Accept() { return accept(fd_, nullptr, nullptr); }
    int port() const { return port_; }

  private:
    int fd_;
    int port_;
};

// A client connection to the listener and the server's socket.
struct Pair {
    TestKelp engine;
    Listener listener;
    CGINetworkConnection client{&engine};
    int server = -1;
    Pair() {
        EXPECT_TRUE(client.Connect("127.0.0.1", listener.port(), 5));
        server = listener.Accept();
    }
    ~Pair() { close(server); }
    void Send(const char* text) {
        ASSERT_EQ(static_cast<ssize_t>(strlen(text)), write(server, text, strlen(text)));
    }
    String Received() {
        char block[4096];
        ssize_t n = recv(server, block, sizeof block, MSG_DONTWAIT);
        return n > 0 ? String(block, static_cast<int>(n)) : String();
    }
};

TEST(Network, SplitURL) {
    struct Case {
        const char* url;
        const char* host;
        int port;
        const char* path;
    } good[] = {
        {"http://example.com/a/b?c=d", "example.com", 80, "a/b?c=d"},
        {"http://example.com", "example.com", 80, ""},
        {"HTTP://example.com:8080/x#frag", "example.com", 8080, "x"},
        {"http://[::1]:81/p", "::1", 81, "p"},
        {"http://user:pw@host/p q", "host", 80, "p%20q"},
        {"//host:9/", "host", 9, ""},
    };
    for (const Case& c : good) {
        URLParts parts;
        String error;
        ASSERT_TRUE(NetworkManager::SplitURL(c.url, &parts, &error)) << c.url << ": " << error;
        EXPECT_EQ(String(c.host), parts.host) << c.url;
        EXPECT_EQ(c.port, parts.port) << c.url;
        EXPECT_EQ(String(c.path), parts.path) << c.url;
    }
    const char* bad[] = {"example.com/x",      "http://:80/",           "http://host:0/",
                         "http://host:99999/", "http://host:8a/",       "http://[::1/",
                         "ftp://host/",        "http://host/a\r\nX: 1", "http://host/\x7f"};
    for (const char* url : bad) {
        URLParts parts;
        String error;
        EXPECT_FALSE(NetworkManager::SplitURL(url, &parts, &error)) << url;
        EXPECT_FALSE(error.empty()) << url;
    }
}

TEST(Network, SplitMailHostAndEnvelopeAddress) {
    String host;
    int port;
    ASSERT_TRUE(MailHandler::SplitMailHost("mail.example.com", 25, &host, &port));
    EXPECT_EQ(String("mail.example.com"), host);
    EXPECT_EQ(25, port);
    ASSERT_TRUE(MailHandler::SplitMailHost(" 127.0.0.1:2525 ", 25, &host, &port));
    EXPECT_EQ(String("127.0.0.1"), host);
    EXPECT_EQ(2525, port);
    ASSERT_TRUE(MailHandler::SplitMailHost("[::1]:110", 25, &host, &port));
    EXPECT_EQ(String("::1"), host);
    EXPECT_EQ(110, port);
    ASSERT_TRUE(MailHandler::SplitMailHost("fe80::1", 110, &host, &port));
    EXPECT_EQ(String("fe80::1"), host);
    EXPECT_EQ(110, port);
    for (const char* bad : {"", "host:", "host:0", "host:70000", "host:x", "[::1", "[::1]x"}) {
        EXPECT_FALSE(MailHandler::SplitMailHost(bad, 25, &host, &port)) << bad;
    }
    EXPECT_EQ(String("a@b.c"), MailHandler::EnvelopeAddress("  a@b.c "));
    EXPECT_EQ(String("a@b.c"), MailHandler::EnvelopeAddress("Ann Smith <a@b.c>"));
    EXPECT_EQ(String("a@b.c"), MailHandler::EnvelopeAddress("<a@b.c>"));
}

TEST(Network, IsIPAddressAndLocalhost) {
    EXPECT_TRUE(NetworkManager::IsIPAddress("10.0.0.1"));
    EXPECT_TRUE(NetworkManager::IsIPAddress("::1"));
    EXPECT_FALSE(NetworkManager::IsIPAddress("example.com"));
    TestKelp engine;
    CGINetworkManager network(&engine);
    String address;
    EXPECT_EQ(0, network.GetHostAddress("LocalHost", &address));
    EXPECT_EQ(String("127.0.0.1"), address);
    EXPECT_EQ(-1, network.GetHostAddress("no-such-host.invalid", &address));
    EXPECT_EQ(String("Error looking up 'no-such-host.invalid'"), network.error());
}

TEST(Network, ReadLineLimitsAndEnds) {
    Pair p;
    p.Send("one\r\ntwo\nthree");
    String line;
    EXPECT_EQ(5, p.client.ReadLine(&line, 2));
    EXPECT_EQ(String("one\r\n"), line);
    EXPECT_EQ(4, p.client.ReadLine(&line, 2));
    EXPECT_EQ(String("two\n"), line);
    // "three" has no line feed yet: the wait ends with the time-out.
    EXPECT_EQ(NetworkTimedOut, p.client.ReadLine(&line, 1));
    p.Send("0123456789\n");
    EXPECT_EQ(NetworkTooLong, p.client.ReadLine(&line, 2, 8));
    shutdown(p.server, SHUT_WR);
    // What is left before the end of the stream comes as a partial line, then nothing.
    EXPECT_GT(p.client.ReadLine(&line, 2), 0);
    EXPECT_EQ(NetworkFailed, p.client.ReadLine(&line, 2));
}

TEST(Network, BufferPushBackAndLimit) {
    Pair p;
    p.Send("abcdefgh");
    shutdown(p.server, SHUT_WR);
    NetworkBuffer in(&p.client, 2, 3, 6);  // blocks of 3, at most 6 bytes
    EXPECT_EQ('a', in.GetNextChar());
    EXPECT_EQ('b', in.GetNextChar());
    in.UnGetChar();
    EXPECT_EQ('b', in.GetNextChar());
    String rest;
    for (int c; (c = in.GetNextChar()) >= 0;) rest += static_cast<char>(c);
    EXPECT_EQ(String("cdef"), rest);
    EXPECT_TRUE(in.limitreached());
}

TEST(Network, SMTPOutputConvertsLineEndsAndStuffsDotsAcrossWrites) {
    Pair p;
    {
        SMTPOutput out(&p.client, 4);  // a small buffer splits the writes
        out.Write(".starts\n");
        out.Write("a\r\nb\rc\n.");
        out.Write("\n..x\n");
        out.Write(".");
        out.Flush();
        EXPECT_EQ(0, out.havelf());
        EXPECT_FALSE(out.failed());
    }
    EXPECT_EQ(String("..starts\r\na\r\nbc\r\n..\r\n...x\r\n.."), p.Received());
}

// A subject beyond ASCII becomes encoded words that never split a character and
// keep every header line short; an ASCII one is sent as it stands.
TEST(Network, HeaderValuesBeyondASCIIAreEncodedWords) {
    EXPECT_EQ(String("Your order 42"), MailHandler::EncodedHeaderValue("Your order 42"));
    EXPECT_EQ(String("=?UTF-8?B?w6k=?="), MailHandler::EncodedHeaderValue("\xC3\xA9"));
    String many;
    for (int i = 0; i < 50; i++) many += "\xC3\xA9";  // 100 bytes of two-byte characters
    String encoded = MailHandler::EncodedHeaderValue(many);
    int words = 0;
    for (int start = 0; start < encoded.length();) {
        int end = encoded.search("\r\n ", start);
        String word = encoded.at(start, end < 0 ? encoded.length() : end);
        EXPECT_LE(word.length(), 64);
        ASSERT_EQ(0, word.search("=?UTF-8?B?")) << word.chars();
        // Each word alone decodes to whole characters: an even number of bytes.
        String digits = word.at(10, word.length() - 2);
        int padding =
            digits.matches('=', digits.length() - 1) + digits.matches('=', digits.length() - 2);
        EXPECT_EQ(0, (digits.length() / 4 * 3 - padding) % 2) << word.chars();
        words++;
        start = end < 0 ? encoded.length() : end + 3;
    }
    EXPECT_EQ(3, words);
}

TEST(Network, ConnectFailuresNameAddressAndPort) {
    TestKelp engine;
    int port;
    {
        Listener gone;
        port = gone.port();
    }
    CGINetworkConnection c(&engine);
    EXPECT_FALSE(c.Connect("127.0.0.1", port, 2));
    String expected = "(127.0.0.1:";
    expected.catint(port);
    expected += "): Connection refused";
    EXPECT_EQ(expected, c.error());
    EXPECT_FALSE(c.Connect("not an address", 80, 2));
    EXPECT_FALSE(c.open());
}

TEST(Network, FieldsAreEncodedForARequest) {
    TestKelp engine;
    Variables* vars = engine.vars();
    vars->SetVariable("a", "x y&z=1");
    vars->SetVariable("b", "line\r\nbreak");
    EXPECT_EQ(String("a=x+y%26z%3D1&b=line%0D%0Abreak&missing="),
              Call::EncodeFields(vars, " a ,b,, missing"));
    EXPECT_EQ(String("text/plain"), Call::ContentType("dir/notes.TXT"));
    EXPECT_EQ(String("unknown"), Call::ContentType("dir.d/noextension"));
}

}  // namespace
