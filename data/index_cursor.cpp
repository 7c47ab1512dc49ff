// BrnIndexFile: searches and the cursor.

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
// Searches and the cursor

bool BrnIndexFile::PushPage(long page) {
    if (stack_.CheckForRecursion(page)) {
        return Error("Error reading from '" + errorpath_ + "': File is corrupt");
    }
    if (page >= numpages()) {
        return Error("Error '" + errorpath_ + "' is corrupt " + file_->error() +
                     "(the page number is larger than the total pages )");
    }
    BrnIndexPage* p = stack_.Take(page, kEntrySize, kPageSize);
    long n = ReadPage(p);
    if (n != kPageSize) {
        stack_.Spare(p);
        if (cachemiss_) return false;  // an optimistic read gives up; see Reading()
        return Error("Error reading from '" + errorpath_ + "': " + file_->error());
    }
    if (p->numentries() > (n - 4) / kEntrySize || p->numentries() < 0) {
        stack_.Spare(p);
        return Error(
            "File is corrupt (the number of entries is larger than the maximum entries "
            "possible).");
    }
    stack_.Push(p);
    return true;
}

bool BrnIndexFile::FindLocked(const char* key, bool exact, long* recno) {
    *recno = 0;
    stack_.Clear();
    if (!ReadHeader()) return false;
    cursorcount_ = updatecount();
    int founddepth = -1;
    int foundpos = 0;
    int f = flags();
    for (long page = startingpage(); page != 0;) {
        if (!PushPage(page)) {
            *recno = 0;
            stack_.Clear();
            return false;
        }
        BrnIndexPage* p = stack_.Top();
        int n = p->numentries();
        int i = 0;
        long child = 0;
        for (; i < n; i++) {
            int c = Compare(key, p->key(i), exact, f);
            if (c > 0) continue;
            if (c == 0) {
                *recno = p->recordnum(i);
                founddepth = stack_.depth() - 1;
                foundpos = i;
                if (exact && (f & IndexUnique)) {
                    p->SetPosition(i);
                    i = -1;  // the single match: done
                }
            }
            break;
        }
        if (i < 0) break;
        p->SetPosition(i);
        child = p->childpage(i);
        page = child;
    }
    if (founddepth >= 0) {
        while (stack_.depth() > founddepth + 1) stack_.Pop();
        stack_.Top()->SetPosition(foundpos);
    } else {
        stack_.Clear();
    }
    return true;
}

template <typename Operation>
bool BrnIndexFile::Reading(bool lock, Operation operation) {
    if (!lock) return operation();
    // Optimistic first: without the lock, from cached pages only. The header is read
    // unlocked; while its update count is the one the cache agrees with, the cached
    // pages are the index as of that count (a writer counts its change only after its
    // pages are written, and new pages have numbers the cache never held), so the
    // answer is the one a locked read would have given a moment before. A page not
    // cached, a count that moved, or a header read torn by a writer: the cursor goes
    // back to where it was and the operation is done again under the lock.
    if (cachecount_ != -1) {
        stack_.Mark();
        long savedcount = cursorcount_;
        String savederror = error_;
        cacheonly_ = true;
        cachemiss_ = false;
        bool ok = operation();
        cacheonly_ = false;
        if (ok && !cachemiss_) {
            stack_.Keep();
            return true;
        }
        stack_.Undo();
        cursorcount_ = savedcount;
        error_ = savederror;
        cachemiss_ = false;
    }
    if (!LockHeader(FileSharedLock)) return false;
    bool ok = operation();
    UnlockHeader();
    return ok;
}

bool BrnIndexFile::_Find(const String& key, bool exact, long* recno, bool lock) {
    char k[kKeySize];
    Prepare(key, k);
    return Reading(lock, [&] { return FindLocked(k, exact, recno); });
}

long BrnIndexFile::CurrentRecord() const {
    BrnIndexPage* p = stack_.Top();
    if (p == nullptr || p->position() >= p->numentries()) return 0;
    return p->recordnum(p->position());
}

const char* BrnIndexFile::CurrentKey() const {
    BrnIndexPage* p = stack_.Top();
    if (p == nullptr || p->position() >= p->numentries()) return "";
    return p->key(p->position());
}

bool BrnIndexFile::_Seek(const String& key, long recno, bool lock) {
    long found;
    if (!_Find(key, true, &found, lock)) return false;
    while (found != 0 && found != recno) {
        if (!_Next(&found, lock)) return false;
    }
    return found != 0;
}

void BrnIndexFile::ReadAhead(const BrnIndexPage* parent, int first) {
    // Only under the lock (a read from the cache alone reads nothing), and only when
    // the pages are sound to ask for.
    if (cacheonly_ || parent == nullptr) return;
    for (int c = first; c <= parent->numentries() && c <= kOrder; c++) {
        long child = parent->childpage(c);
        if (child < 1 || child >= numpages() || cache_.count(child) != 0) continue;
        // (A spare page of the stack's: no page is made and dropped for each.)
        BrnIndexPage* page = stack_.Take(child, kEntrySize, kPageSize);
        bool read = ReadPage(page) == kPageSize;
        stack_.Spare(page);
        if (!read) return;
    }
}

bool BrnIndexFile::DescendFirst(long page, long* recno, bool ahead) {
    // A walk goes on to the subtrees right of this one: when it has to read pages
    // under the lock, it reads theirs with them, and the steps that follow find them
    // in the cache without taking the lock again. (The first record alone, as an open
    // places the cursor, reads none: a find often moves it at once.)
    if (ahead) ReadAhead(stack_.Top(), stack_.empty() ? 0 : stack_.Top()->position() + 1);
    for (;;) {
        if (!PushPage(page)) return false;
        BrnIndexPage* p = stack_.Top();
        p->SetPosition(0);
        if (p->numentries() == 0 && stack_.depth() == 1) {
            *recno = 0;  // an empty index
            stack_.Clear();
            return true;
        }
        if (p->childpage(0) == 0) {
            *recno = p->recordnum(0);
            return true;
        }
        if (ahead) ReadAhead(p, 1);
        page = p->childpage(0);
    }
}

bool BrnIndexFile::DescendLast(long page, long* recno) {
    for (;;) {
        if (!PushPage(page)) return false;
        BrnIndexPage* p = stack_.Top();
        int n = p->numentries();
        if (n == 0 && stack_.depth() == 1) {
            *recno = 0;
            stack_.Clear();
            return true;
        }
        p->SetPosition(n);
        if (p->childpage(n) == 0) {
            p->SetPosition(n - 1);
            *recno = p->recordnum(n - 1);
            return true;
        }
        page = p->childpage(n);
    }
}

bool BrnIndexFile::_First(long* recno, bool lock) {
    return Reading(lock, [&] {
        *recno = 0;
        stack_.Clear();
        bool ok = ReadHeader() && DescendFirst(startingpage(), recno, false);
        cursorcount_ = updatecount();
        if (!ok) stack_.Clear();
        return ok;
    });
}

bool BrnIndexFile::_Last(long* recno, bool lock) {
    return Reading(lock, [&] {
        *recno = 0;
        stack_.Clear();
        bool ok = ReadHeader() && DescendLast(startingpage(), recno);
        cursorcount_ = updatecount();
        if (!ok) stack_.Clear();
        return ok;
    });
}

bool BrnIndexFile::Rebuild() {
    // The index changed since the cursor was built: find the current entry again.
    String key(CurrentKey());
    long recno = CurrentRecord();
    if (recno == 0) {
        stack_.Clear();
        return true;
    }
    long found;
    char k[kKeySize];
    Prepare(key, k);
    if (!FindLocked(k, true, &found)) return false;
    // Step over equal keys to the entry itself (without the cursor checks).
    while (found != 0 && found != recno) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position() + 1;
        p->SetPosition(pos);
        if (p->childpage(pos) != 0) {
            if (!DescendFirst(p->childpage(pos), &found)) return false;
            continue;
        }
        if (pos < p->numentries()) {
            found = p->recordnum(pos);
            continue;
        }
        stack_.Pop();
        while (!stack_.empty() && stack_.Top()->position() >= stack_.Top()->numentries())
            stack_.Pop();
        found = CurrentRecord();
    }
    if (found == 0) stack_.Clear();
    return true;
}

bool BrnIndexFile::RefreshCursor() {
    long before = cursorcount_;
    if (!ReadHeader()) return false;
    if (updatecount() == before) return true;
    // Another writer changed the index since the cursor was placed: find its
    // place again.
    bool ok = Rebuild();
    cursorcount_ = updatecount();
    return ok;
}

bool BrnIndexFile::_Next(long* recno, bool lock) {
    *recno = 0;
    if (stack_.empty()) return true;
    return Reading(lock, [&] { return StepForward(recno); });
}

bool BrnIndexFile::StepForward(long* recno) {
    *recno = 0;
    bool ok = RefreshCursor();
    if (ok && !stack_.empty()) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position() + 1;
        p->SetPosition(pos);
        if (p->childpage(pos) != 0) {
            ok = DescendFirst(p->childpage(pos), recno);
        } else if (pos < p->numentries()) {
            *recno = p->recordnum(pos);
        } else {
            stack_.Pop();
            while (!stack_.empty() && stack_.Top()->position() >= stack_.Top()->numentries()) {
                stack_.Pop();
            }
            *recno = CurrentRecord();
        }
    }
    if (!ok) stack_.Clear();
    return ok;
}

bool BrnIndexFile::_Prev(long* recno, bool lock) {
    *recno = 0;
    if (stack_.empty()) return true;
    return Reading(lock, [&] { return StepBack(recno); });
}

bool BrnIndexFile::StepBack(long* recno) {
    *recno = 0;
    bool ok = RefreshCursor();
    if (ok && !stack_.empty()) {
        BrnIndexPage* p = stack_.Top();
        int pos = p->position();
        if (p->childpage(pos) != 0) {
            ok = DescendLast(p->childpage(pos), recno);
        } else if (pos > 0) {
            p->SetPosition(pos - 1);
            *recno = p->recordnum(pos - 1);
        } else {
            stack_.Pop();
            while (!stack_.empty() && stack_.Top()->position() == 0) stack_.Pop();
            if (!stack_.empty()) {
                BrnIndexPage* q = stack_.Top();
                q->SetPosition(q->position() - 1);
                *recno = q->recordnum(q->position());
            }
        }
    }
    if (!ok) stack_.Clear();
    return ok;
}
