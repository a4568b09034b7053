# test_vector_add.py: element-wise addition, broadcasting of numbers and the errors of vector_b.
import gc
import math
import sys
from decimal import Decimal
from fractions import Fraction

import pytest
from conftest import Index, Number, Raising, Untouchable, raised

STR_REFUSED = "Can't extract `str` to `Vec`"
INF = float("inf")
NAN = float("nan")


class NumberList(list):
    """Both a number and a sequence of numbers."""

    def __float__(self):
        return 100.0


class NotQuiteNumberList(list):
    """A sequence whose float conversion fails with the given exception."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __float__(self):
        raise self.error


class Unconvertible:
    """Neither a number nor a sequence; raises a new error on each attempt."""

    def __float__(self):
        raise ValueError("no")


class TextNumber(str):
    def __float__(self):
        return 0.5


class FloatSub(float):
    pass


def same_floats(actual, expected):
    """Bitwise comparison that treats every NaN as equal to every NaN."""
    assert len(actual) == len(expected)
    for a, e in zip(actual, expected):
        assert type(a) is float
        if math.isnan(e):
            assert math.isnan(a)
        else:
            assert a == e and math.copysign(1.0, a) == math.copysign(1.0, e)


class TestSum:
    @pytest.mark.parametrize(
        "a, b, expected",
        [
            # Element-wise, over the shorter length.
            ([1, 2, 3], [10, 20, 30], [11.0, 22.0, 33.0]),
            ([1, 2, 3], [10, 20], [11.0, 22.0]),
            ([1], [10, 20, 30], [11.0]),
            ([1, 2], [5], [6.0]),
            ([1, 2], [], []),
            ((1.5, 2.5), range(2), [1.5, 3.5]),
            ([1, 2], b"\x0a\x14", [11.0, 22.0]),
            ([0.1], [0.2], [0.1 + 0.2]),
            ([2**53], [1], [float(2**53)]),
            ([-0.0], [-0.0], [-0.0]),
            ([-0.0], [0.0], [0.0]),
            ([-1.0], [0], [-1.0]),
            ([INF, INF, 1e308, NAN], [1, -INF, 1e308, 1], [INF, NAN, INF, NAN]),
            # A number is added to every element.
            ([1, 2, 3], 10, [11.0, 12.0, 13.0]),
            ([1, 2], True, [2.0, 3.0]),
            ([1, 2], False, [1.0, 2.0]),
            ([1.5], 0, [1.5]),
            ([1, 2], -1.0, [0.0, 1.0]),
            ([1], 2.5, [3.5]),
            ([1], Fraction(1, 4), [1.25]),
            ([1], Decimal("0.5"), [1.5]),
            ([1], Index(4), [5.0]),
            ([1], Number(-1.0), [0.0]),
            ([1, 2], NumberList([7, 8]), [101.0, 102.0]),
            ([1], TextNumber("ab"), [1.5]),
            ([1, -INF], NAN, [NAN, NAN]),
            ([1, -INF], INF, [INF, NAN]),
            ([-0.0], -0.0, [-0.0]),
            # Exact lists and tuples are read in place; other items in them convert as anywhere else.
            ([1.0, 2], (3, 4.5), [4.0, 6.5]),
            ((1.0, 2.0), [True, False], [2.0, 2.0]),
            ([FloatSub(1.5), 1], [1, FloatSub(0.5)], [2.5, 1.5]),
            ([1.0, 2.0], 2**53 + 1, [float(2**53 + 1) + 1.0, float(2**53 + 1) + 2.0]),
        ],
    )
    def test_sum(self, vector_add, a, b, expected):
        same_floats(vector_add(a, b), expected)


class TestBroadcast:
    @pytest.mark.parametrize("error", [TypeError("no"), ValueError("no"), OverflowError("no")])
    def test_failed_number_attempt_falls_back_to_the_sequence(self, vector_add, error):
        assert vector_add([1, 2], NotQuiteNumberList([10, 20], error)) == [11.0, 22.0]


class TestEmptyFirstVector:
    @pytest.mark.parametrize(
        "b",
        ["anything", None, Untouchable(), 2**1024, [1, "x"]],
        ids=["str", "None", "untouchable", "huge-int", "bad-list"],
    )
    def test_second_argument_is_never_examined(self, vector_add, b):
        assert vector_add([], b) == []
        assert vector_add(b"", b) == []


class TestSecondArgumentErrors:
    @pytest.mark.parametrize(
        "b, message",
        [
            ("ab", STR_REFUSED),
            ("", STR_REFUSED),
            (None, "'NoneType' object cannot be converted to 'Sequence'"),
            ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
            ((x for x in [1]), "'generator' object cannot be converted to 'Sequence'"),
            (2**1024, "'int' object cannot be converted to 'Sequence'"),
            (1 + 2j, "'complex' object cannot be converted to 'Sequence'"),
            (Raising(ValueError("no")), "'Raising' object cannot be converted to 'Sequence'"),
        ],
    )
    def test_errors_are_not_wrapped(self, vector_add, b, message):
        error = raised(lambda: vector_add([1, 2], b))
        assert type(error) is TypeError
        assert error.args == (message,)

    def test_element_error_is_the_interpreters_unwrapped(self, vector_add, float_error):
        _, text = float_error("x")
        error = raised(lambda: vector_add([1, 2], [1, "x"]))
        assert type(error) is TypeError
        assert error.args == (text,)

    @pytest.mark.parametrize("error", [TypeError("x"), ValueError("x")])
    def test_element_error_is_raised_as_it_is(self, vector_add, error):
        assert raised(lambda: vector_add([1], [Raising(error)])) is error

    def test_first_argument_is_converted_first(self, vector_add):
        error = raised(lambda: vector_add("ab", Untouchable()))
        assert error.args == (f"argument 'vector_a': {STR_REFUSED}",)
        error = raised(lambda: vector_add([1, None], Untouchable()))
        assert error.args[0].startswith("argument 'vector_a': ")


class TestResultOwnership:
    def test_result_is_a_new_list_each_call(self, vector_add):
        a = [1.0, 2.0]
        first = vector_add(a, 0)
        second = vector_add(a, 0)
        assert first == second == a
        assert first is not a and second is not first
        first.append(99.0)
        first[0] = -5.0
        assert vector_add(a, 0) == [1.0, 2.0]

    def test_arguments_are_left_unchanged(self, vector_add):
        a, b = [1, 2.5, True], [Number(1.0), 2, 3]
        a_items, b_items = list(a), list(b)
        vector_add(a, b)
        vector_add(a, 1)
        raised(lambda: vector_add(a, [1, "x"]))
        assert all(x is y for x, y in zip(a, a_items)) and len(a) == 3
        assert all(x is y for x, y in zip(b, b_items)) and len(b) == 3


class TestReferenceCounts:
    @pytest.mark.parametrize(
        "b",
        [
            [1.0, 2.0],
            Number(1.0),
            NumberList([1, 2]),
            Unconvertible(),
            [1.0, "x"],
            "text",
            object(),
        ],
        ids=["list", "number", "number-list", "unconvertible", "bad-element", "str", "object"],
    )
    def test_second_argument_is_released_on_every_way_out(self, vector_add, b):
        a = [1.0, 2.0]
        before = sys.getrefcount(a), sys.getrefcount(b)
        for first in (a, [], "refused"):
            try:
                vector_add(first, b)
            except TypeError:
                pass
        gc.collect()
        assert (sys.getrefcount(a), sys.getrefcount(b)) == before


class TestListsReadInPlace:
    """Exact lists and tuples of floats and ints are read directly; anything else in
    them must give exactly what the general conversion gives (their sums are in TestSum)."""

    @pytest.mark.parametrize("a, b", [([1.0], [2.0, 2**2000]), ([1.0, 2**2000], [2.0])])
    def test_surplus_items_are_still_converted(self, vector_add, a, b):
        with pytest.raises(OverflowError, match="int too large to convert to float"):
            vector_add(a, b)

    def test_finalizer_that_empties_an_operand_cannot_crash(self, vector_add):
        operand = [1.0] * 1000

        class Emptier:
            def __del__(self):
                operand.clear()

        thresholds = gc.get_threshold()
        try:
            gc.set_threshold(1)
            for _ in range(200):
                cycle = [Emptier()]
                cycle.append(cycle)
                del cycle
                result = vector_add(operand, operand)
                assert result in ([2.0] * 1000, [])
                operand[:] = [1.0] * 1000
        finally:
            gc.set_threshold(*thresholds)
