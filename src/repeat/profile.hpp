// The per-user repeat profile: for every user, the items consumed at least
// `min_count` times, with the count, the latest time and the detected
// repurchase period and its quality. Laid out as a CSR over users.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarsel::repeat {

struct RepeatProfile {
    std::vector<std::int64_t> indptr;  // n_users + 1 entries
    std::vector<std::int64_t> items;   // per pair, ascending within a user
    std::vector<double> counts;
    std::vector<double> last_ts;  // NaN without timestamps
    std::vector<double> periods;  // NaN without timestamps or positive gaps
    std::vector<double> quality;  // 0.0 without timestamps or positive gaps
};

// Interactions are the positions of `users`; `items` and `timestamps` must be
// at least as long and their surplus is ignored. Every user must lie in
// [0, n_users). Both violations raise InternalFailure with the index-failure
// text, checked before any work: a short array reports its own length as the
// index, a bad user the first one in input order (a negative user read as
// unsigned). Within a user-item run the timestamps are ordered ascending with
// NaN last, so a run holding a NaN has last_ts NaN and that NaN's gaps are
// dropped by the period detection. Users are fitted in blocks on the worker
// pool; the result does not depend on the number of threads.
RepeatProfile fit_repeat_profile(std::span<const std::int64_t> users,
                                 std::span<const std::int64_t> items,
                                 std::optional<std::span<const double>> timestamps,
                                 std::uint64_t n_users, std::uint64_t min_count);

}  // namespace tarsel::repeat
