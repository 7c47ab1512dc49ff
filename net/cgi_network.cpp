// BSD sockets for the network layer.

#include "net/cgi_network.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "net/tls.h"
#include "script/engine.h"

int CGINetworkManager::GetHostAddress(const String& host, String* address) {
    if (host.matches("localhost")) {
        *address = "127.0.0.1";
        return 0;
    }
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* found = nullptr;
    if (HoldsLineBreak(host) || getaddrinfo(host.chars(), nullptr, &hints, &found) != 0 ||
        found == nullptr) {
        Error("Error looking up '" + host + "'");
        return -1;
    }
    char text[INET6_ADDRSTRLEN] = "";
    const void* raw =
        found->ai_family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
            : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    inet_ntop(found->ai_family, raw, text, sizeof text);
    freeaddrinfo(found);
    *address = text;
    return 0;
}

CGINetworkConnection::CGINetworkConnection(Kelp* engine)
    : NetworkConnection(engine),
      socket_(-1),
      tls_(nullptr),
      timeout_(30),
      position_(0),
      count_(0) {}

CGINetworkConnection::~CGINetworkConnection() {
    Close();
}

void CGINetworkConnection::Close() {
    delete tls_;
    tls_ = nullptr;
    if (socket_ >= 0) close(socket_);
    socket_ = -1;
    position_ = count_ = 0;
}

int CGINetworkConnection::Wait(short events, int timeout) {
    long long end = NowMilliseconds() + static_cast<long long>(timeout < 0 ? 0 : timeout) * 1000;
    for (;;) {
        if (engine() != nullptr && engine()->timedout()) return 0;
        long long now = NowMilliseconds();
        long long wait = end - now;
        if (engine() != nullptr) {
            int remaining = engine()->timeremaining();
            if (remaining >= 0 && wait > remaining * 1000LL + 999) wait = remaining * 1000LL + 999;
        }
        if (wait <= 0) return 0;
        // Wake at least once a second to notice the script's deadline.
        struct pollfd p = {socket_, events, 0};
        int r = poll(&p, 1, static_cast<int>(wait > 1000 ? 1000 : wait));
        if (r > 0) return 1;
        if (r < 0 && errno != EINTR) {
            Error(String("(poll): ") + strerror(errno));
            return -1;
        }
    }
}

int CGINetworkConnection::Connect(const String& address, int port, int timeout) {
    Close();
    String where = "(" + address + ":";
    where.catint(port);
    where += "): ";
    struct sockaddr_storage target;
    memset(&target, 0, sizeof target);
    socklen_t length;
    int family;
    if (inet_pton(AF_INET, address.chars(), &reinterpret_cast<sockaddr_in*>(&target)->sin_addr) ==
        1) {
        sockaddr_in* v4 = reinterpret_cast<sockaddr_in*>(&target);
        v4->sin_family = family = AF_INET;
        v4->sin_port = htons(static_cast<unsigned short>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.chars(),
                         &reinterpret_cast<sockaddr_in6*>(&target)->sin6_addr) == 1) {
        sockaddr_in6* v6 = reinterpret_cast<sockaddr_in6*>(&target);
        v6->sin6_family = family = AF_INET6;
        v6->sin6_port = htons(static_cast<unsigned short>(port));
        length = sizeof *v6;
    } else {
        Error(where + "not a numeric address");
        return 0;
    }
    if (port < 1 || port > 65535) {
        Error(where + "not a port number");
        return 0;
    }
    socket_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (socket_ < 0) {
        Error(where + strerror(errno));
        return 0;
    }
    timeout_ = timeout;
    if (connect(socket_, reinterpret_cast<sockaddr*>(&target), length) < 0) {
        if (errno != EINPROGRESS) {
            Error(where + strerror(errno));
            Close();
            return 0;
        }
        int ready = Wait(POLLOUT, timeout);
        int failure = 0;
        socklen_t size = sizeof failure;
        if (ready == 0)
            failure = ETIMEDOUT;
        else if (ready < 0 || getsockopt(socket_, SOL_SOCKET, SO_ERROR, &failure, &size) < 0)
            failure = errno;
        if (failure != 0) {
            Error(where + strerror(failure));
            Close();
            return 0;
        }
    }
    return 1;
}

int CGINetworkConnection::StartTLS(const String& host, int timeout) {
    if (socket_ < 0) {
        Error("TLS: the connection is closed");
        return 0;
    }
    delete tls_;
    tls_ = new TLSSession();
    // What was read ahead in plain text belongs to the time before TLS.
    position_ = count_ = 0;
    long long deadline = NowMilliseconds() + static_cast<long long>(timeout) * 1000;
    if (engine() != nullptr && engine()->timeremaining() >= 0) {
        long long end = NowMilliseconds() + engine()->timeremaining() * 1000LL + 999;
        if (end < deadline) deadline = end;
    }
    if (!tls_->Start(socket_, host, engine() != nullptr ? engine()->settings().tlscafile : String(),
                     deadline)) {
        Error(tls_->error());
        delete tls_;
        tls_ = nullptr;
        return 0;
    }
    return 1;
}

long CGINetworkConnection::Fill(int timeout) {
    position_ = count_ = 0;
    for (;;) {
        bool wantwrite = false;
        ssize_t n = tls_ != nullptr ? tls_->Read(block_, sizeof block_, &wantwrite)
                                    : recv(socket_, block_, sizeof block_, 0);
        if (n >= 0) {
            count_ = static_cast<int>(n);
            return n;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Error(tls_ != nullptr ? tls_->error()
                                  : String("Error reading from host: ") + strerror(errno));
            return NetworkFailed;
        }
        int ready = Wait(wantwrite ? POLLOUT : POLLIN, timeout);
        if (ready == 0) {
            Error("Timed out waiting for data from host");
            return NetworkReadTimedOut;
        }
        if (ready < 0) return NetworkFailed;
    }
}

long CGINetworkConnection::Read(char* buffer, long size, int timeout) {
    if (socket_ < 0) {
        Error("Error reading from host: the connection is closed");
        return NetworkFailed;
    }
    if (size <= 0) return 0;
    if (position_ >= count_) {
        long n = Fill(timeout);
        if (n <= 0) return n;
    }
    long n = count_ - position_;
    if (n > size) n = size;
    memcpy(buffer, block_ + position_, static_cast<size_t>(n));
    position_ += static_cast<int>(n);
    return n;
}

int CGINetworkConnection::ReadLine(String* line, int timeout, int limit) {
    line->clear();
    if (socket_ < 0) return NetworkFailed;
    // The whole line must arrive within the time-out, however slowly it trickles.
    long long end = NowMilliseconds() + static_cast<long long>(timeout) * 1000;
    for (;;) {
        if (position_ >= count_) {
            long long left = end - NowMilliseconds();
            if (left <= 0) return NetworkTimedOut;
            long n = Fill(static_cast<int>((left + 999) / 1000));
            if (n == NetworkReadTimedOut) return NetworkTimedOut;
            if (n <= 0) return line->empty() ? NetworkFailed : line->length();
        }
        const char* start = block_ + position_;
        const char* lf =
            static_cast<const char*>(memchr(start, '\n', static_cast<size_t>(count_ - position_)));
        int take = lf != nullptr ? static_cast<int>(lf - start) + 1 : count_ - position_;
        if (line->length() + take > limit) return NetworkTooLong;
        line->cat(start, take);
        position_ += take;
        if (lf != nullptr) return line->length();
    }
}

long CGINetworkConnection::Write(const char* data, long length) {
    if (socket_ < 0) {
        Error("Error sending data to server: the connection is closed");
        return -1;
    }
    long done = 0;
    while (done < length) {
        bool wantread = false;
        ssize_t n;
        if (tls_ != nullptr) {
            bool wantwrite = true;
            n = tls_->Write(data + done, length - done, &wantwrite);
            wantread = !wantwrite;
        } else {
            n = send(socket_, data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        }
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Wait(wantread ? POLLIN : POLLOUT, timeout_) == 1) continue;
            Error("Error sending data to server: timed out");
            return -1;
        }
        Error(tls_ != nullptr ? tls_->error()
                              : String("Error sending data to server: ") + strerror(errno));
        return -1;
    }
    return done;
}
