// The user-CF overlap count: for every user, how many of a request's owned
// items the user also has (the item -> user CSR `uu_indptr` / `uu_data`).
//
// Counted item by item, an owned item adds 1 at every user of its row, and a
// popular item's row holds a large share of all users: most of a request's
// increments come from a few hundred popular items. UserCfIndex keeps those
// items' rows as bit columns instead, 64 items to a word per user, so that
// their overlaps cost one AND and one population count per user and word.
// The counts are integers either way, so the result is the same.
#pragma once

#include "base/big_buffer.hpp"
#include "engine/record.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// Bit columns of the most shared items of a record's item -> user CSR (at
// most 512, and never more bytes than the CSR's user entries), and
// the square roots of the user degrees. Built once per engine from fields
// that no override changes (`n_items`, `n_users`, `uu_indptr`, `uu_data`,
// `uu_deg`). Only rows that the counting would read without failure and
// without counting a user twice get a column, so a request reads every other
// row, faulty ones included, exactly as before.
struct UserCfIndex {
    std::vector<double> root_degree;    // sqrt(uu_deg[u]) for u < min(n_users, len)
    std::size_t words = 0;              // bit columns = 64 * words
    std::vector<std::int32_t> slot;     // per item: its bit, or -1 (no column)
    std::vector<std::uint64_t> degree;  // per bit: the users in its row
    BigVector<std::uint64_t> columns;   // word w of user u at w * record.n_users + u
};

UserCfIndex build_user_cf_index(const EngineRecord& record);

// Working buffers of one overlap count, reused between requests.
struct OverlapScratch {
    std::vector<std::uint64_t> owned_bits;  // per word: the owned items with a column
    std::vector<std::uint64_t> counted;     // per word: columns counted by bits
    std::vector<std::uint64_t> saved;       // per word: increments the columns replace
    std::vector<std::int64_t> rest;         // owned items counted by rows
};

// overlap[u] (n_users entries) = the number of entries of `owned` (each
// occurrence) whose item -> user row lists u. Rows are read as the pipeline
// reads them: a missing row or a user index >= n_users raises InternalFailure.
void count_overlap(const EngineRecord& record, const UserCfIndex& index,
                   std::span<const std::int64_t> owned, std::vector<std::uint32_t>& overlap,
                   OverlapScratch& scratch);

}  // namespace tarsel::engine
