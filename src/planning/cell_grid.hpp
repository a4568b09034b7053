// cell_grid.hpp: the grid of cells shared by the spatial indices.
#pragma once

#include <algorithm>
#include <cstddef>

#include "planning/planar.hpp"

namespace tarn::planning {

// A rectangle of grid cells, both ends included.
struct CellBox {
    std::size_t first_column, last_column, first_row, last_row;
};

// A grid of columns and rows over the rectangle [0, width) x [0, height). A
// point's column is its x times columns / width, rounded down and clamped to
// the grid, so finding it takes a multiplication and no branch, and every
// finite point has a cell, inside the rectangle or not. The rounding of that
// product puts a point near a cell wall on either side of it; the bounds
// below allow for that with a margin far above the rounding error
// (grid_wall_allowance, in rounding_margins.hpp).
class CellGrid {
public:
    // One cell covering the whole plane.
    CellGrid() : CellGrid(1.0, 1.0, 1, 1) {}
    // `width` and `height` positive and finite; `columns` and `rows` at
    // least 1. Fewer are used when cells would be too thin for their squared
    // extent to keep any precision.
    CellGrid(double width, double height, std::size_t columns, std::size_t rows);

    // A grid of about `cells` cells, as square as the rectangle allows.
    static CellGrid with_cell_count(double width, double height, std::size_t cells);

    std::size_t columns() const noexcept { return columns_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cell_count() const noexcept { return columns_ * rows_; }

    // The column and row of a point; a NaN coordinate gets the first.
    std::size_t column_of(double x) const noexcept { return slot_of(x, x_scale_, columns_); }
    std::size_t row_of(double y) const noexcept { return slot_of(y, y_scale_, rows_); }
    std::size_t cell_of(const Sample& point) const noexcept {
        return row_of(point[1]) * columns_ + column_of(point[0]);
    }

    // Whether the cells within `radius` (in columns and in rows) of
    // (column, row) are all the cells there are.
    bool block_covers_grid(std::size_t column, std::size_t row, std::size_t radius) const noexcept {
        return column <= radius && column + radius + 1 >= columns_ && row <= radius &&
               row + radius + 1 >= rows_;
    }

    // The cells within `radius` (in columns and in rows) of (column, row),
    // clipped to the grid.
    CellBox block_around(std::size_t column, std::size_t row, std::size_t radius) const noexcept {
        return {column > radius ? column - radius : 0, std::min(column + radius, columns_ - 1),
                row > radius ? row - radius : 0, std::min(row + radius, rows_ - 1)};
    }
    // The 2 x 2 cells nearest to `point`, which lies in (column, row): its
    // own and the neighbours beyond its nearer walls, clipped to the grid.
    // Where the nearest point lies close by, they hold it more often than not.
    CellBox pair_around(const Sample& point, std::size_t column, std::size_t row) const noexcept {
        const std::size_t first_column =
            first_of_pair(point[0] * x_scale_ - double(column), column, columns_);
        const std::size_t first_row = first_of_pair(point[1] * y_scale_ - double(row), row, rows_);
        return {first_column, std::min(first_column + 1, columns_ - 1), first_row,
                std::min(first_row + 1, rows_ - 1)};
    }

    // Never more than planar_distance from `point` to any point in a cell
    // outside `box`, which must hold `point`'s cell; +inf when the box covers
    // the grid.
    double outside_lower_bound(const Sample& point, const CellBox& box) const noexcept;
    // The same for the block of `radius` around `point`'s cell (column, row).
    double outside_block_lower_bound(const Sample& point, std::size_t column, std::size_t row,
                                     std::size_t radius) const noexcept {
        return outside_lower_bound(point, block_around(column, row, radius));
    }

private:
    // The first of the two columns (rows) nearest to a point at `offset`
    // cells into `slot`, kept within the grid.
    static std::size_t first_of_pair(double offset, std::size_t slot, std::size_t slots) noexcept {
        // Which half the point lies in is a coin toss: no branch on it.
        const std::size_t step_back = std::size_t{offset < 0.5} & std::size_t{slot > 0};
        const std::size_t first = slot - step_back;
        return first + 1 < slots ? first : (slots > 1 ? slots - 2 : 0);
    }
    static std::size_t slot_of(double value, double scale, std::size_t slots) noexcept {
        // Clamped as a double, so that the conversion is always defined: the
        // lower bound comes last and takes a NaN to the first slot.
        const double position = std::max(0.0, std::min(value * scale, double(slots - 1)));
        return static_cast<std::size_t>(position);
    }

    std::size_t columns_, rows_;
    double x_scale_, y_scale_;  // columns / width, rows / height; 0 for a single slot
    double x_step_, y_step_;    // width / columns, height / rows
    double margin_;             // grid_wall_allowance times the larger side
};

}  // namespace tarn::planning
