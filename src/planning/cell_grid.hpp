// cell_grid.hpp: planar distance and the exact-walled grid shared by the spatial indices.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace tarn::planning {

// A drawn point; samples always have exactly two coordinates.
using Sample = std::array<double, 2>;

// The planner's distance between two points given by their first two
// coordinates, written exactly as the general distance evaluates it (a sum
// from 0.0 in coordinate order, differences taken as `a - b`), so that both
// give bit-identical results.
inline double planar_distance(double ax, double ay, double bx, double by) {
    const double dx = ax - bx;
    const double dy = ay - by;
    return std::sqrt((0.0 + dx * dx) + dy * dy);
}

// A grid over the rectangle [0, width) x [0, height) whose walls are stored as
// doubles. A point in column c satisfies walls[c] <= x < walls[c + 1] exactly,
// not just up to rounding, because locating a point settles against the stored
// walls. The outermost walls are -inf and +inf, so every finite point has a
// cell, inside the rectangle or not.
//
// The bounds below rest on one fact: rounding to nearest is monotone, so each
// step of planar_distance (subtraction, squaring of a non-negative value,
// addition, square root) can only grow when its operands grow in magnitude.
// Evaluating the same expression with the gap between a point and a wall
// therefore never exceeds the distance computed to any point beyond the wall.
class CellGrid {
public:
    // One cell covering the whole plane.
    CellGrid() : CellGrid(1.0, 1.0, 1, 1) {}
    // `width` and `height` positive and finite; `columns` and `rows` at least 1.
    CellGrid(double width, double height, std::size_t columns, std::size_t rows);

    // A grid of about `cells` cells, as square as the rectangle allows.
    static CellGrid with_cell_count(double width, double height, std::size_t cells);

    std::size_t columns() const noexcept { return x_walls_.size() - 1; }
    std::size_t rows() const noexcept { return y_walls_.size() - 1; }
    std::size_t cell_count() const noexcept { return columns() * rows(); }

    // The column and row of a point; its coordinates must be finite.
    std::size_t column_of(double x) const { return slot_of(x_walls_, x); }
    std::size_t row_of(double y) const { return slot_of(y_walls_, y); }
    std::size_t cell_of(const Sample& point) const {
        return row_of(point[1]) * columns() + column_of(point[0]);
    }

    // Never more than planar_distance from `point` to any point in the cell.
    double cell_lower_bound(const Sample& point, std::size_t column, std::size_t row) const;

    // Whether the cells within `radius` (in columns and in rows) of
    // (column, row) are all the cells there are.
    bool block_covers_grid(std::size_t column, std::size_t row, std::size_t radius) const;

    // Never more than planar_distance from `point`, which lies in cell
    // (column, row), to any point in a cell outside that block; +inf when the
    // block covers the grid.
    double outside_block_lower_bound(const Sample& point, std::size_t column, std::size_t row,
                                     std::size_t radius) const;

private:
    static std::vector<double> make_walls(double extent, std::size_t slots);
    static std::size_t slot_of(const std::vector<double>& walls, double value);

    std::vector<double> x_walls_;  // columns() + 1 non-decreasing walls
    std::vector<double> y_walls_;  // rows() + 1 non-decreasing walls
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

}  // namespace tarn::planning
