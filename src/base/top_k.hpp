// Selection of the k best entries of a list or of a stream, under an ordering
// the caller gives: a strict total order on the entries ("ranks before"), so
// that the kept set and its order are fixed whatever the algorithm's steps.
// Each caller keeps its own ordering and with it its own tie rule.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <limits>
#include <vector>

namespace tarsel::top_k {

// a + b, or the largest size_t where that overflows.
inline std::size_t saturating_add(std::size_t a, std::size_t b) {
    return a > std::numeric_limits<std::size_t>::max() - b ? std::numeric_limits<std::size_t>::max()
                                                           : a + b;
}

// Reorders [first, last) so that the k-th best entry (1 <= k <= last - first)
// sits at position k - 1, the better ones before it, and returns that entry.
template <class Iterator, class Before>
auto kth_best(Iterator first, Iterator last, std::size_t k, Before before) {
    const Iterator kth = first + static_cast<std::ptrdiff_t>(k - 1);
    std::nth_element(first, kth, last, before);
    return *kth;
}

// Keeps the k best entries, best first: a partial selection, then a sort of
// the kept ones.
template <class Entry, class Before>
void keep_best(std::vector<Entry>& entries, std::size_t k, Before before) {
    if (k < entries.size()) {
        std::nth_element(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(k),
                         entries.end(), before);
        entries.resize(k);
    }
    std::sort(entries.begin(), entries.end(), before);
}

// Keeps the k best of a stream of entries, in whatever order they come, in
// the caller's buffer `kept`. Entries gather there up to `capacity` (> k,
// 2k unless given); a
// full buffer is cut to its k best, and its worst kept entry becomes the bar
// a later entry must beat: one comparison per entry for most of a long
// stream, instead of a selection over all of it. Entries have a `score`
// member, and `Before` ranks a higher score first (ties its own way).
template <class Entry, class Before>
class BestK {
  public:
    BestK(std::vector<Entry>& kept, std::size_t k) : BestK(kept, k, saturating_add(k, k)) {}

    BestK(std::vector<Entry>& kept, std::size_t k, std::size_t capacity, Before before = {})
        : kept_(kept), k_(k), capacity_(capacity), before_(before) {
        kept_.clear();
    }

    void offer(Entry entry) {
        if (full_) {
            // Most entries of a long stream fall below the bar: one comparison.
            if (entry.score < bar_.score || !before_(entry, bar_)) return;
        } else if (k_ == 0) {
            return;
        }
        kept_.push_back(entry);
        if (kept_.size() == capacity_) cut();
    }

    // False when an entry of this score cannot be kept, in a stream whose
    // equal scores come in the order `Before` ranks them (an entry equal to
    // the bar then comes after it).
    bool may_keep(double score) const { return !full_ || score > bar_.score; }

    // The score an entry must exceed to be kept once the buffer has been cut,
    // in such a stream; -inf before.
    double floor() const { return full_ ? bar_.score : -std::numeric_limits<double>::infinity(); }

    // Leaves the k best in the buffer, best first.
    void finish() { keep_best(kept_, k_, before_); }

    // Leaves the k best in the buffer, in an order fixed by the stream but
    // not ranked.
    void finish_unranked() {
        if (k_ < kept_.size()) cut();
    }

  private:
    // Keeps the k best, unordered: the k-th best sits last and becomes the bar.
    void cut() {
        bar_ = kth_best(kept_.begin(), kept_.end(), k_, before_);
        kept_.resize(k_);
        full_ = true;
    }

    std::vector<Entry>& kept_;
    const std::size_t k_;
    const std::size_t capacity_;
    Before before_;
    bool full_ = false;
    Entry bar_{};
};

}  // namespace tarsel::top_k
