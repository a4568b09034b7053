# test_hostile_scale.py: lying sizes and inputs too large for a limited address space.
import subprocess
import sys
import textwrap

import pytest
from conftest import run_snippet

# Each snippet runs in its own interpreter whose address space is capped a little above what it
# has mapped once everything is imported, so running out of memory is quick and certain.
PRELUDE = """
import resource
import tarn

vector_add = tarn.moremath.vectors.vector_add
plan = tarn.rrt.rapidly_exploring_random_tree
Tree = type(plan([0.0], [0.0], [1.0, 1.0], [], 1.0, 0))


def status_bytes(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024


def limit_address_space(headroom):
    limit = status_bytes("VmSize") + headroom
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


# Whether an address-space limit bounds memory here the way these tests rely on: /proc reports
# what is mapped, most of that is in use (under the sanitizers, terabytes are reserved as shadow
# memory, so a limit just above the mapping bounds nothing), and an allocation beyond the limit
# fails with MemoryError.
PROBE = """
if status_bytes("VmSize") < 64 * status_bytes("VmRSS"):
    limit_address_space(16 << 20)
    try:
        bytearray(256 << 20)
    except MemoryError:
        print("enforced")
"""


@pytest.fixture(scope="module", autouse=True)
def address_space_limits():
    probe = subprocess.run(
        [sys.executable, "-c", PRELUDE + PROBE], capture_output=True, text=True, timeout=60, check=False
    )
    if probe.returncode != 0 or probe.stdout != "enforced\n":
        pytest.skip("no enforced address-space limit (RLIMIT_AS), or no /proc/self/status")


def run_limited(source):
    result = run_snippet(PRELUDE + textwrap.dedent(source), timeout=300)
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


# Results that the interpreter cannot allocate once the address space is capped a little above
# what the inputs need: (inputs, the call). Each must raise MemoryError, write nothing to standard
# error, and leave the process usable.
RESULTS = {
    "vector_add, the result list": ("a = [0.5] * 4_000_000", "vector_add(a, 1.0)"),
    "vector_add, the result's floats": ("a = [0.5] * 500_000", "vector_add(a, a)"),
    "vector_add, general path": ("a = range(1_000_000)", "vector_add(a, 1.0)"),
    "nodes": ("t = plan([0.0, 0.0], [1.0, 1.0], [9.0, 9.0], [], 0.0, 200_000)", "t.nodes"),
    "adjacency_list": ("t = plan([0.0, 0.0], [1.0, 1.0], [9.0, 9.0], [], 0.0, 200_000)", "t.adjacency_list"),
    "t[i]": ("t = Tree([0.0]); t.push([0.5] * 1_000_000)", "t[1]"),
    "a new Tree": ("hoard = tree_slots()", "fill_with_trees(hoard) or Tree([])"),
    "the planner's Tree": (
        "hoard = tree_slots()",
        "fill_with_trees(hoard) or plan([], [], [1.0], [], 1.0, 0)",
    ),
}

HOARDING = '''
def tree_slots():
    """Slots and their indices, made before the limit, so that filling them allocates nothing else."""
    return [None] * 400_000, list(range(400_000))


def fill_with_trees(hoard):
    """Fills the memory left with empty trees, until not even one more can be made."""
    slots, indices = hoard
    try:
        for index in indices:
            slots[index] = Tree([])
    except MemoryError:
        pass
'''


@pytest.mark.parametrize("result", RESULTS)
def test_a_result_too_large_for_the_memory_left_is_memory_error(result):
    inputs, call = RESULTS[result]
    completed = run_limited(
        HOARDING
        + f"""
{inputs}
limit_address_space({8 * MiB})
print(outcome(lambda: {call}))
hoard = None
print(vector_add([1.0, 2.0], 0.5), Tree([1.0]).nodes)
"""
    )
    assert completed.stdout.splitlines() == ["MemoryError", "[1.5, 2.5] [[1.0]]"]
    assert completed.stderr == ""
