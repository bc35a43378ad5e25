#include "engine/moments.hpp"

#include "base/simd.hpp"

#include <cmath>

namespace tarsel::engine {
namespace {

double combine_lanes(std::array<double, kLanes>& lanes) {
    for (std::size_t width = kLanes / 2; width > 0; width /= 2)
        for (std::size_t j = 0; j < width; ++j) lanes[j] += lanes[j + width];
    return lanes[0];
}

}  // namespace

TARSEL_VECTOR_CLONES
double lane_sum(const double* __restrict v, std::size_t n) {
    std::array<double, kLanes> lanes{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += v[i + j];
    for (std::size_t j = 0; i + j < n; ++j) lanes[j] += v[i + j];
    return combine_lanes(lanes);
}

TARSEL_VECTOR_CLONES
double lane_squared_deviations(const double* __restrict v, std::size_t n, double mean) {
    std::array<double, kLanes> lanes{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (std::size_t j = 0; j < kLanes; ++j) lanes[j] += (v[i + j] - mean) * (v[i + j] - mean);
    for (std::size_t j = 0; i + j < n; ++j) lanes[j] += (v[i + j] - mean) * (v[i + j] - mean);
    return combine_lanes(lanes);
}

Moments moments(std::span<const double> v) {
    if (v.empty()) return {};
    const double count = static_cast<double>(v.size());
    const double mean = lane_sum(v.data(), v.size()) / count;
    const double variance = lane_squared_deviations(v.data(), v.size(), mean) / count;
    return variance > 0.0 ? Moments{mean, std::sqrt(variance), false} : Moments{mean, 0.0, true};
}

TARSEL_VECTOR_CLONES
void standardise_values(double* __restrict v, std::size_t n, double mean, double sd) {
    for (std::size_t i = 0; i < n; ++i) v[i] = (v[i] - mean) / sd;
}

}  // namespace tarsel::engine
