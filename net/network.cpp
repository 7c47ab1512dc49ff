// The machine-independent part of the network layer: host and URL handling, the
// request writer, the buffered reader and writer, and the protocol dialogue.

#include "net/network.h"

#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "foundation/string.h"
#include "foundation/time_helpers.h"

long long NowMilliseconds() {
    struct timeval now;
    now = ClockNow();
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_usec / 1000;
}

bool HoldsLineBreak(const String& text) {
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (c == '\r' || c == '\n' || c == '\0') return true;
    }
    return false;
}

bool NetworkManager::IsIPAddress(const String& text) {
    if (text.contains(':')) return true;
    for (int i = 0; i < text.length(); i++) {
        char c = text[i];
        if (!(c >= '0' && c <= '9') && c != '.') return false;
    }
    return true;
}

NetworkConnection* NetworkManager::Connect(const String& host, int port, int timeout) {
    String address = host;
    if (!IsIPAddress(host) && GetHostAddress(host, &address) != 0) return nullptr;
    NetworkConnection* connection = NewConnection();
    if (!connection->Connect(address, port, timeout)) {
        Error(connection->error());
        delete connection;
        return nullptr;
    }
    return connection;
}

namespace {

// A decimal port 1..65535, or -1.
int ParsePort(const String& text) {
    if (text.empty() || text.length() > 5) return -1;
    long port = 0;
    for (int i = 0; i < text.length(); i++) {
        if (text[i] < '0' || text[i] > '9') return -1;
        port = port * 10 + (text[i] - '0');
    }
    return port >= 1 && port <= 65535 ? static_cast<int>(port) : -1;
}

}  // namespace

int NetworkManager::SplitURL(const String& url, URLParts* parts, String* error) {
    for (int i = 0; i < url.length(); i++) {
        unsigned char c = static_cast<unsigned char>(url[i]);
        if (c < 0x20 || c == 0x7F) {
            *error = "the URL holds a control character";
            return 0;
        }
    }
    int slashes = url.search("//");
    if (slashes < 0) {
        *error = "the URL names no host";
        return 0;
    }
    String scheme = url.before(slashes);
    parts->secure = scheme.matches("https:") && scheme.length() == 6;
    if (!scheme.empty() && !scheme.matches("http:") && !parts->secure) {
        *error = "only http and https URLs are supported";
        return 0;
    }
    String rest = url.from(slashes + 2);
    int slash = rest.search("/");
    String hostpart = slash < 0 ? rest : rest.before(slash);
    String path = slash < 0 ? String() : rest.from(slash + 1);
    int fragment = path.search("#");
    if (fragment >= 0) path = path.before(fragment);
    // user:password@ in front of the host is not sent anywhere.
    int at = hostpart.search("@");
    if (at >= 0) hostpart = hostpart.from(at + 1);
    String host = hostpart;
    String port;
    if (hostpart[0] == '[') {
        int close = hostpart.search("]");
        if (close < 0) {
            *error = "the URL's host is not a complete IPv6 address";
            return 0;
        }
        host = hostpart.at(1, close);
        String after = hostpart.from(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                *error = "the URL's host is not a complete IPv6 address";
                return 0;
            }
            port = after.from(1);
            parts->portgiven = true;
        }
    } else {
        int colon = hostpart.search(":");
        if (colon >= 0) {
            host = hostpart.before(colon);
            port = hostpart.from(colon + 1);
            parts->portgiven = true;
        }
    }
    if (host.empty()) {
        *error = "the URL names no host";
        return 0;
    }
    parts->port = parts->secure ? 443 : 80;
    if (parts->portgiven) {
        parts->port = ParsePort(port);
        if (parts->port < 0) {
            *error = "the URL's port is not a number from 1 to 65535";
            return 0;
        }
    }
    // Blanks and bytes past ASCII travel %-encoded.
    String encoded;
    for (int i = 0; i < path.length(); i++) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        if (c == ' ' || c >= 0x80) {
            static const char kHex[] = "0123456789ABCDEF";
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        } else {
            encoded += static_cast<char>(c);
        }
    }
    parts->host = host;
    parts->path = encoded;
    return 1;
}

NetworkConnection* NetworkManager::OpenURL(const String& url, const String& method,
                                           const String& contenttype, const String* body,
                                           long bodylength, int timeout) {
    URLParts parts;
    String reason;
    if (!SplitURL(url, &parts, &reason)) {
        Error(reason);
        return nullptr;
    }
    for (int i = 0; i < method.length(); i++) {
        char c = method[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) {
            Error("the method is not a word");
            return nullptr;
        }
    }
    if (HoldsLineBreak(contenttype)) {
        Error("the content type holds a line break");
        return nullptr;
    }
    NetworkConnection* connection = Connect(parts.host, parts.port, timeout);
    if (connection == nullptr) return nullptr;
    if (parts.secure && !connection->StartTLS(parts.host, timeout)) {
        Error(connection->error());
        delete connection;
        return nullptr;
    }
    String request = method;
    request += " /";
    request += parts.path;
    request += " HTTP/1.0\r\nHost: ";
    bool v6 = parts.host.contains(':');
    if (v6) request += '[';
    request += parts.host;
    if (v6) request += ']';
    if (parts.portgiven && parts.port != (parts.secure ? 443 : 80)) {
        request += ':';
        request.catint(parts.port);
    }
    request += "\r\n";
    // A POST or PUT always says how long its body is: servers refuse one that does not.
    if (bodylength > 0 || method.matches("POST") || method.matches("PUT")) {
        request += "Content-Type: ";
        request += contenttype;
        request += "\r\nContent-Length: ";
        request.catint(bodylength);
        request += "\r\n";
    }
    request += "\r\n";
    if (body != nullptr) request += *body;
    if (connection->Write(request) != request.length()) {
        Error(connection->error());
        delete connection;
        return nullptr;
    }
    return connection;
}

NetworkBuffer::NetworkBuffer(NetworkConnection* connection, int timeout, int size, long limit)
    : connection_(connection),
      timeout_(timeout),
      size_(size < 1 ? 8192 : size),
      block_(new char[size < 1 ? 8192 : size]),
      position_(0),
      count_(0),
      total_(0),
      limit_(limit),
      last_(-1),
      ended_(false),
      limitreached_(false) {}

NetworkBuffer::~NetworkBuffer() {
    delete[] block_;
}

int NetworkBuffer::GetNextChar() {
    if (!pushback_.empty()) {
        int n = pushback_.length();
        last_ = static_cast<unsigned char>(pushback_[n - 1]);
        pushback_ = pushback_.before(n - 1);
        return last_;
    }
    if (position_ >= count_) {
        if (ended_) return last_ = -1;
        long want = size_;
        if (length_ >= 0 && (limit_ <= 0 || length_ <= limit_)) {
            if (want > length_ - total_) want = length_ - total_;
            if (want <= 0) {
                ended_ = true;
                return last_ = -1;
            }
        }
        if (limit_ > 0 && want > limit_ - total_) want = limit_ - total_;
        if (want <= 0) {
            limitreached_ = true;
            ended_ = true;
            return last_ = -1;
        }
        long n = connection_->Read(block_, want, timeout_);
        if (n <= 0) {
            if (n < 0) error_ = connection_->error();
            ended_ = true;
            return last_ = -1;
        }
        total_ += n;
        count_ = static_cast<int>(n);
        position_ = 0;
    }
    return last_ = static_cast<unsigned char>(block_[position_++]);
}

void NetworkBuffer::UnGetChar() {
    if (last_ >= 0) pushback_ += static_cast<char>(last_);
}

NetworkOutput::~NetworkOutput() {
    Flush();
}

int NetworkOutput::DoWrite(const char* s, int n) {
    if (n <= 0) return 0;
    if (connection_ == nullptr || !connection_->open()) return -1;
    return connection_->Write(s, n) == n ? n : -1;
}

INetProtocol::~INetProtocol() {
    Disconnect();
}

int INetProtocol::Connect(NetworkConnection* connection) {
    Disconnect();
    connection_ = connection;
    return ReadResponses();
}

void INetProtocol::Disconnect() {
    if (connection_ != nullptr) {
        connection_->Close();
        delete connection_;
        connection_ = nullptr;
    }
}

int INetProtocol::SendCommand(const String& text) {
    String command = text + "\r\n";
    if (connection_ == nullptr || connection_->Write(command) != command.length()) {
        Error("Error sending data to server");
        Disconnect();
        return ResponseFailed;
    }
    return ReadResponses();
}

int INetProtocol::ReadResponses() {
    if (connection_ == nullptr) {
        Error("Error sending data to server");
        return ResponseFailed;
    }
    for (;;) {
        String line;
        int n = connection_->ReadLine(&line, timeout_);
        if (n <= 0) {
            Error(n == NetworkTooLong ? "The host sent a response line that is too long"
                                      : "Timed out waiting for response from host");
            Disconnect();
            return ResponseFailed;
        }
        // Only the line end goes: a CR inside a message line is part of the message.
        int end = line.length();
        if (end > 0 && line[end - 1] == '\n') end--;
        if (end > 0 && line[end - 1] == '\r') end--;
        line = line.before(end);
        int r = ProcessResponse(line);
        if (r != ResponseMore) return r;
    }
}
