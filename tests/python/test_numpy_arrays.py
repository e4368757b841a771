"""NumPy results: layout, ownership, and how NumPy is found at run time."""

import numpy as np
import pytest
from korvane import Path2D

ARRAY_ATTRIBUTES = [
    "points_np",
    "x_np",
    "y_np",
    "path_length_per_point_np",
    "orientation_np",
    "unit_tangent_vector_np",
    "curvature_np",
]


@pytest.mark.parametrize("name", ARRAY_ATTRIBUTES)
def test_fresh_owned_float64_arrays(name):
    p = Path2D(points=[[0, 0], [1, 0], [1, 1], [3, 2]])
    first, second = getattr(p, name), getattr(p, name)
    assert type(first) is np.ndarray
    assert first.dtype == np.float64 and first.dtype.isnative
    assert first.flags.c_contiguous and first.flags.owndata and first.flags.writeable
    assert first.base is None
    assert first is not second and np.array_equal(first, second, equal_nan=True)
    assert first.shape == ((4, 2) if name in ("points_np", "unit_tangent_vector_np") else (4,))
    first.fill(-7.0)
    assert np.array_equal(getattr(p, name), second, equal_nan=True)


def test_associated_value_array():
    p = Path2D(points=[[0, 0], [1, 0]])
    p.add_associated_values([4, 5])
    values = p.associated_value_np(0)
    assert values.dtype == np.float64 and values.flags.owndata and values.tolist() == [4.0, 5.0]
    values[0] = 0
    assert p.associated_values(0) == [4.0, 5.0]
    assert p.associated_value_np(1) is None


# How NumPy is broken, how it is mended, and what the first array request raises meanwhile.
BROKEN_NUMPY = {
    "missing": (
        'sys.modules["numpy"] = None',
        'del sys.modules["numpy"]',
        "PanicException False True Failed to access NumPy array API capsule: ModuleNotFoundError",
    ),
    # A foreign capsule is refused before anything is called through it.
    "foreign capsule": (
        "import datetime, numpy\n"
        "core = (getattr(numpy, '_core', None) or numpy.core).multiarray\n"
        "real = core._ARRAY_API\n"
        "core._ARRAY_API = datetime.datetime_CAPI",
        "core._ARRAY_API = real",
        "PanicException False True Failed to access NumPy array API capsule: ValueError: the _ARRAY_API "
        "capsule is named 'datetime.datetime_CAPI', not NumPy's",
    ),
    # Ctrl-C during the first lookup is the caller's, not a failure of NumPy.
    "interrupted": (
        "class Interrupt:\n"
        "    def find_spec(self, name, path, target=None):\n"
        "        raise KeyboardInterrupt\n"
        "sys.meta_path.insert(0, Interrupt())",
        "del sys.meta_path[0]",
        "KeyboardInterrupt False True ",
    ),
}


@pytest.mark.parametrize("broken", BROKEN_NUMPY)
def test_unreachable_numpy_is_a_panic_and_recovers(python_subprocess, broken):
    breaking, mending, expected = BROKEN_NUMPY[broken]
    result = python_subprocess(
        f"""
import sys
import korvane
p = korvane.Path2D(x=[1.0, 2.0], y=[3.0, 4.0])
{breaking}
try:
    p.x_np
except Exception:
    print("caught as Exception")
except BaseException as error:
    kind = type(error)
    print(kind.__name__, issubclass(kind, Exception), kind.__bases__ == (BaseException,), error)
print(p.x, p.length)
{mending}
print(p.x_np.tolist())
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith(expected)
    assert lines[1:] == ["[1.0, 2.0] 1.4142135623730951", "[1.0, 2.0]"]


def test_numpy_1_uses_numpy_core(python_subprocess):
    # A stand-in NumPy 1.x whose numpy.core.multiarray hands out the real API table.
    result = python_subprocess(
        """
        import sys, types
        import numpy
        real_core = getattr(numpy, "_core", None) or numpy.core  # NumPy 1.x has no numpy._core
        capsule = real_core.multiarray._ARRAY_API
        lib = types.ModuleType("numpy.lib"); lib.NumpyVersion = numpy.lib.NumpyVersion
        fake = types.ModuleType("numpy"); fake.__version__ = "1.26.4"; fake.lib = lib
        fake.ndarray = numpy.ndarray
        core = types.ModuleType("numpy.core")
        multiarray = types.ModuleType("numpy.core.multiarray"); multiarray._ARRAY_API = 12
        for name in [m for m in sys.modules if m == "numpy" or m.startswith("numpy.")]:
            del sys.modules[name]
        sys.modules.update({"numpy": fake, "numpy.lib": lib, "numpy.core": core,
                            "numpy.core.multiarray": multiarray})
        import korvane
        p = korvane.Path2D(x=[1.0], y=[2.0])
        try:
            p.x_np
        except BaseException as error:
            print(type(error).__name__, error)
        multiarray._ARRAY_API = capsule
        print(p.y_np.tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == (
        "PanicException Failed to access NumPy array API capsule: "
        "TypeError: 'int' object cannot be converted to 'PyCapsule'"
    )
    assert lines[1] == "[2.0]"
