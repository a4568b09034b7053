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
// hold `2 * low_load`. At that load a query's 2 x 2 nearest cells nearly
// always hold its nearest point, and a cell rarely outgrows its slots.
constexpr double low_load = 3.0;

// Below this many cells the grid sits in the processor's nearest caches and
// prefetching would only cost instructions.
constexpr std::size_t prefetch_threshold = std::size_t{1} << 10;

}  // namespace

NearestIndex::NearestIndex(double width, double height, std::size_t run_layout_size,
                           std::size_t run_narrow_limit)
    : width_(width),
      height_(height),
      run_layout_size_(run_layout_size),
      run_narrow_limit_(run_narrow_limit) {
    regrid();
}

void NearestIndex::insert(Index index, const Sample& point) {
    if (index < lowest_.index) lowest_ = {point, index};
    if (!runs_ && size_ + 1 >= regrid_at_) {
        if (size_ >= run_layout_size_) {
            move_into_runs();
        } else {
            regrid();
        }
    }
    if (runs_) {
        runs_->insert({point, index});
    } else {
        place({point, index});
    }
    ++size_;
}

template <class Visit>
void NearestIndex::for_each_point(const CachedVector<Cell>& cells,
                                  const CachedVector<std::uint8_t>& fill,
                                  const CachedVector<SlotIndex>& slot_indices,
                                  const std::vector<Entry>& overflow, Visit&& visit) {
    for (const Entry& entry : overflow) visit(entry);
    for (std::size_t cell = 0; cell < cells.size(); ++cell) {
        for (std::size_t s = 0; s < (fill[cell] & fill_count_mask); ++s) {
            visit(Entry{{cells[cell].x[s], cells[cell].y[s]}, slot_indices[cell * slots + s]});
        }
    }
}

void NearestIndex::move_into_runs() {
    CachedVector<Entry> all;
    all.reserve(size_);
    for_each_point(cells_, fill_, slot_indices_, overflow_,
                   [&](const Entry& entry) { all.push_back(entry); });
    runs_.emplace(width_, height_, std::move(all), run_narrow_limit_);
    // The slot layout is not needed again: release its memory.
    cells_ = {};
    fill_ = {};
    slot_indices_ = {};
    overflow_heads_ = {};
    overflow_ = {};
    overflow_next_ = {};
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
    overflow_next_.push_back(overflow_heads_[cell]);
    overflow_heads_[cell] = overflow_.size() - 1;
    fill_[cell] |= overflow_flag;
}

std::size_t NearestIndex::overflow_head(std::size_t cell) const {
    if (!(fill_[cell] & overflow_flag)) return no_link;
    return overflow_heads_[cell];
}

void NearestIndex::regrid() {
    // The old layout is read straight into the new one, with no copy of
    // every point in between.
    const CachedVector<Cell> old_cells = std::move(cells_);
    const CachedVector<std::uint8_t> old_fill = std::move(fill_);
    const CachedVector<SlotIndex> old_slot_indices = std::move(slot_indices_);
    const std::vector<Entry> old_overflow = std::move(overflow_);
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
    overflow_heads_.assign(stored, no_link);
    for_each_point(old_cells, old_fill, old_slot_indices, old_overflow,
                   [&](const Entry& entry) { place(entry); });
}

template <std::size_t Span, class Visit>
bool NearestIndex::for_each_chained_in(std::size_t first, Visit&& visit) const {
    for (std::size_t r = 0; r < Span; ++r) {
        for (std::size_t c = 0; c < Span; ++c) {
            const std::size_t cell = first + r * stride_ + c;
            for (std::size_t e = overflow_head(cell); e != no_link; e = overflow_next_[e]) {
                if (!visit(overflow_[e])) return false;
            }
        }
    }
    return true;
}

template <std::size_t Span>
bool NearestIndex::settle_in(const Sample& query, std::size_t first, const CellBox& box,
                             Nearest& best) const {
    using namespace simd;
    constexpr std::size_t pairs_per_cell = slots / 2;
    std::uint8_t flags = 0;
    for (std::size_t r = 0; r < Span; ++r) {
        const std::uint8_t* f = &fill_[first + r * stride_];
        for (std::size_t c = 0; c < Span; ++c) flags |= f[c];
    }
    // Chains are visited one entry at a time, on the rare queries that meet
    // one, and their square sums kept for the second look.
    const bool chained = flags & overflow_flag;
    constexpr std::size_t chain_capacity = 32;
    double chain_sums[chain_capacity];
    Index chain_indices[chain_capacity];
    std::size_t chained_points = 0;

    // Every slot's square sum, and the least of them and of the chains'.
    Pair sums[Span * Span * pairs_per_cell];
    const Pair qx = splat(query[0]), qy = splat(query[1]);
    Pair least = splat(infinity);
    for (std::size_t r = 0; r < Span; ++r) {
        const Cell* cells = &cells_[first + r * stride_];
        for (std::size_t c = 0; c < Span; ++c) {
            for (std::size_t p = 0; p < pairs_per_cell; ++p) {
                const Pair dx = load(&cells[c].x[2 * p]) - qx;
                const Pair dy = load(&cells[c].y[2 * p]) - qy;
                const Pair sum = dx * dx + dy * dy;
                sums[(Span * r + c) * pairs_per_cell + p] = sum;
                least = min(least, sum);
            }
        }
    }
    double least_sum = std::min(least[0], least[1]);
    // More chained points than fit are left to the ring search, unread:
    // chains that long come from a grid that cannot refine, where the ring
    // search's first look, at the lowest index, often settles at once.
    const auto keep_sum = [&](const Entry& entry) {
        if (chained_points == chain_capacity) return false;
        const double sum = planar_square_sum(entry.point[0], entry.point[1], query[0], query[1]);
        least_sum = std::min(least_sum, sum);
        chain_sums[chained_points] = sum;
        chain_indices[chained_points] = entry.index;
        ++chained_points;
        return true;
    };
    if (chained && !for_each_chained_in<Span>(first, keep_sum)) return false;

    // The points that might be at the least distance: settled only when there
    // is exactly one. Among the slots its position is then the sum of their
    // positions.
    const double bar = might_share_root(least_sum);
    Mask count{}, position{};
    for (std::size_t i = 0; i < Span * Span * pairs_per_cell; ++i) {
        const Mask close = sums[i] <= splat(bar);
        count -= close;
        position +=
            close & Mask{static_cast<std::int64_t>(2 * i), static_cast<std::int64_t>(2 * i + 1)};
    }
    std::size_t close_in_chains = 0;
    Index chain_winner = 0;
    for (std::size_t i = 0; i < chained_points; ++i) {
        if (chain_sums[i] <= bar) {
            ++close_in_chains;
            chain_winner = chain_indices[i];
        }
    }
    if (static_cast<std::size_t>(count[0] + count[1]) + close_in_chains != 1) return false;
    const Nearest candidate{close_in_chains ? chain_winner : slot_index_at<Span>(first, position),
                            std::sqrt(least_sum)};
    if (beats(candidate, best)) best = candidate;
    return cannot_beat(grid_.outside_lower_bound(query, box), best, lowest_.index);
}

template <std::size_t Span>
Index NearestIndex::slot_index_at(std::size_t first, simd::Mask position) const {
    const auto slot = static_cast<std::size_t>(position[0] + position[1]);
    const std::size_t in_block = slot / slots;
    const std::size_t cell = first + (in_block / Span) * stride_ + in_block % Span;
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

Nearest NearestIndex::nearest(const Sample& query, Nearest best) const {
    if (size_ == 0) return best;
    if (runs_) return runs_->nearest(query, best);
    const std::size_t column = grid_.column_of(query[0]);
    const std::size_t row = grid_.row_of(query[1]);
    // The squares are read whole from the stored cells; beyond the grid's
    // edge they take in the empty border.
    const CellBox pair = grid_.pair_around(query, column, row);
    if (settle_in<2>(query, stored_cell(pair.first_column, pair.first_row), pair, best)) {
        return best;
    }
    if (settle_in<3>(query, stored_cell(column, row) - stride_ - 1,
                     grid_.block_around(column, row, 1), best)) {
        return best;
    }
    return ring_search(grid_, query, column, row, lowest_, best,
                       [&](std::size_t c, std::size_t r, Nearest& so_far) {
                           consider_cell(stored_cell(c, r), query, so_far);
                       });
}

void NearestIndex::prefetch_ahead(const Sample& query) const {
    if (runs_) runs_->prefetch_ahead(query);
}

void NearestIndex::prefetch(const Sample& query) const {
    // The 2 x 2 cells nearest the query, where nearly every search ends.
    if (runs_) return runs_->prefetch(query);
    if (grid_.cell_count() < prefetch_threshold) return;
    const CellBox pair =
        grid_.pair_around(query, grid_.column_of(query[0]), grid_.row_of(query[1]));
    const std::size_t first = stored_cell(pair.first_column, pair.first_row);
    for (std::size_t r = 0; r < 2; ++r) {
        const char* bytes = reinterpret_cast<const char*>(&cells_[first + r * stride_]);
        for (std::size_t offset = 0; offset < 2 * sizeof(Cell); offset += 64) {
            simd::prefetch(bytes + offset);
        }
        simd::prefetch(&fill_[first + r * stride_]);
        // The winner's index is read from there: left to the search, that
        // read would wait on memory after all the comparisons.
        for (std::size_t c = 0; c < 2; ++c) {
            simd::prefetch(&slot_indices_[(first + r * stride_ + c) * slots]);
        }
    }
}

}  // namespace tarn::planning
