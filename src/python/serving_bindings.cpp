// Python bindings of the serving methods of EngineState: recommend, the
// parallel batch, and the three in-place overrides.
#include "engine/recommend.hpp"
#include "python/call.hpp"
#include "python/engine_object.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tarsel::engine {
namespace {

using frame::Array1;
using frame::Ref;

// ------------------------------------------------------------------ results

// (item_indices, scores, base_kind) as three Python lists.
PyObject* result_tuple(const Recommendation& r) {
    const auto size = static_cast<Py_ssize_t>(r.items.size());
    Ref items = Ref::steal(PyList_New(size));
    Ref scores = Ref::steal(PyList_New(size));
    Ref labels = Ref::steal(PyList_New(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyList_SetItem(items.get(), i, frame::check(PyLong_FromLongLong(r.items[i])));
        PyList_SetItem(scores.get(), i, frame::check(PyFloat_FromDouble(r.scores[i])));
        // Interned: the four labels are shared objects, not one string per entry.
        PyList_SetItem(labels.get(), i,
                       frame::check(PyUnicode_InternFromString(label_text(r.labels[i]))));
    }
    return frame::check(PyTuple_Pack(3, items.get(), scores.get(), labels.get()));
}

// A list of result tuples, one per request.
PyObject* result_list(const std::vector<Recommendation>& results) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i)
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), result_tuple(results[i]));
    return out.release();
}

// ------------------------------------------------------------------ serving

PyObject* recommend(PyObject* self, std::vector<std::int64_t> owned, std::int64_t user_row,
                    std::uint64_t n, double pop_prior) {
    SharedBorrow borrow(self);
    // Kept for the thread's next request, so that a request allocates nothing
    // once the buffers have grown to the engine's sizes.
    thread_local RecommendScratch scratch;
    Recommendation found;
    {
        // The request reads only the borrowed record and this thread's scratch,
        // so other threads (a service's request pool) may run meanwhile.
        frame::ReleaseGil unlocked;
        found = engine::recommend(borrow.record(), borrow.index(), owned, user_row, n, pop_prior,
                                  scratch);
    }
    return result_tuple(found);
}

const bool registered_recommend = frame::define_method<&recommend>(
    "EngineState", "recommend($self, owned, user_row, n, pop_prior=0.0)",
    "Top-n recommendations for one user.\n\n"
    "`owned` lists the user's items, oldest first (entries outside the catalogue\n"
    "are ignored); `user_row` is the user's row in the user tables, negative when\n"
    "unknown; `pop_prior` weighs the popularity addend for new users.\n"
    "Returns (item_indices, scores, base_kind): a list of ints, a list of floats\n"
    "and a list of labels (\"ease\", \"cooc_fused\", \"cooc\" or \"cold_content\").");

// The most result entries (users x n, n capped by the catalogue) one
// recommend_batch call may produce: about 1.5 GiB as Python lists. Larger
// requests are served in pieces by the caller.
constexpr std::uint64_t kMaxBatchEntries = std::uint64_t{1} << 24;

void check_batch_size(std::size_t users, std::uint64_t n, std::uint64_t n_items) {
    const std::uint64_t per_user = std::min(n, n_items);
    if (per_user == 0 || users <= kMaxBatchEntries / per_user) return;
    throw ValueError("argument 'n': " + std::to_string(users) + " users x n=" + std::to_string(n) +
                     " asks for more than " + std::to_string(kMaxBatchEntries) +
                     " results in one recommend_batch call; pass fewer users per call");
}

PyObject* recommend_batch(PyObject* self, std::vector<std::vector<std::int64_t>> owneds,
                          std::vector<std::int64_t> user_rows, std::uint64_t n, double pop_prior) {
    SharedBorrow borrow(self);
    check_batch_size(std::min(owneds.size(), user_rows.size()), n, borrow.record().n_items);
    std::vector<Recommendation> results;
    {
        frame::ReleaseGil unlocked;
        results = engine::recommend_batch(borrow.record(), borrow.index(), owneds, user_rows, n,
                                          pop_prior);
    }
    return result_list(results);
}

const bool registered_recommend_batch = frame::define_method<&recommend_batch>(
    "EngineState", "recommend_batch($self, owneds, user_rows, n, pop_prior=0.0)",
    "Top-n recommendations for many users in parallel.\n\n"
    "`owneds[i]` / `user_rows[i]` describe user i; entries past the shorter of the\n"
    "two sequences are ignored. Entry i of the returned list equals\n"
    "`recommend(owneds[i], user_rows[i], n, pop_prior)`. Meant for full-catalogue\n"
    "evaluation: the per-user base sums, blends and retrievals run concurrently on\n"
    "the worker pool with the interpreter lock released. A failure for any user\n"
    "fails the whole call. One call returns at most 2**24 entries (users x n, with n\n"
    "capped at the catalogue size); ValueError naming `n` beyond that.");

PyObject* recommend_batch_priors(PyObject* self, std::vector<std::vector<std::int64_t>> owneds,
                                 std::vector<std::int64_t> user_rows, std::uint64_t n,
                                 std::vector<double> pop_priors) {
    SharedBorrow borrow(self);
    const std::size_t users = std::min(owneds.size(), user_rows.size());
    check_batch_size(users * std::max<std::size_t>(pop_priors.size(), 1), n,
                     borrow.record().n_items);
    std::vector<std::vector<Recommendation>> results;
    {
        frame::ReleaseGil unlocked;
        results = engine::recommend_batch_priors(borrow.record(), borrow.index(), owneds, user_rows,
                                                 n, pop_priors);
    }
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t w = 0; w < results.size(); ++w)
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(w), result_list(results[w]));
    return out.release();
}

const bool registered_recommend_batch_priors = frame::define_method<&recommend_batch_priors>(
    "EngineState", "recommend_batch_priors($self, owneds, user_rows, n, pop_priors)",
    "recommend_batch for several popularity weights at once.\n\n"
    "Entry w of the returned list equals `recommend_batch(owneds, user_rows, n,\n"
    "pop_priors[w])`. The work before the popularity addend is done once per user,\n"
    "so a grid of weights costs little more than one batch. The entry limit of\n"
    "recommend_batch applies to users x n x len(pop_priors).");

// ---------------------------------------------------------------- overrides

void set_channel_alphas(PyObject* self, double trend_alpha, double user_cf_alpha,
                        double last_item_alpha, double transition_alpha) {
    ExclusiveBorrow borrow(self);
    EngineRecord& record = borrow.record();
    record.trend_alpha = trend_alpha;
    record.user_cf_alpha = user_cf_alpha;
    record.last_item_alpha = last_item_alpha;
    record.transition_alpha = transition_alpha;
}

const bool registered_set_channel_alphas = frame::define_method<&set_channel_alphas>(
    "EngineState",
    "set_channel_alphas($self, trend_alpha, user_cf_alpha, last_item_alpha, transition_alpha)",
    "Replace the four channel weights in place; a weight <= 0 switches its\n"
    "channel off.");

void set_repeat_active(PyObject* self, bool active) {
    ExclusiveBorrow borrow(self);
    borrow.record().repeat_active = active;
}

const bool registered_set_repeat_active = frame::define_method<&set_repeat_active>(
    "EngineState", "set_repeat_active($self, active)",
    "Switch the repeat-consumption adjustment on or off in place.");

void set_repeat_profile(PyObject* self, Array1<std::int64_t> indptr, Array1<std::int64_t> items,
                        Array1<double> counts, Array1<double> last_ts, Array1<double> periods,
                        Array1<double> quality, double now_ts) {
    // Every copy is made before the record changes, so a failure leaves it whole.
    auto new_indptr = RecordArray<std::int64_t>(indptr.to_vector<BigVector<std::int64_t>>());
    auto new_items = RecordArray<std::int64_t>(items.to_vector<BigVector<std::int64_t>>());
    auto new_counts = RecordArray<double>(counts.to_vector<BigVector<double>>());
    auto new_last_ts = RecordArray<double>(last_ts.to_vector<BigVector<double>>());
    auto new_periods = RecordArray<double>(periods.to_vector<BigVector<double>>());
    auto new_quality = RecordArray<double>(quality.to_vector<BigVector<double>>());
    ExclusiveBorrow borrow(self);
    EngineRecord& record = borrow.record();
    record.repeat_indptr = std::move(new_indptr);
    record.repeat_items = std::move(new_items);
    record.repeat_counts = std::move(new_counts);
    record.repeat_last_ts = std::move(new_last_ts);
    record.repeat_periods = std::move(new_periods);
    record.repeat_quality = std::move(new_quality);
    record.repeat_now_ts = now_ts;
}

const bool registered_set_repeat_profile = frame::define_method<&set_repeat_profile>(
    "EngineState",
    "set_repeat_profile($self, indptr, items, counts, last_ts, periods, quality, now_ts)",
    "Replace the per-user repeat profile and its \"now\" instant in place.\n\n"
    "`indptr`, `items`: int64 arrays (a CSR over users); `counts`, `last_ts`,\n"
    "`periods`, `quality`: float64 arrays, one entry per profile position;\n"
    "`now_ts`: UNIX seconds. The arrays are copied and not checked against each\n"
    "other; the repeat switch and the multiplier settings stay as they are.");

}  // namespace
}  // namespace tarsel::engine
