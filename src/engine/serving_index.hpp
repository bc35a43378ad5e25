// Structures derived from an engine record that make requests faster and
// change no result: the user-CF bit columns, built with the engine, and the
// dense rows of the co-occurrence base, built by the first request that sums
// that base. An engine that never serves from its co-occurrence base never
// pays for them, and loading an engine stays a plain read.
//
// Both come from fields no override changes (n_items, n_users, the item ->
// user CSR, uu_deg and the co-occurrence CSR).
#pragma once

#include "engine/record.hpp"
#include "engine/row_sums.hpp"
#include "engine/user_cf_index.hpp"

#include <mutex>

namespace tarsel::engine {

class ServingIndex {
  public:
    explicit ServingIndex(const EngineRecord& record);

    const UserCfIndex& user_cf() const { return user_cf_; }

    // The co-occurrence base's dense rows for `record` (the record this
    // index was built from). Safe to call from concurrent requests: one
    // builds them, the others wait.
    const DenseRows& cooc_dense(const EngineRecord& record) const;

  private:
    UserCfIndex user_cf_;
    mutable std::once_flag cooc_once_;
    mutable DenseRows cooc_dense_;
};

}  // namespace tarsel::engine
