"""plan.py: plan a path across a field of obstacles with tarn's random tree and draw it.

The planner grows a tree from the start by drawing random points in the rectangle
[0, width) x [0, height). A point closer than 1.0 to an obstacle is thrown away; every
other point is attached, as it is, to the tree node nearest to it. The search stops
when a new node lies closer to the goal than the goal tolerance (the goal is then
attached as the last node) or after a given number of accepted points.

Only the points are checked against the obstacles, not the edges between them: the
obstacles shape where the tree can put nodes, but an edge, and so the path, may pass
right over an obstacle. Each obstacle is drawn as a point with its clearance disc of
radius 1.0, the distance that nodes (and only nodes) keep; edges that pass within that
distance of an obstacle are drawn in red.

The planner's random generator is seeded by the operating system and cannot be
seeded from Python, so every run grows a different tree and there is no --seed.

    python examples/plan.py                        # writes plan.png here
    python examples/plan.py --output docs/plan.png --max-iterations 500

The picture needs matplotlib, which the `demo` extra installs: pip install 'pytarn[demo]'.
"""

import argparse
import io
import math
import sys
import time

import tarn

WIDTH, HEIGHT = 100.0, 60.0
START = [4.0, 4.0]
GOAL = [94.0, 54.0]
GOAL_TOLERANCE = 2.0
DEFAULT_MAX_ITERATIONS = 5000
MARGIN = 2.0

# Point obstacles scattered over the field, far enough apart that no group of them
# reads as a wall: the planner knows only points, each with its clearance of 1.0.
OBSTACLES = [
    [12.0, 48.0], [15.0, 27.0], [22.0, 11.0], [28.0, 40.0], [35.0, 22.0], [38.0, 54.0],
    [45.0, 9.0], [48.0, 33.0], [56.0, 47.0], [60.0, 18.0], [67.0, 31.0], [72.0, 54.0],
    [76.0, 9.0], [80.0, 42.0], [87.0, 24.0], [92.0, 47.0],
]
CLEARANCE = 1.0


def plan(max_iterations):
    """Run the planner once; return the tree and the time it took in seconds."""
    began = time.perf_counter()
    tree = tarn.rrt.rapidly_exploring_random_tree(
        START, GOAL, [WIDTH, HEIGHT], OBSTACLES, GOAL_TOLERANCE, max_iterations
    )
    return tree, time.perf_counter() - began


def parents_of(adjacency_list):
    """Parent index of every node (None for the root), from the child lists."""
    parents = [None] * len(adjacency_list)
    for parent, children in enumerate(adjacency_list):
        for child in children:
            parents[child] = parent
    return parents


def path_to(node, parents):
    """Node indices from the root to `node`, following the parents back."""
    path = [node]
    while parents[path[-1]] is not None:
        path.append(parents[path[-1]])
    path.reverse()
    return path


def goal_reached(nodes):
    # A random sample equal to the goal would itself pass the goal test and have the
    # goal attached after it, so a last node equal to the goal can only be the goal.
    return len(nodes) > 1 and nodes[-1] == GOAL


def nearest_to_goal(nodes):
    return min(range(len(nodes)), key=lambda index: math.dist(nodes[index], GOAL))


def path_length(nodes, path):
    return sum(math.dist(nodes[a], nodes[b]) for a, b in zip(path, path[1:]))


def segment_distance(point, a, b):
    """Distance from `point` to the segment from `a` to `b` (first two coordinates)."""
    (px, py), (ax, ay), (bx, by) = point[:2], a[:2], b[:2]
    dx, dy = bx - ax, by - ay
    squared_length = dx * dx + dy * dy
    t = 0.0 if squared_length == 0.0 else ((px - ax) * dx + (py - ay) * dy) / squared_length
    t = min(1.0, max(0.0, t))
    return math.dist((px, py), (ax + t * dx, ay + t * dy))


def crosses_clearance(a, b):
    """Whether the edge from `a` to `b` passes within the clearance of an obstacle."""
    return any(segment_distance(obstacle, a, b) < CLEARANCE for obstacle in OBSTACLES)


def edges_of(nodes, adjacency_list):
    return [
        (nodes[parent], nodes[child])
        for parent, children in enumerate(adjacency_list)
        for child in children
    ]


def summarise(nodes, adjacency_list, path, reached, seconds):
    """The lines printed after a run, also used for the picture's caption."""
    length = path_length(nodes, path)
    if reached:
        outcome = f"goal reached: path of {len(path)} nodes, {length:.1f} units long"
    else:
        outcome = (
            f"goal NOT reached within {len(nodes) - 1} accepted samples "
            f"(closest node {math.dist(nodes[path[-1]], GOAL):.1f} units away)"
        )
    noun = "node" if len(nodes) == 1 else "nodes"
    edges = edges_of(nodes, adjacency_list)
    crossing = sum(1 for a, b in edges if crosses_clearance(a, b))
    on_path = sum(1 for a, b in zip(path, path[1:]) if crosses_clearance(nodes[a], nodes[b]))
    return [
        f"tree of {len(nodes)} {noun}, planned in {seconds * 1000:.2f} ms; {outcome}",
        f"edges are not checked against obstacles, only nodes keep their clearance: "
        f"{crossing} of {len(edges)} edges ({on_path} on the path) pass within {CLEARANCE} of one",
    ]


def load_pyplot():
    """Import matplotlib on first use, so planning works without the demo extra."""
    try:
        import matplotlib
    except ImportError:
        sys.exit(
            "plan.py: drawing the picture needs matplotlib; "
            "install it with: pip install 'pytarn[demo]'"
        )
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    return pyplot


def draw_tree(axes, nodes, adjacency_list):
    from matplotlib.collections import LineCollection

    edges = [(a[:2], b[:2]) for a, b in edges_of(nodes, adjacency_list)]
    clear = [edge for edge in edges if not crosses_clearance(*edge)]
    crossing = [edge for edge in edges if crosses_clearance(*edge)]
    axes.add_collection(
        LineCollection(clear, colors="#9db4cc", linewidths=0.5, zorder=1, label="tree edges")
    )
    axes.add_collection(
        LineCollection(crossing, colors="#e03131", linewidths=1.0, zorder=1,
                       label=f"edges within {CLEARANCE} of an obstacle")
    )


def draw_obstacles(axes):
    from matplotlib.patches import Circle

    for index, (x, y) in enumerate(OBSTACLES):
        axes.add_patch(
            Circle(
                (x, y), CLEARANCE, facecolor="#868e96", alpha=0.35, edgecolor="#495057",
                linewidth=0.8, zorder=2,
                label=f"clearance of nodes ({CLEARANCE})" if index == 0 else None,
            )
        )
    xs, ys = zip(*OBSTACLES)
    axes.plot(xs, ys, marker="o", markersize=3, color="#212529", linestyle="none", zorder=3,
              label="obstacle (a point)")


def draw_path(axes, nodes, path, reached):
    xs = [nodes[index][0] for index in path]
    ys = [nodes[index][1] for index in path]
    label = "path to the goal" if reached else "path to the node nearest the goal"
    axes.plot(xs, ys, color="#e8590c", linewidth=2.2, zorder=4, label=label,
              linestyle="-" if reached else "--")


def draw_rectangle(axes):
    from matplotlib.patches import Rectangle

    axes.add_patch(
        Rectangle((0.0, 0.0), WIDTH, HEIGHT, fill=False, edgecolor="#868e96",
                  linestyle="--", linewidth=0.8, zorder=0, label="sampling rectangle")
    )


def draw_ends(axes):
    from matplotlib.patches import Circle

    axes.add_patch(
        Circle(GOAL, GOAL_TOLERANCE, facecolor="#2f9e44", alpha=0.2,
               edgecolor="#2f9e44", linestyle=":", zorder=2, label="goal tolerance")
    )
    axes.plot(*START, marker="o", markersize=10, color="#1c7ed6", markeredgecolor="white",
              linestyle="none", zorder=5, label="start")
    axes.plot(*GOAL, marker="*", markersize=16, color="#2f9e44", markeredgecolor="white",
              linestyle="none", zorder=5, label="goal")


def save_picture(output, nodes, adjacency_list, path, reached, summary):
    pyplot = load_pyplot()
    figure, axes = pyplot.subplots(figsize=(11, 7.6), dpi=100)
    draw_rectangle(axes)
    draw_tree(axes, nodes, adjacency_list)
    draw_obstacles(axes)
    draw_path(axes, nodes, path, reached)
    draw_ends(axes)
    # A margin round the rectangle, so edges along its sides stay visible.
    axes.set_xlim(-MARGIN, WIDTH + MARGIN)
    axes.set_ylim(-MARGIN, HEIGHT + MARGIN)
    axes.set_aspect("equal")
    axes.set_title(summary[0], fontsize=11)
    # The caption under the legend says what the picture shows about edges.
    axes.legend(loc="upper center", bbox_to_anchor=(0.5, -0.06), ncol=4, fontsize=9,
                frameon=False, title=summary[1], title_fontsize=10)
    write_png(figure, output)
    pyplot.close(figure)


def write_png(figure, output):
    """Save as a 256-colour PNG.

    The picture has a handful of colours and their antialiased blends, so a palette
    looks the same as full colour at about a third of the size. Pillow comes with
    matplotlib.
    """
    from PIL import Image

    buffer = io.BytesIO()
    # The legend sits below the axes, outside them; a tight box keeps it in the file.
    figure.savefig(buffer, format="png", dpi=100, bbox_inches="tight", pad_inches=0.15)
    buffer.seek(0)
    with Image.open(buffer) as image:
        image.convert("RGB").quantize(colors=256).save(output, format="PNG", optimize=True)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description="Plan across a field of obstacles and save a picture of the tree."
    )
    parser.add_argument("--output", default="plan.png",
                        help="where to write the picture (default: plan.png)")
    parser.add_argument("--max-iterations", type=int, default=DEFAULT_MAX_ITERATIONS,
                        help="accepted samples after which the search gives up "
                             f"(default: {DEFAULT_MAX_ITERATIONS})")
    arguments = parser.parse_args(argv)
    if arguments.max_iterations < 0:
        parser.error("--max-iterations must not be negative")
    return arguments


def main(argv=None):
    arguments = parse_arguments(argv)
    tree, seconds = plan(arguments.max_iterations)
    nodes, adjacency_list = tree.nodes, tree.adjacency_list
    reached = goal_reached(nodes)
    end = len(nodes) - 1 if reached else nearest_to_goal(nodes)
    path = path_to(end, parents_of(adjacency_list))
    summary = summarise(nodes, adjacency_list, path, reached, seconds)
    print("\n".join(summary))
    save_picture(arguments.output, nodes, adjacency_list, path, reached, summary)
    print(f"picture saved to {arguments.output}")


if __name__ == "__main__":
    main()
