// EASE item-item model: the closed-form linear model B = I - P diag(1/diag(P))
// with zero diagonal, where P is the inverse of the regularised Gram matrix of
// the user-item interaction matrix X.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarsel::signals {

struct EaseSettings {
    double lambda = 250.0;  // added to every Gram diagonal entry
    double delta = 0.0;     // scales each Gram diagonal entry relative to itself
};

// The n_items x n_items weight matrix B in row-major order (empty when
// n_items is 0). X[u, i] is the largest positive weight given for the pair
// (weights absent or past their end count as 1.0; weights <= 0 drop the
// interaction); interactions with a negative or out-of-range index are
// skipped, and only the first min(|users|, |items|) positions are read.
//
// ValueError when the regularised Gram matrix is not positive definite or a
// diagonal entry of its inverse is exactly 0; std::bad_alloc when n_items^2
// doubles cannot be addressed. Parallel on the worker pool and LAPACK.
std::vector<float> fit_ease(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items,
                            std::optional<std::span<const float>> weights, std::uint64_t n_users,
                            std::uint64_t n_items, const EaseSettings& settings);

// B from a Gram matrix G = X^T X already formed (row-major n_items x n_items,
// only the upper triangle j >= i is read), as fit_ease forms it from G: the
// same result when G holds the same values. Lets G be summed from the Gram
// contributions of disjoint groups of users. Same errors as fit_ease, and
// ValueError when gram does not hold n_items^2 values.
std::vector<float> fit_ease_from_gram(std::vector<double> gram, std::uint64_t n_items,
                                      const EaseSettings& settings);

}  // namespace tarsel::signals
