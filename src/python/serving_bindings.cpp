// Python bindings of the serving methods of EngineState: recommend, the
// parallel batches, and the three in-place overrides.
#include "engine/recommend.hpp"
#include "python/call.hpp"
#include "python/engine_object.hpp"

#include <algorithm>
#include <array>
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

// ---------------------------------------------------------- repeat profiles

// The six arrays of a repeat profile, in set_repeat_profile's order.
constexpr std::array<const char*, 6> kProfileArrays = {"indptr",  "items",   "counts",
                                                       "last_ts", "periods", "quality"};

// A flat run of the caller's array: a view of it when it lies in one, a copy
// in element order otherwise.
template <class T>
RecordArray<T> flat(const Array1<T>& array) {
    if (array.contiguous()) return RecordArray<T>::view_of(array.span());
    return RecordArray<T>(array.template to_vector<BigVector<T>>());
}

// A repeat profile's arrays as flat runs, valid while the caller's arrays
// are; copying the struct gives one that owns its elements. The arrays are
// not checked against each other: the repeat step bounds-checks every
// position it reads.
struct ProfileArrays {
    RecordArray<std::int64_t> indptr, items;
    RecordArray<double> counts, last_ts, periods, quality;

    ProfileArrays(const Array1<std::int64_t>& indptr_, const Array1<std::int64_t>& items_,
                  const Array1<double>& counts_, const Array1<double>& last_ts_,
                  const Array1<double>& periods_, const Array1<double>& quality_)
        : indptr(flat(indptr_)), items(flat(items_)), counts(flat(counts_)),
          last_ts(flat(last_ts_)), periods(flat(periods_)), quality(flat(quality_)) {}

    RepeatProfile view() const { return {indptr, items, counts, last_ts, periods, quality}; }
};

// One profile tuple converted as set_repeat_profile converts its arguments.
ProfileArrays take_profile(PyObject* profile) {
    if (!PyTuple_Check(profile)) frame::throw_cannot_convert(profile, "PyTuple");
    const Py_ssize_t size = PyTuple_Size(profile);
    if (size != static_cast<Py_ssize_t>(kProfileArrays.size()))
        throw TypeError("holds " + std::to_string(size) +
                        " arrays, not the 6 of (indptr, items, counts, last_ts, periods, quality)");
    // Array i as the argument of that name; a failure names it.
    auto array = [profile]<class T>(std::size_t i, T) {
        try {
            return frame::Arg<Array1<T>>::convert(
                PyTuple_GetItem(profile, static_cast<Py_ssize_t>(i)));
        } catch (const TypeError& e) {
            throw TypeError(std::string("array '") + kProfileArrays[i] + "': " + e.message());
        }
    };
    // in order, so that the first bad array is the one named
    const auto indptr = array(0, std::int64_t{});
    const auto items = array(1, std::int64_t{});
    const auto counts = array(2, 0.0);
    const auto last_ts = array(3, 0.0);
    const auto periods = array(4, 0.0);
    const auto quality = array(5, 0.0);
    return ProfileArrays(indptr, items, counts, last_ts, periods, quality);
}

// A sequence of profile tuples and a snapshot of it, which keeps every
// viewed array alive whatever happens to the sequence meanwhile. A failure
// names the profile.
struct Profiles {
    Ref snapshot;
    std::vector<ProfileArrays> arrays;
};

Profiles take_profiles(PyObject* sequence) {
    if (PyUnicode_Check(sequence) || !PySequence_Check(sequence))
        frame::throw_cannot_convert(sequence, "Sequence");
    Profiles out{Ref::steal(frame::check(PySequence_Tuple(sequence))), {}};
    const Py_ssize_t count = PyTuple_Size(out.snapshot.get());
    out.arrays.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t v = 0; v < count; ++v) {
        try {
            out.arrays.push_back(take_profile(PyTuple_GetItem(out.snapshot.get(), v)));
        } catch (const TypeError& e) {
            throw TypeError("profile " + std::to_string(v) + ": " + e.message());
        }
    }
    return out;
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

// A batch of `variants` versions of each user's request, answered by
// serve(record, index) with the interpreter lock released, as a list of
// result lists, one per variant. The entry limit counts every version.
template <class Serve>
PyObject* variant_batch(PyObject* self, const std::vector<std::vector<std::int64_t>>& owneds,
                        const std::vector<std::int64_t>& user_rows, std::uint64_t n,
                        std::size_t variants, Serve serve) {
    SharedBorrow borrow(self);
    const std::size_t users = std::min(owneds.size(), user_rows.size());
    check_batch_size(users * std::max<std::size_t>(variants, 1), n, borrow.record().n_items);
    std::vector<std::vector<Recommendation>> results;
    {
        frame::ReleaseGil unlocked;
        results = serve(borrow.record(), borrow.index());
    }
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t v = 0; v < results.size(); ++v)
        PyList_SetItem(out.get(), static_cast<Py_ssize_t>(v), result_list(results[v]));
    return out.release();
}

PyObject* recommend_batch_priors(PyObject* self, std::vector<std::vector<std::int64_t>> owneds,
                                 std::vector<std::int64_t> user_rows, std::uint64_t n,
                                 std::vector<double> pop_priors) {
    return variant_batch(self, owneds, user_rows, n, pop_priors.size(),
                         [&](const EngineRecord& record, const ServingIndex& index) {
                             return engine::recommend_batch_priors(record, index, owneds, user_rows,
                                                                   n, pop_priors);
                         });
}

const bool registered_recommend_batch_priors = frame::define_method<&recommend_batch_priors>(
    "EngineState", "recommend_batch_priors($self, owneds, user_rows, n, pop_priors)",
    "recommend_batch for several popularity weights at once.\n\n"
    "Entry w of the returned list equals `recommend_batch(owneds, user_rows, n,\n"
    "pop_priors[w])`. The work before the popularity addend is done once per user,\n"
    "so a grid of weights costs little more than one batch. The entry limit of\n"
    "recommend_batch applies to users x n x len(pop_priors).");

PyObject* recommend_batch_profiles(PyObject* self, std::vector<std::vector<std::int64_t>> owneds,
                                   std::vector<std::int64_t> user_rows, std::uint64_t n,
                                   double pop_prior, frame::ObjectArg profiles) {
    Profiles taken;
    try {
        taken = take_profiles(profiles.obj);
    } catch (...) {
        frame::rethrow_with_argument("profiles");
    }
    std::vector<RepeatProfile> views;
    for (const ProfileArrays& arrays : taken.arrays) views.push_back(arrays.view());
    return variant_batch(self, owneds, user_rows, n, views.size(),
                         [&](const EngineRecord& record, const ServingIndex& index) {
                             return engine::recommend_batch_profiles(
                                 record, index, owneds, user_rows, n, pop_prior, views);
                         });
}

const bool registered_recommend_batch_profiles = frame::define_method<&recommend_batch_profiles>(
    "EngineState", "recommend_batch_profiles($self, owneds, user_rows, n, pop_prior, profiles)",
    "recommend_batch for several repeat profiles at once.\n\n"
    "`profiles` is a sequence of tuples (indptr, items, counts, last_ts, periods,\n"
    "quality), each holding the arrays set_repeat_profile takes.\n"
    "Entry v of the returned list equals `recommend_batch(owneds, user_rows, n,\n"
    "pop_prior)` after `set_repeat_profile(*profiles[v], now_ts)` with the engine's\n"
    "own now_ts; the engine itself is left unchanged. The work before the repeat\n"
    "step is done once per user, so trying several profiles costs little more than\n"
    "one batch. The entry limit of recommend_batch applies to users x n x\n"
    "len(profiles).");

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
    // The copy owns its elements and is made before the record changes, so a
    // failure leaves the record whole.
    const ProfileArrays given(indptr, items, counts, last_ts, periods, quality);
    ProfileArrays copy = given;
    ExclusiveBorrow borrow(self);
    EngineRecord& record = borrow.record();
    record.repeat_indptr = std::move(copy.indptr);
    record.repeat_items = std::move(copy.items);
    record.repeat_counts = std::move(copy.counts);
    record.repeat_last_ts = std::move(copy.last_ts);
    record.repeat_periods = std::move(copy.periods);
    record.repeat_quality = std::move(copy.quality);
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
