#include "signals/metadata_knn.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"
#include "base/top_k.hpp"

#include <algorithm>
#include <cstddef>

namespace tarsel::signals {
namespace {

// Positions [begin, end) of one item's features; an inverted range (negative
// bounds compare as huge unsigned values) is empty.
struct RowRange {
    std::size_t begin = 0;
    std::size_t end = 0;
};

RowRange row_range(std::span<const std::int32_t> indptr, std::size_t r) {
    const auto begin = static_cast<std::size_t>(indptr[r]);
    const auto end = static_cast<std::size_t>(indptr[r + 1]);
    if (begin >= end) return {};
    return {begin, end};
}

// The first position of `row` at or past the end of an array of length len.
void check_within(const RowRange& row, std::size_t len) {
    if (row.end > len) index_failure(len, std::max(row.begin, len));
}

// For every feature, the items carrying it (ascending, an item listing the
// feature twice entered twice) and their values. Features held by more than
// max_df entries are left empty.
struct Postings {
    std::vector<std::size_t> offsets;  // n_cols + 1
    std::vector<std::uint32_t> items;
    std::vector<float> values;

    std::size_t n_cols() const { return offsets.size() - 1; }
};

Postings build_postings(std::span<const float> data, std::span<const std::int32_t> indices,
                        std::span<const std::int32_t> indptr, std::size_t n_items,
                        const KnnSettings& s) {
    // Validates every row, and sizes the table by the largest feature used
    // rather than by n_features, which may be huge.
    std::size_t n_cols = 0;
    for (std::size_t r = 0; r < n_items; ++r) {
        const RowRange row = row_range(indptr, r);
        check_within(row, indices.size());
        check_within(row, data.size());
        for (std::size_t j = row.begin; j < row.end; ++j)
            if (indices[j] >= 0 && static_cast<std::uint64_t>(indices[j]) < s.n_features)
                n_cols = std::max(n_cols, static_cast<std::size_t>(indices[j]) + 1);
    }
    auto for_each_entry = [&](auto&& visit) {
        for (std::size_t r = 0; r < n_items; ++r) {
            const RowRange row = row_range(indptr, r);
            for (std::size_t j = row.begin; j < row.end; ++j)
                if (indices[j] >= 0 && static_cast<std::size_t>(indices[j]) < n_cols)
                    visit(r, static_cast<std::size_t>(indices[j]), j);
        }
    };

    Postings p;
    std::vector<std::size_t> count(n_cols, 0);
    for_each_entry([&](std::size_t, std::size_t f, std::size_t) { ++count[f]; });
    if (s.max_df > 0)
        for (std::size_t& c : count)
            if (c > s.max_df) c = 0;
    p.offsets.assign(n_cols + 1, 0);
    for (std::size_t f = 0; f < n_cols; ++f) p.offsets[f + 1] = p.offsets[f] + count[f];
    p.items.resize(p.offsets[n_cols]);
    p.values.resize(p.offsets[n_cols]);
    std::vector<std::size_t> cursor(p.offsets.begin(), p.offsets.end() - 1);
    for_each_entry([&](std::size_t r, std::size_t f, std::size_t j) {
        if (count[f] == 0) return;  // capped
        p.items[cursor[f]] = static_cast<std::uint32_t>(r);
        p.values[cursor[f]++] = data[j];
    });
    return p;
}

struct Candidate {
    std::uint32_t item;
    double score;
};

// Highest score first; equal scores by the smaller item, so both the top-k cut
// and the order within a group are deterministic.
struct RanksBefore {
    bool operator()(const Candidate& a, const Candidate& b) const {
        return a.score > b.score || (a.score == b.score && a.item < b.item);
    }
};

// One worker's scratch: a dense accumulator over the items, all zero between
// items, and the kept neighbours of every item the worker processed.
struct Scratch {
    std::vector<double> score;
    std::vector<Candidate> candidates;
    std::vector<Candidate> kept;

    explicit Scratch(std::size_t n_items) : score(n_items, 0.0) {}
};

// Where an item's kept neighbours lie in its worker's scratch.
struct Group {
    std::size_t worker = 0;
    std::size_t begin = 0;
    std::size_t size = 0;
};

// Calls visit(other, posting) for every posting of every in-range feature of
// item i, the item itself excluded.
template <class Visit>
void for_each_posting(std::size_t i, std::span<const std::int32_t> indices,
                      std::span<const std::int32_t> indptr, const Postings& p, Visit&& visit) {
    const RowRange row = row_range(indptr, i);
    for (std::size_t j = row.begin; j < row.end; ++j) {
        if (indices[j] < 0 || static_cast<std::size_t>(indices[j]) >= p.n_cols()) continue;
        const auto f = static_cast<std::size_t>(indices[j]);
        for (std::size_t q = p.offsets[f]; q < p.offsets[f + 1]; ++q)
            if (p.items[q] != i) visit(j, q);
    }
}

void score_item(std::size_t i, std::span<const float> data, std::span<const std::int32_t> indices,
                std::span<const std::int32_t> indptr, const Postings& p, std::uint64_t top_k,
                Scratch& s, Group& group) {
    double* score = s.score.data();
    for_each_posting(i, indices, indptr, p, [&](std::size_t j, std::size_t q) {
        score[p.items[q]] += static_cast<double>(data[j]) * static_cast<double>(p.values[q]);
    });
    // A second walk over the same postings collects every touched item once
    // and restores the accumulator to zero for the next item; an item whose
    // sum is 0 is neither a candidate nor in need of a reset.
    auto& c = s.candidates;
    c.clear();
    for_each_posting(i, indices, indptr, p, [&](std::size_t, std::size_t q) {
        const std::uint32_t o = p.items[q];
        const double total = score[o];
        if (total == 0.0) return;
        if (total > 0.0) c.push_back(Candidate{o, total});
        score[o] = 0.0;
    });

    top_k::keep_best(c, static_cast<std::size_t>(top_k), RanksBefore{});
    group.begin = s.kept.size();
    group.size = c.size();
    s.kept.insert(s.kept.end(), c.begin(), c.end());
}

}  // namespace

Neighbours metadata_neighbours(std::span<const float> data, std::span<const std::int32_t> indices,
                               std::span<const std::int32_t> indptr, const KnnSettings& settings) {
    const std::size_t n_items = indptr.empty() ? 0 : indptr.size() - 1;
    if (settings.n_features == 0 || settings.top_k == 0 || n_items < 1) return {};

    const Postings p = build_postings(data, indices, indptr, n_items, settings);
    const std::size_t workers = pool::size();
    std::vector<Scratch> scratch;
    scratch.reserve(workers);
    for (std::size_t w = 0; w < workers; ++w) scratch.emplace_back(n_items);
    std::vector<Group> groups(n_items);
    pool::parallel_for(0, n_items, 64, [&](std::size_t lo, std::size_t hi) {
        const std::size_t w = pool::worker_index();
        for (std::size_t i = lo; i < hi; ++i) {
            groups[i].worker = w;
            score_item(i, data, indices, indptr, p, settings.top_k, scratch[w], groups[i]);
        }
    });

    std::size_t total = 0;
    for (const Group& g : groups) total += g.size;
    Neighbours out;
    out.items.reserve(total);
    out.neighbours.reserve(total);
    out.scores.reserve(total);
    for (std::size_t i = 0; i < n_items; ++i) {
        const Candidate* c = scratch[groups[i].worker].kept.data() + groups[i].begin;
        for (std::size_t k = 0; k < groups[i].size; ++k) {
            out.items.push_back(static_cast<std::int64_t>(i));
            out.neighbours.push_back(c[k].item);
            out.scores.push_back(c[k].score);
        }
    }
    return out;
}

}  // namespace tarsel::signals
