// Failures that algorithms throw. Plain C++: the module boundary (call.hpp)
// translates each kind into its Python exception; nothing else touches the
// interpreter's error state.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace tarsel {

// The base of the failures below. The message is kept whole, NUL characters
// included (a name given by the caller may hold one); what() stops at the
// first NUL, so the boundary reads message(). Copying shares the text, so it
// cannot throw.
class Failure : public std::exception {
  public:
    explicit Failure(std::string message)
        : message_(std::make_shared<const std::string>(std::move(message))) {}
    const char* what() const noexcept override { return message_->c_str(); }
    const std::string& message() const noexcept { return *message_; }

  private:
    std::shared_ptr<const std::string> message_;
};

// Expected input error -> ValueError with this message.
struct ValueError : Failure {
    using Failure::Failure;
};

// Wrong kind of argument found after extraction -> TypeError, no argument prefix.
struct TypeError : Failure {
    using Failure::Failure;
};

// Negative value for an unsigned quantity -> OverflowError.
struct OverflowError : Failure {
    using Failure::Failure;
};

// File-system failure -> OSError (IOError).
struct IOError : Failure {
    using Failure::Failure;
};

// Conflicting borrow of an engine and similar state errors -> RuntimeError.
struct RuntimeError : Failure {
    using Failure::Failure;
};

// A broken internal invariant (an index the caller promised to be in range,
// a non-contiguous array where one is required) -> InternalFailure.
struct InternalFailure : Failure {
    using Failure::Failure;
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
