# test_leaks.py: every entry point and error path, repeated, leaves no objects or memory behind.
import collections
import contextlib
import ctypes
import gc
import math
import os
import sys
import tracemalloc

import pytest

import tarn
from conftest import (
    SANITIZED,
    SLIVER_PROBLEM,
    VECTORCALL_EXPORTED,
    Alarm,
    HugeLength,
    Nameless,
    Raising,
    Tree,
    TypeErrorSubclass,
    Unprintable,
    UnprintableKeyword,
    c_function,
    needs_posix_signals,
    panic_exception_class,
    raise_alarm,
    under_alarm,
    vectorcall,
)

# Under the sanitizers every call is several times slower and LeakSanitizer watches native memory
# anyway; fewer calls still let one leaked object per call stand out from the noise.
CALLS = 400 if SANITIZED else 3000
WARMUP_CALLS = 50
RSS_TOLERANCE = 1 << 20

vector_add = tarn.moremath.vectors.vector_add
plan = tarn.rrt.rapidly_exploring_random_tree

# Large enough that leaking one native copy per call (1 KiB) shows in the resident size too.
A = [float(i) for i in range(128)]
B = [0.5 * i for i in range(128)]


class Discard:
    """A text stream that keeps nothing, so no buffered output shows up as live memory."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def quiet_stderr():
    """Sends fault reports and resumed tracebacks nowhere, at both the fd and sys levels."""
    sys.stderr.flush()
    saved_fd = os.dup(2)
    saved_stderr = sys.stderr
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)
    os.close(devnull)
    sys.stderr = Discard()
    try:
        yield
    finally:
        sys.stderr = saved_stderr
        os.dup2(saved_fd, 2)
        os.close(saved_fd)


with quiet_stderr():
    PanicException = panic_exception_class()


# ---- hostile and helper objects --------------------------------------------------------------


class BadLength:
    """A sequence whose __len__ raises; iteration still works."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise ValueError("no length")

    def __getitem__(self, index):
        return self.items[index]


class BreaksMidway:
    """A sequence whose iteration raises after two items."""

    def __len__(self):
        return 4

    def __getitem__(self, index):
        if index == 2:
            raise KeyError("midway")
        return 1.0


class SubTree(Tree):
    pass


class ReadsTreeWhileIterated:
    """A node whose iteration reads the tree that is pushing it."""

    def __init__(self, tree):
        self.tree = tree

    def __len__(self):
        return 1

    def __getitem__(self, index):
        self.tree.nodes  # noqa: B018 - the read is the point
        return 1.0


class PushesWhileIndexed:
    """A subscript key whose conversion pushes onto the tree being read."""

    def __init__(self, tree):
        self.tree = tree

    def __index__(self):
        self.tree.push([1.0])
        return 0


_call = c_function("PyObject_Call", [ctypes.py_object] * 3, ctypes.py_object)


def panic_from_float():
    raise PanicException("raised by Python code")


class RaisesPanic:
    def __float__(self):
        panic_from_float()


def caused():
    error = TypeError("with a cause")
    error.__cause__ = ValueError("the cause")
    return error


def unprintable():
    return TypeError(Unprintable())


# ---- the catalogue of paths ------------------------------------------------------------------

SHARED_TREE = Tree([0.0, 0.0])
SHARED_TREE.push([1.0, 1.0])
SHARED_TREE.connect(0, 1)


def fresh_tree_push():
    Tree(A).push(B)


def fresh_tree_connect():
    tree = Tree(A)
    tree.push(B)
    tree.connect(parent_index=0, child_index=1)


def fresh_subclass():
    tree = SubTree(A)
    tree.label = B
    tree.push(A)
    return tree.nodes


def refused_read_during_push():
    tree = Tree([0.0])
    tree.push(ReadsTreeWhileIterated(tree))


def refused_push_during_subscript():
    tree = Tree([0.0])
    return tree[PushesWhileIndexed(tree)]


def refused_push_during_connect():
    tree = Tree([0.0])
    tree.connect(PushesWhileIndexed(tree), 0)


def iterate_shared_tree():
    # zip stops before asking for the item past the end, so this does not depend on how the
    # iteration itself ends.
    return [node for _, node in zip(range(len(SHARED_TREE)), SHARED_TREE)]


OBSTACLES = [[5.0, 5.0], [2.0, 8.0]]
PLANNER_ARGUMENTS = ([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], OBSTACLES, 1.0, 40)

# Calls ended by a signal handler's exception a fraction of a millisecond in: each would take
# many milliseconds (the planner run, minutes) if nothing ended it.
ALARM_SECONDS = 0.0001
LARGE_TREE = plan([0.0, 0.0], [1.0, 1.0], [100.0, 100.0], [], 0.0, 50_000)
LONG_LIST = [0.5] * 1_000_000


def interrupted(call):
    return lambda: under_alarm(call, ALARM_SECONDS)


def handler_calling_tarn(signum, frame):
    vector_add(A, B)
    plan(*PLANNER_ARGUMENTS).nodes
    raise_alarm(signum, frame)

# (name, call, expected exception type or None, objects whose reference counts must not move)
PATHS = [
    # vector_add: success
    ("vector_add scalar", lambda: vector_add(A, 2.5), None, [A]),
    ("vector_add elementwise", lambda: vector_add(A, B), None, [A, B]),
    ("vector_add keywords", lambda: vector_add(vector_b=B, vector_a=A), None, [A, B]),
    ("vector_add empty first", lambda: vector_add([], B), None, [B]),
    ("vector_add tuple and range", lambda: vector_add(tuple(A), range(64)), None, [A]),
    ("vector_add bytes", lambda: vector_add(b"\x01\x02\x03", bytearray(b"\x04")), None, []),
    ("vector_add len raises", lambda: vector_add(BadLength(A), 1.0), None, [A]),
    # parser messages
    ("too many positional", lambda: vector_add(A, B, A), TypeError, [A, B]),
    ("multiple values", lambda: vector_add(A, vector_a=B), TypeError, [A, B]),
    ("unexpected keyword", lambda: vector_add(A, B, bogus=A), TypeError, [A, B]),
    ("missing arguments", lambda: plan(A, obstacles=[], step_size=1.0), TypeError, [A]),
    ("missing start", lambda: Tree(), TypeError, []),
    ("surrogate keyword", lambda: vector_add(A, B, **{"\ud800": A}), TypeError, [A, B]),
    ("unprintable keyword", lambda: vector_add(A, **{UnprintableKeyword("x"): B}), TypeError, [A, B]),
    ("int keyword, tuple form", lambda: _call(Tree, (), {1: A}), TypeError, [A]),
    *(
        [("int keyword, vectorcall form", lambda: vectorcall(vector_add, [A], [1], [B]), TypeError, [A, B])]
        if VECTORCALL_EXPORTED
        else []
    ),
    # conversion failures
    ("str refused", lambda: vector_add("ab", B), TypeError, [B]),
    ("not a sequence", lambda: Tree({1: 2}), TypeError, []),
    ("nameless type", lambda: vector_add(Nameless(), B), TypeError, [B]),
    ("element not a number", lambda: vector_add([1.0, "x"], B), TypeError, [B]),
    ("element raises ValueError", lambda: Tree([Raising(ValueError("v"))]), ValueError, []),
    ("element raises TypeError subclass", lambda: Tree([Raising(TypeErrorSubclass())]), TypeErrorSubclass, []),
    ("element raises TypeError with cause", lambda: Tree([Raising(caused())]), TypeError, []),
    ("element raises unprintable TypeError", lambda: Tree([Raising(unprintable())]), TypeError, []),
    ("element raises PanicException", lambda: vector_add([RaisesPanic()], B), PanicException, [B]),
    ("iteration breaks midway", lambda: vector_add(BreaksMidway(), B), KeyError, [B]),
    ("vector_b str", lambda: vector_add(A, "ab"), TypeError, [A]),
    ("vector_b None", lambda: vector_add(A, None), TypeError, [A]),
    ("vector_b bad element", lambda: vector_add(A, [1.0, None]), TypeError, [A]),
    ("obstacle str", lambda: plan(A, A, A, [[1.0, 2.0], "ab"], 1.0, 0), TypeError, [A]),
    ("obstacle int", lambda: plan(A, A, A, [[1.0, 2.0], 3], 1.0, 0), TypeError, [A]),
    ("step_size str", lambda: plan(A, A, A, [], "1.5", 0), TypeError, [A]),
    ("max_iterations negative", lambda: plan(A, A, A, [], 1.0, -1), OverflowError, [A]),
    ("max_iterations 2**64", lambda: plan(A, A, A, [], 1.0, 2**64), OverflowError, [A]),
    ("index float", lambda: SHARED_TREE.connect(1.0, 0), TypeError, []),
    ("index raises", lambda: SHARED_TREE[Raising(TypeError("i"))], TypeError, []),
    ("subscript negative", lambda: SHARED_TREE[-1], OverflowError, []),
    # faults
    ("capacity overflow", lambda: vector_add(HugeLength(), B), PanicException, [B]),
    ("connect out of bounds", lambda: SHARED_TREE.connect(5, 0), PanicException, []),
    ("subscript out of bounds", lambda: SHARED_TREE[7], PanicException, []),
    ("empty sampling range", lambda: plan(A, A, [0.0, 5.0], [], 1.0, 1), PanicException, [A]),
    ("sampling range overflow", lambda: plan(A, A, [math.inf, 5.0], [], 1.0, 1), PanicException, [A]),
    ("no boundaries", lambda: plan(A, A, [], [], 1.0, 1), PanicException, [A]),
    ("one boundary", lambda: plan(A, A, [3.0], [], 1.0, 1), PanicException, [A]),
    # borrow refusals
    ("read during push", refused_read_during_push, RuntimeError, []),
    ("push during subscript", refused_push_during_subscript, RuntimeError, []),
    ("push during connect", refused_push_during_connect, RuntimeError, []),
    # constructor, subclass and reads
    ("constructor", lambda: Tree(A), None, [A]),
    ("constructor keyword", lambda: Tree(start=range(3)), None, []),
    ("subclass", fresh_subclass, None, [A, B]),
    ("push", fresh_tree_push, None, [A, B]),
    ("connect", fresh_tree_connect, None, [A, B]),
    ("nodes", lambda: SHARED_TREE.nodes, None, []),
    ("adjacency_list", lambda: SHARED_TREE.adjacency_list, None, []),
    ("subscript", lambda: SHARED_TREE[1], None, []),
    ("len", lambda: len(SHARED_TREE), None, []),
    ("iteration", iterate_shared_tree, None, []),
    # planner
    ("planner", lambda: plan(*PLANNER_ARGUMENTS), None, [OBSTACLES]),
    ("planner reads its tree", lambda: plan(*PLANNER_ARGUMENTS).adjacency_list, None, [OBSTACLES]),
    ("planner no iterations", lambda: plan(A, B, [], [], 1.0, 0), None, [A, B]),
]

# Paths ended by a signal handler. Each call waits for its alarm, so they run fewer times.
INTERRUPTED_CALLS = CALLS // 5
INTERRUPTED_PATHS = [
    ("planner", interrupted(lambda: plan(*SLIVER_PROBLEM, 10**6)), Alarm, [SLIVER_PROBLEM[3]]),
    ("nodes", interrupted(lambda: LARGE_TREE.nodes), Alarm, []),
    ("adjacency_list", interrupted(lambda: LARGE_TREE.adjacency_list), Alarm, []),
    ("long list", interrupted(lambda: Tree([0.0]).push(LONG_LIST)), Alarm, [LONG_LIST]),
    (
        "handler calling tarn",
        lambda: under_alarm(lambda: plan(*SLIVER_PROBLEM, 10**6), ALARM_SECONDS, handler_calling_tarn),
        Alarm,
        [SLIVER_PROBLEM[3], A, B, OBSTACLES],
    ),
]


# ---- measurement -----------------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _native_heap_reader():
    """Bytes in use on the C heap (glibc's mallinfo2), or None where it is not available."""
    if SANITIZED:
        return None  # the sanitizer's allocator does not keep these figures
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (AttributeError, TypeError):  # no mallinfo2, or no handle on the process (Windows)
        return None
    mallinfo2.restype = _MallInfo2
    return lambda: mallinfo2().uordblks + mallinfo2().hblkhd


native_heap_bytes = _native_heap_reader()


def _resident_bytes_reader():
    """Bytes of this process resident in memory, or None where /proc/self/statm is missing."""
    if SANITIZED or not os.path.exists("/proc/self/statm"):
        return None  # the sanitizers' shadow memory would swamp the figure anyway

    def resident_bytes():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    return resident_bytes


resident_bytes = _resident_bytes_reader()


def measure():
    gc.collect()
    return (
        sys.getallocatedblocks(),
        tracemalloc.get_traced_memory()[0],
        native_heap_bytes() if native_heap_bytes else 0,
        resident_bytes() if resident_bytes else 0,
    )


MEASURES = ("blocks", "traced bytes", "native bytes", "resident bytes")


def growth_over(call, expected, count):
    """What `count` calls leave behind, per measure. Holding a measurement costs a few blocks
    itself, so an idle measurement between the two takes that cost out."""
    before = measure()
    idle = measure()
    repeat(call, expected, count)
    after = measure()
    growth = [(a - i) - (i - b) for b, i, a in zip(before, idle, after)]
    return dict(zip(MEASURES, growth)), dict(zip(MEASURES, before)), dict(zip(MEASURES, after))


def repeat(call, expected, count):
    for _ in range(count):
        try:
            call()
        except BaseException as caught:  # noqa: BLE001 - compared with the expected type
            if type(caught) is not expected:
                raise
        else:
            assert expected is None, f"no {expected.__name__} raised"


@pytest.fixture
def quiet_hooks(monkeypatch):
    """Silences the standard-error reports and counts, by hook and exception type, what reaches
    the unraisable hook and the exception hook (through which a resumed PanicException is
    printed). Printing a traceback under the sanitizers fills interpreter caches for thousands
    of calls, which would hide what tarn itself leaves behind."""
    seen = collections.Counter()

    def unraisable_hook(report):
        seen["unraisable", report.exc_type.__name__] += 1

    def exception_hook(exc_type, value, traceback):
        seen["exception", exc_type.__name__] += 1

    monkeypatch.setattr(sys, "unraisablehook", unraisable_hook)
    monkeypatch.setattr(sys, "excepthook", exception_hook)
    with quiet_stderr():
        yield seen


@pytest.fixture
def traced():
    tracemalloc.start()
    try:
        yield
    finally:
        tracemalloc.stop()


def tolerances(calls):
    """A leak of one object per call adds `calls` blocks and at least 16 * `calls` bytes; the
    tolerances sit well below that and well above what caches, free lists and the test's own
    fixtures move after the warm-up (a few KiB at most, whatever the number of calls)."""
    return {
        "blocks": calls // 10 + 20,
        "traced bytes": 4 * calls + 8192,
        "native bytes": 4 * calls + 8192,
        "resident bytes": RSS_TOLERANCE,
    }


def check_repeated_calls(name, call, expected, watched, calls):
    repeat(call, expected, WARMUP_CALLS)
    gc.collect()  # exceptions caught during the warm-up may hold arguments in cycles
    references = [sys.getrefcount(obj) for obj in watched]
    growth, before, after = growth_over(call, expected, calls)
    report = f"{name}: {calls} calls, before {before}, after {after}"
    limits = tolerances(calls)
    assert all(growth[key] <= limits[key] for key in growth), report
    gc.collect()
    assert [sys.getrefcount(obj) for obj in watched] == references, report


@pytest.mark.parametrize("name, call, expected, watched", PATHS, ids=[path[0] for path in PATHS])
def test_repeated_calls_leave_nothing_behind(name, call, expected, watched, quiet_hooks, traced):
    check_repeated_calls(name, call, expected, watched, CALLS)


@needs_posix_signals
@pytest.mark.parametrize(
    "name, call, expected, watched", INTERRUPTED_PATHS, ids=[path[0] for path in INTERRUPTED_PATHS]
)
def test_calls_ended_by_a_signal_handler_leave_nothing_behind(name, call, expected, watched, quiet_hooks, traced):
    check_repeated_calls(name, call, expected, watched, INTERRUPTED_CALLS)


def test_hook_paths_reach_their_hooks(quiet_hooks):
    # The leak runs of these paths would prove little if the hooks were never reached.
    repeat(lambda: vector_add(A, **{UnprintableKeyword("x"): B}), TypeError, 3)
    repeat(lambda: Tree([Raising(unprintable())]), TypeError, 3)
    repeat(lambda: vector_add([RaisesPanic()], B), PanicException, 2)
    assert quiet_hooks == {("unraisable", "RuntimeError"): 6, ("exception", "PanicException"): 2}


def test_rejection_bound_leaves_nothing_behind(quiet_hooks, traced):
    # Each refusal draws ten million samples, so only four calls. Traced memory must come back
    # to within what the measurement itself may take from the interpreter's free lists; the
    # block count also moves when a free list lets go of an object allocated before tracing
    # began, so it gets a little more room. One object leaked per call exceeds both.
    obstacles = [[]]
    call = lambda: plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], obstacles, 1.0, 1)  # noqa: E731
    repeat(call, ValueError, 1)
    gc.collect()
    references = sys.getrefcount(obstacles)
    growth, before, after = growth_over(call, ValueError, 4)
    assert growth["blocks"] <= 2 and growth["traced bytes"] <= 80, (growth, before, after)
    gc.collect()
    assert sys.getrefcount(obstacles) == references


def test_tolerances_catch_one_leaked_object_per_call(quiet_hooks, traced):
    # The same measurement over calls that each keep one empty list, or one small native block,
    # alive must exceed the tolerances.
    kept = []
    growth, _, _ = growth_over(lambda: kept.append(vector_add([], None)), None, CALLS)
    if not SANITIZED:
        assert growth["blocks"] > tolerances(CALLS)["blocks"]
    assert growth["traced bytes"] > tolerances(CALLS)["traced bytes"]
    if native_heap_bytes:
        malloc = ctypes.CDLL(None).malloc
        malloc.restype = ctypes.c_void_p
        before = native_heap_bytes()
        blocks = [malloc(8) for _ in range(CALLS)]
        assert native_heap_bytes() - before > tolerances(CALLS)["native bytes"]
        free = ctypes.CDLL(None).free
        free.argtypes = [ctypes.c_void_p]
        for block in blocks:
            free(block)
