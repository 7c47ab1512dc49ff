// The Unix file layer: the descriptor limit, byte-range locks and lock files between
// real processes, temporary files, and the resolution of scripts' names.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <string>

#include "host/unix_file_manager.h"
#include "tests/support/print.h"
#include "tests/support/slack.h"
#include "tests/support/test_engine.h"

namespace {

long NowMs() {
    struct timeval t;
    gettimeofday(&t, nullptr);
    return t.tv_sec * 1000L + t.tv_usec / 1000;
}

std::string ReadFile(const String& path) {
    FILE* f = fopen(path.chars(), "rb");
    if (f == nullptr) return "";
    char buffer[256];
    size_t n = fread(buffer, 1, sizeof buffer, f);
    fclose(f);
    return std::string(buffer, n);
}

// Runs body in a child process and returns its exit status.
template <class Body>
pid_t Fork(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(FileManager, DescriptorLimitReopensFilesWhereTheyWere) {
    TestKelp engine;
    TempDir dir;
    engine.configure().maxfiles = 2;
    FileManager* files = engine.filemanager();
    File* f[3];
    for (int i = 0; i < 3; i++) {
        f[i] = files->Open(dir.File(("t" + std::to_string(i)).c_str()),
                           FileRead | FileWrite | FileCreate);
        ASSERT_NE(nullptr, f[i]) << files->error();
        f[i]->Write(String("abcdef"));
        f[i]->Seek(2 + i);
    }
    UNIXFileManager* unix = static_cast<UNIXFileManager*>(files);
    EXPECT_EQ(2, unix->activefiles());
    // The first file lost its descriptor; using it brings it back at its position.
    char c;
    ASSERT_EQ(1, f[0]->Read(&c, 1));
    EXPECT_EQ('c', c);
    ASSERT_EQ(1, f[2]->Read(&c, 1));
    EXPECT_EQ('e', c);
    ASSERT_EQ(1, f[1]->Read(&c, 1));
    EXPECT_EQ('d', c);
    EXPECT_EQ(2, unix->activefiles());
    for (File* x : f) delete x;
    EXPECT_EQ(0, unix->activefiles());

    engine.configure().maxfiles = 1;
    EXPECT_LT(files->Copy(dir.File("t0"), dir.File("copy")), 0);
    EXPECT_EQ(String("Simultaneous request for 2 file handles exceeds the 'maxfiles' "
                     "configuration directive."),
              files->error());
}

TEST(FileManager, FilesHoldingLocksKeepTheirDescriptors) {
    TestKelp engine;
    TempDir dir;
    engine.configure().maxfiles = 1;
    FileManager* files = engine.filemanager();
    File* locked = files->Open(dir.File("a"), FileRead | FileWrite | FileCreate);
    ASSERT_EQ(1, locked->Lock(FileExclusiveLock, 0, 10));
    // Closing its descriptor would drop the lock, so the limit is refused instead.
    EXPECT_EQ(nullptr, files->Open(dir.File("b"), FileRead | FileWrite | FileCreate));
    EXPECT_NE(-1, files->error().search("maxfiles", 0));
    ASSERT_EQ(1, locked->Release(0, 10));
    File* other = files->Open(dir.File("b"), FileRead | FileWrite | FileCreate);
    EXPECT_NE(nullptr, other);
    delete other;
    delete locked;
}

TEST(FileManager, StoresReachTheFileAtOnceAndNeverGoPastItsEnd) {
    TestKelp engine;
    TempDir dir;
    engine.configure().maxfiles = 1;
    FileManager* files = engine.filemanager();
    // Only file systems that overwrite in place take stores (elsewhere a store could
    // need room on a full disk): the others write, and this test has nothing to see.
    struct statfs fs;
    ASSERT_EQ(0, statfs(dir.path().chars(), &fs));
    if (fs.f_type != 0xEF53 && fs.f_type != 0x01021994) {
        GTEST_SKIP() << "no stores on this file system";
    }
    const unsigned char* word = reinterpret_cast<const unsigned char*>("ABCDEFGH");
    File* f = files->Open(dir.File("s"), FileRead | FileWrite | FileCreate);
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(16, f->Write(String("0123456789abcdef")));
    ASSERT_TRUE(f->Store(3, word + 7, 1));
    ASSERT_TRUE(f->Store(8, word, 8));
    EXPECT_EQ("012H4567ABCDEFGH", ReadFile(dir.File("s")));
    // Only one byte, or eight at a multiple of eight, and only over what the file holds.
    EXPECT_FALSE(f->Store(1, word, 8));
    EXPECT_FALSE(f->Store(0, word, 4));
    EXPECT_FALSE(f->Store(16, word, 1));
    EXPECT_FALSE(f->Store(16, word, 8));
    // What this process appends takes stores at once; what it cuts off never does (a
    // store there would kill the process).
    ASSERT_EQ(8, f->Write(String("ijklmnop")));
    EXPECT_TRUE(f->Store(22, word + 2, 1));
    EXPECT_EQ("ijklmnCp", ReadFile(dir.File("s")).substr(16));
    ASSERT_EQ(1, f->Truncate(20));
    EXPECT_FALSE(f->Store(22, word, 1));
    EXPECT_FALSE(f->Store(16, word, 8));
    EXPECT_TRUE(f->Store(19, word + 1, 1));
    // Another process makes the file longer: the store follows it there.
    ASSERT_EQ(0, Wait(Fork([&] {
                  int fd = open(dir.File("s").chars(), O_WRONLY | O_APPEND);
                  _exit(fd >= 0 && write(fd, "qrstuvwxyz012345", 16) == 16 ? 0 : 1);
              })));
    EXPECT_TRUE(f->Store(24, word, 8));
    // The descriptor limit closes the file's descriptor and its mapping: stores go on.
    File* other = files->Open(dir.File("t"), FileRead | FileWrite | FileCreate);
    ASSERT_NE(nullptr, other);
    EXPECT_TRUE(f->Store(0, word + 3, 1));
    EXPECT_EQ("D12H4567ABCDEFGHijkBqrstABCDEFGH2345", ReadFile(dir.File("s")));
    delete other;
    delete f;
    // A file open for reading only takes none.
    File* reader = files->Open(dir.File("s"), FileRead);
    ASSERT_NE(nullptr, reader);
    EXPECT_FALSE(reader->Store(0, word, 1));
    delete reader;
    EXPECT_EQ('D', ReadFile(dir.File("s"))[0]);
}

// Another process cuts a mapped file short (a copy over it, a truncation): looking
// at the lost bytes fails and falls back to reading, and nothing kills this process.
TEST(FileManager, AFileCutShortUnderItsMappingIsReportedNotFatal) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    std::string page(8192, 'x');
    File* f = files->Open(dir.File("m"), FileRead | FileWrite | FileCreate);
    ASSERT_NE(nullptr, f);
    ASSERT_EQ(8192, f->Write(page.data(), 8192));
    unsigned char got[16];
    ASSERT_TRUE(f->Peek(4096, got, 16));
    EXPECT_EQ(0, memcmp(got, "xxxxxxxxxxxxxxxx", 16));
    const unsigned char one = 'y';
    bool stores = f->Store(5000, &one, 1);
    ASSERT_EQ(0, truncate(dir.File("m").chars(), 0));
    // The mapping still reaches where the file was: each look would be a bus error.
    EXPECT_FALSE(f->Peek(4096, got, 16));
    EXPECT_FALSE(f->Peek(0, got, 16));
    EXPECT_FALSE(f->Store(5000, &one, 1));
    EXPECT_EQ(0, f->Length());
    // Written again, the file is seen again.
    ASSERT_EQ(0, f->Seek(0));
    ASSERT_EQ(8192, f->Write(page.data(), 8192));
    EXPECT_TRUE(f->Peek(4096, got, 16));
    EXPECT_EQ(stores, f->Store(5000, &one, 1));
    delete f;
}

// A process serving many requests keeps the mappings of the files it closes: the
// next opening of a file sees what the file holds then, whoever wrote it, and a name
// that leads to another file since is never served the old one.
TEST(FileManager, KeptMappingsShowEachFileAsItIsNow) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    UNIXFileManager::KeepMappings(true);
    auto peek = [&](const String& path, long offset, int mode = FileRead) {
        File* f = files->Open(path, mode);
        unsigned char c = 0;
        bool seen = f != nullptr && f->Peek(offset, &c, 1);
        delete f;
        return seen ? static_cast<char>(c) : '-';
    };
    std::string bytes(8192, 'a');
    File* w = files->Open(dir.File("a"), FileRead | FileWrite | FileCreate);
    ASSERT_EQ(8192, w->Write(bytes.data(), 8192));
    delete w;
    EXPECT_EQ('a', peek(dir.File("a"), 100, FileRead | FileWrite));
    EXPECT_EQ(1u, UNIXFileManager::KeptMappings());
    // Another process writes into it, then cuts it short: seen at the next opening.
    ASSERT_EQ(0, Wait(Fork([&] {
                  int fd = open(dir.File("a").chars(), O_WRONLY);
                  _exit(fd >= 0 && pwrite(fd, "b", 1, 100) == 1 ? 0 : 1);
              })));
    EXPECT_EQ('b', peek(dir.File("a"), 100, FileRead | FileWrite));
    EXPECT_EQ('b', peek(dir.File("a"), 100));  // opened for reading only: a mapping of its own
    ASSERT_EQ(0, truncate(dir.File("a").chars(), 4096));
    EXPECT_EQ('-', peek(dir.File("a"), 5000, FileRead | FileWrite));
    EXPECT_EQ('b', peek(dir.File("a"), 100, FileRead | FileWrite));
    // Grown far past what was mapped, it is mapped again.
    std::string more(4 << 20, 'g');
    w = files->Open(dir.File("a"), FileRead | FileWrite);
    ASSERT_EQ(4096, w->Seek(4096));
    ASSERT_EQ(4L << 20, w->Write(more.data(), 4 << 20));
    delete w;
    EXPECT_EQ('g', peek(dir.File("a"), (4 << 20) + 4000, FileRead | FileWrite));
    // Another file takes the name: it is the one seen, and the old one is let go.
    size_t kept = UNIXFileManager::KeptMappings();
    w = files->Open(dir.File("new"), FileWrite | FileCreate);
    ASSERT_EQ(200, w->Write(std::string(200, 'c').data(), 200));
    delete w;
    ASSERT_EQ(0, rename(dir.File("new").chars(), dir.File("a").chars()));
    EXPECT_EQ('c', peek(dir.File("a"), 100, FileRead | FileWrite));
    EXPECT_EQ(kept - 1, UNIXFileManager::KeptMappings());  // the reader's went too
    // A few are kept, however many files were opened.
    for (int i = 0; i < 40; i++) {
        String path = dir.File(("f" + std::to_string(i)).c_str());
        w = files->Open(path, FileRead | FileWrite | FileCreate);
        ASSERT_EQ(1, w->Write("x", 1));
        delete w;
        EXPECT_EQ('x', peek(path, 0));
    }
    EXPECT_EQ(16u, UNIXFileManager::KeptMappings());
    UNIXFileManager::KeepMappings(false);
    EXPECT_EQ(0u, UNIXFileManager::KeptMappings());
    EXPECT_EQ('c', peek(dir.File("a"), 100));
    EXPECT_EQ(0u, UNIXFileManager::KeptMappings());
}

// A process serving many requests keeps the descriptors of the files it closes too:
// an opening whose name, by the status just taken of it, leads to the same file takes
// the kept descriptor; a name that leads to another file since gets that file; and
// letting a kept descriptor go never drops a lock held through another one.
TEST(FileManager, KeptDescriptorsServeTheirOwnFileOnly) {
    TestKelp engine;
    TempDir dir;
    UNIXFileManager* files = engine.unixfiles();
    UNIXFileManager::KeepMappings(true);
    String a = dir.File("a");
    auto write = [&](const String& path, const char* text) {
        FILE* f = fopen(path.chars(), "w");
        ASSERT_NE(nullptr, f);
        fputs(text, f);
        fclose(f);
    };
    // An opening as a request makes it: the name resolved (its status taken), the
    // file opened, its status asked for under its first lock.
    auto open = [&](const String& path) {
        struct stat st;
        files->SeenFile(path, lstat(path.chars(), &st) == 0 ? &st : nullptr);
        UNIXFile* f = static_cast<UNIXFile*>(files->Open(path, FileRead | FileWrite));
        if (f != nullptr) f->Identity(&st);
        return f;
    };
    auto text = [](File* f) {
        char c[8] = {};
        return f->Seek(0) == 0 && f->Read(c, 7) >= 0 ? std::string(c) : std::string("-");
    };
    write(a, "one");
    UNIXFile* f = open(a);
    ASSERT_NE(nullptr, f);
    delete f;
    EXPECT_EQ(1u, UNIXFileManager::KeptDescriptors());
    f = open(a);
    EXPECT_EQ(0u, UNIXFileManager::KeptDescriptors());  // taken
    EXPECT_EQ("one", text(f));
    delete f;
    // Without a status just taken, an opening opens.
    f = static_cast<UNIXFile*>(files->Open(a, FileRead | FileWrite));
    EXPECT_EQ(1u, UNIXFileManager::KeptDescriptors());
    // ... and a lock held through it stays held when the name moves to another file
    // and the kept descriptor of the old one would go.
    ASSERT_EQ(1, f->Lock(FileExclusiveLock, 0, 1));
    ASSERT_EQ(0, link(a.chars(), dir.File("old").chars()));
    write(dir.File("new"), "two");
    ASSERT_EQ(0, rename(dir.File("new").chars(), a.chars()));
    UNIXFile* g = open(a);
    EXPECT_EQ("two", text(g));
    auto locked = [&] {
        return Wait(Fork([&] {
            int fd = ::open(dir.File("old").chars(), O_RDWR);
            struct flock fl = {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            fl.l_len = 1;
            _exit(fd >= 0 && fcntl(fd, F_SETLK, &fl) < 0 ? 0 : 1);
        }));
    };
    EXPECT_EQ(0, locked());
    ASSERT_EQ(1, f->Release(0, 1));
    delete f;
    delete g;
    EXPECT_NE(0, locked());
    // Made out of reach: opened again, not served from what was kept.
    EXPECT_EQ(2u, UNIXFileManager::KeptDescriptors());  // the old file's and the new one's
    ASSERT_EQ(0, chmod(a.chars(), 0640));
    f = open(a);
    EXPECT_EQ(0u, UNIXFileManager::KeptDescriptors());
    EXPECT_EQ("two", text(f));
    delete f;
    UNIXFileManager::KeepMappings(false);
}

// Truncating opens and copies never cut short a file others have open: a new file
// takes the name, and a reader keeps reading the old one whole.
TEST(FileManager, ReplacingAFileLeavesItsReadersTheOldOne) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    std::string old(8192, 'o');
    File* w = files->Open(dir.File("live"), FileRead | FileWrite | FileCreate);
    ASSERT_EQ(8192, w->Write(old.data(), 8192));
    delete w;
    ASSERT_EQ(0, chmod(dir.File("live").chars(), 0640));
    File* reader = files->Open(dir.File("live"), FileRead);
    unsigned char got[4];
    ASSERT_TRUE(reader->Peek(8000, got, 4));
    File* fresh = files->Open(dir.File("live"), FileRead | FileWrite | FileTruncate);
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(0, fresh->Length());
    EXPECT_EQ(3, fresh->Write("new", 3));
    EXPECT_EQ("new", ReadFile(dir.File("live")));
    EXPECT_EQ(0640, files->Mode(dir.File("live")));
    EXPECT_TRUE(reader->Peek(8000, got, 4));
    EXPECT_EQ(0, memcmp(got, "oooo", 4));
    EXPECT_TRUE(reader->Unlinked());
    delete fresh;
    delete reader;

    // A copy over a file replaces it whole, keeps its permission bits, and a file
    // copied onto itself keeps its bytes.
    ASSERT_EQ(0, chmod(dir.File("live").chars(), 0604));
    File* src = files->Open(dir.File("src"), FileWrite | FileCreate);
    src->Write("source bytes", 12);
    delete src;
    reader = files->Open(dir.File("live"), FileRead);
    EXPECT_EQ(1, files->Copy(dir.File("src"), dir.File("live")));
    EXPECT_EQ("source bytes", ReadFile(dir.File("live")));
    EXPECT_EQ(0604, files->Mode(dir.File("live")));
    EXPECT_EQ(3, reader->Length());
    delete reader;
    EXPECT_EQ(1, files->Copy(dir.File("live"), dir.File("live")));
    EXPECT_EQ("source bytes", ReadFile(dir.File("live")));
    EXPECT_EQ(1, files->Copy(dir.File("src"), dir.File("newcopy")));
    EXPECT_EQ(0600, files->Mode(dir.File("newcopy")));
    // A copy that fails leaves the file as it was, and nothing beside it.
    EXPECT_NE(1, files->Copy(dir.File("missing"), dir.File("live")));
    EXPECT_EQ("source bytes", ReadFile(dir.File("live")));
    std::string listing;
    DIR* d = opendir(dir.path().chars());
    for (struct dirent* e = readdir(d); e != nullptr; e = readdir(d))
        listing += std::string(e->d_name) + " ";
    closedir(d);
    EXPECT_EQ(std::string::npos, listing.find('~')) << listing;
}

TEST(FileManager, ByteRangeLockBlocksAnotherProcess) {
    TestKelp engine;
    TempDir dir;
    File* f = engine.filemanager()->Open(dir.File("data"), FileRead | FileWrite | FileCreate);
    ASSERT_EQ(1, f->Lock(FileExclusiveLock, 100, 50));
    long released = 0;
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = Fork([&] {
        TestKelp e;
        File* g = e.filemanager()->Open(dir.File("data"), FileRead | FileWrite);
        // A range beside the locked one is free at once.
        if (g->Lock(FileExclusiveLock, 0, 100) != 1) _exit(2);
        // (Timed from before the parent is told: its wait of 300 ms comes after.)
        long before = NowMs();
        char byte = 1;
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        if (g->Lock(FileSharedLock, 120, 1) != 1) _exit(4);  // waits for the parent
        _exit(NowMs() - before >= 200 ? 0 : 5);
    });
    char byte;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    usleep(300 * 1000);
    released = NowMs();
    ASSERT_EQ(1, f->Release(100, 50));
    EXPECT_EQ(0, Wait(child));
    EXPECT_GT(released, 0);
    delete f;
}

TEST(FileManager, LockFileProtocol) {
    TestKelp engine;
    TempDir dir;
    engine.configure().lockhostname = "hosta";
    FileManager* files = engine.filemanager();
    String lock = dir.File("res.lck");

    ASSERT_EQ(LockTaken, files->Lock(lock));
    EXPECT_EQ("" + std::to_string(getpid()) + ":hosta", ReadFile(lock));
    EXPECT_EQ(LockHeldHere, files->Lock(lock));
    EXPECT_EQ(String("Possible deadlock detected"), files->error());

    // Held by a live process of this host: the other side waits until its time runs out.
    pid_t waiter = Fork([&] {
        TestKelp e;
        e.configure().lockhostname = "hosta";
        e.SetDeadline(time(nullptr) + 1);
        int r = e.filemanager()->Lock(lock);
        _exit(r == LockTimedOut && e.filemanager()->error() == "Timed out waiting for lock" ? 0
                                                                                            : 1);
    });
    EXPECT_EQ(0, Wait(waiter));
    EXPECT_EQ(0, files->Delete(lock) - 1);

    // Left by a process that died: removed on the next attempt.
    pid_t dead = Fork([] {});
    Wait(dead);
    FILE* f = fopen(lock.chars(), "w");
    fprintf(f, "%d:hosta", static_cast<int>(dead));
    fclose(f);
    EXPECT_EQ(LockTaken, files->Lock(lock));
    files->Delete(lock);

    // Another host's lock: only its age frees it, and never with an expiration of 0.
    f = fopen(lock.chars(), "w");
    fprintf(f, "1234:hostb");
    fclose(f);
    engine.configure().lockexpiration = 0;
    engine.SetDeadline(time(nullptr) + 1);
    EXPECT_EQ(LockTimedOut, files->Lock(lock));
    engine.configure().lockexpiration = 60;
    engine.SetDeadline(time(nullptr) + 1);
    EXPECT_EQ(LockTimedOut, files->Lock(lock));
    struct utimbuf old = {time(nullptr) - 120, time(nullptr) - 120};
    ASSERT_EQ(0, utime(lock.chars(), &old));
    engine.SetDeadline(0);
    EXPECT_EQ(LockTaken, files->Lock(lock));
    EXPECT_EQ("" + std::to_string(getpid()) + ":hosta", ReadFile(lock));
    files->Delete(lock);
    // No private files are left behind.
    EXPECT_FALSE(files->Exists(lock + ".hosta." + String::FromInt(getpid())));
}

// A lock the request still holds when it ends (its page stopped inside KpLOCKFILE)
// goes with it, so that the next request of a process serving many finds it free; a
// lock file that has been replaced since is someone else's and stays, and one let go
// is not touched again.
TEST(FileManager, LocksStillHeldGoWithTheRequest) {
    TempDir dir;
    String held = dir.File("held.lck"), replaced = dir.File("replaced.lck"),
           released = dir.File("released.lck");
    {
        TestKelp engine;
        FileManager* files = engine.filemanager();
        ASSERT_EQ(LockTaken, files->Lock(held));
        ASSERT_EQ(LockTaken, files->Lock(replaced));
        ASSERT_EQ(LockTaken, files->Lock(released));
        ASSERT_EQ(1, files->Delete(released));
        dir.Write("released.lck", "someone else's");
        // (Another process's lock is its own file, made before ours went: linked in.)
        String theirs = dir.Write("theirs", "someone else's");
        ASSERT_EQ(0, rename(theirs.chars(), replaced.chars()));
    }
    EXPECT_NE(0, access(held.chars(), F_OK));
    EXPECT_EQ("someone else's", ReadFile(replaced));
    EXPECT_EQ("someone else's", ReadFile(released));
    TestKelp next;
    EXPECT_EQ(LockTaken, next.filemanager()->Lock(held));
}

TEST(FileManager, ALockPathThatIsNoFileFailsAtOnce) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    String lock = dir.File("res.lck");
    // A directory (or a link) in the way never counts as a lock, stale or not; with
    // no time limit at all this would otherwise spin for ever.
    ASSERT_EQ(0, mkdir(lock.chars(), 0755));
    struct utimbuf old = {time(nullptr) - 1000, time(nullptr) - 1000};
    utime(lock.chars(), &old);
    engine.SetDeadline(0);
    long start = NowMs();
    EXPECT_EQ(LockError, files->Lock(lock));
    EXPECT_LT(NowMs() - start, 1000 * LoadSlack());
    EXPECT_NE(-1, files->error().search("is not a regular file"));
    EXPECT_TRUE(files->IsDirectory(lock));
    rmdir(lock.chars());
    ASSERT_EQ(0, symlink(dir.File("elsewhere").chars(), lock.chars()));
    EXPECT_EQ(LockError, files->Lock(lock));
    unlink(lock.chars());

    // Waiting on a live holder sleeps between tries instead of burning the CPU.
    FILE* f = fopen(lock.chars(), "w");
    fprintf(f, "%d:%s", static_cast<int>(getppid()), FileManager::MachineName().chars());
    fclose(f);
    engine.SetDeadline(time(nullptr) + 1);
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    EXPECT_EQ(LockTimedOut, files->Lock(lock));
    getrusage(RUSAGE_SELF, &after);
    long cpu = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000L +
               (after.ru_utime.tv_usec - before.ru_utime.tv_usec) / 1000 +
               (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000L +
               (after.ru_stime.tv_usec - before.ru_stime.tv_usec) / 1000;
    EXPECT_LT(cpu, 500);
}

TEST(FileManager, CopyTouchAndModeKeepLocksAndPermissionsSafe) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    File* f = files->Open(dir.File("held"), FileRead | FileWrite | FileCreate);
    ASSERT_NE(nullptr, f);
    f->Write(String("0123456789"));
    ASSERT_EQ(1, f->Lock(FileExclusiveLock, 0, 10));
    EXPECT_EQ(1, files->Copy(dir.File("held"), dir.File("copy")));
    EXPECT_EQ("0123456789", ReadFile(dir.File("copy")));
    EXPECT_EQ(1, files->TouchFile(dir.File("held")));
    // Another process still finds the range locked.
    pid_t child = Fork([&] {
        int fd = open(dir.File("held").chars(), O_RDWR);
        struct flock fl;
        memset(&fl, 0, sizeof fl);
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_len = 10;
        _exit(fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? 0 : 1);
    });
    EXPECT_EQ(0, Wait(child)) << "copying or touching the file dropped its lock";
    delete f;

    EXPECT_EQ(1, files->ChangeMode(dir.File("copy"), 07755));
    EXPECT_EQ(0755, files->Mode(dir.File("copy")));
}

TEST(FileManager, FiftyProcessesCountUnderOneLockFile) {
    TempDir dir;
    String counter = dir.Write("counter", "0");
    String lock = dir.File("counter.lck");
    pid_t children[50];
    for (pid_t& child : children) {
        child = Fork([&] {
            TestKelp e;
            e.SetDeadline(time(nullptr) + 30);
            FileManager* files = e.filemanager();
            if (files->Lock(lock) != LockTaken) _exit(1);
            int n = atoi(ReadFile(counter).c_str());
            usleep(1000);  // widen the window a missing lock would leave open
            FILE* f = fopen(counter.chars(), "w");
            fprintf(f, "%d", n + 1);
            fclose(f);
            files->Delete(lock);
            _exit(0);
        });
    }
    int failures = 0;
    for (pid_t child : children) failures += Wait(child) != 0;
    EXPECT_EQ(0, failures);
    EXPECT_EQ("50", ReadFile(counter));
}

TEST(FileManager, TemporaryFilesAreUnique) {
    TestKelp engine;
    TempDir dir;
    FileManager* files = engine.filemanager();
    String a, b;
    File* fa = files->MakeTemporary(dir.File("up"), &a, FileRead | FileWrite);
    File* fb = files->MakeTemporary(dir.File("up"), &b, FileRead | FileWrite);
    ASSERT_NE(nullptr, fa);
    ASSERT_NE(nullptr, fb);
    EXPECT_NE(a, b);
    EXPECT_EQ(dir.File("up").length() + 8, a.length());
    String digits = a.from(a.length() - 8);
    EXPECT_EQ(8, static_cast<int>(strspn(digits.chars(), "0123456789ABCDEF"))) << digits.chars();
    delete fa;
    delete fb;
    // Names do not start from the same place in every process (walking past every
    // leftover of earlier requests), and a name already taken is never reused.
    UNIXFileManager other(&engine);
    String c;
    File* fc = other.MakeTemporary(dir.File("up"), &c, FileRead | FileWrite);
    ASSERT_NE(nullptr, fc);
    EXPECT_NE(a, c);
    EXPECT_NE(b, c);
    EXPECT_NE(String("00000001"), c.from(c.length() - 8));
    delete fc;
    EXPECT_EQ(String("a/b.c"), FileManager::StripExtension("a/b.c.d"));
    EXPECT_EQ(String("a.d/b"), FileManager::StripExtension("a.d/b"));
    EXPECT_EQ(String(".hidden"), FileManager::StripExtension(".hidden"));
    EXPECT_EQ(String("b.c"), FileManager::StripDirectory("a/b.c"));
}

TEST(ResolvePath, NamesMustStayInsideTheirDirectory) {
    TestKelp engine;
    TempDir dir;
    String data = dir.File("data");
    mkdir(data.chars(), 0755);
    mkdir(dir.File("data_evil").chars(), 0755);
    mkdir((data + "/sub").chars(), 0755);
    symlink("/etc", (data + "/out").chars());
    symlink("sub", (data + "/in").chars());
    engine.configure().datadirectory = data;
    struct {
        const char* name;
        const char* resolved;  // below the data directory; null when refused
    } cases[] = {
        {"x.dbf", "/x.dbf"},
        {"sub/x.dbf", "/sub/x.dbf"},
        {"sub/../x.dbf", "/x.dbf"},
        {"/x.dbf", "/x.dbf"},
        {"/etc/passwd", "/etc/passwd"},  // absolute names are taken inside too
        {"in/x.dbf", "/in/x.dbf"},
        {"./sub//x", "/sub/x"},
        {"sub/./../sub/x/..//y", "/sub/y"},
        {"sub/x/..", "/sub"},
        {"a/b/../../sub/x", "/sub/x"},
        {"../x", nullptr},
        {"a/../../x", nullptr},
        {"../data_evil/x", nullptr},
        {"out/passwd", nullptr},
        {"out", nullptr},
        {"..", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        String resolved, error;
        int ok = engine.ResolvePath(c.name, DataPath, &resolved, &error);
        if (c.resolved) {
            ASSERT_EQ(1, ok) << error;
            EXPECT_EQ(data + c.resolved, resolved);
        } else {
            EXPECT_EQ(0, ok);
            EXPECT_EQ("'" + String(c.name) + "' is not contained in the configured data directory",
                      error);
        }
    }
    String resolved, error;
    engine.configure().scriptdirectory = data;
    EXPECT_EQ(0, engine.ResolvePath("../x.kp", ScriptPath, &resolved, &error));
    EXPECT_EQ(String("'../x.kp' is not contained in the configured script directory"), error);
}

// A process that serves many requests keeps where its directories lead; a directory
// that is a link moved to another release is followed at the next request, both for
// what it lets in and for what it keeps out.
TEST(ResolvePath, KeptRootsFollowALinkMovedToAnotherDirectory) {
    TempDir dir;
    String one = dir.File("one"), two = dir.File("two"), current = dir.File("current");
    mkdir(one.chars(), 0755);
    mkdir(two.chars(), 0755);
    mkdir((two + "/sub").chars(), 0755);
    symlink("sub", (two + "/inside").chars());      // stays in release two
    symlink(one.chars(), (two + "/back").chars());  // leads to the old release
    symlink(one.chars(), current.chars());
    Kelp::KeepRealRoots(true);
    auto resolves = [&](const char* name) {
        TestKelp engine;  // one request, which looks at its directory as it starts
        engine.configure().datadirectory = current;
        struct stat st;
        if (stat(current.chars(), &st) == 0) engine.SeenDirectory(current + "/", st);
        String resolved, error;
        return engine.ResolvePath(name, DataPath, &resolved, &error);
    };
    EXPECT_EQ(1, resolves("x.dbf"));
    unlink(current.chars());
    symlink(two.chars(), current.chars());
    EXPECT_EQ(1, resolves("inside/x.dbf"));
    EXPECT_EQ(0, resolves("back/x.dbf"));
    EXPECT_EQ(1, resolves("inside/x.dbf"));  // from what was kept, unchanged
    Kelp::KeepRealRoots(false);
}

// A name found missing directly in a directory is known missing, without a look, for
// as long as the directory keeps the status it had then; a name made in it changes
// that status. Only a directory settled for a while is trusted so.
TEST(ResolvePath, KeptRootsKnowMissingNamesWhileTheirDirectoryIsUnchanged) {
    TempDir dir;
    String data = dir.File("data");
    mkdir(data.chars(), 0755);
    struct stat before;
    ASSERT_EQ(0, stat(data.chars(), &before));
    // What one request finds, its directory seen as given.
    auto request = [&](const struct stat& seen, bool* journalmissing) {
        TestKelp engine;
        engine.configure().datadirectory = data;
        engine.SeenDirectory(data + "/", seen);
        String resolved, error;
        PathStatus status;
        EXPECT_EQ(1, engine.ResolvePath("sitevars", DataPath, &resolved, &error, &status));
        *journalmissing = engine.Missing(data + "/t.dbf.pack");
        return status.state;
    };
    auto make = [&](const char* name) {
        usleep(20000);  // past the tick of the clock the directory's times are taken at
        FILE* f = fopen((data + "/" + name).chars(), "w");
        ASSERT_NE(nullptr, f);
        fclose(f);
    };
    bool journalmissing;

    // A directory just changed: nothing is remembered of it.
    Kelp::KeepRealRoots(true, 3600);
    EXPECT_EQ(PathStatus::Missing, request(before, &journalmissing));
    EXPECT_TRUE(journalmissing);
    make("sitevars");
    make("t.dbf.pack");
    EXPECT_EQ(PathStatus::Found, request(before, &journalmissing));
    EXPECT_FALSE(journalmissing);
    Kelp::KeepRealRoots(false);
    unlink((data + "/sitevars").chars());
    unlink((data + "/t.dbf.pack").chars());

    // Settled: remembered while the status stays.
    Kelp::KeepRealRoots(true, 0);
    ASSERT_EQ(0, stat(data.chars(), &before));
    EXPECT_EQ(PathStatus::Missing, request(before, &journalmissing));
    EXPECT_TRUE(journalmissing);
    make("sitevars");
    make("t.dbf.pack");
    struct stat after;
    ASSERT_EQ(0, stat(data.chars(), &after));
    EXPECT_EQ(PathStatus::Found, request(after, &journalmissing));
    EXPECT_FALSE(journalmissing);
    // (The status seen decides: told the old one, the request answers from memory.)
    EXPECT_EQ(PathStatus::Missing, request(before, &journalmissing));
    EXPECT_TRUE(journalmissing);
    // Gone again: the directory changes again, and is looked at again.
    unlink((data + "/sitevars").chars());
    ASSERT_EQ(0, stat(data.chars(), &after));
    EXPECT_EQ(PathStatus::Missing, request(after, &journalmissing));
    EXPECT_FALSE(journalmissing);
    Kelp::KeepRealRoots(false);
}
