# test_conversions.py: Python values to native floats, indices and float vectors, and argument-name wrapping.
import array
import collections
import gc
import operator
import struct
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from conftest import Index, Nameless, Number, Raising, TypeErrorSubclass, Unprintable, raised

STR_REFUSED = "Can't extract `str` to `Vec`"
PLANNER_PARAMETERS = ["start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"]
VALID = {
    "start": [1, 2],
    "goal": [3, 4],
    "boundaries": [5, 6],
    "obstacles": [],
    "step_size": 1.0,
    "max_iterations": 0,
}


class Outer:
    class Inner:
        pass


class NumericQualname(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else super().__getattribute__(name)


class NumericallyNamed(metaclass=NumericQualname):
    pass


class Recorder:
    def __init__(self, value, log):
        self.value, self.log = value, log

    def __float__(self):
        self.log.append(self.value)
        return float(self.value)


class FreshTypeError:
    """A number that raises a new TypeError on every conversion."""

    def __float__(self):
        raise TypeError("x")


class Sized:
    """A sequence whose __len__ (a number or an exception) is independent of its items."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


class OldProtocol:
    """A sequence known only through __getitem__ and IndexError."""

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return index * 10


class BadIteration:
    """A sequence whose __iter__ raises, returns `result`, or yields two items and then raises."""

    def __init__(self, error=None, result=None, part_way=False):
        self.error, self.result, self.part_way = error, result, part_way

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        if self.part_way:
            return self._two_then_raise()
        if self.error is not None:
            raise self.error
        return self.result

    def _two_then_raise(self):
        yield 1.0
        yield 2.0
        raise self.error


def convert(vector_add, value):
    """The float vector converted from `value`, observed through a no-op addition."""
    return vector_add(value, 0.0)


def planner_call(plan, **overrides):
    return lambda: plan(**{**VALID, **overrides})


def assert_type_error(error, message):
    assert type(error) is TypeError
    assert error.args == (message,)


class TestFloatVectorAccepts:
    @pytest.mark.parametrize(
        "value, expected",
        [
            ([], []),
            ([1, 2.5, True, False], [1.0, 2.5, 1.0, 0.0]),
            ((1, 2), [1.0, 2.0]),
            (range(3), [0.0, 1.0, 2.0]),
            (b"\x01\x02", [1.0, 2.0]),
            (bytearray(b"\x03"), [3.0]),
            (memoryview(b"\x05\x06"), [5.0, 6.0]),
            (array.array("d", [1.5, -2.5]), [1.5, -2.5]),
            (collections.deque([7, 8]), [7.0, 8.0]),
            ([Fraction(1, 2), Decimal("0.25")], [0.5, 0.25]),
            ([Index(7), Number(2.5)], [7.0, 2.5]),
            ([-1.0, -1, Number(-1.0), Index(-1)], [-1.0, -1.0, -1.0, -1.0]),
            ([2**53 + 1], [float(2**53)]),
            (OldProtocol(), [0.0, 10.0, 20.0]),
        ],
    )
    def test_sequences_of_numbers(self, vector_add, value, expected):
        result = convert(vector_add, value)
        assert result == expected
        assert all(type(item) is float for item in result)

    @pytest.mark.parametrize(
        "length",
        [ValueError("no length"), TypeError("no length"), -1, 0, 1, 2**40, 2**60 - 1, 2**63],
        ids=["ValueError", "TypeError", "negative", "zero", "short", "2**40", "2**60-1", "2**63"],
    )
    def test_size_hint_only_presizes(self, vector_add, length):
        assert convert(vector_add, Sized([1, 2, 3], length)) == [1.0, 2.0, 3.0]

    def test_content_is_what_the_iterator_yields(self, vector_add):
        assert convert(vector_add, Sized([1, 2, 3, 4, 5], 2)) == [1.0, 2.0, 3.0, 4.0, 5.0]

    def test_large_list(self, vector_add):
        result = vector_add([float(i) for i in range(1_000_000)], 1)
        assert len(result) == 1_000_000 and result[-1] == 1_000_000.0


def bits(values):
    return [struct.pack("<d", value) for value in values]


def buffer_cases():
    """Objects whose values are read from their buffers, and a stand-in for each that the
    item-by-item conversion reads: the values must agree bit for bit."""
    extremes = [0.0, -0.0, 1.5, -2.5, float("nan"), float("inf"), 1e308, 5e-324]
    cases = [
        (array.array("d", extremes), list(array.array("d", extremes))),
        (array.array("f", [0.1, -3.0]), list(array.array("f", [0.1, -3.0]))),
        (array.array("q", [2**53 + 1, -(2**63)]), [2**53 + 1, -(2**63)]),
        (array.array("Q", [2**64 - 1]), [2**64 - 1]),
        (array.array("b", [-128, 7]), [-128, 7]),
        (memoryview(array.array("H", [65535, 0])), [65535, 0]),
        (memoryview(array.array("d", extremes))[::-2], extremes[::-2]),
        # Doubles side by side but not aligned to their size.
        (memoryview(bytes(1) + struct.pack("=2d", 1.5, -0.0))[1:].cast("d"), [1.5, -0.0]),
    ]
    try:
        import numpy as np
    except ImportError:
        return cases

    class Items(np.ndarray):  # a subclass keeps the general path, with its own items
        def __iter__(self):
            return iter([7.0] * len(self))

    values = {
        "float64": [1e300, -0.5, float("nan")],
        "float32": [0.1, -3.0, float("inf")],
        ">f8": [0.1, -0.0, 2.5],
        "int64": [2**62 + 1, -(2**63), 9],
        "uint64": [2**64 - 1, 2**53 + 1, 0],
        "int8": [-128, 127, 0],
        "uint16": [65535, 1, 0],
    }
    for dtype, numbers in values.items():
        array_ = np.array(numbers, dtype=dtype)
        cases.append((array_, list(array_)))
    cases.append((np.arange(12.0).reshape(3, 4)[:, 1], [1.0, 5.0, 9.0]))
    cases.append((np.arange(3.0).view(Items), [7.0, 7.0, 7.0]))
    return cases


class TestBuffers:
    @pytest.mark.parametrize("value, items", buffer_cases(), ids=lambda v: type(v).__name__)
    def test_buffers_read_as_their_items_convert(self, vector_add, value, items):
        assert bits(convert(vector_add, value)) == bits(convert(vector_add, items))
        assert bits(vector_add(value, value)) == bits(vector_add(items, items))
        assert bits(vector_add(value, items[:1])) == bits(vector_add(items, items[:1]))
        assert bits(vector_add(value, 0.25)) == bits(vector_add(items, 0.25))
        assert vector_add(value[:0], "ignored") == []

    def test_array_rows_as_obstacles(self, plan):
        np = pytest.importorskip("numpy")
        # Four discs that cover most of [0, 4) x [0, 4); read any other way
        # (transposed, say) they would let samples through.
        crowded = [[1, 1], [3, 3], [1, 3], [3, 1]]
        for obstacles in (np.array(crowded, dtype="f4", order="F"), np.array(crowded)[:, ::-1]):
            tree = planner_call(plan, boundaries=[4, 4], obstacles=obstacles, max_iterations=200)()
            for x, y in tree.nodes[1:]:
                assert all((x - a) ** 2 + (y - b) ** 2 >= 1 for a, b in obstacles.tolist())
        message = "argument 'obstacles': 'float64' object cannot be converted to 'Sequence'"
        with pytest.raises(TypeError, match=message):
            planner_call(plan, obstacles=np.zeros(2), max_iterations=1)()


class TestFloatVectorRefuses:
    @pytest.mark.parametrize(
        "value, type_name",
        [
            (5, "int"),
            (1.5, "float"),
            (None, "NoneType"),
            ({1: 2}, "dict"),
            ({1, 2}, "set"),
            ((x for x in []), "generator"),
            (iter([1]), "list_iterator"),
            ({}.keys(), "dict_keys"),
            (Outer.Inner(), "Outer.Inner"),
            (Nameless(), "<failed to extract type name>"),
            (NumericallyNamed(), "<failed to extract type name>"),
        ],
    )
    def test_not_a_sequence(self, vector_add, value, type_name):
        error = raised(lambda: vector_add(value, [1]))
        assert_type_error(
            error, f"argument 'vector_a': '{type_name}' object cannot be converted to 'Sequence'"
        )

    class Text(str):
        def __float__(self):
            return 1.0

    @pytest.mark.parametrize("value", ["ab", "", Text("12")])
    def test_str_is_refused_although_it_is_a_sequence(self, vector_add, value):
        assert_type_error(raised(lambda: vector_add(value, [1])), f"argument 'vector_a': {STR_REFUSED}")

    @pytest.mark.parametrize("item", ["x", None, [1], 1 + 2j, b"1", Number(1)])
    def test_item_that_is_not_a_float_gets_the_interpreter_text_wrapped(self, vector_add, float_error, item):
        error = raised(lambda: vector_add([1, item], [1, 1]))
        assert_type_error(error, f"argument 'vector_a': {float_error(item)[1]}")

    def test_int_too_large_for_a_double_passes_unwrapped(self, vector_add, float_error):
        error = raised(lambda: vector_add([1, 2**1024], [1, 1]))
        assert type(error) is OverflowError
        assert error.args == (float_error(2**1024)[1],)

    def test_first_failing_item_ends_the_conversion(self, vector_add):
        log = []
        assert type(raised(lambda: vector_add([Recorder(1, log), "x", Recorder(2, log)], 0))) is TypeError
        assert log == [1]


class TestArgumentNameWrapping:
    @pytest.mark.parametrize("error", [ValueError("x"), TypeErrorSubclass("x"), ZeroDivisionError()])
    def test_other_than_exactly_type_error_passes_unchanged(self, vector_add, error):
        assert raised(lambda: vector_add([Raising(error)], [1])) is error

    def test_type_error_is_replaced_by_a_prefixed_one(self, vector_add):
        original = TypeError("x")
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert_type_error(error, "argument 'vector_a': x")
        assert error is not original
        assert error.__cause__ is None and error.__context__ is None

    def test_cause_is_the_caught_errors_cause_not_the_caught_error(self, vector_add):
        cause = KeyError("root")
        original = TypeError("x")
        original.__cause__ = cause
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert_type_error(error, "argument 'vector_a': x")
        assert error.__cause__ is cause
        assert error.__context__ is not original

    @pytest.mark.parametrize(
        "original, text",
        [
            (TypeError(), ""),
            (TypeError("a", 2), "('a', 2)"),
            (TypeError("caf\u00e9 \u2603"), "caf\u00e9 \u2603"),
            (TypeError("bad\udcff"), "bad\ufffd\ufffd\ufffd"),
        ],
    )
    def test_text_is_str_of_the_caught_error(self, vector_add, original, text):
        assert raised(lambda: vector_add([Raising(original)], [1])).args == (f"argument 'vector_a': {text}",)

    def test_unprintable_error_is_still_wrapped(self, vector_add, unraisable):
        original = TypeError(Unprintable())
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert_type_error(error, "argument 'vector_a': <unprintable TypeError object>")
        assert [(hook.exc_type, str(hook.exc_value)) for hook in unraisable] == [
            (RuntimeError, "cannot render")
        ]
        assert unraisable[0].object is original


class TestIteration:
    @pytest.mark.parametrize("part_way", [False, True])
    def test_iteration_error_passes_unchanged(self, vector_add, part_way):
        failure = LookupError("stop")
        assert raised(lambda: vector_add(BadIteration(failure, part_way=part_way), [1])) is failure

    @pytest.mark.parametrize("part_way", [False, True])
    def test_type_error_from_iteration_is_wrapped(self, vector_add, part_way):
        error = raised(lambda: vector_add(BadIteration(TypeError("boom"), part_way=part_way), [1]))
        assert_type_error(error, "argument 'vector_a': boom")

    def test_iter_returning_a_non_iterator_is_wrapped(self, vector_add):
        value = BadIteration(result=5)
        with pytest.raises(TypeError) as interpreter:
            iter(value)
        assert_type_error(raised(lambda: vector_add(value, [1])), f"argument 'vector_a': {interpreter.value}")


class TestPlannerArguments:
    @pytest.mark.parametrize("name", ["start", "goal", "boundaries", "obstacles"])
    @pytest.mark.parametrize(
        "value, message",
        [
            ("ab", STR_REFUSED),
            (5, "'int' object cannot be converted to 'Sequence'"),
            ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_vector_arguments(self, plan, name, value, message):
        assert_type_error(raised(planner_call(plan, **{name: value})), f"argument '{name}': {message}")

    @pytest.mark.parametrize(
        "obstacles, message",
        [
            ([[1, 2], "ab"], STR_REFUSED),
            ([[1, 2], 3], "'int' object cannot be converted to 'Sequence'"),
            ([[1, 2], {3}], "'set' object cannot be converted to 'Sequence'"),
            ([[1, 2], [1, "x"]], "must be real number, not str"),
        ],
    )
    def test_inner_obstacle_errors(self, plan, float_error, obstacles, message):
        assert float_error("x")[1] == "must be real number, not str"
        assert_type_error(raised(planner_call(plan, obstacles=obstacles)), f"argument 'obstacles': {message}")

    @pytest.mark.parametrize(
        "obstacles",
        [[[1, 2], [3], []], ((1, 2), range(2)), [b"\x01\x02"], Sized([[1, 2]], ValueError())],
    )
    def test_obstacle_lists_that_convert(self, plan, obstacles):
        assert planner_call(plan, obstacles=obstacles)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("value", ["1.5", None, [1.0]])
    def test_step_size_that_is_not_a_number(self, plan, float_error, value):
        error = raised(planner_call(plan, step_size=value))
        assert_type_error(error, f"argument 'step_size': {float_error(value)[1]}")

    @pytest.mark.parametrize("step_size", [-1.0, Number(-1.0), -1, 0, float("nan"), True])
    def test_step_size_accepts_numbers(self, plan, step_size):
        assert planner_call(plan, step_size=step_size)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
    def test_max_iterations_out_of_range_is_the_interpreters_overflow(self, plan, unsigned_error, value):
        error = raised(planner_call(plan, max_iterations=value))
        assert type(error) is OverflowError
        assert error.args == (unsigned_error(value)[1],)

    @pytest.mark.parametrize("value", [1.0, "3", None, Index(1.5)])
    def test_max_iterations_that_is_not_an_integer_is_wrapped(self, plan, value):
        with pytest.raises(TypeError) as interpreter:
            operator.index(value)
        error = raised(planner_call(plan, max_iterations=value))
        assert_type_error(error, f"argument 'max_iterations': {interpreter.value}")

    @pytest.mark.parametrize(
        "name, error", [("max_iterations", ArithmeticError("no")), ("step_size", OverflowError("no"))]
    )
    def test_scalar_errors_of_other_types_pass_unchanged(self, plan, name, error):
        assert raised(planner_call(plan, **{name: Raising(error)})) is error

    @pytest.mark.parametrize("value", [0, False, Index(0)])
    def test_max_iterations_zero_in_any_form(self, plan, value):
        assert planner_call(plan, max_iterations=value)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("first_bad", range(6))
    def test_arguments_are_converted_in_parameter_order(self, plan, first_bad):
        bad = dict(zip(PLANNER_PARAMETERS, ["s", "g", "b", "o", "x", "x"]))
        overrides = {name: bad[name] for name in PLANNER_PARAMETERS[first_bad:]}
        error = raised(planner_call(plan, **overrides))
        assert type(error) is TypeError
        assert error.args[0].startswith(f"argument '{PLANNER_PARAMETERS[first_bad]}': ")

    def test_later_arguments_are_not_looked_at_after_a_failure(self, plan):
        log = []
        error = raised(planner_call(plan, goal=5, boundaries=[Recorder(1, log)], step_size=Recorder(2, log)))
        assert error.args == ("argument 'goal': 'int' object cannot be converted to 'Sequence'",)
        assert log == []


class RaisesOnStr:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error


class KeywordRaisingOnStr(str):
    """A keyword name, matching no parameter, whose str() raises `error`."""

    def __new__(cls, error):
        keyword = super().__new__(cls, "bogus")
        keyword.error = error
        return keyword

    def __str__(self):
        raise self.error


def unnamable(error):
    """An object whose type's __qualname__ lookup raises `error`."""

    class RaisingQualname(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise error
            return super().__getattribute__(name)

    return RaisingQualname("Unnamable", (), {})()


class UserStop(BaseException):
    pass


# Every place where an ordinary error is dropped (with a documented fallback) or replaced by
# another one: (vector_add, plan, error) -> a call that makes user code raise `error` there.
DROPPING_PLACES = {
    "number attempt of vector_b": lambda f, p, e: f([1.0], Raising(e)),
    "size hint of vector_a": lambda f, p, e: f(Sized([1.0], e), 1.0),
    "size hint of vector_b": lambda f, p, e: f([1.0], Sized([2.0], e)),
    "size hint of obstacles": lambda f, p, e: planner_call(p, obstacles=Sized([[1.0, 2.0]], e))(),
    "size hint of an obstacle": lambda f, p, e: planner_call(p, obstacles=[Sized([1.0], e)])(),
    "type name in a message": lambda f, p, e: f(unnamable(e), [1]),
    "text of a wrapped TypeError": lambda f, p, e: f([Raising(TypeError(RaisesOnStr(e)))], [1]),
    "text of an unexpected keyword": lambda f, p, e: f([1.0], [2.0], **{KeywordRaisingOnStr(e): 1}),
}


class TestErrorsThatAreNeverDropped:
    @pytest.mark.parametrize(
        "make_error",
        [lambda: KeyboardInterrupt(), lambda: SystemExit(3), lambda: MemoryError("user"), lambda: UserStop()],
        ids=["KeyboardInterrupt", "SystemExit", "MemoryError", "BaseException subclass"],
    )
    @pytest.mark.parametrize("place", DROPPING_PLACES)
    def test_propagates_unchanged(self, vector_add, plan, unraisable, place, make_error):
        error = make_error()
        assert raised(lambda: DROPPING_PLACES[place](vector_add, plan, error)) is error
        assert unraisable == []


class TestReferenceCounts:
    def test_items_are_released_after_success_and_failure(self, vector_add):
        item, bad = Number(3.0), FreshTypeError()
        before = sys.getrefcount(item), sys.getrefcount(bad)
        vector_add([item, item], 1)
        raised(lambda: vector_add([item, bad], 1))
        raised(lambda: vector_add((item, "x"), 1))
        gc.collect()
        assert (sys.getrefcount(item), sys.getrefcount(bad)) == before

    def test_caught_type_error_is_released_after_wrapping(self, vector_add):
        original = TypeError("x")
        element = Raising(original)
        before = sys.getrefcount(original)
        raised(lambda: vector_add([element], 1))
        gc.collect()
        assert sys.getrefcount(original) == before

    def test_planner_arguments_are_released(self, plan):
        arguments = dict(zip(PLANNER_PARAMETERS, [[1, 2], (3, 4), range(2), [[1, 2]], Number(1.0), Index(0)]))
        before = [sys.getrefcount(value) for value in arguments.values()]
        plan(**arguments)
        raised(lambda: plan(**{**arguments, "max_iterations": -1}))
        raised(lambda: plan(**{**arguments, "step_size": "x"}))
        gc.collect()
        assert [sys.getrefcount(value) for value in arguments.values()] == before
