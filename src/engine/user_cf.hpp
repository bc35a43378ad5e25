// The neighbours of the user-CF channel: the users most similar to a
// request's owned set, by the cosine between the owned set and each user's
// items.
//
// Only users who share an owned item can be neighbours, so they are found
// through the owned items' item -> user rows (`uu_indptr` / `uu_data`) and
// their overlaps counted in a sparse accumulator: a request costs the entries
// of those rows and the users they reach, not a pass over every user.
#pragma once

#include "engine/ranking.hpp"
#include "engine/record.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// The accumulator of one thread, kept between requests.
struct UserCfScratch {
    // Per user: the owned items the user shares; all zero between requests.
    std::vector<std::uint32_t> overlap;
    std::vector<std::size_t> reached;  // users with a non-zero overlap, as first reached
};

// The at most `record.user_cf_k` users most similar to `owned` (the valid
// owned list; each occurrence counts), into `out` as (similarity, user),
// ordered by user. Candidates are the users listed in an owned item's row,
// except `user_row`; the similarity of user u is overlap(u) / (sqrt(number of
// owned entries) * sqrt(uu_deg[u])). The cut keeps the highest similarities,
// equal ones by smaller user index; a NaN similarity (a negative degree)
// ranks as -inf and votes -inf. A missing row, a user >= n_users or a
// candidate without a degree raises InternalFailure.
// `root_degree` holds sqrt(uu_deg[u]) for u < min(n_users, len(uu_deg))
// (root_degrees builds it once per engine).
void nearest_users(const EngineRecord& record, std::span<const double> root_degree,
                   std::span<const std::int64_t> owned, std::int64_t user_row,
                   UserCfScratch& scratch, std::vector<Ranked>& out);

// sqrt(uu_deg[u]) for every user with a degree.
std::vector<double> root_degrees(const EngineRecord& record);

}  // namespace tarsel::engine
