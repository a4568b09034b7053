"""correct_uses.py: uses of tarn that run, so every type checker must accept them."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

import tarn

if TYPE_CHECKING:
    from tarn import Tree

add = tarn.moremath.vectors.vector_add
sums: list[float] = add([1.0, 2.0], [3, 4])
sums = add((1, 2, 3), 10)
sums = add(range(5), 2.5)
sums = add(b"\x01\x02", True)
sums = add(np.arange(3.0), np.ones(3))
sums = add(vector_a=[np.float64(1.0)], vector_b=np.int64(2))
sums = add([], [])


def plan(obstacles: list[list[float]]) -> Tree:
    return tarn.rrt.rapidly_exploring_random_tree(
        start=[0, 0],
        goal=(9.0, 9.0),
        boundaries=np.array([10.0, 10.0]),
        obstacles=obstacles,
        step_size=1,
        max_iterations=np.int64(100),
    )


tree = plan([[5, 5]])
tree = tarn.rrt.rapidly_exploring_random_tree([0, 0], [9, 9], [10, 10], np.zeros((3, 2)), 0.5, 10)
nodes: list[list[float]] = tree.nodes
children: list[list[int]] = tree.adjacency_list
tree.push(range(2))
tree.connect(0, len(tree) - 1)
tree.connect(parent_index=0, child_index=True)
first: list[float] = tree[0]
count: int = len(tree)
for node in tree:
    coordinate: float = node[0]
found: bool = [0.0, 0.0] in tree

rebuilt: Tree = type(tree)(start=[1, 2])
rebuilt.push(node=(3.0, 4.0))
