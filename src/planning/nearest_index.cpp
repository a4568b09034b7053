// nearest_index.cpp: filling the slots, comparing a square of them without a branch, and the
// search that reads them.
#include "planning/nearest_index.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "planning/rounding_margins.hpp"

namespace tarn::planning {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// Cells of about three points, regridded at six: at that load a query's
// 2 x 2 nearest cells nearly always hold its nearest point, and a cell rarely
// outgrows its eight slots.
constexpr double cell_load = 3.0;

// Square sums of chained points, read one at a time, with their indices.
class SumList {
public:
    // Whether there was room; longer chains are left to the ring search,
    // unread. They come from a grid that cannot refine, where its first
    // look, at the lowest index, often settles at once.
    bool add(double sum, Index index) {
        if (size_ == capacity) return false;
        least_ = std::min(least_, sum);
        sums_[size_] = sum;
        indices_[size_] = index;
        ++size_;
        return true;
    }
    double least() const noexcept { return least_; }
    // How many sums are at most `bar`; the last of them becomes `winner`.
    std::size_t count_close(double bar, Index& winner) const {
        std::size_t close = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (sums_[i] <= bar) {
                ++close;
                winner = indices_[i];
            }
        }
        return close;
    }

private:
    static constexpr std::size_t capacity = 32;
    double sums_[capacity];
    Index indices_[capacity];
    std::size_t size_ = 0;
    double least_ = infinity;
};

// Below this many cells the grid sits in the processor's nearest caches and
// prefetching would only cost instructions.
constexpr std::size_t prefetch_threshold = std::size_t{1} << 10;

// The planner's order: the nearer wins, and on equal distances the lower index.
bool beats(const Nearest& a, const Nearest& b) {
    return a.distance < b.distance || (a.distance == b.distance && a.index < b.index);
}

// Whether nothing at least `lower_bound` away can beat `best`: at exactly the
// best distance a point could still win a tie with a lower index, unless
// `best` is already no higher than `lowest_index`, the lowest stored one.
bool cannot_beat(double lower_bound, const Nearest& best, Index lowest_index) {
    return lower_bound > best.distance ||
           (lower_bound == best.distance && best.index <= lowest_index);
}

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

template <class Visit>
void NearestIndex::for_each_in_slots(std::size_t cell, Visit&& visit) const {
    for (std::size_t s = 0; s < (fill_[cell] & fill_count_mask); ++s) {
        visit(
            IndexedPoint{{cells_[cell].x[s], cells_[cell].y[s]}, slot_indices_[cell * slots + s]});
    }
}

template <class Visit>
void NearestIndex::for_each_in_stored(std::size_t cell, Visit&& visit) const {
    for_each_in_slots(cell, visit);
    if (!(fill_[cell] & overflow_flag)) return;
    for (std::size_t e = overflow_heads_[cell]; e != no_link; e = overflow_next_[e]) {
        visit(overflow_[e]);
    }
}

template <class Visit>
void NearestIndex::for_each_point(Visit&& visit) const {
    for (const IndexedPoint& entry : overflow_) visit(entry);
    for (std::size_t cell = 0; cell < cells_.size(); ++cell) for_each_in_slots(cell, visit);
}

NearestIndex::NearestIndex(double width, double height) : width_(width), height_(height) {
    regrid();
}

void NearestIndex::insert(Index index, const Sample& point) {
    if (index < lowest_.index) lowest_ = {point, index};
    if (size_ + 1 >= regrid_at_) regrid();
    place({point, index});
    ++size_;
}

void NearestIndex::place(const IndexedPoint& entry) {
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

void NearestIndex::regrid() {
    // The old layout is read straight into the new one, with no copy of
    // every point in between. Moving leaves this index's arrays empty.
    const NearestIndex old = std::move(*this);
    const auto wanted = static_cast<std::size_t>(double(size_ + 1) / cell_load) + 1;
    grid_ = CellGrid::with_cell_count(width_, height_, std::min(wanted, max_cells));
    // Waiting for twice the points keeps the total regridding work linear,
    // even when the rectangle is too thin for the grid to get any finer.
    regrid_at_ =
        2 * std::max(static_cast<std::size_t>(double(grid_.cell_count()) * cell_load), size_ + 1);
    stride_ = grid_.columns() + 2;
    const std::size_t stored = stride_ * (grid_.rows() + 2);
    Cell empty;
    std::fill(std::begin(empty.x), std::end(empty.x), infinity);
    std::fill(std::begin(empty.y), std::end(empty.y), infinity);
    cells_.assign(stored, empty);
    fill_.assign(stored, 0);
    slot_indices_.assign(stored * slots, 0);
    overflow_heads_.assign(stored, no_link);
    old.for_each_point([&](const IndexedPoint& entry) { place(entry); });
}

// Inline, as a hint: nearest() calls each size once, and built into it the
// search keeps its values in registers instead of returning them through memory.
template <std::size_t Span>
inline std::optional<Nearest> NearestIndex::closest_in(const Sample& query,
                                                       std::size_t first) const {
    using namespace simd;
    constexpr std::size_t pairs_per_cell = slots / 2;
    // The square is read whole from the stored cells; beyond the grid's edge
    // it takes in the empty border.

    // Every slot's square sum, and the least of them.
    Pair sums[Span * Span * pairs_per_cell];
    const Pair qx = splat(query[0]), qy = splat(query[1]);
    Pair least = splat(infinity);
    std::uint8_t flags = 0;
    for (std::size_t r = 0; r < Span; ++r) {
        const Cell* cells = &cells_[first + r * stride_];
        for (std::size_t c = 0; c < Span; ++c) {
            flags |= fill_[first + r * stride_ + c];
            for (std::size_t p = 0; p < pairs_per_cell; ++p) {
                const Pair dx = load(&cells[c].x[2 * p]) - qx;
                const Pair dy = load(&cells[c].y[2 * p]) - qy;
                const Pair sum = dx * dx + dy * dy;
                sums[(Span * r + c) * pairs_per_cell + p] = sum;
                least = min(least, sum);
            }
        }
    }
    // Chains are read one point at a time, on the rare squares that have one.
    SumList chained;
    if (flags & overflow_flag) {
        for (std::size_t r = 0; r < Span; ++r) {
            for (std::size_t c = 0; c < Span; ++c) {
                const std::size_t cell = first + r * stride_ + c;
                if (!(fill_[cell] & overflow_flag)) continue;
                for (std::size_t e = overflow_heads_[cell]; e != no_link; e = overflow_next_[e]) {
                    const IndexedPoint& p = overflow_[e];
                    const double sum =
                        planar_square_sum(p.point[0], p.point[1], query[0], query[1]);
                    if (!chained.add(sum, p.index)) return std::nullopt;
                }
            }
        }
    }
    const double least_sum = std::min({least[0], least[1], chained.least()});

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
    Index chain_winner = 0;
    const std::size_t close_in_chains = chained.count_close(bar, chain_winner);
    if (static_cast<std::size_t>(count[0] + count[1]) + close_in_chains != 1) return std::nullopt;
    return Nearest{close_in_chains ? chain_winner : slot_index_at<Span>(first, position),
                   std::sqrt(least_sum)};
}

template <std::size_t Span>
Index NearestIndex::slot_index_at(std::size_t first, simd::Mask position) const {
    const auto slot = static_cast<std::size_t>(position[0] + position[1]);
    const std::size_t in_block = slot / slots;
    const std::size_t cell = first + (in_block / Span) * stride_ + in_block % Span;
    return slot_indices_[cell * slots + slot % slots];
}

Nearest NearestIndex::nearest(const Sample& query, Nearest best) const {
    if (size_ == 0) return best;
    const std::size_t column = grid_.column_of(query[0]);
    const std::size_t row = grid_.row_of(query[1]);
    const CellBox pair = grid_.pair_around(query, column, row);
    if (settles(query, closest_in<2>(query, stored_cell(pair.first_column, pair.first_row)), pair,
                best)) {
        return best;
    }
    // The 3 x 3 block starts a row up and a column left of the query's cell,
    // in the border when that cell is on the grid's edge.
    const std::size_t block_first = stored_cell(column, row) - stride_ - 1;
    if (settles(query, closest_in<3>(query, block_first), grid_.block_around(column, row, 1),
                best)) {
        return best;
    }
    return search_rings(query, column, row, best);
}

bool NearestIndex::settles(const Sample& query, const std::optional<Nearest>& closest,
                           const CellBox& cells, Nearest& best) const {
    if (!closest) return false;
    if (beats(*closest, best)) best = *closest;
    return cannot_beat(grid_.outside_lower_bound(query, cells), best, lowest_.index);
}

// The lowest index is tried first: when distances underflow to zero and
// everything ties, it wins at once instead of after a visit to every cell.
Nearest NearestIndex::search_rings(const Sample& query, std::size_t column, std::size_t row,
                                   Nearest best) const {
    const auto consider = [&](const IndexedPoint& entry) {
        const Nearest candidate{
            entry.index, planar_distance(entry.point[0], entry.point[1], query[0], query[1])};
        if (beats(candidate, best)) best = candidate;
    };
    consider(lowest_);
    for (std::size_t radius = 0;; ++radius) {
        const double bound =
            radius == 0 ? 0.0 : grid_.outside_block_lower_bound(query, column, row, radius - 1);
        if (cannot_beat(bound, best, lowest_.index)) return best;
        for_each_cell_on_ring(grid_, column, row, radius, [&](std::size_t c, std::size_t r) {
            for_each_in_stored(stored_cell(c, r), consider);
        });
        if (grid_.block_covers_grid(column, row, radius)) return best;
    }
}

void NearestIndex::prefetch(const Sample& query) const {
    // The 2 x 2 cells nearest the query, where nearly every search ends.
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
