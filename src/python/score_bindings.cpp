// Python bindings of layered scoring, the ranking metric and calibration.
#include "python/call.hpp"
#include "score/calibrator.hpp"
#include "score/layered.hpp"

#include <string>
#include <tuple>
#include <vector>

namespace tarsel::score {
namespace {

using frame::Array1;
using frame::ListArg;

// ------------------------------------------------------------ conversion

// Item i of a tuple; the interpreter's IndexError when it is too short.
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
    return frame::check(PyTuple_GetItem(tuple, i));
}

std::vector<double> owned_f64(PyObject* obj) {
    return Array1<double>(frame::expect_array(obj, 1, NPY_FLOAT64)).to_vector();
}

// A Python list of (values, z-mode name) tuples as owned layers, in list
// order. Failures here carry no argument prefix: they concern list items.
std::vector<OwnedLayer> take_layers(PyObject* list) {
    if (!PyList_Check(list)) frame::throw_cannot_convert(list, "PyList");
    const Py_ssize_t count = PyList_Size(list);
    std::vector<OwnedLayer> layers;
    layers.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* spec = PyList_GetItem(list, i);
        if (!PyTuple_Check(spec)) frame::throw_cannot_convert(spec, "PyTuple");
        OwnedLayer layer;
        layer.values = owned_f64(tuple_item(spec, 0));
        layer.mode = parse_z_mode(frame::to_string(tuple_item(spec, 1)));
        layers.push_back(std::move(layer));
    }
    return layers;
}

std::vector<Layer> views(const std::vector<OwnedLayer>& layers) {
    std::vector<Layer> out;
    out.reserve(layers.size());
    for (const auto& layer : layers) out.push_back(layer.view());
    return out;
}

// One user slice: (base float64 array, layer specs list, relevance
// contiguous float64 array), each element converted in that order.
UserSlice take_user(PyObject* item) {
    if (!PyTuple_Check(item)) frame::throw_cannot_convert(item, "PyTuple");
    UserSlice user;
    user.base = owned_f64(tuple_item(item, 0));
    user.layers = take_layers(tuple_item(item, 1));
    const auto relevance =
        Array1<double>(frame::expect_array(tuple_item(item, 2), 1, NPY_FLOAT64)).span();
    user.relevance.assign(relevance.begin(), relevance.end());
    return user;
}

// --------------------------------------------------------------- functions

std::vector<double> layered_score_py(Array1<double> base, ListArg layer_specs, double z_threshold,
                                     double boost_multiplier, std::uint64_t top_k_for_calibration,
                                     std::uint64_t min_nonzero_for_zscore) {
    const std::vector<OwnedLayer> layers = take_layers(layer_specs.obj);
    const std::vector<double> values = base.to_vector();
    const LayeredParams params{z_threshold, boost_multiplier, top_k_for_calibration,
                               min_nonzero_for_zscore};
    return layered_score(values, views(layers), params);
}

const bool registered_layered_score_py = frame::define_function<&layered_score_py>(
    "layered_score_py(base, layer_specs, z_threshold=2.5, boost_multiplier=3.0, "
    "top_k_for_calibration=20, min_nonzero_for_zscore=3)",
    "Boost the base scores where refinement layers are outliers.\n\n"
    "layer_specs is a list of (values float64 array, z_mode) tuples, z_mode one of\n"
    "\"nonzero\" (also \"nonzero_subset\", \"sparse\": statistics over and boosts of the\n"
    "entries > 0) or \"pool\" (also \"dense\", \"candidate_pool\": all entries). The\n"
    "boost is boost_multiplier times the median positive gap between consecutive\n"
    "values among the top_k_for_calibration base scores; each layer adds it to\n"
    "every eligible entry whose z-score is > z_threshold. Layers whose length\n"
    "differs from the base, or whose pool has fewer than min_nonzero_for_zscore\n"
    "entries, are skipped. Returns a new float64 array; the inputs are unchanged.");

double ndcg_at_k_py(std::vector<double> scores, std::vector<double> relevance, std::uint64_t k) {
    return ndcg_at_k(scores, relevance, k);
}

using GridTuple = std::tuple<double, double, double, std::uint64_t>;
using SummaryTuple = std::tuple<double, double, double, bool>;

std::tuple<frame::List<GridTuple>, SummaryTuple> calibrate_layered_py(
    ListArg users, std::vector<double> z_grid, std::vector<double> boost_grid, std::uint64_t k,
    std::uint64_t top_k_for_calibration, std::uint64_t min_nonzero_for_zscore, double default_z,
    double default_boost, double tie_tolerance, double min_lift_over_cooc_only) {
    const Py_ssize_t count = PyList_Size(users.obj);
    std::vector<UserSlice> slices;
    slices.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i)
        slices.push_back(take_user(PyList_GetItem(users.obj, i)));

    const CalibrationSettings settings{k,
                                       top_k_for_calibration,
                                       min_nonzero_for_zscore,
                                       default_z,
                                       default_boost,
                                       tie_tolerance,
                                       min_lift_over_cooc_only};
    const Calibration result = calibrate_layered(slices, z_grid, boost_grid, settings);
    frame::List<GridTuple> grid;
    grid.items.reserve(result.grid.size());
    for (const GridEntry& e : result.grid) grid.items.emplace_back(e.z, e.boost, e.ndcg, e.n_users);
    const CalibrationSummary& s = result.summary;
    return {std::move(grid), {s.best_z, s.best_boost, s.best_ndcg, s.fallback_to_default}};
}

const bool registered_calibrate_layered_py = frame::define_function<&calibrate_layered_py>(
    "calibrate_layered_py(users, z_grid, boost_grid, k=10, top_k_for_calibration=20, "
    "min_nonzero_for_zscore=3, default_z=2.5, default_boost=3.0, tie_tolerance=0.003, "
    "min_lift_over_cooc_only=0.0)",
    "Choose the layered scorer's z threshold and boost multiplier by mean NDCG@k.\n\n"
    "users is a list of (base float64 array, layer_specs list as for\n"
    "layered_score_py, relevance contiguous float64 array) tuples. Every (z, boost)\n"
    "of the grid (z outer, boost inner) is scored by the mean over users of the\n"
    "NDCG@k of the layered scores. Returns ([(z, boost, ndcg, n_users), ...],\n"
    "(best_z, best_boost, best_ndcg, fallback_to_default)): with an empty grid,\n"
    "or when every point ties within tie_tolerance of the best, the defaults with\n"
    "fallback True; when the best lifts the mean NDCG of the base scores by less\n"
    "than min_lift_over_cooc_only, (default_z, 0.0, best, True); otherwise the\n"
    "defaults if they tie the best, else the near-best point with the highest z\n"
    "and, at that z, the smallest boost.");

const bool registered_ndcg_at_k_py = frame::define_function<&ndcg_at_k_py>(
    "ndcg_at_k_py(scores, relevance, k)",
    "NDCG at k of one score vector against graded relevance.\n\n"
    "Ranks by score descending, equal scores in input order; gains 2^rel - 1,\n"
    "discount log2(rank + 2). 0.0 for empty or mismatched inputs, k = 0, or an\n"
    "ideal DCG that is not > 0.");

}  // namespace
}  // namespace tarsel::score
