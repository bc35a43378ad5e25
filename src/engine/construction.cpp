#include "engine/construction.hpp"

#include "base/errors.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

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

namespace {

// Reads one field from the source's entry of the same name, by its kind.
struct EntryReader {
    EngineSource& source;
    void operator()(const char* key, std::uint64_t& v) const { source.count(key, v); }
    void operator()(const char* key, double& v) const { source.real(key, v); }
    void operator()(const char* key, bool& v) const { source.flag(key, v); }
    void operator()(const char*, std::vector<CsrF32>& v) const { source.boost_layers(v); }
    template <class T>
    void operator()(const char* key, RecordArray<T>& v) const {
        source.array(key, v);
    }
};

}  // namespace

EngineRecord build_record(EngineSource& source) {
    EngineRecord r;
    if (auto ease = source.ease_block()) {
        r.ease_dim = ease->cols;
        r.ease_b = std::move(ease->data);
    }
    // The base scorer is checked first, then the boost layers are read, then
    // every other entry in the record's order.
    EntryReader read{source};
    read("n_items", r.n_items);
    read("cooc_indptr", r.cooc_indptr);
    check_base_scorer(r.n_items, !r.cooc_indptr.empty(), r.ease_dim, r.ease_b.size());
    read("boost", r.boost);
    for_each_field(r, [&read](const char* key, auto& field) {
        constexpr std::string_view kReadAbove[] = {"n_items", "ease_dim", "ease_b", "cooc_indptr",
                                                   "boost"};
        if (std::find(std::begin(kReadAbove), std::end(kReadAbove), key) == std::end(kReadAbove))
            read(key, field);
    });
    return r;
}

}  // namespace tarsel::engine
