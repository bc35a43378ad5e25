// CRC-32 as zlib computes it (the IEEE 802.3 polynomial, reflected), so that a
// file read natively is checked against the checksum the writer stored.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarsel {

// The checksum of `data` continuing from `crc` (0 to start): crc32(crc32(0,
// a), b) equals crc32(0, a + b), as zlib.crc32 does.
std::uint32_t crc32(std::uint32_t crc, const std::uint8_t* data, std::size_t n);

}  // namespace tarsel
