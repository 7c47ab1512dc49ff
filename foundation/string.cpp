// String and split().

#include "foundation/string.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int Upper(int c) {
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
}
int Lower(int c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// Largest capacity we allow; beyond it the length would not fit in an int.
const long kMaxCapacity = INT_MAX - String::kStep;

}  // namespace

int String::RoundCapacity(long n) {
    long c = (n + 1 + kStep - 1) / kStep * kStep;
    if (n < 0 || c > kMaxCapacity) abort();  // no String can be this long
    return static_cast<int>(c);
}

int String::GrowthCapacity(long n) const {
    int c = RoundCapacity(n);
    if (c <= kLinearGrowthLimit) return c;
    // Past the linear range, grow by half so that byte-wise appends stay linear.
    long geometric = static_cast<long>(capacity_) + capacity_ / 2;
    if (geometric > kMaxCapacity - kStep) geometric = kMaxCapacity - kStep;
    if (geometric > c) c = RoundCapacity(geometric);
    return c;
}

String::String(const char* s, int n) : data_(inline_), capacity_(kStep), length_(0) {
    inline_[0] = '\0';
    if (s != nullptr) assign(s, n);
}

void String::CopyLong(const String& other) {
    data_ = new char[other.capacity_];
    capacity_ = other.capacity_;
    memcpy(data_, other.data_, length_ + 1);
}

void String::Release() {
    if (data_ != inline_) delete[] data_;
}

void String::Install(char* fresh, int capacity) {
    Release();
    if (capacity == kStep) {
        // A one-step buffer lives inside the object.
        memcpy(inline_, fresh, kStep);
        delete[] fresh;
        fresh = inline_;
    }
    data_ = fresh;
    capacity_ = capacity;
}

String& String::operator=(const char* s) {
    if (s == nullptr) return assign("", 0);
    return assign(s, -1);
}

void String::Reallocate(int capacity, int keep) {
    char* fresh = new char[capacity];
    memcpy(fresh, data_, keep);
    fresh[keep] = '\0';
    Install(fresh, capacity);
}

String& String::assign(const char* s, int n) {
    if (s == nullptr) s = "", n = 0;
    if (n < 0) n = static_cast<int>(strlen(s));
    if (n < kStep && capacity_ == kStep) {
        // Short into short: the common case, without the capacity arithmetic.
        memmove(data_, s, n);
        data_[n] = '\0';
        length_ = n;
        return *this;
    }
    int capacity = RoundCapacity(n);
    if (capacity == capacity_) {
        // The buffer already has the capacity assign() gives: reuse it (s may point
        // into it, hence memmove).
        memmove(data_, s, n);
        data_[n] = '\0';
        length_ = n;
        return *this;
    }
    if (capacity == kStep) {
        // s may lie in the heap buffer about to be released: copy first.
        memmove(inline_, s, n);
        inline_[n] = '\0';
        Release();
        data_ = inline_;
    } else {
        char* fresh = new char[capacity];
        memcpy(fresh, s, n);
        fresh[n] = '\0';
        Release();
        data_ = fresh;
    }
    capacity_ = capacity;
    length_ = n;
    return *this;
}

String& String::cat(char c) {
    if (length_ + 1 >= capacity_) Reallocate(GrowthCapacity(length_ + 1), length_);
    data_[length_++] = c;
    data_[length_] = '\0';
    return *this;
}

String& String::cat(const char* s, int n) {
    if (s == nullptr) return *this;
    if (n < 0) n = static_cast<int>(strlen(s));
    if (n == 0) return *this;
    long needed = static_cast<long>(length_) + n;
    if (needed + 1 > capacity_) {
        // s may point into our buffer, so keep the old one alive until s is copied.
        int capacity = GrowthCapacity(needed);
        char* fresh = new char[capacity];
        memcpy(fresh, data_, length_);
        memcpy(fresh + length_, s, n);
        Install(fresh, capacity);
    } else {
        memmove(data_ + length_, s, n);
    }
    length_ = static_cast<int>(needed);
    data_[length_] = '\0';
    return *this;
}

String& String::prepend(char c) {
    char s[2] = {c, '\0'};
    return prepend(s);
}

String& String::prepend(const char* s) {
    if (s == nullptr) s = "";
    size_t front = strlen(s);
    size_t back = strlen(data_);
    long total = static_cast<long>(front + back);
    int capacity = total < capacity_ ? capacity_ : RoundCapacity(total);
    char* fresh = new char[capacity];
    memcpy(fresh, s, front);
    memcpy(fresh + front, data_, back);
    fresh[total] = '\0';
    Install(fresh, capacity);
    length_ = static_cast<int>(total);
    return *this;
}

void String::Swap(String* other) {
    bool mine = data_ == inline_;
    bool theirs = other->data_ == other->inline_;
    if (mine && theirs) {
        char held[kStep];
        memcpy(held, inline_, kStep);
        memcpy(inline_, other->inline_, kStep);
        memcpy(other->inline_, held, kStep);
    } else if (!mine && !theirs) {
        char* data = data_;
        data_ = other->data_;
        other->data_ = data;
        int capacity = capacity_;
        capacity_ = other->capacity_;
        other->capacity_ = capacity;
    } else {
        // The short value moves into the long one's own buffer, the long buffer over.
        String* small = mine ? this : other;
        String* large = mine ? other : this;
        char* data = large->data_;
        int capacity = large->capacity_;
        memcpy(large->inline_, small->inline_, kStep);
        large->data_ = large->inline_;
        large->capacity_ = kStep;
        small->data_ = data;
        small->capacity_ = capacity;
    }
    int length = length_;
    length_ = other->length_;
    other->length_ = length;
}

String& String::catint(long v) {
    static const char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    unsigned long u = v < 0 ? 0UL - static_cast<unsigned long>(v) : static_cast<unsigned long>(v);
    // The digits are written straight into the buffer, last one first.
    static const unsigned long kPowers[20] = {1UL,
                                              10UL,
                                              100UL,
                                              1000UL,
                                              10000UL,
                                              100000UL,
                                              1000000UL,
                                              10000000UL,
                                              100000000UL,
                                              1000000000UL,
                                              10000000000UL,
                                              100000000000UL,
                                              1000000000000UL,
                                              10000000000000UL,
                                              100000000000000UL,
                                              1000000000000000UL,
                                              10000000000000000UL,
                                              100000000000000000UL,
                                              1000000000000000000UL,
                                              10000000000000000000UL};
    // log10 from the bit length (1233 / 4096 ~ log10(2)), corrected by one look-up.
    int bits = 64 - __builtin_clzl(u | 1);
    int n = (bits * 1233) >> 12;
    if (u >= kPowers[n]) n++;
    if (n == 0) n = 1;
    if (v < 0) n++;
    if (length_ + n >= capacity_)
        Reallocate(GrowthCapacity(static_cast<long>(length_) + n), length_);
    char* p = data_ + length_ + n;
    *p = '\0';
    while (u >= 100) {
        const char* pair = kPairs + (u % 100) * 2;
        u /= 100;
        *--p = pair[1];
        *--p = pair[0];
    }
    if (u >= 10) {
        *--p = kPairs[u * 2 + 1];
        *--p = kPairs[u * 2];
    } else {
        *--p = static_cast<char>('0' + u);
    }
    if (v < 0) *--p = '-';
    length_ += n;
    return *this;
}

String String::FromInt(long v) {
    String s;
    s.catint(v);
    return s;
}

String String::before(int i) const {
    if (i < 0) return String();
    if (i >= length_) return *this;
    return String(data_, i);
}

String String::before(const char* s) const {
    int p = search(s, 0);
    if (p < 0) return *this;
    return String(data_, p);
}

String String::before(char c) const {
    char s[2] = {c, '\0'};
    return before(s);
}

String String::after(int i) const {
    if (i + 1 > length_) return String();
    if (i < -1) i = -1;
    return String(data_ + i + 1);
}

String String::after(const char* s, int start) const {
    int p = search(s, start);
    if (p < 0) return String();
    return String(data_ + p + strlen(s));
}

String String::after(char c) const {
    char s[2] = {c, '\0'};
    return after(s, 0);
}

String String::from(int i) const {
    if (i + 1 > length_) return String();
    if (i < 0) i = 0;
    return String(data_ + i);
}

String String::from(const char* s, int start) const {
    int p = search(s, start);
    if (p < 0) return String();
    return String(data_ + p);
}

String String::from(char c) const {
    char s[2] = {c, '\0'};
    return from(s, 0);
}

String String::at(int start, int end) const {
    if (start < 0) start = 0;
    if (start >= length_) return String();
    if (end > length_) end = length_;
    if (end <= start) return String();
    return String(data_ + start, end - start);
}

String String::upper() const {
    String s(*this);
    s.upcase();
    return s;
}

String String::lower() const {
    String s(*this);
    s.lowcase();
    return s;
}

String String::padl(int width, char c) const {
    if (length_ >= width) return *this;
    String s;
    for (int i = length_; i < width; i++) s.cat(c);
    s.cat(data_, length_);
    return s;
}

String String::padr(int width, char c) const {
    String s(*this);
    while (s.length_ < width) s.cat(c);
    return s;
}

int String::search(const char* s, int start) const {
    if (s == nullptr || *s == '\0' || length_ == 0) return -1;
    if (start < 0) start = 0;
    size_t n = strlen(s);
    if (n > static_cast<size_t>(length_) || start >= length_) return -1;
    const void* hit = memmem(data_ + start, length_ - start, s, n);
    return hit ? static_cast<int>(static_cast<const char*>(hit) - data_) : -1;
}

bool String::contains(char c, int start) const {
    if (start < 0) start = 0;
    if (start >= length_) return false;
    return memchr(data_ + start, c, length_ - start) != nullptr;
}

bool String::matches(const char* s, int pos) const {
    if (s == nullptr || pos < 0) return false;
    long n = static_cast<long>(strlen(s));
    // The rest must be as long as s (a NUL inside the string makes it longer).
    if (n != length_ - pos) return false;
    for (int i = pos; i < length_; i++) {
        if (Upper(static_cast<unsigned char>(data_[i])) !=
            Upper(static_cast<unsigned char>(s[i - pos]))) {
            return false;
        }
    }
    return true;
}

bool String::matches(char c, int pos) const {
    if (pos < 0 || pos > length_) return false;
    return data_[pos] == c;
}

int String::freq(const char* s) const {
    int count = 0;
    for (int p = search(s, 0); p >= 0; p = search(s, p + 1)) count++;
    return count;
}

void String::upcase() {
    for (int i = 0; i < length_; i++) data_[i] = Upper(static_cast<unsigned char>(data_[i]));
}

void String::lowcase() {
    for (int i = 0; i < length_; i++) data_[i] = Lower(static_cast<unsigned char>(data_[i]));
}

void String::StoreNulTerminated(const char* result) {
    // result never lies in this string's buffer, and never needs more room.
    size_t n = strlen(result);
    memmove(data_, result, n + 1);
    length_ = static_cast<int>(n);
}

void String::StripWhitespace() {
    const char* begin = data_;
    while (IsWhitespace(static_cast<unsigned char>(*begin))) begin++;
    String rest(begin);
    int end = rest.length_;
    while (end > 0 && IsWhitespace(static_cast<unsigned char>(rest.data_[end - 1]))) end--;
    rest.data_[end] = '\0';
    StoreNulTerminated(rest.data_);
}

void String::ltrim() {
    const char* begin = data_;
    while (IsWhitespace(static_cast<unsigned char>(*begin))) begin++;
    String rest(begin);
    StoreNulTerminated(rest.data_);
}

void String::CompressWhitespace() {
    String out;
    bool in_run = false;
    for (const char* p = data_; *p; p++) {
        bool ws = IsWhitespace(static_cast<unsigned char>(*p));
        if (!ws || !in_run) out.cat(*p);
        in_run = ws;
    }
    StoreNulTerminated(out.data_);
}

void String::gsub(const char* from, const char* to) {
    int p = search(from, 0);
    if (p < 0) return;
    size_t n = strlen(from);
    String out;
    int done = 0;
    while (p >= 0) {
        out.cat(data_ + done, p - done);
        if (to) out.cat(to, -1);
        done = p + static_cast<int>(n);
        p = search(from, done);
    }
    out.cat(data_ + done, length_ - done);
    assign(out.data_, -1);
}

bool String::operator==(const String& o) const {
    return length_ == o.length_ && memcmp(data_, o.data_, length_) == 0;
}

bool String::operator==(const char* s) const {
    if (s == nullptr) return length_ == 0;
    return strlen(s) == static_cast<size_t>(length_) && memcmp(data_, s, length_) == 0;
}

String operator+(const String& a, const String& b) {
    String s(a);
    s += b;
    return s;
}

String operator+(const String& a, const char* b) {
    String s(a);
    s += b;
    return s;
}

String operator+(const char* a, const String& b) {
    String s(a);
    s += b;
    return s;
}

String operator+(const String& a, char b) {
    String s(a);
    s += b;
    return s;
}

int split(const String& text, String* parts, int max, const String& sep) {
    if (sep.empty()) {
        if (max <= 0) return 0;
        parts[0] = text;
        return 1;
    }
    int count = 0;
    int pos = 0;
    while (count < max) {
        int p = text.search(sep.chars(), pos);
        if (p < 0) {
            // The remainder counts only when something is left.
            if (pos < text.length()) parts[count++] = text.at(pos, text.length());
            return count;
        }
        parts[count++] = text.at(pos, p);
        pos = p + sep.length();
    }
    return count;
}
