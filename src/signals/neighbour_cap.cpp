#include "signals/neighbour_cap.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace tarsel::signals {

namespace {

void check_rows(std::span<const float> data, std::span<const std::int32_t> indices,
                std::span<const std::int32_t> indptr) {
    if (indptr.empty()) throw ValueError("indptr must hold at least one entry");
    if (data.size() != indices.size()) throw ValueError("data and indices must have equal length");
    if (indptr[0] != 0) throw ValueError("indptr must start at 0");
    for (std::size_t r = 0; r + 1 < indptr.size(); ++r)
        if (indptr[r + 1] < indptr[r])
            throw ValueError("indptr must not decrease (row " + std::to_string(r) + ")");
    if (static_cast<std::size_t>(indptr.back()) != data.size())
        throw ValueError("indptr must end at len(data)");
}

}  // namespace

CappedCsr cap_neighbours(std::span<const float> data, std::span<const std::int32_t> indices,
                         std::span<const std::int32_t> indptr, std::uint64_t k) {
    check_rows(data, indices, indptr);
    const std::size_t rows = indptr.size() - 1;
    CappedCsr out;
    out.indptr.assign(indptr.size(), 0);
    for (std::size_t r = 0; r < rows; ++r) {
        const auto length = static_cast<std::uint64_t>(indptr[r + 1] - indptr[r]);
        out.indptr[r + 1] = out.indptr[r] + static_cast<std::int32_t>(std::min(length, k));
    }
    const auto kept = static_cast<std::size_t>(out.indptr[rows]);
    out.data.resize(kept);
    out.indices.resize(kept);

    // Position p ranks before q: the larger value, NaN last, then the smaller
    // column, then the earlier position (a strict total order).
    const auto before = [&](std::int32_t p, std::int32_t q) {
        const float a = data[static_cast<std::size_t>(p)], b = data[static_cast<std::size_t>(q)];
        const bool a_nan = std::isnan(a), b_nan = std::isnan(b);
        if (a_nan != b_nan) return b_nan;
        if (!a_nan && a != b) return a > b;
        const std::int32_t ca = indices[static_cast<std::size_t>(p)];
        const std::int32_t cb = indices[static_cast<std::size_t>(q)];
        return ca != cb ? ca < cb : p < q;
    };
    pool::parallel_for(0, rows, 64, [&](std::size_t lo, std::size_t hi) {
        std::vector<std::int32_t> order;  // one buffer per task, reused across its rows
        for (std::size_t r = lo; r < hi; ++r) {
            const std::int32_t begin = indptr[r], end = indptr[r + 1];
            const auto to = static_cast<std::size_t>(out.indptr[r]);
            const auto take = static_cast<std::size_t>(out.indptr[r + 1] - out.indptr[r]);
            const auto length = static_cast<std::size_t>(end - begin);
            if (take == length) {  // a row within the cap stays whole
                std::copy_n(data.begin() + begin, take, out.data.begin() + to);
                std::copy_n(indices.begin() + begin, take, out.indices.begin() + to);
                continue;
            }
            order.resize(length);
            for (std::int32_t p = begin; p < end; ++p)
                order[static_cast<std::size_t>(p - begin)] = p;
            std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(take),
                             order.end(), before);
            order.resize(take);
            std::sort(order.begin(), order.end());  // stored order
            for (std::size_t j = 0; j < take; ++j) {
                out.data[to + j] = data[static_cast<std::size_t>(order[j])];
                out.indices[to + j] = indices[static_cast<std::size_t>(order[j])];
            }
        }
    });
    return out;
}

}  // namespace tarsel::signals
