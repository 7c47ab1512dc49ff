// UNIXFileManager and UNIXFile.

#include "host/unix_file_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int OpenFlags(int mode) {
    int flags;
    if ((mode & FileRead) && (mode & FileWrite)) {
        flags = O_RDWR;
    } else if (mode & FileWrite) {
        flags = O_WRONLY;
    } else {
        flags = O_RDONLY;
    }
    if (mode & FileCreate) flags |= O_CREAT;
    if (mode & FileTruncate) flags |= O_TRUNC;
    if (mode & FileAppend) flags |= O_APPEND;
    if (mode & FileExclusive) flags |= O_EXCL;
    return flags | O_CLOEXEC;
}

}  // namespace

int UNIXFile::Fail() {
    error_ = strerror(errno);
    return -1;
}

long UNIXFile::Read(char* buffer, long n) {
    for (;;) {
        ssize_t r = read(fd_, buffer, n);
        if (r >= 0) return r;
        if (errno != EINTR) return Fail();
    }
}

long UNIXFile::Write(const char* buffer, long n) {
    long done = 0;
    while (done < n) {
        ssize_t w = write(fd_, buffer + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        done += w;
    }
    return done;
}

long UNIXFile::Seek(long position) {
    off_t r = lseek(fd_, position, SEEK_SET);
    return r < 0 ? Fail() : static_cast<long>(r);
}

long UNIXFile::Tell() {
    off_t r = lseek(fd_, 0, SEEK_CUR);
    return r < 0 ? Fail() : static_cast<long>(r);
}

long UNIXFile::Length() {
    struct stat st;
    if (fstat(fd_, &st) < 0) return Fail();
    return static_cast<long>(st.st_size);
}

int UNIXFile::Lock(FileLockType type, long start, long length) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type == FileExclusiveLock ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    while (fcntl(fd_, F_SETLKW, &fl) < 0) {
        if (errno != EINTR) return Fail();
    }
    return 1;
}

int UNIXFile::Release(long start, long length) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    if (fcntl(fd_, F_SETLK, &fl) < 0) return Fail();
    return 1;
}

void UNIXFile::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

File* UNIXFileManager::Open(const String& path, int mode) {
    int fd = open(path.chars(), OpenFlags(mode), 0644);
    if (fd < 0) {
        error_ = strerror(errno);
        return nullptr;
    }
    return new UNIXFile(fd, mode, path);
}
