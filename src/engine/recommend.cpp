#include "engine/recommend.hpp"

#include "base/errors.hpp"
#include "base/pool.hpp"
#include "base/simd.hpp"
#include "base/top_k.hpp"
#include "engine/addends.hpp"
#include "engine/ease_block.hpp"
#include "engine/moments.hpp"
#include "engine/ranking.hpp"
#include "engine/row_sums.hpp"
#include "engine/user_cf.hpp"
#include "repeat/multiplier.hpp"
#include "score/layered.hpp"
#include "signals/cooccurrence_signal.hpp"
#include "signals/csr_view.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace tarsel::engine {

const char* label_text(Label label) {
    switch (label) {
        case Label::Ease: return "ease";
        case Label::CoocFused: return "cooc_fused";
        case Label::Cooc: return "cooc";
        case Label::ColdContent: return "cold_content";
    }
    return "";
}

namespace {

using signals::checked_column;
using signals::CsrView;
using signals::for_each_target;
using signals::RowOffsets;

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Items at least this cold are the candidates of the cold-content slots.
constexpr double kColdThreshold = 0.75;
// Boost layers: gap calibration over the top 20, z-scores from 3 positives up.
constexpr std::size_t kBoostTopK = 20;
constexpr std::size_t kBoostMinNonzero = 3;
// Pattern probabilities of a repeat entry: the pure replenishment curve.
constexpr repeat::PatternProbs kRepeatPattern = {0.0, 1.0, 0.0, 0.0};

// The valid owned list: the entries inside the catalogue, order and repeats kept.
void collect_valid_owned(std::span<const std::int64_t> owned, std::uint64_t n_items,
                         std::vector<std::int64_t>& out) {
    out.clear();
    for (std::int64_t o : owned)
        if (o >= 0 && static_cast<std::uint64_t>(o) < n_items) out.push_back(o);
}

// Marks each candidate's item below `rows` with its pool position in `slot`
// (grown to `rows` entries of -1 as needed) for its lifetime, and clears the
// marks again, so that the next request finds every entry -1: the cost
// follows the pool, not the catalogue.
class PoolSlots {
  public:
    PoolSlots(std::vector<std::int32_t>& slot, std::span<const Ranked> candidates, std::size_t rows)
        : slot_(slot), candidates_(candidates) {
        if (slot_.size() < rows) slot_.resize(rows, -1);
        for (std::size_t p = 0; p < candidates_.size(); ++p)
            if (candidates_[p].index < slot_.size())
                slot_[candidates_[p].index] = static_cast<std::int32_t>(p);
    }
    ~PoolSlots() {
        for (const Ranked& c : candidates_)
            if (c.index < slot_.size()) slot_[c.index] = -1;
    }
    PoolSlots(const PoolSlots&) = delete;
    PoolSlots& operator=(const PoolSlots&) = delete;

  private:
    std::vector<std::int32_t>& slot_;
    std::span<const Ranked> candidates_;
};

class Request {
  public:
    Request(const EngineRecord& record, const ServingIndex& index, RecommendScratch& scratch,
            std::int64_t user_row, std::uint64_t n, double pop_prior, bool use_pool)
        : rec_(record), index_(index), s_(scratch), n_items_(record.n_items), user_row_(user_row),
          n_(n), pop_prior_(pop_prior), use_pool_(use_pool) {}

    Recommendation run(std::span<const std::int64_t> owned) {
        Recommendation out;
        if (!score_items(owned)) return out;
        blend();
        rank(out);
        return out;
    }

    // One answer per popularity weight, each equal to run's with that weight.
    // The popularity addend is the last one the blend adds to each score, so
    // everything before it is computed once; each weight then adds it to a
    // copy of the blended scores, block by block as the blend does, and ranks.
    void run_priors(std::span<const std::int64_t> owned, std::span<const double> priors,
                    std::span<Recommendation> out) {
        if (!score_items(owned)) return;
        pop_prior_ = 0.0;
        blend();
        s_.blended.assign(s_.scores.begin(), s_.scores.end());
        for (std::size_t w = 0; w < priors.size(); ++w) {
            if (w > 0) std::copy(s_.blended.begin(), s_.blended.end(), s_.scores.begin());
            pop_prior_ = priors[w];
            active_ = 0;  // the channels are in the blended scores already
            popularity();
            for (std::size_t begin = 0; begin < n_items_; begin += kBlendBlock) {
                const std::span<double> block =
                    scores().subspan(begin, std::min<std::size_t>(kBlendBlock, n_items_ - begin));
                add_addends(block, begin);
            }
            rank(out[w]);
        }
    }

    // One answer per repeat profile, each equal to run's with the record's
    // profile replaced by that one. The repeat step comes after the blend, so
    // each profile ranks a copy of the blended scores.
    void run_profiles(std::span<const std::int64_t> owned, std::span<const RepeatProfile> profiles,
                      std::span<Recommendation> out) {
        if (!score_items(owned)) return;
        blend();
        s_.blended.assign(s_.scores.begin(), s_.scores.end());
        for (std::size_t v = 0; v < profiles.size(); ++v) {
            if (v > 0) std::copy(s_.blended.begin(), s_.blended.end(), s_.scores.begin());
            repeat_ = profiles[v];
            rank(out[v]);
        }
    }

  private:
    // Block by block, so that each block of scores stays in the nearest
    // cache while every step of the blend reads and writes it.
    static constexpr std::size_t kBlendBlock = 2048;

    // The base scores and the content vector of the valid owned items; false
    // when no owned item is valid (the answer is then empty).
    bool score_items(std::span<const std::int64_t> owned) {
        collect_valid_owned(owned, n_items_, s_.owned);
        if (s_.owned.empty()) return false;
        kind_ = base_kind();
        base_scores();
        content_vector();
        return true;
    }

    // From the blended scores to the answer.
    void rank(Recommendation& out) {
        remember_repeats();
        exclude_owned();
        if (!retrieve()) return;
        boost_layers();
        final_ranking(out);
        cold_content(out);
    }

    std::span<const std::int64_t> owned() const { return s_.owned; }
    std::span<double> scores() { return s_.scores; }

    bool trend_on() const { return rec_.trend_alpha > 0.0 && rec_.trend_z.size() == n_items_; }
    bool transition_on() const { return rec_.transition_alpha > 0.0 && !rec_.trans_indptr.empty(); }

    // The label of the base scorer; "cooc" alone skips the channel blend.
    Label base_kind() const {
        if (rec_.base_is_ease) return Label::Ease;
        return trend_on() || transition_on() ? Label::CoocFused : Label::Cooc;
    }

    // EASE rows or co-occurrence row sums of the owned items.
    void base_scores() {
        s_.scores.resize(n_items_);
        if (kind_ != Label::Ease) {
            const CsrView cooc{rec_.cooc_data, rec_.cooc_indices, rec_.cooc_indptr};
            sum_owned_rows(cooc, index_.cooc_dense(rec_), owned(), scores(), s_.owned_rows,
                           use_pool_);
            return;
        }
        std::fill(s_.scores.begin(), s_.scores.end(), 0.0);
        const EaseBlock ease(rec_);
        ease.owned_rows(owned(), s_.ease_rows);
        sum_float_rows(s_.ease_rows.data(), s_.ease_rows.size(), ease.width(), s_.scores.data(),
                       use_pool_);
    }

    // The content channel's similarity scores and their moments.
    void content_vector() {
        if (!(rec_.content_alpha > 0.0) || rec_.content_nfeat == 0 || kind_ == Label::Cooc) return;
        const Moments m = moments(content_similarity());
        content_on_ = !m.flat;
        content_moments_ = m;
    }

    // Sums the owned items' feature rows into a profile, then scores every
    // item by the dot product of its feature row with the profile. Computed
    // at most once per request (the content channel and the cold slots share it).
    std::span<const double> content_similarity() {
        if (content_ready_) return s_.content;
        content_ready_ = true;
        s_.content.assign(n_items_, 0.0);
        const std::size_t features = rec_.content_nfeat;
        if (features == 0 || rec_.content_data.empty()) return s_.content;
        s_.profile.assign(features, 0.0);
        const CsrView csr{rec_.content_data, rec_.content_indices, rec_.content_indptr};
        signals::add_owned_rows(csr, owned(), std::span<double>(s_.profile));
        if (std::all_of(s_.profile.begin(), s_.profile.end(), [](double p) { return p == 0.0; }))
            return s_.content;
        const std::size_t rows = std::min<std::size_t>(n_items_, csr.rows());
        for (std::size_t i = 0; i < rows; ++i) {
            double dot = 0.0;
            const CsrView::Range row = csr.row(i);
            for (std::size_t k = row.begin; k < row.end; ++k)
                dot += static_cast<double>(csr.data[k]) *
                       s_.profile[checked_column(csr.indices[k], features)];
            s_.content[i] = dot;
        }
        return s_.content;
    }

    // Standardises the base when any channel is on and adds each channel,
    // then the popularity addend. No channel vector depends on the scores, so
    // all are built first and their moments taken in one go with the base's.
    void blend() {
        active_ = 0;
        const bool blending = kind_ != Label::Cooc && channels_on();
        if (blending) collect_channels();
        popularity();
        measure(blending);
        for (std::size_t begin = 0; begin < n_items_; begin += kBlendBlock) {
            const std::span<double> block =
                scores().subspan(begin, std::min<std::size_t>(kBlendBlock, n_items_ - begin));
            if (blending) standardise(block, base_moments_);
            add_addends(block, begin);
        }
    }

    bool user_cf_on() const { return rec_.user_cf_alpha > 0.0 && !rec_.uu_indptr.empty(); }
    bool last_item_on() const { return kind_ == Label::Ease && rec_.last_item_alpha > 0.0; }
    bool channels_on() const {
        return trend_on() || user_cf_on() || content_on_ || last_item_on() || transition_on();
    }

    // The channels in the order they are added.
    void collect_channels() {
        // trend_z comes standardised over the catalogue.
        if (trend_on())
            push_addend(Slot::Trend, {rec_.trend_z, rec_.trend_alpha, {}, {}, false, false});
        if (user_cf_on()) user_cf_channel();
        if (content_on_) content_channel();
        if (last_item_on()) last_item_channel();
        if (transition_on()) transition_channel();
    }

    // The addends of a request, one slot each, in the order they are added to
    // a score: the channels, then popularity.
    enum class Slot : std::uint8_t {
        Trend,
        UserCf,
        Content,
        LastItem,
        Transition,
        Popularity,
        Count
    };
    static constexpr std::size_t kSlots = static_cast<std::size_t>(Slot::Count);
    static_assert(kSlots <= 32, "one bit of active_ per slot");

    void push_addend(Slot slot, const Addend& addend) {
        const auto s = static_cast<std::size_t>(slot);
        addend_store_[s] = addend;
        active_ |= std::uint32_t{1} << s;
    }

    // f(addend) for every active addend, in slot order.
    template <class F>
    void for_each_addend(F f) {
        for (std::size_t s = 0; s < kSlots; ++s)
            if ((active_ >> s) & 1U) f(addend_store_[s]);
    }

    void add_addends(std::span<double> block, std::size_t begin) {
        for_each_addend([&](const Addend& addend) { add_addend(block, addend, begin); });
    }

    // A channel vector whose moments are still to be taken.
    void add_measured(Slot slot, std::span<const double> values, double alpha) {
        push_addend(slot, {values, alpha, {}, {}, true});
    }

    // The moments of the base (when blending) and of every measured addend.
    void measure(bool blending) {
        if (blending) base_moments_ = moments(s_.scores);
        for_each_addend([](Addend& addend) {
            if (addend.measured) addend.moments = moments(addend.values);
        });
    }

    // Cosine similarity of the owned set with every user who shares an item,
    // the user_cf_k most similar users vote for their items.
    void user_cf_channel() {
        nearest_users(rec_, index_.neighbours(rec_), owned(), user_row_, s_.user_cf, s_.neighbours);
        if (s_.neighbours.empty()) return;

        s_.votes.assign(n_items_, 0.0);
        double* votes = s_.votes.data();
        const RowOffsets user_items{rec_.uri_indptr, {rec_.uri_data.size()}};
        const std::span<const Ranked> neighbours(s_.neighbours);
        for (std::size_t j = 0; j < neighbours.size(); ++j) {
            // The next neighbour's row is fetched while this one is added.
            if (j + 1 < neighbours.size())
                if (const auto next = user_items.try_row(neighbours[j + 1].index))
                    simd::prefetch_range(rec_.uri_data.data(), next->begin, next->end);
            const double sim = neighbours[j].score;
            for_each_target(rec_.uri_data.data(), user_items.row(neighbours[j].index), n_items_,
                            [votes, sim](std::size_t item) { votes[item] += sim; });
        }
        add_measured(Slot::UserCf, s_.votes, rec_.user_cf_alpha);
    }

    // The content scores with their moments, weighted per item by coldness
    // when the coldness vector covers the catalogue.
    void content_channel() {
        const bool weighted = rec_.content_coldness.size() == n_items_;
        push_addend(Slot::Content, {s_.content, rec_.content_alpha,
                                    weighted ? std::span<const double>(rec_.content_coldness)
                                             : std::span<const double>(),
                                    content_moments_});
    }

    void last_item_channel() {
        s_.last_item.assign(n_items_, 0.0);
        const EaseBlock ease(rec_);
        if (const float* row = ease.row(static_cast<std::size_t>(s_.owned.back())))
            add_float_rows(&row, 1, 0, ease.width(), s_.last_item.data());
        add_measured(Slot::LastItem, s_.last_item, rec_.last_item_alpha);
    }

    // Transition rows of the most recent transition_last_k owned items, the
    // r-th most recent weighted by decay^r.
    void transition_channel() {
        s_.transition.assign(n_items_, 0.0);
        const RowOffsets trans{rec_.trans_indptr,
                               {std::min(rec_.trans_data.size(), rec_.trans_indices.size())}};
        const std::size_t steps = std::min<std::uint64_t>(rec_.transition_last_k, s_.owned.size());
        for (std::size_t r = 0; r < steps; ++r) {
            const auto item = static_cast<std::size_t>(s_.owned[s_.owned.size() - 1 - r]);
            const double weight = std::pow(rec_.transition_decay, static_cast<double>(r));
            const RowOffsets::Range row = trans.row(item);
            for (std::size_t k = row.begin; k < row.end; ++k)
                s_.transition[checked_column(rec_.trans_indices[k], n_items_)] +=
                    weight * rec_.trans_data[k];
        }
        add_measured(Slot::Transition, s_.transition, rec_.transition_alpha);
    }

    // Standardised ln(1 + popularity), weighted for users without history;
    // the vector and its moments come from the serving index.
    void popularity() {
        if (!(pop_prior_ > 0.0) || rec_.item_pop.size() != n_items_) return;
        const PopularityAddend& pop = index_.popularity(rec_);
        push_addend(Slot::Popularity, {pop.values, pop_prior_, {}, pop.moments});
    }

    // The adjusted score of every profile entry of the user, taken from the
    // scores before the exclusion and written after it.
    void remember_repeats() {
        s_.repeats.clear();
        if (user_row_ < 0 || !rec_.repeat_active) return;
        const auto row = static_cast<std::size_t>(user_row_);
        if (row + 1 >= repeat_.indptr.size()) return;
        const std::int64_t begin = repeat_.indptr[row], end = repeat_.indptr[row + 1];
        // The loop stops at the first position a profile vector lacks (a
        // negative one reads as huge), so a corrupted row cannot make it run long.
        for (std::int64_t position = begin; position < end; ++position) {
            const auto k = static_cast<std::size_t>(position);
            const auto item = static_cast<std::uint64_t>(checked_at(repeat_.items, k));
            if (item >= n_items_) continue;
            const double last = checked_at(repeat_.last_ts, k);
            const double period = checked_at(repeat_.periods, k);
            const double confidence = checked_at(repeat_.quality, k);
            const double since = std::isfinite(last) ? rec_.repeat_now_ts - last : kNaN;
            const double mult = repeat::multiplier(kRepeatPattern, period, rec_.repeat_refractory,
                                                   confidence, since, rec_.repeat_epsilon);
            const double freq = rec_.repeat_freq_alpha > 0.0 && k < repeat_.counts.size()
                                    ? rec_.repeat_freq_alpha * std::log1p(repeat_.counts[k])
                                    : 0.0;
            s_.repeats.emplace_back(item, mult * (freq + s_.scores[item]));
        }
    }

    // Owned items leave the ranking; profile entries come back adjusted.
    void exclude_owned() {
        for (std::int64_t o : owned()) s_.scores[static_cast<std::size_t>(o)] = kNegInf;
        for (const auto& [item, score] : s_.repeats) s_.scores[item] = score;
    }

    // The retrieval_budget best finite scores, best first. Without boost
    // layers the final ranking takes the n best of this pool, which are the n
    // best overall, so only those are kept (at least one, which tells whether
    // any score is a candidate at all).
    bool retrieve() {
        const std::size_t budget = std::min<std::uint64_t>(rec_.retrieval_budget, n_items_);
        const std::size_t pool =
            rec_.boost.empty() ? std::min<std::uint64_t>(budget, std::max<std::uint64_t>(n_, 1))
                               : budget;
        best_finite(s_.scores, pool, s_.candidates, s_.block_maxima);
        return !s_.candidates.empty();
    }

    // Each boost layer sums the owned rows of its CSR at the candidates; the
    // layered scoring core raises their outliers. Only the candidates' sums
    // are kept: each is the sum over the whole layer read at the candidate,
    // its terms added in the same order.
    void boost_layers() {
        const std::size_t pool = s_.candidates.size();
        s_.pool_scores.resize(pool);
        for (std::size_t p = 0; p < pool; ++p) s_.pool_scores[p] = s_.candidates[p].score;
        if (rec_.boost.empty()) return;
        std::size_t rows = 0;
        for (const CsrF32& layer : rec_.boost) rows = std::max(rows, layer.indptr.size());
        PoolSlots slots(s_.pool_slot, s_.candidates, rows);
        s_.layers.resize(rec_.boost.size());
        for (std::size_t l = 0; l < rec_.boost.size(); ++l) {
            const CsrView csr{rec_.boost[l].data, rec_.boost[l].indices, rec_.boost[l].indptr};
            std::vector<double>& layer = s_.layers[l];
            layer.assign(pool, 0.0);
            const std::int32_t* slot = s_.pool_slot.data();
            signals::visit_owned_rows(csr, owned(), csr.rows(), [&](std::size_t item, float v) {
                if (slot[item] >= 0) layer[static_cast<std::size_t>(slot[item])] += v;
            });
        }
        s_.layer_views.clear();
        for (const std::vector<double>& layer : s_.layers)
            s_.layer_views.push_back({layer, score::ZMode::Nonzero});
        const score::LayeredParams params{rec_.z_threshold, rec_.boost_multiplier, kBoostTopK,
                                          kBoostMinNonzero};
        s_.boosted.resize(pool);
        score::layered_score(s_.pool_scores, s_.layer_views, params, s_.layered, s_.boosted);
        s_.pool_scores.swap(s_.boosted);
    }

    // The n best boosted candidates, ties by pre-boost rank.
    void final_ranking(Recommendation& out) {
        std::vector<Ranked>& order = s_.cold_ranked;  // free until the cold slots
        order.clear();
        for (std::size_t p = 0; p < s_.pool_scores.size(); ++p)
            order.push_back({rank_key(s_.pool_scores[p]), p});
        keep_best(order, std::min<std::uint64_t>(n_, order.size()));
        for (const Ranked& entry : order) {
            const double score = s_.pool_scores[entry.index];
            if (kind_ == Label::Cooc && !(score > 0.0)) continue;
            out.items.push_back(static_cast<std::int64_t>(s_.candidates[entry.index].index));
            out.scores.push_back(score);
            out.labels.push_back(kind_);
        }
    }

    // Slots for cold items that resemble the owned items' content.
    void cold_content(Recommendation& out) {
        if (rec_.cold_slots == 0 || rec_.content_nfeat == 0 ||
            rec_.content_coldness.size() != n_items_)
            return;
        std::span<const double> similarity = content_similarity();
        std::vector<double>& c = s_.cold;
        c.assign(similarity.begin(), similarity.end());
        standardise(c);
        if (rec_.cold_recency.size() == n_items_ && rec_.cold_recency_beta > 0.0)
            for (std::size_t i = 0; i < n_items_; ++i)
                c[i] += rec_.cold_recency_beta * rec_.cold_recency[i];
        for (std::size_t i = 0; i < n_items_; ++i)
            if (!(rec_.content_coldness[i] >= kColdThreshold)) c[i] = kNegInf;
        for (std::int64_t o : owned()) c[static_cast<std::size_t>(o)] = kNegInf;

        // Walking past the regular results needs at most that many extra candidates.
        best_finite(c, top_k::saturating_add(rec_.cold_slots, out.items.size()), s_.cold_ranked,
                    s_.block_maxima);

        s_.picked.assign(out.items.begin(), out.items.end());
        std::sort(s_.picked.begin(), s_.picked.end());
        // Picks are compacted to the front of the candidate list, in pick order.
        std::size_t picks = 0;
        for (const Ranked& candidate : s_.cold_ranked) {
            if (picks == rec_.cold_slots) break;
            const auto item = static_cast<std::int64_t>(candidate.index);
            if (!std::binary_search(s_.picked.begin(), s_.picked.end(), item))
                s_.cold_ranked[picks++] = candidate;
        }
        const std::size_t keep = n_ > picks ? n_ - picks : 0;
        if (out.items.size() > keep) {
            out.items.resize(keep);
            out.scores.resize(keep);
            out.labels.resize(keep);
        }
        for (std::size_t i = 0; i < picks; ++i) {
            out.items.push_back(static_cast<std::int64_t>(s_.cold_ranked[i].index));
            out.scores.push_back(s_.cold_ranked[i].score);
            out.labels.push_back(Label::ColdContent);
        }
    }

    const EngineRecord& rec_;
    const ServingIndex& index_;
    RecommendScratch& s_;
    const std::uint64_t n_items_;
    const std::int64_t user_row_;
    const std::uint64_t n_;
    double pop_prior_;
    const bool use_pool_;
    Label kind_ = Label::Ease;
    bool content_ready_ = false;
    bool content_on_ = false;
    Moments content_moments_;
    Moments base_moments_;
    RepeatProfile repeat_ = repeat_profile_of(rec_);
    std::array<Addend, kSlots> addend_store_{};
    std::uint32_t active_ = 0;  // bit s: slot s holds an addend of this request
};

// Runs answer(request, i) for users 0 .. users - 1 on the worker pool, each
// request with its thread's scratch.
template <class Answer>
void for_each_user(const EngineRecord& record, const ServingIndex& index,
                   std::span<const std::int64_t> user_rows, std::size_t users, std::uint64_t n,
                   double pop_prior, Answer answer) {
    // One scratch per pool thread, grown by its first request and reused after.
    std::vector<RecommendScratch> scratch(pool::size());
    pool::parallel_for(0, users, 1, [&](std::size_t lo, std::size_t hi) {
        RecommendScratch& mine = scratch[pool::worker_index()];
        for (std::size_t i = lo; i < hi; ++i) {
            // Sequential inside a pool task: a nested split could let this
            // thread take up another user's request while its scratch is in use.
            Request request(record, index, mine, user_rows[i], n, pop_prior, false);
            answer(request, i);
        }
    });
}

// Answers `variants` versions of each user's request: answer(request, i,
// out) fills the user's answers, one per variant, and the result holds them
// by variant, then by user.
template <class Answer>
std::vector<std::vector<Recommendation>> for_each_variant(
    const EngineRecord& record, const ServingIndex& index,
    std::span<const std::vector<std::int64_t>> owneds, std::span<const std::int64_t> user_rows,
    std::uint64_t n, double pop_prior, std::size_t variants, Answer answer) {
    const std::size_t users = std::min(owneds.size(), user_rows.size());
    // by user first, so that each request writes its answers side by side
    std::vector<Recommendation> answers(users * variants);
    for_each_user(
        record, index, user_rows, users, n, pop_prior, [&](Request& request, std::size_t i) {
            answer(request, i, std::span<Recommendation>(answers).subspan(i * variants, variants));
        });
    std::vector<std::vector<Recommendation>> results(variants);
    for (std::size_t v = 0; v < variants; ++v) {
        results[v].reserve(users);
        for (std::size_t i = 0; i < users; ++i)
            results[v].push_back(std::move(answers[i * variants + v]));
    }
    return results;
}

}  // namespace

RepeatProfile repeat_profile_of(const EngineRecord& record) {
    return {record.repeat_indptr,  record.repeat_items,   record.repeat_counts,
            record.repeat_last_ts, record.repeat_periods, record.repeat_quality};
}

Recommendation recommend(const EngineRecord& record, const ServingIndex& index,
                         std::span<const std::int64_t> owned, std::int64_t user_row,
                         std::uint64_t n, double pop_prior, RecommendScratch& scratch) {
    return Request(record, index, scratch, user_row, n, pop_prior, true).run(owned);
}

std::vector<Recommendation> recommend_batch(const EngineRecord& record, const ServingIndex& index,
                                            std::span<const std::vector<std::int64_t>> owneds,
                                            std::span<const std::int64_t> user_rows,
                                            std::uint64_t n, double pop_prior) {
    const std::size_t users = std::min(owneds.size(), user_rows.size());
    std::vector<Recommendation> results(users);
    for_each_user(record, index, user_rows, users, n, pop_prior,
                  [&](Request& request, std::size_t i) { results[i] = request.run(owneds[i]); });
    return results;
}

std::vector<std::vector<Recommendation>> recommend_batch_priors(
    const EngineRecord& record, const ServingIndex& index,
    std::span<const std::vector<std::int64_t>> owneds, std::span<const std::int64_t> user_rows,
    std::uint64_t n, std::span<const double> priors) {
    return for_each_variant(record, index, owneds, user_rows, n, 0.0, priors.size(),
                            [&](Request& request, std::size_t i, std::span<Recommendation> out) {
                                request.run_priors(owneds[i], priors, out);
                            });
}

std::vector<std::vector<Recommendation>> recommend_batch_profiles(
    const EngineRecord& record, const ServingIndex& index,
    std::span<const std::vector<std::int64_t>> owneds, std::span<const std::int64_t> user_rows,
    std::uint64_t n, double pop_prior, std::span<const RepeatProfile> profiles) {
    return for_each_variant(record, index, owneds, user_rows, n, pop_prior, profiles.size(),
                            [&](Request& request, std::size_t i, std::span<Recommendation> out) {
                                request.run_profiles(owneds[i], profiles, out);
                            });
}

}  // namespace tarsel::engine
