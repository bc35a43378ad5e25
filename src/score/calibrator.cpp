#include "score/calibrator.hpp"

#include "score/stable_sort.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tarsel::score {
namespace {

constexpr double kDefaultMatch = 1e-9;

// Gains in rank order: sum of (2^rel - 1) / log2(rank + 2), from 0.0.
template <class RelevanceAt>
double discounted_sum(std::size_t ranks, RelevanceAt relevance_at) {
    double sum = 0.0;
    for (std::size_t i = 0; i < ranks; ++i)
        sum += (std::pow(2.0, relevance_at(i)) - 1.0) / std::log2(static_cast<double>(i) + 2.0);
    return sum;
}

// Puts the first `ranks` positions of the stable descending score order at the
// front of `scratch.order`.
void rank_positions(std::span<const double> scores, std::size_t ranks, NdcgScratch& scratch) {
    auto& order = scratch.order;
    order.resize(scores.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (has_nan(scores)) {
        stable_sort(
            std::span<std::size_t>(order),
            [&](std::size_t a, std::size_t b) { return scores[b] < scores[a]; },
            scratch.merge_order);
        return;
    }
    // A total order: by score, then by position, as the stable sort has it.
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(ranks),
                      order.end(), [&](std::size_t a, std::size_t b) {
                          return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
                      });
}

}  // namespace

// ------------------------------------------------------------------- NDCG

double dcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k,
                NdcgScratch& scratch) {
    const std::size_t ranks = std::min(k, scores.size());
    if (ranks == 0) return 0.0;
    rank_positions(scores, ranks, scratch);
    return discounted_sum(ranks, [&](std::size_t i) { return relevance[scratch.order[i]]; });
}

double ideal_dcg_at_k(std::span<const double> relevance, std::size_t k, NdcgScratch& scratch) {
    const std::size_t ranks = std::min(k, relevance.size());
    if (ranks == 0) return 0.0;
    auto& sorted = scratch.values;
    sorted.assign(relevance.begin(), relevance.end());
    sort_top_descending(sorted, ranks, scratch.merge_values);
    return discounted_sum(ranks, [&](std::size_t i) { return sorted[i]; });
}

double ndcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k,
                 NdcgScratch& scratch) {
    if (scores.empty() || scores.size() != relevance.size()) return 0.0;
    const double ideal = ideal_dcg_at_k(relevance, k, scratch);
    if (!(ideal > 0.0)) return 0.0;
    return dcg_at_k(scores, relevance, k, scratch) / ideal;
}

double ndcg_at_k(std::span<const double> scores, std::span<const double> relevance, std::size_t k) {
    NdcgScratch scratch;
    return ndcg_at_k(scores, relevance, k, scratch);
}

// ------------------------------------------------------------ calibration

CalibrationSummary choose_setting(std::span<const GridEntry> grid, double baseline,
                                  const CalibrationSettings& settings) {
    const CalibrationSummary defaults{settings.default_z, settings.default_boost, 0.0, true};
    if (grid.empty()) return defaults;

    std::size_t best = 0;
    for (std::size_t i = 1; i < grid.size(); ++i)
        if (grid[i].ndcg >= grid[best].ndcg) best = i;
    const double best_ndcg = grid[best].ndcg;
    if (best_ndcg - baseline < settings.min_lift_over_cooc_only)
        return {settings.default_z, 0.0, best_ndcg, true};

    auto near_best = [&](const GridEntry& e) {
        return best_ndcg - e.ndcg <= settings.tie_tolerance;
    };
    const bool undiscriminating = std::all_of(grid.begin(), grid.end(), near_best);
    if (undiscriminating) return {settings.default_z, settings.default_boost, best_ndcg, true};

    for (const GridEntry& e : grid) {
        if (near_best(e) && std::abs(e.z - settings.default_z) < kDefaultMatch &&
            std::abs(e.boost - settings.default_boost) < kDefaultMatch)
            return {e.z, e.boost, e.ndcg, false};
    }
    // The most conservative near-best point: highest threshold, then smallest
    // boost; the earlier entry wins among equals, as a stable sort keeps it.
    const GridEntry* chosen = nullptr;
    for (const GridEntry& e : grid) {
        if (!near_best(e)) continue;
        if (chosen == nullptr || e.z > chosen->z || (e.z == chosen->z && e.boost < chosen->boost))
            chosen = &e;
    }
    // Only a NaN mean leaves no near-best entry; fall back as for a flat grid.
    if (chosen == nullptr) return {settings.default_z, settings.default_boost, best_ndcg, true};
    return {chosen->z, chosen->boost, chosen->ndcg, false};
}

namespace {

// What the grid loop needs per user, computed once: the layer views, the
// parameter-independent part of the layered scoring, the ideal DCG and the
// NDCG of the unlayered base (which is also the NDCG of every grid point that
// leaves the base unchanged).
struct PreparedUser {
    std::vector<Layer> layers;
    LayeredPlan plan;
    double ideal = 0.0;
    double base_ndcg = 0.0;
    bool ranked = false;  // lengths agree, not empty, ideal DCG > 0
};

PreparedUser prepare_user(const UserSlice& user, const CalibrationSettings& settings,
                          LayeredScratch& layered, NdcgScratch& ndcg) {
    PreparedUser p;
    for (const auto& layer : user.layers) p.layers.push_back(layer.view());
    if (user.base.empty() || user.base.size() != user.relevance.size()) return p;
    p.ideal = ideal_dcg_at_k(user.relevance, settings.k, ndcg);
    if (!(p.ideal > 0.0)) return p;
    p.ranked = true;
    p.base_ndcg = dcg_at_k(user.base, user.relevance, settings.k, ndcg) / p.ideal;
    plan_layers(user.base, p.layers, settings.top_k_for_calibration,
                settings.min_nonzero_for_zscore, layered, p.plan);
    return p;
}

}  // namespace

Calibration calibrate_layered(std::span<const UserSlice> users, std::span<const double> z_grid,
                              std::span<const double> boost_grid,
                              const CalibrationSettings& settings) {
    LayeredScratch layered;
    NdcgScratch ndcg;
    std::vector<PreparedUser> prepared;
    prepared.reserve(users.size());
    std::size_t longest = 0;
    double baseline_sum = 0.0;
    for (const UserSlice& user : users) {
        prepared.push_back(prepare_user(user, settings, layered, ndcg));
        baseline_sum += prepared.back().base_ndcg;
        longest = std::max(longest, user.base.size());
    }
    const std::size_t n_users = users.size();
    const double baseline = baseline_sum / static_cast<double>(std::max<std::size_t>(n_users, 1));

    Calibration result;
    result.grid.reserve(z_grid.size() * boost_grid.size());
    std::vector<double> boosted(longest);
    for (double z : z_grid) {
        for (double b : boost_grid) {
            GridEntry entry{z, b, 0.0, n_users};
            if (n_users > 0) {
                double sum = 0.0;
                for (std::size_t u = 0; u < n_users; ++u) {
                    const PreparedUser& p = prepared[u];
                    if (!p.ranked) continue;  // its NDCG is 0 at every grid point
                    if (p.plan.boost(b) <= 0.0) {
                        sum += p.base_ndcg;
                        continue;
                    }
                    const auto& base = users[u].base;
                    const std::span<double> out(boosted.data(), base.size());
                    apply_plan(base, p.layers, p.plan, z, b, out);
                    sum += dcg_at_k(out, users[u].relevance, settings.k, ndcg) / p.ideal;
                }
                entry.ndcg = sum / static_cast<double>(n_users);
            }
            result.grid.push_back(entry);
        }
    }
    result.summary = choose_setting(result.grid, baseline, settings);
    return result;
}

}  // namespace tarsel::score
