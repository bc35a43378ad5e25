// The serving engine's record: every array and setting the recommend pipeline
// reads, owned by one plain struct. Field order is the declaration order of the
// persistence format; keep it.
#pragma once

#include "frame/big_buffer.hpp"

#include <cstdint>
#include <limits>
#include <vector>

namespace tarsel::engine {

// A record array. Its allocator leaves resized elements uninitialised, so a
// decode or a copy writes each element once instead of after a zeroing pass,
// and arrays of several megabytes sit on transparent huge pages.
template <class T>
using RecordArray = BigVector<T>;

// An item x item CSR layer with int32 positions (boost layers).
struct CsrF32 {
    RecordArray<float> data;
    RecordArray<std::int32_t> indices;
    RecordArray<std::int32_t> indptr;
};

// Member defaults are the settings a new engine takes when its configuration
// leaves them out (n_items 0 is rejected by construction).
struct EngineRecord {
    std::uint64_t n_items = 0;
    bool base_is_ease = true;
    std::uint64_t ease_dim = 0;
    RecordArray<float> ease_b;  // ease_dim x ease_dim, row-major
    RecordArray<float> cooc_data;
    RecordArray<std::int32_t> cooc_indices;
    RecordArray<std::int32_t> cooc_indptr;
    RecordArray<double> trend_z;
    double trend_alpha = 0.0;
    double last_item_alpha = 0.0;
    RecordArray<double> trans_data;
    RecordArray<std::int32_t> trans_indices;
    RecordArray<std::int64_t> trans_indptr;
    double transition_alpha = 0.0;
    std::uint64_t transition_last_k = 5;
    double transition_decay = 0.7;
    RecordArray<std::int64_t> uu_data;
    RecordArray<std::int64_t> uu_indptr;
    RecordArray<double> uu_deg;
    RecordArray<std::int64_t> uri_data;
    RecordArray<std::int64_t> uri_indptr;
    double user_cf_alpha = 0.0;
    std::uint64_t user_cf_k = 100;
    std::uint64_t n_users = 0;
    RecordArray<double> item_pop;
    std::vector<CsrF32> boost;
    double z_threshold = 2.5;
    double boost_multiplier = 3.0;
    std::uint64_t retrieval_budget = 500;
    std::uint64_t cold_slots = 0;
    RecordArray<float> content_data;
    RecordArray<std::int32_t> content_indices;
    RecordArray<std::int32_t> content_indptr;
    std::uint64_t content_nfeat = 0;
    RecordArray<double> content_coldness;
    RecordArray<double> cold_recency;
    double cold_recency_beta = 0.0;
    double content_alpha = 0.0;
    bool repeat_active = false;
    RecordArray<std::int64_t> repeat_indptr;
    RecordArray<std::int64_t> repeat_items;
    RecordArray<double> repeat_counts;
    RecordArray<double> repeat_last_ts;
    RecordArray<double> repeat_periods;
    RecordArray<double> repeat_quality;
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
