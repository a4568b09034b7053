// cell_sort.hpp: a stable counting sort of items into the runs of numbered cells.
#pragma once

#include <cstddef>
#include <vector>

namespace tarn {

// Items grouped by cell: cell c's items are items[starts[c]] up to
// items[starts[c + 1]], in their original order.
template <class Item>
struct CellRuns {
    std::vector<std::size_t> starts;  // cell count + 1 entries, starting at 0
    std::vector<Item> items;
};

// Sorts `items` by `cell_of(item)`, which must be below `cell_count`: count
// per cell, turn the counts into run starts, then drop each item at the next
// free place of its run. `step()` runs once per item in each pass over the
// items, so that a long sort can be interrupted; for the same reason the
// arrays it fills grow item by item rather than in one stretch, since first
// touching that much memory takes long too.
template <class Item, class CellOf, class Step>
CellRuns<Item> sort_into_cells(const std::vector<Item>& items, std::size_t cell_count,
                               CellOf&& cell_of, Step&& step) {
    CellRuns<Item> runs{std::vector<std::size_t>(cell_count + 1, 0), {}};
    std::vector<std::size_t> cells;
    cells.reserve(items.size());
    for (const Item& item : items) {
        cells.push_back(cell_of(item));
        ++runs.starts[cells.back() + 1];
        step();
    }
    for (std::size_t c = 0; c < cell_count; ++c) runs.starts[c + 1] += runs.starts[c];
    runs.items.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        runs.items.emplace_back();
        step();
    }
    std::vector<std::size_t> fill(runs.starts.begin(), runs.starts.end() - 1);
    for (std::size_t i = 0; i < items.size(); ++i) {
        runs.items[fill[cells[i]]++] = items[i];
        step();
    }
    return runs;
}

}  // namespace tarn
