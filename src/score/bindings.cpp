// Python bindings of layered scoring, the ranking metric and calibration.
#include "frame/call.hpp"
#include "score/layered.hpp"

#include <string>
#include <vector>

namespace tarsel::score {
namespace {

using frame::Array1;
using frame::ListArg;

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

std::vector<double> layered_score_py(Array1<double> base, ListArg layer_specs,
                                     double z_threshold, double boost_multiplier,
                                     std::uint64_t top_k_for_calibration,
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

}  // namespace
}  // namespace tarsel::score
