#include "engine/user_cf.hpp"

#include "base/errors.hpp"
#include "base/simd.hpp"
#include "signals/csr_view.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

namespace tarsel::engine {

namespace {

using signals::RowOffsets;

// A request counts in place when its rows hold at least one entry per this
// many users: most users are reached then, and the sparse accumulator's list
// would cost a branch and a store per entry and a random read per user.
constexpr std::size_t kInPlaceShare = 16;

// Words with at least this many users reached are read 64 users at a time.
constexpr int kDenseWord = 16;

// A similarity below bar * (1 - 2^-50) (computed) rounds below the bar: the
// margin covers the rounding of the bound's two products and of the quotient.
constexpr double kBarMargin = 1.0 - 0x1p-50;

// Leaves the accumulators all zero when it goes, also when a broken row
// stops a request half-way.
class ScratchGuard {
  public:
    explicit ScratchGuard(UserCfScratch& s) : s_(s) {}
    ~ScratchGuard() {
        for (std::size_t u : s_.reached) s_.overlap[u] = 0;
        s_.reached.clear();
        if (in_place)
            for (std::size_t w = 0; w < s_.touched.size(); ++w)
                for (std::uint64_t bits = std::exchange(s_.touched[w], 0); bits != 0;
                     bits &= bits - 1)
                    s_.overlap[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))] = 0;
    }
    ScratchGuard(const ScratchGuard&) = delete;
    ScratchGuard& operator=(const ScratchGuard&) = delete;

    bool in_place = false;  // whether users may be marked in `touched`

  private:
    UserCfScratch& s_;
};

// Calls count(u) for every user u in the rows of the owned items, in owned
// order, skipping those with a bit column when `skip_columns`.
template <class Count>
void for_each_owned_user(const EngineRecord& record, const UserColumns& columns,
                         std::span<const std::int64_t> owned, bool skip_columns, Count count) {
    const RowOffsets item_users{record.uu_indptr, {record.uu_data.size()}};
    const auto has_column = [&](std::size_t item) {
        return skip_columns && item < columns.column.size() &&
               columns.column[item] != UserColumns::kNone;
    };
    for (std::size_t j = 0; j < owned.size(); ++j) {
        const auto item = static_cast<std::size_t>(owned[j]);
        if (has_column(item)) continue;
        // The next row's users are fetched while this row is counted (short
        // rows otherwise wait on memory at each start).
        if (j + 1 < owned.size())
            if (const auto next = item_users.try_row(static_cast<std::size_t>(owned[j + 1])))
                simd::prefetch_range(record.uu_data.data(), next->begin, next->end);
        signals::for_each_target(record.uu_data.data(), item_users.row(item), record.n_users,
                                 count);
    }
}

// Whether the owned rows hold at least n_users / kInPlaceShare entries. A row
// that cannot be read answers no: the sparse count then raises its failure.
bool counts_in_place(const EngineRecord& record, std::span<const std::int64_t> owned) {
    const RowOffsets item_users{record.uu_indptr, {record.uu_data.size()}};
    std::size_t entries = 0;
    for (std::int64_t item : owned) {
        const auto row = item_users.try_row(static_cast<std::size_t>(item));
        if (!row) return false;
        entries += row->end - row->begin;
    }
    // Below 2^31 entries, so are the overlaps.
    return entries >= record.n_users / kInPlaceShare && record.n_users > 0 &&
           entries < (std::size_t{1} << 31);
}

// Offers users with their overlaps to the cut and remembers the smallest
// candidate without a degree.
class Offers {
  public:
    Offers(const EngineRecord& record, std::span<const double> root_degree, std::size_t n_owned,
           std::int64_t user_row, std::vector<Ranked>& out)
        : root_degree_(root_degree), owned_norm_(std::sqrt(static_cast<double>(n_owned))),
          self_(user_row >= 0 ? static_cast<std::size_t>(user_row) : kNoUser),
          nearest_(out, record.user_cf_k) {}

    void offer(std::size_t u, std::uint32_t shared) {
        if (u == self_) return;
        if (u >= root_degree_.size()) {
            without_degree_ = std::min(without_degree_, u);  // the smallest is reported
            return;
        }
        const double norm = owned_norm_ * root_degree_[u];
        const auto overlap = static_cast<double>(shared);
        // Once the cut is full, most users fall provably below its bar: a
        // product instead of the quotient. Non-finite values never compare
        // below and are ranked exactly.
        if (overlap < nearest_.floor() * norm * kBarMargin) return;
        const double sim = overlap / norm;
        nearest_.offer({rank_key(sim), u});
    }

    double owned_norm() const { return owned_norm_; }
    // The bar a user must reach once the cut is full; -inf before.
    double floor() const { return nearest_.floor(); }

    // The cut's users, ordered by user; InternalFailure for a candidate
    // without a degree.
    void finish(std::vector<Ranked>& out) {
        if (without_degree_ != kNoUser) index_failure(root_degree_.size(), without_degree_);
        nearest_.finish_unranked();
        // By user, so that the votes read the user -> item rows in storage order.
        std::sort(out.begin(), out.end(),
                  [](const Ranked& a, const Ranked& b) { return a.index < b.index; });
    }

  private:
    static constexpr std::size_t kNoUser = std::numeric_limits<std::size_t>::max();
    std::span<const double> root_degree_;
    double owned_norm_;
    std::size_t self_;
    std::size_t without_degree_ = kNoUser;
    BestK nearest_;
};

// Counts the owned rows' users in the sparse accumulator, listing each user
// the first time it is reached, and offers the reached users.
void offer_sparse(const EngineRecord& record, const NeighbourIndex& index,
                  std::span<const std::int64_t> owned, UserCfScratch& s, Offers& offers) {
    std::uint32_t* overlap = s.overlap.data();
    std::vector<std::size_t>& reached = s.reached;
    for_each_owned_user(record, index.columns, owned, false, [overlap, &reached](std::size_t u) {
        if (overlap[u]++ == 0) reached.push_back(u);
    });
    const double* root_degree = index.root_degree.data();
    const std::size_t with_degree = index.root_degree.size();
    constexpr std::size_t kAhead = 16;
    for (std::size_t j = 0; j < reached.size(); ++j) {
        // The users are reached in no useful order: their degrees are fetched
        // ahead of use.
        if (j + kAhead < reached.size() && reached[j + kAhead] < with_degree)
            __builtin_prefetch(root_degree + reached[j + kAhead]);
        const std::size_t u = reached[j];
        offers.offer(u, std::exchange(overlap[u], 0));
    }
    reached.clear();
}

// Words of 64 users counted together: the columns are stored in whole groups.
constexpr std::size_t kGroup = 8;

// Bit-sliced counts of the columns over words [w, w + kGroup): bit b of
// slices[i * kGroup + g] is bit i of the number of columns holding user
// 64 * (w + g) + b. After c columns a count has at most bit_width(c) bits,
// so each column's carry only runs that deep.
TARSEL_VECTOR_CLONES
void column_counts(const std::uint64_t* const* columns, std::size_t n_columns, std::size_t w,
                   std::size_t n_slices, std::uint64_t* slices) {
    std::fill_n(slices, n_slices * kGroup, 0);
    for (std::size_t c = 0; c < n_columns; ++c) {
        std::uint64_t carry[kGroup];
        for (std::size_t g = 0; g < kGroup; ++g) carry[g] = columns[c][w + g];
        const auto depth = static_cast<std::size_t>(std::bit_width(c + 1));
        for (std::size_t i = 0; i < depth; ++i)
            for (std::size_t g = 0; g < kGroup; ++g) {
                const std::uint64_t next = slices[i * kGroup + g] & carry[g];
                slices[i * kGroup + g] ^= carry[g];
                carry[g] = next;
            }
    }
}

// The overlaps of the 64 users of one word, the in-place counts plus the
// columns' bit-sliced counts (slice i at slices[i * kGroup]), into `shared` (the in-place counts
// are zeroed), and in `may` a 1 for each user who has an overlap and may reach `floor`: a user
// whose overlap is below floor * (owned_norm * root degree) * kBarMargin cannot be kept. Overlaps
// are below 2^31.
TARSEL_VECTOR_CLONES
void word_overlaps(const std::uint64_t* slices, std::size_t n_slices, std::uint32_t* overlap,
                   const double* root_degree, double owned_norm, double floor,
                   std::uint32_t* shared, std::uint8_t* may) {
    for (std::size_t b = 0; b < 64; ++b) shared[b] = overlap[b];
    for (std::size_t b = 0; b < 64; ++b) overlap[b] = 0;
    for (std::size_t i = 0; i < n_slices; ++i) {
        const auto low = static_cast<std::uint32_t>(slices[i * kGroup]);
        const auto high = static_cast<std::uint32_t>(slices[i * kGroup] >> 32);
        const std::uint32_t weight = std::uint32_t{1} << i;
        for (std::uint32_t b = 0; b < 32; ++b) {
            shared[b] += (low >> b) & 1 ? weight : 0;
            shared[b + 32] += (high >> b) & 1 ? weight : 0;
        }
    }
    for (std::size_t b = 0; b < 64; ++b) {
        const double norm = owned_norm * root_degree[b];
        const auto overlap_b = static_cast<double>(static_cast<std::int32_t>(shared[b]));
        may[b] =
            static_cast<std::uint8_t>((shared[b] != 0) & !(overlap_b < floor * norm * kBarMargin));
    }
}

// Counts the owned rows' users in place: rows with a bit column as bit-sliced
// counters, 64 users at a time, the others entry by entry with a bit per 64
// users that marks who was reached; then offers the users in order.
void offer_in_place(const EngineRecord& record, const NeighbourIndex& index,
                    std::span<const std::int64_t> owned, UserCfScratch& s, Offers& offers) {
    const UserColumns& columns = index.columns;
    const std::size_t words = (record.n_users + 63) / 64;
    if (s.touched.size() < words) s.touched.resize(words, 0);
    std::uint32_t* overlap = s.overlap.data();
    std::uint64_t* touched = s.touched.data();
    const std::size_t stride = (words + kGroup - 1) / kGroup * kGroup;
    const bool use_columns = columns.words == stride && !columns.bits.empty();
    for_each_owned_user(record, columns, owned, use_columns, [overlap, touched](std::size_t u) {
        ++overlap[u];
        touched[u / 64] |= std::uint64_t{1} << (u % 64);
    });

    std::vector<const std::uint64_t*>& long_columns = s.long_columns;
    long_columns.clear();
    if (use_columns)
        for (std::int64_t item : owned) {
            const auto row = static_cast<std::size_t>(item);
            if (row < columns.column.size() && columns.column[row] != UserColumns::kNone)
                long_columns.push_back(columns.bits.data() + columns.column[row] * stride);
        }
    const auto n_slices = static_cast<std::size_t>(std::bit_width(long_columns.size()));
    s.slices.resize(n_slices * kGroup);
    std::uint64_t* slices = s.slices.data();
    std::array<std::uint32_t, 64> shared{};
    std::array<std::uint8_t, 64> may{};
    const std::size_t with_degree = index.root_degree.size();
    for (std::size_t w = 0; w < words; ++w) {
        const std::size_t g = w % kGroup;
        if (g == 0) column_counts(long_columns.data(), long_columns.size(), w, n_slices, slices);
        // touched[w] is cleared once the word's overlaps are all zero again.
        std::uint64_t any = touched[w];
        for (std::size_t i = 0; i < n_slices; ++i) any |= slices[i * kGroup + g];
        if (any == 0) continue;
        const std::size_t first = w * 64;
        if (first + 64 <= with_degree && std::popcount(any) >= kDenseWord) {
            // Most users of a word fall below the cut's bar, and are told
            // apart from the others 64 at a time.
            word_overlaps(slices + g, n_slices, overlap + first, index.root_degree.data() + first,
                          offers.owned_norm(), offers.floor(), shared.data(), may.data());
            for (std::size_t b = 0; b < 64; b += 8) {
                std::uint64_t eight;  // eight users at a time: most have none
                std::memcpy(&eight, may.data() + b, 8);
                if (eight != 0)
                    for (std::size_t c = b; c < b + 8; ++c)
                        if (may[c]) offers.offer(first + c, shared[c]);
            }
            touched[w] = 0;
            continue;
        }
        for (; any != 0; any &= any - 1) {
            const auto bit = static_cast<unsigned>(std::countr_zero(any));
            std::uint32_t column_count = 0;
            for (std::size_t i = 0; i < n_slices; ++i)
                column_count |= static_cast<std::uint32_t>((slices[i * kGroup + g] >> bit) & 1)
                                << i;
            const std::size_t u = first + bit;
            offers.offer(u, column_count + std::exchange(overlap[u], 0));
        }
        touched[w] = 0;
    }
}

// Bit columns for the rows of at least two entries per 64 users.
UserColumns user_columns(const EngineRecord& record) {
    UserColumns columns;
    const std::size_t n_users = record.n_users;
    if (n_users == 0) return columns;
    const std::size_t words = (n_users + 63) / 64;
    const std::size_t stride = (words + kGroup - 1) / kGroup * kGroup;
    const RowOffsets item_users{record.uu_indptr, {record.uu_data.size()}};
    const auto long_row = [&](std::size_t r) {
        const auto row = item_users.try_row(r);
        return row && row->end - row->begin >= 2 * words ? row : std::nullopt;
    };
    std::size_t n_long = 0;
    for (std::size_t r = 0; r < item_users.rows(); ++r) n_long += long_row(r).has_value();
    if (n_long == 0) return columns;

    columns.words = stride;
    columns.column.assign(item_users.rows(), UserColumns::kNone);
    columns.bits.assign(n_long * stride, 0);
    std::uint32_t next = 0;
    for (std::size_t r = 0; r < item_users.rows(); ++r) {
        const auto row = long_row(r);
        if (!row) continue;
        std::uint64_t* column = columns.bits.data() + std::size_t{next} * stride;
        bool sound = true;
        for (std::size_t k = row->begin; k < row->end && sound; ++k) {
            const auto u = static_cast<std::uint64_t>(record.uu_data[k]);
            const std::uint64_t bit = std::uint64_t{1} << (u % 64);
            sound = u < n_users && (column[u / 64] & bit) == 0;
            if (sound) column[u / 64] |= bit;
        }
        if (sound)
            columns.column[r] = next++;
        else
            std::fill_n(column, stride, 0);
    }
    columns.bits.resize(std::size_t{next} * stride);
    columns.bits.shrink_to_fit();
    return columns;
}

}  // namespace

NeighbourIndex neighbour_index(const EngineRecord& record) {
    NeighbourIndex index;
    index.root_degree.resize(std::min<std::uint64_t>(record.n_users, record.uu_deg.size()));
    for (std::size_t u = 0; u < index.root_degree.size(); ++u)
        index.root_degree[u] = std::sqrt(record.uu_deg[u]);
    index.columns = user_columns(record);
    return index;
}

void nearest_users(const EngineRecord& record, const NeighbourIndex& index,
                   std::span<const std::int64_t> owned, std::int64_t user_row,
                   UserCfScratch& scratch, std::vector<Ranked>& out) {
    ScratchGuard guard(scratch);
    if (scratch.overlap.size() < record.n_users) scratch.overlap.resize(record.n_users, 0);
    Offers offers(record, index.root_degree, owned.size(), user_row, out);
    guard.in_place = counts_in_place(record, owned);
    if (guard.in_place)
        offer_in_place(record, index, owned, scratch, offers);
    else
        offer_sparse(record, index, owned, scratch, offers);
    offers.finish(out);
}

}  // namespace tarsel::engine
