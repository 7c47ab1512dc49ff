// BrnIndexFile: inserts and deletes, and the commit that makes them whole.

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
// Updates

BrnIndexPage* BrnIndexFile::LoadPage(long page) {
    if (page < 1 || page >= numpages()) {
        Error("Error '" + errorpath_ + "' is corrupt " + file_->error() +
              "(the page number is larger than the total pages )");
        return nullptr;
    }
    BrnIndexPage* p = stack_.Take(page, kEntrySize, kPageSize);
    long n = ReadPage(p);
    if (n != kPageSize) {
        Recycle(p);
        Error("Error reading from '" + errorpath_ + "': " + file_->error());
        return nullptr;
    }
    if (p->numentries() > kOrder || p->numentries() < 0) {
        Recycle(p);
        Error(
            "File is corrupt (the number of entries is larger than the maximum entries possible).");
        return nullptr;
    }
    return p;
}

bool BrnIndexFile::SavePage(BrnIndexPage* page) {
    if (updating_) {
        pending_[page->number()].assign(page->bytes(), page->bytes() + kPageSize);
        return true;
    }
    return WritePage(page->number(), page->bytes());
}

bool BrnIndexFile::WritePage(long number, const unsigned char* bytes) {
    long at = number * kPageSize;
    if (file_->Seek(at) == at &&
        file_->Write(reinterpret_cast<const char*>(bytes), kPageSize) == kPageSize) {
        Cache(number, bytes);
        return true;
    }
    return WriteFailure();
}

bool BrnIndexFile::WriteFailure() {
    // What the file holds is no longer known: nothing cached can be trusted.
    cache_.clear();
    cachecount_ = -1;
    return Error("Error writing to '" + errorpath_ + "': " + file_->error());
}

template <typename Operation>
bool BrnIndexFile::Updating(Operation operation) {
    updating_ = true;
    basepages_ = numpages();
    baseroot_ = startingpage();
    pending_.clear();
    bool ok = operation();
    updating_ = false;
    if (ok) {
        ok = Commit();
    } else {
        // Nothing was written: the header in memory goes back to the file's.
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
    }
    pending_.clear();
    return ok;
}

bool BrnIndexFile::Commit() {
    long count = updatecount();
    Setupdatecount(count + 1);
    // The pages the update overwrites (the others are new, numbered from basepages_).
    std::vector<long> existing;
    for (auto& page : pending_) {
        if (page.first < basepages_) existing.push_back(page.first);
    }
    if (existing.size() == pending_.size() && existing.size() <= 1 && startingpage() == baseroot_) {
        return CommitOnePage(count);
    }
    // In three steps: what nothing reaches yet with the rollback record, then the
    // pages in place, then the header without the record.
    return WriteJournal(count, existing) && OverwritePages();
}

bool BrnIndexFile::CommitOnePage(long count) {
    // One existing page changes (and no page is added): its write is the change,
    // whole or not at all; the count follows. Nothing else in the header changed,
    // and the count's first three bytes share the header's first eight with what
    // never changes: while its last byte stays, those eight go as one store.
    for (auto& page : pending_) {
        if (!WritePage(page.first, page.second.data())) {
            Setupdatecount(count);
            return false;
        }
    }
    if (((count + 1) >> 24) == (count >> 24) && file_->Store(0, header_, 8)) {
        HeaderWritten();
        return true;
    }
    return WriteHeader();
}

bool BrnIndexFile::WriteJournal(long count, const std::vector<long>& existing) {
    // Nothing is written yet: a failure leaves the header as it was.
    auto untouched = [&] {
        Setupdatecount(count);
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
        return false;
    };
    if (static_cast<int>(existing.size()) > kJournalEntries) {
        Error("Error writing to '" + errorpath_ + "': File is corrupt");
        return untouched();
    }
    // First what nothing reaches yet, in one write: the new pages, and copies of the
    // pages about to be overwritten placed right after them; then the rollback record
    // naming the copies.
    long copy = numpages();
    std::vector<unsigned char> run((copy - basepages_ + existing.size()) * kPageSize, 0);
    for (auto& page : pending_) {
        if (page.first < basepages_) continue;
        memcpy(run.data() + (page.first - basepages_) * kPageSize, page.second.data(), kPageSize);
    }
    BrnIndexPage before(0, kEntrySize, kPageSize);
    for (size_t i = 0; i < existing.size(); i++) {
        // The page as the file still holds it.
        before.Renumber(existing[i]);
        if (ReadPage(&before) != kPageSize) {
            Error("Error reading from '" + errorpath_ + "': " + file_->error());
            return untouched();
        }
        memcpy(run.data() + (copy + i - basepages_) * kPageSize, before.bytes(), kPageSize);
    }
    unsigned char* record = header_ + kJournal;
    memset(record, 0, kPageSize - kJournal);
    memcpy(record, "JRNL", 4);
    PutLE(record + 4, basepages_, 4);
    PutLE(record + 8, baseroot_, 4);
    PutLE(record + 12, static_cast<long>(existing.size()), 4);
    for (size_t i = 0; i < existing.size(); i++) {
        PutLE(record + 16 + i * 8, existing[i], 4);
        PutLE(record + 20 + i * 8, copy + i, 4);
    }
    long at = basepages_ * kPageSize, length = static_cast<long>(run.size());
    bool ok = file_->Seek(at) == at &&
              file_->Write(reinterpret_cast<char*>(run.data()), length) == length;
    if (ok) {
        for (auto& page : pending_) {
            if (page.first >= basepages_) Cache(page.first, page.second.data());
        }
    } else {
        WriteFailure();
    }
    long root = startingpage();
    Setstartingpage(baseroot_);
    ok = ok && WriteHeader();
    Setstartingpage(root);
    memset(record, 0, kPageSize - kJournal);
    if (!ok) {
        // The tree's pages are untouched: only what lies beyond them was written.
        Setnumpages(basepages_);
        Setstartingpage(baseroot_);
    }
    return ok;
}

bool BrnIndexFile::OverwritePages() {
    bool ok = true;
    for (auto& page : pending_) {
        if (page.first < basepages_) ok = ok && WritePage(page.first, page.second.data());
    }
    ok = ok && WriteHeader();
    if (!ok) {
        // A write failed part way: the rollback record on the file undoes it now, or
        // at the next process that reads the header.
        String error = error_;
        cache_.clear();
        cachecount_ = -1;
        ReadHeader();
        error_ = error;
    }
    return ok;
}

long BrnIndexFile::NewPage() {
    long page = numpages();
    Setnumpages(page + 1);
    return page;
}

BrnIndexPage* BrnIndexFile::EnterPage(long page, int depth) {
    // A page already on the path, or a path deeper than any tree: the file loops.
    for (int d = 0; d < depth; d++) {
        if (path_[d] == page) {
            Error("Error reading from '" + errorpath_ + "': File is corrupt");
            return nullptr;
        }
    }
    if (depth >= kMaxDepth) {
        Error("Error reading from '" + errorpath_ + "': File is corrupt");
        return nullptr;
    }
    path_[depth] = page;
    return LoadPage(page);
}

BrnIndexFile::Result BrnIndexFile::DoInsert(long page, int depth, long recno, const char* key,
                                            long* precno, char* pkey, long* pright) {
    if (page == 0) {
        *precno = recno;
        strcpy(pkey, key);
        *pright = 0;
        return Promote;
    }
    BrnIndexPage* p = EnterPage(page, depth);
    if (p == nullptr) return Failed;
    int n = p->numentries();
    int i = 0;
    int f = flags();
    while (i < n && Compare(key, p->key(i), true, f) > 0) i++;
    if (i < n && (f & IndexUnique) && Compare(key, p->key(i), true, f) == 0) {
        Recycle(p);
        Error("Index '" + errorpath_ + "' was created with the UNIQUE flag and the key '" +
              Entities(String(key)) + "' already exists in the index file");
        return Failed;
    }
    Result r = DoInsert(p->childpage(i), depth + 1, recno, key, precno, pkey, pright);
    if (r != Promote) {
        Recycle(p);
        return r;
    }
    if (n < kOrder) {
        p->Insert(i, *pright, *precno, pkey);
        bool ok = SavePage(p);
        Recycle(p);
        return ok ? Done : Failed;
    }
    // Split: the 9 entries go 4 left, 1 up, 4 right.
    long children[kOrder + 2];
    long recnos[kOrder + 1];
    char keys[kOrder + 1][kKeySize];
    for (int e = 0, src = 0; e <= kOrder; e++) {
        if (e == i) {
            recnos[e] = *precno;
            strcpy(keys[e], pkey);
            continue;
        }
        recnos[e] = p->recordnum(src);
        strncpy(keys[e], p->key(src), kKeySize - 1);
        keys[e][kKeySize - 1] = '\0';
        src++;
    }
    for (int c = 0, src = 0; c <= kOrder + 1; c++) {
        if (c == i + 1) {
            children[c] = *pright;
            continue;
        }
        children[c] = p->childpage(src++);
    }
    const int total = kOrder + 1;
    const int left = (total - 1) - total / 2;  // 4
    long right = NewPage();
    BrnIndexPage* q = new BrnIndexPage(right, kEntrySize, kPageSize);
    p->Setnumentries(0);
    p->Setchildpage(0, children[0]);
    for (int e = 0; e < left; e++) p->Insert(e, children[e + 1], recnos[e], keys[e]);
    q->Setchildpage(0, children[left + 1]);
    for (int e = left + 1, pos = 0; e < total; e++, pos++) {
        q->Insert(pos, children[e + 1], recnos[e], keys[e]);
    }
    // Clear what is left of the old page beyond its entries.
    for (int c = left + 1; c <= kOrder; c++) p->Setchildpage(c, 0);
    *precno = recnos[left];
    strcpy(pkey, keys[left]);
    *pright = right;
    bool ok = SavePage(p) && SavePage(q);
    Recycle(p);
    Recycle(q);
    return ok ? Promote : Failed;
}

bool BrnIndexFile::Insert(long recno, const String& key) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    char k[kKeySize];
    Prepare(key, k);
    if (!LockHeader(FileExclusiveLock)) return false;
    bool ok = !Replaced() && (held_ || ReadHeader()) && Updating([&] {
        long precno, pright;
        char pkey[kKeySize];
        Result r = DoInsert(startingpage(), 0, recno, k, &precno, pkey, &pright);
        if (r == Promote) {
            // The root split: a new root above the two halves.
            long root = NewPage();
            BrnIndexPage top(root, kEntrySize, kPageSize);
            top.Setchildpage(0, startingpage());
            top.Insert(0, pright, precno, pkey);
            Setstartingpage(root);
            r = SavePage(&top) ? Done : Failed;
        }
        return r == Done;
    });
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::FixUnderflow(BrnIndexPage* parent, int ci) {
    BrnIndexPage* c = LoadPage(parent->childpage(ci));
    if (c == nullptr) return false;
    if (c->numentries() >= kMinEntries) {
        Recycle(c);
        return true;
    }
    bool ok = true;
    BrnIndexPage* left = ci > 0 ? LoadPage(parent->childpage(ci - 1)) : nullptr;
    BrnIndexPage* right = ci < parent->numentries() ? LoadPage(parent->childpage(ci + 1)) : nullptr;
    if (left != nullptr && left->numentries() > kMinEntries) {
        // Borrow through the parent from the left sibling.
        int ln = left->numentries();
        c->InsertBefore(0, left->childpage(ln), parent->recordnum(ci - 1), parent->key(ci - 1));
        parent->Setrecordnum(ci - 1, left->recordnum(ln - 1));
        parent->Setkey(ci - 1, left->key(ln - 1));
        left->Setchildpage(ln, 0);
        left->Setnumentries(ln - 1);
        ok = SavePage(left) && SavePage(c) && SavePage(parent);
    } else if (right != nullptr && right->numentries() > kMinEntries) {
        // Borrow through the parent from the right sibling.
        c->Insert(c->numentries(), right->childpage(0), parent->recordnum(ci), parent->key(ci));
        parent->Setrecordnum(ci, right->recordnum(0));
        parent->Setkey(ci, right->key(0));
        right->Delete(0);
        ok = SavePage(right) && SavePage(c) && SavePage(parent);
    } else if (left != nullptr) {
        // Merge the child into its left sibling with the separator between them.
        left->Insert(left->numentries(), c->childpage(0), parent->recordnum(ci - 1),
                     parent->key(ci - 1));
        for (int e = 0; e < c->numentries(); e++) {
            left->Insert(left->numentries(), c->childpage(e + 1), c->recordnum(e), c->key(e));
        }
        parent->DeleteRight(ci - 1);
        ok = SavePage(left) && SavePage(parent);
    } else if (right != nullptr) {
        c->Insert(c->numentries(), right->childpage(0), parent->recordnum(ci), parent->key(ci));
        for (int e = 0; e < right->numentries(); e++) {
            c->Insert(c->numentries(), right->childpage(e + 1), right->recordnum(e), right->key(e));
        }
        parent->DeleteRight(ci);
        ok = SavePage(c) && SavePage(parent);
    }
    Recycle(left);
    Recycle(right);
    Recycle(c);
    return ok;
}

BrnIndexFile::Result BrnIndexFile::DoDelete(long page, int depth, long recno, const char* key) {
    if (page == 0) return NotFound;
    BrnIndexPage* p = EnterPage(page, depth);
    if (p == nullptr) return Failed;
    int n = p->numentries();
    int f = flags();
    Result r = NotFound;
    int ci = -1;  // the child whose subtree changed
    for (int i = 0; i <= n && r == NotFound; i++) {
        int c = i < n ? Compare(key, p->key(i), true, f) : -1;
        if (c > 0) continue;
        if (c == 0 && p->recordnum(i) == recno) {
            if (p->childpage(i) == 0) {
                p->Delete(i);  // a leaf entry: gone; the caller sees to this page's fill
                r = SavePage(p) ? Done : Failed;
                ci = -1;
                break;
            }
            // An inner entry: replaced by its successor, which is removed below.
            BrnIndexPage* s = LoadPage(p->childpage(i + 1));
            for (int guard = 0; s != nullptr && s->childpage(0) != 0 && guard < kMaxDepth;
                 guard++) {
                long next = s->childpage(0);
                Recycle(s);
                s = LoadPage(next);
            }
            if (s == nullptr || s->numentries() == 0) {
                Recycle(s);
                if (s == nullptr) {
                    r = Failed;
                } else {
                    Error("Error reading from '" + errorpath_ + "': File is corrupt");
                    r = Failed;
                }
                break;
            }
            long srecno = s->recordnum(0);
            String skey(s->key(0));
            Recycle(s);
            p->Setrecordnum(i, srecno);
            p->Setkey(i, skey.chars());
            if (!SavePage(p)) {
                r = Failed;
                break;
            }
            r = DoDelete(p->childpage(i + 1), depth + 1, srecno, skey.chars());
            if (r == NotFound) {
                Error("Error reading from '" + errorpath_ + "': File is corrupt");
                r = Failed;
            }
            ci = i + 1;
            break;
        }
        // Look below, left of this entry (equal keys may continue right of it).
        r = DoDelete(p->childpage(i), depth + 1, recno, key);
        ci = i;
        if (c < 0) break;
    }
    if (r == Done && ci >= 0) {
        // Children were read afresh: reload this page, which FixUnderflow rewrites.
        Recycle(p);
        p = LoadPage(page);
        if (p == nullptr || !FixUnderflow(p, ci)) r = Failed;
    }
    Recycle(p);
    return r;
}

bool BrnIndexFile::Delete(long recno, const String& key) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    char k[kKeySize];
    Prepare(key, k);
    if (!LockHeader(FileExclusiveLock)) return false;
    bool ok = !Replaced() && (held_ || ReadHeader()) && Updating([&] {
        Result r = DoDelete(startingpage(), 0, recno, k);
        if (r == NotFound) Error("Record is not in index");
        if (r != Done) return false;
        // A root left without entries gives way to its only child.
        BrnIndexPage* root = LoadPage(startingpage());
        if (root == nullptr) return false;
        if (root->numentries() == 0 && root->childpage(0) != 0) Setstartingpage(root->childpage(0));
        Recycle(root);
        return true;
    });
    UnlockHeader();
    return ok;
}
