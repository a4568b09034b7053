# run.py: times tarn against its peers on the same inputs, in one run.
"""Usage: python benchmarks/run.py [--quick] [--output PATH] [--no-plot] [--update-readme] [--wall]

Prints one table per benchmark (median time per call and the ratio
peer/tarn), the fitted growth exponents, the peak memory of a large planner
run and the performance targets, writes the figures as JSON
(benchmarks/results.json) and draws benchmarks/scaling.png; with --quick,
results-quick.json and scaling-quick.png.
"""
import argparse
import gc
import json
import marshal
import math
import platform
import random
import statistics
import subprocess
import sys
import time
from pathlib import Path

import peers
import tarn

HERE = Path(__file__).resolve().parent
vector_add = tarn.moremath.vectors.vector_add
rapidly_exploring_random_tree = tarn.rrt.rapidly_exploring_random_tree

START, GOAL, BOUNDARIES = [1.0, 1.0], [99.0, 99.0], [100.0, 100.0]
READ_BACK_FLOOR = "read-back floor"
OBSTACLE_COUNT = 20
GOAL_STEP_SIZE = 5.0


class Settings:
    """How long and how often to measure; --quick trades precision for time."""

    def __init__(self, quick):
        self.quick = quick
        self.repeats = 3 if quick else 7
        self.min_sample_seconds = 0.003 if quick else 0.05  # loops per sample reach this
        self.case_budget_seconds = 0.3 if quick else 20.0  # per implementation and case
        self.max_call_seconds = 0.5 if quick else 90.0  # larger projected calls are skipped
        self.vector_sizes = [10**3, 10**5] if quick else [10**3, 10**5, 10**6]
        self.planner_peer_sizes = [10**3, 2 * 10**3] if quick else [10**3, 10**4, 3 * 10**4]
        self.planner_tarn_sizes = [10**3, 2 * 10**3, 10**4, 10**5] if quick else [
            10**3, 10**4, 3 * 10**4, 10**5, 10**6]
        self.goal_runs = 20 if quick else 300
        self.goal_repeats = 2 if quick else 5
        self.memory_samples = 10**5 if quick else 10**6


# ---- timing ----------------------------------------------------------------------


# CPU seconds of this process by default: every implementation timed here runs
# on one thread, and other work on a shared machine then does not count.
clock = time.process_time


def _time_loops(call, loops):
    start = clock()
    for _ in range(loops):
        call()
    return (clock() - start) / loops


def measure(calls, settings):
    """Median seconds per call of each zero-argument callable.

    The implementations take turns within each repeat, so a disturbance of
    the machine spreads over all of them instead of skewing one. Garbage
    collection is off while timing, as in timeit.
    """
    loops, samples, spent = {}, {name: [] for name in calls}, dict.fromkeys(calls, 0.0)
    gc.collect()
    gc.disable()
    try:
        for name, call in calls.items():  # first call: warm-up and calibration
            once = _time_loops(call, 1)
            spent[name] += once
            if once >= settings.min_sample_seconds:
                loops[name] = 1
                samples[name].append(once)
            else:
                loops[name] = max(1, math.ceil(settings.min_sample_seconds / max(once, 1e-9)))
        for _ in range(settings.repeats):
            for name, call in calls.items():
                if samples[name] and spent[name] > settings.case_budget_seconds:
                    continue
                per_call = _time_loops(call, loops[name])
                spent[name] += per_call * loops[name]
                samples[name].append(per_call)
    finally:
        gc.enable()
    return {name: statistics.median(values) for name, values in samples.items()}


def growth_exponent(sizes, seconds):
    """Least-squares slope of log(time) against log(size)."""
    points = [(math.log(n), math.log(t)) for n, t in zip(sizes, seconds) if t > 0]
    if len(points) < 2:
        return None
    mean_x = sum(x for x, _ in points) / len(points)
    mean_y = sum(y for _, y in points) / len(points)
    sxx = sum((x - mean_x) ** 2 for x, _ in points)
    sxy = sum((x - mean_x) * (y - mean_y) for x, y in points)
    return sxy / sxx


def projected_seconds(sizes, seconds, size):
    """A pessimistic guess of the time at `size` from the two largest sizes timed."""
    if not sizes:
        return 0.0
    exponent = 2.0
    if len(sizes) >= 2:
        exponent = max(1.0, growth_exponent(sizes[-2:], seconds[-2:]) or 2.0)
    return seconds[-1] * (size / sizes[-1]) ** exponent


# ---- vector_add ----------------------------------------------------------------


def vector_inputs(kind, size, rng):
    """Fresh lists of fresh objects, as a caller would have built them."""
    def floats():
        return [2e3 * rng.random() - 1e3 for _ in range(size)]

    if kind == "float lists":
        return floats(), floats()
    if kind == "int lists":
        return [int(1e3 * x) for x in floats()], [int(1e3 * x) for x in floats()]
    return floats(), 2.5  # broadcast number


def vector_calls(kind, a, b):
    if kind == "broadcast number":
        calls = {
            "tarn": lambda: vector_add(a, b),
            "comprehension": lambda: peers.broadcast_comprehension(a, b),
            "map": lambda: peers.broadcast_map(a, b),
            "numpy": lambda: peers.broadcast_numpy(a, b),
            "floor": lambda: peers.broadcast_floor(a, b),
        }
    else:
        calls = {
            "tarn": lambda: vector_add(a, b),
            "comprehension": lambda: peers.add_comprehension(a, b),
            "map": lambda: peers.add_map(a, b),
            "numpy": lambda: peers.add_numpy(a, b),
            "floor": lambda: peers.add_floor(a, b),
        }
    if peers.np is None:
        del calls["numpy"]
    return calls


def bench_vector_add(settings, rng):
    results = []
    for kind in ("float lists", "int lists", "broadcast number"):
        for size in settings.vector_sizes:
            a, b = vector_inputs(kind, size, rng)
            medians = measure(vector_calls(kind, a, b), settings)
            results.append({"case": kind, "size": size, "seconds": medians})
    return results


# ---- the planner ---------------------------------------------------------------


def make_obstacles(rng):
    return [[rng.uniform(0, 100), rng.uniform(0, 100)] for _ in range(OBSTACLE_COUNT)]


def tarn_bare(obstacles, step_size, samples):
    return rapidly_exploring_random_tree(START, GOAL, BOUNDARIES, obstacles, step_size, samples)


def tarn_read(obstacles, step_size, samples):
    tree = tarn_bare(obstacles, step_size, samples)
    return tree.nodes, tree.adjacency_list


def check_planners_agree(obstacles):
    """Both peers build the same tree from the same random stream, and tarn's has the right size."""
    trees = []
    for planner in (peers.python_rrt, peers.numpy_rrt if peers.np else peers.python_rrt):
        random.seed(12345)
        trees.append(planner(START, GOAL, BOUNDARIES, obstacles, 0.0, 500))
    nodes, adjacency = tarn_read(obstacles, 0.0, 500)
    if trees[0] != trees[1] or len(nodes) != 501 or len(adjacency) != 501:
        raise SystemExit("planner peers disagree with each other or with tarn's node count")


def planner_implementations(ompl_rrt):
    implementations = {
        "tarn": tarn_read,
        "tarn (bare)": tarn_bare,
        "python": lambda obstacles, step, n: peers.python_rrt(
            START, GOAL, BOUNDARIES, obstacles, step, n),
    }
    if peers.np is not None:
        implementations["numpy"] = lambda obstacles, step, n: peers.numpy_rrt(
            START, GOAL, BOUNDARIES, obstacles, step, n)
    if ompl_rrt is not None:
        implementations["ompl"] = lambda obstacles, step, n: ompl_rrt(
            START, GOAL, BOUNDARIES, obstacles, step, n)
    return implementations


def read_back_floor(obstacles, samples):
    """Building the lists that reading a tree back returns, with no planner: CPython's own
    C-level deserializer making the same lists, floats and ints from bytes prepared here."""
    blobs = [marshal.dumps(part) for part in tarn_read(obstacles, 0.0, samples)]
    return lambda: [marshal.loads(blob) for blob in blobs]


def bench_planner(settings, obstacles, implementations):
    """Sizes in increasing order; a size whose projected time is too long is skipped."""
    implementations = {**implementations, READ_BACK_FLOOR: None}
    tarn_only = {"tarn", "tarn (bare)", READ_BACK_FLOOR, "ompl"}
    sizes = sorted(set(settings.planner_peer_sizes) | set(settings.planner_tarn_sizes))
    history = {name: ([], []) for name in implementations}
    results, skipped = [], []
    for size in sizes:
        calls = {}
        for name, planner in implementations.items():
            if size not in settings.planner_peer_sizes and name not in tarn_only:
                continue
            projection = projected_seconds(*history[name], size)
            if projection > settings.max_call_seconds:
                skipped.append({"implementation": name, "size": size,
                                "projected_seconds": projection})
                continue
            if name == READ_BACK_FLOOR:
                calls[name] = read_back_floor(obstacles, size)
            else:
                calls[name] = (lambda p, s: lambda: p(obstacles, 0.0, s))(planner, size)
        if not calls:
            continue
        medians = measure(calls, settings)
        for name, seconds in medians.items():
            history[name][0].append(size)
            history[name][1].append(seconds)
        results.append({"case": "step_size 0", "size": size, "seconds": medians})
    return results, skipped


def bench_goal(settings, obstacles, implementations, floor):
    """Many short runs that stop at the goal; the figure is seconds per run."""
    runs = settings.goal_runs
    implementations = dict(implementations)
    implementations["tarn (nodes)"] = lambda o, step, n: tarn_bare(o, step, n).nodes
    calls = {}
    for name, planner in implementations.items():
        def batch(planner=planner):
            for _ in range(runs):
                planner(obstacles, GOAL_STEP_SIZE, 10**9)
        calls[name] = batch
    batch_settings = Settings(settings.quick)
    batch_settings.repeats = settings.goal_repeats
    batch_settings.min_sample_seconds = 0.0
    medians = measure(calls, batch_settings)
    seconds = {name: t / runs for name, t in medians.items()}
    if floor is not None:
        seconds["floor"] = run_floor(floor, obstacles, runs, settings.goal_repeats)
    return [{"case": f"goal, step_size {GOAL_STEP_SIZE:g} (per run, of {runs})", "size": runs,
             "seconds": seconds}]


# ---- the plain C++ floor -------------------------------------------------------------

ROOT = HERE.parent


def build_floor():
    """Compiles floor.cpp, the native tests' scan planner, with tarn's native layers (its
    generator and distance); the executable's path, or None."""
    import os
    import tempfile
    compiler = os.environ.get("CXX", "c++")
    target = Path(tempfile.mkdtemp(prefix="tarn-floor-")) / "floor"
    layers = sorted(str(path) for layer in ("core", "planning")
                    for path in (ROOT / "src" / layer).glob("*.cpp"))
    command = [compiler, "-O2", "-std=c++20", "-ffp-contract=off", f"-I{ROOT / 'src'}",
               f"-I{ROOT / 'tests' / 'native'}", str(HERE / "floor.cpp"), *layers, "-lpthread",
               "-o", str(target)]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"the C++ floor could not be built, skipped: {error}")
        return None
    return target


def run_floor(floor, obstacles, runs, repeats):
    """Median CPU seconds per goal-reaching run of the floor, on the suite's problem."""
    numbers = [*START, *GOAL, *BOUNDARIES, len(obstacles)] + [v for o in obstacles for v in o]
    done = subprocess.run([str(floor), str(runs), str(repeats), str(GOAL_STEP_SIZE), str(10**9)],
                          input=" ".join(map(repr, numbers)), capture_output=True, text=True,
                          check=True)
    return float(done.stdout.split()[0])


# ---- NumPy arrays and other buffers ----------------------------------------------------


def bench_buffers(settings, rng):
    """The same values as lists and as float64 arrays: vector_add, and obstacles converted
    (max_iterations 0, so the call is the conversion)."""
    if peers.np is None:
        return []
    np = peers.np
    results = []
    for size in settings.vector_sizes[-2:]:
        a = [rng.random() for _ in range(size)]
        b = [rng.random() for _ in range(size)]
        arrays = np.array(a), np.array(b)
        results.append({"case": "vector_add", "size": size, "seconds": measure({
            "tarn (lists)": lambda: vector_add(a, b),
            "tarn (arrays)": lambda: vector_add(*arrays)}, settings)})
    count = 10**4
    obstacles = [[rng.uniform(0, 100), rng.uniform(0, 100)] for _ in range(count)]
    table_ = np.array(obstacles)
    results.append({"case": "obstacles, max_iterations 0", "size": count, "seconds": measure({
        "tarn (lists)": lambda: tarn_bare(obstacles, 0.0, 0),
        "tarn (arrays)": lambda: tarn_bare(table_, 0.0, 0)}, settings)})
    return results


# ---- memory ----------------------------------------------------------------------

MEMORY_PROBE = """
import json, sys, tarn

def status(field):
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith(field + ':'):
                return int(line.split()[1]) * 1024
    raise SystemExit('no ' + field)

start, goal, boundaries, obstacles, samples = json.loads(sys.argv[1])
rrt = tarn.rrt.rapidly_exploring_random_tree
rrt(start, goal, boundaries, obstacles, 0.0, 10)
baseline = status('VmRSS')
tree = rrt(start, goal, boundaries, obstacles, 0.0, samples)
native = status('VmHWM')
nodes = tree.nodes
with_nodes = status('VmHWM')
adjacency = tree.adjacency_list
with_both = status('VmHWM')
print(json.dumps({'samples': samples, 'baseline': baseline, 'native_peak': native,
                  'with_nodes_peak': with_nodes, 'with_adjacency_peak': with_both}))
"""


def bench_memory(settings, obstacles, planner_results):
    """Peak resident memory of one planner run, in a fresh interpreter."""
    if not Path("/proc/self/status").exists():
        return {"skipped": "no /proc/self/status on this system"}
    samples = settings.memory_samples
    sizes = [r["size"] for r in planner_results if "tarn" in r["seconds"]]
    seconds = [r["seconds"]["tarn"] for r in planner_results if "tarn" in r["seconds"]]
    projection = projected_seconds(sizes, seconds, samples)
    if projection > settings.max_call_seconds:
        return {"samples": samples, "skipped": f"projected {projection:.0f} s per run"}
    arguments = json.dumps([START, GOAL, BOUNDARIES, obstacles, samples])
    probe = subprocess.run([sys.executable, "-c", MEMORY_PROBE, arguments],
                           capture_output=True, text=True, check=True)
    figures = json.loads(probe.stdout)
    for stage in ("native", "with_nodes", "with_adjacency"):
        growth = figures[f"{stage}_peak"] - figures["baseline"]
        figures[f"{stage}_bytes_per_node"] = growth / (samples + 1)
    return figures


# ---- report ------------------------------------------------------------------------


def format_seconds(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_size(size):
    exponent = math.floor(math.log10(size))
    return str(size) if exponent < 3 else f"{size / 10**exponent:g}e{exponent}"


def table(title, results, reference="tarn"):
    """A Markdown table: one row per case and size, each peer as 'time (×ratio)'."""
    names = []
    for row in results:
        names += [n for n in row["seconds"] if n not in names]
    lines = [f"**{title}** (median per call; in brackets: peer time / {reference} time)", "",
             "| case | size | " + " | ".join(names) + " |",
             "|---|---:|" + "---:|" * len(names)]
    for row in results:
        cells = []
        base = row["seconds"].get(reference)
        for name in names:
            seconds = row["seconds"].get(name)
            if seconds is None:
                cells.append("–")
            elif name.startswith(reference) or not base:
                cells.append(format_seconds(seconds))
            else:
                cells.append(f"{format_seconds(seconds)} (×{seconds / base:.2f})")
        lines.append(f"| {row['case']} | {format_size(row['size'])} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def exponents_of(results):
    series = {}
    for row in results:
        for name, seconds in row["seconds"].items():
            series.setdefault(name, ([], []))
            series[name][0].append(row["size"])
            series[name][1].append(seconds)
    return {name: {"sizes": sizes, "exponent": growth_exponent(sizes, seconds)}
            for name, (sizes, seconds) in series.items()}


def tarn_exponent_between(results, low, high):
    rows = [r for r in results if low <= r["size"] <= high and "tarn" in r["seconds"]]
    sizes = [r["size"] for r in rows]
    if not sizes or sizes[0] != low or sizes[-1] != high:
        return None
    return growth_exponent(sizes, [r["seconds"]["tarn"] for r in rows])


def ratio(results, case, size, peer):
    for row in results:
        if row["case"] == case and row["size"] == size:
            seconds = row["seconds"]
            if peer in seconds and "tarn" in seconds:
                return seconds[peer] / seconds["tarn"]
    return None


def targets(report):
    """(description, measured, met) for every target of the suite."""
    vectors, planner, goal = report["vector_add"], report["planner"], report["goal"]
    checks = []
    for size in (10**5, 10**6):
        r = ratio(vectors, "float lists", size, "floor")
        checks.append((f"vector_add float lists {format_size(size)}: tarn/floor <= 1.2",
                       None if r is None else 1 / r, r is not None and 1 / r <= 1.2))
    r = ratio(vectors, "float lists", 10**5, "comprehension")
    checks.append(("vector_add float lists 1e5: comprehension/tarn >= 1.8", r,
                   r is not None and r >= 1.8))
    for size in report["settings"]["vector_sizes"]:
        r = ratio(vectors, "float lists", size, "numpy")
        checks.append((f"vector_add float lists {format_size(size)}: numpy/tarn >= 5", r,
                       r is not None and r >= 5))
    e = tarn_exponent_between(planner, 10**4, 10**6)
    checks.append(("planner growth exponent 1e4..1e6 (nodes read) <= 1.15", e,
                   e is not None and e <= 1.15))
    r = ratio(planner, "step_size 0", 3 * 10**4, "numpy")
    checks.append(("planner 3e4: numpy/tarn >= 20", r, r is not None and r >= 20))
    r = ratio(goal, goal[0]["case"], goal[0]["size"], "numpy")
    checks.append(("planner goal case: numpy/tarn >= 10", r, r is not None and r >= 10))
    goal_seconds = goal[0]["seconds"]
    r = (goal_seconds["tarn (nodes)"] / goal_seconds["floor"]
         if "floor" in goal_seconds and "tarn (nodes)" in goal_seconds else None)
    checks.append(("planner goal case, nodes read: tarn/C++ floor <= 1", r,
                   r is not None and r <= 1))
    r = ratio(planner, "step_size 0", 3 * 10**4, "ompl")
    checks.append(("planner 3e4: ompl/tarn >= 15", r, r is not None and r >= 15))
    for size, name, limit in ((3 * 10**4, "tarn (bare)", 150), (10**6, "tarn", 500)):
        per_node = [row["seconds"][name] / size * 1e9 for row in planner
                    if row["size"] == size and name in row["seconds"]]
        r = per_node[0] if per_node else None
        checks.append((f"planner {format_size(size)}, {name}: ns per node <= {limit}", r,
                       r is not None and r <= limit))
    for size in (3 * 10**4, 10**6):
        rows = [row["seconds"] for row in planner if row["size"] == size]
        seconds = rows[0] if rows else {}
        r = ((seconds["tarn"] - seconds["tarn (bare)"]) / seconds[READ_BACK_FLOOR]
             if {"tarn", "tarn (bare)", READ_BACK_FLOOR} <= seconds.keys() else None)
        checks.append((f"planner {format_size(size)}: read-back (tarn - tarn (bare)) / "
                       "read-back floor <= 1.25", r, r is not None and r <= 1.25))
    for row in report.get("buffers", []):
        r = row["seconds"]["tarn (arrays)"] / row["seconds"]["tarn (lists)"]
        checks.append((f"{row['case']} {format_size(row['size'])}: arrays/lists <= 1", r,
                       r <= 1))
    return checks


def report_text(report):
    """The whole report as Markdown, as printed and as copied into README.md."""
    machine = report["machine"]
    lines = [f"{'Quick' if report['settings']['quick'] else 'Full'} run, {machine['clock']} "
             f"time, Python {machine['python']}, NumPy {machine['numpy']}, "
             f"{machine['platform']}.", "",
             table("vector_add", report["vector_add"]), "",
             table("rapidly_exploring_random_tree: boundaries [100, 100], 20 obstacles",
                   report["planner"] + report["goal"])]
    if report.get("buffers"):
        lines += ["", table("Lists and float64 arrays of the same values", report["buffers"],
                            reference="tarn (lists)")]
    for item in report["planner_skipped"]:
        lines.append(f"- skipped {item['implementation']} at {format_size(item['size'])}: "
                     f"projected {item['projected_seconds']:.0f} s per call")
    lines.append(f"- ompl: {report['ompl'] or 'not installed, skipped'}")
    lines += ["", "Growth exponents (least squares on log time against log size):", ""]
    for group in ("vector_add float lists", "planner"):
        for name, fit in report["exponents"][group].items():
            if fit["exponent"] is not None:
                sizes = ", ".join(format_size(n) for n in fit["sizes"])
                lines.append(f"- {group}, {name}: {fit['exponent']:.2f} over {sizes}")
    lines += ["", memory_text(report["memory"]), "", "Targets:", ""]
    for description, measured, met in report["targets"]:
        if measured is None:
            lines.append(f"- [not measured] {description}")
        else:
            lines.append(f"- [{'met' if met else 'NOT met'}] {description}: {measured:.2f}")
    return "\n".join(lines) + "\n"


def memory_text(memory):
    if "skipped" in memory:
        return f"Peak memory: skipped ({memory['skipped']})."
    def mib(peak):
        return (peak - memory["baseline"]) / 2**20

    return (f"Peak memory of one {format_size(memory['samples'])}-sample run, above the "
            f"{memory['baseline'] / 2**20:.0f} MiB of the interpreter before it: native tree "
            f"{mib(memory['native_peak']):.0f} MiB ({memory['native_bytes_per_node']:.0f} B per "
            f"node); with `nodes` read {mib(memory['with_nodes_peak']):.0f} MiB "
            f"({memory['with_nodes_bytes_per_node']:.0f} B per node); with `adjacency_list` "
            f"read too {mib(memory['with_adjacency_peak']):.0f} MiB.")


README_MARKER = "## Latest results\n"


def update_readme(text):
    """Replaces everything after the README's last heading with `text`."""
    readme = HERE / "README.md"
    head = readme.read_text().split(README_MARKER)[0]
    readme.write_text(head + README_MARKER + "\n" + text)
    print(f"results copied into {readme}")


# ---- plot ----------------------------------------------------------------------------


def plot(report, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot drawn")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 2, figsize=(12, 5))
    panels = (("vector_add, float lists", [r for r in report["vector_add"]
                                           if r["case"] == "float lists"]),
              ("planner, step_size 0, nodes read", report["planner"]))
    for axis, (title, rows) in zip(axes, panels):
        for name, fit in exponents_of(rows).items():
            times = [r["seconds"][name] for r in rows if name in r["seconds"]]
            label = name if fit["exponent"] is None else f"{name} (slope {fit['exponent']:.2f})"
            style = {"linestyle": "--", "color": "grey"} if name == "floor" else {}
            axis.loglog(fit["sizes"], times, marker="o", label=label, **style)
        axis.set_title(title)
        axis.set_xlabel("size (elements or accepted samples)")
        axis.set_ylabel("median seconds per call")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    print(f"plot written to {path}")


# ---- main ----------------------------------------------------------------------------


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smoke run, well under 20 s")
    parser.add_argument("--output", type=Path, help="JSON path (default: benchmarks/results.json)")
    parser.add_argument("--no-plot", action="store_true", help="skip benchmarks/scaling.png")
    parser.add_argument("--update-readme", action="store_true",
                        help="end benchmarks/README.md with this run's report")
    parser.add_argument("--wall", action="store_true",
                        help="time with the wall clock instead of this process's CPU time")
    args = parser.parse_args(argv)
    global clock
    if args.wall:
        clock = time.perf_counter
    settings = Settings(args.quick)
    output = args.output or HERE / ("results-quick.json" if args.quick else "results.json")
    rng = random.Random(20240601)
    began = time.perf_counter()

    if peers.np is None:
        print("numpy is not installed: the NumPy peers are skipped")
    obstacles = make_obstacles(rng)
    check_planners_agree(obstacles)
    ompl_rrt = peers.make_ompl_rrt()
    implementations = planner_implementations(ompl_rrt)

    report = {"settings": {key: value for key, value in vars(settings).items()}}
    progress("vector_add")
    report["vector_add"] = bench_vector_add(settings, rng)
    progress("planner")
    report["planner"], report["planner_skipped"] = bench_planner(settings, obstacles,
                                                                 implementations)
    progress("goal-reaching runs")
    report["goal"] = bench_goal(settings, obstacles, implementations, build_floor())
    progress("buffers")
    report["buffers"] = bench_buffers(settings, rng)
    progress("peak memory")
    report["memory"] = bench_memory(settings, obstacles, report["planner"])
    progress("done")
    report["ompl"] = None if ompl_rrt is None else "ompl " + _version("ompl")
    report["exponents"] = {
        "vector_add float lists": exponents_of([r for r in report["vector_add"]
                                                if r["case"] == "float lists"]),
        "planner": exponents_of(report["planner"]),
    }
    report["targets"] = targets(report)
    report["machine"] = {"python": sys.version.split()[0], "platform": platform.platform(),
                         "numpy": _version("numpy"), "tarn": _version("pytarn"),
                         "seconds": round(time.perf_counter() - began, 1),
                         "clock": "wall-clock" if args.wall else "process CPU"}
    text = report_text(report)
    print(text)
    print(f"The run took {report['machine']['seconds']} s.")
    output.write_text(json.dumps(report, indent=1) + "\n")
    print(f"figures written to {output}")
    if args.update_readme:
        update_readme(text)
    if not args.no_plot:
        plot(report, HERE / ("scaling-quick.png" if settings.quick else "scaling.png"))


def progress(phase, began=time.perf_counter()):
    print(f"[{time.perf_counter() - began:6.1f} s] {phase}", file=sys.stderr, flush=True)


def _version(package):
    try:
        from importlib.metadata import version
        return version(package)
    except Exception:  # not installed as a distribution
        return "not installed"


if __name__ == "__main__":
    main()
