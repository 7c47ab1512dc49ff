// The FastCGI record layer: the records a web server sends a responder, taken from the
// bytes of a connection and put together into requests, and the records a responder
// answers with. A peer is never trusted: every length is checked against the bytes
// that came and against the request's limits, and a peer that breaks the format ends
// its connection, never the process.

#ifndef HOST_FASTCGI_H_
#define HOST_FASTCGI_H_

#include <stddef.h>

#include <string>
#include <utility>
#include <vector>

namespace fastcgi {

enum RecordType {
    kBeginRequest = 1,
    kAbortRequest = 2,
    kEndRequest = 3,
    kParams = 4,
    kStdin = 5,
    kStdout = 6,
    kStderr = 7,
    kData = 8,
    kGetValues = 9,
    kGetValuesResult = 10,
    kUnknownType = 11,
};
enum Role { kResponder = 1, kAuthorizer = 2, kFilter = 3 };
enum ProtocolStatus { kRequestComplete = 0, kCantMultiplex = 1, kOverloaded = 2, kUnknownRole = 3 };
const size_t kHeaderLength = 8;
const size_t kMaxContent = 65535;
const int kKeepConnection = 1;  // a flag of BEGIN_REQUEST

// One record as it came.
struct Record {
    int type = 0;
    int requestid = 0;
    std::string content;
};

// Takes whole records out of the bytes of a connection.
class RecordReader {
  public:
    // Appends bytes that came from the peer.
    void Feed(const char* data, size_t n);
    // The next whole record: 1 with *record, 0 while its bytes have not all come, -1
    // when the peer broke the format (a version other than 1): the connection ends.
    int Next(Record* record);
    // Bytes that came and are not yet part of a record taken.
    size_t pending() const { return buffer_.size() - start_; }

  private:
    std::string buffer_;
    size_t start_ = 0;
};

// The name-value pairs of a PARAMS stream or a GET_VALUES record, in order: false when a
// length runs past the end of the data (the pairs read before it are in *pairs).
bool ReadNameValuePairs(const std::string& data,
                        std::vector<std::pair<std::string, std::string>>* pairs);
void AppendNameValuePair(std::string* out, const std::string& name, const std::string& value);

// Records to send: content longer than a record holds goes in several, each padded to a
// multiple of 8 bytes; an empty content makes the empty record that ends a stream.
void AppendRecord(std::string* out, int type, int requestid, const char* data, size_t n);
void AppendEndRequest(std::string* out, int requestid, unsigned appstatus, int protocolstatus);
void AppendUnknownType(std::string* out, int type);

// The bounds of one request (see the configuration keys of the same names).
struct Limits {
    // All parameters together: far above what a web server passes (its own limit on a
    // request's headers is some tens of KB), small enough to bound a worker's memory.
    // Each value is checked against maxheaderlength when the request runs, as in CGI.
    size_t maxparamsbytes = 1u << 20;
    size_t maxcontentlength = 16u << 20;  // the body (STDIN)
    int maxconnections = 1;               // told to a GET_VALUES query
};

// Puts the records of one connection together into requests, one at a time (a
// connection carries no second request while one is open: its BEGIN_REQUEST is
// answered "cannot multiplex"). Answers to send back (management replies, refusals)
// gather in replies().
class RequestAssembler {
  public:
    enum State {
        kWaiting,   // no request has begun
        kReading,   // a request is coming in
        kComplete,  // its parameters and its body have all come: it may run
        kAborted,   // the web server gave it up (ABORT_REQUEST) before it ran
        kBroken,    // the peer broke the protocol: the connection ends
    };
    explicit RequestAssembler(const Limits& limits) : limits_(limits) {}

    // Takes one record. Returns the state after it.
    State Take(const Record& record);
    State state() const { return state_; }
    // The request being read or complete.
    int requestid() const { return requestid_; }
    bool keepconnection() const { return keep_; }
    const std::vector<std::pair<std::string, std::string>>& params() const { return params_; }
    const std::string& body() const { return body_; }
    // Which limit the request went over (the body refuses with 413, the parameters with
    // 431); the parts over it were not kept.
    bool paramstoolong() const { return paramstoolong_; }
    bool bodytoolong() const { return bodytoolong_; }
    // Ready for the next request on the same connection.
    void Reset();
    std::string& replies() { return replies_; }

  private:
    State Broken() { return state_ = kBroken; }
    State Begin(const Record& record);
    State Management(const Record& record);
    // One record of a stream (PARAMS, STDIN) into *kept, up to limit bytes (over it, the
    // stream is marked *toolong and nothing of it kept); the empty record ends it
    // (*done). False for a record after the end.
    bool Stream(const Record& record, size_t limit, std::string* kept, bool* done, bool* toolong);
    void EndParams();

    Limits limits_;
    State state_ = kWaiting;
    int requestid_ = 0;
    bool keep_ = false;
    bool paramsdone_ = false;
    bool bodydone_ = false;
    bool paramstoolong_ = false;
    bool bodytoolong_ = false;
    std::string rawparams_;
    std::vector<std::pair<std::string, std::string>> params_;
    std::string body_;
    std::string replies_;
};

}  // namespace fastcgi

#endif  // HOST_FASTCGI_H_
