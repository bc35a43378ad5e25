// Result builders: how a bound function's C++ return value becomes a Python
// object. Called with the interpreter lock held.
#pragma once

#include "python/convert.hpp"
#include "python/python.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarsel::frame {

// A Python list of the elements (floats, ints or bools).
template <class T, class A = std::allocator<T>>
struct List {
    std::vector<T, A> items;
};
// A two-dimensional row-major NumPy array.
template <class T>
struct Matrix {
    std::vector<T> data;
    std::size_t rows = 0, cols = 0;
};
// A Python bytes object.
struct Bytes {
    std::vector<std::uint8_t> data;
};

// A new NumPy array that takes over the vector's buffer without copying.
PyObject* numpy_from_buffer(void* owner, void* data, int nd, npy_intp* dims, int type_num,
                            void (*destroy)(void*));

template <class T, class A>
PyObject* to_numpy(std::vector<T, A>&& values, int nd, npy_intp* dims) {
    using Owner = std::vector<T, A>;
    auto* owner = new Owner(std::move(values));
    return numpy_from_buffer(owner, owner->data(), nd, dims, NumpyType<T>::value,
                             [](void* p) { delete static_cast<Owner*>(p); });
}

inline PyObject* to_python(PyObject* obj) { return check(obj); }
inline PyObject* to_python(Ref&& ref) { return ref.release(); }
inline PyObject* to_python(bool v) { return check(PyBool_FromLong(v)); }
inline PyObject* to_python(double v) { return check(PyFloat_FromDouble(v)); }
inline PyObject* to_python(float v) { return check(PyFloat_FromDouble(v)); }
inline PyObject* to_python(std::int64_t v) { return check(PyLong_FromLongLong(v)); }
inline PyObject* to_python(std::uint64_t v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* to_python(std::int32_t v) { return check(PyLong_FromLong(v)); }
inline PyObject* to_python(std::uint32_t v) { return check(PyLong_FromUnsignedLong(v)); }
inline PyObject* to_python(const std::string& v) {
    return check(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}
inline PyObject* to_python(Bytes&& b) {
    return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data.data()),
                                           static_cast<Py_ssize_t>(b.data.size())));
}

// Declared ahead so that a container of any result kind (a list of tuples,
// a tuple of lists) finds every overload.
template <class T>
PyObject* to_python(std::optional<T>&& v);
template <class... T>
PyObject* to_python(std::tuple<T...>&& values);

template <class T, class A>
PyObject* to_python(std::vector<T, A>&& values) {
    npy_intp n = static_cast<npy_intp>(values.size());
    return to_numpy(std::move(values), 1, &n);
}

template <class T>
PyObject* to_python(Matrix<T>&& m) {
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    return to_numpy(std::move(m.data), 2, dims);
}

template <class T, class A>
PyObject* to_python(List<T, A>&& list) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(list.items.size())));
    for (std::size_t i = 0; i < list.items.size(); ++i) {
        PyObject* item = to_python(static_cast<T>(list.items[i]));
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return out.release();
}

template <class T>
PyObject* to_python(std::optional<T>&& v) {
    if (!v) Py_RETURN_NONE;
    return to_python(std::move(*v));
}

template <class... T>
PyObject* to_python(std::tuple<T...>&& values) {
    Ref out = Ref::steal(PyTuple_New(sizeof...(T)));
    Py_ssize_t i = 0;
    std::apply(
        [&](auto&&... v) { ((PyTuple_SetItem(out.get(), i++, to_python(std::move(v)))), ...); },
        values);
    return out.release();
}

// The package's own form of a result that the public function returns as
// lists: each List becomes a NumPy array that takes over its buffer, so that
// millions of elements cost no Python object each. Registered beside the public
// function as `_<name>_arrays(...)`:
//   define_function<arrays_of<&metadata_knn>>("_metadata_knn_arrays(...)", "...");
template <class T, class A>
std::vector<T, A> as_arrays(List<T, A>&& list) {
    return std::move(list.items);
}
template <class T>
std::decay_t<T> as_arrays(T&& value) {
    return std::forward<T>(value);
}
template <class... T>
auto as_arrays(std::tuple<T...>&& values) {
    return std::apply([](auto&&... v) { return std::make_tuple(as_arrays(std::move(v))...); },
                      std::move(values));
}

template <auto Fn>
struct ArraysOf;
template <class R, class... A, R (*Fn)(A...)>
struct ArraysOf<Fn> {
    static auto call(A... args) { return as_arrays(Fn(std::move(args)...)); }
};
template <auto Fn>
constexpr auto arrays_of = &ArraysOf<Fn>::call;

}  // namespace tarsel::frame
