// Building a new engine record from the caller's named arrays and settings.
// The source of the values is abstract so that the order of reads and the
// checks live here, free of any Python object; the binding reads the dicts.
#pragma once

#include "engine/record.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace tarsel::engine {

// A dense matrix in row-major order.
struct DenseF32 {
    std::size_t rows = 0, cols = 0;
    RecordArray<float> data;
};

// Where construction reads its inputs from, one named entry at a time. A
// missing entry leaves the target untouched (settings keep their default);
// a missing array entry clears it. A malformed entry throws.
class EngineSource {
  public:
    virtual ~EngineSource() = default;
    // The dense EASE block, or nothing when it is absent.
    virtual std::optional<DenseF32> ease_block() = 0;
    virtual void array(const char* key, RecordArray<float>& out) = 0;
    virtual void array(const char* key, RecordArray<std::int32_t>& out) = 0;
    virtual void array(const char* key, RecordArray<std::int64_t>& out) = 0;
    virtual void array(const char* key, RecordArray<double>& out) = 0;
    virtual void boost_layers(std::vector<CsrF32>& out) = 0;
    virtual void count(const char* key, std::uint64_t& value) = 0;
    virtual void real(const char* key, double& value) = 0;
    virtual void flag(const char* key, bool& value) = 0;
};

// Reads every entry in its fixed order, checking the base scorer as soon as
// the entries it depends on are known. The first failure ends the build.
EngineRecord build_record(EngineSource& source);

// The base-scorer checks (ValueError): a positive catalogue, at least one base
// scorer, and a square EASE block no larger than the catalogue.
void check_base_scorer(std::uint64_t n_items, bool has_cooc, std::uint64_t ease_dim,
                       std::size_t ease_len);

}  // namespace tarsel::engine
