// Output, StandardOutput and StringOutput.

#include "foundation/output.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

Output::Output(int size)
    : size_(size < 1 ? 1 : size), buffer_(nullptr), capacity_(0), used_(0), inwhitespace_(0) {}

Output::~Output() {
    delete[] buffer_;
}

void Output::Reserve(int n) {
    if (n <= capacity_) return;
    // Doubling from a small start: a page of text costs a few copies, a short one
    // no more memory than it needs.
    int capacity = capacity_ > 0 ? capacity_ : 256;
    while (capacity < n) capacity = capacity > size_ / 2 ? size_ : capacity * 2;
    if (capacity > size_) capacity = size_;
    char* bigger = new char[capacity];
    if (used_ > 0) memcpy(bigger, buffer_, used_);
    delete[] buffer_;
    buffer_ = bigger;
    capacity_ = capacity;
}

int Output::WriteLong(const char* s, int n) {
    if (s == nullptr) return 0;
    if (n < 0) n = static_cast<int>(strlen(s));
    if (n == 0) return 0;  // (the buffer may not exist yet)
    if (n <= size_) {
        if (used_ + n > size_) Flush();
        Reserve(used_ + n);
        memcpy(buffer_ + used_, s, n);
        used_ += n;
        return n;
    }
    // Larger than the buffer: fill it piece by piece so DoWrite() always sees whole
    // buffers, and keep the tail.
    Reserve(size_);
    int done = 0;
    while (done < n) {
        if (used_ == size_) Flush();
        int piece = size_ - used_;
        if (piece > n - done) piece = n - done;
        memcpy(buffer_ + used_, s + done, piece);
        used_ += piece;
        done += piece;
        if (used_ == size_) Flush();
    }
    return n;
}

int Output::Flush() {
    int result = DoWrite(buffer_ != nullptr ? buffer_ : "", used_);
    used_ = 0;
    return result;
}

StandardOutput::~StandardOutput() {
    Flush();
}

int StandardOutput::DoWrite(const char* s, int n) {
    if (beforewrite_ != nullptr) beforewrite_(beforewritedata_);
    return Send(s, n);
}

int StandardOutput::Send(const char* s, int n) {
    // A single write() may be cut short by a signal or a full pipe; losing the rest
    // of a page is never acceptable, so write until everything is out.
    int done = 0;
    while (done < n) {
        ssize_t w = write(1, s + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        done += static_cast<int>(w);
    }
    return n;
}

StringOutput::~StringOutput() {
    Flush();
}

int StringOutput::DoWrite(const char* s, int n) {
    data_.cat(s, n);
    return n;
}
