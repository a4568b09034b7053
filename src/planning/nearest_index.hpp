// nearest_index.hpp: the planner's nearest-node index, which picks the layout for the tree's size.
#pragma once

#include <cstddef>
#include <utility>
#include <variant>

#include "core/block_cache.hpp"
#include "planning/cell_run_index.hpp"
#include "planning/nearest_search.hpp"
#include "planning/slot_grid_index.hpp"

namespace tarn::planning {

// Where the index changes layout. Only tests change these, so that a few
// points reach every layout.
struct NearestIndexOptions {
    // The points move from the slot grid into cell-sorted runs on reaching
    // this many; at most 2**32, as slot indices have 32 bits.
    std::size_t run_layout_size = std::size_t{1} << 24;
    // Passed on to the runs: their offsets widen to 64 bits beyond it.
    std::size_t run_narrow_limit = CellRunIndex::default_narrow_limit;
};

// The slot grid up to 2**24 points, cell-sorted runs from there on. The slot
// grid searches faster, comparing whole cells without a branch, but its grid
// stops refining at max_index_cells, where three to six points fill a cell;
// past 2**24 points its cells would overflow into chains, and its memory per
// point, empty slots included, would outgrow that of the runs.
class NearestIndex {
public:
    NearestIndex(double width, double height, NearestIndexOptions options = {})
        : width_(width),
          height_(height),
          options_(options),
          layout_(std::in_place_type<SlotGridIndex>, width, height) {}

    void insert(Index index, const Sample& point) {
        if (size() == options_.run_layout_size) move_into_runs();
        std::visit([&](auto& layout) { layout.insert(index, point); }, layout_);
    }
    std::size_t size() const noexcept {
        return std::visit([](const auto& layout) { return layout.size(); }, layout_);
    }
    Nearest nearest(const Sample& query, Nearest best) const {
        return std::visit([&](const auto& layout) { return layout.nearest(query, best); }, layout_);
    }
    void prefetch(const Sample& query) const {
        std::visit([&](const auto& layout) { layout.prefetch(query); }, layout_);
    }
    void prefetch_ahead(const Sample& query) const {
        std::visit([&](const auto& layout) { layout.prefetch_ahead(query); }, layout_);
    }

private:
    void move_into_runs() {
        CachedVector<IndexedPoint> points;
        points.reserve(size());
        std::get<SlotGridIndex>(layout_).for_each_point(
            [&](const IndexedPoint& p) { points.push_back(p); });
        CellRunIndex runs(width_, height_, std::move(points), options_.run_narrow_limit);
        layout_ = std::move(runs);
    }

    double width_, height_;
    NearestIndexOptions options_;
    std::variant<SlotGridIndex, CellRunIndex> layout_;
};

static_assert(NearestIndexLayout<SlotGridIndex> && NearestIndexLayout<CellRunIndex> &&
              NearestIndexLayout<NearestIndex>);

}  // namespace tarn::planning
