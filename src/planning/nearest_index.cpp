// nearest_index.cpp: a branch-free neighbourhood scan over fixed cell slots, exact to the planner's
// scan.
#include "planning/nearest_index.hpp"

#include <algorithm>
#include <cmath>

#include "planning/simd.hpp"

namespace tarn::planning {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Regridding makes cells of about `low_load` points and comes again when they
// hold `2 * low_load`. At that load a query's 3 x 3 cells nearly always
// hold its nearest point, and a cell rarely outgrows its slots.
constexpr double low_load = 1.0;

// Below this many cells the grid sits in the processor's caches and
// prefetching would only cost instructions.
constexpr std::size_t prefetch_threshold = std::size_t{1} << 14;

bool beats(const Nearest& a, const Nearest& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
}

// Two different square sums share a rounded root only when they are within
// a few units in the last place; every sum that might share the root of
// `sum` is at most this.
double might_share_root(double sum) { return sum + sum * 0x1p-49; }

// Visits the cells at exactly `radius` columns or rows from (column, row),
// clipped to the grid, calling visit(column, row) for each.
template <class Visit>
void for_each_cell_on_ring(const CellGrid& grid, std::size_t column, std::size_t row,
                           std::size_t radius, Visit&& visit) {
    // Signed, so that the ring may reach past the grid's first column and row.
    using Signed = std::ptrdiff_t;
    const auto c = static_cast<Signed>(column), r = static_cast<Signed>(row);
    const auto d = static_cast<Signed>(radius);
    const auto last_column = static_cast<Signed>(grid.columns()) - 1;
    const auto last_row = static_cast<Signed>(grid.rows()) - 1;
    const auto visit_if_inside = [&](Signed x, Signed y) {
        if (x >= 0 && x <= last_column && y >= 0 && y <= last_row) {
            visit(static_cast<std::size_t>(x), static_cast<std::size_t>(y));
        }
    };
    if (d == 0) {
        visit_if_inside(c, r);
        return;
    }
    for (Signed x = std::max(c - d, Signed{0}); x <= std::min(c + d, last_column); ++x) {
        visit_if_inside(x, r - d);
        visit_if_inside(x, r + d);
    }
    for (Signed y = std::max(r - d + 1, Signed{0}); y <= std::min(r + d - 1, last_row); ++y) {
        visit_if_inside(c - d, y);
        visit_if_inside(c + d, y);
    }
}

}  // namespace

NearestIndex::NearestIndex(double width, double height) : width_(width), height_(height) {
    regrid();
}

void NearestIndex::insert(Index index, const Sample& point) {
    if (size_ + 1 >= regrid_at_) regrid();
    place({point, index});
    if (index < lowest_.index) lowest_ = {point, index};
    ++size_;
}

void NearestIndex::place(const Entry& entry) {
    const std::size_t cell =
        stored_cell(grid_.column_of(entry.point[0]), grid_.row_of(entry.point[1]));
    const std::uint8_t used = fill_[cell];
    if (used < slots && entry.index <= std::numeric_limits<SlotIndex>::max()) {
        cells_[cell].x[used] = entry.point[0];
        cells_[cell].y[used] = entry.point[1];
        slot_indices_[cell * slots + used] = static_cast<SlotIndex>(entry.index);
        fill_[cell] = static_cast<std::uint8_t>(used + 1);
        return;
    }
    overflow_.push_back(entry);
    const auto [head, first] = overflow_heads_.try_emplace(cell, no_link);
    overflow_next_.push_back(head->second);
    head->second = overflow_.size() - 1;
    fill_[cell] |= overflow_flag;
}

std::size_t NearestIndex::overflow_head(std::size_t cell) const {
    if (!(fill_[cell] & overflow_flag)) return no_link;
    return overflow_heads_.find(cell)->second;
}

void NearestIndex::regrid() {
    // The old layout is read straight into the new one, with no copy of
    // every point in between.
    const std::vector<Cell> old_cells = std::move(cells_);
    const std::vector<std::uint8_t> old_fill = std::move(fill_);
    const std::vector<SlotIndex> old_slot_indices = std::move(slot_indices_);
    const std::vector<Entry> old_overflow = std::move(overflow_);
    overflow_heads_.clear();
    overflow_next_.clear();
    overflow_.clear();

    const auto wanted = static_cast<std::size_t>(double(size_ + 1) / low_load) + 1;
    grid_ = CellGrid::with_cell_count(width_, height_, std::min(wanted, max_cells));
    // Waiting for twice the points keeps the total regridding work linear,
    // even when the rectangle is too thin for the grid to get any finer.
    regrid_at_ =
        2 * std::max(static_cast<std::size_t>(double(grid_.cell_count()) * low_load), size_ + 1);
    stride_ = grid_.columns() + 2;
    const std::size_t stored = stride_ * (grid_.rows() + 2);
    Cell empty;
    std::fill(std::begin(empty.x), std::end(empty.x), infinity);
    std::fill(std::begin(empty.y), std::end(empty.y), infinity);
    cells_.assign(stored, empty);
    fill_.assign(stored, 0);
    slot_indices_.assign(stored * slots, 0);
    for (const Entry& entry : old_overflow) place(entry);
    for (std::size_t cell = 0; cell < old_cells.size(); ++cell) {
        for (std::size_t s = 0; s < (old_fill[cell] & fill_count_mask); ++s) {
            place(
                {{old_cells[cell].x[s], old_cells[cell].y[s]}, old_slot_indices[cell * slots + s]});
        }
    }
}

bool NearestIndex::cannot_beat(double lower_bound, const Nearest& best) const noexcept {
    // Every point covered by `lower_bound` is at least that far away. At
    // exactly the best distance it could still win a tie with a lower index,
    // unless the best index is already no higher than any stored one.
    return lower_bound > best.distance ||
           (lower_bound == best.distance && best.index <= lowest_.index);
}

template <class Visit>
void NearestIndex::for_each_chained_in_block(std::size_t first, Visit&& visit) const {
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) {
            const std::size_t cell = first + r * stride_ + c;
            for (std::size_t e = overflow_head(cell); e != no_link; e = overflow_next_[e]) {
                visit(overflow_[e]);
            }
        }
    }
}

bool NearestIndex::settle_in_block(const Sample& query, std::size_t column, std::size_t row,
                                   Nearest& best) const {
    using namespace simd;
    constexpr std::size_t pairs_per_cell = slots / 2;
    const std::size_t first = stored_cell(column, row) - stride_ - 1;
    std::uint8_t flags = 0;
    for (std::size_t r = 0; r < 3; ++r) {
        const std::uint8_t* f = &fill_[first + r * stride_];
        flags |= f[0] | f[1] | f[2];
    }
    // Chains are visited one entry at a time, on the rare queries that meet one.
    const bool chained = flags & overflow_flag;
    const auto chain_sum = [&](const Entry& entry) {
        return planar_square_sum(entry.point[0], entry.point[1], query[0], query[1]);
    };

    // Every slot's square sum, and the least of them and of the chains'.
    Pair sums[9 * pairs_per_cell];
    const Pair qx = splat(query[0]), qy = splat(query[1]);
    Pair least = splat(infinity);
    for (std::size_t r = 0; r < 3; ++r) {
        const Cell* cells = &cells_[first + r * stride_];
        for (std::size_t c = 0; c < 3; ++c) {
            for (std::size_t p = 0; p < pairs_per_cell; ++p) {
                const Pair dx = load(&cells[c].x[2 * p]) - qx;
                const Pair dy = load(&cells[c].y[2 * p]) - qy;
                const Pair sum = dx * dx + dy * dy;
                sums[(3 * r + c) * pairs_per_cell + p] = sum;
                least = min(least, sum);
            }
        }
    }
    double least_sum = std::min(least[0], least[1]);
    if (chained) {
        for_each_chained_in_block(
            first, [&](const Entry& entry) { least_sum = std::min(least_sum, chain_sum(entry)); });
    }

    // The points that might be at the least distance: settled only when there
    // is exactly one. Among the slots its position is then the sum of their
    // positions.
    const double bar = might_share_root(least_sum);
    Mask count{}, position{};
    for (std::size_t i = 0; i < 9 * pairs_per_cell; ++i) {
        const Mask close = sums[i] <= splat(bar);
        count -= close;
        position += close & Mask{static_cast<long>(2 * i), static_cast<long>(2 * i + 1)};
    }
    std::size_t close_in_chains = 0;
    Index chain_winner = 0;
    if (chained) {
        for_each_chained_in_block(first, [&](const Entry& entry) {
            if (chain_sum(entry) <= bar) {
                ++close_in_chains;
                chain_winner = entry.index;
            }
        });
    }
    if (static_cast<std::size_t>(count[0] + count[1]) + close_in_chains != 1) return false;
    const Nearest candidate{close_in_chains ? chain_winner : slot_index_at(first, position),
                            std::sqrt(least_sum)};
    if (beats(candidate, best)) best = candidate;
    return cannot_beat(grid_.outside_block_lower_bound(query, column, row, 1), best);
}

Index NearestIndex::slot_index_at(std::size_t first, simd::Mask position) const {
    const auto slot = static_cast<std::size_t>(position[0] + position[1]);
    const std::size_t in_block = slot / slots;
    const std::size_t cell = first + (in_block / 3) * stride_ + in_block % 3;
    return slot_indices_[cell * slots + slot % slots];
}

void NearestIndex::consider_cell(std::size_t cell, const Sample& query, Nearest& best) const {
    const auto consider = [&](const Sample& point, Index index) {
        const Nearest candidate{index, planar_distance(point[0], point[1], query[0], query[1])};
        if (beats(candidate, best)) best = candidate;
    };
    for (std::size_t s = 0; s < (fill_[cell] & fill_count_mask); ++s) {
        consider({cells_[cell].x[s], cells_[cell].y[s]}, slot_indices_[cell * slots + s]);
    }
    for (std::size_t e = overflow_head(cell); e != no_link; e = overflow_next_[e]) {
        consider(overflow_[e].point, overflow_[e].index);
    }
}

Nearest NearestIndex::ring_search(const Sample& query, std::size_t column, std::size_t row,
                                  Nearest best) const {
    // The lowest-indexed point first: when distances underflow to zero and
    // everything ties, it wins at once instead of after a visit to every cell.
    const Nearest lowest{lowest_.index,
                         planar_distance(lowest_.point[0], lowest_.point[1], query[0], query[1])};
    if (beats(lowest, best)) best = lowest;
    for (std::size_t radius = 0;; ++radius) {
        const double bound =
            radius == 0 ? 0.0 : grid_.outside_block_lower_bound(query, column, row, radius - 1);
        if (cannot_beat(bound, best)) return best;
        for_each_cell_on_ring(grid_, column, row, radius, [&](std::size_t c, std::size_t r) {
            consider_cell(stored_cell(c, r), query, best);
        });
        if (grid_.block_covers_grid(column, row, radius)) return best;
    }
}

Nearest NearestIndex::nearest(const Sample& query, Nearest best) const {
    if (size_ == 0) return best;
    const std::size_t column = grid_.column_of(query[0]);
    const std::size_t row = grid_.row_of(query[1]);
    if (settle_in_block(query, column, row, best)) return best;
    return ring_search(query, column, row, best);
}

void NearestIndex::prefetch(const Sample& query) const {
    if (grid_.cell_count() < prefetch_threshold) return;
    const std::size_t first =
        stored_cell(grid_.column_of(query[0]), grid_.row_of(query[1])) - stride_ - 1;
    for (std::size_t r = 0; r < 3; ++r) {
        const char* bytes = reinterpret_cast<const char*>(&cells_[first + r * stride_]);
        for (std::size_t offset = 0; offset < 3 * sizeof(Cell); offset += 64) {
            __builtin_prefetch(bytes + offset);
        }
        __builtin_prefetch(&fill_[first + r * stride_]);
    }
}

}  // namespace tarn::planning
