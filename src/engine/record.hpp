// The serving engine's record: every array and setting the recommend pipeline
// reads, held by one plain struct declared from one field table (an array
// owns its elements or views a fit's read-only arrays: record_array.hpp).
#pragma once

#include "engine/record_array.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace tarsel::engine {

// An item x item CSR layer with int32 positions (boost layers).
struct CsrF32 {
    RecordArray<float> data;
    RecordArray<std::int32_t> indices;
    RecordArray<std::int32_t> indptr;
};

// Every field of the engine record, in the order of its persistence format:
// X(type, name, default). This list is the only one: the struct, the field
// visitor (encoding, decoding, construction from named entries) and the names
// all expand it, so that adding a field is one line here plus its use. The
// defaults are the settings a new engine takes when its configuration leaves
// them out (n_items 0 is rejected by construction).
#define TARSEL_ENGINE_RECORD_FIELDS(X)                                 \
    X(std::uint64_t, n_items, 0)                                       \
    X(bool, base_is_ease, true)                                        \
    X(std::uint64_t, ease_dim, 0)                                      \
    X(RecordArray<float>, ease_b, {}) /* ease_dim^2, row-major */      \
    X(RecordArray<float>, cooc_data, {})                               \
    X(RecordArray<std::int32_t>, cooc_indices, {})                     \
    X(RecordArray<std::int32_t>, cooc_indptr, {})                      \
    X(RecordArray<double>, trend_z, {})                                \
    X(double, trend_alpha, 0.0)                                        \
    X(double, last_item_alpha, 0.0)                                    \
    X(RecordArray<double>, trans_data, {})                             \
    X(RecordArray<std::int32_t>, trans_indices, {})                    \
    X(RecordArray<std::int64_t>, trans_indptr, {})                     \
    X(double, transition_alpha, 0.0)                                   \
    X(std::uint64_t, transition_last_k, 5)                             \
    X(double, transition_decay, 0.7)                                   \
    X(RecordArray<std::int64_t>, uu_data, {})                          \
    X(RecordArray<std::int64_t>, uu_indptr, {})                        \
    X(RecordArray<double>, uu_deg, {})                                 \
    X(RecordArray<std::int64_t>, uri_data, {})                         \
    X(RecordArray<std::int64_t>, uri_indptr, {})                       \
    X(double, user_cf_alpha, 0.0)                                      \
    X(std::uint64_t, user_cf_k, 100)                                   \
    X(std::uint64_t, n_users, 0)                                       \
    X(RecordArray<double>, item_pop, {})                               \
    X(std::vector<CsrF32>, boost, {})                                  \
    X(double, z_threshold, 2.5)                                        \
    X(double, boost_multiplier, 3.0)                                   \
    X(std::uint64_t, retrieval_budget, 500)                            \
    X(std::uint64_t, cold_slots, 0)                                    \
    X(RecordArray<float>, content_data, {})                            \
    X(RecordArray<std::int32_t>, content_indices, {})                  \
    X(RecordArray<std::int32_t>, content_indptr, {})                   \
    X(std::uint64_t, content_nfeat, 0)                                 \
    X(RecordArray<double>, content_coldness, {})                       \
    X(RecordArray<double>, cold_recency, {})                           \
    X(double, cold_recency_beta, 0.0)                                  \
    X(double, content_alpha, 0.0)                                      \
    X(bool, repeat_active, false)                                      \
    X(RecordArray<std::int64_t>, repeat_indptr, {})                    \
    X(RecordArray<std::int64_t>, repeat_items, {})                     \
    X(RecordArray<double>, repeat_counts, {})                          \
    X(RecordArray<double>, repeat_last_ts, {})                         \
    X(RecordArray<double>, repeat_periods, {})                         \
    X(RecordArray<double>, repeat_quality, {})                         \
    X(double, repeat_now_ts, std::numeric_limits<double>::quiet_NaN()) \
    X(double, repeat_refractory, 0.0)                                  \
    X(double, repeat_epsilon, 0.001)                                   \
    X(double, repeat_freq_alpha, 0.0)

struct EngineRecord {
#define TARSEL_DECLARE_FIELD(type, name, init) type name = init;
    TARSEL_ENGINE_RECORD_FIELDS(TARSEL_DECLARE_FIELD)
#undef TARSEL_DECLARE_FIELD
};

// Calls visit(name, field) on every field of `r` in the table's order (the
// order of the persistence format). Works on const and mutable records alike.
template <class Record, class Visitor>
void for_each_field(Record& r, Visitor&& visit) {
#define TARSEL_VISIT_FIELD(type, name, init) visit(#name, r.name);
    TARSEL_ENGINE_RECORD_FIELDS(TARSEL_VISIT_FIELD)
#undef TARSEL_VISIT_FIELD
}

}  // namespace tarsel::engine
