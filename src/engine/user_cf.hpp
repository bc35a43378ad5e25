// The neighbours of the user-CF channel: the users most similar to a
// request's owned set, by the cosine between the owned set and each user's
// items.
//
// Only users who share an owned item can be neighbours, so they are found
// through the owned items' item -> user rows (`uu_indptr` / `uu_data`). A
// request whose rows are short counts their users in a sparse accumulator
// and costs the entries of those rows and the users they reach. A request
// whose rows reach a good part of all users counts them in place and reads
// the counts back by one pass over the users; there, the long rows are read
// as bit columns, 64 users at a time, instead of entry by entry.
#pragma once

#include "engine/ranking.hpp"
#include "engine/record.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// The long item -> user rows as bit columns: bit u of an item's column is set
// when user u is in the item's row. Only rows of at least two entries per 64
// users get one, so the columns take at most half the bytes of the rows they
// stand for; a row with a repeated user or a user outside [0, n_users) gets
// none (it is read entry by entry, and fails there as it would otherwise).
struct UserColumns {
    static constexpr std::uint32_t kNone = ~std::uint32_t{0};
    std::size_t words = 0;  // words per column: ceil(n_users / 64), rounded up to a multiple of 8
    std::vector<std::uint32_t> column;  // per item row: its column, or kNone
    std::vector<std::uint64_t> bits;    // the columns, one after another
};

// What the channel derives from a record once per engine.
struct NeighbourIndex {
    // sqrt(uu_deg[u]) for u < min(n_users, len(uu_deg)).
    std::vector<double> root_degree;
    UserColumns columns;
};

NeighbourIndex neighbour_index(const EngineRecord& record);

// The accumulators of one thread, kept between requests; all zero between
// requests.
struct UserCfScratch {
    std::vector<std::uint32_t> overlap;  // per user: the owned entries the user shares
    std::vector<std::uint64_t> touched;  // per 64 users: who has an overlap (counting in place)
    std::vector<std::size_t> reached;    // users with an overlap, as first reached (sparse)
    std::vector<const std::uint64_t*> long_columns;  // the owned items' bit columns
    std::vector<std::uint64_t> slices;               // bit-sliced column counts of 64 users
};

// The at most `record.user_cf_k` users most similar to `owned` (the valid
// owned list; each occurrence counts), into `out` as (similarity, user),
// ordered by user. Candidates are the users listed in an owned item's row,
// except `user_row`; the similarity of user u is overlap(u) / (sqrt(number of
// owned entries) * sqrt(uu_deg[u])). The cut keeps the highest similarities,
// equal ones by smaller user index; a NaN similarity (a negative degree)
// ranks as -inf and votes -inf. A missing row, a user >= n_users or a
// candidate without a degree raises InternalFailure. `index` is
// neighbour_index(record).
void nearest_users(const EngineRecord& record, const NeighbourIndex& index,
                   std::span<const std::int64_t> owned, std::int64_t user_row,
                   UserCfScratch& scratch, std::vector<Ranked>& out);

}  // namespace tarsel::engine
