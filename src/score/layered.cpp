#include "score/layered.hpp"

#include "base/errors.hpp"
#include "score/stable_sort.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace tarsel::score {
namespace {

constexpr double kStdFloor = 1e-9;

// Median of values already sorted ascending (not empty).
double sorted_median(std::span<const double> sorted) {
    const std::size_t m = sorted.size();
    if (m % 2 == 1) return sorted[m / 2];
    return (sorted[m / 2 - 1] + sorted[m / 2]) / 2.0;
}

bool eligible(ZMode mode, double value) { return mode == ZMode::Pool || value > 0.0; }

}  // namespace

ZMode parse_z_mode(std::string_view text) {
    if (text == "nonzero" || text == "nonzero_subset" || text == "sparse") return ZMode::Nonzero;
    if (text == "pool" || text == "dense" || text == "candidate_pool") return ZMode::Pool;
    throw ValueError("unknown z_mode: " + std::string(text) + "; expected 'nonzero' or 'pool'");
}

double median_top_gap(std::span<const double> base, std::size_t top_k, LayeredScratch& scratch) {
    const std::size_t k = std::min(base.size(), top_k);
    if (k < 2) return 0.0;
    auto& sorted = scratch.sorted_;
    sorted.assign(base.begin(), base.end());
    sort_top_descending(sorted, k, scratch.merge_);
    auto& gaps = scratch.gaps_;
    gaps.clear();
    for (std::size_t i = 0; i + 1 < k; ++i) {
        const double gap = sorted[i] - sorted[i + 1];
        if (gap > 0.0) gaps.push_back(gap);
    }
    if (gaps.empty()) return 0.0;
    std::sort(gaps.begin(), gaps.end());
    return sorted_median(gaps);
}

LayerGate layer_gate(const Layer& layer, std::size_t n, std::size_t min_pool) {
    const auto values = layer.values;
    if (values.size() != n) return {};
    std::size_t count = 0;
    double sum = 0.0;
    for (double v : values) {
        if (eligible(layer.mode, v)) {
            sum += v;
            ++count;
        }
    }
    // An empty pool can boost nothing whatever the minimum.
    if (count == 0 || count < min_pool) return {};
    const double mean = sum / static_cast<double>(count);
    double squares = 0.0;
    for (double v : values) {
        if (eligible(layer.mode, v)) squares += (v - mean) * (v - mean);
    }
    const double root = std::sqrt(squares / static_cast<double>(count));
    return {true, mean, root > kStdFloor ? root : kStdFloor};
}

void plan_layers(std::span<const double> base, std::span<const Layer> layers, std::size_t top_k,
                 std::size_t min_pool, LayeredScratch& scratch, LayeredPlan& plan) {
    plan.median_gap = median_top_gap(base, top_k, scratch);
    plan.gates.assign(layers.size(), LayerGate{});
    if (plan.median_gap <= 0.0) return;  // nothing can be boosted
    for (std::size_t l = 0; l < layers.size(); ++l)
        plan.gates[l] = layer_gate(layers[l], base.size(), min_pool);
}

double LayeredPlan::boost(double boost_multiplier) const {
    if (median_gap <= 0.0) return 0.0;
    if (std::none_of(gates.begin(), gates.end(), [](const LayerGate& g) { return g.active; }))
        return 0.0;
    return boost_multiplier * median_gap;
}

void apply_plan(std::span<const double> base, std::span<const Layer> layers,
                const LayeredPlan& plan, double z_threshold, double boost_multiplier,
                std::span<double> out) {
    std::copy(base.begin(), base.end(), out.begin());
    const double boost = plan.boost(boost_multiplier);
    if (boost <= 0.0) return;
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const LayerGate& gate = plan.gates[l];
        if (!gate.active) continue;
        const ZMode mode = layers[l].mode;
        const auto values = layers[l].values;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const double v = values[i];
            if (eligible(mode, v) && (v - gate.mean) / gate.std > z_threshold) out[i] += boost;
        }
    }
}

void layered_score(std::span<const double> base, std::span<const Layer> layers,
                   const LayeredParams& params, LayeredScratch& scratch, std::span<double> out) {
    plan_layers(base, layers, params.top_k_for_calibration, params.min_nonzero_for_zscore, scratch,
                scratch.plan);
    apply_plan(base, layers, scratch.plan, params.z_threshold, params.boost_multiplier, out);
}

std::vector<double> layered_score(std::span<const double> base, std::span<const Layer> layers,
                                  const LayeredParams& params) {
    std::vector<double> out(base.size());
    LayeredScratch scratch;
    layered_score(base, layers, params, scratch, out);
    return out;
}

}  // namespace tarsel::score
