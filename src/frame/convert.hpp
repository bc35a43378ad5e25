// Argument kinds: how each C++ parameter type of a bound function is taken
// from a Python object. A kind's failure is a TypeError message without the
// argument prefix (the caller in call.hpp adds it), or a Python error already
// set (PythonError), e.g. the interpreter's OverflowError.
#pragma once

#include "frame/errors.hpp"
#include "frame/python.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace tarsel::frame {

// "'list' object cannot be converted to 'PyArray<T, D>'"
[[noreturn]] void throw_cannot_convert(PyObject* obj, const char* kind);

// ---------------------------------------------------------------- arrays

template <class T>
struct NumpyType;
template <>
struct NumpyType<std::int64_t> {
    static constexpr int value = NPY_INT64;
};
template <>
struct NumpyType<std::int32_t> {
    static constexpr int value = NPY_INT32;
};
template <>
struct NumpyType<float> {
    static constexpr int value = NPY_FLOAT32;
};
template <>
struct NumpyType<double> {
    static constexpr int value = NPY_FLOAT64;
};
template <>
struct NumpyType<std::uint8_t> {
    static constexpr int value = NPY_UINT8;
};

constexpr const char* kArrayKind = "PyArray<T, D>";

// The array if `obj` is an ndarray of `ndim` dimensions whose dtype is
// equivalent to `type_num` (no casting); otherwise the conversion TypeError.
PyArrayObject* expect_array(PyObject* obj, int ndim, int type_num);

// A borrowed, read-only one-dimensional array of exactly one dtype. Valid for
// the duration of the call that received it.
template <class T>
class Array1 {
  public:
    Array1() = default;
    explicit Array1(PyArrayObject* arr)
        : obj_(reinterpret_cast<PyObject*>(arr)),
          base_(static_cast<const char*>(PyArray_DATA(arr))),
          size_(static_cast<std::size_t>(PyArray_DIM(arr, 0))), stride_(PyArray_STRIDE(arr, 0)),
          flat_(PyArray_ISALIGNED(arr) &&
                (PyArray_IS_C_CONTIGUOUS(arr) || PyArray_IS_F_CONTIGUOUS(arr))) {}

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // True when the elements lie in one aligned flat run.
    bool contiguous() const { return flat_; }
    PyObject* object() const { return obj_; }

    // The elements as one flat run; TypeError "The given array is not contiguous" otherwise.
    std::span<const T> span() const {
        if (!flat_) throw TypeError("The given array is not contiguous");
        return {reinterpret_cast<const T*>(base_), size_};
    }
    // The flat run, or InternalFailure "<what>: NotContiguousError".
    std::span<const T> span_or_internal(const char* what) const {
        if (!flat_) throw InternalFailure(std::string(what) + ": NotContiguousError");
        return {reinterpret_cast<const T*>(base_), size_};
    }
    // Element i through any strides.
    T operator[](std::size_t i) const {
        T value;
        std::memcpy(&value, base_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof(T));
        return value;
    }
    // An owned copy in element order, whatever the strides, in any vector
    // type of T.
    template <class Vector = std::vector<T>>
    Vector to_vector() const {
        if (flat_) {
            auto s = span();
            return Vector(s.begin(), s.end());
        }
        Vector out(size_);
        for (std::size_t i = 0; i < size_; ++i) out[i] = (*this)[i];
        return out;
    }

  private:
    PyObject* obj_ = nullptr;
    const char* base_ = nullptr;
    std::size_t size_ = 0;
    std::ptrdiff_t stride_ = 0;
    bool flat_ = true;
};

// A borrowed, read-only two-dimensional array, any strides.
template <class T>
class Array2 {
  public:
    Array2() = default;
    explicit Array2(PyArrayObject* arr)
        : base_(static_cast<const char*>(PyArray_DATA(arr))),
          rows_(static_cast<std::size_t>(PyArray_DIM(arr, 0))),
          cols_(static_cast<std::size_t>(PyArray_DIM(arr, 1))), row_stride_(PyArray_STRIDE(arr, 0)),
          col_stride_(PyArray_STRIDE(arr, 1)) {}

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    T at(std::size_t r, std::size_t c) const {
        T value;
        std::memcpy(&value,
                    base_ + static_cast<std::ptrdiff_t>(r) * row_stride_ +
                        static_cast<std::ptrdiff_t>(c) * col_stride_,
                    sizeof(T));
        return value;
    }
    // An owned row-major copy, whatever the strides, in any vector type of T.
    template <class Vector = std::vector<T>>
    Vector to_row_major() const {
        Vector out(rows_ * cols_);
        for (std::size_t r = 0; r < rows_; ++r) {
            if (col_stride_ == static_cast<std::ptrdiff_t>(sizeof(T))) {
                // A contiguous row is copied whole.
                if (cols_ != 0)
                    std::memcpy(out.data() + r * cols_,
                                base_ + static_cast<std::ptrdiff_t>(r) * row_stride_,
                                cols_ * sizeof(T));
                continue;
            }
            for (std::size_t c = 0; c < cols_; ++c) out[r * cols_ + c] = at(r, c);
        }
        return out;
    }

  private:
    const char* base_ = nullptr;
    std::size_t rows_ = 0, cols_ = 0;
    std::ptrdiff_t row_stride_ = 0, col_stride_ = 0;
};

// ------------------------------------------------------- Python containers

// Borrowed references to Python containers, checked for their type only.
struct ListArg {
    PyObject* obj = nullptr;
};
struct TupleArg {
    PyObject* obj = nullptr;
};
struct DictArg {
    PyObject* obj = nullptr;
};
// A bytes object (or subclass), borrowed; its bytes stay valid while it is.
struct BytesArg {
    PyObject* obj = nullptr;
    std::span<const std::uint8_t> bytes() const {
        return {reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(obj)),
                static_cast<std::size_t>(PyBytes_Size(obj))};
    }
};
// Any object at all, borrowed.
struct ObjectArg {
    PyObject* obj = nullptr;
};

// The bytes of any bytes-like object (bytes, bytearray, memoryview, a
// contiguous array), held until the argument goes out of scope. The caller
// keeps the interpreter lock while reading them, so a mutable buffer cannot
// change underneath.
class BufferArg {
  public:
    explicit BufferArg(PyObject* obj);  // the interpreter's TypeError otherwise
    BufferArg(BufferArg&& other) noexcept;
    BufferArg(const BufferArg&) = delete;
    BufferArg& operator=(const BufferArg&) = delete;
    BufferArg& operator=(BufferArg&&) = delete;
    ~BufferArg();
    std::span<const std::uint8_t> bytes() const;

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// ------------------------------------------------------------ conversions

// Arg<T>::convert(obj) -> T. Specialised per kind below.
template <class T, class = void>
struct Arg;

std::uint64_t to_u64(PyObject* obj);   // __index__, OverflowError when negative
std::int64_t to_i64(PyObject* obj);    // __index__
double to_f64(PyObject* obj);          // float protocol
bool to_bool(PyObject* obj);           // bool or NumPy bool
std::string to_string(PyObject* obj);  // str only

template <>
struct Arg<std::uint64_t> {
    static std::uint64_t convert(PyObject* o) { return to_u64(o); }
};
template <>
struct Arg<std::int64_t> {
    static std::int64_t convert(PyObject* o) { return to_i64(o); }
};
template <>
struct Arg<double> {
    static double convert(PyObject* o) { return to_f64(o); }
};
template <>
struct Arg<bool> {
    static bool convert(PyObject* o) { return to_bool(o); }
};
template <>
struct Arg<std::string> {
    static std::string convert(PyObject* o) { return to_string(o); }
};

template <class T>
struct Arg<Array1<T>> {
    static Array1<T> convert(PyObject* o) {
        return Array1<T>(expect_array(o, 1, NumpyType<T>::value));
    }
};
template <class T>
struct Arg<Array2<T>> {
    static Array2<T> convert(PyObject* o) {
        return Array2<T>(expect_array(o, 2, NumpyType<T>::value));
    }
};

template <class T>
struct Arg<std::optional<T>> {
    static std::optional<T> convert(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return Arg<T>::convert(o);
    }
};

#define TARSEL_CONTAINER_ARG(Type, check_fn, kind)           \
    template <>                                              \
    struct Arg<Type> {                                       \
        static Type convert(PyObject* o) {                   \
            if (!check_fn(o)) throw_cannot_convert(o, kind); \
            return Type{o};                                  \
        }                                                    \
    };
TARSEL_CONTAINER_ARG(ListArg, PyList_Check, "PyList")
TARSEL_CONTAINER_ARG(TupleArg, PyTuple_Check, "PyTuple")
TARSEL_CONTAINER_ARG(DictArg, PyDict_Check, "PyDict")
TARSEL_CONTAINER_ARG(BytesArg, PyBytes_Check, "PyBytes")
#undef TARSEL_CONTAINER_ARG
template <>
struct Arg<ObjectArg> {
    static ObjectArg convert(PyObject* o) { return ObjectArg{o}; }
};
template <>
struct Arg<BufferArg> {
    static BufferArg convert(PyObject* o) { return BufferArg(o); }
};

// Sequences (anything but str) of integers through __index__, or of reals.
// Integer NumPy arrays are read directly with the same results.
std::vector<std::uint64_t> to_u64_vector(PyObject* obj);
std::vector<std::int64_t> to_i64_vector(PyObject* obj);
std::vector<double> to_f64_vector(PyObject* obj);

template <>
struct Arg<std::vector<std::uint64_t>> {
    static std::vector<std::uint64_t> convert(PyObject* o) { return to_u64_vector(o); }
};
template <>
struct Arg<std::vector<std::int64_t>> {
    static std::vector<std::int64_t> convert(PyObject* o) { return to_i64_vector(o); }
};
template <>
struct Arg<std::vector<double>> {
    static std::vector<double> convert(PyObject* o) { return to_f64_vector(o); }
};

// A sequence (not str) of index sequences, each read like std::vector<std::int64_t>.
std::vector<std::vector<std::int64_t>> to_i64_vectors(PyObject* obj);

template <>
struct Arg<std::vector<std::vector<std::int64_t>>> {
    static std::vector<std::vector<std::int64_t>> convert(PyObject* o) { return to_i64_vectors(o); }
};

}  // namespace tarsel::frame
