#include "engine/ranking.hpp"

#include "base/simd.hpp"
#include "engine/moments.hpp"

#include <algorithm>
#include <array>
#include <functional>

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

// Each block of kLanes entries has its largest finite entry, the score of
// one item; so at least k items score at or above the k-th largest of those
// block maxima, and so does every one of the k best. Only blocks that reach
// this floor are read again, and only their entries at or above it offered:
// the k best are the same, for a selection over a few blocks instead of a
// stream of the whole vector.
void best_finite(std::span<const double> values, std::size_t k, std::vector<Ranked>& out,
                 std::vector<double>& block_maxima) {
    const std::size_t blocks = values.size() / kLanes;
    block_maxima.resize(blocks);
    for (std::size_t b = 0; b < blocks; ++b)
        block_maxima[b] = finite_max(values.data() + b * kLanes);
    double floor = kNegInf;
    if (k > 0 && k <= blocks) {
        // the maxima are needed in block order below: select over a copy at the back
        block_maxima.resize(2 * blocks);
        const auto copy = block_maxima.begin() + static_cast<std::ptrdiff_t>(blocks);
        std::copy_n(block_maxima.begin(), blocks, copy);
        floor = top_k::kth_best(copy, block_maxima.end(), k, std::greater<double>());
    }
    BestK best(out, std::min(k, values.size()));
    const auto offer = [&](std::size_t i) {
        const double v = values[i];
        if (v >= floor && v > kNegInf && v < kInf) best.offer({v, i});
    };
    for (std::size_t b = 0; b < blocks; ++b) {
        if (!(block_maxima[b] >= floor) || !best.may_keep(block_maxima[b])) continue;
        for (std::size_t i = b * kLanes; i < (b + 1) * kLanes; ++i) offer(i);
    }
    for (std::size_t i = blocks * kLanes; i < values.size(); ++i) offer(i);
    best.finish();
}

}  // namespace tarsel::engine
