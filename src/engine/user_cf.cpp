#include "engine/user_cf.hpp"

#include "base/errors.hpp"
#include "base/simd.hpp"
#include "signals/csr_view.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarsel::engine {

namespace {

using signals::RowOffsets;

// Clears the overlaps of the users still listed as reached when it goes, so
// that a request stopped by a broken row leaves the accumulator all zero.
class ReachedGuard {
  public:
    explicit ReachedGuard(UserCfScratch& s) : s_(s) { s_.reached.clear(); }
    ~ReachedGuard() {
        for (std::size_t u : s_.reached) s_.overlap[u] = 0;
        s_.reached.clear();
    }
    ReachedGuard(const ReachedGuard&) = delete;
    ReachedGuard& operator=(const ReachedGuard&) = delete;

  private:
    UserCfScratch& s_;
};

// Adds 1 to the overlap of every user in the owned items' rows, listing each
// user the first time it is reached.
void count_overlaps(const EngineRecord& record, std::span<const std::int64_t> owned,
                    UserCfScratch& s) {
    const std::size_t n_users = record.n_users;
    if (s.overlap.size() < n_users) s.overlap.resize(n_users, 0);
    std::uint32_t* overlap = s.overlap.data();
    std::vector<std::size_t>& reached = s.reached;
    const RowOffsets item_users{record.uu_indptr, {record.uu_data.size()}};
    for (std::size_t j = 0; j < owned.size(); ++j) {
        // The next row's users are fetched while this row is counted (short
        // rows otherwise wait on memory at each start).
        if (j + 1 < owned.size())
            if (const auto next = item_users.try_row(static_cast<std::size_t>(owned[j + 1])))
                simd::prefetch_range(record.uu_data.data(), next->begin, next->end);
        signals::for_each_target(record.uu_data.data(),
                                 item_users.row(static_cast<std::size_t>(owned[j])), n_users,
                                 [overlap, &reached](std::size_t u) {
                                     if (overlap[u]++ == 0) reached.push_back(u);
                                 });
    }
}

}  // namespace

std::vector<double> root_degrees(const EngineRecord& record) {
    std::vector<double> root(std::min<std::uint64_t>(record.n_users, record.uu_deg.size()));
    for (std::size_t u = 0; u < root.size(); ++u) root[u] = std::sqrt(record.uu_deg[u]);
    return root;
}

void nearest_users(const EngineRecord& record, std::span<const double> root_degree,
                   std::span<const std::int64_t> owned, std::int64_t user_row,
                   UserCfScratch& scratch, std::vector<Ranked>& out) {
    ReachedGuard guard(scratch);
    count_overlaps(record, owned, scratch);

    constexpr double kNegInf = -std::numeric_limits<double>::infinity();
    const double owned_norm = std::sqrt(static_cast<double>(owned.size()));
    const std::size_t with_degree = root_degree.size();
    const std::size_t self = user_row >= 0 ? static_cast<std::size_t>(user_row)
                                           : std::numeric_limits<std::size_t>::max();
    std::size_t without_degree = std::numeric_limits<std::size_t>::max();
    BestK nearest(out, record.user_cf_k);
    for (std::size_t u : scratch.reached) {
        const std::uint32_t shared = scratch.overlap[u];
        scratch.overlap[u] = 0;
        if (u == self) continue;
        if (u >= with_degree) {
            without_degree = std::min(without_degree, u);  // the smallest is reported
            continue;
        }
        const double sim = static_cast<double>(shared) / (owned_norm * root_degree[u]);
        nearest.offer({sim != sim ? kNegInf : sim, u});
    }
    scratch.reached.clear();  // every overlap is zero again
    if (without_degree != std::numeric_limits<std::size_t>::max())
        index_failure(with_degree, without_degree);
    nearest.finish_unranked();
    // By user, so that the votes read the user -> item rows in storage order.
    std::sort(out.begin(), out.end(),
              [](const Ranked& a, const Ranked& b) { return a.index < b.index; });
}

}  // namespace tarsel::engine
