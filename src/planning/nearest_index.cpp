// nearest_index.cpp: ring search over a refining grid, exact to the planner's scan.
#include "planning/nearest_index.hpp"

#include <algorithm>

namespace tarn::planning {

NearestIndex::NearestIndex(double width, double height)
    : width_(width), height_(height), heads_(grid_.cell_count(), no_entry) {}

void NearestIndex::insert(Index index, const Sample& point) {
    if (entries_.size() + 1 >= regrid_at_) regrid();
    const std::size_t cell = grid_.cell_of(point);
    entries_.push_back({point, index});
    next_.push_back(heads_[cell]);
    heads_[cell] = entries_.size() - 1;
    lowest_index_ = std::min(lowest_index_, index);
}

void NearestIndex::regrid() {
    grid_ = CellGrid::with_cell_count(width_, height_, std::min(entries_.size() + 1, max_cells));
    // Waiting for twice the entries keeps the total regridding work linear,
    // even when the rectangle is too thin for the grid to get any finer.
    regrid_at_ = 2 * std::max(grid_.cell_count(), entries_.size() + 1);
    link_runs(sort_entries_by_cell());
}

std::vector<std::size_t> NearestIndex::sort_entries_by_cell() {
    // A counting sort, so that each cell's entries become adjacent in memory
    // and a query reads them without jumping about.
    std::vector<std::size_t> cells(entries_.size());
    std::vector<std::size_t> starts(grid_.cell_count() + 1, 0);
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        cells[e] = grid_.cell_of(entries_[e].point);
        ++starts[cells[e] + 1];
    }
    for (std::size_t c = 0; c < grid_.cell_count(); ++c) starts[c + 1] += starts[c];
    std::vector<Entry> sorted(entries_.size());
    std::vector<std::size_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t e = 0; e < entries_.size(); ++e) sorted[fill[cells[e]]++] = entries_[e];
    entries_ = std::move(sorted);
    return starts;
}

void NearestIndex::link_runs(const std::vector<std::size_t>& starts) {
    heads_.assign(grid_.cell_count(), no_entry);
    for (std::size_t c = 0; c < grid_.cell_count(); ++c) {
        const std::size_t begin = starts[c], end = starts[c + 1];
        if (begin == end) continue;
        heads_[c] = begin;
        for (std::size_t e = begin; e + 1 < end; ++e) next_[e] = e + 1;
        next_[end - 1] = no_entry;
    }
}

bool NearestIndex::cannot_beat(double lower_bound, const Nearest& best) const noexcept {
    // Every point covered by `lower_bound` is at least that far away. At
    // exactly the best distance it could still win a tie with a lower index,
    // unless the best index is already no higher than any stored one.
    return lower_bound > best.distance ||
           (lower_bound == best.distance && best.index <= lowest_index_);
}

void NearestIndex::scan_cell(std::size_t cell, const Sample& query, Nearest& best) const {
    for (std::size_t e = heads_[cell]; e != no_entry; e = next_[e]) {
        const Entry& entry = entries_[e];
        const double d = planar_distance(entry.point[0], entry.point[1], query[0], query[1]);
        if (d < best.distance || (d == best.distance && entry.index < best.index)) {
            best = {entry.index, d};
        }
    }
}

Nearest NearestIndex::nearest(const Sample& query, Nearest best) const {
    if (entries_.empty()) return best;
    const std::size_t column = grid_.column_of(query[0]);
    const std::size_t row = grid_.row_of(query[1]);
    for (std::size_t radius = 0;; ++radius) {
        for_each_cell_on_ring(grid_, column, row, radius, [&](std::size_t c, std::size_t r) {
            if (!cannot_beat(grid_.cell_lower_bound(query, c, r), best)) {
                scan_cell(r * grid_.columns() + c, query, best);
            }
        });
        if (grid_.block_covers_grid(column, row, radius) ||
            cannot_beat(grid_.outside_block_lower_bound(query, column, row, radius), best)) {
            return best;
        }
    }
}

}  // namespace tarn::planning
