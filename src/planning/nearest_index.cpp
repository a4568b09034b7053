// nearest_index.cpp: ring search over a refining grid, exact to the planner's scan.
#include "planning/nearest_index.hpp"

#include <algorithm>

namespace tarn::planning {
namespace {

// Fresh entries are merged once they reach this fraction of the sorted ones
// (plus a few), which bounds both the scattered reads of a query and the
// total merging work, a geometric series.
constexpr std::size_t merge_divisor = 8;
constexpr std::size_t merge_slack = 64;

// Regridding makes cells of about this many entries, and comes again when
// they hold twice as many. Fuller cells mean more distances per query but
// fewer separate places in memory to read, which pays once the index
// outgrows the processor's caches.
constexpr std::size_t cell_load = 6;

// Below this many sorted entries the index sits in the processor's caches
// and prefetching would only cost instructions.
constexpr std::size_t prefetch_threshold = std::size_t{1} << 16;
constexpr std::ptrdiff_t cache_line = 64;

}  // namespace

NearestIndex::NearestIndex(double width, double height)
    : width_(width), height_(height), starts_(grid_.cell_count() + 1, 0) {
    clear_fresh();
}

void NearestIndex::insert(Index index, const Sample& point) {
    if (size() + 1 >= regrid_at_) {
        regrid();
    } else if (fresh_.size() >= merge_at_) {
        merge_fresh();
    }
    const std::size_t cell = grid_.cell_of(point);
    fresh_.push_back({point, index});
    fresh_next_.push_back(fresh_heads_[cell]);
    fresh_heads_[cell] = static_cast<Link>(fresh_.size() - 1);
    lowest_index_ = std::min(lowest_index_, index);
}

void NearestIndex::clear_fresh() {
    fresh_.clear();
    fresh_next_.clear();
    fresh_heads_.assign(grid_.cell_count(), no_link);
    // The links are 32-bit, so a merge comes before they could run out.
    merge_at_ = std::min(sorted_.size() / merge_divisor + merge_slack, std::size_t{no_link} - 1);
}

void NearestIndex::regrid() {
    std::vector<Entry> all = std::move(sorted_);
    all.insert(all.end(), fresh_.begin(), fresh_.end());
    grid_ =
        CellGrid::with_cell_count(width_, height_, std::min(all.size() / cell_load + 1, max_cells));
    // Waiting for twice the entries keeps the total regridding work linear,
    // even when the rectangle is too thin for the grid to get any finer.
    regrid_at_ = 2 * std::max(grid_.cell_count() * cell_load, all.size() + 1);
    sort_by_cell(all);
    clear_fresh();
}

void NearestIndex::sort_by_cell(const std::vector<Entry>& entries) {
    // A counting sort: count per cell, turn the counts into run starts, then
    // drop each entry at the next free place of its run.
    std::vector<std::size_t> cells(entries.size());
    starts_.assign(grid_.cell_count() + 1, 0);
    for (std::size_t e = 0; e < entries.size(); ++e) {
        cells[e] = grid_.cell_of(entries[e].point);
        ++starts_[cells[e] + 1];
    }
    for (std::size_t c = 0; c < grid_.cell_count(); ++c) starts_[c + 1] += starts_[c];
    sorted_.resize(entries.size());
    std::vector<std::size_t> fill(starts_.begin(), starts_.end() - 1);
    for (std::size_t e = 0; e < entries.size(); ++e) sorted_[fill[cells[e]]++] = entries[e];
}

void NearestIndex::merge_fresh() {
    // Backwards and in place: each cell's sorted run moves up by the number of
    // fresh entries in the cells before it, and its fresh entries follow it.
    std::size_t old_end = sorted_.size();
    std::size_t write = sorted_.size() + fresh_.size();
    sorted_.resize(write);
    for (std::size_t c = grid_.cell_count(); c-- > 0;) {
        const std::size_t old_begin = starts_[c];
        starts_[c + 1] = write;
        for (Link e = fresh_heads_[c]; e != no_link; e = fresh_next_[e]) {
            sorted_[--write] = fresh_[e];
        }
        if (write != old_end) {
            std::move_backward(sorted_.begin() + static_cast<std::ptrdiff_t>(old_begin),
                               sorted_.begin() + static_cast<std::ptrdiff_t>(old_end),
                               sorted_.begin() + static_cast<std::ptrdiff_t>(write));
        }
        write -= old_end - old_begin;
        old_end = old_begin;
    }
    starts_[0] = 0;
    clear_fresh();
}

bool NearestIndex::cannot_beat(double lower_bound, const Nearest& best) const noexcept {
    // Every point covered by `lower_bound` is at least that far away. At
    // exactly the best distance it could still win a tie with a lower index,
    // unless the best index is already no higher than any stored one.
    return lower_bound > best.distance ||
           (lower_bound == best.distance && best.index <= lowest_index_);
}

void NearestIndex::scan_cell(std::size_t cell, const Sample& query, Nearest& best) const {
    const auto consider = [&](const Entry& entry) {
        const double d = planar_distance(entry.point[0], entry.point[1], query[0], query[1]);
        if (d < best.distance || (d == best.distance && entry.index < best.index)) {
            best = {entry.index, d};
        }
    };
    for (std::size_t e = starts_[cell]; e < starts_[cell + 1]; ++e) consider(sorted_[e]);
    for (Link e = fresh_heads_[cell]; e != no_link; e = fresh_next_[e]) consider(fresh_[e]);
}

void NearestIndex::prefetch(const Sample& query) const {
    if (sorted_.size() < prefetch_threshold) return;
    // The sorted runs of the three rows of cells around the query's, which
    // is where nearly every search ends.
    const std::size_t column = grid_.column_of(query[0]);
    const std::size_t row = grid_.row_of(query[1]);
    const std::size_t first_column = column > 0 ? column - 1 : 0;
    const std::size_t end_column = std::min(column + 2, grid_.columns());
    const std::size_t end_row = std::min(row + 2, grid_.rows());
    for (std::size_t r = row > 0 ? row - 1 : 0; r < end_row; ++r) {
        const std::size_t row_start = r * grid_.columns();
        const auto* first = sorted_.data() + starts_[row_start + first_column];
        const auto* end = sorted_.data() + starts_[row_start + end_column];
        const auto* bytes = reinterpret_cast<const char*>(first);
        for (; bytes < reinterpret_cast<const char*>(end); bytes += cache_line) {
            __builtin_prefetch(bytes);
        }
        __builtin_prefetch(&fresh_heads_[row_start + first_column]);
    }
}

Nearest NearestIndex::nearest(const Sample& query, Nearest best) const {
    if (size() == 0) return best;
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
