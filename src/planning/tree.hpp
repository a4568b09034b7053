// tree.hpp: the search tree that the planner grows, as a plain adjacency list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn::planning {

using FloatVector = std::vector<double>;
using Index = std::uint64_t;
using IndexList = std::vector<Index>;

// Nodes and, beside them, each node's child indices in the order they were
// connected. The two vectors always have the same length, at least 1, and
// nothing is ever removed. Coordinates are stored as given, of any length;
// child indices are not validated, so the record is a plain directed
// adjacency list and the tree shape is up to whoever grows it.
class Tree {
public:
    explicit Tree(FloatVector start);

    void push(FloatVector node);

    // Faults with the index fault when `parent_index` is not below the node
    // count, leaving the record unchanged.
    void connect(Index parent_index, Index child_index);

    const std::vector<FloatVector>& nodes() const noexcept { return nodes_; }
    const std::vector<IndexList>& adjacency_list() const noexcept { return adjacency_list_; }
    std::size_t size() const noexcept { return nodes_.size(); }

private:
    std::vector<FloatVector> nodes_;
    std::vector<IndexList> adjacency_list_;
};

}  // namespace tarn::planning
