// nearest_index.hpp: the nearest sample node, found through a grid instead of a scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/block_cache.hpp"
#include "core/types.hpp"
#include "planning/cell_grid.hpp"
#include "planning/cell_run_index.hpp"
#include "planning/nearest.hpp"
#include "planning/simd.hpp"

namespace tarn::planning {

// Points tagged with node indices, searched for the one nearest to a query in
// the planner's order: the smaller planar_distance(point, query) wins, and on
// equal distances the lower index. That order is the one a scan in index
// order establishes when no distance is NaN, which holds for finite points.
//
// The points live in a grid over the sampling rectangle, refined as they
// accumulate so that a cell holds three to six of them. Each cell has a fixed
// number of slots in one block of memory, empty ones at infinity, so that a
// query reads a square of cells as runs of memory and compares every slot
// there without a data-dependent branch: first the 2 x 2 cells nearest to it
// (its own and the neighbours beyond its nearer walls), then, when those do
// not settle it, the 3 x 3 cells around its own. A square settles the query
// when its closest point is alone at its distance and nearer than anything
// outside the square can be; otherwise (ties, an empty neighbourhood, a
// query near nothing) a ring search with exact comparisons takes over.
// Points beyond a full cell's slots, and the rare ones whose index needs more
// than 32 bits, wait in a chain of that cell until the next regrid; a flag
// beside the cell's fill count says it has one, and the scan of a square
// then compares the chain's points one by one.
class NearestIndex {
public:
    // The grid covers [0, width) x [0, height); both positive and finite.
    // The points move into cell-sorted runs at the first regrid past
    // `run_layout_size` of them; `run_narrow_limit` is passed on to those.
    NearestIndex(double width, double height, std::size_t run_layout_size = default_run_layout_size,
                 std::size_t run_narrow_limit = CellRunIndex::default_narrow_limit);

    // `point` must have finite coordinates; outside the rectangle it is still
    // found, only less quickly.
    void insert(Index index, const Sample& point);

    std::size_t size() const noexcept { return size_; }
    // Whether the points now live in cell-sorted runs.
    bool in_runs() const noexcept { return runs_.has_value(); }

    // The winner among `best` and the stored points. `best.distance` must not
    // be NaN (it may be infinite).
    Nearest nearest(const Sample& query, Nearest best) const;

    // A hint that `query` comes next: starts loading the memory its search
    // will read first. Changes nothing else.
    void prefetch(const Sample& query) const;
    // A hint that `query` comes after the next one: starts loading what
    // prefetch(query) will need. Changes nothing else.
    void prefetch_ahead(const Sample& query) const;

    static constexpr std::size_t max_cells = max_index_cells;
    static constexpr std::size_t slots = 8;  // per cell
    // About where the grid reaches max_cells at three to six points a cell:
    // beyond, cells would only fill up and overflow.
    static constexpr std::size_t default_run_layout_size = std::size_t{1} << 24;

private:
    struct alignas(64) Cell {
        double x[slots];
        double y[slots];
    };
    using Entry = IndexedPoint;
    using SlotIndex = std::uint32_t;
    static constexpr std::size_t no_link = std::numeric_limits<std::size_t>::max();
    static constexpr std::uint8_t fill_count_mask = 0x7f;
    static constexpr std::uint8_t overflow_flag = 0x80;

    // Cells are stored with a border of empty ones, so that every cell has
    // all eight neighbours in memory.
    std::size_t stored_cell(std::size_t column, std::size_t row) const noexcept {
        return (row + 1) * stride_ + column + 1;
    }
    // Settles `query` in the Span x Span stored cells from `first` (its top
    // left), which cover `box`, the grid's cells among them, and otherwise
    // only the empty border.
    template <std::size_t Span>
    bool settle_in(const Sample& query, std::size_t first, const CellBox& box, Nearest& best) const;
    // The index in the slot at `position` of the Span x Span cells from
    // `first`, counted cell by cell, rows first.
    template <std::size_t Span>
    Index slot_index_at(std::size_t first, simd::Mask position) const;
    // Visits the chained points of the Span x Span cells from `first` while
    // visit(point) returns true; whether it saw them all.
    template <std::size_t Span, class Visit>
    bool for_each_chained_in(std::size_t first, Visit&& visit) const;
    void consider_cell(std::size_t cell, const Sample& query, Nearest& best) const;
    std::size_t overflow_head(std::size_t cell) const;
    void place(const Entry& entry);
    void regrid();
    template <class Visit>
    static void for_each_point(const CachedVector<Cell>& cells,
                               const CachedVector<std::uint8_t>& fill,
                               const CachedVector<SlotIndex>& slot_indices,
                               const std::vector<Entry>& overflow, Visit&& visit);
    void move_into_runs();

    double width_, height_;
    std::size_t run_layout_size_;
    std::size_t run_narrow_limit_;
    CellGrid grid_;
    std::size_t stride_ = 3;  // stored cells per row: columns + 2
    CachedVector<Cell> cells_;
    // Used slots per cell, with overflow_flag set when the cell has a chain.
    CachedVector<std::uint8_t> fill_;
    CachedVector<SlotIndex> slot_indices_;  // slots per cell, in slot order
    // Cell c's overflow chain starts at overflow_heads_[c] and follows
    // overflow_next_; no_link ends it.
    CachedVector<std::size_t> overflow_heads_;
    std::vector<Entry> overflow_;
    std::vector<std::size_t> overflow_next_;
    std::size_t size_ = 0;
    std::size_t regrid_at_ = 4;  // size that triggers the next regrid
    // The point with the lowest index, which wins every tie it takes part in.
    Entry lowest_{{0.0, 0.0}, std::numeric_limits<Index>::max()};
    std::optional<CellRunIndex> runs_;  // once present, it holds every point
};

}  // namespace tarn::planning
