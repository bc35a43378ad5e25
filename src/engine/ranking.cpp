#include "engine/ranking.hpp"

#include "base/simd.hpp"
#include "engine/moments.hpp"

#include <algorithm>
#include <array>

namespace tarsel::engine {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNegInf = -kInf;

// The largest finite entry of values[0, kLanes), or -inf when none is.
TARSEL_VECTOR_CLONES
double finite_max(const double* __restrict values) {
    std::array<double, kLanes> lanes;
    for (std::size_t j = 0; j < kLanes; ++j) {
        const double v = values[j];
        lanes[j] = v < kInf ? v : kNegInf;  // NaN and +inf read as -inf
    }
    for (std::size_t width = kLanes / 2; width > 0; width /= 2)
        for (std::size_t j = 0; j < width; ++j)
            lanes[j] = lanes[j + width] > lanes[j] ? lanes[j + width] : lanes[j];
    return lanes[0];
}

}  // namespace

// Blocks of kLanes entries whose largest finite entry cannot be kept are
// passed over after one vector test.
void best_finite(std::span<const double> values, std::size_t k, std::vector<Ranked>& out) {
    BestK best(out, std::min(k, values.size()));
    const auto offer = [&](std::size_t i) {
        const double v = values[i];
        if (v > kNegInf && v < kInf) best.offer({v, i});
    };
    std::size_t i = 0;
    for (; i + kLanes <= values.size(); i += kLanes) {
        if (!best.may_keep(finite_max(values.data() + i))) continue;
        for (std::size_t j = i; j < i + kLanes; ++j) offer(j);
    }
    for (; i < values.size(); ++i) offer(i);
    best.finish();
}

}  // namespace tarsel::engine
