// The repeat multiplier: the factor by which a candidate's score is scaled
// given how the user tends to re-consume it and how long ago they last did.
//
// Patterns, always in this order: REPEAT (no damping), REPLENISH (a logistic
// rise around 0.7 of the period), SATIATION (1 - exp(-(elapsed/refractory)^2)),
// ONE_SHOT (a constant epsilon). The result blends "no effect" (1.0) with the
// probability-weighted mixture of those curves by the confidence.
#pragma once

#include <array>
#include <cstddef>

namespace tarsel::repeat {

constexpr std::size_t kPatternCount = 4;
using PatternProbs = std::array<double, kPatternCount>;

constexpr double kDefaultOneShotEpsilon = 1e-3;

// Pure and allocation-free; safe to call concurrently. Never fails: a
// non-finite `time_since_last` (never consumed) gives exactly 1.0, periods and
// refractories are floored at 1e-9, negative times count as 0, probabilities
// that are not > 0 (NaN included) contribute nothing, the confidence is
// clamped to [0, 1] and a NaN confidence yields NaN. Only ratios of the three
// times enter, so any consistent unit works.
double multiplier(const PatternProbs& probs, double period, double refractory, double confidence,
                  double time_since_last, double one_shot_epsilon);

}  // namespace tarsel::repeat
