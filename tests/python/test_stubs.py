"""The type stubs: they match the built module, promise the result types it really returns, and ship."""

import ast
import importlib.metadata
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
import types
import typing
from pathlib import Path

import korvane
import korvane_frenet
import korvane_match
import korvane_tracks
import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python" / "korvane.pyi"
FRENET_STUB = ROOT / "src" / "python" / "korvane_frenet.pyi"
# The modules beside korvane, each with its stub.
MODULE_STUBS = {
    m: ROOT / "src" / "python" / f"{m.__name__}.pyi" for m in (korvane_frenet, korvane_tracks, korvane_match)
}

pytest.importorskip("mypy", reason="mypy is listed in requirements-test.txt")


def installed_stub(name: str = "korvane") -> Path | None:
    """The stub of the installed distribution, if the imported module is that installation's."""
    try:
        files = importlib.metadata.files("korvane") or []
    except importlib.metadata.PackageNotFoundError:
        return None
    located = {str(f): Path(f.locate()).resolve() for f in files}
    module = Path(korvane.__file__).resolve()
    if module not in located.values():
        return None
    return located.get(f"{name}-stubs/__init__.pyi")


def run_checker(args: list[str], tmp_path: Path, *, stub_from_source: bool) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    # One cache for all runs: the NumPy stubs dominate the cost of a cold run.
    env["MYPY_CACHE_DIR"] = str(ROOT / "build" / "mypy-cache")
    env.pop("MYPYPATH", None)
    # The module under test, whatever put it on this process's path.
    env["PYTHONPATH"] = os.pathsep.join([str(Path(korvane.__file__).parent), env.get("PYTHONPATH", "")])
    if stub_from_source:
        env["MYPYPATH"] = os.pathsep.join([str(STUB.parent), str(FRENET_STUB.parent)])
    return subprocess.run(
        [sys.executable, "-m", *args], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300
    )


@pytest.mark.parametrize("module", ["korvane", "korvane_frenet", "korvane_tracks", "korvane_match"])
def test_stubtest_finds_no_difference(tmp_path, module):
    result = run_checker(["mypy.stubtest", module], tmp_path, stub_from_source=True)
    assert result.returncode == 0, result.stdout + result.stderr


def test_installed_distribution_ships_the_stub():
    shipped = installed_stub()
    if shipped is None:
        pytest.skip("korvane is not imported from an installed distribution")
    assert shipped.read_text() == STUB.read_text()
    for module, stub in MODULE_STUBS.items():
        assert installed_stub(module.__name__).read_text() == stub.read_text()


# Every public result, with the type the stub promises, on inputs that give a value and (where
# the result is optional) on inputs that give None. mypy checks each promise exactly
# (assert_type); the test checks each value at run time against the same annotation.
SETUP = """
p = Path2D(points=[[0.0, 0.0], [1.0, 0.0], [2.0, 0.5], [3.0, 1.5], [4.0, 3.0]])
handle = p.add_associated_values(np.arange(5.0))
"""
RESULTS = [
    ("p.points", "list[list[float]]"),
    ("p.points_np", "np.ndarray[tuple[int, int], np.dtype[np.float64]]"),
    ("p.x", "list[float]"),
    ("p.x_np", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("p.y", "list[float]"),
    ("p.y_np", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("p.path_length_per_point", "list[float]"),
    ("p.path_length_per_point_np", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("p.length", "float"),
    ("p.orientation", "list[float]"),
    ("p.orientation_np", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("p.unit_tangent_vector", "list[list[float]]"),
    ("p.unit_tangent_vector_np", "np.ndarray[tuple[int, int], np.dtype[np.float64]]"),
    ("p.curvature", "list[float]"),
    ("p.curvature_np", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("p.compute_circle_fit_curvature()", "list[float]"),
    ("p.find_circle_segments(0, 5, max_rmse=0.01)", "list[tuple[int, int, float]]"),
    ("p.resampled_path(ResamplingMethod.by_number_points(9))", "Path2D"),
    (
        "p.resampled_path(ResamplingMethod.BySamplingDistance(0.5, np.False_), InterpolationMethod.Cubic)",
        "Path2D",
    ),
    ("p.smoothed_path_elastic_band(0.1)", "Path2D | None"),
    ("p.smoothed_path_elastic_band(-1.0, ElasticBandMethod.SquareBounds)", "Path2D | None"),
    ("p.smoothed_path_chaikin(2)", "Path2D"),
    ("p.index_from_point((2.5, 1.0))", "int | None"),
    ("p.index_from_point([50, 50])", "int | None"),
    ("p.path_length_from_point(np.array([2.5, 1.0]))", "float | None"),
    ("p.path_length_from_point([50, 50])", "float | None"),
    ("p.sub_path([0.5, 0.0], [3.5, 2.25])", "Path2D | None"),
    ("p.sub_path(start=[3.5, 2.25], end=[0.5, 0.0])", "Path2D | None"),
    ("p.detect_corrupted_point_order(sus_angle=0.1)", "list[int]"),
    ("p.repair_corrupted_point_order()", "Path2D"),
    ("p.add_associated_values(range(5))", "int"),
    ("p.associated_values(handle)", "list[float] | None"),
    ("p.associated_values(99)", "list[float] | None"),
    ("p.associated_value_np(handle)", "np.ndarray[tuple[int], np.dtype[np.float64]] | None"),
    ("p.associated_value_np(99)", "np.ndarray[tuple[int], np.dtype[np.float64]] | None"),
    ("ResamplingMethod.by_number_points(3)", "ResamplingMethod.ByNumberPoints"),
    ("ResamplingMethod.by_sampling_distance(0.5)", "ResamplingMethod.BySamplingDistance"),
    ("ResamplingMethod.ByNumberPoints(3).number_points", "int"),
    ("ResamplingMethod.BySamplingDistance(0.5, True).sampling_distance", "float"),
    ("ResamplingMethod.BySamplingDistance(0.5, True).drop_last", "bool"),
    ("InterpolationMethod.Cubic", "InterpolationMethod"),
    ("ElasticBandMethod.OrthogonalBounds", "ElasticBandMethod"),
    ("int(ElasticBandMethod.OrthogonalBounds)", "int"),
    ("InterpolationMethod.Linear == 1", "bool"),
    ("to_frenet(p, [[1.0, 0.5]], max_distance=2)", "FrenetCoordinates"),
    ("to_frenet(p, np.zeros((3, 2))).d", "np.ndarray[tuple[int], np.dtype[np.float64]]"),
    ("to_frenet(p, ((1, 2),)).segment", "np.ndarray[tuple[int], np.dtype[np.int64]]"),
    ("from_frenet(p, [1.0, 2.0], 0.5)", "np.ndarray[tuple[int, int], np.dtype[np.float64]]"),
    ("from_frenet(p, np.float32(1.0), d=range(3))", "np.ndarray[tuple[int, int], np.dtype[np.float64]]"),
]
NAMESPACE_IMPORTS = """
import numpy as np
from typing_extensions import assert_type
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod
from korvane_frenet import FrenetCoordinates, from_frenet, to_frenet
"""


def conforms(value, annotation) -> bool:
    """Whether a run-time value fits a type annotation of the kinds used in RESULTS."""
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        return any(conforms(value, arg) for arg in args)
    if annotation is None or annotation is type(None):
        return value is None
    if origin is list:
        return type(value) is list and all(conforms(v, args[0]) for v in value)
    if origin is tuple:
        return type(value) is tuple and len(value) == len(args) and all(map(conforms, value, args))
    if origin is np.ndarray:
        ndim = len(typing.get_args(args[0]))
        dtype = typing.get_args(args[1])[0]
        return type(value) is np.ndarray and value.ndim == ndim and value.dtype == dtype
    return type(value) is annotation


def test_stub_result_types_hold_at_run_time():
    names = {
        "np": np,
        "Path2D": Path2D,
        "ResamplingMethod": ResamplingMethod,
        "InterpolationMethod": InterpolationMethod,
        "ElasticBandMethod": ElasticBandMethod,
        **{name: getattr(korvane_frenet, name) for name in korvane_frenet.__all__},
    }
    exec(SETUP, names)
    outcomes = set()
    for expression, annotation in RESULTS:
        value = eval(expression, names)
        expected = eval(annotation, names)
        assert conforms(value, expected), (expression, value, annotation)
        outcomes.add((annotation, value is None))
    # Each optional result is exercised both ways.
    optional = {a for a, _ in RESULTS if a.endswith("| None")}
    assert {(a, True) for a in optional} <= outcomes and {(a, False) for a in optional} <= outcomes


# What the stubs accept besides lists and arrays, and what they must keep refusing: every line
# marked "rejected" gets an error, no other line does.
FOREIGN_AND_MISUSE = """
import pandas as pd
import shapely

frame = pd.DataFrame({"x": [0.0, 1.0, 2.0], "y": [0.0, 1.0, 0.0]})
series = Path2D(x=frame["x"], y=frame["y"])
line = Path2D(points=shapely.LineString([(0, 0), (1, 1), (2, 0)]).coords)
on_line = to_frenet(line, shapely.LineString([(1, 2), (2, 1)]).coords, max_distance=frame["x"].iloc[1])
off_series = from_frenet(series, frame["x"], frame["y"])
series.sub_path().length  # rejected: an optional result used unchecked
series.length = 1.0  # rejected: a read-only attribute
series.resampled_path(ResamplingMethod.by_number_points(3), ElasticBandMethod.SquareBounds)  # rejected
series.associated_values(1.5)  # rejected: a float for an index
Path2D(x={0: 1.0}, y=[1.0])  # rejected: a mapping is no sequence
"""


@pytest.mark.parametrize("checker", ["mypy", "pyright"])
def test_type_checkers_accept_typical_use_and_refuse_misuse(checker, tmp_path):
    checks = "\n".join(f"assert_type({e}, {a})" for e, a in RESULTS)
    usage = (
        NAMESPACE_IMPORTS
        + SETUP
        + checks
        + textwrap.dedent(
            """

        def count(method: ResamplingMethod) -> int:
            match method:
                case ResamplingMethod.ByNumberPoints(n):
                    return n
                case ResamplingMethod.BySamplingDistance(d, drop_last):
                    return int(p.length / d) + (0 if drop_last else 1)
            return 0

        q = Path2D(x=np.linspace(0, 1, 5), y=(0, 1, 0, 1, 0))
        r = q.sub_path()
        length: float = r.length if r is not None else 0.0
        """
        )
        + FOREIGN_AND_MISUSE
    )
    (tmp_path / "usage.py").write_text(usage)
    # From the installed distribution when there is one: what a user's checker sees.
    from_source = installed_stub() is None
    if checker == "mypy":
        result = run_checker(["mypy", "--strict", "usage.py"], tmp_path, stub_from_source=from_source)
    else:
        pytest.importorskip("pyright", reason="pyright is listed in requirements-test.txt")
        if shutil.which("node") is None:
            pytest.skip("pyright needs Node.js on the PATH (it would download it otherwise)")
        if from_source:
            (tmp_path / "pyrightconfig.json").write_text(json.dumps({"stubPath": str(STUB.parent)}))
        args = ["pyright", "--pythonpath", sys.executable, "usage.py"]
        result = run_checker(args, tmp_path, stub_from_source=from_source)
    flagged = {int(n) for n in re.findall(r"usage\.py:(\d+):(?:\d+ -)? error", result.stdout)}
    marked = {n for n, text in enumerate(usage.splitlines(), 1) if "# rejected" in text}
    assert flagged == marked, result.stdout + result.stderr


def stub_docstrings() -> dict[str, str]:
    """Docstrings of the stub's classes and functions, keyed by dotted name (Path2D.sub_path)."""
    found = {}

    def visit(node, prefix):
        for child in node.body:
            if isinstance(child, (ast.ClassDef, ast.FunctionDef)):
                name = prefix + child.name
                if ast.get_docstring(child, clean=False) is not None:
                    found[name] = ast.get_docstring(child)
                if isinstance(child, ast.ClassDef):
                    visit(child, name + ".")

    visit(ast.parse(STUB.read_text()), "")
    return found


def test_stub_docstrings_are_the_module_docstrings():
    documented = stub_docstrings()
    for name, text in documented.items():
        runtime = korvane
        for part in name.split("."):
            runtime = getattr(runtime, part)
        if isinstance(runtime, property) or type(runtime).__name__ == "getset_descriptor":
            continue  # attribute descriptors carry no docstring of their own
        assert runtime.__doc__ == text, name
    for module in (korvane_frenet, korvane_tracks):
        for node in ast.parse(MODULE_STUBS[module].read_text()).body:
            if isinstance(node, ast.FunctionDef):
                # getdoc: the loader's functions are written in Python, indented.
                assert ast.get_docstring(node) == inspect.getdoc(getattr(module, node.name)), node.name
    for node in ast.parse(MODULE_STUBS[korvane_match].read_text()).body:
        for member in getattr(node, "body", []):
            if isinstance(member, ast.FunctionDef) and ast.get_docstring(member) is not None:
                runtime = getattr(getattr(korvane_match, node.name), member.name)
                assert ast.get_docstring(member) == inspect.cleandoc(runtime.__doc__), member.name
    methods = [n for n, v in vars(Path2D).items() if callable(v) and not n.startswith("_")]
    assert {f"Path2D.{m}" for m in methods} <= set(documented)
