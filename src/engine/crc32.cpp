#include "engine/crc32.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tarsel {
namespace {

// Slice-by-8 tables: table[k][b] is the CRC of byte b followed by k zero bytes,
// so that eight bytes are folded with eight lookups and no dependent shifts.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> table{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t c = b;
        for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[0][b] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t b = 0; b < 256; ++b)
            table[k][b] = (table[k - 1][b] >> 8) ^ table[0][table[k - 1][b] & 0xFF];
    return table;
}

constexpr auto kTables = make_tables();

#if defined(__x86_64__)
// Carry-less multiplication folding (Gopal et al., "Fast CRC Computation for
// Generic Polynomials Using PCLMULQDQ", with the bit-reflected constants of
// the CRC-32 polynomial): 64 bytes per step in four 128-bit lanes, then a
// Barrett reduction. Takes and returns the inverted running value; `n` is a
// multiple of 16 and at least 64.
#define TARSEL_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

TARSEL_FOLD_TARGET inline __m128i load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// acc folded over 128 bits (by the constant pair k) onto next.
TARSEL_FOLD_TARGET inline __m128i fold16(__m128i acc, __m128i next, __m128i k) {
    const __m128i low = _mm_clmulepi64_si128(acc, k, 0x00);
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x11), next), low);
}

TARSEL_FOLD_TARGET std::uint32_t fold_crc(std::uint32_t c, const std::uint8_t* buf, std::size_t n) {
    alignas(16) static const std::uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const std::uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const std::uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const std::uint64_t poly[] = {0x01db710641, 0x01f7011641};
    __m128i x1 = _mm_xor_si128(load(buf), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x2 = load(buf + 16), x3 = load(buf + 32), x4 = load(buf + 48);
    __m128i x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    buf += 64;
    n -= 64;
    while (n >= 64) {
        x1 = fold16(x1, load(buf), x0);
        x2 = fold16(x2, load(buf + 16), x0);
        x3 = fold16(x3, load(buf + 32), x0);
        x4 = fold16(x4, load(buf + 48), x0);
        buf += 64;
        n -= 64;
    }
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = fold16(fold16(fold16(x1, x2, x0), x3, x0), x4, x0);
    for (; n >= 16; n -= 16, buf += 16) x1 = fold16(x1, load(buf), x0);
    // 128 bits to 64
    x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
    x3 = _mm_setr_epi32(~0, 0, ~0, 0);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x0 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, x3), x0, 0x00), x2);
    // Barrett reduction to 32 bits
    x0 = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, x3), x0, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, x3), x0, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

const bool kHasFold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#undef TARSEL_FOLD_TARGET
#endif

}  // namespace

std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t n) {
    std::uint32_t c = ~crc;
#if defined(__x86_64__)
    if (kHasFold && n >= 64) {
        const std::size_t folded = n & ~std::size_t{15};
        c = fold_crc(c, data, folded);
        data += folded;
        n -= folded;
    }
#endif
    for (; n >= 8; n -= 8, data += 8) {
        std::uint32_t one, two;  // little-endian words (the host is little-endian)
        std::memcpy(&one, data, 4);
        std::memcpy(&two, data + 4, 4);
        one ^= c;
        c = kTables[7][one & 0xFF] ^ kTables[6][(one >> 8) & 0xFF] ^
            kTables[5][(one >> 16) & 0xFF] ^ kTables[4][one >> 24] ^ kTables[3][two & 0xFF] ^
            kTables[2][(two >> 8) & 0xFF] ^ kTables[1][(two >> 16) & 0xFF] ^ kTables[0][two >> 24];
    }
    for (; n > 0; --n, ++data) c = kTables[0][(c ^ *data) & 0xFF] ^ (c >> 8);
    return ~c;
}

}  // namespace tarsel
