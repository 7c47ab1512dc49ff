// Output: the buffered byte sink that every byte the engine produces goes through,
// and its two foundation subclasses, StandardOutput and StringOutput.

#ifndef FOUNDATION_OUTPUT_H_
#define FOUNDATION_OUTPUT_H_

#include "foundation/string.h"

// A buffer of fixed size in front of one primitive, DoWrite(). Writes up to the
// buffer size are collected and reach DoWrite() when the next write would not fit;
// larger writes go out in pieces of exactly the buffer size with the remainder kept.
// A write that fills the buffer exactly does not flush. The memory behind the buffer
// is taken as writes need it (most outputs never fill theirs, and many stay empty).
//
// The whitespace state is kept for the interpreter (whether the last text written
// ended in compressed whitespace); the stream never reads or changes it.
//
// Subclasses call Flush() in their destructors so nothing written is lost.
class Output {
  public:
    // REQUIRES: size >= 1.
    explicit Output(int size);
    virtual ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Writes n bytes of s (n == -1: up to its NUL). Returns the count requested.
    int Write(const char* s, int n = -1) {
        // A short piece that fits the buffer: the common case, text between tags.
        if (s == nullptr || n < 0 || n > 32 || n > capacity_ - used_) return WriteLong(s, n);
        char* to = buffer_ + used_;
        used_ += n;
        for (int i = 0; i < n; i++) to[i] = s[i];
        return n;
    }
    int Write(const String& s) { return Write(s.chars(), s.length()); }
    // Hands the buffered bytes (possibly none) to DoWrite() and empties the buffer.
    // Returns DoWrite()'s result.
    virtual int Flush();
    virtual int DoWrite(const char* s, int n) = 0;
    int& inwhitespace() { return inwhitespace_; }

    int size() const { return size_; }
    int used() const { return used_; }

  private:
    // Write() when the bytes do not fit the buffer as it is.
    int WriteLong(const char* s, int n);
    // Makes room for at least n bytes (n <= size_) in the buffer.
    void Reserve(int n);

    int size_;
    char* buffer_;  // owned, capacity_ bytes; null until the first write
    int capacity_;
    int used_;
    int inwhitespace_;
};

// Writes to file descriptor 1.
class StandardOutput : public Output {
  public:
    explicit StandardOutput(int size) : Output(size) {}
    ~StandardOutput() override;
    // hook(data) runs before each write to the descriptor (which may wait for the
    // reader): the host lets go there of what others may be waiting for.
    void SetBeforeWrite(void (*hook)(void*), void* data) {
        beforewrite_ = hook;
        beforewritedata_ = data;
    }
    // Runs the hook, then sends the bytes.
    int DoWrite(const char* s, int n) override;

  protected:
    // Writes all n bytes to standard output, retrying after short writes and
    // interrupted calls; returns n, or -1 when the descriptor fails. A host that
    // frames its output (FastCGI) sends them its own way.
    virtual int Send(const char* s, int n);

  private:
    void (*beforewrite_)(void*) = nullptr;
    void* beforewritedata_ = nullptr;
};

// Collects everything written in a String.
class StringOutput : public Output {
  public:
    explicit StringOutput(int size) : Output(size) {}
    ~StringOutput() override;
    int DoWrite(const char* s, int n) override;
    // What has reached DoWrite(); call Flush() first to include buffered bytes.
    String& data() { return data_; }

  private:
    String data_;
};

#endif  // FOUNDATION_OUTPUT_H_
