// tree.hpp: the search tree that the planner grows: flat node storage and an edge log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/block_cache.hpp"
#include "core/float_vector_list.hpp"
#include "core/types.hpp"

namespace tarn::planning {

// Every node's children gathered in one array: node p's children, in the order
// they were connected, are children[starts[p]] up to children[starts[p + 1]].
struct ChildLists {
    std::vector<std::size_t> starts;  // node count + 1 entries
    std::vector<Index> children;

    std::span<const Index> of(std::size_t parent) const noexcept {
        return {children.data() + starts[parent], children.data() + starts[parent + 1]};
    }
};

// Nodes and, beside them, each node's child indices in the order they were
// connected. There is always at least one node, and nothing is ever removed.
// Coordinates are stored as given, of any length; child indices are not
// validated, so the record is a plain directed adjacency list and the tree
// shape is up to whoever grows it.
//
// Storage is flat so that a node costs a few dozen bytes rather than two
// heap blocks and two vector headers: the nodes are a FloatVectorList, and
// the edges are kept as a log in `connect` order. The per-parent lists are
// gathered from that log when someone reads them, which keeps the order of
// attachment within each list. What the planner's trees make predictable is
// not stored at all: where a node starts, while every node has as many
// coordinates as the first, and which node an edge leads to, while edge k
// has always led to node k + 1.
class Tree {
public:
    explicit Tree(FloatVector start);

    // Room for `nodes` more nodes of `coordinates` values each, and an edge to each.
    void reserve(std::size_t nodes, std::size_t coordinates);

    // Appends a copy of `node` with an empty child list.
    void push(std::span<const double> node);

    // Faults with the index fault when `parent_index` is not below the node
    // count, leaving the record unchanged.
    void connect(Index parent_index, Index child_index);

    std::size_t size() const noexcept { return nodes_.size(); }

    // Node `index`'s coordinates; `index` must be below size().
    std::span<const double> node(std::size_t index) const noexcept { return nodes_[index]; }
    // The same, faulting with the index fault when `index` is out of range.
    std::span<const double> node_at(std::size_t index) const;

    ChildLists child_lists() const;

    // Copies in the nested form, for callers that want plain vectors.
    std::vector<FloatVector> nodes() const;
    std::vector<IndexList> adjacency_list() const;

private:
    Index child_of(std::size_t edge) const noexcept {
        return edge_children_.empty() ? Index{edge} + 1 : edge_children_[edge];
    }
    // Writes out what was implicit, before the first edge that breaks the
    // pattern. The record's content does not change.
    void list_edge_children();

    FloatVectorList nodes_;
    // Edge k, made by the k-th successful connect, runs from edge_parents_[k]
    // (always below size()) to child_of(k) (any value). edge_children_ stays
    // empty while every edge k has led to node k + 1.
    CachedVector<Index> edge_parents_;
    CachedVector<Index> edge_children_;
};

}  // namespace tarn::planning
