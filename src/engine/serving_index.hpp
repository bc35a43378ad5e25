// Structures derived from an engine record that make requests faster and
// change no result: the user-CF bit columns and the dense rows of the
// co-occurrence base. Each is built by the first request that needs it, so an
// engine pays only for what it serves, and making or loading an engine stays
// a plain copy or read.
//
// Both come from fields no override changes (n_items, n_users, the item ->
// user CSR, uu_deg and the co-occurrence CSR).
#pragma once

#include "engine/record.hpp"
#include "engine/row_sums.hpp"
#include "engine/user_cf_index.hpp"

#include <mutex>

namespace tarsel::engine {

// Both accessors take the record the index belongs to and are safe to call
// from concurrent requests: one builds, the others wait.
class ServingIndex {
  public:
    const UserCfIndex& user_cf(const EngineRecord& record) const;
    const DenseRows& cooc_dense(const EngineRecord& record) const;

  private:
    mutable std::once_flag user_cf_once_;
    mutable UserCfIndex user_cf_;
    mutable std::once_flag cooc_once_;
    mutable DenseRows cooc_dense_;
};

}  // namespace tarsel::engine
