// cell_run_index.hpp: the nearest-node index for large trees: points sorted into runs by cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/block_cache.hpp"
#include "planning/cell_grid.hpp"
#include "planning/nearest.hpp"

namespace tarn::planning {

// The same search as NearestIndex, in a layout of about 30 bytes a point
// instead of 40 to 80, for trees too large for the processor's caches either
// way: there memory, not comparisons, sets the pace. Most points are kept
// sorted by cell, so that a query reads the runs of neighbouring cells from
// neighbouring memory. A query reads the 2 x 2 cells nearest to it first,
// which settle all but a few percent of searches with less than half the
// memory of the 3 x 3 block, and only then the block. Newly inserted points wait in short per-cell chains
// until they amount to a fixed fraction of the sorted ones and are then
// merged in; regridding sorts everything afresh.
class CellRunIndex {
public:
    // `points` (finite coordinates) over [0, width) x [0, height), both
    // positive and finite.
    CellRunIndex(double width, double height, CachedVector<IndexedPoint> points);

    void insert(const IndexedPoint& entry);
    std::size_t size() const noexcept { return sorted_.size() + fresh_.size(); }

    // As NearestIndex::nearest; the index must not be empty.
    Nearest nearest(const Sample& query, Nearest best) const;
    void prefetch(const Sample& query) const;
    void prefetch_ahead(const Sample& query) const;

private:
    using Link = std::uint32_t;
    static constexpr Link no_link = std::numeric_limits<Link>::max();

    // A rectangle of cells, ends excluded, within the grid.
    struct CellSpan {
        std::size_t first_column, end_column, first_row, end_row;
    };
    // The 3 x 3 cells around (column, row), and the 2 x 2 nearest `query`
    // in that cell.
    CellSpan block_around(std::size_t column, std::size_t row) const noexcept;
    CellSpan pair_block(const Sample& query, std::size_t column, std::size_t row) const noexcept;
    // Visits every point of the cells in `span`.
    template <class Visit>
    void for_each_in(const CellSpan& span, Visit&& visit) const;
    // The block scan of NearestIndex, on square sums, one point at a time.
    bool settle_in(const CellSpan& span, const Sample& query, Nearest& best) const;
    void consider_cell(std::size_t cell, const Sample& query, Nearest& best) const;
    void regrid();
    void merge_fresh();
    void clear_fresh();

    double width_, height_;
    CellGrid grid_;
    // Cell c's sorted points are sorted_[starts_[c]] up to sorted_[starts_[c + 1]].
    CachedVector<std::size_t> starts_;
    CachedVector<IndexedPoint> sorted_;
    // Points since the last merge: cell c's chain starts at fresh_heads_[c]
    // and follows fresh_next_; no_link ends it.
    CachedVector<IndexedPoint> fresh_;
    CachedVector<Link> fresh_next_;
    CachedVector<Link> fresh_heads_;
    std::size_t regrid_at_ = 0;  // size that triggers the next regrid
    std::size_t merge_at_ = 0;   // fresh count that triggers the next merge
    IndexedPoint lowest_{{0.0, 0.0}, std::numeric_limits<Index>::max()};
};

}  // namespace tarn::planning
