#include "signals/directional_cooc.hpp"

#include "base/errors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

namespace tarsel::signals {

namespace {

// One contribution to entry (row, col).
struct Triple {
    std::uint32_t row;
    std::uint32_t col;
    double value;
};

// Sums the values of equal (row, col) in the order the triples are given,
// in Sum precision, into a CSR of n_rows rows with ascending columns. Each
// sum is rounded to float32 once; sums of zero are kept.
template <class Sum>
Csr csr_from_triples(const std::vector<Triple>& triples, std::size_t n_rows) {
    // A stable counting sort by row keeps the given order within each row ...
    std::vector<std::size_t> start(n_rows + 1, 0);
    for (const Triple& t : triples) ++start[t.row + 1];
    for (std::size_t r = 0; r < n_rows; ++r) start[r + 1] += start[r];
    std::vector<Triple> by_row(triples.size());
    std::vector<std::size_t> cursor(start.begin(), start.end() - 1);
    for (const Triple& t : triples) by_row[cursor[t.row]++] = t;

    Csr csr;
    csr.indptr.assign(n_rows + 1, 0);
    for (std::size_t r = 0; r < n_rows; ++r) {
        // ... and a stable sort by column keeps it within each entry's run.
        auto first = by_row.begin() + static_cast<std::ptrdiff_t>(start[r]);
        auto last = by_row.begin() + static_cast<std::ptrdiff_t>(start[r + 1]);
        std::stable_sort(first, last,
                         [](const Triple& a, const Triple& b) { return a.col < b.col; });
        for (auto it = first; it != last;) {
            Sum sum = 0;
            const std::uint32_t col = it->col;
            for (; it != last && it->col == col; ++it) sum += static_cast<Sum>(it->value);
            csr.indices.push_back(static_cast<std::int32_t>(col));
            csr.data.push_back(static_cast<float>(sum));
        }
        if (csr.indices.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw ValueError("matrix has more entries than int32 positions can address");
        csr.indptr[r + 1] = static_cast<std::int32_t>(csr.indices.size());
    }
    return csr;
}

// Time order that is a strict weak order even with NaN times (placed last).
bool earlier(const Histories::Record& a, const Histories::Record& b) {
    return a.time < b.time || (!std::isnan(a.time) && std::isnan(b.time));
}

}  // namespace

Csr directional_cooccurrence(Histories h, bool timed, std::uint64_t n_items) {
    std::vector<Triple> triples;
    const std::size_t n_sessions = h.offsets.size() - 1;
    for (std::size_t s = 0; s < n_sessions; ++s) {
        auto first = h.records.begin() + static_cast<std::ptrdiff_t>(h.offsets[s]);
        auto last = h.records.begin() + static_cast<std::ptrdiff_t>(h.offsets[s + 1]);
        if (timed) std::stable_sort(first, last, earlier);
        for (auto it = first; it != last && it + 1 != last; ++it) {
            const Histories::Record &from = *it, &to = *(it + 1);
            if (from.item == to.item) continue;
            triples.push_back({from.item, to.item, static_cast<double>(from.weight * to.weight)});
        }
    }
    return csr_from_triples<double>(triples, static_cast<std::size_t>(n_items));
}

Csr symmetrized(const CsrView& d) {
    const std::size_t n = d.rows();
    std::vector<Triple> triples;
    // A column outside the matrix is reported once all row ranges were read.
    std::optional<std::size_t> bad_column;
    for (std::size_t r = 0; r < n; ++r) {
        const CsrView::Range range = d.row(r);
        for (std::size_t j = range.begin; j < range.end; ++j) {
            const auto c = static_cast<std::size_t>(static_cast<std::int64_t>(d.indices[j]));
            if (c >= n) {
                if (!bad_column) bad_column = c;
                continue;
            }
            const double v = d.data[j];
            triples.push_back({static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c), v});
            triples.push_back({static_cast<std::uint32_t>(c), static_cast<std::uint32_t>(r), v});
        }
    }
    if (bad_column) index_failure(n, *bad_column);
    return csr_from_triples<float>(triples, n);
}

}  // namespace tarsel::signals
