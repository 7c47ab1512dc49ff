// XBaseTable, XBaseField and XBaseMemoField: one dBase III table, its data file
// (.dbf) and its memo file (.dbt).
//
// Data file, integers little-endian:
//   header, 32 bytes:
//     0  1  version: 0x03, or 0x83 with a memo file
//     1  3  last update: year - 1900, month, day
//     4  4  number of records
//     8  2  header length: 32 x fields + 33
//    10  2  record length: 1 + the field lengths
//    12 20  zero
//   field descriptors, 32 bytes each from offset 32:
//     0 11  name, NUL-padded    11  1  type: C N D L M
//    16  1  length              17  1  decimal count      (the rest zero)
//   0x0D at header length - 1
//   records from header length: a flag byte (' ' live, '*' deleted), then the fields
//   back to back; the file ends with 0x1A.
// Memo file: 512-byte blocks. Block 0 holds the next free block number (4 bytes);
// a text starts at its block and ends with 0x1A 0x1A.
//
// Locks (blocking byte ranges): bytes 0 to header length - 1 of the data file are the
// table lock for appends and header refreshes, each record's bytes its record lock,
// and bytes 0-511 of the memo file the memo allocation lock. The byte at
// kMaintenanceByte (far past any record) is held shared by the database driver's
// changes and exclusively by a pack, which also holds the table lock: nothing changes
// a table while it is rebuilt, and a change that waited finds the file replaced and
// fails.

#ifndef DATA_XBASE_TABLE_H_
#define DATA_XBASE_TABLE_H_

#include <memory>
#include <vector>

#include "foundation/file.h"
#include "foundation/list.h"
#include "foundation/string.h"

class XBaseTable;

enum XBaseFieldType {
    XBaseCharacter = 0,
    XBaseNumber = 1,
    XBaseDate = 2,
    XBaseLogical = 3,
    XBaseMemo = 4,
};

// A field description as given to Create.
struct XBaseFieldSpec {
    String name;
    XBaseFieldType type;
    int length;
    int decimals;
};

// One column: its description, and the current record's value as text (at most its
// length) next to the value last read from or written to the file.
class XBaseField {
  public:
    XBaseField(XBaseTable* table, const String& name, XBaseFieldType type, int length,
               int decimals);
    virtual ~XBaseField();
    XBaseField(const XBaseField&) = delete;
    XBaseField& operator=(const XBaseField&) = delete;

    // Takes the value from the field's bytes in a record.
    virtual int Read(const char* record);
    // Puts the value into the field's bytes in a record.
    virtual int Write(char* record);
    int Set(const String& value) { return Set(value.chars(), value.length()); }
    // Copies at most length bytes.
    virtual int Set(const char* bytes, int count);
    virtual const String& name() const { return name_; }
    virtual XBaseFieldType type() const { return type_; }
    virtual int length() const { return length_; }
    virtual int decimalcount() const { return decimals_; }
    virtual const char* data();
    virtual void SwapOriginal();
    virtual void SetOriginal();
    const char* original() const { return original_; }
    static char TypeLetter(XBaseFieldType type);

  protected:
    XBaseTable* table_;  // not owned
    String name_;
    XBaseFieldType type_;
    int length_;
    int decimals_;
    char* value_;     // owned, length_ + 1 bytes
    char* original_;  // owned, length_ + 1 bytes
};

// A memo column: the record holds the number of the text's first block; the text is
// read from the memo file when first asked for, and written there when changed.
class XBaseMemoField : public XBaseField {
  public:
    XBaseMemoField(XBaseTable* table, const String& name, int length, int decimals);
    ~XBaseMemoField() override;

    int Read(const char* record) override;
    int Write(char* record) override;
    int Set(const char* bytes, int count) override;
    const char* data() override;
    void SwapOriginal() override;
    void SetOriginal() override;

  private:
    bool modified_;
    String* text_;           // owned; null until loaded
    String* original_text_;  // owned; null until loaded
};

class XBaseTable {
  public:
    // files: not owned; opens the files.
    explicit XBaseTable(FileManager* files);
    virtual ~XBaseTable();
    XBaseTable(const XBaseTable&) = delete;
    XBaseTable& operator=(const XBaseTable&) = delete;

    // Opens path (errorpath is the name messages show) with a FileMode combination;
    // the memo file is path with its extension replaced by ".dbt".
    bool Open(const String& path, const String& errorpath, int mode);
    // Creates an empty table; empty memo paths are derived from the data paths.
    bool Create(const String& path, const String& errorpath, const String& memopath,
                const String& memoerrorpath, const List<XBaseFieldSpec>& fields);
    // The same on files the caller opened; takes ownership of datafile and memofile.
    bool Create(File* datafile, const String& path, const String& errorpath, File* memofile,
                const String& memopath, const String& memoerrorpath,
                const List<XBaseFieldSpec>& fields);
    void Close();

    // Makes record recno (from 1) current. Out of range: false without a message.
    bool Goto(long recno);
    // Whether tables read their files through the system's mapping of them where it
    // can (File::Peek()): worth it in a process whose file manager keeps mappings from
    // one request to the next, where it saves a read call each time; off by default.
    static void ReadThroughMappings(bool on);
    // Writes the current record back.
    bool Update();
    // Writes the fields as a new live record at the end and makes it current. With
    // pending, the record is written marked deleted, to be made live by
    // ConfirmAppend() once its index keys are in: a process killed in between leaves
    // a deleted record, never a live one the indexes miss.
    bool Append(bool pending = false);
    bool ConfirmAppend();
    // A run of appends: Hold() takes the maintenance byte shared and the header lock
    // exclusively, checks the file and reads the header once; appends then write
    // without taking a lock or reading the header again (no other process can change
    // the table meanwhile), every write complete on the file as before. Until
    // ReleaseHold(), the table's own header and maintenance locks are left as held.
    bool Hold();
    void ReleaseHold();
    bool held() const { return held_; }
    // Writes only the current record's deleted flag.
    bool UpdateDeleted(bool flag);
    // The maintenance byte (far beyond any record): a change of the table and its
    // indexes (an add, an update, a deletion) holds it shared from start to end, a
    // rebuild (pack) exclusively, together with the header lock. POSIX locks do not
    // nest: whoever takes it must not take it again before releasing it.
    bool LockMaintenance(FileLockType type);
    void UnlockMaintenance();
    // Whether the data file was replaced under this process (reported).
    bool Replaced();
    bool LockForRebuild() {
        return LockMaintenance(FileExclusiveLock) &&
               (data_->Lock(FileExclusiveLock, 0, headerlength_) >= 0 ||
                LockFailure(dataerrorpath_, data_, "write"));
    }
    void UnlockForRebuild() {
        data_->Release(0, headerlength_);
        UnlockMaintenance();
    }
    void SwapOriginal();
    void SetOriginal();

    // Reads the header (or takes it from read, the file's first bytes); a record
    // count not checked before is checked against the file's length (given, or looked
    // up; a given length is always checked).
    bool ReadTableHeader(long length = -1, const unsigned char* read = nullptr);
    bool WriteTableHeader();
    // Reads the field descriptors, or takes them from the first readlength bytes of
    // the file in read when they are all there.
    bool ReadTableFields(const unsigned char* read, long readlength);
    bool WriteTableFields();
    bool ReadMemoHeader();
    bool WriteMemoHeader();
    // Reads the text starting at block into *text.
    bool ReadMemoBlock(long block, String* text);
    // Appends text as new blocks; returns the first block number, or -1.
    long WriteMemoBlock(const String& text);
    bool Error(const String& message);

    int version() const { return version_; }
    int lastupdate_year() const { return year_; }
    int lastupdate_month() const { return month_; }
    int lastupdate_day() const { return day_; }
    long numrecords() const { return numrecords_; }
    int headerlength() const { return headerlength_; }
    int recordlength() const { return recordlength_; }
    long recordnum() const { return recordnum_; }
    bool& deleted() { return deleted_; }
    List<XBaseField>& fields() { return fields_; }
    long firstfreeblock() const { return firstfreeblock_; }
    const String& error() const { return error_; }
    const String& datapath() const { return datapath_; }
    const String& dataerrorpath() const { return dataerrorpath_; }
    const String& memopath() const { return memopath_; }
    const String& memoerrorpath() const { return memoerrorpath_; }

  private:
    bool Fail(const String& message) { return Error(message); }
    bool ReadFailure(const String& path, File* f);
    bool WriteFailure(const String& path, File* f);
    bool LockFailure(const String& path, File* f, const char* how);
    // Builds the record bytes from the fields into buffer (record length bytes).
    bool BuildRecord(char* buffer);
    // Re-reads and rewrites the header under the table lock (today's date).
    bool RefreshHeader();
    bool UpdateRecord();
    bool UpdateDeletedFlag(bool flag, bool refresh = true);
    static const long kMaintenanceByte = 0x7FFFFFF0L;
    // Reads count records from first into ahead_ under one shared lock.
    bool ReadRecords(long first, long count);
    // Re-reads the record count from the header.
    bool RefreshCount();
    // Drops what was read ahead and the checked count (another file, or none).
    void Forget() {
        aheadcount_ = 0;
        lastread_ = 0;
        checkedcount_ = -1;
    }

    // Bytes of records read at once: a read of a record out of order takes
    // kFirstReadAhead, and each read of a walk from it twice as many as the one before,
    // up to kReadAhead (a page that shows a few rows reads few more than it shows).
    static const int kFirstReadAhead = 4096;
    // What opening a table reads first: the header and, as a rule, every field's
    // descriptor.
    static const int kOpeningRead = 2048;
    static const int kReadAhead = 32768;
    bool MakeFields(const List<XBaseFieldSpec>& specs);
    XBaseField* NewField(const String& name, char type, int length, int decimals, bool* ok);

    FileManager* files_;  // not owned
    File* data_;          // owned
    File* memo_;          // owned
    String datapath_, dataerrorpath_, memopath_, memoerrorpath_;
    String error_;
    int version_;
    int year_, month_, day_;
    long numrecords_;
    int headerlength_;
    int recordlength_;
    long recordnum_;
    bool deleted_;
    List<XBaseField> fields_;  // owns elements
    long firstfreeblock_;
    // Where the memo file is known to hold no end mark up to its end (a damaged
    // file), -1 while not known: memo reads that reach it stop at kUnendedMemo bytes.
    long unendedfrom_ = -1;
    // Records read ahead: aheadcount_ records from aheadfirst_, used only by a walk
    // (each record the one after the last read) and dropped by every write. The
    // buffer holds aheadsize_ bytes; what a read does not fill is never looked at.
    std::unique_ptr<char[]> ahead_;
    long aheadsize_ = 0;
    long aheadbytes_ = kFirstReadAhead;  // how much the next read ahead of this walk takes
    long aheadfirst_ = 0;
    long aheadcount_ = 0;
    long lastread_ = 0;
    long checkedcount_ = -1;      // a record count already checked against the file's length
    bool held_ = false;           // between Hold() and ReleaseHold()
    bool headerwritten_ = false;  // held, and the header written whole since
};

#endif  // DATA_XBASE_TABLE_H_
