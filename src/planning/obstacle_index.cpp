// obstacle_index.cpp: obstacles sorted by kind and cell; samples tested against the nearby few.
#include "planning/obstacle_index.hpp"

#include <algorithm>
#include <cmath>

namespace tarn::planning {
namespace {

// Cells are never made smaller than one clearance across (a finer grid only
// adds cells to visit) and never more numerous than this.
constexpr std::size_t max_cells = std::size_t{1} << 20;

// A rounded gap that never exceeds |o - s|, rounded, for any s in [0, extent).
double gap_to_range(double o, double extent) {
    if (o < 0.0) return 0.0 - o;
    if (o >= extent) return o - extent;
    return 0.0;
}

// The distance of a one-coordinate obstacle, as the general distance computes
// it: the square root of 0.0 plus the one squared difference.
double line_distance(double o, double x) { return planar_distance(o, 0.0, x, 0.0); }

std::size_t cell_count_for(std::size_t points, double width, double height) {
    const double unit_cells =
        std::floor(width / obstacle_clearance) * std::floor(height / obstacle_clearance);
    const double wanted =
        std::min({static_cast<double>(points), unit_cells, static_cast<double>(max_cells)});
    return wanted >= 1.0 ? static_cast<std::size_t>(wanted) : 1;
}

}  // namespace

ObstacleIndex::ObstacleIndex(const std::vector<FloatVector>& obstacles, double width, double height)
    : width_(width), height_(height) {
    std::vector<Sample> points;
    for (const FloatVector& o : obstacles) {
        if (o.empty()) {
            blocks_everything_ = true;
        } else if (o.size() == 1) {
            // Not finite: a NaN or infinite distance, which never rejects.
            if (std::isfinite(o[0]) &&
                line_distance(gap_to_range(o[0], width), 0.0) < obstacle_clearance) {
                strips_.push_back(o[0]);
            }
        } else if (std::isfinite(o[0]) && std::isfinite(o[1]) &&
                   planar_distance(gap_to_range(o[0], width), gap_to_range(o[1], height), 0.0,
                                   0.0) < obstacle_clearance) {
            points.push_back({o[0], o[1]});
        }
    }
    std::sort(strips_.begin(), strips_.end());
    place_points(std::move(points));
}

void ObstacleIndex::place_points(std::vector<Sample> points) {
    grid_ =
        CellGrid::with_cell_count(width_, height_, cell_count_for(points.size(), width_, height_));
    cell_starts_.assign(grid_.cell_count() + 1, 0);
    for (const Sample& p : points) ++cell_starts_[grid_.cell_of(p) + 1];
    for (std::size_t c = 0; c < grid_.cell_count(); ++c) cell_starts_[c + 1] += cell_starts_[c];
    points_.resize(points.size());
    std::vector<std::size_t> fill(cell_starts_.begin(), cell_starts_.end() - 1);
    for (const Sample& p : points) points_[fill[grid_.cell_of(p)]++] = p;
}

bool ObstacleIndex::hits(const Sample& sample) const {
    return blocks_everything_ || strip_hits(sample[0]) || grid_hits(sample);
}

bool ObstacleIndex::strip_hits(double x) const {
    // The distance only grows with |o - x|, so on either side of x the
    // closest obstacle decides for all of that side.
    const auto above = std::lower_bound(strips_.begin(), strips_.end(), x);
    if (above != strips_.end() && line_distance(*above, x) < obstacle_clearance) return true;
    return above != strips_.begin() && line_distance(*(above - 1), x) < obstacle_clearance;
}

bool ObstacleIndex::grid_hits(const Sample& sample) const {
    if (points_.empty()) return false;
    const std::size_t column = grid_.column_of(sample[0]);
    const std::size_t row = grid_.row_of(sample[1]);
    for (std::size_t radius = 0;; ++radius) {
        bool hit = false;
        for_each_cell_on_ring(grid_, column, row, radius, [&](std::size_t c, std::size_t r) {
            // A cell whose lower bound is not below the clearance holds no hit.
            if (!hit && grid_.cell_lower_bound(sample, c, r) < obstacle_clearance) {
                hit = cell_hits(r * grid_.columns() + c, sample);
            }
        });
        if (hit) return true;
        if (grid_.block_covers_grid(column, row, radius) ||
            !(grid_.outside_block_lower_bound(sample, column, row, radius) < obstacle_clearance)) {
            return false;
        }
    }
}

bool ObstacleIndex::cell_hits(std::size_t cell, const Sample& sample) const {
    return std::any_of(points_.begin() + static_cast<std::ptrdiff_t>(cell_starts_[cell]),
                       points_.begin() + static_cast<std::ptrdiff_t>(cell_starts_[cell + 1]),
                       [&](const Sample& o) {
                           return planar_distance(o[0], o[1], sample[0], sample[1]) <
                                  obstacle_clearance;
                       });
}

}  // namespace tarn::planning
