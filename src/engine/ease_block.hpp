// The dense EASE block of an engine record, read row by row.
#pragma once

#include "base/errors.hpp"
#include "engine/record.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tarsel::engine {

// The dense EASE block of a record, checked to hold ease_dim^2 values.
class EaseBlock {
  public:
    explicit EaseBlock(const EngineRecord& record)
        : data_(record.ease_b.data()), dim_(record.ease_dim),
          width_(std::min<std::uint64_t>(record.ease_dim, record.n_items)) {
        if (dim_ != 0 && dim_ > record.ease_b.size() / dim_)
            throw InternalFailure("ease_b holds " + std::to_string(record.ease_b.size()) +
                                  " values, fewer than ease_dim^2 for ease_dim " +
                                  std::to_string(dim_));
    }

    // Row `item`, or null past the block (such rows add nothing); read over
    // the width() items the block covers.
    const float* row(std::size_t item) const { return item < dim_ ? data_ + item * dim_ : nullptr; }
    std::size_t width() const { return width_; }

    // The rows of the owned items inside the block, in owned order.
    void owned_rows(std::span<const std::int64_t> owned, std::vector<const float*>& out) const {
        out.clear();
        for (std::int64_t o : owned)
            if (const float* r = row(static_cast<std::size_t>(o))) out.push_back(r);
    }

  private:
    const float* data_;
    std::size_t dim_;
    std::size_t width_;
};

}  // namespace tarsel::engine
