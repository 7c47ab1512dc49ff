// The layout of an index file that its parts share: pages of kPageSize bytes, each
// a count and up to kOrder entries of kEntrySize bytes (a child page, a record
// number, a key of kKeySize bytes); page 0 the header, with the rollback journal of
// an update from byte kJournal.

#ifndef DATA_INDEX_LAYOUT_H_
#define DATA_INDEX_LAYOUT_H_

namespace index_layout {

const int kOrder = 8;
const int kPageSize = 1024;
const int kEntrySize = 108;
const int kKeySize = kEntrySize - 8;
const int kMinEntries = kOrder / 2 - 1;  // 3: fewer makes a page other than the root underflow
const int kMaxDepth = 64;
const int kJournal = 512;                                     // the rollback record in page 0
const int kJournalEntries = (kPageSize - kJournal - 16) / 8;  // copies it can name

}  // namespace index_layout

#endif  // DATA_INDEX_LAYOUT_H_
