#include "signals/cooccurrence.hpp"

#include "frame/errors.hpp"
#include "frame/pool.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

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

Histories bucket_histories(std::span<const std::int64_t> rows,
                           std::span<const std::int64_t> items,
                           std::span<const float> weights,
                           std::optional<std::span<const double>> timestamps,
                           std::uint64_t n_rows, std::uint64_t n_items,
                           WeightFilter filter) {
    const std::size_t m = rows.size();
    auto kept = [&](std::size_t k) {
        return static_cast<std::uint64_t>(rows[k]) < n_rows &&
               static_cast<std::uint64_t>(items[k]) < n_items &&
               !(filter == WeightFilter::DropNonPositive && weights[k] <= 0.0f);
    };

    // Size everything by the largest index actually kept, not by the counts,
    // so a huge n_rows with little data costs nothing.
    std::size_t n_used_rows = 0, n_cols = 0;
    for (std::size_t k = 0; k < m; ++k) {
        if (!kept(k)) continue;
        if (timestamps && k >= timestamps->size()) index_failure(timestamps->size(), k);
        n_used_rows = std::max<std::size_t>(n_used_rows, static_cast<std::size_t>(rows[k]) + 1);
        n_cols = std::max<std::size_t>(n_cols, static_cast<std::size_t>(items[k]) + 1);
    }

    Histories h;
    h.n_cols = n_cols;
    h.offsets.assign(n_used_rows + 1, 0);
    for (std::size_t k = 0; k < m; ++k)
        if (kept(k)) ++h.offsets[static_cast<std::size_t>(rows[k]) + 1];
    for (std::size_t r = 0; r < n_used_rows; ++r) h.offsets[r + 1] += h.offsets[r];

    h.records.resize(h.offsets[n_used_rows]);
    std::vector<std::size_t> cursor(h.offsets.begin(), h.offsets.end() - 1);
    for (std::size_t k = 0; k < m; ++k) {
        if (!kept(k)) continue;
        double t = timestamps ? (*timestamps)[k] : 0.0;
        h.records[cursor[static_cast<std::size_t>(rows[k])]++] =
            Histories::Record{static_cast<std::uint32_t>(items[k]), weights[k], t};
    }
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
    std::vector<std::size_t> offsets;
    std::vector<Occurrence> entries;
};

void sort_rows_by_item(Histories& h, bool parallel) {
    auto sort_rows = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t r = lo; r < hi; ++r)
            std::stable_sort(h.records.begin() + static_cast<std::ptrdiff_t>(h.offsets[r]),
                             h.records.begin() + static_cast<std::ptrdiff_t>(h.offsets[r + 1]),
                             [](const auto& a, const auto& b) { return a.item < b.item; });
    };
    std::size_t n_rows = h.offsets.size() - 1;
    if (parallel)
        pool::parallel_for(0, n_rows, 256, sort_rows);
    else
        sort_rows(0, n_rows);
}

OccurrenceIndex index_occurrences(const Histories& h) {
    OccurrenceIndex idx;
    idx.offsets.assign(h.n_cols + 1, 0);
    const std::size_t n_rows = h.offsets.size() - 1;
    // Visit each row's runs of equal items; a run pairs with everything after it.
    auto for_each_run = [&](auto&& visit) {
        for (std::size_t r = 0; r < n_rows; ++r) {
            const std::size_t end = h.offsets[r + 1];
            for (std::size_t p = h.offsets[r]; p < end;) {
                std::size_t q = p;
                while (q < end && h.records[q].item == h.records[p].item) ++q;
                if (q < end)
                    for (std::size_t k = p; k < q; ++k) visit(k, q, end);
                p = q;
            }
        }
    };
    for_each_run([&](std::size_t k, std::size_t, std::size_t) {
        ++idx.offsets[h.records[k].item + 1];
    });
    for (std::size_t i = 0; i < h.n_cols; ++i) idx.offsets[i + 1] += idx.offsets[i];
    idx.entries.resize(idx.offsets[h.n_cols]);
    std::vector<std::size_t> cursor(idx.offsets.begin(), idx.offsets.end() - 1);
    for_each_run([&](std::size_t k, std::size_t begin, std::size_t end) {
        idx.entries[cursor[h.records[k].item]++] = Occurrence{k, begin, end};
    });
    return idx;
}

// Per-thread dense accumulator over the columns of one row at a time.
struct Accumulator {
    std::vector<double> sum;
    std::vector<std::uint32_t> mark;  // row + 1 when the column was touched for that row
    std::vector<std::uint32_t> touched;
    std::vector<std::pair<std::uint32_t, float>> out;  // this thread's upper-triangle entries

    explicit Accumulator(std::size_t n_cols) : sum(n_cols, 0.0), mark(n_cols, 0) {}
};

// Where a row's upper-triangle entries were written.
struct RowSlice {
    std::uint32_t worker = 0;
    std::size_t begin = 0;
    std::size_t size = 0;
};

template <bool Temporal>
void accumulate_row(std::uint32_t row, const Histories& h, const OccurrenceIndex& idx,
                    double alpha, double tau, Accumulator& acc, RowSlice& slice) {
    const auto* rec = h.records.data();
    const std::uint32_t stamp = row + 1;
    for (std::size_t o = idx.offsets[row]; o < idx.offsets[row + 1]; ++o) {
        const Occurrence& occ = idx.entries[o];
        const float wp = rec[occ.record].weight;
        const double tp = rec[occ.record].time;
        for (std::size_t q = occ.begin; q < occ.end; ++q) {
            const std::uint32_t col = rec[q].item;
            double w = static_cast<double>(wp * rec[q].weight);
            if constexpr (Temporal)
                w *= 1.0 + alpha / (1.0 + std::exp(std::fabs(tp - rec[q].time) / tau));
            if (acc.mark[col] != stamp) {
                acc.mark[col] = stamp;
                acc.sum[col] = 0.0;
                acc.touched.push_back(col);
            }
            acc.sum[col] += w;
        }
    }
    std::sort(acc.touched.begin(), acc.touched.end());
    slice.begin = acc.out.size();
    slice.size = acc.touched.size();
    for (std::uint32_t col : acc.touched)
        acc.out.emplace_back(col, static_cast<float>(acc.sum[col]));
    acc.touched.clear();
}

// Mirrors the upper triangle into the full symmetric CSR with ascending columns:
// row r holds first the entries (k, r) of rows k < r, then its own upper entries.
// The transpose runs in parallel over contiguous chunks of source rows: each
// chunk writes its mirrored entries at offsets reserved for it within every
// target row, so chunks never share a position and the order stays ascending.
class Mirror {
  public:
    Mirror(const std::vector<RowSlice>& slices, const std::vector<Accumulator>& accs,
           bool parallel)
        : slices_(slices), accs_(accs), n_(slices.size()),
          chunks_(split_rows(parallel ? pool::size() : 1)), parallel_(parallel) {}

    Csr build(std::uint64_t n_items) {
        const std::size_t k = chunks_.size() - 1;
        // cursor_[c * n + j]: first the count, then the next write position, of
        // chunk c's entries in row j.
        cursor_.assign(k * n_, 0);
        run_chunks([&](std::size_t c, std::size_t, const Entry* e, std::size_t size) {
            for (std::size_t i = 0; i < size; ++i) ++cursor_[c * n_ + e[i].first];
        });

        Csr csr;
        csr.indptr.assign(n_items + 1, 0);
        std::size_t nnz = 0;
        for (std::size_t r = 0; r < n_; ++r) {
            for (std::size_t c = 0; c < k; ++c) {
                std::uint32_t count = cursor_[c * n_ + r];
                cursor_[c * n_ + r] = static_cast<std::uint32_t>(nnz);
                nnz += count;
            }
            nnz += slices_[r].size;
            check_positions(nnz);
            csr.indptr[r + 1] = static_cast<std::int32_t>(nnz);
        }
        for (std::size_t r = n_; r < n_items; ++r) csr.indptr[r + 1] = static_cast<std::int32_t>(nnz);

        csr.indices.resize(nnz);
        csr.data.resize(nnz);
        run_chunks([&](std::size_t c, std::size_t r, const Entry* e, std::size_t size) {
            std::size_t own = static_cast<std::size_t>(csr.indptr[r + 1]) - size;
            for (std::size_t i = 0; i < size; ++i) {
                csr.indices[own] = static_cast<std::int32_t>(e[i].first);
                csr.data[own++] = e[i].second;
                std::uint32_t& other = cursor_[c * n_ + e[i].first];
                csr.indices[other] = static_cast<std::int32_t>(r);
                csr.data[other++] = e[i].second;
            }
        });
        return csr;
    }

  private:
    using Entry = std::pair<std::uint32_t, float>;

    static void check_positions(std::size_t nnz) {
        if (nnz > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
            throw ValueError("co-occurrence matrix has more entries than int32 positions can address");
    }

    // Chunk boundaries over rows with about equal numbers of entries.
    std::vector<std::size_t> split_rows(std::size_t k) const {
        std::size_t total = 0;
        for (const RowSlice& s : slices_) total += s.size;
        std::vector<std::size_t> bounds{0};
        std::size_t seen = 0;
        for (std::size_t r = 0; r < n_ && bounds.size() < k; ++r) {
            seen += slices_[r].size;
            if (seen * k >= total * bounds.size()) bounds.push_back(r + 1);
        }
        bounds.push_back(n_);
        return bounds;
    }

    template <class Visit>
    void run_chunks(Visit&& visit) {
        auto chunk_range = [&](std::size_t lo, std::size_t hi) {
            for (std::size_t c = lo; c < hi; ++c)
                for (std::size_t r = chunks_[c]; r < chunks_[c + 1]; ++r) {
                    const RowSlice& s = slices_[r];
                    visit(c, r, accs_[s.worker].out.data() + s.begin, s.size);
                }
        };
        const std::size_t k = chunks_.size() - 1;
        if (parallel_)
            pool::parallel_for(0, k, 1, chunk_range);
        else
            chunk_range(0, k);
    }

    const std::vector<RowSlice>& slices_;
    const std::vector<Accumulator>& accs_;
    std::size_t n_;
    std::vector<std::size_t> chunks_;
    bool parallel_;
    std::vector<std::uint32_t> cursor_;
};

}  // namespace

Csr cooccurrence_matrix(Histories h, const Kernel& kernel, std::uint64_t n_items,
                        bool parallel) {
    // tau = max(half_life * 86400, 1): NaN or non-positive half-lives give 1 second.
    const double tau = std::fmax(kernel.half_life_days * 86400.0, 1.0);
    sort_rows_by_item(h, parallel);
    const OccurrenceIndex idx = index_occurrences(h);

    const std::size_t workers = parallel ? pool::size() : 1;
    std::vector<Accumulator> accs;
    accs.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) accs.emplace_back(h.n_cols);
    std::vector<RowSlice> slices(h.n_cols);

    auto rows = [&](std::size_t lo, std::size_t hi) {
        const std::size_t w = parallel ? pool::worker_index() : 0;
        Accumulator& acc = accs[w];
        for (std::size_t r = lo; r < hi; ++r) {
            slices[r].worker = static_cast<std::uint32_t>(w);
            auto row = static_cast<std::uint32_t>(r);
            if (kernel.temporal())
                accumulate_row<true>(row, h, idx, kernel.alpha, tau, acc, slices[r]);
            else
                accumulate_row<false>(row, h, idx, kernel.alpha, tau, acc, slices[r]);
        }
    };
    if (parallel)
        pool::parallel_for(0, h.n_cols, 16, rows);
    else
        rows(0, h.n_cols);
    return Mirror(slices, accs, parallel).build(n_items);
}

}  // namespace tarsel::signals
