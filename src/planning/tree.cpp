// tree.cpp: growing the flat search tree and gathering its child lists.
#include "planning/tree.hpp"

#include <utility>

#include "core/cell_sort.hpp"
#include "core/fault.hpp"

namespace tarn::planning {

Tree::Tree(FloatVector start) { nodes_.push_back(start); }

void Tree::reserve(std::size_t nodes, std::size_t coordinates) {
    nodes_.reserve(nodes, nodes * coordinates);
    edge_parents_.reserve(edge_parents_.size() + nodes);
    if (!edge_children_.empty()) edge_children_.reserve(edge_children_.size() + nodes);
}

void Tree::list_edge_children() {
    CachedVector<Index> children(edge_parents_.size());
    for (std::size_t k = 0; k < children.size(); ++k) children[k] = Index{k} + 1;
    edge_children_ = std::move(children);
}

void Tree::push(std::span<const double> node) { nodes_.push_back(node); }

void Tree::connect(Index parent_index, Index child_index) {
    // Compared as 64-bit values so that no parent index is truncated before
    // the test.
    if (parent_index >= size()) {
        raise_index_fault(size(), static_cast<std::size_t>(parent_index));
    }
    const bool follows_pattern =
        edge_children_.empty() && child_index == Index{edge_parents_.size()} + 1;
    if (!follows_pattern && edge_children_.empty()) list_edge_children();
    edge_parents_.push_back(parent_index);
    if (follows_pattern) return;
    try {
        edge_children_.push_back(child_index);
    } catch (...) {
        edge_parents_.pop_back();
        throw;
    }
}

std::span<const double> Tree::node_at(std::size_t index) const {
    if (index >= size()) raise_index_fault(size(), index);
    return node(index);
}

ChildLists Tree::child_lists() const {
    // Sorted by parent, stably, so the edges of one parent keep their
    // connect order.
    ChildLists lists{std::vector<std::size_t>(size() + 1, 0),
                     std::vector<Index>(edge_parents_.size())};
    sort_into_runs(
        lists.starts,
        [&](auto&& visit) {
            for (std::size_t k = 0; k < edge_parents_.size(); ++k) visit(k);
        },
        [&](std::size_t edge) { return static_cast<std::size_t>(edge_parents_[edge]); },
        [&](std::size_t edge, std::size_t position) { lists.children[position] = child_of(edge); });
    return lists;
}

std::vector<FloatVector> Tree::nodes() const {
    std::vector<FloatVector> copies;
    copies.reserve(size());
    for (std::size_t i = 0; i < size(); ++i) copies.emplace_back(node(i).begin(), node(i).end());
    return copies;
}

std::vector<IndexList> Tree::adjacency_list() const {
    const ChildLists lists = child_lists();
    std::vector<IndexList> copies;
    copies.reserve(size());
    for (std::size_t p = 0; p < size(); ++p) {
        copies.emplace_back(lists.of(p).begin(), lists.of(p).end());
    }
    return copies;
}

}  // namespace tarn::planning
