#include "signals/cooc_transform.hpp"

#include "base/errors.hpp"

#include <cmath>
#include <cstdint>
#include <string>

namespace tarsel::signals {

CoocTransform parse_cooc_transform(std::string_view name) {
    if (name == "raw") return CoocTransform::Raw;
    if (name == "cosine") return CoocTransform::Cosine;
    if (name == "jaccard") return CoocTransform::Jaccard;
    if (name == "wilson") return CoocTransform::Wilson;
    throw ValueError("unknown cooc transform: " + std::string(name));
}

namespace {

// An item's count, raised to at least 1; fmax also maps NaN to 1.
double count_of(std::span<const double> item_counts, std::int64_t item) {
    if (item < 0 || static_cast<std::uint64_t>(item) >= item_counts.size()) return 1.0;
    return std::fmax(item_counts[static_cast<std::size_t>(item)], 1.0);
}

// Lower bound of the Wilson score interval of proportion p over n trials,
// (p + z^2/2n - z sqrt(p(1-p)/n + z^2/4n^2)) / (1 + z^2/n), scaled by 2n so that
// p = 0 gives exactly 0 (sqrt of a rounded z^2 is exactly |z|) and p = 1 gives
// n / (n + z^2). An infinite count leaves the bare proportion, as the
// unscaled form does.
double wilson_lower(double p, double n, double z) {
    if (std::isinf(n)) return p;
    const double z2 = z * z;
    return (2.0 * n * p + z2 - z * std::sqrt(z2 + 4.0 * n * p * (1.0 - p))) / (2.0 * (n + z2));
}

// v / n clamped to [0, 1]; NaN stays NaN.
double proportion(double v, double n) {
    const double p = v / n;
    if (p < 0.0) return 0.0;
    if (p > 1.0) return 1.0;
    return p;
}

double transform_value(CoocTransform t, double v, double c_row, double c_col, double z) {
    switch (t) {
        case CoocTransform::Cosine: return v / std::sqrt(c_row * c_col);
        case CoocTransform::Jaccard: return v / std::fmax(c_row + c_col - v, 1.0);
        case CoocTransform::Wilson:
            // fmin takes the other side when exactly one bound is NaN.
            return std::fmin(wilson_lower(proportion(v, c_row), c_row, z),
                             wilson_lower(proportion(v, c_col), c_col, z));
        case CoocTransform::Raw: break;
    }
    return v;
}

}  // namespace

std::vector<float> transform_cooc(const CsrView& csr, std::span<const double> item_counts,
                                  CoocTransform transform, double wilson_z) {
    if (transform == CoocTransform::Raw) return {csr.data.begin(), csr.data.end()};
    std::vector<float> out(csr.data.size(), 0.0f);
    for (std::size_t r = 0; r < csr.rows(); ++r) {
        const double c_row = count_of(item_counts, static_cast<std::int64_t>(r));
        const CsrView::Range range = csr.row(r);
        for (std::size_t j = range.begin; j < range.end; ++j) {
            const double c_col = count_of(item_counts, csr.indices[j]);
            const double v = static_cast<double>(csr.data[j]);
            out[j] = static_cast<float>(transform_value(transform, v, c_row, c_col, wilson_z));
        }
    }
    return out;
}

}  // namespace tarsel::signals
