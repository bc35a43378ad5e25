#include "python/engine_object.hpp"

#include "python/call.hpp"

#include <memory>
#include <vector>

namespace tarsel::engine {
namespace {

// The instance layout. `borrows` counts shared borrows; kExclusive marks the
// one exclusive borrow. Only touched with the interpreter lock held.
struct EngineObject {
    PyObject_HEAD
    EngineRecord* record;
    ServingIndex* index;  // derived from the record when the object is made
    Py_ssize_t borrows;
    PyObject* held;  // the arrays the record views (nullptr when it views none)
};

constexpr Py_ssize_t kExclusive = -1;

PyObject* g_engine_type = nullptr;  // set once at import, kept for the process

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for EngineState");
    return nullptr;
}

void dealloc_engine(PyObject* self) {
    delete as_engine(self)->record;
    delete as_engine(self)->index;
    Py_XDECREF(as_engine(self)->held);  // after the record: nothing views them now
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr const char* kEngineDoc =
    "Native recommend engine.\n\n"
    "Constructed via `build_engine` from the Python-side `EngineState` bundle of\n"
    "arrays and settings; it holds the read-only arrays among them and copies the\n"
    "others. `recommend` reproduces the Python side's `_recommend_core` natively,\n"
    "and `recommend_batch` serves many users in parallel. Serializable\n"
    "(`save`/`to_bytes`, a fixed-width little-endian binary record) so that a\n"
    "fitted engine can be persisted as a self-contained serving artefact and\n"
    "reloaded (`load`/`from_bytes`) without re-fitting.\n\n"
    "The class has no Python constructor.";

PyObject* create_engine_type(PyObject* module) {
    std::vector<PyType_Slot> slots = {
        {Py_tp_new, reinterpret_cast<void*>(&refuse_construction)},
        {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_engine)},
        {Py_tp_doc, const_cast<char*>(kEngineDoc)},
    };
    PyMethodDef* methods = frame::method_table("EngineState");
    if (methods != nullptr && methods->ml_name != nullptr)
        slots.push_back({Py_tp_methods, methods});
    slots.push_back({0, nullptr});
    PyType_Spec spec = {"tarsel._core.EngineState", static_cast<int>(sizeof(EngineObject)), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots.data()};
    PyObject* type = frame::check(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (g_engine_type == nullptr) g_engine_type = Py_NewRef(type);
    return type;
}

const bool registered_engine_state = frame::register_type("EngineState", &create_engine_type);

}  // namespace

PyObject* wrap_record(EngineRecord&& record, frame::Ref held) {
    auto owned = std::make_unique<EngineRecord>(std::move(record));
    auto index = std::make_unique<ServingIndex>();
    PyObject* obj =
        frame::check(PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(g_engine_type), 0));
    // The allocation is zero-filled: no borrows yet.
    as_engine(obj)->record = owned.release();
    as_engine(obj)->index = index.release();
    as_engine(obj)->held = held.release();
    return obj;
}

SharedBorrow::SharedBorrow(PyObject* self)
    : self_(self), record_(as_engine(self)->record), index_(as_engine(self)->index) {
    EngineObject* engine = as_engine(self);
    if (engine->borrows == kExclusive) throw RuntimeError("Already mutably borrowed");
    ++engine->borrows;
}

SharedBorrow::~SharedBorrow() { --as_engine(self_)->borrows; }

ExclusiveBorrow::ExclusiveBorrow(PyObject* self) : self_(self), record_(as_engine(self)->record) {
    EngineObject* engine = as_engine(self);
    if (engine->borrows != 0) throw RuntimeError("Already borrowed");
    engine->borrows = kExclusive;
}

ExclusiveBorrow::~ExclusiveBorrow() { as_engine(self_)->borrows = 0; }

}  // namespace tarsel::engine
