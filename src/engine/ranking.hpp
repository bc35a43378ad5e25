// The ranking order of the recommend pipeline and the selections made with
// it: the k best of a list, of a stream, and of a score vector.
#pragma once

#include "base/top_k.hpp"

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace tarsel::engine {

// An entry to rank: higher score first, equal scores by smaller index.
struct Ranked {
    double score;
    std::size_t index;
};

// Score descending, equal scores by smaller index: a strict total order as
// long as no score is NaN (the selection algorithms rely on that). A function
// object, so that the selection inlines it.
struct RanksBefore {
    bool operator()(const Ranked& a, const Ranked& b) const {
        return a.score > b.score || (a.score == b.score && a.index < b.index);
    }
};

// The score to rank by: NaN, possible only on a broken record, ranks below
// every number.
inline double rank_key(double score) {
    return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
}

// Keeps the k best entries, best first.
inline void keep_best(std::vector<Ranked>& entries, std::size_t k) {
    top_k::keep_best(entries, k, RanksBefore{});
}

// The k best of a stream of entries, under RanksBefore.
using BestK = top_k::BestK<Ranked, RanksBefore>;

// The k best finite entries of `values` (indexed by item), best first, into
// `out`; `block_maxima` is working space, kept between calls.
void best_finite(std::span<const double> values, std::size_t k, std::vector<Ranked>& out,
                 std::vector<double>& block_maxima);

}  // namespace tarsel::engine
