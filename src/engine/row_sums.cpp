#include "engine/row_sums.hpp"

#include "base/pool.hpp"
#include "base/simd.hpp"
#include "signals/cooccurrence_signal.hpp"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

namespace tarsel::engine {

TARSEL_VECTOR_CLONES
void add_float_rows(const float* const* rows, std::size_t count, std::size_t begin, std::size_t end,
                    double* __restrict out) {
    std::size_t r = 0;
    for (; r + 4 <= count; r += 4) {
        const float* __restrict a = rows[r];
        const float* __restrict b = rows[r + 1];
        const float* __restrict c = rows[r + 2];
        const float* __restrict d = rows[r + 3];
        for (std::size_t j = begin; j < end; ++j) {
            double sum = out[j];
            sum += static_cast<double>(a[j]);
            sum += static_cast<double>(b[j]);
            sum += static_cast<double>(c[j]);
            sum += static_cast<double>(d[j]);
            out[j] = sum;
        }
    }
    for (; r < count; ++r) {
        const float* __restrict a = rows[r];
        for (std::size_t j = begin; j < end; ++j) out[j] += static_cast<double>(a[j]);
    }
}

namespace {

// Writes row `range` of `csr` into the zeroed float row `out` (width entries);
// false, with `out` zeroed again, when a column is outside [0, width) or
// appears twice (`seen` holds the last row that used each column).
bool fill_dense_row(const signals::CsrView& csr, signals::CsrView::Range range, std::size_t width,
                    std::uint32_t stamp, std::vector<std::uint32_t>& seen, float* out) {
    for (std::size_t k = range.begin; k < range.end; ++k) {
        const auto col = static_cast<std::uint32_t>(csr.indices[k]);
        if (col >= width || seen[col] == stamp) {
            for (std::size_t j = range.begin; j < k; ++j)
                out[static_cast<std::uint32_t>(csr.indices[j])] = 0.0f;
            return false;
        }
        seen[col] = stamp;
        out[col] = csr.data[k];
    }
    return true;
}

}  // namespace

DenseRows build_dense_rows(const signals::CsrView& csr, std::size_t width) {
    DenseRows dense;
    dense.width = width;
    const std::size_t rows = csr.rows();
    if (width == 0 || rows == 0) return dense;

    const std::size_t min_entries = (width + 1) / 2;
    std::vector<std::pair<std::size_t, std::size_t>> long_rows;  // (entries, row)
    for (std::size_t r = 0; r < rows; ++r) {
        const std::optional<signals::CsrView::Range> range = csr.try_row(r);
        if (range && range->end - range->begin >= min_entries)
            long_rows.emplace_back(range->end - range->begin, r);
    }
    const std::size_t budget =
        csr.indices.size() * (sizeof(float) + sizeof(std::int32_t)) / 4 / (width * sizeof(float));
    if (long_rows.empty() || budget == 0) return dense;
    std::sort(long_rows.begin(), long_rows.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });
    const std::size_t capacity = std::min(long_rows.size(), budget);

    dense.values.assign(capacity * width, 0.0f);
    dense.slot.assign(rows, -1);
    std::vector<std::uint32_t> seen(width, 0);
    std::size_t count = 0;
    std::uint32_t stamp = 0;
    for (const auto& [entries, r] : long_rows) {
        if (count == capacity) break;
        if (!fill_dense_row(csr, *csr.try_row(r), width, ++stamp, seen,
                            dense.values.data() + count * width))
            continue;
        dense.slot[r] = static_cast<std::int32_t>(count++);
    }
    dense.values.resize(count * width);
    return dense;
}

namespace {

// Columns per block of the blocked sum: a block of scores (32 KiB) stays in
// the core's first-level cache while every owned row adds into it.
constexpr std::size_t kBlockColumns = 4096;
// A sum of at least this many entries is split over the pool's threads (the
// rows then stream from memory through every core at once), into at most
// kMaxRanges column ranges.
constexpr std::size_t kSplitWork = 1 << 18;
constexpr std::size_t kMaxRanges = 16;

// Adds the entries of positions [next, end) in position order while their
// columns lie in [first, first + span); returns the position it stopped at.
std::size_t add_block_entries(const signals::CsrView& csr, std::size_t next, std::size_t end,
                              std::uint32_t first, std::uint32_t span, double* out) {
    const float* data = csr.data.data();
    const std::int32_t* indices = csr.indices.data();
    const auto offset = [indices, first](std::size_t k) {
        return static_cast<std::uint32_t>(indices[k]) - first;
    };
    return signals::for_each_below(
        next, end, span, offset,
        [data, out, first](std::size_t k, std::uint32_t o) {
            out[first + o] += static_cast<double>(data[k]);
        },
        [&](std::size_t k) {
            simd::prefetch_ahead(indices, k, end);
            simd::prefetch_ahead(data, k, end);
        });
}

// First position p of [begin, end) with indices[p] >= value as unsigned, for
// a row sorted that way (any other row gets some position in the range).
std::size_t lower_bound_column(const std::int32_t* indices, std::size_t begin, std::size_t end,
                               std::uint32_t value) {
    while (begin < end) {
        const std::size_t mid = begin + (end - begin) / 2;
        if (static_cast<std::uint32_t>(indices[mid]) < value)
            begin = mid + 1;
        else
            end = mid;
    }
    return begin;
}

// Adds the part of every owned row in columns [first, last), block by block:
// every row adds its part of one block before the next block starts, so each
// score still receives the rows in owned order. next[k] holds where sparse row
// k's part starts and is left where the part ended.
void sum_column_range(const signals::CsrView& csr, std::span<const RowCursor> rows,
                      std::size_t first, std::size_t last, std::size_t* next, double* out) {
    for (std::size_t block = first; block < last; block += kBlockColumns) {
        const std::size_t block_end = std::min(last, block + kBlockColumns);
        // Consecutive dense rows are added four at a time, before the next sparse one.
        std::array<const float*, 4> run;
        std::size_t pending = 0;
        const auto flush = [&] {
            add_float_rows(run.data(), pending, block, block_end, out);
            pending = 0;
        };
        for (std::size_t k = 0; k < rows.size(); ++k) {
            if (rows[k].dense != nullptr) {
                run[pending++] = rows[k].dense;
                if (pending == run.size()) flush();
                continue;
            }
            if (pending != 0) flush();
            next[k] =
                add_block_entries(csr, next[k], rows[k].end, static_cast<std::uint32_t>(block),
                                  static_cast<std::uint32_t>(block_end - block), out);
        }
        if (pending != 0) flush();
    }
}

// How a sum of `work` entry additions over `width` columns splits into column
// ranges of whole units of `unit` columns: one per pool thread for a large
// sum, one otherwise.
struct ColumnSplit {
    std::size_t ranges = 1;
    std::size_t range_width = 0;

    ColumnSplit(std::size_t work, std::size_t width, std::size_t unit, bool use_pool)
        : range_width(width) {
        if (!use_pool || pool::size() < 2 || work < kSplitWork) return;
        const std::size_t units = (width + unit - 1) / unit;
        ranges = std::max<std::size_t>(1, std::min({pool::size(), units, kMaxRanges}));
        range_width = (units + ranges - 1) / ranges * unit;
    }

    std::size_t first(std::size_t t, std::size_t width) const {
        return std::min(width, t * range_width);
    }
    std::size_t last(std::size_t t, std::size_t width) const {
        return std::min(width, first(t, width) + range_width);
    }

    // Runs sum_range(t) for every range, on the pool when there are several.
    template <class SumRange>
    void run(SumRange sum_range) const {
        if (ranges == 1) {
            sum_range(0);
            return;
        }
        pool::parallel_for(0, ranges, 1, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t t = lo; t < hi; ++t) sum_range(t);
        });
    }
};

// The blocked sum, its column ranges on the pool when `use_pool` allows. False,
// with `scores` partly summed, when a row cannot be read in blocks: a broken
// row range, or a sparse row whose columns are out of range or whose blocks
// do not come in increasing order (records not built by this library). Each
// range finds where its part of a row starts by binary search; the parts are
// then checked to follow each other and cover the row exactly.
bool blocked_sum(const signals::CsrView& csr, const DenseRows& dense,
                 std::span<const std::int64_t> owned, std::span<double> scores,
                 OwnedRowScratch& scratch, bool use_pool) {
    const std::size_t n_rows = csr.rows();
    const std::size_t width = scores.size();
    std::vector<RowCursor>& rows = scratch.cursors;
    rows.clear();
    for (std::int64_t o : owned) {
        const auto r = static_cast<std::uint64_t>(o);
        if (r >= n_rows) continue;
        const std::size_t row = static_cast<std::size_t>(r);
        if (const float* values = dense.width == width ? dense.row(row) : nullptr) {
            rows.push_back({values, 0, 0});
            continue;
        }
        const std::optional<signals::CsrView::Range> range = csr.try_row(row);
        if (!range) return false;
        rows.push_back({nullptr, range->begin, range->end});
    }

    // Entries to add, a dense row counting as a quarter of its width.
    std::size_t work = 0;
    for (const RowCursor& row : rows) work += row.dense ? width / 4 : row.end - row.begin;
    const ColumnSplit split(work, width, kBlockColumns, use_pool);
    const std::size_t ranges = split.ranges;
    const std::size_t n = rows.size();
    scratch.starts.resize(ranges * n);
    scratch.stops.resize(ranges * n);
    split.run([&](std::size_t t) {
        const std::size_t first = split.first(t, width);
        const std::size_t last = split.last(t, width);
        std::size_t* starts = scratch.starts.data() + t * n;
        std::size_t* stops = scratch.stops.data() + t * n;
        for (std::size_t k = 0; k < n; ++k)
            starts[k] = t == 0 ? rows[k].begin
                               : lower_bound_column(csr.indices.data(), rows[k].begin, rows[k].end,
                                                    static_cast<std::uint32_t>(first));
        std::copy(starts, starts + n, stops);
        sum_column_range(csr, rows, first, last, stops, scores.data());
    });
    for (std::size_t k = 0; k < n; ++k) {
        if (rows[k].dense != nullptr) continue;
        for (std::size_t t = 0; t < ranges; ++t) {
            const std::size_t expected =
                t + 1 < ranges ? scratch.starts[(t + 1) * n + k] : rows[k].end;
            if (scratch.stops[t * n + k] != expected) return false;
        }
    }
    return true;
}

}  // namespace

void sum_float_rows(const float* const* rows, std::size_t count, std::size_t width, double* out,
                    bool use_pool) {
    // Ranges of whole cache lines of `out` (8 doubles each), so that no two
    // threads write to one line.
    constexpr std::size_t kLineColumns = 64 / sizeof(double);
    const ColumnSplit split(count * width, width, kLineColumns, use_pool);
    split.run([&](std::size_t t) {
        add_float_rows(rows, count, split.first(t, width), split.last(t, width), out);
    });
}

void sum_owned_rows(const signals::CsrView& csr, const DenseRows& dense,
                    std::span<const std::int64_t> owned, std::span<double> scores,
                    OwnedRowScratch& scratch, bool use_pool) {
    std::fill(scores.begin(), scores.end(), 0.0);
    // Columns are int32, so a wider catalogue's columns past 2^31 are never
    // stored; the blocked offsets are 32-bit.
    if (scores.size() < (std::size_t{1} << 31) &&
        blocked_sum(csr, dense, owned, scores, scratch, use_pool))
        return;
    std::fill(scores.begin(), scores.end(), 0.0);
    signals::add_owned_rows(csr, owned, scores);
}

}  // namespace tarsel::engine
