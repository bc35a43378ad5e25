// Sums of float rows into float64 score vectors: the dense kernel the EASE
// base uses, and the co-occurrence base with its densest rows kept dense.
//
// A co-occurrence row that holds most of the catalogue costs more as scattered
// (column, value) pairs than as a plain float row added with vector
// instructions, and takes no more memory dense once at least half its columns
// are present. DenseRows keeps such rows as float rows; a row sum that meets
// one adds it with the dense kernel. Every score still receives its owned
// rows' values one row at a time in owned order, and an absent column adds
// +0.0, which leaves every sum the sparse rows can reach unchanged: the result
// is the same to the bit.
#pragma once

#include "base/big_buffer.hpp"
#include "signals/csr_view.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// Adds columns [begin, end) of `count` float rows into the same columns of
// `out`, widened to double. Four rows share one pass over `out`, each entry
// still summed row by row in order, so the result is that of adding one row
// at a time.
void add_float_rows(const float* const* rows, std::size_t count, std::size_t begin, std::size_t end,
                    double* out);

// out[0, width) += the `count` float rows, as add_float_rows does. With
// `use_pool`, a large sum splits its columns over the worker pool; never set
// it inside a pool task.
void sum_float_rows(const float* const* rows, std::size_t count, std::size_t width, double* out,
                    bool use_pool);

// The densest rows of a CSR over `width` columns, as float rows.
struct DenseRows {
    std::size_t width = 0;
    std::vector<std::int32_t> slot;  // per CSR row: its dense row, or -1
    BigVector<float> values;         // dense row d at d * width

    const float* row(std::size_t r) const {
        if (r >= slot.size() || slot[r] < 0) return nullptr;
        return values.data() + static_cast<std::size_t>(slot[r]) * width;
    }
};

// Dense copies of the rows of `csr` with at least width / 2 entries, longest
// first, within a quarter of the CSR's own bytes. Only rows the sparse sum
// would read without failure and whose columns are distinct are copied.
DenseRows build_dense_rows(const signals::CsrView& csr, std::size_t width);

// Working space of sum_owned_rows, reused between requests.
struct RowCursor {
    const float* dense;  // the row's dense copy, or null
    std::size_t begin;   // sparse rows: the row's positions
    std::size_t end;
};
struct OwnedRowScratch {
    std::vector<RowCursor> cursors;
    std::vector<std::size_t> starts;  // per column range and row: first position
    std::vector<std::size_t> stops;   // per column range and row: position reached
};

// scores = the sum of rows r of `owned` with r < csr.rows(), each occurrence
// in owned order, exactly as signals::add_owned_rows adds them into zeros
// (and with its InternalFailure on a broken row). The sum runs in column
// blocks, rows held in `dense` added from there. With `use_pool`, a large sum
// splits its columns over the worker pool; never set it inside a pool task.
void sum_owned_rows(const signals::CsrView& csr, const DenseRows& dense,
                    std::span<const std::int64_t> owned, std::span<double> scores,
                    OwnedRowScratch& scratch, bool use_pool);

}  // namespace tarsel::engine
