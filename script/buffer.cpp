// Buffer.

#include "script/buffer.h"

#include "foundation/file.h"

Buffer::Buffer(FileManager* files, int size)
    : files_(files),
      file_(nullptr),
      size_(size < 1 ? 1 : size),
      data_(new char[size_]),
      position_(0),
      blockoffset_(0),
      count_(0) {}

Buffer::~Buffer() {
    Close();
    delete[] data_;
}

bool Buffer::Open(const String& filename, const String& errorname) {
    filename_ = filename;
    errorname_ = errorname;
    Close();
    file_ = files_->OpenScript(filename);
    if (file_ == nullptr) {
        error_ = files_->error();
        return false;
    }
    FillBuffer();
    return true;
}

void Buffer::KeepScan(ScriptScan* scan) {
    if (file_ != nullptr) {
        file_->KeepScan(scan);
    } else {
        delete scan;
    }
}

void Buffer::Close() {
    delete file_;
    file_ = nullptr;
    position_ = 0;
    blockoffset_ = 0;
    count_ = 0;
}

long Buffer::CurrentFilePosition() {
    return RawPosition();
}

bool Buffer::Seek(long offset) {
    if (offset < 0) return false;
    if (SeekInBlock(offset)) return true;
    blockoffset_ = offset;
    position_ = 0;
    return FillBuffer();
}

int Buffer::GetNextChar() {
    if (position_ >= count_) return -1;
    int c = static_cast<unsigned char>(data_[position_++]);
    // A full block may have a successor: load it at once so that the position
    // always names the next byte to read.
    if (position_ == count_ && count_ == size_) {
        blockoffset_ += count_;
        position_ = 0;
        count_ = 0;
        FillBuffer();
    }
    return c;
}

void Buffer::UnGetChar() {
    if (position_ > 0) {
        position_--;
        return;
    }
    if (blockoffset_ == 0) return;
    if (blockoffset_ < size_) {
        position_ = static_cast<int>(blockoffset_ - 1);
        blockoffset_ = 0;
    } else {
        position_ = size_ - 1;
        blockoffset_ -= size_;
    }
    FillBuffer();
}

bool Buffer::FillBuffer() {
    count_ = 0;
    if (file_ == nullptr) return false;
    if (file_->Seek(blockoffset_) != blockoffset_) return false;
    // Read until the block is full or the file ends, so a short read never passes
    // for the last block.
    while (count_ < size_) {
        long n = file_->Read(data_ + count_, size_ - count_);
        if (n < 0) return false;
        if (n == 0) break;
        count_ += static_cast<int>(n);
    }
    return true;
}
