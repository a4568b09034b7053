// cell_grid.cpp: locating points among stored walls and bounding distances to cells.
#include "planning/cell_grid.hpp"

#include <limits>

namespace tarn::planning {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// How far `p` is from the slot between walls[s] and walls[s + 1], as a
// rounded difference that never exceeds |x - p| rounded for any x in it.
double gap_to_slot(const std::vector<double>& walls, std::size_t s, double p) {
    if (p < walls[s]) return walls[s] - p;
    // Points in the slot lie strictly below walls[s + 1].
    if (p >= walls[s + 1]) return p - walls[s + 1];
    return 0.0;
}

}  // namespace

CellGrid::CellGrid(double width, double height, std::size_t columns, std::size_t rows)
    : x_walls_(make_walls(width, columns)), y_walls_(make_walls(height, rows)) {}

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

std::vector<double> CellGrid::make_walls(double extent, std::size_t slots) {
    // A step that underflows to zero would put every inner wall at 0; one
    // slot does as well and keeps locating cheap.
    const double step = extent / static_cast<double>(slots);
    if (!(step > 0.0)) slots = 1;
    std::vector<double> walls(slots + 1);
    walls.front() = -infinity;
    // step * k grows with k and stays below `extent` times (1 + rounding), so
    // the walls are non-decreasing and finite.
    for (std::size_t k = 1; k < slots; ++k) walls[k] = step * static_cast<double>(k);
    walls.back() = infinity;
    return walls;
}

std::size_t CellGrid::slot_of(const std::vector<double>& walls, double value) {
    const std::size_t slots = walls.size() - 1;
    if (slots == 1) return 0;
    // The division only guesses; the walls decide. The guess is clamped
    // before conversion, and a NaN guess becomes 0.
    double guess = std::floor(value / walls[1]);
    if (!(guess >= 0.0)) guess = 0.0;
    guess = std::min(guess, static_cast<double>(slots - 1));
    auto slot = static_cast<std::size_t>(guess);
    while (slot > 0 && value < walls[slot]) --slot;
    while (slot + 1 < slots && value >= walls[slot + 1]) ++slot;
    return slot;
}

double CellGrid::cell_lower_bound(const Sample& point, std::size_t column, std::size_t row) const {
    return planar_distance(gap_to_slot(x_walls_, column, point[0]),
                           gap_to_slot(y_walls_, row, point[1]), 0.0, 0.0);
}

bool CellGrid::block_covers_grid(std::size_t column, std::size_t row, std::size_t radius) const {
    return column <= radius && column + radius + 1 >= columns() && row <= radius &&
           row + radius + 1 >= rows();
}

double CellGrid::outside_block_lower_bound(const Sample& point, std::size_t column, std::size_t row,
                                           std::size_t radius) const {
    // Any cell outside the block lies wholly beyond one of the block's four
    // walls, so its distance is at least the gap across that wall alone.
    double gap = infinity;
    if (column > radius) gap = std::min(gap, point[0] - x_walls_[column - radius]);
    if (column + radius + 1 < columns()) {
        gap = std::min(gap, x_walls_[column + radius + 1] - point[0]);
    }
    if (row > radius) gap = std::min(gap, point[1] - y_walls_[row - radius]);
    if (row + radius + 1 < rows()) gap = std::min(gap, y_walls_[row + radius + 1] - point[1]);
    return planar_distance(gap, 0.0, 0.0, 0.0);
}

}  // namespace tarn::planning
