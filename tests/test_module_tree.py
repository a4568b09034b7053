# test_module_tree.py: the module tree, its registered functions and the once-only initialisation.
import inspect
import re
import sys
import types

import pytest

import tarn

ONCE_ONLY = "only once per interpreter process"

# Loads the installed shared object under another module name, as the
# interpreter would if the file were named after one of the submodules.
LOAD_AS = """
import importlib.machinery
import importlib.util

def load_as(name):
    path = importlib.util.find_spec("tarn").origin
    loader = importlib.machinery.ExtensionFileLoader(name, path)
    spec = importlib.util.spec_from_file_location(name, path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
"""

MODULES = {
    "tarn": lambda: tarn,
    "moremath": lambda: tarn.moremath,
    "vectors": lambda: tarn.moremath.vectors,
    "rrt": lambda: tarn.rrt,
}


class TestTree:
    @pytest.mark.parametrize(
        "name, expected_all",
        [
            ("tarn", ["moremath", "rrt"]),
            ("moremath", ["vectors"]),
            ("vectors", ["vector_add"]),
            ("rrt", ["rapidly_exploring_random_tree"]),
        ],
    )
    def test_all_lists_what_was_added_in_order(self, name, expected_all):
        module = MODULES[name]()
        assert type(module.__all__) is list
        assert module.__all__ == expected_all

    @pytest.mark.parametrize("name", MODULES)
    def test_module_is_plain_with_bare_name_and_empty_doc(self, name):
        module = MODULES[name]()
        assert type(module) is types.ModuleType
        assert module.__name__ == name
        assert module.__doc__ == ""

    @pytest.mark.parametrize("name", MODULES)
    def test_nothing_public_beyond_all(self, name):
        # So no Tree class and no PanicException either.
        module = MODULES[name]()
        public = {attr for attr in vars(module) if not attr.startswith("__")}
        assert public == set(module.__all__)

    def test_submodule_attributes_hold_the_submodules(self):
        assert tarn.moremath.vectors.vector_add.__self__ is tarn.moremath.vectors
        assert tarn.rrt.rapidly_exploring_random_tree.__self__ is tarn.rrt

    def test_star_import_binds_exactly_the_submodules(self):
        namespace = {}
        exec("from tarn import *", namespace)
        del namespace["__builtins__"]
        assert namespace == {"moremath": tarn.moremath, "rrt": tarn.rrt}

    def test_submodules_are_not_registered_in_sys_modules(self):
        for name in ("moremath", "vectors", "rrt", "tarn.moremath", "tarn.rrt"):
            assert name not in sys.modules

    def test_submodule_cannot_be_imported_by_dotted_name(self):
        with pytest.raises(ModuleNotFoundError):
            __import__("tarn.rrt")


@pytest.mark.parametrize(
    "module_name, function_name, parameters",
    [
        ("vectors", "vector_add", ["vector_a", "vector_b"]),
        (
            "rrt",
            "rapidly_exploring_random_tree",
            ["start", "goal", "boundaries", "obstacles", "step_size", "max_iterations"],
        ),
    ],
)
def test_registered_function(module_name, function_name, parameters):
    module = MODULES[module_name]()
    function = getattr(module, function_name)
    assert type(function) is types.BuiltinFunctionType
    assert (function.__name__, function.__qualname__) == (function_name, function_name)
    assert function.__module__ == module_name
    assert function.__self__ is module
    assert function.__doc__ is None
    assert function.__text_signature__ == "(" + ", ".join(parameters) + ")"
    signature = inspect.signature(function)
    assert list(signature.parameters) == parameters
    for parameter in signature.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert parameter.default is inspect.Parameter.empty


class TestOnceOnlyInitialisation:
    def test_reimport_after_removal_is_refused_and_first_module_keeps_working(self, run_python):
        result = run_python("""
            import sys
            import tarn
            first = tarn
            del sys.modules["tarn"]
            try:
                import tarn
            except ImportError as error:
                print(type(error).__name__, error)
            print("tarn" in sys.modules)
            print(first.moremath.vectors.vector_add([1, 2], [3, 4]))
            """)
        assert result.returncode == 0, result.stderr
        refusal, registered, still_working = result.stdout.splitlines()
        assert refusal.startswith("ImportError ")
        assert ONCE_ONLY in refusal
        assert registered == "False"
        assert still_working == "[4.0, 6.0]"
        assert result.stderr == ""

    def test_reload_keeps_the_module_and_its_flag(self, run_python):
        # The interpreter re-executes a single-phase module on reload without
        # calling its entry point, so the module object simply stays as it was.
        result = run_python("""
            import importlib
            import sys
            import tarn
            first = tarn
            print(importlib.reload(tarn) is first, first.moremath.vectors.vector_add([1], 1))
            del sys.modules["tarn"]
            try:
                import tarn
            except ImportError as error:
                print(type(error).__name__, error)
            """)
        assert result.returncode == 0, result.stderr
        reloaded, refusal = result.stdout.splitlines()
        assert reloaded == "True [2.0]"
        assert refusal.startswith("ImportError ")
        assert ONCE_ONLY in refusal

    @pytest.mark.parametrize(
        "name, check",
        [
            ("vectors", "m.__all__ == ['vector_add'] and m.vector_add([1], [2]) == [3.0]"),
            ("moremath", "m.__all__ == ['vectors'] and m.vectors.vector_add([1], 2) == [3.0]"),
            ("rrt", "m.__all__ == ['rapidly_exploring_random_tree']"),
        ],
    )
    def test_file_loads_under_a_submodule_name(self, run_python, name, check):
        result = run_python(LOAD_AS + f"""
m = load_as({name!r})
print(m.__name__, m.__doc__ == "", {check})
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout == f"{name} True True\n"

    @pytest.mark.parametrize(
        "first, second",
        [("vectors", "vectors"), ("moremath", "vectors"), ("rrt", "rrt")],
    )
    def test_module_created_once_is_refused_under_its_own_name(self, run_python, first, second):
        result = run_python(LOAD_AS + f"""
load_as({first!r})
try:
    load_as({second!r})
except ImportError as error:
    print(type(error).__name__, error)
""")
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("ImportError ")
        assert ONCE_ONLY in result.stdout

    @pytest.mark.parametrize("first", ["vectors", "moremath", "rrt"])
    def test_tarn_cannot_wrap_a_submodule_created_before(self, run_python, first):
        result = run_python(LOAD_AS + f"""
load_as({first!r})
try:
    import tarn
except ImportError:
    print("caught as ImportError")
except BaseException as error:
    print(type(error).__qualname__, type(error).__bases__ == (BaseException,))
    print(repr(error.args))
try:
    import tarn
except ImportError as error:
    print(type(error).__name__, error)
""")
        assert result.returncode == 0, result.stderr
        kind, args, second_attempt = result.stdout.splitlines()
        assert kind == "PanicException True"
        message = eval(args)[0]  # noqa: S307 - repr of a tuple of one str
        assert re.fullmatch(
            r"failed to wrap pymodule: PyErr \{ type: <class 'ImportError'>, "
            r"value: ImportError\((['\"]).*only once per interpreter process.*\1\), "
            r"traceback: None \}",
            message,
        ), message
        assert second_attempt.startswith("ImportError ")
        assert ONCE_ONLY in second_attempt
