// FaultyFileManager and the file it hands out.

#include "tests/support/faulty_files.h"

#include <errno.h>

namespace {

class FaultyFile : public File {
  public:
    FaultyFile(File* file, WriteBudget* budget) : file_(file), budget_(budget) {}
    ~FaultyFile() override { delete file_; }

    long Read(char* buffer, long n) override { return file_->Read(buffer, n); }
    long Write(const char* buffer, long n) override {
        if (budget_->left == 0) {
            if (budget_->vanish) {
                budget_->cut = true;
                return n;
            }
            long at = file_->Tell();
            if (at < 0 || at + n > file_->Length()) {
                budget_->cut = true;
                error_ = "No space left on device";
                return -1;
            }
            return file_->Write(buffer, n);
        }
        if (budget_->left > 0) budget_->left--;
        budget_->done++;
        return file_->Write(buffer, n);
    }
    long Seek(long position) override { return file_->Seek(position); }
    long Tell() override { return file_->Tell(); }
    long Length() override { return file_->Length(); }
    int Lock(FileLockType type, long start, long length) override {
        return file_->Lock(type, start, length);
    }
    int Release(long start, long length) override { return file_->Release(start, length); }
    int Sync() override { return file_->Sync(); }
    int Truncate(long length) override {
        if (budget_->left == 0 && budget_->vanish) {
            budget_->cut = true;
            return 0;
        }
        return file_->Truncate(length);
    }
    // The mapped path production takes: peeks as they are, stores counted as writes
    // (a store never makes a file longer, so only a killed process loses one).
    bool Peek(long offset, unsigned char* out, long n) override {
        return file_->Peek(offset, out, n);
    }
    bool Store(long offset, const unsigned char* bytes, int n) override {
        if (budget_->left == 0 && budget_->vanish) {
            budget_->cut = true;
            return true;
        }
        if (!file_->Store(offset, bytes, n)) return false;
        if (budget_->left > 0) budget_->left--;
        budget_->done++;
        return true;
    }
    bool Unlinked() override { return file_->Unlinked(); }
    bool Status(long* length, bool* unlinked) override { return file_->Status(length, unlinked); }
    void Close() override { file_->Close(); }
    bool Closed() const override { return file_->Closed(); }
    const String& error() const override { return error_.empty() ? file_->error() : error_; }

  private:
    File* file_;           // owned
    WriteBudget* budget_;  // not owned
    String error_;
};

}  // namespace

File* FaultyFileManager::Open(const String& path, int mode) {
    File* file = files_.Open(path, mode);
    return file == nullptr ? nullptr : new FaultyFile(file, budget_);
}

File* FaultyFileManager::MakeTemporary(const String& prefix, String* name, int mode) {
    File* file = files_.MakeTemporary(prefix, name, mode);
    return file == nullptr ? nullptr : new FaultyFile(file, budget_);
}

int FaultyFileManager::Rename(const String& from, const String& to) {
    // A rename publishes a rebuilt file: in a process taken as killed it never happens.
    if (budget_->left == 0 && budget_->vanish) {
        budget_->cut = true;
        return 0;
    }
    return files_.Rename(from, to);
}
