// Function multi-versioning for hot numeric loops: the compiler builds the
// function for several instruction sets and the loader picks the best one the
// CPU has, so the module stays portable without giving up wide vectors.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define TARSEL_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TARSEL_VECTOR_CLONES
#endif

#include <algorithm>
#include <cstddef>

namespace tarsel::frame {

// Elements a streaming loop asks the cache for ahead of its position: the
// hardware prefetchers ramp up too slowly on the rows of the large tables,
// whose loads then wait on memory.
inline constexpr std::size_t kPrefetchAhead = 512;

// Asks the cache for the line holding position min(j + kPrefetchAhead, end - 1)
// of `data` (end > j); a hint only, so it never changes a result.
template <class T>
inline void prefetch_ahead(const T* data, std::size_t j, std::size_t end) {
    __builtin_prefetch(data + std::min(j + kPrefetchAhead, end - 1));
}

}  // namespace tarsel::frame
