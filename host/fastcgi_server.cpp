// The FastCGI responder.

#include "host/fastcgi_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/index_file.h"
#include "data/sql_drivers.h"
#include "data/xbase_table.h"
#include "foundation/file.h"
#include "foundation/time_helpers.h"
#include "host/activity_log.h"
#include "host/cgi_kelp.h"
#include "host/commerce.h"
#include "host/config.h"
#include "host/fastcgi.h"
#include "host/page_cache.h"
#include "host/unix_file_manager.h"

namespace {

using fastcgi::RequestAssembler;

// One entry of fastcgiallow: an IPv4 address, or a network as ADDRESS/BITS.
struct AllowedPeer {
    uint32_t address;  // host order
    uint32_t mask;
};

// What the supervisor reads from the configuration file, at start and on SIGHUP; the
// workers it starts inherit it. The file's text is read once here: a request parses
// it (its macros and its virtual host are the request's) but reads no file.
struct WorkerSettings {
    long workers = 0;
    long requests = 0;
    long timeout = 90;
    long loglevel = 0;
    String logfile;
    bool readable = false;
    String configtext;
    String configpath;
    fastcgi::Limits limits;
    std::vector<AllowedPeer> allowed;
    long pagecache = 0;  // bytes of script text a worker keeps
};

// Made when FastCGI is served, never at a CGI start (which pays for nothing it does
// not use), and never destroyed (a worker ends with _exit).
WorkerSettings& TheSettings() {
    static WorkerSettings* settings = new WorkerSettings;
    return *settings;
}
// The texts of the pages a worker has read (empty in the supervisor, which reads
// none: a worker starts with an empty one, bounded as the configuration says).
PageCache& Pages() {
    static PageCache* pages = new PageCache;
    return *pages;
}

// The entries of a fastcgiallow value; each one that is neither an address nor a
// network is a line on standard error and allows nothing.
std::vector<AllowedPeer> ParseAllowed(const String& value) {
    std::vector<AllowedPeer> allowed;
    std::string text(value.chars(), static_cast<size_t>(value.length()));
    size_t i = 0;
    while (i < text.size()) {
        size_t end = text.find_first_of(" ,\t", i);
        if (end == std::string::npos) end = text.size();
        std::string entry = text.substr(i, end - i);
        i = end + 1;
        if (entry.empty()) continue;
        std::string host = entry;
        long bits = 32;
        size_t slash = entry.find('/');
        bool valid = true;
        if (slash != std::string::npos) {
            host = entry.substr(0, slash);
            char* stop = nullptr;
            bits = strtol(entry.c_str() + slash + 1, &stop, 10);
            valid = slash + 1 < entry.size() && *stop == '\0' && bits >= 0 && bits <= 32;
        }
        struct in_addr address;
        if (!valid || inet_pton(AF_INET, host.c_str(), &address) != 1) {
            fprintf(stderr, "kelp: fastcgiallow: \"%s\" is not an IPv4 address or network\n",
                    entry.c_str());
            continue;
        }
        uint32_t mask = bits == 0 ? 0 : ~0u << (32 - bits);
        allowed.push_back({ntohl(address.s_addr) & mask, mask});
    }
    return allowed;
}

// Whether the peer of connection fd may send requests: a unix socket's peers are
// whoever its file's permissions let in; a TCP peer must be in fastcgiallow.
// peer is the address accept gave (length bytes of it).
bool PeerAllowed(const struct sockaddr_storage& peer, socklen_t length,
                 const std::vector<AllowedPeer>& allowed) {
    if (length < sizeof(sa_family_t)) return false;
    if (peer.ss_family == AF_UNIX) return true;
    if (peer.ss_family != AF_INET) return false;
    uint32_t address = ntohl(reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr.s_addr);
    for (const AllowedPeer& a : allowed) {
        if ((address & a.mask) == a.address) return true;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &reinterpret_cast<const struct sockaddr_in*>(&peer)->sin_addr, text,
              sizeof text);
    fprintf(stderr, "kelp: FastCGI connection from %s refused: not in fastcgiallow\n", text);
    return false;
}

// A connection that sends nothing for this long is given up.
const int kStallMilliseconds = 30000;

// SIGTERM to a worker: the request in flight is finished, then the worker ends.
volatile sig_atomic_t g_draining = 0;

// Where a worker tells its supervisor since when (seconds of the clock) it has been
// running a request; 0 between requests. Shared memory the supervisor made.
volatile long* g_busysince = nullptr;

void Drain(int) {
    g_draining = 1;
}

// Whether a page of this worker runs (from where CGI would start catching the page's
// signals to the end of the request).
volatile sig_atomic_t g_pagerunning = 0;

// SIGINT, SIGQUIT and SIGPIPE in a worker, caught once for all its requests: while a
// page runs they end the page as in CGI; otherwise SIGINT and SIGQUIT end the worker
// at once and a connection that went away is left to the write that finds it.
void WorkerPageSignal(int signal) {
    if (g_pagerunning) {
        CGIKelp::PageSignal(signal);
        return;
    }
    if (signal == SIGPIPE) return;
    ::signal(signal, SIG_DFL);
    raise(signal);
}

void InstallDrain() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Drain;  // no SA_RESTART: a worker waiting for a connection wakes
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

// SIGTERM drains, SIGINT and SIGQUIT end the worker at once between requests and the
// page while one runs (WorkerPageSignal()), and a hangup (which tells the supervisor
// to read its configuration again) never ends anything.
void WorkerSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = WorkerPageSignal;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGQUIT, SIGPIPE}) sigaction(s, &action, nullptr);
    signal(SIGHUP, SIG_IGN);
    InstallDrain();
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<size_t>(w);
    }
    return true;
}

// The page's output as STDOUT records of its request, gathered in *held until there
// is enough to be worth a write; what is held when the page ends goes out with the
// records that end the request, so a short page costs one write.
class FastCGIOutput : public StandardOutput {
  public:
    FastCGIOutput(int size, int fd, int requestid, std::string* held)
        : StandardOutput(size), fd_(fd), requestid_(requestid), held_(held) {}
    ~FastCGIOutput() override { Flush(); }

  protected:
    int Send(const char* s, int n) override {
        if (n <= 0) return 0;  // an empty STDOUT record would end the stream
        fastcgi::AppendRecord(held_, fastcgi::kStdout, requestid_, s, static_cast<size_t>(n));
        if (held_->size() < kHeldBytes) return n;
        bool sent = WriteAll(fd_, *held_);
        held_->clear();
        return sent ? n : -1;
    }

  private:
    static const size_t kHeldBytes = 16384;
    int fd_;
    int requestid_;
    std::string* held_;  // not owned
};

// One request of a connection, run as the CGI program runs one.
class FastCGIKelp : public CGIKelp {
  public:
    FastCGIKelp(int argc, char** argv, int fd, const RequestAssembler& request, std::string* last)
        : CGIKelp(argc, argv),
          fd_(fd),
          requestid_(request.requestid()),
          body_(request.body()),
          last_(last) {
        persistent_ = true;
        UseOutput(NewOutput(8192));
        unixfiles()->UsePageCache(&Pages());
    }
    int ReadContent(char* buffer, int length) override {
        return ReadHeldContent(body_, &read_, buffer, length);
    }

    // The page's signals end the page, as in CGI, except SIGTERM, which lets it
    // finish, and SIGHUP, which is the supervisor's. The worker's handlers
    // (WorkerSignals()) see that a page runs: no handler is set per request.
    void ScriptStarting() override { g_pagerunning = 1; }

  protected:
    StandardOutput* NewOutput(int size) override {
        return new FastCGIOutput(size, fd_, requestid_, last_);
    }

  private:
    int fd_;
    int requestid_;
    const std::string& body_;
    size_t read_ = 0;
    std::string* last_;
};

// The process environment while a request runs: the request's parameters and nothing
// else, so that nothing of the process's own environment or of an earlier request
// reaches the page. The array and its strings are this object's, made again for each
// request: setenv would keep a copy of every value it was ever given, and a process
// that serves many requests would grow with each.
class RequestEnvironment {
  public:
    void Use(const RequestAssembler& request) {
        text_.clear();
        offsets_.clear();
        index_.clear();
        // The engine reads the entries where they stand, when a page first asks for
        // one, and sets PATH later: with a PATH entry from the start, that replaces it
        // in place, and the array the engine reads is never moved.
        Add("PATH", "");
        for (const auto& p : request.params()) {
            const std::string& name = p.first;
            if (name.empty() || name.find('=') != std::string::npos ||
                name.find('\0') != std::string::npos || p.second.find('\0') != std::string::npos)
                continue;
            Add(name, p.second);
        }
        pointers_.clear();
        for (size_t offset : offsets_) pointers_.push_back(&text_[offset]);
        pointers_.push_back(nullptr);
        environ = pointers_.data();
    }
    // Between requests: an empty environment.
    void Clear() { environ = empty_; }

  private:
    // A name given twice keeps its last value, as setenv would.
    void Add(const std::string& name, const std::string& value) {
        auto found = index_.find(name);
        if (found != index_.end()) {
            offsets_[found->second] = text_.size();
        } else {
            index_.emplace(name, offsets_.size());
            offsets_.push_back(text_.size());
        }
        text_.append(name).append(1, '=').append(value).append(1, '\0');
    }

    std::string text_;
    std::vector<size_t> offsets_;
    std::unordered_map<std::string, size_t> index_;
    std::vector<char*> pointers_;
    char* empty_[1] = {nullptr};
};

RequestEnvironment& Environment() {
    static RequestEnvironment* environment = new RequestEnvironment;
    return *environment;
}

// The worker's working directory (a descriptor) and file mode mask as it started, and
// how many commerce libraries had been loaded when it last set those back.
int g_home = -1;
mode_t g_umask = 022;
long g_pluginsbefore = 0;

// A request over a limit of the connection's own, refused as CGI refuses one.
std::string Refusal(const RequestAssembler& request) {
    if (request.paramstoolong()) {
        return "Status: 431 Request Header Fields Too Large\r\nContent-type: text/html\r\n\r\n"
               "Fatal Error: The request's headers are too long\r\n";
    }
    if (request.bodytoolong()) {
        return "Status: 413 Request Entity Too Large\r\nContent-type: text/html\r\n\r\n"
               "Fatal Error: The request body is larger than the configured maxcontentlength\r\n";
    }
    return std::string();
}

int RunRequest(int fd, const RequestAssembler& request, int argc, char** argv) {
    std::string refused = Refusal(request);
    int status = 0;
    std::string end;
    if (!refused.empty()) {
        fastcgi::AppendRecord(&end, fastcgi::kStdout, request.requestid(), refused.data(),
                              refused.size());
    } else {
        Environment().Use(request);
        if (g_busysince != nullptr) *g_busysince = static_cast<long>(ClockSeconds());
        FastCGIKelp host(argc, argv, fd, request, &end);
        host.UseConfigurationText(TheSettings().readable ? &TheSettings().configtext : nullptr,
                                  TheSettings().configpath);
        status = host.Go();
    }
    g_pagerunning = 0;
    if (g_busysince != nullptr) *g_busysince = 0;
    Environment().Clear();
    // Nothing of the engine changes the signal handlers, the working directory or the
    // file mode mask, but a commerce plug-in might: after one has run, the next
    // request starts as the worker started.
    if (CommerceLibrariesLoaded() != g_pluginsbefore) {
        g_pluginsbefore = CommerceLibrariesLoaded();
        WorkerSignals();
        if (g_home >= 0 && fchdir(g_home) != 0) _exit(1);
        umask(g_umask);
    }
    fastcgi::AppendRecord(&end, fastcgi::kStdout, request.requestid(), nullptr, 0);
    fastcgi::AppendEndRequest(&end, request.requestid(), static_cast<unsigned>(status),
                              fastcgi::kRequestComplete);
    return WriteAll(fd, end) && !g_draining ? 1 : 0;
}

void ServeConnection(int fd, int argc, char** argv) {
    fastcgi::RecordReader reader;
    RequestAssembler request{TheSettings().limits};
    fastcgi::Record record;
    char buffer[16384];
    for (;;) {
        // What has come already is taken without waiting; only then is the wait
        // bounded.
        ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            struct pollfd p = {fd, POLLIN, 0};
            int ready = poll(&p, 1, kStallMilliseconds);
            if (ready < 0 && errno == EINTR) {
                if (g_draining && request.state() == RequestAssembler::kWaiting) return;
                continue;
            }
            if (ready <= 0) return;
            n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) return;
        reader.Feed(buffer, static_cast<size_t>(n));
        int got;
        while ((got = reader.Next(&record)) == 1) {
            RequestAssembler::State state = request.Take(record);
            if (!request.replies().empty()) {
                if (!WriteAll(fd, request.replies())) return;
                request.replies().clear();
            }
            if (state == RequestAssembler::kBroken) return;
            if (state == RequestAssembler::kAborted) {
                std::string end;
                fastcgi::AppendEndRequest(&end, request.requestid(), 0, fastcgi::kRequestComplete);
                bool keep = request.keepconnection() && WriteAll(fd, end);
                request.Reset();
                if (!keep) return;
            } else if (state == RequestAssembler::kComplete) {
                bool keep = RunRequest(fd, request, argc, argv) && request.keepconnection();
                request.Reset();
                if (!keep) return;
            }
        }
        if (got < 0) return;
    }
}

}  // namespace

bool StartedAsFastCGI() {
    struct stat st;
    if (fstat(0, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening != 0;
}

int ListenOn(const std::string& address, std::string* error) {
    int fd;
    size_t colon = address.rfind(':');
    if (address.find('/') != std::string::npos || colon == std::string::npos) {
        struct sockaddr_un un;
        memset(&un, 0, sizeof un);
        if (address.size() >= sizeof un.sun_path) {
            *error = "the socket path is too long";
            return -1;
        }
        un.sun_family = AF_UNIX;
        memcpy(un.sun_path, address.data(), address.size());
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        unlink(address.c_str());  // a socket left by an earlier run
        if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&un), sizeof un) != 0) {
            *error = strerror(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
    } else {
        struct sockaddr_in in;
        memset(&in, 0, sizeof in);
        in.sin_family = AF_INET;
        char* end = nullptr;
        long port = strtol(address.c_str() + colon + 1, &end, 10);
        std::string host = address.substr(0, colon);
        if (*end != '\0' || port <= 0 || port > 65535 ||
            inet_pton(AF_INET, host.empty() ? "127.0.0.1" : host.c_str(), &in.sin_addr) != 1) {
            *error = "not HOST:PORT with an IPv4 address";
            return -1;
        }
        in.sin_port = htons(static_cast<uint16_t>(port));
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&in), sizeof in) != 0) {
            *error = strerror(errno);
            if (fd >= 0) close(fd);
            return -1;
        }
    }
    if (listen(fd, 64) != 0) {
        *error = strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

volatile sig_atomic_t g_stopping = 0;

void Stop(int) {
    g_stopping = 1;
}

// A worker: serves connections until it has served `requests` of them (0: no end).
[[noreturn]] void Work(int listener, int argc, char** argv, long requests) {
    WorkerSignals();
    g_home = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    g_umask = umask(022);
    umask(g_umask);
    // Every request starts here (see RunRequest()): what the directory and the
    // configured ones are is asked once, and again only when they change.
    FileManager::KeepWorkingDirectory();
    Kelp::KeepRealRoots(true);
    UNIXFileManager::KeepMappings(true);
    XBaseTable::ReadThroughMappings(true);
    for (long served = 0; (requests == 0 || served < requests) && !g_draining; served++) {
        struct sockaddr_storage peer;
        socklen_t length = sizeof peer;
        int fd =
            accept4(listener, reinterpret_cast<struct sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            _exit(1);
        }
        if (PeerAllowed(peer, length, TheSettings().allowed)) ServeConnection(fd, argc, argv);
        close(fd);
    }
    _exit(0);
}

void ReadWorkerSettings(int argc, char** argv, WorkerSettings* settings) {
    clearenv();
    setenv("PATH", "", 1);
    {
        CGIKelp probe(argc, argv);
        settings->readable = probe.ReadConfigurationFile(&settings->configtext);
        settings->configpath = probe.configpath();
        if (probe.LoadConfiguration() && probe.config() != nullptr) {
            const UNIXConfig& c = *probe.config();
            settings->workers = c.Get(Config::FastCGIWorkers);
            settings->requests = c.Get(Config::FastCGIRequests);
            settings->timeout = c.Get(Config::GlobalTimeout);
            settings->loglevel = c.Get(Config::LogLevel);
            settings->logfile = c.Get(Config::LogFile);
            settings->allowed = ParseAllowed(c.Get(Config::FastCGIAllow));
            settings->pagecache = c.Get(Config::FastCGIPageCache);
            long body = c.Get(Config::MaxContentLength);
            settings->limits.maxcontentlength = body > 0 ? static_cast<size_t>(body) : 0;
            // Every parameter may be as long as maxheaderlength allows (a longer one
            // is refused when the request runs, as in CGI), and there are a few dozen.
            size_t header = static_cast<size_t>(c.Get(Config::MaxHeaderLength));
            if (settings->limits.maxparamsbytes < 8 * header)
                settings->limits.maxparamsbytes = 8 * header;
        } else {
            settings->allowed = ParseAllowed("127.0.0.1");
        }
    }
    clearenv();
    if (settings->workers <= 0) settings->workers = sysconf(_SC_NPROCESSORS_ONLN);
    if (settings->workers <= 0) settings->workers = 1;
    if (settings->workers > 256) settings->workers = 256;
    if (settings->requests < 0) settings->requests = 0;
}

}  // namespace

namespace {

// A request that runs this long past its time limit has a worker stuck where the
// deadline is not looked at (a stopped process, a call that does not return).
const long kOverrunGraceSeconds = 5;

volatile sig_atomic_t g_reload = 0;

void Reload(int) {
    g_reload = 1;
}

// One generation of workers (those started with one reading of the configuration):
// a slot each, with the pid and the shared busy time.
class Workers {
  public:
    Workers(int listener, int argc, char** argv, long count, long requests)
        : listener_(listener), argc_(argc), argv_(argv), requests_(requests), pids_(count, 0) {
        void* shared =
            mmap(nullptr, SharedBytes(), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        busy_ = shared == MAP_FAILED ? nullptr : static_cast<volatile long*>(shared);
    }
    ~Workers() {
        if (busy_ != nullptr) munmap(const_cast<long*>(busy_), SharedBytes());
    }
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    void Start(size_t slot) {
        if (busy_ != nullptr) busy_[slot] = 0;
        // A signal sent to the worker before it has its own handlers would run the
        // supervisor's (a SIGTERM would be lost, and the worker would serve on with the
        // configuration it was told to leave): the worker's signals wait until it has.
        sigset_t held, before;
        sigemptyset(&held);
        for (int s : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) sigaddset(&held, s);
        sigprocmask(SIG_BLOCK, &held, &before);
        pid_t pid = fork();
        if (pid == 0) {
            g_busysince = busy_ != nullptr ? &busy_[slot] : nullptr;
            WorkerSignals();
            sigprocmask(SIG_SETMASK, &before, nullptr);
            Work(listener_, argc_, argv_, requests_);
        }
        sigprocmask(SIG_SETMASK, &before, nullptr);
        pids_[slot] = pid > 0 ? pid : 0;
    }
    void StartAll() {
        for (size_t i = 0; i < pids_.size(); i++) Start(i);
    }
    // The slot of pid, or -1.
    long SlotOf(pid_t pid) const {
        for (size_t i = 0; i < pids_.size(); i++) {
            if (pids_[i] == pid) return static_cast<long>(i);
        }
        return -1;
    }
    void Ended(long slot) { pids_[static_cast<size_t>(slot)] = 0; }
    bool AnyRunning() const {
        for (pid_t pid : pids_) {
            if (pid != 0) return true;
        }
        return false;
    }
    // Kills each worker whose request has run past limit seconds and the grace; each
    // kill is a line of the web server's error log and of the activity log.
    void KillOverruns(long limit, ActivityLog* log) {
        if (busy_ == nullptr || limit <= 0) return;
        long now = static_cast<long>(ClockSeconds());
        for (size_t i = 0; i < pids_.size(); i++) {
            long since = busy_[i];
            if (pids_[i] == 0 || since == 0 || now - since <= limit + kOverrunGraceSeconds)
                continue;
            String line = "FastCGI worker " + String::FromInt(static_cast<long>(pids_[i])) +
                          " killed: its request ran " + String::FromInt(now - since) +
                          " s, past the time limit of " + String::FromInt(limit) + " s";
            ActivityLog::ToStandardError(line);
            if (log != nullptr) log->Write(1, "WORKERKILLED", line);
            kill(pids_[i], SIGKILL);
            busy_[i] = 0;
        }
    }
    void Signal(int signal) {
        for (pid_t pid : pids_) {
            if (pid != 0) kill(pid, signal);
        }
    }

  private:
    size_t SharedBytes() const { return sizeof(long) * (pids_.empty() ? 1 : pids_.size()); }

    int listener_;
    int argc_;
    char** argv_;
    long requests_;
    std::vector<pid_t> pids_;
    volatile long* busy_ = nullptr;
};

// The activity log named by the settings, or null.
std::unique_ptr<ActivityLog> OpenLog(const WorkerSettings& settings, const char* program) {
    std::unique_ptr<ActivityLog> log;
    if (settings.loglevel != 0 && !settings.logfile.empty()) {
        log.reset(new ActivityLog(static_cast<int>(settings.loglevel)));
        if (!log->Open(settings.logfile, program)) log.reset();
    }
    return log;
}

// What a worker keeps of the files it reads: the pages' text, and with it (unless the
// page cache is off) the pages of the indexes it reads, up to this many (1 MB).
const size_t kKeptIndexPages = 1024;

void KeepFiles() {
    Pages().SetLimit(static_cast<size_t>(TheSettings().pagecache));
    BrnIndexFile::KeepPages(TheSettings().pagecache > 0 ? kKeptIndexPages : 0);
}

}  // namespace

int ServeFastCGI(int listener, int argc, char** argv) {
    ReadWorkerSettings(argc, argv, &TheSettings());
    KeepSqlConnections(true);  // (the workers' own: none is made before they start)
    KeepFiles();
    std::unique_ptr<ActivityLog> log = OpenLog(TheSettings(), argv[0]);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Stop;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM}) sigaction(s, &action, nullptr);
    action.sa_handler = Reload;
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    std::unique_ptr<Workers> current(
        new Workers(listener, argc, argv, TheSettings().workers, TheSettings().requests));
    // Workers of earlier readings of the configuration, finishing their requests.
    std::vector<std::unique_ptr<Workers>> retiring;
    current->StartAll();
    auto each = [&](const std::function<void(Workers&)>& f) {
        f(*current);
        for (auto& w : retiring) f(*w);
    };
    auto running = [&]() {
        bool any = false;
        each([&any](Workers& w) { any = any || w.AnyRunning(); });
        return any;
    };
    // A worker that ends (its requests served, a crash, a kill) is replaced; one that
    // ends at once every time does not make this loop spin. One stuck past its
    // request's time limit is killed (and so replaced). SIGHUP reads the configuration
    // again and starts a new generation of workers with it; the old ones finish the
    // request they are serving and end, so no request is refused meanwhile.
    while (!g_stopping) {
        if (g_reload) {
            g_reload = 0;
            ReadWorkerSettings(argc, argv, &TheSettings());
            KeepFiles();
            log = OpenLog(TheSettings(), argv[0]);
            retiring.push_back(std::move(current));
            current.reset(
                new Workers(listener, argc, argv, TheSettings().workers, TheSettings().requests));
            current->StartAll();
            retiring.back()->Signal(SIGTERM);
        }
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno != EINTR) break;
        if (pid <= 0) {
            each([&](Workers& w) { w.KillOverruns(TheSettings().timeout, log.get()); });
            usleep(100000);
            continue;
        }
        long slot = current->SlotOf(pid);
        if (slot < 0) {
            for (auto& w : retiring) {
                long old = w->SlotOf(pid);
                if (old >= 0) w->Ended(old);
            }
            for (size_t i = retiring.size(); i-- > 0;) {
                if (!retiring[i]->AnyRunning()) retiring.erase(retiring.begin() + i);
            }
            continue;
        }
        current->Ended(slot);
        if (g_stopping) break;
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) usleep(100000);
        current->Start(static_cast<size_t>(slot));
    }
    // Stopping: each worker finishes the request it is serving, within the time a
    // request has (and a few seconds more); one that has not is killed.
    each([](Workers& w) { w.Signal(SIGTERM); });
    long timeout = TheSettings().timeout;
    long waited = 0, limit = (timeout > 0 ? timeout : 90) * 1000 + kOverrunGraceSeconds * 1000;
    while (running()) {
        pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0) {
            each([pid](Workers& w) {
                long slot = w.SlotOf(pid);
                if (slot >= 0) w.Ended(slot);
            });
            continue;
        }
        if (pid < 0 && errno != EINTR) break;
        if (waited >= limit) {
            each([](Workers& w) { w.Signal(SIGKILL); });
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            break;
        }
        usleep(50000);
        waited += 50;
    }
    return 0;
}
