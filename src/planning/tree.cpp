// tree.cpp: growing the search tree while keeping nodes and child lists in step.
#include "planning/tree.hpp"

#include <utility>

#include "binding/errors.hpp"

namespace tarn::planning {

Tree::Tree(FloatVector start) : adjacency_list_(1) { nodes_.push_back(std::move(start)); }

void Tree::push(FloatVector node) {
    // The child list goes first: if appending the node then fails for lack of
    // memory, taking the list back off restores equal lengths.
    adjacency_list_.emplace_back();
    try {
        nodes_.push_back(std::move(node));
    } catch (...) {
        adjacency_list_.pop_back();
        throw;
    }
}

void Tree::connect(Index parent_index, Index child_index) {
    // Compared as 64-bit values so that no parent index is truncated before
    // the test.
    if (parent_index >= adjacency_list_.size()) {
        raise_index_fault(adjacency_list_.size(), static_cast<std::size_t>(parent_index));
    }
    adjacency_list_[static_cast<std::size_t>(parent_index)].push_back(child_index);
}

}  // namespace tarn::planning
