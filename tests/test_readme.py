# test_readme.py: the README's examples, run as they stand on the page, so that page and code cannot drift apart.
import ast
import io
import json
import multiprocessing
import re
import tokenize
from pathlib import Path

import pytest
from conftest import distance

# A checkout and an unpacked sdist hold the README beside the tests; other layouts may not.
README = Path(__file__).resolve().parent.parent / "README.md"
FENCED_PYTHON = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


@pytest.fixture(scope="module")
def blocks():
    if not README.is_file():
        pytest.skip(f"no README.md beside the tests directory (looked for {README})")
    return FENCED_PYTHON.findall(README.read_text(encoding="utf-8"))


def block(blocks, *needles, without=None):
    """The one Python block of the README holding every needle (and not `without`), found by its
    content wherever the page puts it."""
    found = [b for b in blocks if all(n in b for n in needles) and not (without and without in b)]
    assert len(found) == 1, f"README.md has {len(found)} Python blocks with {needles}, not 1"
    return found[0]


def statements_and_shown_results(source):
    """Each top-level statement of `source`, with the value its trailing comment shows when it is
    an expression statement: the comment up to its first run of spaces, if that parses."""
    comments = {
        token.start[0]: token.string[1:].strip()
        for token in tokenize.generate_tokens(io.StringIO(source).readline)
        if token.type == tokenize.COMMENT
    }
    for statement in ast.parse(source).body:
        shown = None
        comment = comments.get(statement.end_lineno)
        if isinstance(statement, ast.Expr) and comment:
            try:
                shown = ast.parse(re.split(r"\s{2,}", comment)[0], mode="eval").body
            except SyntaxError:
                pass  # prose, not a value
        yield statement, shown


def matches(value, shown):
    """Whether `value` is what the page shows: literals equal and of the same type, a name stands
    for any value, and a list ending in `...` for any further items."""
    if isinstance(shown, ast.Name):
        return True
    if isinstance(shown, ast.List):
        items = shown.elts
        open_ended = bool(items) and isinstance(items[-1], ast.Constant) and items[-1].value is Ellipsis
        if open_ended:
            items = items[:-1]
        return (
            isinstance(value, list)
            and (len(value) >= len(items) if open_ended else len(value) == len(items))
            and all(matches(v, s) for v, s in zip(value, items))
        )
    expected = ast.literal_eval(shown)
    return type(value) is type(expected) and value == expected


class TestReadme:
    def test_usage_gives_the_results_it_shows(self, blocks):
        # The Usage example calls the planner at top level, defining nothing.
        source = block(blocks, "import tarn", "tarn.rrt.rapidly_exploring_random_tree(", without="def ")
        namespace = {}
        checked = []
        for statement, shown in statements_and_shown_results(source):
            if shown is None:
                exec(compile(ast.Module([statement], []), "README.md", "exec"), namespace)
                continue
            value = eval(compile(ast.Expression(statement.value), "README.md", "eval"), namespace)
            code = ast.unparse(statement)
            assert matches(value, shown), f"README.md: {code} gives {value!r}, the page shows {ast.unparse(shown)}"
            checked.append(code)
        assert checked, "the Usage example shows no result in its comments"

    def test_recovering_a_path(self, blocks, plan):
        namespace = {}
        exec(block(blocks, "def path_to_goal("), namespace)
        path_to_goal = namespace["path_to_goal"]
        start, goal = [0.0, 0.0], [9.0, 9.0]
        # Never reached, all but surely reached, and reached by the first sample.
        for step_size, max_iterations in [(0.0, 300), (1.0, 3000), (20.0, 5)]:
            tree = plan(start, [9, 9], [10, 10], [[5, 5]], step_size, max_iterations)
            nodes, children = tree.nodes, tree.adjacency_list
            path = path_to_goal(tree, [9, 9])
            # The planner stops at the first sample within step_size of the goal.
            assert (path is not None) == any(distance(node, goal) < step_size for node in nodes[1:])
            if path is not None:
                edges = {(tuple(nodes[p]), tuple(nodes[c])) for p, kids in enumerate(children) for c in kids}
                assert path[0] == start and path[-1] == goal
                assert all((tuple(a), tuple(b)) in edges for a, b in zip(path, path[1:]))
        assert path == [start, nodes[1], goal]  # the first sample's tree: start, sample, goal

    @pytest.mark.skipif(
        "fork" not in multiprocessing.get_all_start_methods(), reason="needs the fork start method"
    )
    def test_process_pool_returns_every_result_and_the_fault_as_data(self, blocks, run_python):
        source = block(blocks, "ProcessPoolExecutor", "solve_or_report", "serve_parent")
        problem = {"start": [0, 0], "goal": [9, 9], "boundaries": [10, 10], "obstacles": [[5, 5]]}
        problems = [{**problem, "step_size": 1.0, "max_iterations": 200 * k} for k in range(1, 6)]
        problems.insert(2, {**problem, "boundaries": [], "step_size": 1.0, "max_iterations": 5})
        # Workers that start afresh (spawn, forkserver) import the main module, which a script
        # given with -c does not have: they are forked here.
        result = run_python(
            "import json, multiprocessing\n"
            "multiprocessing.set_start_method('fork')\n"
            f"problems = {problems!r}\n" + source + "\nprint(json.dumps(results))\n"
        )
        assert result.returncode == 0, result.stderr
        results = json.loads(result.stdout)
        assert [r["index"] for r in results] == list(range(len(problems)))
        assert results[2]["error"] == {
            "type": "PanicException",
            "message": "index out of bounds: the len is 0 but the index is 0",
        }
        for r, p in zip(results, problems):
            if r is not results[2]:
                assert r["nodes"][0] == [0.0, 0.0]
                assert len(r["nodes"]) == len(r["adjacency_list"]) <= p["max_iterations"] + 2
