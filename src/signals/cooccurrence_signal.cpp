#include "signals/cooccurrence_signal.hpp"

#include "base/simd.hpp"
#include "base/top_k.hpp"

#include <algorithm>
#include <utility>

namespace tarsel::signals {

namespace {

// out[indices[j]] += data[j] over [begin, end), in position order, each
// column checked to lie in [0, n_cols).
void add_row(const float* data, const std::int32_t* indices, std::size_t begin, std::size_t end,
             double* out, std::size_t n_cols) {
    const auto column = [indices](std::size_t j) { return static_cast<std::uint32_t>(indices[j]); };
    const std::size_t stop = for_each_below(
        begin, end, column_limit(n_cols), column,
        [data, out](std::size_t j, std::uint32_t col) { out[col] += static_cast<double>(data[j]); },
        // One request per 64-byte line of each array: 16 positions.
        [&](std::size_t j) {
            simd::prefetch_ahead(indices, j, end);
            simd::prefetch_ahead(data, j, end);
        });
    if (stop < end) column_failure(indices[stop], n_cols);
}

}  // namespace

void add_csr_row(const CsrView& csr, std::size_t r, std::span<double> scores) {
    const CsrView::Range range = csr.row(r);
    add_row(csr.data.data(), csr.indices.data(), range.begin, range.end, scores.data(),
            scores.size());
}

template <class Index>
void add_owned_rows(const CsrView& csr, std::span<const Index> owned, std::span<double> scores) {
    const std::size_t n_rows = csr.rows();
    for (Index owned_row : owned) {
        const auto r = static_cast<std::uint64_t>(owned_row);
        if (r < n_rows) add_csr_row(csr, static_cast<std::size_t>(r), scores);
    }
}

template void add_owned_rows<std::uint64_t>(const CsrView&, std::span<const std::uint64_t>,
                                            std::span<double>);
template void add_owned_rows<std::int64_t>(const CsrView&, std::span<const std::int64_t>,
                                           std::span<double>);

namespace {

std::vector<double> summed_rows(const CsrView& csr, std::span<const std::uint64_t> owned) {
    std::vector<double> scores(csr.rows(), 0.0);
    add_owned_rows(csr, owned, std::span<double>(scores));
    return scores;
}

struct Scored {
    double score;
    std::int64_t item;
};

// Higher score first, then the smaller item: a strict total order on the
// collected pairs, whose scores are all positive (so never NaN).
struct Better {
    bool operator()(const Scored& a, const Scored& b) const {
        return a.score > b.score || (a.score == b.score && a.item < b.item);
    }
};

}  // namespace

std::vector<double> candidate_scores(const CsrView& csr, std::span<const std::uint64_t> owned,
                                     std::span<const std::int64_t> candidates) {
    const std::vector<double> scores = summed_rows(csr, owned);
    std::vector<double> out(candidates.size(), 0.0);
    for (std::size_t p = 0; p < candidates.size(); ++p) {
        const auto c = static_cast<std::uint64_t>(candidates[p]);
        if (c < scores.size()) out[p] = scores[c];
    }
    return out;
}

Retrieved retrieve_top(const CsrView& csr, std::span<const std::uint64_t> owned,
                       std::uint64_t budget, bool include_owned) {
    std::vector<double> scores = summed_rows(csr, owned);
    const std::size_t n = scores.size();
    if (!include_owned)
        for (std::uint64_t r : owned)
            if (r < n) scores[r] = 0.0;

    // Partial selection in one scan over the positive scores. A score must
    // exceed `floor`: 0, then the selection's bar once it has one, so most
    // items cost one comparison. Items come in ascending order, so a later
    // item with the bar's score ranks after it and is rightly passed over.
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(budget, n));
    if (k == 0) return {};
    std::vector<Scored> kept;
    const std::size_t capacity = std::max<std::size_t>(2 * k, 16);
    kept.reserve(std::min(capacity, n));
    top_k::BestK<Scored, Better> best(kept, k, capacity);
    double floor = 0.0;  // NaN never exceeds it
    for (std::size_t j = 0; j < n; ++j) {
        if (!(scores[j] > floor)) continue;
        best.offer({scores[j], static_cast<std::int64_t>(j)});
        floor = std::max(floor, best.floor());
    }
    best.finish();

    Retrieved out;
    out.items.reserve(kept.size());
    out.scores.reserve(kept.size());
    for (const Scored& s : kept) {
        out.items.push_back(s.item);
        out.scores.push_back(s.score);
    }
    return out;
}

}  // namespace tarsel::signals
