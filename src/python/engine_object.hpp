// The Python class EngineState: one object wrapping one engine record (and
// the NumPy arrays the record views), with a borrow flag that lets any number of readers share the
// record while an in-place override needs it alone. Binding files use this interface; the record
// itself stays a plain struct (record.hpp).
#pragma once

#include "engine/record.hpp"
#include "engine/serving_index.hpp"
#include "python/python.hpp"

namespace tarsel::engine {

// A new EngineState object that owns `record` and the serving index derived
// from it (a new reference). `held` keeps alive the arrays whose elements the
// record's views point into (see record_array.hpp): the object takes it over,
// and drops it only after the record is gone.
PyObject* wrap_record(EngineRecord&& record, frame::Ref held = {});

// Read access to an engine's record for the borrow's lifetime. Raises
// RuntimeError "Already mutably borrowed" while an exclusive borrow is held.
// Taking and dropping the borrow needs the interpreter lock; the record may be
// read without it in between (for example by worker threads).
class SharedBorrow {
  public:
    explicit SharedBorrow(PyObject* self);
    ~SharedBorrow();
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    const EngineRecord& record() const { return *record_; }
    const ServingIndex& index() const { return *index_; }

  private:
    PyObject* self_;
    const EngineRecord* record_;
    const ServingIndex* index_;
};

// Write access to an engine's record for the borrow's lifetime. Raises
// RuntimeError "Already borrowed" while any other borrow is held. Taken and
// dropped with the interpreter lock held. The fields the serving index is
// derived from (see serving_index.hpp) must not change.
class ExclusiveBorrow {
  public:
    explicit ExclusiveBorrow(PyObject* self);
    ~ExclusiveBorrow();
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    EngineRecord& record() { return *record_; }

  private:
    PyObject* self_;
    EngineRecord* record_;
};

}  // namespace tarsel::engine
