// nearest_index.hpp: the nearest sample node, found in a grid of fixed slots instead of a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/block_cache.hpp"
#include "core/types.hpp"
#include "planning/cell_grid.hpp"
#include "planning/planar.hpp"
#include "planning/simd.hpp"

namespace tarn::planning {

// A candidate for the nearest node: its index and its distance to the query.
struct Nearest {
    Index index;
    double distance;
};

// A stored point and the node index it stands for.
struct IndexedPoint {
    Sample point;
    Index index;
};

// Points tagged with node indices, searched for the one nearest to a query in
// the planner's order: the smaller planar_distance(point, query) wins, and on
// equal distances the lower index. That order is the one a scan in index
// order establishes when no distance is NaN, which holds for finite points.
//
// The points live in a grid over the sampling rectangle, refined as they
// accumulate so that a cell holds three to six of them, up to max_cells. Each
// cell has a fixed number of slots in one block of memory, empty ones at
// infinity, so that a query reads a square of cells as runs of memory and
// compares every slot there without a data-dependent branch. Points beyond a
// full cell's slots, and the rare ones whose index needs more than 32 bits,
// wait in a chain of that cell until the next regrid; a flag beside the
// cell's fill count says it has one.
//
// A search reads the 2 x 2 cells nearest to the query (its own and the
// neighbours beyond its nearer walls), then the 3 x 3 around its own, then
// rings of cells, nearest first, each only while something on it could still
// beat the best so far. A square settles the query when its closest point is
// alone at its distance and nearer than anything outside the square can be;
// the rings compare exact distances and so settle ties and queries near
// nothing.
class NearestIndex {
public:
    // The grid covers [0, width) x [0, height); both positive and finite.
    NearestIndex(double width, double height);

    // `point` must have finite coordinates; outside the rectangle it is still
    // found, only less quickly.
    void insert(Index index, const Sample& point);
    std::size_t size() const noexcept { return size_; }

    // The winner among `best` and the stored points. `best.distance` must not
    // be NaN (it may be infinite).
    Nearest nearest(const Sample& query, Nearest best) const;

    // A hint that `query` comes next: starts loading the memory its search
    // will read first. Changes nothing else.
    void prefetch(const Sample& query) const;

    // Beyond this many cells the grid stops refining, and cells fill up.
    static constexpr std::size_t max_cells = std::size_t{1} << 22;
    static constexpr std::size_t slots = 8;  // per cell

private:
    struct alignas(64) Cell {
        double x[slots];
        double y[slots];
    };
    using SlotIndex = std::uint32_t;
    static constexpr std::size_t no_link = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint8_t fill_count_mask = 0x7f;
    static constexpr std::uint8_t overflow_flag = 0x80;

    // The point of the Span x Span stored cells from `first` (the top left
    // one) nearest to `query`, when no other point there might share its
    // distance (square sums order distances up to a shared root); nothing
    // when one might, or when the cells chain more points than it compares.
    template <std::size_t Span>
    std::optional<Nearest> closest_in(const Sample& query, std::size_t first) const;
    // Takes `closest` as the best when it beats it, and says whether nothing
    // outside `cells` could beat the best then.
    bool settles(const Sample& query, const std::optional<Nearest>& closest, const CellBox& cells,
                 Nearest& best) const;
    // The exact search, ring by ring around the query's cell (column, row).
    Nearest search_rings(const Sample& query, std::size_t column, std::size_t row,
                         Nearest best) const;

    // Cells are stored row by row with a border of empty ones, so that every
    // cell of the grid has all eight neighbours in memory: the stored cells
    // around its own, border ones on the grid's edge.
    std::size_t stored_cell(std::size_t column, std::size_t row) const noexcept {
        return (row + 1) * stride_ + column + 1;
    }
    template <class Visit>
    void for_each_in_slots(std::size_t cell, Visit&& visit) const;
    template <class Visit>
    void for_each_in_stored(std::size_t cell, Visit&& visit) const;
    // The index in the slot at `position` of the Span x Span cells from
    // `first`, counted cell by cell, rows first.
    template <std::size_t Span>
    Index slot_index_at(std::size_t first, simd::Mask position) const;
    // Visits every point, chained ones first.
    template <class Visit>
    void for_each_point(Visit&& visit) const;
    void place(const IndexedPoint& entry);
    void regrid();

    double width_, height_;
    CellGrid grid_;
    std::size_t stride_ = 3;  // stored cells per row: columns + 2
    CachedVector<Cell> cells_;
    // Used slots per cell, with overflow_flag set when the cell has a chain.
    CachedVector<std::uint8_t> fill_;
    CachedVector<SlotIndex> slot_indices_;  // slots per cell, in slot order
    // Cell c's overflow chain starts at overflow_heads_[c] and follows
    // overflow_next_; no_link ends it.
    CachedVector<std::size_t> overflow_heads_;
    std::vector<IndexedPoint> overflow_;
    std::vector<std::size_t> overflow_next_;
    std::size_t size_ = 0;
    std::size_t regrid_at_ = 4;  // size that triggers the next regrid
    // The point with the lowest index, which wins every tie it takes part in.
    IndexedPoint lowest_{{0.0, 0.0}, std::numeric_limits<Index>::max()};
};

}  // namespace tarn::planning
