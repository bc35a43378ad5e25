// Session-level statistics. The session co-occurrence matrix itself is the
// user-level builder's (cooccurrence.hpp) with sessions as rows; whether it is
// worth building depends on how many sessions hold more than one item.
#pragma once

#include <cstdint>
#include <span>

namespace tarsel::signals {

// Over the first min(len) positions: the number of sessions whose items
// include at least two distinct ones, divided by the number of distinct
// sessions; 0.0 when there is none. Any ids are accepted, negatives included.
double fraction_of_deep_sessions(std::span<const std::int64_t> session_idx,
                                 std::span<const std::int64_t> item_idx);

}  // namespace tarsel::signals
