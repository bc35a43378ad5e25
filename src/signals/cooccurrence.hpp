// Item-item co-occurrence from grouped interactions (users or sessions as
// rows): entry (i, j) sums, over every row and every pair of positions holding
// distinct items i and j, the product of the two weights, optionally scaled by
// a temporal kernel that favours pairs close in time.
#pragma once

#include "base/big_buffer.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace tarsel::signals {

struct Kernel {
    enum class Kind { PureCount, HybridTemporal };
    Kind kind = Kind::PureCount;
    double alpha = 1.0;
    double half_life_days = 30.0;

    bool temporal() const { return kind == Kind::HybridTemporal; }
};

// "pure_count" or "hybrid_temporal", exactly; ValueError otherwise.
Kernel parse_kernel(std::string_view text, double alpha, double half_life_days);

// A sparse matrix with int32 positions, columns ascending within each row.
struct Csr {
    BigVector<float> data;
    BigVector<std::int32_t> indices;
    std::vector<std::int32_t> indptr;
};

// The interactions of each row, in input order within a row.
struct Histories {
    struct Record {
        std::uint32_t item;
        float weight;
        double time;
    };
    BigVector<std::size_t> offsets;  // rows + 1 entries
    BigVector<Record> records;
    std::size_t n_cols = 0;  // one more than the largest kept item index
};

// Which interactions bucketing keeps by weight: all of them, or only those
// whose weight is not <= 0 (NaN weights are kept).
enum class WeightFilter { KeepAll, DropNonPositive };

// Groups interactions by row. Rows >= n_rows and items >= n_items (negatives
// included, compared unsigned) are dropped, as are weights the filter rejects.
// Times are read only when `timestamps` is given (0 otherwise); a kept
// interaction past the end of `timestamps` is an InternalFailure. Arrays must
// have equal lengths (checked by the caller). `parallel` runs on the shared
// pool; the result is the same either way.
Histories bucket_histories(std::span<const std::int64_t> rows, std::span<const std::int64_t> items,
                           std::span<const float> weights,
                           std::optional<std::span<const double>> timestamps, std::uint64_t n_rows,
                           std::uint64_t n_items, WeightFilter filter = WeightFilter::KeepAll,
                           bool parallel = false);

// How the entries above the diagonal are placed: `Auto` sums them in one
// pass into a buffer when it is sure to stay small, else counts them in a
// first pass and sums them in place in a second; `TwoPasses` always does the
// latter (no buffer). The result is the same either way.
enum class Placement { Auto, TwoPasses };

// The symmetric n_items x n_items co-occurrence matrix of the histories.
// Sums are taken in double and rounded to float32 once; the result does not
// depend on the number of threads. `parallel` runs on the shared pool.
Csr cooccurrence_matrix(Histories histories, const Kernel& kernel, std::uint64_t n_items,
                        bool parallel, Placement placement = Placement::Auto);

// ValueError unless n fits the int32 positions of the result.
void check_item_count(std::uint64_t n_items);

}  // namespace tarsel::signals
