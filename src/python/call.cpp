#include "python/call.hpp"

#include <new>
#include <stdexcept>

namespace tarsel::frame {

// ---------------------------------------------------------------- matching

namespace {

[[noreturn]] void raise_type_error(const std::string& message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    throw PythonError{};
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() > 2 ? ", " : " ";
        if (i > 0 && i + 1 == names.size()) out += "and ";
        out += "'" + names[i] + "'";
    }
    return out;
}

[[noreturn]] void raise_missing(const Signature& sig, const std::vector<std::string>& missing) {
    raise_type_error(sig.qualname + "() missing " + std::to_string(missing.size()) +
                     " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                     quoted_list(missing));
}

[[noreturn]] void raise_too_many(const Signature& sig, std::size_t given) {
    std::size_t total = sig.params.size();
    std::size_t required = 0;
    while (required < total && sig.defaults[required] == nullptr) ++required;
    std::string accepted =
        required == total ? std::to_string(total)
                          : "from " + std::to_string(required) + " to " + std::to_string(total);
    raise_type_error(sig.qualname + "() takes " + accepted + " positional argument" +
                     (total == 1 && required == total ? "" : "s") + " but " +
                     std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

std::size_t find_param(const Signature& sig, PyObject* key) {
    if (PyUnicode_Check(key)) {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) throw PythonError{};
        std::string_view name(text, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < sig.params.size(); ++i)
            if (sig.params[i] == name) return i;
    }
    return sig.params.size();
}

}  // namespace

void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                     std::array<PyObject*, kMaxParams>& slots) {
    const std::size_t total = sig.params.size();
    const auto given = static_cast<std::size_t>(args ? PyTuple_Size(args) : 0);
    if (given > total) raise_too_many(sig, given);
    for (std::size_t i = 0; i < given; ++i)
        slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t i = find_param(sig, key);
            if (i == total)
                raise_type_error(sig.qualname + "() got an unexpected keyword argument '" +
                                 to_utf8(key) + "'");
            if (slots[i] != nullptr)
                raise_type_error(sig.qualname + "() got multiple values for argument '" +
                                 sig.params[i] + "'");
            slots[i] = value;
        }
    }

    std::vector<std::string> missing;
    for (std::size_t i = 0; i < total; ++i) {
        if (slots[i] != nullptr) continue;
        if (sig.defaults[i] == nullptr)
            missing.push_back(sig.params[i]);
        else
            slots[i] = sig.defaults[i];
    }
    if (!missing.empty()) raise_missing(sig, missing);
}

void rethrow_with_argument(const std::string& name) {
    const std::string prefix = "argument '" + name + "': ";
    try {
        throw;
    } catch (const TypeError& e) {
        throw TypeError(prefix + e.message());
    } catch (const OverflowError& e) {
        throw OverflowError(prefix + e.message());
    } catch (const PythonError&) {
        // A number out of range names its argument too (n=2**64, n=-1).
        if (PyErr_ExceptionMatches(PyExc_OverflowError))
            throw OverflowError(prefix + take_error_message());
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw;
        throw TypeError(prefix + take_error_message());
    }
}

// ------------------------------------------------------------- translation

namespace {

PyObject* g_internal_failure = nullptr;

}  // namespace

PyObject* internal_failure_type() {
    if (g_internal_failure == nullptr) {
        // Only reached with the interpreter lock held, at import or on the
        // first failure, so the lock itself is the once-only guard.
        g_internal_failure = PyErr_NewExceptionWithDoc(
            "tarsel._core.InternalFailure",
            "A broken internal invariant of the native core (for example an index outside an\n"
            "array that the caller promised to be in range). Derives from BaseException,\n"
            "so a handler for Exception alone does not catch it.",
            PyExc_BaseException, nullptr);
    }
    return g_internal_failure;
}

void translate_exception() noexcept {
    auto set = [](PyObject* type, const char* message) { PyErr_SetString(type, message); };
    // The whole message, NUL characters included; bytes that are not UTF-8
    // (a file name) are replaced rather than lost.
    auto set_whole = [](PyObject* type, const std::string& message) {
        PyObject* text = PyUnicode_DecodeUTF8(message.data(),
                                              static_cast<Py_ssize_t>(message.size()), "replace");
        if (text == nullptr) return;
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    };
    try {
        throw;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) set(PyExc_SystemError, "error return without exception set");
    } catch (const ValueError& e) {
        set_whole(PyExc_ValueError, e.message());
    } catch (const TypeError& e) {
        set_whole(PyExc_TypeError, e.message());
    } catch (const OverflowError& e) {
        set_whole(PyExc_OverflowError, e.message());
    } catch (const IOError& e) {
        set_whole(PyExc_OSError, e.message());
    } catch (const RuntimeError& e) {
        set_whole(PyExc_RuntimeError, e.message());
    } catch (const InternalFailure& e) {
        if (PyObject* type = internal_failure_type()) set_whole(type, e.message());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A size too large to allocate: the same as running out of memory.
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        if (PyObject* type = internal_failure_type()) set(type, e.what());
    } catch (...) {
        if (PyObject* type = internal_failure_type()) set(type, "unknown native failure");
    }
}

// ---------------------------------------------------------------- registry

std::vector<FunctionDef>& registry() {
    static std::vector<FunctionDef> defs;
    return defs;
}

std::vector<TypeDef>& type_registry() {
    static std::vector<TypeDef> types;
    return types;
}

bool register_function(const FunctionDef& def) {
    registry().push_back(def);
    return true;
}

bool register_type(const char* name, PyObject* (*create)(PyObject* module)) {
    type_registry().push_back(TypeDef{name, create});
    return true;
}

}  // namespace tarsel::frame
