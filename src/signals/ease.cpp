#include "signals/ease.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <string>

// LAPACK from the scipy-openblas32 wheel: 32-bit integers, every symbol
// carries a scipy_ prefix. The trailing length is the hidden Fortran length
// of the one-character `uplo` argument.
extern "C" {
void scipy_dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info,
                   std::size_t uplo_len);
void scipy_dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info,
                   std::size_t uplo_len);
void scipy_openblas_set_num_threads(int num_threads);
}

namespace tarsel::signals {
namespace {

// ------------------------------------------------------ interaction matrix

// The rows of X, one per user index in use, users ascending; row r is
// entries [begin[r], end[r]): its distinct items ascending, each with the
// largest weight given for the pair.
struct SparseRows {
    struct Entry {
        std::uint32_t item;
        float weight;
    };
    std::vector<std::size_t> begin;
    std::vector<std::size_t> end;
    std::vector<Entry> entries;

    std::size_t rows() const { return begin.size(); }
};

// For every item, the rows of X that hold it, rows ascending: where the item
// sits in the row, where the row ends, and its weight there.
struct ItemPostings {
    struct Entry {
        std::size_t at;
        std::size_t row_end;
        double weight;
    };
    std::vector<std::size_t> offsets;
    std::vector<Entry> entries;
};

// Reads the interaction arrays: which interactions count, their weight and
// the row of X they belong to.
class Interactions {
  public:
    Interactions(std::span<const std::int64_t> users, std::span<const std::int64_t> items,
                 std::optional<std::span<const float>> weights, std::uint64_t n_users,
                 std::uint64_t n_items)
        : users_(users), items_(items), weights_(weights), n_users_(n_users), n_items_(n_items),
          size_(std::min(users.size(), items.size())) {
        // User indices are normally dense and serve as rows directly; when
        // they are too sparse to size a table by, rows are their ranks.
        if (n_users_ > 4 * static_cast<std::uint64_t>(size_) + 1024) {
            for (std::size_t k = 0; k < size_; ++k)
                if (kept_weight(k) != 0.0f) ids_.push_back(static_cast<std::uint64_t>(users_[k]));
            std::sort(ids_.begin(), ids_.end());
            ids_.erase(std::unique(ids_.begin(), ids_.end()), ids_.end());
            n_rows_ = ids_.size();
        } else {
            n_rows_ = static_cast<std::size_t>(n_users_);
        }
    }

    std::size_t size() const { return size_; }
    std::size_t rows() const { return n_rows_; }
    std::uint32_t item(std::size_t k) const { return static_cast<std::uint32_t>(items_[k]); }

    // The weight of interaction k, or 0 when it is skipped: an index out of
    // range (negatives compare as huge unsigned values) or a weight <= 0.
    // A NaN weight is kept, as nothing compares below it.
    float kept_weight(std::size_t k) const {
        if (static_cast<std::uint64_t>(users_[k]) >= n_users_ ||
            static_cast<std::uint64_t>(items_[k]) >= n_items_)
            return 0.0f;
        if (!weights_ || k >= weights_->size()) return 1.0f;
        const float w = (*weights_)[k];
        return w <= 0.0f ? 0.0f : w;
    }

    std::size_t row(std::size_t k) const {
        const auto user = static_cast<std::uint64_t>(users_[k]);
        if (ids_.empty()) return static_cast<std::size_t>(user);
        return static_cast<std::size_t>(std::lower_bound(ids_.begin(), ids_.end(), user) -
                                        ids_.begin());
    }

  private:
    std::span<const std::int64_t> users_, items_;
    std::optional<std::span<const float>> weights_;
    std::uint64_t n_users_, n_items_;
    std::size_t size_;
    std::size_t n_rows_ = 0;
    std::vector<std::uint64_t> ids_;  // sorted user indices in use, when ranked
};

// The kept interactions grouped by row (a counting sort), in input order
// within a row.
SparseRows bucket_rows(const Interactions& in) {
    SparseRows x;
    std::vector<std::size_t> start(in.rows() + 1, 0);
    for (std::size_t k = 0; k < in.size(); ++k)
        if (in.kept_weight(k) != 0.0f) ++start[in.row(k) + 1];
    for (std::size_t r = 0; r < in.rows(); ++r) start[r + 1] += start[r];
    x.entries.resize(start[in.rows()]);
    x.begin.assign(start.begin(), start.end() - 1);
    x.end = x.begin;
    for (std::size_t k = 0; k < in.size(); ++k) {
        const float w = in.kept_weight(k);
        if (w != 0.0f) x.entries[x.end[in.row(k)]++] = SparseRows::Entry{in.item(k), w};
    }
    return x;
}

// Collapses each row's repeated items to their largest weight (in place, the
// row shrinking) and sorts the row by item; rows in parallel.
void collapse_rows(SparseRows& x, std::size_t n_items) {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    struct Seen {
        std::vector<std::size_t> row;  // row that last listed the item
        std::vector<std::size_t> at;   // its entry there
    };
    std::vector<Seen> seen(pool::size());
    pool::parallel_for(0, x.rows(), 256, [&](std::size_t lo, std::size_t hi) {
        Seen& s = seen[pool::worker_index()];
        if (s.row.empty()) {
            s.row.assign(n_items, kNone);
            s.at.resize(n_items);
        }
        auto* e = x.entries.data();
        for (std::size_t r = lo; r < hi; ++r) {
            std::size_t out = x.begin[r];
            for (std::size_t k = x.begin[r]; k < x.end[r]; ++k) {
                const SparseRows::Entry it = e[k];
                if (s.row[it.item] == r) {
                    float& stored = e[s.at[it.item]].weight;
                    if (it.weight > stored) stored = it.weight;
                } else {
                    s.row[it.item] = r;
                    s.at[it.item] = out;
                    e[out++] = it;
                }
            }
            x.end[r] = out;
            std::sort(e + x.begin[r], e + out,
                      [](const auto& a, const auto& b) { return a.item < b.item; });
        }
    });
}

ItemPostings postings_by_item(const SparseRows& x, std::size_t n_items) {
    ItemPostings p;
    p.offsets.assign(n_items + 1, 0);
    for (std::size_t r = 0; r < x.rows(); ++r)
        for (std::size_t k = x.begin[r]; k < x.end[r]; ++k) ++p.offsets[x.entries[k].item + 1];
    for (std::size_t i = 0; i < n_items; ++i) p.offsets[i + 1] += p.offsets[i];
    p.entries.resize(p.offsets[n_items]);
    std::vector<std::size_t> cursor(p.offsets.begin(), p.offsets.end() - 1);
    for (std::size_t r = 0; r < x.rows(); ++r)
        for (std::size_t k = x.begin[r]; k < x.end[r]; ++k)
            p.entries[cursor[x.entries[k].item]++] =
                ItemPostings::Entry{k, x.end[r], x.entries[k].weight};
    return p;
}

// ------------------------------------------------------------ dense stages

// n as LAPACK's 32-bit order, refused when n x n doubles cannot be addressed.
int square_order(std::uint64_t n) {
    constexpr std::uint64_t max_elems = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (n > static_cast<std::uint64_t>(INT_MAX) || n * n > max_elems) throw std::bad_alloc();
    return static_cast<int>(n);
}

// The upper triangle (row-major, j >= i) of G = X^T X, row by row in
// parallel; the factorisation reads nothing else. Row i gathers, over the
// users holding i in ascending order, w_ui * w_uj into column j for the items
// j >= i of that user: every entry receives its products in user order, so
// the sums do not depend on the thread count.
void gram_upper(const SparseRows& x, const ItemPostings& by_item, std::size_t n, double* g) {
    pool::parallel_for(0, n, 8, [&](std::size_t lo, std::size_t hi) {
        const auto* e = x.entries.data();
        for (std::size_t i = lo; i < hi; ++i) {
            double* row = g + i * n;
            std::fill(row + i, row + n, 0.0);
            for (std::size_t p = by_item.offsets[i]; p < by_item.offsets[i + 1]; ++p) {
                const auto& holder = by_item.entries[p];
                for (std::size_t k = holder.at; k < holder.row_end; ++k)
                    row[e[k].item] += holder.weight * static_cast<double>(e[k].weight);
            }
        }
    });
}

void regularise_diagonal(double* g, std::size_t n, const EaseSettings& s) {
    for (std::size_t i = 0; i < n; ++i) {
        double& d = g[i * n + i];
        d = d + (s.lambda + s.delta * d);
    }
}

// Replaces the symmetric matrix held in the upper triangle of the row-major
// view of `a` (LAPACK's column-major lower triangle) by its inverse, held the
// same way.
void invert_spd_in_place(double* a, int n) {
    const char uplo = 'L';
    int info = 0;
    scipy_openblas_set_num_threads(static_cast<int>(std::min<std::size_t>(pool::size(), INT_MAX)));
    scipy_dpotrf_(&uplo, &n, a, &n, &info, 1);
    // LAPACK stops only at a pivot <= 0; a NaN pivot slips through its test
    // and must fail as well, so every pivot is checked to be strictly positive.
    bool positive = info == 0;
    for (std::size_t j = 0; positive && j < static_cast<std::size_t>(n); ++j)
        positive = a[j * static_cast<std::size_t>(n) + j] > 0.0;
    if (!positive)
        throw ValueError("Cholesky failed: Gram + λI not positive definite (λ too small?)");
    scipy_dpotri_(&uplo, &n, a, &n, &info, 1);
    if (info != 0) throw InternalFailure("dpotri failed with info " + std::to_string(info));
}

// B[i, j] = -P[i, j] / P[j, j] for i != j, with a zero diagonal, from P held
// in the upper triangle (j >= i) of the row-major buffer. Entries below the
// diagonal read P transposed, a tile at a time so that those reads stay in
// cache.
std::vector<float> weights_from_inverse(const double* p, std::size_t n) {
    std::vector<double> recip(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double d = p[j * n + j];
        if (d == 0.0) throw ValueError("diag(P)[" + std::to_string(j) + "] == 0; cannot form B");
        recip[j] = 1.0 / d;
    }
    auto weight = [&](double pij, std::size_t j) { return static_cast<float>(-(pij * recip[j])); };

    std::vector<float> b(n * n);
    constexpr std::size_t kTile = 64;
    pool::parallel_for(0, (n + kTile - 1) / kTile, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t t = lo; t < hi; ++t) {
            const std::size_t i0 = t * kTile, i1 = std::min(n, i0 + kTile);
            for (std::size_t j0 = 0; j0 < i1; j0 += kTile)
                for (std::size_t i = i0; i < i1; ++i)
                    for (std::size_t j = j0, j1 = std::min(i, j0 + kTile); j < j1; ++j)
                        b[i * n + j] = weight(p[j * n + i], j);
            for (std::size_t i = i0; i < i1; ++i)
                for (std::size_t j = i + 1; j < n; ++j) b[i * n + j] = weight(p[i * n + j], j);
        }
    });
    return b;
}

// B from G held in the upper triangle of the row-major buffer `a` (n x n),
// which is overwritten.
std::vector<float> weights_from_gram(double* a, std::size_t n, const EaseSettings& settings) {
    regularise_diagonal(a, n, settings);
    invert_spd_in_place(a, static_cast<int>(n));
    return weights_from_inverse(a, n);
}

}  // namespace

std::vector<float> fit_ease(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items,
                            std::optional<std::span<const float>> weights, std::uint64_t n_users,
                            std::uint64_t n_items, const EaseSettings& settings) {
    if (n_items == 0) return {};
    const int order = square_order(n_items);
    const auto n = static_cast<std::size_t>(order);

    // One buffer holds G, then its Cholesky factor, then P = G^-1, each in the
    // upper triangle of its row-major view; the lower triangle is never
    // touched, and the upper one is zeroed row by row in parallel.
    std::unique_ptr<double[]> a(new double[n * n]);
    {
        SparseRows x = bucket_rows(Interactions(users, items, weights, n_users, n));
        collapse_rows(x, n);
        gram_upper(x, postings_by_item(x, n), n, a.get());
    }
    return weights_from_gram(a.get(), n, settings);
}

std::vector<float> fit_ease_from_gram(std::vector<double> gram, std::uint64_t n_items,
                                      const EaseSettings& settings) {
    if (n_items == 0) return {};
    const auto n = static_cast<std::size_t>(square_order(n_items));
    if (gram.size() != n * n) throw ValueError("gram must be a square n_items x n_items matrix");
    return weights_from_gram(gram.data(), n, settings);
}

}  // namespace tarsel::signals
