// Bounds-checked reading of the engine's CSR tables with 64-bit row offsets
// (transition, item -> user and user -> item). A record read back from bytes is
// not re-checked, so every row range and column index the pipeline follows is
// checked: a broken one raises InternalFailure (index failure) instead of
// reading out of range. Rows follow the same rules as signals::CsrView, which
// serves the int32-offset tables.
#pragma once

#include "frame/errors.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarsel::engine {

// A column index that must lie below `bound`, the length of the vector it
// feeds; negative values read as huge and fail the same test.
template <class I>
std::size_t checked_column(I value, std::size_t bound) {
    const auto column = static_cast<std::size_t>(static_cast<std::int64_t>(value));
    if (column >= bound) index_failure(bound, column);
    return column;
}

// Row offsets over `nnz` stored entries (the shortest of the vectors the rows
// index into).
struct RowOffsets {
    std::span<const std::int64_t> indptr;
    std::size_t nnz = 0;

    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    std::size_t rows() const { return indptr.empty() ? 0 : indptr.size() - 1; }

    // Row r, or nothing where row() would fail.
    std::optional<Range> try_row(std::size_t r) const {
        if (r >= rows()) return std::nullopt;
        const std::int64_t b = indptr[r], e = indptr[r + 1];
        if (e <= b) return Range{};
        const auto begin = static_cast<std::size_t>(b);
        const auto end = static_cast<std::size_t>(e);
        if (end > nnz || begin >= nnz) return std::nullopt;
        return Range{begin, end};
    }

    // Row r of a table that must have it: InternalFailure when r >= rows().
    // A row whose end is not above its start is empty; a negative start reads
    // as a huge position.
    Range row(std::size_t r) const {
        if (const std::optional<Range> range = try_row(r)) return *range;
        if (r >= rows()) index_failure(indptr.size(), r + 1);
        const auto begin = static_cast<std::size_t>(indptr[r]);
        index_failure(nnz, begin > nnz ? begin : nnz);
    }
};

// Applies `apply(target)` for the targets of positions [range.begin, range.end)
// of `targets`, each checked to lie below `bound`. Four positions share one
// bounds test; a bad target is reported at its own position.
template <class Apply>
void for_each_target(const std::int64_t* targets, RowOffsets::Range range, std::size_t bound,
                     Apply apply) {
    const auto limit = static_cast<std::uint64_t>(bound);
    std::size_t k = range.begin;
    for (; k + 4 <= range.end; k += 4) {
        const auto t0 = static_cast<std::uint64_t>(targets[k]);
        const auto t1 = static_cast<std::uint64_t>(targets[k + 1]);
        const auto t2 = static_cast<std::uint64_t>(targets[k + 2]);
        const auto t3 = static_cast<std::uint64_t>(targets[k + 3]);
        if (std::max(std::max(t0, t1), std::max(t2, t3)) >= limit) break;
        apply(t0);
        apply(t1);
        apply(t2);
        apply(t3);
    }
    for (; k < range.end; ++k) apply(checked_column(targets[k], bound));
}

}  // namespace tarsel::engine
