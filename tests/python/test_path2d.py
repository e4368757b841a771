"""Construction of Path2D, its derived quantities and its representation."""

import array
import math
import warnings

import numpy as np
import pytest
from korvane import Path2D

CREATE_MESSAGE = "^Create path either from points or coordinates$"


class ElementWise:
    """The object itself to iterate, with its buffer hidden: the element-wise conversion."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def outcome(make):
    """Every coordinate bit for bit, or the type and message of the error."""
    try:
        p = make()
    except Exception as error:
        return type(error), str(error)
    return p.points_np.tobytes(), p.x_np.tobytes(), p.y_np.tobytes()


class Series(np.ndarray):
    """An ndarray subclass with attributes of its own, as data-frame libraries hand them out."""

    def __array_finalize__(self, obj):
        self.name = getattr(obj, "name", None)


DTYPES = [
    "f8",
    ">f8",
    "<f8",
    "f4",
    ">f4",
    "i1",
    "u1",
    "i2",
    ">u2",
    "i4",
    ">i4",
    "u4",
    "i8",
    ">i8",
    "u8",
    ">u8",
    "?",
    "f2",
    "g",
    "c16",
    "O",
    "M8[s]",
]


def sample_values(dtype):
    """Twelve values of the type, with its extremes and (for floats) the special values."""
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        info = np.iinfo(dtype)
        extra = [v for v in (2**53 + 1, 2**53 + 3, 2**62 + 1, -(2**53) - 1) if info.min <= v <= info.max]
        values = ([info.min, info.max, 0, 1, info.max // 3, info.min // 7] + extra + [2, 3, 4, 5, 6, 7])[:12]
        return np.array(values, dtype=dtype)
    if dtype.kind == "M":
        return np.arange(12).astype(dtype)
    floats = [0.1, -0.0, math.nan, math.inf, -math.inf, 1e300, 5e-324, -2.5, 1e-40, 65504.0, 3.0, 1.0 / 3.0]
    with np.errstate(all="ignore"):
        return np.array(floats).astype(dtype)


def unaligned(values):
    """The values in a record field one byte past an aligned start."""
    record = np.zeros(values.shape[:1], dtype=[("pad", "i1"), ("v", values.dtype, values.shape[1:])])
    record["v"] = values
    return record["v"]


def memmapped(values, folder):
    mapped = np.memmap(folder / "values.bin", dtype=values.dtype, mode="w+", shape=values.shape)
    mapped[:] = values
    return mapped


def matrix(v):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(v)


def read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


class Answers42:
    """Item access that answers 42.0 at every index of the array."""

    def __getitem__(self, i):
        if not -len(self) <= i < len(self):
            raise IndexError(i)
        return 42.0


class Iterates42:
    def __iter__(self):
        return iter([42.0, 42.0])


class MixedIn(
    np.ndarray,
    metaclass=type("PutsMixinLast", (type,), {"mro": lambda cls: [cls, object, Answers42, np.ndarray]}),
):
    pass


class Impostor(Answers42, np.ndarray):
    pass


class IteratesOtherwise(
    bytes, metaclass=type("PutsMixinLast", (type,), {"mro": lambda cls: [cls, object, Iterates42, bytes]})
):
    pass


def impostor_memmap(values, patch):
    Path2D(points=[]).x_np  # NumPy looked up before the name is taken over
    patch.setattr(np, "memmap", Impostor)
    return values.view(Impostor)


LAYOUTS = [
    pytest.param(lambda v, *_: v, id="c-order"),
    pytest.param(lambda v, *_: np.asfortranarray(v), id="fortran"),
    pytest.param(lambda v, *_: np.repeat(v, 2, axis=0)[::2], id="strided"),
    pytest.param(lambda v, *_: v[::-1], id="reversed"),
    pytest.param(lambda v, *_: read_only(v), id="read-only"),
    pytest.param(lambda v, *_: np.broadcast_to(v[:1], v.shape), id="broadcast"),
    pytest.param(lambda v, *_: unaligned(v), id="unaligned"),
    pytest.param(lambda v, *_: v.view(Series), id="subclass"),
    pytest.param(lambda v, folder, _: memmapped(v, folder) if v.dtype.kind != "O" else v, id="memmap"),
    # Subclasses whose item access differs from their buffer: masked values, matrix rows.
    pytest.param(lambda v, *_: np.ma.array(v, mask=np.arange(v.size).reshape(v.shape) % 5 == 1), id="masked"),
    pytest.param(lambda v, *_: matrix(v), id="matrix"),
    # Item access that the interpreter finds past a class written in C in the method order.
    pytest.param(lambda v, *_: v.view(MixedIn), id="mixin-after-object"),
    # A class that numpy.memmap names only after NumPy's own was looked up.
    pytest.param(lambda v, _, patch: impostor_memmap(v, patch), id="replaced-memmap"),
]


class TestConstruction:
    @pytest.mark.parametrize(
        "kwargs",
        [
            {},
            {"points": None, "x": None, "y": None},
            {"points": [[0, 0]], "x": [1]},
            {"points": [[0, 0]], "x": [1], "y": [2]},
            {"x": [1, 2]},
            {"y": [1, 2]},
        ],
    )
    def test_wrong_combinations(self, kwargs):
        with pytest.raises(TypeError, match=CREATE_MESSAGE):
            Path2D(**kwargs)

    def test_positional_none_is_not_given(self):
        with pytest.raises(TypeError, match=CREATE_MESSAGE):
            Path2D(None, None, None)

    @pytest.mark.parametrize("kwargs", [{"points": []}, {"x": [], "y": []}, {"points": ()}])
    def test_empty_paths(self, kwargs):
        p = Path2D(**kwargs)
        assert p.points == [] and p.x == [] and p.y == []

    def test_from_points_accepts_any_sequences_of_numbers(self):
        p = Path2D(points=((0, 0), (1, 2), np.array([3.5, 4]), [np.float32(1.5), True]))
        assert p.points == [[0.0, 0.0], [1.0, 2.0], [3.5, 4.0], [1.5, 1.0]]
        assert all(type(v) is float for point in p.points for v in point)
        assert p.x == [0.0, 1.0, 3.5, 1.5] and p.y == [0.0, 2.0, 4.0, 1.0]

    def test_unequal_coordinate_lists_keep_both_whole(self):
        p = Path2D(x=[1, 2, 3], y=[4, 5])
        assert p.points == [[1.0, 4.0], [2.0, 5.0]]
        assert p.x == [1.0, 2.0, 3.0] and p.y == [4.0, 5.0]
        assert p.x_np.shape == (3,)
        assert len(p.path_length_per_point) == len(p.orientation) == len(p.curvature) == 2
        assert len(p.unit_tangent_vector) == 2

    @pytest.mark.parametrize(
        "array",
        [
            np.arange(10.0).reshape(5, 2),
            np.arange(20.0).reshape(5, 4)[:, 1:3],
            np.asfortranarray(np.arange(10.0).reshape(5, 2)),
            np.arange(10, dtype=np.int32).reshape(5, 2),
            np.arange(10.0, dtype=">f8").reshape(5, 2),
        ],
        ids=["c-order", "strided", "fortran", "int32", "big-endian"],
    )
    def test_numpy_points_match_nested_lists(self, array):
        assert Path2D(points=array).points == Path2D(points=array.tolist()).points

    @pytest.mark.parametrize("layout", LAYOUTS)
    @pytest.mark.parametrize("dtype", DTYPES)
    def test_arrays_convert_as_their_elements_do(self, dtype, layout, tmp_path, monkeypatch):
        """Values bit for bit, or the same error, as the element-wise conversion of the same
        object; the buffer of an array is read straight only where that holds."""
        values = layout(sample_values(dtype), tmp_path, monkeypatch)
        rows = layout(sample_values(dtype)[:6].reshape(3, 2), tmp_path, monkeypatch)
        assert outcome(lambda: Path2D(points=rows)) == outcome(lambda: Path2D(points=ElementWise(rows)))
        assert outcome(lambda: Path2D(x=values, y=values)) == outcome(
            lambda: Path2D(x=ElementWise(values), y=ElementWise(values))
        )

    @pytest.mark.parametrize(
        "make",
        [
            lambda: array.array("d", [1.5, -0.0, math.inf]),
            lambda: array.array("f", [0.1, 2.5]),
            lambda: array.array("q", [2**63 - 1, -(2**53) - 1]),
            lambda: array.array("Q", [2**64 - 1, 2**53 + 1]),
            lambda: array.array("b", [-128, 5]),
            lambda: b"\x00\xff",
            lambda: bytearray(b"ab"),
            lambda: memoryview(np.array([1.5, 2.0])),
            lambda: memoryview(np.array([1.5, 2.0], ">f8")),
            lambda: memoryview(np.zeros((2, 2))),
            lambda: memoryview(b"xyz").cast("c"),
            lambda: IteratesOtherwise(b"\x00\xff"),
        ],
        ids=[
            "array-d",
            "array-f",
            "array-q",
            "array-Q",
            "array-b",
            "bytes",
            "bytearray",
            "memoryview",
            "memoryview-big-endian",
            "memoryview-2d",
            "memoryview-char",
            "bytes-mixin-after-object",
        ],
    )
    def test_other_buffers_convert_as_their_elements_do(self, make):
        assert outcome(lambda: Path2D(x=make(), y=make())) == outcome(
            lambda: Path2D(x=ElementWise(make()), y=ElementWise(make()))
        )
        assert outcome(lambda: Path2D(points=make())) == outcome(lambda: Path2D(points=ElementWise(make())))

    @pytest.mark.parametrize(
        "x",
        [np.linspace(0, 1, 7), np.linspace(0, 1, 14)[::2], np.arange(7, dtype=np.float32)],
        ids=["contiguous", "strided", "float32"],
    )
    def test_numpy_coordinates_match_lists(self, x):
        p = Path2D(x=x, y=x[::-1])
        assert p.x == [float(v) for v in x]
        assert p.y == [float(v) for v in x[::-1]]

    def test_point_of_wrong_length_is_a_value_error(self):
        with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 1\)$"):
            Path2D(points=[[0, 0], [1]])
        with pytest.raises(ValueError, match=r"^expected a sequence of length 2 \(got 3\)$"):
            Path2D(points=[[0, 0, 0]])
        with pytest.raises(ValueError, match=r"\(got 3\)$"):
            Path2D(points=np.zeros((4, 3)))

    def test_conversion_errors_name_the_argument_and_come_first(self):
        with pytest.raises(TypeError, match="^argument 'points': Can't extract `str` to `Vec`$"):
            Path2D(points="ab")
        with pytest.raises(TypeError, match="^argument 'x': Can't extract `str` to `Vec`$"):
            Path2D(points=[[0, 0]], x="12")
        with pytest.raises(TypeError, match="^argument 'y': 'set' object cannot be converted to 'Sequence'$"):
            Path2D(x=[1], y={1})
        with pytest.raises(
            TypeError, match="^argument 'points': 'int' object cannot be converted to 'Sequence'$"
        ):
            Path2D(points=[1, 2])
        with pytest.raises(TypeError, match="^argument 'x': must be real number, not str$"):
            Path2D(x=["a"], y=[1])

    def test_non_finite_values_are_accepted(self):
        p = Path2D(points=[[math.nan, math.inf], [-math.inf, 0]])
        assert math.isnan(p.points[0][0]) and p.points[0][1] == math.inf
        assert math.isnan(p.length)

    def test_binding_messages(self):
        with pytest.raises(
            TypeError, match=r"^Path2D.__new__\(\) takes from 0 to 3 positional arguments but 4 were given$"
        ):
            Path2D(1, 2, 3, 4)
        with pytest.raises(
            TypeError, match=r"^Path2D.__new__\(\) got multiple values for argument 'points'$"
        ):
            Path2D([], points=[])
        with pytest.raises(TypeError, match=r"^Path2D.__new__\(\) got an unexpected keyword argument 'z'$"):
            Path2D(z=[])


class TestDerivedQuantities:
    def test_empty_path(self):
        p = Path2D(points=[])
        for name in ("path_length_per_point", "orientation", "unit_tangent_vector", "curvature", "x", "y"):
            assert getattr(p, name) == []
        for name in ("x_np", "y_np", "path_length_per_point_np", "orientation_np", "curvature_np"):
            assert getattr(p, name).shape == (0,)
        assert p.points_np.shape == (0, 0)
        assert p.unit_tangent_vector_np.shape == (0, 0)
        assert p.length == 0.0

    def test_single_point(self):
        p = Path2D(points=[[2, 3]])
        assert p.path_length_per_point == [0.0] and p.length == 0.0
        assert p.orientation == [0.0]
        assert all(math.isnan(v) for v in p.unit_tangent_vector[0])
        assert math.isnan(p.curvature[0])

    def test_two_points(self):
        p = Path2D(points=[[0, 0], [3, 4]])
        assert p.path_length_per_point == [0.0, 5.0]
        assert p.orientation == [math.atan2(4, 3)] * 2
        assert p.unit_tangent_vector == [[0.6, 0.8], [0.6, 0.8]]
        assert p.curvature == [0.0, 0.0]

    def test_right_angle(self):
        p = Path2D(points=[[0, 0], [1, 0], [1, 1]])
        assert p.orientation == [0.0, math.pi / 4, math.pi / 2]
        assert p.curvature == pytest.approx([0.5, math.sqrt(2), 0.5])

    def test_hairpin(self):
        p = Path2D(points=[[0, 0], [1, 0], [0, 0]])
        assert p.orientation == [0.0, 0.0, math.pi]
        assert all(math.isnan(v) for v in p.unit_tangent_vector[1])

    def test_rigid_motion_keeps_lengths_and_curvature(self):
        t = np.linspace(0, 3, 60)
        x, y = 3 * np.cos(t) + 0.1 * t, 2 * np.sin(t)
        c, s = math.cos(0.7), math.sin(0.7)
        moved = Path2D(x=c * x - s * y + 100, y=s * x + c * y - 50)
        p = Path2D(x=x, y=y)
        assert moved.length == pytest.approx(p.length, rel=1e-12)
        assert moved.path_length_per_point_np == pytest.approx(p.path_length_per_point_np, abs=1e-9)
        assert moved.curvature_np == pytest.approx(p.curvature_np, abs=1e-9)

    def test_lists_and_arrays_agree(self):
        t = np.linspace(0, 2, 25)
        p = Path2D(x=t, y=t**2)
        for name in ("x", "y", "path_length_per_point", "orientation", "curvature"):
            assert np.array_equal(getattr(p, name + "_np"), np.array(getattr(p, name)))
        assert np.array_equal(p.points_np, np.array(p.points))
        assert np.array_equal(p.unit_tangent_vector_np, np.array(p.unit_tangent_vector))

    def test_matches_numpy_reference(self):
        rng = np.random.default_rng(3)
        x, y = rng.normal(size=200).cumsum(), rng.normal(size=200).cumsum()
        p = Path2D(x=x, y=y)
        arc = np.concatenate(([0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y)))))
        assert p.path_length_per_point_np == pytest.approx(arc, rel=1e-12)
        dx, dy = np.gradient(x), np.gradient(y)
        ddx, ddy = np.gradient(dx), np.gradient(dy)
        assert p.curvature_np == pytest.approx((dx * ddy - dy * ddx) / (dx**2 + dy**2) ** 1.5, rel=1e-9)
        assert p.unit_tangent_vector_np == pytest.approx(np.stack([dx, dy], 1) / np.hypot(dx, dy)[:, None])

    def test_results_are_fresh_copies(self):
        p = Path2D(points=[[0, 0], [1, 0]])
        lengths = p.path_length_per_point
        lengths.append(99.0)
        array = p.points_np
        array[0, 0] = 42.0
        assert p.path_length_per_point == [0.0, 1.0]
        assert p.points == [[0.0, 0.0], [1.0, 0.0]]
        assert p.points_np is not p.points_np


class TestRepr:
    def test_fresh_and_after_length(self):
        p = Path2D(points=[[0, 0], [3, 4]])
        caches = (
            "path_length_per_point: OnceCell(<uninit>), orientation: OnceCell(<uninit>), "
            "unit_tangent_vector: OnceCell(<uninit>), curvature: OnceCell(<uninit>)"
        )
        assert repr(p) == (
            "Path2D { path: Path2D { points: [[0.0, 0.0], [3.0, 4.0]], x: [0.0, 3.0], y: [0.0, 4.0], "
            f"{caches}, associated_values: [] }} }}"
        )
        assert str(p) == repr(p)
        p.length
        assert "path_length_per_point: OnceCell([0.0, 5.0])" in repr(p)
        p.unit_tangent_vector
        assert "unit_tangent_vector: OnceCell([[0.6, 0.8], [0.6, 0.8]])" in repr(p)

    def test_float_forms_and_associated_values(self):
        p = Path2D(x=[1e-5, 3, -0.0, math.nan], y=[1e16, 0.1, math.inf, -math.inf])
        p.add_associated_values([1, 2.5, 1e-7, 4])
        text = repr(p)
        assert "points: [[1e-5, 1e16], [3.0, 0.1], [-0.0, inf], [NaN, -inf]]" in text
        assert text.endswith("associated_values: [[1.0, 2.5, 1e-7, 4.0]] } }")

    def test_repr_does_not_fill_caches(self):
        p = Path2D(points=[[0, 0], [1, 1]])
        repr(p)
        assert repr(p).count("OnceCell(<uninit>)") == 4
