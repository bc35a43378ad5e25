// Function multi-versioning for hot numeric loops: the compiler builds the
// function for several instruction sets and the loader picks the best one the
// CPU has, so the module stays portable without giving up wide vectors.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define TARSEL_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define TARSEL_VECTOR_CLONES
#endif
