// The serving engine's record: every array and setting the recommend pipeline
// reads, owned by one plain struct. Field order is the declaration order of the
// persistence format; keep it.
#pragma once

#include <cstdint>
#include <vector>

namespace tarsel::engine {

// An item x item CSR layer with int32 positions (boost layers).
struct CsrF32 {
    std::vector<float> data;
    std::vector<std::int32_t> indices;
    std::vector<std::int32_t> indptr;
};

struct EngineRecord {
    std::uint64_t n_items = 0;
    bool base_is_ease = false;
    std::uint64_t ease_dim = 0;
    std::vector<float> ease_b;  // ease_dim x ease_dim, row-major
    std::vector<float> cooc_data;
    std::vector<std::int32_t> cooc_indices;
    std::vector<std::int32_t> cooc_indptr;
    std::vector<double> trend_z;
    double trend_alpha = 0.0;
    double last_item_alpha = 0.0;
    std::vector<double> trans_data;
    std::vector<std::int32_t> trans_indices;
    std::vector<std::int64_t> trans_indptr;
    double transition_alpha = 0.0;
    std::uint64_t transition_last_k = 0;
    double transition_decay = 0.0;
    std::vector<std::int64_t> uu_data;
    std::vector<std::int64_t> uu_indptr;
    std::vector<double> uu_deg;
    std::vector<std::int64_t> uri_data;
    std::vector<std::int64_t> uri_indptr;
    double user_cf_alpha = 0.0;
    std::uint64_t user_cf_k = 0;
    std::uint64_t n_users = 0;
    std::vector<double> item_pop;
    std::vector<CsrF32> boost;
    double z_threshold = 0.0;
    double boost_multiplier = 0.0;
    std::uint64_t retrieval_budget = 0;
    std::uint64_t cold_slots = 0;
    std::vector<float> content_data;
    std::vector<std::int32_t> content_indices;
    std::vector<std::int32_t> content_indptr;
    std::uint64_t content_nfeat = 0;
    std::vector<double> content_coldness;
    std::vector<double> cold_recency;
    double cold_recency_beta = 0.0;
    double content_alpha = 0.0;
    bool repeat_active = false;
    std::vector<std::int64_t> repeat_indptr;
    std::vector<std::int64_t> repeat_items;
    std::vector<double> repeat_counts;
    std::vector<double> repeat_last_ts;
    std::vector<double> repeat_periods;
    std::vector<double> repeat_quality;
    double repeat_now_ts = 0.0;
    double repeat_refractory = 0.0;
    double repeat_epsilon = 0.0;
    double repeat_freq_alpha = 0.0;
};

}  // namespace tarsel::engine
