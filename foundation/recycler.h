// Recycler: free lists for the small objects the interpreter makes and drops at a
// high rate (block states, the variables of a call's arguments, tree nodes). A
// block given back is kept, by its size rounded up to 16 bytes, for the next object
// of that size instead of going back to malloc; the lists hold at most what was
// live at once. The process is single-threaded.
//
// A class takes part by declaring
//     static void* operator new(size_t size) { return Recycler::Take(size); }
//     static void operator delete(void* p, size_t size) { Recycler::Give(p, size); }
// (with a virtual destructor, size is that of the object's own class).
//
// Under AddressSanitizer every block goes straight to malloc and back, so that a use
// after free is still caught.

#ifndef FOUNDATION_RECYCLER_H_
#define FOUNDATION_RECYCLER_H_

#include <stddef.h>

#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define KELP_RECYCLER_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELP_RECYCLER_OFF 1
#endif
#endif

class Recycler {
  public:
    static void* Take(size_t size) {
#ifndef KELP_RECYCLER_OFF
        size_t k = (size + kGrain - 1) / kGrain;
        if (k < kClasses) {
            Block* b = free_[k];
            if (b != nullptr) {
                free_[k] = b->next;
                return b;
            }
            return ::operator new(k* kGrain);
        }
#endif
        return ::operator new(size);
    }

    static void Give(void* p, size_t size) {
        if (p == nullptr) return;
#ifndef KELP_RECYCLER_OFF
        size_t k = (size + kGrain - 1) / kGrain;
        if (k < kClasses) {
            Block* b = static_cast<Block*>(p);
            b->next = free_[k];
            free_[k] = b;
            return;
        }
#else
        (void)size;
#endif
        ::operator delete(p);
    }

  private:
    struct Block {
        Block* next;
    };
    static constexpr size_t kGrain = 16;
    static constexpr size_t kClasses = 32;  // blocks up to 496 bytes
    static inline Block* free_[kClasses] = {};
};

#endif  // FOUNDATION_RECYCLER_H_
