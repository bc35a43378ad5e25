// Structures derived from an engine record that make requests faster and
// change no result: the users' root degrees and the long rows' bit columns of
// the user-CF channel, the dense rows of the co-occurrence base and the
// popularity addend. Each is built by the first request that needs it, so an
// engine pays only for what it serves, and making or loading an engine stays
// a plain copy or read.
//
// All come from fields no override changes (n_items, n_users, uu_deg, the
// item -> user rows, the co-occurrence CSR and item_pop).
#pragma once

#include "engine/moments.hpp"
#include "engine/record.hpp"
#include "engine/row_sums.hpp"
#include "engine/user_cf.hpp"

#include <mutex>
#include <vector>

namespace tarsel::engine {

// ln(1 + popularity) per item and its moments: the popularity addend of
// every request, which depends on the record alone. Empty when item_pop does
// not cover the catalogue (the addend is then off).
struct PopularityAddend {
    std::vector<double> values;
    Moments moments;
};

// The accessors take the record the index belongs to and are safe to call
// from concurrent requests: one builds, the others wait.
class ServingIndex {
  public:
    const NeighbourIndex& neighbours(const EngineRecord& record) const;
    const DenseRows& cooc_dense(const EngineRecord& record) const;
    const PopularityAddend& popularity(const EngineRecord& record) const;

  private:
    mutable std::once_flag neighbours_once_;
    mutable NeighbourIndex neighbours_;
    mutable std::once_flag cooc_once_;
    mutable DenseRows cooc_dense_;
    mutable std::once_flag popularity_once_;
    mutable PopularityAddend popularity_;
};

}  // namespace tarsel::engine
