// obstacle_index.hpp: the obstacle test for samples, through a grid instead of a scan.
#pragma once

#include <cstddef>
#include <vector>

#include "planning/cell_grid.hpp"
#include "planning/tree.hpp"

namespace tarn::planning {

// Samples closer than this to an obstacle are rejected.
inline constexpr double obstacle_clearance = 1.0;

// The obstacles, arranged so that testing a sample looks only at those that
// can be within `obstacle_clearance` of it. For every sample in the sampling
// rectangle the answer is that of the scan: some obstacle's distance to the
// sample over its first two coordinates at most (the general distance, with
// the obstacle first) is strictly below the clearance.
//
// By kind, as the distance treats them: an obstacle with no coordinate is at
// distance 0 from everything; one with a single coordinate compares x only;
// one whose first two coordinates are not all finite is at a NaN or infinite
// distance and never rejects; the rest are points in the plane. Obstacles
// that cannot come within the clearance of the rectangle are left out.
class ObstacleIndex {
public:
    // `width` and `height` positive and finite: samples lie in
    // [0, width) x [0, height).
    ObstacleIndex(const std::vector<FloatVector>& obstacles, double width, double height);

    // Whether `sample`, inside the rectangle, is too close to an obstacle.
    bool hits(const Sample& sample) const;

    // How many obstacles can still reject something; a test's window into
    // the pruning.
    std::size_t relevant_count() const noexcept { return strips_.size() + points_.size(); }

private:
    bool strip_hits(double x) const;
    bool grid_hits(const Sample& sample) const;
    bool cell_hits(std::size_t cell, const Sample& sample) const;
    void place_points(std::vector<Sample> points);

    double width_, height_;
    bool blocks_everything_ = false;
    std::vector<double> strips_;  // one-coordinate obstacles, ascending
    CellGrid grid_;
    // Cell c's points are points_[cell_starts_[c]] up to points_[cell_starts_[c + 1]].
    std::vector<std::size_t> cell_starts_;
    std::vector<Sample> points_;
};

}  // namespace tarn::planning
