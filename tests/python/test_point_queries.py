"""Segment index and arc length of query points, against a vectorised NumPy projection."""

import math

import numpy as np
import pytest
from korvane import Path2D


def reference_query(points, query, epsilon):
    """(index, path length) by the projection rules, or None."""
    points = np.asarray(points, dtype=float).reshape(-1, 2)
    n = len(points)
    qx, qy = query
    if n == 0:
        return None
    lengths = np.concatenate(([0.0], np.cumsum(np.sqrt((np.diff(points, axis=0) ** 2).sum(axis=1)))))
    for end in (0, n - 1):  # the first point is tested first
        if abs(qx - points[end, 0]) <= epsilon and abs(qy - points[end, 1]) <= epsilon:
            return end, float(lengths[end]) if end == n - 1 else signed_position(points, lengths, 0, query)
    a, d = points[:-1], np.diff(points, axis=0)
    squared = d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1]
    with np.errstate(divide="ignore", invalid="ignore"):
        t = ((qx - a[:, 0]) * d[:, 0] + (qy - a[:, 1]) * d[:, 1]) / squared
    candidate = (t >= 0.0) & (t < 1.0)
    if not candidate.any():
        return None
    ex, ey = a[:, 0] + t * d[:, 0] - qx, a[:, 1] + t * d[:, 1] - qy
    distance = np.where(candidate, np.sqrt(ex * ex + ey * ey), np.inf)
    i = int(np.argmin(distance))  # the first of equal minima: ties go to the lower index
    return i, signed_position(points, lengths, i, query)


def signed_position(points, lengths, i, query):
    if i + 1 >= len(points):
        return float(lengths[i])
    dx, dy = points[i + 1] - points[i]
    squared = dx * dx + dy * dy
    t = ((query[0] - points[i, 0]) * dx + (query[1] - points[i, 1]) * dy) / squared
    return float(lengths[i] + math.sqrt(squared) * t)


def random_walk(n, seed, repeats=0, offset=(0.0, 0.0)):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(n - 1, 2))
    steps[rng.choice(np.arange(1, n - 1), size=repeats, replace=False)] = 0.0
    return np.concatenate(([[0.0, 0.0]], np.cumsum(steps, axis=0))) + offset


def hairpins(n, seed):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(1.0, 4.0, size=n) * np.where(np.arange(n) % 2, -1.0, 1.0))
    return np.column_stack([x, rng.normal(scale=0.05, size=n)])


SHAPES = {
    "walk": lambda: random_walk(80, 1),
    "repeated-points": lambda: random_walk(80, 2, repeats=15),
    "georeferenced": lambda: random_walk(80, 3, offset=(512_000.0, 5_400_000.0)),
    "hairpins": lambda: hairpins(40, 4),
    "long-walk": lambda: random_walk(800, 5),  # long enough for repeated queries to use an index
}


def queries(points, seed):
    """Near and on segments, on vertices, beside both ends, and far away."""
    rng = np.random.default_rng(seed)
    n = len(points)
    i = rng.integers(0, n - 1, size=150)
    t = rng.uniform(0.0, 1.0, size=(150, 1))
    on = points[i] + t * (points[i + 1] - points[i])
    near = on + rng.normal(scale=0.3, size=on.shape)
    ends = points[[0, -1] * 10] + rng.uniform(-0.02, 0.02, size=(20, 2))
    span = points.max(axis=0) - points.min(axis=0)
    far = points.min(axis=0) + rng.uniform(-0.5, 1.5, size=(50, 2)) * span
    return np.concatenate([on, near, points, ends, far])


class TestAgainstReference:
    @pytest.mark.parametrize("epsilon", [0.0, 0.01, 0.3])
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_index_and_path_length(self, shape, epsilon):
        points = shape()
        p = Path2D(points=points)
        found = 0
        for query in queries(points, 7).tolist():
            expected = reference_query(points, query, epsilon)
            index, length = p.index_from_point(query, epsilon), p.path_length_from_point(query, epsilon)
            if expected is None:
                assert index is None and length is None
            else:
                found += 1
                assert index == expected[0]
                assert length == pytest.approx(expected[1], rel=1e-14, abs=1e-9)
        assert found > 200  # guards against a reference that answers None throughout


class TestWorkedExamples:
    LINE = [[0, 0], [10, 0]]
    CORNER = [[0, 0], [10, 0], [10, 10]]
    RETURN = [[0, 0], [10, 0], [0, 0.5]]

    @pytest.mark.parametrize(
        "points, query, epsilon, index, length",
        [
            ([], [0, 0], 1.0, None, None),
            ([[0, 0]], [0.01, -0.01], 0.01, 0, 0.0),
            ([[0, 0]], [0.02, 0], 0.01, None, None),
            (LINE, [4, 3], 0.01, 0, 4.0),
            (LINE, [10, 3], 0.01, None, None),  # t = 1 is outside the segment, and outside the end square
            (LINE, [10.2, 0.3], 0.5, 1, 10.0),
            (
                LINE,
                [-0.2, 0],
                0.5,
                0,
                pytest.approx(-0.2, abs=1e-15),
            ),  # measured from the query: before the start
            (LINE, [10.5, -0.5], 0.5, 1, 10.0),  # the end square is closed
            (LINE, [-0.5, 0.5], 0.5, 0, -0.5),
            (LINE, [10.5000001, 0], 0.5, None, None),
            (CORNER, [5, 1], 0.01, 0, 5.0),
            (CORNER, [10, 5], 0.01, 1, 15.0),
            (CORNER, [11, -1], 0.01, None, None),  # in the wedge outside the convex corner
            (CORNER, [8, 0], 0.01, 0, 8.0),
            (
                CORNER,
                [10, 0],
                0.01,
                1,
                10.0,
            ),  # a foot on an inner vertex belongs to the segment starting there
            (CORNER, [12, 0], 0.01, 1, 10.0),
            (RETURN, [5, 0.2], 0.01, 1, pytest.approx(10.0 + 0.5 * math.hypot(10, 0.5), abs=0.01)),
            (
                [[0, -1], [10, -1], [10, 1], [0, 1]],
                [5, 0],
                0.01,
                0,
                5.0,
            ),  # equally near: the lower index wins
            ([[0, 0], [10, 0], [10, 10], [0, 0.005]], [0, 0], 0.01, 0, 0.0),  # closed: the first point wins
            ([[0, 0], [4, 0], [4, 0], [8, 0]], [6, 1], 0.01, 2, 6.0),  # the zero-length segment is skipped
            ([[0, 0], [4, 0], [4, 0], [8, 0]], [4, 1], 0.01, 2, 4.0),
            (LINE, [math.nan, 0], 0.01, None, None),
            (LINE, [10, 0], math.nan, None, None),  # no end square matches, and t = 1 is outside
            (LINE, [1e6, 5], math.inf, 0, 1e6),  # everything lies in the first point's square
        ],
    )
    def test_queries(self, points, query, epsilon, index, length):
        p = Path2D(points=points)
        got_index, got_length = p.index_from_point(query, epsilon), p.path_length_from_point(query, epsilon)
        assert got_index == index and got_length == length
        assert type(got_index) is (int if index is not None else type(None))
        assert type(got_length) is (float if length is not None else type(None))


class TestInvariants:
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_a_vertex_is_at_its_own_arc_length(self, shape):
        points = shape()
        p = Path2D(points=points)
        lengths = p.path_length_per_point
        for k, vertex in enumerate(points.tolist()):
            # Exactly at the vertex: the segment starting there (t = 0), or the end point itself.
            assert p.path_length_from_point(vertex, 0.0) == lengths[k]
            index = p.index_from_point(vertex, 0.0)
            assert points[index].tolist() == vertex and lengths[index] == lengths[k]

    @pytest.mark.parametrize("shape", ["walk", "hairpins"])
    @pytest.mark.parametrize("angle, shift", [(0.0, (1e3, -2e3)), (1.3, (0.0, 0.0)), (-2.9, (-40.0, 15.0))])
    def test_moving_path_and_query_together_changes_nothing(self, shape, angle, shift):
        points = SHAPES[shape]()
        c, s = math.cos(angle), math.sin(angle)
        rotation = np.array([[c, s], [-s, c]])
        p, moved = Path2D(points=points), Path2D(points=points @ rotation + shift)
        # Generic queries only: at a vertex, rounding may move the foot across it.
        rng = np.random.default_rng(8)
        generic = points[rng.integers(0, len(points), size=200)] + rng.normal(scale=0.5, size=(200, 2))
        for query in generic:
            moved_query = (query @ rotation + shift).tolist()
            query = query.tolist()
            assert moved.index_from_point(moved_query) == p.index_from_point(query)
            expected = p.path_length_from_point(query)
            if expected is not None:
                assert moved.path_length_from_point(moved_query) == pytest.approx(expected, abs=1e-9)

    @pytest.mark.parametrize(
        "points, query, epsilon",
        [
            ([[0, 0], [0, 0], [3, 4]], [0, 0], 0.01),
            ([[0, 0], [0, 0], [3, 4]], [0.005, -0.01], 0.01),
            ([[1, 1], [1, 1]], [1, 1], 0.0),
            ([[2, 2], [2, 2], [2, 2], [5, 2]], [2, 2], 0.5),
            ([[0, 0], [1e-200, 0], [1, 0]], [0, 0], 0.0),  # a first step too short to square
        ],
    )
    def test_start_with_a_zero_length_first_segment_is_at_arc_length_zero(self, points, query, epsilon):
        # Matched by the first point's square, with no direction to measure the query along.
        p = Path2D(points=points)
        assert p.index_from_point(query, epsilon) == 0
        assert p.path_length_from_point(query, epsilon) == 0.0

    def test_only_the_path_length_query_fills_the_arc_length_cache(self):
        p = Path2D(points=[[0, 0], [3, 4], [6, 0]])
        p.index_from_point([1, 1])
        assert repr(p).count("OnceCell(<uninit>)") == 4
        p.path_length_from_point([1, 1])
        assert "path_length_per_point: OnceCell([0.0, 5.0, 10.0])" in repr(p)


DOCS = {
    "index_from_point": (
        "index_from_point(point, epsilon=0.01)\n\nReturns the index of the nearest point on the path in front of the "
        "given point.\nIf the point outside the path, None is returned\n\n:param point: Point of interest\n"
        ":param epsilon: The distance within two points are considered equal\n\n:type point: list[float]\n"
        ":type epsilon: float\n\n:returns: The index of the nearest point\n:rtype: Option[int]"
    ),
    "path_length_from_point": (
        "path_length_from_point(point, epsilon=0.01)\n\nReturns the path length from the first point to the given "
        "point.\nIf the point outside the path, None is returned\n\n:param point: Point of interest\n"
        ":param epsilon: The distance within two points are considered equal\n\n:type point: list[float]\n"
        ":type epsilon: float\n\n:returns: The path length\n:rtype: Option[int]"
    ),
}
METHODS = pytest.mark.parametrize("name", DOCS)


class TestArguments:
    @METHODS
    def test_signature_and_documentation(self, name):
        method = getattr(Path2D, name)
        assert method.__text_signature__ == "($self, point, epsilon=0.01)"
        assert method.__doc__ == DOCS[name]

    @METHODS
    def test_point_and_epsilon_forms(self, name):
        p = Path2D(points=[[0, 0], [10, 0]])
        method = getattr(p, name)
        expected = method([10.2, 0.3], 0.5)
        assert expected is not None and method([10.2, 0.3]) is None  # the default epsilon is 0.01
        for point in ((10.2, 0.3), np.array([10.2, 0.3]), [np.float32(10.2), 0.3]):
            assert method(point, 0.5) == method(epsilon=0.5, point=point) == expected
        assert method([10, 0], 1) == method([10, 0], True) == method([10, 0], np.float64(1.0))

    @METHODS
    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda m: m(), TypeError, "{} missing 1 required positional argument: 'point'"),
            (
                lambda m: m([0, 0], 0.1, 3),
                TypeError,
                "{} takes from 1 to 2 positional arguments but 3 were given",
            ),
            (lambda m: m([0, 0], eps=0.1), TypeError, "{} got an unexpected keyword argument 'eps'"),
            (lambda m: m([0, 0], point=[1, 1]), TypeError, "{} got multiple values for argument 'point'"),
            (lambda m: m([1, 2, 3]), ValueError, "expected a sequence of length 2 (got 3)"),
            (lambda m: m([1]), ValueError, "expected a sequence of length 2 (got 1)"),
            (lambda m: m("ab"), TypeError, "argument 'point': must be real number, not str"),
            (lambda m: m(5), TypeError, "argument 'point': 'int' object cannot be converted to 'Sequence'"),
            (
                lambda m: m({1, 2}),
                TypeError,
                "argument 'point': 'set' object cannot be converted to 'Sequence'",
            ),
            (
                lambda m: m(None),
                TypeError,
                "argument 'point': 'NoneType' object cannot be converted to 'Sequence'",
            ),
            (lambda m: m([1, None]), TypeError, "argument 'point': must be real number, not NoneType"),
            (lambda m: m([1, 2], None), TypeError, "argument 'epsilon': must be real number, not NoneType"),
            (lambda m: m([1, 2], "0.1"), TypeError, "argument 'epsilon': must be real number, not str"),
            (lambda m: m([1, 10**400]), OverflowError, "int too large to convert to float"),
            # The point is converted before epsilon.
            (lambda m: m([1, 2, 3], None), ValueError, "expected a sequence of length 2 (got 3)"),
        ],
    )
    @pytest.mark.parametrize("points", [[], [[0, 0], [1, 1]]], ids=["empty", "two"])
    def test_argument_errors(self, name, points, call, error, message):
        with pytest.raises(error) as raised:
            call(getattr(Path2D(points=points), name))
        assert type(raised.value) is error
        assert str(raised.value) == message.format(f"Path2D.{name}()")
