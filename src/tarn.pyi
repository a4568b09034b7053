# tarn.pyi: the types of the module tree, for type checkers and editors.
#
# tarn is one extension module whose submodules are plain module objects held as attributes,
# not entries of sys.modules, so `import tarn.rrt` fails. Each submodule is therefore described
# here as the type of an attribute, and no stub file exists for it. `Tree` is bound in no module
# at run time: it is declared here for annotations only.
"""Vector addition and rapidly-exploring random trees, in one native extension.

Reach the services as ``tarn.moremath.vectors.vector_add`` and
``tarn.rrt.rapidly_exploring_random_tree``; submodules are attributes, not importable
modules. Faults raise ``PanicException``, a ``BaseException`` that ``except Exception`` does
not catch.
"""

from collections.abc import Iterator, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeVar, final, type_check_only

from typing_extensions import Self, TypeAlias, disjoint_base

__all__ = ["moremath", "rrt"]

_T_co = TypeVar("_T_co", covariant=True)

@type_check_only
class _ArrayLike(Protocol[_T_co]):
    """A sequence with an ``__array__`` method, as NumPy arrays are; read from its buffer when it
    exports one, item by item otherwise."""

    def __array__(self) -> object: ...
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> _T_co: ...

# What converts to a float: floats, ints, bools, objects with __float__ or __index__ (no strings).
_Number: TypeAlias = SupportsFloat | SupportsIndex
# A str is a sequence too, but of strings, so neither alternative admits it.
_Vector: TypeAlias = Sequence[_Number] | _ArrayLike[_Number]
_Points: TypeAlias = Sequence[_Vector] | _ArrayLike[_Vector]

# A disjoint base: its instance layout is native, so no class can derive from it and from another
# class with a layout of its own.
@disjoint_base
@type_check_only
class Tree:
    """A search tree: a list of points (``nodes``) and, for every node, the indices of its
    children (``adjacency_list``). Node 0 is the root.

    Returned by ``tarn.rrt.rapidly_exploring_random_tree``. The class is bound in no module:
    reach it at run time as ``type(tree)``, and import it only for annotations
    (``if typing.TYPE_CHECKING: from tarn import Tree``). It can be subclassed. A method called
    from code that runs while another method of the same tree converts its arguments raises
    ``RuntimeError`` ("Already borrowed" or "Already mutably borrowed").
    """

    def __new__(cls, start: _Vector) -> Self:
        """A tree whose only node is ``start``, stored unchanged (any length).

        Raises ``TypeError`` when ``start`` is not a sequence of numbers (a ``str`` included),
        ``PanicException`` "capacity overflow" when its ``__len__`` reports 2**60 or more.
        """

    @property
    def nodes(self) -> list[list[float]]:
        """Every node's coordinates, as new lists built on every read: read it once."""

    @property
    def adjacency_list(self) -> list[list[int]]:
        """The children of every node in attachment order, as new lists built on every read."""

    def push(self, node: _Vector) -> None:
        """Appends ``node`` (any length) as a new node without children.

        Raises ``TypeError`` when ``node`` is not a sequence of numbers, ``PanicException``
        "capacity overflow" when its ``__len__`` reports 2**60 or more; the tree is then
        unchanged.
        """

    def connect(self, parent_index: SupportsIndex, child_index: SupportsIndex) -> None:
        """Appends ``child_index`` to the children of ``parent_index``; the child index is not
        checked.

        Raises ``TypeError`` for an index that is not an int, ``OverflowError`` for a negative
        one or one of 2**64 and more, and ``PanicException`` "index out of bounds: the len is N
        but the index is P" when ``parent_index`` is not below ``len(self)``; the tree is then
        unchanged.
        """

    def __getitem__(self, index: SupportsIndex, /) -> list[float]:
        """A copy of node ``index``.

        Raises ``OverflowError`` for a negative index and ``PanicException`` "index out of
        bounds: the len is N but the index is I" for one at or beyond ``len(self)``, not
        ``IndexError``.
        """

    def __len__(self) -> int:
        """The number of nodes, at least 1."""

    def __iter__(self) -> Iterator[list[float]]:
        """Copies of the nodes in index order."""

    def __contains__(self, node: object, /) -> bool:
        """Whether some node equals ``node``, compared with every node in index order."""

# Submodules are typed by classes of their own rather than as types.ModuleType, whose
# __getattr__ would let every misspelt attribute through as Any.
@type_check_only
class _Module:
    """A module object of tarn's tree, held as an attribute of its parent."""

    __name__: str
    __all__: list[str]

@final
@type_check_only
class _VectorsModule(_Module):
    """The module ``tarn.moremath.vectors``."""

    @staticmethod
    def vector_add(vector_a: _Vector, vector_b: _Number | _Vector) -> list[float]:
        """Element-wise sum of two vectors over the shorter length, or ``vector_b`` added to
        every element of ``vector_a`` when it is a number, as a new list of float.

        A one-element sequence is not broadcast; an object that is both a number and a
        sequence counts as a number. With an empty ``vector_a`` the result is ``[]``.

        Raises ``TypeError`` when ``vector_a`` is not a sequence of numbers (a ``str``
        included) or ``vector_b`` neither a number nor one, ``PanicException``
        "capacity overflow" when a sequence's ``__len__`` reports 2**60 or more elements.
        """

@final
@type_check_only
class _MoremathModule(_Module):
    """The module ``tarn.moremath``."""

    vectors: _VectorsModule

@final
@type_check_only
class _RrtModule(_Module):
    """The module ``tarn.rrt``."""

    @staticmethod
    def rapidly_exploring_random_tree(
        start: _Vector,
        goal: _Vector,
        boundaries: _Vector,
        obstacles: _Points,
        step_size: _Number,
        max_iterations: SupportsIndex,
    ) -> Tree:
        """Grows a tree from ``start`` by samples drawn uniformly from [0, boundaries[0]) x
        [0, boundaries[1]), each attached as drawn to its nearest node (ties to the lowest
        index). A sample closer than 1.0 to an obstacle point is rejected. The search stops
        when a new node is closer than ``step_size`` to ``goal``, which is then attached as the
        last node, or after ``max_iterations`` accepted samples.

        Raises ``TypeError`` when an argument cannot be converted, ``OverflowError`` for a
        negative ``max_iterations``, ``ValueError`` after 10,000,000 consecutive rejected
        samples, and ``PanicException`` for ``boundaries`` shorter than 2 ("index out of
        bounds: ..."), with an extent that is not positive ("cannot sample empty range") or
        infinite ("UniformSampler::sample_single: range overflow"), and "capacity overflow"
        when a sequence's ``__len__`` reports 2**60 or more elements, or ``obstacles`` reports
        384,307,168,202,282,326 (about 2**58.4) or more. Ctrl-C ends the call.
        """

moremath: _MoremathModule
rrt: _RrtModule
