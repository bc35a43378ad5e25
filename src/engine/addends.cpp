#include "engine/addends.hpp"

#include "base/simd.hpp"

namespace tarsel::engine {

namespace {

// out[i] += alpha * v[i] for i < n.
TARSEL_VECTOR_CLONES
void add_scaled(double* __restrict out, const double* __restrict v, std::size_t n, double alpha) {
    for (std::size_t i = 0; i < n; ++i) out[i] += alpha * v[i];
}

// out[i] += alpha * ((v[i] - mean) / sd) for i < n, or with (v[i] - mean) *
// w[i] when w is not null.
TARSEL_VECTOR_CLONES
void add_standardised(double* __restrict out, const double* __restrict v,
                      const double* __restrict w, std::size_t n, double alpha, double mean,
                      double sd) {
    if (w == nullptr) {
        for (std::size_t i = 0; i < n; ++i) out[i] += alpha * ((v[i] - mean) / sd);
    } else {
        for (std::size_t i = 0; i < n; ++i) out[i] += alpha * ((v[i] - mean) * w[i] / sd);
    }
}

}  // namespace

void add_addend(std::span<double> scores, const Addend& a, std::size_t offset) {
    const double* v = a.values.data() + offset;
    if (!a.standardised) {
        add_scaled(scores.data(), v, scores.size(), a.alpha);
        return;
    }
    const Moments& m = a.moments;
    if (m.flat) return;
    add_standardised(scores.data(), v, a.weight.empty() ? nullptr : a.weight.data() + offset,
                     scores.size(), a.alpha, m.mean, m.sd);
}

}  // namespace tarsel::engine
