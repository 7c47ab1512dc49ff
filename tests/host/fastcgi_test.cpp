// The FastCGI record layer: records taken from bytes however they are split, requests
// put together from their records, the answers to management queries and to a second
// request on a connection, and peers that lie about lengths, ids and versions.

#include "host/fastcgi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace fastcgi;

namespace {

std::string Begin(int id, int role = kResponder, int flags = kKeepConnection) {
    char body[8] = {static_cast<char>(role >> 8),
                    static_cast<char>(role),
                    static_cast<char>(flags),
                    0,
                    0,
                    0,
                    0,
                    0};
    std::string out;
    AppendRecord(&out, kBeginRequest, id, body, 8);
    return out;
}

std::string Stream(int type, int id, const std::string& content) {
    std::string out;
    if (!content.empty()) AppendRecord(&out, type, id, content.data(), content.size());
    AppendRecord(&out, type, id, nullptr, 0);
    return out;
}

std::string Params(int id, const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string raw;
    for (const auto& p : pairs) AppendNameValuePair(&raw, p.first, p.second);
    return Stream(kParams, id, raw);
}

// Feeds bytes in pieces of `piece` bytes and gives every record taken to the assembler.
RequestAssembler::State Deliver(RequestAssembler* a, const std::string& bytes,
                                size_t piece = 1 << 20) {
    RecordReader reader;
    Record r;
    RequestAssembler::State s = a->state();
    for (size_t at = 0; at < bytes.size(); at += piece) {
        reader.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
        int got;
        while ((got = reader.Next(&r)) == 1) s = a->Take(r);
        if (got < 0) return RequestAssembler::kBroken;
    }
    return s;
}

// The records in bytes, as (type, id, content).
std::vector<Record> Records(const std::string& bytes) {
    RecordReader reader;
    reader.Feed(bytes.data(), bytes.size());
    std::vector<Record> out;
    Record r;
    while (reader.Next(&r) == 1) out.push_back(r);
    EXPECT_EQ(0u, reader.pending());
    return out;
}

}  // namespace

TEST(FastCGI, RecordsAreWrittenPaddedAndSplit) {
    std::string out;
    std::string big(70000, 'x');
    AppendRecord(&out, kStdout, 258, big.data(), big.size());
    // 65535 bytes (padded by 1) and 4465 bytes (padded by 7).
    ASSERT_EQ(8 + 65535 + 1 + 8 + 4465 + 7, out.size());
    EXPECT_EQ(0, out.size() % 8);
    std::vector<Record> records = Records(out);
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(kStdout, records[0].type);
    EXPECT_EQ(258, records[0].requestid);
    EXPECT_EQ(big, records[0].content + records[1].content);
    out.clear();
    AppendEndRequest(&out, 7, 0x01020304, kRequestComplete);
    records = Records(out);
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(std::string("\x01\x02\x03\x04\x00\x00\x00\x00", 8), records[0].content);
}

TEST(FastCGI, NameValuePairsOfEveryLength) {
    std::string raw;
    std::string longvalue(200, 'v');
    AppendNameValuePair(&raw, "A", "");
    AppendNameValuePair(&raw, "QUERY_STRING", longvalue);  // a four-byte length
    std::vector<std::pair<std::string, std::string>> pairs;
    ASSERT_TRUE(ReadNameValuePairs(raw, &pairs));
    ASSERT_EQ(2u, pairs.size());
    EXPECT_EQ("A", pairs[0].first);
    EXPECT_EQ("", pairs[0].second);
    EXPECT_EQ(longvalue, pairs[1].second);
    // Every cut short of the whole is refused, never read past its end.
    for (size_t n = 1; n < raw.size(); n++) {
        pairs.clear();
        std::string cut = raw.substr(0, n);
        if (n == 3) continue;  // "A" and its empty value: a whole pair
        EXPECT_FALSE(ReadNameValuePairs(cut, &pairs)) << n;
    }
    // A four-byte length that claims more than there is.
    pairs.clear();
    EXPECT_FALSE(ReadNameValuePairs(std::string("\x80\x00\x10\x00\x01"
                                                "ab",
                                                7),
                                    &pairs));
}

TEST(FastCGI, ARequestFromItsRecordsHoweverTheBytesAreSplit) {
    std::string bytes = Begin(1) + Params(1, {{"SCRIPT_NAME", "/a.kp"}, {"QUERY_STRING", "x=1"}}) +
                        Stream(kStdin, 1, "name=value");
    for (size_t piece : {1, 3, 8, 9, 1000}) {
        SCOPED_TRACE(piece);
        RequestAssembler a{Limits()};
        ASSERT_EQ(RequestAssembler::kComplete, Deliver(&a, bytes, piece));
        EXPECT_EQ(1, a.requestid());
        EXPECT_TRUE(a.keepconnection());
        ASSERT_EQ(2u, a.params().size());
        EXPECT_EQ("QUERY_STRING", a.params()[1].first);
        EXPECT_EQ("x=1", a.params()[1].second);
        EXPECT_EQ("name=value", a.body());
        EXPECT_TRUE(a.replies().empty());
    }
    // Not complete until both streams have ended.
    RequestAssembler a{Limits()};
    EXPECT_EQ(RequestAssembler::kReading, Deliver(&a, Begin(1) + Params(1, {{"A", "1"}})));
    EXPECT_EQ(RequestAssembler::kComplete, Deliver(&a, Stream(kStdin, 1, "")));
    // The next request on the connection starts clean.
    a.Reset();
    EXPECT_EQ(RequestAssembler::kComplete,
              Deliver(&a, Begin(2) + Params(2, {}) + Stream(kStdin, 2, "")));
    EXPECT_TRUE(a.params().empty());
    EXPECT_TRUE(a.body().empty());
}

TEST(FastCGI, ManagementQueriesAndOtherRolesAreAnswered) {
    RequestAssembler a{Limits()};
    std::string query;
    AppendNameValuePair(&query, "FCGI_MPXS_CONNS", "");
    AppendNameValuePair(&query, "FCGI_MAX_REQS", "");
    AppendNameValuePair(&query, "SOMETHING_ELSE", "");
    std::string bytes;
    AppendRecord(&bytes, kGetValues, 0, query.data(), query.size());
    AppendRecord(&bytes, 42, 0, "12345678", 8);  // a management type nobody knows
    bytes += Begin(3, kAuthorizer);
    EXPECT_EQ(RequestAssembler::kWaiting, Deliver(&a, bytes));
    std::vector<Record> replies = Records(a.replies());
    ASSERT_EQ(3u, replies.size());
    EXPECT_EQ(kGetValuesResult, replies[0].type);
    std::vector<std::pair<std::string, std::string>> values;
    ASSERT_TRUE(ReadNameValuePairs(replies[0].content, &values));
    ASSERT_EQ(2u, values.size());
    EXPECT_EQ("0", values[0].second);  // no multiplexing
    EXPECT_EQ("1", values[1].second);
    EXPECT_EQ(kUnknownType, replies[1].type);
    EXPECT_EQ(42, replies[1].content[0]);
    EXPECT_EQ(kEndRequest, replies[2].type);
    EXPECT_EQ(3, replies[2].requestid);
    EXPECT_EQ(kUnknownRole, replies[2].content[4]);
}

TEST(FastCGI, OneRequestAtATime) {
    RequestAssembler a{Limits()};
    std::string bytes = Begin(1) + Begin(2) + Params(2, {{"X", "y"}}) + Params(1, {{"A", "b"}}) +
                        Stream(kStdin, 1, "");
    ASSERT_EQ(RequestAssembler::kComplete, Deliver(&a, bytes));
    ASSERT_EQ(1u, a.params().size());  // the other request's records were passed over
    EXPECT_EQ("A", a.params()[0].first);
    std::vector<Record> replies = Records(a.replies());
    ASSERT_EQ(1u, replies.size());
    EXPECT_EQ(2, replies[0].requestid);
    EXPECT_EQ(kCantMultiplex, replies[0].content[4]);
    // An abort of the open request ends it before it runs.
    RequestAssembler b{Limits()};
    std::string abort;
    AppendRecord(&abort, kAbortRequest, 5, nullptr, 0);
    EXPECT_EQ(RequestAssembler::kAborted, Deliver(&b, Begin(5) + abort));
}

TEST(FastCGI, RequestsOverTheirLimitsAreMarkedNotKept) {
    Limits limits;
    limits.maxparamsbytes = 100;
    limits.maxcontentlength = 10;
    RequestAssembler a(limits);
    std::string bytes = Begin(1) + Params(1, {{"HTTP_COOKIE", std::string(200, 'c')}}) +
                        Stream(kStdin, 1, std::string(11, 'b'));
    ASSERT_EQ(RequestAssembler::kComplete, Deliver(&a, bytes));
    EXPECT_TRUE(a.paramstoolong());
    EXPECT_TRUE(a.bodytoolong());
    EXPECT_TRUE(a.params().empty());
    EXPECT_TRUE(a.body().empty());
    RequestAssembler b(limits);
    ASSERT_EQ(
        RequestAssembler::kComplete,
        Deliver(&b, Begin(1) + Params(1, {{"A", "b"}}) + Stream(kStdin, 1, std::string(10, 'b'))));
    EXPECT_FALSE(b.paramstoolong());
    EXPECT_FALSE(b.bodytoolong());
}

TEST(FastCGI, PeersThatLieEndTheirConnection) {
    struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"a BEGIN_REQUEST body of the wrong length",
         [] {
             std::string b;
             AppendRecord(&b, kBeginRequest, 1, "\x00\x01", 2);
             return b;
         }()},
        {"the open request begun again", Begin(1) + Begin(1)},
        {"parameters after their end", Begin(1) + Params(1, {}) + Params(1, {{"A", "b"}})},
        {"a body after its end", Begin(1) + Stream(kStdin, 1, "") + Stream(kStdin, 1, "x")},
        {"parameters whose lengths run past their end", Begin(1) + Stream(kParams, 1,
                                                                          std::string("\x05\x01"
                                                                                      "ab",
                                                                                      4))},
        {"a management query whose lengths run past its end",
         [] {
             std::string b;
             AppendRecord(&b, kGetValues, 0, "\x7f\x00", 2);
             return b;
         }()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RequestAssembler a{Limits()};
        EXPECT_EQ(RequestAssembler::kBroken, Deliver(&a, c.bytes));
        // and it stays broken
        EXPECT_EQ(RequestAssembler::kBroken, a.Take(Record()));
    }
    // A version other than 1 ends the connection before any record is taken, and so
    // does every record after it.
    RecordReader broken;
    std::string v2("\x02\x01\x00\x01\x00\x00\x00\x00", 8);
    broken.Feed(v2.data(), v2.size());
    Record r;
    EXPECT_EQ(-1, broken.Next(&r));
    std::string more = Begin(1);
    broken.Feed(more.data(), more.size());
    EXPECT_EQ(-1, broken.Next(&r));
    // A record that has not all come is waited for, not read past.
    RecordReader reader;
    std::string b = Begin(1);
    reader.Feed(b.data(), b.size() - 1);
    EXPECT_EQ(0, reader.Next(&r));
    reader.Feed(b.data() + b.size() - 1, 1);
    EXPECT_EQ(1, reader.Next(&r));
}
