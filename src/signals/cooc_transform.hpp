// Rescaling of co-occurrence values by the popularity of the two items of each
// entry: raw counts become cosine, Jaccard or Wilson-bound association
// strengths. The sparsity pattern is unchanged.
#pragma once

#include "signals/csr_view.hpp"

#include <span>
#include <string_view>
#include <vector>

namespace tarsel::signals {

enum class CoocTransform { Raw, Cosine, Jaccard, Wilson };

// "raw", "cosine", "jaccard" or "wilson", exactly; otherwise ValueError
// "unknown cooc transform: <name>".
CoocTransform parse_cooc_transform(std::string_view name);

// One transformed value per position of csr.data. Row r and column c count as
// max(item_counts[i], 1) (1 for items without a count, NaN counts included).
// Positions no row covers are 0. Raw is a plain copy of csr.data.
std::vector<float> transform_cooc(const CsrView& csr, std::span<const double> item_counts,
                                  CoocTransform transform, double wilson_z);

}  // namespace tarsel::signals
