// The CGI program's host: configuration, script location, request variables and the
// header block.

#include "host/cgi_kelp.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "foundation/deadline_alarm.h"
#include "foundation/key_compare.h"
#include "host/activity_log.h"
#include "host/authorization.h"
#include "host/package.h"
#include "script/encoding.h"
#include "script/error.h"
#include "script/variables.h"

extern char** environ;

namespace {

CGIKelp* g_host = nullptr;

void CGIKelpSignalHandler(int) {
    if (g_host != nullptr) g_host->Interrupt();
}

String WithoutBackslashes(const String& s) {
    if (!s.contains('\\')) return s;
    String t = s;
    t.gsub("\\", nullptr);
    return t;
}

}  // namespace

bool CGIKelp::RunningSetUIDRoot(const char* program) {
    struct stat st;
    return program != nullptr && stat(program, &st) == 0 && (st.st_mode & S_ISUID) != 0 &&
           st.st_uid == 0;
}

namespace {

// Output waits for the web server to read it: nobody waits meanwhile for a table
// this request holds.
void EndRunOf(void* host) {
    static_cast<Kelp*>(host)->EndRun();
}

}  // namespace

CGIKelp::CGIKelp(int argc, char** argv)
    : argc_(argc),
      argv_(argv),
      pathentry_(nullptr),
      interrupted_(0),
      config_(nullptr),
      log_(nullptr),
      files_(this),
      out_(new StandardOutput(8192)),
      contenttype_("text/html"),
      mode_(StandardMode),
      owneruid_(-1),
      ownergid_(-1) {
    g_host = this;
    out_->SetBeforeWrite(EndRunOf, this);
    DeadlineAlarm::Claim();
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "kelp";
    const char* base = program;
    for (const char* p = program; *p != '\0'; p++) {
        if (*p == '/') base = p + 1;
    }
    basename_ = base;
    const char* pathinfo = getenv("PATH_INFO");
    if (pathinfo != nullptr) pathinfo_ = pathinfo;
}

CGIKelp::~CGIKelp() {
    if (log_ != nullptr) log_->Write(1, "SCRIPTENDED", "");
    out_->Flush();
    delete out_;
    delete log_;
    delete config_;
    if (pathentry_ != nullptr) {
        putenv(const_cast<char*>("PATH="));
        free(pathentry_);
    }
    if (g_host == this) g_host = nullptr;
}

String CGIKelp::Environment(const char* name) const {
    const char* value = getenv(name);
    return value != nullptr ? String(value) : String();
}

void CGIKelp::Log(int level, const char* kind, const String& info) {
    if (log_ != nullptr) log_->Write(level, kind, info);
}

void CGIKelp::RecordError(const String& message) {
    ActivityLog::ToStandardError(message);
}

void CGIKelp::ReportConfigurationWarnings() {
    const std::vector<ConfigWarning>& warnings = config_->warnings();
    for (size_t i = warningsreported_; i < warnings.size(); i++) {
        const ConfigWarning& w = warnings[i];
        String where = configpath_;
        if (!where.matches('/', 0))
            where = FileManager::WorkingDirectory() + "/" +
                    (where.search("./") == 0 ? where.from(2) : where);
        if (w.line > 0) where += ": line " + String::FromInt(w.line);
        ActivityLog::ToStandardError(where + ": warning: " + w.text);
    }
    warningsreported_ = warnings.size();
}

void CGIKelp::ScriptStarting() {
    // Until now a signal ends the process at once: the body, the configuration and
    // the databases read before the script are not worth finishing for a client that
    // has gone. From here the interpreter polls the flag and ends the page cleanly.
    static const int kSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM};
    CatchPageSignals(kSignals, 5);
}

void CGIKelp::PageSignal(int signal) {
    CGIKelpSignalHandler(signal);
}

void CGIKelp::CatchPageSignals(const int* signals, int count) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = CGIKelpSignalHandler;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < count; i++) sigaction(signals[i], &action, nullptr);
}

void CGIKelp::ApplySettings() {
    const UNIXConfig& c = *config_;
    Settings& s = settings_;
    s.globaltimeout = static_cast<int>(c.Get(Config::GlobalTimeout));
    s.usecookies = c.Get(Config::UseCookies) != 0;
    long size = c.Get(Config::ContentBufferSize);
    s.contentbuffersize = size > 0 ? static_cast<int>(size) : 8192;
    s.maxcontentlength = c.Get(Config::MaxContentLength);
    s.maxformfields = static_cast<int>(c.Get(Config::MaxFormFields));
    s.scriptdirectory = !scriptroot_.empty() ? scriptroot_ : c.brindleroot();
    s.datadirectory = !ownerdata_.empty() ? ownerdata_ : c.Get(Config::StdModeDataDir);
    const String& temp = c.Get(Config::TempDir);
    s.tempdirectory = temp.empty() ? s.datadirectory : temp;
    size = c.Get(Config::TemplateBufferSize);
    s.templatebuffersize = size > 0 ? static_cast<int>(size) : 8192;
    s.maxfunctiondepth = static_cast<int>(c.Get(Config::MaxFunctionDepth));
    s.maxfiles = static_cast<int>(c.Get(Config::MaxFiles));
    // (The machine's name is looked up only when a lock file needs it.)
    s.lockhostname =
        c.MachineDefault(Config::LockHostName) ? String() : c.Get(Config::LockHostName);
    s.lockexpiration = static_cast<int>(c.Get(Config::LockExpiration));
    s.importbuffersize = static_cast<int>(c.Get(Config::ImportBufferSize));
    s.calltimeout = static_cast<int>(c.Get(Config::CallTimeout));
    s.callbuffersize = static_cast<int>(c.Get(Config::CallBufferSize));
    s.mailtimeout = static_cast<int>(c.Get(Config::MailTimeout));
    s.smtpbuffersize = static_cast<int>(c.Get(Config::SMTPBufferSize));
    s.maxresponselength = c.Get(Config::MaxResponseLength);
    s.tlscafile = c.Get(Config::TLSCAFile);
    s.sqlconnections = c.sqlconnections();
}

bool CGIKelp::IsScriptExtension(const String& extension) {
    return config_ == nullptr || config_->IsValidExtension(extension);
}

bool CGIKelp::ReadConfigurationFile(String* text) {
    // A candidate is passed over only when it does not exist; one that exists but
    // cannot be read is the configuration, and the request fails. (Opened without a
    // stat first: one system call less per request.)
    auto take = [this, text](const String& path) {
        configpath_ = path;
        if (FileManager::ReadTextFile(path, text)) return 1;
        if (errno == ENOENT || errno == ENOTDIR) return 0;
        struct stat st;
        return stat(path.chars(), &st) == 0 ? -1 : 0;
    };
    int found = 0;
    if (argc_ > 0 && argv_[0] != nullptr) found = take(String(argv_[0]) + ".conf");
    if (found == 0) {
        String here = FileManager::WorkingDirectory();
        if (!here.matches('/', here.length() - 1)) here += "/";
        found = take(here + basename_ + ".conf");
    }
    if (found == 0) found = take("/etc/" + basename_ + ".conf");
    return found == 1;
}

int CGIKelp::AddEnvironmentVariables() {
    vars()->AddProcessIdVariable();
    // Made when a page first reads one: only PATH changes in the environment meanwhile,
    // and it is left out.
    static const char* const kLeftOut[] = {"TERMCAP", "MAIL", "LOGNAME", "PATH", nullptr};
    vars()->AddEnvironment(environ, kLeftOut);
    return 1;
}

namespace {

// What a process that serves many requests parsed of its configuration text: a
// request takes a copy instead of parsing the same text again, as long as that parse
// read nothing of its own request.
struct ParsedConfiguration {
    String text;
    String programname;
    UNIXConfig* parsed = nullptr;  // owned; its engine is none
};

ParsedConfiguration& Parsed() {
    static ParsedConfiguration* kept = new ParsedConfiguration;
    return *kept;
}

}  // namespace

const UNIXConfig* CGIKelp::ParsedBefore(const String* text, const UNIXConfig& fresh) {
    const ParsedConfiguration& kept = Parsed();
    if (text == nullptr || kept.parsed == nullptr || kept.text != *text ||
        kept.programname != basename_ ||
        kept.parsed->workingdirectory() != fresh.workingdirectory() ||
        kept.parsed->serversafemode() != fresh.serversafemode()) {
        return nullptr;
    }
    return kept.parsed;
}

void CGIKelp::KeepParsed(const String& text, const UNIXConfig& config) {
    ParsedConfiguration& kept = Parsed();
    delete kept.parsed;
    kept.parsed = nullptr;
    if (config.readrequest()) return;
    kept.parsed = new UNIXConfig(nullptr, config.serversafemode());
    kept.parsed->UseParsed(config);
    kept.text = text;
    kept.programname = basename_;
}

int CGIKelp::LoadConfiguration() {
    delete config_;
    String text;
    const String* given = &text;
    if (configgiven_) {
        given = giventext_;
        configpath_ = givenpath_;
    } else if (!ReadConfigurationFile(&text)) {
        given = nullptr;
    }
    // (A process that serves many requests never runs as a set-user-id program: it
    // refused to start as one.)
    if (!persistent_ && RunningSetUIDRoot(argc_ > 0 ? argv_[0] : nullptr)) mode_ = ServerSafeMode;
    config_ = new UNIXConfig(this, mode_ == ServerSafeMode);
    config_->SetProgramName(basename_);
    warningsreported_ = 0;
    const UNIXConfig* parsed = persistent_ ? ParsedBefore(given, *config_) : nullptr;
    if (parsed != nullptr) {
        config_->UseParsed(*parsed);
    } else {
        if (config_->UseConfiguration(given) != 0) return 0;
        if (persistent_) KeepParsed(*given, *config_);
    }
    ApplySettings();
    ReportConfigurationWarnings();
    script().SetWarnUndefined(config_->Get(Config::WarnUndefined) != 0);
    if (mode_ == StandardMode &&
        (!config_->Get(Config::AuthFile).empty() || !config_->Get(Config::AuthUserDir).empty())) {
        mode_ = AuthorizedMode;
    }
    long size = config_->Get(Config::OutputBufferSize);
    if (size > 0 && size != 8192 && !headerssent()) UseOutput(NewOutput(static_cast<int>(size)));
    return 1;
}

int CGIKelp::CheckConfiguration() {
    if (config_->ValidateConfiguration() != 0) return 0;
    ApplySettings();
    ReportConfigurationWarnings();
    if (config_->Get(Config::RedirectOnly) != 0 &&
        (getenv("REDIRECT_STATUS") == nullptr || pathinfo_.empty())) {
        Error(FatalError("Kelp is configured for redirected use only"));
        return 0;
    }
    if (!CheckRequestSizes()) return 0;
    long uid = config_->Get(Config::ServerUserID);
    if (uid != -1 && uid != static_cast<long>(getuid())) {
        Error(
            FatalError("The UID of the process which executed Kelp does not match the serveruserid "
                       "configuration variable"));
        return 0;
    }
    return 1;
}

int CGIKelp::CheckRequestSizes() {
    long limit = config_->Get(Config::MaxHeaderLength);
    for (char** e = environ; e != nullptr && *e != nullptr; e++) {
        const char* equals = strchr(*e, '=');
        if (equals == nullptr || static_cast<long>(strlen(equals + 1)) <= limit) continue;
        String name(*e, static_cast<int>(equals - *e));
        if (name == "QUERY_STRING") {
            return Refuse(414, "The query string is longer than the configured maxheaderlength (" +
                                   String::FromInt(limit) + " bytes)");
        }
        if (name.search("HTTP_") == 0 && name.length() > 5) {
            return Refuse(431, "The request header " + Entities(name) +
                                   " is longer than the configured maxheaderlength (" +
                                   String::FromInt(limit) + " bytes)");
        }
    }
    return 1;
}

int CGIKelp::Refuse(int status, const String& message) {
    ::Error error(status, "Fatal Error: " + message);
    Error(error);
    return 0;
}

int CGIKelp::CheckDirectory(const String& directory, const String& prefix) {
    struct stat st;
    if (lstat(directory.chars(), &st) < 0) return Refuse(500, prefix + " does not exist");
    if (S_ISLNK(st.st_mode)) {
        struct stat target;
        if (stat(directory.chars(), &target) < 0) {
            return Refuse(
                500,
                prefix + " references a symbolic link to a directory or file that does not exist");
        }
        if (target.st_uid != st.st_uid) {
            return Refuse(
                500,
                prefix +
                    " references a symbolic link to a directory or file owned by a different user");
        }
        // securityoptions bit 1 forbids a linked directory altogether.
        if ((config_->Get(Config::SecurityOptions) & 1) != 0) {
            return Refuse(500, prefix + " references a symbolic link");
        }
        SeenDirectory(directory, target);
    } else if (!S_ISDIR(st.st_mode)) {
        return Refuse(500, prefix + " does not exist");
    } else {
        SeenDirectory(directory, st);
    }
    return 1;
}

// The page's name as the request gives it: PATH_INFO, or the query up to its first
// "+" (URL-decoded); backslashes as slashes, no leading slashes.
String CGIKelp::RequestedName() {
    String name = pathinfo_;
    if (name.empty()) {
        String query = Environment("QUERY_STRING");
        name = query.contains('+') ? query.before('+') : query;
        name = WithoutBackslashes(name);
        DecodeAttribute(&name);
    } else {
        name = WithoutBackslashes(name);
    }
    while (name.matches('/', 0)) name = name.from(1);
    return name;
}

int CGIKelp::EnterUserRoot(String* name, String* userprefix) {
    if (!name->matches('~', 0)) return 1;
    if (mode_ == StandardMode) return Refuse(403, "~user is not supported in standard mode");
    int slash = name->search("/");
    String user = slash < 0 ? name->from(1) : name->at(1, slash);
    *name = slash < 0 ? String() : name->from(slash + 1);
    struct passwd* pw = getpwnam(user.chars());
    if (pw == nullptr) {
        Error(
            ScriptNotFoundError("Error opening '~" + Entities(user) + "': there is no such user"));
        return 0;
    }
    scriptroot_ = String(pw->pw_dir) + "/" + config_->Get(Config::UserDir);
    ApplySettings();
    if (!CheckDirectory(scriptroot_, "The configured script directory for " + user)) return 0;
    *userprefix = "~" + user + "/";
    return 1;
}

int CGIKelp::CheckDirectories(const String& name) {
    if (!name.matches('~', 0) &&
        !CheckDirectory(config_->brindleroot(), "The directory configured as kelproot")) {
        return 0;
    }
    // (The same directory is not looked at twice.)
    const String& datadir = config_->Get(Config::StdModeDataDir);
    if ((name.matches('~', 0) || !(datadir == config_->brindleroot())) &&
        !CheckDirectory(datadir, "The directory configured as stdmodedatadir")) {
        return 0;
    }
    return 1;
}

int CGIKelp::FindPage(String* name, String* path, PathStatus* seen, struct stat* st, int* missing) {
    String error;
    if (!ResolvePath(name->empty() ? String(".") : *name, ScriptPath, path, &error, seen)) {
        return Refuse(403, error);
    }
    // One look at the page: a directory stands for its default page. When resolving it
    // saw every step and no link, its status is the page's.
    auto look = [path, seen, st]() {
        if (seen->state != PathStatus::Found) return stat(path->chars(), st) < 0 ? errno : 0;
        *st = seen->st;
        return 0;
    };
    *missing = look();
    if (*missing == 0 && S_ISDIR(st->st_mode)) {
        String indexed =
            name->empty() ? config_->brindledefault() : *name + "/" + config_->brindledefault();
        if (!ResolvePath(indexed, ScriptPath, path, &error, seen)) return Refuse(403, error);
        *name = indexed;
        *missing = look();
    }
    if (*missing == 0 && !S_ISREG(st->st_mode)) *missing = ENOENT;
    return 1;
}

int CGIKelp::CheckLinkOwners(const String& path, const String& root, const PathStatus& seen,
                             const String& display) {
    // A link on the way must belong to the owner of what it leads to: nobody may
    // publish another user's files by linking to them. (Resolving found no link when
    // it saw every step.)
    int first = seen.state == PathStatus::Found ? -1 : root.length();
    for (int at = first; at >= 0 && at < path.length(); at = path.search("/", at + 1)) {
        int end = path.search("/", at + 1);
        String step = end < 0 ? path : path.before(end);
        struct stat link;
        struct stat target;
        if (lstat(step.chars(), &link) == 0 && S_ISLNK(link.st_mode) &&
            (stat(step.chars(), &target) != 0 || target.st_uid != link.st_uid)) {
            return Refuse(403,
                          "'" + Entities(display) +
                              "' is reached through a symbolic link owned by a different user");
        }
        if (end < 0) break;
    }
    return 1;
}

int CGIKelp::GetScriptInformation(String* filepath, String* displayname) {
    // The steps, each of which may refuse the request: the requested name, a user's
    // root for ~user, the configured directories, the page (a directory's default
    // page), the owners of links on the way, the extension.
    String name = RequestedName();
    String userprefix;  // "~user/" for a page in a user's directory
    if (!EnterUserRoot(&name, &userprefix) || !CheckDirectories(name)) return 0;
    String root;
    String error;
    if (!ResolvePath(".", ScriptPath, &root, &error)) return Refuse(500, error);
    String path;
    PathStatus seen;  // what resolving the page saw of it
    struct stat st;
    int missing = 0;
    if (!FindPage(&name, &path, &seen, &st, &missing)) return 0;
    String display = userprefix + (path.search(root.chars()) == 0 && path[root.length()] == '/'
                                       ? path.from(root.length() + 1)
                                       : name);
    if (missing != 0) {
        Error(ScriptNotFoundError("Error opening '" + Entities(display) +
                                  "': " + String(strerror(missing))));
        return 0;
    }
    SetPageLength(st.st_size);
    if (!CheckLinkOwners(path, root, seen, display)) return 0;
    String extension = FileManager::Extension(path);
    if (!IsScriptExtension(extension)) {
        return Refuse(403, "'" + Entities(display) + "' does not have a valid script extension");
    }
    contenttype_ = config_->GetContentType(extension);
    *filepath = path;
    *displayname = display;
    unixfiles()->SeenScript(path, st);
    return 1;
}

String CGIKelp::UserNameFromUID(long uid) {
    struct passwd* pw = getpwuid(static_cast<uid_t>(uid));
    if (pw != nullptr) return String(pw->pw_name);
    return "user #" + String::FromInt(uid);
}

int CGIKelp::CheckOwner(const String& filepath, const String& displayname) {
    struct stat st;
    if (stat(filepath.chars(), &st) < 0) {
        return Refuse(404,
                      "Error opening '" + Entities(displayname) + "': " + String(strerror(errno)));
    }
    if (mode_ == AuthorizedMode && st.st_uid != geteuid()) {
        return Refuse(
            403, "'" + Entities(displayname) + "' is not owned by " + UserNameFromUID(geteuid()));
    }
    if (st.st_uid == 0) return Refuse(403, "root may not be authorized to run Brindle");
    String user = UserNameFromUID(st.st_uid);
    String admin = config_->Get(Config::ServerAdmin);
    AuthorizationResult result = AuthorizationDenied;
    String error;
    String datadir;
    if (!config_->Get(Config::AuthFile).empty()) {
        String text;
        if (!FileManager::ReadTextFile(config_->Get(Config::AuthFile), &text)) {
            Error(ConfigurationError(admin, "Error opening authfile"));
            return 0;
        }
        result = CheckAuthorizationText(text, user, &datadir, &error);
    }
    if (result == AuthorizationDenied && !config_->Get(Config::AuthUserDir).empty()) {
        result = CheckAuthorizationDatabase(filemanager(), config_->Get(Config::AuthUserDir),
                                            st.st_uid, &ownerhome_, &error);
    }
    if (result == AuthorizationError) {
        Error(ConfigurationError(admin, error));
        return 0;
    }
    if (result != AuthorizationAllowed)
        return Refuse(403, user + " is not authorized to use Kelp Script");
    owneruid_ = st.st_uid;
    ownergid_ = st.st_gid;
    ownername_ = user;
    if (!datadir.empty()) {
        // "~" stands for the owner's home directory.
        if (datadir.matches('~', 0)) {
            struct passwd* pw = getpwuid(st.st_uid);
            datadir = String(pw != nullptr ? pw->pw_dir : "") + datadir.from(1);
        }
        if (!CheckDirectory(datadir, "The configured data directory for " + user)) return 0;
        ownerdata_ = datadir;
        ApplySettings();
    }
    return 1;
}

int CGIKelp::SwitchToUserMode() {
    // For good: the owner's own supplementary groups, then the real, effective and
    // saved group and user ids all become the owner's, so nothing that runs in this
    // process later (a plug-in, a memory fault) can become root again. The groups go
    // first: once the user is not root they cannot change any more.
    uid_t uid = static_cast<uid_t>(owneruid_);
    struct passwd* pw = getpwuid(uid);
    // The owner's own group, not the page file's (which may well be root's).
    gid_t gid = pw != nullptr ? pw->pw_gid : static_cast<gid_t>(ownergid_);
    if (gid == 0)
        return Refuse(500, "Unable to switch to the user " + ownername_ + ": its group is root's");
    int grouped = pw != nullptr ? initgroups(pw->pw_name, gid) : setgroups(1, &gid);
    if (grouped != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) {
        return Refuse(
            500, "Unable to switch to the user " + ownername_ + ": " + String(strerror(errno)));
    }
    if (uid != 0 && (setuid(0) == 0 || seteuid(0) == 0)) {
        return Refuse(500,
                      "Unable to switch to the user " + ownername_ + ": root could be regained");
    }
    return 1;
}

int CGIKelp::ProcessConfiguration(const String& filepath, const String& displayname) {
    if (config_->Get(Config::LogLevel) != 0 && !config_->Get(Config::LogFile).empty()) {
        log_ = new ActivityLog(static_cast<int>(config_->Get(Config::LogLevel)));
        if (!log_->Open(config_->Get(Config::LogFile), filepath)) {
            delete log_;
            log_ = nullptr;
            Error(ConfigurationError(config_->Get(Config::ServerAdmin), "Unable to open log file"));
            return 0;
        }
        log_->Write(1, "SCRIPTSTARTED", "filename=" + filepath);
    }
    if (mode_ != StandardMode && !CheckOwner(filepath, displayname)) return 0;
    if (config_->ReadSiteVars() != 0) return 0;
    if (mode_ == ServerSafeMode && !SwitchToUserMode()) return 0;
    if (config_->ReadUserSiteVars() != 0) return 0;
    ApplySettings();
    for (ConfigTag* t = config_->packagetags().First(); t != nullptr;
         t = config_->packagetags().Next()) {
        AddPackage(new Package(t->name, t->values[0], t->values[1], t->values[2], t->values[3],
                               t->values[4]));
    }
    EnablePackages(config_->Get(Config::Packages));
    // A relative library name is found in commercedir when one is configured.
    String commercedir = config_->Get(Config::CommerceDir);
    for (ConfigTag* t = config_->commercelibs().First(); t != nullptr;
         t = config_->commercelibs().Next()) {
        String library = t->values[0];
        if (!commercedir.empty() && !library.empty() && library[0] != '/') {
            library =
                commercedir + (commercedir[commercedir.length() - 1] == '/' ? "" : "/") + library;
        }
        AddCommerceHandler(t->name, library);
    }
    if (!persistent_) LimitProcess();
    String entry = "PATH=" + config_->Get(Config::Path);
    char* fresh = strdup(entry.chars());
    if (fresh != nullptr) {
        putenv(fresh);
        free(pathentry_);
        pathentry_ = fresh;
    }
    return 1;
}

void CGIKelp::LimitProcess() {
    if (config_->Get(Config::Nice) != 0) {
        errno = 0;
        if (nice(static_cast<int>(config_->Get(Config::Nice))) == -1 && errno != 0) {
            // A refused priority change leaves the request running as it was.
        }
    }
    const struct {
        Config::IntegerSetting key;
        int resource;
    } limits[] = {{Config::MaxCPU, RLIMIT_CPU},
                  {Config::MaxData, RLIMIT_DATA},
                  {Config::MaxStack, RLIMIT_STACK}};
    for (const auto& limit : limits) {
        long value = config_->Get(limit.key);
        if (value == 0) continue;
        struct rlimit current;
        if (getrlimit(limit.resource, &current) != 0) continue;
        current.rlim_max = static_cast<rlim_t>(value);
        if (current.rlim_cur > current.rlim_max) current.rlim_cur = current.rlim_max;
        setrlimit(limit.resource, &current);
    }
}

int CGIKelp::AddQueryArguments() {
    int n = 1;
    if (!pathinfo_.empty()) {
        vars()->AddSystemVariable("arg1", WithoutBackslashes(pathinfo_));
        n = 2;
    }
    auto add = [this, &n](const String& piece) {
        String value = WithoutBackslashes(piece);
        DecodeAttribute(&value);
        if (value.empty()) return;
        vars()->AddSystemVariable("arg" + String::FromInt(n), value);
        n++;
    };
    if (argc_ < 2) {
        String query = vars()->GetSystemVariableValue("QUERY_STRING");
        int start = 0;
        while (start <= query.length()) {
            int plus = query.search("+", start);
            int end = plus < 0 ? query.length() : plus;
            add(query.at(start, end));
            if (plus < 0) break;
            start = plus + 1;
        }
    } else {
        for (int i = 1; i < argc_; i++) add(String(argv_[i]));
    }
    vars()->AddSystemVariable("nargs", String::FromInt(n - 1));
    return 1;
}

int CGIKelp::AddQueryVariables() {
    String query = vars()->GetSystemVariableValue("QUERY_STRING");
    if (pathinfo_.empty()) query = query.contains('+') ? query.after('+') : String();
    int start = 0;
    int fields = 0;
    while (start < query.length()) {
        int amp = query.search("&", start);
        int end = amp < 0 ? query.length() : amp;
        String item = WithoutBackslashes(query.at(start, end));
        if (!item.empty()) {
            if (++fields > settings_.maxformfields) {
                return Refuse(414, "The query string holds more than " +
                                       String::FromInt(settings_.maxformfields) +
                                       " fields (the configured maxformfields)");
            }
            int equals = item.search("=");
            String name = String(equals < 0 ? item : item.before(equals)).trimmed();
            String value = String(equals < 0 ? item : item.after(equals)).trimmed();
            DecodeAttribute(&name);
            DecodeAttribute(&value);
            vars()->AddFormVariable(name, value);
        }
        if (amp < 0) break;
        start = amp + 1;
    }
    return 1;
}

int CGIKelp::AddAPIVariables() {
    Variables* v = vars();
    bool https = CompareKeys(v->GetSystemVariableValue("HTTPS").chars(), "on") == 0;
    String scheme = https ? "https" : "http";
    String port = v->GetSystemVariableValue("SERVER_PORT");
    String suffix = (port.empty() || port == (https ? "443" : "80")) ? String() : ":" + port;
    String hostvariable =
        config_ ? config_->Get(Config::VirtualHostVariable) : String("SERVER_NAME");
    String host = v->GetSystemVariableValue(hostvariable);
    String base = scheme + "://" + host + suffix;
    if (!pathinfo_.empty()) {
        v->AddSystemVariable("apitype", "Redirect");
        v->AddSystemVariable("documenturl", base + pathinfo_ + "?");
    } else {
        v->AddSystemVariable("apitype", "CGI");
        v->AddSystemVariable("documenturl", base + v->GetSystemVariableValue("SCRIPT_NAME") + "?" +
                                                v->GetSystemVariableValue("arg1") + "+");
    }
    return 1;
}

int CGIKelp::StartHeaders(int status) {
    if (status != 200) {
        String line("Status: ");
        line.catint(status);
        line += " " + HTTPResultMessage(status) + "\r\n";
        out_->Write(line);
    }
    out_->Write("Content-type: " + contenttype_ + "\r\n");
    return 1;
}

int CGIKelp::EndHeaders() {
    out_->Write("\r\n");
    return 1;
}

int CGIKelp::OutputCookie() {
    out_->Write("Set-Cookie: " + BuildCookie(Environment("HTTP_COOKIE")) + "\r\n");
    return 1;
}

bool CGIKelp::ValidCallerID(const String& id) {
    if (id.empty() || id.length() > 64) return false;
    for (int i = 0; i < id.length(); i++) {
        char c = id[i];
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) return false;
    }
    return true;
}

String CGIKelp::BuildCookie(const String& cookieheader) {
    String id;
    int i = 0;
    int n = cookieheader.length();
    while (i < n) {
        while (i < n && (cookieheader[i] == ' ' || cookieheader[i] == ';')) i++;
        int start = i;
        while (i < n && cookieheader[i] != ' ' && cookieheader[i] != ';') i++;
        if (i == start) continue;
        String token = cookieheader.at(start, i);
        int equals = token.search("=");
        String name = equals < 0 ? token : token.before(equals);
        if (CompareKeys(name.chars(), "brncallerid") == 0)
            id = equals < 0 ? String() : token.after(equals);
    }
    // Only an id this program could have made is sent back; anything else (markup,
    // header text, an overlong value) is replaced.
    if (!ValidCallerID(id)) id = ScriptContext::MakeSessionID();
    vars()->AddSystemVariable("callerid", id);
    time_t expires = ClockSeconds() + 31536000;
    struct tm utc;
    gmtime_r(&expires, &utc);
    char date[64];
    strftime(date, sizeof date, "%a, %d-%b-%Y %H:%M:%S GMT", &utc);
    return "brncallerid=" + id + "; expires=" + date + "; path=/";
}

String CGIKelp::RequestHeader(const String& name) {
    if (CompareKeys(name.chars(), "Content-Type") == 0) return Environment("CONTENT_TYPE");
    if (CompareKeys(name.chars(), "Content-Length") == 0) return Environment("CONTENT_LENGTH");
    String variable = "HTTP_" + name.upper();
    variable.gsub("-", "_");
    return Environment(variable.chars());
}

StandardOutput* CGIKelp::NewOutput(int size) {
    return new StandardOutput(size);
}

void CGIKelp::UseOutput(StandardOutput* out) {
    delete out_;
    out_ = out;
    out_->SetBeforeWrite(EndRunOf, this);
}

int CGIKelp::ReadContent(char* buffer, int length) {
    for (;;) {
        ssize_t n = read(0, buffer, static_cast<size_t>(length));
        if (n < 0 && errno == EINTR) continue;
        return static_cast<int>(n);
    }
}
