#include "engine/serving_index.hpp"

#include "engine/user_cf.hpp"
#include "signals/csr_view.hpp"

#include <cmath>

namespace tarsel::engine {

const NeighbourIndex& ServingIndex::neighbours(const EngineRecord& record) const {
    std::call_once(neighbours_once_, [&] { neighbours_ = neighbour_index(record); });
    return neighbours_;
}

const DenseRows& ServingIndex::cooc_dense(const EngineRecord& record) const {
    std::call_once(cooc_once_, [&] {
        const signals::CsrView cooc{record.cooc_data, record.cooc_indices, record.cooc_indptr};
        cooc_dense_ = build_dense_rows(cooc, record.n_items);
    });
    return cooc_dense_;
}

const PopularityAddend& ServingIndex::popularity(const EngineRecord& record) const {
    std::call_once(popularity_once_, [&] {
        if (record.item_pop.size() != record.n_items) return;
        std::vector<double>& values = popularity_.values;
        values.resize(record.item_pop.size());
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = std::log1p(record.item_pop[i]);
        popularity_.moments = moments(values);
    });
    return popularity_;
}

}  // namespace tarsel::engine
