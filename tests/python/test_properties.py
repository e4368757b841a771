"""Properties of the path operations on generated paths (hypothesis)."""

import math

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

coordinate = st.floats(-1e3, 1e3, allow_nan=False, allow_infinity=False)
point = st.tuples(coordinate, coordinate)
interpolation = st.sampled_from([InterpolationMethod.Linear, InterpolationMethod.Cubic])


def paths(min_size=2, max_size=12):
    return st.lists(point, min_size=min_size, max_size=max_size)


@pytest.fixture(scope="module")
def count(reliability):
    """Counts the examples a property was run on."""

    def one():
        reliability.add("property examples", 1)

    return one


def close(a, b, scale):
    return abs(a - b) <= 1e-9 * (1 + scale)


def scale_of(points):
    return max((abs(c) for p in points for c in p), default=0.0)


def distance_to_polyline(q, points):
    best = math.inf
    for a, b in zip(points, points[1:]):
        d = np.subtract(b, a)
        length2 = float(d @ d)
        t = 0.0 if length2 == 0 else min(1.0, max(0.0, float(np.subtract(q, a) @ d) / length2))
        foot = np.add(a, t * d)
        best = min(best, math.dist(q, foot))
    if len(points) == 1:
        best = math.dist(q, points[0])
    return best


def polyline_length(points):
    return sum(math.dist(a, b) for a, b in zip(points, points[1:]))


def turn_angle(a, b, c):
    """The turn at b, computed as the repair does: in [0, pi]."""
    h_in = math.atan2(b[1] - a[1], b[0] - a[0])
    h_out = math.atan2(c[1] - b[1], c[0] - b[0])
    d = abs(h_out - h_in)
    return abs(6.283185307179586 - d) if d > 3.141592653589793 else d


@given(points=paths(), number=st.integers(2, 200), kind=interpolation)
def test_resampling_by_number_keeps_count_and_end_points(points, number, kind, count):
    count()
    path = Path2D(points=points)
    resampled = path.resampled_path(ResamplingMethod.by_number_points(number), kind).points
    scale = scale_of(points)
    assert len(resampled) == number
    for got, want in ((resampled[0], points[0]), (resampled[-1], points[-1])):
        assert close(got[0], want[0], scale) and close(got[1], want[1], scale), (got, want)


@given(data=st.data(), number=st.integers(1, 100), distance=st.floats(0.05, 50.0), drop_last=st.booleans())
def test_linear_resampling_keeps_associated_values_within_their_range(
    data, number, distance, drop_last, count
):
    count()
    points = data.draw(paths())
    values = data.draw(st.lists(st.floats(-1e6, 1e6), min_size=len(points), max_size=len(points)))
    path = Path2D(points=points)
    handle = path.add_associated_values(values)
    low, high = min(values), max(values)
    slack = 1e-9 * max(abs(low), abs(high), 1.0)
    for method in (
        ResamplingMethod.by_number_points(number),
        ResamplingMethod.by_sampling_distance(distance, drop_last),
    ):
        resampled = path.resampled_path(method, InterpolationMethod.Linear)
        got = resampled.associated_values(handle)
        assert len(got) == len(resampled.points)
        assert all(low - slack <= v <= high + slack for v in got), (low, high, got)


@given(points=paths(min_size=2, max_size=10), iterations=st.integers(0, 6))
def test_chaikin_multiplies_the_count_and_keeps_the_ends(points, iterations, count):
    count()
    smoothed = Path2D(points=points).smoothed_path_chaikin(iterations).points
    assert len(smoothed) == len(points) * 2**iterations
    assert smoothed[0] == list(points[0]) and smoothed[-1] == list(points[-1])


@given(data=st.data(), epsilon=st.sampled_from([0.0, 0.01, 0.5]))
def test_sub_path_lies_on_the_path_and_is_no_longer(data, epsilon, count):
    count()
    points = data.draw(paths(max_size=8))
    path = Path2D(points=points)
    # Cut points near the path (where cuts usually land) and anywhere.
    near = st.builds(
        lambda p, dx, dy: (p[0] + dx, p[1] + dy), st.sampled_from(points), st.floats(-2, 2), st.floats(-2, 2)
    )
    cut = st.one_of(st.none(), near, point)
    start, end = data.draw(cut), data.draw(cut)
    sub = path.sub_path(start, end, epsilon)
    if sub is None:
        return
    scale = scale_of(points)
    for q in sub.points:
        assert distance_to_polyline(q, points) <= 1e-9 * (1 + scale), q
    assert sub.length <= path.length * (1 + 1e-12) + 1e-9 * (1 + scale)


@given(
    steps=st.lists(st.tuples(st.floats(0.1, 20), st.floats(-50, 50)), min_size=1, max_size=10),
    origin=point,
    angle=st.floats(0, 2 * math.pi),
)
def test_path_length_from_own_vertex_is_its_arc_length(steps, origin, angle, count):
    """On a path that advances along one direction (any direction), every vertex projects onto
    itself: its path length is its own arc length."""
    count()
    c, s = math.cos(angle), math.sin(angle)
    along, across = np.cumsum([0.0] + [a for a, _ in steps]), [0.0] + [b for _, b in steps]
    points = [(origin[0] + u * c - v * s, origin[1] + u * s + v * c) for u, v in zip(along, across)]
    path = Path2D(points=points)
    lengths = path.path_length_per_point
    for vertex, length in zip(points, lengths):
        assert path.path_length_from_point(vertex) == pytest.approx(length, rel=1e-12, abs=1e-9)


@given(data=st.data(), sus_angle=st.floats(0.0, math.pi))
def test_repair_leaves_no_sharp_turn_and_keeps_values_aligned(data, sus_angle, count):
    count()
    # Small integer grids make reversals and repeated points common.
    grid = st.tuples(st.integers(-4, 4).map(float), st.integers(-4, 4).map(float))
    points = data.draw(st.one_of(paths(min_size=0, max_size=14), st.lists(grid, max_size=14)))
    path = Path2D(points=points)
    handle = path.add_associated_values([float(i) for i in range(len(points))])
    repaired = path.repair_corrupted_point_order(sus_angle)
    kept = repaired.points
    assert all(turn_angle(*kept[j - 1 : j + 2]) < sus_angle for j in range(1, len(kept) - 1))
    # The value list identifies each kept point's source index: in order, and the same point.
    indices = repaired.associated_values(handle)
    assert len(indices) == len(kept)
    assert indices == sorted(indices)
    assert all(kept[j] == list(points[int(i)]) for j, i in enumerate(indices))


@given(
    points=paths(min_size=2, max_size=15),
    bound=st.floats(0.01, 5.0),
    method=st.sampled_from([ElasticBandMethod.SquareBounds, ElasticBandMethod.OrthogonalBounds]),
)
def test_elastic_band_stays_within_the_bound(points, bound, method, count):
    count()
    assume(polyline_length(points) > 0)
    smoothed = Path2D(points=points).smoothed_path_elastic_band(bound, method)
    if smoothed is None:
        return  # the solver reported no solution, which the method allows
    # The solver meets its constraints to about 1e-4 relative to the problem's size.
    slack = 1e-3 * (1 + scale_of(points))
    got = np.array(smoothed.points)
    want = np.array(points, dtype=float)
    assert got.shape == want.shape
    offset = np.abs(got - want)
    assert np.all(offset[[0, -1]] <= slack)
    if method == ElasticBandMethod.SquareBounds:
        assert np.all(offset <= bound + slack)
    else:
        assert np.all(np.hypot(offset[:, 0], offset[:, 1]) <= bound + slack)


@given(points=paths(min_size=0, max_size=40), max_rmse=st.floats(0.0, 10.0) | st.just(math.nan))
def test_curvature_from_circle_fits_has_one_value_per_point(points, max_rmse, count):
    count()
    path = Path2D(points=points)
    curvature = path.compute_circle_fit_curvature(max_rmse)
    assert len(curvature) == len(points)
    segments = path.find_circle_segments(0, len(points), max_rmse)
    assert [s[0] for s in segments[1:]] == [s[1] for s in segments[:-1]]
    assert curvature == [k for s, e, k in segments for _ in range(s, e)]
