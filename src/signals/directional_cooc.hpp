// Directional co-occurrence: which item directly follows which within a
// session, as a (non-symmetric) transition graph, and the undirected form
// D + D^T of any square CSR.
#pragma once

#include "signals/cooccurrence.hpp"
#include "signals/csr_view.hpp"

#include <cstdint>

namespace tarsel::signals {

// Entry (i, j) sums, over all sessions, w_p * w_{p+1} (float32 product, summed
// in double, rounded to float32 once) over each place where item j directly
// follows a different item i once the session's records are ordered by time
// (stable: equal times keep input order). `timed` says whether the records
// carry times; without them the input order stands. n_items x n_items.
Csr directional_cooccurrence(Histories sessions, bool timed, std::uint64_t n_items);

// W = D + D^T of a square CSR: W[i, j] = D[i, j] + D[j, i], with single-
// precision sums taken in storage order; a diagonal entry doubles and repeated
// columns add up. A column outside [0, rows) is an InternalFailure.
Csr symmetrized(const CsrView& d);

}  // namespace tarsel::signals
