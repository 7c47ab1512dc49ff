// BrnIndexFile: the check of a whole file (kelp-table check).

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
// Checking

bool BrnIndexFile::Check(std::vector<std::pair<String, long>>* entries,
                         std::vector<String>* problems) {
    if (file_ == nullptr) return Error("Internal error opening '" + errorpath_ + "'");
    size_t before = problems->size();
    if (!LockHeader(FileSharedLock)) return false;
    cache_.clear();
    cachecount_ = -1;
    bool ok = ReadHeader();
    if (!ok) {
        problems->push_back(error_);
    } else {
        long length = file_->Length();
        if (length < numpages() * kPageSize) {
            problems->push_back("the file holds " + String::FromInt(length) +
                                " bytes, too few for its " + String::FromInt(numpages()) +
                                " pages");
        }
        std::vector<long> seen;
        int leafdepth = -1;
        cacheonly_ = false;
        CheckPage(startingpage(), 0, &seen, &leafdepth, entries, problems);
        for (size_t i = 1; i < entries->size(); i++) {
            if (Compare((*entries)[i - 1].first.chars(), (*entries)[i].first.chars(), true,
                        flags()) > 0) {
                problems->push_back("keys out of order: '" + (*entries)[i - 1].first +
                                    "' before '" + (*entries)[i].first + "'");
                break;
            }
        }
    }
    cache_.clear();
    cachecount_ = -1;
    UnlockHeader();
    return problems->size() == before;
}

void BrnIndexFile::CheckPage(long page, int depth, std::vector<long>* seen, int* leafdepth,
                             std::vector<std::pair<String, long>>* entries,
                             std::vector<String>* problems) {
    String where = "page " + String::FromInt(page);
    if (page < 1 || page >= numpages()) {
        problems->push_back(where + " is beyond the index's " + String::FromInt(numpages()) +
                            " pages");
        return;
    }
    for (long s : *seen) {
        if (s == page) {
            problems->push_back(where + " is reached twice");
            return;
        }
    }
    if (depth >= kMaxDepth) {
        problems->push_back(where + " lies deeper than any index can grow");
        return;
    }
    seen->push_back(page);
    BrnIndexPage p(page, kEntrySize, kPageSize);
    if (p.ReadPage(file_) != kPageSize) {
        problems->push_back(where + " cannot be read");
        return;
    }
    int n = p.numentries();
    if (n < 0 || n > kOrder) {
        problems->push_back(where + " claims " + String::FromInt(n) + " entries");
        return;
    }
    bool root = depth == 0;
    bool leaf = p.childpage(0) == 0;
    if (!root && n < kMinEntries) {
        problems->push_back(where + " holds " + String::FromInt(n) + " entries, fewer than " +
                            String::FromInt(kMinEntries));
    }
    if (leaf) {
        if (*leafdepth < 0) *leafdepth = depth;
        if (*leafdepth != depth) problems->push_back(where + ": leaves lie at different depths");
    }
    for (int i = 0; i <= n; i++) {
        long child = p.childpage(i);
        if ((child == 0) != leaf) {
            problems->push_back(where + " mixes leaf and inner entries");
            return;
        }
        if (child != 0) CheckPage(child, depth + 1, seen, leafdepth, entries, problems);
        if (i < n) {
            const char* key = p.key(i);
            entries->emplace_back(String(key, static_cast<int>(strnlen(key, kKeySize))),
                                  p.recordnum(i));
        }
        if (problems->size() > 100) return;
    }
}
