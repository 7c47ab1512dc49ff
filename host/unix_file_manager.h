// UNIXFileManager, UNIXFile and UNIXFileInfo: the file layer on Unix descriptors,
// with a limit on the descriptors open at once, byte-range locks, lock files and
// temporary files.

#ifndef HOST_UNIX_FILE_MANAGER_H_
#define HOST_UNIX_FILE_MANAGER_H_

#include <sys/stat.h>

#include <utility>
#include <vector>

#include "foundation/file.h"
#include "foundation/list.h"
#include "foundation/string.h"

class Kelp;
class PageCache;
class UNIXFile;
class UNIXFileManager;

// What the manager knows of one open file: its descriptor while active (-1 while
// inactive), how to reopen it, and how many byte-range locks it holds.
class UNIXFileInfo {
  public:
    UNIXFileInfo(UNIXFile* file, const String& path, int fd, int mode)
        : file_(file), path_(path), fd_(fd), mode_(mode), position_(0), locks_(0) {}

    File* key() const;
    UNIXFile* file() const { return file_; }
    const String& path() const { return path_; }

  private:
    friend class UNIXFileManager;
    friend class UNIXFile;

    UNIXFile* file_;  // not owned
    String path_;
    int fd_;
    int mode_;
    long position_;  // the file position (reads and writes go there)
    int locks_;      // byte-range locks held: such a file is never deactivated
    // The status of the file the descriptor is open on (device, inode, permissions,
    // owner), when known: such a descriptor may be kept for the next opening.
    bool identified_ = false;
    struct stat identity_;
};

// A file open through the manager. Every operation first makes sure the file has a
// descriptor (reopening it at its position if the descriptor limit closed it).
class UNIXFile : public File {
  public:
    ~UNIXFile() override;

    using File::Write;
    long Read(char* buffer, long n) override;
    long Write(const char* buffer, long n) override;
    long Seek(long position) override;
    long Tell() override;
    long Length() override;
    int Lock(FileLockType type, long start, long length) override;
    int Release(long start, long length) override;
    int Sync() override;
    int Truncate(long length) override;
    bool Unlinked() override;
    bool Status(long* length, bool* unlinked) override;
    bool Identity(struct stat* st) override;
    bool Peek(long offset, unsigned char* out, long n) override;
    bool Store(long offset, const unsigned char* bytes, int n) override;
    void Close() override;
    bool Closed() const override { return info_ == nullptr; }
    const String& error() const override { return error_; }

  private:
    friend class UNIXFileManager;
    explicit UNIXFile(UNIXFileManager* manager) : manager_(manager), info_(nullptr) {}

    // The descriptor, activating the file; -1 with error_ set on failure.
    int Descriptor();
    // Records the system's message for the last failure and returns -1.
    int Fail();
    // Lets go of the mapping; keep: a process that keeps mappings may keep it for the
    // next request (not one that faulted).
    void Unmap(bool keep = false);
    // Takes a kept mapping of the file with status st through at least its first end
    // bytes; false when there is none.
    bool TakeKeptMapping(const struct stat& st, bool readwrite, long end);
    // Keeps the mapping for the next request; false when it is not kept.
    bool KeepMapping();
    // The file's status: the one taken under the locks held now while they are held
    // (the other processes change a file's length and links only under locks that
    // exclude them), else fstat's, remembered so when locks are held.
    bool TakeStatus(int fd, struct stat* st);
    // Maps the file when its first end bytes are not mapped yet: 1 they are, 0 the
    // file is shorter, -1 it cannot be mapped.
    int MapThrough(long end);

    UNIXFileManager* manager_;  // not owned
    UNIXFileInfo* info_;        // owned by the manager's lists; null once closed
    String error_;
    // Peek() and Store(): the file mapped shared from its start, maplength_ bytes (as
    // far as it went and some way beyond), or null; writable when the file is open
    // for reading and writing.
    unsigned char* map_ = nullptr;
    long maplength_ = 0;
    bool mapwritable_ = false;
    bool nomap_ = false;  // the file cannot be mapped
    // The file mapped, and whether it was open for reading and writing.
    dev_t mapdevice_ = 0;
    ino_t mapinode_ = 0;
    bool mapreadwrite_ = false;
    // The status taken under the locks held now, until the file is locked, released,
    // written or cut.
    bool heldstatus_ = false;
    struct stat held_;
    long fileend_ = 0;  // where the file is known to end at least
};

// Keeps at most the configured number of descriptors (maxfiles, 0 = no limit): the
// least recently used files without locks are closed and reopened on their next use.
// Closing a descriptor would drop every lock this process holds on the file, so a
// file holding byte-range locks stays open; when only such files are left, a request
// beyond the limit fails with the 'maxfiles' message.
class UNIXFileManager : public FileManager {
  public:
    // engine: not owned; gives maxfiles, lockhostname, lockexpiration and timedout().
    explicit UNIXFileManager(Kelp* engine);
    ~UNIXFileManager() override;

    File* Open(const String& path, int mode) override;
    File* OpenScript(const String& path) override;
    int Lock(const String& path) override;
    int Delete(const String& path) override;
    int Copy(const String& source, const String& dest) override;
    int Rename(const String& from, const String& to) override;
    int TouchFile(const String& path) override;
    bool Exists(const String& path) override;
    long Length(const String& path) override;
    bool IsDirectory(const String& path) override;
    int MakeDirectory(const String& path) override;
    int RemoveDirectory(const String& path) override;
    int MakeSymbolicLink(const String& target, const String& link) override;
    int Mode(const String& path) override;
    int ChangeMode(const String& path, int mode) override;
    File* MakeTemporary(const String& prefix, String* name, int mode) override;
    int GetOwnerUID(const String& path) override;
    const String& error() const override { return error_; }

    // Makes room for n more descriptors; 0 with the 'maxfiles' message when the
    // limit cannot allow it.
    int FreeFileSpace(int n);
    // Gives file a descriptor and makes it the most recently used; 0 on failure.
    int ActivateFileInfo(UNIXFile* file);
    // Forgets file and closes its descriptor.
    void CloseFile(UNIXFile* file);
    int activefiles() const { return active_.Entries(); }
    // Script files are opened through cache (not owned; null: read every time).
    void UsePageCache(PageCache* cache) { pagecache_ = cache; }
    // From now on (keep) the mappings of closed files are kept for the files' next
    // opening, a few at most: for a process that serves many requests. !keep lets go
    // of them all.
    static void KeepMappings(bool keep);
    // How many are kept; and how many descriptors.
    static size_t KeptMappings();
    static size_t KeptDescriptors();
    // The status of the script file at path, just taken (see PageCache::Seen()).
    void SeenScript(const String& path, const struct stat& st);
    void SeenFile(const String& path, const struct stat* st) override;

  private:
    // Records the system's message (or message) and returns -1.
    int Fail();
    int Fail(const String& message);
    void Deactivate(UNIXFileInfo* info);
    // Removes the lock file at path if it is still the file judged stale.
    void RemoveIfUnchanged(const String& path, const struct stat& judged);
    // Creates a new file beside path (beside the file a symbolic link at path leads
    // to) with the permission bits path has (fresh when it does not exist), opened
    // with flags: its descriptor, its name in *made and the name it is to replace in
    // *target; -1 on failure.
    int CreateBeside(const String& path, int flags, int fresh, String* made, String* target);
    // Copies what in holds from its start to out: 1, or -1 on failure.
    int CopyBytes(int in, int out);
    // A descriptor this manager holds open on the file at path, or -1.
    int OpenDescriptorOf(const String& path);
    // A descriptor kept from an earlier request on the very file an open of path with
    // flags would open now, as SeenFile() was just told of it; -1 when there is none.
    int TakeKeptDescriptor(const String& path, int flags);
    // Keeps info's descriptor for the next opening of its file instead of closing it;
    // false when it is not kept.
    bool KeepDescriptor(UNIXFileInfo* info);
    // Closes kept descriptor i, unless a file of this request holds locks: closing a
    // descriptor drops every lock the process holds on its file, through any other.
    bool DropKeptDescriptor(size_t i);
    bool HoldsLocks();

    Kelp* engine_;  // not owned
    // The lock files this request took and has not let go, as they were when taken: a
    // page that ended inside KpLOCKFILE (an error, its time limit) leaves its lock, which
    // goes with the request if it is still that file. (A process that ended leaves a
    // lock others may take; a process serving the next request does not end.)
    std::vector<std::pair<String, struct stat>> lockfiles_;
    SearchableList<UNIXFileInfo, File*> active_;    // owns elements; most recent first
    SearchableList<UNIXFileInfo, File*> inactive_;  // owns elements
    unsigned long temporarycounter_;  // the last temporary name tried; 0 before the first
    PageCache* pagecache_ = nullptr;  // not owned
    // What SeenFile() was told last, until the next Open().
    String seenpath_;
    struct stat seenfile_;
    String error_;
};

#endif  // HOST_UNIX_FILE_MANAGER_H_
