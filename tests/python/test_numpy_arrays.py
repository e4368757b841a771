"""NumPy results: layout, ownership, and how NumPy is found at run time."""

import numpy as np
import pytest

from korvane import Path2D

ARRAY_ATTRIBUTES = ["points_np", "x_np", "y_np", "path_length_per_point_np", "orientation_np",
                    "unit_tangent_vector_np", "curvature_np"]


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


def test_missing_numpy_is_a_panic_and_recovers(python_subprocess):
    result = python_subprocess(
        """
        import sys
        import korvane
        p = korvane.Path2D(x=[1.0, 2.0], y=[3.0, 4.0])
        sys.modules["numpy"] = None
        try:
            p.x_np
        except Exception:
            print("caught as Exception")
        except BaseException as error:
            kind = type(error)
            print(kind.__name__, issubclass(kind, Exception), kind.__bases__ == (BaseException,))
            print(str(error).startswith("Failed to access NumPy array API capsule"))
        print(p.x, p.length)
        del sys.modules["numpy"]
        print(p.x_np.tolist())
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["PanicException False True", "True", "[1.0, 2.0] 1.4142135623730951",
                                          "[1.0, 2.0]"]


def test_numpy_1_uses_numpy_core(python_subprocess):
    # A stand-in NumPy 1.x whose numpy.core.multiarray hands out the real API table.
    result = python_subprocess(
        """
        import sys, types
        import numpy
        capsule = numpy._core.multiarray._ARRAY_API
        lib = types.ModuleType("numpy.lib"); lib.NumpyVersion = numpy.lib.NumpyVersion
        fake = types.ModuleType("numpy"); fake.__version__ = "1.26.4"; fake.lib = lib
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
    assert lines[0] == ("PanicException Failed to access NumPy array API capsule: "
                        "TypeError: 'int' object cannot be converted to 'PyCapsule'")
    assert lines[1] == "[2.0]"
