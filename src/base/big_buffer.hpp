// Vectors for large result and scratch buffers. Elements are left
// uninitialised on resize (the code that fills them writes every element), so
// pages are first touched by the threads that fill them, in parallel, and not
// by a single zeroing pass. Buffers of several megabytes are aligned to and
// advised for transparent huge pages, which cuts page faults and TLB misses of
// scattered writes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>
#include <vector>

namespace tarsel {

template <class T>
struct BigAllocator {
    static_assert(std::is_trivially_copyable_v<T>, "BigAllocator holds plain data only");
    using value_type = T;

    static constexpr std::size_t kHugePage = std::size_t{2} << 20;

    BigAllocator() = default;
    template <class U>
    BigAllocator(const BigAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        std::size_t bytes = n * sizeof(T);
        if (bytes < 2 * kHugePage) {
            return static_cast<T*>(::operator new(bytes));
        }
        std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (p == nullptr) throw std::bad_alloc();
        madvise(p, rounded, MADV_HUGEPAGE);  // advisory: failure changes nothing
        return static_cast<T*>(p);
    }

    void deallocate(T* p, std::size_t n) noexcept {
        if (n * sizeof(T) < 2 * kHugePage)
            ::operator delete(p);
        else
            std::free(p);
    }

    // Default-initialise: no zeroing of resized plain-data elements.
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const BigAllocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using BigVector = std::vector<T, BigAllocator<T>>;

}  // namespace tarsel
