#include "signals/cooccurrence_signal.hpp"

#include <algorithm>
#include <utility>

namespace tarsel::signals {

template <class Index>
void add_owned_rows(const CsrView& csr, std::span<const Index> owned, std::span<double> scores) {
    const std::size_t n_rows = csr.rows();
    const std::size_t n_cols = scores.size();
    const float* data = csr.data.data();
    const std::int32_t* indices = csr.indices.data();
    double* out = scores.data();
    for (Index owned_row : owned) {
        const auto r = static_cast<std::uint64_t>(owned_row);
        if (r >= n_rows) continue;
        const CsrView::Range range = csr.row(static_cast<std::size_t>(r));
        for (std::size_t j = range.begin; j < range.end; ++j) {
            // Negative columns become huge here and fail the same test.
            const auto col = static_cast<std::size_t>(static_cast<std::int64_t>(indices[j]));
            if (col >= n_cols) index_failure(n_cols, col);
            out[col] += static_cast<double>(data[j]);
        }
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
bool better(const Scored& a, const Scored& b) {
    return a.score > b.score || (a.score == b.score && a.item < b.item);
}

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

    std::vector<Scored> kept;
    kept.reserve(4);
    for (std::size_t j = 0; j < n; ++j)
        if (scores[j] > 0.0) kept.push_back({scores[j], static_cast<std::int64_t>(j)});

    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(budget, n));
    if (k < kept.size()) {
        std::nth_element(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(k), kept.end(),
                         better);
        kept.resize(k);
    }
    std::sort(kept.begin(), kept.end(), better);

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
