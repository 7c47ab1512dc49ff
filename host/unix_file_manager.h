// UNIXFileManager and UNIXFile: the file layer on Unix descriptors.

#ifndef HOST_UNIX_FILE_MANAGER_H_
#define HOST_UNIX_FILE_MANAGER_H_

#include "foundation/file.h"
#include "foundation/string.h"

// A file open on one descriptor. Closing it (or destroying it) closes the descriptor,
// which drops every byte-range lock this process holds on the file.
class UNIXFile : public File {
  public:
    // Takes ownership of fd.
    UNIXFile(int fd, int mode, const String& path) : fd_(fd), mode_(mode), path_(path) {}
    ~UNIXFile() override { Close(); }

    using File::Write;
    long Read(char* buffer, long n) override;
    long Write(const char* buffer, long n) override;
    long Seek(long position) override;
    long Tell() override;
    long Length() override;
    int Lock(FileLockType type, long start, long length) override;
    int Release(long start, long length) override;
    void Close() override;
    bool Closed() const override { return fd_ < 0; }
    const String& error() const override { return error_; }

    int mode() const { return mode_; }
    const String& path() const { return path_; }

  private:
    // Records the system's message for the last failure and returns -1.
    int Fail();

    int fd_;  // owned; -1 once closed
    int mode_;
    String path_;
    String error_;
};

class UNIXFileManager : public FileManager {
  public:
    File* Open(const String& path, int mode) override;
    const String& error() const override { return error_; }

  private:
    String error_;
};

#endif  // HOST_UNIX_FILE_MANAGER_H_
