// The neighbour cap of an item graph: each row of a CSR cut to its k largest
// entries, so that the base scorer of the engine keeps the strongest
// neighbours of every item.
#pragma once

#include "base/big_buffer.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::signals {

struct CappedCsr {
    BigVector<float> data;
    BigVector<std::int32_t> indices;
    std::vector<std::int32_t> indptr;
};

// Each row of (data, indices, indptr) cut to its k largest values, equal
// values by the smaller column, NaN below every number (then by column); the
// kept entries stay in their stored order, and rows of at most k entries stay
// whole. indptr must start at 0, never decrease and end at len(data) ==
// len(indices) (ValueError otherwise). Rows are cut on the worker pool.
CappedCsr cap_neighbours(std::span<const float> data, std::span<const std::int32_t> indices,
                         std::span<const std::int32_t> indptr, std::uint64_t k);

}  // namespace tarsel::signals
