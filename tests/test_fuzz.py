# test_fuzz.py: arbitrary and hostile values at every callable; only documented exceptions come out.
#
# Under pytest this runs a fixed, reproducible budget of examples. For a longer run by hand:
#     python tests/test_fuzz.py --examples 20000 [pytest arguments]
import argparse
import math
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from conftest import (
    Tree,
    TypeErrorSubclass,
    Unprintable,
    distance,
    nearest,
    panic_exception_class,
    unraisable_collected,
)
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from hypothesis.errors import InvalidArgument
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

import tarn

vector_add = tarn.moremath.vectors.vector_add
plan = tarn.rrt.rapidly_exploring_random_tree
PanicException = panic_exception_class()


class HostileError(Exception):
    """What hostile objects raise of their own; it must come out unchanged."""


# Everything a call may raise: the system's own exceptions and what user objects raise.
DOCUMENTED = (
    TypeError, OverflowError, ValueError, RuntimeError, MemoryError, PanicException, HostileError
)

_long_profile = "tarn-fuzz-long"
settings.register_profile(
    "tarn-fuzz-ci",
    max_examples=150,
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[
        HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much
    ],
)
try:
    FUZZ = settings.get_profile(_long_profile)
except InvalidArgument:
    FUZZ = settings.get_profile("tarn-fuzz-ci")


def attempt(call):
    """Runs `call`; returns (result, None) or (None, exception) for a documented exception."""
    with unraisable_collected():
        try:
            result = call()
        except DOCUMENTED as caught:
            event(f"raised {type(caught).__name__}")
            return None, caught
        except BaseException as caught:  # noqa: BLE001
            pytest.fail(f"undocumented {type(caught).__name__}: {caught!r}")
    event("returned")
    return result, None


def assert_consistent(tree):
    with unraisable_collected():
        nodes, adjacency = tree.nodes, tree.adjacency_list
        assert len(tree) == len(nodes) == len(adjacency) >= 1
        assert all(type(entry) is list for entry in nodes + adjacency)
        assert all(type(x) is float for node in nodes for x in node)
        assert all(type(i) is int for children in adjacency for i in children)


def float_list(values):
    return [float(v) for v in values]


# ---- hostile objects ---------------------------------------------------------------------------


ERRORS = st.sampled_from(
    [
        lambda: HostileError("hostile"),
        lambda: TypeError("hostile"),
        lambda: TypeError(Unprintable(HostileError)),
        lambda: TypeErrorSubclass("hostile"),
        lambda: ValueError("hostile"),
        lambda: PanicException("hostile"),
    ]
)
CALLBACKS = st.sampled_from(["nodes", "adjacency_list", "len", "item", "push", "connect", "iterate"])
# No nonsense value is an int that converts to a large valid index, so a hostile max_iterations
# cannot make the planner run for long.
NONSENSE = st.sampled_from([None, "1.5", b"1", 1.5j, [1.0], -1, 2**64, 2**100, math.nan])
BEHAVIOURS = st.sampled_from(["absent", "normal", "raise", "nonsense", "callback"])


def call_back_into(tree, access, swallow):
    def run():
        if access == "nodes":
            tree.nodes  # noqa: B018
        elif access == "adjacency_list":
            tree.adjacency_list  # noqa: B018
        elif access == "len":
            len(tree)
        elif access == "item":
            tree[0]
        elif access == "push":
            tree.push([7.0, 7.0])
        elif access == "connect":
            tree.connect(0, 0)
        else:
            [node for _, node in zip(range(len(tree)), tree)]

    if not swallow:
        run()
        return
    try:
        run()
    except (RuntimeError, HostileError):
        pass


class Recipe:
    """How each special method of a hostile object behaves, drawn by hypothesis."""

    SLOTS = ("len", "getitem", "iter", "next", "float", "index", "str")

    def __init__(self, behaviours, error, nonsense, access, swallow, items):
        self.behaviours = dict(zip(self.SLOTS, behaviours))
        self.error, self.nonsense, self.access, self.swallow = error, nonsense, access, swallow
        self.items = items  # numbers and further recipes, built along with this one

    def __repr__(self):
        return (
            f"Recipe({self.behaviours}, nonsense={self.nonsense!r}, access={self.access}, "
            f"swallow={self.swallow}, items={self.items!r})"
        )

    def build(self, tree):
        """A new object whose class carries exactly the special methods the recipe asks for."""
        recipe = self
        items = [item.build(tree) if isinstance(item, Recipe) else item for item in self.items]

        def behave(slot, normal):
            behaviour = recipe.behaviours[slot]
            if behaviour == "raise":
                raise recipe.error()
            if behaviour == "nonsense":
                return recipe.nonsense
            if behaviour == "callback":
                call_back_into(tree, recipe.access, recipe.swallow)
            return normal()

        class HostileIterator:
            def __init__(self):
                self.position = 0

            def __iter__(self):
                return self

            def __next__(self):
                if self.position >= len(items):
                    raise StopIteration
                self.position += 1
                # Misbehaves from the second item on, so failures come part-way through.
                if self.position == 1:
                    return items[0]
                return behave("next", lambda: items[self.position - 1])

        methods = {
            "len": ("__len__", lambda self: behave("len", lambda: len(items))),
            # Past the last item there is no misbehaving: a sequence that never ends would only
            # measure how long the machine takes to run out of memory.
            "getitem": (
                "__getitem__",
                lambda self, i: behave("getitem", lambda: items[i]) if i < len(items) else items[i],
            ),
            "iter": ("__iter__", lambda self: behave("iter", HostileIterator)),
            "float": ("__float__", lambda self: behave("float", lambda: 1.5)),
            "index": ("__index__", lambda self: behave("index", lambda: 0)),
            "str": ("__str__", lambda self: behave("str", lambda: "hostile")),
        }
        namespace = {
            name: function
            for slot, (name, function) in methods.items()
            if self.behaviours[slot] != "absent"
        }
        return type("Hostile", (), namespace)()


recipes = st.builds(
    Recipe,
    st.lists(BEHAVIOURS, min_size=len(Recipe.SLOTS), max_size=len(Recipe.SLOTS)),
    ERRORS,
    NONSENSE,
    CALLBACKS,
    st.booleans(),
    st.lists(st.one_of(st.floats(), st.integers(-5, 5), st.deferred(lambda: recipes)), max_size=4),
)


# ---- arbitrary values --------------------------------------------------------------------------

numbers = st.one_of(
    st.floats(),
    st.integers(),
    st.sampled_from([2**64 - 1, 2**64, -1, 2**63, 2**1024, -(2**1024), True, False]),
    st.decimals(allow_nan=False),
    st.fractions(),
)
scalars = st.one_of(
    numbers,
    st.none(),
    st.text(max_size=4),
    st.binary(max_size=4),
    st.complex_numbers(),
    st.builds(range, st.integers(-3, 20)),
)


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(st.text(max_size=2), children, max_size=3),
        st.frozensets(st.integers(-5, 5), max_size=3),
        st.binary(max_size=4).map(bytearray),
    )


plain_values = st.recursive(scalars, containers, max_leaves=12)


def anything(tree):
    """Arbitrary values, with hostile objects that may call back into `tree` mixed in."""
    hostile = recipes.map(lambda recipe: recipe.build(tree))
    return st.recursive(st.one_of(scalars, hostile), containers, max_leaves=12)


NUMBER_TYPES = (int, bool, float, Decimal, Fraction)
NOT_SEQUENCES = (*NUMBER_TYPES, type(None), dict, frozenset, complex)


def expected_vector(value):
    """What the float-vector conversion makes of a plain value: a list, an exception type, or
    None when the value is not plain enough to predict."""
    if isinstance(value, str) or type(value) in NOT_SEQUENCES:
        return TypeError
    if type(value) not in (list, tuple, bytes, bytearray, range):
        return None
    if not all(type(v) in NUMBER_TYPES for v in value):
        return None
    try:
        return float_list(value)
    except (OverflowError, ValueError) as caught:
        return type(caught)


def expected_vector_add(a, b):
    first = expected_vector(a)
    if first is None or isinstance(first, type) or not first:
        return first
    if type(b) in NUMBER_TYPES:
        try:
            return [x + float(b) for x in first]
        except (OverflowError, ValueError):
            pass  # not a number after all: taken as a sequence, which an int or float is not
    second = expected_vector(b)
    if second is None or isinstance(second, type):
        return second
    return [x + y for x, y in zip(first, second)]


def same(a, b):
    return repr(a) == repr(b)  # exact, including NaN and the sign of zero


# ---- module functions --------------------------------------------------------------------------

keyword_names = st.one_of(st.sampled_from(["vector_a", "vector_b"]), st.text(max_size=3))


@settings(FUZZ)
@given(data=st.data())
def test_vector_add_with_arbitrary_arguments(data):
    tree = Tree([0.0])
    positional = data.draw(st.lists(anything(tree), max_size=3))
    keywords = data.draw(st.dictionaries(keyword_names, anything(tree), max_size=2))
    result, error = attempt(lambda: vector_add(*positional, **keywords))
    assert_consistent(tree)
    if error is None:
        assert type(result) is list and all(type(x) is float for x in result)


@settings(FUZZ)
@given(a=plain_values, b=plain_values)
def test_vector_add_matches_a_reference_on_plain_values(a, b):
    result, error = attempt(lambda: vector_add(a, b))
    expected = expected_vector_add(a, b)
    if expected is None:
        return
    if isinstance(expected, type):
        assert type(error) is expected
        if expected is TypeError and isinstance(expected_vector(a), type):
            assert str(error).startswith("argument 'vector_a': ")
        return
    assert error is None
    assert same(result, expected)


sane_boundaries = st.lists(st.floats(7.0, 50.0), min_size=2, max_size=3)
# At most three unit discs or strips of width 2 can never cover a rectangle at least 7 wide,
# so some samples are always accepted and the planner never runs into its rejection bound.
sane_obstacles = st.lists(st.lists(st.floats(-5.0, 55.0), min_size=1, max_size=3), max_size=3)
small_iterations = st.integers(0, 50)
points = st.lists(st.floats(-10.0, 60.0), max_size=3)


@settings(FUZZ)
@given(
    start=points,
    goal=points,
    boundaries=sane_boundaries,
    obstacles=sane_obstacles,
    step_size=st.floats(allow_nan=True, allow_infinity=True),
    max_iterations=small_iterations,
)
def test_planner_grows_valid_trees(start, goal, boundaries, obstacles, step_size, max_iterations):
    arguments = (start, goal, boundaries, obstacles, step_size, max_iterations)
    tree, error = attempt(lambda: plan(*arguments))
    assert error is None
    assert_consistent(tree)
    nodes, adjacency = tree.nodes, tree.adjacency_list
    parents = {child: parent for parent, children in enumerate(adjacency) for child in children}
    assert same(nodes[0], float_list(start))
    index = 1
    while index < len(nodes):
        x, y = sample = nodes[index]
        assert 0.0 <= x < boundaries[0] and 0.0 <= y < boundaries[1]
        assert all(distance(sample, obstacle) >= 1.0 for obstacle in obstacles)
        assert parents[index] == nearest(nodes[:index], sample)
        if step_size > distance(sample, goal):
            assert index + 2 == len(nodes), "the goal ends the run"
            assert same(nodes[-1], float_list(goal)) and adjacency[index] == [index + 1]
            break
        index += 1
    else:
        assert len(nodes) == max_iterations + 1
    assert len(parents) == len(nodes) - 1


junk_iterations = st.one_of(
    st.integers(max_value=-1),
    st.integers(min_value=2**64),
    st.floats(),
    st.text(max_size=3),
    st.none(),
    recipes,  # their __index__ gives 0 or fails
)


@settings(FUZZ)
@given(data=st.data())
def test_planner_with_arbitrary_arguments(data):
    tree = Tree([0.0])
    junk = anything(tree)
    draw = lambda sane: data.draw(st.one_of(sane, junk))  # noqa: E731
    start, goal, step_size = draw(points), draw(points), draw(st.floats())
    not_a_list = junk.filter(lambda value: not isinstance(value, (list, tuple)))
    boundaries = data.draw(st.one_of(sane_boundaries, not_a_list))
    sane = data.draw(st.booleans())
    obstacles = data.draw(sane_obstacles if sane else junk)
    # Arbitrary obstacles may cover every sample (an empty one does), which only the planner's
    # slow rejection bound would end: with them the loop does not run.
    max_iterations = data.draw(st.one_of(small_iterations if sane else st.just(0), junk_iterations))
    if isinstance(max_iterations, Recipe):
        max_iterations = max_iterations.build(tree)
    arguments = (start, goal, boundaries, obstacles, step_size, max_iterations)
    result, error = attempt(lambda: plan(*arguments))
    assert_consistent(tree)
    if error is None:
        assert_consistent(result)


# Where a hostile object sits in each call; `tree` is the tree it may call back into.
POSITIONS = {
    "vector_add vector_a": lambda tree, h: vector_add(h, [1.0]),
    "vector_add vector_b": lambda tree, h: vector_add([1.0, 2.0], h),
    "vector_add element": lambda tree, h: vector_add([1.0, h], [1.0, 2.0]),
    "Tree start": lambda tree, h: Tree(h),
    "push node": lambda tree, h: tree.push(h),
    "push element": lambda tree, h: tree.push([h, 1.0]),
    "connect parent_index": lambda tree, h: tree.connect(h, 0),
    "connect child_index": lambda tree, h: tree.connect(0, h),
    "subscript": lambda tree, h: tree[h],
    "planner start": lambda tree, h: plan(h, [9.0, 9.0], [10.0, 10.0], [], 1.0, 3),
    "planner goal": lambda tree, h: plan([0.0, 0.0], h, [10.0, 10.0], [], 1.0, 3),
    "planner boundaries": lambda tree, h: plan([0.0, 0.0], [9.0, 9.0], h, [], 1.0, 3),
    "planner obstacles": lambda tree, h: plan([0.0], [9.0], [10.0, 10.0], h, 1.0, 0),
    "planner obstacle": lambda tree, h: plan([0.0], [9.0], [10.0, 10.0], [[5.0, 5.0], h], 1.0, 0),
    "planner step_size": lambda tree, h: plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], [], h, 3),
    "planner max_iterations": lambda tree, h: plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], [], 1.0, h),
}
TREE_OPERATIONS = {"push node", "push element", "connect parent_index", "connect child_index", "subscript"}


@settings(FUZZ)
@given(recipe=recipes, position=st.sampled_from(sorted(POSITIONS)))
def test_hostile_object_in_every_position(recipe, position):
    tree = Tree([0.0, 0.0])
    tree.push([1.0, 1.0])
    tree.connect(0, 1)
    before = repr((tree.nodes, tree.adjacency_list))
    result, error = attempt(lambda: POSITIONS[position](tree, recipe.build(tree)))
    assert_consistent(tree)
    if position in TREE_OPERATIONS and error is not None:
        assert repr((tree.nodes, tree.adjacency_list)) == before, "a failed operation changed the tree"
    if isinstance(result, Tree):
        assert_consistent(result)


# ---- the Tree class ----------------------------------------------------------------------------


class SubTree(Tree):
    pass


@settings(FUZZ)
@given(data=st.data(), cls=st.sampled_from([Tree, SubTree]))
def test_constructor_with_arbitrary_start(data, cls):
    other = Tree([0.0])
    start = data.draw(anything(other))
    tree, error = attempt(lambda: cls(start))
    assert_consistent(other)
    expected = expected_vector(start)
    if isinstance(expected, list):
        assert error is None
    if error is None:
        assert type(tree) is cls
        assert_consistent(tree)
        assert len(tree) == 1
        if isinstance(expected, list):
            assert same(tree[0], expected)
    elif expected is TypeError:
        assert type(error) is TypeError and str(error).startswith("argument 'start': ")


class TreeMachine(RuleBasedStateMachine):
    """Every operation on one tree, with arbitrary and hostile arguments, against a model."""

    def __init__(self):
        super().__init__()
        self.tree = None
        self.nodes = []
        self.adjacency = []

    @precondition(lambda self: self.tree is None)
    @rule(cls=st.sampled_from([Tree, SubTree]), start=st.lists(st.floats(), max_size=3))
    def create(self, cls, start):
        self.tree = cls(start)
        self.nodes = [float_list(start)]
        self.adjacency = [[]]

    def unchanged_after(self, error):
        assert isinstance(error, DOCUMENTED)
        assert same(self.tree.nodes, self.nodes)
        assert self.tree.adjacency_list == self.adjacency

    @precondition(lambda self: self.tree is not None)
    @rule(data=st.data())
    def push(self, data):
        node = data.draw(anything(self.tree))
        expected = expected_vector(node)
        _, error = attempt(lambda: self.tree.push(node))
        if error is not None:
            self.unchanged_after(error)
            if expected is TypeError:
                assert type(error) is TypeError and str(error).startswith("argument 'node': ")
            return
        assert not isinstance(expected, type), f"push({node!r}) did not raise {expected}"
        pushed = self.tree[len(self.nodes)]
        if expected is not None:
            assert same(pushed, expected)
        self.nodes.append(pushed)
        self.adjacency.append([])

    indices = st.one_of(
        st.integers(-2, 6), st.sampled_from([2**64 - 1, 2**64, True]), st.floats(), st.none()
    )

    @precondition(lambda self: self.tree is not None)
    @rule(data=st.data(), parent=indices, child=indices)
    def connect(self, data, parent, child):
        if data.draw(st.booleans()):
            parent = data.draw(anything(self.tree))
        _, error = attempt(lambda: self.tree.connect(parent, child))
        if error is not None:
            self.unchanged_after(error)
            return
        assert type(parent) in (int, bool) or hasattr(parent, "__index__")
        position = int(parent) if type(parent) in (int, bool) else None
        if position is None:  # a hostile parent index converts to 0
            position = 0
        self.adjacency[position].append(int(child))
        assert self.tree.adjacency_list == self.adjacency

    @precondition(lambda self: self.tree is not None)
    @rule(data=st.data(), key=indices)
    def subscript(self, data, key):
        if data.draw(st.booleans()):
            key = data.draw(anything(self.tree))
        result, error = attempt(lambda: self.tree[key])
        if error is not None:
            self.unchanged_after(error)
            if type(key) is int and 0 <= key < 2**64:
                assert type(error) is PanicException and key >= len(self.nodes)
            return
        position = int(key) if type(key) in (int, bool) else 0
        assert same(result, self.nodes[position])

    @precondition(lambda self: self.tree is not None)
    @rule()
    def iterate(self):
        count = len(self.nodes)
        assert same([node for _, node in zip(range(count), self.tree)], self.nodes)

    @invariant()
    def consistent(self):
        if self.tree is not None:
            assert_consistent(self.tree)
            assert len(self.tree) == len(self.nodes)


TreeMachine.TestCase.settings = settings(
    FUZZ, max_examples=max(FUZZ.max_examples // 3, 1), stateful_step_count=25
)
test_tree_operations = TreeMachine.TestCase


def main():
    parser = argparse.ArgumentParser(description="Runs the fuzz tests with a longer budget.")
    parser.add_argument("--examples", type=int, default=5000, help="examples per test")
    parser.add_argument(
        "--seeded", action="store_true", help="keep the fixed CI seed instead of fresh randomness"
    )
    options, pytest_arguments = parser.parse_known_args()
    settings.register_profile(
        _long_profile,
        settings.get_profile("tarn-fuzz-ci"),
        max_examples=options.examples,
        derandomize=options.seeded,
    )
    # hypothesis is already imported here, which pytest would otherwise warn about (an error
    # under this project's warning filters).
    quiet = ["-W", "ignore::pytest.PytestAssertRewriteWarning"]
    return pytest.main([__file__, "-p", "no:cacheprovider", *quiet, *pytest_arguments])


if __name__ == "__main__":
    sys.exit(main())
