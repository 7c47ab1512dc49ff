// The FastCGI record layer.

#include "host/fastcgi.h"

namespace fastcgi {

namespace {

unsigned Byte(const std::string& s, size_t i) {
    return static_cast<unsigned char>(s[i]);
}

void AppendHeader(std::string* out, int type, int requestid, size_t length, size_t padding) {
    char h[kHeaderLength] = {1,
                             static_cast<char>(type),
                             static_cast<char>((requestid >> 8) & 0xff),
                             static_cast<char>(requestid & 0xff),
                             static_cast<char>((length >> 8) & 0xff),
                             static_cast<char>(length & 0xff),
                             static_cast<char>(padding),
                             0};
    out->append(h, kHeaderLength);
}

void AppendLength(std::string* out, size_t n) {
    if (n < 128) {
        out->push_back(static_cast<char>(n));
        return;
    }
    out->push_back(static_cast<char>(((n >> 24) & 0x7f) | 0x80));
    out->push_back(static_cast<char>((n >> 16) & 0xff));
    out->push_back(static_cast<char>((n >> 8) & 0xff));
    out->push_back(static_cast<char>(n & 0xff));
}

// A length of a name-value pair at *at: false when it runs past the end.
bool ReadLength(const std::string& data, size_t* at, size_t* n) {
    if (*at >= data.size()) return false;
    unsigned first = Byte(data, *at);
    if (first < 128) {
        *n = first;
        *at += 1;
        return true;
    }
    if (data.size() - *at < 4) return false;
    *n = (static_cast<size_t>(first & 0x7f) << 24) | (Byte(data, *at + 1) << 16) |
         (Byte(data, *at + 2) << 8) | Byte(data, *at + 3);
    *at += 4;
    return true;
}

}  // namespace

void RecordReader::Feed(const char* data, size_t n) {
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > kMaxContent) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    buffer_.append(data, n);
}

int RecordReader::Next(Record* record) {
    if (pending() < kHeaderLength) return 0;
    const std::string& b = buffer_;
    size_t h = start_;
    if (Byte(b, h) != 1) return -1;
    size_t length = (Byte(b, h + 4) << 8) | Byte(b, h + 5);
    size_t padding = Byte(b, h + 6);
    if (pending() < kHeaderLength + length + padding) return 0;
    record->type = static_cast<int>(Byte(b, h + 1));
    record->requestid = static_cast<int>((Byte(b, h + 2) << 8) | Byte(b, h + 3));
    record->content.assign(b, h + kHeaderLength, length);
    start_ += kHeaderLength + length + padding;
    return 1;
}

bool ReadNameValuePairs(const std::string& data,
                        std::vector<std::pair<std::string, std::string>>* pairs) {
    size_t at = 0;
    while (at < data.size()) {
        size_t namelength, valuelength;
        if (!ReadLength(data, &at, &namelength) || !ReadLength(data, &at, &valuelength))
            return false;
        if (namelength > data.size() - at || valuelength > data.size() - at - namelength)
            return false;
        pairs->emplace_back(data.substr(at, namelength), data.substr(at + namelength, valuelength));
        at += namelength + valuelength;
    }
    return true;
}

void AppendNameValuePair(std::string* out, const std::string& name, const std::string& value) {
    AppendLength(out, name.size());
    AppendLength(out, value.size());
    out->append(name);
    out->append(value);
}

void AppendRecord(std::string* out, int type, int requestid, const char* data, size_t n) {
    do {
        size_t length = n < kMaxContent ? n : kMaxContent;
        size_t padding = (8 - length % 8) % 8;
        AppendHeader(out, type, requestid, length, padding);
        out->append(data, length);
        out->append(padding, '\0');
        data += length;
        n -= length;
    } while (n > 0);
}

void AppendEndRequest(std::string* out, int requestid, unsigned appstatus, int protocolstatus) {
    char body[8] = {static_cast<char>((appstatus >> 24) & 0xff),
                    static_cast<char>((appstatus >> 16) & 0xff),
                    static_cast<char>((appstatus >> 8) & 0xff),
                    static_cast<char>(appstatus & 0xff),
                    static_cast<char>(protocolstatus),
                    0,
                    0,
                    0};
    AppendRecord(out, kEndRequest, requestid, body, sizeof body);
}

void AppendUnknownType(std::string* out, int type) {
    char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
    AppendRecord(out, kUnknownType, 0, body, sizeof body);
}

RequestAssembler::State RequestAssembler::Take(const Record& record) {
    if (state_ == kBroken) return state_;
    if (record.requestid == 0) return Management(record);
    if (record.type == kBeginRequest) return Begin(record);
    // Records of a request that is not the open one are passed over.
    if (state_ != kReading || record.requestid != requestid_) return state_;
    switch (record.type) {
        case kAbortRequest:
            return state_ = kAborted;
        case kParams:
            if (!Stream(record, limits_.maxparamsbytes, &rawparams_, &paramsdone_, &paramstoolong_))
                return Broken();
            if (paramsdone_ && record.content.empty()) {
                EndParams();
                if (state_ == kBroken) return state_;
            }
            break;
        case kStdin:
            if (!Stream(record, limits_.maxcontentlength, &body_, &bodydone_, &bodytoolong_))
                return Broken();
            break;
        default:
            break;  // DATA and types a responder does not take
    }
    if (paramsdone_ && bodydone_) state_ = kComplete;
    return state_;
}

RequestAssembler::State RequestAssembler::Begin(const Record& record) {
    if (record.content.size() != 8) return Broken();
    if (state_ != kWaiting) {
        // One request at a time: another on this connection is turned away; the open
        // one beginning again is a peer that lost count.
        if (record.requestid == requestid_) return Broken();
        AppendEndRequest(&replies_, record.requestid, 0, kCantMultiplex);
        return state_;
    }
    int role = static_cast<int>((Byte(record.content, 0) << 8) | Byte(record.content, 1));
    bool keep = (Byte(record.content, 2) & kKeepConnection) != 0;
    if (role != kResponder) {
        AppendEndRequest(&replies_, record.requestid, 0, kUnknownRole);
        keep_ = keep;
        return state_;
    }
    Reset();
    requestid_ = record.requestid;
    keep_ = keep;
    return state_ = kReading;
}

RequestAssembler::State RequestAssembler::Management(const Record& record) {
    if (record.type != kGetValues) {
        AppendUnknownType(&replies_, record.type);
        return state_;
    }
    std::vector<std::pair<std::string, std::string>> asked;
    if (!ReadNameValuePairs(record.content, &asked)) return Broken();
    std::string answer;
    for (const auto& pair : asked) {
        const std::string& name = pair.first;
        if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") {
            AppendNameValuePair(&answer, name, std::to_string(limits_.maxconnections));
        } else if (name == "FCGI_MPXS_CONNS") {
            AppendNameValuePair(&answer, name, "0");
        }
    }
    AppendRecord(&replies_, kGetValuesResult, 0, answer.data(), answer.size());
    return state_;
}

bool RequestAssembler::Stream(const Record& record, size_t limit, std::string* kept, bool* done,
                              bool* toolong) {
    if (*done) return false;  // more of a stream that has ended
    if (record.content.empty()) {
        *done = true;
    } else if (*toolong || kept->size() + record.content.size() > limit) {
        *toolong = true;
        kept->clear();
    } else {
        *kept += record.content;
    }
    return true;
}

void RequestAssembler::EndParams() {
    if (paramstoolong_) return;
    if (!ReadNameValuePairs(rawparams_, &params_)) Broken();
    rawparams_.clear();
}

void RequestAssembler::Reset() {
    state_ = kWaiting;
    requestid_ = 0;
    paramsdone_ = bodydone_ = paramstoolong_ = bodytoolong_ = false;
    rawparams_.clear();
    params_.clear();
    body_.clear();
}

}  // namespace fastcgi
