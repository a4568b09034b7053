# test_interrupts.py: signals reach Python during long calls, and their handlers may call tarn.
import array
import signal
import subprocess
import sys
import threading
import time

import pytest
from conftest import SLIVER_PROBLEM, SUBPROCESS_TIMEOUT, Alarm, needs_posix_signals, raise_alarm, raised, under_alarm

import tarn

pytestmark = needs_posix_signals

plan = tarn.rrt.rapidly_exploring_random_tree
vector_add = tarn.moremath.vectors.vector_add
Tree = type(plan([0.0], [0.0], [1.0, 1.0], [], 1.0, 0))

# Tens of millions of accepted samples in the sliver: many minutes of planning if nothing ends it.
CTRL_C_CHILD = f"""
import signal
import tarn
# Python leaves SIGINT ignored when it starts with it ignored (as a background job of a shell
# without job control does): Ctrl-C is what is tested, so it is asked for.
signal.signal(signal.SIGINT, signal.default_int_handler)
plan = tarn.rrt.rapidly_exploring_random_tree
print("planning", flush=True)
try:
    plan(*{SLIVER_PROBLEM!r}, 50_000_000)
except KeyboardInterrupt:
    print("interrupted", flush=True)
print(len(plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], [[5.0, 5.0]], 0.0, 10)))
print(tarn.moremath.vectors.vector_add([1.0, 2.0], 0.5))
"""


def test_ctrl_c_ends_a_long_planner_run_at_once_and_the_process_goes_on():
    with subprocess.Popen(
        [sys.executable, "-c", CTRL_C_CHILD],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    ) as child:
        # Ends the child, and so every read below, should it never answer.
        watchdog = threading.Timer(SUBPROCESS_TIMEOUT, child.kill)
        watchdog.start()
        try:
            assert child.stdout.readline() == "planning\n"
            time.sleep(0.3)  # well into the run
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            reply = child.stdout.readline()
            latency = time.monotonic() - sent
            # The rest is read through the same buffered stream: communicate()
            # reads the pipe itself and would miss what readline() took in.
            child.wait(timeout=SUBPROCESS_TIMEOUT)
            rest, errors = child.stdout.read(), child.stderr.read()
        finally:
            watchdog.cancel()
            child.kill()
    assert reply == "interrupted\n", errors
    assert latency < 0.5, f"KeyboardInterrupt {latency:.3f} s after SIGINT"
    assert rest == "11\n[1.5, 2.5]\n"
    assert errors == ""


@pytest.fixture(scope="module")
def large_tree():
    """A tree whose reading back takes far longer than the alarms below."""
    return plan([0.0, 0.0], [1.0, 1.0], [1000.0, 1000.0], [], 0.0, 300_000)


class BorrowProbe:
    """A SIGALRM handler that tries to change `tree` and then raises a new Alarm.

    The change is refused exactly while a call holds the tree, so the refusal shows that the
    handler ran inside that call; otherwise it fails without changing anything."""

    def __init__(self, tree):
        self.tree, self.refusals, self.alarm = tree, [], Alarm()

    def __call__(self, signum, frame):
        try:
            self.tree.push(None)
        except RuntimeError as refusal:
            self.refusals.append(str(refusal))
        except TypeError:
            pass
        raise self.alarm


# Long enough that converting one takes many milliseconds.
LONG_LIST = [0.5] * 4_000_000
LONG_TUPLE = tuple(LONG_LIST)
LONG_CALLS = {
    "nodes": lambda tree: tree.nodes,
    "adjacency_list": lambda tree: tree.adjacency_list,
    "push of a long list": lambda tree: tree.push(LONG_LIST),
    "push of a long tuple": lambda tree: tree.push(LONG_TUPLE),
}


class TestSignalHandlers:
    @pytest.mark.parametrize("call", LONG_CALLS)
    def test_a_handlers_exception_ends_a_long_read_or_conversion_unchanged(self, large_tree, call):
        size, last = len(large_tree), large_tree[len(large_tree) - 1]
        # On a busy machine the process may be descheduled between arming the timer and the
        # call, and the alarm then comes first: such an attempt is repeated.
        for _attempt in range(3):
            probe = BorrowProbe(large_tree)
            during = lambda: LONG_CALLS[call](large_tree)  # noqa: E731
            assert raised(lambda: under_alarm(during, seconds=0.005, handler=probe)) is probe.alarm
            if probe.refusals:
                break
        assert probe.refusals == ["Already borrowed"]
        assert len(large_tree) == size and large_tree[size - 1] == last

    def test_a_handlers_exception_ends_a_long_planner_run_unchanged(self):
        alarm = Alarm()

        def handler(signum, frame):
            raise alarm

        assert raised(lambda: under_alarm(lambda: plan(*SLIVER_PROBLEM, 300_000), handler=handler)) is alarm

    @pytest.mark.parametrize("handler_raises", [True, False])
    def test_a_handler_may_call_tarn_during_a_planner_run(self, handler_raises):
        seen = []

        def handler(signum, frame):
            seen.append((len(plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], [], 0.0, 50)), vector_add([1, 2], 3)))
            if handler_raises:
                raise_alarm(signum, frame)

        call = lambda: under_alarm(lambda: plan(*SLIVER_PROBLEM, 300_000 if handler_raises else 5_000), handler=handler)  # noqa: E731
        if handler_raises:
            assert type(raised(call)) is Alarm
        else:
            tree = call()
            assert len(tree) == 5_001
            assert all(x >= 9.5 for x, _ in tree.nodes[1:])  # every sample in the sliver
        assert seen == [(51, [4.0, 5.0])]


# The calls that read their operands in place without running Python code: their loops check
# for signals themselves. Each builder gives the call and what its operands are made of.
HALF = 1_000_000


def list_and_number():
    a = [0.5] * (2 * HALF)
    return a, (lambda: vector_add(a, 1.0))


def two_lists():
    a, b = [0.5] * (2 * HALF), [0.25] * (2 * HALF)
    return b, (lambda: vector_add(a, b))


def two_arrays():
    np = pytest.importorskip("numpy")
    a, b = np.full(2 * HALF, 0.5), np.full(2 * HALF, 0.25)
    return b, (lambda: vector_add(a, b))


def array_and_number():
    np = pytest.importorskip("numpy")
    a = np.full(2 * HALF, 0.5)
    return a, (lambda: vector_add(a, 1.0))


def obstacle_array():
    np = pytest.importorskip("numpy")
    obstacles = np.random.default_rng(7).uniform(0.0, 1000.0, (2 * HALF, 2))
    return obstacles, (lambda: plan([0.0, 0.0], [1.0, 1.0], [1000.0, 1000.0], obstacles, 0.0, 10))


IN_PLACE_CALLS = {
    "vector_add(list, number)": list_and_number,
    "vector_add(list, list)": two_lists,
    "vector_add(ndarray, ndarray)": two_arrays,
    "vector_add(ndarray, number)": array_and_number,
    "planner, obstacles as an ndarray": obstacle_array,
}


def tree_of_an_array():
    np = pytest.importorskip("numpy")
    # Read at memory speed: larger than the planner's kept blocks, so that every reading
    # touches fresh memory and lasts well past the alarm.
    a = np.full(8 * HALF, 0.5)
    return a, (lambda: Tree(a))


def array_module_array_and_number():
    a = array.array("d", [0.5]) * (2 * HALF)
    return a, (lambda: vector_add(a, 1.0))


def bytearray_and_number():
    a = bytearray(b"\x01") * (2 * HALF)
    return a, (lambda: vector_add(a, 1.0))


# The same calls, and further operands that a handler may try to shrink.
CHANGEABLE_CALLS = {
    **IN_PLACE_CALLS,
    "Tree(ndarray)": tree_of_an_array,
    "vector_add(array.array, number)": array_module_array_and_number,
    "vector_add(bytearray, number)": bytearray_and_number,
}


def handled_during(call, handler):
    """call() with a SIGALRM handler due a few milliseconds into it, its outcome (a result or an
    exception) and the processor time spent; None when the alarm came before the call began,
    which a busy machine can make happen."""
    began = []

    def handle(signum, frame):
        if began:
            return handler()
        began.append(None)  # too early: the outcome is not looked at

    for _attempt in range(3):
        began.clear()
        start = time.process_time()
        try:
            outcome = under_alarm(lambda: began.append(True) or call(), seconds=0.002, handler=handle)
        except Exception as error:  # the handler's, which ended the call
            outcome = error
        spent = time.process_time() - start
        if began[0] is True:
            return outcome, spent
    pytest.fail("the alarm came before the call every time")


def switched(old, new):
    """Whether a sum of 2 * HALF items holds `old` up to where the handler ran, `new` after."""

    def check(result):
        switch = next((i for i, x in enumerate(result) if x != old), len(result))
        return 0 < switch < 2 * HALF and result == [old] * switch + [new] * (2 * HALF - switch)

    return check


class TestInPlaceReadsSeeSignals:
    @pytest.mark.parametrize("case", IN_PLACE_CALLS)
    def test_a_handlers_exception_ends_the_call_within_milliseconds(self, case):
        _operand, call = IN_PLACE_CALLS[case]()
        start = time.process_time()
        call()
        whole = time.process_time() - start
        alarm = Alarm()

        def handler():
            raise alarm

        outcome, spent = handled_during(call, handler)
        assert outcome is alarm
        assert spent < whole / 3, f"{spent:.3f} s of processor time to the exception, {whole:.3f} s for the whole call"

    # A handler that shortens a list frees the items not yet read, and the list's storage may
    # move: the call reads the operands afresh and gives the sum of what they then hold. A
    # buffer's values can change, and the sum adds the values read: the old ones up to where
    # the handler ran, the new ones after. Only NumPy lets a viewed buffer be resized (with
    # refcheck=False), which frees the memory being read: it is read afresh too. array.array
    # refuses to resize while viewed; a bytearray is read item by item, never viewed.
    @pytest.mark.parametrize(("case", "change", "expected"), [
        ("vector_add(list, number)", lambda a: a.__delitem__(slice(HALF, None)), [1.5] * HALF),
        ("vector_add(list, list)", lambda b: b.__delitem__(slice(HALF, None)), [0.75] * HALF),
        ("vector_add(ndarray, ndarray)", lambda b: b.fill(1.0), switched(0.75, 1.5)),
        ("vector_add(ndarray, number)", lambda a: a.fill(2.0), switched(1.5, 3.0)),
        ("vector_add(ndarray, ndarray)", lambda b: b.resize(10, refcheck=False), [0.75] * 10),
        ("vector_add(ndarray, number)", lambda a: a.resize(10, refcheck=False), [1.5] * 10),
        ("Tree(ndarray)", lambda a: a.resize(10, refcheck=False), lambda tree: tree.nodes == [[0.5] * 10]),
        ("planner, obstacles as an ndarray", lambda o: o.resize((10, 2), refcheck=False),
         lambda tree: len(tree) == 11),
        ("vector_add(array.array, number)", lambda a: a.__delitem__(slice(HALF, None)),
         lambda error: type(error) is BufferError),
        ("vector_add(bytearray, number)", lambda a: a.__delitem__(slice(HALF, None)), [2.0] * HALF),
    ])
    def test_a_handler_may_change_the_operands_and_the_result_is_of_the_values_read(self, case, change, expected):
        operand, call = CHANGEABLE_CALLS[case]()
        outcome, _spent = handled_during(call, lambda: change(operand))
        assert expected(outcome) if callable(expected) else outcome == expected
