// Bounds-checked reading of borrowed CSR tables: the co-occurrence graphs and
// feature rows with int32 positions, and the engine's tables with 64-bit row
// offsets (transition, item -> user and user -> item). Neither a caller's
// arrays nor a record read back from bytes are re-checked as a whole, so every
// row range and column index that is followed is checked first: a broken one
// raises InternalFailure (index failure) instead of reading out of range.
#pragma once

#include "base/errors.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarsel::signals {

// Positions [begin, end) of one row.
struct RowRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The rows of a CSR table: `indptr` (int32 or int64 offsets) indexes position
// arrays whose lengths are `lens`, checked in that order. A row whose end is
// not above its start is empty; a negative start reads as a huge position.
template <class Offset, std::size_t Arrays = 1>
struct CsrRows {
    using Range = RowRange;

    std::span<const Offset> indptr;
    std::array<std::size_t, Arrays> lens{};

    // len(indptr) - 1, or 0 for an empty indptr.
    std::size_t rows() const { return indptr.empty() ? 0 : indptr.size() - 1; }

    // Row r, or nothing where row() would fail.
    std::optional<Range> try_row(std::size_t r) const {
        if (r >= rows()) return std::nullopt;
        const Offset b = indptr[r], e = indptr[r + 1];
        if (e <= b) return Range{};
        const Range range = positions(b, e);
        for (std::size_t len : lens)
            if (range.end > len || range.begin >= len) return std::nullopt;
        return range;
    }

    // Row r of a table that must have it: InternalFailure when r >= rows() or
    // when the row reaches past an array. Every position of a returned range is
    // valid in every array.
    Range row(std::size_t r) const {
        if (r >= rows()) index_failure(indptr.size(), r + 1);
        const Offset b = indptr[r], e = indptr[r + 1];
        if (e <= b) return {};
        const Range range = positions(b, e);
        // The first position of the range at or past len is the failing one.
        for (std::size_t len : lens)
            if (range.end > len || range.begin >= len)
                index_failure(len, range.begin > len ? range.begin : len);
        return range;
    }

  private:
    static Range positions(Offset b, Offset e) {
        return {static_cast<std::size_t>(static_cast<std::int64_t>(b)),
                static_cast<std::size_t>(static_cast<std::int64_t>(e))};
    }
};

// A borrowed CSR triple; rows are checked against `indices`, then `data`.
template <class Value, class Index, class Offset>
struct BasicCsrView {
    using Range = RowRange;

    std::span<const Value> data;
    std::span<const Index> indices;
    std::span<const Offset> indptr;

    CsrRows<Offset, 2> row_index() const { return {indptr, {indices.size(), data.size()}}; }
    std::size_t rows() const { return row_index().rows(); }
    std::optional<Range> try_row(std::size_t r) const { return row_index().try_row(r); }
    Range row(std::size_t r) const { return row_index().row(r); }
};

// The item-item graphs and feature rows: float values, int32 positions.
using CsrView = BasicCsrView<float, std::int32_t, std::int32_t>;

// The engine's tables with int64 row offsets, checked against one length
// (that of their only array, or the shortest of their arrays).
using RowOffsets = CsrRows<std::int64_t>;

// A column index that must lie below `bound`, the length of the vector it
// feeds; negative values read as huge and fail the same test.
template <class I>
std::size_t checked_column(I value, std::size_t bound) {
    const auto column = static_cast<std::size_t>(static_cast<std::int64_t>(value));
    if (column >= bound) index_failure(bound, column);
    return column;
}

// The bound an int32 column, read as uint32, is compared with for a vector of
// n_cols: int32 columns never exceed 2^31 - 1, and negative ones wrap to 2^31
// and above.
inline std::uint32_t column_limit(std::size_t n_cols) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(n_cols, std::size_t{1} << 31));
}

// The failure of an int32 column outside [0, n_cols).
[[noreturn]] inline void column_failure(std::int32_t column, std::size_t n_cols) {
    index_failure(n_cols, static_cast<std::size_t>(static_cast<std::int64_t>(column)));
}

// Calls apply(position, key(position)) for the positions of [begin, end) in
// order while the unsigned key(position) is below `limit`, and returns the
// first position whose key is not (end when there is none). Four positions
// share one bounds test, which is the loop's main cost otherwise; ahead(position)
// is called every 16 grouped positions, to ask the cache for what comes next.
template <class Key, class Limit, class Apply, class Ahead>
std::size_t for_each_below(std::size_t begin, std::size_t end, Limit limit, Key key, Apply apply,
                           Ahead ahead) {
    std::size_t j = begin;
    for (; j + 4 <= end; j += 4) {
        if (((j - begin) & 15) == 0) ahead(j);
        const Limit k0 = key(j), k1 = key(j + 1), k2 = key(j + 2), k3 = key(j + 3);
        if (std::max(std::max(k0, k1), std::max(k2, k3)) >= limit) break;
        apply(j, k0);
        apply(j + 1, k1);
        apply(j + 2, k2);
        apply(j + 3, k3);
    }
    // The tail, and the group holding the first key at or past the limit.
    for (; j < end; ++j) {
        const Limit k = key(j);
        if (k >= limit) break;
        apply(j, k);
    }
    return j;
}

// for_each_below without fetching ahead.
template <class Key, class Limit, class Apply>
std::size_t for_each_below(std::size_t begin, std::size_t end, Limit limit, Key key, Apply apply) {
    return for_each_below(begin, end, limit, key, apply, [](std::size_t) {});
}

// Calls apply(target) for the targets of positions [range.begin, range.end)
// of `targets` (a row of an index-only table), each checked to lie below
// `bound`; a bad target is reported at its own position.
template <class Apply>
void for_each_target(const std::int64_t* targets, RowRange range, std::size_t bound, Apply apply) {
    const auto target = [targets](std::size_t k) { return static_cast<std::uint64_t>(targets[k]); };
    const std::size_t stop =
        for_each_below(range.begin, range.end, static_cast<std::uint64_t>(bound), target,
                       [&apply](std::size_t, std::uint64_t t) { apply(t); });
    if (stop < range.end) index_failure(bound, static_cast<std::size_t>(targets[stop]));
}

}  // namespace tarsel::signals
