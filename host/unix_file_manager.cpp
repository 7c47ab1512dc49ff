// UNIXFileManager, UNIXFile: descriptors, byte-range locks, lock files, temporaries.

#include "host/unix_file_manager.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "host/engine.h"
#include "host/page_cache.h"

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

const char kMaxfilesMessage[] = " file handles exceeds the 'maxfiles' configuration directive.";

void Pause10ms() {
    struct timespec t = {0, 10 * 1000 * 1000};
    nanosleep(&t, nullptr);
}

}  // namespace

File* UNIXFileInfo::key() const {
    return file_;
}

// ---------------------------------------------------------------------------
// UNIXFile

UNIXFile::~UNIXFile() {
    Close();
}

int UNIXFile::Fail() {
    error_ = strerror(errno);
    return -1;
}

int UNIXFile::Descriptor() {
    if (info_ == nullptr) {
        error_ = "File is closed";
        return -1;
    }
    if (!manager_->ActivateFileInfo(this)) {
        error_ = manager_->error();
        return -1;
    }
    return info_->fd_;
}

// The position is kept here, not in the descriptor: reads and writes give it to the
// system with each call (pread, pwrite), so a seek costs no system call.
long UNIXFile::Read(char* buffer, long n) {
    int fd = Descriptor();
    if (fd < 0) return -1;
    for (;;) {
        ssize_t r = pread(fd, buffer, n, info_->position_);
        if (r >= 0) {
            info_->position_ += r;
            return r;
        }
        if (errno != EINTR) return Fail();
    }
}

long UNIXFile::Write(const char* buffer, long n) {
    int fd = Descriptor();
    if (fd < 0) return -1;
    bool append = (info_->mode_ & FileAppend) != 0;
    heldstatus_ = false;
    long done = 0;
    while (done < n) {
        ssize_t w = append ? write(fd, buffer + done, n - done)
                           : pwrite(fd, buffer + done, n - done, info_->position_ + done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        done += w;
    }
    info_->position_ += done;
    if (!append && info_->position_ > fileend_) fileend_ = info_->position_;
    return done;
}

long UNIXFile::Seek(long position) {
    if (info_ == nullptr) {
        error_ = "File is closed";
        return -1;
    }
    if (position < 0) {
        error_ = strerror(EINVAL);
        return -1;
    }
    info_->position_ = position;
    return position;
}

long UNIXFile::Tell() {
    if (info_ == nullptr) {
        error_ = "File is closed";
        return -1;
    }
    return info_->position_;
}

long UNIXFile::Length() {
    int fd = Descriptor();
    if (fd < 0) return -1;
    struct stat st;
    if (!TakeStatus(fd, &st)) return Fail();
    return static_cast<long>(st.st_size);
}

int UNIXFile::Lock(FileLockType type, long start, long length) {
    int fd = Descriptor();
    if (fd < 0) return -1;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type == FileExclusiveLock ? F_WRLCK : F_RDLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    heldstatus_ = false;
    while (fcntl(fd, F_SETLKW, &fl) < 0) {
        if (errno != EINTR) return Fail();
    }
    info_->locks_++;
    return 1;
}

int UNIXFile::Release(long start, long length) {
    int fd = Descriptor();
    if (fd < 0) return -1;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_UNLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = length;
    heldstatus_ = false;
    if (fcntl(fd, F_SETLK, &fl) < 0) return Fail();
    // Releasing the whole file drops every lock; otherwise one fewer is held.
    if (start == 0 && length == 0) {
        info_->locks_ = 0;
    } else if (info_->locks_ > 0) {
        info_->locks_--;
    }
    return 1;
}

int UNIXFile::Sync() {
    int fd = Descriptor();
    if (fd < 0) return -1;
    return fsync(fd) < 0 ? Fail() : 1;
}

int UNIXFile::Truncate(long length) {
    int fd = Descriptor();
    if (fd < 0) return -1;
    heldstatus_ = false;
    if (ftruncate(fd, length) < 0) return Fail();
    if (length < fileend_) fileend_ = length;
    return 1;
}

bool UNIXFile::Status(long* length, bool* unlinked) {
    int fd = Descriptor();
    if (fd < 0) return false;
    struct stat st;
    if (!TakeStatus(fd, &st)) return Fail() == 0;
    *length = static_cast<long>(st.st_size);
    *unlinked = st.st_nlink == 0;
    return true;
}

bool UNIXFile::TakeStatus(int fd, struct stat* st) {
    if (heldstatus_ && info_->locks_ > 0) {
        *st = held_;
        return true;
    }
    if (fstat(fd, st) < 0) return false;
    // Under a lock, no other process changes what the lock keeps: the status serves
    // until this one locks, releases, writes or cuts the file.
    heldstatus_ = info_->locks_ > 0;
    held_ = *st;
    if (!info_->identified_) {
        info_->identified_ = true;
        info_->identity_ = *st;
    }
    return true;
}

bool UNIXFile::Identity(struct stat* st) {
    int fd = Descriptor();
    return fd >= 0 && TakeStatus(fd, st);
}

bool UNIXFile::Unlinked() {
    int fd = Descriptor();
    struct stat st;
    return fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink == 0;
}

namespace {

// Whether the file system writes a file's existing bytes where they are. A store
// through a mapping must never need new room on the disk: where it could (file systems
// that write changes elsewhere, or files sharing their blocks with copies), a full
// disk would kill the process instead of failing a write, so only ext2/3/4 and tmpfs
// files take stores.
bool OverwritesInPlace(int fd) {
    const long kExt = 0xEF53, kTmpfs = 0x01021994;
    struct statfs fs;
    if (fstatfs(fd, &fs) < 0) return false;
    long type = static_cast<long>(fs.f_type);
    return type == kExt || type == kTmpfs;
}

}  // namespace

namespace {

// A mapped file that another process cuts short (a copy over it, a truncation) turns
// every look at its lost pages into a bus error. Copies from and stores into mappings
// are the only places that look, and a fault there cannot be resumed: the handler
// takes the copy back to where it began, which reports that the bytes are gone.
// A bus error anywhere else is the program's own and ends it as before.
sigjmp_buf* volatile busfault = nullptr;

void OnBusFault(int) {
    sigjmp_buf* back = busfault;
    if (back != nullptr) siglongjmp(*back, 1);
    // Returning runs the faulting instruction again, and it dies of the default action.
    signal(SIGBUS, SIG_DFL);
}

void CatchBusFaults() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnBusFault;
    // The signal stays unblocked when the handler jumps out of it (no mask is saved
    // or restored: no system call per guarded copy).
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, nullptr);
}

// Runs operation (a copy from or a store into a mapping); false when it faulted.
template <typename Operation>
__attribute__((noinline)) bool Guarded(Operation operation) {
    sigjmp_buf back;
    if (sigsetjmp(back, 0) != 0) {
        busfault = nullptr;
        return false;
    }
    busfault = &back;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    operation();
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    busfault = nullptr;
    return true;
}

// A process that serves many requests keeps the mappings of the files it closes, a
// few of them: the same file opened by a later request finds its pages mapped as they
// were. (Mapping a file afresh costs the system little; the first look at each part
// of a fresh mapping, and taking it down again, cost it far more.) A mapping is of
// one file, its device and inode, and shows what that file holds at every moment,
// whoever wrote it; a name that leads to another file since is mapped anew.
struct KeptMapping {
    dev_t device;
    ino_t inode;
    bool readwrite;  // it was asked for by a file open for reading and writing
    bool writable;   // and is writable
    unsigned char* map;
    long length;
    String path;
};

std::vector<KeptMapping>* g_kept = nullptr;  // null: a mapping goes with its file
const size_t kKeptMappings = 16;

// The descriptors of closed files, kept likewise for the files' next opening: an open
// of the same name that finds, by the status just taken of it, the same file with the
// same permissions and owner, for the same use, takes the descriptor instead of
// opening the file again. Only a descriptor on which no lock is held is kept.
struct KeptDescriptor {
    String path;
    int flags;
    struct stat identity;
    int fd;
};
std::vector<KeptDescriptor>* g_keptfds = nullptr;

void DropKept(size_t i) {
    munmap((*g_kept)[i].map, static_cast<size_t>((*g_kept)[i].length));
    g_kept->erase(g_kept->begin() + static_cast<long>(i));
}

}  // namespace

void UNIXFileManager::KeepMappings(bool keep) {
    if (keep) {
        if (g_kept == nullptr) g_kept = new std::vector<KeptMapping>;
        if (g_keptfds == nullptr) g_keptfds = new std::vector<KeptDescriptor>;
        return;
    }
    if (g_keptfds != nullptr) {
        for (const KeptDescriptor& k : *g_keptfds) close(k.fd);
        delete g_keptfds;
        g_keptfds = nullptr;
    }
    if (g_kept == nullptr) return;
    while (!g_kept->empty()) DropKept(g_kept->size() - 1);
    delete g_kept;
    g_kept = nullptr;
}

size_t UNIXFileManager::KeptMappings() {
    return g_kept != nullptr ? g_kept->size() : 0;
}

size_t UNIXFileManager::KeptDescriptors() {
    return g_keptfds != nullptr ? g_keptfds->size() : 0;
}

bool UNIXFile::TakeKeptMapping(const struct stat& st, bool readwrite, long end) {
    if (g_kept == nullptr) return false;
    bool taken = false;
    for (size_t i = g_kept->size(); i-- > 0;) {
        KeptMapping& k = (*g_kept)[i];
        bool same = k.device == st.st_dev && k.inode == st.st_ino;
        if (same && k.readwrite == readwrite && !taken && end <= k.length) {
            map_ = k.map;
            maplength_ = k.length;
            mapwritable_ = k.writable;
            g_kept->erase(g_kept->begin() + static_cast<long>(i));
            taken = true;
        } else if (same ? k.readwrite == readwrite : k.path == info_->path_) {
            // Too short for the file now, or a file the name no longer leads to
            // (whose pages it would hold on to).
            DropKept(i);
        }
    }
    return taken;
}

bool UNIXFile::KeepMapping() {
    if (g_kept == nullptr || map_ == nullptr || info_ == nullptr) return false;
    for (const KeptMapping& k : *g_kept) {
        if (k.device == mapdevice_ && k.inode == mapinode_ && k.readwrite == mapreadwrite_) {
            return false;  // the same file opened twice: one mapping is kept
        }
    }
    if (g_kept->size() >= kKeptMappings) DropKept(0);
    g_kept->push_back(KeptMapping{mapdevice_, mapinode_, mapreadwrite_, mapwritable_, map_,
                                  maplength_, info_->path_});
    return true;
}

int UNIXFile::MapThrough(long end) {
    if (map_ != nullptr && end <= fileend_ && end <= maplength_) return 1;
    if (nomap_ || end < 1) return -1;
    int fd = Descriptor();
    struct stat st;
    if (fd < 0 || !TakeStatus(fd, &st)) return -1;
    fileend_ = static_cast<long>(st.st_size);
    if (end > fileend_) return 0;
    if (end <= maplength_) return 1;
    int mode = info_->mode_;
    bool readwrite = (mode & FileRead) && (mode & FileWrite) && !(mode & FileAppend);
    if (map_ == nullptr && S_ISREG(st.st_mode) && TakeKeptMapping(st, readwrite, end)) {
        mapdevice_ = st.st_dev;
        mapinode_ = st.st_ino;
        mapreadwrite_ = readwrite;
        return 1;
    }
    bool writable = readwrite && OverwritesInPlace(fd);
    // The file as it is now and some way beyond, which it grows into without being
    // mapped again (nothing beyond its end is ever touched).
    long page = sysconf(_SC_PAGESIZE);
    long length = (fileend_ + fileend_ / 4 + (1L << 20) + page - 1) / page * page;
    void* map = S_ISREG(st.st_mode)
                    ? mmap(nullptr, static_cast<size_t>(length),
                           writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0)
                    : MAP_FAILED;
    if (map == MAP_FAILED) {
        nomap_ = true;
        return -1;
    }
    CatchBusFaults();
    if (map_ != nullptr) munmap(map_, static_cast<size_t>(maplength_));
    map_ = static_cast<unsigned char*>(map);
    maplength_ = length;
    mapwritable_ = writable;
    mapdevice_ = st.st_dev;
    mapinode_ = st.st_ino;
    mapreadwrite_ = readwrite;
    return 1;
}

bool UNIXFile::Peek(long offset, unsigned char* out, long n) {
    if (offset < 0 || n < 0 || MapThrough(offset + n) != 1) return false;
    const unsigned char* from = map_ + offset;
    if (Guarded([&] { memcpy(out, from, static_cast<size_t>(n)); })) return true;
    Unmap();  // the file shrank: what it holds now is learnt again from the system
    return false;
}

bool UNIXFile::Store(long offset, const unsigned char* bytes, int n) {
    if (offset < 0 || !(n == 1 || (n == 8 && offset % 8 == 0))) return false;
    if (MapThrough(offset + n) != 1 || !mapwritable_) return false;
    unsigned char* to = map_ + offset;
    // One instruction each: a signal cannot come between its bytes.
    bool stored = Guarded([&] {
        if (n == 1) {
            __atomic_store_n(to, bytes[0], __ATOMIC_RELAXED);
        } else {
            unsigned long long word;
            memcpy(&word, bytes, 8);
            __atomic_store_n(reinterpret_cast<unsigned long long*>(to), word, __ATOMIC_RELAXED);
        }
    });
    if (stored) return true;
    Unmap();
    return false;
}

void UNIXFile::Unmap(bool keep) {
    if (map_ != nullptr && !(keep && KeepMapping())) munmap(map_, static_cast<size_t>(maplength_));
    map_ = nullptr;
    maplength_ = 0;
    fileend_ = 0;
}

void UNIXFile::Close() {
    Unmap(true);
    if (info_ != nullptr) manager_->CloseFile(this);
    info_ = nullptr;
}

// ---------------------------------------------------------------------------
// UNIXFileManager

UNIXFileManager::UNIXFileManager(Kelp* engine)
    : engine_(engine), active_(1), inactive_(1), temporarycounter_(0) {}

UNIXFileManager::~UNIXFileManager() {
    for (const auto& held : lockfiles_) RemoveIfUnchanged(held.first, held.second);
    // Files still open belong to their owners; only the bookkeeping ends here.
    for (UNIXFileInfo* i = active_.First(); i != nullptr; i = active_.Next()) {
        if (i->fd_ >= 0) close(i->fd_);
        i->file_->info_ = nullptr;
    }
    for (UNIXFileInfo* i = inactive_.First(); i != nullptr; i = inactive_.Next()) {
        i->file_->info_ = nullptr;
    }
}

int UNIXFileManager::Fail() {
    return Fail(strerror(errno));
}

int UNIXFileManager::Fail(const String& message) {
    error_ = message;
    return -1;
}

int UNIXFileManager::FreeFileSpace(int n) {
    int limit = engine_->settings().maxfiles;
    if (limit <= 0) return 1;
    String message = "Simultaneous request for " + String::FromInt(n) + kMaxfilesMessage;
    if (limit < n) {
        Fail(message);
        return 0;
    }
    while (active_.Entries() + n > limit) {
        // The least recently used file without locks gives up its descriptor.
        UNIXFileInfo* victim = active_.Last();
        while (victim != nullptr && victim->locks_ > 0) victim = active_.Previous();
        if (victim == nullptr) {
            Fail(message);
            return 0;
        }
        active_.Remove(ListCurrent);
        Deactivate(victim);
        inactive_.Insert(victim, ListHead);
    }
    return 1;
}

void UNIXFileManager::Deactivate(UNIXFileInfo* info) {
    // The file is opened by its name again when next used, and the name may lead to
    // another file by then: its mapping goes with the descriptor.
    info->file_->Unmap(true);
    close(info->fd_);
    info->fd_ = -1;
    info->identified_ = false;
}

void UNIXFileManager::SeenFile(const String& path, const struct stat* st) {
    if (g_keptfds == nullptr) return;
    if (st == nullptr || !S_ISREG(st->st_mode)) {
        seenpath_.clear();
        return;
    }
    seenpath_ = path;
    seenfile_ = *st;
}

bool UNIXFileManager::HoldsLocks() {
    for (UNIXFileInfo* i = active_.First(); i != nullptr; i = active_.Next()) {
        if (i->locks_ > 0) return true;
    }
    return false;  // (an inactive file holds none: it would not have been deactivated)
}

bool UNIXFileManager::DropKeptDescriptor(size_t i) {
    if (HoldsLocks()) return false;
    close((*g_keptfds)[i].fd);
    g_keptfds->erase(g_keptfds->begin() + static_cast<long>(i));
    return true;
}

int UNIXFileManager::TakeKeptDescriptor(const String& path, int flags) {
    if (g_keptfds == nullptr || seenpath_.empty()) return -1;
    bool seen = seenpath_ == path;
    seenpath_.clear();
    if (!seen) return -1;
    const struct stat& now = seenfile_;
    for (size_t i = g_keptfds->size(); i-- > 0;) {
        KeptDescriptor& k = (*g_keptfds)[i];
        if (!(k.path == path)) continue;
        const struct stat& then = k.identity;
        if (k.flags == flags && then.st_dev == now.st_dev && then.st_ino == now.st_ino &&
            then.st_mode == now.st_mode && then.st_uid == now.st_uid && then.st_gid == now.st_gid) {
            int fd = k.fd;
            g_keptfds->erase(g_keptfds->begin() + static_cast<long>(i));
            return fd;
        }
        // The name leads to another file now, or the file was made out of reach:
        // its descriptor goes (when it can).
        if (then.st_dev != now.st_dev || then.st_ino != now.st_ino || k.flags == flags) {
            DropKeptDescriptor(i);
        }
    }
    return -1;
}

bool UNIXFileManager::KeepDescriptor(UNIXFileInfo* info) {
    const int kept = kKeptMappings;
    if (g_keptfds == nullptr || info->fd_ < 0 || !info->identified_ || info->locks_ != 0 ||
        (info->mode_ & (FileCreate | FileTruncate | FileExclusive | FileAppend)) != 0) {
        return false;
    }
    int flags = OpenFlags(info->mode_);
    for (const KeptDescriptor& k : *g_keptfds) {
        // The same file opened twice: one descriptor is kept.
        if (k.identity.st_dev == info->identity_.st_dev &&
            k.identity.st_ino == info->identity_.st_ino && k.flags == flags) {
            return false;
        }
    }
    if (static_cast<int>(g_keptfds->size()) >= kept && !DropKeptDescriptor(0)) return false;
    g_keptfds->push_back(KeptDescriptor{info->path_, flags, info->identity_, info->fd_});
    return true;
}

int UNIXFileManager::ActivateFileInfo(UNIXFile* file) {
    UNIXFileInfo* info = file->info_;
    if (active_.First() == info) return 1;
    if (active_.Seek(info) != nullptr) {
        active_.Remove(ListCurrent);
        active_.Insert(info, ListHead);
        return 1;
    }
    if (inactive_.Seek(info) == nullptr) {
        Fail("File is not open");
        return 0;
    }
    if (!FreeFileSpace(1)) return 0;
    // Reopen without the effects that only the first opening should have.
    int mode = info->mode_ & ~(FileCreate | FileTruncate | FileExclusive);
    int fd = open(info->path_.chars(), OpenFlags(mode));
    if (fd < 0) {
        Fail();
        if (fd >= 0) close(fd);
        return 0;
    }
    inactive_.Seek(info);
    inactive_.Remove(ListCurrent);
    info->fd_ = fd;
    active_.Insert(info, ListHead);
    return 1;
}

void UNIXFileManager::CloseFile(UNIXFile* file) {
    UNIXFileInfo* info = file->info_;
    if (active_.Seek(info) != nullptr) {
        active_.Remove(ListCurrent);
    } else if (inactive_.Seek(info) != nullptr) {
        inactive_.Remove(ListCurrent);
    }
    if (info->fd_ >= 0 && !KeepDescriptor(info)) close(info->fd_);
    delete info;
}

int UNIXFileManager::CreateBeside(const String& path, int flags, int fresh, String* made,
                                  String* target) {
    // A symbolic link is followed, as an open would: the file it leads to is replaced.
    *target = path;
    struct stat st;
    bool exists = lstat(path.chars(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        char* resolved = realpath(path.chars(), nullptr);
        if (resolved == nullptr) return Fail();
        *target = String(resolved);
        free(resolved);
        exists = stat(target->chars(), &st) == 0;
    }
    mode_t mode = exists ? (st.st_mode & 0777) : static_cast<mode_t>(fresh);
    for (int tries = 0; tries < 1000; tries++) {
        char suffix[32];
        snprintf(suffix, sizeof suffix, "~new%ld.%d", static_cast<long>(getpid()), tries);
        *made = *target + suffix;
        int fd = open(made->chars(),
                      (flags & ~(O_TRUNC | O_APPEND)) | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd >= 0) {
            fchmod(fd, mode);  // whatever the umask
            return fd;
        }
        if (errno != EEXIST) return Fail();
    }
    return Fail("Unable to generate unique temporary filename");
}

File* UNIXFileManager::Open(const String& path, int mode) {
    if (!FreeFileSpace(1)) return nullptr;
    int fd;
    bool identified = false;
    struct stat st;
    if ((mode & FileTruncate) && !(mode & FileExclusive) && stat(path.chars(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
        // Never cut short a file that others may have open (and mapped): an empty file
        // takes its place, and they keep the old one.
        String made, target;
        fd = CreateBeside(path, OpenFlags(mode), 0644, &made, &target);
        if (fd < 0) return nullptr;
        if (rename(made.chars(), target.chars()) < 0) {
            Fail();
            close(fd);
            unlink(made.chars());
            return nullptr;
        }
    } else {
        bool plain = (mode & (FileCreate | FileTruncate | FileExclusive | FileAppend)) == 0;
        fd = plain ? TakeKeptDescriptor(path, OpenFlags(mode)) : -1;
        if (fd >= 0) {
            identified = true;
        } else {
            fd = open(path.chars(), OpenFlags(mode), 0644);
        }
    }
    seenpath_.clear();
    if (fd < 0) {
        Fail();
        return nullptr;
    }
    UNIXFile* file = new UNIXFile(this);
    file->info_ = new UNIXFileInfo(file, path, fd, mode);
    if (identified) {
        file->info_->identified_ = true;
        file->info_->identity_ = seenfile_;
    }
    active_.Insert(file->info_, ListHead);
    return file;
}

void UNIXFileManager::SeenScript(const String& path, const struct stat& st) {
    if (pagecache_ != nullptr) pagecache_->Seen(path, st);
}

File* UNIXFileManager::OpenScript(const String& path) {
    if (pagecache_ == nullptr) return Open(path, FileRead);
    return pagecache_->Open(path, &error_);
}

File* UNIXFileManager::MakeTemporary(const String& prefix, String* name, int mode) {
    if (!FreeFileSpace(1)) return nullptr;
    if (temporarycounter_ == 0) {
        // Start where other processes are unlikely to be: probing from 1 on every
        // request walks past every name left behind before.
        struct timeval now;
        now = ClockNow();
        unsigned long seed = static_cast<unsigned long>(getpid()) * 2654435761UL ^
                             static_cast<unsigned long>(now.tv_sec) * 40503UL ^
                             static_cast<unsigned long>(now.tv_usec);
        temporarycounter_ = (seed & 0x7FFFFFFFUL) | 1;
    }
    for (int tries = 0; tries < 100000; tries++) {
        char digits[16];
        temporarycounter_ = (temporarycounter_ + 1) & 0xFFFFFFFFUL;
        snprintf(digits, sizeof digits, "%08lX", temporarycounter_);
        String candidate = prefix + digits;
        File* file = Open(candidate, mode | FileCreate | FileExclusive);
        if (file != nullptr) {
            *name = candidate;
            return file;
        }
        if (errno != EEXIST) return nullptr;  // the system's message is kept
    }
    Fail("Unable to generate unique temporary filename");
    return nullptr;
}

int UNIXFileManager::Lock(const String& path) {
    if (!FreeFileSpace(1)) return LockError;
    long pid = static_cast<long>(getpid());
    String host = engine_->settings().lockhostname;
    if (host.empty()) host = FileManager::MachineName();
    String mine = path + "." + host + "." + String::FromInt(pid);
    String content = String::FromInt(pid) + ":" + host;
    int fd = open(mine.chars(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
    if (fd < 0) return Fail();
    bool written = write(fd, content.chars(), content.length()) == content.length();
    close(fd);
    if (!written) {
        Fail();
        unlink(mine.chars());
        return LockError;
    }
    int result = LockTimedOut;
    for (bool first = true;; first = false) {
        // Every retry waits a little: nothing here may spin.
        if (!first) Pause10ms();
        if (engine_->timedout()) break;
        if (link(mine.chars(), path.chars()) < 0 && errno != EEXIST) {
            result = Fail();
            break;
        }
        struct stat ours, theirs;
        if (stat(mine.chars(), &ours) < 0) {
            result = Fail();
            break;
        }
        if (lstat(path.chars(), &theirs) < 0) continue;  // removed meanwhile: try again
        if (ours.st_ino == theirs.st_ino && ours.st_dev == theirs.st_dev) {
            result = LockTaken;
            lockfiles_.emplace_back(path, theirs);
            break;
        }
        if (!S_ISREG(theirs.st_mode)) {
            result = Fail("'" + path + "' is in the way of the lock and is not a regular file");
            break;
        }
        // Held by someone else: who?
        char holder[512];
        int n = 0;
        int hfd = open(path.chars(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (hfd >= 0) {
            n = static_cast<int>(read(hfd, holder, sizeof holder - 1));
            close(hfd);
        }
        holder[n > 0 ? n : 0] = '\0';
        char* colon = strchr(holder, ':');
        bool stale = false;
        if (colon != nullptr && colon != holder && host == colon + 1) {
            long owner = strtol(holder, nullptr, 10);
            if (owner == pid) {
                Fail("Possible deadlock detected");
                result = LockHeldHere;
                break;
            }
            // Left by a process that no longer runs?
            stale = owner > 0 && kill(static_cast<pid_t>(owner), 0) < 0 && errno == ESRCH;
        } else {
            // Another host's lock, or unreadable: only its age can free it.
            int expiration = engine_->settings().lockexpiration;
            stale = expiration > 0 && ClockSeconds() - theirs.st_mtime >= expiration;
        }
        if (stale) RemoveIfUnchanged(path, theirs);
    }
    unlink(mine.chars());
    if (result == LockTimedOut) Fail("Timed out waiting for lock");
    return result;
}

void UNIXFileManager::RemoveIfUnchanged(const String& path, const struct stat& judged) {
    // Another process may have removed the stale lock and taken a fresh one since it
    // was judged: only the very file that was judged stale is removed.
    struct stat now;
    if (lstat(path.chars(), &now) == 0 && now.st_ino == judged.st_ino &&
        now.st_dev == judged.st_dev && now.st_mtime == judged.st_mtime) {
        unlink(path.chars());
    }
}

int UNIXFileManager::OpenDescriptorOf(const String& path) {
    struct stat wanted;
    if (stat(path.chars(), &wanted) < 0) return -1;
    for (UNIXFileInfo* info = active_.First(); info != nullptr; info = active_.Next()) {
        struct stat st;
        if (info->fd_ >= 0 && fstat(info->fd_, &st) == 0 && st.st_ino == wanted.st_ino &&
            st.st_dev == wanted.st_dev) {
            return info->fd_;
        }
    }
    return -1;
}

int UNIXFileManager::Delete(const String& path) {
    for (auto it = lockfiles_.begin(); it != lockfiles_.end(); ++it) {
        if (it->first == path) {
            lockfiles_.erase(it);
            break;
        }
    }
    return unlink(path.chars()) < 0 ? Fail() : 1;
}

int UNIXFileManager::Copy(const String& source, const String& dest) {
    if (!FreeFileSpace(2)) return -1;
    // Closing any descriptor of a file drops every lock this process holds on it: a
    // source this process has open is read through the descriptor it already has.
    int shared = OpenDescriptorOf(source);
    int in = shared >= 0 ? shared : open(source.chars(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return Fail();
    // The copy is made beside the destination and renamed over it whole: a reader
    // of the old file (and its locks) keeps it, and nobody sees half a copy.
    String made, target;
    int out = CreateBeside(dest, O_WRONLY | O_CLOEXEC, 0600, &made, &target);
    if (out < 0) {
        if (shared < 0) close(in);
        return -1;
    }
    int result = CopyBytes(in, out);
    if (shared < 0) close(in);
    if (close(out) < 0 && result == 1) result = Fail();
    if (result == 1 && rename(made.chars(), target.chars()) < 0) result = Fail();
    if (result != 1) unlink(made.chars());
    return result;
}

int UNIXFileManager::CopyBytes(int in, int out) {
    char buffer[8192];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(in, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Fail();
        if (n == 0) return 1;
        at += n;
        ssize_t done = 0;
        while (done < n) {
            ssize_t w = write(out, buffer + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return Fail();
            done += w;
        }
    }
}

int UNIXFileManager::Rename(const String& from, const String& to) {
    return rename(from.chars(), to.chars()) < 0 ? Fail() : 1;
}

int UNIXFileManager::TouchFile(const String& path) {
    // An existing file is only touched: opening and closing it would drop this
    // process's locks on it.
    if (utimensat(AT_FDCWD, path.chars(), nullptr, 0) == 0) return 1;
    if (errno != ENOENT) return Fail();
    int fd = open(path.chars(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return Fail();
    close(fd);
    return 1;
}

bool UNIXFileManager::Exists(const String& path) {
    struct stat st;
    if (stat(path.chars(), &st) == 0) return true;
    Fail();
    return false;
}

long UNIXFileManager::Length(const String& path) {
    struct stat st;
    if (stat(path.chars(), &st) < 0) return Fail();
    return static_cast<long>(st.st_size);
}

bool UNIXFileManager::IsDirectory(const String& path) {
    struct stat st;
    return stat(path.chars(), &st) == 0 && S_ISDIR(st.st_mode);
}

int UNIXFileManager::MakeDirectory(const String& path) {
    return mkdir(path.chars(), 0755) < 0 ? Fail() : 1;
}

int UNIXFileManager::RemoveDirectory(const String& path) {
    return rmdir(path.chars()) < 0 ? Fail() : 1;
}

int UNIXFileManager::MakeSymbolicLink(const String& target, const String& link) {
    return symlink(target.chars(), link.chars()) < 0 ? Fail() : 1;
}

int UNIXFileManager::Mode(const String& path) {
    struct stat st;
    if (stat(path.chars(), &st) < 0) return Fail();
    return static_cast<int>(st.st_mode & 07777);
}

int UNIXFileManager::ChangeMode(const String& path, int mode) {
    // Scripts set permissions, never set-user-id, set-group-id or sticky bits.
    return chmod(path.chars(), static_cast<mode_t>(mode & 0777)) < 0 ? Fail() : 1;
}

int UNIXFileManager::GetOwnerUID(const String& path) {
    struct stat st;
    if (stat(path.chars(), &st) < 0) return Fail();
    return static_cast<int>(st.st_uid);
}
