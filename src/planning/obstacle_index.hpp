// obstacle_index.hpp: the obstacle test for samples, by a flat scan or through a grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/float_vector_list.hpp"
#include "core/interrupt_countdown.hpp"
#include "planning/cell_grid.hpp"

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
//
// Square sums are compared with the clearance squared, which is 1.0: a sum is
// below 1.0 exactly when its rounded root is. A few points are scanned flat,
// and only for samples in a cell that some clearance disc reaches: most
// samples lie in none, and one look at their cell settles them. More points
// are listed in every grid cell that their clearance disc reaches, so that a
// sample reads only its own cell's short list.
class ObstacleIndex {
public:
    // `width` and `height` positive and finite: samples lie in
    // [0, width) x [0, height). Building calls `check_interrupt`, unless it
    // is empty, every `interrupt_check_interval` steps of its loops; an
    // exception it throws ends the building.
    ObstacleIndex(const FloatVectorList& obstacles, double width, double height,
                  const InterruptCheck& check_interrupt = {});

    // Whether `sample`, inside the rectangle, is too close to an obstacle.
    bool hits(const Sample& sample) const {
        return blocks_everything_ || (!strips_.empty() && strip_hits(sample[0])) ||
               (flat_ ? flat_hits(sample) : cell_hits(sample));
    }

    // How many obstacles can still reject something; a test's window into
    // the pruning.
    std::size_t relevant_count() const noexcept { return strips_.size() + point_count_; }

    // At most this many points are scanned flat, with no grid.
    static constexpr std::size_t flat_limit = 32;

private:
    bool strip_hits(double x) const;
    bool flat_hits(const Sample& sample) const;
    bool cell_hits(const Sample& sample) const;
    void mark_reached_cells(const std::vector<Sample>& points, double width, double height);
    void list_in_cells(const std::vector<Sample>& points, double width, double height,
                       InterruptCountdown& countdown);

    bool blocks_everything_ = false;
    bool flat_ = true;
    std::size_t point_count_ = 0;
    std::vector<double> strips_;  // one-coordinate obstacles, ascending
    // Flat: the points' coordinates apart, padded to an even count with
    // points at infinity, which reach nothing; and per cell of grid_,
    // whether any of their discs reaches into it.
    std::vector<double> xs_, ys_;
    std::vector<std::uint8_t> reached_;
    // Grid: cell c's list is reaching_[starts_[c]] up to reaching_[starts_[c + 1]].
    CellGrid grid_;
    std::vector<std::size_t> starts_;
    std::vector<Sample> reaching_;
};

}  // namespace tarn::planning
