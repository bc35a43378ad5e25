#include "engine/construction.hpp"

#include "frame/errors.hpp"

#include <string>

namespace tarsel::engine {

namespace {

// len == dim * dim without forming the product, which can wrap for a
// zero-row block with an enormous column count.
bool square_length(std::uint64_t dim, std::size_t len) {
    if (dim == 0) return len == 0;
    return len % dim == 0 && len / dim == dim;
}

}  // namespace

void check_base_scorer(std::uint64_t n_items, bool has_cooc, std::uint64_t ease_dim,
                       std::size_t ease_len) {
    if (n_items == 0) throw ValueError("n_items must be > 0");
    if (!has_cooc && ease_dim == 0)
        throw ValueError("no base scorer: provide ease_b or a cooc CSR");
    if (ease_dim > n_items || !square_length(ease_dim, ease_len))
        throw ValueError("ease_b shape inconsistent: dim " + std::to_string(ease_dim) + ", len " +
                         std::to_string(ease_len) + ", n_items " + std::to_string(n_items));
}

EngineRecord build_record(EngineSource& source) {
    EngineRecord r;
    if (auto ease = source.ease_block()) {
        r.ease_dim = ease->cols;
        r.ease_b = std::move(ease->data);
    }
    source.count("n_items", r.n_items);
    // Read here only to know whether a co-occurrence base exists; the entry is
    // read again in its place below.
    source.array("cooc_indptr", r.cooc_indptr);
    check_base_scorer(r.n_items, !r.cooc_indptr.empty(), r.ease_dim, r.ease_b.size());
    source.boost_layers(r.boost);

    source.flag("base_is_ease", r.base_is_ease);
    source.array("cooc_data", r.cooc_data);
    source.array("cooc_indices", r.cooc_indices);
    source.array("cooc_indptr", r.cooc_indptr);
    source.array("trend_z", r.trend_z);
    source.real("trend_alpha", r.trend_alpha);
    source.real("last_item_alpha", r.last_item_alpha);
    source.array("trans_data", r.trans_data);
    source.array("trans_indices", r.trans_indices);
    source.array("trans_indptr", r.trans_indptr);
    source.real("transition_alpha", r.transition_alpha);
    source.count("transition_last_k", r.transition_last_k);
    source.real("transition_decay", r.transition_decay);
    source.array("uu_data", r.uu_data);
    source.array("uu_indptr", r.uu_indptr);
    source.array("uu_deg", r.uu_deg);
    source.array("uri_data", r.uri_data);
    source.array("uri_indptr", r.uri_indptr);
    source.real("user_cf_alpha", r.user_cf_alpha);
    source.count("user_cf_k", r.user_cf_k);
    source.count("n_users", r.n_users);
    source.array("item_pop", r.item_pop);
    source.real("z_threshold", r.z_threshold);
    source.real("boost_multiplier", r.boost_multiplier);
    source.count("retrieval_budget", r.retrieval_budget);
    source.count("cold_slots", r.cold_slots);
    source.array("content_data", r.content_data);
    source.array("content_indices", r.content_indices);
    source.array("content_indptr", r.content_indptr);
    source.count("content_nfeat", r.content_nfeat);
    source.array("content_coldness", r.content_coldness);
    source.array("cold_recency", r.cold_recency);
    source.real("cold_recency_beta", r.cold_recency_beta);
    source.real("content_alpha", r.content_alpha);
    source.flag("repeat_active", r.repeat_active);
    source.array("repeat_indptr", r.repeat_indptr);
    source.array("repeat_items", r.repeat_items);
    source.array("repeat_counts", r.repeat_counts);
    source.array("repeat_last_ts", r.repeat_last_ts);
    source.array("repeat_periods", r.repeat_periods);
    source.array("repeat_quality", r.repeat_quality);
    source.real("repeat_now_ts", r.repeat_now_ts);
    source.real("repeat_refractory", r.repeat_refractory);
    source.real("repeat_epsilon", r.repeat_epsilon);
    source.real("repeat_freq_alpha", r.repeat_freq_alpha);
    return r;
}

}  // namespace tarsel::engine
