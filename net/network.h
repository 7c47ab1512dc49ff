// The network layer: connections to other hosts (NetworkManager and
// NetworkConnection, made for the machine by cgi_network.h), a character reader
// over a connection (NetworkBuffer), an output stream into one (NetworkOutput), the
// HTTP/1.0 request writer (NetworkManager::OpenURL) and the command/response loop
// of the mail protocols (INetProtocol).
//
// Nothing here raises a script error: operations report through their results and
// leave a message in error(), which the tags turn into runtime errors.

#ifndef NET_NETWORK_H_
#define NET_NETWORK_H_

#include "foundation/output.h"
#include "foundation/string.h"

class Kelp;

// Results of reads that are more than a count.
enum NetworkReadResult {
    NetworkTimedOut = 0,       // nothing arrived within the time-out
    NetworkFailed = -1,        // the read failed, or the peer closed with nothing read
    NetworkTooLong = -2,       // a line longer than the limit
    NetworkReadTimedOut = -3,  // Read(): nothing arrived within the time-out
};

// The longest line a server may send to ReadLine() by default.
const int kMaxNetworkLine = 65536;

class NetworkConnection {
  public:
    explicit NetworkConnection(Kelp* engine) : engine_(engine) {}
    virtual ~NetworkConnection() {}
    NetworkConnection(const NetworkConnection&) = delete;
    NetworkConnection& operator=(const NetworkConnection&) = delete;

    // Connects to a numeric address (IPv4 dotted, or IPv6) within timeout seconds.
    // 1, or 0 with error() "(ADDRESS:PORT): reason".
    virtual int Connect(const String& address, int port, int timeout) = 0;
    // Up to size bytes: the count, 0 at the end of the stream, NetworkFailed, or
    // NetworkReadTimedOut when nothing arrived within timeout seconds (error() says).
    virtual long Read(char* buffer, long size, int timeout) = 0;
    // One line into *line, its line feed included: the length; NetworkTimedOut when
    // the line did not arrive within timeout seconds; NetworkFailed when the read
    // failed or the stream ended before any byte; NetworkTooLong past limit bytes.
    // A stream that ends inside a line gives the partial line.
    virtual int ReadLine(String* line, int timeout, int limit = kMaxNetworkLine) = 0;
    // Writes all bytes: length, or -1.
    virtual long Write(const char* data, long length) = 0;
    long Write(const String& s) { return Write(s.chars(), s.length()); }
    virtual void Close() = 0;
    virtual bool open() const = 0;
    // Turns the connection into TLS: the handshake for host (whose certificate must
    // name it), within timeout seconds. 1, or 0 with error().
    virtual int StartTLS(const String& host, int timeout) = 0;
    virtual bool secure() const = 0;

    void Error(const String& text) { error_ = text; }
    const String& error() const { return error_; }
    Kelp* engine() const { return engine_; }

  private:
    Kelp* engine_;  // not owned
    String error_;
};

// The pieces of an http URL.
struct URLParts {
    String host;          // without brackets for an IPv6 address
    int port = 80;        // 443 for https
    bool secure = false;  // https
    String path;          // what follows the host, without the first "/"
    bool portgiven = false;
};

class NetworkManager {
  public:
    explicit NetworkManager(Kelp* engine) : engine_(engine) {}
    virtual ~NetworkManager() {}
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // A connection to host (a name or a numeric address) and port within timeout
    // seconds; null with error() when there is none. Caller deletes the result.
    NetworkConnection* Connect(const String& host, int port, int timeout);
    // The numeric address of host: "localhost" is 127.0.0.1 without a look-up.
    // 0, or -1 with error() "Error looking up 'HOST'".
    virtual int GetHostAddress(const String& host, String* address) = 0;
    // Whether text is a numeric address: digits and dots (IPv4), or an IPv6 address
    // (holds a colon).
    static bool IsIPAddress(const String& text);
    // Splits "http://host[:port]/path". 1, or 0 with *error.
    static int SplitURL(const String& url, URLParts* parts, String* error);
    // Opens url and writes an HTTP/1.0 request for method; with a body, its content
    // type and length are sent and the body (when body is non-null) written. A
    // caller that streams the body itself passes null and bodylength. Caller deletes
    // the result; null with error().
    NetworkConnection* OpenURL(const String& url, const String& method, const String& contenttype,
                               const String* body, long bodylength, int timeout);

    void Error(const String& text) { error_ = text; }
    const String& error() const { return error_; }
    Kelp* engine() const { return engine_; }

  protected:
    // A new unconnected connection of the machine's kind.
    virtual NetworkConnection* NewConnection() = 0;

  private:
    Kelp* engine_;  // not owned
    String error_;
};

// Characters of a connection, read a block at a time, with push-back. Reads stop
// for good after limit bytes (limitreached() tells) or a failed read (error()).
class NetworkBuffer {
  public:
    // connection: not owned. size: block size; limit: most bytes read, 0 = no limit.
    NetworkBuffer(NetworkConnection* connection, int timeout, int size, long limit);
    ~NetworkBuffer();
    NetworkBuffer(const NetworkBuffer&) = delete;
    NetworkBuffer& operator=(const NetworkBuffer&) = delete;

    // The next byte (0..255), or -1 at the end of the data (or after a failure).
    int GetNextChar();
    // Pushes the last character returned back.
    void UnGetChar();
    bool limitreached() const { return limitreached_; }
    const String& error() const { return error_; }
    // The data ends after n bytes from the connection (a length the peer announced);
    // more than the limit still counts as reaching it.
    void SetLength(long n) { length_ = n; }
    // text comes first, before what the connection gives.
    void Prepend(const String& text) {
        for (int i = text.length() - 1; i >= 0; i--) pushback_ += text[i];
    }

  private:
    NetworkConnection* connection_;  // not owned
    int timeout_;
    int size_;
    char* block_;  // owned, size_ bytes
    int position_;
    int count_;
    long total_;
    long limit_;
    long length_ = -1;  // the bytes the data has, -1 while unknown
    int last_;
    String pushback_;
    bool ended_;
    bool limitreached_;
    String error_;
};

// Writes go to a connection.
class NetworkOutput : public Output {
  public:
    // connection: not owned.
    NetworkOutput(NetworkConnection* connection, int size)
        : Output(size), connection_(connection) {}
    ~NetworkOutput() override;
    int DoWrite(const char* s, int n) override;

  protected:
    NetworkConnection* connection_;  // not owned
};

// Results of a protocol's response handler and of ReadResponses().
enum ResponseResult {
    ResponseDone = 0,    // the final line was good
    ResponseMore = 1,    // read another line
    ResponseFailed = 2,  // failure: error() says why
};

// The command/response dialogue of SMTP and POP3.
class INetProtocol {
  public:
    explicit INetProtocol(int timeout) : connection_(nullptr), timeout_(timeout) {}
    virtual ~INetProtocol();
    INetProtocol(const INetProtocol&) = delete;
    INetProtocol& operator=(const INetProtocol&) = delete;

    // Takes ownership of connection and reads the greeting: a ResponseResult.
    int Connect(NetworkConnection* connection);
    void Disconnect();
    // Sends text and CR LF, then reads the responses. text must not hold a line
    // break (the callers refuse such values).
    int SendCommand(const String& text);
    int ReadResponses();
    // Given each response line without its line end; returns a ResponseResult.
    virtual int ProcessResponse(const String& line) = 0;

    void Error(const String& text) { error_ = text; }
    const String& error() const { return error_; }
    NetworkConnection* connection() const { return connection_; }
    int timeout() const { return timeout_; }

  protected:
    NetworkConnection* connection_;  // owned
    int timeout_;
    String error_;
};

// Milliseconds since the epoch (deadlines of network waits).
long long NowMilliseconds();

// Whether text holds a CR, LF or NUL: such a value never goes into a request line,
// header or command.
bool HoldsLineBreak(const String& text);

#endif  // NET_NETWORK_H_
