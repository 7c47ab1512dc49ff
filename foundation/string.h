// String: the engine's owned, length-counted, always NUL-terminated byte string,
// and split(), which cuts a string into parts at a separator.

#ifndef FOUNDATION_STRING_H_
#define FOUNDATION_STRING_H_

#include <string.h>

// A byte string with value semantics. Every name, value, path and message in the
// engine is a String; there is no locale and no encoding.
//
// Invariants:
// - data_[length_] == '\0' at all times, so chars() can be handed to C calls.
// - The length, not the NUL, is authoritative for length-counted operations
//   (assign with a count, at, upcase, lowcase, search, copying). Operations built on
//   NUL-terminated text (prepend, after(int), from(int), the whitespace operations,
//   gsub's final store, appending another String) stop at the first NUL.
// - A buffer of one step (24 bytes) is held inside the object itself, so short
//   strings cost no allocation; larger buffers are heap memory.
// - Capacity grows in steps of 24 bytes: a buffer allocated for n bytes of content
//   gets n + 1 rounded up to a multiple of 24. Appending to a full buffer grows it by
//   one 24-byte step while the needed capacity stays within kLinearGrowthLimit;
//   beyond that it grows by at least half its size, so appending n bytes one at a
//   time costs O(n) copying in total.
//
// Whitespace is exactly space, tab, CR and LF.
class String {
  public:
    // Largest capacity reached by 24-byte steps alone.
    static const int kLinearGrowthLimit = 4096;
    static const int kStep = 24;

    String() : data_(inline_), capacity_(kStep), length_(0) { inline_[0] = '\0'; }
    // Null s gives an empty string; n == -1 means strlen(s).
    String(const char* s, int n = -1);
    String(const String& other) : data_(inline_), capacity_(kStep), length_(other.length_) {
        // Every buffer holds at least kStep bytes, so a short value is copied whole.
        if (other.capacity_ == kStep) {
            memcpy(inline_, other.data_, kStep);
        } else {
            CopyLong(other);
        }
    }
    ~String() {
        if (data_ != inline_) delete[] data_;
    }

    // Copies length bytes (NULs survive).
    String& operator=(const String& other) {
        if (other.length_ < kStep && capacity_ == kStep) {
            // Short into short: both buffers hold at least kStep bytes.
            if (this != &other) memcpy(inline_, other.data_, kStep);
            inline_[other.length_] = '\0';
            length_ = other.length_;
            return *this;
        }
        if (this != &other) assign(other.data_, other.length_);
        return *this;
    }
    String& operator=(const char* s);
    String& operator+=(const String& s) { return cat(s.data_, -1); }
    String& operator+=(const char* s) { return cat(s, -1); }
    String& operator+=(char c) { return cat(c); }

    // Exchanges the values of two strings; long values change hands without a copy.
    void Swap(String* other);

    // Storage.
    String& assign(char c) {
        if (capacity_ != kStep) return assign(&c, 1);
        data_[0] = c;
        data_[1] = '\0';
        length_ = 1;
        return *this;
    }
    String& assign(const char* s, int n = -1);
    String& cat(char c);
    String& cat(const char* s, int n = -1);
    String& prepend(char c);
    String& prepend(const char* s);
    // Appends the decimal form of v.
    String& catint(long v);
    void clear() {
        if (capacity_ == kStep) {
            data_[0] = '\0';
            length_ = 0;
        } else {
            assign("", 0);
        }
    }

    // Access.
    const char* chars() const { return data_; }
    int length() const { return length_; }
    int capacity() const { return capacity_; }
    bool empty() const { return length_ == 0; }
    // Byte at i, or NUL when i is outside [0, length).
    char operator[](int i) const { return (i >= 0 && i < length_) ? data_[i] : '\0'; }

    // Extraction; positions are 0-based. See the notes on each for missing separators:
    // before() returns the whole string, after() and from() return empty.
    String before(int i) const;
    String before(const char* s) const;
    String before(char c) const;
    String after(int i) const;
    String after(const char* s, int start = 0) const;
    String after(char c) const;
    String from(int i) const;
    String from(const char* s, int start = 0) const;
    String from(char c) const;
    // Bytes from start up to (not including) min(end, length). end is a position.
    String at(int start, int end) const;
    String upper() const;
    String lower() const;
    String padl(int width, char c) const;
    String padr(int width, char c) const;

    // Searching; all case-sensitive except matches().
    int search(const char* s, int start = 0) const;
    int index(const char* s) const { return search(s, 0); }
    bool contains(const char* s, int start = 0) const { return search(s, start) != -1; }
    bool contains(char c, int start = 0) const;
    // Case-insensitive: the rest of the string from pos equals all of s.
    bool matches(const char* s, int pos = 0) const;
    bool matches(char c, int pos) const;
    // Occurrences of s, overlapping ones included.
    int freq(const char* s) const;

    // In-place edits.
    void upcase();
    void lowcase();
    void StripWhitespace();
    // A copy without leading and trailing whitespace.
    String trimmed() const {
        String t(*this);
        t.StripWhitespace();
        return t;
    }
    void ltrim();
    // Every maximal run of whitespace becomes its first byte.
    void CompressWhitespace();
    // Replaces every non-overlapping occurrence of from, left to right; null to deletes.
    void gsub(const char* from, const char* to);

    bool operator==(const String& o) const;
    bool operator!=(const String& o) const { return !(*this == o); }
    bool operator==(const char* s) const;
    bool operator!=(const char* s) const { return !(*this == s); }

    static String FromInt(long v);
    static bool IsWhitespace(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
    // Capacity for n bytes of content: n + 1 rounded up to a multiple of 24.
    static int RoundCapacity(long n);

  private:
    // Replaces the buffer with one of the given capacity holding the first keep bytes.
    void Reallocate(int capacity, int keep);
    // Capacity to grow to when content of n bytes must fit.
    int GrowthCapacity(long n) const;
    // Replaces the content with a NUL-terminated result that fits the buffer.
    void StoreNulTerminated(const char* result);
    // Frees the buffer unless it is the inline one.
    void Release();
    // Makes fresh (a heap buffer of capacity bytes, content included) the buffer.
    void Install(char* fresh, int capacity);
    // The copy constructor's part for a value in a heap buffer.
    void CopyLong(const String& other);

    char* data_;  // inline_ while the capacity is one step, else owned heap memory
    int capacity_;
    int length_;
    char inline_[kStep];  // the buffer of short strings: no allocation for them
};

String operator+(const String& a, const String& b);
String operator+(const String& a, const char* b);
String operator+(const char* a, const String& b);
String operator+(const String& a, char b);

// Cuts text at every occurrence of sep into at most max parts stored in parts[0..].
// Text after the last separator used is dropped once max parts are stored; a trailing
// remainder is stored only if non-empty. An empty separator stores the whole text as
// one part. Returns the number of parts stored.
// REQUIRES: parts holds at least max elements.
int split(const String& text, String* parts, int max, const String& sep);

#endif  // FOUNDATION_STRING_H_
