#include "repeat/multiplier.hpp"

#include <cmath>

namespace tarsel::repeat {
namespace {

constexpr double kFloor = 1e-9;
// The REPLENISH logistic is centred at 0.7 of the period with slope 6 per period.
constexpr double kReplenishMidpoint = 0.7;
constexpr double kReplenishSlope = 6.0;

// max(value, floor) where a NaN value yields the floor.
double floored(double value) { return value > kFloor ? value : kFloor; }

// 1 / (1 + exp(-x)) evaluated without overflow on either side.
double logistic(double x) {
    if (x >= 0.0) return 1.0 / (std::exp(-x) + 1.0);
    const double e = std::exp(x);
    return e / (e + 1.0);
}

double clamp_unit(double c) {
    if (c < 0.0) return 0.0;
    if (c > 1.0) return 1.0;
    return c;  // NaN stays NaN
}

}  // namespace

double multiplier(const PatternProbs& probs, double period, double refractory, double confidence,
                  double time_since_last, double one_shot_epsilon) {
    if (!std::isfinite(time_since_last)) return 1.0;
    const double p = floored(period);
    const double elapsed = (time_since_last > 0.0 ? time_since_last : 0.0) / p;
    const double r = floored(refractory / p);

    const double q = elapsed / r;
    const double curves[kPatternCount] = {
        1.0,
        logistic((elapsed + (-kReplenishMidpoint)) * kReplenishSlope),
        1.0 - std::exp(-(q * q)),
        one_shot_epsilon,
    };
    double mixture = 0.0;
    for (std::size_t k = 0; k < kPatternCount; ++k)
        if (probs[k] > 0.0) mixture += probs[k] * curves[k];

    const double c = clamp_unit(confidence);
    return (1.0 - c) + c * mixture;
}

}  // namespace tarsel::repeat
