// tree.cpp: growing the flat search tree and gathering its child lists.
#include "planning/tree.hpp"

#include <utility>

#include "core/fault.hpp"

namespace tarn::planning {

Tree::Tree(FloatVector start)
    : coordinates_(start.begin(), start.end()), common_length_(start.size()) {}

void Tree::reserve(std::size_t nodes, std::size_t coordinates) {
    coordinates_.reserve(coordinates_.size() + nodes * coordinates);
    if (!node_starts_.empty()) node_starts_.reserve(node_starts_.size() + nodes);
    edge_parents_.reserve(edge_parents_.size() + nodes);
    if (!edge_children_.empty()) edge_children_.reserve(edge_children_.size() + nodes);
}

void Tree::list_node_starts() {
    CachedVector<std::size_t> starts(size_ + 1);
    for (std::size_t i = 0; i <= size_; ++i) starts[i] = i * common_length_;
    node_starts_ = std::move(starts);
}

void Tree::list_edge_children() {
    CachedVector<Index> children(edge_parents_.size());
    for (std::size_t k = 0; k < children.size(); ++k) children[k] = Index{k} + 1;
    edge_children_ = std::move(children);
}

void Tree::push(std::span<const double> node) {
    if (node_starts_.empty() && node.size() != common_length_) list_node_starts();
    if (node_starts_.empty()) {
        // Appending doubles at the end either succeeds or changes nothing.
        // The planner's two coordinates, with room for them, skip the
        // general insertion.
        if (node.size() == 2 && coordinates_.capacity() - coordinates_.size() >= 2) {
            coordinates_.push_back(node[0]);
            coordinates_.push_back(node[1]);
        } else {
            coordinates_.insert(coordinates_.end(), node.begin(), node.end());
        }
    } else {
        // The end offset goes in first: if the coordinates then fail to fit,
        // taking it back off leaves the record as it was.
        node_starts_.push_back(coordinates_.size() + node.size());
        try {
            coordinates_.insert(coordinates_.end(), node.begin(), node.end());
        } catch (...) {
            node_starts_.pop_back();
            throw;
        }
    }
    ++size_;
}

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
    // A stable counting sort of the edge log by parent, so the edges of one
    // parent keep their connect order.
    const std::size_t node_count = size();
    ChildLists lists{std::vector<std::size_t>(node_count + 1, 0),
                     std::vector<Index>(edge_parents_.size())};
    std::vector<std::size_t>& starts = lists.starts;
    for (const Index parent : edge_parents_) ++starts[parent];
    std::size_t total = 0;
    for (std::size_t p = 0; p < node_count; ++p) total += std::exchange(starts[p], total);
    starts[node_count] = total;

    // Placing advances starts[p] from the beginning of p's run to its end,
    // which is where p + 1 begins; shifting by one restores the beginnings.
    for (std::size_t k = 0; k < edge_parents_.size(); ++k) {
        lists.children[starts[edge_parents_[k]]++] = child_of(k);
    }
    for (std::size_t p = node_count; p-- > 1;) starts[p] = starts[p - 1];
    starts[0] = 0;
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
