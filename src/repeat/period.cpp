#include "repeat/period.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarsel::repeat {
namespace {

constexpr std::size_t kMinDensityGaps = 10;
constexpr double kSmallSampleQuality = 0.3;
constexpr double kDegenerateQuality = 0.9;
constexpr double kDegenerateSpread = 1e-9;
constexpr double kSqrtTwoPi = 2.5066282746310002;

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
std::pair<std::size_t, double> mode_and_ratio(
    const std::array<double, kDensityPoints>& d) {
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
    for (std::size_t k = 0; k < kDensityPoints; ++k) {
        const double g = lo + (static_cast<double>(k) * range) / 255.0;
        double total = 0.0;
        for (double y : logs_) {
            const double z = (g - y) / h;
            total += std::exp(z * (z * -0.5));
        }
        grid_[k] = g;
        density_[k] = norm * total;
    }
    const auto [mode, ratio] = mode_and_ratio(density_);
    return {std::exp(grid_[mode]), std::clamp(1.0 - ratio, 0.0, 1.0)};
}

PeriodEstimate detect_period(std::span<const double> intervals) {
    PeriodDetector detector;
    return detector.detect(intervals);
}

}  // namespace tarsel::repeat
