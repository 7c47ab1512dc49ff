// PageCache: the text of script files (pages and the files they include) kept in a
// process that serves many requests, so that a page asked for again is not read
// again. Every open looks at the file once (stat): the text is used only while the
// file is the one read (same device, inode, size, change and modification times, to
// the nanosecond), and read again otherwise. A file changed within the last `settle`
// is not kept: the system's clock for file times moves in steps of some milliseconds,
// and a change in the same step as the read, of the same size, would look like no
// change at all. The texts kept are bounded in bytes; the least recently used go
// first. Beside a text, the cache keeps what the interpreter made of it (its
// ScriptScan), handed to one interpreter at a time and dropped with the text; the
// bound counts it too.

#ifndef HOST_PAGE_CACHE_H_
#define HOST_PAGE_CACHE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "foundation/file.h"
#include "foundation/string.h"

class PageCache {
  public:
    // limit: the bytes of text kept (0: none is kept, every open reads the file).
    // settle: in milliseconds.
    explicit PageCache(size_t limit = 0, long settle = 1000) : limit_(limit), settle_(settle) {}
    PageCache(const PageCache&) = delete;
    PageCache& operator=(const PageCache&) = delete;

    void SetLimit(size_t limit);
    // The script file at path, opened for reading: a file over its text, from memory
    // when the file is unchanged. Null with *error the system's message when it cannot
    // be read. Caller deletes the result.
    File* Open(const String& path, String* error);
    // The status of the script file at path, taken just now: the next Open() of that
    // path checks its copy against this instead of asking again.
    void Seen(const String& path, const struct stat& st);

    size_t bytes() const { return bytes_; }
    size_t entries() const { return entries_.size(); }
    // Opens answered from memory, and opens that read the file.
    long hits() const { return hits_; }
    long reads() const { return reads_; }
    // Scans handed out again, and kept.
    long scanhits() const { return scanhits_; }
    long scanskept() const { return scanskept_; }

    // One version of a file's text, and the scan kept with it.
    struct Version {
        std::string text;
        std::unique_ptr<ScriptScan> scan;
        size_t scanbytes = 0;  // its footprint when kept
    };
    // For the files Open() gives out: the scan of a version that is still the
    // cache's, taken out of it (or null); and one kept with the version when it is
    // still the cache's and holds none (else it is deleted).
    ScriptScan* TakeScan(const std::string& path, Version* version);
    void KeepScan(const std::string& path, Version* version, ScriptScan* scan);

  private:
    // What tells one version of a file from another.
    struct Key {
        dev_t device;
        ino_t inode;
        off_t size;
        struct timespec changed;
        struct timespec modified;
        bool operator==(const Key& other) const;
    };
    struct Entry {
        Key key;
        std::shared_ptr<Version> version;
        unsigned long used;  // when last opened, by the counter
        size_t bytes() const { return version->text.size() + version->scanbytes; }
    };
    static Key KeyOf(const struct stat& st);
    // The entry for path when it holds version.
    Entry* Holding(const std::string& path, const Version* version);
    // Drops the least recently used entries until the texts fit the limit.
    void Trim();

    size_t limit_;
    long settle_;
    size_t bytes_ = 0;
    unsigned long clock_ = 0;
    long hits_ = 0;
    long reads_ = 0;
    long scanhits_ = 0;
    long scanskept_ = 0;
    std::unordered_map<std::string, Entry> entries_;
    std::string seenpath_;  // what Seen() was told, for the next Open() ("": nothing)
    struct stat seen_;
};

#endif  // HOST_PAGE_CACHE_H_
