#include "repeat/profile.hpp"

#include "frame/errors.hpp"
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

// The interactions sorted by (user, item, time): a counting sort by user, whose
// offsets are returned in `offsets` (n_users + 1 entries), then a comparison
// sort of each user's short run by (item, time).
std::vector<Event> sort_events(std::span<const std::int64_t> users,
                               std::span<const std::int64_t> items,
                               std::optional<std::span<const double>> timestamps,
                               std::uint64_t n_users, std::vector<std::size_t>& offsets) {
    const std::size_t n = users.size();
    // n_users + 1 must not wrap around.
    if (n_users >= offsets.max_size()) throw std::length_error("n_users is too large");
    offsets.assign(static_cast<std::size_t>(n_users) + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const auto u = static_cast<std::uint64_t>(users[k]);
        if (u >= n_users) index_failure(n_users, u);
        ++offsets[u + 1];
    }
    for (std::size_t u = 0; u < n_users; ++u) offsets[u + 1] += offsets[u];

    std::vector<Event> events(n);
    std::vector<std::size_t> cursor(offsets.begin(), offsets.end() - 1);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t t = timestamps ? time_key((*timestamps)[k]) : 0;
        events[cursor[static_cast<std::size_t>(users[k])]++] = Event{items[k], t};
    }
    for (std::size_t u = 0; u < n_users; ++u)
        std::sort(events.begin() + static_cast<std::ptrdiff_t>(offsets[u]),
                  events.begin() + static_cast<std::ptrdiff_t>(offsets[u + 1]));
    return events;
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

}  // namespace

RepeatProfile fit_repeat_profile(std::span<const std::int64_t> users,
                                 std::span<const std::int64_t> items,
                                 std::optional<std::span<const double>> timestamps,
                                 std::uint64_t n_users, std::uint64_t min_count) {
    check_lengths(users.size(), items, timestamps);
    std::vector<std::size_t> offsets;
    const std::vector<Event> events = sort_events(users, items, timestamps, n_users, offsets);

    RepeatProfile out;
    out.indptr.assign(offsets.size(), 0);
    ProfileBuilder builder(out, timestamps.has_value());
    for (std::size_t u = 0; u < n_users; ++u) {
        std::size_t s = offsets[u];
        while (s < offsets[u + 1]) {
            std::size_t e = s + 1;
            while (e < offsets[u + 1] && events[e].item == events[s].item) ++e;
            if (e - s >= min_count) builder.add_run({events.data() + s, e - s});
            s = e;
        }
        out.indptr[u + 1] = static_cast<std::int64_t>(out.items.size());
    }
    return out;
}

}  // namespace tarsel::repeat
