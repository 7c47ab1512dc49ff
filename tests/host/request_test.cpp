// Request input: numbered arguments, query form variables, the API variables, the
// caller-id cookie, request headers, and the URL-encoded and multipart bodies.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "host/cgi_kelp.h"
#include "host/request_input.h"
#include "script/module.h"
#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// A CGI host over a request environment. Every CGI variable the tests use is reset
// first, so one case cannot leak into the next.
struct Request {
    std::unique_ptr<CGIKelp> host;
    Request(std::initializer_list<std::pair<const char*, const char*>> env,
            std::initializer_list<const char*> words = {}) {
        for (const char* name : {"PATH_INFO", "QUERY_STRING", "HTTPS", "SERVER_PORT", "SERVER_NAME",
                                 "SCRIPT_NAME", "HTTP_COOKIE", "CONTENT_TYPE", "CONTENT_LENGTH",
                                 "HTTP_X_FORWARDED_FOR", "MAIL", "KELP_TEST_PAIR"}) {
            unsetenv(name);
        }
        for (const auto& e : env) setenv(e.first, e.second, 1);
        argv_.push_back(const_cast<char*>("kelp"));
        for (const char* w : words) argv_.push_back(const_cast<char*>(w));
        argv_.push_back(nullptr);
        host.reset(new CGIKelp(static_cast<int>(argv_.size()) - 1, argv_.data()));
        host->AddEnvironmentVariables();
        host->AddQueryArguments();
        host->AddQueryVariables();
        host->AddAPIVariables();
    }
    String operator[](const char* name) { return host->vars()->Value(name); }
    std::vector<char*> argv_;
};

}  // namespace

TEST(RequestInput, ScriptNamedInTheQueryString) {
    Request r({{"QUERY_STRING", "/shop/cart.kp+a=1&b=%20x"}});
    EXPECT_EQ(String("/shop/cart.kp"), r["arg1"]);
    EXPECT_EQ(String("a=1&b= x"), r["arg2"]);
    EXPECT_EQ(String("2"), r["nargs"]);
    EXPECT_EQ(String("1"), r["a"]);
    EXPECT_EQ(String(" x"), r["b"]);  // trimmed before decoding
    EXPECT_EQ(String("CGI"), r["apitype"]);
}

TEST(RequestInput, ScriptNamedInPathInfo) {
    Request r({{"PATH_INFO", "/shop/cart.kp"}, {"QUERY_STRING", "x=1&flag&c=1&c=2& y = a%2Bb &&"}});
    EXPECT_EQ(String("/shop/cart.kp"), r["arg1"]);
    EXPECT_EQ(String("x=1&flag&c=1&c=2& y = a+b &&"), r["arg2"]);
    EXPECT_EQ(String("2"), r["nargs"]);
    EXPECT_EQ(String("1"), r["x"]);
    EXPECT_EQ(String("flag"), r["flag"]);
    EXPECT_EQ(String("1,2"), r["c"]);
    EXPECT_EQ(String("a+b"), r["y"]);
    EXPECT_EQ(String("Redirect"), r["apitype"]);

    Request words({{"PATH_INFO", "/p.kp"}, {"QUERY_STRING", "ignored"}}, {"one", "", "t%41o\\"});
    EXPECT_EQ(String("one"), words["arg2"]);
    EXPECT_EQ(String("tAo"), words["arg3"]);
    EXPECT_EQ(String("3"), words["nargs"]);
}

TEST(RequestInput, DocumentURL) {
    Request secure(
        {{"PATH_INFO", "/p.kp"}, {"HTTPS", "ON"}, {"SERVER_PORT", "443"}, {"SERVER_NAME", "shop"}});
    EXPECT_EQ(String("https://shop/p.kp?"), secure["documenturl"]);
    Request port({{"PATH_INFO", "/p.kp"},
                  {"HTTPS", "on"},
                  {"SERVER_PORT", "8443"},
                  {"SERVER_NAME", "shop"}});
    EXPECT_EQ(String("https://shop:8443/p.kp?"), port["documenturl"]);
    Request plain({{"PATH_INFO", "/p.kp"}, {"SERVER_PORT", "443"}, {"SERVER_NAME", "shop"}});
    EXPECT_EQ(String("http://shop:443/p.kp?"), plain["documenturl"]);
    Request cgi({{"QUERY_STRING", "/p.kp+a=1"},
                 {"SERVER_PORT", "80"},
                 {"SERVER_NAME", "shop"},
                 {"SCRIPT_NAME", "/cgi-bin/kelp"}});
    EXPECT_EQ(String("http://shop/cgi-bin/kelp?/p.kp+"), cgi["documenturl"]);
}

TEST(RequestInput, EnvironmentAndHeaders) {
    Request r({{"MAIL", "/var/mail/x"},
               {"KELP_TEST_PAIR", "a=b=c"},
               {"CONTENT_TYPE", "text/plain"},
               {"CONTENT_LENGTH", "12"},
               {"HTTP_X_FORWARDED_FOR", "10.0.0.1"}});
    EXPECT_EQ(String("a=b=c"), r.host->vars()->GetSystemVariableValue("KELP_TEST_PAIR"));
    EXPECT_EQ(String(""), r.host->vars()->GetSystemVariableValue("MAIL"));
    EXPECT_EQ(String(""), r.host->vars()->GetSystemVariableValue("PATH"));
    EXPECT_FALSE(r["process_id"].empty());
    EXPECT_EQ(String("text/plain"), r.host->RequestHeader("content-type"));
    EXPECT_EQ(String("12"), r.host->RequestHeader("Content-Length"));
    EXPECT_EQ(String("10.0.0.1"), r.host->RequestHeader("X-Forwarded-For"));
    EXPECT_EQ(String(""), r.host->RequestHeader("Referer"));
}

TEST(RequestInput, CallerIdCookie) {
    Request r({});
    String cookie = r.host->BuildCookie("theme=dark; BRNCALLERID=ABC123;other=1");
    EXPECT_EQ(String("ABC123"), r["callerid"]);
    ASSERT_TRUE(cookie.search("brncallerid=ABC123; expires=") == 0) << cookie.chars();
    EXPECT_TRUE(cookie.contains(" GMT; path=/"));
    // Next year's date, in the cookie date format.
    time_t later = time(nullptr) + 31536000;
    struct tm utc;
    gmtime_r(&later, &utc);
    char year[16];
    strftime(year, sizeof year, "-%Y ", &utc);
    EXPECT_TRUE(cookie.contains(year)) << cookie.chars();

    for (const char* bad :
         {"brncallerid=<script>", "brncallerid=", "brncallerid=a%0D%0Ab", "nothing=here"}) {
        r.host->BuildCookie(bad);
        String id = r["callerid"];
        EXPECT_EQ(32, id.length()) << bad;
        EXPECT_TRUE(CGIKelp::ValidCallerID(id));
    }
    std::string longid(65, 'A');
    r.host->BuildCookie(String("brncallerid=") + longid.c_str());
    EXPECT_NE(String(longid.c_str()), r["callerid"]);
    std::string maxid(64, 'B');
    r.host->BuildCookie(String("brncallerid=") + maxid.c_str());
    EXPECT_EQ(String(maxid.c_str()), r["callerid"]);
}

namespace {

// An engine whose request body arrives in pieces of a fixed size.
class BodyKelp : public TestKelp {
  public:
    BodyKelp(const std::string& type, const std::string& body, int piece)
        : type_(type), body_(body), piece_(piece) {
        configure().contentbuffersize = 64;
    }
    String RequestHeader(const String& name) override {
        if (name == "Content-Type") return type_.c_str();
        if (name == "Content-Length") return String::FromInt(static_cast<long>(announced_));
        return String();
    }
    int ReadContent(char* buffer, int length) override {
        int n = static_cast<int>(body_.size() - read_);
        if (n > length) n = length;
        if (n > piece_) n = piece_;
        memcpy(buffer, body_.data() + read_, static_cast<size_t>(n));
        read_ += static_cast<size_t>(n);
        return n;
    }
    size_t announced_ = 0;
    size_t read_ = 0;

  private:
    std::string type_;
    std::string body_;
    int piece_;
};

std::string Part(const std::string& disposition, const std::string& data) {
    return "--XyZ\r\nContent-Disposition: form-data; " + disposition + "\r\n\r\n" + data + "\r\n";
}

}  // namespace

TEST(RequestInput, URLEncodedBody) {
    std::string body = " name = a%20b &x=1&x=2&flag&last=%41";
    for (int piece : {1, 3, 64}) {
        BodyKelp engine("application/x-www-form-urlencoded; charset=UTF-8", body + "&beyond=1",
                        piece);
        engine.announced_ = body.size();
        ASSERT_EQ(1, engine.AddContentVariables());
        EXPECT_EQ(body.size(), engine.read_) << "never read past Content-Length";
        EXPECT_EQ(String("a b"), engine.vars()->Value("name"));
        EXPECT_EQ(String("1,2"), engine.vars()->Value("x"));
        EXPECT_EQ(String("A"), engine.vars()->Value("last"));
        EXPECT_EQ(String(""), engine.vars()->Value("beyond"));
    }
    BodyKelp shorter("application/x-www-form-urlencoded", "a=1&b=2", 4);
    shorter.announced_ = 100;  // the body ends early
    EXPECT_EQ(1, shorter.AddContentVariables());
    EXPECT_EQ(String("2"), shorter.vars()->Value("b"));
}

TEST(RequestInput, BodyLimits) {
    // Within the limits: 1000 fields, even all of one name, become one value.
    std::string many;
    for (int i = 0; i < 1000; i++) many += "a=x&";
    BodyKelp within("application/x-www-form-urlencoded", many, 64);
    within.announced_ = many.size();
    ASSERT_EQ(1, within.AddContentVariables()) << within.page().chars();
    EXPECT_EQ(1999, within.vars()->Value("a").length());

    // One field more, and nothing of the body becomes a variable past the limit.
    std::string over = many + "b=1";
    BodyKelp fields("application/x-www-form-urlencoded", over, 64);
    fields.announced_ = over.size();
    EXPECT_EQ(0, fields.AddContentVariables());
    EXPECT_EQ(413, fields.status());
    EXPECT_TRUE(fields.page().contains("more than 1000 fields (the configured maxformfields)"));
    EXPECT_EQ(String(""), fields.vars()->Value("b"));

    // A body announced larger than maxcontentlength is refused before it is read.
    BodyKelp large("application/x-www-form-urlencoded", "a=1", 64);
    large.announced_ = 16L * 1024 * 1024 + 1;
    EXPECT_EQ(0, large.AddContentVariables());
    EXPECT_EQ(413, large.status());
    EXPECT_EQ(0u, large.read_);
    EXPECT_TRUE(large.page().contains("larger than the configured maxcontentlength"));
}

TEST(RequestInput, MultipartFieldsAcrossReads) {
    std::string body = Part("name=\"a\"", "one\r\ntwo") +
                       Part("name=b", "--XyZ is not a boundary here") +
                       Part("name=\"a\"", "three") + "--XyZ--\r\nepilogue";
    for (int piece : {1, 2, 5, 7, 64}) {
        BodyKelp engine("multipart/form-data; boundary=XyZ", body, piece);
        engine.announced_ = body.size();
        ASSERT_EQ(1, engine.AddContentVariables()) << engine.page().chars();
        EXPECT_EQ(String("one\r\ntwo,three"), engine.vars()->Value("a")) << piece;
        EXPECT_EQ(String("--XyZ is not a boundary here"), engine.vars()->Value("b"));
        EXPECT_EQ(body.size(), engine.read_);
    }
    EXPECT_EQ(String("a b"),
              MultipartFormDataParser::BoundaryOf("multipart/form-data; BOUNDARY=\"a b\""));

    BodyKelp wrong("multipart/form-data; boundary=other", body, 64);
    wrong.announced_ = body.size();
    EXPECT_EQ(0, wrong.AddContentVariables());
    EXPECT_TRUE(wrong.page().contains(
        "Boundary in Content-Type header does not match boundary in first line of content"));
}

TEST(RequestInput, MultipartPartLimit) {
    std::string body;
    for (int i = 0; i < 1001; i++) body += Part("name=f", "x");
    body += "--XyZ--\r\n";
    BodyKelp engine("multipart/form-data; boundary=XyZ", body, 4096);
    engine.announced_ = body.size();
    EXPECT_EQ(0, engine.AddContentVariables());
    EXPECT_TRUE(engine.page().contains("more than 1000 fields"));
    EXPECT_EQ(413, engine.status());
}

TEST(RequestInput, MultipartUploads) {
    TempDir dir;
    dir.Write("upload.kp",
              "<KpFUNCTION NAME=\"Kelp_ValidateFileUpload\" PARAMETERS=\"field, file, type\">"
              "<KpFUNCRETURN VALUE=limit></KpFUNCTION>"
              "<KpFUNCTION NAME=\"Kelp_ProcessFileUpload\" "
              "PARAMETERS=\"field, file, status, path, type, size\">"
              "<KpLET g.seen=g.seen $ field $ \"|\" $ file $ \"|\" $ status $ \"|\" $ type $ \"|\" "
              "$ size $ \";\">"
              "<KpLET g.path=path></KpFUNCTION>");
    std::string data(300, 'd');
    data[150] = '\r';
    std::string body =
        Part("name=\"note\"", "hi") +
        "--XyZ\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"a b.txt\"\r\n"
        "Content-Type: text/plain\r\n\r\n" +
        data + "\r\n--XyZ--\r\n";
    struct Case {
        const char* limit;
        const char* seen;
        long kept;  // bytes in the temporary file; -1 = none made
    } cases[] = {
        {"0", "doc|a b.txt|COMPLETE|text/plain|300;", 300},
        {"300", "doc|a b.txt|COMPLETE|text/plain|300;", 300},
        {"100", "doc|a b.txt|PARTIAL|text/plain|300;", 100},
        {"-1", "doc|a b.txt|SKIPPED|text/plain|300;", -1},
    };
    for (const Case& c : cases) {
        BodyKelp engine("multipart/form-data; boundary=XyZ", body, 7);
        engine.configure().datadirectory = dir.path();
        engine.configure().scriptdirectory = dir.path();
        engine.announced_ = body.size();
        String error;
        Module* module = engine.FindModule("upload.kp", &error);
        ASSERT_NE(nullptr, module) << error.chars();
        engine.SetCurrentModule(module);
        engine.vars()->AddGlobalVariable("limit", c.limit);
        ASSERT_EQ(1, engine.AddContentVariables()) << engine.page().chars();
        EXPECT_EQ(String("hi"), engine.vars()->Value("note"));
        EXPECT_EQ(String(c.seen), engine.vars()->Value("g.seen"))
            << c.limit << engine.page().chars();
        String path = engine.vars()->Value("g.path");
        if (c.kept < 0) {
            EXPECT_EQ(String(""), path);
        } else {
            // The name as the file tags take it: relative to the data directory.
            EXPECT_EQ(0, path.search("KELP_FUP")) << path.chars();
            EXPECT_EQ(8 + 8, path.length());
            String resolved;
            ASSERT_TRUE(engine.ResolvePath(path, DataPath, &resolved, &error));
            EXPECT_EQ(c.kept, engine.filemanager()->Length(resolved));
            engine.filemanager()->Delete(resolved);
        }
    }
}

TEST(RequestInput, UploadsWithoutTheFunctionsAreDiscarded) {
    TempDir dir;
    dir.Write("plain.kp",
              "<KpFUNCTION NAME=\"Kelp_ValidateFileUpload\" PARAMETERS=\"a\"></KpFUNCTION>");
    std::string body =
        "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\nDATA\r\n" +
        Part("name=after", "yes") + "--XyZ--\r\n";
    BodyKelp engine("multipart/form-data; boundary=XyZ", body, 5);
    engine.configure().datadirectory = dir.path();
    engine.configure().scriptdirectory = dir.path();
    engine.announced_ = body.size();
    String error;
    Module* module = engine.FindModule("plain.kp", &error);
    ASSERT_NE(nullptr, module);
    engine.SetCurrentModule(module);
    engine.AddContentVariables();
    EXPECT_TRUE(engine.page().contains(
        "Function 'Kelp_ValidateFileUpload' must be declared with 3 parameters, found 1"));
    EXPECT_EQ(String("yes"), engine.vars()->Value("after"));
}
