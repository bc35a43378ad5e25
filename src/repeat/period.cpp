#include "repeat/period.hpp"

#include "base/simd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tarsel::repeat {
namespace {

constexpr std::size_t kMinDensityGaps = 10;
constexpr double kSmallSampleQuality = 0.3;
constexpr double kDegenerateQuality = 0.9;
constexpr double kDegenerateSpread = 1e-9;
constexpr double kSqrtTwoPi = 2.5066282746310002;

// exp(x) for x <= 0, within one unit in the last place. The
// density needs 256 exponentials per gap; unlike a library call this one is
// branch-free, so the loop over the grid runs in vector registers. Below
// -746 the result underflows to 0, so arguments are clamped there (comparing
// the bit patterns keeps the clamp an integer operation; it sends a NaN with
// the sign bit set to 0 and leaves other NaNs NaN).
inline double exp_nonpositive(double x) {
    constexpr std::uint64_t kFloorBits = std::bit_cast<std::uint64_t>(-746.0);
    x = std::bit_cast<double>(std::min(std::bit_cast<std::uint64_t>(x), kFloorBits));
    // x = k ln2 + r with |r| <= ln2 / 2; ln2 in two parts keeps r exact.
    constexpr double kShift = 0x1.8p52;  // adding it rounds to an integer
    const double shifted = x * 1.4426950408889634 + kShift;
    const double k = shifted - kShift;
    const double r = (x - k * 6.93147180369123816490e-01) - k * 1.90821492927058770002e-10;
    // Taylor series to r^13: the remainder is below 1e-17 for |r| <= ln2 / 2.
    double p = 1.0 / 6227020800.0;
    p = p * r + 1.0 / 479001600.0;
    p = p * r + 1.0 / 39916800.0;
    p = p * r + 1.0 / 3628800.0;
    p = p * r + 1.0 / 362880.0;
    p = p * r + 1.0 / 40320.0;
    p = p * r + 1.0 / 5040.0;
    p = p * r + 1.0 / 720.0;
    p = p * r + 1.0 / 120.0;
    p = p * r + 1.0 / 24.0;
    p = p * r + 1.0 / 6.0;
    p = p * r + 0.5;
    p = p * r + 1.0;
    p = p * r + 1.0;
    // 2^k, built as 2^(k + 64) * 2^-64 so that it stays a normal number down to
    // k = -1077 and a subnormal result is rounded once, in the last product.
    const std::uint64_t k_int =
        std::bit_cast<std::uint64_t>(shifted) - std::bit_cast<std::uint64_t>(kShift);
    const double scale = std::bit_cast<double>((k_int + 1023 + 64) << 52);
    return p * scale * 0x1p-64;
}

// sums[k] += exp(-z^2 / 2), z = (grid[k] - y) / h, for every log-gap y in
// order, so each grid point sums its terms left to right.
TARSEL_VECTOR_CLONES
void add_kernel_terms(const double* __restrict grid, const double* logs, std::size_t n, double h,
                      double* __restrict sums) {
    for (std::size_t i = 0; i < n; ++i) {
        const double y = logs[i];
        for (std::size_t k = 0; k < kDensityPoints; ++k) {
            const double z = (grid[k] - y) / h;
            sums[k] += exp_nonpositive(z * (z * -0.5));
        }
    }
}

// Median of the gaps (sorted in place): the middle element, or the mean of the
// two middle elements for an even count.
double median(std::vector<double>& gaps) {
    std::sort(gaps.begin(), gaps.end());
    const std::size_t n = gaps.size();
    if (n % 2 == 1) return gaps[n / 2];
    return 0.5 * (gaps[n / 2 - 1] + gaps[n / 2]);
}

// Grid index of the density mode and the second-to-first peak ratio. Interior
// strict local maxima are peaks; among equal densities the later index (the
// longer period) wins, both for the best peak and, without peaks, the maximum.
std::pair<std::size_t, double> mode_and_ratio(const std::array<double, kDensityPoints>& d) {
    std::size_t best = 0;
    std::size_t peaks = 0;
    double first = -std::numeric_limits<double>::infinity();
    double second = first;
    for (std::size_t k = 1; k + 1 < kDensityPoints; ++k) {
        if (!(d[k] > d[k - 1] && d[k] > d[k + 1])) continue;
        if (peaks == 0 || d[k] >= d[best]) best = k;
        if (d[k] >= first) {
            second = first;
            first = d[k];
        } else if (d[k] > second) {
            second = d[k];
        }
        ++peaks;
    }
    if (peaks == 0) {
        for (std::size_t k = 1; k < kDensityPoints; ++k)
            if (d[k] >= d[best]) best = k;
        return {best, 0.0};
    }
    if (peaks == 1) return {best, 0.0};
    return {best, second / std::max(first, 1e-9)};
}

}  // namespace

PeriodEstimate PeriodDetector::detect(std::span<const double> intervals) {
    gaps_.clear();
    for (double v : intervals)
        if (v > 0.0) gaps_.push_back(v);
    if (gaps_.empty()) return {std::numeric_limits<double>::quiet_NaN(), 0.0};
    if (gaps_.size() < kMinDensityGaps) return {median(gaps_), kSmallSampleQuality};
    return density_estimate();
}

PeriodEstimate PeriodDetector::density_estimate() {
    const std::size_t n = gaps_.size();
    const double count = static_cast<double>(n);
    logs_.resize(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        logs_[i] = std::log(gaps_[i]);
        sum += logs_[i];
    }
    const double mu = sum / count;
    double squares = 0.0;
    for (double y : logs_) squares += (y - mu) * (y - mu);
    const double sigma = std::sqrt(squares / count);
    if (sigma < kDegenerateSpread) return {gaps_[0], kDegenerateQuality};
    const auto [lo_it, hi_it] = std::minmax_element(logs_.begin(), logs_.end());
    const double lo = *lo_it;
    const double range = *hi_it - lo;
    if (range < kDegenerateSpread) return {gaps_[0], kDegenerateQuality};

    const double h = std::pow(count, -0.2) * sigma;
    const double norm = 1.0 / ((h * count) * kSqrtTwoPi);
    for (std::size_t k = 0; k < kDensityPoints; ++k)
        grid_[k] = lo + (static_cast<double>(k) * range) / 255.0;
    density_.fill(0.0);
    add_kernel_terms(grid_.data(), logs_.data(), n, h, density_.data());
    for (double& d : density_) d = norm * d;
    const auto [mode, ratio] = mode_and_ratio(density_);
    return {std::exp(grid_[mode]), std::clamp(1.0 - ratio, 0.0, 1.0)};
}

PeriodEstimate detect_period(std::span<const double> intervals) {
    PeriodDetector detector;
    return detector.detect(intervals);
}

}  // namespace tarsel::repeat
