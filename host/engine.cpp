// The engine object's own services: the deadline and error output.

#include "host/engine.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "data/database.h"
#include "data/database_tags.h"
#include "data/flat_file_tags.h"
#include "foundation/file.h"
#include "foundation/key_compare.h"
#include "foundation/output.h"
#include "foundation/string.h"
#include "host/commerce.h"
#include "host/module.h"
#include "host/package.h"
#include "host/script_host_tags.h"
#include "net/cgi_network.h"
#include "net/network_tags.h"
#include "script/buffer.h"
#include "script/encoding.h"
#include "script/error.h"
#include "script/script_parser.h"
#include "script/variables.h"

Kelp::Kelp()
    : headerssent_(0),
      deadline_(0),
      vars_(nullptr),
      language_("en-US"),
      defaultlanguage_("en-US"),
      defaultmacroencoding_(MacroEncodingNone),
      modules_(1),
      currentmodule_(nullptr) {
    vars_ = new Variables(this);
}

PseudoRND& Kelp::random() {
    if (!seeded_) {
        // Two requests in the same second must still differ: mix in the
        // microseconds and the process id.
        struct timeval now;
        now = ClockNow();
        random_.R250Seed(static_cast<unsigned long>(now.tv_sec) ^
                         (static_cast<unsigned long>(now.tv_usec) << 11) ^
                         (static_cast<unsigned long>(getpid()) << 3));
        seeded_ = true;
    }
    return random_;
}

Kelp::~Kelp() {
    delete network_;
    for (Package* p : packages_) delete p;
    for (CommerceMethod* m : commercemethods_) delete m;
    ReleaseLocks();
    CloseDatabases();
    modules_.Dump();
    delete vars_;
    delete closedend_;
}

void Kelp::InstallTagHandlers(ScriptParser* parser) {
    InstallHostTagHandlers(parser);
    InstallDatabaseTags(parser);
    InstallFlatFileTags(parser);
    InstallPackageBuiltins(parser);
    InstallCommerceTags(parser);
    InstallNetworkTags(parser);
}

namespace {

// The absolute form of path with ".", ".." and repeated "/" taken out, without
// looking at the file system. ".." above "/" stays at "/".
String Normalize(const String& path) {
    String absolute = path.matches('/', 0) ? path : FileManager::WorkingDirectory() + "/" + path;
    const char* text = absolute.chars();
    int n = absolute.length();
    // Parts are appended to the result as "/part" (never longer than the path plus a
    // slash); ".." cuts back to where the last kept part began.
    char small[256];
    char* out = n + 2 <= static_cast<int>(sizeof small) ? small : new char[n + 2];
    int length = 0;
    int start = 0;
    while (start <= n) {
        const char* slash = static_cast<const char*>(memchr(text + start, '/', n - start));
        int end = slash != nullptr ? static_cast<int>(slash - text) : n;
        int k = end - start;
        if (k == 2 && text[start] == '.' && text[start + 1] == '.') {
            while (length > 0 && out[length - 1] != '/') length--;
            if (length > 0) length--;
        } else if (k > 0 && !(k == 1 && text[start] == '.')) {
            out[length++] = '/';
            memcpy(out + length, text + start, k);
            length += k;
        }
        if (slash == nullptr) break;
        start = end + 1;
    }
    String result = length == 0 ? String("/") : String(out, length);
    if (out != small) delete[] out;
    return result;
}

bool Inside(const String& path, const String& root) {
    if (root == "/") return true;
    return path == root || (path.length() > root.length() && path.search(root.chars(), 0) == 0 &&
                            path[root.length()] == '/');
}

// The path with every symbolic link of its existing part followed; the part that
// does not exist yet is kept as written. Empty when a link cannot be followed.
String RealPath(const String& path) {
    // Most paths exist: one call resolves them.
    char* whole = realpath(path.chars(), nullptr);
    if (whole != nullptr) {
        String real(whole);
        free(whole);
        return real;
    }
    String existing = path, rest;
    struct stat st;
    while (lstat(existing.chars(), &st) < 0 && existing != "/") {
        int slash = existing.length() - 1;
        while (slash > 0 && existing[slash] != '/') slash--;
        rest = existing.from(slash) + rest;
        existing = slash > 0 ? existing.before(slash) : String("/");
    }
    // (The result on the heap: a buffer of PATH_MAX on the stack would make fresh
    // stack pages present for one call.)
    char* resolved = realpath(existing.chars(), nullptr);
    if (resolved == nullptr) return String();
    String real(resolved);
    free(resolved);
    return real == "/" ? (rest.empty() ? real : rest) : real + rest;
}

// RealPath(path) for a path inside root, whose real place realroot is known: the
// components below the root are looked at one by one, and only when one of them is a
// symbolic link is the whole path resolved. *status says what was seen.
String RealPathBelow(const String& path, const String& root, const String& realroot,
                     PathStatus* status) {
    status->state = PathStatus::Unknown;
    if (realroot.empty()) return RealPath(path);
    int start = root == "/" ? 0 : root.length();
    if (start >= path.length()) return realroot;
    struct stat st;
    status->state = PathStatus::Found;
    for (int i = start + 1; i <= path.length(); i++) {
        if (i < path.length() && path[i] != '/') continue;
        if (lstat(path.at(0, i).chars(), &st) < 0) {  // the rest does not exist yet
            status->state = errno == ENOENT ? PathStatus::Missing : PathStatus::Unknown;
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            status->state = PathStatus::Unknown;
            return RealPath(path);
        }
    }
    if (status->state == PathStatus::Found) status->st = st;
    return realroot == "/" ? path.from(start) : realroot + path.from(start);
}

}  // namespace

String Kelp::lockhostname() {
    return MachineName();
}

void Kelp::AddPackage(Package* package) {
    packages_.push_back(package);
}

void Kelp::AddCommerceHandler(const String& method, const String& library) {
    commercemethods_.push_back(new CommerceMethod{method, library});
}

const CommerceMethod* Kelp::FindCommerceMethod(const String& method) const {
    for (const CommerceMethod* m : commercemethods_) {
        if (m->method.length() == method.length() && m->method.matches(method.chars())) return m;
    }
    return nullptr;
}

Package* Kelp::FindPackage(const String& code) {
    for (Package* p : packages_) {
        if (p->code().length() == code.length() && p->code().matches(code.chars())) return p;
    }
    return nullptr;
}

void Kelp::EnablePackages(const String& codes) {
    std::vector<Package*> enabled;
    int start = 0;
    for (;;) {
        int comma = codes.search(",", start);
        String code = codes.at(start, comma < 0 ? codes.length() : comma).trimmed();
        for (auto it = packages_.begin(); !code.empty() && it != packages_.end(); ++it) {
            if ((*it)->code().length() == code.length() && (*it)->code().matches(code.chars())) {
                enabled.push_back(*it);
                packages_.erase(it);
                break;
            }
        }
        if (comma < 0) break;
        start = comma + 1;
    }
    for (Package* p : packages_) delete p;
    packages_ = enabled;
}

NetworkManager* Kelp::networkmanager() {
    if (network_ == nullptr) network_ = new CGINetworkManager(this);
    return network_;
}

String Kelp::hostname() {
    // SERVER_NAME comes from the visitor's Host header on many servers: only a
    // plain host name is used.
    const char* name = getenv("SERVER_NAME");
    if (name == nullptr || *name == '\0' || strlen(name) > 253) return MachineName();
    for (const char* p = name; *p != '\0'; p++) {
        char c = *p;
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-')) {
            return MachineName();
        }
    }
    return String(name);
}

String Kelp::MachineName() {
    char name[256];
    if (gethostname(name, sizeof name) < 0) return String("localhost");
    name[sizeof name - 1] = '\0';
    return String(name);
}

String Kelp::scriptdirectory() {
    return FileManager::WorkingDirectory();
}
String Kelp::datadirectory() {
    return FileManager::WorkingDirectory();
}
String Kelp::tempdirectory() {
    return FileManager::WorkingDirectory();
}

int Kelp::ResolvePath(const String& name, PathType type, String* resolved, String* error,
                      PathStatus* status) {
    static const char* const kKinds[] = {"script", "data", "temporary"};
    String base = type == ScriptPath ? scriptdirectory()
                                     : (type == DataPath ? datadirectory() : tempdirectory());
    if (base.empty()) base = FileManager::WorkingDirectory();
    String root = Normalize(base);
    String start = root;
    if (type == ScriptPath && !name.matches('/', 0) && currentmodule_ != nullptr &&
        !currentmodule_->directory().empty()) {
        start = Normalize(currentmodule_->directory());
    }
    String path = Normalize(start + "/" + name);
    // Both the name as written and the place its links lead to must stay inside.
    // The root's real place is looked up once per request and directory.
    if (!(root == realrootfor_)) {
        realrootfor_ = root;
        realroot_ = RealPath(root);
    }
    const String& realroot = realroot_;
    PathStatus seen;
    String real = Inside(path, root) ? RealPathBelow(path, root, realroot, &seen) : RealPath(path);
    if (!Inside(path, root) || real.empty() || !Inside(real, realroot.empty() ? root : realroot)) {
        *error = "'" + Entities(name) + "' is not contained in the configured " + kKinds[type] +
                 " directory";
        return 0;
    }
    *resolved = path;
    if (status != nullptr) *status = seen;
    return 1;
}

Module* Kelp::FindModule(const String& name, String* error) {
    String path;
    if (!ResolvePath(name, ScriptPath, &path, error)) return nullptr;
    // A module is a script like any page: an uploaded text or data file never runs.
    if (!IsScriptExtension(FileManager::Extension(path))) {
        *error = "'" + Entities(name) + "' does not have a valid script extension";
        return nullptr;
    }
    Module* m = modules_.Find(path.chars());
    if (m != nullptr) return m;
    m = new Module(this, currentmodule_);
    if (!m->Open(path, name, error)) {
        delete m;
        return nullptr;
    }
    modules_.Insert(m, ListTail);
    return m;
}

Module* Kelp::SetCurrentModule(Module* m) {
    Module* previous = currentmodule_;
    currentmodule_ = m;
    return previous;
}

String Kelp::MakeSessionID() {
    // 128 bits from the system's generator: nothing of the clock or the process in
    // it, so that no id tells another.
    unsigned char bytes[16];
    size_t got = 0;
    while (got < sizeof bytes) {
        ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < sizeof bytes) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        got = fd >= 0 && read(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes)
                  ? sizeof bytes
                  : 0;
        if (fd >= 0) close(fd);
    }
    if (got < sizeof bytes) return String();  // no id rather than a guessable one
    static const char kHex[] = "0123456789ABCDEF";
    char id[33];
    for (size_t i = 0; i < sizeof bytes; i++) {
        id[2 * i] = kHex[bytes[i] >> 4];
        id[2 * i + 1] = kHex[bytes[i] & 15];
    }
    id[32] = '\0';
    return String(id);
}

namespace {

// "eof" of a database that is not open: a table that could not be opened has no
// records, so a loop until its end (the usual list loop) ends at once instead of
// running until the time limit.
class ClosedEndVariable : public DynamicVariable {
  public:
    explicit ClosedEndVariable(Kelp* engine) : DynamicVariable(engine, "eof") {}

  protected:
    String Compute() override { return "1"; }
};

}  // namespace

Variable* Kelp::FindFieldVariable(const String& dbname, const String& varname) {
    if (!dbname.empty()) {
        Database* db = FindDatabase(dbname);
        if (db != nullptr) return db->FindVariable(varname);
        if (CompareKeys(varname.chars(), "eof") != 0) return nullptr;
        if (closedend_ == nullptr) closedend_ = new ClosedEndVariable(this);
        return closedend_;
    }
    if (fieldscope_ != nullptr) {
        Variable* v = fieldscope_->FindVariable(varname);
        if (v != nullptr) return v;
    }
    for (Database* db : databases_) {
        Variable* v = db->FindVariable(varname);
        if (v != nullptr) return v;
    }
    return nullptr;
}

Database* Kelp::FindDatabase(const String& name) {
    for (Database* db : databases_) {
        if (db->name().matches(name.chars())) return db;
    }
    return nullptr;
}

// The list runs from the primary database on: a database opened or created goes to
// the front and becomes the primary one, and so does one made primary; unprefixed
// field names search the list in that order.
void Kelp::AddDatabase(Database* db) {
    databases_.insert(databases_.begin(), db);
    primarydatabase_ = db;
    vars_->Invalidate();
}

void Kelp::SetPrimaryDatabase(Database* db) {
    for (size_t i = 0; i < databases_.size(); i++) {
        if (databases_[i] != db) continue;
        databases_.erase(databases_.begin() + static_cast<long>(i));
        databases_.insert(databases_.begin(), db);
        primarydatabase_ = db;
        vars_->Invalidate();
        return;
    }
}

void Kelp::RemoveDatabase(Database* db) {
    for (size_t i = 0; i < databases_.size(); i++) {
        if (databases_[i] == db) databases_.erase(databases_.begin() + static_cast<long>(i));
    }
    if (primarydatabase_ == db)
        primarydatabase_ = databases_.empty() ? nullptr : databases_.front();
    if (fieldscope_ == db) fieldscope_ = nullptr;
    db->Close();
    delete db;
    vars_->Invalidate();
}

void Kelp::CloseDatabases() {
    while (!databases_.empty()) RemoveDatabase(databases_.back());
}

namespace {

long MonotonicMilliseconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void Kelp::HoldLocks(HeldLocks* locks) {
    if (heldlocks_ != locks) ReleaseLocks();
    heldlocks_ = locks;
    heldsince_ = MonotonicMilliseconds();
}

void Kelp::ReleaseLocks() {
    HeldLocks* locks = heldlocks_;
    if (locks == nullptr) return;
    turnowed_ = HeldLocksExpired();
    heldlocks_ = nullptr;
    locks->ReleaseLocks();
}

void Kelp::TakeTurn() {
    if (!turnowed_) return;
    turnowed_ = false;
    struct timespec pause = {0, kTurnMicroseconds * 1000};
    nanosleep(&pause, nullptr);
}

bool Kelp::HeldLocksExpired() const {
    return heldlocks_ != nullptr && MonotonicMilliseconds() - heldsince_ >= heldlockslimit_;
}

Database* Kelp::SetFieldScope(Database* db) {
    Database* previous = fieldscope_;
    if (db != previous) {
        fieldscope_ = db;
        vars_->Invalidate();  // remembered look-ups may name another table's field
    }
    return previous;
}

void Kelp::SetLanguage(const String& s) {
    if (!s.empty()) language_ = s;
}

void Kelp::SetDefaultLanguage(const String& s) {
    if (!s.empty()) defaultlanguage_ = s;
}

int Kelp::timeremaining() {
    if (deadline_ == 0) return -1;
    return static_cast<int>(deadline_ - ClockSeconds());
}

void Kelp::EnsureHeaders(int status) {
    if (headerssent_) return;
    StartHeaders(status);
    EndHeaders();
    headerssent_ = 1;
}

void Kelp::Error(const ::Error& error) {
    RecordError(error.message());
    EnsureHeaders(error.resultcode());
    Output* out = output();
    out->Write(error.message());
    out->Write("\r\n", 2);
    out->Flush();
}

void Kelp::UndefinedRead(const String& name) {
    if (!warnundefined_ || currentmodule_ == nullptr) return;
    if (!warnedundefined_.insert(name.upper().chars()).second) return;
    ScriptParser* parser = currentmodule_->scriptparser();
    String message = parser->source()->errorname() + ": Line " + String::FromInt(parser->line()) +
                     ": Warning: '" + Entities(name) + "' is not defined";
    RecordError(message);
    EnsureHeaders(200);
    output()->Write(message);
    output()->Write("\r\n", 2);
}

void Kelp::Error(const String& text) {
    EnsureHeaders(200);
    Output* out = output();
    out->Write(text);
    out->Flush();
}

String Kelp::HTTPResultMessage(int code) {
    static const struct {
        int code;
        const char* phrase;
    } kPhrases[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Moved Temporarily"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {400, "Bad Request"},
        {401, "Authorization Required"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Time-out"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Large"},
        {415, "Unsupported Media Type"},
        {431, "Request Header Fields Too Large"},
        {500, "Internal Server Error"},
        {501, "Method Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Temporarily Unavailable"},
        {504, "Gateway Time-out"},
        {505, "HTTP Version Not Supported"},
        {506, "Variant Also Varies"},
    };
    for (const auto& p : kPhrases) {
        if (p.code == code) return String(p.phrase);
    }
    return String();
}

int Kelp::GetScriptInformation(String*, String*) {
    return 0;
}

int Kelp::AddSystemVariables() {
    Variables* v = vars_;
    v->AddSystemVariable("version", "3.7833");
    v->AddSystemVariable("kelpversion", "3.7833");
    v->AddTimeVariables();
    v->AddSystemVariable("globaltimeout", String::FromInt(globaltimeout()));
    v->AddDynamicVariables();
    return 1;
}

int Kelp::ResetGlobalTimeout() {
    if (globaltimeout() != 0) deadline_ = ClockSeconds() + globaltimeout();
    return 1;
}

int Kelp::Go() {
    if (!AddEnvironmentVariables() || !LoadConfiguration() || !CheckConfiguration()) return 0;
    String filepath;
    String displayname;
    if (!GetScriptInformation(&filepath, &displayname)) return 0;
    if (!ProcessConfiguration(filepath, displayname) || !AddSystemVariables()) return 0;
    if (!AddQueryArguments() || !AddQueryVariables() || !AddAPIVariables()) return 0;

    // The script is opened and the body read before the header block, so that a
    // page that cannot be read, or a body over its limits, gets its own status.
    Module* main = new Module(this, nullptr);
    SetCurrentModule(main);
    String error;
    if (!main->Open(filepath, displayname, &error, pagelength_)) {
        SetCurrentModule(nullptr);
        delete main;
        // A page the server may not read is refused, as other refused pages are.
        bool refused = access(filepath.chars(), R_OK) != 0 && errno == EACCES;
        Error(::Error(refused ? 403 : 500, "Fatal Error: " + error));
        return 0;
    }
    modules_.Insert(main, ListTail);
    // What upload functions print while the body is read follows the header block.
    StringOutput early(4096);
    Output* previous = main->scriptparser()->SwitchOutput(&early);
    int result = AddContentVariables();
    main->scriptparser()->SwitchOutput(previous);
    if (!headerssent_) {
        StartHeaders(200);
        headerssent_ = 1;
        if (usecookies()) OutputCookie();
        EndHeaders();
    }
    early.Flush();
    output()->Write(early.data());
    if (result) {
        ScriptStarting();
        ResetGlobalTimeout();
        main->scriptparser()->Parse();
    }
    // Databases evaluate with the modules' interpreters: they go first.
    ReleaseLocks();
    CloseDatabases();
    output()->Flush();
    SetCurrentModule(nullptr);
    modules_.Dump();
    RemoveUploads();
    return result;
}

void Kelp::RemoveUploads() {
    for (const String& path : uploads_) {
        if (filemanager()->Exists(path)) filemanager()->Delete(path);
    }
    uploads_.clear();
}
