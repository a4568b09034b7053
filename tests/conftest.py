# conftest.py: shared fixtures, argument stand-ins and helpers for the pytest suite of the installed tarn module.
import contextlib
import ctypes
import functools
import gc
import math
import os
import signal
import subprocess
import sys
import textwrap

import pytest

import tarn

SUBPROCESS_TIMEOUT = 60
SANITIZED = bool(os.environ.get("TARN_SANITIZED")) or "asan" in os.environ.get("LD_PRELOAD", "")

# The class of the planner's result.
Tree = type(tarn.rrt.rapidly_exploring_random_tree([0.0, 0.0], [1.0, 1.0], [1.0, 1.0], [], 1.0, 0))


# Argument stand-ins shared by the test modules.


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Raising:
    """A number whose float or index conversion raises the given exception instance."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __float__


class Untouchable:
    """Fails the test if the system looks at it as a number or a sequence."""

    def _touched(self, *args):
        raise AssertionError("argument was examined")

    __float__ = __index__ = __len__ = __iter__ = __getitem__ = _touched


class NoQualname(type):
    """A metaclass whose classes have no readable __qualname__."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class Nameless(metaclass=NoQualname):
    pass


class TypeErrorSubclass(TypeError):
    pass


class Unprintable:
    """An object whose str() raises, to stand as the argument of an error that cannot be rendered."""

    def __init__(self, error_type=RuntimeError):
        self.error_type = error_type

    def __str__(self):
        raise self.error_type("cannot render")


class UnprintableKeyword(str):
    def __str__(self):
        raise RuntimeError("no text for you")


class HugeLength:
    """A sequence whose reported length no native vector of floats can hold."""

    def __init__(self, length=2**61):
        self.length = length
        self.items_read = 0

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        self.items_read += 1
        raise IndexError(index)


# Calls, their errors and the hooks they reach.


def raised(call):
    """The exception, of any kind, that `call()` raises."""
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def message(kind, call):
    """The one argument of the exception `call` raises, which must be exactly of type `kind`."""
    error = raised(call)
    assert type(error) is kind
    assert len(error.args) == 1
    return error.args[0]


@contextlib.contextmanager
def unraisable_collected():
    """Collects what reaches sys.unraisablehook inside the block instead of warning."""
    seen = []
    saved = sys.unraisablehook
    sys.unraisablehook = seen.append
    try:
        yield seen
    finally:
        sys.unraisablehook = saved


@functools.lru_cache(maxsize=None)
def panic_exception_class():
    """The PanicException class, which no module holds: taken from a fault provoked for it."""
    try:
        tarn.moremath.vectors.vector_add(HugeLength(), [])
    except BaseException as caught:  # noqa: BLE001 - the class is what we are after
        panic_class = type(caught)
    else:
        pytest.fail("a sequence of length 2**61 converted without a fault")
    assert panic_class.__name__ == "PanicException"
    return panic_class


# Oracles for the planner: plain scans that give the answers its indices must give.


def distance(a, b):
    """The planner's distance: over the shorter length, summed from 0.0 in coordinate order."""
    total = 0.0
    for x, y in zip(a, b):
        difference = x - y
        total += difference * difference
    return math.sqrt(total)


def nearest(nodes, sample):
    """The index of the first of the nodes nearest to `sample`."""
    best, best_distance = 0, distance(nodes[0], sample)
    for index in range(1, len(nodes)):
        candidate = distance(nodes[index], sample)
        if candidate < best_distance:
            best, best_distance = index, candidate
    return best


# Fixtures and the interpreter's own behaviour.


@pytest.fixture(scope="session")
def vector_add():
    return tarn.moremath.vectors.vector_add


@pytest.fixture(scope="session")
def plan():
    return tarn.rrt.rapidly_exploring_random_tree


@pytest.fixture(scope="session")
def panic_exception():
    return panic_exception_class()


def run_snippet(source, timeout=SUBPROCESS_TIMEOUT):
    """Runs a snippet in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=timeout,
        check=False,
    )


@pytest.fixture
def run_python():
    return run_snippet


def c_function(name, argtypes, restype):
    """The interpreter's exported C function `name`, or None where it is not exported."""
    function = getattr(ctypes.pythonapi, name, None)
    if function is not None:
        function.argtypes = argtypes
        function.restype = restype
    return function


_float_as_double = c_function("PyFloat_AsDouble", [ctypes.py_object], ctypes.c_double)
_as_unsigned = c_function("PyLong_AsUnsignedLongLong", [ctypes.py_object], ctypes.c_ulonglong)
# Exported from 3.10 on.
_vectorcall = c_function(
    "PyObject_Vectorcall", [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object], ctypes.py_object
)
VECTORCALL_EXPORTED = _vectorcall is not None


def vectorcall(function, positional, keyword_names, keyword_values):
    """Calls `function` the way only native code can: with any objects as keyword names."""
    objects = [*positional, *keyword_values]
    array = (ctypes.py_object * max(len(objects), 1))(*objects)
    return _vectorcall(function, ctypes.cast(array, ctypes.c_void_p), len(positional), tuple(keyword_names))


def _error_of(function, value):
    try:
        function(value)
    except BaseException as caught:  # noqa: BLE001
        return type(caught), str(caught)
    raise AssertionError(f"{function.__name__}({value!r}) did not fail")


@pytest.fixture(scope="session")
def float_error():
    """(type, text) of the interpreter's own error converting a value to a C double."""
    return lambda value: _error_of(_float_as_double, value)


@pytest.fixture(scope="session")
def unsigned_error():
    """(type, text) of the interpreter's own error converting an int to a 64-bit unsigned."""
    return lambda value: _error_of(_as_unsigned, value)


@pytest.fixture
def unraisable():
    """Collects what reaches sys.unraisablehook during the test."""
    with unraisable_collected() as seen:
        yield seen


# Long calls and signals.

# Obstacles that leave only a sliver of the rectangle free, near its right edge: about one draw
# in a hundred is accepted, so a run with a large max_iterations goes on for a long time while
# its tree grows slowly. Positional arguments of the planner, without max_iterations.
SLIVER_PROBLEM = ([5.0, 5.0], [0.0, 0.0], [10.05, 10.0], [[float(x), float(y)] for x in range(10) for y in range(11)], 0.0)


class Alarm(Exception):
    """Raised by the SIGALRM handler of `under_alarm`."""


def raise_alarm(signum, frame):
    raise Alarm()


@contextlib.contextmanager
def alarm_after(seconds, handler=raise_alarm):
    """SIGALRM, handled by `handler`, `seconds` into the block; cancelled when it ends.

    The garbage collector's callbacks (hypothesis installs one) are set aside meanwhile: Python
    code they run during a collection could run the handler there, where its exception would
    only be reported as unraisable, and the call under test would never see it."""
    callbacks = gc.callbacks[:]
    gc.callbacks.clear()
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    try:
        yield
    finally:
        try:
            signal.setitimer(signal.ITIMER_REAL, 0)
        finally:
            signal.signal(signal.SIGALRM, previous)
            gc.callbacks.extend(callbacks)


def under_alarm(call, seconds=0.001, handler=raise_alarm):
    """`call()` with SIGALRM due `seconds` into it."""
    with alarm_after(seconds, handler):
        return call()


# Facilities some tests need, detected where they run rather than inferred from the platform.


def needs_file(path):
    """Skips a test where `path` does not exist (macOS has no /proc, for one)."""
    return pytest.mark.skipif(not os.path.exists(path), reason=f"needs {path}")


# Windows has neither.
needs_fork = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
needs_posix_signals = pytest.mark.skipif(
    not hasattr(signal, "setitimer"), reason="needs POSIX signals: SIGALRM timers, SIGINT sent to a process"
)


# Limits a fresh interpreter to 1 GiB of address space and asks for a 2 GiB mapping, which is
# reserved but never touched: where the limit is enforced the mapping is refused.
_ADDRESS_SPACE_PROBE = """
import mmap, resource
try:
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
except (ValueError, OSError) as refused:
    raise SystemExit(f"setrlimit(RLIMIT_AS) refused: {refused}")
try:
    mmap.mmap(-1, 2 << 30)
except OSError:
    print("enforced")
"""


@pytest.fixture(scope="session")
def enforced_address_space_limit():
    """Skips a test where a process cannot be held to an address-space limit (RLIMIT_AS is not
    enforced on macOS)."""
    probe = subprocess.run(
        [sys.executable, "-c", _ADDRESS_SPACE_PROBE],
        capture_output=True,
        text=True,
        timeout=SUBPROCESS_TIMEOUT,
        check=False,
    )
    if probe.stdout != "enforced\n":
        why = probe.stderr.strip() or "a larger mapping was granted"
        pytest.skip(f"needs an enforced address-space limit (RLIMIT_AS): {why}")
