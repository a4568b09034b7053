// cell_grid.cpp: the grid's shape and the bounds on distances to what lies outside a block.
#include "planning/cell_grid.hpp"

#include <cmath>
#include <limits>

#include "planning/rounding_margins.hpp"

namespace tarn::planning {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

std::size_t usable_slots(double extent, std::size_t slots) {
    const double most = std::floor(extent / min_cell_extent);
    return most < double(slots) ? std::max<std::size_t>(1, std::size_t(most)) : slots;
}

}  // namespace

CellGrid::CellGrid(double width, double height, std::size_t columns, std::size_t rows)
    : columns_(usable_slots(width, columns)),
      rows_(usable_slots(height, rows)),
      x_scale_(columns_ > 1 ? double(columns_) / width : 0.0),
      y_scale_(rows_ > 1 ? double(rows_) / height : 0.0),
      x_step_(width / double(columns_)),
      y_step_(height / double(rows_)),
      margin_(std::max(width, height) * grid_wall_allowance) {}

CellGrid CellGrid::with_cell_count(double width, double height, std::size_t cells) {
    // Square roots first, so that an extreme aspect ratio overflows to
    // infinity (and is clamped) rather than to a NaN.
    const double limit = static_cast<double>(std::max<std::size_t>(cells, 1));
    const double columns =
        std::clamp(std::round(std::sqrt(limit) * std::sqrt(width) / std::sqrt(height)), 1.0, limit);
    const double rows = std::clamp(std::round(limit / columns), 1.0, limit);
    return CellGrid(width, height, static_cast<std::size_t>(columns),
                    static_cast<std::size_t>(rows));
}

double CellGrid::outside_lower_bound(const Sample& point, const CellBox& box) const noexcept {
    // Any cell outside the box lies wholly beyond one of the box's four
    // walls, give or take the margin, so its distance is at least the gap
    // across that wall alone.
    double gap = infinity;
    if (box.first_column > 0) gap = std::min(gap, point[0] - double(box.first_column) * x_step_);
    if (box.last_column + 1 < columns_) {
        gap = std::min(gap, double(box.last_column + 1) * x_step_ - point[0]);
    }
    if (box.first_row > 0) gap = std::min(gap, point[1] - double(box.first_row) * y_step_);
    if (box.last_row + 1 < rows_) {
        gap = std::min(gap, double(box.last_row + 1) * y_step_ - point[1]);
    }
    if (gap == infinity) return infinity;
    gap -= margin_;
    return gap > 0.0 ? planar_distance(gap, 0.0, 0.0, 0.0) : 0.0;
}

}  // namespace tarn::planning
