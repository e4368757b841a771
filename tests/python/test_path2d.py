"""Construction of Path2D, its derived quantities and its representation."""

import math

import numpy as np
import pytest

from korvane import Path2D

CREATE_MESSAGE = "^Create path either from points or coordinates$"


class TestConstruction:
    @pytest.mark.parametrize(
        "kwargs",
        [{}, {"points": None, "x": None, "y": None}, {"points": [[0, 0]], "x": [1]},
         {"points": [[0, 0]], "x": [1], "y": [2]}, {"x": [1, 2]}, {"y": [1, 2]}],
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
        [np.arange(10.0).reshape(5, 2), np.arange(20.0).reshape(5, 4)[:, 1:3],
         np.asfortranarray(np.arange(10.0).reshape(5, 2)), np.arange(10, dtype=np.int32).reshape(5, 2),
         np.arange(10.0, dtype=">f8").reshape(5, 2)],
        ids=["c-order", "strided", "fortran", "int32", "big-endian"],
    )
    def test_numpy_points_match_nested_lists(self, array):
        assert Path2D(points=array).points == Path2D(points=array.tolist()).points

    @pytest.mark.parametrize(
        "x", [np.linspace(0, 1, 7), np.linspace(0, 1, 14)[::2], np.arange(7, dtype=np.float32)],
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
        with pytest.raises(TypeError, match="^argument 'points': 'int' object cannot be converted to 'Sequence'$"):
            Path2D(points=[1, 2])
        with pytest.raises(TypeError, match="^argument 'x': must be real number, not str$"):
            Path2D(x=["a"], y=[1])

    def test_non_finite_values_are_accepted(self):
        p = Path2D(points=[[math.nan, math.inf], [-math.inf, 0]])
        assert math.isnan(p.points[0][0]) and p.points[0][1] == math.inf
        assert math.isnan(p.length)

    def test_binding_messages(self):
        with pytest.raises(TypeError, match=r"^Path2D.__new__\(\) takes from 0 to 3 positional arguments but 4 were given$"):
            Path2D(1, 2, 3, 4)
        with pytest.raises(TypeError, match=r"^Path2D.__new__\(\) got multiple values for argument 'points'$"):
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
        caches = "path_length_per_point: OnceCell(<uninit>), orientation: OnceCell(<uninit>), " \
                 "unit_tangent_vector: OnceCell(<uninit>), curvature: OnceCell(<uninit>)"
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
