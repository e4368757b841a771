"""Resampling by count and by distance, against a NumPy restatement of the splines over arc length."""

import math

import numpy as np
import pytest
from korvane import InterpolationMethod, Path2D, ResamplingMethod

LINEAR = InterpolationMethod.Linear
CUBIC = InterpolationMethod.Cubic
KINDS = pytest.mark.parametrize("kind", [LINEAR, CUBIC], ids=["linear", "cubic"])
by_count = ResamplingMethod.by_number_points
by_distance = ResamplingMethod.by_sampling_distance


# NumPy restatement: keys are the arc lengths with a guard at -1 before them and two at
# L + 0.01 and L + 0.02 after them; a position takes the segment of the last key not above it.


def arc_length(x, y):
    dx, dy = np.diff(x), np.diff(y)
    return np.concatenate(([0.0], np.cumsum(np.sqrt(dx * dx + dy * dy))))


def evenly(end, count):
    positions = np.arange(count, dtype=float) * (end / (count - 1) if count >= 2 else 0.0)
    if count:
        positions[-1] = end
    return positions


def reference_positions(length, method, epsilon):
    if isinstance(method, ResamplingMethod.ByNumberPoints):
        return evenly(length, method.number_points)
    d = method.sampling_distance
    k = math.floor(length / d)
    end = d * k
    positions = evenly(end, k + 1)
    if not method.drop_last and abs(end - length) > epsilon:
        positions = np.append(positions, length)
    return positions


def reference_sample(s, values, positions, kind):
    """`values` may be longer than `s`: its last entry then still feeds the trailing guards."""
    values = np.asarray(values, dtype=float)
    t = np.concatenate(([-1.0], s, [s[-1] + 0.01, s[-1] + 0.02]))
    v = np.concatenate(([values[0]], values[: len(s)], [values[-1], values[-1]]))
    i = np.searchsorted(t, positions, side="right") - 1
    inside = (i >= 0) & (i < len(t) - 1) if kind == LINEAR else (i >= 1) & (i < len(t) - 2)
    i = np.clip(i, 1, len(t) - 3)
    a_t, b_t, a, b = t[i], t[i + 1], v[i], v[i + 1]
    nt = (positions - a_t) / (b_t - a_t)
    if kind == LINEAR:
        out = (1.0 - nt) * a + nt * b
    else:
        h = b_t - a_t
        m0 = (b - v[i - 1]) / (b_t - t[i - 1]) * h
        m1 = (v[i + 2] - a) / (t[i + 2] - a_t) * h
        nt2 = nt * nt
        nt3 = nt2 * nt
        out = (
            (a * (2.0 * nt3 - 3.0 * nt2 + 1.0) + m0 * (nt3 - 2.0 * nt2 + nt))
            + b * (3.0 * nt2 - 2.0 * nt3)
            + m1 * (nt3 - nt2)
        )
    return np.where(inside, out, 0.0)


def reference_resampling(x, y, lists, method, kind, epsilon=0.01):
    n = min(len(x), len(y))
    s = arc_length(np.asarray(x[:n], dtype=float), np.asarray(y[:n], dtype=float))
    positions = reference_positions(s[-1], method, epsilon)
    return (
        [reference_sample(s, x, positions, kind), reference_sample(s, y, positions, kind)],
        [reference_sample(s, values, positions, kind) for values in lists],
    )


def random_walk(n, seed, repeats=0, offset=(0.0, 0.0)):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(n - 1, 2)) * rng.uniform(0.01, 3.0, size=(n - 1, 1))
    steps[rng.choice(n - 1, size=repeats, replace=False)] = 0.0
    points = np.concatenate(([[0.0, 0.0]], np.cumsum(steps, axis=0))) + offset
    return points[:, 0], points[:, 1]


def hairpins(n, seed):
    # Back and forth along nearly the same line: every sample sits next to a reversal.
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 4.0, size=n) * np.where(np.arange(n) % 2, -1.0, 1.0))
    return x, rng.normal(scale=1e-3, size=n)


SHAPES = {
    "walk": lambda: random_walk(60, 1),
    "repeated-points": lambda: random_walk(60, 2, repeats=12),
    "georeferenced": lambda: random_walk(60, 3, offset=(512_000.0, 5_400_000.0)),
    "hairpins": lambda: hairpins(40, 4),
}
# From arc length 2^47 on, L + 0.01 rounds onto L; the end guard keys must still lie above it.
# (Lengths far beyond 1e154 are out of reach: a segment's squared length would overflow.)
LONG_SHAPES = {
    f"length-{name}": (
        lambda length: lambda: (np.array([0.0, length / 2, length]), np.array([5.0, 6.0, 7.0]))
    )(length)
    for name, length in [("2^47", 2.0**47), ("2^52", 2.0**52), ("1e150", 1e150)]
}
METHODS = {
    "count-1": by_count(1),
    "count-2": by_count(2),
    "count-7": by_count(7),
    "count-500": by_count(500),
    "distance-0.37": by_distance(0.37),
    "distance-0.37-keep-end": by_distance(0.37, False),
    "distance-5-keep-end": by_distance(5.0, False),
    "distance-beyond-length": by_distance(1e4, False),
}


def resampled(x, y, lists, method, kind, epsilon=0.01):
    p = Path2D(x=x, y=y)
    for values in lists:
        p.add_associated_values(values)
    return p.resampled_path(method, kind, epsilon)


def coordinates(p):
    return np.asarray(p.points, dtype=float).reshape(-1, 2).T


class TestAgainstReference:
    @KINDS
    @pytest.mark.parametrize("method", METHODS.values(), ids=METHODS.keys())
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_points_and_values(self, shape, method, kind):
        x, y = shape()
        rng = np.random.default_rng(5)
        lists = [rng.normal(size=len(x)), np.arange(len(x), dtype=float) ** 2]
        (ex, ey), expected_lists = reference_resampling(x, y, lists, method, kind)
        q = resampled(x, y, lists, method, kind)
        got_x, got_y = coordinates(q)
        scale = max(1.0, np.abs(x).max(), np.abs(y).max())
        np.testing.assert_allclose(got_x, ex, rtol=1e-13, atol=1e-13 * scale)
        np.testing.assert_allclose(got_y, ey, rtol=1e-13, atol=1e-13 * scale)
        assert q.x == q.points_np[:, 0].tolist() if len(ex) else q.x == []
        for handle, expected in enumerate(expected_lists):
            np.testing.assert_allclose(q.associated_values(handle), expected, rtol=1e-13, atol=1e-10)
        assert q.associated_values(len(lists)) is None

    @KINDS
    @pytest.mark.parametrize("method", [by_count(9), by_distance(0.6, False)], ids=["count", "distance"])
    def test_longer_coordinate_list_feeds_the_end_guards(self, method, kind):
        # Two points; the third x value is no point, but the keys after the end carry it.
        x, y = [0.0, 1.0, 40.0], [0.0, 3.0]
        (ex, ey), _ = reference_resampling(x, y, [], method, kind)
        got_x, got_y = coordinates(resampled(x, y, [], method, kind))
        np.testing.assert_allclose(got_x, ex, rtol=1e-13, atol=1e-13)
        np.testing.assert_allclose(got_y, ey, rtol=1e-13, atol=1e-13)
        assert got_x[0] == 0.0 and got_x[-1] == 1.0
        if kind == CUBIC:
            assert abs(got_x[len(got_x) // 2] - 0.5) > 0.5  # pulled towards 40 by the guard tangent

    @KINDS
    def test_long_path(self, kind):
        # Lists of several MiB take the huge-page allocation path.
        x, y = random_walk(300_000, 13)
        values = np.sin(np.arange(300_000) / 50.0)
        method = by_count(400_000)
        (ex, ey), (expected,) = reference_resampling(x, y, [values], method, kind)
        q = resampled(x, y, [values], method, kind)
        np.testing.assert_allclose(q.x_np, ex, rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(q.y_np, ey, rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(q.associated_value_np(0), expected, rtol=1e-12, atol=1e-12)


class TestWorkedExamples:
    LINE = [[0, 0], [10, 0]]

    @pytest.mark.parametrize(
        "drop_last, kind, expected_x",
        [
            (False, LINEAR, [0.0, 3.0, 6.0, 9.0, 10.0]),
            (True, LINEAR, [0.0, 3.0, 6.0, 9.0]),
            (
                False,
                CUBIC,
                [
                    0.0,
                    pytest.approx(2.86699, abs=5e-6),
                    pytest.approx(5.91417, abs=5e-6),
                    pytest.approx(8.99263, abs=5e-6),
                    10.0,
                ],
            ),
        ],
    )
    def test_straight_line_by_distance(self, drop_last, kind, expected_x):
        p = Path2D(points=self.LINE)
        handle = p.add_associated_values([0, 10])
        q = p.resampled_path(by_distance(3.0, drop_last), kind)
        assert q.x == expected_x and q.y == [0.0] * len(expected_x)
        # The value list is resampled with the same spline kind as the coordinates.
        assert q.associated_values(handle) == q.x

    @pytest.mark.parametrize(
        "length, distance, drop_last, positions",
        [
            (10.0, 4.0, False, [0, 4, 8, 10]),
            (10.0, 4.0, True, [0, 4, 8]),
            (10.005, 2.5, False, [0, 2.5, 5, 7.5, 10]),  # the end lies within epsilon of 10
            (10.0, 12.0, False, [0, 10]),
            (10.0, 12.0, True, [0]),
            (0.005, 12.0, False, [0]),  # the end lies within epsilon of 0
            (10.0, 2.5, False, [0, 2.5, 5, 7.5, 10]),
        ],
    )
    def test_positions_by_distance(self, length, distance, drop_last, positions):
        # A path along y = x / 2 with an inner vertex, so positions read back from x alone.
        scale = 2.0 / math.sqrt(5.0)
        x = [0.0, 0.3 * length * scale, length * scale]
        p = Path2D(x=x, y=[v / 2.0 for v in x])
        q = p.resampled_path(by_distance(distance, drop_last))
        assert np.asarray(q.x) / scale == pytest.approx(positions, abs=1e-12)

    def test_epsilon_decides_whether_the_end_is_appended(self):
        p = Path2D(points=[[0, 0], [10.005, 0]])
        assert len(p.resampled_path(by_distance(2.5, False), epsilon=0.01).points) == 5
        assert p.resampled_path(by_distance(2.5, False), epsilon=0.001).x[-2:] == [10.0, 10.005]
        assert len(p.resampled_path(by_distance(2.5, False), epsilon=math.nan).points) == 5

    @KINDS
    def test_epsilon_does_not_matter_by_count(self, kind):
        x, y = random_walk(30, 6)
        p = Path2D(x=x, y=y)
        expected = p.resampled_path(by_count(17), kind).points
        for epsilon in (0.0, 100.0, -1.0, math.nan):
            assert p.resampled_path(by_count(17), kind, epsilon).points == expected

    @KINDS
    def test_one_and_two_points_by_count(self, kind):
        x, y = random_walk(20, 7)
        p = Path2D(x=x, y=y)
        last = [x[-1], y[-1]]
        assert p.resampled_path(by_count(1), kind).points == [last]
        assert p.resampled_path(by_count(2), kind).points == [[x[0], y[0]], last]

    @KINDS
    def test_coincident_points_resample_to_the_last_one(self, kind):
        p = Path2D(points=[[2, 3]] * 4)
        handle = p.add_associated_values([1, 2, 3, 4])
        q = p.resampled_path(by_count(3), kind)
        assert q.points == [[2.0, 3.0]] * 3 and q.associated_values(handle) == [4.0] * 3
        q = p.resampled_path(by_distance(0.5, False), kind)
        assert q.points == [[2.0, 3.0]] and q.associated_values(handle) == [4.0]

    @KINDS
    def test_repeated_point_gives_way_to_the_later_one(self, kind):
        p = Path2D(points=[[0, 0], [1, 0], [1, 0], [1, 1]])
        handle = p.add_associated_values([0, 1, 5, 6])
        q = p.resampled_path(by_count(3), kind)
        assert q.points == [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0]]
        assert q.associated_values(handle) == [0.0, 5.0, 6.0]


def distance_to_polyline(px, py, qx, qy):
    """Distance of each query to the nearest segment of the polyline."""
    ax, ay = px[:-1, None], py[:-1, None]
    dx, dy = np.diff(px)[:, None], np.diff(py)[:, None]
    squared = dx * dx + dy * dy
    with np.errstate(divide="ignore", invalid="ignore"):
        t = np.clip(np.nan_to_num(((qx - ax) * dx + (qy - ay) * dy) / squared), 0.0, 1.0)
    return np.hypot(ax + t * dx - qx, ay + t * dy - qy).min(axis=0)


class TestInvariants:
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    @pytest.mark.parametrize("method", [by_count(301), by_distance(0.23, False)], ids=["count", "distance"])
    def test_linear_samples_lie_on_the_polyline_at_their_arc_length(self, shape, method):
        x, y = shape()
        q = Path2D(x=x, y=y).resampled_path(method)
        qx, qy = coordinates(q)
        scale = max(1.0, np.abs(x).max(), np.abs(y).max())
        assert distance_to_polyline(x, y, qx, qy).max() <= 1e-12 * scale
        # Consecutive samples are at most one step apart along the path, never further.
        step = np.diff(reference_positions(arc_length(x, y)[-1], method, 0.01))
        assert np.all(np.hypot(np.diff(qx), np.diff(qy)) <= step + 1e-12 * scale)

    @KINDS
    @pytest.mark.parametrize("n", [2, 3, 50, 1001])
    @pytest.mark.parametrize("shape", [*SHAPES.values(), *LONG_SHAPES.values()], ids=[*SHAPES, *LONG_SHAPES])
    def test_count_and_end_points_are_kept(self, shape, n, kind):
        x, y = shape()
        q = Path2D(x=x, y=y).resampled_path(by_count(n), kind)
        points = q.points
        assert len(points) == n and len(q.x) == len(q.y) == n
        assert points[0] == [x[0], y[0]] and points[-1] == [x[-1], y[-1]]

    @KINDS
    def test_equidistant_path_resampled_at_its_spacing_is_itself(self, kind):
        # Every position is a key, where both kinds return the key's value exactly.
        angles = np.cumsum(np.random.default_rng(8).normal(scale=0.4, size=40))
        x = np.concatenate(([0.0], np.cumsum(np.cos(angles) * 0.5)))
        y = np.concatenate(([0.0], np.cumsum(np.sin(angles) * 0.5)))
        p = Path2D(x=x, y=y)
        lengths = p.path_length_per_point
        # Steps of 0.5 whose lengths come out exact: the positions are the arc lengths bit for bit.
        assert np.array_equal(evenly(lengths[-1], len(x)), lengths)
        assert p.resampled_path(by_count(len(x)), kind).points == p.points
        assert p.resampled_path(by_distance(0.5, False), kind).points == p.points

    @pytest.mark.parametrize("method", [by_count(200), by_distance(0.7, False)], ids=["count", "distance"])
    def test_linear_values_stay_within_their_range(self, method):
        x, y = random_walk(50, 9, repeats=5)
        rng = np.random.default_rng(10)
        lists = [rng.normal(size=50), rng.uniform(-1e9, 1e9, size=50), np.full(50, 3.25)]
        q = resampled(x, y, lists, method, LINEAR)
        for handle, values in enumerate(lists):
            got = np.asarray(q.associated_values(handle))
            assert len(got) == len(q.points)
            # (1 - nt) * a + nt * b may round a unit in the last place past a or b.
            slack = 2.0 * np.spacing(np.abs(values).max())
            assert values.min() - slack <= got.min() and got.max() <= values.max() + slack
        assert q.associated_values(2) == pytest.approx([3.25] * len(q.points), rel=1e-15)

    @KINDS
    @pytest.mark.parametrize("angle, shift", [(0.0, (1e3, -2e3)), (0.9, (0.0, 0.0)), (-2.4, (-40.0, 15.0))])
    def test_moving_the_path_moves_the_samples(self, kind, angle, shift):
        x, y = random_walk(40, 11)
        c, s = math.cos(angle), math.sin(angle)
        moved = Path2D(x=c * x - s * y + shift[0], y=s * x + c * y + shift[1])
        base = coordinates(Path2D(x=x, y=y).resampled_path(by_distance(0.4, False), kind))
        got = coordinates(moved.resampled_path(by_distance(0.4, False), kind))
        expected = np.array([c * base[0] - s * base[1] + shift[0], s * base[0] + c * base[1] + shift[1]])
        np.testing.assert_allclose(got, expected, rtol=0, atol=1e-9)


class TestDegenerateInput:
    @pytest.mark.parametrize("points", [[], [[1.5, -2.0]]], ids=["empty", "single"])
    @pytest.mark.parametrize(
        "method",
        [
            by_count(0),
            by_count(5),
            by_count(2**63),
            by_distance(0.0),
            by_distance(math.nan, False),
            by_distance(-1.0),
        ],
    )
    def test_short_paths_are_copied_whatever_the_method(self, points, method):
        p = Path2D(points=points)
        p.add_associated_values([7.0] * len(points))
        p.length  # the copy carries the filled cache as it stands
        assert repr(p.resampled_path(method, CUBIC, math.nan)) == repr(p)

    @KINDS
    def test_zero_points_give_an_empty_path(self, kind):
        p = Path2D(points=[[0, 0], [1, 1], [2, 0]])
        first = p.add_associated_values([1, 2, 3])
        second = p.add_associated_values([4, 5, 6])
        q = p.resampled_path(by_count(0), kind)
        assert q.points == [] and q.x == [] and q.y == [] and q.length == 0.0
        assert q.associated_values(first) == [] and q.associated_values(second) == []
        assert q.associated_values(2) is None

    @pytest.mark.parametrize(
        "distance, shown",
        [
            (0.0, "0.0"),
            (-0.0, "-0.0"),
            (-2.5, "-2.5"),
            (math.nan, "nan"),
            (math.inf, "inf"),
            (-math.inf, "-inf"),
        ],
    )
    @pytest.mark.parametrize("points", [[[0, 0], [3, 4]], [[1, 1], [1, 1]]], ids=["length-5", "length-0"])
    def test_sampling_distance_must_be_positive_and_finite(self, points, distance, shown):
        with pytest.raises(ValueError) as raised:
            Path2D(points=points).resampled_path(by_distance(distance))
        assert str(raised.value) == f"sampling_distance must be a positive finite number, got {shown}"

    @pytest.mark.parametrize(
        "distance, length",
        [(1e-300, 10.0), (5e-324, 1.0), (1e-9, 10.0), (10.0 / 2**32, 10.0), (1e15, 1e25), (1e-5, 1e16)],
    )
    def test_sampling_distance_too_small_for_memory_is_refused_up_front(self, distance, length):
        # Refused from the count alone: nothing near that many points is allocated first.
        p = Path2D(points=[[0, 0], [length, 0]])
        with pytest.raises(ValueError) as raised:
            p.resampled_path(by_distance(distance))
        # Both numbers as Python spells them.
        assert str(raised.value) == (
            f"sampling_distance {distance!r} is too small for a path of length {length!r}: "
            f"more than 4294967296 points"
        )

    @pytest.mark.parametrize("count", [2**32 + 1, 2**63, 2**64 - 1])
    def test_number_points_too_large_for_memory_is_refused_up_front(self, count):
        with pytest.raises(ValueError, match=f"^number_points must be at most 4294967296, got {count}$"):
            Path2D(points=[[0, 0], [1, 0]]).resampled_path(by_count(count))

    @pytest.mark.parametrize(
        "points, shown",
        [
            ([[0, 0], [math.nan, 1], [2, 2]], "nan"),
            ([[0, 0], [1, 1], [2, math.nan]], "nan"),
            ([[0, 0], [math.inf, 0]], "inf"),
            ([[math.inf, 0], [math.inf, 0]], "nan"),
            ([[0, 0], [1e308, 0], [-1e308, 0]], "inf"),  # finite points, overflowing length
        ],
    )
    @pytest.mark.parametrize("method", [by_count(4), by_distance(0.5, False)], ids=["count", "distance"])
    def test_path_of_infinite_or_undefined_length_is_refused(self, points, shown, method):
        with pytest.raises(
            ValueError, match=f"^cannot resample a path whose length is not finite, got {shown}$"
        ):
            Path2D(points=points).resampled_path(method)


class TestResultAndSource:
    def test_result_is_fresh_and_source_keeps_its_lists(self):
        p = Path2D(points=[[0, 0], [1, 0], [1, 2]])
        p.add_associated_values([0, 1, 2])
        before = p.points, p.associated_values(0)
        q = p.resampled_path(by_count(5), CUBIC)
        assert repr(q).count("OnceCell(<uninit>)") == 4
        assert (p.points, p.associated_values(0)) == before
        # Only the arc length of the source has been computed on the way.
        assert "path_length_per_point: OnceCell([0.0, 1.0, 3.0])" in repr(p)
        assert repr(p).count("OnceCell(<uninit>)") == 3
        assert q.length == pytest.approx(3.0, abs=0.5)


RESAMPLED_DOC = (
    "resampled_path(resampling_method, resampling_type=InterpolationMethod.Linear, epsilon=0.01)\n\n"
    "Resamples the path equidistantly using the given interpolation method.\n\n"
    ":param number_points: Number of points of the resampled path\n:param resampling_type: Method of "
    "interpolation\n:param epsilon: The distance within two points are considered equal\n\n"
    ":type number_points: int\n:type resampling_type: ResamplingType\n:type epsilon: float\n\n"
    ":returns: Resampled path\n:rtype: Path2D"
)
NAME = "Path2D.resampled_path()"


class TestArguments:
    def test_signature_and_documentation(self):
        method = Path2D.resampled_path
        assert method.__text_signature__ == "($self, resampling_method, resampling_type=..., epsilon=0.01)"
        assert method.__doc__ == RESAMPLED_DOC

    def test_defaults_and_keywords(self):
        x, y = random_walk(30, 12)
        p = Path2D(x=x, y=y)
        expected = p.resampled_path(by_distance(0.5, False), LINEAR, 0.01).points
        assert p.resampled_path(by_distance(0.5, False)).points == expected
        assert p.resampled_path(epsilon=0.01, resampling_method=by_distance(0.5, False)).points == expected
        method = ResamplingMethod.BySamplingDistance(0.5, False)
        assert p.resampled_path(method, epsilon=np.float32(0.01)).points == expected
        assert (
            p.resampled_path(by_count(9), resampling_type=CUBIC).points
            != p.resampled_path(by_count(9)).points
        )

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (
                lambda p: p.resampled_path(),
                TypeError,
                f"{NAME} missing 1 required positional argument: 'resampling_method'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), LINEAR, 0.1, 4),
                TypeError,
                f"{NAME} takes from 1 to 3 positional arguments but 4 were given",
            ),
            (
                lambda p: p.resampled_path(by_count(3), method=LINEAR),
                TypeError,
                f"{NAME} got an unexpected keyword argument 'method'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), resampling_method=by_count(3)),
                TypeError,
                f"{NAME} got multiple values for argument 'resampling_method'",
            ),
            (
                lambda p: p.resampled_path(3),
                TypeError,
                "argument 'resampling_method': 'int' object cannot be converted to 'ResamplingMethod'",
            ),
            (
                lambda p: p.resampled_path(LINEAR),
                TypeError,
                "argument 'resampling_method': 'InterpolationMethod' object cannot be converted to 'ResamplingMethod'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), 1),
                TypeError,
                "argument 'resampling_type': 'int' object cannot be converted to 'InterpolationMethod'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), None),
                TypeError,
                "argument 'resampling_type': 'NoneType' object cannot be converted to 'InterpolationMethod'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), by_count(3)),
                TypeError,
                "argument 'resampling_type': 'ResamplingMethod_ByNumberPoints' object cannot be converted to "
                "'InterpolationMethod'",
            ),
            (
                lambda p: p.resampled_path(by_count(3), LINEAR, None),
                TypeError,
                "argument 'epsilon': must be real number, not NoneType",
            ),
            (
                lambda p: p.resampled_path(by_count(3), LINEAR, "0.1"),
                TypeError,
                "argument 'epsilon': must be real number, not str",
            ),
            (
                lambda p: p.resampled_path(by_count(3), LINEAR, 10**400),
                OverflowError,
                "int too large to convert to float",
            ),
            # The first bad argument in parameter order is the one reported.
            (
                lambda p: p.resampled_path(3, 1, None),
                TypeError,
                "argument 'resampling_method': 'int' object cannot be converted to 'ResamplingMethod'",
            ),
            # Conversion errors come before the refusal of the option's value.
            (
                lambda p: p.resampled_path(by_distance(0.0), 1),
                TypeError,
                "argument 'resampling_type': 'int' object cannot be converted to 'InterpolationMethod'",
            ),
        ],
    )
    @pytest.mark.parametrize("points", [[], [[0, 0], [1, 1]]], ids=["empty", "two"])
    def test_argument_errors(self, points, call, error, message):
        with pytest.raises(error) as raised:
            call(Path2D(points=points))
        assert type(raised.value) is error and str(raised.value) == message

    def test_numpy_scalars_and_negative_counts(self):
        p = Path2D(points=[[0, 0], [4, 0]])
        assert p.resampled_path(by_count(np.uint16(5)), epsilon=np.float32(0.5)).x == [
            0.0,
            1.0,
            2.0,
            3.0,
            4.0,
        ]
        with pytest.raises(OverflowError):
            by_count(-1)
