// File and FileManager: the abstract file layer. Every file the engine opens goes
// through the one file manager of the host, which hands out File objects.

#ifndef FOUNDATION_FILE_H_
#define FOUNDATION_FILE_H_

#include "foundation/string.h"

// Open mode bits, combined with |.
enum FileMode {
    FileRead = 1,        // read only when FileWrite is clear
    FileWrite = 2,       // write only when FileRead is clear; both: read and write
    FileCreate = 4,      // create when missing
    FileTruncate = 8,    // truncate on open
    FileAppend = 16,     // every write goes to the end
    FileExclusive = 32,  // with FileCreate: fail when the file exists
};

// Byte-range lock types.
enum FileLockType { FileSharedLock = 0, FileExclusiveLock = 1 };

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
    virtual void Close() = 0;
    virtual bool Closed() const = 0;
    virtual const String& error() const = 0;
};

// Hands out files and performs path operations.
class FileManager {
  public:
    virtual ~FileManager() {}

    // Opens path with a combination of FileMode bits. Caller deletes the result
    // (which closes it). Null on failure, with the system's message in error().
    virtual File* Open(const String& path, int mode) = 0;
    virtual const String& error() const = 0;
};

#endif  // FOUNDATION_FILE_H_
