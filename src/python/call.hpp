// Declaring a Python-callable function: one signature line and one C++
// function. From the signature the frame derives the docstring's first line,
// argument matching with the interpreter's wording, conversion of each
// argument by its C++ parameter type (convert.hpp) with the "argument 'NAME': "
// prefix, the call, the result (results.hpp) and error translation.
//
//   std::tuple<...> build_cooccurrence(Array1<std::int64_t> user_idx, ...);
//   static const bool registered = tarsel::frame::define_function<&build_cooccurrence>(
//       "build_cooccurrence(user_idx, item_idx, ..., timestamps=None)",
//       "Free text of the docstring.");
//
// Methods take the instance as a leading `PyObject* self` parameter that the
// signature spells "$self"; static methods have no such parameter.
#pragma once

#include "python/convert.hpp"
#include "python/python.hpp"
#include "python/results.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarsel::frame {

constexpr std::size_t kMaxParams = 16;

// A parsed signature line. Defaults are immortal Python objects built from the
// literal text; a required parameter has none.
struct Signature {
    std::string qualname;  // "build_cooccurrence" or "EngineState.recommend"
    std::vector<std::string> params;
    std::vector<PyObject*> defaults;
};

enum class Binding { Function, Method, StaticMethod };

struct FunctionDef {
    const char* owner;           // class name for methods, nullptr for module functions
    const char* text_signature;  // first line of the docstring
    const char* doc;             // free text after the signature
    Binding binding;
    PyCFunction entry;
    Signature* signature;
    std::size_t arity;  // C++ parameters that come from Python arguments
};

// A class added to the module at import; `create` returns a new reference.
struct TypeDef {
    const char* name;
    PyObject* (*create)(PyObject* module);
};

// Adds a definition to the module's registry; returns true so that it can
// initialise a namespace-scope constant.
bool register_function(const FunctionDef& def);

// Everything registered at static initialisation, read by the module at import.
std::vector<FunctionDef>& registry();
std::vector<TypeDef>& type_registry();

// Matches positional and keyword arguments to the parameters; `slots` gets a
// borrowed object per parameter (default filled in). Raises the interpreter's
// argument TypeErrors.
void match_arguments(const Signature& sig, PyObject* args, PyObject* kwargs,
                     std::array<PyObject*, kMaxParams>& slots);

// Re-raises a conversion TypeError (C++ or Python) with the argument prefix.
[[noreturn]] void rethrow_with_argument(const std::string& name);

// Sets the Python exception that corresponds to the in-flight C++ exception.
void translate_exception() noexcept;

namespace detail {

template <class T>
std::decay_t<T> convert_one(const Signature& sig, std::size_t i, PyObject* obj) {
    try {
        return Arg<std::decay_t<T>>::convert(obj);
    } catch (...) {
        rethrow_with_argument(sig.params[i]);
    }
}

template <class... A, class Call, std::size_t... I>
PyObject* call_with(Call&& call, const Signature& sig,
                    const std::array<PyObject*, kMaxParams>& slots, std::index_sequence<I...>) {
    // Braced initialisation converts the arguments left to right, so the
    // first failing argument (in signature order) is the one reported.
    std::tuple<std::decay_t<A>...> values{convert_one<A>(sig, I, slots[I])...};
    using R = decltype(std::apply(call, std::move(values)));
    if constexpr (std::is_void_v<R>) {
        std::apply(call, std::move(values));
        Py_RETURN_NONE;
    } else {
        return to_python(std::apply(call, std::move(values)));
    }
}

template <class F>
struct Traits;
template <class R, class... A>
struct Traits<R (*)(A...)> {
    static constexpr std::size_t arity = sizeof...(A);
};

template <auto Fn>
inline Signature signature_slot{};

template <auto Fn, Binding B, class R, class... A>
PyObject* enter(PyObject* self, PyObject* args, PyObject* kwargs, R (*)(A...)) {
    const Signature& sig = signature_slot<Fn>;
    try {
        std::array<PyObject*, kMaxParams> slots{};
        match_arguments(sig, args, kwargs, slots);
        if constexpr (B == Binding::Method) {
            return [&]<class S, class... Rest>(R (*fn)(S, Rest...)) {
                return call_with<Rest...>(
                    [&](auto&&... v) { return fn(self, std::forward<decltype(v)>(v)...); }, sig,
                    slots, std::index_sequence_for<Rest...>{});
            }(Fn);
        } else {
            return call_with<A...>([&](auto&&... v) { return Fn(std::forward<decltype(v)>(v)...); },
                                   sig, slots, std::index_sequence_for<A...>{});
        }
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

template <auto Fn, Binding B>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) {
    return enter<Fn, B>(self, args, kwargs, Fn);
}

template <auto Fn, Binding B>
bool define(const char* owner, const char* text_signature, const char* doc) {
    constexpr std::size_t arity = Traits<decltype(Fn)>::arity - (B == Binding::Method ? 1 : 0);
    static_assert(arity <= kMaxParams, "too many parameters for the frame");
    return register_function(
        FunctionDef{owner, text_signature, doc, B,
                    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Fn, B>)),
                    &signature_slot<Fn>, arity});
}

}  // namespace detail

// A module-level function.
template <auto Fn>
bool define_function(const char* text_signature, const char* doc) {
    return detail::define<Fn, Binding::Function>(nullptr, text_signature, doc);
}

// An instance method of class `owner`; Fn's first parameter is `PyObject* self`.
template <auto Fn>
bool define_method(const char* owner, const char* text_signature, const char* doc) {
    return detail::define<Fn, Binding::Method>(owner, text_signature, doc);
}

// A static method of class `owner`.
template <auto Fn>
bool define_static_method(const char* owner, const char* text_signature, const char* doc) {
    return detail::define<Fn, Binding::StaticMethod>(owner, text_signature, doc);
}

// The method table of a class (sentinel-terminated), for its PyType_Spec.
PyMethodDef* method_table(const char* owner);

// A class added to the module at import: `create` returns a new reference to
// the type object. Registered like functions, at static initialisation.
bool register_type(const char* name, PyObject* (*create)(PyObject* module));

}  // namespace tarsel::frame
