#include "signals/ease.hpp"

#include "frame/errors.hpp"
#include "frame/pool.hpp"

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

struct Interaction {
    std::uint64_t user;
    std::uint32_t item;
    double weight;
};

// The rows of X: users in ascending index order, each row its distinct items
// in order of first appearance. Users without a kept interaction are left
// out; they add nothing to the Gram matrix.
struct SparseRows {
    struct Entry {
        std::uint32_t item;
        double weight;
    };
    std::vector<std::size_t> offsets{0};
    std::vector<Entry> entries;
};

// For every item, the rows of X that hold it, rows ascending.
struct ItemPostings {
    struct Entry {
        std::size_t row;
        double weight;
    };
    std::vector<std::size_t> offsets;
    std::vector<Entry> entries;
};

std::vector<Interaction> kept_interactions(std::span<const std::int64_t> users,
                                           std::span<const std::int64_t> items,
                                           std::optional<std::span<const float>> weights,
                                           std::uint64_t n_users, std::uint64_t n_items) {
    const std::size_t m = std::min(users.size(), items.size());
    std::vector<Interaction> kept;
    kept.reserve(m);
    for (std::size_t k = 0; k < m; ++k) {
        // Negative indices compare as huge unsigned values and fail the same test.
        const auto u = static_cast<std::uint64_t>(users[k]);
        const auto i = static_cast<std::uint64_t>(items[k]);
        if (u >= n_users || i >= n_items) continue;
        double w = 1.0;
        if (weights && k < weights->size()) {
            const float given = (*weights)[k];
            if (given <= 0.0f) continue;
            w = given;
        }
        kept.push_back(Interaction{u, static_cast<std::uint32_t>(i), w});
    }
    return kept;
}

// Stable reordering by user. User indices are usually dense, so a counting
// sort sized by the largest one does; a few huge indices fall back to a
// comparison sort instead of a huge count table.
void order_by_user(std::vector<Interaction>& kept) {
    if (kept.empty()) return;
    std::uint64_t max_user = 0;
    for (const Interaction& x : kept) max_user = std::max(max_user, x.user);
    if (max_user > 4 * static_cast<std::uint64_t>(kept.size()) + 1024) {
        std::stable_sort(kept.begin(), kept.end(),
                         [](const Interaction& a, const Interaction& b) { return a.user < b.user; });
        return;
    }
    std::vector<std::size_t> start(static_cast<std::size_t>(max_user) + 2, 0);
    for (const Interaction& x : kept) ++start[x.user + 1];
    for (std::size_t u = 1; u < start.size(); ++u) start[u] += start[u - 1];
    std::vector<Interaction> sorted(kept.size());
    for (const Interaction& x : kept) sorted[start[x.user]++] = x;
    kept.swap(sorted);
}

// Collapses repeated (user, item) pairs to the largest weight given for them.
SparseRows distinct_rows(const std::vector<Interaction>& by_user, std::size_t n_items) {
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    std::vector<std::size_t> owner(n_items, kNone);  // row that last listed the item
    std::vector<std::size_t> slot(n_items);          // its entry within that row
    SparseRows x;
    for (std::size_t k = 0; k < by_user.size();) {
        const std::size_t row = x.offsets.size() - 1;
        const std::uint64_t user = by_user[k].user;
        for (; k < by_user.size() && by_user[k].user == user; ++k) {
            const Interaction& it = by_user[k];
            if (owner[it.item] == row) {
                double& stored = x.entries[slot[it.item]].weight;
                if (it.weight > stored) stored = it.weight;
            } else {
                owner[it.item] = row;
                slot[it.item] = x.entries.size();
                x.entries.push_back(SparseRows::Entry{it.item, it.weight});
            }
        }
        x.offsets.push_back(x.entries.size());
    }
    return x;
}

SparseRows interaction_rows(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items,
                            std::optional<std::span<const float>> weights,
                            std::uint64_t n_users, std::size_t n_items) {
    std::vector<Interaction> kept = kept_interactions(users, items, weights, n_users, n_items);
    order_by_user(kept);
    return distinct_rows(kept, n_items);
}

ItemPostings postings_by_item(const SparseRows& x, std::size_t n_items) {
    ItemPostings p;
    p.offsets.assign(n_items + 1, 0);
    for (const auto& e : x.entries) ++p.offsets[e.item + 1];
    for (std::size_t i = 0; i < n_items; ++i) p.offsets[i + 1] += p.offsets[i];
    p.entries.resize(x.entries.size());
    std::vector<std::size_t> cursor(p.offsets.begin(), p.offsets.end() - 1);
    for (std::size_t r = 0; r + 1 < x.offsets.size(); ++r)
        for (std::size_t k = x.offsets[r]; k < x.offsets[r + 1]; ++k)
            p.entries[cursor[x.entries[k].item]++] = ItemPostings::Entry{r, x.entries[k].weight};
    return p;
}

// ------------------------------------------------------------ dense stages

// n as LAPACK's 32-bit order, refused when n x n doubles cannot be addressed.
int square_order(std::uint64_t n) {
    constexpr std::uint64_t max_elems = std::numeric_limits<std::size_t>::max() / sizeof(double);
    if (n > static_cast<std::uint64_t>(INT_MAX) || n * n > max_elems) throw std::bad_alloc();
    return static_cast<int>(n);
}

// G = X^T X, row by row in parallel. Row i gathers, over the users holding i
// in ascending order, w_ui * w_uj into column j: every entry receives its
// products in user order, so the sums do not depend on the thread count.
void gram_matrix(const SparseRows& x, const ItemPostings& by_item, std::size_t n, double* g) {
    pool::parallel_for(0, n, 8, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            double* row = g + i * n;
            std::fill(row, row + n, 0.0);
            for (std::size_t p = by_item.offsets[i]; p < by_item.offsets[i + 1]; ++p) {
                const auto& holder = by_item.entries[p];
                const auto* e = x.entries.data();
                for (std::size_t k = x.offsets[holder.row]; k < x.offsets[holder.row + 1]; ++k)
                    row[e[k].item] += holder.weight * e[k].weight;
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

// Replaces the symmetric matrix in `a` by its inverse, in the upper triangle
// of the row-major view (LAPACK's column-major lower triangle).
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
    if (!positive) throw ValueError("Cholesky failed: Gram + λI not positive definite (λ too small?)");
    scipy_dpotri_(&uplo, &n, a, &n, &info, 1);
    if (info != 0) throw InternalFailure("dpotri failed with info " + std::to_string(info));
}

// Copies the upper triangle onto the lower one, tile by tile so that the
// transposed reads stay in cache.
void mirror_upper_to_lower(double* a, std::size_t n) {
    constexpr std::size_t kTile = 64;
    const std::size_t tiles = (n + kTile - 1) / kTile;
    pool::parallel_for(0, tiles, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t t = lo; t < hi; ++t) {
            const std::size_t i0 = t * kTile, i1 = std::min(n, i0 + kTile);
            for (std::size_t j0 = 0; j0 <= i0; j0 += kTile)
                for (std::size_t i = i0; i < i1; ++i)
                    for (std::size_t j = j0, j1 = std::min(i, j0 + kTile); j < j1; ++j)
                        a[i * n + j] = a[j * n + i];
        }
    });
}

// B[i, j] = -P[i, j] / P[j, j] for i != j, zero diagonal; P full, row-major.
std::vector<float> weights_from_inverse(const double* p, std::size_t n) {
    std::vector<double> recip(n);
    for (std::size_t j = 0; j < n; ++j) {
        const double d = p[j * n + j];
        if (d == 0.0)
            throw ValueError("diag(P)[" + std::to_string(j) + "] == 0; cannot form B");
        recip[j] = 1.0 / d;
    }
    std::vector<float> b(n * n);
    pool::parallel_for(0, n, 16, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            const double* row = p + i * n;
            float* out = b.data() + i * n;
            for (std::size_t j = 0; j < n; ++j) out[j] = static_cast<float>(-(row[j] * recip[j]));
            out[i] = 0.0f;
        }
    });
    return b;
}

}  // namespace

std::vector<float> fit_ease(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items,
                            std::optional<std::span<const float>> weights,
                            std::uint64_t n_users, std::uint64_t n_items,
                            const EaseSettings& settings) {
    if (n_items == 0) return {};
    const int order = square_order(n_items);
    const auto n = static_cast<std::size_t>(order);

    // One buffer holds G, then its Cholesky factor, then P = G^-1; it is
    // filled row by row in parallel, so it is not zeroed up front.
    std::unique_ptr<double[]> a(new double[n * n]);
    {
        const SparseRows x = interaction_rows(users, items, weights, n_users, n);
        gram_matrix(x, postings_by_item(x, n), n, a.get());
    }
    regularise_diagonal(a.get(), n, settings);
    invert_spd_in_place(a.get(), order);
    mirror_upper_to_lower(a.get(), n);
    return weights_from_inverse(a.get(), n);
}

}  // namespace tarsel::signals
