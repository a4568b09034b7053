// nearest_search.hpp: the search for the nearest node, apart from how the points are stored.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "core/types.hpp"
#include "planning/cell_grid.hpp"
#include "planning/planar.hpp"

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

// Span x Span neighbouring cells, (first_column, first_row) the top left one,
// and `cells`, those of them on the grid. The 3 x 3 block around a cell on
// the grid's edge starts one column or row before the first, at -1.
struct Square {
    std::ptrdiff_t first_column, first_row;
    CellBox cells;
};

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

// The search, apart from how the points are stored. Their layout keeps
// them in the cells of `grid()` and supplies two reads: closest_in<Span>(query, square), the point
// of a square nearest to the query when no other might share its distance
// (square sums order distances up to a shared root), and
// for_each_in_cell(column, row, visit), which calls visit(point) for every
// point of a cell. `lowest()` is the stored point with the lowest index,
// which wins every tie it takes part in.
//
// The search reads the 2 x 2 cells nearest to the query (its own and the
// neighbours beyond its nearer walls), then the 3 x 3 around its own, then
// rings of cells, nearest first, each only while something on it could
// still beat the best so far. A square settles the query when its closest
// point is alone at its distance and nearer than anything outside the square
// can be; the rings compare exact distances and so settle ties and queries
// near nothing.
template <class Layout>
class NearestSearch {
public:
    static Nearest run(const Layout& layout, const Sample& query, Nearest best) {
        if (layout.size() == 0) return best;
        const CellGrid& grid = layout.grid();
        const std::size_t column = grid.column_of(query[0]);
        const std::size_t row = grid.row_of(query[1]);
        const CellBox pair = grid.pair_around(query, column, row);
        const Square pair_square{signed_(pair.first_column), signed_(pair.first_row), pair};
        if (settles(layout, query, layout.template closest_in<2>(query, pair_square), pair, best)) {
            return best;
        }
        const CellBox block = grid.block_around(column, row, 1);
        const Square block_square{signed_(column) - 1, signed_(row) - 1, block};
        if (settles(layout, query, layout.template closest_in<3>(query, block_square), block,
                    best)) {
            return best;
        }
        return search_rings(layout, query, column, row, best);
    }

private:
    static std::ptrdiff_t signed_(std::size_t value) { return static_cast<std::ptrdiff_t>(value); }

    static bool settles(const Layout& layout, const Sample& query,
                        const std::optional<Nearest>& closest, const CellBox& cells,
                        Nearest& best) {
        if (!closest) return false;
        if (beats(*closest, best)) best = *closest;
        return cannot_beat(layout.grid().outside_lower_bound(query, cells), best,
                           layout.lowest().index);
    }

    // The lowest index is tried first: when distances underflow to zero and
    // everything ties, it wins at once instead of after a visit to every cell.
    static Nearest search_rings(const Layout& layout, const Sample& query, std::size_t column,
                                std::size_t row, Nearest best) {
        const CellGrid& grid = layout.grid();
        const IndexedPoint& lowest = layout.lowest();
        const auto consider = [&](const IndexedPoint& entry) {
            const Nearest candidate{
                entry.index, planar_distance(entry.point[0], entry.point[1], query[0], query[1])};
            if (beats(candidate, best)) best = candidate;
        };
        consider(lowest);
        for (std::size_t radius = 0;; ++radius) {
            const double bound =
                radius == 0 ? 0.0 : grid.outside_block_lower_bound(query, column, row, radius - 1);
            if (cannot_beat(bound, best, lowest.index)) return best;
            for_each_cell_on_ring(grid, column, row, radius, [&](std::size_t c, std::size_t r) {
                layout.for_each_in_cell(c, r, consider);
            });
            if (grid.block_covers_grid(column, row, radius)) return best;
        }
    }
};

}  // namespace tarn::planning
