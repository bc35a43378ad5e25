// Python bindings of the co-occurrence signals and item models.
#include "python/call.hpp"
#include "signals/cooc_transform.hpp"
#include "signals/cooccurrence.hpp"
#include "signals/cooccurrence_signal.hpp"
#include "signals/directional_cooc.hpp"
#include "signals/ease.hpp"
#include "signals/metadata_knn.hpp"
#include "signals/neighbour_cap.hpp"
#include "signals/session_cooccurrence.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

namespace tarsel::signals {
namespace {

using frame::Array1;
using frame::Array2;
using frame::ReleaseGil;

// The checks shared by the user- and session-level builders, in their order
// (after the kernel): contiguity of rows, items and weights, their lengths,
// timestamps under the temporal kernel; then the interactions grouped by row,
// with the interpreter lock released.
Histories checked_histories(const Kernel& kernel, const Array1<std::int64_t>& row_idx,
                            const Array1<std::int64_t>& item_idx, const Array1<float>& weights,
                            const std::optional<Array1<double>>& timestamps, std::uint64_t n_rows,
                            std::uint64_t n_items, const char* length_message, bool parallel) {
    auto rows = row_idx.span();
    auto items = item_idx.span();
    auto w = weights.span();
    if (rows.size() != items.size() || rows.size() != w.size()) throw ValueError(length_message);
    std::optional<std::span<const double>> times;
    if (kernel.temporal()) {
        if (!timestamps) throw ValueError("kernel='hybrid_temporal' requires timestamps");
        times = timestamps->span();
    }
    check_item_count(n_items);
    ReleaseGil unlocked;
    return bucket_histories(rows, items, w, times, n_rows, n_items, WeightFilter::KeepAll,
                            parallel);
}

std::tuple<BigVector<float>, BigVector<std::int32_t>, std::vector<std::int32_t>> build_cooccurrence(
    Array1<std::int64_t> user_idx, Array1<std::int64_t> item_idx, Array1<float> weights,
    std::uint64_t n_users, std::uint64_t n_items, std::string kernel_name, double alpha,
    double half_life_days, std::optional<Array1<double>> timestamps) {
    const Kernel kernel = parse_kernel(kernel_name, alpha, half_life_days);
    Histories histories =
        checked_histories(kernel, user_idx, item_idx, weights, timestamps, n_users, n_items,
                          "user_idx, item_idx, weights must have equal length", /*parallel=*/true);
    Csr csr;
    {
        ReleaseGil unlocked;
        csr = cooccurrence_matrix(std::move(histories), kernel, n_items, /*parallel=*/true);
    }
    return {std::move(csr.data), std::move(csr.indices), std::move(csr.indptr)};
}

const bool registered_build_cooccurrence = frame::define_function<&build_cooccurrence>(
    "build_cooccurrence(user_idx, item_idx, weights, n_users, n_items, kernel=\"pure_count\", "
    "alpha=1.0, half_life_days=30.0, timestamps=None)",
    "Symmetric item-item co-occurrence from user histories.\n\n"
    "Entry (i, j) sums, over every user and every pair of that user's interactions\n"
    "with distinct items i and j, the product of the two weights. Under\n"
    "kernel=\"hybrid_temporal\" each product is scaled by\n"
    "1 + alpha / (1 + exp(|t_p - t_q| / tau)), tau = max(half_life_days * 86400, 1) s.\n"
    "Interactions whose user or item index is out of range (negatives included)\n"
    "are skipped. Runs on the worker pool with the interpreter lock released.\n\n"
    "Returns (data float32, indices int32, indptr int32) of the n_items x n_items\n"
    "CSR matrix: symmetric, no diagonal, columns ascending within each row.");

// ------------------------------------------------------------- sessions

// A CSR triple as three Python lists (floats, ints, ints).
using CsrLists =
    std::tuple<frame::List<float, BigAllocator<float>>,
               frame::List<std::int32_t, BigAllocator<std::int32_t>>, frame::List<std::int32_t>>;

CsrLists as_lists(Csr&& csr) {
    return {{std::move(csr.data)}, {std::move(csr.indices)}, {std::move(csr.indptr)}};
}

CsrLists build_session_cooccurrence(Array1<std::int64_t> session_idx, Array1<std::int64_t> item_idx,
                                    Array1<float> weights, std::uint64_t n_sessions,
                                    std::uint64_t n_items, std::string kernel_name, double alpha,
                                    double half_life_days,
                                    std::optional<Array1<double>> timestamps) {
    const Kernel kernel = parse_kernel(kernel_name, alpha, half_life_days);
    Histories histories = checked_histories(
        kernel, session_idx, item_idx, weights, timestamps, n_sessions, n_items,
        "session_idx, item_idx, weights must have equal length", /*parallel=*/false);
    // Sessions are short, so counting their pairs first costs little, and
    // the two-pass build needs no buffer.
    return as_lists(cooccurrence_matrix(std::move(histories), kernel, n_items, /*parallel=*/false,
                                        Placement::TwoPasses));
}

const bool registered_build_session_cooccurrence =
    frame::define_function<&build_session_cooccurrence>(
        "build_session_cooccurrence(session_idx, item_idx, weights, n_sessions, n_items, "
        "kernel=\"pure_count\", alpha=1.0, half_life_days=30.0, timestamps=None)",
        "Symmetric item-item co-occurrence with sessions as rows.\n\n"
        "The same matrix as build_cooccurrence with sessions in place of users,\n"
        "computed on the calling thread, returned as three lists (data floats,\n"
        "indices ints, indptr ints).");

const bool registered_build_session_cooccurrence_arrays =
    frame::define_function<frame::arrays_of<&build_session_cooccurrence>>(
        "_build_session_cooccurrence_arrays(session_idx, item_idx, weights, n_sessions, n_items, "
        "kernel=\"pure_count\", alpha=1.0, half_life_days=30.0, timestamps=None)",
        "build_session_cooccurrence returning NumPy arrays (float32, int32, int32).");

double deep_session_fraction(std::vector<std::int64_t> session_idx,
                             std::vector<std::int64_t> item_idx) {
    return fraction_of_deep_sessions(session_idx, item_idx);
}

const bool registered_deep_session_fraction = frame::define_function<&deep_session_fraction>(
    "deep_session_fraction(session_idx, item_idx)",
    "Share of sessions holding at least two distinct items.\n\n"
    "Only the first min(len(session_idx), len(item_idx)) positions are read; any\n"
    "integer ids count. 0.0 when there is no session.");

// ------------------------------------------------------------ directions

CsrLists build_directional_cooc(Array1<std::int64_t> session_idx, Array1<std::int64_t> item_idx,
                                Array1<float> weights, std::uint64_t n_sessions,
                                std::uint64_t n_items, std::optional<Array1<double>> timestamps) {
    auto sessions = session_idx.span();
    auto items = item_idx.span();
    auto w = weights.span();
    check_item_count(n_items);
    // Unequal lengths are not an error: the shortest governs.
    const std::size_t m = std::min({sessions.size(), items.size(), w.size()});
    if (n_items == 0 || m == 0) {
        Csr empty;
        empty.indptr.assign(static_cast<std::size_t>(n_items) + 1, 0);
        return as_lists(std::move(empty));
    }
    std::optional<std::span<const double>> times;
    if (timestamps) times = timestamps->span();
    Histories histories = bucket_histories(sessions.first(m), items.first(m), w.first(m), times,
                                           n_sessions, n_items, WeightFilter::DropNonPositive);
    return as_lists(directional_cooccurrence(std::move(histories), times.has_value(), n_items));
}

const bool registered_build_directional_cooc = frame::define_function<&build_directional_cooc>(
    "build_directional_cooc(session_idx, item_idx, weights, n_sessions, n_items, "
    "timestamps=None)",
    "Ordered co-occurrence of directly adjacent session items.\n\n"
    "Entry (i, j) sums w_p * w_next over every place where item j directly follows\n"
    "a different item i in a session ordered by timestamps (stable; array order\n"
    "without timestamps). Out-of-range indices and weights <= 0 are dropped; the\n"
    "shortest array governs. Returns (data, indices, indptr) as lists.");

const bool registered_build_directional_cooc_arrays =
    frame::define_function<frame::arrays_of<&build_directional_cooc>>(
        "_build_directional_cooc_arrays(session_idx, item_idx, weights, n_sessions, n_items, "
        "timestamps=None)",
        "build_directional_cooc returning NumPy arrays (float32, int32, int32).");

CsrLists symmetrize_via_transpose(Array1<float> data, Array1<std::int32_t> indices,
                                  Array1<std::int32_t> indptr) {
    return as_lists(symmetrized(CsrView{data.span(), indices.span(), indptr.span()}));
}

const bool registered_symmetrize_via_transpose = frame::define_function<&symmetrize_via_transpose>(
    "symmetrize_via_transpose(data, indices, indptr)",
    "D + D^T of a square CSR (data float32, indices int32, indptr int32).\n\n"
    "W[i, j] = D[i, j] + D[j, i] in single precision: one-sided entries are\n"
    "copied, diagonal entries double. Returns (data, indices, indptr) as lists.");

const bool registered_symmetrize_via_transpose_arrays =
    frame::define_function<frame::arrays_of<&symmetrize_via_transpose>>(
        "_symmetrize_via_transpose_arrays(data, indices, indptr)",
        "symmetrize_via_transpose returning NumPy arrays (float32, int32, int32).");

// ------------------------------------------------------------ transforms

std::vector<float> cooc_transform(Array1<float> data, Array1<std::int32_t> indices,
                                  Array1<std::int32_t> indptr, Array1<double> item_counts,
                                  std::string transform, double wilson_z) {
    // The name is checked first, so a misspelt name fails even on an empty matrix.
    const CoocTransform kind = parse_cooc_transform(transform);
    const CsrView csr{data.span(), indices.span(), indptr.span()};
    return transform_cooc(csr, item_counts.span(), kind, wilson_z);
}

const bool registered_cooc_transform = frame::define_function<&cooc_transform>(
    "cooc_transform(data, indices, indptr, item_counts, transform, wilson_z=1.96)",
    "Rescale the values of a co-occurrence CSR by the counts of its two items.\n\n"
    "transform is \"raw\" (a copy), \"cosine\" v / sqrt(c_r c_c), \"jaccard\"\n"
    "v / max(c_r + c_c - v, 1) or \"wilson\" (the smaller Wilson lower bound of\n"
    "v / c over the two counts, with z = wilson_z). Counts are max(count, 1), and\n"
    "1 for items beyond item_counts. Returns a new float32 array like data.");

std::tuple<BigVector<float>, BigVector<std::int32_t>, std::vector<std::int32_t>> cap_neighbours(
    Array1<float> data, Array1<std::int32_t> indices, Array1<std::int32_t> indptr,
    std::uint64_t k) {
    const std::span<const float> values = data.span_or_internal("data must be contiguous");
    const std::span<const std::int32_t> columns =
        indices.span_or_internal("indices must be contiguous");
    const std::span<const std::int32_t> offsets =
        indptr.span_or_internal("indptr must be contiguous");
    CappedCsr csr;
    {
        ReleaseGil unlocked;
        csr = signals::cap_neighbours(values, columns, offsets, k);
    }
    return {std::move(csr.data), std::move(csr.indices), std::move(csr.indptr)};
}

const bool registered_cap_neighbours = frame::define_function<&cap_neighbours>(
    "cap_neighbours(data, indices, indptr, k)",
    "Each row of a CSR graph cut to its k largest values.\n\n"
    "Equal values keep the smaller column first; NaN ranks below every number.\n"
    "Kept entries stay in their stored order, rows of at most k entries stay whole.\n"
    "indptr must start at 0, never decrease and end at len(data) == len(indices).\n"
    "Runs on the worker pool with the interpreter lock released. Returns new\n"
    "(data float32, indices int32, indptr int32) arrays.");

// ------------------------------------------------- scoring and retrieval

std::vector<double> cooccurrence_signal(Array1<float> data, Array1<std::int32_t> indices,
                                        Array1<std::int32_t> indptr,
                                        std::vector<std::uint64_t> owned_indices,
                                        std::vector<std::int64_t> candidate_indices) {
    const CsrView csr{data.span_or_internal("data must be contiguous"),
                      indices.span_or_internal("indices must be contiguous"),
                      indptr.span_or_internal("indptr must be contiguous")};
    return candidate_scores(csr, owned_indices, candidate_indices);
}

const bool registered_cooccurrence_signal = frame::define_function<&cooccurrence_signal>(
    "cooccurrence_signal(data, indices, indptr, owned_indices, candidate_indices)",
    "Summed co-occurrence rows of the owned items, read at each candidate.\n\n"
    "Equals adjacency[owned_indices].sum(axis=0)[candidate_indices] for the square\n"
    "CSR (data float32, indices int32, indptr int32). Owned indices past the rows\n"
    "are skipped; an item owned twice adds its row twice; candidates outside the\n"
    "matrix score 0.0. Returns a float64 array, one entry per candidate.");

std::tuple<frame::List<std::int64_t>, frame::List<double>> cooccurrence_retrieve(
    Array1<float> data, Array1<std::int32_t> indices, Array1<std::int32_t> indptr,
    std::vector<std::uint64_t> owned_indices, std::uint64_t budget, bool include_owned) {
    const CsrView csr{data.span_or_internal("data contiguous"),
                      indices.span_or_internal("indices contiguous"),
                      indptr.span_or_internal("indptr contiguous")};
    Retrieved top = retrieve_top(csr, owned_indices, budget, include_owned);
    return {frame::List<std::int64_t>{std::move(top.items)},
            frame::List<double>{std::move(top.scores)}};
}

const bool registered_cooccurrence_retrieve = frame::define_function<&cooccurrence_retrieve>(
    "cooccurrence_retrieve(data, indices, indptr, owned_indices, budget, include_owned=False)",
    "Top-budget items by summed co-occurrence rows of the owned items.\n\n"
    "Only items with a summed score > 0 qualify; unless include_owned, owned items\n"
    "are excluded. Returns (item_indices, scores) as two lists ordered by score\n"
    "descending, equal scores by the smaller item index.");

// ------------------------------------------------------------ item models

frame::Matrix<float> fit_ease_py(Array1<std::int64_t> user_idx, Array1<std::int64_t> item_idx,
                                 std::uint64_t n_users, std::uint64_t n_items, double lambda,
                                 std::optional<Array1<float>> weights, double delta) {
    // Owned copies: the caller's arrays may change once the lock is released.
    auto users = user_idx.span();
    auto items = item_idx.span();
    std::optional<std::span<const float>> given;
    if (weights) given = weights->span();
    const std::vector<std::int64_t> user_copy(users.begin(), users.end());
    const std::vector<std::int64_t> item_copy(items.begin(), items.end());
    std::optional<std::vector<float>> weight_copy;
    if (given) weight_copy.emplace(given->begin(), given->end());

    frame::Matrix<float> b;
    {
        ReleaseGil unlocked;
        std::optional<std::span<const float>> w;
        if (weight_copy) w = std::span<const float>(*weight_copy);
        b.data = fit_ease(user_copy, item_copy, w, n_users, n_items, EaseSettings{lambda, delta});
    }
    b.rows = b.cols = static_cast<std::size_t>(n_items);
    return b;
}

const bool registered_fit_ease_py = frame::define_function<&fit_ease_py>(
    "fit_ease_py(user_idx, item_idx, n_users, n_items, lambda_=250.0, weights=None, delta=0.0)",
    "EASE item-item weight matrix.\n\n"
    "X[u, i] is the largest positive weight given for the pair (weights=None: 1.0;\n"
    "interactions past the end of weights: 1.0; weights <= 0 and out-of-range or\n"
    "negative indices are skipped). With G = X^T X, diag(G) += lambda_ + delta * diag(G)\n"
    "and P = G^-1 (Cholesky), B[i, j] = -P[i, j] / P[j, j] with a zero diagonal.\n"
    "Releases the interpreter lock while it fits.\n\n"
    "Returns B as a float32 array of shape (n_items, n_items); row i holds the\n"
    "contributions of item i to every item's score.");

frame::Matrix<float> fit_ease_gram_py(Array2<double> gram, double lambda, double delta) {
    if (gram.rows() != gram.cols()) throw ValueError("gram must be a square matrix");
    const std::size_t n = gram.rows();
    std::vector<double> copy = gram.to_row_major();
    frame::Matrix<float> b;
    {
        ReleaseGil unlocked;
        b.data = fit_ease_from_gram(std::move(copy), n, EaseSettings{lambda, delta});
    }
    b.rows = b.cols = n;
    return b;
}

const bool registered_fit_ease_gram_py = frame::define_function<&fit_ease_gram_py>(
    "fit_ease_gram_py(gram, lambda_=250.0, delta=0.0)",
    "EASE item-item weight matrix from a Gram matrix already formed.\n\n"
    "gram is G = X^T X as a float64 (n_items, n_items) array, any layout; only its\n"
    "upper triangle (j >= i) is read. The result is that of fit_ease_py for an X\n"
    "with this Gram matrix, so G may be summed from the contributions of disjoint\n"
    "groups of users. Raises ValueError for a non-square gram and as fit_ease_py.\n"
    "Releases the interpreter lock while it fits.");

std::tuple<frame::List<std::int64_t>, frame::List<std::int64_t>, frame::List<double>> metadata_knn(
    Array1<float> feat_data, Array1<std::int32_t> feat_indices, Array1<std::int32_t> feat_indptr,
    std::uint64_t n_features, std::uint64_t top_k, std::uint64_t max_df) {
    auto data = feat_data.span();
    auto indices = feat_indices.span();
    auto indptr = feat_indptr.span();
    Neighbours nn =
        metadata_neighbours(data, indices, indptr, KnnSettings{n_features, top_k, max_df});
    return {{std::move(nn.items)}, {std::move(nn.neighbours)}, {std::move(nn.scores)}};
}

const bool registered_metadata_knn = frame::define_function<&metadata_knn>(
    "metadata_knn(feat_data, feat_indices, feat_indptr, n_features, top_k=20, max_df=0)",
    "Top-k item neighbours by shared weighted features.\n\n"
    "The score of items (i, o) is the dot product of their rows of the item x\n"
    "feature CSR matrix (feat_data, feat_indices, feat_indptr); feature indices\n"
    "outside [0, n_features) are ignored, and with max_df > 0 features carried by\n"
    "more than max_df entries are dropped. Each item keeps at most top_k other\n"
    "items with a score > 0. Runs on the worker pool.\n\n"
    "Returns (items, neighbours, scores), three lists grouped by item ascending;\n"
    "within an item by descending score, equal scores by the smaller neighbour.");

const bool registered_metadata_knn_arrays = frame::define_function<frame::arrays_of<&metadata_knn>>(
    "_metadata_knn_arrays(feat_data, feat_indices, feat_indptr, n_features, top_k=20, max_df=0)",
    "metadata_knn returning NumPy arrays (int64, int64, float64).");

}  // namespace
}  // namespace tarsel::signals
