// A stable sort that stays memory-safe and deterministic under comparators
// that are not strict weak orders (a NaN that compares as neither smaller nor
// greater than anything): insertion sort below 21 elements, a top-down merge
// sort above, both only ever looking at elements inside the range.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <span>
#include <utility>
#include <vector>

namespace tarsel::score {

constexpr std::size_t kInsertionSortLimit = 21;

namespace detail {

template <class T, class Less>
void insertion_sort(std::span<T> items, Less less) {
    for (std::size_t i = 1; i < items.size(); ++i) {
        T value = std::move(items[i]);
        std::size_t j = i;
        for (; j > 0 && less(value, items[j - 1]); --j) items[j] = std::move(items[j - 1]);
        items[j] = std::move(value);
    }
}

template <class T, class Less>
void merge_sort(std::span<T> items, Less less, std::span<T> buffer) {
    const std::size_t n = items.size();
    if (n < kInsertionSortLimit) {
        insertion_sort(items, less);
        return;
    }
    const std::size_t half = n / 2;
    merge_sort(items.first(half), less, buffer);
    merge_sort(items.subspan(half), less, buffer);
    // Merge from a copy of the left run; a right element goes first only when
    // strictly less, which keeps equal (and incomparable) elements in order.
    for (std::size_t i = 0; i < half; ++i) buffer[i] = std::move(items[i]);
    std::size_t left = 0, right = half, out = 0;
    while (left < half && right < n) {
        if (less(items[right], buffer[left]))
            items[out++] = std::move(items[right++]);
        else
            items[out++] = std::move(buffer[left++]);
    }
    while (left < half) items[out++] = std::move(buffer[left++]);
}

}  // namespace detail

// Sorts `items` stably by `less`; `buffer` is scratch reused between calls.
template <class T, class Less>
void stable_sort(std::span<T> items, Less less, std::vector<T>& buffer) {
    if (items.size() < kInsertionSortLimit) {
        detail::insertion_sort(items, less);
        return;
    }
    if (buffer.size() < items.size() / 2) buffer.resize(items.size() / 2);
    detail::merge_sort(items, less, std::span<T>(buffer));
}

inline bool has_nan(std::span<const double> values) {
    return std::any_of(values.begin(), values.end(), [](double v) { return std::isnan(v); });
}

// Puts the k largest values first, in descending order, exactly where the
// stable descending sort puts them. Without NaN the order is total and a
// partial sort suffices; with NaN, whose place depends on the sort itself,
// the whole range is stably sorted.
inline void sort_top_descending(std::span<double> values, std::size_t k,
                                std::vector<double>& buffer) {
    if (has_nan(values)) {
        stable_sort(values, [](double a, double b) { return b < a; }, buffer);
        return;
    }
    k = std::min(k, values.size());
    std::partial_sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end(),
                      std::greater<>());
}

}  // namespace tarsel::score
