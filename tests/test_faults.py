# test_faults.py: PanicException, the standard-error fault report, resumed faults and memory exhaustion.
import builtins
import ctypes
import inspect
import os
import re
import sys

import pytest
from conftest import HugeLength, needs_file, raised


UNWRAPPED = "Unwrapped panic from Python code"
ANNOUNCEMENT = (
    "tarn: resuming a fault raised in native code after PanicException was fetched from Python\n"
    "Python stack trace below:\n"
)
REPORT = r"thread '<unnamed>' panicked at (src/[\w./-]+):(\d+):(\d+):\n"

# Provokes the first fault of a fresh process and keeps its class.
PROVOKE = """
import tarn
vector_add = tarn.moremath.vectors.vector_add

""" + inspect.getsource(HugeLength) + """

def fault():
    try:
        vector_add(HugeLength(), [])
    except BaseException as caught:
        return caught
"""


class TestPanicExceptionClass:
    def test_names_and_base(self, panic_exception):
        assert panic_exception.__name__ == "PanicException"
        assert panic_exception.__qualname__ == "PanicException"
        assert panic_exception.__module__ == "tarn.panic"
        assert panic_exception.__bases__ == (BaseException,)
        assert not issubclass(panic_exception, Exception)

    def test_doc_is_a_summary_and_a_paragraph_true_to_the_class(self, panic_exception):
        doc = panic_exception.__doc__
        assert doc.startswith("\n") and doc.endswith("\n")
        summary, blank, *paragraph = doc[1:-1].split("\n")
        assert summary and blank == "" and paragraph
        # The paragraph explains the base class by a built-in exception that shares it: the base
        # it names must be the class's own, and the exception it compares with must share it.
        words = {word.strip(",.;:()") for word in " ".join(paragraph).split()}
        named = {getattr(builtins, word) for word in words if isinstance(getattr(builtins, word, None), type)}
        base = panic_exception.__base__
        assert base in named
        assert named - {base} and all(other.__base__ is base for other in named - {base})

    def test_no_attributes_beyond_those_of_an_exception_class(self, panic_exception):
        make = ctypes.pythonapi.PyErr_NewExceptionWithDoc
        make.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.py_object, ctypes.c_void_p]
        make.restype = ctypes.py_object
        reference = make(b"elsewhere.Reference", b"doc", BaseException, None)
        assert set(vars(panic_exception)) == set(vars(reference))


def _planner_with(plan, **overrides):
    arguments = {"start": [0, 0], "goal": [1, 1], "boundaries": [2, 2], "obstacles": [], "step_size": 1.0}
    return plan(**{"max_iterations": 0, **arguments, **overrides})


OVERFLOWING_CALLS = {
    "vector_a": lambda f, p, huge: f(huge, [1]),
    "vector_b": lambda f, p, huge: f([1, 2], huge),
    "start": lambda f, p, huge: _planner_with(p, start=huge),
    "boundaries": lambda f, p, huge: _planner_with(p, boundaries=huge),
    "obstacles": lambda f, p, huge: _planner_with(p, obstacles=huge),
    "inner-obstacle": lambda f, p, huge: _planner_with(p, obstacles=[[1, 2], huge]),
}


class TestFaultsInCalls:
    @pytest.mark.parametrize("length", [2**60, 2**61, 2**62, sys.maxsize])
    @pytest.mark.parametrize("position", OVERFLOWING_CALLS)
    def test_capacity_overflow_before_any_item_is_read(
        self, vector_add, plan, panic_exception, position, length
    ):
        sequence = HugeLength(length)
        error = raised(lambda: OVERFLOWING_CALLS[position](vector_add, plan, sequence))
        assert type(error) is panic_exception
        assert error.args == ("capacity overflow",)
        assert str(error) == "capacity overflow"
        assert sequence.items_read == 0

    def test_calls_work_again_after_a_fault(self, vector_add, panic_exception):
        raised(lambda: vector_add(HugeLength(), [1]))
        assert vector_add([1, 2], [3, 4]) == [4.0, 6.0]

    def test_python_errors_write_nothing_to_stderr(self, vector_add, capfd):
        raised(lambda: vector_add(5, [1]))
        raised(lambda: vector_add([1], None))
        raised(lambda: vector_add(bogus=1))
        assert capfd.readouterr() == ("", "")


class Hook:
    """A sequence that raises PanicException from the protocol method named `where`."""

    def __init__(self, panic_exception, where):
        self.error = panic_exception("from python")
        self.where = where

    def _maybe_raise(self, name):
        if name == self.where:
            raise self.error

    def __len__(self):
        self._maybe_raise("__len__")
        return 1

    def __getitem__(self, index):
        if index >= 1:
            raise IndexError(index)
        return 1.0

    def __iter__(self):
        self._maybe_raise("__iter__")
        return self._items()

    def _items(self):
        self._maybe_raise("__next__")
        yield 1.0


class NumberHook(Hook):
    """Also a number, so that float and index conversions reach it."""

    def __float__(self):
        self._maybe_raise("__float__")
        return 1.0

    def __index__(self):
        self._maybe_raise("__index__")
        return 0


RESUME_POINTS = {
    "vector_a-element": ("__float__", lambda f, p, h: f([1, h], [1, 1])),
    "vector_a-size": ("__len__", lambda f, p, h: f(h, [1])),
    "vector_a-iter": ("__iter__", lambda f, p, h: f(h, [1])),
    "vector_a-next": ("__next__", lambda f, p, h: f(h, [1])),
    "vector_b-number-attempt": ("__float__", lambda f, p, h: f([1], h)),
    "vector_b-size": ("__len__", lambda f, p, h: f([1], h)),
    "vector_b-element": ("__float__", lambda f, p, h: f([1], [h])),
    "start-size": ("__len__", lambda f, p, h: _planner_with(p, start=h)),
    "obstacle-size": ("__len__", lambda f, p, h: _planner_with(p, obstacles=[[1, 2], h])),
    "step_size": ("__float__", lambda f, p, h: _planner_with(p, step_size=h)),
    "max_iterations": ("__index__", lambda f, p, h: _planner_with(p, max_iterations=h)),
}


class TestResumedFaults:
    @pytest.mark.parametrize("point", RESUME_POINTS)
    def test_panic_from_python_comes_back_as_a_new_panic(
        self, vector_add, plan, panic_exception, capfd, point
    ):
        where, call = RESUME_POINTS[point]
        hook = (NumberHook if where in ("__float__", "__index__") else Hook)(panic_exception, where)
        error = raised(lambda: call(vector_add, plan, hook))
        assert type(error) is panic_exception
        assert error is not hook.error
        assert error.args == (UNWRAPPED,)
        err = capfd.readouterr().err
        assert ANNOUNCEMENT in err
        assert "tarn.panic.PanicException: from python" in err
        assert "panicked at" not in err

    def test_subclass_of_panic_is_an_ordinary_exception(self, vector_add, panic_exception, capfd):
        subclass = type("PanicSubclass", (panic_exception,), {})
        error = subclass("from python")

        class Element:
            def __float__(self):
                raise error

        assert raised(lambda: vector_add([Element()], [1])) is error
        assert capfd.readouterr().err == ""

    def test_calls_work_again_after_a_resumed_fault(self, vector_add, panic_exception, capfd):
        raised(lambda: vector_add([NumberHook(panic_exception, "__float__")], [1]))
        assert vector_add([1], [2]) == [3.0]


class TestInFreshProcess:
    def test_report_format_and_one_time_hint(self, run_python):
        result = run_python(PROVOKE + """
first, second = fault(), fault()
print(type(first) is type(second), first.args, second.args)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "True ('capacity overflow',) ('capacity overflow',)\n"
        match = re.fullmatch(
            REPORT + r"capacity overflow\n(note: [^\n]*)\n" + REPORT + r"capacity overflow\n",
            result.stderr,
        )
        assert match, result.stderr
        file, line, column, hint = match.group(1, 2, 3, 4)
        assert match.group(5, 6, 7) == (file, line, column)
        assert file.endswith((".cpp", ".hpp"))
        assert not re.search(r"[A-Z][A-Z0-9]*_[A-Z0-9_]+|=|\$", hint), hint

    def test_one_class_per_process_held_by_no_module(self, run_python):
        result = run_python(PROVOKE + """
import gc
import sys
first, second = fault(), fault()
classes = [c for c in gc.get_objects() if isinstance(c, type) and c.__name__ == "PanicException"]
print(classes == [type(first)], type(first) is type(second))
print([name for name, module in list(sys.modules.items())
       if any(value is type(first) for value in getattr(module, "__dict__", {}).values())])
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout == "True True\n[]\n"

    def test_resume_announcement_and_traceback(self, run_python):
        result = run_python(PROVOKE + """
panic = type(fault())
original = panic("from python")

class Element:
    def __float__(self):
        raise original

try:
    vector_add([Element()], [1])
except BaseException as caught:
    print(type(caught) is panic, caught is not original, caught.args)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout == f"True True ('{UNWRAPPED}',)\n"
        report, resumed = result.stderr.split(ANNOUNCEMENT)
        assert re.fullmatch(REPORT + r"capacity overflow\nnote: [^\n]*\n", report), report
        traceback_lines = resumed.splitlines()
        assert traceback_lines[0] == "Traceback (most recent call last):"
        assert ", in __float__" in traceback_lines[1]
        assert traceback_lines[-1] == "tarn.panic.PanicException: from python"
        assert "panicked at" not in resumed

    @pytest.mark.skipif(
        "asan" in os.environ.get("LD_PRELOAD", ""), reason="address limits clash with sanitizers"
    )
    @needs_file("/proc/self/status")
    @pytest.mark.usefixtures("enforced_address_space_limit")
    def test_native_memory_exhaustion_is_memory_error(self, run_python):
        result = run_python("""
            import resource
            import tarn
            vector_add = tarn.moremath.vectors.vector_add
            count = 20_000_000
            values = [1.0] * count

            def mapped_bytes():
                with open("/proc/self/status") as status:
                    for line in status:
                        if line.startswith("VmSize:"):
                            return int(line.split()[1]) * 1024

            # Leave room for half of the native copy only.
            limit = mapped_bytes() + count * 4
            resource.setrlimit(resource.RLIMIT_AS, (limit, resource.RLIM_INFINITY))
            try:
                vector_add(values, 1.0)
            except BaseException as caught:
                print(type(caught).__name__)
            else:
                print("no error")
            print(vector_add([1.0], 1.0))
            """)
        assert result.returncode == 0, result.stderr
        assert result.stdout == "MemoryError\n[2.0]\n"
        assert "panicked" not in result.stderr
