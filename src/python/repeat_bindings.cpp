// Python bindings of period detection and the repeat profile.
#include "python/call.hpp"
#include "repeat/period.hpp"
#include "repeat/profile.hpp"

#include <cstdint>
#include <optional>
#include <tuple>

namespace tarsel::repeat {
namespace {

using frame::Array1;
using frame::List;

std::tuple<double, double> detect_period_py(Array1<double> intervals) {
    const PeriodEstimate estimate = detect_period(intervals.span());
    return {estimate.period, estimate.quality};
}

const bool registered_detect_period = frame::define_function<&detect_period_py>(
    "detect_period_py(intervals)",
    "Typical repurchase period and its quality from inter-consumption gaps.\n\n"
    "Only gaps > 0 count (zeros, negatives and NaN are dropped). None left gives\n"
    "(nan, 0.0). Fewer than ten give their median with quality 0.3. Otherwise the\n"
    "period is exp of the mode of a Gaussian kernel density estimate of the\n"
    "log-gaps on 256 grid points (bandwidth n**-0.2 times their population\n"
    "standard deviation), and quality is 1 - second peak / highest peak (1.0 with\n"
    "a single peak); log-gaps spread by less than 1e-9 give (first gap, 0.9).\n\n"
    "intervals: contiguous float64 array. Returns (period, quality).");

std::tuple<List<std::int64_t>, List<std::int64_t>, List<double>, List<double>, List<double>,
           List<double>>
fit_repeat_profile_py(Array1<std::int64_t> user_idx, Array1<std::int64_t> item_idx,
                      std::optional<Array1<double>> timestamps, std::uint64_t n_users,
                      std::uint64_t min_count) {
    auto users = user_idx.span();
    auto items = item_idx.span();
    std::optional<std::span<const double>> times;
    if (timestamps) times = timestamps->span();
    RepeatProfile p = fit_repeat_profile(users, items, times, n_users, min_count);
    return {{std::move(p.indptr)},  {std::move(p.items)},   {std::move(p.counts)},
            {std::move(p.last_ts)}, {std::move(p.periods)}, {std::move(p.quality)}};
}

const bool registered_fit_repeat_profile = frame::define_function<&fit_repeat_profile_py>(
    "fit_repeat_profile(user_idx, item_idx, timestamps, n_users, min_count=2)",
    "Per-user repeat profile: the user-item pairs seen at least min_count times.\n\n"
    "user_idx, item_idx: contiguous int64 arrays; timestamps: contiguous float64\n"
    "array or None. The interactions are the positions of user_idx; item_idx and\n"
    "timestamps must be at least as long (their surplus is ignored). Every user\n"
    "index must lie in [0, n_users): one at or above n_users and a negative one\n"
    "alike raise InternalFailure \"index out of bounds: the len is <n_users> but\n"
    "the index is <user>\" (a negative user shown as its unsigned 64-bit value;\n"
    "the first bad one in input order); a short item_idx or timestamps reports\n"
    "its own length as the index. Item indices are copied unchanged.\n\n"
    "Within a pair the interactions are ordered by timestamp ascending with NaN\n"
    "timestamps last, so a pair holding a NaN timestamp gets last_ts NaN and the\n"
    "gaps next to the NaN are dropped from its period detection.\n\n"
    "Returns a tuple of six lists (indptr, items, counts, last_ts, periods,\n"
    "quality): indptr has n_users + 1 entries and the pairs of user u are\n"
    "positions indptr[u] to indptr[u+1] - 1, by item ascending. counts are\n"
    "floats; last_ts is the pair's latest timestamp; periods and quality come\n"
    "from detect_period_py over the gaps between successive timestamps (NaN and\n"
    "0.0 without timestamps or without a positive gap). Runs on the worker pool\n"
    "with the interpreter lock held.");

const bool registered_fit_repeat_profile_arrays =
    frame::define_function<frame::arrays_of<&fit_repeat_profile_py>>(
        "_fit_repeat_profile_arrays(user_idx, item_idx, timestamps, n_users, min_count=2)",
        "fit_repeat_profile returning NumPy arrays (int64, int64, then four float64).");

}  // namespace
}  // namespace tarsel::repeat
