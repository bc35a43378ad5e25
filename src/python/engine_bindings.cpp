// Python bindings of the serving engine: construction from dicts and the
// engine's persistence methods.
#include "engine/construction.hpp"
#include "engine/persistence.hpp"
#include "python/call.hpp"
#include "python/engine_object.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarsel::engine {
namespace {

using frame::Ref;

// ------------------------------------------------------------ construction

// True when nothing can write the array's elements while the engine holds it:
// the array and every array it views are read-only, and the memory under them
// belongs to NumPy, to an immutable bytes object or to a capsule of this
// module's results (reachable from Python only through the arrays over it).
bool unchanging(PyArrayObject* arr) {
    PyObject* owner = reinterpret_cast<PyObject*>(arr);
    while (owner != nullptr && PyArray_Check(owner)) {
        auto* a = reinterpret_cast<PyArrayObject*>(owner);
        if (PyArray_ISWRITEABLE(a)) return false;
        owner = PyArray_BASE(a);
    }
    return owner == nullptr || PyBytes_CheckExact(owner) || PyCapsule_CheckExact(owner);
}

// A one-dimensional array entry as a record array; the value must be an
// ndarray of exactly the element type, in one flat run. An unchanging array
// is viewed, not copied, and appended to `held`, which the engine keeps.
template <class T>
RecordArray<T> record_array(PyObject* value, PyObject* held) {
    PyArrayObject* arr = frame::expect_array(value, 1, frame::NumpyType<T>::value);
    auto elements = frame::Array1<T>(arr).span();
    if (unchanging(arr)) {
        if (PyList_Append(held, value) != 0) throw frame::PythonError{};
        return RecordArray<T>::view_of(elements);
    }
    return RecordArray<T>(elements.begin(), elements.end());
}

// Item i of a tuple; the interpreter's IndexError when the tuple is shorter.
PyObject* tuple_item(PyObject* tuple, Py_ssize_t i) {
    return frame::check(PyTuple_GetItem(tuple, i));
}

// Reads construction inputs from the `arrays` and `config` dicts by plain
// lookup; a missing key and None are the same.
class DictSource final : public EngineSource {
  public:
    DictSource(PyObject* arrays, PyObject* config)
        : arrays_(arrays), config_(config), held_(Ref::steal(PyList_New(0))) {}

    // The arrays the record views, for the engine to keep.
    Ref take_held() { return std::move(held_); }

    std::optional<DenseF32> ease_block() override {
        Ref value = lookup(arrays_, "ease_b");
        if (!value.get()) return std::nullopt;
        PyArrayObject* arr = frame::expect_array(value.get(), 2, NPY_FLOAT32);
        frame::Array2<float> m(arr);
        if (PyArray_IS_C_CONTIGUOUS(arr) && PyArray_ISALIGNED(arr) && unchanging(arr)) {
            if (PyList_Append(held_.get(), value.get()) != 0) throw frame::PythonError{};
            const auto* first = static_cast<const float*>(PyArray_DATA(arr));
            return DenseF32{m.rows(), m.cols(),
                            RecordArray<float>::view_of({first, m.rows() * m.cols()})};
        }
        return DenseF32{m.rows(), m.cols(), RecordArray<float>(m.to_row_major<BigVector<float>>())};
    }
    void array(const char* key, RecordArray<float>& out) override { read_array(key, out); }
    void array(const char* key, RecordArray<std::int32_t>& out) override { read_array(key, out); }
    void array(const char* key, RecordArray<std::int64_t>& out) override { read_array(key, out); }
    void array(const char* key, RecordArray<double>& out) override { read_array(key, out); }

    void boost_layers(std::vector<CsrF32>& out) override {
        out.clear();
        Ref value = lookup(arrays_, "boost");
        if (!value.get()) return;
        if (!PyList_Check(value.get())) frame::throw_cannot_convert(value.get(), "PyList");
        for (Py_ssize_t i = 0; i < PyList_Size(value.get()); ++i) {
            Ref item = Ref::borrow(PyList_GetItem(value.get(), i));
            if (!PyTuple_Check(item.get())) frame::throw_cannot_convert(item.get(), "PyTuple");
            CsrF32 layer;
            layer.data = record_array<float>(tuple_item(item.get(), 0), held_.get());
            layer.indices = record_array<std::int32_t>(tuple_item(item.get(), 1), held_.get());
            layer.indptr = record_array<std::int32_t>(tuple_item(item.get(), 2), held_.get());
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
    void read_array(const char* key, RecordArray<T>& out) {
        Ref value = lookup(arrays_, key);
        out = value.get() ? record_array<T>(value.get(), held_.get()) : RecordArray<T>();
    }

    PyObject* arrays_;
    PyObject* config_;
    Ref held_;  // a list
};

PyObject* build_engine(frame::DictArg arrays, frame::DictArg config) {
    DictSource source(arrays.obj, config.obj);
    EngineRecord record = build_record(source);
    return wrap_record(std::move(record), source.take_held());
}

const bool registered_build_engine = frame::define_function<&build_engine>(
    "build_engine(arrays, config)",
    "Build an EngineState from a dict of arrays and a dict of settings.\n\n"
    "`arrays` maps engine field names to one-dimensional NumPy arrays of their\n"
    "exact dtype (`ease_b`: a two-dimensional float32 matrix in any memory order;\n"
    "`boost`: a list of (data float32, indices int32, indptr int32) tuples).\n"
    "`config` maps setting names to numbers and flags. A missing key and None\n"
    "are the same: an array is empty (its channel is off) and a setting takes its\n"
    "default. Unknown keys are ignored. A read-only array (and read-only all the\n"
    "way down to the memory it views) is held by the engine instead of copied:\n"
    "it must not be made writeable and written while the engine lives. Every\n"
    "other array is copied, so the engine is independent of it.\n\n"
    "Raises ValueError when n_items is not positive, when there is no base scorer\n"
    "(neither ease_b nor a co-occurrence indptr), or when ease_b is not square or\n"
    "larger than the catalogue.");

// ------------------------------------------------------------ field table

template <class T>
constexpr const char* kDtypeName = nullptr;
template <>
constexpr const char* kDtypeName<float> = "float32";
template <>
constexpr const char* kDtypeName<double> = "float64";
template <>
constexpr const char* kDtypeName<std::int32_t> = "int32";
template <>
constexpr const char* kDtypeName<std::int64_t> = "int64";
template <>
constexpr const char* kDtypeName<std::uint64_t> = "uint64";
template <>
constexpr const char* kDtypeName<bool> = "bool";

using FieldRow = std::tuple<std::string, std::string, std::string>;

// One row per record field: (name, kind, dtype), kind "array", "layers" or "setting".
struct FieldDescriber {
    std::vector<FieldRow>& rows;
    template <class T>
    void operator()(const char* name, const T&) const {
        if constexpr (std::is_same_v<T, std::vector<CsrF32>>) {
            rows.emplace_back(name, "layers", "float32");
        } else if constexpr (requires { typename T::value_type; }) {
            static_assert(kDtypeName<typename T::value_type> != nullptr, "a new array type");
            rows.emplace_back(name, "array", kDtypeName<typename T::value_type>);
        } else {
            static_assert(kDtypeName<T> != nullptr, "a new setting type");
            rows.emplace_back(name, "setting", kDtypeName<T>);
        }
    }
};

frame::List<FieldRow> engine_fields() {
    const EngineRecord record;
    frame::List<FieldRow> rows;
    for_each_field(record, FieldDescriber{rows.items});
    return rows;
}

const bool registered_engine_fields = frame::define_function<&engine_fields>(
    "engine_fields()",
    "The engine record's fields in the order of its persistence format, as a list\n"
    "of (name, kind, dtype): kind \"array\" (an entry of build_engine's `arrays`,\n"
    "a one-dimensional array of that NumPy dtype; ease_b is given as a square\n"
    "matrix), \"layers\" (`boost`: a list of float32/int32/int32 CSR triples) or\n"
    "\"setting\" (an entry of `config` of that type: uint64, float64 or bool;\n"
    "ease_dim is taken from ease_b's shape).");

// ------------------------------------------------------------- persistence

PyObject* to_bytes(PyObject* self) {
    SharedBorrow engine(self);
    const std::size_t size = encoded_size(engine.record());
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* data = PyBytes_AsString(out.get());
    if (data == nullptr) throw frame::PythonError{};
    encode_into(engine.record(), {reinterpret_cast<std::uint8_t*>(data), size});
    return out.release();
}

PyObject* from_bytes(frame::BytesArg data) { return wrap_record(decode(data.bytes())); }

// The same for any bytes-like object: the model file's reader hands over
// sections as memoryviews of what it read.
PyObject* from_buffer(frame::BufferArg data) { return wrap_record(decode(data.bytes())); }

void save(PyObject* self, std::string path) {
    SharedBorrow engine(self);
    save_record(engine.record(), path);
}

PyObject* load(std::string path) { return wrap_record(load_record(path)); }

PyObject* load_section(std::int64_t fd, std::uint64_t offset, std::uint64_t length) {
    if (fd < 0 || fd > INT32_MAX) throw ValueError("argument 'fd': not a file descriptor");
    SectionRecord section;
    {
        // Reading and decoding touch no Python object.
        frame::ReleaseGil unlocked;
        section = engine::load_section(static_cast<int>(fd), offset, length);
    }
    Ref engine = Ref::steal(wrap_record(std::move(section.record)));
    Ref crc = Ref::steal(frame::check(PyLong_FromUnsignedLong(section.crc)));
    return frame::check(PyTuple_Pack(2, engine.get(), crc.get()));
}

const bool registered_load_section = frame::define_static_method<&load_section>(
    "EngineState", "load_section(fd, offset, length)",
    "(engine, crc): a new EngineState read from the `length` bytes at `offset` of the\n"
    "open regular file `fd` (a section of a model file), and the CRC-32 (as\n"
    "zlib.crc32 computes it) of all those bytes, so that the caller checks exactly\n"
    "what was decoded. The interpreter lock is released while reading. Raises\n"
    "OSError when the file cannot be read and ValueError as load does.");

PyObject* sizes(PyObject* self) {
    SharedBorrow engine(self);
    const EngineRecord& r = engine.record();
    Ref out = Ref::steal(PyDict_New());
    const std::pair<const char*, std::uint64_t> counts[] = {
        {"n_items", r.n_items}, {"n_users", r.n_users}, {"content_nfeat", r.content_nfeat}};
    for (const auto& [name, value] : counts) {
        Ref number = Ref::steal(frame::check(PyLong_FromUnsignedLongLong(value)));
        if (PyDict_SetItemString(out.get(), name, number.get()) != 0) throw frame::PythonError{};
    }
    return out.release();
}

const bool registered_sizes = frame::define_method<&sizes>(
    "EngineState", "sizes($self)",
    "The record's counts as a dict: n_items, n_users and content_nfeat.");

const bool registered_to_bytes = frame::define_method<&to_bytes>(
    "EngineState", "to_bytes($self)",
    "The engine record as bytes: the serving artefact that from_bytes reads back.");

const bool registered_from_bytes = frame::define_static_method<&from_bytes>(
    "EngineState", "from_bytes(data)",
    "A new EngineState decoded from the front of a bytes object holding what\n"
    "to_bytes or save wrote; bytes after the record are ignored. Every record that\n"
    "build_engine and the overrides make from sound tables loads back as it was.\n"
    "Raises TypeError when data is not bytes, ValueError \"io error: unexpected end\n"
    "of file\" for a truncated record, \"invalid u8 while decoding bool, expected 0 or\n"
    "1, found N\" for a bad flag byte and \"inconsistent engine record: ...\" for a\n"
    "table that points outside its arrays or sizes, or a count far beyond what the\n"
    "record's arrays hold.");

const bool registered_from_buffer = frame::define_static_method<&from_buffer>(
    "EngineState", "_from_buffer(data)",
    "from_bytes for any bytes-like object (bytearray, memoryview, a contiguous\n"
    "array): for the model file's reader.");

const bool registered_save = frame::define_method<&save>(
    "EngineState", "save($self, path)",
    "Write the engine record to the file at `path`. The file is replaced whole: the\n"
    "record goes to a temporary file in the same directory, is flushed to disk and\n"
    "renamed over `path`, so a failed save leaves an existing file untouched. New\n"
    "files get mode 0666 less the umask. Raises OSError with the system's text.");

const bool registered_load = frame::define_static_method<&load>(
    "EngineState", "load(path)",
    "A new EngineState read from a regular file written by save. Raises OSError when\n"
    "the file cannot be read, ValueError for a file that is not a regular file (a pipe\n"
    "or a device) and ValueError as from_bytes does for a malformed record.");

}  // namespace
}  // namespace tarsel::engine
