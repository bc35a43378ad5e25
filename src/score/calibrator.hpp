// Ranking quality and the grid calibration of the layered scorer.
//
// NDCG at k ranks candidates by score descending, equal scores in input order
// (a stable sort; NaN compares as neither smaller nor greater), with gains
// 2^relevance - 1 and discounts log2(rank + 2). It is 0 for an empty score
// vector, mismatched lengths, k = 0 or an ideal DCG that is not > 0.
//
// The calibrator scores every user under each (z, boost) pair of the grid
// (z outer, boost inner) with the layered scoring core and averages NDCG at k
// over users; `choose_setting` then applies the selection rules described on
// it.
#pragma once

#include "score/layered.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::score {

// Reusable buffers of the ranking metric.
struct NdcgScratch {
    std::vector<std::size_t> order;
    std::vector<std::size_t> merge_order;
    std::vector<double> values;
    std::vector<double> merge_values;
};

// DCG of the relevance taken in the order of the scores, over the first
// min(k, n) ranks. Both spans have the same length.
double dcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k,
                NdcgScratch& scratch);
// DCG of the relevance in its own descending order.
double ideal_dcg_at_k(std::span<const double> relevance, std::size_t k, NdcgScratch& scratch);

double ndcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k,
                 NdcgScratch& scratch);
double ndcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k);

// One held-out user: base scores of the candidates, the refinement layers over
// the same candidates and their graded relevance.
struct UserSlice {
    std::vector<double> base;
    std::vector<OwnedLayer> layers;
    std::vector<double> relevance;
};

struct GridEntry {
    double z = 0.0;
    double boost = 0.0;
    double ndcg = 0.0;  // mean over users; 0 without users
    std::uint64_t n_users = 0;
};

struct CalibrationSettings {
    std::size_t k = 10;
    std::size_t top_k_for_calibration = 20;
    std::size_t min_nonzero_for_zscore = 3;
    double default_z = 2.5;
    double default_boost = 3.0;
    double tie_tolerance = 0.003;
    double min_lift_over_cooc_only = 0.0;
};

struct CalibrationSummary {
    double best_z = 0.0;
    double best_boost = 0.0;
    double best_ndcg = 0.0;
    bool fallback_to_default = false;
};

struct Calibration {
    std::vector<GridEntry> grid;
    CalibrationSummary summary;
};

// The selection rules, given the grid (in grid order) and the mean NDCG of
// the unlayered base scores:
//   empty grid                          -> defaults, ndcg 0, fallback
//   best (largest ndcg, later wins ties) lifts less than min_lift over the
//   baseline                            -> default z, boost 0, fallback
//   every entry within tie_tolerance of the best -> defaults, fallback
//   the defaults within tie_tolerance    -> the first such entry
//   otherwise, among the entries within tie_tolerance, the highest z and at
//   that z the smallest boost (first in grid order among equals).
CalibrationSummary choose_setting(std::span<const GridEntry> grid, double baseline,
                                  const CalibrationSettings& settings);

Calibration calibrate_layered(std::span<const UserSlice> users, std::span<const double> z_grid,
                              std::span<const double> boost_grid,
                              const CalibrationSettings& settings);

}  // namespace tarsel::score
