// The FastCGI responder.

#include "host/fastcgi_server.h"

#include <arpa/inet.h>
#include <errno.h>
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

#include <memory>
#include <string>
#include <vector>

#include "foundation/time_helpers.h"
#include "host/activity_log.h"
#include "host/cgi_kelp.h"
#include "host/config.h"
#include "host/fastcgi.h"

namespace {

using fastcgi::RequestAssembler;

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

void InstallDrain() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Drain;  // no SA_RESTART: a worker waiting for a connection wakes
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
}

// Between requests: SIGTERM drains, the others end the worker at once, and a
// connection that went away never does.
void WorkerSignals() {
    for (int s : {SIGHUP, SIGINT, SIGQUIT}) signal(s, SIG_DFL);
    signal(SIGPIPE, SIG_IGN);
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

// The page's output as STDOUT records of its request.
class FastCGIOutput : public StandardOutput {
  public:
    FastCGIOutput(int size, int fd, int requestid)
        : StandardOutput(size), fd_(fd), requestid_(requestid) {}
    ~FastCGIOutput() override { Flush(); }

  protected:
    int Send(const char* s, int n) override {
        std::string record;
        fastcgi::AppendRecord(&record, fastcgi::kStdout, requestid_, s, static_cast<size_t>(n));
        return WriteAll(fd_, record) ? n : -1;
    }

  private:
    int fd_;
    int requestid_;
};

// One request of a connection, run as the CGI program runs one.
class FastCGIKelp : public CGIKelp {
  public:
    FastCGIKelp(int argc, char** argv, int fd, const RequestAssembler& request)
        : CGIKelp(argc, argv), fd_(fd), requestid_(request.requestid()), body_(request.body()) {
        persistent_ = true;
        UseOutput(NewOutput(8192));
    }
    int ReadContent(char* buffer, int length) override {
        size_t n = body_.size() - read_;
        if (n > static_cast<size_t>(length)) n = static_cast<size_t>(length);
        memcpy(buffer, body_.data() + read_, n);
        read_ += n;
        return static_cast<int>(n);
    }

    // The page's signals end the page, as in CGI, except SIGTERM, which lets it finish.
    void ScriptStarting() override {
        CGIKelp::ScriptStarting();
        InstallDrain();
    }

  protected:
    StandardOutput* NewOutput(int size) override {
        return new FastCGIOutput(size, fd_, requestid_);
    }

  private:
    int fd_;
    int requestid_;
    const std::string& body_;
    size_t read_ = 0;
};

// The process environment becomes the request's parameters, and nothing else: nothing
// of the process's own environment or of an earlier request reaches the page.
void UseParameters(const RequestAssembler& request) {
    clearenv();
    // The engine reads the environment's entries where they stand, when a page first
    // asks for one; the request sets PATH later. With a PATH entry from the start that
    // replaces it in place, and the array the engine reads is never moved.
    setenv("PATH", "", 1);
    for (const auto& p : request.params()) {
        const std::string& name = p.first;
        if (name.empty() || name.find('=') != std::string::npos ||
            name.find('\0') != std::string::npos || p.second.find('\0') != std::string::npos)
            continue;
        setenv(name.c_str(), p.second.c_str(), 1);
    }
}

// A request over a limit of the connection's own, refused as CGI refuses one.
std::string Refusal(const RequestAssembler& request) {
    if (request.paramstoolong()) {
        return "Status: 431 Request Header Fields Too Large\r\nContent-type: text/html\r\n\r\n"
               "Fatal Error: The request's headers are too long\r\n";
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
        UseParameters(request);
        if (g_busysince != nullptr) *g_busysince = static_cast<long>(ClockSeconds());
        FastCGIKelp host(argc, argv, fd, request);
        status = host.Go();
    }
    if (g_busysince != nullptr) *g_busysince = 0;
    clearenv();
    WorkerSignals();  // the page's handlers were the request's
    fastcgi::AppendRecord(&end, fastcgi::kStdout, request.requestid(), nullptr, 0);
    fastcgi::AppendEndRequest(&end, request.requestid(), static_cast<unsigned>(status),
                              fastcgi::kRequestComplete);
    return WriteAll(fd, end) && !g_draining ? 1 : 0;
}

void ServeConnection(int fd, int argc, char** argv) {
    fastcgi::RecordReader reader;
    RequestAssembler request{fastcgi::Limits()};
    fastcgi::Record record;
    char buffer[16384];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, kStallMilliseconds);
        if (ready < 0 && errno == EINTR) {
            if (g_draining && request.state() == RequestAssembler::kWaiting) return;
            continue;
        }
        if (ready <= 0) return;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
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
    for (long served = 0; (requests == 0 || served < requests) && !g_draining; served++) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            _exit(1);
        }
        ServeConnection(fd, argc, argv);
        close(fd);
    }
    _exit(0);
}

// The workers and the requests each serves before it is replaced, from the
// configuration file found as for a CGI request.
struct WorkerSettings {
    long workers = 0;
    long requests = 0;
    long timeout = 90;
    long loglevel = 0;
    String logfile;
};

void ReadWorkerSettings(int argc, char** argv, WorkerSettings* settings) {
    long* workers = &settings->workers;
    long* requests = &settings->requests;
    clearenv();
    setenv("PATH", "", 1);
    {
        CGIKelp probe(argc, argv);
        if (probe.LoadConfiguration() && probe.config() != nullptr) {
            *workers = probe.config()->Get(Config::FastCGIWorkers);
            *requests = probe.config()->Get(Config::FastCGIRequests);
            settings->timeout = probe.config()->Get(Config::GlobalTimeout);
            settings->loglevel = probe.config()->Get(Config::LogLevel);
            settings->logfile = probe.config()->Get(Config::LogFile);
        }
    }
    clearenv();
    if (*workers <= 0) *workers = sysconf(_SC_NPROCESSORS_ONLN);
    if (*workers <= 0) *workers = 1;
    if (*workers > 256) *workers = 256;
    if (*requests < 0) *requests = 0;
}

}  // namespace

namespace {

// A request that runs this long past its time limit has a worker stuck where the
// deadline is not looked at (a stopped process, a call that does not return).
const long kOverrunGraceSeconds = 5;

// The supervisor's workers: a slot each, with the pid and the shared busy time.
class Workers {
  public:
    Workers(int listener, int argc, char** argv, long count, long requests)
        : listener_(listener), argc_(argc), argv_(argv), requests_(requests), pids_(count, 0) {
        void* shared = mmap(nullptr, sizeof(long) * static_cast<size_t>(count),
                            PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        busy_ = shared == MAP_FAILED ? nullptr : static_cast<volatile long*>(shared);
    }
    void Start(size_t slot) {
        if (busy_ != nullptr) busy_[slot] = 0;
        pid_t pid = fork();
        if (pid == 0) {
            g_busysince = busy_ != nullptr ? &busy_[slot] : nullptr;
            Work(listener_, argc_, argv_, requests_);
        }
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
    int listener_;
    int argc_;
    char** argv_;
    long requests_;
    std::vector<pid_t> pids_;
    volatile long* busy_ = nullptr;
};

}  // namespace

int ServeFastCGI(int listener, int argc, char** argv) {
    WorkerSettings settings;
    ReadWorkerSettings(argc, argv, &settings);
    long timeout = settings.timeout;
    std::unique_ptr<ActivityLog> log;
    if (settings.loglevel != 0 && !settings.logfile.empty()) {
        log.reset(new ActivityLog(static_cast<int>(settings.loglevel)));
        if (!log->Open(settings.logfile, argv[0])) log.reset();
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = Stop;
    sigemptyset(&action.sa_mask);
    for (int s : {SIGINT, SIGTERM}) sigaction(s, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
    Workers workers(listener, argc, argv, settings.workers, settings.requests);
    workers.StartAll();
    // A worker that ends (its requests served, a crash, a kill) is replaced; one that
    // ends at once every time does not make this loop spin. One stuck past its
    // request's time limit is killed (and so replaced).
    while (!g_stopping && workers.AnyRunning()) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid < 0 && errno != EINTR) break;
        if (pid <= 0) {
            workers.KillOverruns(timeout, log.get());
            usleep(100000);
            continue;
        }
        long slot = workers.SlotOf(pid);
        if (slot < 0) continue;
        workers.Ended(slot);
        if (g_stopping) break;
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) usleep(100000);
        workers.Start(static_cast<size_t>(slot));
    }
    // Stopping: each worker finishes the request it is serving, within the time a
    // request has (and a few seconds more); one that has not is killed.
    workers.Signal(SIGTERM);
    long waited = 0, limit = (timeout > 0 ? timeout : 90) * 1000 + kOverrunGraceSeconds * 1000;
    while (workers.AnyRunning()) {
        pid_t pid = waitpid(-1, nullptr, WNOHANG);
        if (pid > 0) {
            long slot = workers.SlotOf(pid);
            if (slot >= 0) workers.Ended(slot);
            continue;
        }
        if (pid < 0 && errno != EINTR) break;
        if (waited >= limit) {
            workers.Signal(SIGKILL);
            while (waitpid(-1, nullptr, 0) > 0) {
            }
            break;
        }
        usleep(50000);
        waited += 50;
    }
    return 0;
}
