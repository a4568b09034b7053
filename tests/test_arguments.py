# test_arguments.py: matching positional and keyword arguments against the parameter tables.
import pytest
from conftest import VECTORCALL_EXPORTED, Nameless, NoQualname, UnprintableKeyword, Untouchable, message, vectorcall

RRT = "rapidly_exploring_random_tree()"


class RenamedKeyword(str):
    """A keyword whose text for str() differs from its own characters."""

    def __str__(self):
        return "renamed"


class AnonymousUnprintableKeyword(UnprintableKeyword, metaclass=NoQualname):
    pass


class TestMissingArguments:
    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            ((), {}, "vector_add() missing 2 required positional arguments: 'vector_a' and 'vector_b'"),
            (([1],), {}, "vector_add() missing 1 required positional argument: 'vector_b'"),
            ((), {"vector_b": [1]}, "vector_add() missing 1 required positional argument: 'vector_a'"),
        ],
    )
    def test_vector_add(self, vector_add, args, kwargs, expected):
        assert message(TypeError, lambda: vector_add(*args, **kwargs)) == expected

    @pytest.mark.parametrize(
        "args, kwargs, expected",
        [
            (
                (),
                {},
                RRT + " missing 6 required positional arguments: 'start', 'goal', 'boundaries', "
                "'obstacles', 'step_size', and 'max_iterations'",
            ),
            (
                ([0, 0],),
                {"obstacles": [], "step_size": 1.0},
                RRT + " missing 3 required positional arguments: 'goal', 'boundaries', and "
                "'max_iterations'",
            ),
            (
                ([0, 0], [1, 1], [2, 2], [], 1.0),
                {},
                RRT + " missing 1 required positional argument: 'max_iterations'",
            ),
            (
                (),
                {"max_iterations": 0, "goal": [1]},
                RRT + " missing 4 required positional arguments: 'start', 'boundaries', "
                "'obstacles', and 'step_size'",
            ),
        ],
    )
    def test_planner(self, plan, args, kwargs, expected):
        assert message(TypeError, lambda: plan(*args, **kwargs)) == expected

    def test_parser_fails_before_any_conversion(self, vector_add, plan):
        assert message(TypeError, lambda: vector_add(Untouchable())).startswith("vector_add() missing 1")
        assert message(TypeError, lambda: plan(Untouchable(), Untouchable())).startswith(RRT + " missing 4")


class TestTooManyPositional:
    def test_planner(self, plan):
        expected = RRT + " takes 6 positional arguments but 7 were given"
        assert message(TypeError, lambda: plan(*range(7), bogus=1)) == expected


class TestKeywords:
    def test_every_parameter_may_be_given_by_keyword_in_any_order(self, vector_add):
        assert vector_add(vector_b=[1], vector_a=[2]) == [3.0]
        assert vector_add([2], vector_b=[1]) == [3.0]

    def test_planner_accepts_keywords_in_any_order(self, plan):
        tree = plan(
            max_iterations=0,
            step_size=1.0,
            obstacles=[],
            boundaries=[],
            goal=[9, 9],
            start=[1, 2],
        )
        assert tree.nodes == [[1.0, 2.0]]

    @pytest.mark.parametrize(
        "call, expected",
        [
            # Too many positional arguments are refused before any keyword is looked at.
            (lambda f: f(1, 2, 3), "vector_add() takes 2 positional arguments but 3 were given"),
            (lambda f: f(1, 2, 3, bogus=4), "vector_add() takes 2 positional arguments but 3 were given"),
            (lambda f: f(1, 2, 3, vector_a=4), "vector_add() takes 2 positional arguments but 3 were given"),
            (lambda f: f(*range(10)), "vector_add() takes 2 positional arguments but 10 were given"),
            # Then the keywords, in the order they were given.
            (lambda f: f([1], vector_a=[2]), "vector_add() got multiple values for argument 'vector_a'"),
            (
                lambda f: f([1], [2], vector_b=[2]),
                "vector_add() got multiple values for argument 'vector_b'",
            ),
            (
                lambda f: f([1], vector_a=[2], bogus=1),
                "vector_add() got multiple values for argument 'vector_a'",
            ),
            (
                lambda f: f([1], bogus=1, vector_a=[2]),
                "vector_add() got an unexpected keyword argument 'bogus'",
            ),
        ],
    )
    def test_the_first_failure_in_walking_order_wins(self, vector_add, call, expected):
        assert message(TypeError, lambda: call(vector_add)) == expected

    @pytest.mark.parametrize(
        "keyword",
        ["bogus", "Vector_a", "vector_a ", "vector_\u0430", "\uff56ector_a", "é", "vector_a\x00"],
    )
    def test_unexpected_keyword_is_matched_byte_for_byte(self, vector_add, keyword):
        expected = f"vector_add() got an unexpected keyword argument '{keyword}'"
        assert message(TypeError, lambda: vector_add(**{keyword: 1})) == expected

    def test_unexpected_keyword_is_reported_before_missing_arguments(self, vector_add, plan):
        assert message(TypeError, lambda: vector_add(bogus=1)) == (
            "vector_add() got an unexpected keyword argument 'bogus'"
        )
        assert message(TypeError, lambda: plan(start=[0], zeta=1, alpha=2)) == (
            RRT + " got an unexpected keyword argument 'zeta'"
        )

    def test_lone_surrogate_keyword_is_unexpected_with_replacement_text(self, vector_add):
        expected = "vector_add() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"
        assert message(TypeError, lambda: vector_add([1], [2], **{"\udcff": 1})) == expected

    def test_lone_surrogate_does_not_match_a_parameter_prefix(self, vector_add):
        expected = "vector_add() got an unexpected keyword argument 'vector_b\ufffd\ufffd\ufffd'"
        assert message(TypeError, lambda: vector_add([1], **{"vector_b\udcff": [2]})) == expected

    def test_str_subclass_keyword_matches_by_its_characters(self, vector_add):
        assert vector_add([1], **{RenamedKeyword("vector_b"): [2]}) == [3.0]

    def test_multiple_values_message_names_the_keyword_characters(self, vector_add):
        expected = "vector_add() got multiple values for argument 'vector_a'"
        assert message(TypeError, lambda: vector_add([1], **{RenamedKeyword("vector_a"): [2]})) == expected

    def test_unexpected_keyword_message_renders_with_str(self, vector_add):
        expected = "vector_add() got an unexpected keyword argument 'renamed'"
        assert message(TypeError, lambda: vector_add(**{RenamedKeyword("bogus"): 1})) == expected

    def test_unprintable_keyword_goes_to_unraisable_hook(self, vector_add, unraisable):
        keyword = UnprintableKeyword("bogus")
        expected = "vector_add() got an unexpected keyword argument '<unprintable UnprintableKeyword object>'"
        assert message(TypeError, lambda: vector_add(**{keyword: 1})) == expected
        assert len(unraisable) == 1
        assert unraisable[0].exc_type is RuntimeError
        assert str(unraisable[0].exc_value) == "no text for you"
        assert unraisable[0].object is keyword

    def test_unprintable_keyword_without_type_name(self, vector_add, unraisable):
        keyword = AnonymousUnprintableKeyword("bogus")
        expected = "vector_add() got an unexpected keyword argument '<unprintable object>'"
        assert message(TypeError, lambda: vector_add(**{keyword: 1})) == expected
        assert [hook.exc_type for hook in unraisable] == [RuntimeError]


@pytest.mark.skipif(
    not VECTORCALL_EXPORTED, reason="no exported PyObject_Vectorcall"
)
class TestNativeCallers:
    def test_vectorcall_with_keywords_matches_like_python(self, vector_add):
        assert vectorcall(vector_add, [[1, 2]], ["vector_b"], [[10, 20]]) == [11.0, 22.0]

    @pytest.mark.parametrize(
        "name, type_name",
        [(1, "int"), (b"vector_b", "bytes"), (None, "NoneType")],
    )
    def test_keyword_name_that_is_not_str(self, vector_add, name, type_name):
        expected = f"'{type_name}' object cannot be converted to 'PyString'"
        assert message(TypeError, lambda: vectorcall(vector_add, [[1]], [name], [[2]])) == expected

    def test_keyword_name_whose_type_has_no_name(self, vector_add):
        expected = "'<failed to extract type name>' object cannot be converted to 'PyString'"
        assert message(TypeError, lambda: vectorcall(vector_add, [[1]], [Nameless()], [[2]])) == expected

    def test_keyword_given_twice(self, vector_add):
        expected = "vector_add() got multiple values for argument 'vector_b'"
        call = lambda: vectorcall(vector_add, [[1]], ["vector_b", "vector_b"], [[2], [3]])  # noqa: E731
        assert message(TypeError, call) == expected

    def test_non_str_keyword_is_checked_in_walking_order(self, vector_add):
        expected = "vector_add() got an unexpected keyword argument 'bogus'"
        call = lambda: vectorcall(vector_add, [], ["bogus", 1], [[1], [2]])  # noqa: E731
        assert message(TypeError, call) == expected
