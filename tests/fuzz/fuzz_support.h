// Shared pieces of the fuzz harnesses: a scratch directory per process, an engine
// whose every directory is that scratch directory, and a connection that serves a
// fixed text as what a server sent.

#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H_
#define TESTS_FUZZ_FUZZ_SUPPORT_H_

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "net/network.h"
#include "tests/support/test_engine.h"

// The engine of a harness: files stay in one scratch directory.
class FuzzKelp : public TestKelp {
  public:
    explicit FuzzKelp(const String& directory) {
        configure().datadirectory = directory;
        configure().scriptdirectory = directory;
        configure().tempdirectory = directory;
    }
    // A time limit counted in the interpreter's checks of it (one per tag and text
    // run) rather than in seconds: a loop ends after a fixed amount of work, so that
    // an input costs milliseconds, not the second a clock limit would let it run.
    void SetStepBudget(long steps) { steps_ = steps; }
    bool timedout() override {
        if (steps_ < 0) return TestKelp::timedout();
        if (steps_ == 0) return true;  // spent: stays spent
        steps_--;
        return false;
    }
    // The request body.
    std::string body;
    size_t position = 0;
    String contenttype;
    int ReadContent(char* buffer, int length) override {
        return ReadHeldContent(body, &position, buffer, length);
    }
    String RequestHeader(const String& name) override {
        if (name.matches("Content-Type")) return contenttype;
        if (name.matches("Content-Length")) return String::FromInt(static_cast<long>(body.size()));
        return String();
    }

  private:
    long steps_ = -1;  // negative: no budget
};

// What a server sent, served from memory; writes are dropped.
class MemoryConnection : public NetworkConnection {
  public:
    MemoryConnection(Kelp* engine, const uint8_t* data, size_t size)
        : NetworkConnection(engine), data_(reinterpret_cast<const char*>(data), size) {}
    int Connect(const String&, int, int) override { return 1; }
    long Read(char* buffer, long size, int) override {
        size_t n = data_.size() - position_;
        if (n > static_cast<size_t>(size)) n = static_cast<size_t>(size);
        memcpy(buffer, data_.data() + position_, n);
        position_ += n;
        return static_cast<long>(n);
    }
    int ReadLine(String* line, int, int limit = kMaxNetworkLine) override {
        line->clear();
        if (position_ >= data_.size()) return NetworkFailed;
        while (position_ < data_.size()) {
            char c = data_[position_++];
            line->cat(c);
            if (line->length() > limit) return NetworkTooLong;
            if (c == '\n') break;
        }
        return line->length();
    }
    long Write(const char*, long length) override { return length; }
    void Close() override { position_ = data_.size(); }
    bool open() const override { return true; }
    int StartTLS(const String&, int) override { return 0; }
    bool secure() const override { return false; }

  private:
    std::string data_;
    size_t position_ = 0;
};

// One scratch directory for the process, emptied between inputs by the harness.
const String& ScratchDirectory();
// Removes everything in the scratch directory.
void ClearScratch();
// Writes data to the scratch directory under name; the path.
String WriteScratch(const char* name, const uint8_t* data, size_t size);

#endif  // TESTS_FUZZ_FUZZ_SUPPORT_H_
