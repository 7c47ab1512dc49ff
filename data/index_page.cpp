// BrnIndexPage and BrnIndexPageStack: one page of the B-tree in memory, and the
// pages an operation holds.

#include <errno.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "data/index_file.h"
#include "data/index_layout.h"
#include "data/little_endian.h"
#include "script/encoding.h"

using namespace index_layout;

// ---------------------------------------------------------------------------
// BrnIndexPage

BrnIndexPage::BrnIndexPage(long number, int entrysize, int pagesize)
    : number_(number),
      entrysize_(entrysize),
      pagesize_(pagesize),
      bytes_(new unsigned char[pagesize]),
      position_(0) {
    memset(bytes_, 0, pagesize);
}

BrnIndexPage::~BrnIndexPage() {
    delete[] bytes_;
}

long BrnIndexPage::ReadPage(File* file) {
    long offset = number_ * pagesize_;
    if (file->Seek(offset) != offset) return -1;
    long n = file->Read(reinterpret_cast<char*>(bytes_), pagesize_);
    EndKeys();
    return n;
}

bool BrnIndexPage::PeekPage(File* file) {
    if (number_ < 0 || !file->Peek(number_ * pagesize_, bytes_, pagesize_)) return false;
    EndKeys();
    return true;
}

void BrnIndexPage::EndKeys() {
    // Every key slot ends in a NUL in a sound file (Setkey leaves it); a damaged page
    // must not send comparisons and copies past its slot.
    for (int i = 0; 4 + (i + 1) * entrysize_ <= pagesize_; i++) Entry(i)[entrysize_ - 1] = 0;
}

bool BrnIndexPage::WritePage(File* file) {
    long offset = number_ * pagesize_;
    return file->Seek(offset) == offset &&
           file->Write(reinterpret_cast<char*>(bytes_), pagesize_) == pagesize_;
}

int BrnIndexPage::numentries() const {
    return static_cast<int>(GetLE(bytes_, 4));
}
void BrnIndexPage::Setnumentries(int n) {
    PutLE(bytes_, n, 4);
}
long BrnIndexPage::childpage(int i) const {
    return static_cast<long>(GetLE(Entry(i), 4));
}
void BrnIndexPage::Setchildpage(int i, long page) {
    PutLE(Entry(i), page, 4);
}
long BrnIndexPage::recordnum(int i) const {
    return static_cast<long>(GetLE(Entry(i) + 4, 4));
}
void BrnIndexPage::Setrecordnum(int i, long recno) {
    PutLE(Entry(i) + 4, recno, 4);
}
const char* BrnIndexPage::key(int i) const {
    return reinterpret_cast<const char*>(Entry(i) + 8);
}

void BrnIndexPage::Setkey(int i, const char* key) {
    char* k = reinterpret_cast<char*>(Entry(i) + 8);
    memset(k, 0, entrysize_ - 8);
    strncpy(k, key, entrysize_ - 9);
}

void BrnIndexPage::Insert(int pos, long child, long recno, const char* key) {
    int n = numentries();
    // Entries pos.. and the children right of them move one place right.
    memmove(Entry(pos + 1) + 4, Entry(pos) + 4, (n - pos) * entrysize_);
    Setrecordnum(pos, recno);
    Setkey(pos, key);
    Setchildpage(pos + 1, child);
    Setnumentries(n + 1);
}

void BrnIndexPage::InsertBefore(int pos, long child, long recno, const char* key) {
    int n = numentries();
    memmove(Entry(pos + 1), Entry(pos), (n - pos) * entrysize_ + 4);
    Setchildpage(pos, child);
    Setrecordnum(pos, recno);
    Setkey(pos, key);
    Setnumentries(n + 1);
}

void BrnIndexPage::Delete(int pos) {
    int n = numentries();
    memmove(Entry(pos), Entry(pos + 1), (n - pos - 1) * entrysize_ + 4);
    memset(Entry(n), 0, 4);
    Setnumentries(n - 1);
}

void BrnIndexPage::DeleteRight(int pos) {
    int n = numentries();
    long left = childpage(pos);
    memmove(Entry(pos) + 4, Entry(pos + 1) + 4, (n - pos - 1) * entrysize_);
    Setchildpage(pos, left);
    memset(Entry(n), 0, 4);
    Setnumentries(n - 1);
}

void BrnIndexPageStack::Mark() {
    Keep();
    marked_ = true;
    // (Into the room kept from the marks before: a walk marks at every step.)
    size_t n = pages_.size();
    if (markedpages_.size() < n) {
        markedpages_.resize(n);
        markedpositions_.resize(n);
    }
    for (size_t i = 0; i < n; i++) {
        markedpages_[i] = pages_[i];
        markedpositions_[i] = pages_[i]->position();
    }
    markeddepth_ = n;
}

void BrnIndexPageStack::Undo() {
    if (!marked_) return;
    auto marked = [&](BrnIndexPage* p) {
        auto end = markedpages_.begin() + static_cast<long>(markeddepth_);
        return std::find(markedpages_.begin(), end, p) != end;
    };
    for (BrnIndexPage* p : pages_) {
        if (!marked(p)) spare_.push_back(p);
    }
    for (BrnIndexPage* p : popped_) {
        if (!marked(p)) spare_.push_back(p);
    }
    popped_.clear();
    pages_.assign(markedpages_.begin(), markedpages_.begin() + static_cast<long>(markeddepth_));
    for (size_t i = 0; i < pages_.size(); i++) pages_[i]->SetPosition(markedpositions_[i]);
    marked_ = false;
}

void BrnIndexPageStack::Keep() {
    if (!popped_.empty()) {
        for (BrnIndexPage* p : popped_) spare_.push_back(p);
        popped_.clear();
    }
    marked_ = false;
}

BrnIndexPage* BrnIndexPageStack::Take(long number, int entrysize, int pagesize) {
    if (spare_.empty() || spare_.size() > 64) {
        // (More spares than a deep tree needs are let go.)
        while (spare_.size() > 64) {
            delete spare_.back();
            spare_.pop_back();
        }
        if (spare_.empty()) return new BrnIndexPage(number, entrysize, pagesize);
    }
    BrnIndexPage* p = spare_.back();
    spare_.pop_back();
    p->Renumber(number);
    return p;
}

bool BrnIndexPageStack::CheckForRecursion(long page) const {
    for (BrnIndexPage* p : pages_) {
        if (p->number() == page) return true;
    }
    return false;
}
