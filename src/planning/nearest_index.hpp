// nearest_index.hpp: the nearest sample node, found through a grid instead of a scan.
#pragma once

#include <cstddef>
#include <cstdint>
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
// accumulate so that a cell holds a handful of them; a query
// visits rings of cells around its own, skipping every cell whose lower bound
// shows it cannot hold a winner, and stops once nothing outside the rings can.
//
// Most points are kept sorted by cell, so that a query reads neighbouring
// cells from neighbouring memory. Newly inserted points wait in short
// per-cell chains until they amount to a fixed fraction of the sorted ones,
// and are then merged in; regridding sorts everything afresh.
class NearestIndex {
public:
    // The grid covers [0, width) x [0, height); both positive and finite.
    NearestIndex(double width, double height);

    // `point` must have finite coordinates; outside the rectangle it is still
    // found, only less quickly.
    void insert(Index index, const Sample& point);

    std::size_t size() const noexcept { return sorted_.size() + fresh_.size(); }

    // The winner among `best` and the stored points. `best.distance` must not
    // be NaN (it may be infinite).
    Nearest nearest(const Sample& query, Nearest best) const;

    // A hint that `query` comes next: starts loading the memory its search
    // will read first. Changes nothing else.
    void prefetch(const Sample& query) const;

    // Refinement stops at this many cells; beyond it cells simply fill up.
    static constexpr std::size_t max_cells = std::size_t{1} << 22;

private:
    struct Entry {
        Sample point;
        Index index;
    };
    using Link = std::uint32_t;
    static constexpr Link no_link = std::numeric_limits<Link>::max();

    bool cannot_beat(double lower_bound, const Nearest& best) const noexcept;
    void scan_cell(std::size_t cell, const Sample& query, Nearest& best) const;
    void regrid();
    void sort_by_cell(const std::vector<Entry>& entries);
    void merge_fresh();
    void clear_fresh();

    double width_, height_;
    CellGrid grid_;
    // Cell c's sorted entries are sorted_[starts_[c]] up to sorted_[starts_[c + 1]].
    std::vector<std::size_t> starts_;
    std::vector<Entry> sorted_;
    // Entries since the last merge: cell c's chain starts at fresh_heads_[c]
    // and follows fresh_next_; no_link ends it.
    std::vector<Entry> fresh_;
    std::vector<Link> fresh_next_;
    std::vector<Link> fresh_heads_;
    std::size_t regrid_at_ = 2;  // size that triggers the next regrid
    std::size_t merge_at_ = 0;   // fresh count that triggers the next merge
    Index lowest_index_ = std::numeric_limits<Index>::max();
};

}  // namespace tarn::planning
