# test_interrupts.py: signals reach Python during long calls, and their handlers may call tarn.
import signal
import subprocess
import sys
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
import tarn
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
