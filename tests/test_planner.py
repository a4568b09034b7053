# test_planner.py: rapidly_exploring_random_tree: tree shape, geometry, the goal, randomness and faults.
import math
import threading

import pytest
from conftest import Tree, distance, nearest, needs_fork

import tarn

PLAN = tarn.rrt.rapidly_exploring_random_tree

NO_PLACE = "no sample could be placed: 10000000 consecutive samples fell within distance 1 of an obstacle"
EMPTY_RANGE = "cannot sample empty range"
RANGE_OVERFLOW = "UniformSampler::sample_single: range overflow"


def parents_of(adjacency):
    parents = {}
    for parent, children in enumerate(adjacency):
        for child in children:
            assert child not in parents, f"node {child} has two parents"
            parents[child] = parent
    return parents


def check_run(tree, start, goal, boundaries, obstacles, step_size):
    """Checks every property a planner result must have; returns the sample nodes."""
    nodes, adjacency = tree.nodes, tree.adjacency_list
    assert type(tree) is Tree
    assert len(nodes) == len(adjacency) == len(tree)
    assert nodes[0] == [float(c) for c in start]
    parents = parents_of(adjacency)
    assert sorted(parents) == list(range(1, len(nodes)))
    assert all(parent < child for child, parent in parents.items())

    reached = [i for i in range(1, len(nodes)) if step_size > distance(nodes[i], goal)]
    if reached:  # the goal stops the run at the first sample that reaches it
        assert reached[0] == len(nodes) - 2
        assert nodes[-1] == [float(c) for c in goal]
        assert adjacency[-2] == [len(nodes) - 1] and adjacency[-1] == []
    samples = nodes[1 : len(nodes) - 1] if reached else nodes[1:]
    for index, sample in enumerate(samples, start=1):
        assert len(sample) == 2
        assert 0.0 <= sample[0] < boundaries[0] and 0.0 <= sample[1] < boundaries[1]
        assert all(not distance(obstacle, sample) < 1.0 for obstacle in obstacles)
        assert parents[index] == nearest(nodes[:index], sample)
    return samples, bool(reached)


class TestNoSampling:
    @pytest.mark.parametrize(
        "start, goal, boundaries, obstacles, step_size",
        [
            ([1, 2], [3, 4], [5, 6], [[5, 5]], 1.0),
            ([], [], [], [[]], math.nan),
            ([7.5], [0.0], [0.0, 5.0], [], 1.0),
            ([1, 2, 3], [1, 2, 3], [math.inf, -1.0], [[1]], math.inf),
        ],
    )
    def test_zero_iterations_returns_the_start_alone(self, start, goal, boundaries, obstacles, step_size):
        tree = PLAN(start, goal, boundaries, obstacles, step_size, 0)
        assert (tree.nodes, tree.adjacency_list, len(tree)) == ([[float(c) for c in start]], [[]], 1)


class TestTreeShape:
    @pytest.mark.parametrize(
        "start, goal, boundaries, obstacles, step_size, max_iterations",
        [
            ([0, 0], [9, 9], [10, 10], [[5, 5], [2, 7], [7.5, 2.5]], 0.0, 300),
            ([0, 0], [9, 9], [10, 10], [[5, 5]], 0.3, 3000),
            ([5, 5], [0, 0], [10, 3], [[5.0], [8, 1, 99]], -1.0, 200),  # one and three obstacle coordinates
            ([1, 2, 3], [9, 9, 9], [4, 4, 99], [[2, 2, -5]], math.nan, 150),
            ([3.0], [9, 9], [6, 6], [[math.nan, math.nan], [3, math.nan]], 0.0, 150),  # NaN never rejects
            ([], [9, 9], [5, 5], [], 0.0, 60),
            ([0, 0], [math.nan, 0], [2, 1], [[1, 0.5]], 10.0, 200),  # most samples are rejected
        ],
    )
    def test_invariants_of_real_runs(self, start, goal, boundaries, obstacles, step_size, max_iterations):
        tree = PLAN(start, goal, boundaries, obstacles, step_size, max_iterations)
        samples, reached = check_run(tree, start, goal, boundaries, obstacles, step_size)
        if not step_size > 0.0 or any(math.isnan(c) for c in goal):
            assert not reached
        if not reached:  # rejected samples do not count
            assert len(samples) == max_iterations

    def test_empty_start_takes_every_sample_as_its_child(self):
        tree = PLAN([], [9, 9], [5, 5], [], 0.0, 40)
        assert tree.adjacency_list == [list(range(1, 41))] + [[]] * 40

    def test_ties_go_to_the_lowest_index(self):
        # The smallest positive range makes every draw 0.0 (a draw equal to the bound is redrawn),
        # so every sample is at distance 0 from the start and from every earlier sample.
        tree = PLAN([0.0, 0.0], [9, 9], [5e-324, 5e-324], [], 0.0, 50)
        assert tree.nodes == [[0.0, 0.0]] * 51
        assert tree.adjacency_list == [list(range(1, 51))] + [[]] * 50

    def test_samples_have_two_coordinates_whatever_the_other_lengths(self):
        tree = PLAN([1, 2, 3], [9, 9, 9], [4, 4, 4, 4], [], 0.0, 20)
        assert [len(node) for node in tree.nodes] == [3] + [2] * 20

    def test_returned_tree_can_be_extended(self):
        tree = PLAN([0, 0], [9, 9], [5, 5], [], 0.0, 3)
        tree.push([1.0, 1.0])
        tree.connect(3, 4)
        assert len(tree) == 5 and tree.adjacency_list[3] == [4]


class TestGoal:
    @pytest.mark.parametrize("max_iterations", [1, 5, 2**64 - 1])
    def test_first_sample_reaching_the_goal(self, max_iterations):
        tree = PLAN([0, 0], [0.5, 0.5], [1, 1], [], 1.0, max_iterations)
        nodes = tree.nodes
        assert len(nodes) == 3 and nodes[2] == [0.5, 0.5]
        assert tree.adjacency_list == [[1], [2], []]
        assert 0.0 <= nodes[1][0] < 1.0 and 0.0 <= nodes[1][1] < 1.0

    @pytest.mark.parametrize(
        "goal, step_size",
        [
            ([], 1e-300),  # an empty goal is at distance 0 from everything
            ([0.5, 0.5, 100.0], 1.0),  # only two coordinates are compared; the goal is stored whole
            ([1e150, -1e150], math.inf),
            ([0.5], 0.6),
        ],
    )
    def test_goal_is_attached_unchanged(self, goal, step_size):
        tree = PLAN([0, 0], goal, [1, 1], [], step_size, 10)
        assert tree.nodes[-1] == goal and len(tree) == 3
        assert tree.adjacency_list == [[1], [2], []]

    def test_run_stops_at_the_first_sample_within_the_step_size(self):
        start, goal, boundaries, obstacles = [0, 0], [9, 9], [10, 10], [[5, 5]]
        tree = PLAN(start, goal, boundaries, obstacles, 1.5, 100_000)
        samples, reached = check_run(tree, start, goal, boundaries, obstacles, 1.5)
        assert reached and len(tree) == len(samples) + 2

    @pytest.mark.parametrize("goal", [[0.5, 0.5], []])
    @pytest.mark.parametrize("step_size", [0.0, -0.0, -1.0, math.nan, -math.inf])
    def test_goal_is_never_reached_without_a_positive_step_size(self, goal, step_size):
        tree = PLAN([0, 0], goal, [1, 1], [], step_size, 25)
        samples, reached = check_run(tree, [0, 0], goal, [1, 1], [], step_size)
        assert not reached and len(samples) == 25

    def test_distance_that_overflows_is_never_within_reach(self):
        # The sum of squares overflows to infinity, and infinity is not below an infinite step size.
        tree = PLAN([0, 0], [1e300, -1e300], [1, 1], [], math.inf, 10)
        assert len(tree) == 11


class TestFaults:
    @pytest.mark.parametrize(
        "boundaries, expected",
        [
            ([], "index out of bounds: the len is 0 but the index is 0"),
            ([1.0], "index out of bounds: the len is 1 but the index is 1"),
            ([0.0], EMPTY_RANGE),  # x is drawn before the missing y is noticed
            ([math.inf], RANGE_OVERFLOW),
            ([0, 5], EMPTY_RANGE),
            ([5, 0], EMPTY_RANGE),
            ([-1, 5], EMPTY_RANGE),
            ([5, -0.0], EMPTY_RANGE),
            ([math.nan, 5], EMPTY_RANGE),
            ([5, math.nan], EMPTY_RANGE),
            ([-math.inf, 5], EMPTY_RANGE),
            ([5, -math.inf], EMPTY_RANGE),
            ([math.inf, 5], RANGE_OVERFLOW),
            ([5, math.inf], RANGE_OVERFLOW),
            ([math.inf, 0], RANGE_OVERFLOW),  # x first
            ([0, math.inf], EMPTY_RANGE),
        ],
    )
    def test_bad_boundaries_fault_and_the_planner_stays_usable(self, panic_exception, boundaries, expected, capfd):
        with pytest.raises(panic_exception) as info:
            PLAN([0, 0], [9, 9], boundaries, [], 1.0, 1)
        assert info.value.args == (expected,)
        assert len(PLAN([0, 0], [9, 9], [5, 5], [], 0.0, 3)) == 4
        capfd.readouterr()

    def test_largest_finite_range_draws_normally(self):
        boundaries = [1.7976931348623157e308, 1e308]
        tree = PLAN([0, 0], [9, 9], boundaries, [], 0.0, 20)
        check_run(tree, [0, 0], [9, 9], boundaries, [], 0.0)


class TestRejectionBound:
    """A run in which no sample can be placed ends with ValueError instead of drawing forever."""

    def test_unplaceable_samples_raise_value_error(self, run_python):
        result = run_python(
            f"""
            import tarn
            plan = tarn.rrt.rapidly_exploring_random_tree
            for boundaries, obstacles in [
                ([5, 5], [[]]),                  # an empty obstacle is at distance 0 from everything
                ([5, 5], [[9, 9], [1, 1, 1], []]),
                ([1, 1], [[0.5, 0.5]]),          # one unit disc covers the rectangle
                ([1, 100], [[0.5]]),             # a one-coordinate obstacle covers a strip
            ]:
                try:
                    plan([0, 0], [9, 9], boundaries, obstacles, 1.0, 5)
                except ValueError as error:
                    assert type(error) is ValueError and error.args == ({NO_PLACE!r},), error.args
                    print("refused")
            print(len(plan([0, 0], [9, 9], [5, 5], [], 0.0, 5)))
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["refused"] * 4 + ["6"]
        assert result.stderr == ""

    def test_accepted_samples_reset_the_count(self, run_python):
        # Only x in [2, 2 + 4e-6) escapes the strip |x - 1| < 1: about one draw in 500,000 is
        # accepted, so 60 samples take some 30 million draws but never 10 million in a row.
        result = run_python(
            """
            import tarn
            tree = tarn.rrt.rapidly_exploring_random_tree([0, 0], [9, 9], [2 + 4e-6, 1], [[1.0]], 0.0, 60)
            print(len(tree), all(node[0] >= 2.0 or node[0] == 0.0 for node in tree.nodes[1:]))
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["61", "True"]


class TestRandomness:
    def samples(self, boundaries, count):
        return PLAN([0, 0], [0, 0], boundaries, [], 0.0, count).nodes[1:]

    def test_draws_are_uniform_over_the_rectangle(self):
        samples = self.samples([10.0, 4.0], 4000)
        x_bins, y_bins, quadrants = [0] * 10, [0] * 4, [0] * 4
        for x, y in samples:
            x_bins[int(x)] += 1
            y_bins[int(y)] += 1
            quadrants[(x >= 5.0) * 2 + (y >= 2.0)] += 1
        # Each bound is about six standard deviations wide.
        assert all(280 < count < 520 for count in x_bins), x_bins
        assert all(820 < count < 1180 for count in y_bins + quadrants), (y_bins, quadrants)
        assert min(x for x, _ in samples) < 0.05 and max(x for x, _ in samples) > 9.95
        assert min(y for _, y in samples) < 0.02 and max(y for _, y in samples) > 3.98

    def test_draws_use_52_random_bits(self):
        # Over [0, 1) and [0, 2) a draw is an exact multiple of 2**-52 and 2**-51.
        samples = self.samples([1.0, 2.0], 500)
        assert all((x * 2**52).is_integer() and (y * 2**51).is_integer() for x, y in samples)
        assert sum((x * 2**32).is_integer() for x, _ in samples) < 5
        assert len({x for x, _ in samples} | {y / 2 for _, y in samples}) == 1000

    def test_calls_differ(self):
        assert self.samples([10, 10], 5) != self.samples([10, 10], 5)

    def test_threads_differ(self):
        results = {}

        def run(name):
            results[name] = self.samples([10, 10], 20)

        threads = [threading.Thread(target=run, args=(name,)) for name in ("a", "b")]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        results["main"] = self.samples([10, 10], 20)
        assert len(results) == 3
        assert results["a"] != results["b"] and results["main"] not in (results["a"], results["b"])

    @needs_fork
    def test_fork_gives_child_and_parent_different_draws(self, run_python):
        # The parent draws first, so part of its buffered output is left over at the fork;
        # neither side may hand out what the other would.
        result = run_python(
            """
            import os, tarn
            plan = tarn.rrt.rapidly_exploring_random_tree

            def first_sample():
                return plan([0, 0], [0, 0], [1, 1], [], 0.0, 1).nodes[1]

            first_sample()
            children = []
            for _ in range(2):
                reader, writer = os.pipe()
                pid = os.fork()
                if pid == 0:
                    os.write(writer, repr(first_sample()).encode())
                    os._exit(0)
                os.close(writer)
                with os.fdopen(reader) as pipe:
                    children.append(pipe.read())
                os.waitpid(pid, 0)
            parent = repr(first_sample())
            print(len({parent, *children}), len(children[0]) > 2)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.split() == ["3", "True"]
