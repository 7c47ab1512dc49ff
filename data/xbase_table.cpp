// XBaseTable, XBaseField, XBaseMemoField.

#include "data/xbase_table.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "data/little_endian.h"
#include "foundation/time_helpers.h"

namespace {

const int kHeaderSize = 32;
const int kDescriptorSize = 32;
const int kMemoBlock = 512;
// The most of a memo without its end mark that is read: a damaged memo file would
// otherwise make each memo read run to its end.
const int kUnendedMemo = 16 * 1024;
const char kEndOfFile = 0x1A;

}  // namespace

// ---------------------------------------------------------------------------
// XBaseField

XBaseField::XBaseField(XBaseTable* table, const String& name, XBaseFieldType type, int length,
                       int decimals)
    : table_(table),
      name_(name),
      type_(type),
      length_(length),
      decimals_(decimals),
      value_(new char[length + 1]),
      original_(new char[length + 1]) {
    value_[0] = '\0';
    original_[0] = '\0';
}

XBaseField::~XBaseField() {
    delete[] value_;
    delete[] original_;
}

char XBaseField::TypeLetter(XBaseFieldType type) {
    static const char kLetters[] = "CNDLM";
    return kLetters[type];
}

int XBaseField::Read(const char* record) {
    // A NUL ends the value; text loses the spaces after it, numbers (and memo block
    // numbers) those before.
    const char* nul = static_cast<const char*>(memchr(record, '\0', length_));
    int n = nul != nullptr ? static_cast<int>(nul - record) : length_;
    int skip = 0;
    if (type_ == XBaseCharacter) {
        while (n > 0 && record[n - 1] == ' ') n--;
    } else if (type_ == XBaseNumber || type_ == XBaseMemo) {
        while (skip < n && record[skip] == ' ') skip++;
    }
    n -= skip;
    memcpy(value_, record + skip, n);
    value_[n] = '\0';
    memcpy(original_, value_, n + 1);
    return 1;
}

int XBaseField::Write(char* record) {
    int n = static_cast<int>(strlen(value_));
    memset(record, ' ', length_);
    if (type_ == XBaseNumber || type_ == XBaseMemo) {
        memcpy(record + length_ - n, value_, n);  // right-aligned
    } else {
        memcpy(record, value_, n);
    }
    return 1;
}

int XBaseField::Set(const char* bytes, int count) {
    if (count > length_) count = length_;
    if (count < 0) count = 0;
    memcpy(value_, bytes, count);
    value_[count] = '\0';
    return 1;
}

const char* XBaseField::data() {
    return value_;
}

void XBaseField::SwapOriginal() {
    char* t = value_;
    value_ = original_;
    original_ = t;
}

void XBaseField::SetOriginal() {
    memcpy(original_, value_, length_ + 1);
}

// ---------------------------------------------------------------------------
// XBaseMemoField

XBaseMemoField::XBaseMemoField(XBaseTable* table, const String& name, int length, int decimals)
    : XBaseField(table, name, XBaseMemo, length, decimals),
      modified_(false),
      text_(nullptr),
      original_text_(nullptr) {}

XBaseMemoField::~XBaseMemoField() {
    delete text_;
    delete original_text_;
}

int XBaseMemoField::Read(const char* record) {
    delete text_;
    delete original_text_;
    text_ = nullptr;
    original_text_ = nullptr;
    modified_ = false;
    return XBaseField::Read(record);
}

int XBaseMemoField::Write(char* record) {
    if (modified_) {
        if (text_ == nullptr || text_->empty()) {
            value_[0] = '\0';
        } else {
            long block = table_->WriteMemoBlock(*text_);
            if (block < 0) return 0;
            snprintf(value_, length_ + 1, "%ld", block);
        }
        modified_ = false;
    }
    return XBaseField::Write(record);
}

int XBaseMemoField::Set(const char* bytes, int count) {
    delete text_;
    text_ = new String(bytes, count < 0 ? 0 : count);
    modified_ = true;
    return 1;
}

const char* XBaseMemoField::data() {
    if (text_ == nullptr) {
        text_ = new String;
        long block = atol(value_);
        if (block > 0) table_->ReadMemoBlock(block, text_);
        delete original_text_;
        original_text_ = new String(*text_);
    }
    return text_->chars();
}

void XBaseMemoField::SwapOriginal() {
    XBaseField::SwapOriginal();
    String* t = text_;
    text_ = original_text_;
    original_text_ = t;
}

void XBaseMemoField::SetOriginal() {
    XBaseField::SetOriginal();
    if (text_ != nullptr) {
        delete original_text_;
        original_text_ = new String(*text_);
    }
}

// ---------------------------------------------------------------------------
// XBaseTable

XBaseTable::XBaseTable(FileManager* files)
    : files_(files),
      data_(nullptr),
      memo_(nullptr),
      version_(0),
      year_(0),
      month_(0),
      day_(0),
      numrecords_(0),
      headerlength_(0),
      recordlength_(0),
      recordnum_(0),
      deleted_(false),
      fields_(1),
      firstfreeblock_(1) {}

XBaseTable::~XBaseTable() {
    Close();
}

bool XBaseTable::Error(const String& message) {
    error_ = message;
    return false;
}

bool XBaseTable::ReadFailure(const String& path, File* f) {
    return Fail("Error reading from '" + path + "': " + f->error());
}

bool XBaseTable::WriteFailure(const String& path, File* f) {
    return Fail("Error writing to '" + path + "': " + f->error());
}

bool XBaseTable::LockFailure(const String& path, File* f, const char* how) {
    return Fail("Error locking '" + path + "' for " + how + ": " + f->error());
}

void XBaseTable::Close() {
    if (data_ != nullptr) ReleaseHold();
    delete data_;
    delete memo_;
    data_ = nullptr;
    memo_ = nullptr;
    unendedfrom_ = -1;
    datapath_.clear();
    dataerrorpath_.clear();
    memopath_.clear();
    memoerrorpath_.clear();
    recordnum_ = 0;
    Forget();
}

namespace {
bool g_readmapped = false;
}  // namespace

void XBaseTable::ReadThroughMappings(bool on) {
    g_readmapped = on;
}

bool XBaseTable::Open(const String& path, const String& errorpath, int mode) {
    Close();
    version_ = 0;
    datapath_ = path;
    dataerrorpath_ = errorpath;
    memopath_ = FileManager::StripExtension(path) + ".dbt";
    memoerrorpath_ = FileManager::StripExtension(errorpath) + ".dbt";
    FileManager* files = files_;
    data_ = files->Open(path, mode);
    if (data_ == nullptr) return Fail("Error opening '" + errorpath + "': " + files->error());
    if (data_->Lock(FileSharedLock, 0, kHeaderSize) < 0)
        return LockFailure(errorpath, data_, "read");
    // The header and the field descriptors after it in one read, as a rule.
    unsigned char start[kOpeningRead];
    long n = g_readmapped && data_->Peek(0, start, sizeof start) ? static_cast<long>(sizeof start)
             : data_->Seek(0) == 0 ? data_->Read(reinterpret_cast<char*>(start), sizeof start)
                                   : -1;
    bool ok = n >= kHeaderSize ? ReadTableHeader(-1, start) && ReadTableFields(start, n)
                               : ReadFailure(dataerrorpath_, data_);
    if (ok && version_ == 0x83) {
        memo_ = files->Open(memopath_, mode);
        if (memo_ == nullptr) {
            ok = Fail("Error opening '" + memoerrorpath_ + "': " + files->error());
        } else if (memo_->Lock(FileSharedLock, 0, kMemoBlock) < 0) {
            ok = LockFailure(memoerrorpath_, memo_, "read");
        } else {
            ok = ReadMemoHeader();
            memo_->Release(0, kMemoBlock);
        }
    }
    data_->Release(0, kHeaderSize);
    return ok;
}

bool XBaseTable::ReadTableHeader(long length, const unsigned char* read) {
    unsigned char bytes[kHeaderSize];
    const unsigned char* h = read != nullptr ? read : bytes;
    if (read == nullptr && (data_->Seek(0) != 0 || data_->Read(reinterpret_cast<char*>(bytes),
                                                               kHeaderSize) != kHeaderSize)) {
        return ReadFailure(dataerrorpath_, data_);
    }
    if (h[0] != 0x03 && h[0] != 0x83) {
        char version[8];
        snprintf(version, sizeof version, "0x%02X", h[0]);
        return Fail("'" + dataerrorpath_ + "': Unsupported xBase file version (" + version + ")");
    }
    int headerlength = static_cast<int>(GetLE(h + 8, 2));
    int recordlength = static_cast<int>(GetLE(h + 10, 2));
    if (headerlength < kHeaderSize + 1 || recordlength < 1) {
        return Fail("'" + dataerrorpath_ + "' is corrupt (impossible header or record length)");
    }
    // Memo fields may have raised the version above what the header says.
    if (version_ != 0x83 || fields_.Entries() == 0) version_ = h[0];
    year_ = h[1];
    month_ = h[2];
    day_ = h[3];
    long numrecords = static_cast<long>(GetLE(h + 4, 4));
    // A count the file cannot hold (a damaged header, a truncated file) would make
    // every scan read phantom records and an append write past a hole. A count seen
    // and checked before needs no new check.
    if (numrecords != checkedcount_ || length >= 0) {
        if (length < 0) length = data_->Length();
        if (length < 0) return ReadFailure(dataerrorpath_, data_);
        if (headerlength + numrecords * recordlength > length) {
            return Fail("'" + dataerrorpath_ + "' is corrupt (the header counts " +
                        String::FromInt(numrecords) + " records, more than the file holds)");
        }
        checkedcount_ = numrecords;
    }
    numrecords_ = numrecords;
    headerlength_ = headerlength;
    recordlength_ = recordlength;
    return true;
}

XBaseField* XBaseTable::NewField(const String& name, char type, int length, int decimals,
                                 bool* ok) {
    *ok = true;
    switch (type) {
        case 'C':
            return new XBaseField(this, name, XBaseCharacter, length, decimals);
        case 'N':
            return new XBaseField(this, name, XBaseNumber, length, decimals);
        case 'D':
            return new XBaseField(this, name, XBaseDate, length, decimals);
        case 'L':
            return new XBaseField(this, name, XBaseLogical, length, decimals);
        case 'M':
            version_ = 0x83;
            return new XBaseMemoField(this, name, length, decimals);
        default:
            *ok = false;
            return nullptr;
    }
}

bool XBaseTable::ReadTableFields(const unsigned char* read, long readlength) {
    int size = headerlength_ - kHeaderSize;
    char* area = new char[size];
    bool ok = true;
    if (headerlength_ <= readlength) {
        memcpy(area, read + kHeaderSize, static_cast<size_t>(size));
    } else {
        ok = data_->Seek(kHeaderSize) == kHeaderSize && data_->Read(area, size) == size;
    }
    if (!ok) {
        delete[] area;
        return ReadFailure(dataerrorpath_, data_);
    }
    fields_.Dump();
    int count = (headerlength_ - 33) / kDescriptorSize;
    int used = 1;
    for (int i = 0; i < count && ok; i++) {
        const unsigned char* d = reinterpret_cast<unsigned char*>(area) + i * kDescriptorSize;
        char name[12];
        memcpy(name, d, 11);
        name[11] = '\0';
        char letter = static_cast<char>(d[11]);
        XBaseField* f = NewField(name, letter, d[16], d[17], &ok);
        if (!ok) {
            Fail("'" + dataerrorpath_ + "' contains an unsupported field of type '" +
                 String(&letter, 1) + "'");
            break;
        }
        used += d[16];
        fields_.Insert(f, ListTail);
    }
    delete[] area;
    if (ok && used > recordlength_) {
        return Fail("'" + dataerrorpath_ + "' is corrupt (the fields are longer than the record)");
    }
    return ok;
}

bool XBaseTable::WriteTableHeader() {
    time_t now = ClockSeconds();
    struct tm t;
    gmtime_r(&now, &t);
    year_ = t.tm_year;
    month_ = t.tm_mon + 1;
    day_ = t.tm_mday;
    unsigned char h[kHeaderSize];
    memset(h, 0, sizeof h);
    h[0] = static_cast<unsigned char>(version_);
    h[1] = static_cast<unsigned char>(year_);
    h[2] = static_cast<unsigned char>(month_);
    h[3] = static_cast<unsigned char>(day_);
    PutLE(h + 4, static_cast<unsigned long>(numrecords_), 4);
    PutLE(h + 8, headerlength_, 2);
    PutLE(h + 10, recordlength_, 2);
    // Held, after the hold's first header write, only the version, the date and the
    // count can differ from the file: their eight bytes go as one store.
    if (held_ && headerwritten_ && data_->Store(0, h, 8)) return true;
    if (data_->Seek(0) != 0 ||
        data_->Write(reinterpret_cast<char*>(h), kHeaderSize) != kHeaderSize) {
        return WriteFailure(dataerrorpath_, data_);
    }
    headerwritten_ = held_;
    return true;
}

bool XBaseTable::WriteTableFields() {
    int size = headerlength_ - kHeaderSize;
    unsigned char* area = new unsigned char[size];
    memset(area, 0, size);
    int i = 0;
    for (XBaseField* f = fields_.First(); f != nullptr; f = fields_.Next(), i++) {
        unsigned char* d = area + i * kDescriptorSize;
        int n = f->name().length() > 10 ? 10 : f->name().length();
        memcpy(d, f->name().chars(), n);
        d[11] = static_cast<unsigned char>(XBaseField::TypeLetter(f->type()));
        d[16] = static_cast<unsigned char>(f->length());
        d[17] = static_cast<unsigned char>(f->decimalcount());
    }
    area[size - 1] = 0x0D;
    bool ok = data_->Seek(kHeaderSize) == kHeaderSize &&
              data_->Write(reinterpret_cast<char*>(area), size) == size;
    delete[] area;
    return ok ? true : WriteFailure(dataerrorpath_, data_);
}

bool XBaseTable::ReadMemoHeader() {
    unsigned char h[kMemoBlock];
    if (memo_->Seek(0) != 0 || memo_->Read(reinterpret_cast<char*>(h), kMemoBlock) != kMemoBlock) {
        return ReadFailure(memoerrorpath_, memo_);
    }
    firstfreeblock_ = static_cast<long>(GetLE(h, 4));
    // Block 0 is the header itself: text written there would replace it.
    if (firstfreeblock_ < 1) {
        return Fail("'" + memoerrorpath_ + "' is corrupt (the first free block is 0)");
    }
    // Free space begins no later than the block after the file's last one: a larger
    // number would place the next memo terabytes out.
    long length = memo_->Length();
    if (length < 0) return ReadFailure(memoerrorpath_, memo_);
    if (firstfreeblock_ > (length + kMemoBlock - 1) / kMemoBlock) {
        return Fail("'" + memoerrorpath_ + "' is corrupt (the first free block is past its end)");
    }
    return true;
}

bool XBaseTable::WriteMemoHeader() {
    unsigned char h[kMemoBlock];
    memset(h, 0, sizeof h);
    PutLE(h, static_cast<unsigned long>(firstfreeblock_), 4);
    if (memo_->Seek(0) != 0 || memo_->Write(reinterpret_cast<char*>(h), kMemoBlock) != kMemoBlock) {
        return WriteFailure(memoerrorpath_, memo_);
    }
    return true;
}

bool XBaseTable::ReadMemoBlock(long block, String* text) {
    text->clear();
    long start = block * kMemoBlock;
    if (memo_ == nullptr || memo_->Seek(start) != start) return false;
    char chunk[kMemoBlock];
    for (long at = start;; at += kMemoBlock) {
        // Past unendedfrom_ no end mark follows: a memo that gets there is damaged.
        if (unendedfrom_ >= 0 && at >= unendedfrom_ && text->length() >= kUnendedMemo) return true;
        long n = memo_->Read(chunk, kMemoBlock);
        if (n < 0) return ReadFailure(memoerrorpath_, memo_);
        if (n == 0) {
            if (unendedfrom_ < 0 || start < unendedfrom_) unendedfrom_ = start;
            return true;
        }
        const char* end = static_cast<const char*>(memchr(chunk, kEndOfFile, n));
        if (end != nullptr) {
            text->cat(chunk, static_cast<int>(end - chunk));
            return true;
        }
        text->cat(chunk, static_cast<int>(n));
    }
}

long XBaseTable::WriteMemoBlock(const String& text) {
    if (memo_ == nullptr || memo_->Lock(FileExclusiveLock, 0, kMemoBlock) < 0) return -1;
    String bytes(text);
    bytes.cat(kEndOfFile);
    bytes.cat(kEndOfFile);
    long block = -1;
    if (ReadMemoHeader()) {
        long at = firstfreeblock_;
        if (memo_->Seek(at * kMemoBlock) == at * kMemoBlock &&
            memo_->Write(bytes) == bytes.length()) {
            long length = bytes.length();
            firstfreeblock_ = at + length / kMemoBlock + (length % kMemoBlock ? 1 : 0);
            if (WriteMemoHeader()) block = at;
        } else {
            WriteFailure(memoerrorpath_, memo_);
        }
    }
    memo_->Release(0, kMemoBlock);
    return block;
}

bool XBaseTable::BuildRecord(char* buffer) {
    buffer[0] = deleted_ ? '*' : ' ';
    int offset = 1;
    for (XBaseField* f = fields_.First(); f != nullptr; f = fields_.Next()) {
        if (!f->Write(buffer + offset)) {
            if (error_.empty()) error_ = "Error writing to '" + memoerrorpath_ + "'";
            return false;
        }
        offset += f->length();
    }
    return true;
}

bool XBaseTable::Goto(long recno) {
    if (data_ == nullptr || recno < 1) return false;
    if (recno > numrecords_ && !RefreshCount()) return false;
    if (recno > numrecords_) return false;
    // Every read reads ahead: the records after this one come with it, in one read
    // under one lock of their range, for a walk through them in their order (a
    // record found, then the ones after it). Each read of a walk takes twice as many
    // as the one before.
    const char* record = nullptr;
    bool walking = lastread_ > 0 && recno == lastread_ + 1;
    if (walking && recno >= aheadfirst_ && recno < aheadfirst_ + aheadcount_) {
        record = ahead_.get() + (recno - aheadfirst_) * recordlength_;
    } else {
        if (!walking) aheadbytes_ = kFirstReadAhead;
        long count = aheadbytes_ / recordlength_;
        if (count < 1) count = 1;
        if (count > numrecords_ - recno + 1) count = numrecords_ - recno + 1;
        if (aheadbytes_ < kReadAhead) aheadbytes_ *= 2;
        if (!ReadRecords(recno, count)) return false;
        record = ahead_.get();
    }
    lastread_ = recno;
    deleted_ = record[0] == '*';
    int at = 1;
    for (XBaseField* f = fields_.First(); f != nullptr; f = fields_.Next()) {
        f->Read(record + at);
        at += f->length();
    }
    recordnum_ = recno;
    return true;
}

bool XBaseTable::ReadRecords(long first, long count) {
    aheadcount_ = 0;
    long offset = (first - 1) * recordlength_ + headerlength_;
    long bytes = count * recordlength_;
    if (data_->Lock(FileSharedLock, offset, bytes) < 0)
        return LockFailure(dataerrorpath_, data_, "read");
    if (bytes > aheadsize_) {
        ahead_.reset(new char[static_cast<size_t>(bytes)]);
        aheadsize_ = bytes;
    }
    long got =
        g_readmapped && data_->Peek(offset, reinterpret_cast<unsigned char*>(ahead_.get()), bytes)
            ? bytes
        : data_->Seek(offset) == offset ? data_->Read(ahead_.get(), bytes)
                                        : -1;
    data_->Release(offset, bytes);
    // A file cut short by another program holds fewer records than its count: what
    // it still holds is read, and only a record gone itself is an error.
    if (got < recordlength_) return ReadFailure(dataerrorpath_, data_);
    aheadfirst_ = first;
    aheadcount_ = got / recordlength_;
    return true;
}

bool XBaseTable::RefreshCount() {
    // Held: no other process appends, and this one's count is the file's.
    if (held_) return true;
    // Another process may have appended since: the header says.
    if (data_->Lock(FileSharedLock, 0, kHeaderSize) < 0)
        return LockFailure(dataerrorpath_, data_, "read");
    bool ok = ReadTableHeader();
    data_->Release(0, kHeaderSize);
    return ok;
}

bool XBaseTable::RefreshHeader() {
    if (held_) return WriteTableHeader();
    if (data_->Lock(FileExclusiveLock, 0, headerlength_) < 0) {
        return LockFailure(dataerrorpath_, data_, "write");
    }
    bool ok = ReadTableHeader() && WriteTableHeader();
    data_->Release(0, headerlength_);
    return ok;
}

bool XBaseTable::Replaced() {
    if (!data_->Unlinked()) return false;
    return !Fail("'" + dataerrorpath_ +
                 "' was rebuilt by another request while this one had it "
                 "open: open it again");
}

bool XBaseTable::LockMaintenance(FileLockType type) {
    if (held_) return type == FileSharedLock || Fail("Internal error: the table is held");
    if (data_->Lock(type, kMaintenanceByte, 1) < 0)
        return LockFailure(dataerrorpath_, data_, "write");
    return true;
}

void XBaseTable::UnlockMaintenance() {
    if (!held_) data_->Release(kMaintenanceByte, 1);
}

bool XBaseTable::Hold() {
    if (held_) return true;
    if (data_ == nullptr) return false;
    if (!LockMaintenance(FileSharedLock)) return false;
    if (data_->Lock(FileExclusiveLock, 0, headerlength_) < 0) {
        UnlockMaintenance();
        return LockFailure(dataerrorpath_, data_, "write");
    }
    // What an append checks before it writes, once for the run.
    long length = 0;
    bool unlinked = false;
    bool ok = data_->Status(&length, &unlinked) || ReadFailure(dataerrorpath_, data_);
    if (ok && unlinked) ok = !Replaced();
    ok = ok && ReadTableHeader(length);
    if (!ok) {
        data_->Release(0, headerlength_);
        UnlockMaintenance();
        return false;
    }
    held_ = true;
    headerwritten_ = false;
    return true;
}

void XBaseTable::ReleaseHold() {
    if (!held_) return;
    held_ = false;
    headerwritten_ = false;
    data_->Release(0, headerlength_);
    UnlockMaintenance();
}

bool XBaseTable::ConfirmAppend() {
    if (!held_) return UpdateDeletedFlag(false, false);
    // Held, no process appends or rewrites the header; a reader of the record sees
    // the one byte either before or after.
    long offset = (recordnum_ - 1) * recordlength_ + headerlength_;
    deleted_ = false;
    char byte = ' ';
    if (data_->Store(offset, reinterpret_cast<unsigned char*>(&byte), 1)) return true;
    if (data_->Seek(offset) == offset && data_->Write(&byte, 1) == 1) return true;
    return WriteFailure(dataerrorpath_, data_);
}

bool XBaseTable::Update() {
    aheadcount_ = 0;
    if (data_ == nullptr || recordnum_ < 1) return false;
    return !Replaced() && UpdateRecord();
}

bool XBaseTable::UpdateRecord() {
    long offset = (recordnum_ - 1) * recordlength_ + headerlength_;
    if (data_->Lock(FileExclusiveLock, offset, recordlength_) < 0) {
        return LockFailure(dataerrorpath_, data_, "write");
    }
    error_.clear();
    char* record = new char[recordlength_];
    bool ok = BuildRecord(record);
    if (ok) {
        ok = data_->Seek(offset) == offset && data_->Write(record, recordlength_) == recordlength_;
        if (ok) {
            SetOriginal();
        } else {
            WriteFailure(dataerrorpath_, data_);
        }
    }
    delete[] record;
    data_->Release(offset, recordlength_);
    return ok && RefreshHeader();
}

bool XBaseTable::Append(bool pending) {
    aheadcount_ = 0;
    if (data_ == nullptr) return false;
    if (!held_ && data_->Lock(FileExclusiveLock, 0, headerlength_) < 0) {
        return LockFailure(dataerrorpath_, data_, "write");
    }
    error_.clear();
    char* record = new char[recordlength_ + 1];
    // An append writes at the end the header counts: the file must really end there
    // (a file truncated meanwhile would be extended with a hole), and the file must
    // still be the table's (not replaced by a pack). One look at the file tells both
    // (a run that holds the table looked when it took the lock).
    bool ok = true;
    if (!held_) {
        long length = 0;
        bool unlinked = false;
        ok = data_->Status(&length, &unlinked) || ReadFailure(dataerrorpath_, data_);
        if (ok && unlinked) ok = !Replaced();
        ok = ok && ReadTableHeader(length);
    }
    if (ok) {
        long offset = headerlength_ + numrecords_ * recordlength_;
        deleted_ = pending;
        ok = BuildRecord(record);
        if (ok) {
            record[recordlength_] = kEndOfFile;
            ok = data_->Seek(offset) == offset &&
                 data_->Write(record, recordlength_ + 1) == recordlength_ + 1;
            if (!ok) WriteFailure(dataerrorpath_, data_);
        }
        if (ok) {
            numrecords_++;
            checkedcount_ = numrecords_;  // this process wrote the record: the file holds it
            ok = WriteTableHeader();
            recordnum_ = numrecords_;
            SetOriginal();
        }
    }
    delete[] record;
    if (!held_) data_->Release(0, headerlength_);
    return ok;
}

bool XBaseTable::UpdateDeleted(bool flag) {
    aheadcount_ = 0;
    if (data_ == nullptr || recordnum_ < 1) return false;
    return !Replaced() && UpdateDeletedFlag(flag);
}

bool XBaseTable::UpdateDeletedFlag(bool flag, bool refresh) {
    long offset = (recordnum_ - 1) * recordlength_ + headerlength_;
    if (data_->Lock(FileExclusiveLock, offset, recordlength_) < 0) {
        return LockFailure(dataerrorpath_, data_, "write");
    }
    deleted_ = flag;
    char byte = flag ? '*' : ' ';
    bool ok = data_->Seek(offset) == offset && data_->Write(&byte, 1) == 1;
    if (!ok) WriteFailure(dataerrorpath_, data_);
    data_->Release(offset, recordlength_);
    return ok && (!refresh || RefreshHeader());
}

void XBaseTable::SwapOriginal() {
    for (XBaseField* f = fields_.First(); f != nullptr; f = fields_.Next()) f->SwapOriginal();
}

void XBaseTable::SetOriginal() {
    for (XBaseField* f = fields_.First(); f != nullptr; f = fields_.Next()) f->SetOriginal();
}

bool XBaseTable::MakeFields(const List<XBaseFieldSpec>& specs) {
    fields_.Dump();
    version_ = 0x03;
    int length = 1;
    List<XBaseFieldSpec>& list = const_cast<List<XBaseFieldSpec>&>(specs);
    for (XBaseFieldSpec* s = list.First(); s != nullptr; s = list.Next()) {
        bool ok;
        XBaseField* f =
            NewField(s->name, XBaseField::TypeLetter(s->type), s->length, s->decimals, &ok);
        fields_.Insert(f, ListTail);
        length += s->length;
    }
    headerlength_ = kDescriptorSize * fields_.Entries() + 33;
    recordlength_ = length;
    numrecords_ = 0;
    firstfreeblock_ = 1;
    return true;
}

bool XBaseTable::Create(File* datafile, const String& path, const String& errorpath, File* memofile,
                        const String& memopath, const String& memoerrorpath,
                        const List<XBaseFieldSpec>& fields) {
    Close();
    data_ = datafile;
    memo_ = memofile;
    datapath_ = path;
    dataerrorpath_ = errorpath;
    memopath_ = memopath;
    memoerrorpath_ = memoerrorpath;
    MakeFields(fields);
    bool ok = data_ != nullptr || Fail("Internal error opening '" + errorpath + "'");
    const char eof = kEndOfFile;
    ok = ok && WriteTableHeader() && WriteTableFields();
    if (ok && data_->Write(&eof, 1) != 1) ok = WriteFailure(errorpath, data_);
    if (ok && version_ == 0x83) {
        if (memo_ == nullptr) {
            ok = Fail("Internal errorl opening '" + memoerrorpath + "'");
        } else {
            ok = WriteMemoHeader();
            if (ok && memo_->Write(&eof, 1) != 1) ok = WriteFailure(memoerrorpath, memo_);
        }
    }
    if (!ok) {
        // The files are dropped; their owner is the table only on success.
        delete data_;
        delete memo_;
        data_ = nullptr;
        memo_ = nullptr;
    }
    return ok;
}

bool XBaseTable::Create(const String& path, const String& errorpath, const String& memopath,
                        const String& memoerrorpath, const List<XBaseFieldSpec>& fields) {
    String mpath = memopath.empty() ? FileManager::StripExtension(path) + ".dbt" : memopath;
    String merror =
        memoerrorpath.empty() ? FileManager::StripExtension(errorpath) + ".dbt" : memoerrorpath;
    FileManager* files = files_;
    const int mode = FileRead | FileWrite | FileCreate | FileTruncate;
    File* data = files->Open(path, mode);
    if (data == nullptr) return Fail("Error creating '" + errorpath + "': " + files->error());
    File* memo = nullptr;
    List<XBaseFieldSpec>& list = const_cast<List<XBaseFieldSpec>&>(fields);
    bool memos = false;
    for (XBaseFieldSpec* s = list.First(); s != nullptr; s = list.Next())
        memos |= s->type == XBaseMemo;
    if (memos) {
        memo = files->Open(mpath, mode);
        if (memo == nullptr) {
            delete data;
            return Fail("Error creating '" + merror + "': " + files->error());
        }
    }
    return Create(data, path, errorpath, memo, mpath, merror, fields);
}
