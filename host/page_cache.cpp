// PageCache.

#include "host/page_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "foundation/file.h"
#include "foundation/time_helpers.h"

namespace {

// A script file's text, read from memory. It only reads: the scanner never writes,
// locks or syncs a script.
class TextFile : public File {
  public:
    // cache: the cache that holds version under path, or null for a text not kept.
    TextFile(PageCache* cache, std::string path, std::shared_ptr<PageCache::Version> version)
        : cache_(cache), path_(std::move(path)), version_(std::move(version)) {
        text_ = &version_->text;
    }

    long Read(char* buffer, long n) override {
        if (closed_) return Refuse("File is closed");
        long left = static_cast<long>(text_->size()) - position_;
        if (n > left) n = left;
        if (n <= 0) return 0;
        memcpy(buffer, text_->data() + position_, static_cast<size_t>(n));
        position_ += n;
        return n;
    }
    long Write(const char*, long) override { return Refuse(strerror(EBADF)); }
    long Seek(long position) override {
        if (closed_) return Refuse("File is closed");
        if (position < 0) return Refuse(strerror(EINVAL));
        position_ = position;
        return position_;
    }
    long Tell() override { return position_; }
    long Length() override { return static_cast<long>(text_->size()); }
    ScriptScan* TakeScan() override {
        return cache_ != nullptr ? cache_->TakeScan(path_, version_.get()) : nullptr;
    }
    void KeepScan(ScriptScan* scan) override {
        if (cache_ != nullptr) {
            cache_->KeepScan(path_, version_.get(), scan);
        } else {
            delete scan;
        }
    }
    int Lock(FileLockType, long, long) override { return Refuse(strerror(EBADF)); }
    int Release(long, long) override { return Refuse(strerror(EBADF)); }
    int Sync() override { return 0; }
    int Truncate(long) override { return Refuse(strerror(EBADF)); }
    bool Unlinked() override { return false; }
    bool Status(long* length, bool* unlinked) override {
        *length = Length();
        *unlinked = false;
        return true;
    }
    void Close() override { closed_ = true; }
    bool Closed() const override { return closed_; }
    const String& error() const override { return error_; }

  private:
    int Refuse(const char* message) {
        error_ = message;
        return -1;
    }

    PageCache* cache_;  // not owned
    std::string path_;
    std::shared_ptr<PageCache::Version> version_;
    const std::string* text_;  // version_'s
    long position_ = 0;
    bool closed_ = false;
    String error_;
};

// The whole file at path and its status, as read through one descriptor (the status
// is the one of the text read). False with errno set on failure.
bool ReadWhole(const char* path, std::string* text, struct stat* st) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool read_ok = fstat(fd, st) == 0;
    if (read_ok && !S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
        read_ok = false;
    }
    if (read_ok) text->reserve(static_cast<size_t>(st->st_size));
    char block[16384];
    while (read_ok) {
        ssize_t n = read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) read_ok = false;
        if (n <= 0) break;
        text->append(block, static_cast<size_t>(n));
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return read_ok;
}

// Whether the file was changed less than milliseconds ago (or in the future).
bool Recent(const struct stat& st, long milliseconds) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    long long current = now.tv_sec * 1000LL + now.tv_nsec / 1000000;
    for (const struct timespec& t : {st.st_ctim, st.st_mtim}) {
        if (current - (t.tv_sec * 1000LL + t.tv_nsec / 1000000) < milliseconds) return true;
    }
    return false;
}

}  // namespace

bool PageCache::Key::operator==(const Key& other) const {
    return device == other.device && inode == other.inode && size == other.size &&
           SameTime(changed, other.changed) && SameTime(modified, other.modified);
}

PageCache::Key PageCache::KeyOf(const struct stat& st) {
    return Key{st.st_dev, st.st_ino, st.st_size, st.st_ctim, st.st_mtim};
}

void PageCache::SetLimit(size_t limit) {
    limit_ = limit;
    Trim();
}

void PageCache::Seen(const String& path, const struct stat& st) {
    seenpath_.assign(path.chars(), static_cast<size_t>(path.length()));
    seen_ = st;
}

File* PageCache::Open(const String& path, String* error) {
    std::string name(path.chars(), static_cast<size_t>(path.length()));
    struct stat st;
    bool seen = !seenpath_.empty() && seenpath_ == name;
    seenpath_.clear();
    auto found = entries_.find(name);
    if (found != entries_.end()) {
        if (seen) st = seen_;
        if ((seen || stat(name.c_str(), &st) == 0) && KeyOf(st) == found->second.key) {
            found->second.used = ++clock_;
            hits_++;
            return new TextFile(this, name, found->second.version);
        }
        bytes_ -= found->second.bytes();
        entries_.erase(found);
    }
    auto version = std::make_shared<Version>();
    std::string* text = &version->text;
    if (!ReadWhole(name.c_str(), text, &st)) {
        *error = strerror(errno);
        return nullptr;
    }
    reads_++;
    // A file that changed while it was read is not kept: its status may not be the
    // status of the text read. Neither is one changed just now, nor one that would
    // fill the cache alone.
    struct stat after;
    if (text->size() <= limit_ && !Recent(st, settle_) && stat(name.c_str(), &after) == 0 &&
        KeyOf(after) == KeyOf(st) && static_cast<off_t>(text->size()) == st.st_size) {
        bytes_ += text->size();
        entries_[name] = Entry{KeyOf(st), version, ++clock_};
        Trim();
        return new TextFile(this, name, std::move(version));
    }
    return new TextFile(nullptr, name, std::move(version));
}

PageCache::Entry* PageCache::Holding(const std::string& path, const Version* version) {
    auto found = entries_.find(path);
    return found != entries_.end() && found->second.version.get() == version ? &found->second
                                                                             : nullptr;
}

ScriptScan* PageCache::TakeScan(const std::string& path, Version* version) {
    Entry* entry = Holding(path, version);
    if (entry == nullptr || version->scan == nullptr) return nullptr;
    bytes_ -= version->scanbytes;
    version->scanbytes = 0;
    scanhits_++;
    return version->scan.release();
}

void PageCache::KeepScan(const std::string& path, Version* version, ScriptScan* scan) {
    Entry* entry = Holding(path, version);
    size_t size = scan->footprint();
    if (entry == nullptr || version->scan != nullptr || version->text.size() + size > limit_) {
        delete scan;
        return;
    }
    version->scan.reset(scan);
    version->scanbytes = size;
    bytes_ += size;
    scanskept_++;
    Trim();
}

void PageCache::Trim() {
    while (bytes_ > limit_ && !entries_.empty()) {
        auto oldest = entries_.begin();
        for (auto i = entries_.begin(); i != entries_.end(); ++i) {
            if (i->second.used < oldest->second.used) oldest = i;
        }
        bytes_ -= oldest->second.bytes();
        entries_.erase(oldest);
    }
}
