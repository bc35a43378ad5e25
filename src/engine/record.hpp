// The serving engine's record: every array and setting the recommend pipeline
// reads, owned by one plain struct. Field order is the declaration order of the
// persistence format; keep it.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

namespace tarsel::engine {

// An item x item CSR layer with int32 positions (boost layers).
struct CsrF32 {
    std::vector<float> data;
    std::vector<std::int32_t> indices;
    std::vector<std::int32_t> indptr;
};

// Member defaults are the settings a new engine takes when its configuration
// leaves them out (n_items 0 is rejected by construction).
struct EngineRecord {
    std::uint64_t n_items = 0;
    bool base_is_ease = true;
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
    std::uint64_t transition_last_k = 5;
    double transition_decay = 0.7;
    std::vector<std::int64_t> uu_data;
    std::vector<std::int64_t> uu_indptr;
    std::vector<double> uu_deg;
    std::vector<std::int64_t> uri_data;
    std::vector<std::int64_t> uri_indptr;
    double user_cf_alpha = 0.0;
    std::uint64_t user_cf_k = 100;
    std::uint64_t n_users = 0;
    std::vector<double> item_pop;
    std::vector<CsrF32> boost;
    double z_threshold = 2.5;
    double boost_multiplier = 3.0;
    std::uint64_t retrieval_budget = 500;
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
    double repeat_now_ts = std::numeric_limits<double>::quiet_NaN();
    double repeat_refractory = 0.0;
    double repeat_epsilon = 0.001;
    double repeat_freq_alpha = 0.0;
};

// Calls visit(field) on the 49 fields of `r` in declaration order (the order of
// the persistence format). Works on const and mutable records alike.
template <class Record, class Visitor>
void for_each_field(Record& r, Visitor&& visit) {
    visit(r.n_items);
    visit(r.base_is_ease);
    visit(r.ease_dim);
    visit(r.ease_b);
    visit(r.cooc_data);
    visit(r.cooc_indices);
    visit(r.cooc_indptr);
    visit(r.trend_z);
    visit(r.trend_alpha);
    visit(r.last_item_alpha);
    visit(r.trans_data);
    visit(r.trans_indices);
    visit(r.trans_indptr);
    visit(r.transition_alpha);
    visit(r.transition_last_k);
    visit(r.transition_decay);
    visit(r.uu_data);
    visit(r.uu_indptr);
    visit(r.uu_deg);
    visit(r.uri_data);
    visit(r.uri_indptr);
    visit(r.user_cf_alpha);
    visit(r.user_cf_k);
    visit(r.n_users);
    visit(r.item_pop);
    visit(r.boost);
    visit(r.z_threshold);
    visit(r.boost_multiplier);
    visit(r.retrieval_budget);
    visit(r.cold_slots);
    visit(r.content_data);
    visit(r.content_indices);
    visit(r.content_indptr);
    visit(r.content_nfeat);
    visit(r.content_coldness);
    visit(r.cold_recency);
    visit(r.cold_recency_beta);
    visit(r.content_alpha);
    visit(r.repeat_active);
    visit(r.repeat_indptr);
    visit(r.repeat_items);
    visit(r.repeat_counts);
    visit(r.repeat_last_ts);
    visit(r.repeat_periods);
    visit(r.repeat_quality);
    visit(r.repeat_now_ts);
    visit(r.repeat_refractory);
    visit(r.repeat_epsilon);
    visit(r.repeat_freq_alpha);
}

}  // namespace tarsel::engine
