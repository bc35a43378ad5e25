// Mean and standard deviation of score vectors, and the standardisation that
// uses them, summed in fixed lanes so that every machine gets the same bits.
//
// A sum of n values runs over kLanes lanes (lane j sums positions i = j mod
// kLanes, in index order), combined pairwise at the end. The lanes are
// independent, so the additions run in vector registers instead of one long
// chain, and the order is fixed by the code, not by the instruction set.
#pragma once

#include <array>
#include <cstddef>
#include <span>

namespace tarsel::engine {

// Lanes of the fixed-order sums and block scans over score vectors.
inline constexpr std::size_t kLanes = 16;

struct Moments {
    double mean = 0.0;
    double sd = 0.0;
    bool flat = true;  // variance not > 0 (NaN included)
};

// Sum of v[0, n) in the lane order above.
double lane_sum(const double* v, std::size_t n);

// Sum of (v[i] - mean)^2 over i < n in the lane order above.
double lane_squared_deviations(const double* v, std::size_t n, double mean);

// Mean and population standard deviation in two passes: the mean, then the
// squared deviations from it.
Moments moments(std::span<const double> v);

// v[i] = (v[i] - mean) / sd for i < n.
void standardise_values(double* v, std::size_t n, double mean, double sd);

// Standardises `v` with its moments `m`; a flat vector stays as it is.
inline void standardise(std::span<double> v, const Moments& m) {
    if (!m.flat) standardise_values(v.data(), v.size(), m.mean, m.sd);
}

inline void standardise(std::span<double> v) { standardise(v, moments(v)); }

}  // namespace tarsel::engine
