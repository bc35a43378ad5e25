// Python binding of the channel fitting.
#include "engine/channels.hpp"
#include "python/call.hpp"

#include <cstdint>
#include <optional>
#include <tuple>

namespace tarsel::engine {
namespace {

using frame::Array1;
using frame::List;

// The steps run in a fixed order and the first failure ends the call:
// contiguity of user_idx and item_idx, item counts, trend, user-CF index.
std::tuple<List<double>, List<double>, List<std::int64_t>, List<std::int64_t>, List<double>>
fit_channels(Array1<std::int64_t> user_idx, Array1<std::int64_t> item_idx,
             std::optional<Array1<double>> timestamps, std::uint64_t n_users, std::uint64_t n_items,
             std::uint64_t n_items_ext, double trend_window_fraction, bool want_trend,
             bool want_user_cf) {
    auto users = user_idx.span();
    auto items = item_idx.span();
    std::vector<double> counts = item_counts(items, n_items_ext);
    std::vector<double> trend;
    if (timestamps && want_trend) {
        auto times = timestamps->span();
        if (!times.empty()) trend = trend_scores(items, times, n_items_ext, trend_window_fraction);
    }
    ItemUserLists index;
    if (want_user_cf) index = user_cf_index(users, items, n_users, n_items);
    return {{std::move(counts)},
            {std::move(trend)},
            {std::move(index.users)},
            {std::move(index.indptr)},
            {std::move(index.degrees)}};
}

const bool registered_fit_channels = frame::define_function<&fit_channels>(
    "fit_channels(user_idx, item_idx, timestamps, n_users, n_items, n_items_ext, "
    "trend_window_fraction, want_trend, want_user_cf)",
    "Item counts, trend z-scores and the user-CF inverted index for the engine.\n\n"
    "The interactions are the positions of item_idx (int64); user_idx (int64) and\n"
    "timestamps (float64 or None) are read at the same positions. Returns five\n"
    "lists:\n"
    "  0. interactions per item (floats, n_items_ext entries);\n"
    "  1. trend z-scores (n_items_ext floats): per-item counts of interactions at\n"
    "     times >= t_max - trend_window_fraction * (t_max - t_min), standardised\n"
    "     with the population variance; empty when want_trend is false,\n"
    "     timestamps is None or empty, the times span no interval, or the counts\n"
    "     are flat. NaN times are ignored;\n"
    "  2. the distinct users of every item, users ascending within an item;\n"
    "  3. per-item offsets into list 2 (n_items + 1 ints);\n"
    "  4. per-user distinct-item counts (n_users floats); lists 2-4 are empty\n"
    "     when want_user_cf is false.\n\n"
    "user_idx and item_idx must be contiguous (TypeError \"The given array is\n"
    "not contiguous\"), and timestamps too while the trend is computed. An item\n"
    "at or above n_items_ext, a short timestamps (trend on) or user_idx (user-CF\n"
    "on) raise InternalFailure with the index-failure text. With user-CF on, a\n"
    "negative user or an item at or above n_items is refused the same way before\n"
    "the index is built (the first in input order), as is a user at or above\n"
    "n_users (the first in item, then user order); n_items 0 with interactions\n"
    "raises InternalFailure \"attempt to divide by zero\".");

const bool registered_fit_channels_arrays = frame::define_function<frame::arrays_of<&fit_channels>>(
    "_fit_channels_arrays(user_idx, item_idx, timestamps, n_users, n_items, n_items_ext, "
    "trend_window_fraction, want_trend, want_user_cf)",
    "fit_channels returning NumPy arrays (float64, float64, int64, int64, float64).");

}  // namespace
}  // namespace tarsel::engine
