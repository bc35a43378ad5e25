#include "signals/cooccurrence.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>

namespace tarsel::signals {

Kernel parse_kernel(std::string_view text, double alpha, double half_life_days) {
    if (text == "pure_count") return Kernel{Kernel::Kind::PureCount, alpha, half_life_days};
    if (text == "hybrid_temporal")
        return Kernel{Kernel::Kind::HybridTemporal, alpha, half_life_days};
    throw ValueError("unknown kernel: " + std::string(text) +
                     "; expected 'pure_count' or 'hybrid_temporal'");
}

void check_item_count(std::uint64_t n_items) {
    constexpr std::uint64_t limit = std::uint64_t{1} << 31;
    if (n_items >= limit)
        throw ValueError("n_items must be less than 2**31 (int32 column indices), got " +
                         std::to_string(n_items));
}

// ------------------------------------------------------------- bucketing

namespace {

// Runs body(p) for every part p in [0, parts), on the pool when asked.
template <class Body>
void for_each_part(std::size_t parts, bool parallel, Body&& body) {
    auto run = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t p = lo; p < hi; ++p) body(p);
    };
    if (parallel && parts > 1)
        pool::parallel_for(0, parts, 1, run);
    else
        run(0, parts);
}

// How many parts a parallel grouping of n elements into n_keys keys takes:
// one per thread, but no more than keeps the per-part key counters within
// the size of the elements themselves.
std::size_t grouping_parts(std::size_t n, std::size_t n_keys, bool parallel) {
    if (!parallel) return 1;
    return std::clamp<std::size_t>(n / std::max<std::size_t>(n_keys, 1), 1, pool::size());
}

// Groups values by key, stably, in parallel: values of equal keys keep their
// source order whatever the number of parts. `bounds` splits the source into
// contiguous parts; visit(lo, hi, sink) calls sink(key, value) for the values
// of the part [lo, hi) in source order, and is called twice per part (to
// count, then to place). Fills `offsets` (n_keys + 1 entries) and `out`.
//
// Keys whose counters outgrow the cache (more than kDirectKeys) are grouped
// in two rounds, so that no round writes at random over the whole output:
// the first distributes the values over at most kGroupBlocks blocks of
// consecutive keys (one write stream per block), the second groups each
// block by key, its counters and its part of the output small enough to stay
// in the cache, blocks in parallel.
constexpr std::size_t kDirectKeys = std::size_t{1} << 18;
constexpr std::size_t kGroupBlocks = std::size_t{1} << 10;

template <class Value, class Visit>
void group_by_key(std::span<const std::size_t> bounds, std::size_t n_keys, bool parallel,
                  Visit&& visit, BigVector<std::size_t>& offsets, BigVector<Value>& out) {
    const std::size_t parts = bounds.size() - 1;
    // Keys per block: a power of two, one key per block for small key sets.
    std::size_t shift = 0;
    if (n_keys > kDirectKeys)
        while ((n_keys >> shift) > kGroupBlocks) ++shift;
    const std::size_t n_blocks = ((n_keys + (std::size_t{1} << shift) - 1) >> shift) + 1;
    // Per part and block: the count, then the part's next position there.
    std::vector<std::size_t> next(parts * n_blocks, 0);
    for_each_part(parts, parallel, [&](std::size_t p) {
        std::size_t* count = next.data() + p * n_blocks;
        visit(bounds[p], bounds[p + 1],
              [count, shift](std::size_t key, const Value&) { ++count[key >> shift]; });
    });
    std::vector<std::size_t> block_start(n_blocks + 1);
    std::size_t total = 0;
    for (std::size_t b = 0; b < n_blocks; ++b) {
        block_start[b] = total;
        for (std::size_t p = 0; p < parts; ++p)
            total += std::exchange(next[p * n_blocks + b], total);
    }
    block_start[n_blocks] = total;
    offsets.resize(n_keys + 1);
    offsets[n_keys] = total;
    out.resize(total);
    if (shift == 0) {
        // One key per block: the first round places the values.
        for (std::size_t key = 0; key < n_keys; ++key) offsets[key] = block_start[key];
        for_each_part(parts, parallel, [&](std::size_t p) {
            std::size_t* to = next.data() + p * n_blocks;
            Value* values = out.data();
            visit(bounds[p], bounds[p + 1],
                  [to, values](std::size_t key, const Value& v) { values[to[key]++] = v; });
        });
        return;
    }
    struct Keyed {
        std::size_t key;
        Value value;
    };
    std::unique_ptr<Keyed[]> staged(new Keyed[total]);
    for_each_part(parts, parallel, [&](std::size_t p) {
        std::size_t* to = next.data() + p * n_blocks;
        Keyed* stage = staged.get();
        visit(bounds[p], bounds[p + 1], [to, stage, shift](std::size_t key, const Value& v) {
            stage[to[key >> shift]++] = Keyed{key, v};
        });
    });
    for_each_part(n_blocks - 1, parallel, [&](std::size_t b) {
        const std::size_t first_key = b << shift;
        const std::size_t keys = std::min(n_keys - first_key, std::size_t{1} << shift);
        std::vector<std::size_t> at(keys + 1, 0);
        const Keyed* lo = staged.get() + block_start[b];
        const Keyed* hi = staged.get() + block_start[b + 1];
        for (const Keyed* e = lo; e < hi; ++e) ++at[e->key - first_key + 1];
        at[0] = block_start[b];
        for (std::size_t k = 0; k < keys; ++k) {
            at[k + 1] += at[k];
            offsets[first_key + k] = at[k];
        }
        for (const Keyed* e = lo; e < hi; ++e) out[at[e->key - first_key]++] = e->value;
    });
}

// `parts` + 1 bounds splitting [0, n) evenly.
std::vector<std::size_t> even_bounds(std::size_t n, std::size_t parts) {
    std::vector<std::size_t> bounds(parts + 1);
    for (std::size_t p = 0; p <= parts; ++p) bounds[p] = n * p / parts;
    return bounds;
}

}  // namespace

Histories bucket_histories(std::span<const std::int64_t> rows, std::span<const std::int64_t> items,
                           std::span<const float> weights,
                           std::optional<std::span<const double>> timestamps, std::uint64_t n_rows,
                           std::uint64_t n_items, WeightFilter filter, bool parallel) {
    const std::size_t m = rows.size();
    auto kept = [&](std::size_t k) {
        return static_cast<std::uint64_t>(rows[k]) < n_rows &&
               static_cast<std::uint64_t>(items[k]) < n_items &&
               !(filter == WeightFilter::DropNonPositive && weights[k] <= 0.0f);
    };

    // Size everything by the largest index actually kept, not by the counts,
    // so a huge n_rows with little data costs nothing. Parts scan in
    // parallel; the first kept interaction without a timestamp is reported.
    struct Extent {
        std::size_t rows = 0, cols = 0, kept = 0, missing_time = SIZE_MAX;
    };
    const std::vector<std::size_t> scan = even_bounds(m, parallel ? pool::size() : 1);
    std::vector<Extent> extents(scan.size() - 1);
    for_each_part(extents.size(), parallel, [&](std::size_t p) {
        Extent e;
        for (std::size_t k = scan[p]; k < scan[p + 1]; ++k) {
            if (!kept(k)) continue;
            if (timestamps && k >= timestamps->size() && e.missing_time == SIZE_MAX)
                e.missing_time = k;
            e.rows = std::max<std::size_t>(e.rows, static_cast<std::size_t>(rows[k]) + 1);
            e.cols = std::max<std::size_t>(e.cols, static_cast<std::size_t>(items[k]) + 1);
            ++e.kept;
        }
        extents[p] = e;
    });
    std::size_t n_used_rows = 0, n_cols = 0, n_kept = 0;
    for (const Extent& e : extents) {
        if (e.missing_time != SIZE_MAX) index_failure(timestamps->size(), e.missing_time);
        n_used_rows = std::max(n_used_rows, e.rows);
        n_cols = std::max(n_cols, e.cols);
        n_kept += e.kept;
    }

    // Sparse row ids (a few interactions with huge row indices) are replaced by
    // their ranks, which keeps the row order and bounds memory by the data.
    std::vector<std::uint64_t> row_ids;
    if (n_used_rows > 2 * n_kept + 1024) {
        row_ids.reserve(n_kept);
        for (std::size_t k = 0; k < m; ++k)
            if (kept(k)) row_ids.push_back(static_cast<std::uint64_t>(rows[k]));
        std::sort(row_ids.begin(), row_ids.end());
        row_ids.erase(std::unique(row_ids.begin(), row_ids.end()), row_ids.end());
        n_used_rows = row_ids.size();
    }
    auto slot = [&](std::size_t k) -> std::size_t {
        const auto row = static_cast<std::uint64_t>(rows[k]);
        if (row_ids.empty()) return static_cast<std::size_t>(row);
        return static_cast<std::size_t>(std::lower_bound(row_ids.begin(), row_ids.end(), row) -
                                        row_ids.begin());
    };

    Histories h;
    h.n_cols = n_cols;
    const std::vector<std::size_t> bounds =
        even_bounds(m, grouping_parts(n_kept, n_used_rows, parallel));
    group_by_key<Histories::Record>(
        bounds, n_used_rows, parallel,
        [&](std::size_t lo, std::size_t hi, auto&& sink) {
            for (std::size_t k = lo; k < hi; ++k) {
                if (!kept(k)) continue;
                const double t = timestamps ? (*timestamps)[k] : 0.0;
                sink(slot(k),
                     Histories::Record{static_cast<std::uint32_t>(items[k]), weights[k], t});
            }
        },
        h.offsets, h.records);
    return h;
}

// -------------------------------------------------------------- the kernel

namespace {

// Where one occurrence of an item pairs with the larger items of its row:
// the record itself and the run [begin, end) of records with larger items.
struct Occurrence {
    std::size_t record;
    std::size_t begin;
    std::size_t end;
};

// Occurrences grouped by item (CSR by item), for rows whose records are
// sorted by item. Occurrences with no larger item in their row are left out.
struct OccurrenceIndex {
    BigVector<std::size_t> offsets;
    BigVector<Occurrence> entries;
};

// Rows are sorted by insertion up to this length (stable and free of the
// buffer a merge sort allocates), by merging beyond.
constexpr std::size_t kInsertionSortRow = 24;

void sort_rows_by_item(Histories& h, bool parallel) {
    using Record = Histories::Record;
    auto sort_rows = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t r = lo; r < hi; ++r) {
            Record* first = h.records.data() + h.offsets[r];
            Record* last = h.records.data() + h.offsets[r + 1];
            if (static_cast<std::size_t>(last - first) > kInsertionSortRow) {
                std::stable_sort(first, last,
                                 [](const Record& a, const Record& b) { return a.item < b.item; });
                continue;
            }
            for (Record* p = first + (first != last); p < last; ++p) {
                const Record moving = *p;
                Record* q = p;
                for (; q > first && moving.item < (q - 1)->item; --q) *q = *(q - 1);
                *q = moving;
            }
        }
    };
    std::size_t n_rows = h.offsets.size() - 1;
    if (parallel)
        pool::parallel_for(0, n_rows, 256, sort_rows);
    else
        sort_rows(0, n_rows);
}

OccurrenceIndex index_occurrences(const Histories& h, bool parallel) {
    const std::size_t n_rows = h.offsets.size() - 1;
    // Row bounds of parts with about equal numbers of records.
    const std::size_t parts = grouping_parts(h.records.size(), h.n_cols, parallel);
    std::vector<std::size_t> bounds{0};
    for (std::size_t p = 1; p < parts; ++p) {
        const std::size_t target = h.records.size() * p / parts;
        bounds.push_back(static_cast<std::size_t>(
            std::lower_bound(h.offsets.begin(), h.offsets.end() - 1, target) - h.offsets.begin()));
    }
    bounds.push_back(n_rows);
    OccurrenceIndex idx;
    // Visit each row's runs of equal items; a run pairs with everything after it.
    group_by_key<Occurrence>(
        bounds, h.n_cols, parallel,
        [&](std::size_t lo, std::size_t hi, auto&& sink) {
            for (std::size_t r = lo; r < hi; ++r) {
                const std::size_t end = h.offsets[r + 1];
                for (std::size_t p = h.offsets[r]; p < end;) {
                    std::size_t q = p;
                    while (q < end && h.records[q].item == h.records[p].item) ++q;
                    if (q < end)
                        for (std::size_t k = p; k < q; ++k)
                            sink(h.records[k].item, Occurrence{k, q, end});
                    p = q;
                }
            }
        },
        idx.offsets, idx.entries);
    return idx;
}

// Per-thread scratch: a dense accumulator over the columns of one row at a time.
// mark[col] holds the stamp of the last (pass, row) that touched the column, so
// nothing is cleared between rows.
struct Scratch {
    std::vector<double> sum;
    std::vector<std::uint32_t> mark;
    std::vector<std::uint32_t> touched;

    explicit Scratch(std::size_t n_cols) : sum(n_cols), mark(n_cols, 0) {}
};

// Stamps for the two passes over the same row (rows are below 2**31).
constexpr std::uint32_t count_stamp(std::size_t row) {
    return static_cast<std::uint32_t>(2 * row + 1);
}
constexpr std::uint32_t sum_stamp(std::size_t row) {
    return static_cast<std::uint32_t>(2 * row + 2);
}

// Visits every pair (occurrence of `row`, record of a larger item in the same
// history) in a fixed order: occurrences by history, then records by position.
// Occurrences ahead whose records are requested from memory: each occurrence
// lies in another history, whose first read otherwise waits on a cache miss.
constexpr std::size_t kOccurrencesAhead = 8;

template <class T>
void prefetch_occurrence(const OccurrenceIndex& idx, std::size_t o, const T* data) {
    if (o + kOccurrencesAhead < idx.entries.size()) {
        const Occurrence& ahead = idx.entries[o + kOccurrencesAhead];
        __builtin_prefetch(data + ahead.record);
        __builtin_prefetch(data + ahead.end - 1);
    }
}

template <class Visit>
void for_each_pair(std::size_t row, const Histories& h, const OccurrenceIndex& idx, Visit&& visit) {
    const auto* rec = h.records.data();
    for (std::size_t o = idx.offsets[row]; o < idx.offsets[row + 1]; ++o) {
        prefetch_occurrence(idx, o, rec);
        const Occurrence& occ = idx.entries[o];
        for (std::size_t q = occ.begin; q < occ.end; ++q) visit(rec[occ.record], rec[q]);
    }
}

inline bool is_negative_zero(double x) {
    return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(-0.0);
}

// How a row gathers its columns. `Stamped` checks each column's stamp and
// lists it when first met, which costs nothing per column the row misses;
// `Dense` works without a check, having reset the columns above the row,
// and lists the visited ones by one scan of them, which pays off when the row
// visits about as many pairs as there are columns above it: counting marks
// them, summing tells them by their sums alone (no stamp is written).
enum class Gather { Stamped, Dense };

// The distinct larger columns of `row` in s.touched: with their sums, in
// ascending order; without, in any order (ascending under `Dense`). `items`
// and `weights` hold the records' items and weights alone, so that counting
// reads a quarter of the bytes, and dense summing without the temporal kernel
// half.
template <bool WithSums>
void collect_row(std::size_t row, const Histories& h, std::span<const std::uint32_t> items,
                 std::span<const float> weights, const OccurrenceIndex& idx, const Kernel& kernel,
                 double tau, Gather gather, Scratch& s) {
    const std::uint32_t stamp = WithSums ? sum_stamp(row) : count_stamp(row);
    const std::size_t n = s.mark.size();
    std::uint32_t* mark = s.mark.data();
    double* sum = s.sum.data();
    s.touched.clear();
    // Every marked column above the row, ascending, by one scan.
    auto scan_marked = [&] {
        for (std::size_t col = row + 1; col < n; ++col)
            if (mark[col] == stamp) s.touched.push_back(static_cast<std::uint32_t>(col));
    };
    if constexpr (!WithSums) {
        for (std::size_t o = idx.offsets[row]; o < idx.offsets[row + 1]; ++o) {
            prefetch_occurrence(idx, o, items.data());
            const Occurrence& occ = idx.entries[o];
            if (gather == Gather::Dense) {
                for (std::size_t q = occ.begin; q < occ.end; ++q) mark[items[q]] = stamp;
                continue;
            }
            for (std::size_t q = occ.begin; q < occ.end; ++q) {
                const std::uint32_t col = items[q];
                if (mark[col] != stamp) {
                    mark[col] = stamp;
                    s.touched.push_back(col);
                }
            }
        }
        if (gather == Gather::Dense) scan_marked();
        return;
    }
    auto weight = [&](const Histories::Record& p, const Histories::Record& q) {
        double w = static_cast<double>(p.weight * q.weight);
        if (kernel.temporal())
            w *= 1.0 + kernel.alpha / (1.0 + std::exp(std::fabs(p.time - q.time) / tau));
        return w;
    };
    if (gather == Gather::Dense) {
        // No stamps: the sums start at -0.0, which no sum reached by adding
        // terms can equal once every term has its -0.0 made +0.0 (by adding
        // +0.0, which changes no other value); so the columns whose sums are
        // not -0.0 are exactly the ones visited, and every sum equals the one
        // begun from +0.0.
        std::fill(sum + row + 1, sum + n, -0.0);
        if (kernel.temporal()) {
            for_each_pair(row, h, idx, [&](const Histories::Record& p, const Histories::Record& q) {
                sum[q.item] += weight(p, q) + 0.0;
            });
        } else {
            // The same sums from items and weights apart: half the bytes of
            // the records per pair.
            for (std::size_t o = idx.offsets[row]; o < idx.offsets[row + 1]; ++o) {
                prefetch_occurrence(idx, o, items.data());
                prefetch_occurrence(idx, o, weights.data());
                const Occurrence& occ = idx.entries[o];
                const float wp = weights[occ.record];
                for (std::size_t q = occ.begin; q < occ.end; ++q)
                    sum[items[q]] += static_cast<double>(wp * weights[q]) + 0.0;
            }
        }
        for (std::size_t col = row + 1; col < n; ++col)
            if (!is_negative_zero(sum[col])) s.touched.push_back(static_cast<std::uint32_t>(col));
        return;
    }
    for_each_pair(row, h, idx, [&](const Histories::Record& p, const Histories::Record& q) {
        const std::uint32_t col = q.item;
        if (mark[col] != stamp) {
            mark[col] = stamp;
            s.touched.push_back(col);
            sum[col] = 0.0;
        }
        sum[col] += weight(p, q);
    });
    // Columns above the row: a row that touches a good share of them is put
    // in order by one scan of the stamps, cheaper than a sort.
    if (s.touched.size() * 16 < n - row - 1) {
        std::sort(s.touched.begin(), s.touched.end());
        return;
    }
    std::size_t k = 0;
    for (std::size_t col = row + 1; col < n; ++col)
        if (mark[col] == stamp) s.touched[k++] = static_cast<std::uint32_t>(col);
}

// Builds the symmetric matrix straight into the result arrays, computing each
// unordered pair once (in its smaller item's row) and mirroring it.
//
// Rows are split into contiguous chunks of about equal work. A first pass
// counts, per chunk, how many entries each chunk mirrors into every row; the
// prefix sums of those counts reserve the start of each row for its mirrored
// entries. Row r is laid out as its mirrored entries (columns < r, ascending)
// followed by its own entries (columns > r, sorted). The second pass writes
// the own entries, a third copies them into the mirrored parts, each chunk
// into the space its counts reserved there. Extra memory is O(n_items) per
// chunk and per thread.
class SymmetricBuilder {
  public:
    SymmetricBuilder(const Histories& h, const OccurrenceIndex& idx, const Kernel& kernel,
                     bool parallel)
        : h_(h), idx_(idx), kernel_(kernel), parallel_(parallel), n_(h.n_cols),
          // fmax yields 1 second for a NaN or non-positive half-life.
          tau_(std::fmax(kernel.half_life_days * 86400.0, 1.0)) {
        // More chunks than threads lets the pool balance uneven rows, while
        // keeping the per-chunk counters small next to the catalogue.
        const std::size_t threads = parallel ? pool::size() : 1;
        const std::size_t per_thread = (parallel && n_ <= (std::size_t{1} << 22)) ? 4 : 1;
        chunks_ = split_by_work(threads * per_thread);
        for (std::size_t t = 0; t < threads; ++t) scratch_.emplace_back(n_);
        items_.resize(h.records.size());
        weights_.resize(h.records.size());
        for_ranges(items_.size(), kCopyGrain, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t k = lo; k < hi; ++k) {
                items_[k] = h.records[k].item;
                weights_[k] = h.records[k].weight;
            }
        });
    }

    Csr build(std::uint64_t n_items, Placement placement) {
        const std::size_t k = chunks_.size() - 1;
        own_.assign(n_, 0);
        cursor_.assign(k * n_, 0);
        // When the own entries are sure to fit a modest buffer, one pass
        // both sums them and counts the mirrored ones, and they are copied
        // into place once the row starts are known; otherwise a counting pass
        // goes first and the summing pass writes in place.
        const bool buffered =
            placement == Placement::Auto && own_entries_bound(0, n_) <= kBufferedEntries;
        if (buffered) {
            found_.assign(k, {});
            for_chunks([&](std::size_t c, std::size_t r, Scratch& s) {
                // Sized once, by the thread that fills it, instead of growing.
                if (r == chunks_[c]) found_[c].reserve(own_entries_bound(r, chunks_[c + 1]));
                collect_row<true>(r, h_, items_, weights_, idx_, kernel_, tau_, gather(r), s);
                own_[r] = static_cast<std::uint32_t>(s.touched.size());
                for (std::uint32_t col : s.touched) {
                    ++cursor_[c * n_ + col];
                    found_[c].push_back({col, static_cast<float>(s.sum[col])});
                }
            });
        } else {
            for_chunks([&](std::size_t c, std::size_t r, Scratch& s) {
                collect_row<false>(r, h_, items_, weights_, idx_, kernel_, tau_, gather(r), s);
                own_[r] = static_cast<std::uint32_t>(s.touched.size());
                for (std::uint32_t col : s.touched) ++cursor_[c * n_ + col];
            });
        }

        Csr csr;
        csr.indptr.assign(n_items + 1, 0);
        std::size_t nnz = 0;
        for (std::size_t r = 0; r < n_; ++r) {
            for (std::size_t c = 0; c < k; ++c) nnz += cursor_[c * n_ + r];
            nnz += own_[r];
            check_positions(nnz);
            csr.indptr[r + 1] = static_cast<std::int32_t>(nnz);
        }
        for (std::size_t r = n_; r < n_items; ++r)
            csr.indptr[r + 1] = static_cast<std::int32_t>(nnz);

        csr.indices.resize(nnz);
        csr.data.resize(nnz);
        if (buffered) {
            place_found(csr);
        } else {
            for_chunks([&](std::size_t, std::size_t r, Scratch& s) {
                collect_row<true>(r, h_, items_, weights_, idx_, kernel_, tau_, gather(r), s);
                std::size_t own = static_cast<std::size_t>(csr.indptr[r + 1]) - s.touched.size();
                for (std::uint32_t col : s.touched) {
                    csr.indices[own] = static_cast<std::int32_t>(col);
                    csr.data[own++] = static_cast<float>(s.sum[col]);
                }
            });
        }
        mirror(csr);
        return csr;
    }

  private:
    // An entry of a row with a larger column, found by the buffered pass.
    struct Found {
        std::uint32_t col;
        float value;
    };
    // At most this many own entries are buffered (8 bytes each).
    static constexpr std::size_t kBufferedEntries = std::size_t{1} << 24;

    // A bound on the own entries of rows [lo, hi): no row has more than
    // pairs to visit, nor more than the columns above it.
    std::size_t own_entries_bound(std::size_t lo, std::size_t hi) const {
        std::size_t bound = 0;
        for (std::size_t r = lo; r < hi; ++r) bound += std::min(work_[r], n_ - r - 1);
        return bound;
    }

    // Copies each chunk's buffered own entries to the end of their rows.
    void place_found(Csr& csr) {
        auto place = [&](std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                const Found* next = found_[c].data();
                for (std::size_t r = chunks_[c]; r < chunks_[c + 1]; ++r) {
                    std::size_t own = static_cast<std::size_t>(csr.indptr[r + 1]) - own_[r];
                    for (std::uint32_t e = 0; e < own_[r]; ++e, ++next, ++own) {
                        csr.indices[own] = static_cast<std::int32_t>(next->col);
                        csr.data[own] = next->value;
                    }
                }
                BigVector<Found>().swap(found_[c]);
            }
        };
        const std::size_t k = chunks_.size() - 1;
        if (parallel_)
            pool::parallel_for(0, k, 1, place);
        else
            place(0, k);
    }

    // Copies every own entry (r, c, v), c > r, to (c, r, v) in the mirrored
    // part of row c, which the count pass reserved at the row's start. The
    // targets are taken in blocks of rows whose mirrored parts together fit
    // in the cache; each block reads, from every smaller row, the run of its
    // own entries with columns inside the block (rows in order, so each
    // mirrored part fills ascending). Blocks write disjoint positions and run
    // on the pool.
    // Copies every own entry (r, c, v), c > r, to (c, r, v) in the mirrored
    // part of row c, which the count pass reserved at the row's start: chunk
    // by chunk, in the part of that space set aside for the chunk (its counts
    // in cursor_, turned here into positions), so chunks write disjoint
    // positions in parallel and, rows being visited in order, each mirrored
    // part fills ascending.
    void mirror(Csr& csr) {
        const std::size_t k = chunks_.size() - 1;
        std::uint32_t* at = cursor_.data();
        // Positions fit: the count pass checked nnz against int32.
        for_ranges(n_, kWorkGrain, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t col = lo; col < hi; ++col) {
                auto next = static_cast<std::uint32_t>(csr.indptr[col]);
                for (std::size_t c = 0; c < k; ++c) next += std::exchange(at[c * n_ + col], next);
            }
        });
        std::int32_t* indices = csr.indices.data();
        float* data = csr.data.data();
        const std::int32_t* indptr = csr.indptr.data();
        auto run = [&](std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c) {
                std::uint32_t* to = at + c * n_;
                for (std::size_t r = chunks_[c]; r < chunks_[c + 1]; ++r) {
                    const auto end = static_cast<std::size_t>(indptr[r + 1]);
                    for (std::size_t p = end - own_[r]; p < end; ++p) {
                        const std::uint32_t dst = to[indices[p]]++;
                        indices[dst] = static_cast<std::int32_t>(r);
                        data[dst] = data[p];
                    }
                }
            }
        };
        if (parallel_)
            pool::parallel_for(0, k, 1, run);
        else
            run(0, k);
    }

    static void check_positions(std::size_t nnz) {
        if (nnz > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw ValueError(
                "co-occurrence matrix has more entries than int32 positions can address");
    }

    // The dense path for rows that visit at least a quarter as many pairs as
    // there are columns above them: clearing and scanning those columns then
    // costs no more than a few checks per pair.
    Gather gather(std::size_t row) const {
        return 4 * work_[row] >= n_ - row - 1 ? Gather::Dense : Gather::Stamped;
    }

    // Chunk boundaries over rows with about equal numbers of pairs to visit
    // (kept per row in work_).
    std::vector<std::size_t> split_by_work(std::size_t k) {
        std::vector<std::size_t>& work = work_;
        work.resize(n_);
        // Ranges of rows in parallel.
        for_ranges(n_, kWorkGrain, [&](std::size_t lo, std::size_t hi) {
            for (std::size_t r = lo; r < hi; ++r) {
                std::size_t w = 0;
                for (std::size_t o = idx_.offsets[r]; o < idx_.offsets[r + 1]; ++o)
                    w += idx_.entries[o].end - idx_.entries[o].begin;
                work[r] = w;
            }
        });
        std::size_t total = 0;
        for (std::size_t r = 0; r < n_; ++r) total += work[r];
        std::vector<std::size_t> bounds{0};
        std::size_t seen = 0;
        for (std::size_t r = 0; r < n_ && bounds.size() < k; ++r) {
            seen += work[r];
            if (seen * k >= total * bounds.size()) bounds.push_back(r + 1);
        }
        if (bounds.back() != n_) bounds.push_back(n_);
        return bounds;
    }

    // Runs body(lo, hi) over [0, n) in ranges of `grain`, on the pool when
    // parallel.
    template <class Body>
    void for_ranges(std::size_t n, std::size_t grain, Body&& body) {
        if (parallel_)
            pool::parallel_for(0, n, grain, body);
        else
            body(0, n);
    }
    static constexpr std::size_t kCopyGrain = std::size_t{1} << 16;
    static constexpr std::size_t kWorkGrain = std::size_t{1} << 10;

    template <class Visit>
    void for_chunks(Visit&& visit) {
        auto run = [&](std::size_t lo, std::size_t hi) {
            Scratch& s = scratch_[parallel_ ? pool::worker_index() : 0];
            for (std::size_t c = lo; c < hi; ++c)
                for (std::size_t r = chunks_[c]; r < chunks_[c + 1]; ++r) visit(c, r, s);
        };
        const std::size_t k = chunks_.size() - 1;
        if (parallel_)
            pool::parallel_for(0, k, 1, run);
        else
            run(0, k);
    }

    const Histories& h_;
    const OccurrenceIndex& idx_;
    const Kernel& kernel_;
    bool parallel_;
    std::size_t n_;
    double tau_;
    std::vector<std::size_t> work_;  // pairs to visit per row
    std::vector<std::size_t> chunks_;
    std::vector<Scratch> scratch_;
    std::vector<BigVector<Found>> found_;  // per chunk: own entries, by row
    BigVector<std::uint32_t> items_;       // the item of each record
    BigVector<float> weights_;             // the weight of each record
    std::vector<std::uint32_t> own_;       // entries of each row with larger columns
    // [chunk * n + row]: entries the chunk mirrors into the row; while
    // mirroring, where its next one goes.
    std::vector<std::uint32_t> cursor_;
};

}  // namespace

Csr cooccurrence_matrix(Histories h, const Kernel& kernel, std::uint64_t n_items, bool parallel,
                        Placement placement) {
    sort_rows_by_item(h, parallel);
    const OccurrenceIndex idx = index_occurrences(h, parallel);
    return SymmetricBuilder(h, idx, kernel, parallel).build(n_items, placement);
}

}  // namespace tarsel::signals
