# peers.py: plain reference implementations that tarn is timed against.
"""Peers of tarn's two services, written the way a Python user would.

vector_add peers return a new list; planner peers return ``(nodes, adjacency)``
as lists, the same shape as reading ``Tree.nodes`` and ``Tree.adjacency_list``.
Both planner peers follow tarn's algorithm step by step (uniform draws, point
obstacles of radius 1, nearest node by a linear scan with ties to the lowest
index, the goal attached when a new node is strictly closer than
``step_size``), so with the same seed of ``random`` they build the same tree.
"""
import array
import math
import operator
import random

try:
    import numpy as np
except ImportError:  # the NumPy peers are skipped
    np = None

OBSTACLE_RADIUS = 1.0


# ---- vector_add ----------------------------------------------------------------


def add_comprehension(a, b):
    return [x + y for x, y in zip(a, b)]


def add_map(a, b):
    return list(map(operator.add, a, b))


def add_numpy(a, b):
    return np.add(np.asarray(a), np.asarray(b)).tolist()


def add_floor(a, b):
    """What any extension must do at least: read both lists in C, build one list of new floats."""
    return sum(a) + sum(b), array.array("d", a).tolist()


def broadcast_comprehension(a, s):
    return [x + s for x in a]


def broadcast_map(a, s):
    return list(map(s.__add__, a))


def broadcast_numpy(a, s):
    return np.add(np.asarray(a), s).tolist()


def broadcast_floor(a, s):
    return sum(a), array.array("d", a).tolist()


# ---- the planner ---------------------------------------------------------------


def distance(p, q):
    """Over the coordinates both points have, summed from the first; 0.0 when there are none."""
    total = 0.0
    for u, v in zip(p, q):
        total += (u - v) * (u - v)
    return math.sqrt(total)


def _draw(boundaries):
    return random.random() * boundaries[0], random.random() * boundaries[1]


def python_rrt(start, goal, boundaries, obstacles, step_size, max_iterations):
    """Linear nearest-node scan in plain Python."""
    nodes = [list(start)]
    adjacency = [[]]
    if max_iterations == 0:
        return nodes, adjacency
    obstacle_points = [tuple(o[:2]) for o in obstacles]
    # Sample nodes kept as two parallel coordinate lists: the scan is the hot loop.
    xs, ys = [], []
    accepted = 0
    while True:
        x, y = _draw(boundaries)
        sample = (x, y)
        if any(distance(sample, o) < OBSTACLE_RADIUS for o in obstacle_points):
            continue
        nearest, best = 0, distance(start, sample)
        for i in range(len(xs)):
            dx = xs[i] - x
            dy = ys[i] - y
            d = math.sqrt(dx * dx + dy * dy)
            if d < best:
                nearest, best = i + 1, d
        xs.append(x)
        ys.append(y)
        new_index = len(nodes)
        nodes.append([x, y])
        adjacency.append([])
        adjacency[nearest].append(new_index)
        if step_size > distance(sample, goal):
            nodes.append(list(goal))
            adjacency.append([])
            adjacency[new_index].append(new_index + 1)
            return nodes, adjacency
        accepted += 1
        if accepted == max_iterations:
            return nodes, adjacency


def numpy_rrt(start, goal, boundaries, obstacles, step_size, max_iterations):
    """Nearest sample node by argmin over a preallocated array.

    Obstacles must have two coordinates each (the benchmark's do). Node 0 may
    have any length, so it is compared on its own, exactly as in the scan.
    """
    nodes = [list(start)]
    adjacency = [[]]
    if max_iterations == 0:
        return nodes, adjacency
    obstacle_array = np.asarray(obstacles, dtype=float).reshape(-1, 2)
    ox, oy = obstacle_array[:, 0], obstacle_array[:, 1]
    # Grown by doubling, so a run that stops early at the goal does not
    # allocate for max_iterations samples.
    samples = np.empty((min(max_iterations, 1024), 2))
    sx, sy = samples[:, 0], samples[:, 1]
    count = 0
    while True:
        x, y = _draw(boundaries)
        sample = (x, y)
        if len(ox) and (np.sqrt((ox - x) ** 2 + (oy - y) ** 2) < OBSTACLE_RADIUS).any():
            continue
        nearest, best = 0, distance(start, sample)
        if count:
            d = np.sqrt((sx[:count] - x) ** 2 + (sy[:count] - y) ** 2)
            i = int(d.argmin())
            if d[i] < best:
                nearest = i + 1
        if count == len(samples):
            samples = np.concatenate([samples, np.empty_like(samples)])
            sx, sy = samples[:, 0], samples[:, 1]
        samples[count] = sample
        count += 1
        adjacency.append([])
        adjacency[nearest].append(count)
        reached = step_size > distance(sample, goal)
        if reached or count == max_iterations:
            break
    nodes.extend(samples[:count].tolist())
    if reached:
        nodes.append(list(goal))
        adjacency.append([])
        adjacency[count].append(count + 1)
    return nodes, adjacency


# ---- OMPL's RRT, when the package is installed --------------------------------


def make_ompl_rrt():
    """A function like the peers above, or None when OMPL is not installed.

    It differs from tarn's planner: OMPL draws from [0, b] with its own
    generator, finds the nearest node with its GNAT structure, checks the
    motion to the new node (not only the point), runs without obstacles
    (every state valid: a Python validity checker would time Python, not
    OMPL) and counts iterations through a Python termination callback. The
    range is set beyond the rectangle's diagonal, so a sample is never
    steered, and the goal bias is 0. It returns the node count only: reading
    OMPL's tree back into lists is not part of its timing.
    """
    try:
        from ompl import base as ob
        from ompl import geometric as og
        from ompl import util as ou
    except ImportError:
        return None
    ou.setLogLevel(ou.LOG_WARN)

    def ompl_rrt(start, goal, boundaries, obstacles, step_size, max_iterations):
        space = ob.RealVectorStateSpace(2)
        bounds = ob.RealVectorBounds(2)
        for axis in range(2):
            bounds.setLow(axis, 0.0)
            bounds.setHigh(axis, float(boundaries[axis]))
        space.setBounds(bounds)
        info = ob.SpaceInformation(space)
        info.setStateValidityChecker(ob.AllValidStateValidityChecker(info))
        info.setup()
        start_state, goal_state = space.allocState(), space.allocState()
        for axis in range(2):
            start_state[axis] = float(start[axis])
            goal_state[axis] = float(goal[axis])
        problem = ob.ProblemDefinition(info)
        problem.setStartAndGoalStates(start_state, goal_state, max(float(step_size), 0.0))
        planner = og.RRT(info)
        planner.setRange(10.0 * math.hypot(boundaries[0], boundaries[1]))
        planner.setGoalBias(0.0)
        planner.setProblemDefinition(problem)
        planner.setup()
        iterations = 0

        def done():
            nonlocal iterations
            iterations += 1
            return iterations > max_iterations

        planner.solve(ob.PlannerTerminationCondition(done))
        data = ob.PlannerData(info)
        planner.getPlannerData(data)
        return data.numVertices()

    return ompl_rrt
