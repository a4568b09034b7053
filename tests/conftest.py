# conftest.py: shared fixtures and argument stand-ins for the pytest suite of the installed tarn module.
import ctypes
import os
import subprocess
import sys
import textwrap

import pytest

import tarn

SUBPROCESS_TIMEOUT = 60


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


def raised(call):
    """The exception, of any kind, that `call()` raises."""
    with pytest.raises(BaseException) as info:
        call()
    return info.value


@pytest.fixture(scope="session")
def vector_add():
    return tarn.moremath.vectors.vector_add


@pytest.fixture(scope="session")
def plan():
    return tarn.rrt.rapidly_exploring_random_tree


@pytest.fixture(scope="session")
def panic_exception():
    """The PanicException class, taken from the first fault this process raises."""
    try:
        tarn.moremath.vectors.vector_add(HugeLength(), [])
    except BaseException as caught:  # noqa: BLE001 - the class is what we are after
        panic_class = type(caught)
    else:
        pytest.fail("a sequence of length 2**61 converted without a fault")
    assert panic_class.__name__ == "PanicException"
    return panic_class


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter and returns the completed process."""

    def run(source):
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(source)],
            capture_output=True,
            text=True,
            timeout=SUBPROCESS_TIMEOUT,
            check=False,
        )

    return run


def _c_function(name, argtypes, restype):
    function = getattr(ctypes.pythonapi, name)
    function.argtypes = argtypes
    function.restype = restype
    return function


_float_as_double = _c_function("PyFloat_AsDouble", [ctypes.py_object], ctypes.c_double)
_as_unsigned = _c_function("PyLong_AsUnsignedLongLong", [ctypes.py_object], ctypes.c_ulonglong)


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
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook during the test."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


# Facilities some tests need, detected where they run rather than inferred from the platform.


def needs_file(path):
    """Skips a test where `path` does not exist (macOS has no /proc, for one)."""
    return pytest.mark.skipif(not os.path.exists(path), reason=f"needs {path}")


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
