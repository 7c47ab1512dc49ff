// BrnIndexFile: searches, cursor moves, inserts and deletes on the disk B-tree.

#include "data/index_file.h"

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "data/little_endian.h"
#include "host/engine.h"
#include "script/encoding.h"

namespace {

const int kOrder = 8;
const int kPageSize = 1024;
const int kEntrySize = 108;
const int kKeySize = kEntrySize - 8;
const int kMinEntries = kOrder / 2 - 1;  // 3: fewer makes a page other than the root underflow
const int kMaxDepth = 64;
const int kJournal = 512;                                     // the rollback record in page 0
const int kJournalEntries = (kPageSize - kJournal - 16) / 8;  // copies it can name

}  // namespace

// ---------------------------------------------------------------------------
// BrnIndexPage

BrnIndexPage::BrnIndexPage(long number, int entrysize, int pagesize)
    : number_(number),
      entrysize_(entrysize),
      pagesize_(pagesize),
      bytes_(new unsigned char[pagesize]),
      position_(0) {
    memset(bytes_, 0, pagesize);
}

BrnIndexPage::~BrnIndexPage() {
    delete[] bytes_;
}

long BrnIndexPage::ReadPage(File* file) {
    long offset = number_ * pagesize_;
    if (file->Seek(offset) != offset) return -1;
    long n = file->Read(reinterpret_cast<char*>(bytes_), pagesize_);
    EndKeys();
    return n;
}

bool BrnIndexPage::PeekPage(File* file) {
    if (number_ < 0 || !file->Peek(number_ * pagesize_, bytes_, pagesize_)) return false;
    EndKeys();
    return true;
}

void BrnIndexPage::EndKeys() {
    // Every key slot ends in a NUL in a sound file (Setkey leaves it); a damaged page
    // must not send comparisons and copies past its slot.
    for (int i = 0; 4 + (i + 1) * entrysize_ <= pagesize_; i++) Entry(i)[entrysize_ - 1] = 0;
}

bool BrnIndexPage::WritePage(File* file) {
    long offset = number_ * pagesize_;
    return file->Seek(offset) == offset &&
           file->Write(reinterpret_cast<char*>(bytes_), pagesize_) == pagesize_;
}

int BrnIndexPage::numentries() const {
    return static_cast<int>(GetLE(bytes_, 4));
}
void BrnIndexPage::Setnumentries(int n) {
    PutLE(bytes_, n, 4);
}
long BrnIndexPage::childpage(int i) const {
    return static_cast<long>(GetLE(Entry(i), 4));
}
void BrnIndexPage::Setchildpage(int i, long page) {
    PutLE(Entry(i), page, 4);
}
long BrnIndexPage::recordnum(int i) const {
    return static_cast<long>(GetLE(Entry(i) + 4, 4));
}
void BrnIndexPage::Setrecordnum(int i, long recno) {
    PutLE(Entry(i) + 4, recno, 4);
}
const char* BrnIndexPage::key(int i) const {
    return reinterpret_cast<const char*>(Entry(i) + 8);
}

void BrnIndexPage::Setkey(int i, const char* key) {
    char* k = reinterpret_cast<char*>(Entry(i) + 8);
    memset(k, 0, entrysize_ - 8);
    strncpy(k, key, entrysize_ - 9);
}

void BrnIndexPage::Insert(int pos, long child, long recno, const char* key) {
    int n = numentries();
    // Entries pos.. and the children right of them move one place right.
    memmove(Entry(pos + 1) + 4, Entry(pos) + 4, (n - pos) * entrysize_);
    Setrecordnum(pos, recno);
    Setkey(pos, key);
    Setchildpage(pos + 1, child);
    Setnumentries(n + 1);
}

void BrnIndexPage::InsertBefore(int pos, long child, long recno, const char* key) {
    int n = numentries();
    memmove(Entry(pos + 1), Entry(pos), (n - pos) * entrysize_ + 4);
    Setchildpage(pos, child);
    Setrecordnum(pos, recno);
    Setkey(pos, key);
    Setnumentries(n + 1);
}

void BrnIndexPage::Delete(int pos) {
    int n = numentries();
    memmove(Entry(pos), Entry(pos + 1), (n - pos - 1) * entrysize_ + 4);
    memset(Entry(n), 0, 4);
    Setnumentries(n - 1);
}

void BrnIndexPage::DeleteRight(int pos) {
    int n = numentries();
    long left = childpage(pos);
    memmove(Entry(pos) + 4, Entry(pos + 1) + 4, (n - pos - 1) * entrysize_);
    Setchildpage(pos, left);
    memset(Entry(n), 0, 4);
    Setnumentries(n - 1);
}

void BrnIndexPageStack::Mark() {
    Keep();
    marked_ = true;
    markedpages_ = pages_;
    markedpositions_.clear();
    for (BrnIndexPage* p : pages_) markedpositions_.push_back(p->position());
}

void BrnIndexPageStack::Undo() {
    if (!marked_) return;
    auto marked = [&](BrnIndexPage* p) {
        return std::find(markedpages_.begin(), markedpages_.end(), p) != markedpages_.end();
    };
    for (BrnIndexPage* p : pages_) {
        if (!marked(p)) spare_.push_back(p);
    }
    for (BrnIndexPage* p : popped_) {
        if (!marked(p)) spare_.push_back(p);
    }
    popped_.clear();
    pages_ = markedpages_;
    for (size_t i = 0; i < pages_.size(); i++) pages_[i]->SetPosition(markedpositions_[i]);
    marked_ = false;
}

void BrnIndexPageStack::Keep() {
    for (BrnIndexPage* p : popped_) spare_.push_back(p);
    popped_.clear();
    marked_ = false;
}

BrnIndexPage* BrnIndexPageStack::Take(long number, int entrysize, int pagesize) {
    if (spare_.empty() || spare_.size() > 64) {
        // (More spares than a deep tree needs are let go.)
        while (spare_.size() > 64) {
            delete spare_.back();
            spare_.pop_back();
        }
        if (spare_.empty()) return new BrnIndexPage(number, entrysize, pagesize);
    }
    BrnIndexPage* p = spare_.back();
    spare_.pop_back();
    p->Renumber(number);
    return p;
}

bool BrnIndexPageStack::CheckForRecursion(long page) const {
    for (BrnIndexPage* p : pages_) {
        if (p->number() == page) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// BrnIndexFile: header, open and create

BrnIndexFile::BrnIndexFile(Kelp* engine) : engine_(engine), file_(nullptr), cursorcount_(-1) {
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

void BrnIndexFile::Close() {
    if (file_ != nullptr) ReleaseHold();
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
    FileManager* files = engine_->filemanager();
    file_ = files->Open(path, mode);
    if (file_ == nullptr) return Error("Error opening '" + errorpath + "': " + files->error());
    if (!LockHeader(FileSharedLock)) return false;
    bool ok = ReadHeader();
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::Create(const String& path, const String& errorpath, const String& keyexpression,
                          int flags) {
    FileManager* files = engine_->filemanager();
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

// ---------------------------------------------------------------------------
// Searches and the cursor

bool BrnIndexFile::PushPage(long page) {
    if (stack_.CheckForRecursion(page)) {
        return Error("Error reading from '" + errorpath_ + "': File is corrupt");
    }
    if (page >= numpages()) {
        return Error("Error '" + errorpath_ + "' is corrupt " + file_->error() +
                     "(the page number is larger than the total pages )");
    }
    BrnIndexPage* p = stack_.Take(page, kEntrySize, kPageSize);
    long n = ReadPage(p);
    if (n != kPageSize) {
        stack_.Spare(p);
        if (cachemiss_) return false;  // an optimistic read gives up; see Reading()
        return Error("Error reading from '" + errorpath_ + "': " + file_->error());
    }
    if (p->numentries() > (n - 4) / kEntrySize || p->numentries() < 0) {
        stack_.Spare(p);
        return Error(
            "File is corrupt (the number of entries is larger than the maximum entries "
            "possible).");
    }
    stack_.Push(p);
    return true;
}

bool BrnIndexFile::FindLocked(const char* key, bool exact, long* recno) {
    *recno = 0;
    stack_.Clear();
    if (!ReadHeader()) return false;
    cursorcount_ = updatecount();
    int founddepth = -1;
    int foundpos = 0;
    int f = flags();
    for (long page = startingpage(); page != 0;) {
        if (!PushPage(page)) {
            *recno = 0;
            stack_.Clear();
            return false;
        }
        BrnIndexPage* p = stack_.Top();
        int n = p->numentries();
        int i = 0;
        long child = 0;
        for (; i < n; i++) {
            int c = Compare(key, p->key(i), exact, f);
            if (c > 0) continue;
            if (c == 0) {
                *recno = p->recordnum(i);
                founddepth = stack_.depth() - 1;
                foundpos = i;
                if (exact && (f & IndexUnique)) {
                    p->SetPosition(i);
                    i = -1;  // the single match: done
                }
            }
            break;
        }
        if (i < 0) break;
        p->SetPosition(i);
        child = p->childpage(i);
        page = child;
    }
    if (founddepth >= 0) {
        while (stack_.depth() > founddepth + 1) stack_.Pop();
        stack_.Top()->SetPosition(foundpos);
    } else {
        stack_.Clear();
    }
    return true;
}

template <typename Operation>
bool BrnIndexFile::Reading(bool lock, Operation operation) {
    if (!lock) return operation();
    // Optimistic first: without the lock, from cached pages only. The header is read
    // unlocked; while its update count is the one the cache agrees with, the cached
    // pages are the index as of that count (a writer counts its change only after its
    // pages are written, and new pages have numbers the cache never held), so the
    // answer is the one a locked read would have given a moment before. A page not
    // cached, a count that moved, or a header read torn by a writer: the cursor goes
    // back to where it was and the operation is done again under the lock.
    if (cachecount_ != -1) {
        stack_.Mark();
        long savedcount = cursorcount_;
        String savederror = error_;
        cacheonly_ = true;
        cachemiss_ = false;
        bool ok = operation();
        cacheonly_ = false;
        if (ok && !cachemiss_) {
            stack_.Keep();
            return true;
        }
        stack_.Undo();
        cursorcount_ = savedcount;
        error_ = savederror;
        cachemiss_ = false;
    }
    if (!LockHeader(FileSharedLock)) return false;
    bool ok = operation();
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::_Find(const String& key, bool exact, long* recno, bool lock) {
    char k[kKeySize];
    Prepare(key, k);
    return Reading(lock, [&] { return FindLocked(k, exact, recno); });
}

long BrnIndexFile::CurrentRecord() const {
    BrnIndexPage* p = stack_.Top();
    if (p == nullptr || p->position() >= p->numentries()) return 0;
    return p->recordnum(p->position());
}

const char* BrnIndexFile::CurrentKey() const {
    BrnIndexPage* p = stack_.Top();
    if (p == nullptr || p->position() >= p->numentries()) return "";
    return p->key(p->position());
}

bool BrnIndexFile::_Seek(const String& key, long recno, bool lock) {
    long found;
    if (!_Find(key, true, &found, lock)) return false;
    while (found != 0 && found != recno) {
        if (!_Next(&found, lock)) return false;
    }
    return found != 0;
}

void BrnIndexFile::ReadAhead(const BrnIndexPage* parent, int first) {
    // Only under the lock (a read from the cache alone reads nothing), and only when
    // the pages are sound to ask for.
    if (cacheonly_ || parent == nullptr) return;
    for (int c = first; c <= parent->numentries() && c <= kOrder; c++) {
        long child = parent->childpage(c);
        if (child < 1 || child >= numpages() || cache_.count(child) != 0) continue;
        BrnIndexPage page(child, kEntrySize, kPageSize);
        if (ReadPage(&page) != kPageSize) return;
    }
}

bool BrnIndexFile::DescendFirst(long page, long* recno) {
    // A walk goes on to the subtrees right of this one: when it has to read pages
    // under the lock, it reads theirs with them, and the steps that follow find them
    // in the cache without taking the lock again.
    ReadAhead(stack_.Top(), stack_.empty() ? 0 : stack_.Top()->position() + 1);
    for (;;) {
        if (!PushPage(page)) return false;
        BrnIndexPage* p = stack_.Top();
        p->SetPosition(0);
        if (p->numentries() == 0 && stack_.depth() == 1) {
            *recno = 0;  // an empty index
            stack_.Clear();
            return true;
        }
        if (p->childpage(0) == 0) {
            *recno = p->recordnum(0);
            return true;
        }
        ReadAhead(p, 1);
        page = p->childpage(0);
    }
}

bool BrnIndexFile::DescendLast(long page, long* recno) {
    for (;;) {
        if (!PushPage(page)) return false;
        BrnIndexPage* p = stack_.Top();
        int n = p->numentries();
        if (n == 0 && stack_.depth() == 1) {
            *recno = 0;
            stack_.Clear();
            return true;
        }
        p->SetPosition(n);
        if (p->childpage(n) == 0) {
            p->SetPosition(n - 1);
            *recno = p->recordnum(n - 1);
            return true;
        }
        page = p->childpage(n);
    }
}

bool BrnIndexFile::_First(long* recno, bool lock) {
    return Reading(lock, [&] {
        *recno = 0;
        stack_.Clear();
        bool ok = ReadHeader() && DescendFirst(startingpage(), recno);
        cursorcount_ = updatecount();
        if (!ok) stack_.Clear();
        return ok;
    });
}

bool BrnIndexFile::_Last(long* recno, bool lock) {
    return Reading(lock, [&] {
        *recno = 0;
        stack_.Clear();
        bool ok = ReadHeader() && DescendLast(startingpage(), recno);
        cursorcount_ = updatecount();
        if (!ok) stack_.Clear();
        return ok;
    });
}

bool BrnIndexFile::Rebuild() {
    // The index changed since the cursor was built: find the current entry again.
    String key(CurrentKey());
    long recno = CurrentRecord();
    if (recno == 0) {
        stack_.Clear();
        return true;
    }
    long found;
    char k[kKeySize];
    Prepare(key, k);
    if (!FindLocked(k, true, &found)) return false;
    // Step over equal keys to the entry itself (without the cursor checks).
    while (found != 0 && found != recno) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position() + 1;
        p->SetPosition(pos);
        if (p->childpage(pos) != 0) {
            if (!DescendFirst(p->childpage(pos), &found)) return false;
            continue;
        }
        if (pos < p->numentries()) {
            found = p->recordnum(pos);
            continue;
        }
        stack_.Pop();
        while (!stack_.empty() && stack_.Top()->position() >= stack_.Top()->numentries())
            stack_.Pop();
        found = CurrentRecord();
    }
    if (found == 0) stack_.Clear();
    return true;
}

bool BrnIndexFile::RefreshCursor() {
    long before = cursorcount_;
    if (!ReadHeader()) return false;
    if (updatecount() == before) return true;
    // Another writer changed the index since the cursor was placed: find its
    // place again.
    bool ok = Rebuild();
    cursorcount_ = updatecount();
    return ok;
}

bool BrnIndexFile::_Next(long* recno, bool lock) {
    *recno = 0;
    if (stack_.empty()) return true;
    return Reading(lock, [&] { return StepForward(recno); });
}

bool BrnIndexFile::StepForward(long* recno) {
    *recno = 0;
    bool ok = RefreshCursor();
    if (ok && !stack_.empty()) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position() + 1;
        p->SetPosition(pos);
        if (p->childpage(pos) != 0) {
            ok = DescendFirst(p->childpage(pos), recno);
        } else if (pos < p->numentries()) {
            *recno = p->recordnum(pos);
        } else {
            stack_.Pop();
            while (!stack_.empty() && stack_.Top()->position() >= stack_.Top()->numentries()) {
                stack_.Pop();
            }
            *recno = CurrentRecord();
        }
    }
    if (!ok) stack_.Clear();
    return ok;
}

bool BrnIndexFile::_Prev(long* recno, bool lock) {
    *recno = 0;
    if (stack_.empty()) return true;
    return Reading(lock, [&] { return StepBack(recno); });
}

bool BrnIndexFile::StepBack(long* recno) {
    *recno = 0;
    bool ok = RefreshCursor();
    if (ok && !stack_.empty()) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position();
        if (p->childpage(pos) != 0) {
            ok = DescendLast(p->childpage(pos), recno);
        } else if (pos > 0) {
            p->SetPosition(pos - 1);
            *recno = p->recordnum(pos - 1);
        } else {
            stack_.Pop();
            while (!stack_.empty() && stack_.Top()->position() == 0) stack_.Pop();
            if (!stack_.empty()) {
                BrnIndexPage* q = stack_.Top();
                q->SetPosition(q->position() - 1);
                *recno = q->recordnum(q->position());
            }
        }
    }
    if (!ok) stack_.Clear();
    return ok;
}

// ---------------------------------------------------------------------------
// Updates

BrnIndexPage* BrnIndexFile::LoadPage(long page) {
    if (page < 1 || page >= numpages()) {
        Error("Error '" + errorpath_ + "' is corrupt " + file_->error() +
              "(the page number is larger than the total pages )");
        return nullptr;
    }
    BrnIndexPage* p = stack_.Take(page, kEntrySize, kPageSize);
    long n = ReadPage(p);
    if (n != kPageSize) {
        Recycle(p);
        Error("Error reading from '" + errorpath_ + "': " + file_->error());
        return nullptr;
    }
    if (p->numentries() > kOrder || p->numentries() < 0) {
        Recycle(p);
        Error(
            "File is corrupt (the number of entries is larger than the maximum entries possible).");
        return nullptr;
    }
    return p;
}

bool BrnIndexFile::SavePage(BrnIndexPage* page) {
    if (updating_) {
        pending_[page->number()].assign(page->bytes(), page->bytes() + kPageSize);
        return true;
    }
    return WritePage(page->number(), page->bytes());
}

bool BrnIndexFile::WritePage(long number, const unsigned char* bytes) {
    long at = number * kPageSize;
    if (file_->Seek(at) == at &&
        file_->Write(reinterpret_cast<const char*>(bytes), kPageSize) == kPageSize) {
        Cache(number, bytes);
        return true;
    }
    return WriteFailure();
}

bool BrnIndexFile::WriteFailure() {
    // What the file holds is no longer known: nothing cached can be trusted.
    cache_.clear();
    cachecount_ = -1;
    return Error("Error writing to '" + errorpath_ + "': " + file_->error());
}

template <typename Operation>
bool BrnIndexFile::Updating(Operation operation) {
    updating_ = true;
    basepages_ = numpages();
    baseroot_ = startingpage();
    pending_.clear();
    bool ok = operation();
    updating_ = false;
    if (ok) {
        ok = Commit();
    } else {
        // Nothing was written: the header in memory goes back to the file's.
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
    }
    pending_.clear();
    return ok;
}

bool BrnIndexFile::Commit() {
    long count = updatecount();
    Setupdatecount(count + 1);
    // The pages the update overwrites (the others are new, numbered from basepages_).
    std::vector<long> existing;
    for (auto& page : pending_) {
        if (page.first < basepages_) existing.push_back(page.first);
    }
    if (existing.size() == pending_.size() && existing.size() <= 1 && startingpage() == baseroot_) {
        // One existing page changes (and no page is added): its write is the change,
        // whole or not at all; the count follows. Nothing else in the header changed,
        // and the count's first three bytes share the header's first eight with what
        // never changes: while its last byte stays, those eight go as one store.
        for (auto& page : pending_) {
            if (!WritePage(page.first, page.second.data())) {
                Setupdatecount(count);
                return false;
            }
        }
        if (((count + 1) >> 24) == (count >> 24) && file_->Store(0, header_, 8)) {
            HeaderWritten();
            return true;
        }
        return WriteHeader();
    }
    // Nothing is written yet: a failure leaves the header as it was.
    auto untouched = [&] {
        Setupdatecount(count);
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
        return false;
    };
    if (static_cast<int>(existing.size()) > kJournalEntries) {
        Error("Error writing to '" + errorpath_ + "': File is corrupt");
        return untouched();
    }
    // First what nothing reaches yet, in one write: the new pages, and copies of the
    // pages about to be overwritten placed right after them; then the rollback record
    // naming the copies.
    long copy = numpages();
    std::vector<unsigned char> run((copy - basepages_ + existing.size()) * kPageSize, 0);
    for (auto& page : pending_) {
        if (page.first < basepages_) continue;
        memcpy(run.data() + (page.first - basepages_) * kPageSize, page.second.data(), kPageSize);
    }
    BrnIndexPage before(0, kEntrySize, kPageSize);
    for (size_t i = 0; i < existing.size(); i++) {
        // The page as the file still holds it.
        before.Renumber(existing[i]);
        if (ReadPage(&before) != kPageSize) {
            Error("Error reading from '" + errorpath_ + "': " + file_->error());
            return untouched();
        }
        memcpy(run.data() + (copy + i - basepages_) * kPageSize, before.bytes(), kPageSize);
    }
    unsigned char* record = header_ + kJournal;
    memset(record, 0, kPageSize - kJournal);
    memcpy(record, "JRNL", 4);
    PutLE(record + 4, basepages_, 4);
    PutLE(record + 8, baseroot_, 4);
    PutLE(record + 12, static_cast<long>(existing.size()), 4);
    for (size_t i = 0; i < existing.size(); i++) {
        PutLE(record + 16 + i * 8, existing[i], 4);
        PutLE(record + 20 + i * 8, copy + i, 4);
    }
    long at = basepages_ * kPageSize, length = static_cast<long>(run.size());
    bool ok = file_->Seek(at) == at &&
              file_->Write(reinterpret_cast<char*>(run.data()), length) == length;
    if (ok) {
        for (auto& page : pending_) {
            if (page.first >= basepages_) Cache(page.first, page.second.data());
        }
    } else {
        WriteFailure();
    }
    long root = startingpage();
    Setstartingpage(baseroot_);
    ok = ok && WriteHeader();
    Setstartingpage(root);
    memset(record, 0, kPageSize - kJournal);
    if (!ok) {
        // The tree's pages are untouched: only what lies beyond them was written.
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
        return false;
    }
    for (auto& page : pending_) {
        if (page.first < basepages_) ok = ok && WritePage(page.first, page.second.data());
    }
    ok = ok && WriteHeader();
    if (!ok) {
        // A write failed part way: the rollback record on the file undoes it now, or
        // at the next process that reads the header.
        String error = error_;
        cache_.clear();
        cachecount_ = -1;
        ReadHeader();
        error_ = error;
    }
    return ok;
}

long BrnIndexFile::NewPage() {
    long page = numpages();
    Setnumpages(page + 1);
    return page;
}

BrnIndexFile::Result BrnIndexFile::DoInsert(long page, int depth, long recno, const char* key,
                                            long* precno, char* pkey, long* pright) {
    if (page == 0) {
        *precno = recno;
        strcpy(pkey, key);
        *pright = 0;
        return Promote;
    }
    for (int d = 0; d < depth; d++) {
        if (path_[d] == page) {
            Error("Error reading from '" + errorpath_ + "': File is corrupt");
            return Failed;
        }
    }
    if (depth >= kMaxDepth) {
        Error("Error reading from '" + errorpath_ + "': File is corrupt");
        return Failed;
    }
    path_[depth] = page;
    BrnIndexPage* p = LoadPage(page);
    if (p == nullptr) return Failed;
    int n = p->numentries();
    int i = 0;
    int f = flags();
    while (i < n && Compare(key, p->key(i), true, f) > 0) i++;
    if (i < n && (f & IndexUnique) && Compare(key, p->key(i), true, f) == 0) {
        Recycle(p);
        Error("Index '" + errorpath_ + "' was created with the UNIQUE flag and the key '" +
              Entities(String(key)) + "' already exists in the index file");
        return Failed;
    }
    Result r = DoInsert(p->childpage(i), depth + 1, recno, key, precno, pkey, pright);
    if (r != Promote) {
        Recycle(p);
        return r;
    }
    if (n < kOrder) {
        p->Insert(i, *pright, *precno, pkey);
        bool ok = SavePage(p);
        Recycle(p);
        return ok ? Done : Failed;
    }
    // Split: the 9 entries go 4 left, 1 up, 4 right.
    long children[kOrder + 2];
    long recnos[kOrder + 1];
    char keys[kOrder + 1][kKeySize];
    for (int e = 0, src = 0; e <= kOrder; e++) {
        if (e == i) {
            recnos[e] = *precno;
            strcpy(keys[e], pkey);
            continue;
        }
        recnos[e] = p->recordnum(src);
        strncpy(keys[e], p->key(src), kKeySize - 1);
        keys[e][kKeySize - 1] = '\0';
        src++;
    }
    for (int c = 0, src = 0; c <= kOrder + 1; c++) {
        if (c == i + 1) {
            children[c] = *pright;
            continue;
        }
        children[c] = p->childpage(src++);
    }
    const int total = kOrder + 1;
    const int left = (total - 1) - total / 2;  // 4
    long right = NewPage();
    BrnIndexPage* q = new BrnIndexPage(right, kEntrySize, kPageSize);
    p->Setnumentries(0);
    p->Setchildpage(0, children[0]);
    for (int e = 0; e < left; e++) p->Insert(e, children[e + 1], recnos[e], keys[e]);
    q->Setchildpage(0, children[left + 1]);
    for (int e = left + 1, pos = 0; e < total; e++, pos++) {
        q->Insert(pos, children[e + 1], recnos[e], keys[e]);
    }
    // Clear what is left of the old page beyond its entries.
    for (int c = left + 1; c <= kOrder; c++) p->Setchildpage(c, 0);
    *precno = recnos[left];
    strcpy(pkey, keys[left]);
    *pright = right;
    bool ok = SavePage(p) && SavePage(q);
    Recycle(p);
    Recycle(q);
    return ok ? Promote : Failed;
}

bool BrnIndexFile::Insert(long recno, const String& key) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    char k[kKeySize];
    Prepare(key, k);
    if (!LockHeader(FileExclusiveLock)) return false;
    bool ok = !Replaced() && (held_ || ReadHeader()) && Updating([&] {
        long precno, pright;
        char pkey[kKeySize];
        Result r = DoInsert(startingpage(), 0, recno, k, &precno, pkey, &pright);
        if (r == Promote) {
            // The root split: a new root above the two halves.
            long root = NewPage();
            BrnIndexPage top(root, kEntrySize, kPageSize);
            top.Setchildpage(0, startingpage());
            top.Insert(0, pright, precno, pkey);
            Setstartingpage(root);
            r = SavePage(&top) ? Done : Failed;
        }
        return r == Done;
    });
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::FixUnderflow(BrnIndexPage* parent, int ci) {
    BrnIndexPage* c = LoadPage(parent->childpage(ci));
    if (c == nullptr) return false;
    if (c->numentries() >= kMinEntries) {
        Recycle(c);
        return true;
    }
    bool ok = true;
    BrnIndexPage* left = ci > 0 ? LoadPage(parent->childpage(ci - 1)) : nullptr;
    BrnIndexPage* right = ci < parent->numentries() ? LoadPage(parent->childpage(ci + 1)) : nullptr;
    if (left != nullptr && left->numentries() > kMinEntries) {
        // Borrow through the parent from the left sibling.
        int ln = left->numentries();
        c->InsertBefore(0, left->childpage(ln), parent->recordnum(ci - 1), parent->key(ci - 1));
        parent->Setrecordnum(ci - 1, left->recordnum(ln - 1));
        parent->Setkey(ci - 1, left->key(ln - 1));
        left->Setchildpage(ln, 0);
        left->Setnumentries(ln - 1);
        ok = SavePage(left) && SavePage(c) && SavePage(parent);
    } else if (right != nullptr && right->numentries() > kMinEntries) {
        // Borrow through the parent from the right sibling.
        c->Insert(c->numentries(), right->childpage(0), parent->recordnum(ci), parent->key(ci));
        parent->Setrecordnum(ci, right->recordnum(0));
        parent->Setkey(ci, right->key(0));
        right->Delete(0);
        ok = SavePage(right) && SavePage(c) && SavePage(parent);
    } else if (left != nullptr) {
        // Merge the child into its left sibling with the separator between them.
        left->Insert(left->numentries(), c->childpage(0), parent->recordnum(ci - 1),
                     parent->key(ci - 1));
        for (int e = 0; e < c->numentries(); e++) {
            left->Insert(left->numentries(), c->childpage(e + 1), c->recordnum(e), c->key(e));
        }
        parent->DeleteRight(ci - 1);
        ok = SavePage(left) && SavePage(parent);
    } else if (right != nullptr) {
        c->Insert(c->numentries(), right->childpage(0), parent->recordnum(ci), parent->key(ci));
        for (int e = 0; e < right->numentries(); e++) {
            c->Insert(c->numentries(), right->childpage(e + 1), right->recordnum(e), right->key(e));
        }
        parent->DeleteRight(ci);
        ok = SavePage(c) && SavePage(parent);
    }
    Recycle(left);
    Recycle(right);
    Recycle(c);
    return ok;
}

BrnIndexFile::Result BrnIndexFile::DoDelete(long page, int depth, long recno, const char* key) {
    if (page == 0) return NotFound;
    for (int d = 0; d < depth; d++) {
        if (path_[d] == page) {
            Error("Error reading from '" + errorpath_ + "': File is corrupt");
            return Failed;
        }
    }
    if (depth >= kMaxDepth) {
        Error("Error reading from '" + errorpath_ + "': File is corrupt");
        return Failed;
    }
    path_[depth] = page;
    BrnIndexPage* p = LoadPage(page);
    if (p == nullptr) return Failed;
    int n = p->numentries();
    int f = flags();
    Result r = NotFound;
    int ci = -1;  // the child whose subtree changed
    for (int i = 0; i <= n && r == NotFound; i++) {
        int c = i < n ? Compare(key, p->key(i), true, f) : -1;
        if (c > 0) continue;
        if (c == 0 && p->recordnum(i) == recno) {
            if (p->childpage(i) == 0) {
                p->Delete(i);  // a leaf entry: gone; the caller sees to this page's fill
                r = SavePage(p) ? Done : Failed;
                ci = -1;
                break;
            }
            // An inner entry: replaced by its successor, which is removed below.
            BrnIndexPage* s = LoadPage(p->childpage(i + 1));
            for (int guard = 0; s != nullptr && s->childpage(0) != 0 && guard < kMaxDepth;
                 guard++) {
                long next = s->childpage(0);
                Recycle(s);
                s = LoadPage(next);
            }
            if (s == nullptr || s->numentries() == 0) {
                Recycle(s);
                if (s == nullptr) {
                    r = Failed;
                } else {
                    Error("Error reading from '" + errorpath_ + "': File is corrupt");
                    r = Failed;
                }
                break;
            }
            long srecno = s->recordnum(0);
            String skey(s->key(0));
            Recycle(s);
            p->Setrecordnum(i, srecno);
            p->Setkey(i, skey.chars());
            if (!SavePage(p)) {
                r = Failed;
                break;
            }
            r = DoDelete(p->childpage(i + 1), depth + 1, srecno, skey.chars());
            if (r == NotFound) {
                Error("Error reading from '" + errorpath_ + "': File is corrupt");
                r = Failed;
            }
            ci = i + 1;
            break;
        }
        // Look below, left of this entry (equal keys may continue right of it).
        r = DoDelete(p->childpage(i), depth + 1, recno, key);
        ci = i;
        if (c < 0) break;
    }
    if (r == Done && ci >= 0) {
        // Children were read afresh: reload this page, which FixUnderflow rewrites.
        Recycle(p);
        p = LoadPage(page);
        if (p == nullptr || !FixUnderflow(p, ci)) r = Failed;
    }
    Recycle(p);
    return r;
}

bool BrnIndexFile::Delete(long recno, const String& key) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    char k[kKeySize];
    Prepare(key, k);
    if (!LockHeader(FileExclusiveLock)) return false;
    bool ok = !Replaced() && (held_ || ReadHeader()) && Updating([&] {
        Result r = DoDelete(startingpage(), 0, recno, k);
        if (r == NotFound) Error("Record is not in index");
        if (r != Done) return false;
        // A root left without entries gives way to its only child.
        BrnIndexPage* root = LoadPage(startingpage());
        if (root == nullptr) return false;
        if (root->numentries() == 0 && root->childpage(0) != 0) Setstartingpage(root->childpage(0));
        Recycle(root);
        return true;
    });
    UnlockHeader();
    return ok;
}

// ---------------------------------------------------------------------------
// Checking

bool BrnIndexFile::Check(std::vector<std::pair<String, long>>* entries,
                         std::vector<String>* problems) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    size_t before = problems->size();
    if (!LockHeader(FileSharedLock)) return false;
    cache_.clear();
    cachecount_ = -1;
    bool ok = ReadHeader();
    if (!ok) {
        problems->push_back(error_);
    } else {
        long length = file_->Length();
        if (length < numpages() * kPageSize) {
            problems->push_back("the file holds " + String::FromInt(length) +
                                " bytes, too few for its " + String::FromInt(numpages()) +
                                " pages");
        }
        std::vector<long> seen;
        int leafdepth = -1;
        cacheonly_ = false;
        CheckPage(startingpage(), 0, &seen, &leafdepth, entries, problems);
        for (size_t i = 1; i < entries->size(); i++) {
            if (Compare((*entries)[i - 1].first.chars(), (*entries)[i].first.chars(), true,
                        flags()) > 0) {
                problems->push_back("keys out of order: '" + (*entries)[i - 1].first +
                                    "' before '" + (*entries)[i].first + "'");
                break;
            }
        }
    }
    cache_.clear();
    cachecount_ = -1;
    UnlockHeader();
    return problems->size() == before;
}

void BrnIndexFile::CheckPage(long page, int depth, std::vector<long>* seen, int* leafdepth,
                             std::vector<std::pair<String, long>>* entries,
                             std::vector<String>* problems) {
    String where = "page " + String::FromInt(page);
    if (page < 1 || page >= numpages()) {
        problems->push_back(where + " is beyond the index's " + String::FromInt(numpages()) +
                            " pages");
        return;
    }
    for (long s : *seen) {
        if (s == page) {
            problems->push_back(where + " is reached twice");
            return;
        }
    }
    if (depth >= kMaxDepth) {
        problems->push_back(where + " lies deeper than any index can grow");
        return;
    }
    seen->push_back(page);
    BrnIndexPage p(page, kEntrySize, kPageSize);
    if (p.ReadPage(file_) != kPageSize) {
        problems->push_back(where + " cannot be read");
        return;
    }
    int n = p.numentries();
    if (n < 0 || n > kOrder) {
        problems->push_back(where + " claims " + String::FromInt(n) + " entries");
        return;
    }
    bool root = depth == 0;
    bool leaf = p.childpage(0) == 0;
    if (!root && n < kMinEntries) {
        problems->push_back(where + " holds " + String::FromInt(n) + " entries, fewer than " +
                            String::FromInt(kMinEntries));
    }
    if (leaf) {
        if (*leafdepth < 0) *leafdepth = depth;
        if (*leafdepth != depth) problems->push_back(where + ": leaves lie at different depths");
    }
    for (int i = 0; i <= n; i++) {
        long child = p.childpage(i);
        if ((child == 0) != leaf) {
            problems->push_back(where + " mixes leaf and inner entries");
            return;
        }
        if (child != 0) CheckPage(child, depth + 1, seen, leafdepth, entries, problems);
        if (i < n) {
            const char* key = p.key(i);
            entries->emplace_back(String(key, static_cast<int>(strnlen(key, kKeySize))),
                                  p.recordnum(i));
        }
        if (problems->size() > 100) return;
    }
}
