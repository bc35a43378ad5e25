// Failures that algorithms throw. Plain C++: the module boundary (call.hpp)
// translates each kind into its Python exception; nothing else touches the
// interpreter's error state.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tarsel {

// Expected input error -> ValueError with this message.
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Wrong kind of argument found after extraction -> TypeError, no argument prefix.
struct TypeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Negative value for an unsigned quantity -> OverflowError.
struct OverflowError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// File-system failure -> OSError (IOError).
struct IOError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Conflicting borrow of an engine and similar state errors -> RuntimeError.
struct RuntimeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A broken internal invariant (an index the caller promised to be in range,
// a non-contiguous array where one is required) -> InternalFailure.
struct InternalFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The index-failure text shared by every out-of-range access check.
[[noreturn]] inline void index_failure(std::size_t len, std::size_t index) {
    throw InternalFailure("index out of bounds: the len is " + std::to_string(len) +
                          " but the index is " + std::to_string(index));
}

// Bounds-checked element access for data the caller promised to be in range.
template <class Span>
inline auto checked_at(const Span& s, std::size_t i) -> decltype(s[i]) {
    if (i >= s.size()) index_failure(s.size(), i);
    return s[i];
}

}  // namespace tarsel
