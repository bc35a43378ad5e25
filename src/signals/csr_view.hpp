// A borrowed CSR triple with int32 positions, as the co-occurrence signals and
// the engine store their item-item graphs. Row ranges are checked against both
// position arrays before they are read, so a broken `indptr` becomes an
// InternalFailure (index failure) rather than an out-of-bounds read.
#pragma once

#include "frame/errors.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tarsel::signals {

struct CsrView {
    std::span<const float> data;
    std::span<const std::int32_t> indices;
    std::span<const std::int32_t> indptr;

    struct Range {
        std::size_t begin = 0;
        std::size_t end = 0;
    };

    // len(indptr) - 1, or 0 for an empty indptr.
    std::size_t rows() const { return indptr.empty() ? 0 : indptr.size() - 1; }

    // Row r < rows() when row() would return it, or nothing where it would fail.
    std::optional<Range> try_row(std::size_t r) const {
        const std::int32_t b = indptr[r], e = indptr[r + 1];
        if (e <= b) return Range{};
        const auto begin = static_cast<std::size_t>(static_cast<std::int64_t>(b));
        const auto end = static_cast<std::size_t>(e);
        if (end > indices.size() || end > data.size() || begin >= end) return std::nullopt;
        return Range{begin, end};
    }

    // Positions [begin, end) of row r < rows(); empty when the end is not above
    // the start. Every position of a returned range is valid in both arrays.
    Range row(std::size_t r) const {
        const std::int32_t b = indptr[r], e = indptr[r + 1];
        if (e <= b) return {};
        // A negative start reads as a huge position, as an unsigned index would.
        const auto begin = static_cast<std::size_t>(static_cast<std::int64_t>(b));
        const auto end = static_cast<std::size_t>(e);
        check_end(indices.size(), begin, end);
        check_end(data.size(), begin, end);
        return {begin, end};
    }

  private:
    // The first position of [begin, end) at or past len is the failing one.
    static void check_end(std::size_t len, std::size_t begin, std::size_t end) {
        if (end > len || begin >= len) index_failure(len, begin > len ? begin : len);
    }
};

}  // namespace tarsel::signals
