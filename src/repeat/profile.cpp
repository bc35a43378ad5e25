#include "repeat/profile.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"
#include "repeat/period.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace tarsel::repeat {
namespace {

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
constexpr std::uint64_t kNanKey = std::numeric_limits<std::uint64_t>::max();

// An order-preserving map of a timestamp onto unsigned integers (negatives
// below positives, -0.0 just below +0.0, every NaN last), so that one integer
// comparison orders times and the order is total.
std::uint64_t time_key(double t) {
    if (std::isnan(t)) return kNanKey;
    const auto bits = std::bit_cast<std::uint64_t>(t);
    return (bits & kSignBit) ? ~bits : bits | kSignBit;
}

double key_time(std::uint64_t key) {
    if (key == kNanKey) return std::numeric_limits<double>::quiet_NaN();
    return std::bit_cast<double>((key & kSignBit) ? key & ~kSignBit : ~key);
}

// One interaction once grouped by user.
struct Event {
    std::int64_t item;
    std::uint64_t time;  // time_key of the timestamp; 0 without timestamps

    bool operator<(const Event& other) const {
        return item != other.item ? item < other.item : time < other.time;
    }
};

void check_lengths(std::size_t n, std::span<const std::int64_t> items,
                   std::optional<std::span<const double>> timestamps) {
    if (items.size() < n) index_failure(items.size(), items.size());
    if (timestamps && timestamps->size() < n) index_failure(timestamps->size(), timestamps->size());
}

// The interactions grouped by user with a counting sort: the events of user u
// are positions offsets[u] to offsets[u + 1] - 1, in input order.
struct EventsByUser {
    std::vector<std::size_t> offsets;  // n_users + 1 entries
    std::vector<Event> events;
};

EventsByUser group_by_user(std::span<const std::int64_t> users, std::span<const std::int64_t> items,
                           std::optional<std::span<const double>> timestamps,
                           std::uint64_t n_users) {
    const std::size_t n = users.size();
    EventsByUser g;
    // n_users + 1 must not wrap around.
    if (n_users >= g.offsets.max_size()) throw std::length_error("n_users is too large");
    g.offsets.assign(static_cast<std::size_t>(n_users) + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const auto u = static_cast<std::uint64_t>(users[k]);
        if (u >= n_users) index_failure(n_users, u);
        ++g.offsets[u + 1];
    }
    for (std::size_t u = 0; u < n_users; ++u) g.offsets[u + 1] += g.offsets[u];

    g.events.resize(n);
    std::vector<std::size_t> cursor(g.offsets.begin(), g.offsets.end() - 1);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t t = timestamps ? time_key((*timestamps)[k]) : 0;
        g.events[cursor[static_cast<std::size_t>(users[k])]++] = Event{items[k], t};
    }
    return g;
}

// Appends the pair of one run of equal (user, item) events.
class ProfileBuilder {
  public:
    ProfileBuilder(RepeatProfile& out, bool timed) : out_(out), timed_(timed) {}

    void add_run(std::span<const Event> run) {
        out_.items.push_back(run.front().item);
        out_.counts.push_back(static_cast<double>(run.size()));
        if (!timed_) {
            const double nan = std::numeric_limits<double>::quiet_NaN();
            out_.last_ts.push_back(nan);
            out_.periods.push_back(nan);
            out_.quality.push_back(0.0);
            return;
        }
        gaps_.clear();
        double previous = key_time(run.front().time);
        for (std::size_t j = 1; j < run.size(); ++j) {
            const double t = key_time(run[j].time);
            gaps_.push_back(t - previous);
            previous = t;
        }
        const PeriodEstimate estimate = detector_.detect(gaps_);
        out_.last_ts.push_back(previous);
        out_.periods.push_back(estimate.period);
        out_.quality.push_back(estimate.quality);
    }

  private:
    RepeatProfile& out_;
    bool timed_;
    std::vector<double> gaps_;
    PeriodDetector detector_;
};

// The pairs of users [first, last) into `part` (all lists but indptr); the
// pair count of user u goes to pair_counts[u + 1]. Sorts each user's events
// by (item, time) in place.
void fit_users(EventsByUser& g, std::size_t first, std::size_t last, std::uint64_t min_count,
               bool timed, RepeatProfile& part, std::vector<std::int64_t>& pair_counts) {
    ProfileBuilder builder(part, timed);
    for (std::size_t u = first; u < last; ++u) {
        const std::size_t begin = g.offsets[u], end = g.offsets[u + 1];
        std::sort(g.events.begin() + static_cast<std::ptrdiff_t>(begin),
                  g.events.begin() + static_cast<std::ptrdiff_t>(end));
        const std::size_t before = part.items.size();
        for (std::size_t s = begin; s < end;) {
            std::size_t e = s + 1;
            while (e < end && g.events[e].item == g.events[s].item) ++e;
            if (e - s >= min_count) builder.add_run({g.events.data() + s, e - s});
            s = e;
        }
        pair_counts[u + 1] = static_cast<std::int64_t>(part.items.size() - before);
    }
}

// User boundaries of `blocks` ranges holding about equal numbers of events.
std::vector<std::size_t> balanced_blocks(const std::vector<std::size_t>& offsets,
                                         std::size_t blocks) {
    const std::size_t n_users = offsets.size() - 1, n = offsets.back();
    std::vector<std::size_t> bounds(blocks + 1, n_users);
    bounds[0] = 0;
    for (std::size_t b = 1; b < blocks; ++b) {
        const std::size_t target = n / blocks * b + std::min(b, n % blocks);
        auto it = std::lower_bound(offsets.begin(), offsets.end() - 1, target);
        bounds[b] = std::max(bounds[b - 1], static_cast<std::size_t>(it - offsets.begin()));
    }
    return bounds;
}

template <class T>
void append(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

}  // namespace

RepeatProfile fit_repeat_profile(std::span<const std::int64_t> users,
                                 std::span<const std::int64_t> items,
                                 std::optional<std::span<const double>> timestamps,
                                 std::uint64_t n_users, std::uint64_t min_count) {
    check_lengths(users.size(), items, timestamps);
    EventsByUser grouped = group_by_user(users, items, timestamps, n_users);

    // Users are independent: blocks of users run on the pool, each into its
    // own lists, which are then joined in user order. The result does not
    // depend on the number of threads.
    constexpr std::size_t kBlocksPerThread = 8;
    constexpr std::size_t kEventsPerBlock = 4096;
    const std::size_t blocks =
        std::clamp<std::size_t>(users.size() / kEventsPerBlock, 1, kBlocksPerThread * pool::size());
    const std::vector<std::size_t> bounds = balanced_blocks(grouped.offsets, blocks);
    RepeatProfile out;
    out.indptr.assign(grouped.offsets.size(), 0);
    std::vector<RepeatProfile> parts(blocks);
    pool::parallel_for(0, blocks, 1, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t b = lo; b < hi; ++b)
            fit_users(grouped, bounds[b], bounds[b + 1], min_count, timestamps.has_value(),
                      parts[b], out.indptr);
    });

    for (std::size_t u = 0; u < n_users; ++u) out.indptr[u + 1] += out.indptr[u];
    for (const RepeatProfile& part : parts) {
        append(out.items, part.items);
        append(out.counts, part.counts);
        append(out.last_ts, part.last_ts);
        append(out.periods, part.periods);
        append(out.quality, part.quality);
    }
    return out;
}

}  // namespace tarsel::repeat
