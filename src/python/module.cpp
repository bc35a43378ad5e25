// Module entry: parses every registered signature, builds the function and
// method tables in the module's fixed order, and creates the classes.
#define TARSEL_IMPORT_NUMPY
#include "python/call.hpp"

#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <string_view>

namespace tarsel::frame {

namespace {

// The order in which module functions appear in the module.
constexpr const char* kFunctionOrder[] = {
    "cooc_transform",
    "cap_neighbours",
    "build_cooccurrence",
    "cooccurrence_signal",
    "cooccurrence_retrieve",
    "build_directional_cooc",
    "symmetrize_via_transpose",
    "fit_ease_py",
    "fit_ease_gram_py",
    "metadata_knn",
    "build_session_cooccurrence",
    "deep_session_fraction",
    "fit_channels",
    "build_engine",
    "engine_fields",
    "layered_score_py",
    "calibrate_layered_py",
    "ndcg_at_k_py",
    "multipliers_batch",
    "multiplier_one_py",
    "detect_period_py",
    "fit_repeat_profile",
    // the package's array-returning forms of functions that return lists
    "_build_directional_cooc_arrays",
    "_symmetrize_via_transpose_arrays",
    "_metadata_knn_arrays",
    "_build_session_cooccurrence_arrays",
    "_fit_channels_arrays",
    "_fit_repeat_profile_arrays",
};

struct ImportError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ------------------------------------------------------ signature parsing

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// A default's literal text as an immortal Python object.
PyObject* parse_literal(std::string_view text) {
    std::string t(text);
    if (t == "None") return Py_NewRef(Py_None);
    if (t == "True") return Py_NewRef(Py_True);
    if (t == "False") return Py_NewRef(Py_False);
    if (t.size() >= 2 && t.front() == '"' && t.back() == '"')
        return PyUnicode_FromStringAndSize(t.data() + 1, static_cast<Py_ssize_t>(t.size() - 2));
    bool integer = t.find_first_not_of("+-0123456789") == std::string::npos;
    if (integer) return PyLong_FromString(t.c_str(), nullptr, 10);
    Ref str = Ref::steal(PyUnicode_FromString(t.c_str()));
    return PyFloat_FromString(str.get());
}

Signature parse_signature(const FunctionDef& def) {
    std::string_view text = def.text_signature;
    std::size_t open = text.find('('), close = text.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        throw ImportError("malformed signature: " + std::string(text));
    Signature sig;
    sig.qualname = def.owner ? std::string(def.owner) + "." : std::string();
    sig.qualname += std::string(text.substr(0, open));
    std::string_view rest = text.substr(open + 1, close - open - 1);
    while (!trim(rest).empty()) {
        // Parameters are split at top-level commas; string defaults hold none.
        std::size_t comma = rest.find(',');
        std::string_view item = trim(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (item == "$self") continue;
        std::size_t eq = item.find('=');
        sig.params.emplace_back(trim(item.substr(0, eq)));
        PyObject* value = nullptr;
        if (eq != std::string_view::npos) {
            value = parse_literal(trim(item.substr(eq + 1)));
            if (value == nullptr) throw PythonError{};
        }
        sig.defaults.push_back(value);
    }
    if (sig.params.size() != def.arity)
        throw ImportError("signature of " + sig.qualname + " does not match its C++ function");
    return sig;
}

// ---------------------------------------------------------- method tables

// Docstrings and tables live as long as the process: the interpreter keeps
// pointers into them.
std::deque<std::string>& docstrings() {
    static std::deque<std::string> docs;
    return docs;
}

std::map<std::string, std::vector<PyMethodDef>>& tables() {
    static std::map<std::string, std::vector<PyMethodDef>> t;
    return t;
}

PyMethodDef make_method_def(const FunctionDef& def) {
    docstrings().push_back(std::string(def.text_signature) + "\n--\n\n" + def.doc);
    int flags = METH_VARARGS | METH_KEYWORDS;
    if (def.binding == Binding::StaticMethod) flags |= METH_STATIC;
    std::string_view sig = def.text_signature;
    docstrings().push_back(std::string(sig.substr(0, sig.find('('))));
    const std::string& name = docstrings().back();
    const std::string& doc = docstrings()[docstrings().size() - 2];
    return PyMethodDef{name.c_str(), def.entry, flags, doc.c_str()};
}

std::size_t function_rank(const FunctionDef& def) {
    std::string_view sig = def.text_signature;
    std::string_view name = sig.substr(0, sig.find('('));
    for (std::size_t i = 0; i < std::size(kFunctionOrder); ++i)
        if (name == kFunctionOrder[i]) return i;
    throw ImportError("function missing from the module table: " + std::string(name));
}

void build_tables() {
    std::vector<const FunctionDef*> functions;
    for (FunctionDef& def : registry()) {
        *def.signature = parse_signature(def);
        if (def.owner == nullptr) {
            function_rank(def);
            functions.push_back(&def);
        } else {
            tables()[def.owner].push_back(make_method_def(def));
        }
    }
    std::sort(functions.begin(), functions.end(), [](const FunctionDef* a, const FunctionDef* b) {
        return function_rank(*a) < function_rank(*b);
    });
    auto& module_table = tables()[""];
    for (const FunctionDef* def : functions) module_table.push_back(make_method_def(*def));
    for (auto& [owner, table] : tables())
        table.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
}

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Module entry point. Each submodule registers its functions here.\n\n"
    "The native core of tarsel: co-occurrence signals, item models, repeat\n"
    "consumption, layered scoring and the EngineState serving engine.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* init_module() {
    if (_import_array() < 0) return nullptr;
    build_tables();
    Ref module = Ref::steal(PyModule_Create(&g_module));
    if (PyModule_AddFunctions(module.get(), tables()[""].data()) < 0) throw PythonError{};
    PyObject* failure = check(internal_failure_type());
    if (PyModule_AddObjectRef(module.get(), "InternalFailure", failure) < 0) throw PythonError{};
    for (const TypeDef& type : type_registry()) {
        Ref cls = Ref::steal(type.create(module.get()));
        if (PyModule_AddObjectRef(module.get(), type.name, cls.get()) < 0) throw PythonError{};
    }
    return module.release();
}

}  // namespace

PyMethodDef* method_table(const char* owner) { return tables()[owner].data(); }

}  // namespace tarsel::frame

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__core() {
    using namespace tarsel::frame;
    try {
        return init_module();
    } catch (const PythonError&) {
        return nullptr;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    }
}
