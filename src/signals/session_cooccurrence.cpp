#include "signals/session_cooccurrence.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarsel::signals {

double fraction_of_deep_sessions(std::span<const std::int64_t> session_idx,
                                 std::span<const std::int64_t> item_idx) {
    const std::size_t m = std::min(session_idx.size(), item_idx.size());
    if (m == 0) return 0.0;
    // Sorting the (session, item) pairs groups each session's distinct items.
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs(m);
    for (std::size_t k = 0; k < m; ++k) pairs[k] = {session_idx[k], item_idx[k]};
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());

    std::size_t sessions = 0, deep = 0;
    for (std::size_t k = 0; k < pairs.size();) {
        std::size_t end = k + 1;
        while (end < pairs.size() && pairs[end].first == pairs[k].first) ++end;
        ++sessions;
        if (end - k >= 2) ++deep;
        k = end;
    }
    return static_cast<double>(deep) / static_cast<double>(sessions);
}

}  // namespace tarsel::signals
