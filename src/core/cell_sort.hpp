// cell_sort.hpp: a stable counting sort of items into the runs of numbered cells.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tarn {

// Sorts items by cell, keeping their order within each cell: cell c's items
// go to the positions from starts[c] up to starts[c + 1]. `starts` must hold
// the cell count + 1 zeros. for_each_item(visit), called twice, calls
// visit(item) for every item in the same order; cell_of(item) is below the
// cell count; place(item, position) puts an item at its position.
template <class Starts, class ForEachItem, class CellOf, class Place>
void sort_into_runs(Starts& starts, ForEachItem&& for_each_item, CellOf&& cell_of, Place&& place) {
    using Offset = std::remove_cvref_t<decltype(starts[0])>;
    const std::size_t cell_count = starts.size() - 1;
    // Count per cell, then turn the counts into run starts.
    for_each_item([&](const auto& item) { ++starts[cell_of(item)]; });
    Offset total = 0;
    for (std::size_t c = 0; c < cell_count; ++c) total += std::exchange(starts[c], total);
    starts[cell_count] = total;
    // Placing advances starts[c] from the beginning of c's run to its end,
    // which is where c + 1 begins; shifting by one restores the beginnings.
    for_each_item([&](const auto& item) { place(item, std::size_t{starts[cell_of(item)]++}); });
    for (std::size_t c = cell_count; c-- > 1;) starts[c] = starts[c - 1];
    starts[0] = 0;
}

}  // namespace tarn
