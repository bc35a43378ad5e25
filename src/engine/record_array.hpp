// The engine record's arrays. An array either owns its elements or views
// elements that another object keeps alive for the array's lifetime (the
// engine object holds the read-only NumPy arrays a fit handed over, so that a
// fitted model does not hold its largest arrays twice). Readers see one const
// interface whichever it is; writing goes through ownership (`assign_owned`),
// so the viewed memory is never written.
#pragma once

#include "base/big_buffer.hpp"

#include <cstddef>
#include <span>
#include <utility>

namespace tarsel::engine {

template <class T>
class RecordArray {
  public:
    using value_type = T;
    using size_type = std::size_t;
    using const_iterator = const T*;
    using iterator = const T*;

    RecordArray() = default;
    // Owns a copy of [first, last).
    template <class Iterator>
    RecordArray(Iterator first, Iterator last) : owned_(first, last) {
        point_at_owned();
    }
    // Owns `elements`.
    explicit RecordArray(BigVector<T>&& elements) : owned_(std::move(elements)) {
        point_at_owned();
    }
    // Views `elements`, which the caller keeps alive and unchanged for as long
    // as this array (or the record moved from it) exists.
    static RecordArray view_of(std::span<const T> elements) {
        RecordArray a;
        a.data_ = elements.data();
        a.size_ = elements.size();
        return a;
    }

    // A copy owns its elements, whatever the original: a view's lifetime
    // guarantee covers the original only.
    RecordArray(const RecordArray& other) : owned_(other.begin(), other.end()) { point_at_owned(); }
    RecordArray& operator=(const RecordArray& other) {
        if (this != &other) *this = RecordArray(other);
        return *this;
    }
    // A move keeps what the original was: the owned buffer changes hands
    // without moving its elements, and a view stays a view.
    RecordArray(RecordArray&& other) noexcept
        : owned_(std::move(other.owned_)), data_(other.data_), size_(other.size_) {
        other.clear();
    }
    RecordArray& operator=(RecordArray&& other) noexcept {
        if (this != &other) {
            owned_ = std::move(other.owned_);
            data_ = other.data_;
            size_ = other.size_;
            other.clear();
        }
        return *this;
    }

    // Makes the array own `n` elements left uninitialised and returns them
    // for the caller to write, every one.
    std::span<T> assign_owned(std::size_t n) {
        BigVector<T> fresh(n);
        owned_ = std::move(fresh);
        point_at_owned();
        return {owned_.data(), owned_.size()};
    }

    // True when the elements live in another object's memory.
    bool is_view() const { return data_ != nullptr && data_ != owned_.data(); }

    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    const T& front() const { return data_[0]; }
    const T& back() const { return data_[size_ - 1]; }

  private:
    void point_at_owned() {
        data_ = owned_.data();
        size_ = owned_.size();
    }
    void clear() {
        owned_.clear();
        data_ = nullptr;
        size_ = 0;
    }

    BigVector<T> owned_;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace tarsel::engine
