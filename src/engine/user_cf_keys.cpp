#include "engine/user_cf_keys.hpp"

#include "base/errors.hpp"
#include "base/simd.hpp"
#include "base/top_k.hpp"
#include "engine/moments.hpp"

#include <array>
#include <functional>
#include <limits>

namespace tarsel::engine {

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();

// The rank key of each user for the neighbour cut: the cosine overlap[u] /
// (owned_norm * root_degree[u]) between the owned set and the user's items,
// as rank_key orders it (NaN as -inf), and -inf for a user who shares no
// item. Branch-free, so that the selection's tests stay predictable. For each
// full block b of kLanes users, the same pass writes the largest finite key
// (finite_max[b]) and the largest key (reach[b]).
TARSEL_VECTOR_CLONES
void neighbour_keys(const std::uint32_t* __restrict overlap, const double* __restrict root_degree,
                    std::size_t n, double owned_norm, double* __restrict keys,
                    double* __restrict finite_max, double* __restrict reach) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const auto key_of = [&](std::size_t u) {
        const double sim = static_cast<double>(overlap[u]) / (owned_norm * root_degree[u]);
        return overlap[u] == 0 || sim != sim ? kNegInf : sim;
    };
    std::size_t u = 0;
    for (std::size_t b = 0; u + kLanes <= n; ++b, u += kLanes) {
        // A fixed tree of lane-wise maxima (keys are never NaN, so its shape
        // does not change the result), which vectorises like the keys.
        std::array<double, kLanes> top, finite;
        for (std::size_t j = 0; j < kLanes; ++j) {
            top[j] = key_of(u + j);
            keys[u + j] = top[j];
            finite[j] = top[j] < kInf ? top[j] : kNegInf;
        }
        for (std::size_t width = kLanes / 2; width > 0; width /= 2)
            for (std::size_t j = 0; j < width; ++j) {
                top[j] = top[j + width] > top[j] ? top[j + width] : top[j];
                finite[j] = finite[j + width] > finite[j] ? finite[j + width] : finite[j];
            }
        finite_max[b] = finite[0];
        reach[b] = top[0];
    }
    for (; u < n; ++u) keys[u] = key_of(u);
}

// A key below which no user can be among the k best keys: the k-th largest
// of the blocks' largest finite keys `block_maxima` (each the key of a user,
// so at least k users reach it; reordered here), or -inf when that bounds
// nothing.
double neighbour_floor(std::span<double> block_maxima, std::uint64_t k) {
    if (k == 0 || k > block_maxima.size()) return kNegInf;
    return top_k::kth_best(block_maxima.begin(), block_maxima.end(), static_cast<std::size_t>(k),
                           std::greater<double>());
}

}  // namespace

void nearest_users(std::span<const std::uint32_t> overlap, std::span<const double> root_degree,
                   double owned_norm, std::uint64_t k, NeighbourScratch& scratch,
                   std::vector<Ranked>& out) {
    // Keys in one branch-free pass over the users with a degree.
    const std::size_t with_degree = root_degree.size();
    for (std::size_t u = with_degree; u < overlap.size(); ++u)
        if (overlap[u] != 0) index_failure(with_degree, u);
    const std::size_t blocks = with_degree / kLanes;
    scratch.keys.resize(with_degree);
    scratch.block_maxima.resize(blocks);
    scratch.block_reach.resize(blocks);
    neighbour_keys(overlap.data(), root_degree.data(), with_degree, owned_norm, scratch.keys.data(),
                   scratch.block_maxima.data(), scratch.block_reach.data());
    // Users are offered in index order; a block whose largest key is below
    // the floor holds no user to offer.
    const double floor = neighbour_floor(scratch.block_maxima, k);
    BestK nearest(out, k);
    const auto offer = [&](std::size_t u) {
        const double key = scratch.keys[u];
        if (key >= floor && nearest.may_keep(key) && overlap[u] != 0) nearest.offer({key, u});
    };
    for (std::size_t b = 0; b < blocks; ++b) {
        if (!(scratch.block_reach[b] >= floor)) continue;
        for (std::size_t u = b * kLanes; u < (b + 1) * kLanes; ++u) offer(u);
    }
    for (std::size_t u = blocks * kLanes; u < with_degree; ++u) offer(u);
    nearest.finish_unranked();
}

}  // namespace tarsel::engine
