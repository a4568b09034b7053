# test_hostile_scale.py: lying sizes and inputs too large for a limited address space.
import os
import subprocess
import sys
import textwrap

import pytest
from conftest import needs_file

SANITIZED = bool(os.environ.get("TARN_SANITIZED")) or "asan" in os.environ.get("LD_PRELOAD", "")
pytestmark = [
    pytest.mark.skipif(
        SANITIZED, reason="the sanitizers reserve terabytes of shadow memory, so no address-space limit fits"
    ),
    needs_file("/proc/self/status"),
    pytest.mark.usefixtures("enforced_address_space_limit"),
]

# Each snippet runs in its own interpreter whose address space is capped a little above what it
# has mapped once everything is imported, so running out of memory is quick and certain.
PRELUDE = """
import resource
import tarn

vector_add = tarn.moremath.vectors.vector_add
plan = tarn.rrt.rapidly_exploring_random_tree
Tree = type(plan([0.0], [0.0], [1.0, 1.0], [], 1.0, 0))


def mapped_bytes():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024


def limit_address_space(headroom):
    limit = mapped_bytes() + headroom
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))


def outcome(call):
    try:
        call()
    except BaseException as caught:
        return f"{type(caught).__name__} {caught}".strip()
    return "returned"


class Endless:
    '''Yields `item` for every index up to `count`; its length is unknown.'''

    def __init__(self, count, item):
        self.count, self.item = count, item

    def __len__(self):
        raise TypeError("no length")

    def __getitem__(self, index):
        if index >= self.count:
            raise IndexError(index)
        return self.item
"""

MiB = 1 << 20


def run_limited(source):
    result = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    return result


def test_a_length_of_2_to_the_40_converts_what_is_yielded():
    result = run_limited(
        f"""
        class Boastful:
            def __init__(self, items):
                self.items = items

            def __len__(self):
                return 2**40

            def __getitem__(self, index):
                return self.items[index]

        limit_address_space({64 * MiB})
        print(vector_add(Boastful([1, 2, 3]), 0.5))
        print(vector_add([1.0, 2.0], Boastful([10, 20])))
        tree = Tree(Boastful([4, 5]))
        tree.push(Boastful([6]))
        print(tree.nodes)
        obstacles = Boastful([Boastful([5, 5]), Boastful([])])
        print(len(plan(Boastful([0, 0]), [9, 9], Boastful([10, 10]), obstacles[:1], 1.0, 3).nodes) >= 2)
        print(plan([0], [1], [1], obstacles, 1.0, 0).nodes)
        """
    )
    assert result.stdout.splitlines() == [
        "[1.5, 2.5, 3.5]",
        "[11.0, 22.0]",
        "[[4.0, 5.0], [6.0]]",
        "True",
        "[[0.0]]",
    ]
    assert "panicked" not in result.stderr


def test_inputs_too_large_to_convert_raise_memory_error_and_the_process_goes_on():
    # A billion floats need 8 GB; the limit leaves 64 MiB. Each conversion must give up with
    # MemoryError, free what it had built and leave every object usable.
    result = run_limited(
        f"""
        tree = Tree([0.0])
        limit_address_space({64 * MiB})
        huge = range(10**9)
        print(outcome(lambda: vector_add(huge, 1.0)))
        print(outcome(lambda: vector_add([1.0], Endless(10**9, 2.0))))
        print(outcome(lambda: Tree(huge)))
        print(outcome(lambda: tree.push(huge)))
        print(outcome(lambda: plan([0.0], [0.0], [1.0], Endless(10**9, [1.0, 2.0]), 1.0, 0)))
        print(tree.nodes, tree.adjacency_list, len(tree))
        tree.push([1.0])
        tree.connect(0, 1)
        print(tree.nodes, tree.adjacency_list)
        print(vector_add(range(3), 1.0))
        """
    )
    assert result.stdout.splitlines() == [
        "MemoryError",
        "MemoryError",
        "MemoryError",
        "MemoryError",
        "MemoryError",
        "[[0.0]] [[]] 1",
        "[[0.0], [1.0]] [[1], []]",
        "[1.0, 2.0, 3.0]",
    ]
    assert "panicked" not in result.stderr


def test_a_planner_run_that_outgrows_memory_raises_memory_error():
    # A step size of 0 never reaches the goal, so the tree grows by one node per sample until
    # memory runs out, after some 100 000 nodes. The headroom is kept small so that even a
    # nearest-node search that scans every node finishes within seconds.
    result = run_limited(
        f"""
        limit_address_space({16 * MiB})
        print(outcome(lambda: plan([0.0, 0.0], [5.0, 5.0], [10.0, 10.0], [], 0.0, 2**63)))
        tree = plan([0.0, 0.0], [5.0, 5.0], [10.0, 10.0], [], 0.0, 20)
        print(len(tree), len(tree.nodes), len(tree.adjacency_list))
        """
    )
    assert result.stdout.splitlines() == ["MemoryError", "21 21 21"]
    assert "panicked" not in result.stderr


def test_reading_a_tree_too_large_for_the_memory_left():
    # The copy for Python needs a Python float per coordinate. Native memory running out is a
    # MemoryError; the interpreter failing to create a float or list is the fault for an
    # interpreter call that must not fail. Either way the tree stays usable.
    result = run_limited(
        f"""
        tree = Tree([0.0, 0.0])
        for i in range(200_000):
            tree.push([float(i), float(i)])
        limit_address_space({8 * MiB})
        print(outcome(lambda: tree.nodes))
        print(len(tree), tree[200_000], tree[0])
        """
    )
    first, second = result.stdout.splitlines()
    assert first in ("MemoryError", "PanicException Python API call failed")
    assert second == "200001 [199999.0, 199999.0] [0.0, 0.0]"
