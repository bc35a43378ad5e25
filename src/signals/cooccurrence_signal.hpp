// Scoring from a co-occurrence graph: the rows of the items a user owns are
// summed into one dense score vector over the catalogue, which is then read at
// candidate items or searched for the best unowned items.
//
// The row sum is the shared core (the serving engine uses it for its
// co-occurrence base scores):
//
//   template <class Index>
//   void add_owned_rows(const CsrView& csr, std::span<const Index> owned,
//                       std::span<double> scores);
//
//   Index is std::uint64_t or std::int64_t. For each r of `owned`, in order and
//   with repetitions, where r < csr.rows() (negative values compare as huge and
//   are skipped), every stored entry j of row r adds data[j], widened to
//   double, to scores[indices[j]]. A row range past the end of `data` or
//   `indices`, or a column outside [0, scores.size()), is an InternalFailure
//   (index failure). Rows owned twice add twice.
#pragma once

#include "signals/csr_view.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::signals {

template <class Index>
void add_owned_rows(const CsrView& csr, std::span<const Index> owned, std::span<double> scores);

// Calls visit(column, value) for every stored entry of the rows that
// add_owned_rows would add into a vector of n_cols scores, in the same order
// and with the same InternalFailure on a broken row or a column outside
// [0, n_cols): a sum kept for a few columns only, without a vector over all.
template <class Index, class Visit>
void visit_owned_rows(const CsrView& csr, std::span<const Index> owned, std::size_t n_cols,
                      Visit visit) {
    const std::size_t n_rows = csr.rows();
    const std::uint32_t limit = column_limit(n_cols);
    const auto column = [&csr](std::size_t j) {
        return static_cast<std::uint32_t>(csr.indices[j]);
    };
    for (Index owned_row : owned) {
        const auto r = static_cast<std::uint64_t>(owned_row);
        if (r >= n_rows) continue;
        const CsrView::Range row = csr.row(static_cast<std::size_t>(r));
        const std::size_t stop =
            for_each_below(row.begin, row.end, limit, column, [&](std::size_t j, std::uint32_t c) {
                visit(static_cast<std::size_t>(c), csr.data[j]);
            });
        if (stop < row.end) column_failure(csr.indices[stop], n_cols);
    }
}

// Adds row r < csr.rows() into `scores`, one owned row of add_owned_rows.
void add_csr_row(const CsrView& csr, std::size_t r, std::span<double> scores);

// The summed owned rows of a square CSR (csr.rows() columns) at each candidate;
// candidates outside [0, rows) score 0.0.
std::vector<double> candidate_scores(const CsrView& csr, std::span<const std::uint64_t> owned,
                                     std::span<const std::int64_t> candidates);

struct Retrieved {
    std::vector<std::int64_t> items;
    std::vector<double> scores;
};

// The at most min(budget, rows) items of highest positive summed score, by
// score descending and then item ascending. Unless `include_owned`, owned items
// are zeroed after the sum and so never returned.
Retrieved retrieve_top(const CsrView& csr, std::span<const std::uint64_t> owned,
                       std::uint64_t budget, bool include_owned);

}  // namespace tarsel::signals
