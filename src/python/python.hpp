// The interpreter and NumPy headers, configured once for the whole module:
// stable ABI 3.11, one shared NumPy C-API table imported by module.cpp.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tarsel_ARRAY_API
#ifndef TARSEL_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <string>
#include <utility>

namespace tarsel::frame {

// Thrown when a Python error is already set; the boundary leaves it in place.
struct PythonError {};

// Throws PythonError when an API call reported failure with a null result.
inline PyObject* check(PyObject* obj) {
    if (obj == nullptr) throw PythonError{};
    return obj;
}

// An owned reference, released on scope exit.
class Ref {
  public:
    Ref() = default;
    static Ref steal(PyObject* obj) { return Ref(check(obj)); }
    static Ref borrow(PyObject* obj) {
        Py_XINCREF(obj);
        return Ref(obj);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(obj_);
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const { return obj_; }
    PyObject* release() { return std::exchange(obj_, nullptr); }

  private:
    explicit Ref(PyObject* obj) : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Releases the interpreter lock for a scope and retakes it on every exit path,
// exceptions included. Nothing inside the scope may touch a Python object.
class ReleaseGil {
  public:
    ReleaseGil() : state_(PyEval_SaveThread()) {}
    ~ReleaseGil() { PyEval_RestoreThread(state_); }
    ReleaseGil(const ReleaseGil&) = delete;
    ReleaseGil& operator=(const ReleaseGil&) = delete;

  private:
    PyThreadState* state_;
};

// The short type name of an object ('ndarray', 'list', ...).
std::string type_name(PyObject* obj);

// str(obj) as UTF-8; empty if it cannot be converted.
std::string to_utf8(PyObject* obj);

// The currently set Python exception's message; clears the error.
std::string take_error_message();

// The module's InternalFailure class (a direct subclass of BaseException).
PyObject* internal_failure_type();

}  // namespace tarsel::frame
