// Python bindings of the repeat multiplier.
#include "python/call.hpp"
#include "repeat/multiplier.hpp"

#include <algorithm>
#include <string>
#include <vector>

namespace tarsel::repeat {
namespace {

using frame::Array1;
using frame::Array2;

double multiplier_one_py(std::vector<double> pattern_probs, double period_seconds,
                         double refractory_seconds, double confidence,
                         double time_since_last_seconds, double one_shot_epsilon) {
    if (pattern_probs.size() != kPatternCount)
        throw ValueError(
            "pattern_probs must have length 4 [REPEAT, REPLENISH, SATIATION, ONE_SHOT]");
    PatternProbs probs;
    std::copy(pattern_probs.begin(), pattern_probs.end(), probs.begin());
    return multiplier(probs, period_seconds, refractory_seconds, confidence,
                      time_since_last_seconds, one_shot_epsilon);
}

// Raises the index failure a per-candidate read would hit first: the arrays
// are read in argument order, so at the smallest length the earliest short
// array is the one that fails.
void require_length(std::size_t n, std::span<const std::span<const double>> arrays) {
    std::size_t shortest = n;
    for (auto a : arrays) shortest = std::min(shortest, a.size());
    if (shortest < n) index_failure(shortest, shortest);
}

std::vector<double> multipliers_batch(Array2<double> pattern_probs, Array1<double> periods,
                                      Array1<double> refractories, Array1<double> confidences,
                                      Array1<double> times_since_last, double one_shot_epsilon) {
    const std::size_t n = periods.size();
    if (pattern_probs.rows() != n || pattern_probs.cols() != kPatternCount)
        throw ValueError("pattern_probs must be (n, 4); got [" +
                         std::to_string(pattern_probs.rows()) + ", " +
                         std::to_string(pattern_probs.cols()) + "] with n=" + std::to_string(n));
    const auto period = periods.span();
    const auto refractory = refractories.span();
    const auto confidence = confidences.span();
    const auto elapsed = times_since_last.span();
    const std::span<const double> per_candidate[] = {refractory, confidence, elapsed};
    require_length(n, per_candidate);

    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const PatternProbs probs = {pattern_probs.at(i, 0), pattern_probs.at(i, 1),
                                    pattern_probs.at(i, 2), pattern_probs.at(i, 3)};
        out[i] = multiplier(probs, period[i], refractory[i], confidence[i], elapsed[i],
                            one_shot_epsilon);
    }
    return out;
}

const bool registered_multiplier_one_py = frame::define_function<&multiplier_one_py>(
    "multiplier_one_py(pattern_probs, period_seconds, refractory_seconds, confidence, "
    "time_since_last_seconds, one_shot_epsilon=1e-3)",
    "Repeat multiplier of one candidate.\n\n"
    "pattern_probs holds the four probabilities [REPEAT, REPLENISH, SATIATION,\n"
    "ONE_SHOT]; probabilities that are not > 0 contribute nothing. With\n"
    "t = max(time_since_last, 0) / max(period, 1e-9) and r = max(refractory / period, 1e-9)\n"
    "the curves are 1, logistic(6 (t - 0.7)), 1 - exp(-(t/r)^2) and one_shot_epsilon;\n"
    "the result is (1 - c) + c * sum(p_k * curve_k) with c = confidence clamped to\n"
    "[0, 1]. A non-finite time_since_last (never consumed) gives exactly 1.0.");

const bool registered_multipliers_batch = frame::define_function<&multipliers_batch>(
    "multipliers_batch(pattern_probs, periods, refractories, confidences, times_since_last, "
    "one_shot_epsilon=1e-3)",
    "Repeat multipliers of n candidates, n = len(periods).\n\n"
    "pattern_probs is a float64 array of shape (n, 4) in any layout; the other\n"
    "arrays are contiguous float64. Element i is multiplier_one_py applied to\n"
    "row i of pattern_probs and element i of each array. Returns a new float64\n"
    "array of length n.");

}  // namespace
}  // namespace tarsel::repeat
