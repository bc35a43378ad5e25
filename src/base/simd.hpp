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

namespace tarsel::simd {

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

// Asks the cache for the lines of data[begin, end), at most kPrefetchLines of
// them: the next short row a loop will read, requested while it reads the
// current one, so that its first loads do not each wait on memory.
inline constexpr std::size_t kPrefetchLines = 64;

template <class T>
inline void prefetch_range(const T* data, std::size_t begin, std::size_t end) {
    const char* first = reinterpret_cast<const char*>(data + begin);
    const char* last = reinterpret_cast<const char*>(data + end);
    const char* stop = first + std::min<std::size_t>(last - first, kPrefetchLines * 64);
    for (const char* p = first; p < stop; p += 64) __builtin_prefetch(p);
}

}  // namespace tarsel::simd
