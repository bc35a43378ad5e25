// The engine's channel arrays fitted from training interactions: per-item
// interaction counts, the trend channel (per-item z-scores of how often each
// item was consumed in the most recent part of the time span) and the user-CF
// inverted index (the distinct users of every item, and every user's number of
// distinct items).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// Interactions of every step below are the positions of `items`.

// Count of interactions per item, n_items_ext entries. An item at or above
// n_items_ext (a negative one read as unsigned) is an InternalFailure.
std::vector<double> item_counts(std::span<const std::int64_t> items, std::uint64_t n_items_ext);

// Per-item z-scores of the interactions at times >= t_max - fraction *
// (t_max - t_min), NaN times ignored; empty when the times span no interval or
// the recent counts are flat. A `timestamps` shorter than `items` is an
// InternalFailure once the span is known to be non-empty. Items must already be
// below n_items_ext (item_counts checks them).
std::vector<double> trend_scores(std::span<const std::int64_t> items,
                                 std::span<const double> timestamps, std::uint64_t n_items_ext,
                                 double trend_window_fraction);

// Fit-time inverted index: each item's distinct users and every user's degree.
struct ItemUserLists {
    std::vector<std::int64_t> users;   // distinct users of each item, ascending
    std::vector<std::int64_t> indptr;  // n_items + 1 offsets into `users`
    std::vector<double> degrees;       // n_users distinct-item counts
};

// The user-CF inverted index of the distinct (user, item) pairs. Raises
// InternalFailure with the index-failure text for a `users` shorter than
// `items`, for a negative user or an item at or above n_items (the first in
// input order; checked before anything is built), and for a user at or above
// n_users (the first in (item, user) order); "attempt to divide by zero" when
// n_items is 0 and there are interactions.
ItemUserLists user_cf_index(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items, std::uint64_t n_users,
                            std::uint64_t n_items);

}  // namespace tarsel::engine
