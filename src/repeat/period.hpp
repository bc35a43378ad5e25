// Period detection: from the gaps between successive consumptions of one item
// by one user, the typical repurchase period and a quality saying how clearly
// one period dominates. Fewer than ten positive gaps get their median with a
// low fixed quality; more get the mode of a Gaussian kernel density estimate
// over the logarithms of the gaps, with quality 1 - (second peak / first peak).
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace tarsel::repeat {

struct PeriodEstimate {
    double period;
    double quality;
};

// Number of points of the density grid over the log-gaps.
inline constexpr std::size_t kDensityPoints = 256;

// Reusable scratch so that callers detecting many periods (one per user-item
// pair) allocate once. Not thread-safe: one detector per thread.
class PeriodDetector {
  public:
    // Never fails: no positive gap gives (NaN, 0.0).
    PeriodEstimate detect(std::span<const double> intervals);

  private:
    PeriodEstimate density_estimate();

    std::vector<double> gaps_;  // the positive gaps, input order
    std::vector<double> logs_;
    std::array<double, kDensityPoints> grid_{};
    std::array<double, kDensityPoints> density_{};
};

// One-off detection with its own scratch.
PeriodEstimate detect_period(std::span<const double> intervals);

}  // namespace tarsel::repeat
