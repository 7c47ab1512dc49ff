// Buffer: the block-buffered, seekable character source over one script file that
// the tag scanner reads from.

#ifndef SCRIPT_BUFFER_H_
#define SCRIPT_BUFFER_H_

#include "foundation/file.h"
#include "foundation/string.h"

// Reads the file in blocks of a fixed size. Positions are file offsets: the block
// holds count_ bytes starting at blockoffset_, and position_ indexes the next byte.
// Stepping back across the start of a block re-reads the previous block, so a caller
// may remember CurrentFilePosition() and Seek() back to it at any time.
class Buffer {
  public:
    // files: not owned; opens the file. REQUIRES: size >= 1.
    Buffer(FileManager* files, int size);
    virtual ~Buffer();
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Opens filename for reading and fills the first block; errorname is the name
    // error messages show for this file. False when the file cannot be opened (the
    // reason is in error()).
    bool Open(const String& filename, const String& errorname);
    void Close();

    virtual long CurrentFilePosition();
    virtual bool Seek(long offset);
    // The next byte as 0..255, or -1 at end of input.
    virtual int GetNextChar();
    // Steps back one character. REQUIRES: a character was read since the last Seek.
    virtual void UnGetChar();
    virtual bool FillBuffer();
    // Whether the last character came from a macro value; never for a plain buffer.
    virtual bool inmacro() { return false; }
    // Whether the last character came from a macro value that holds outside text
    // (text that did not come from the page itself): such characters are never
    // markup, quotes or operators. Never for a plain buffer.
    virtual bool inoutside() { return false; }
    virtual void SetExpandMacros(int) {}

    // The open file's kept scan, and keeping one (see File::TakeScan, KeepScan).
    ScriptScan* TakeScan() { return file_ != nullptr ? file_->TakeScan() : nullptr; }
    void KeepScan(ScriptScan* scan);

    const String& filename() const { return filename_; }
    const String& errorname() const { return errorname_; }
    const String& error() const { return error_; }
    int size() const { return size_; }

  protected:
    // The plain file position, and a seek that stays inside the current block
    // (false when the block does not hold offset).
    long RawPosition() const { return blockoffset_ + position_; }
    bool SeekInBlock(long offset) {
        if (offset < blockoffset_ || offset >= blockoffset_ + count_) return false;
        position_ = static_cast<int>(offset - blockoffset_);
        return true;
    }

  private:
    FileManager* files_;  // not owned
    File* file_;          // owned; null when closed
    int size_;
    char* data_;  // owned, size_ bytes
    int position_;
    long blockoffset_;
    int count_;
    String filename_;
    String errorname_;
    String error_;
};

#endif  // SCRIPT_BUFFER_H_
