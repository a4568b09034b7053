// obstacle_index.cpp: obstacles sorted by kind, then scanned flat or listed per reachable cell.
#include "planning/obstacle_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/cell_sort.hpp"
#include "planning/rounding_margins.hpp"
#include "planning/simd.hpp"

namespace tarn::planning {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Cells are never made smaller than two clearances across (so a disc reaches
// at most four of them) and never more numerous than this.
constexpr std::size_t max_cells = std::size_t{1} << 20;
constexpr double min_cell_side = 2.0 * obstacle_clearance;

// A rounded gap that never exceeds |o - s|, rounded, for any s in [0, extent).
double gap_to_range(double o, double extent) {
    if (o < 0.0) return 0.0 - o;
    if (o >= extent) return o - extent;
    return 0.0;
}

// The distance of a one-coordinate obstacle, as the general distance computes
// it: the square root of 0.0 plus the one squared difference.
double line_distance(double o, double x) { return planar_distance(o, 0.0, x, 0.0); }

// As many cells as `wanted`, or fewer to keep them two clearances across.
std::size_t cell_count_for(std::size_t wanted, double width, double height) {
    const double side_cells =
        std::floor(width / min_cell_side) * std::floor(height / min_cell_side);
    const double count = std::min(static_cast<double>(wanted), side_cells);
    return count >= 1.0 ? static_cast<std::size_t>(count) : 1;
}

// Enough cells that most samples lie in one no flat-scanned disc reaches,
// few enough that marking them costs little next to a short run.
constexpr std::size_t max_flat_cells = std::size_t{1} << 12;

// Building vectors this long makes their room at once: moving them all as
// they grow would be a long stretch with no interrupt check. Shorter ones
// grow, which reuses memory that the allocator holds, where room made at
// once is fresh memory to fault in, build after build.
constexpr std::size_t room_at_once_from = std::size_t{1} << 20;

// A little more than the clearance: with it, a sample in no cell that the
// widened disc overlaps differs from the obstacle by more than the clearance
// in x or in y, rounding included, and so cannot be hit.
double reach(double coordinate) {
    return obstacle_clearance + (1.0 + std::abs(coordinate)) * obstacle_reach_allowance;
}

// Calls visit(cell) for every cell of `grid` that the widened disc around `p`
// overlaps; the column of a coordinate only grows with it, so those are the
// block between the cells of the disc's extreme corners.
template <class Visit>
void for_each_reached_cell(const CellGrid& grid, const Sample& p, Visit&& visit) {
    const double rx = reach(p[0]), ry = reach(p[1]);
    const std::size_t last_column = grid.column_of(p[0] + rx);
    const std::size_t last_row = grid.row_of(p[1] + ry);
    for (std::size_t r = grid.row_of(p[1] - ry); r <= last_row; ++r) {
        for (std::size_t c = grid.column_of(p[0] - rx); c <= last_column; ++c) {
            visit(r * grid.columns() + c);
        }
    }
}

}  // namespace

ObstacleIndex::ObstacleIndex(const FloatVectorList& obstacles, double width, double height,
                             const InterruptCheck& check_interrupt) {
    InterruptCountdown countdown(check_interrupt);
    std::vector<Sample> points;
    if (obstacles.size() >= room_at_once_from) points.reserve(obstacles.size());
    for (std::size_t i = 0; i < obstacles.size(); ++i) {
        countdown.step();
        const std::span<const double> o = obstacles[i];
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
    // Counted by comparison: a sort that throws leaves the strips in some
    // order, and the index that holds them is dropped.
    std::sort(strips_.begin(), strips_.end(), [&](double a, double b) {
        countdown.step();
        return a < b;
    });
    point_count_ = points.size();
    flat_ = points.size() <= flat_limit;
    if (flat_) {
        for (const Sample& p : points) {
            xs_.push_back(p[0]);
            ys_.push_back(p[1]);
        }
        xs_.resize(xs_.size() + xs_.size() % 2, infinity);
        ys_.resize(xs_.size(), infinity);
        mark_reached_cells(points, width, height);
    } else {
        list_in_cells(points, width, height, countdown);
    }
}

void ObstacleIndex::mark_reached_cells(const std::vector<Sample>& points, double width,
                                       double height) {
    // With no points, the one cell of the default grid is reached by nothing.
    if (!points.empty()) {
        grid_ =
            CellGrid::with_cell_count(width, height, cell_count_for(max_flat_cells, width, height));
    }
    reached_.assign(grid_.cell_count(), 0);
    for (const Sample& p : points) {
        for_each_reached_cell(grid_, p, [&](std::size_t cell) { reached_[cell] = 1; });
    }
}

void ObstacleIndex::list_in_cells(const std::vector<Sample>& points, double width, double height,
                                  InterruptCountdown& countdown) {
    grid_ = CellGrid::with_cell_count(
        width, height, cell_count_for(std::min(points.size(), max_cells), width, height));
    // One entry per cell that a point's widened disc overlaps.
    struct Listing {
        std::size_t cell;
        Sample point;
    };
    std::vector<Listing> listings;
    if (points.size() >= room_at_once_from) {
        // Counted first: that costs about as much as listing them.
        std::size_t count = 0;
        for (const Sample& p : points) {
            for_each_reached_cell(grid_, p, [&](std::size_t) { ++count; });
            countdown.step();
        }
        listings.reserve(count);
    }
    for (const Sample& p : points) {
        for_each_reached_cell(grid_, p, [&](std::size_t cell) { listings.push_back({cell, p}); });
        countdown.step();
    }
    // The points are sorted straight into their runs. Their room grows item
    // by item, with checks between, since first touching that much memory
    // takes long too.
    reaching_.reserve(listings.size());
    for (std::size_t i = 0; i < listings.size(); ++i) {
        reaching_.emplace_back();
        countdown.step();
    }
    starts_.assign(grid_.cell_count() + 1, 0);
    sort_into_runs(
        starts_,
        [&](auto&& visit) {
            for (const Listing& l : listings) {
                visit(l);
                countdown.step();
            }
        },
        [](const Listing& l) { return l.cell; },
        [&](const Listing& l, std::size_t position) { reaching_[position] = l.point; });
}

bool ObstacleIndex::strip_hits(double x) const {
    // The distance only grows with |o - x|, so on either side of x the
    // closest obstacle decides for all of that side.
    const auto above = std::lower_bound(strips_.begin(), strips_.end(), x);
    if (above != strips_.end() && line_distance(*above, x) < obstacle_clearance) return true;
    return above != strips_.begin() && line_distance(*(above - 1), x) < obstacle_clearance;
}

bool ObstacleIndex::flat_hits(const Sample& sample) const {
    if (!reached_[grid_.cell_of(sample)]) return false;
    // Every point is tested, so the loop has no data-dependent branch.
    const simd::Pair sx = simd::splat(sample[0]), sy = simd::splat(sample[1]);
    const simd::Pair one = simd::splat(1.0);
    simd::Mask any{};
    for (std::size_t i = 0; i < xs_.size(); i += 2) {
        const simd::Pair dx = simd::load(&xs_[i]) - sx;
        const simd::Pair dy = simd::load(&ys_[i]) - sy;
        any |= (dx * dx + dy * dy) < one;
    }
    return (any[0] | any[1]) != 0;
}

bool ObstacleIndex::cell_hits(const Sample& sample) const {
    const std::size_t cell = grid_.cell_of(sample);
    for (std::size_t e = starts_[cell]; e < starts_[cell + 1]; ++e) {
        if (planar_square_sum(reaching_[e][0], reaching_[e][1], sample[0], sample[1]) < 1.0) {
            return true;
        }
    }
    return false;
}

}  // namespace tarn::planning
