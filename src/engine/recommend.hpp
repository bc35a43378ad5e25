// The recommend pipeline: one top-n request against an engine record.
//
// The pipeline only reads the record, so any number of requests may run on
// one record at once; each request works in its own RecommendScratch. A
// record read back from bytes is not re-checked, so every index the pipeline
// takes from the record is bounds-checked: a broken record stops the request
// with InternalFailure, never with an out-of-range read.
#pragma once

#include "engine/ranking.hpp"
#include "engine/record.hpp"
#include "engine/serving_index.hpp"
#include "engine/user_cf.hpp"
#include "score/layered.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tarsel::engine {

// Which scorer produced an entry of the result.
enum class Label : std::uint8_t { Ease, CoocFused, Cooc, ColdContent };

// The text of a label as Python sees it: "ease", "cooc_fused", "cooc", "cold_content".
const char* label_text(Label label);

// A per-user repeat profile as the repeat step reads it: a CSR over user rows
// of items, and per entry its purchase count, last purchase time, period and
// period confidence.
struct RepeatProfile {
    std::span<const std::int64_t> indptr;
    std::span<const std::int64_t> items;
    std::span<const double> counts;
    std::span<const double> last_ts;
    std::span<const double> periods;
    std::span<const double> quality;
};

// The record's own repeat profile.
RepeatProfile repeat_profile_of(const EngineRecord& record);

// The three parallel result lists of one request.
struct Recommendation {
    std::vector<std::int64_t> items;
    std::vector<double> scores;
    std::vector<Label> labels;
};

// Working buffers of one request, kept between requests on the same thread so
// that a request allocates nothing once they have grown to the record's sizes.
struct RecommendScratch {
    std::vector<std::int64_t> owned;                      // the valid owned list
    std::vector<double> scores;                           // one per item
    std::vector<double> blended;                          // scores before the popularity addend
    std::vector<const float*> ease_rows;                  // EASE rows of the owned items
    OwnedRowScratch owned_rows;                           // co-occurrence row sum
    std::vector<double> votes;                            // user-CF votes per item
    std::vector<double> last_item;                        // the last owned item's EASE row
    std::vector<double> transition;                       // transition scores per item
    std::vector<double> cold;                             // cold-content scores per item
    std::vector<double> content;                          // raw content similarity per item
    std::vector<double> profile;                          // content profile per feature
    UserCfScratch user_cf;                                // user-CF overlaps
    std::vector<Ranked> neighbours;                       // user-CF neighbours
    std::vector<std::pair<std::size_t, double>> repeats;  // adjusted repeat scores
    std::vector<Ranked> candidates;                       // retrieval pool, best first
    std::vector<double> block_maxima;                     // retrieval's block maxima
    std::vector<double> pool_scores;                      // candidate scores in pool order
    // Per item: its candidate's pool position, or -1; all -1 between requests.
    std::vector<std::int32_t> pool_slot;
    std::vector<std::vector<double>> layers;  // boost layers over the pool
    std::vector<score::Layer> layer_views;
    std::vector<double> boosted;  // boosted pool scores
    score::LayeredScratch layered;
    std::vector<Ranked> cold_ranked;   // cold-content candidates
    std::vector<std::int64_t> picked;  // result items, sorted, for membership
};

// Answers one request against `record` and the serving index derived from it:
// `owned` in consumption order (most recent last),
// the user's row in the user tables (negative when unknown), the number of
// results and the popularity weight for new users. A large base row sum may
// split over the worker pool, so never call it from a pool task.
Recommendation recommend(const EngineRecord& record, const ServingIndex& index,
                         std::span<const std::int64_t> owned, std::int64_t user_row,
                         std::uint64_t n, double pop_prior, RecommendScratch& scratch);

// Answers users 0 .. min(len(owneds), len(user_rows)) - 1 on the worker pool,
// each result at its user's index. Touches no interpreter object, so it may
// run with the interpreter lock released. A failing user fails the whole
// batch once every started task has stopped.
std::vector<Recommendation> recommend_batch(const EngineRecord& record, const ServingIndex& index,
                                            std::span<const std::vector<std::int64_t>> owneds,
                                            std::span<const std::int64_t> user_rows,
                                            std::uint64_t n, double pop_prior);

// recommend_batch for each popularity weight of `priors` at once: entry w of
// the result equals recommend_batch(..., priors[w]). The work before the
// popularity addend is done once per user, so a grid of weights costs little
// more than one batch.
std::vector<std::vector<Recommendation>> recommend_batch_priors(
    const EngineRecord& record, const ServingIndex& index,
    std::span<const std::vector<std::int64_t>> owneds, std::span<const std::int64_t> user_rows,
    std::uint64_t n, std::span<const double> priors);

// recommend_batch for each repeat profile of `profiles` at once: entry v of
// the result equals recommend_batch(...) on the record with its repeat
// profile replaced by profiles[v] (its "now" instant and repeat settings
// kept). The work up to the blend is done once per user; each profile then
// runs only the repeat step and the ranking.
std::vector<std::vector<Recommendation>> recommend_batch_profiles(
    const EngineRecord& record, const ServingIndex& index,
    std::span<const std::vector<std::int64_t>> owneds, std::span<const std::int64_t> user_rows,
    std::uint64_t n, double pop_prior, std::span<const RepeatProfile> profiles);

}  // namespace tarsel::engine
