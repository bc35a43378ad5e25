// The addends of the score blend: channel vectors added to the base scores
// with a weight, standardised by their moments on the way.
#pragma once

#include "engine/moments.hpp"

#include <cstddef>
#include <span>

namespace tarsel::engine {

// A vector added to the scores with weight `alpha`: standardised by
// `moments` unless it comes standardised already, and scaled per item by
// `weight` when that is not empty.
struct Addend {
    std::span<const double> values;
    double alpha = 0.0;
    std::span<const double> weight;
    Moments moments;
    bool measured = false;     // moments still to be taken from the values
    bool standardised = true;  // false: the values are added as they are
};

// scores += alpha * standardised values (times the weight) for the scores of
// items [offset, offset + scores.size()); a flat vector adds nothing.
void add_addend(std::span<double> scores, const Addend& a, std::size_t offset);

}  // namespace tarsel::engine
