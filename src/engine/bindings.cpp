// Python bindings of the serving engine: construction from dicts and the
// engine's persistence methods.
#include "engine/construction.hpp"
#include "engine/engine_object.hpp"
#include "frame/call.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace tarsel::engine {
namespace {

using frame::Ref;

// ------------------------------------------------------------ construction

// A one-dimensional array entry copied into an owned vector; the value must
// be an ndarray of exactly the element type, in one flat run.
template <class T>
std::vector<T> copy_array(PyObject* value) {
    frame::Array1<T> view(frame::expect_array(value, 1, frame::NumpyType<T>::value));
    auto elements = view.span();
    return {elements.begin(), elements.end()};
}

// Item i of a tuple; the interpreter's IndexError when the tuple is shorter.
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
    return frame::check(PyTuple_GetItem(tuple, i));
}

// Reads construction inputs from the `arrays` and `config` dicts by plain
// lookup; a missing key and None are the same.
class DictSource final : public EngineSource {
  public:
    DictSource(PyObject* arrays, PyObject* config) : arrays_(arrays), config_(config) {}

    std::optional<DenseF32> ease_block() override {
        Ref value = lookup(arrays_, "ease_b");
        if (!value.get()) return std::nullopt;
        frame::Array2<float> m(frame::expect_array(value.get(), 2, NPY_FLOAT32));
        return DenseF32{m.rows(), m.cols(), m.to_row_major()};
    }
    void array(const char* key, std::vector<float>& out) override { read_array(key, out); }
    void array(const char* key, std::vector<std::int32_t>& out) override { read_array(key, out); }
    void array(const char* key, std::vector<std::int64_t>& out) override { read_array(key, out); }
    void array(const char* key, std::vector<double>& out) override { read_array(key, out); }

    void boost_layers(std::vector<CsrF32>& out) override {
        out.clear();
        Ref value = lookup(arrays_, "boost");
        if (!value.get()) return;
        if (!PyList_Check(value.get())) frame::throw_cannot_convert(value.get(), "PyList");
        for (Py_ssize_t i = 0; i < PyList_Size(value.get()); ++i) {
            Ref item = Ref::borrow(PyList_GetItem(value.get(), i));
            if (!PyTuple_Check(item.get())) frame::throw_cannot_convert(item.get(), "PyTuple");
            CsrF32 layer;
            layer.data = copy_array<float>(tuple_item(item.get(), 0));
            layer.indices = copy_array<std::int32_t>(tuple_item(item.get(), 1));
            layer.indptr = copy_array<std::int32_t>(tuple_item(item.get(), 2));
            out.push_back(std::move(layer));
        }
    }

    void count(const char* key, std::uint64_t& value) override {
        if (Ref v = lookup(config_, key); v.get()) value = frame::to_u64(v.get());
    }
    void real(const char* key, double& value) override {
        if (Ref v = lookup(config_, key); v.get()) value = frame::to_f64(v.get());
    }
    void flag(const char* key, bool& value) override {
        if (Ref v = lookup(config_, key); v.get()) value = frame::to_bool(v.get());
    }

  private:
    // The value under `key`, or an empty reference when it is absent or None.
    // Held as a new reference: converting a value may run Python code that
    // changes the dict.
    static Ref lookup(PyObject* dict, const char* key) {
        Ref name = Ref::steal(PyUnicode_FromString(key));
        PyObject* value = PyDict_GetItemWithError(dict, name.get());
        if (value == nullptr && PyErr_Occurred()) throw frame::PythonError{};
        if (value == nullptr || value == Py_None) return Ref();
        return Ref::borrow(value);
    }

    template <class T>
    void read_array(const char* key, std::vector<T>& out) {
        Ref value = lookup(arrays_, key);
        out = value.get() ? copy_array<T>(value.get()) : std::vector<T>();
    }

    PyObject* arrays_;
    PyObject* config_;
};

PyObject* build_engine(frame::DictArg arrays, frame::DictArg config) {
    DictSource source(arrays.obj, config.obj);
    return wrap_record(build_record(source));
}

const bool registered_build_engine = frame::define_function<&build_engine>(
    "build_engine(arrays, config)",
    "Build an EngineState from a dict of arrays and a dict of settings.\n\n"
    "`arrays` maps engine field names to one-dimensional NumPy arrays of their\n"
    "exact dtype (`ease_b`: a two-dimensional float32 matrix in any memory order;\n"
    "`boost`: a list of (data float32, indices int32, indptr int32) tuples).\n"
    "`config` maps setting names to numbers and flags. A missing key and None\n"
    "are the same: an array is empty (its channel is off) and a setting takes its\n"
    "default. Unknown keys are ignored. Every array is copied, so the engine is\n"
    "independent of the caller's arrays.\n\n"
    "Raises ValueError when n_items is not positive, when there is no base scorer\n"
    "(neither ease_b nor a co-occurrence indptr), or when ease_b is not square or\n"
    "larger than the catalogue.");

}  // namespace
}  // namespace tarsel::engine
