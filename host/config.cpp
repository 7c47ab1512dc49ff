// The configuration: key table, file reader, validation, content types and site
// variables.

#include "host/config.h"

#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "foundation/file.h"
#include "foundation/key_compare.h"
#include "host/engine.h"
#include "host/tag_attributes.h"
#include "script/error.h"
#include "script/variables.h"

namespace {

struct ConfigKey {
    const char* name;
    Config::KeyType type;
    int member;  // a StringSetting or an IntegerSetting, by type
};

// Every key a configuration file may set; aliases share a member.
const ConfigKey kKeys[] = {
    {"brindleroot", Config::StringKey, Config::KelpRoot},
    {"kelproot", Config::StringKey, Config::KelpRoot},
    {"kpmlroot", Config::StringKey, Config::KelpRoot},
    {"userdir", Config::StringKey, Config::UserDir},
    {"usersitevars", Config::StringKey, Config::UserSiteVars},
    {"authfile", Config::StringKey, Config::AuthFile},
    {"authuserdir", Config::StringKey, Config::AuthUserDir},
    {"stdmodedatadir", Config::StringKey, Config::StdModeDataDir},
    {"brindledefault", Config::StringKey, Config::KelpDefault},
    {"kelpdefault", Config::StringKey, Config::KelpDefault},
    {"kpmldefault", Config::StringKey, Config::KelpDefault},
    {"sitevars", Config::StringKey, Config::SiteVars},
    {"commercedir", Config::StringKey, Config::CommerceDir},
    {"path", Config::StringKey, Config::Path},
    {"tempdir", Config::StringKey, Config::TempDir},
    {"loglevel", Config::IntegerKey, Config::LogLevel},
    {"securityoptions", Config::IntegerKey, Config::SecurityOptions},
    {"workdir", Config::StringKey, Config::WorkDir},
    {"logfile", Config::StringKey, Config::LogFile},
    {"globaltimeout", Config::IntegerKey, Config::GlobalTimeout},
    {"mailtimeout", Config::IntegerKey, Config::MailTimeout},
    {"calltimeout", Config::IntegerKey, Config::CallTimeout},
    {"serveradmin", Config::StringKey, Config::ServerAdmin},
    {"usecookies", Config::BooleanKey, Config::UseCookies},
    {"nice", Config::IntegerKey, Config::Nice},
    {"maxcpu", Config::IntegerKey, Config::MaxCPU},
    {"maxdata", Config::IntegerKey, Config::MaxData},
    {"maxstack", Config::IntegerKey, Config::MaxStack},
    {"maxfunctiondepth", Config::IntegerKey, Config::MaxFunctionDepth},
    {"importbuffersize", Config::IntegerKey, Config::ImportBufferSize},
    {"templatebuffersize", Config::IntegerKey, Config::TemplateBufferSize},
    {"callbuffersize", Config::IntegerKey, Config::CallBufferSize},
    {"smtpbuffersize", Config::IntegerKey, Config::SMTPBufferSize},
    {"contentbuffersize", Config::IntegerKey, Config::ContentBufferSize},
    {"outputbuffersize", Config::IntegerKey, Config::OutputBufferSize},
    {"virtualhostvariable", Config::StringKey, Config::VirtualHostVariable},
    {"dnslookup", Config::BooleanKey, Config::DNSLookup},
    {"redirectonly", Config::BooleanKey, Config::RedirectOnly},
    {"serveruserid", Config::IntegerKey, Config::ServerUserID},
    {"validextensions", Config::StringKey, Config::ValidExtensions},
    {"packages", Config::StringKey, Config::Packages},
    {"maxfiles", Config::IntegerKey, Config::MaxFiles},
    {"lockexpiration", Config::IntegerKey, Config::LockExpiration},
    {"lockhostname", Config::StringKey, Config::LockHostName},
    {"tlscafile", Config::StringKey, Config::TLSCAFile},
    {"maxcontentlength", Config::IntegerKey, Config::MaxContentLength},
    {"maxresponselength", Config::IntegerKey, Config::MaxResponseLength},
    {"warnundefined", Config::BooleanKey, Config::WarnUndefined},
    {"maxformfields", Config::IntegerKey, Config::MaxFormFields},
    {"maxheaderlength", Config::IntegerKey, Config::MaxHeaderLength},
    {"fastcgiworkers", Config::IntegerKey, Config::FastCGIWorkers},
    {"fastcgirequests", Config::IntegerKey, Config::FastCGIRequests},
    {"fastcgiallow", Config::StringKey, Config::FastCGIAllow},
    {"fastcgipagecache", Config::IntegerKey, Config::FastCGIPageCache},
    {nullptr, Config::EndOfKeys, 0},
};

// An extension list item: whitespace stripped and one leading "." dropped.
String ExtensionItem(const String& item) {
    String e = item.trimmed();
    if (e.matches('.', 0)) e = e.from(1);
    return e;
}

// Calls f(item) for every comma-separated item of list.
template <typename F>
void ForEachItem(const String& list, F f) {
    int start = 0;
    while (start <= list.length()) {
        int comma = list.search(",", start);
        int end = comma < 0 ? list.length() : comma;
        f(list.at(start, end));
        if (comma < 0) break;
        start = comma + 1;
    }
}

// Dotted address of host, or empty when it cannot be resolved.
String ResolveHost(const String& host) {
    struct in_addr address;
    if (inet_aton(host.chars(), &address) != 0) return host;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    struct addrinfo* result = nullptr;
    if (getaddrinfo(host.chars(), nullptr, &hints, &result) != 0 || result == nullptr) {
        return String();
    }
    char text[INET_ADDRSTRLEN];
    const struct sockaddr_in* in = reinterpret_cast<const struct sockaddr_in*>(result->ai_addr);
    String dotted(inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) ? text : "");
    freeaddrinfo(result);
    return dotted;
}

}  // namespace

Config::Config() : pendinghost_((1u << ServerAdmin) | (1u << LockHostName)) {
    static_assert(StringSettings <= 32, "a bit per string setting");
    for (int i = 0; i < IntegerSettings; i++) integers_[i] = 0;
    String cwd = FileManager::WorkingDirectory();
    strings_[UserDir] = "public_brn";
    strings_[UserSiteVars] = "sitevars";
    strings_[StdModeDataDir] = cwd;
    strings_[KelpDefault] = "index.kp";
    strings_[Path] = cwd;
    strings_[VirtualHostVariable] = "SERVER_NAME";
    strings_[FastCGIAllow] = "127.0.0.1";
    integers_[GlobalTimeout] = 90;
    integers_[MailTimeout] = 30;
    integers_[CallTimeout] = 30;
    integers_[UseCookies] = 1;
    integers_[MaxFunctionDepth] = 23;
    integers_[ImportBufferSize] = 8192;
    integers_[TemplateBufferSize] = 8192;
    integers_[CallBufferSize] = 8192;
    integers_[SMTPBufferSize] = 8192;
    integers_[ContentBufferSize] = 8192;
    integers_[OutputBufferSize] = 8192;
    integers_[DNSLookup] = 1;
    integers_[ServerUserID] = -1;
    integers_[LockExpiration] = 90;
    integers_[MaxContentLength] = 16L * 1024 * 1024;
    integers_[MaxResponseLength] = 16L * 1024 * 1024;
    integers_[MaxFormFields] = 1000;
    integers_[MaxHeaderLength] = 8192;
    integers_[FastCGIPageCache] = 8L * 1024 * 1024;
}

// The machine's name is asked for only when a setting that defaults to it is read:
// most requests never read one, and a hello page would pay the call.
void Config::FillHostDefaults() const {
    String host = FileManager::MachineName();
    if (pendinghost_ & (1u << ServerAdmin)) strings_[ServerAdmin] = "webmaster@" + host;
    if (pendinghost_ & (1u << LockHostName)) strings_[LockHostName] = host;
    pendinghost_ = 0;
}

int Config::SetConfigValue(const String& name, const String& value) {
    lastkeyknown_ = false;
    for (const ConfigKey* key = kKeys; key->type != EndOfKeys; key++) {
        if (CompareKeys(key->name, name.chars()) != 0) continue;
        lastkeyknown_ = true;
        switch (key->type) {
            case StringKey:
                if (value.contains('\r') || value.contains('\n')) return 1;
                Set(static_cast<StringSetting>(key->member), value);
                return 0;
            case IntegerKey: {
                const char* s = value.chars();
                bool signedkey = key->member == Nice || key->member == ServerUserID;
                const char* digits = *s == '-' && signedkey ? s + 1 : s;
                if (*digits == '\0') return 1;
                // As strtol() reads it (out of range: the nearest limit), without the
                // C library's locale tables.
                long v = 0;
                bool over = false;
                for (const char* p = digits; *p; p++) {
                    if (*p < '0' || *p > '9') return 1;
                    int d = *p - '0';
                    if (v > (LONG_MAX - d) / 10) {
                        over = true;
                    } else {
                        v = v * 10 + d;
                    }
                }
                if (over) v = digits == s ? LONG_MAX : LONG_MIN;
                integers_[key->member] = digits == s || over ? v : -v;
                return 0;
            }
            case BooleanKey: {
                static const char* const kOn[] = {"on", "yes", "true", "1"};
                static const char* const kOff[] = {"off", "no", "false", "0"};
                for (int i = 0; i < 4; i++) {
                    if (CompareKeys(value.chars(), kOn[i]) == 0) {
                        integers_[key->member] = 1;
                        return 0;
                    }
                    if (CompareKeys(value.chars(), kOff[i]) == 0) {
                        integers_[key->member] = 0;
                        return 0;
                    }
                }
                return 1;
            }
            case EndOfKeys:
                break;
        }
    }
    return 0;
}

UNIXConfig::UNIXConfig(Kelp* engine, bool serversafe)
    : engine_(engine),
      serversafe_(serversafe),
      workingdirectory_(Get(Path)),  // the working directory, as Config() found it
      defaultmimetype_("text/html"),
      mimetypes_(1),
      commercelibs_(1),
      packages_(1),
      blockstate_(0),
      programname_("kelp") {}

int UNIXConfig::Fail(const String& message) {
    failure_ = ConfigWarning{0, message};
    if (engine_ != nullptr) engine_->Error(ConfigurationError(Get(ServerAdmin), message));
    return 1;
}

int UNIXConfig::SyntaxFail(int line, const String& message) {
    failure_ = ConfigWarning{line, message};
    if (engine_ != nullptr) {
        engine_->Error(ConfigurationSyntaxError(Get(ServerAdmin), line, message));
    }
    return 1;
}

int UNIXConfig::ReadConfiguration(const String& filename) {
    String text;
    return UseConfiguration(FileManager::ReadTextFile(filename, &text) ? &text : nullptr);
}

int UNIXConfig::UseConfiguration(const String* text) {
    if (text == nullptr) return Fail("Cannot open configuration file");
    if (ParseConfiguration(*text) != 0) return 1;
    if (!hostsettings_.empty() && !Get(WorkDir).empty()) {
        String error;
        if (!RecordVirtualHostSettings(engine_->filemanager(), Get(WorkDir), programname_,
                                       hostsettings_.data(), static_cast<int>(hostsettings_.size()),
                                       &error)) {
            return Fail(error);
        }
    }
    ReadRequestedHost();
    return 0;
}

void UNIXConfig::ReadRequestedHost() {
    if (virtualhost_.empty() && engine_ != nullptr) {
        virtualhost_ = engine_->vars()->GetSystemVariableValue(Get(VirtualHostVariable));
    }
}

void UNIXConfig::UseParsed(const UNIXConfig& other) {
    for (int i = 0; i < StringSettings; i++) strings_[i] = other.strings_[i];
    for (int i = 0; i < IntegerSettings; i++) integers_[i] = other.integers_[i];
    pendinghost_ = other.pendinghost_;
    lastkeyknown_ = other.lastkeyknown_;
    defaultmimetype_ = other.defaultmimetype_;
    mimetypes_.Dump();
    other.mimetypes_.Visit([this](const MimeType* m) { mimetypes_.Insert(new MimeType(*m)); });
    auto copy = [](List<ConfigTag>& to, const List<ConfigTag>& from) {
        to.Dump();
        List<ConfigTag>& list = const_cast<List<ConfigTag>&>(from);  // (its cursor moves)
        for (ConfigTag* t = list.First(); t != nullptr; t = list.Next())
            to.Insert(new ConfigTag(*t), ListTail);
    };
    copy(commercelibs_, other.commercelibs_);
    copy(packages_, other.packages_);
    hostsettings_ = other.hostsettings_;
    sqlconnections_ = other.sqlconnections_;
    warnings_ = other.warnings_;
    failure_ = other.failure_;
    readrequest_ = other.readrequest_;
    ReadRequestedHost();
}

namespace {

// path without its trailing slashes and "/." steps.
String Plain(const String& path) {
    String p = path;
    for (;;) {
        if (p.length() > 1 && p.matches('/', p.length() - 1)) {
            p = p.before(p.length() - 1);
        } else if (p.length() > 2 && p.from(p.length() - 2) == "/.") {
            p = p.before(p.length() - 2);
        } else {
            return p;
        }
    }
}

}  // namespace

bool UNIXConfig::Below(const String& path, const String& root) {
    String p = Plain(path);
    String r = Plain(root);
    if (r == "/") return true;
    return p == r || (p.search(r.chars()) == 0 && p[r.length()] == '/');
}

int UNIXConfig::ParseConfiguration(const String& text) {
    warnings_.clear();
    // A first pass only looks for a block that names the requested host itself:
    // when there is one, blocks of other names never apply, whatever their address.
    exactblock_ = false;
    requestaddressknown_ = false;
    readrequest_ = false;
    prescan_ = true;
    Scan(text);
    prescan_ = false;
    blockstate_ = 0;
    hostsettings_.clear();
    sqlconnections_.clear();
    return Scan(text);
}

int UNIXConfig::Scan(const String& text) {
    int line = 1;
    int n = text.length();
    String current;
    int i = 0;
    while (i < n) {
        char c = text[i];
        if (c == '\\' && i + 1 < n) {
            current += c;
            current += text[i + 1];
            if (text[i + 1] == '\n') line++;
            i += 2;
            continue;
        }
        if (c == '#') {
            while (i < n && text[i] != '\n') i++;
            continue;
        }
        if (c == '\n') {
            if (ProcessLine(line, current) != 0) return 1;
            current.clear();
            line++;
            i++;
            continue;
        }
        if (c == '<') {
            if (ProcessLine(line, current) != 0) return 1;
            current.clear();
            int start = ++i;
            int tagline = line;
            while (i < n && text[i] != '>') {
                if (text[i] == '\n') line++;
                i++;
            }
            if (ProcessTag(tagline, text.at(start, i)) != 0) return 1;
            if (i < n) i++;
            continue;
        }
        // The plain characters up to the next one that means something, at once.
        int end = i + 1;
        while (end < n) {
            char d = text[end];
            if (d == '\\' || d == '#' || d == '\n' || d == '<' || d == '\0') break;
            end++;
        }
        current.cat(text.chars() + i, end - i);
        i = end;
    }
    if (ProcessLine(line, current) != 0) return 1;
    return 0;
}

bool Config::KnownKey(const String& name) {
    for (const ConfigKey* key = kKeys; key->type != EndOfKeys; key++) {
        if (CompareKeys(key->name, name.chars()) == 0) return true;
    }
    return false;
}

void UNIXConfig::Warn(int line, const String& text) {
    warnings_.push_back(ConfigWarning{line, text});
}

int UNIXConfig::ProcessLine(int line, const String& text) {
    if (prescan_) return 0;
    String item = text.trimmed();
    if (item.empty()) return 0;
    int equals = item.search("=");
    // An unknown key is no error (a newer file still works), but a misspelt one
    // silently keeps the default, so it is named wherever it stands: also in a block
    // of another host, whose settings are not applied.
    if (blockstate_ == 2) {
        if (equals >= 0 && !KnownKey(item.before(equals).trimmed())) {
            Warn(line, "unknown configuration key '" + item.before(equals).trimmed() + "'");
        }
        return 0;
    }
    if (equals < 0) return SyntaxFail(line, "Missing =");
    String key = item.before(equals).trimmed();
    String value = item.after(equals).trimmed();
    String expanded = value;
    if (expanded.contains("&[")) readrequest_ = true;  // the request's environment
    ProcessMacros(&expanded);
    if (Config::SetConfigValue(key, expanded) != 0) {
        return SyntaxFail(line, "'" + value + "' is not a valid value for " + key);
    }
    if (!lastkeyknown_) Warn(line, "unknown configuration key '" + key + "'");
    if (blockstate_ == 1) hostsettings_.push_back(VirtualHostSetting{blockaddress_, key, expanded});
    return 0;
}

String UNIXConfig::RequestedHost() const {
    String requested = virtualhost_;
    if (requested.empty() && engine_ != nullptr) {
        requested = engine_->vars()->GetSystemVariableValue(Get(VirtualHostVariable));
    }
    return requested;
}

bool UNIXConfig::HostMatches(const String& host, const String& address) {
    String requested = RequestedHost();
    if (CompareKeys(requested.chars(), host.chars()) == 0) return true;
    if (exactblock_ || Get(DNSLookup) == 0 || requested.empty() || address.empty()) return false;
    // The requested name is the client's choice: it is looked up once per request.
    if (!requestaddressknown_) {
        requestaddress_ = ResolveHost(requested);
        requestaddressknown_ = true;
    }
    return !requestaddress_.empty() && address == requestaddress_;
}

int UNIXConfig::ProcessTag(int line, const String& tag) {
    String body = tag.trimmed();
    int nameend = 0;
    while (nameend < body.length() && !String::IsWhitespace(body[nameend])) nameend++;
    String name = body.before(nameend);
    String rest = body.from(nameend).trimmed();
    // A block applies or not by the host the request names.
    if (CompareKeys(name.chars(), "VIRTUALHOST") == 0) readrequest_ = true;
    if (prescan_) {
        if (CompareKeys(name.chars(), "VIRTUALHOST") == 0 && !rest.empty() &&
            CompareKeys(rest.chars(), RequestedHost().chars()) == 0) {
            exactblock_ = true;
        }
        return 0;
    }
    if (CompareKeys(name.chars(), "/VIRTUALHOST") == 0) {
        if (blockstate_ == 0)
            return SyntaxFail(line, "/VIRTUALHOST without corresponding VIRTUALHOST");
        blockstate_ = 0;
        return 0;
    }
    if (CompareKeys(name.chars(), "VIRTUALHOST") == 0) {
        if (blockstate_ != 0) return SyntaxFail(line, "Nested VIRTUALHOST tags are not allowed");
        if (rest.empty()) return SyntaxFail(line, "VIRTUALHOST expects exactly 1 parameter");
        String address = Get(DNSLookup) != 0 ? ResolveHost(rest) : rest;
        if (address.empty()) return SyntaxFail(line, "Error resolving host '" + rest + "'");
        blockstate_ = HostMatches(rest, Get(DNSLookup) != 0 ? address : String()) ? 1 : 2;
        blockaddress_ = address;
        return 0;
    }
    if (blockstate_ == 2) return 0;
    TagAttributes a;
    a.Parse(rest);
    if (CompareKeys(name.chars(), "CONTENT-TYPE") == 0) {
        if (!a.Has("MIMETYPE")) {
            return SyntaxFail(
                line, "&lt;CONTENT-TYPE&gt; requires the MIMETYPE attribute to be specified");
        }
        String type = a.Value("MIMETYPE");
        if (type.contains('\r') || type.contains('\n')) {
            return SyntaxFail(line, "&lt;CONTENT-TYPE&gt; MIMETYPE may not hold a line break");
        }
        if (a.Has("DEFAULT")) {
            defaultmimetype_ = type;
        } else if (!a.Has("EXTS")) {
            return SyntaxFail(line,
                              "&lt;CONTENT-TYPE&gt; requires the EXTS attribute to be specified");
        }
        if (a.Has("EXTS")) AddContentType(a.Value("EXTS"), type);
        return 0;
    }
    if (CompareKeys(name.chars(), "COMMERCE-LIB") == 0) {
        String method = a.Has("METHOD") ? a.Value("METHOD") : a.Value("METAMETHOD");
        if (!a.Has("METHOD") && !a.Has("METAMETHOD")) {
            return SyntaxFail(line,
                              "&lt;COMMERCE-LIB&gt; requires the METHOD attribute to be specified");
        }
        if (!a.Has("LIBRARY")) {
            return SyntaxFail(
                line, "&lt;COMMERCE-LIB&gt; requires the LIBRARY attribute to be specified");
        }
        ConfigTag* lib = new ConfigTag;
        lib->name = method;
        lib->values[0] = a.Value("LIBRARY");
        commercelibs_.Insert(lib, ListTail);
        return 0;
    }
    if (CompareKeys(name.chars(), "PACKAGE") == 0) {
        static const char* const kRequired[] = {"CODE", "NAME", "DESCRIPTION", "VERSION", "PATH"};
        for (const char* attribute : kRequired) {
            if (!a.Has(attribute)) {
                return SyntaxFail(line, String("&lt;PACKAGE&gt; requires the ") + attribute +
                                            " attribute to be specified");
            }
        }
        ConfigTag* package = new ConfigTag;
        package->name = a.Value("CODE");
        package->values[0] = a.Value("NAME");
        package->values[1] = a.Value("DESCRIPTION");
        package->values[2] = a.Value("VERSION");
        package->values[3] = a.Value("PATH");
        package->values[4] = a.Value("DEFAULTPATH");
        packages_.Insert(package, ListTail);
        return 0;
    }
    if (CompareKeys(name.chars(), "SQL-CONNECTION") == 0) {
        for (const char* attribute : {"NAME", "CONNECT"}) {
            if (!a.Has(attribute)) {
                return SyntaxFail(line, String("&lt;SQL-CONNECTION&gt; requires the ") + attribute +
                                            " attribute to be specified");
            }
        }
        sqlconnections_.push_back(
            SqlConnectionSetting{a.Value("NAME"), a.Value("CONNECT"), a.Value("ALLOW")});
        return 0;
    }
    Warn(line, "unknown configuration tag '" + name + "'");
    return 0;  // unknown tags are ignored
}

int UNIXConfig::SetConfigValue(const String& name, const String& value) {
    String expanded = value;
    ProcessMacros(&expanded);
    return Config::SetConfigValue(name, expanded);
}

void UNIXConfig::ProcessMacros(String* value) {
    if (!value->contains("&[")) return;
    const String& in = *value;
    String out;
    int i = 0;
    int n = in.length();
    while (i < n) {
        if (in[i] == '&' && in[i + 1] == '[') {
            int close = in.search("]", i + 2);
            if (close >= 0) {
                String name = in.at(i + 2, close).trimmed();
                const char* env = getenv(name.chars());
                if (env != nullptr) out += env;
                i = close + 1;
                continue;
            }
        }
        out += in[i];
        i++;
    }
    *value = out;
}

int UNIXConfig::ValidateConfiguration() {
    String& root = strings_[KelpRoot];
    if (root.empty()) return Fail("kelproot is not defined");
    if (!root.matches('/', 0)) root = workingdirectory_ + "/" + root;
    if (serversafe_ && Get(AuthFile).empty() && Get(AuthUserDir).empty()) {
        return Fail(
            "Kelp is running in server safe mode but no authfile or authuserdir are defined");
    }
    String& data = strings_[StdModeDataDir];
    if (!data.empty() && !data.matches('/', 0)) data = workingdirectory_ + "/" + data;
    if (!data.empty() && Below(data, root)) {
        Warn(0, "stdmodedatadir '" + data + "' is inside kelproot '" + root +
                    "': the web server may serve its tables as files");
    }
    return 0;
}

int UNIXConfig::ReadSiteVars() {
    if (Get(SiteVars).empty()) return 0;
    return ReadSiteVarsFile(Get(SiteVars), true);
}

int UNIXConfig::ReadUserSiteVars() {
    if (Get(UserSiteVars).empty()) return 0;
    String resolved;
    String error;
    PathStatus seen;
    if (engine_->ResolvePath(Get(UserSiteVars), DataPath, &resolved, &error, &seen) == 0) {
        return Fail(error);
    }
    if (seen.state == PathStatus::Missing) return 0;  // no file: nothing to open
    return ReadSiteVarsFile(resolved, false);
}

int UNIXConfig::ReadSiteVarsFile(const String& filename, bool required) {
    String text;
    if (!FileManager::ReadTextFile(filename, &text))
        return required ? Fail("Error opening sitevars file") : 0;
    ParseSiteVars(engine_, text);
    return 0;
}

void UNIXConfig::ParseSiteVars(Kelp* engine, const String& text) {
    int n = text.length();
    int i = 0;
    while (i < n) {
        // One logical line: a backslash at the end joins the next line, before any
        // other character it is dropped and the character kept; CRs are dropped.
        String line;
        while (i < n && text[i] != '\n') {
            char c = text[i];
            if (c == '\r') {
                i++;
                continue;
            }
            if (c == '\\' && i + 1 < n) {
                char next = text[i + 1];
                if (next == '\r' && i + 2 < n && text[i + 2] == '\n') i++;
                if (text[i + 1] != '\n') line += text[i + 1];
                i += 2;
                continue;
            }
            line += c;
            i++;
        }
        i++;  // the line end
        if (line.empty() || line.matches('#', 0)) continue;
        int equals = line.search("=");
        if (equals < 0) continue;
        String name = line.before(equals).trimmed();
        if (name.empty()) continue;
        engine->vars()->AddSystemVariable(name, line.after(equals));
    }
}

void UNIXConfig::AddContentType(const String& extensions, const String& type) {
    ForEachItem(extensions, [this, &type](const String& item) {
        String extension = ExtensionItem(item);
        if (extension.empty()) return;
        MimeType* existing = mimetypes_.Find(extension.chars());
        if (existing != nullptr) {
            existing->type = type;
            return;
        }
        MimeType* m = new MimeType;
        m->extension = extension;
        m->type = type;
        mimetypes_.Insert(m);
    });
}

String UNIXConfig::GetContentType(const String& extension) const {
    String e = extension.matches('.', 0) ? extension.from(1) : extension;
    MimeType* m = mimetypes_.Find(e.chars());
    return m != nullptr ? m->type : defaultmimetype_;
}

bool UNIXConfig::IsValidExtension(const String& extension) const {
    const String& list = Get(ValidExtensions);
    if (list.empty()) return true;
    String e = extension.matches('.', 0) ? extension.from(1) : extension;
    bool valid = false;
    ForEachItem(list, [&valid, &e](const String& item) {
        if (!valid && CompareKeys(ExtensionItem(item).chars(), e.chars()) == 0) valid = true;
    });
    return valid;
}
