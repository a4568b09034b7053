// nearest_index.hpp: the nearest sample node, found through a grid instead of a scan.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "planning/cell_grid.hpp"
#include "planning/tree.hpp"

namespace tarn::planning {

// A candidate for the nearest node: its index and its distance to the query.
struct Nearest {
    Index index;
    double distance;
};

// Points tagged with node indices, searched for the one nearest to a query in
// the planner's order: the smaller planar_distance(point, query) wins, and on
// equal distances the lower index. That order is the one a scan in index
// order establishes when no distance is NaN, which holds for finite points.
//
// The points live in a grid over the sampling rectangle, refined as they
// accumulate so that a cell holds about one or two of them; a query visits
// rings of cells around its own, skipping every cell whose lower bound shows
// it cannot hold a winner, and stops once nothing outside the rings can.
class NearestIndex {
public:
    // The grid covers [0, width) x [0, height); both positive and finite.
    NearestIndex(double width, double height);

    // `point` must have finite coordinates; outside the rectangle it is still
    // found, only less quickly.
    void insert(Index index, const Sample& point);

    std::size_t size() const noexcept { return entries_.size(); }

    // The winner among `best` and the stored points. `best.distance` must not
    // be NaN (it may be infinite).
    Nearest nearest(const Sample& query, Nearest best) const;

    // Refinement stops at this many cells; beyond it cells simply fill up.
    static constexpr std::size_t max_cells = std::size_t{1} << 22;

private:
    struct Entry {
        Sample point;
        Index index;
    };
    static constexpr std::size_t no_entry = std::numeric_limits<std::size_t>::max();

    bool cannot_beat(double lower_bound, const Nearest& best) const noexcept;
    void scan_cell(std::size_t cell, const Sample& query, Nearest& best) const;
    void regrid();
    // Returns where each cell's run of entries starts (one more entry than cells).
    std::vector<std::size_t> sort_entries_by_cell();
    void link_runs(const std::vector<std::size_t>& starts);

    double width_, height_;
    CellGrid grid_;
    // Each cell's entries form a chain: heads_[cell] is the first, next_[e]
    // follows e, and no_entry ends the chain. Regridding lays each cell's
    // entries out contiguously; later insertions go to the front.
    std::vector<Entry> entries_;
    std::vector<std::size_t> next_;
    std::vector<std::size_t> heads_;
    std::size_t regrid_at_ = 2;  // entry count that triggers the next regrid
    Index lowest_index_ = std::numeric_limits<Index>::max();
};

}  // namespace tarn::planning
