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
// free place of its run. `step()` runs once per item in each of the two
// passes over the items, so that a long sort can be interrupted.
template <class Item, class CellOf, class Step>
CellRuns<Item> sort_into_cells(const std::vector<Item>& items, std::size_t cell_count,
                               CellOf&& cell_of, Step&& step) {
    CellRuns<Item> runs{std::vector<std::size_t>(cell_count + 1, 0),
                        std::vector<Item>(items.size())};
    std::vector<std::size_t> cells(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        cells[i] = cell_of(items[i]);
        ++runs.starts[cells[i] + 1];
        step();
    }
    for (std::size_t c = 0; c < cell_count; ++c) runs.starts[c + 1] += runs.starts[c];
    std::vector<std::size_t> fill(runs.starts.begin(), runs.starts.end() - 1);
    for (std::size_t i = 0; i < items.size(); ++i) {
        runs.items[fill[cells[i]]++] = items[i];
        step();
    }
    return runs;
}

template <class Item, class CellOf>
CellRuns<Item> sort_into_cells(const std::vector<Item>& items, std::size_t cell_count,
                               CellOf&& cell_of) {
    return sort_into_cells(items, cell_count, cell_of, [] {});
}

}  // namespace tarn
