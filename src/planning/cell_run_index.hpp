// cell_run_index.hpp: the nearest-node index for large trees: points sorted into runs by cell.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>

#include "core/block_cache.hpp"
#include "planning/cell_grid.hpp"
#include "planning/nearest_search.hpp"

namespace tarn::planning {

// Points kept sorted by cell, in about 30 bytes a point: the layout for trees
// of tens of millions of points, where the slot grid has stopped refining and
// its cells would overflow into chains, while runs of any length stay
// contiguous. A query reads the runs of neighbouring cells from neighbouring
// memory. Newly inserted points wait in short per-cell chains until they
// amount to a fixed fraction of the sorted ones and are then merged in;
// regridding sorts everything afresh.
class CellRunIndex : public GriddedPoints {
public:
    // Run starts are kept in 32 bits while the points can never outnumber
    // this, in 64 bits beyond.
    static constexpr std::size_t default_narrow_limit = std::numeric_limits<std::uint32_t>::max();

    // `points` (finite coordinates, possibly none) over [0, width) x
    // [0, height), both positive and finite.
    CellRunIndex(double width, double height, CachedVector<IndexedPoint> points,
                 std::size_t narrow_limit = default_narrow_limit);

    void insert(Index index, const Sample& point);
    std::size_t size() const noexcept { return sorted_.size() + fresh_.size(); }
    Nearest nearest(const Sample& query, Nearest best) const;
    void prefetch(const Sample& query) const;
    void prefetch_ahead(const Sample& query) const;

private:
    // Where each cell's run begins among the sorted points, and where the
    // last one ends. The offsets take half the memory in 32 bits, and so
    // half the lines a query reads, which is what a search in a large index
    // waits for; they widen to 64 bits only for indices that could outgrow
    // 32. Loops over every cell go through with(), which picks the width
    // once.
    class RunStarts {
    public:
        // `cells + 1` zeros, in 64 bits when `largest_offset` needs them.
        void assign(std::size_t cells, std::size_t largest_offset, std::size_t narrow_limit);
        std::size_t operator[](std::size_t c) const noexcept {
            return wide_ ? wide_starts_[c] : narrow_starts_[c];
        }
        const void* address_of(std::size_t c) const noexcept {
            return wide_ ? static_cast<const void*>(&wide_starts_[c]) : &narrow_starts_[c];
        }
        template <class Use>
        void with(Use&& use) {
            if (wide_) {
                use(wide_starts_);
            } else {
                use(narrow_starts_);
            }
        }

    private:
        bool wide_ = false;
        CachedVector<std::uint32_t> narrow_starts_;
        CachedVector<std::size_t> wide_starts_;
    };

    using Link = std::uint32_t;
    static constexpr Link no_link = std::numeric_limits<Link>::max();

    friend class NearestSearch<CellRunIndex>;
    template <std::size_t Span>
    std::optional<Nearest> closest_in(const Sample& query, const Square& square) const;
    template <class Visit>
    void for_each_in_cell(std::size_t column, std::size_t row, Visit&& visit) const {
        for_each_in({column, column, row, row}, visit);
    }
    // Visits every point of the cells in `box`.
    template <class Visit>
    void for_each_in(const CellBox& box, Visit&& visit) const;
    void regrid();
    void merge_fresh();
    void clear_fresh();

    double width_, height_;
    std::size_t narrow_limit_;
    // Cell c's sorted points are sorted_[starts_[c]] up to sorted_[starts_[c + 1]].
    RunStarts starts_;
    CachedVector<IndexedPoint> sorted_;
    // Points since the last merge: cell c's chain starts at fresh_heads_[c]
    // and follows fresh_next_; no_link ends it.
    CachedVector<IndexedPoint> fresh_;
    CachedVector<Link> fresh_next_;
    CachedVector<Link> fresh_heads_;
    std::size_t regrid_at_ = 0;  // size that triggers the next regrid
    std::size_t merge_at_ = 0;   // fresh count that triggers the next merge
};

}  // namespace tarn::planning
