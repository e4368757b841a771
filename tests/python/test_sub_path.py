"""Sub-paths between projected cut points, with their associated values cut alike."""

import math

import numpy as np
import pytest
from korvane import Path2D


def within(a, b, epsilon):
    return abs(a[0] - b[0]) <= epsilon and abs(a[1] - b[1]) <= epsilon


def reference_projection(points, query, epsilon):
    """(index, point, t) by the projection rules, or None; points is an (n, 2) array."""
    n = len(points)
    for end in (0, n - 1):
        if within(query, points[end], epsilon):
            return end, points[end].tolist(), 0.0
    a, d = points[:-1], np.diff(points, axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = ((query[0] - a[:, 0]) * d[:, 0] + (query[1] - a[:, 1]) * d[:, 1]) / (d * d).sum(axis=1)
    foot = a + t[:, None] * d
    distance = np.where((t >= 0) & (t < 1), np.hypot(*(foot - query).T), np.inf)
    if not np.isfinite(distance).any():
        return None
    i = int(np.argmin(distance))
    return i, foot[i].tolist(), float(t[i])


def reference_sub_path(points, lists, start, end, epsilon):
    """(points, lists) of the piece between the cuts, or None."""
    points = np.asarray(points, dtype=float)
    n = len(points)
    if n == 0:
        return None
    cuts = [
        reference_projection(points, points[k] if q is None else np.asarray(q, dtype=float), epsilon)
        for q, k in ((start, 0), (end, n - 1))
    ]
    if None in cuts:
        return None
    (c, s, ts), (e, q, te) = cuts
    if e < c or (e == c and te < ts):
        return None
    out, values = [], [[] for _ in lists]
    if c + 1 < n and not within(s, points[c + 1], epsilon):
        out.append(s)
        for v, a in zip(values, lists):
            v.append((a[c + 1] - a[c]) * ts + a[c])
    out += points[c + 1 : e + 1].tolist()
    for v, a in zip(values, lists):
        v += list(a[c + 1 : e + 1])
    if not out or not within(q, out[-1], epsilon):
        out.append(q)
        for v, a in zip(values, lists):
            v.append((a[e + 1] - a[e]) * te + a[e] if e + 1 < n else a[e])
    return out, values


def random_walk(n, seed, repeats=0, offset=(0.0, 0.0)):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(n - 1, 2))
    steps[rng.choice(n - 1, size=repeats, replace=False)] = 0.0
    return np.concatenate(([[0.0, 0.0]], np.cumsum(steps, axis=0))) + offset


SHAPES = {
    "walk": lambda: random_walk(60, 1),
    "repeated-points": lambda: random_walk(60, 2, repeats=10),
    "georeferenced": lambda: random_walk(60, 3, offset=(512_000.0, 5_400_000.0)),
    "closed": lambda: np.concatenate([random_walk(30, 4), [[0.003, -0.004]]]),
}


def cut_points(points, seed, count=60):
    """Pairs near the path, at vertices, near vertices, and a few with no projection."""
    rng = np.random.default_rng(seed)
    i = rng.integers(0, len(points) - 1, size=(count, 2))
    t = rng.uniform(0.0, 1.0, size=(count, 2, 1))
    near = points[i] + t * (points[i + 1] - points[i]) + rng.normal(scale=0.2, size=(count, 2, 2))
    near[::7, 0] = points[i[::7, 0]]  # exactly at a vertex
    near[3::7, 1] = points[i[3::7, 1]] + 0.005  # within the default epsilon of one
    return [
        [None if rng.random() < 0.1 else a.tolist(), None if rng.random() < 0.1 else b.tolist()]
        for a, b in near
    ]


def with_lists(points, lists):
    p = Path2D(points=points)
    return p, [p.add_associated_values(values) for values in lists]


class TestAgainstReference:
    @pytest.mark.parametrize("epsilon", [0.01, 0.4])
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_points_and_values(self, shape, epsilon):
        points = shape()
        lists = [np.random.default_rng(5).normal(size=len(points)), np.arange(len(points), dtype=float)]
        p, handles = with_lists(points, lists)
        found = 0
        for start, end in cut_points(points, 6):
            expected = reference_sub_path(points, lists, start, end, epsilon)
            result = p.sub_path(start, end, epsilon)
            if expected is None:
                assert result is None
                continue
            found += 1
            np.testing.assert_allclose(result.points, expected[0], rtol=1e-15, atol=1e-12)
            for handle, values in zip(handles, expected[1]):
                assert result.associated_values(handle) == pytest.approx(values, rel=1e-15, abs=1e-12)
        assert found > 20


class TestWorkedExamples:
    LINE = [[0, 0], [10, 0], [20, 0]]

    @pytest.mark.parametrize(
        "start, end, epsilon, points, values",
        [
            ([5, 1], [15, -1], 0.01, [[5, 0], [10, 0], [15, 0]], [5, 10, 15]),
            (None, None, 0.01, LINE, [0, 10, 20]),
            ([6, 0], [6, 0], 0.01, [[6, 0]], [6]),
            ([9.8, 0], None, 0.5, [[10, 0], [20, 0]], [10, 20]),  # the start is represented by (10, 0)
            ([9.995, 0], None, 0.01, [[10, 0], [20, 0]], [10, 20]),
            ([10.005, 0], None, 0.01, [[10.005, 0], [20, 0]], [10.005, 20]),  # only the next point absorbs it
            (
                None,
                [10.005, 0],
                0.01,
                [[0, 0], [10, 0]],
                [0, 10],
            ),  # the end is compared with the last point taken
            (None, [10, 0], 0.01, [[0, 0], [10, 0]], [0, 10]),
            ([20, 0], [20, 0], 0.01, [[20, 0]], [20]),  # both cuts at the last point
            ([20.005, 0.01], None, 0.01, [[20, 0]], [20]),
            ([0, 0], [0, 0], 0.01, [[0, 0]], [0]),
        ],
    )
    def test_straight_path(self, start, end, epsilon, points, values):
        p, (handle,) = with_lists(self.LINE, [[0, 10, 20]])
        result = p.sub_path(start, end, epsilon)
        np.testing.assert_allclose(result.points, points, rtol=0, atol=1e-12)
        assert result.associated_values(handle) == pytest.approx(values, abs=1e-12)

    @pytest.mark.parametrize(
        "points, start, end",
        [
            ([], None, None),
            ([], [0, 0], [0, 0]),
            (LINE, [15, 0], [5, 0]),  # end before start
            (LINE, [7, 0], [6, 0]),  # on the same segment
            (LINE, [-5, 3], None),  # no projection for the start
            (LINE, None, [25, 1]),  # none for the end
            (LINE, [20, 0], [5, 0]),
            ([[1, 1]], [2, 2], None),
        ],
    )
    def test_no_result(self, points, start, end):
        assert Path2D(points=points).sub_path(start, end) is None

    def test_closed_path_without_cuts_is_its_first_point(self):
        # The omitted end resolves to the last point, whose square also holds the first.
        p, (handle,) = with_lists([[0, 0], [10, 0], [10, 10], [0.005, 0]], [[1, 2, 3, 4]])
        result = p.sub_path()
        assert result.points == [[0.0, 0.0]] and result.associated_values(handle) == [1.0]

    @pytest.mark.parametrize("start, end", [(None, None), ([5, 5], [5, 5]), ([5.001, 5], None)])
    def test_single_point_path(self, start, end):
        p, handles = with_lists([[5, 5]], [[3.5], [-1.0]])
        result = p.sub_path(start, end)
        assert result.points == [[5.0, 5.0]]
        assert [result.associated_values(h) for h in handles] == [[3.5], [-1.0]]

    @pytest.mark.parametrize("values", [[0, 10, 20], [1, 2, math.inf], [math.nan, 2, 3]])
    def test_both_cuts_at_the_last_point_take_its_values(self, values):
        # The end cut there has no following value to interpolate towards.
        p, (first, second) = with_lists(self.LINE, [values, [7, 8, 9]])
        result = p.sub_path([19.999, 0.002], [20, 0])
        assert result.points == [[20.0, 0.0]]
        assert result.associated_values(first) == [values[-1]] and result.associated_values(second) == [9.0]

    def test_whole_open_path_is_reproduced(self):
        points = random_walk(40, 7, repeats=4)
        lists = [np.random.default_rng(8).normal(size=40), np.full(40, 2.5)]
        p, handles = with_lists(points, lists)
        result = p.sub_path()
        assert result.points == points.tolist()
        assert [result.associated_values(h) for h in handles] == [v.tolist() for v in lists]


def distance_to_polyline(points, queries):
    a, d = points[:-1, None], np.diff(points, axis=0)[:, None]
    squared = (d * d).sum(axis=2)
    with np.errstate(divide="ignore", invalid="ignore"):
        t = np.clip(np.nan_to_num(((queries - a) * d).sum(axis=2) / squared), 0.0, 1.0)
    return np.hypot(*(a + t[..., None] * d - queries).transpose(2, 0, 1)).min(axis=0)


class TestInvariants:
    @pytest.mark.parametrize("shape", ["walk", "repeated-points", "georeferenced"])
    def test_piece_lies_on_the_path_and_values_follow_the_cuts(self, shape):
        points = SHAPES[shape]()
        p = Path2D(points=points)
        lengths = p.path_length_per_point
        # Lists equal to the coordinates and the arc length: interpolated at a cut, they must
        # give that cut's own coordinates and position.
        handles = [p.add_associated_values(v) for v in (points[:, 0], points[:, 1], lengths)]
        scale = max(1.0, np.abs(points).max())
        checked = 0
        for start, end in cut_points(points, 9):
            result = p.sub_path(start, end)
            if result is None:
                continue
            checked += 1
            piece = np.asarray(result.points)
            assert distance_to_polyline(points, piece).max() <= 1e-12 * scale
            assert result.length <= p.length * (1 + 1e-12)
            x, y, s = (np.asarray(result.associated_values(h)) for h in handles)
            np.testing.assert_allclose(np.column_stack([x, y]), piece, rtol=0, atol=1e-12 * scale)
            assert np.all(np.diff(s) >= 0)
            assert result.length == pytest.approx(s[-1] - s[0], abs=1e-9)
        assert checked > 20

    def test_result_is_fresh_and_source_is_untouched(self):
        p, (handle,) = with_lists([[0, 0], [3, 4], [6, 0]], [[1, 2, 3]])
        before = repr(p)
        result = p.sub_path([1, 1], [5, 1])
        assert repr(p) == before
        assert repr(result).count("OnceCell(<uninit>)") == 4
        assert result.associated_values(handle) is not None and result.associated_values(handle + 1) is None


NAME = "Path2D.sub_path()"
SUB_PATH_DOC = (
    "sub_path(start=None, end=None, epsilon=0.01)\n\nReturns the sub path from start to end.\nIf start is None, "
    "the path begins at the beginning.\nThe same holds for end.\nThe new path is not necessarily equidistant.\n\n"
    ":param start: Beginning of the sub path\n:param end: End of the sub path\n:param epsilon: The distance within "
    "two points are considered equal\n\n:type start: list[float]\n:type end: list[float]\n:type epsilon: float\n\n"
    ":returns: The sub path\n:rtype: Path2D"
)


class TestArguments:
    def test_signature_and_documentation(self):
        assert Path2D.sub_path.__text_signature__ == "($self, start=None, end=None, epsilon=0.01)"
        assert Path2D.sub_path.__doc__ == SUB_PATH_DOC

    def test_defaults_and_forms(self):
        p = Path2D(points=[[0, 0], [10, 0], [20, 0]])
        expected = p.sub_path([4, 1], [15, 0]).points
        assert (
            p.sub_path(None, [15, 0], 0.01).points
            == p.sub_path(end=[15, 0]).points
            == [[0, 0], [10, 0], [15, 0]]
        )
        assert p.sub_path((4, 1), np.array([15, 0]), np.float32(0.01)).points == expected
        assert p.sub_path(end=[15, 0], start=[4, 1]).points == expected
        assert p.sub_path([9.8, 0], epsilon=1).points == [[10.0, 0.0], [20.0, 0.0]]

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (
                lambda p: p.sub_path(None, None, 0.01, 4),
                TypeError,
                f"{NAME} takes from 0 to 3 positional arguments but 4 were given",
            ),
            (
                lambda p: p.sub_path([0, 0], start=[1, 1]),
                TypeError,
                f"{NAME} got multiple values for argument 'start'",
            ),
            (
                lambda p: p.sub_path(begin=[1, 1]),
                TypeError,
                f"{NAME} got an unexpected keyword argument 'begin'",
            ),
            (lambda p: p.sub_path([1, 2, 3]), ValueError, "expected a sequence of length 2 (got 3)"),
            (lambda p: p.sub_path(None, [1]), ValueError, "expected a sequence of length 2 (got 1)"),
            (lambda p: p.sub_path("ab"), TypeError, "argument 'start': must be real number, not str"),
            (
                lambda p: p.sub_path(None, {1, 2}),
                TypeError,
                "argument 'end': 'set' object cannot be converted to 'Sequence'",
            ),
            (
                lambda p: p.sub_path(None, 3.0),
                TypeError,
                "argument 'end': 'float' object cannot be converted to 'Sequence'",
            ),
            (
                lambda p: p.sub_path(None, None, None),
                TypeError,
                "argument 'epsilon': must be real number, not NoneType",
            ),
            (
                lambda p: p.sub_path(epsilon="0.1"),
                TypeError,
                "argument 'epsilon': must be real number, not str",
            ),
            # Converted in the order start, end, epsilon.
            (
                lambda p: p.sub_path([1, 2, 3], "ab", None),
                ValueError,
                "expected a sequence of length 2 (got 3)",
            ),
            (
                lambda p: p.sub_path([1, 2], "abc", None),
                ValueError,
                "expected a sequence of length 2 (got 3)",
            ),
            (
                lambda p: p.sub_path([1, 2], [0, 0], None),
                TypeError,
                "argument 'epsilon': must be real number, not NoneType",
            ),
        ],
    )
    @pytest.mark.parametrize("points", [[], [[0, 0], [1, 1]]], ids=["empty", "two"])
    def test_argument_errors(self, points, call, error, message):
        with pytest.raises(error) as raised:
            call(Path2D(points=points))
        assert type(raised.value) is error and str(raised.value) == message

    def test_conversion_that_adds_values_to_the_same_path_meets_the_borrow(self):
        p = Path2D(points=[[0, 0], [10, 0]])

        class AddsValues:
            def __float__(self):
                p.add_associated_values([1, 2])
                return 1.0

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            p.sub_path([AddsValues(), 0])
        assert p.add_associated_values([3, 4]) == 0
