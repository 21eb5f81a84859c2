// An allocator for the graph's large arrays (node records, hashes, intern
// tables). Arrays of 2 MiB and more are placed on 2 MiB boundaries and
// offered to the kernel as transparent huge pages: a graph of millions of
// nodes is read at random by interning, and with 4 KiB pages nearly every
// lookup also misses the TLB, and every 4 KiB of growth costs a page fault.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantu {

inline constexpr std::size_t kHugePage = std::size_t{1} << 21;

template <class T>
struct LargeAlloc {
    using value_type = T;

    LargeAlloc() = default;
    template <class U>
    LargeAlloc(const LargeAlloc<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        if (bytes < kHugePage) return std::allocator<T>().allocate(n);
        std::size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (!p) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        madvise(p, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
#endif
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < kHugePage)
            std::allocator<T>().deallocate(p, n);
        else
            std::free(p);
    }

    template <class U>
    bool operator==(const LargeAlloc<U>&) const noexcept {
        return true;
    }
};

}  // namespace vantu
