# test_conversions.py: Python values to native floats, indices and float vectors, and the argument-name wrapping.
import array
import collections
import gc
import operator
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

PLANNER_PARAMETERS = ["start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"]
VALID_PLANNER_ARGUMENTS = {
    "start": [1, 2],
    "goal": [3, 4],
    "boundaries": [5, 6],
    "obstacles": [],
    "step_size": 1.0,
    "max_iterations": 0,
}
STR_REFUSED = "Can't extract `str` to `Vec`"


class Outer:
    class Inner:
        pass


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise AttributeError(name)
        return super().__getattribute__(name)


class NumericQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            return 42
        return super().__getattribute__(name)


class Nameless(metaclass=NoQualname):
    pass


class NumericallyNamed(metaclass=NumericQualname):
    pass


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
    """A number whose conversion raises the given exception instance."""

    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    __index__ = __float__


class Recorder:
    def __init__(self, value, log):
        self.value = value
        self.log = log

    def __float__(self):
        self.log.append(self.value)
        return float(self.value)


class TypeErrorSubclass(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot render")


class Sized:
    """A sequence whose __len__ and iteration are independent of each other."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

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


class FailingIteration:
    def __init__(self, error, after):
        self.error = error
        self.after = after

    def __len__(self):
        return self.after + 1

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        yield from range(self.after)
        raise self.error


class BadIter:
    def __init__(self, result=None, error=None):
        self.result = result
        self.error = error

    def __getitem__(self, index):
        raise AssertionError("iteration goes through __iter__")

    def __iter__(self):
        if self.error is not None:
            raise self.error
        return self.result


def convert(vector_add, value):
    """The float vector converted from `value`, observed through a no-op addition."""
    return vector_add(value, 0.0)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def planner_call(plan, **overrides):
    return lambda: plan(**{**VALID_PLANNER_ARGUMENTS, **overrides})


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
        [
            ValueError("no length"),
            TypeError("no length"),
            -1,
            0,
            1,
            2**40,
            2**60 - 1,
            2**63,
        ],
        ids=["raises-ValueError", "raises-TypeError", "negative", "zero", "short", "2**40", "2**60-1", "2**63"],
    )
    def test_size_hint_only_presizes(self, vector_add, length):
        assert convert(vector_add, Sized([1, 2, 3], length)) == [1.0, 2.0, 3.0]

    def test_large_list_converts(self, vector_add):
        values = [float(i) for i in range(1_000_000)]
        result = vector_add(values, 1)
        assert len(result) == 1_000_000
        assert result[0] == 1.0 and result[-1] == 1_000_000.0


class TestFloatVectorRefuses:
    @pytest.mark.parametrize(
        "value, type_name",
        [
            (5, "int"),
            (1.5, "float"),
            (None, "NoneType"),
            ({1: 2}, "dict"),
            ({1, 2}, "set"),
            (frozenset(), "frozenset"),
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
        assert type(error) is TypeError
        assert error.args == (f"argument 'vector_a': '{type_name}' object cannot be converted to 'Sequence'",)

    class Text(str):
        def __float__(self):
            return 1.0

    @pytest.mark.parametrize("value", ["ab", "", Text("12")])
    def test_str_is_refused_even_when_it_is_a_sequence(self, vector_add, value):
        error = raised(lambda: vector_add(value, [1]))
        assert type(error) is TypeError
        assert error.args == (f"argument 'vector_a': {STR_REFUSED}",)

    @pytest.mark.parametrize("item", ["x", None, [1], 1 + 2j, b"1"])
    def test_item_that_is_not_a_number_gets_the_interpreter_text_wrapped(self, vector_add, float_error, item):
        _, text = float_error(item)
        error = raised(lambda: vector_add([1, item], [1, 1]))
        assert type(error) is TypeError
        assert error.args == (f"argument 'vector_a': {text}",)

    def test_float_method_returning_non_float_is_wrapped(self, vector_add, float_error):
        _, text = float_error(Number(1))
        error = raised(lambda: vector_add([Number(1)], [1]))
        assert type(error) is TypeError
        assert error.args == (f"argument 'vector_a': {text}",)

    def test_int_too_large_for_a_double_passes_unwrapped(self, vector_add, float_error):
        error_type, text = float_error(2**1024)
        error = raised(lambda: vector_add([1, 2**1024], [1, 1]))
        assert type(error) is error_type is OverflowError
        assert error.args == (text,)

    def test_first_failing_item_ends_the_conversion(self, vector_add):
        log = []
        items = [Recorder(1, log), "x", Recorder(2, log)]
        assert type(raised(lambda: vector_add(items, 0))) is TypeError
        assert log == [1]


class TestArgumentNameWrapping:
    @pytest.mark.parametrize("error", [ValueError("x"), TypeErrorSubclass("x"), ZeroDivisionError()])
    def test_other_than_exactly_type_error_passes_unchanged(self, vector_add, error):
        assert raised(lambda: vector_add([Raising(error)], [1])) is error

    def test_type_error_is_replaced_with_a_prefixed_one(self, vector_add):
        original = TypeError("x")
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert type(error) is TypeError
        assert error is not original
        assert error.args == ("argument 'vector_a': x",)
        assert error.__cause__ is None
        assert error.__context__ is None

    def test_cause_is_the_caught_errors_cause_not_the_caught_error(self, vector_add):
        cause = KeyError("root")
        original = TypeError("x")
        original.__cause__ = cause
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert error.args == ("argument 'vector_a': x",)
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
    def test_message_is_str_of_the_caught_error(self, vector_add, original, text):
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert error.args == (f"argument 'vector_a': {text}",)

    def test_unprintable_error_is_still_wrapped(self, vector_add, unraisable):
        original = TypeError(Unprintable())
        error = raised(lambda: vector_add([Raising(original)], [1]))
        assert type(error) is TypeError
        assert error.args == ("argument 'vector_a': <unprintable TypeError object>",)
        assert len(unraisable) == 1
        assert unraisable[0].exc_type is RuntimeError
        assert str(unraisable[0].exc_value) == "cannot render"
        assert unraisable[0].object is original


class TestIteration:
    def test_iterator_failing_part_way_passes_its_error(self, vector_add):
        error = RuntimeError("stop")
        assert raised(lambda: vector_add(FailingIteration(error, after=2), [1])) is error

    def test_type_error_from_the_iterator_is_wrapped(self, vector_add):
        error = raised(lambda: vector_add(FailingIteration(TypeError("boom"), after=2), [1]))
        assert type(error) is TypeError
        assert error.args == ("argument 'vector_a': boom",)

    def test_iter_raising_passes_its_error(self, vector_add):
        failure = LookupError("no iterator")
        assert raised(lambda: vector_add(BadIter(error=failure), [1])) is failure

    def test_iter_returning_a_non_iterator_is_wrapped(self, vector_add):
        value = BadIter(result=5)
        with pytest.raises(TypeError) as interpreter:
            iter(value)
        error = raised(lambda: vector_add(value, [1]))
        assert type(error) is TypeError
        assert error.args == (f"argument 'vector_a': {interpreter.value}",)

    def test_content_is_what_the_iterator_yields(self, vector_add):
        assert convert(vector_add, Sized([1, 2, 3, 4, 5], 2)) == [1.0, 2.0, 3.0, 4.0, 5.0]
        assert convert(vector_add, Sized([1], 10)) == [1.0]


class TestPlannerArguments:
    @pytest.mark.parametrize("name", ["start", "goal", "boundaries"])
    @pytest.mark.parametrize(
        "value, message",
        [
            ("ab", STR_REFUSED),
            (5, "'int' object cannot be converted to 'Sequence'"),
            ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_float_vector_arguments(self, plan, name, value, message):
        error = raised(planner_call(plan, **{name: value}))
        assert type(error) is TypeError
        assert error.args == (f"argument '{name}': {message}",)

    @pytest.mark.parametrize(
        "obstacles, message",
        [
            ("ab", STR_REFUSED),
            ([[1, 2], "ab"], STR_REFUSED),
            ([[1, 2], 3], "'int' object cannot be converted to 'Sequence'"),
            (None, "'NoneType' object cannot be converted to 'Sequence'"),
            ([[1, 2], {3}], "'set' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_obstacles(self, plan, obstacles, message):
        error = raised(planner_call(plan, obstacles=obstacles))
        assert type(error) is TypeError
        assert error.args == (f"argument 'obstacles': {message}",)

    def test_obstacle_coordinate_that_is_not_a_number(self, plan, float_error):
        _, text = float_error("x")
        error = raised(planner_call(plan, obstacles=[[1, 2], [1, "x"]]))
        assert error.args == (f"argument 'obstacles': {text}",)

    def test_obstacle_coordinate_value_error_passes_unchanged(self, plan):
        failure = ValueError("inner")
        assert raised(planner_call(plan, obstacles=[[Raising(failure)]])) is failure

    @pytest.mark.parametrize(
        "obstacles",
        [[[1, 2], [3], []], ((1, 2), range(2)), [b"\x01\x02"], Sized([[1, 2]], ValueError())],
    )
    def test_obstacle_lists_that_convert(self, plan, obstacles):
        assert planner_call(plan, obstacles=obstacles)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("value", ["1.5", None, [1.0]])
    def test_step_size_that_is_not_a_number(self, plan, float_error, value):
        _, text = float_error(value)
        error = raised(planner_call(plan, step_size=value))
        assert type(error) is TypeError
        assert error.args == (f"argument 'step_size': {text}",)

    def test_step_size_errors(self, plan, float_error):
        overflow = raised(planner_call(plan, step_size=2**1024))
        assert type(overflow) is OverflowError
        assert overflow.args == (float_error(2**1024)[1],)
        wrapped = raised(planner_call(plan, step_size=Raising(TypeError("x"))))
        assert wrapped.args == ("argument 'step_size': x",)

    @pytest.mark.parametrize("step_size", [-1.0, Number(-1.0), -1, 0, float("nan"), True])
    def test_step_size_accepts_numbers(self, plan, step_size):
        assert planner_call(plan, step_size=step_size)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("value", [-1, 2**64, -(2**70)])
    def test_max_iterations_out_of_range_is_the_interpreters_overflow(self, plan, unsigned_error, value):
        error_type, text = unsigned_error(value)
        error = raised(planner_call(plan, max_iterations=value))
        assert type(error) is error_type is OverflowError
        assert error.args == (text,)

    @pytest.mark.parametrize("value", [1.0, "3", None, Index(1.5)])
    def test_max_iterations_that_is_not_an_integer_is_wrapped(self, plan, value):
        with pytest.raises(TypeError) as interpreter:
            operator.index(value)
        error = raised(planner_call(plan, max_iterations=value))
        assert type(error) is TypeError
        assert error.args == (f"argument 'max_iterations': {interpreter.value}",)

    def test_max_iterations_error_of_other_type_passes_unchanged(self, plan):
        failure = ArithmeticError("no index")
        assert raised(planner_call(plan, max_iterations=Raising(failure))) is failure

    @pytest.mark.parametrize("value", [0, False, Index(0)])
    def test_max_iterations_zero_in_any_form(self, plan, value):
        assert planner_call(plan, max_iterations=value)().nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize("first_bad", range(6))
    def test_arguments_are_converted_in_parameter_order(self, plan, first_bad):
        bad = {"start": "s", "goal": "g", "boundaries": "b", "obstacles": "o", "step_size": "x", "max_iterations": "x"}
        overrides = {name: bad[name] for name in PLANNER_PARAMETERS[first_bad:]}
        error = raised(planner_call(plan, **overrides))
        assert type(error) is TypeError
        assert error.args[0].startswith(f"argument '{PLANNER_PARAMETERS[first_bad]}': ")

    def test_later_arguments_are_not_looked_at_after_a_failure(self, plan):
        log = []
        error = raised(planner_call(plan, goal=5, boundaries=[Recorder(1, log)], step_size=Recorder(2, log)))
        assert error.args == ("argument 'goal': 'int' object cannot be converted to 'Sequence'",)
        assert log == []


class FreshTypeError:
    """A number that raises a new TypeError on every conversion."""

    def __float__(self):
        raise TypeError("x")


class TestReferenceCounts:
    def test_items_are_released_after_success_and_failure(self, vector_add):
        item = Number(3.0)
        bad = FreshTypeError()
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
        arguments = {
            "start": [1, 2],
            "goal": (3, 4),
            "boundaries": range(2),
            "obstacles": [[1, 2]],
            "step_size": Number(1.0),
            "max_iterations": Index(0),
        }
        before = [sys.getrefcount(value) for value in arguments.values()]
        plan(**arguments)
        raised(lambda: plan(**{**arguments, "max_iterations": -1}))
        raised(lambda: plan(**{**arguments, "step_size": "x"}))
        gc.collect()
        assert [sys.getrefcount(value) for value in arguments.values()] == before
