// The configuration file: key values, syntax errors, macros, tags, virtual-host
// blocks, validation and the site-variables files.

#include "host/config.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include "data/xbase_table.h"
#include "host/cgi_kelp.h"
#include "script/variables.h"
#include "tests/support/print.h"
#include "tests/support/test_engine.h"

namespace {

// Parses text with a fresh configuration; the engine collects any error page.
struct Parsed {
    TestKelp engine;
    UNIXConfig config{&engine, false};
    int result;
    explicit Parsed(const char* text, const char* servername = nullptr) {
        if (servername != nullptr) engine.vars()->AddSystemVariable("SERVER_NAME", servername);
        result = config.ParseConfiguration(text);
    }
    bool PageHas(const char* text) { return engine.page().contains(text); }
};

}  // namespace

TEST(Config, DefaultsAndValueTypes) {
    Parsed p(
        "usecookies = Yes\ndnslookup=OFF\nredirectonly = TRUE\nmaxfiles=5\n"
        "GlobalTimeout = 12\nKPMLROOT = /srv/site\nunknownkey = whatever\nnice=-3\n");
    ASSERT_EQ(0, p.result) << p.engine.page().chars();
    EXPECT_EQ(1, p.config.Get(Config::UseCookies));
    EXPECT_EQ(0, p.config.Get(Config::DNSLookup));
    EXPECT_EQ(1, p.config.Get(Config::RedirectOnly));
    EXPECT_EQ(5, p.config.Get(Config::MaxFiles));
    EXPECT_EQ(-3, p.config.Get(Config::Nice));
    EXPECT_EQ(12, p.config.Get(Config::GlobalTimeout));
    EXPECT_EQ(String("/srv/site"), p.config.brindleroot());
    // Untouched keys keep their defaults.
    EXPECT_EQ(30, p.config.Get(Config::MailTimeout));
    EXPECT_EQ(23, p.config.Get(Config::MaxFunctionDepth));
    EXPECT_EQ(-1, p.config.Get(Config::ServerUserID));
    EXPECT_EQ(String("index.kp"), p.config.brindledefault());
    EXPECT_EQ(String("public_brn"), p.config.Get(Config::UserDir));
    EXPECT_EQ(String("SERVER_NAME"), p.config.Get(Config::VirtualHostVariable));
    EXPECT_EQ(16L * 1024 * 1024, p.config.Get(Config::MaxContentLength));
    EXPECT_EQ(1000, p.config.Get(Config::MaxFormFields));
    EXPECT_EQ(8192, p.config.Get(Config::MaxHeaderLength));
    EXPECT_EQ(String(""), p.engine.page());

    // The defaults naming the machine, and values given for them, empty ones too.
    String host = FileManager::MachineName();
    EXPECT_EQ("webmaster@" + host, p.config.Get(Config::ServerAdmin));
    EXPECT_EQ(host, p.config.Get(Config::LockHostName));
    Parsed given("lockhostname = node7\nserveradmin =\n");
    ASSERT_EQ(0, given.result) << given.engine.page().chars();
    EXPECT_EQ(String("node7"), given.config.Get(Config::LockHostName));
    EXPECT_EQ(String(""), given.config.Get(Config::ServerAdmin));
    Parsed one("serveradmin = me@example.org\n");
    EXPECT_EQ(host, one.config.Get(Config::LockHostName));
    EXPECT_EQ(String("me@example.org"), one.config.Get(Config::ServerAdmin));
}

TEST(Config, RejectedValuesAndMissingEquals) {
    Parsed bad_boolean("# comment\nusecookies=2\n");
    EXPECT_EQ(1, bad_boolean.result);
    EXPECT_TRUE(bad_boolean.PageHas("Line 2: '2' is not a valid value for usecookies"));
    EXPECT_EQ(500, bad_boolean.engine.status());

    Parsed bad_integer("maxfiles=5x");
    EXPECT_EQ(1, bad_integer.result);
    EXPECT_TRUE(bad_integer.PageHas("'5x' is not a valid value for maxfiles"));
    Parsed lone_minus("nice=-");
    EXPECT_EQ(1, lone_minus.result);
    // Numbers past the range of a long stop at its limits.
    Parsed huge(
        "maxfiles=99999999999999999999\nnice=-99999999999999999999\n"
        "serveruserid=-9223372036854775807\n");
    EXPECT_EQ(0, huge.result);
    EXPECT_EQ(LONG_MAX, huge.config.Get(Config::MaxFiles));
    EXPECT_EQ(LONG_MIN, huge.config.Get(Config::Nice));
    EXPECT_EQ(-LONG_MAX, huge.config.Get(Config::ServerUserID));

    // Times, sizes and limits are never negative.
    for (const char* key : {"globaltimeout", "maxfiles", "contentbuffersize", "lockexpiration",
                            "maxcontentlength", "maxformfields", "maxheaderlength"}) {
        SCOPED_TRACE(key);
        Parsed negative((std::string(key) + " = -1\n").c_str());
        EXPECT_EQ(1, negative.result);
        EXPECT_TRUE(
            negative.PageHas((std::string("'-1' is not a valid value for ") + key).c_str()));
    }
    // Nothing that may reach a header line holds a line break.
    Parsed broken("serveradmin = a\\\nX-Injected: 1\n");
    EXPECT_EQ(1, broken.result);
    Parsed type("<CONTENT-TYPE MIMETYPE=\"text/html\nX-Injected: 1\" DEFAULT>\n");
    EXPECT_EQ(1, type.result);
    EXPECT_TRUE(type.PageHas("may not hold a line break"));

    Parsed missing("kelproot=/a\n\n  just words  \n");
    EXPECT_EQ(1, missing.result);
    EXPECT_TRUE(missing.PageHas("Syntax error in Configuration File: Line 3: Missing ="));
}

TEST(Config, CommentsBackslashesAndMacros) {
    setenv("KELP_TEST_HOME", "/home/site", 1);
    unsetenv("KELP_TEST_UNSET");
    Parsed p(
        "tempdir = &[KELP_TEST_HOME]/tmp # the temporary files\n"
        "serveradmin = a\\#b\n"
        "sitevars = &[ KELP_TEST_HOME ];x&[KELP_TEST_UNSET]y\n");
    ASSERT_EQ(0, p.result);
    EXPECT_EQ(String("/home/site/tmp"), p.config.Get(Config::TempDir));
    EXPECT_EQ(String("a\\#b"), p.config.Get(Config::ServerAdmin));
    EXPECT_EQ(String("/home/site;xy"), p.config.Get(Config::SiteVars));
}

TEST(Config, ValidationMakesRootsAbsolute) {
    for (const char* text : {"", "userdir=x", "kelpdefault=a.kp"}) {
        Parsed p(text);
        ASSERT_EQ(0, p.result);
        EXPECT_EQ(1, p.config.ValidateConfiguration());
        EXPECT_TRUE(p.PageHas("kelproot is not defined"));
    }
    Parsed p("brindleroot = site\nstdmodedatadir = data");
    ASSERT_EQ(0, p.config.ValidateConfiguration());
    EXPECT_EQ(p.config.workingdirectory() + "/site", p.config.brindleroot());
    EXPECT_EQ(p.config.workingdirectory() + "/data", p.config.Get(Config::StdModeDataDir));

    TestKelp engine;
    UNIXConfig safe(&engine, true);
    ASSERT_EQ(0, safe.ParseConfiguration("kelproot=/srv"));
    EXPECT_EQ(1, safe.ValidateConfiguration());
    EXPECT_TRUE(engine.page().contains("running in server safe mode but no authfile"));
}

TEST(Config, ContentTypesAndExtensions) {
    Parsed p(
        "<CONTENT-TYPE MIMETYPE=\"text/plain\" EXTS=\"txt, .text\">\n"
        "<CONTENT-TYPE MIMETYPE=application/xhtml DEFAULT>\n"
        "<CONTENT-TYPE MIMETYPE=text/csv EXTS=txt>\n"
        "validextensions=.kp, html\n");
    ASSERT_EQ(0, p.result) << p.engine.page().chars();
    EXPECT_EQ(String("text/csv"), p.config.GetContentType("TXT"));
    EXPECT_EQ(String("text/plain"), p.config.GetContentType(".text"));
    EXPECT_EQ(String("application/xhtml"), p.config.GetContentType("kp"));
    EXPECT_TRUE(p.config.IsValidExtension("kp"));
    EXPECT_TRUE(p.config.IsValidExtension("HTML"));
    EXPECT_FALSE(p.config.IsValidExtension("txt"));
    EXPECT_FALSE(p.config.IsValidExtension(""));

    Parsed none("<CONTENT-TYPE EXTS=txt>");
    EXPECT_TRUE(none.PageHas("&lt;CONTENT-TYPE&gt; requires the MIMETYPE attribute"));
    Parsed noexts("<CONTENT-TYPE MIMETYPE=text/plain>");
    EXPECT_TRUE(noexts.PageHas("&lt;CONTENT-TYPE&gt; requires the EXTS attribute"));
}

TEST(Config, CommerceLibrariesAndPackages) {
    Parsed p(
        "<COMMERCE-LIB METAMETHOD=card LIBRARY=/lib/card.so>\n"
        "<PACKAGE CODE=shop NAME=Shop DESCRIPTION=\"A shop\" VERSION=1 PATH=/p>\n"
        "<SOMETHING ELSE=1>\n");
    ASSERT_EQ(0, p.result) << p.engine.page().chars();
    ASSERT_EQ(1, p.config.commercelibs().Entries());
    EXPECT_EQ(String("card"), p.config.commercelibs().First()->name);
    EXPECT_EQ(String("/lib/card.so"), p.config.commercelibs().First()->values[0]);
    ASSERT_EQ(1, p.config.packagetags().Entries());
    EXPECT_EQ(String("A shop"), p.config.packagetags().First()->values[1]);

    Parsed nolib("<COMMERCE-LIB METHOD=x>");
    EXPECT_TRUE(nolib.PageHas("&lt;COMMERCE-LIB&gt; requires the LIBRARY attribute"));
    Parsed noversion("<PACKAGE CODE=a NAME=b DESCRIPTION=c PATH=d>");
    EXPECT_TRUE(
        noversion.PageHas("&lt;PACKAGE&gt; requires the VERSION attribute to be specified"));
}

// A worker copies its parse for each request: the copy gives what a parse of the
// same text gives, and a parse that read the request says so.
TEST(Config, AParseTakenOverGivesWhatParsingGives) {
    const char* text =
        "<CONTENT-TYPE MIMETYPE=\"text/plain\" EXTS=\"txt, .text\">\n"
        "<CONTENT-TYPE MIMETYPE=application/xhtml DEFAULT>\n"
        "<COMMERCE-LIB METHOD=card LIBRARY=/lib/card.so>\n"
        "<PACKAGE CODE=shop NAME=Shop DESCRIPTION=\"A shop\" VERSION=1 PATH=/p>\n"
        "<SQL-CONNECTION NAME=main CONNECT=\"dbname=x\">\n"
        "validextensions = kp, html\nglobaltimeout = 7\nkelproot = /srv/a\n"
        "lockhostname = node9\nnosuchkey = 1\n";
    Parsed p(text);
    ASSERT_EQ(0, p.result) << p.engine.page().chars();
    EXPECT_FALSE(p.config.readrequest());
    TestKelp engine;
    engine.vars()->AddSystemVariable("SERVER_NAME", "www.example.org");
    UNIXConfig copy(&engine, false);
    copy.UseParsed(p.config);
    UNIXConfig copied(&engine, false);
    copied.UseParsed(copy);  // a copy of a copy: nothing of the first is shared
    for (UNIXConfig* c : {&copy, &copied}) {
        for (int i = 0; i < Config::StringSettings; i++) {
            Config::StringSetting k = static_cast<Config::StringSetting>(i);
            EXPECT_EQ(p.config.Get(k), c->Get(k)) << i;
        }
        for (int i = 0; i < Config::IntegerSettings; i++) {
            Config::IntegerSetting k = static_cast<Config::IntegerSetting>(i);
            EXPECT_EQ(p.config.Get(k), c->Get(k)) << i;
        }
        EXPECT_EQ(String("text/plain"), c->GetContentType("TEXT"));
        EXPECT_EQ(String("application/xhtml"), c->GetContentType("kp"));
        EXPECT_TRUE(c->IsValidExtension("html"));
        ASSERT_EQ(1, c->commercelibs().Entries());
        EXPECT_EQ(String("/lib/card.so"), c->commercelibs().First()->values[0]);
        ASSERT_EQ(1, c->packagetags().Entries());
        EXPECT_EQ(String("A shop"), c->packagetags().First()->values[1]);
        ASSERT_EQ(1u, c->sqlconnections().size());
        EXPECT_EQ(String("dbname=x"), c->sqlconnections()[0].connect);
        ASSERT_EQ(1u, c->warnings().size());
        EXPECT_EQ(10, c->warnings()[0].line);
        // The request's own host, not the one of the parse.
        EXPECT_EQ(String("www.example.org"), c->virtualhost());
    }

    setenv("KELP_TEST_ROOT", "/srv/b", 1);
    Parsed macro("kelproot = &[KELP_TEST_ROOT]\n");
    EXPECT_TRUE(macro.config.readrequest());
    Parsed block("dnslookup = off\n<VIRTUALHOST a.test>\nglobaltimeout = 3\n</VIRTUALHOST>\n");
    EXPECT_TRUE(block.config.readrequest());
    unsetenv("KELP_TEST_ROOT");
}

TEST(Config, VirtualHostBlocks) {
    const char* text =
        "dnslookup = off\nglobaltimeout = 10\n"
        "<VIRTUALHOST www.one.example>\nglobaltimeout = 20\n</VIRTUALHOST>\n"
        "<VIRTUALHOST www.two.example>\nglobaltimeout = 30\nbroken line\n</VIRTUALHOST>\n";
    Parsed one(text, "WWW.ONE.example");
    ASSERT_EQ(0, one.result) << one.engine.page().chars();
    EXPECT_EQ(20, one.config.Get(Config::GlobalTimeout));
    Parsed other(text, "www.three.example");
    EXPECT_EQ(10, other.config.Get(Config::GlobalTimeout));
    Parsed two(text, "www.two.example");
    EXPECT_EQ(1, two.result);  // the broken line counts only inside the matching block
    EXPECT_TRUE(two.PageHas("Line 8: Missing ="));

    Parsed nested("dnslookup=off\n<VIRTUALHOST a>\n<VIRTUALHOST b>\n", "a");
    EXPECT_TRUE(nested.PageHas("Nested VIRTUALHOST tags are not allowed"));
    Parsed closing("</VIRTUALHOST>");
    EXPECT_TRUE(closing.PageHas("/VIRTUALHOST without corresponding VIRTUALHOST"));
    Parsed empty("dnslookup=off\n<VIRTUALHOST   >");
    EXPECT_TRUE(empty.PageHas("VIRTUALHOST expects exactly 1 parameter"));
    Parsed unresolved("<VIRTUALHOST no-such-host.invalid>");
    EXPECT_TRUE(unresolved.PageHas("Error resolving host 'no-such-host.invalid'"));
    Parsed address("<VIRTUALHOST 127.0.0.1>\nmaxfiles=7\n</VIRTUALHOST>", "localhost");
    EXPECT_EQ(7, address.config.Get(Config::MaxFiles));

    // A block naming the requested host wins over blocks that merely share its
    // address, wherever they stand; the address comparison serves only when no block
    // names the host.
    const char* shared =
        "<VIRTUALHOST LOCALHOST>\nstdmodedatadir = /own\n</VIRTUALHOST>\n"
        "<VIRTUALHOST 127.0.0.1>\nstdmodedatadir = /other\n</VIRTUALHOST>\n";
    Parsed exact(shared, "localhost");
    ASSERT_EQ(0, exact.result) << exact.engine.page().chars();
    EXPECT_EQ(String("/own"), exact.config.Get(Config::StdModeDataDir));
    Parsed byaddress("<VIRTUALHOST localhost>\nstdmodedatadir = /own\n</VIRTUALHOST>\n",
                     "127.0.0.1");
    EXPECT_EQ(String("/own"), byaddress.config.Get(Config::StdModeDataDir));
}

TEST(Config, SiteVariables) {
    TestKelp engine;
    UNIXConfig::ParseSiteVars(&engine,
                              "# site\r\n"
                              "a = b\r\n"
                              "\n"
                              "long=one \\\ntwo\n"
                              "escaped=x\\=y\\\\z\n"
                              "novalue\n"
                              "last=end");
    Variables* v = engine.vars();
    EXPECT_EQ(String(" b"), v->GetSystemVariableValue("a"));
    EXPECT_EQ(String("one two"), v->GetSystemVariableValue("long"));
    EXPECT_EQ(String("x=y\\z"), v->GetSystemVariableValue("escaped"));
    EXPECT_EQ(String("end"), v->GetSystemVariableValue("last"));
    EXPECT_EQ(String(""), v->GetSystemVariableValue("novalue"));

    TempDir dir;
    UNIXConfig config(&engine, false);
    EXPECT_EQ(0, config.ReadSiteVarsFile(dir.File("missing"), false));
    EXPECT_EQ(1, config.ReadSiteVarsFile(dir.File("missing"), true));
    EXPECT_TRUE(engine.page().contains("Error opening sitevars file"));
}

TEST(Config, VirtualHostDatabaseRecordsSettingsOnce) {
    TempDir dir;
    String text =
        "dnslookup = on\nworkdir = " + dir.path() +
        "\n<VIRTUALHOST localhost>\nglobaltimeout = 20\nserveradmin = a@b\n</VIRTUALHOST>\n"
        "<VIRTUALHOST other.invalid.example>\n</VIRTUALHOST>\n";
    String file = dir.Write("kelp.conf", text.chars());
    for (int pass = 0; pass < 2; pass++) {
        TestKelp engine;
        engine.vars()->AddSystemVariable("SERVER_NAME", "127.0.0.1");
        UNIXConfig config(&engine, false);
        config.SetProgramName("kelp");
        // The second block's host does not resolve: a configuration error.
        EXPECT_EQ(1, config.ReadConfiguration(file));
        EXPECT_TRUE(engine.page().contains("Error resolving host 'other.invalid.example'"));
    }
    EXPECT_FALSE(
        TestKelp().filemanager()->Exists(dir.File("kelpvh.dbf")));  // nothing recorded on failure

    dir.Write("kelp.conf", (text.before(text.search("<VIRTUALHOST other"))).chars());
    for (int pass = 0; pass < 2; pass++) {
        TestKelp engine;
        engine.vars()->AddSystemVariable("SERVER_NAME", "127.0.0.1");
        UNIXConfig config(&engine, false);
        config.SetProgramName("kelp");
        ASSERT_EQ(0, config.ReadConfiguration(file)) << engine.page().chars();
        EXPECT_EQ(20, config.Get(Config::GlobalTimeout));
    }
    TestKelp engine;
    XBaseTable table(engine.filemanager());
    ASSERT_TRUE(table.Open(dir.File("kelpvh.dbf"), "kelpvh.dbf", FileRead))
        << table.error().chars();
    ASSERT_EQ(2, table.numrecords());  // the second pass added nothing
    ASSERT_TRUE(table.Goto(1));
    String first;
    for (XBaseField* f = table.fields().First(); f != nullptr; f = table.fields().Next()) {
        String v(f->data());
        v.StripWhitespace();
        first += v + "|";
    }
    EXPECT_EQ(String("127.0.0.1|globaltimeout|20|"), first);
    EXPECT_TRUE(engine.filemanager()->Exists(dir.File("kelpvh.kpx")));
    table.Close();

    // An index that cannot take the new entry: the new record does not stay live
    // without it, and the request stops.
    FILE* kpx = fopen(dir.File("kelpvh.kpx").chars(), "r+b");
    ASSERT_NE(nullptr, kpx);
    fseek(kpx, 1024 + 4, SEEK_SET);
    fputc(1, kpx);  // the root page names itself as its child
    fclose(kpx);
    dir.Write("kelp.conf", ("dnslookup = on\nworkdir = " + dir.path() +
                            "\n<VIRTUALHOST localhost>\nglobaltimeout = 25\n</VIRTUALHOST>\n")
                               .chars());
    {
        TestKelp e;
        e.vars()->AddSystemVariable("SERVER_NAME", "127.0.0.1");
        UNIXConfig config(&e, false);
        config.SetProgramName("kelp");
        EXPECT_EQ(1, config.ReadConfiguration(file));
        EXPECT_TRUE(e.page().contains("The virtual host database is corrupt")) << e.page().chars();
    }
    ASSERT_TRUE(table.Open(dir.File("kelpvh.dbf"), "kelpvh.dbf", FileRead));
    ASSERT_EQ(3, table.numrecords());
    ASSERT_TRUE(table.Goto(3));
    EXPECT_TRUE(table.deleted());
}

// The request's settings are the configuration's, key by key: each key below gets a
// value of its own, so that a setting filled from the wrong key shows. A temporary
// directory left unset is the data directory; the lock host name left unset stays
// empty (the machine's name, looked up when a lock file is written).
TEST(Config, RequestSettingsComeFromTheFile) {
    TempDir dir;
    String root = dir.path() + "/site", data = dir.path() + "/data";
    String conf = "kelproot = " + root + "\nstdmodedatadir = " + data +
                  "\nglobaltimeout = 7\nusecookies = off\ncontentbuffersize = 1001\n"
                  "maxcontentlength = 1002\nmaxformfields = 1003\ntemplatebuffersize = 1004\n"
                  "maxfunctiondepth = 9\nmaxfiles = 11\nlockexpiration = 33\n"
                  "importbuffersize = 1005\ncalltimeout = 5\ncallbuffersize = 1006\n"
                  "mailtimeout = 6\nsmtpbuffersize = 1007\nmaxresponselength = 1008\n"
                  "tlscafile = /etc/ca.pem\n";
    dir.Write("kelp.conf", conf.chars());
    String program = dir.File("kelp");
    char* argv[] = {const_cast<char*>(program.chars()), nullptr};
    CGIKelp host(1, argv);
    ASSERT_EQ(1, host.LoadConfiguration());
    const Settings& s = host.settings();
    EXPECT_EQ(7, s.globaltimeout);
    EXPECT_FALSE(s.usecookies);
    EXPECT_EQ(1001, s.contentbuffersize);
    EXPECT_EQ(1002, s.maxcontentlength);
    EXPECT_EQ(1003, s.maxformfields);
    EXPECT_EQ(1004, s.templatebuffersize);
    EXPECT_EQ(9, s.maxfunctiondepth);
    EXPECT_EQ(11, s.maxfiles);
    EXPECT_EQ(33, s.lockexpiration);
    EXPECT_EQ(1005, s.importbuffersize);
    EXPECT_EQ(5, s.calltimeout);
    EXPECT_EQ(1006, s.callbuffersize);
    EXPECT_EQ(6, s.mailtimeout);
    EXPECT_EQ(1007, s.smtpbuffersize);
    EXPECT_EQ(1008, s.maxresponselength);
    EXPECT_EQ(String("/etc/ca.pem"), s.tlscafile);
    EXPECT_EQ(root, s.scriptdirectory);
    EXPECT_EQ(data, s.datadirectory);
    EXPECT_EQ(data, s.tempdirectory);
    EXPECT_TRUE(s.lockhostname.empty());

    dir.Write("kelp.conf", (conf + "tempdir = /tmp\nlockhostname = web7\n").chars());
    CGIKelp again(1, argv);
    ASSERT_EQ(1, again.LoadConfiguration());
    EXPECT_EQ(String("/tmp"), again.settings().tempdirectory);
    EXPECT_EQ(String("web7"), again.settings().lockhostname);
}
