// nearest_search.hpp: the search for the nearest node, written once for every layout of points.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <limits>
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

// What every nearest-node index offers. nearest(query, best) returns the
// winner among `best` and the stored points in the planner's order: the
// smaller planar_distance(point, query) wins, and on equal distances the
// lower index. That is the order a scan in index order establishes when no
// distance is NaN, which holds for finite points. `best.distance` must not be
// NaN (it may be infinite). prefetch(query) hints that `query` comes next,
// and prefetch_ahead(query) that it comes after the next one: each starts
// loading what the step after it reads first, and changes nothing else.
template <class Index_>
concept NearestIndexLayout =
    requires(Index_ index, const Index_ stored, Index node, const Sample& point, Nearest best) {
        index.insert(node, point);
        { stored.size() } -> std::same_as<std::size_t>;
        { stored.nearest(point, best) } -> std::same_as<Nearest>;
        stored.prefetch(point);
        stored.prefetch_ahead(point);
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

// Grids of the nearest-node indices stop refining at this many cells; beyond
// it cells simply fill up.
inline constexpr std::size_t max_index_cells = std::size_t{1} << 22;

// Both layouts regrid to cells of about `load` points each, and again when
// `size` has doubled. Waiting for twice the points keeps the total regridding
// work linear, even when the rectangle is too thin for the grid to get any
// finer.
struct Regrid {
    CellGrid grid;
    std::size_t next_at;  // the size that calls for the next regrid
};
inline Regrid regrid_for(double width, double height, std::size_t size, double load) {
    const auto wanted = static_cast<std::size_t>(double(size + 1) / load) + 1;
    const CellGrid grid =
        CellGrid::with_cell_count(width, height, std::min(wanted, max_index_cells));
    return {grid,
            2 * std::max(static_cast<std::size_t>(double(grid.cell_count()) * load), size + 1)};
}

// Span x Span neighbouring cells, (first_column, first_row) the top left one,
// and `cells`, those of them on the grid. The 3 x 3 block around a cell on
// the grid's edge starts one column or row before the first, at -1.
struct Square {
    std::ptrdiff_t first_column, first_row;
    CellBox cells;
};

// What the search reads of every layout beside its points: the grid of its
// cells, and the stored point with the lowest index, which wins every tie it
// takes part in.
class GriddedPoints {
public:
    const CellGrid& grid() const noexcept { return grid_; }
    const IndexedPoint& lowest() const noexcept { return lowest_; }

protected:
    void note_lowest(const IndexedPoint& entry) {
        if (entry.index < lowest_.index) lowest_ = entry;
    }

    CellGrid grid_;
    IndexedPoint lowest_{{0.0, 0.0}, std::numeric_limits<Index>::max()};
};

// Square sums of points read one at a time, with their indices: what a look
// at a square keeps for the count of the points closest to the query.
class SumList {
public:
    // Whether there was room; a square with more points than this is left
    // to the ring search, which is exact at any size.
    bool add(double sum, Index index) {
        if (size_ == capacity) return false;
        least_ = std::min(least_, sum);
        sums_[size_] = sum;
        indices_[size_] = index;
        ++size_;
        return true;
    }
    double least() const noexcept { return least_; }
    // Adds the count of the sums at most `bar` to `close`; the last of them
    // becomes `winner`.
    void count_close(double bar, std::size_t& close, Index& winner) const {
        for (std::size_t i = 0; i < size_; ++i) {
            if (sums_[i] <= bar) {
                ++close;
                winner = indices_[i];
            }
        }
    }

private:
    static constexpr std::size_t capacity = 64;
    double sums_[capacity];
    Index indices_[capacity];
    std::size_t size_ = 0;
    double least_ = std::numeric_limits<double>::infinity();
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

// The search of every layout. A layout keeps its points in the cells of
// `grid()` and supplies two reads: closest_in<Span>(query, square), the point
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
