#include "engine/user_cf_index.hpp"

#include "base/simd.hpp"
#include "signals/csr_view.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace tarsel::engine {

namespace {

using signals::RowOffsets;

// At most 512 columns: the items past the few hundred most shared ones hold a
// small share of the increments, and each word costs memory per user.
constexpr std::size_t kMaxWords = 8;
// An item shared by fewer than 1 / kMinShare of the users gets no column: a
// request's increments from such items are fewer than the words it would read.
constexpr std::uint64_t kMinShare = 32;
// A word of columns is read for every user when the owned items in it would
// otherwise cost at least n_users / kIncrementsPerWord increments: a scattered
// increment costs about as much as reading and counting sixteen words in a row
// with vector instructions.
constexpr std::uint64_t kIncrementsPerWord = 16;

std::uint64_t bit_mask(std::size_t bit) { return std::uint64_t{1} << (bit % 64); }

// Sets bit `bit` of every user in `row`; refuses (and leaves the column as it
// was) a row with a user index >= n_users or a user listed twice.
bool fill_column(std::span<const std::int64_t> users, RowOffsets::Range row, std::size_t bit,
                 std::size_t n_users, std::uint64_t* columns) {
    std::uint64_t* column = columns + (bit / 64) * n_users;
    const std::uint64_t mask = bit_mask(bit);
    for (std::size_t k = row.begin; k < row.end; ++k) {
        const auto u = static_cast<std::uint64_t>(users[k]);
        if (u >= n_users || (column[u] & mask) != 0) {
            for (std::size_t j = row.begin; j < k; ++j)
                column[static_cast<std::size_t>(users[j])] &= ~mask;
            return false;
        }
        column[u] |= mask;
    }
    return true;
}

// out[u] += popcount(column[u] & mask) for u < n. One body, compiled for the
// vector population count, the scalar one and plain x86-64; the best the CPU
// has is picked on first use.
inline __attribute__((always_inline)) void add_column_counts_body(
    const std::uint64_t* __restrict column, std::uint64_t mask, std::size_t n,
    std::uint32_t* __restrict out) {
    for (std::size_t u = 0; u < n; ++u)
        out[u] += static_cast<std::uint32_t>(__builtin_popcountll(column[u] & mask));
}

using AddColumnCounts = void (*)(const std::uint64_t*, std::uint64_t, std::size_t, std::uint32_t*);

void add_column_counts_plain(const std::uint64_t* column, std::uint64_t mask, std::size_t n,
                             std::uint32_t* out) {
    add_column_counts_body(column, mask, n, out);
}

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
__attribute__((target("avx512f,avx512vl,avx512bw,avx512vpopcntdq"))) void add_column_counts_avx512(
    const std::uint64_t* column, std::uint64_t mask, std::size_t n, std::uint32_t* out) {
    add_column_counts_body(column, mask, n, out);
}

__attribute__((target("popcnt"))) void add_column_counts_popcnt(const std::uint64_t* column,
                                                                std::uint64_t mask, std::size_t n,
                                                                std::uint32_t* out) {
    add_column_counts_body(column, mask, n, out);
}

AddColumnCounts pick_add_column_counts() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512vpopcntdq") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512bw"))
        return &add_column_counts_avx512;
    if (__builtin_cpu_supports("popcnt")) return &add_column_counts_popcnt;
    return &add_column_counts_plain;
}
#else
AddColumnCounts pick_add_column_counts() { return &add_column_counts_plain; }
#endif

void add_column_counts(const std::uint64_t* column, std::uint64_t mask, std::size_t n,
                       std::uint32_t* out) {
    static const AddColumnCounts kernel = pick_add_column_counts();
    kernel(column, mask, n, out);
}

}  // namespace

UserCfIndex build_user_cf_index(const EngineRecord& record) {
    UserCfIndex index;
    const std::size_t n_users = record.n_users;
    const std::size_t with_degree = std::min<std::uint64_t>(n_users, record.uu_deg.size());
    index.root_degree.resize(with_degree);
    for (std::size_t u = 0; u < with_degree; ++u)
        index.root_degree[u] = std::sqrt(record.uu_deg[u]);

    const RowOffsets rows{record.uu_indptr, {record.uu_data.size()}};
    // Requests only read the rows of items below n_items.
    const std::size_t items = std::min<std::uint64_t>(record.n_items, rows.rows());
    if (n_users == 0 || items == 0) return index;

    const std::uint64_t min_degree = std::max<std::uint64_t>(1, n_users / kMinShare);
    std::vector<std::pair<std::uint64_t, std::size_t>> shared;  // (degree, item)
    for (std::size_t item = 0; item < items; ++item) {
        const std::optional<RowOffsets::Range> row = rows.try_row(item);
        if (row && row->end - row->begin >= min_degree)
            shared.emplace_back(row->end - row->begin, item);
    }
    if (shared.empty()) return index;
    std::sort(shared.begin(), shared.end(), [](const auto& a, const auto& b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    });

    // The columns never take more memory than the item -> user entries.
    const std::size_t words = std::min(kMaxWords, record.uu_data.size() / n_users);
    const std::size_t capacity = std::min(shared.size(), words * 64);
    if (capacity == 0) return index;
    index.columns.assign(((capacity + 63) / 64) * n_users, 0);
    index.slot.assign(items, -1);
    std::size_t bits = 0;
    for (const auto& [degree, item] : shared) {
        if (bits == capacity) break;
        if (!fill_column(record.uu_data, *rows.try_row(item), bits, n_users, index.columns.data()))
            continue;
        index.slot[item] = static_cast<std::int32_t>(bits);
        index.degree.push_back(degree);
        ++bits;
    }
    index.words = (bits + 63) / 64;
    index.columns.resize(index.words * n_users);  // the words in use come first
    return index;
}

void count_overlap(const EngineRecord& record, const UserCfIndex& index,
                   std::span<const std::int64_t> owned, std::vector<std::uint32_t>& overlap,
                   OverlapScratch& scratch) {
    const std::size_t n_users = record.n_users;
    overlap.assign(n_users, 0);
    std::uint32_t* counts = overlap.data();
    const RowOffsets item_users{record.uu_indptr, {record.uu_data.size()}};
    // The rows of `items`, in order; each row's users are fetched while the
    // previous row is counted (short rows otherwise wait on memory at each start).
    const auto add_rows = [&](std::span<const std::int64_t> items) {
        for (std::size_t j = 0; j < items.size(); ++j) {
            if (j + 1 < items.size())
                if (const auto next = item_users.try_row(static_cast<std::size_t>(items[j + 1])))
                    simd::prefetch_range(record.uu_data.data(), next->begin, next->end);
            signals::for_each_target(record.uu_data.data(),
                                     item_users.row(static_cast<std::size_t>(items[j])), n_users,
                                     [counts](std::size_t u) { ++counts[u]; });
        }
    };
    const auto bit_of = [&](std::int64_t item) {
        const auto i = static_cast<std::size_t>(item);
        return i < index.slot.size() ? index.slot[i] : -1;
    };
    if (index.words == 0) {
        add_rows(owned);
        return;
    }

    // The owned items with a column, each once, and the increments each word
    // of them stands for.
    const std::size_t words = index.words;
    scratch.owned_bits.assign(words, 0);
    scratch.saved.assign(words, 0);
    for (std::int64_t o : owned) {
        const std::int32_t bit = bit_of(o);
        if (bit < 0) continue;
        std::uint64_t& word = scratch.owned_bits[static_cast<std::size_t>(bit) / 64];
        const std::uint64_t mask = bit_mask(static_cast<std::size_t>(bit));
        if ((word & mask) != 0) continue;
        word |= mask;
        scratch.saved[static_cast<std::size_t>(bit) / 64] +=
            index.degree[static_cast<std::size_t>(bit)];
    }
    scratch.counted.assign(words, 0);
    for (std::size_t w = 0; w < words; ++w) {
        if (scratch.owned_bits[w] == 0 || scratch.saved[w] * kIncrementsPerWord < n_users) continue;
        add_column_counts(index.columns.data() + w * n_users, scratch.owned_bits[w], n_users,
                          counts);
        scratch.counted[w] = scratch.owned_bits[w];
    }

    // The rest by rows: items without a column, columns left unread, and any
    // repeated occurrence of a counted item.
    std::vector<std::int64_t>& rest = scratch.rest;
    rest.clear();
    for (std::int64_t o : owned) {
        if (const std::int32_t bit = bit_of(o); bit >= 0) {
            std::uint64_t& word = scratch.counted[static_cast<std::size_t>(bit) / 64];
            const std::uint64_t mask = bit_mask(static_cast<std::size_t>(bit));
            if ((word & mask) != 0) {
                word &= ~mask;
                continue;
            }
        }
        rest.push_back(o);
    }
    add_rows(rest);
}

}  // namespace tarsel::engine
