# test_threads_and_fork.py: several threads planning at once, and forks after the generator was used.
import contextlib
import json
import os
import select
import signal
import threading
import time
import warnings

from conftest import Tree, needs_fork

import tarn

plan = tarn.rrt.rapidly_exploring_random_tree

TIMEOUT = 60
BOUNDARIES = [1e6, 1e6]


def draw_samples(count=20):
    """`count` consecutive draws of the calling thread's generator, as the planner's samples
    (a step size of 0 never reaches the goal, so every sample becomes a node)."""
    tree = plan([0.0, 0.0], [0.0, 0.0], BOUNDARIES, [], 0.0, count)
    return [tuple(node) for node in tree.nodes[1:]]


def assert_valid_plan(tree, boundaries, obstacles, max_iterations):
    nodes, adjacency = tree.nodes, tree.adjacency_list
    assert len(tree) == len(nodes) == len(adjacency)
    assert 1 <= len(nodes) <= max_iterations + 2
    for x, y in nodes[1:]:
        assert 0.0 <= x < boundaries[0] and 0.0 <= y < boundaries[1]
        assert all((x - ox) ** 2 + (y - oy) ** 2 >= 1.0 for ox, oy in obstacles)
    assert sorted(child for children in adjacency for child in children) == list(range(1, len(nodes)))


def run_threads(target, count):
    errors = []

    def guarded(number):
        try:
            target(number)
        except BaseException as caught:  # noqa: BLE001 - reported by the main thread
            errors.append(caught)

    threads = [threading.Thread(target=guarded, args=(n,)) for n in range(count)]
    for thread in threads:
        thread.start()
    deadline = time.monotonic() + TIMEOUT
    for thread in threads:
        thread.join(max(deadline - time.monotonic(), 0))
    assert not any(thread.is_alive() for thread in threads), "a thread did not finish in time"
    if errors:
        raise errors[0]


class TestThreads:
    def test_threads_planning_at_once_get_valid_trees_from_their_own_streams(self):
        obstacles = [[5.0, 5.0], [2.0, 7.0]]
        streams = {}

        def work(number):
            for _ in range(30):
                tree = plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], obstacles, 0.5, 40)
                assert_valid_plan(tree, [10.0, 10.0], obstacles, 40)
            streams[number] = draw_samples()

        run_threads(work, 6)
        samples = [sample for stream in streams.values() for sample in stream]
        assert len(set(samples)) == len(samples), "two threads drew the same numbers"

    def test_readers_and_a_writer_share_one_tree(self):
        # The writer's node is a sequence read by Python code, so the interpreter may switch
        # threads while push holds the tree; a reader that comes in then is refused, never
        # shown a half-written tree.
        tree = Tree([0.0, 0.0])
        pushes = 300

        class SlowNode:
            def __init__(self, value):
                self.value = value

            def __len__(self):
                return 2

            def __getitem__(self, index):
                if index >= 2:
                    raise IndexError(index)
                time.sleep(0)  # invites a thread switch in the middle of the conversion
                return self.value

        written = threading.Event()
        successful_reads = []

        def write():
            for i in range(pushes):
                tree.push(SlowNode(float(i)))
                tree.connect(0, i + 1)
                time.sleep(0)  # and a switch while the tree is free
                if i == pushes // 2:
                    # A loaded machine may not have run a reader yet: hold the tree free until
                    # one has read it.
                    deadline = time.monotonic() + TIMEOUT
                    while not successful_reads and time.monotonic() < deadline:
                        time.sleep(0.001)
            written.set()

        def read():
            while not written.is_set():
                try:
                    # The writer may push between two reads, never within one.
                    length = len(tree)
                    nodes, adjacency = tree.nodes, tree.adjacency_list
                    assert length <= len(nodes) <= len(adjacency)
                    assert all(node[0] == node[1] for node in nodes)
                    assert tree[0] == [0.0, 0.0]
                    successful_reads.append(length)
                except RuntimeError as refused:
                    assert str(refused) == "Already mutably borrowed"
                time.sleep(0)

        run_threads(lambda number: write() if number == 0 else read(), 4)
        assert successful_reads
        assert len(tree) == len(tree.nodes) == len(tree.adjacency_list) == pushes + 1
        assert tree.nodes[1:] == [[float(i), float(i)] for i in range(pushes)]
        assert tree.adjacency_list[0] == list(range(1, pushes + 1))

    def test_a_thread_keeps_its_stream_across_calls(self):
        streams = []
        run_threads(lambda number: streams.append(draw_samples() + draw_samples()), 1)
        (stream,) = streams
        assert len(set(stream)) == len(stream)


@contextlib.contextmanager
def fork_warnings_allowed():
    # Python 3.12 and later warn when a process with threads forks; forking from a thread is
    # the point here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        yield


def read_all(fd, timeout):
    chunks = []
    deadline = time.monotonic() + timeout
    while True:
        ready, _, _ = select.select([fd], [], [], max(deadline - time.monotonic(), 0))
        if not ready:
            raise AssertionError("the child did not answer in time")
        chunk = os.read(fd, 65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def wait_for(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        finished, status = os.waitpid(pid, os.WNOHANG)
        if finished:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    raise AssertionError("the child did not exit in time")


def child_work():
    """What the child does: keeps drawing on the forking thread and in a new thread."""
    report = {"after_fork": draw_samples()}
    fresh = []
    thread = threading.Thread(target=lambda: fresh.append(draw_samples()))
    thread.start()
    thread.join(TIMEOUT)
    report["new_thread"] = fresh[0] if fresh else None
    tree = plan([0.0, 0.0], [9.0, 9.0], [10.0, 10.0], [[5.0, 5.0]], 0.5, 40)
    assert_valid_plan(tree, [10.0, 10.0], [[5.0, 5.0]], 40)
    report["planned"] = len(tree)
    return report


def fork_and_compare():
    """Forks the calling process; returns the parent's draws after the fork and the child's
    report, passed back through a pipe."""
    read_end, write_end = os.pipe()
    with fork_warnings_allowed():
        pid = os.fork()
    if pid == 0:  # the child: never returns into the test runner
        code = 1
        try:
            os.close(read_end)
            with os.fdopen(write_end, "w") as pipe:
                json.dump(child_work(), pipe)
            code = 0
        finally:
            os._exit(code)
    os.close(write_end)
    try:
        parent = draw_samples()
        child = json.loads(read_all(read_end, TIMEOUT))
    finally:
        os.close(read_end)
        exit_code = wait_for(pid, TIMEOUT)
    assert exit_code == 0
    as_samples = lambda value: [tuple(s) for s in value] if isinstance(value, list) else value  # noqa: E731
    return parent, {key: as_samples(value) for key, value in child.items()}


def assert_fork_separated(parent, child):
    assert len(child["after_fork"]) == len(parent) == 20
    assert not set(child["after_fork"]) & set(parent), "parent and child drew the same numbers"
    assert child["new_thread"] and not set(child["new_thread"]) & set(child["after_fork"])
    assert child["planned"] >= 2


@needs_fork
class TestFork:
    def test_fork_from_a_thread_that_used_the_generator(self):
        results = []

        def work(number):
            before = draw_samples()  # creates and uses this thread's generator
            parent, child = fork_and_compare()
            results.append((before, parent, child, draw_samples()))

        run_threads(work, 1)
        ((before, parent, child, later),) = results
        assert_fork_separated(parent, child)
        assert not set(before) & set(child["after_fork"])
        assert not set(later) & set(parent)

    def test_fork_from_the_main_thread_while_other_threads_exist(self):
        draw_samples()
        stop = threading.Event()

        def keep_drawing():
            while not stop.is_set():
                draw_samples()

        busy = threading.Thread(target=keep_drawing)
        busy.start()
        try:
            parent, child = fork_and_compare()
        finally:
            stop.set()
            busy.join(TIMEOUT)
        assert not busy.is_alive()
        assert_fork_separated(parent, child)

    def test_repeated_forks_all_draw_differently(self):
        draw_samples()
        seen = []
        for _ in range(3):
            parent, child = fork_and_compare()
            seen += parent + child["after_fork"] + child["new_thread"]
        assert len(set(seen)) == len(seen)
