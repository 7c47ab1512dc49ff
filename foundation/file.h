// File and FileManager: the abstract file layer. Every file the engine opens goes
// through the one file manager of the host, which hands out File objects.

#ifndef FOUNDATION_FILE_H_
#define FOUNDATION_FILE_H_

#include <stddef.h>
#include <sys/stat.h>

#include "foundation/string.h"

// Open mode bits, combined with |.
enum FileMode {
    FileRead = 1,        // read only when FileWrite is clear
    FileWrite = 2,       // write only when FileRead is clear; both: read and write
    FileCreate = 4,      // create when missing
    FileTruncate = 8,    // start empty: an existing file is replaced by a new one
    FileAppend = 16,     // every write goes to the end
    FileExclusive = 32,  // with FileCreate: fail when the file exists
};

// Byte-range lock types.
enum FileLockType { FileSharedLock = 0, FileExclusiveLock = 1 };

// Kinds of names that scripts give: resolved below the script, data or temporary
// directory.
enum PathType { ScriptPath = 0, DataPath = 1, TemporaryPath = 2 };

// What resolving a path saw of its components below the root: Found (every component
// exists, none is a symbolic link; st is the path's own status) or Missing (a
// component does not exist, and none before it is a link).
struct PathStatus {
    enum State { Unknown, Found, Missing };
    State state = Unknown;
    struct stat st;
};

// What an interpreter made of a script file's text (the tags and text runs it read),
// which a file manager that serves many requests may keep beside the text for the
// next run of the same text.
class ScriptScan {
  public:
    virtual ~ScriptScan() {}
    // About how many bytes of memory it holds.
    virtual size_t footprint() const = 0;
};

// One open file. Operations that fail return a negative value (or 0 bytes for a
// failed read) and leave the reason in error().
class File {
  public:
    virtual ~File() {}

    // Byte counts; negative on failure.
    virtual long Read(char* buffer, long n) = 0;
    virtual long Write(const char* buffer, long n) = 0;
    long Write(const String& s) { return Write(s.chars(), s.length()); }
    // Returns the new position, negative on failure.
    virtual long Seek(long position) = 0;
    virtual long Tell() = 0;
    virtual long Length() = 0;
    // Blocking byte-range lock from start for length bytes (0 = to the end of file).
    virtual int Lock(FileLockType type, long start, long length) = 0;
    virtual int Release(long start, long length) = 0;
    // Writes what the file holds to the disk (negative on failure).
    virtual int Sync() = 0;
    // Cuts the file to length bytes (negative on failure).
    virtual int Truncate(long length) = 0;
    // Whether the file has no name any more (removed, or replaced by a rename).
    virtual bool Unlinked() = 0;
    // Length() and Unlinked() at once; false (error() set) on failure.
    virtual bool Status(long* length, bool* unlinked) = 0;
    // Copies n bytes from offset into out through a shared mapping of the file: no
    // system call as a rule, and every process's writes are seen at once. True when
    // all n bytes were copied; false when they cannot be (past the end the file is
    // known to have, a file that does not map, or a file another process cut short
    // under the mapping): the caller reads instead, and finds what the file holds.
    virtual bool Peek(long offset, unsigned char* out, long n) {
        (void)offset;
        (void)out;
        (void)n;
        return false;
    }
    // Puts n bytes at offset into the file as one store through a shared writable
    // mapping: no system call as a rule, at once on the file for every process as a
    // write is, and never half done, whenever the process is stopped. n is 1, or 8 at
    // a multiple of 8; the bytes must lie within what the file holds already (a store
    // never makes it longer). False when the file cannot take a store (or another
    // process cut it short under the mapping): write instead.
    virtual bool Store(long offset, const unsigned char* bytes, int n) {
        (void)offset;
        (void)bytes;
        (void)n;
        return false;
    }
    // The file's status as the system has it now (device, inode, size, times); false
    // when it is not a file of the system's.
    virtual bool Identity(struct stat* st) {
        (void)st;
        return false;
    }
    // A script file's kept scan (see ScriptScan), taken out of the keeping (the
    // caller owns it; no one else is given it until it is kept again), or null.
    virtual ScriptScan* TakeScan() { return nullptr; }
    // Keeps scan (made from this file's text) for the next open of the same text, or
    // deletes it when it cannot be kept.
    virtual void KeepScan(ScriptScan* scan) { delete scan; }
    virtual void Close() = 0;
    virtual bool Closed() const = 0;
    virtual const String& error() const = 0;
};

// Results of FileManager::Lock().
enum LockResult {
    LockHeldHere = -2,  // this process holds the lock already ("Possible deadlock detected")
    LockError = -1,
    LockTimedOut = 0,
    LockTaken = 1,
};

// Hands out files and performs path operations. Paths given here are already
// resolved; scripts' names go through the engine's ResolvePath first. Operations
// return a negative value (or null, or false) on failure, with the system's message
// in error().
class FileManager {
  public:
    virtual ~FileManager() {}

    // Opens path with a combination of FileMode bits. Caller deletes the result
    // (which closes it).
    virtual File* Open(const String& path, int mode) = 0;
    // Opens a script file (a page, a file it includes) for reading; a manager that
    // serves many requests may answer from memory.
    virtual File* OpenScript(const String& path) { return Open(path, FileRead); }
    // The status of the file at path (no link on the way), just taken, or null when
    // none was: the next Open() of path may rely on it instead of asking again. Any
    // other Open() forgets it.
    virtual void SeenFile(const String& path, const struct stat* st) {
        (void)path;
        (void)st;
    }
    // Takes the lock file path (see LockResult); unlocking is Delete(path).
    virtual int Lock(const String& path) = 0;
    virtual int Delete(const String& path) = 0;
    // Copies the bytes into a new file (permission bits 0600, or those of the file it
    // replaces), written beside dest and renamed over it whole.
    virtual int Copy(const String& source, const String& dest) = 0;
    virtual int Rename(const String& from, const String& to) = 0;
    virtual int TouchFile(const String& path) = 0;
    virtual bool Exists(const String& path) = 0;
    virtual long Length(const String& path) = 0;
    virtual bool IsDirectory(const String& path) = 0;
    virtual int MakeDirectory(const String& path) = 0;
    virtual int RemoveDirectory(const String& path) = 0;
    virtual int MakeSymbolicLink(const String& target, const String& link) = 0;
    // Permission bits, negative on failure.
    virtual int Mode(const String& path) = 0;
    virtual int ChangeMode(const String& path, int mode) = 0;
    // A new file prefix + eight hexadecimal digits, created exclusively with mode
    // (plus create and exclusive); *name receives its path. Caller deletes it.
    virtual File* MakeTemporary(const String& prefix, String* name, int mode) = 0;
    // The user id owning path, -1 on failure.
    virtual int GetOwnerUID(const String& path) = 0;
    virtual const String& error() const = 0;

    const char* pathseparator() const { return "/"; }
    // path without its last extension ("a/b.c.d" gives "a/b.c").
    static String StripExtension(const String& path);
    // The part after the last separator.
    static String StripDirectory(const String& path);
    // What follows the last dot of the file name, without it ("" when it has none).
    static String Extension(const String& path);
    // The process's working directory ("/" when it cannot be told).
    static String WorkingDirectory();
    // From now on WorkingDirectory() is the directory the process is in now, without
    // asking again: for a process that serves many requests and goes back there
    // after each.
    static void KeepWorkingDirectory();
    // The machine's host name ("localhost" when it has none).
    static String MachineName();
    // The whole content of a file into *text; false when it cannot be read.
    static bool ReadTextFile(const String& path, String* text);
};

#endif  // FOUNDATION_FILE_H_
