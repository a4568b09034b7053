"""stubtest_tarn.py: mypy's stubtest, extended to tarn's submodules and its Tree class.

stubtest compares a stub with the modules it can import, so on its own it sees only the top of
tarn: the submodules are attributes, not importable modules, and the stub describes each by the
type of that attribute, while Tree is bound in no module. This runs stubtest unchanged (same
options, allowlist and output) and adds the same comparisons for every function and class that
hangs below those attributes.

Usage: python tests/typing/stubtest_tarn.py tarn --allowlist tests/typing/stubtest_allowlist.txt
"""

from __future__ import annotations

import sys
import types
from collections.abc import Iterator

import mypy.stubtest as stubtest
from mypy import nodes
from mypy.types import Instance, get_proper_type

import tarn


def module_type_of(node: nodes.Node | stubtest.Missing) -> nodes.TypeInfo | None:
    """The class that the stub gives as the type of a submodule attribute, or None."""
    if not isinstance(node, nodes.Var) or node.type is None:
        return None
    declared = get_proper_type(node.type)
    if isinstance(declared, Instance) and declared.type.has_base("tarn._Module"):
        return declared.type
    return None


def verify_submodule(
    info: nodes.TypeInfo, runtime: object, path: list[str]
) -> Iterator[stubtest.Error]:
    """Checks a submodule's stub class member by member, as stubtest checks a module."""
    if not isinstance(runtime, types.ModuleType):
        yield stubtest.Error(path, "is not a module at runtime", info, runtime)
        return
    in_stub = {name for name in info.names if name.isidentifier()}
    for name in sorted(in_stub | set(runtime.__all__)):
        node = info.names[name].node if name in info.names else stubtest.MISSING
        yield from verify_attribute(node, getattr(runtime, name, stubtest.MISSING), path + [name])


def verify_attribute(
    node: nodes.Node | None | stubtest.Missing, runtime: object, path: list[str]
) -> Iterator[stubtest.Error]:
    submodule = module_type_of(node) if node is not None else None
    if submodule is not None:
        yield from verify_submodule(submodule, runtime, path)
    elif node is not None:
        yield from stubtest.verify(node, runtime, path)


def verify_below_top(stub: nodes.MypyFile) -> Iterator[stubtest.Error]:
    for name, symbol in sorted(stub.names.items()):
        if symbol.node is not None and module_type_of(symbol.node) is not None:
            yield from verify_attribute(symbol.node, getattr(tarn, name, stubtest.MISSING), ["tarn", name])
    tree_info = stub.names["Tree"].node
    assert isinstance(tree_info, nodes.TypeInfo)
    # Tree is reachable only through a planner result; no iterations gives one at once.
    tree_class = type(tarn.rrt.rapidly_exploring_random_tree([0], [0], [1, 1], [], 0, 0))
    yield from stubtest.verify_typeinfo(tree_info, tree_class, ["tarn", "Tree"], is_alias_target=True)


def test_module_and_below(module_name: str) -> Iterator[stubtest.Error]:
    yield from original_test_module(module_name)
    stub = stubtest.get_stub(module_name)
    if module_name == "tarn" and stub is not None:
        yield from verify_below_top(stub)


original_test_module = stubtest.test_module
stubtest.test_module = test_module_and_below

if __name__ == "__main__":
    sys.exit(stubtest.main())
