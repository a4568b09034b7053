// cell_run_index.cpp: cell-sorted runs and fresh chains, searched ring by ring.
#include "planning/cell_run_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <utility>

#include "core/cell_sort.hpp"
#include "planning/simd.hpp"

namespace tarn::planning {
namespace {

// Fresh points are merged once they reach this fraction of the sorted ones
// (plus a few), which bounds both the scattered reads of a query and the
// total merging work, a geometric series.
constexpr std::size_t merge_divisor = 8;
constexpr std::size_t merge_slack = 64;

// Cells of about two points, regridded at four: fewer than the slot grid's
// three, since here every point of a square is read on its own, while a
// slot grid compares whole cells at once whatever their fill.
constexpr double cell_load = 2.0;

constexpr std::ptrdiff_t cache_line = 64;

}  // namespace

void CellRunIndex::RunStarts::assign(std::size_t cells, std::size_t largest_offset,
                                     std::size_t narrow_limit) {
    wide_ = largest_offset > narrow_limit;
    // The width not in use gives back its memory.
    if (wide_) {
        narrow_starts_ = {};
        wide_starts_.assign(cells + 1, 0);
    } else {
        wide_starts_ = {};
        narrow_starts_.assign(cells + 1, 0);
    }
}

CellRunIndex::CellRunIndex(double width, double height, CachedVector<IndexedPoint> points,
                           std::size_t narrow_limit)
    : width_(width), height_(height), narrow_limit_(narrow_limit), sorted_(std::move(points)) {
    for (const IndexedPoint& p : sorted_) note_lowest(p);
    regrid();
}

void CellRunIndex::insert(Index index, const Sample& point) {
    const IndexedPoint entry{point, index};
    if (size() + 1 >= regrid_at_) {
        regrid();
    } else if (fresh_.size() >= merge_at_) {
        merge_fresh();
    }
    const std::size_t cell = grid_.cell_of(entry.point);
    fresh_.push_back(entry);
    fresh_next_.push_back(fresh_heads_[cell]);
    fresh_heads_[cell] = static_cast<Link>(fresh_.size() - 1);
    note_lowest(entry);
}

void CellRunIndex::clear_fresh() {
    fresh_.clear();
    fresh_next_.clear();
    fresh_heads_.assign(grid_.cell_count(), no_link);
    // The links are 32-bit, so a merge comes before they could run out.
    merge_at_ = std::min(sorted_.size() / merge_divisor + merge_slack, std::size_t{no_link} - 1);
}

void CellRunIndex::regrid() {
    const std::size_t count = size();
    const Regrid regrid = regrid_for(width_, height_, count, cell_load);
    grid_ = regrid.grid;
    regrid_at_ = regrid.next_at;
    // Room for every point until the next regrid, so that merges never
    // move the runs to new memory; pages only count once they are written.
    CachedVector<IndexedPoint> sorted;
    sorted.reserve(regrid_at_);
    sorted.resize(count);
    // Offsets stay below regrid_at_, which bounds the size until then.
    starts_.assign(grid_.cell_count(), regrid_at_, narrow_limit_);
    starts_.with([&](auto& starts) {
        sort_into_runs(
            starts,
            [&](auto&& visit) {
                for (const IndexedPoint& p : sorted_) visit(p);
                for (const IndexedPoint& p : fresh_) visit(p);
            },
            [&](const IndexedPoint& p) { return grid_.cell_of(p.point); },
            [&](const IndexedPoint& p, std::size_t position) { sorted[position] = p; });
    });
    sorted_ = std::move(sorted);
    clear_fresh();
}

void CellRunIndex::merge_fresh() {
    // Backwards and in place. Cell c's sorted run moves up by the number of
    // fresh points in the cells before it, and its fresh points follow it.
    // Neighbouring cells with no fresh points between them move by the same
    // amount, so their runs move together, in one block.
    std::size_t old_end = sorted_.size();
    std::size_t shift = fresh_.size();
    std::size_t unmoved_end = old_end;  // the runs from old_end to here move by `shift`
    sorted_.resize(old_end + shift);
    const auto at = [&](std::size_t position) {
        return sorted_.begin() + static_cast<std::ptrdiff_t>(position);
    };
    starts_.with([&](auto& starts) {
        using Offset = typename std::remove_reference_t<decltype(starts)>::value_type;
        for (std::size_t c = grid_.cell_count(); c-- > 0;) {
            const std::size_t old_begin = starts[c];
            starts[c + 1] = static_cast<Offset>(old_end + shift);
            if (fresh_heads_[c] != no_link) {
                std::move_backward(at(old_end), at(unmoved_end), at(unmoved_end + shift));
                unmoved_end = old_end;
                std::size_t write = old_end + shift;
                for (Link e = fresh_heads_[c]; e != no_link; e = fresh_next_[e]) {
                    sorted_[--write] = fresh_[e];
                    --shift;
                }
            }
            old_end = old_begin;
        }
    });
    // Every fresh point is in place now, and the runs still unmoved, those
    // before the first cell with fresh points, stay where they are.
    clear_fresh();
}

template <class Visit>
void CellRunIndex::for_each_in(const CellBox& box, Visit&& visit) const {
    for (std::size_t r = box.first_row; r <= box.last_row; ++r) {
        // The row's cells in the box are one run of memory.
        const std::size_t row_start = r * grid_.columns();
        const std::size_t end = starts_[row_start + box.last_column + 1];
        for (std::size_t e = starts_[row_start + box.first_column]; e < end; ++e) {
            visit(sorted_[e]);
        }
        for (std::size_t c = row_start + box.first_column; c <= row_start + box.last_column; ++c) {
            for (Link e = fresh_heads_[c]; e != no_link; e = fresh_next_[e]) visit(fresh_[e]);
        }
    }
}

template <std::size_t Span>
std::optional<Nearest> CellRunIndex::closest_in(const Sample& query, const Square& square) const {
    SumList sums;
    bool room = true;
    for_each_in(square.cells, [&](const IndexedPoint& p) {
        room = room &&
               sums.add(planar_square_sum(p.point[0], p.point[1], query[0], query[1]), p.index);
    });
    if (!room) return std::nullopt;
    std::size_t close = 0;
    Index winner = 0;
    sums.count_close(might_share_root(sums.least()), close, winner);
    if (close != 1) return std::nullopt;
    return Nearest{winner, std::sqrt(sums.least())};
}

Nearest CellRunIndex::nearest(const Sample& query, Nearest best) const {
    return NearestSearch<CellRunIndex>::run(*this, query, best);
}

void CellRunIndex::prefetch(const Sample& query) const {
    // The sorted runs and fresh chains of the 2 x 2 cells nearest the query,
    // which is where most searches end.
    const CellBox box = grid_.pair_around(query, grid_.column_of(query[0]), grid_.row_of(query[1]));
    for (std::size_t r = box.first_row; r <= box.last_row; ++r) {
        const std::size_t row_start = r * grid_.columns();
        const auto* bytes =
            reinterpret_cast<const char*>(sorted_.data() + starts_[row_start + box.first_column]);
        const auto* end = reinterpret_cast<const char*>(sorted_.data() +
                                                        starts_[row_start + box.last_column + 1]);
        for (; bytes < end; bytes += cache_line) simd::prefetch(bytes);
        for (std::size_t c = row_start + box.first_column; c <= row_start + box.last_column; ++c) {
            if (fresh_heads_[c] != no_link) simd::prefetch(&fresh_[fresh_heads_[c]]);
        }
    }
}

void CellRunIndex::prefetch_ahead(const Sample& query) const {
    // Where the runs of those cells begin and end, and where their fresh
    // chains start: what prefetch reads.
    const CellBox box = grid_.pair_around(query, grid_.column_of(query[0]), grid_.row_of(query[1]));
    for (std::size_t r = box.first_row; r <= box.last_row; ++r) {
        const std::size_t row_start = r * grid_.columns();
        simd::prefetch(starts_.address_of(row_start + box.first_column));
        simd::prefetch(&fresh_heads_[row_start + box.first_column]);
    }
}

}  // namespace tarn::planning
