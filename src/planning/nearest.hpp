// nearest.hpp: what the nearest-node indices share: candidates, their order, and rings of cells.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/types.hpp"
#include "planning/cell_grid.hpp"

namespace tarn::planning {

// Grids of the nearest-node indices stop refining at this many cells; beyond
// it cells simply fill up.
inline constexpr std::size_t max_index_cells = std::size_t{1} << 22;

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

// The planner's order: the nearer wins, and on equal distances the lower index.
inline bool beats(const Nearest& a, const Nearest& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
}

// Whether nothing at least `lower_bound` away can beat `best`: at exactly the
// best distance a point could still win a tie with a lower index, unless
// `best` is already no higher than `lowest_index`, the lowest stored one.
inline bool cannot_beat(double lower_bound, const Nearest& best, Index lowest_index) {
    return lower_bound > best.distance ||
           (lower_bound == best.distance && best.index <= lowest_index);
}

// Two different square sums share a rounded root only when they are within
// a few units in the last place; every sum that might share the root of
// `sum` is at most this.
inline double might_share_root(double sum) { return sum + sum * 0x1p-49; }

// Visits the cells at exactly `radius` columns or rows from (column, row),
// clipped to the grid, calling visit(column, row) for each.
template <class Visit>
void for_each_cell_on_ring(const CellGrid& grid, std::size_t column, std::size_t row,
                           std::size_t radius, Visit&& visit) {
    // Signed, so that the ring may reach past the grid's first column and row.
    using Signed = std::ptrdiff_t;
    const auto c = static_cast<Signed>(column), r = static_cast<Signed>(row);
    const auto d = static_cast<Signed>(radius);
    const auto last_column = static_cast<Signed>(grid.columns()) - 1;
    const auto last_row = static_cast<Signed>(grid.rows()) - 1;
    const auto visit_if_inside = [&](Signed x, Signed y) {
        if (x >= 0 && x <= last_column && y >= 0 && y <= last_row) {
            visit(static_cast<std::size_t>(x), static_cast<std::size_t>(y));
        }
    };
    if (d == 0) {
        visit_if_inside(c, r);
        return;
    }
    for (Signed x = std::max(c - d, Signed{0}); x <= std::min(c + d, last_column); ++x) {
        visit_if_inside(x, r - d);
        visit_if_inside(x, r + d);
    }
    for (Signed y = std::max(r - d + 1, Signed{0}); y <= std::min(r + d - 1, last_row); ++y) {
        visit_if_inside(c - d, y);
        visit_if_inside(c + d, y);
    }
}

// Rings of cells around a query's own, nearest first, each visited only while
// something on it could still beat the best so far: the exact search shared
// by both layouts. `lowest` is the stored point with the lowest index, tried
// first: when distances underflow to zero and everything ties, it wins at
// once instead of after a visit to every cell. consider_cell(column, row,
// best) updates `best` with a cell's points.
template <class ConsiderCell>
Nearest ring_search(const CellGrid& grid, const Sample& query, std::size_t column, std::size_t row,
                    const IndexedPoint& lowest, Nearest best, ConsiderCell&& consider_cell) {
    const Nearest lowest_candidate{
        lowest.index, planar_distance(lowest.point[0], lowest.point[1], query[0], query[1])};
    if (beats(lowest_candidate, best)) best = lowest_candidate;
    for (std::size_t radius = 0;; ++radius) {
        const double bound =
            radius == 0 ? 0.0 : grid.outside_block_lower_bound(query, column, row, radius - 1);
        if (cannot_beat(bound, best, lowest.index)) return best;
        for_each_cell_on_ring(grid, column, row, radius,
                              [&](std::size_t c, std::size_t r) { consider_cell(c, r, best); });
        if (grid.block_covers_grid(column, row, radius)) return best;
    }
}

}  // namespace tarn::planning
