// BrnIndexFile: the header, opening, creating, locks and recovery, and how keys
// compare.

#include "data/index_file.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "data/index_layout.h"
#include "data/little_endian.h"
#include "foundation/time_helpers.h"
#include "script/encoding.h"

using namespace index_layout;

// ---------------------------------------------------------------------------
// BrnIndexFile: header, open and create

BrnIndexFile::BrnIndexFile(FileManager* files) : files_(files), file_(nullptr), cursorcount_(-1) {
    memset(header_, 0, sizeof header_);
}

BrnIndexFile::~BrnIndexFile() {
    Close();
}

bool BrnIndexFile::Error(const String& message) {
    error_ = message;
    return false;
}

long BrnIndexFile::updatecount() const {
    return static_cast<long>(GetLE(header_ + 5, 4));
}
long BrnIndexFile::numpages() const {
    return static_cast<long>(GetLE(header_ + 9, 4));
}
long BrnIndexFile::startingpage() const {
    return static_cast<long>(GetLE(header_ + 13, 4));
}
int BrnIndexFile::order() const {
    return static_cast<int>(GetLE(header_ + 17, 2));
}
int BrnIndexFile::pagesize() const {
    return static_cast<int>(GetLE(header_ + 19, 2));
}
int BrnIndexFile::keyrecordsize() const {
    return static_cast<int>(GetLE(header_ + 21, 2));
}
int BrnIndexFile::flags() const {
    return static_cast<int>(GetLE(header_ + 23, 4));
}
String BrnIndexFile::keyexpression() const {
    return String(reinterpret_cast<const char*>(header_ + 27),
                  static_cast<int>(strnlen(reinterpret_cast<const char*>(header_ + 27), 400)));
}
void BrnIndexFile::Setupdatecount(long v) {
    PutLE(header_ + 5, v, 4);
}
void BrnIndexFile::Setnumpages(long v) {
    PutLE(header_ + 9, v, 4);
}
void BrnIndexFile::Setstartingpage(long v) {
    PutLE(header_ + 13, v, 4);
}
void BrnIndexFile::Setflags(int v) {
    PutLE(header_ + 23, v, 4);
}
void BrnIndexFile::Setkeyexpression(const String& text) {
    memset(header_ + 27, 0, 400);
    memcpy(header_ + 27, text.chars(), text.length() > 399 ? 399 : text.length());
}

bool BrnIndexFile::ReadHeader() {
    if (cacheonly_) {
        // A read without the lock from cached pages only needs to know that the index
        // is still as the cache has it: the update count and no rollback record,
        // seen through the mapped header without a system call where it can be.
        unsigned char head[kJournal + 4];
        if (file_->Peek(0, head, sizeof head)) {
            if (static_cast<long>(GetLE(head + 5, 4)) == cachecount_ &&
                memcmp(head + kJournal, "JRNL", 4) != 0) {
                return true;
            }
            cachemiss_ = true;
            return false;
        }
    }
    memset(header_, 0, sizeof header_);
    // Under the lock the mapping shows what a read would.
    if (cacheonly_ || !file_->Peek(0, header_, kPageSize)) {
        long n =
            file_->Seek(0) == 0 ? file_->Read(reinterpret_cast<char*>(header_), kPageSize) : -1;
        if (n < kHeaderSize) {
            cache_.clear();
            cachecount_ = -1;
            if (n >= 0)
                return Error("'" + errorpath_ + "' is either corrupt or is not a valid index file");
            return Error("Error reading from '" + errorpath_ + "': " + file_->error());
        }
    }
    if (memcmp(header_ + kJournal, "JRNL", 4) == 0) {
        // An update was cut short: nothing may be read before it is undone.
        cache_.clear();
        cachecount_ = -1;
        if (cacheonly_) {
            cachemiss_ = true;
            return false;
        }
        if (!Recover()) return false;
    }
    if (updatecount() != cachecount_) {
        cache_.clear();
        cachecount_ = updatecount();
    }
    return CheckHeader();
}

bool BrnIndexFile::Recover() {
    int held = locktype_;
    if (held != FileExclusiveLock) {
        UnlockHeader();
        if (!LockHeader(FileExclusiveLock)) return false;
    }
    bool ok = file_->Seek(0) == 0 &&
              file_->Read(reinterpret_cast<char*>(header_), kPageSize) >= kHeaderSize;
    if (!ok) Error("Error reading from '" + errorpath_ + "': " + file_->error());
    if (ok && memcmp(header_ + kJournal, "JRNL", 4) == 0) {
        // Still there under the exclusive lock: put every copied page back, then the
        // page count and root from before, and count the change so that no cache
        // taken in between is trusted.
        long oldpages = static_cast<long>(GetLE(header_ + kJournal + 4, 4));
        long oldroot = static_cast<long>(GetLE(header_ + kJournal + 8, 4));
        long count = static_cast<long>(GetLE(header_ + kJournal + 12, 4));
        ok = count >= 0 && count <= kJournalEntries && oldroot >= 1 && oldroot < oldpages;
        for (long i = 0; ok && i < count; i++) {
            const unsigned char* entry = header_ + kJournal + 16 + i * 8;
            long page = static_cast<long>(GetLE(entry, 4));
            BrnIndexPage p(static_cast<long>(GetLE(entry + 4, 4)), kEntrySize, kPageSize);
            ok = page >= 1 && page < oldpages && p.ReadPage(file_) == kPageSize;
            if (ok) {
                BrnIndexPage back(page, kEntrySize, kPageSize);
                back.CopyFrom(p.bytes());
                ok = back.WritePage(file_);
            }
        }
        if (ok) {
            Setnumpages(oldpages);
            Setstartingpage(oldroot);
            Setupdatecount(updatecount() + 1);
            memset(header_ + kJournal, 0, kPageSize - kJournal);
            cache_.clear();
            cachecount_ = -1;
            ok = WriteHeader();
        } else {
            Error("Error reading from '" + errorpath_ + "': File is corrupt");
        }
    }
    if (held != FileExclusiveLock) {
        UnlockHeader();
        if (held == FileSharedLock && !LockHeader(FileSharedLock)) return false;
    }
    if (!ok) return false;
    // Read again under the lock held now: another process may have changed the index
    // while this one traded its lock.
    if (file_->Seek(0) != 0 ||
        file_->Read(reinterpret_cast<char*>(header_), kPageSize) < kHeaderSize) {
        return Error("Error reading from '" + errorpath_ + "': " + file_->error());
    }
    if (memcmp(header_ + kJournal, "JRNL", 4) == 0) {
        return Error("Error reading from '" + errorpath_ + "': File is corrupt");
    }
    return true;
}

long BrnIndexFile::ReadPage(BrnIndexPage* page) {
    if (updating_) {
        auto written = pending_.find(page->number());
        if (written != pending_.end()) {
            page->CopyFrom(written->second.data());
            return kPageSize;
        }
        // Under the exclusive lock the file holds what the cache would give: where it
        // is mapped, the page comes from there, and nothing is kept.
        if (page->PeekPage(file_)) return kPageSize;
    }
    auto cached = cache_.find(page->number());
    if (cached != cache_.end()) {
        page->CopyFrom(cached->second.data());
        return kPageSize;
    }
    if (cacheonly_) {
        cachemiss_ = true;
        return -1;
    }
    long n = page->PeekPage(file_) ? kPageSize : page->ReadPage(file_);
    if (n == kPageSize) Cache(page->number(), page->bytes());
    return n;
}

void BrnIndexFile::Cache(long number, const unsigned char* bytes) {
    if (cache_.size() >= 4096) cache_.clear();  // a bound on the memory it takes
    cache_[number].assign(bytes, bytes + kPageSize);
}

bool BrnIndexFile::CheckHeader() {
    if (memcmp(header_, "BRNI", 4) != 0) {
        return Error("'" + errorpath_ + "' is either corrupt or is not a valid index file");
    }
    if (version() >= 4) {
        return Error("'" + errorpath_ + "' was created by a newer version of the software");
    }
    // The format fixes these sizes; anything else is a damaged file.
    if (order() != kOrder || pagesize() != kPageSize || keyrecordsize() != kEntrySize ||
        startingpage() < 1 || startingpage() >= numpages()) {
        return Error("'" + errorpath_ + "' is either corrupt or is not a valid index file");
    }
    // Every page the header counts is in the file: a damaged count, or a file another
    // process cut short, is refused before a page past the end is read or made.
    long length;
    bool unlinked;
    if (!file_->Status(&length, &unlinked)) {
        return Error("Error reading from '" + errorpath_ + "': " + file_->error());
    }
    if (numpages() > length / kPageSize) {
        return Error("'" + errorpath_ + "' is either corrupt or is not a valid index file");
    }
    return true;
}

bool BrnIndexFile::WriteHeader() {
    if (file_->Seek(0) != 0 ||
        file_->Write(reinterpret_cast<char*>(header_), kPageSize) != kPageSize) {
        return WriteFailure();
    }
    HeaderWritten();
    return true;
}

void BrnIndexFile::HeaderWritten() {
    // Written under the exclusive header lock, after this process's own page writes:
    // the cache still agrees with the file, now under the new count.
    if (cachecount_ == -1) {
        cache_.clear();
    } else {
        cachecount_ = updatecount();
    }
}

bool BrnIndexFile::Replaced() {
    if (held_) return false;  // looked at when the hold began
    // A rebuild by another request renamed a new file over this one while it was
    // open here: what is written now would be lost with the old file.
    if (!file_->Unlinked()) return false;
    return !Error("'" + errorpath_ +
                  "' was rebuilt by another request while this one had it "
                  "open: open it again");
}

bool BrnIndexFile::LockHeader(FileLockType type) {
    if (held_) return true;  // the exclusive lock of the hold serves every purpose
    if (file_->Lock(type, 0, kHeaderSize) >= 0) {
        locktype_ = type;
        return true;
    }
    locktype_ = -1;
    return Error("Error locking '" + errorpath_ + "' for " +
                 (type == FileSharedLock ? "read" : "write"));
}

bool BrnIndexFile::Hold() {
    if (held_) return true;
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    if (!LockHeader(FileExclusiveLock)) return false;
    if (Replaced() || !ReadHeader()) {
        UnlockHeader();
        return false;
    }
    held_ = true;
    return true;
}

void BrnIndexFile::ReleaseHold() {
    if (!held_) return;
    held_ = false;
    UnlockHeader();
}

void BrnIndexFile::UnlockHeader() {
    if (held_) return;
    file_->Release(0, kHeaderSize);
    locktype_ = -1;
}

namespace {

// The pages kept between opens of index files, by device and inode.
struct KeptIndex {
    struct stat opened;
    long count;
    std::unordered_map<long, std::vector<unsigned char>> pages;
};
struct KeptIndexes {
    size_t limit = 0;  // pages in all
    int settle = 2;
    size_t pages = 0;
    long hits = 0;
    std::map<std::pair<dev_t, ino_t>, KeptIndex> files;
};
KeptIndexes& Kept() {
    static KeptIndexes* kept = new KeptIndexes;
    return *kept;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           SameTime(a.st_mtim, b.st_mtim) && SameTime(a.st_ctim, b.st_ctim);
}

// Whether the file has not changed for settle seconds (see KeepPages()).
bool Settled(const struct stat& st, int settle) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long newest = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec);
    return now.tv_sec - newest >= settle;
}

}  // namespace

long BrnIndexFile::KeptHits() {
    return Kept().hits;
}

void BrnIndexFile::KeepPages(size_t pages, int settle) {
    KeptIndexes& kept = Kept();
    kept.limit = pages;
    kept.settle = settle;
    if (pages == 0) {
        kept.files.clear();
        kept.pages = 0;
    }
}

void BrnIndexFile::Close() {
    if (file_ != nullptr) ReleaseHold();
    KeptIndexes& kept = Kept();
    if (known_ && cachecount_ != -1 && !cache_.empty() && cache_.size() <= kept.limit) {
        // Kept as read under the file's state at the open; the next open checks it.
        auto key = std::make_pair(opened_.st_dev, opened_.st_ino);
        auto old = kept.files.find(key);
        if (old != kept.files.end()) {
            kept.pages -= old->second.pages.size();
            kept.files.erase(old);
        }
        if (kept.pages + cache_.size() > kept.limit) {
            kept.files.clear();  // a bound on the memory kept: start afresh
            kept.pages = 0;
        }
        KeptIndex& index = kept.files[key];
        index.opened = opened_;
        index.count = cachecount_;
        index.pages.swap(cache_);
        kept.pages += index.pages.size();
    }
    known_ = false;
    cache_.clear();
    cachecount_ = -1;
    stack_.Clear();
    delete file_;
    file_ = nullptr;
}

bool BrnIndexFile::Open(const String& path, const String& errorpath, int mode) {
    cache_.clear();
    cachecount_ = -1;
    Close();
    errorpath_ = errorpath;
    FileManager* files = files_;
    file_ = files->Open(path, mode);
    if (file_ == nullptr) return Error("Error opening '" + errorpath + "': " + files->error());
    if (!LockHeader(FileSharedLock)) return false;
    // (Under the lock: the status taken for it serves the first reading too.)
    KeptIndexes& kept = Kept();
    if (kept.limit > 0 && file_->Identity(&opened_) && Settled(opened_, kept.settle)) {
        known_ = true;
        auto found = kept.files.find(std::make_pair(opened_.st_dev, opened_.st_ino));
        if (found != kept.files.end()) {
            kept.pages -= found->second.pages.size();
            // Pages read under this very state of the file: the header's update count
            // still decides, as for pages this object read itself.
            if (SameFile(found->second.opened, opened_)) {
                cache_.swap(found->second.pages);
                cachecount_ = found->second.count;
                kept.hits++;
            }
            kept.files.erase(found);
        }
    }
    bool ok = ReadHeader();
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::Create(const String& path, const String& errorpath, const String& keyexpression,
                          int flags) {
    FileManager* files = files_;
    File* file = files->Open(path, FileRead | FileWrite | FileCreate | FileTruncate);
    if (file == nullptr) return Error("Error creating '" + errorpath + "': " + files->error());
    return Create(file, path, errorpath, keyexpression, flags);
}

bool BrnIndexFile::Create(File* file, const String&, const String& errorpath,
                          const String& keyexpression, int flags) {
    cache_.clear();
    cachecount_ = -1;
    Close();
    errorpath_ = errorpath;
    file_ = file;
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath + "'");
    memset(header_, 0, sizeof header_);
    memcpy(header_, "BRNI", 4);
    header_[4] = 3;
    Setnumpages(2);
    Setstartingpage(1);
    PutLE(header_ + 17, kOrder, 2);
    PutLE(header_ + 19, kPageSize, 2);
    PutLE(header_ + 21, kEntrySize, 2);
    Setflags(flags);
    Setkeyexpression(keyexpression);
    // Page 0 (the header, zero-padded) and the empty root, page 1.
    char zeros[kPageSize * 2];
    memset(zeros, 0, sizeof zeros);
    memcpy(zeros, header_, kHeaderSize);
    if (file_->Seek(0) != 0 ||
        file_->Write(zeros, sizeof zeros) != static_cast<long>(sizeof zeros)) {
        return Error("Error writing to '" + errorpath_ + "': " + file_->error());
    }
    return true;
}

// ---------------------------------------------------------------------------
// Comparison

namespace {

// A key written as a whole number of at most 15 digits (white space first, a sign):
// its value, which is exactly the one strtod gives it. Most numeric keys are such, and
// comparing them needs no conversion.
bool WholeNumber(const char* s, long long* value) {
    while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
    bool negative = *s == '-';
    if (*s == '-' || *s == '+') s++;
    long long n = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        if (++digits > 15) return false;
        n = n * 10 + (*s - '0');
    }
    if (digits == 0 || *s != '\0') return false;
    *value = negative ? -n : n;
    return true;
}

}  // namespace

int BrnIndexFile::NumberCompare(const char* key1, const char* key2) {
    long long n1, n2;
    if (WholeNumber(key1, &n1) && WholeNumber(key2, &n2)) return n1 < n2 ? -1 : (n1 > n2 ? 1 : 0);
    double v[2];
    const char* keys[2] = {key1, key2};
    for (int i = 0; i < 2; i++) {
        char* end;
        errno = 0;
        v[i] = strtod(keys[i], &end);
        if (*end != '\0' || isnan(v[i]) || (errno == ERANGE && isinf(v[i]))) return 2;
    }
    return v[0] < v[1] ? -1 : (v[0] > v[1] ? 1 : 0);
}

int BrnIndexFile::Compare(const char* key1, const char* key2, bool exact, int flags) {
    int c;
    if (!exact) {
        c = strncmp(key1, key2, strlen(key1));
    } else {
        c = (flags & IndexString) ? 2 : NumberCompare(key1, key2);
        if (c == 2) c = strcmp(key1, key2);
    }
    if (flags & IndexDescending) c = -c;
    return c;
}

void BrnIndexFile::Prepare(const String& key, char* out) const {
    int n = key.length() < kKeySize - 1 ? key.length() : kKeySize - 1;
    memcpy(out, key.chars(), n);
    out[n] = '\0';
    out[strlen(out)] = '\0';  // a NUL inside the key ends it
}
