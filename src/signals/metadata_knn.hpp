// Top-k metadata neighbours: for every item, the other items whose sparse
// feature rows have the largest positive dot product with its own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::signals {

// A coordinate list of the neighbour matrix, grouped by query item ascending;
// within a group by descending score, equal scores by the smaller item.
struct Neighbours {
    std::vector<std::int64_t> items;
    std::vector<std::int64_t> neighbours;
    std::vector<double> scores;
};

struct KnnSettings {
    std::uint64_t n_features = 0;  // feature indices outside [0, n_features) are ignored
    std::uint64_t top_k = 20;      // neighbours kept per item
    std::uint64_t max_df = 0;      // features held more than max_df times are dropped; 0: no cap
};

// Items are the rows of the CSR matrix (data, indices, indptr). Rows with an
// empty or inverted range hold nothing; a range reaching past the end of
// `indices` or `data` is an InternalFailure. Only pairs scoring > 0 are kept.
// Parallel over items on the worker pool; the result does not depend on it.
Neighbours metadata_neighbours(std::span<const float> data, std::span<const std::int32_t> indices,
                               std::span<const std::int32_t> indptr, const KnnSettings& settings);

}  // namespace tarsel::signals
