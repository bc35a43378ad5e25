#include "engine/channels.hpp"

#include "base/errors.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace tarsel::engine {
namespace {

// Room for n + 1 offsets; a count so large that n + 1 wraps cannot be allocated.
std::size_t offsets_size(std::uint64_t n) {
    if (n == std::numeric_limits<std::uint64_t>::max()) throw std::length_error("too many rows");
    return static_cast<std::size_t>(n) + 1;
}

// The smallest and largest non-NaN time: (-inf, +inf) when there is none.
std::pair<double, double> time_span(std::span<const double> timestamps) {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (double t : timestamps) {
        lo = std::fmin(lo, t);
        hi = std::fmax(hi, t);
    }
    return {lo, hi};
}

// z-scores of `values` with the population variance; empty when it is not > 0.
std::vector<double> standardized(std::vector<double> values) {
    const double n = static_cast<double>(values.size());
    double sum = -0.0;
    for (double v : values) sum += v;
    const double mean = sum / n;
    double squares = -0.0;
    for (double v : values) squares += (v - mean) * (v - mean);
    const double var = squares / n;
    if (!(var > 0.0)) return {};
    const double sd = std::sqrt(var);
    for (double& v : values) v = (v - mean) / sd;
    return values;
}

// Validates the interactions that the user-CF index is built from. The pair
// key user * n_items + item of a sort-based build decodes to the wrong pair
// for a negative user or an item at or above n_items, so both are refused
// before anything is built.
void check_user_cf_input(std::span<const std::int64_t> users, std::span<const std::int64_t> items,
                         std::uint64_t n_users, std::uint64_t n_items) {
    const std::size_t m = items.size();
    if (users.size() < m) index_failure(users.size(), users.size());
    if (m > 0 && n_items == 0) throw InternalFailure("attempt to divide by zero");
    // Users at or above n_users are reported as the first such pair in (item,
    // user) order, the order in which the index is laid out.
    bool any_beyond = false;
    std::int64_t beyond_item = 0, beyond_user = 0;
    for (std::size_t k = 0; k < m; ++k) {
        const std::int64_t u = users[k], i = items[k];
        if (u < 0) index_failure(n_users, static_cast<std::uint64_t>(u));
        if (static_cast<std::uint64_t>(i) >= n_items)
            index_failure(n_items, static_cast<std::uint64_t>(i));
        if (static_cast<std::uint64_t>(u) >= n_users &&
            (!any_beyond || std::pair(i, u) < std::pair(beyond_item, beyond_user))) {
            any_beyond = true;
            beyond_item = i;
            beyond_user = u;
        }
    }
    if (any_beyond) index_failure(n_users, static_cast<std::uint64_t>(beyond_user));
}

// The items of every user: offsets (n_users + 1 entries) and the items in
// input order within a user (a stable counting sort).
struct ItemsByUser {
    std::vector<std::size_t> offsets;
    std::vector<std::int64_t> items;
};

ItemsByUser group_items_by_user(std::span<const std::int64_t> users,
                                std::span<const std::int64_t> items, std::uint64_t n_users) {
    const std::size_t m = items.size();
    ItemsByUser g;
    g.offsets.assign(offsets_size(n_users), 0);
    for (std::size_t k = 0; k < m; ++k) ++g.offsets[static_cast<std::size_t>(users[k]) + 1];
    for (std::size_t u = 0; u < n_users; ++u) g.offsets[u + 1] += g.offsets[u];
    g.items.resize(m);
    std::vector<std::size_t> cursor(g.offsets.begin(), g.offsets.end() - 1);
    for (std::size_t k = 0; k < m; ++k)
        g.items[cursor[static_cast<std::size_t>(users[k])]++] = items[k];
    return g;
}

// Calls visit(user, item) once per distinct (user, item) pair, users
// ascending. `last_user` (n_items entries) remembers which user an item was
// last seen with, so repeats within a user are skipped.
template <class Visit>
void for_each_distinct_pair(const ItemsByUser& g, std::vector<std::int64_t>& last_user,
                            Visit visit) {
    std::fill(last_user.begin(), last_user.end(), -1);
    const std::size_t n_users = g.offsets.size() - 1;
    for (std::size_t u = 0; u < n_users; ++u) {
        const auto user = static_cast<std::int64_t>(u);
        for (std::size_t p = g.offsets[u]; p < g.offsets[u + 1]; ++p) {
            const auto item = static_cast<std::size_t>(g.items[p]);
            if (last_user[item] == user) continue;
            last_user[item] = user;
            visit(user, item);
        }
    }
}

}  // namespace

std::vector<double> item_counts(std::span<const std::int64_t> items, std::uint64_t n_items_ext) {
    std::vector<double> counts(static_cast<std::size_t>(n_items_ext), 0.0);
    for (std::int64_t item : items) {
        const auto i = static_cast<std::uint64_t>(item);
        if (i >= n_items_ext) index_failure(n_items_ext, i);
        counts[i] += 1.0;
    }
    return counts;
}

std::vector<double> trend_scores(std::span<const std::int64_t> items,
                                 std::span<const double> timestamps, std::uint64_t n_items_ext,
                                 double trend_window_fraction) {
    const auto [t_min, t_max] = time_span(timestamps);
    if (!(t_max > t_min)) return {};
    const double cutoff = t_max - trend_window_fraction * (t_max - t_min);
    if (timestamps.size() < items.size()) index_failure(timestamps.size(), timestamps.size());

    std::vector<double> recent(static_cast<std::size_t>(n_items_ext), 0.0);
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (!(timestamps[k] >= cutoff)) continue;
        const auto i = static_cast<std::uint64_t>(items[k]);
        if (i >= n_items_ext) index_failure(n_items_ext, i);
        recent[i] += 1.0;
    }
    return standardized(std::move(recent));
}

ItemUserLists user_cf_index(std::span<const std::int64_t> users,
                            std::span<const std::int64_t> items, std::uint64_t n_users,
                            std::uint64_t n_items) {
    check_user_cf_input(users, items, n_users, n_items);
    const ItemsByUser grouped = group_items_by_user(users.first(items.size()), items, n_users);

    ItemUserLists index;
    index.indptr.assign(offsets_size(n_items), 0);
    index.degrees.assign(static_cast<std::size_t>(n_users), 0.0);
    std::vector<std::int64_t> last_user(static_cast<std::size_t>(n_items));
    for_each_distinct_pair(grouped, last_user, [&](std::int64_t user, std::size_t item) {
        ++index.indptr[item + 1];
        index.degrees[static_cast<std::size_t>(user)] += 1.0;
    });
    for (std::size_t i = 0; i < n_items; ++i) index.indptr[i + 1] += index.indptr[i];

    index.users.resize(static_cast<std::size_t>(index.indptr[n_items]));
    std::vector<std::int64_t> cursor(index.indptr.begin(), index.indptr.end() - 1);
    for_each_distinct_pair(grouped, last_user, [&](std::int64_t user, std::size_t item) {
        index.users[static_cast<std::size_t>(cursor[item]++)] = user;
    });
    return index;
}

}  // namespace tarsel::engine
