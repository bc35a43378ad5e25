#include "python/convert.hpp"

#include "python/results.hpp"

#include <utility>

namespace tarsel::frame {

// ----------------------------------------------------------------- helpers

std::string type_name(PyObject* obj) {
    PyObject* name = PyType_GetName(Py_TYPE(obj));
    if (name == nullptr) {
        PyErr_Clear();
        return "object";
    }
    std::string out = to_utf8(name);
    Py_DECREF(name);
    return out;
}

std::string to_utf8(PyObject* obj) {
    Ref text = Ref::borrow(obj);
    if (!PyUnicode_Check(obj)) {
        PyObject* s = PyObject_Str(obj);
        if (s == nullptr) {
            PyErr_Clear();
            return {};
        }
        text = Ref::steal(s);
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

std::string take_error_message() {
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    std::string message = value ? to_utf8(value) : std::string();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    return message;
}

void throw_cannot_convert(PyObject* obj, const char* kind) {
    throw TypeError("'" + type_name(obj) + "' object cannot be converted to '" + kind + "'");
}

// ------------------------------------------------------------------ arrays

PyArrayObject* expect_array(PyObject* obj, int ndim, int type_num) {
    if (!PyArray_Check(obj)) throw_cannot_convert(obj, kArrayKind);
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim) throw_cannot_convert(obj, kArrayKind);
    PyArray_Descr* want = PyArray_DescrFromType(type_num);
    bool same = PyArray_EquivTypes(PyArray_DESCR(arr), want);
    Py_DECREF(want);
    if (!same) throw_cannot_convert(obj, kArrayKind);
    return arr;
}

// ----------------------------------------------------------------- scalars

std::uint64_t to_u64(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return v;
}

std::int64_t to_i64(PyObject* obj) {
    Ref index = Ref::steal(PyNumber_Index(obj));
    long long v = PyLong_AsLongLong(index.get());
    if (v == -1 && PyErr_Occurred()) throw PythonError{};
    return v;
}

double to_f64(PyObject* obj) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw PythonError{};
    return v;
}

bool to_bool(PyObject* obj) {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (PyArray_IsScalar(obj, Bool)) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) throw PythonError{};
        return truth != 0;
    }
    throw_cannot_convert(obj, "PyBool");
}

std::string to_string(PyObject* obj) {
    if (!PyUnicode_Check(obj)) throw_cannot_convert(obj, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (data == nullptr) throw PythonError{};
    return std::string(data, static_cast<std::size_t>(size));
}

// ----------------------------------------------------------------- buffers

BufferArg::BufferArg(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) != 0) throw PythonError{};
    held_ = true;
}

BufferArg::BufferArg(BufferArg&& other) noexcept
    : view_(other.view_), held_(std::exchange(other.held_, false)) {}

BufferArg::~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
}

std::span<const std::uint8_t> BufferArg::bytes() const {
    return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
}

// --------------------------------------------------------------- sequences

namespace {

[[noreturn]] void throw_negative_unsigned() {
    throw OverflowError("can't convert negative int to unsigned");
}

// Reads a one-dimensional NumPy integer array directly; false when `obj` is
// not one (the caller then takes the generic sequence path).
template <class Out>
bool read_integer_array(PyObject* obj, std::vector<Out>& out) {
    if (!PyArray_Check(obj)) return false;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != 1) return false;
    auto read = [&]<class In>(In) {
        Array1<In> view(arr);
        out.resize(view.size());
        for (std::size_t i = 0; i < view.size(); ++i) {
            In v = view[i];
            if constexpr (std::is_unsigned_v<Out>) {
                if (v < 0) throw_negative_unsigned();
            }
            out[i] = static_cast<Out>(v);
        }
        return true;
    };
    PyArray_Descr* descr = PyArray_DESCR(arr);
    auto is = [&](int type_num) {
        PyArray_Descr* want = PyArray_DescrFromType(type_num);
        bool same = PyArray_EquivTypes(descr, want);
        Py_DECREF(want);
        return same;
    };
    if (is(NPY_INT64)) return read(std::int64_t{});
    if (is(NPY_INT32)) return read(std::int32_t{});
    return false;
}

template <class Out, class Element>
std::vector<Out> to_vector(PyObject* obj, Element element) {
    if (PyUnicode_Check(obj)) throw TypeError("Can't extract `str` to `Vec`");
    std::vector<Out> out;
    if constexpr (std::is_integral_v<Out>) {
        if (read_integer_array(obj, out)) return out;
    }
    if (!PySequence_Check(obj)) throw_cannot_convert(obj, "Sequence");
    // Converting an element can run Python code (__index__, __float__) that
    // changes the sequence itself; a snapshot keeps the walk well defined.
    Ref items = Ref::steal(PySequence_Tuple(obj));
    Py_ssize_t n = PyTuple_Size(items.get());
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out.push_back(element(PyTuple_GetItem(items.get(), i)));
    return out;
}

}  // namespace

std::vector<std::uint64_t> to_u64_vector(PyObject* obj) {
    return to_vector<std::uint64_t>(obj, to_u64);
}
std::vector<std::int64_t> to_i64_vector(PyObject* obj) {
    return to_vector<std::int64_t>(obj, to_i64);
}
std::vector<double> to_f64_vector(PyObject* obj) { return to_vector<double>(obj, to_f64); }
std::vector<std::vector<std::int64_t>> to_i64_vectors(PyObject* obj) {
    return to_vector<std::vector<std::int64_t>>(obj, to_i64_vector);
}

// ----------------------------------------------------------------- results

PyObject* numpy_from_buffer(void* owner, void* data, int nd, npy_intp* dims, int type_num,
                            void (*destroy)(void*)) {
    // The capsule owns the buffer from here on, whatever happens next.
    PyObject* capsule = PyCapsule_New(owner, nullptr, nullptr);
    if (capsule == nullptr) {
        destroy(owner);
        throw PythonError{};
    }
    if (PyCapsule_SetContext(capsule, reinterpret_cast<void*>(destroy)) != 0 ||
        PyCapsule_SetDestructor(capsule, [](PyObject* c) {
            auto fn = reinterpret_cast<void (*)(void*)>(PyCapsule_GetContext(c));
            fn(PyCapsule_GetPointer(c, nullptr));
        }) != 0) {
        Py_DECREF(capsule);
        throw PythonError{};
    }
    PyObject* arr = PyArray_SimpleNewFromData(nd, dims, type_num, data);
    if (arr == nullptr) {
        Py_DECREF(capsule);
        throw PythonError{};
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), capsule) != 0) {
        Py_DECREF(arr);  // SetBaseObject stole the capsule even on failure
        throw PythonError{};
    }
    return arr;
}

}  // namespace tarsel::frame
