// BrnIndexFile, BrnIndexPage and BrnIndexPageStack: the .kpx index files, disk
// B-trees that map key strings to record numbers of a table.
//
// The file is an array of 1024-byte pages; page 0 holds the header (427 bytes,
// integers little-endian, packed):
//     0   4  identifier "BRNI"          5   4  updatecount (every insert and delete)
//     4   1  version (3)                9   4  numpages (page 0 included)
//    13   4  startingpage (the root)   17   2  order: 8 entries a page at most
//    19   2  pagesize: 1024            21   2  keyrecordsize: 108 (key size 100)
//    23   4  flags: 1 unique, 2 descending, 4 string comparison
//    27 400  key expression, NUL-padded
// A tree page: entry count (4 bytes), then entries of 108 bytes: the child page left
// of the entry (4), the record number (4), the key (100, NUL-terminated). The child
// right of the last entry is in the child slot of entry "count". Child 0 = none; a
// leaf has 0 everywhere. Keys in child i sort before key i, those in child i + 1
// after it (equal keys may sit on either side).
//
// Readers share and writers own a lock on the header bytes for one operation, and
// read the header again under it.
//
// An update that rewrites more than one existing page (a split, a merge, a new root)
// is made safe against a process killed part way: the new pages and copies of the
// pages it is about to overwrite are written first, beyond the tree's pages, and a
// rollback record in page 0 (from byte 512: "JRNL", the page count and root before,
// the number of copies, then pairs of page and copy) names them; then the pages are
// overwritten and the header written without the record. The next process that
// finds the record under the lock puts the copies back: the update is undone whole.

#ifndef DATA_INDEX_FILE_H_
#define DATA_INDEX_FILE_H_

#include <string.h>
#include <sys/stat.h>

#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "foundation/file.h"
#include "foundation/string.h"

enum IndexFlag { IndexUnique = 1, IndexDescending = 2, IndexString = 4 };

// One page in memory, and the position a search or cursor move took on it: the entry,
// or on the pages above the current one the child.
class BrnIndexPage {
  public:
    BrnIndexPage(long number, int entrysize, int pagesize);
    ~BrnIndexPage();
    BrnIndexPage(const BrnIndexPage&) = delete;
    BrnIndexPage& operator=(const BrnIndexPage&) = delete;

    // Reads page number x pagesize; returns the bytes read, -1 on error.
    long ReadPage(File* file);
    // Takes the page through the file's mapping (File::Peek()); false: read it.
    bool PeekPage(File* file);
    bool WritePage(File* file);

    long number() const { return number_; }
    // The object serves for another page (its bytes are to be read in).
    void Renumber(long number) {
        number_ = number;
        position_ = 0;
    }
    int numentries() const;
    void Setnumentries(int n);
    long childpage(int i) const;
    void Setchildpage(int i, long page);
    long recordnum(int i) const;
    void Setrecordnum(int i, long recno);
    const char* key(int i) const;
    void Setkey(int i, const char* key);
    // Puts an entry at pos with child as the child to its right.
    void Insert(int pos, long child, long recno, const char* key);
    // The same with child as the child to its left.
    void InsertBefore(int pos, long child, long recno, const char* key);
    // Removes entry pos and the child to its left.
    void Delete(int pos);
    // Removes entry pos and the child to its right.
    void DeleteRight(int pos);
    int position() const { return position_; }
    void SetPosition(int p) { position_ = p; }
    // The page's bytes (pagesize bytes), to keep or to fill from a copy.
    const unsigned char* bytes() const { return bytes_; }
    void CopyFrom(const unsigned char* bytes) { memcpy(bytes_, bytes, pagesize_); }

  private:
    unsigned char* Entry(int i) const { return bytes_ + 4 + i * entrysize_; }
    void EndKeys();

    long number_;
    int entrysize_;
    int pagesize_;
    unsigned char* bytes_;  // owned, pagesize_ bytes
    int position_;
};

// The path from the root to the current entry; owns its pages.
class BrnIndexPageStack {
  public:
    BrnIndexPageStack() = default;
    ~BrnIndexPageStack() {
        Keep();
        Clear();
        for (BrnIndexPage* p : spare_) delete p;
    }
    BrnIndexPageStack(const BrnIndexPageStack&) = delete;
    BrnIndexPageStack& operator=(const BrnIndexPageStack&) = delete;

    void Push(BrnIndexPage* page) { pages_.push_back(page); }
    void Pop() {
        if (marked_) {
            popped_.push_back(pages_.back());
        } else {
            spare_.push_back(pages_.back());
        }
        pages_.pop_back();
    }
    // A page object for page number, one the stack let go of where it can (a walk
    // pushes and pops a page every few steps); Spare() takes one back unpushed.
    BrnIndexPage* Take(long number, int entrysize, int pagesize);
    void Spare(BrnIndexPage* page) { spare_.push_back(page); }
    BrnIndexPage* Top() const { return pages_.empty() ? nullptr : pages_.back(); }
    int depth() const { return static_cast<int>(pages_.size()); }
    BrnIndexPage* At(int i) const { return pages_[i]; }
    bool empty() const { return pages_.empty(); }
    void Clear() {
        while (!pages_.empty()) Pop();
    }
    bool CheckForRecursion(long page) const;
    // A move that may have to be undone: Mark() remembers the pages and their
    // positions (pages popped meanwhile are kept), Undo() goes back to them, Keep()
    // lets them go. A move changes positions and which pages are on the stack, never
    // a page's bytes.
    void Mark();
    void Undo();
    void Keep();

  private:
    std::vector<BrnIndexPage*> pages_;  // owned
    bool marked_ = false;
    std::vector<BrnIndexPage*> markedpages_;  // as at Mark(): the first markeddepth_
    std::vector<int> markedpositions_;
    size_t markeddepth_ = 0;
    std::vector<BrnIndexPage*> popped_;  // owned: popped since Mark()
    std::vector<BrnIndexPage*> spare_;   // owned: free for Take()
};

class BrnIndexFile {
  public:
    static const int kHeaderSize = 427;

    // files: not owned; opens the file.
    explicit BrnIndexFile(FileManager* files);
    ~BrnIndexFile();
    BrnIndexFile(const BrnIndexFile&) = delete;
    BrnIndexFile& operator=(const BrnIndexFile&) = delete;

    bool Open(const String& path, const String& errorpath, int mode);
    // In a process that serves many requests: the pages an index read are kept when it
    // is closed, up to pages pages in all (0: none), and the next open of the same file
    // starts from them while the file is exactly as it was when they were read (same
    // device, inode, size, change and modification times, and update count). Only the
    // pages of a file unchanged for settle seconds at its open are kept: file times move
    // in steps, and a change in the step of the open, of the same size, would look like
    // no change at all.
    static void KeepPages(size_t pages, int settle = 2);
    // Opens that started from kept pages, so far.
    static long KeptHits();
    bool Create(const String& path, const String& errorpath, const String& keyexpression,
                int flags);
    // On a file the caller opened; takes ownership of it.
    bool Create(File* file, const String& path, const String& errorpath,
                const String& keyexpression, int flags);
    void Close();

    // Searches and cursor moves; *recno is 0 for "none" (end of the index, no
    // match). With lock, the header is read-locked for the operation.
    bool _Find(const String& key, bool exact, long* recno, bool lock = true);
    bool _Seek(const String& key, long recno, bool lock = true);
    bool _First(long* recno, bool lock = true);
    bool _Last(long* recno, bool lock = true);
    bool _Next(long* recno, bool lock = true);
    bool _Prev(long* recno, bool lock = true);
    // The current entry's key (valid after a successful move to an entry).
    const char* CurrentKey() const;

    bool Insert(long recno, const String& key);
    bool Delete(long recno, const String& key);

    // Reads the whole tree from the file as it stands (no cache) and checks it: page
    // numbers in range, no page reached twice, entry counts within the order and the
    // minimum fill, every leaf at one depth, keys in order. Appends one line per
    // problem to *problems and the entries in key order to *entries; false when a
    // problem was found. The caller keeps writers out meanwhile.
    bool Check(std::vector<std::pair<String, long>>* entries, std::vector<String>* problems);

    // Negative, zero or positive as key1 sorts before, with or after key2. Inexact:
    // key1 is a prefix test. Exact: as numbers when both are numbers (unless the
    // string flag is set), else as strings. Descending negates.
    static int Compare(const char* key1, const char* key2, bool exact, int flags);
    // -1, 0, 1; or 2 when either key is not a number.
    static int NumberCompare(const char* key1, const char* key2);

    bool Error(const String& message);
    const String& error() const { return error_; }

    const char* identifier() const { return reinterpret_cast<const char*>(header_); }
    int version() const { return header_[4]; }
    long updatecount() const;
    long numpages() const;
    long startingpage() const;
    int order() const;
    int pagesize() const;
    int keyrecordsize() const;
    int keysize() const { return keyrecordsize() - 8; }
    int flags() const;
    String keyexpression() const;
    void Setupdatecount(long v);
    void Setnumpages(long v);
    void Setstartingpage(long v);
    void Setflags(int v);
    void Setkeyexpression(const String& text);

  private:
    enum Result { Failed, NotFound, Done, Promote };

    bool ReadHeader();
    bool WriteHeader();
    // After the header went to the file: the cache's count follows.
    void HeaderWritten();
    // A rollback record in page 0: an update was cut short. Undoing it needs the
    // exclusive lock; a reader trades its lock for it and back.
    bool Recover();
    // Writes what an update changed (pending_) so that it is done whole or not at all.
    bool Commit();
    // The commit of an update that changes one existing page and adds none.
    bool CommitOnePage(long count);
    // The commit's first step: the new pages and copies of the existing pages about to
    // change, past the tree's end, then the rollback record naming the copies in the
    // header. On failure nothing the tree reaches was written. count: the update
    // count before the update.
    bool WriteJournal(long count, const std::vector<long>& existing);
    // Its second and third steps: the existing pages in place, then the header without
    // the record. A failure part way is undone by the record.
    bool OverwritePages();
    // The pages of an update: kept in pending_ until Commit().
    template <typename Operation>
    bool Updating(Operation operation);
    bool CheckHeader();
    bool LockHeader(FileLockType type);
    // Whether the file was replaced under this process (reported); for writers, who
    // hold the header lock.
    bool Replaced();

  public:
    // Holds the header lock for writing until UnlockForRebuild(): no other process
    // changes the index meanwhile (a rebuild that will replace it).
    bool LockForRebuild() { return LockHeader(FileExclusiveLock); }
    void UnlockForRebuild() { UnlockHeader(); }
    // A run of changes: Hold() takes the header lock exclusively, checks the file and
    // reads the header once; inserts and deletes then neither lock nor read the
    // header again (no other process changes the index meanwhile), each still
    // written whole, header last, as before. ReleaseHold() lets the lock go.
    bool Hold();
    void ReleaseHold();

  private:
    void UnlockHeader();
    // Reads a page for a search and pushes it on the cursor stack.
    bool PushPage(long page);
    // Reads parent's children from first on into the cache (see DescendFirst()).
    void ReadAhead(const BrnIndexPage* parent, int first);
    // Reads a page for an update; Recycle() takes it back (or none, null).
    BrnIndexPage* LoadPage(long page);
    void Recycle(BrnIndexPage* page) {
        if (page != nullptr) stack_.Spare(page);
    }
    bool SavePage(BrnIndexPage* page);
    // Writes a page's bytes to the file (and the cache).
    bool WritePage(long number, const unsigned char* bytes);
    // A write failed: drops the cache and reports it (false).
    bool WriteFailure();
    // Fills page from the cache or the file: the bytes read (the page size when
    // cached), -1 on error.
    long ReadPage(BrnIndexPage* page);
    // Keeps a page's bytes as the file has them.
    void Cache(long number, const unsigned char* bytes);
    // The key cut to keysize - 1 characters.
    void Prepare(const String& key, char* out) const;
    bool FindLocked(const char* key, bool exact, long* recno);
    // One step of the cursor, with the header locked (or an optimistic read).
    bool StepForward(long* recno);
    bool StepBack(long* recno);
    // Runs a read operation: optimistically without the lock from cached pages, else
    // (or when lock is false, the caller holding it) with the header read-locked.
    template <typename Operation>
    bool Reading(bool lock, Operation operation);
    long CurrentRecord() const;
    // Descends from the cursor's top page through child 0 (or the last child) to a
    // leaf entry; ahead: reading ahead the subtrees a walk goes on to.
    bool DescendFirst(long page, long* recno, bool ahead = true);
    bool DescendLast(long page, long* recno);
    bool Rebuild();
    // Rereads the header; when the index changed since the cursor was placed,
    // rebuilds the cursor. False on a read failure.
    bool RefreshCursor();
    Result DoInsert(long page, int depth, long recno, const char* key, long* precno, char* pkey,
                    long* pright);
    Result DoDelete(long page, int depth, long recno, const char* key);
    // The page at depth on the path of an insert or a delete, loaded; null (error set)
    // when it is already on the path or the path is too deep.
    BrnIndexPage* EnterPage(long page, int depth);
    // After a deletion below child ci of parent: restores the minimum fill of the child.
    bool FixUnderflow(BrnIndexPage* parent, int ci);
    long NewPage();
    void CheckPage(long page, int depth, std::vector<long>* seen, int* leafdepth,
                   std::vector<std::pair<String, long>>* entries, std::vector<String>* problems);

    FileManager* files_;          // not owned
    File* file_;                  // owned
    unsigned char header_[1024];  // page 0: the header, then the rollback record
    BrnIndexPageStack stack_;
    long cursorcount_;  // updatecount when the cursor was built
    long path_[64];     // pages on the current update path, against cycles
    // Pages as last read or written by this process. They are good while the header's
    // update count is the one they were read under: every writer counts its change
    // there while it holds the header lock, so a count that moved means another
    // process changed pages, and the cache is dropped.
    std::unordered_map<long, std::vector<unsigned char>> cache_;
    long cachecount_ = -1;  // the update count the cache agrees with; -1: none
    // The file as it was when opened, before anything was read (kept pages are good
    // while it is still so); opened_ false when not known or not to be kept.
    struct stat opened_;
    bool known_ = false;
    bool cacheonly_ = false;  // an optimistic read: pages from the cache only
    bool cachemiss_ = false;  // and one was not there
    int locktype_ = -1;       // the FileLockType this object holds on the header; -1 none
    bool held_ = false;       // between Hold() and ReleaseHold(): the header is the file's
    bool updating_ = false;   // pages saved go to pending_
    long basepages_ = 0, baseroot_ = 0;                   // numpages and root when the update began
    std::map<long, std::vector<unsigned char>> pending_;  // pages an update wrote
    String errorpath_;
    String error_;
};

#endif  // DATA_INDEX_FILE_H_
