// The neighbour cut of the user-CF channel: the users most similar to a
// request's owned set, ranked by cosine keys computed in fixed lanes.
#pragma once

#include "engine/ranking.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// Working buffers of the neighbour cut, kept between requests.
struct NeighbourScratch {
    std::vector<double> keys;          // rank key per user
    std::vector<double> block_maxima;  // keys' finite block maxima
    std::vector<double> block_reach;   // keys' block maxima
};

// The at most k users of highest key among those sharing an item with the
// owned set (overlap[u] != 0), into `out` as (key, user), in an order fixed by
// the keys but not ranked. The key of user u is the cosine overlap[u] /
// (owned_norm * root_degree[u]), NaN (a negative degree) read as -inf. Only
// users with a degree (u < root_degree.size()) are ranked; any other user
// sharing an item is an InternalFailure (index failure).
void nearest_users(std::span<const std::uint32_t> overlap, std::span<const double> root_degree,
                   double owned_norm, std::uint64_t k, NeighbourScratch& scratch,
                   std::vector<Ranked>& out);

}  // namespace tarsel::engine
