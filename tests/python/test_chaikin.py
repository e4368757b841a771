"""Chaikin corner cutting against a NumPy restatement, with its hull, count and end invariants."""

import math

import numpy as np
import pytest
from korvane import Path2D
from scipy.spatial import ConvexHull


def reference_chaikin(points, iterations):
    """Cuts at 1/4 and 3/4 of every pair, ends taken from the input each time."""
    points = np.asarray(points, dtype=float)
    w = points.copy()
    for _ in range(iterations):
        a, b = w[:-1], w[1:]
        cuts = np.empty((2 * len(a), 2))
        cuts[0::2] = 0.75 * a + 0.25 * b
        cuts[1::2] = 0.25 * a + 0.75 * b
        w = np.concatenate((points[:1], cuts, points[-1:]))
    return w


def noisy_track(n, seed, offset=(0.0, 0.0)):
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 12.0, n)
    return (
        np.column_stack([t + rng.normal(scale=0.3, size=n), np.sin(t) + rng.normal(scale=0.3, size=n)])
        + offset
    )


SHAPES = {
    "noisy": lambda: noisy_track(50, 1),
    "georeferenced": lambda: noisy_track(50, 2, offset=(512_000.0, 5_400_000.0)),
    "scattered": lambda: np.random.default_rng(3).uniform(-1.0, 1.0, size=(30, 2)),
    "repeated": lambda: np.repeat(noisy_track(10, 4), 3, axis=0),
    "two": lambda: np.array([[1.0, -2.0], [-3.5, 7.25]]),
}


class TestAgainstReference:
    @pytest.mark.parametrize("iterations", [1, 2, 5])
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_points_bit_for_bit(self, shape, iterations):
        points = shape()
        result = Path2D(points=points).smoothed_path_chaikin(iterations)
        # The same products and sums in the same order: no rounding difference is expected.
        np.testing.assert_array_equal(result.points_np, reference_chaikin(points, iterations))
        assert result.x == result.points_np[:, 0].tolist() and result.y == result.points_np[:, 1].tolist()

    def test_long_path_bit_for_bit(self):
        # Lists of several MiB take the huge-page allocation path.
        points = noisy_track(20_000, 6)
        result = Path2D(points=points).smoothed_path_chaikin(5)
        expected = reference_chaikin(points, 5)
        np.testing.assert_array_equal(result.points_np, expected)
        np.testing.assert_array_equal(result.x_np, expected[:, 0])
        np.testing.assert_array_equal(result.y_np, expected[:, 1])


class TestWorkedExamples:
    @pytest.mark.parametrize(
        "iterations, expected_x",
        [
            (1, [0, 1, 3, 4]),
            (2, [0, 0.25, 0.75, 1.5, 2.5, 3.25, 3.75, 4]),
        ],
    )
    def test_two_points(self, iterations, expected_x):
        result = Path2D(points=[[0, 0], [4, 0]]).smoothed_path_chaikin(iterations)
        assert result.points == [[x, 0.0] for x in expected_x]

    def test_repeated_points_are_not_merged(self):
        result = Path2D(points=[[0, 0], [0, 0], [4, 0]]).smoothed_path_chaikin(1)
        assert result.x == [0.0, 0.0, 0.0, 1.0, 3.0, 4.0]

    @pytest.mark.parametrize("points", [[], [[1.5, -2.0]]], ids=["empty", "single"])
    @pytest.mark.parametrize("iterations", [0, 1, 7, 2**64 - 1])
    def test_short_paths_are_copied_with_their_values(self, points, iterations):
        p = Path2D(points=points)
        handle = p.add_associated_values([3.0] * len(points))
        p.curvature  # the copy carries the filled cache as it stands
        result = p.smoothed_path_chaikin(iterations)
        assert repr(result) == repr(p)
        assert result.associated_values(handle) == [3.0] * len(points)

    @pytest.mark.parametrize("iterations", [0, 1, 3])
    def test_longer_paths_drop_values_and_start_without_caches(self, iterations):
        p = Path2D(x=[0, 1, 3, 99], y=[0, 2, 1])  # the fourth x value is no point
        p.add_associated_values([1, 2, 3])
        p.length
        result = p.smoothed_path_chaikin(iterations)
        assert result.associated_values(0) is None
        assert repr(result).count("OnceCell(<uninit>)") == 4
        assert len(result.x) == len(result.points) == 3 * 2**iterations
        if iterations == 0:
            assert result.points == p.points


class TestInvariants:
    @pytest.mark.parametrize("iterations", [1, 3, 6])
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_count_doubles_and_ends_are_kept_bit_for_bit(self, shape, iterations):
        points = shape()
        points[0] = [-0.0, 5e-324]  # sign and subnormal survive only if the end is copied, not computed
        result = Path2D(points=points).smoothed_path_chaikin(iterations).points
        assert len(result) == len(points) * 2**iterations
        assert result[0] == [-0.0, 5e-324] and math.copysign(1.0, result[0][0]) == -1.0
        assert result[-1] == points[-1].tolist()

    @pytest.mark.parametrize("iterations", [1, 4])
    @pytest.mark.parametrize("shape", ["noisy", "georeferenced", "scattered"])
    def test_result_stays_in_the_convex_hull(self, shape, iterations):
        points = SHAPES[shape]()
        centre = points.mean(axis=0)
        hull = ConvexHull(points - centre)
        result = Path2D(points=points).smoothed_path_chaikin(iterations).points_np - centre
        scale = np.abs(points - centre).max()
        assert (hull.equations[:, :2] @ result.T + hull.equations[:, 2:]).max() <= 1e-12 * scale

    @pytest.mark.parametrize(
        "angle, shift, scale", [(0.0, (1e3, -2e3), 1.0), (0.8, (0.0, 0.0), 3.0), (-2.2, (-40.0, 15.0), 0.1)]
    )
    def test_smoothing_commutes_with_moving_the_path(self, angle, shift, scale):
        points = noisy_track(40, 5)
        c, s = math.cos(angle), math.sin(angle)
        move = np.array([[c, s], [-s, c]]) * scale
        moved = Path2D(points=points @ move + shift).smoothed_path_chaikin(3).points_np
        expected = Path2D(points=points).smoothed_path_chaikin(3).points_np @ move + shift
        np.testing.assert_allclose(moved, expected, rtol=0, atol=1e-9 * max(1.0, np.abs(shift).max()))

    @pytest.mark.parametrize("iterations", [1, 4])
    def test_end_segments_keep_their_directions(self, iterations):
        # The corner point itself does not survive; the first and last steps run along the input's legs.
        result = Path2D(points=[[0, 0], [4, 0], [4, 4]]).smoothed_path_chaikin(iterations).points
        assert [4.0, 0.0] not in result
        assert result[1][1] == 0.0 and 0.0 < result[1][0] < 4.0
        assert result[-2][0] == 4.0 and 0.0 < result[-2][1] < 4.0


NAME = "Path2D.smoothed_path_chaikin()"
CHAIKIN_DOC = (
    "smoothed_path_chaikin(num_iterations)\n\nSmoothes the path using the Chaikin's path smoothing algorithm.\n\n"
    ":param num_iterations: Number of iterations used for Chaikin's path smoothing algorithm.\n\n"
    ":type num_iterations: int\n\n:returns: The smoothed path\n:rtype: Path2D"
)


class TestArguments:
    def test_signature_and_documentation(self):
        assert Path2D.smoothed_path_chaikin.__text_signature__ == "($self, num_iterations)"
        assert Path2D.smoothed_path_chaikin.__doc__ == CHAIKIN_DOC

    def test_integer_like_arguments(self):
        p = Path2D(points=[[0, 0], [4, 0]])
        expected = p.smoothed_path_chaikin(1).points
        for value in (True, np.int8(1), np.uint64(1)):
            assert p.smoothed_path_chaikin(value).points == expected
        assert p.smoothed_path_chaikin(num_iterations=1).points == expected

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (
                lambda p: p.smoothed_path_chaikin(),
                TypeError,
                f"{NAME} missing 1 required positional argument: 'num_iterations'",
            ),
            (
                lambda p: p.smoothed_path_chaikin(1, 2),
                TypeError,
                f"{NAME} takes 1 positional arguments but 2 were given",
            ),
            (
                lambda p: p.smoothed_path_chaikin(2, num_iterations=3),
                TypeError,
                f"{NAME} got multiple values for argument 'num_iterations'",
            ),
            (
                lambda p: p.smoothed_path_chaikin(iterations=3),
                TypeError,
                f"{NAME} got an unexpected keyword argument 'iterations'",
            ),
            (
                lambda p: p.smoothed_path_chaikin(2.0),
                TypeError,
                "argument 'num_iterations': 'float' object cannot be interpreted as an integer",
            ),
            (
                lambda p: p.smoothed_path_chaikin(None),
                TypeError,
                "argument 'num_iterations': 'NoneType' object cannot be interpreted as an integer",
            ),
            (
                lambda p: p.smoothed_path_chaikin("2"),
                TypeError,
                "argument 'num_iterations': 'str' object cannot be interpreted as an integer",
            ),
            (lambda p: p.smoothed_path_chaikin(-1), OverflowError, None),
            (lambda p: p.smoothed_path_chaikin(2**64), OverflowError, None),
        ],
    )
    @pytest.mark.parametrize("points", [[], [[0, 0], [1, 1]]], ids=["empty", "two"])
    def test_argument_errors(self, points, call, error, message):
        with pytest.raises(error) as raised:
            call(Path2D(points=points))
        assert type(raised.value) is error
        assert str(raised.value) == message if message else "argument" not in str(raised.value)

    @pytest.mark.parametrize(
        "points, iterations, count",
        [
            (2, 32, "8589934592"),
            (2, 64, "2 * 2^64"),
            (2, 2**64 - 1, "2 * 2^18446744073709551615"),
            (3, 31, "6442450944"),
            (1000, 23, "8388608000"),
        ],
    )
    def test_unstorable_point_counts_are_refused_before_any_work(self, points, iterations, count):
        p = Path2D(points=np.zeros((points, 2)))
        with pytest.raises(ValueError) as raised:
            p.smoothed_path_chaikin(iterations)
        assert str(raised.value) == (
            f"num_iterations {iterations} would smooth the path into {count} points, more than 4294967296"
        )
