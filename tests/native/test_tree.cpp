// test_tree.cpp: the search-tree record the planner grows: its nodes, its edges and its faults.
#include <algorithm>
#include <limits>
#include <vector>

#include "check.hpp"
#include "core/fault.hpp"
#include "planning/tree.hpp"

using namespace tarn;
using namespace tarn::planning;

TEST_CASE("tree: creation holds the start point and one empty child list") {
    const Tree tree({1.5, -2.0, 7.0});
    CHECK_EQ(tree.size(), 1u);
    CHECK(tree.nodes() == (std::vector<FloatVector>{{1.5, -2.0, 7.0}}));
    CHECK(tree.adjacency_list() == std::vector<IndexList>{{}});
    CHECK(Tree(FloatVector{}).nodes() == std::vector<FloatVector>{{}});
}

TEST_CASE("tree: push keeps nodes unchanged and lengths in step") {
    Tree tree({0.0});
    tree.push({});
    tree.push(FloatVector{1.0, 2.0, 3.0, 4.0});
    CHECK(tree.nodes() == (std::vector<FloatVector>{{0.0}, {}, {1.0, 2.0, 3.0, 4.0}}));
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{}, {}, {}}));
    CHECK_EQ(tree.size(), 3u);
}

TEST_CASE("tree: connect appends children in call order without checking them") {
    Tree tree({0.0, 0.0});
    tree.push(FloatVector{1.0, 1.0});
    const Index huge = std::numeric_limits<Index>::max();
    tree.connect(0, 1);
    tree.connect(0, 0);
    tree.connect(0, 1);
    tree.connect(1, huge);
    tree.connect(1, 7);
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1, 0, 1}, {huge, 7}}));
    CHECK_EQ(tree.size(), 2u);

    // Interleaved parents keep their own order; a node pushed later starts empty.
    tree.push({});
    tree.connect(2, 9);
    tree.connect(0, 5);
    tree.connect(2, 8);
    const ChildLists lists = tree.child_lists();
    CHECK(std::ranges::equal(lists.of(0), IndexList{1, 0, 1, 5}));
    CHECK(std::ranges::equal(lists.of(2), IndexList{9, 8}));
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1, 0, 1, 5}, {huge, 7}, {9, 8}}));
}

TEST_CASE("tree: nodes and edges read back the same after the planner's patterns break") {
    // The planner's pattern (2-D nodes, edge k to node k + 1) for a while,
    // then a node of another length or an edge elsewhere, then the pattern
    // again.
    for (const bool break_lengths : {false, true}) {
        for (const std::size_t pattern_steps : {0, 1, 6}) {
            Tree tree({0.0, 0.5});
            std::vector<FloatVector> nodes{{0.0, 0.5}};
            std::vector<IndexList> children{{}};
            const auto grow = [&](FloatVector node, Index parent, Index child) {
                tree.push(node);
                nodes.push_back(node);
                children.emplace_back();
                tree.connect(parent, child);
                children[parent].push_back(child);
            };
            for (std::size_t k = 0; k < pattern_steps; ++k)
                grow({static_cast<double>(k) + 1.0, -1.0}, k / 2, k + 1);
            const Index next = tree.size();
            if (break_lengths) {
                grow({9.0}, 0, next);
            } else {
                grow({9.0, 9.0}, 0, next + 5);
            }
            for (std::size_t k = 0; k < 3; ++k)
                grow({-2.0, static_cast<double>(k) + 0.25}, 1 % tree.size(), tree.size());
            CHECK(tree.nodes() == nodes);
            CHECK(tree.adjacency_list() == children);
        }
    }
}

TEST_CASE("tree: node_at reads any node and faults past the last") {
    Tree tree({});
    tree.push(FloatVector{1.0, 2.0, 3.0});
    CHECK(tree.node_at(0).empty());
    CHECK(std::ranges::equal(tree.node_at(1), FloatVector{1.0, 2.0, 3.0}));
    CHECK_THROWS_MESSAGE(tree.node_at(2), tarn::Fault,
                         "index out of bounds: the len is 2 but the index is 2");
}

TEST_CASE("tree: connect from an out-of-range parent faults and leaves the record unchanged") {
    Tree tree({0.0, 0.0});
    tree.push(FloatVector{1.0, 1.0});
    tree.connect(0, 1);
    CHECK_THROWS_MESSAGE(tree.connect(2, 0), tarn::Fault,
                         "index out of bounds: the len is 2 but the index is 2");
    CHECK_THROWS_MESSAGE(tree.connect(std::numeric_limits<Index>::max(), 0), tarn::Fault,
                         "index out of bounds: the len is 2 but the index is "
                         "18446744073709551615");
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1}, {}}));
    tree.connect(1, 0);
    CHECK(tree.adjacency_list() == (std::vector<IndexList>{{1}, {0}}));
}

CHECK_MAIN()
