"""wrong_uses.py: uses of tarn that fail at run time; a type checker flags every line marked so."""

import tarn

add = tarn.moremath.vectors.vector_add
add("1.5", 2.0)  # flagged: a str is not a vector of numbers
add([1.0], None)  # flagged: None is neither a number nor a vector
add([1.0])  # flagged: vector_b missing
add([1.0], 2.0, bogus=1)  # flagged: no such parameter
tarn.moremath.vector_add([1.0], 2.0)  # flagged: vector_add lives in vectors

plan = tarn.rrt.rapidly_exploring_random_tree
tree = plan([0, 0], [9, 9], [10, 10], [[5, 5]], 1.0, 100)
plan([0, 0], [9, 9], [10, 10], [[5, 5]], 1.0, 100.0)  # flagged: max_iterations is an index
plan([0, 0], [9, 9], [10, 10], [5, 5], 1.0, 100)  # flagged: obstacles are points
tree.nodes = []  # flagged: a read-only property
tree.connect(0, 1.5)  # flagged: indices are ints
tree.colour = "red"  # flagged: no attributes of its own
tarn.rrt.Tree  # flagged: Tree is bound in no module



def import_submodule() -> None:
    # In a function of its own: a failed import leaves the name unknown to pyright in the whole
    # scope it binds, which would hide what the other lines test.
    import tarn.rrt  # flagged: submodules are attributes, not importable modules
