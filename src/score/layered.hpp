// Layered scoring: raise a base score vector wherever a refinement layer is an
// outlier by its own z-score.
//
// Interface (plain C++, no Python; used by layered_score_py, the grid
// calibrator and the recommend pipeline):
//
//   * `Layer` is a view of one refinement layer over the same candidates as
//     the base (a std::span<const double>) plus its `ZMode`. The caller owns
//     the values; `OwnedLayer` is a convenience owner with `view()`.
//   * `layered_score(base, layers, params, scratch, out)` writes the boosted
//     copy of `base` into `out` (out.size() must equal base.size(); `out` may
//     not alias any input). `scratch` is a `LayeredScratch` kept by the caller
//     and reused across calls (one per thread), so steady-state calls do not
//     allocate. The allocating overload returns a new vector.
//   * The work splits into a parameter-independent part and a cheap per-
//     parameter part, which callers that score one input under many
//     (z_threshold, boost_multiplier) pairs use directly:
//       plan_layers(base, layers, top_k, min_pool, scratch, plan)  -- once
//       apply_plan(base, layers, plan, z_threshold, boost_multiplier, out)
//     The two together give exactly the result of `layered_score`.
//
// Rules. The boost is boost_multiplier times the median of the strictly
// positive gaps between consecutive values among the top_k_for_calibration
// base values (sorted descending, stably; a NaN compares as neither smaller
// nor greater), and 0 when no such gap exists. A layer whose length differs
// from the base, or whose statistics pool (Nonzero: its entries > 0; Pool: all
// entries) has fewer than min_nonzero_for_zscore entries, is skipped. Every
// other layer adds the boost to each eligible entry (Nonzero: > 0; Pool: any)
// whose z = (value - mean) / max(population std, 1e-9) is strictly greater
// than z_threshold. Boosts of several layers add up in layer order. Nothing
// happens when the boost is <= 0.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace tarsel::score {

enum class ZMode { Nonzero, Pool };

// "nonzero", "nonzero_subset", "sparse" -> Nonzero; "pool", "dense",
// "candidate_pool" -> Pool (case-sensitive). ValueError
// "unknown z_mode: <text>; expected 'nonzero' or 'pool'" otherwise.
ZMode parse_z_mode(std::string_view text);

struct Layer {
    std::span<const double> values;
    ZMode mode = ZMode::Nonzero;
};

struct OwnedLayer {
    std::vector<double> values;
    ZMode mode = ZMode::Nonzero;
    Layer view() const { return {values, mode}; }
};

struct LayeredParams {
    double z_threshold = 2.5;
    double boost_multiplier = 3.0;
    std::size_t top_k_for_calibration = 20;
    std::size_t min_nonzero_for_zscore = 3;
};

// Statistics of one layer; `active` is false for a skipped layer.
struct LayerGate {
    bool active = false;
    double mean = 0.0;
    double std = 0.0;
};

// The parameter-independent part of one scoring: the median positive gap of
// the top base values (0 when there is none) and each layer's gate.
struct LayeredPlan {
    double median_gap = 0.0;
    std::vector<LayerGate> gates;

    // The amount added per passing layer under `boost_multiplier`; the scores
    // stay unchanged exactly when it is <= 0 (no gap, no active layer, or a
    // multiplier that is not > 0).
    double boost(double boost_multiplier) const;
};

// Working buffers reused between calls.
class LayeredScratch {
  public:
    LayeredPlan plan;

  private:
    friend double median_top_gap(std::span<const double>, std::size_t, LayeredScratch&);
    std::vector<double> sorted_;
    std::vector<double> gaps_;
    std::vector<double> merge_;
};

// Median of the strictly positive gaps between consecutive values among the
// `top_k` largest base values, or 0 when there is none.
double median_top_gap(std::span<const double> base, std::size_t top_k, LayeredScratch& scratch);

// The gate of one layer over a base of length n.
LayerGate layer_gate(const Layer& layer, std::size_t n, std::size_t min_pool);

void plan_layers(std::span<const double> base, std::span<const Layer> layers, std::size_t top_k,
                 std::size_t min_pool, LayeredScratch& scratch, LayeredPlan& plan);

void apply_plan(std::span<const double> base, std::span<const Layer> layers,
                const LayeredPlan& plan, double z_threshold, double boost_multiplier,
                std::span<double> out);

void layered_score(std::span<const double> base, std::span<const Layer> layers,
                   const LayeredParams& params, LayeredScratch& scratch, std::span<double> out);

std::vector<double> layered_score(std::span<const double> base, std::span<const Layer> layers,
                                  const LayeredParams& params);

}  // namespace tarsel::score
