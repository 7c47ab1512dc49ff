// FaultyKelp: a test engine whose file layer stops writing after a given number of
// writes. Either writes that would make a file longer fail from then on (a full
// disk), or every write reports success and writes nothing (the process was killed
// at that moment: what reached the file is what a later process finds).

#ifndef TESTS_SUPPORT_FAULTY_FILES_H_
#define TESTS_SUPPORT_FAULTY_FILES_H_

#include "tests/support/test_engine.h"

struct WriteBudget {
    long left = -1;       // writes that still reach the file; -1 = no limit
    bool vanish = false;  // past the budget: every write seems done and is not (killed);
                          // else writes that would make a file longer fail (disk full)
    long done = 0;        // writes that reached the file
    bool cut = false;     // a write was lost or refused
};

class FaultyFileManager : public FileManager {
  public:
    FaultyFileManager(Kelp* engine, WriteBudget* budget) : files_(engine), budget_(budget) {}

    File* Open(const String& path, int mode) override;
    File* MakeTemporary(const String& prefix, String* name, int mode) override;
    int Lock(const String& path) override { return files_.Lock(path); }
    int Delete(const String& path) override { return files_.Delete(path); }
    int Copy(const String& source, const String& dest) override {
        return files_.Copy(source, dest);
    }
    int Rename(const String& from, const String& to) override;
    int TouchFile(const String& path) override { return files_.TouchFile(path); }
    bool Exists(const String& path) override { return files_.Exists(path); }
    long Length(const String& path) override { return files_.Length(path); }
    bool IsDirectory(const String& path) override { return files_.IsDirectory(path); }
    int MakeDirectory(const String& path) override { return files_.MakeDirectory(path); }
    int RemoveDirectory(const String& path) override { return files_.RemoveDirectory(path); }
    int MakeSymbolicLink(const String& target, const String& link) override {
        return files_.MakeSymbolicLink(target, link);
    }
    int Mode(const String& path) override { return files_.Mode(path); }
    int ChangeMode(const String& path, int mode) override { return files_.ChangeMode(path, mode); }
    int GetOwnerUID(const String& path) override { return files_.GetOwnerUID(path); }
    const String& error() const override { return error_.empty() ? files_.error() : error_; }

  private:
    UNIXFileManager files_;
    WriteBudget* budget_;  // not owned
    String error_;
};

class FaultyKelp : public TestKelp {
  public:
    FaultyKelp() : faulty_(this, &budget) {}
    FileManager* filemanager() override { return &faulty_; }
    WriteBudget budget;

  private:
    FaultyFileManager faulty_;
};

#endif  // TESTS_SUPPORT_FAULTY_FILES_H_
