// kelp: the CGI program. One process serves one request.

#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "host/cgi_kelp.h"

namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// The first touch of a fresh page of memory is a page fault, and on a virtual machine
// a fault costs several microseconds: a small request touches about eight pages of
// heap and a few of stack. One call makes the pages it is certain to use present at
// once (a kernel without the call refuses it, and the pages come one fault at a
// time). Making a page present costs nearly what its fault would: pages a request
// may not touch are left to fault.
const uintptr_t kPageSize = 4096;
const uintptr_t kHeapAhead = 16 * 1024;
const uintptr_t kStackAhead = 16 * 1024;

void MakePresent(uintptr_t from, uintptr_t to) {
    from &= ~(kPageSize - 1);
    to &= ~(kPageSize - 1);
    if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
}

void PrepareMemory() {
    // Where the next allocations go, up to the end of the heap the allocator has.
    char* next = static_cast<char*>(malloc(1));
    uintptr_t at = reinterpret_cast<uintptr_t>(next);
    free(next);
    uintptr_t top = reinterpret_cast<uintptr_t>(sbrk(0));
    if (at < top) MakePresent(at, at + kHeapAhead < top ? at + kHeapAhead : top);
    uintptr_t stack = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    MakePresent(stack - kStackAhead, stack);
}

}  // namespace

int main(int argc, char** argv) {
    PrepareMemory();
    // A write past the file-size limit (a full quota) fails with its error, which the
    // page reports, instead of killing the request half way.
    signal(SIGXFSZ, SIG_IGN);
    CGIKelp host(argc, argv);
    return host.Go();
}
