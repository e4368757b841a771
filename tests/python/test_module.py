"""The module object, its classes and their registration."""

import importlib
import sys

import korvane
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

ALL_CLASSES = [
    Path2D,
    ResamplingMethod,
    ResamplingMethod.ByNumberPoints,
    ResamplingMethod.BySamplingDistance,
    InterpolationMethod,
    ElasticBandMethod,
]


def test_module_surface():
    assert korvane.__doc__ == "Useful tools for working with paths"
    assert korvane.__all__ == ["Path2D", "ResamplingMethod", "InterpolationMethod", "ElasticBandMethod"]
    assert not hasattr(korvane, "ResamplingMethod_ByNumberPoints")
    assert ResamplingMethod.ByNumberPoints.__name__ == "ResamplingMethod_ByNumberPoints"
    assert ResamplingMethod.BySamplingDistance.__name__ == "ResamplingMethod_BySamplingDistance"
    public = {name for name in vars(korvane) if not name.startswith("__")}
    assert public == set(korvane.__all__)


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("korvane")
    try:
        again = importlib.import_module("korvane")
        assert again is first
        assert again.__all__ == ["Path2D", "ResamplingMethod", "InterpolationMethod", "ElasticBandMethod"]
    finally:
        sys.modules["korvane"] = first


@pytest.mark.parametrize("cls", ALL_CLASSES, ids=lambda c: c.__name__)
def test_class_names_live_in_builtins(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert repr(cls) == f"<class 'builtins.{cls.__name__}'>"
    instance = {
        Path2D: lambda: Path2D(points=[]),
        ResamplingMethod: lambda: ResamplingMethod.by_number_points(1),
        ResamplingMethod.ByNumberPoints: lambda: ResamplingMethod.ByNumberPoints(1),
        ResamplingMethod.BySamplingDistance: lambda: ResamplingMethod.BySamplingDistance(1.0, True),
        InterpolationMethod: lambda: InterpolationMethod.Cubic,
        ElasticBandMethod: lambda: ElasticBandMethod.SquareBounds,
    }[cls]()
    with pytest.raises(AttributeError):
        instance.some_new_attribute = 1


def test_class_documentation():
    assert Path2D.__text_signature__ == "(points=None, x=None, y=None)"
    assert Path2D.__doc__.startswith("Path2D(points=None, x=None, y=None)\n\nClass storing a 2D path.")
    assert ResamplingMethod.ByNumberPoints.__doc__ == ""
    assert ResamplingMethod.ByNumberPoints.__text_signature__ == "(number_points)"
    assert ResamplingMethod.BySamplingDistance.__text_signature__ == "(sampling_distance, drop_last)"
    for cls in (ResamplingMethod, InterpolationMethod, ElasticBandMethod):
        assert cls.__doc__ is None


@pytest.mark.parametrize(
    "base",
    [
        Path2D,
        InterpolationMethod,
        ElasticBandMethod,
        ResamplingMethod.ByNumberPoints,
        ResamplingMethod.BySamplingDistance,
    ],
    ids=lambda c: c.__name__,
)
def test_only_resampling_method_is_subclassable(base):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (base,), {})


def test_resampling_method_subclass_has_no_constructor():
    derived = type("Derived", (ResamplingMethod,), {})
    with pytest.raises(TypeError, match="^No constructor defined for Derived$"):
        derived()


@pytest.mark.parametrize("cls", [ResamplingMethod, InterpolationMethod, ElasticBandMethod])
def test_classes_without_constructor(cls):
    with pytest.raises(TypeError, match=f"^No constructor defined for {cls.__name__}$"):
        cls()


# The classes are mutable, so Python code can make objects that no constructor filled. Each
# use of such an object must be refused, never read as if it held a record.
UNCONSTRUCTED = {
    "path from a replaced __new__": (
        "Path2D.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))\nodd = Path2D()",
        ["odd.points", "odd.x_np", "repr(odd)", "odd.sub_path()", "odd.add_associated_values([])"],
    ),
    "third interpolation member": (
        "InterpolationMethod.__new__ = staticmethod(lambda c: object.__new__(c))\nodd = InterpolationMethod()",
        [
            "repr(odd)",
            "int(odd)",
            "odd == 0",
            "Path2D(points=[[0, 0], [1, 1]]).resampled_path(ResamplingMethod.by_number_points(3), odd)",
        ],
    ),
    "resampling option of another variant": (
        "odd = ResamplingMethod.by_number_points(7)\nodd.__class__ = ResamplingMethod.BySamplingDistance",
        [
            "odd.sampling_distance",
            "odd == ResamplingMethod.by_sampling_distance(0.0, False)",
            "Path2D(points=[[0, 0], [1, 1]]).resampled_path(odd)",
        ],
    ),
}


@pytest.mark.parametrize("case", UNCONSTRUCTED)
def test_objects_no_constructor_filled_are_refused(python_subprocess, case):
    making, uses = UNCONSTRUCTED[case]
    result = python_subprocess(
        "from korvane import *\n" + making + "\n"
        "for use in " + repr(uses) + ":\n"
        "    try:\n"
        "        print(use, 'gave', repr(eval(use)))\n"
        "    except TypeError as error:\n"
        "        print(use, 'refused', 'was not constructed as one' in str(error))\n"
        "del odd\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"{use} refused True" for use in uses]


# Every module of korvane's one extension library: its entry point's name.
LIBRARY_MODULES = ["korvane", "_korvane_frenet", "_korvane_tracks", "_korvane_match"]


def test_only_the_entry_points_are_exported():
    # Anything else in the dynamic symbol table could bind to another library's symbols, and a
    # GNU-unique symbol would keep the module from ever being unloaded.
    import subprocess

    import korvane

    table = subprocess.run(
        ["nm", "-D", "--defined-only", korvane.__file__], capture_output=True, text=True, check=True
    ).stdout
    assert sorted(line.split()[-2:] for line in table.splitlines()) == sorted(
        ["T", f"PyInit_{name}"] for name in LIBRARY_MODULES
    )


def test_modules_share_one_library_and_its_state(python_subprocess):
    # Two copies of the library would each have their own PanicException: an `except` of one
    # would not catch the other's.
    result = python_subprocess(
        """
        import sys
        sys.modules["numpy"] = None
        import korvane, korvane_frenet
        p = korvane.Path2D(points=[[0, 0], [1, 0]])
        raised = []
        for call in (lambda: p.x_np, lambda: korvane_frenet.to_frenet(p, [[0.5, 0.1]])):
            try:
                call()
            except BaseException as error:
                raised.append(type(error))
        libraries = {line.split()[-1] for line in open("/proc/self/maps") if "korvane" in line}
        print(raised[0] is raised[1], raised[0].__name__, libraries == {korvane.__file__})
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "PanicException", "True"]


def test_import_pulls_in_nothing_else(python_subprocess):
    result = python_subprocess(
        """
        import sys
        before = set(sys.modules)
        import korvane
        p = korvane.Path2D(points=[[0, 0], [1, 1]])
        p.x, p.curvature, repr(p)
        extra = set(sys.modules) - before - {"korvane"}
        heavy = [m for m in extra if m.split(".")[0] in ("numpy", "scipy", "clarabel")]
        print(heavy)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_second_interpreter_is_refused(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import korvane
        # From 3.12 on, the interpreter itself refuses a single-phase module in an isolated
        # sub-interpreter before the module runs; a legacy one lets the module decide.
        try:
            import _xxsubinterpreters as interpreters
            sub = interpreters.create(isolated=False) if sys.version_info >= (3, 12) else interpreters.create()
        except ImportError:
            import _interpreters as interpreters
            sub = interpreters.create("legacy")
        try:
            failure = interpreters.run_string(sub, "import korvane")  # 3.13 returns what it raised
        except Exception as error:
            failure = error
        print(str(failure).replace("\\n", " "))
        import importlib, sys
        del sys.modules["korvane"]
        print(importlib.import_module("korvane") is korvane)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "ImportError" in lines[0]
    assert ": PyO3 modules do not yet support subinterpreters, see https://" in lines[0]
    assert lines[1] == "True"


PATH2D_SIGNATURES = {
    "compute_circle_fit_curvature": "(max_rmse=0.15)",
    "find_circle_segments": "(start, end, max_rmse=0.15)",
    "resampled_path": "(resampling_method, resampling_type=Ellipsis, epsilon=0.01)",
    "smoothed_path_elastic_band": "(max_deviation, elastic_band_type=Ellipsis)",
    "smoothed_path_chaikin": "(num_iterations)",
    "index_from_point": "(point, epsilon=0.01)",
    "path_length_from_point": "(point, epsilon=0.01)",
    "sub_path": "(start=None, end=None, epsilon=0.01)",
    "detect_corrupted_point_order": "(sus_angle=2.8)",
    "repair_corrupted_point_order": "(sus_angle=2.8)",
    "add_associated_values": "(values)",
    "associated_values": "(handle)",
    "associated_value_np": "(handle)",
}


@pytest.mark.parametrize("name", PATH2D_SIGNATURES)
def test_method_signatures_and_docstrings(name):
    import inspect

    method = getattr(Path2D, name)
    assert str(inspect.signature(getattr(Path2D(points=[]), name))) == PATH2D_SIGNATURES[name]
    assert method.__text_signature__.startswith("($self, ")
    # The docstring proper repeats the call with the real defaults on its first line.
    first_line = method.__doc__.splitlines()[0]
    assert first_line.split("(")[0] in (name, "associated_values_np")
    assert ":rtype:" in method.__doc__


def test_member_order():
    members = [name for name in vars(Path2D) if not name.startswith("__")]
    assert [m for m in members if m in PATH2D_SIGNATURES] == list(PATH2D_SIGNATURES)
    assert [m for m in members if m not in PATH2D_SIGNATURES] == [
        "points",
        "points_np",
        "x",
        "x_np",
        "y",
        "y_np",
        "path_length_per_point",
        "path_length_per_point_np",
        "length",
        "orientation",
        "orientation_np",
        "unit_tangent_vector",
        "unit_tangent_vector_np",
        "curvature",
        "curvature_np",
    ]
    for name in members:
        if name not in PATH2D_SIGNATURES:
            assert getattr(Path2D, name).__doc__ == ""
