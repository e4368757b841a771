"""Circle segment decomposition and circle-fit curvature, against a NumPy restatement of the recursion."""

import math

import numpy as np
import pytest
from korvane import Path2D

# Exact circles fit to rounding; this tolerance accepts them and rejects any real deviation.
EXACT = 1e-9


# NumPy restatement: Taubin's algebraic fit through numpy.linalg.svd, then the bisection with
# one merge across each split. It also records every RMSE compared with the tolerance, so a
# test can make sure no decision sits close enough to the threshold for rounding to flip it.


def reference_fit(x, y):
    """(cx, cy, r, rmse), or None when the normalised matrix is not finite."""
    mx, my = x.mean(), y.mean()
    u, v = x - mx, y - my
    z = u * u + v * v
    zm = z.mean()
    s = 2.0 * math.sqrt(zm)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        z0 = (z - zm) / s
    if not np.all(np.isfinite(z0)):
        return None
    a0, a1, a2 = np.linalg.svd(np.column_stack([z0, u, v]), full_matrices=False)[2][2]
    a0 /= s
    a3 = -zm * a0
    cx = mx - 0.5 * a1 / a0
    cy = my - 0.5 * a2 / a0
    r = math.sqrt(a1 * a1 + a2 * a2 - 4.0 * a0 * a3) * 0.5 / abs(a0)
    rmse = math.sqrt(np.mean((np.hypot(x - cx, y - cy) - r) ** 2))
    return cx, cy, r, rmse


class Reference:
    def __init__(self, x, y, max_rmse):
        self.x = np.asarray(x, dtype=float)
        self.y = np.asarray(y, dtype=float)
        self.max_rmse = max_rmse
        self.rmses = []
        self.merges = 0

    def accepted(self, start, end):
        fit = reference_fit(self.x[start:end], self.y[start:end])
        if fit is None:
            return None
        self.rmses.append(fit[3])
        return 1.0 / fit[2] if self.max_rmse >= fit[3] else None

    def segments(self, start, end):
        if end - start < 3:
            return [(start, end, 0.0)]
        curvature = self.accepted(start, end)
        if curvature is not None:
            return [(start, end, curvature)]
        mid = start + (end - start) // 2
        left, right = self.segments(start, mid), self.segments(mid, end)
        g, h = left[-1][0], right[0][1]
        curvature = self.accepted(g, h)
        if curvature is None:
            return left + right
        self.merges += 1
        return left[:-1] + [(g, h, curvature)] + right[1:]

    def closest_call(self):
        """Smallest relative distance of any compared RMSE from the tolerance."""
        return min(abs(rmse - self.max_rmse) / self.max_rmse for rmse in self.rmses)


def trajectory(n, sigma, seed):
    """A recorded-looking track in metres: 1 m spacing, straights and arcs of 10 to 60 m radius."""
    rng = np.random.default_rng(seed)
    pieces = []
    while sum(map(len, pieces)) < n:
        bend = 0.0 if rng.random() < 0.35 else rng.choice([-1.0, 1.0]) / rng.uniform(10.0, 60.0)
        pieces.append(np.full(rng.integers(15, 80), bend))
    heading = np.cumsum(np.concatenate(pieces)[:n])
    x = np.cumsum(np.cos(heading)) + rng.normal(scale=sigma, size=n)
    y = np.cumsum(np.sin(heading)) + rng.normal(scale=sigma, size=n)
    return x, y


def circle(radius, n, centre=(0.0, 0.0), start=0.0, sweep=2.0, clockwise=False):
    t = start + np.linspace(0.0, sweep, n) * (-1.0 if clockwise else 1.0)
    return centre[0] + radius * np.cos(t), centre[1] + radius * np.sin(t)


def expand(segments):
    return [k for s, e, k in segments for _ in range(e - s)]


def assert_same_decomposition(result, expected, rtol):
    assert [(s, e) for s, e, _ in result] == [(s, e) for s, e, _ in expected]
    np.testing.assert_allclose([k for *_, k in result], [k for *_, k in expected], rtol=rtol, atol=0)


NOISY = [(400, 0.05, 1), (700, 0.1, 2), (1000, 0.2, 3), (300, 0.3, 4)]


class TestAgainstReference:
    @pytest.mark.parametrize("n, sigma, seed", NOISY)
    @pytest.mark.parametrize("max_rmse", [0.15, 0.3])
    def test_noisy_tracks(self, n, sigma, seed, max_rmse):
        x, y = trajectory(n, sigma, seed)
        reference = Reference(x, y, max_rmse)
        expected = reference.segments(0, n)
        # The data is fixed; this guards the comparison against a decision rounding could flip.
        assert reference.closest_call() > 1e-6
        p = Path2D(x=x, y=y)
        assert_same_decomposition(p.find_circle_segments(0, n, max_rmse), expected, rtol=1e-9)
        np.testing.assert_allclose(
            p.compute_circle_fit_curvature(max_rmse), expand(expected), rtol=1e-9, atol=0
        )

    def test_tracks_exercise_splits_and_merges(self):
        # Guards the comparison above against inputs that never reach the merge step.
        x, y = trajectory(1000, 0.2, 3)
        reference = Reference(x, y, 0.15)
        segments = reference.segments(0, 1000)
        assert reference.merges > 10
        assert len(segments) > 20 and any(e - s > 8 for s, e, _ in segments)


class TestExactCircles:
    @pytest.mark.parametrize("radius", [0.5, 4.0, 250.0])
    @pytest.mark.parametrize("clockwise", [False, True])
    @pytest.mark.parametrize("n", [3, 4, 17, 200])
    def test_one_segment_of_curvature_one_over_radius(self, radius, clockwise, n):
        x, y = circle(radius, n, centre=(3.0, -7.0), start=0.4, sweep=1.5, clockwise=clockwise)
        p = Path2D(x=x, y=y)
        assert p.find_circle_segments(0, n, EXACT * radius) == [(0, n, pytest.approx(1.0 / radius, rel=1e-9))]
        assert p.compute_circle_fit_curvature(EXACT * radius) == pytest.approx([1.0 / radius] * n, rel=1e-9)

    @pytest.mark.parametrize("seed", [0, 1, 2])
    @pytest.mark.parametrize("offset", [(0.0, 0.0), (10.0, -3.0), (5e5, 5.4e6)])
    def test_point_order_and_position_do_not_matter(self, seed, offset):
        # Radius 5 around `offset`, full turn, shuffled: one fit over all of them still finds it.
        x, y = circle(5.0, 9, centre=offset, sweep=2.0 * math.pi * 8 / 9)
        order = np.random.default_rng(seed).permutation(9)
        p = Path2D(x=x[order], y=y[order])
        tolerance = 1e-9 if offset == (0.0, 0.0) else 1e-9 * max(map(abs, offset))
        assert p.find_circle_segments(0, 9, tolerance) == [(0, 9, pytest.approx(0.2, rel=1e-9))]

    def test_rmse_equal_to_the_tolerance_is_accepted(self):
        # Points symmetric about the origin on radius 5: the normalised z column is exactly zero
        # and the fit comes out exact, with an RMSE of exactly 0.0.
        points = [[3, 4], [4, 3], [4, -3], [3, -4], [-3, -4], [-4, -3], [-4, 3], [-3, 4]]
        p = Path2D(points=points)
        assert p.find_circle_segments(0, 8, 0.0) == [(0, 8, 0.2)]
        assert p.find_circle_segments(0, 8, -0.0) == [(0, 8, 0.2)]
        assert p.find_circle_segments(0, 8, -5e-324) == [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 8, 0.0)]


def arc(radius, centre, angles):
    return [[centre[0] + radius * math.cos(a), centre[1] + radius * math.sin(a)] for a in angles]


TRIANGLE = [[0, 0], [1, 1], [2, 0]]
LINE = [[i, 2.0 * i - 1.0] for i in range(5)]
# Two arcs of different circles, meeting where the first split falls for 6 and for 7 points
# (the shorter half goes left).
TWO_ARCS_6 = arc(2.0, (0, 0), [0.1, 0.5, 0.9]) + arc(7.0, (9, 1), [3.0, 2.8, 2.6])
TWO_ARCS_7 = TWO_ARCS_6 + arc(7.0, (9, 1), [2.4])
# Points 2..5 on one circle, 0, 1, 6, 7 off it: [0, 4) and [4, 8) fall apart into pairs, then
# the pairs on either side of the split at 4 fit together.
MERGED = [[-3, 1], [-2, -1]] + arc(3.0, (0, 0), [3.0, 2.5, 2.0, 1.5]) + [[2, 5], [4, 4]]


class TestDecomposition:
    @pytest.mark.parametrize(
        "points, start, end, max_rmse, expected",
        [
            ([], 0, 0, 0.15, [(0, 0, 0.0)]),
            ([[1, 2]], 0, 1, 0.15, [(0, 1, 0.0)]),
            ([[1, 2], [3, 4]], 0, 2, 0.15, [(0, 2, 0.0)]),
            # Runs of at most 2 points need no fit, so their indices are not looked at.
            (TRIANGLE, 5, 5, 0.15, [(5, 5, 0.0)]),
            (TRIANGLE, 5, 7, 0.15, [(5, 7, 0.0)]),
            (TRIANGLE, 2**64 - 3, 2**64 - 1, 0.15, [(2**64 - 3, 2**64 - 1, 0.0)]),
            (LINE, 0, 5, 0.15, [(0, 2, 0.0), (2, 3, 0.0), (3, 5, 0.0)]),
            (
                arc(4.0, (0, 0), np.linspace(0, 3, 9)),
                0,
                9,
                math.nan,
                [(0, 2, 0.0), (2, 4, 0.0), (4, 6, 0.0), (6, 7, 0.0), (7, 9, 0.0)],
            ),
            (TWO_ARCS_6, 0, 6, EXACT, [(0, 3, pytest.approx(0.5)), (3, 6, pytest.approx(1 / 7))]),
            (TWO_ARCS_7, 0, 7, EXACT, [(0, 3, pytest.approx(0.5)), (3, 7, pytest.approx(1 / 7))]),
            (MERGED, 0, 8, EXACT, [(0, 2, 0.0), (2, 6, pytest.approx(1 / 3)), (6, 8, 0.0)]),
        ],
        ids=[
            "0",
            "1",
            "2",
            "empty-beyond",
            "pair-beyond",
            "top",
            "line",
            "nan-tolerance",
            "split-6",
            "split-7",
            "merge",
        ],
    )
    def test_worked_examples(self, points, start, end, max_rmse, expected):
        p = Path2D(points=points)
        segments = p.find_circle_segments(start, end, max_rmse)
        assert segments == expected
        assert all(tuple(map(type, s)) == (int, int, float) for s in segments)
        if start == 0 and end == len(points):
            assert p.compute_circle_fit_curvature(max_rmse) == expand(expected)

    def test_derived_quantities_are_left_alone(self):
        x, y = trajectory(50, 0.1, 9)
        p = Path2D(x=x, y=y)
        before = repr(p)
        p.compute_circle_fit_curvature()
        p.find_circle_segments(3, 40)
        assert repr(p) == before and "OnceCell(<uninit>)" in before

    @pytest.mark.parametrize(
        "x, y, expected",
        [
            ([0, 1, 2, 3, 4], [0, 1, 0], [1.0] * 3),
            ([0, 1, 2], [0, 1, 0, 7, 8], [1.0] * 3),
            ([0, 1, 2, 9], [5, 6], [0.0] * 2),
        ],
    )
    def test_unequal_coordinate_lists_give_one_value_per_point(self, x, y, expected):
        p = Path2D(x=x, y=y)
        assert p.compute_circle_fit_curvature() == pytest.approx(expected, rel=1e-12)


class TestInvariants:
    @pytest.mark.parametrize("n, sigma, seed", NOISY[:3])
    @pytest.mark.parametrize(
        "angle, shift, scale",
        [
            (0.0, (1e3, -2e3), 1.0),
            (0.7, (0.0, 0.0), 1.0),
            (-2.5, (-40.0, 15.0), 1.0),
            (0.0, (0.0, 0.0), 2.0),
            (1.1, (7.0, 7.0), 0.37),
        ],
    )
    def test_similar_paths_decompose_alike(self, n, sigma, seed, angle, shift, scale):
        x, y = trajectory(n, sigma, seed)
        reference = Reference(x, y, 0.15)
        expected = reference.segments(0, n)
        assert reference.closest_call() > 1e-6
        c, s = math.cos(angle), math.sin(angle)
        moved_x = scale * (c * x - s * y) + shift[0]
        moved_y = scale * (s * x + c * y) + shift[1]
        result = Path2D(x=moved_x, y=moved_y).find_circle_segments(0, n, 0.15 * scale)
        assert_same_decomposition(result, [(a, b, k / scale) for a, b, k in expected], rtol=1e-7)

    def test_a_range_decomposes_like_the_path_cut_to_it(self):
        x, y = trajectory(800, 0.2, 11)
        whole = Path2D(x=x, y=y).find_circle_segments(123, 700)
        cut = Path2D(x=x[123:700], y=y[123:700]).find_circle_segments(0, 577)
        assert whole == [(s + 123, e + 123, k) for s, e, k in cut]


class TestUnfittableRuns:
    @pytest.mark.parametrize(
        "points, expected",
        [
            ([[1, 1]] * 3, [(0, 1, 0.0), (1, 3, 0.0)]),
            ([[1, 1]] * 4, [(0, 2, 0.0), (2, 4, 0.0)]),
            ([[0, 0], [1, math.nan], [2, 0]], [(0, 1, 0.0), (1, 3, 0.0)]),
            ([[0, 0], [1, math.inf], [2, 0], [3, 1]], [(0, 2, 0.0), (2, 4, 0.0)]),
            ([[0, 0], [1e200, 1], [2, 0]], [(0, 1, 0.0), (1, 3, 0.0)]),
        ],
    )
    def test_runs_without_a_fit_are_split(self, points, expected):
        p = Path2D(points=points)
        assert p.find_circle_segments(0, len(points)) == expected
        assert p.compute_circle_fit_curvature() == [0.0] * len(points)

    def test_a_bad_point_only_spoils_the_runs_that_hold_it(self):
        # [0, 40) splits at 20; [20, 40) at 30, where [20, 30) fits but [30, 40) does not.
        # The merges at 30 and at 20 then regrow the arc on the left up to the bad point.
        x, y = circle(4.0, 40, sweep=3.0)
        y[30] = math.nan
        segments = Path2D(x=x, y=y).find_circle_segments(0, 40, EXACT)
        assert segments == [(0, 30, pytest.approx(0.25)), (30, 32, 0.0), (32, 40, pytest.approx(0.25))]


class TestIndexErrors:
    # With 3 y values for 5 x values the path has 3 points: the surplus x values are no points.
    @pytest.mark.parametrize(
        "y, start, end, message",
        [
            ([0, 1, 0, 1, 0], 3, 2, "end index 2 lies before start index 3"),
            ([0, 1, 0, 1, 0], 5, 0, "end index 0 lies before start index 5"),
            ([0, 1, 0, 1, 0], 0, 6, "end index 6 lies beyond the path of 5 points"),
            ([0, 1, 0, 1, 0], 3, 7, "end index 7 lies beyond the path of 5 points"),
            (
                [0, 1, 0, 1, 0],
                0,
                2**64 - 1,
                "end index 18446744073709551615 lies beyond the path of 5 points",
            ),
            ([0, 1, 0], 0, 5, "end index 5 lies beyond the path of 3 points"),
        ],
    )
    def test_bad_ranges_raise(self, y, start, end, message):
        with pytest.raises(IndexError) as raised:
            Path2D(x=[0, 1, 2, 3, 4], y=y).find_circle_segments(start, end)
        assert str(raised.value) == message


SEGMENTS_DOC = (
    "find_circle_segments(start, end, max_rmse=0.15)\n\nDecomposes the path into its circle segments, such that the "
    "maximum\nRMSE (root mean squared error) is not exceeded.\n\n:param start: Index of point to start from\n"
    ":param end: Index of point to stop with\n:param max_rmse: Maximum RMSE\n\n:type start: int\n:type end: int\n"
    ":type max_rmse: float\n\n:returns: The list of arc segments\n:rtype: list[tuple[int, int, float]]"
)
CURVATURE_DOC = (
    "compute_circle_fit_curvature(max_rmse=0.15)\n\nComputes the curvature by decomposing the path into arc "
    "segments.\n\n:param max_rmse: The maximum RMSE (root mean squared error) that is not exceeded when\n"
    + " "
    * 20
    + "fitting the arc segments\n\n:type max_rmse: float\n\n:returns: The curvature of the path\n"
    ":rtype: list[float]"
)
SEGMENTS = "Path2D.find_circle_segments()"
CURVATURE = "Path2D.compute_circle_fit_curvature()"


class TestArguments:
    @pytest.mark.parametrize(
        "method, signature, doc",
        [
            (Path2D.find_circle_segments, "($self, start, end, max_rmse=0.15)", SEGMENTS_DOC),
            (Path2D.compute_circle_fit_curvature, "($self, max_rmse=0.15)", CURVATURE_DOC),
        ],
    )
    def test_signatures_and_documentation(self, method, signature, doc):
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc

    def test_defaults_and_keywords(self):
        x, y = trajectory(300, 0.2, 8)
        p = Path2D(x=x, y=y)
        default = p.find_circle_segments(0, 300)
        assert default == p.find_circle_segments(0, 300, 0.15) == p.find_circle_segments(end=300, start=0)
        assert default != p.find_circle_segments(0, 300, 0.3)
        assert (
            p.compute_circle_fit_curvature()
            == p.compute_circle_fit_curvature(max_rmse=0.15)
            == expand(default)
        )

    def test_other_number_types(self):
        x, y = trajectory(100, 0.2, 8)
        p = Path2D(x=x, y=y)
        expected = p.find_circle_segments(1, 100, 1.0)
        assert p.find_circle_segments(True, np.int64(100), 1) == expected
        assert p.find_circle_segments(np.uint8(1), 100, np.float32(1.0)) == expected

    @pytest.mark.parametrize(
        "call, error, message",
        [
            (
                lambda p: p.find_circle_segments(),
                TypeError,
                f"{SEGMENTS} missing 2 required positional arguments: 'start' and 'end'",
            ),
            (
                lambda p: p.find_circle_segments(0),
                TypeError,
                f"{SEGMENTS} missing 1 required positional argument: 'end'",
            ),
            (
                lambda p: p.find_circle_segments(max_rmse=0.1),
                TypeError,
                f"{SEGMENTS} missing 2 required positional arguments: 'start' and 'end'",
            ),
            (
                lambda p: p.find_circle_segments(rmse=0.1),
                TypeError,
                f"{SEGMENTS} got an unexpected keyword argument 'rmse'",
            ),
            (
                lambda p: p.find_circle_segments(0, 3, 0.1, 4),
                TypeError,
                f"{SEGMENTS} takes from 2 to 3 positional arguments but 4 were given",
            ),
            (
                lambda p: p.find_circle_segments(0, 3, start=1),
                TypeError,
                f"{SEGMENTS} got multiple values for argument 'start'",
            ),
            (
                lambda p: p.compute_circle_fit_curvature(0.1, 2),
                TypeError,
                f"{CURVATURE} takes from 0 to 1 positional arguments but 2 were given",
            ),
            (lambda p: p.find_circle_segments(1.5, 3), TypeError, "argument 'start': "),
            (lambda p: p.find_circle_segments(0, "3"), TypeError, "argument 'end': "),
            (lambda p: p.find_circle_segments(0, None), TypeError, "argument 'end': "),
            (lambda p: p.find_circle_segments(0, 3, "0.1"), TypeError, "argument 'max_rmse': "),
            (lambda p: p.find_circle_segments(0, 3, None), TypeError, "argument 'max_rmse': "),
            (lambda p: p.compute_circle_fit_curvature([0.1]), TypeError, "argument 'max_rmse': "),
            # Converted in parameter order: the first bad argument is the one reported.
            (lambda p: p.find_circle_segments(1.5, "x", None), TypeError, "argument 'start': "),
            (lambda p: p.find_circle_segments(-1, 1.5), OverflowError, None),
            (lambda p: p.find_circle_segments(0, 2**64), OverflowError, None),
            (lambda p: p.compute_circle_fit_curvature(10**400), OverflowError, None),
        ],
    )
    def test_argument_errors(self, call, error, message):
        # A message ending in ": " is the prefix put before the interpreter's own conversion text;
        # the interpreter's OverflowError is raised as it is, without the argument's name.
        p = Path2D(points=[[0, 0], [1, 1], [2, 0], [3, 1]])
        with pytest.raises(error) as raised:
            call(p)
        assert type(raised.value) is error
        text = str(raised.value)
        if message is None:
            assert "argument" not in text
        elif message.endswith(": "):
            assert text.startswith(message) and len(text) > len(message)
        else:
            assert text == message


# Runs in a fresh interpreter: dgesvd is looked up in SciPy once per process and then kept.
MISSING_SCIPY = """
import sys
sys.modules[{blocked!r}] = None
from korvane import Path2D
arc = Path2D(points=[[0, 0], [1, 1], [2, 0], [3, -1]])
print(Path2D(points=[[0, 0], [1, 1]]).compute_circle_fit_curvature(), arc.find_circle_segments(1, 3),
      arc.find_circle_segments(9, 11))
for call in (arc.compute_circle_fit_curvature, lambda: arc.find_circle_segments(0, 3)):
    try:
        call()
    except ImportError as error:
        print(type(error).__name__, error.name, "SciPy" in str(error), type(error.__cause__).__name__)
del sys.modules[{blocked!r}]
print(arc.find_circle_segments(0, 3))
"""

BROKEN_EXPORT = """
import scipy.linalg.cython_lapack as lapack
from korvane import Path2D
real = lapack.__pyx_capi__
arc = Path2D(points=[[0, 0], [1, 1], [2, 0]])
for exports in ({{}}, {{"dgesvd": 42}}, None, {{"dgesvd": real["dgesv"]}}):
    lapack.__pyx_capi__ = exports
    try:
        arc.compute_circle_fit_curvature()
    except ImportError as error:
        print("SciPy" in str(error), "dgesvd" in str(error))
lapack.__pyx_capi__ = real
print(arc.find_circle_segments(0, 3))
lapack.__pyx_capi__ = {{}}
print(arc.find_circle_segments(0, 3))
"""


class TestLapackFromScipy:
    @pytest.mark.parametrize("blocked", ["scipy", "scipy.linalg.cython_lapack"])
    def test_missing_scipy_is_an_import_error_until_it_is_found(self, python_subprocess, blocked):
        result = python_subprocess(MISSING_SCIPY.format(blocked=blocked))
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [
            "[0.0, 0.0] [(1, 3, 0.0)] [(9, 11, 0.0)]",
            "ImportError scipy True ModuleNotFoundError",
            "ImportError scipy True ModuleNotFoundError",
            "[(0, 3, 1.0)]",
        ]

    def test_scipy_without_dgesvd_is_an_import_error(self, python_subprocess):
        # Once found, the routine is kept: later changes to SciPy's exports do not matter.
        result = python_subprocess(BROKEN_EXPORT.format())
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["True True"] * 4 + ["[(0, 3, 1.0)]"] * 2

    @pytest.mark.parametrize(
        "failure, expected",
        [
            ("raise RuntimeError('while importing')", "ImportError scipy RuntimeError"),
            ("raise TimeoutError('while importing')", "ImportError scipy TimeoutError"),
            ("raise KeyboardInterrupt('while importing')", "KeyboardInterrupt None NoneType"),
            ("raise SystemExit('while importing')", "SystemExit None NoneType"),
            # A timeout of the caller's own, raised by its signal handler while SciPy is imported.
            ("signal.raise_signal(signal.SIGALRM)", "TimeoutError None NoneType"),
        ],
    )
    def test_only_ordinary_import_failures_become_import_errors(self, python_subprocess, failure, expected):
        result = python_subprocess(
            f"""
            import signal, sys
            from korvane import Path2D

            def on_alarm(signum, frame):
                raise TimeoutError("timed out")

            signal.signal(signal.SIGALRM, on_alarm)

            class Failing:
                def find_spec(self, name, path, target=None):
                    if name.startswith("scipy"):
                        {failure}

            sys.meta_path.insert(0, Failing())
            try:
                Path2D(points=[[0, 0], [1, 1], [2, 0]]).compute_circle_fit_curvature()
            except BaseException as error:
                print(type(error).__name__, getattr(error, "name", None), type(error.__cause__).__name__)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == expected

    def test_bad_range_is_reported_before_scipy_is_needed(self, python_subprocess):
        result = python_subprocess(
            """
            import sys
            sys.modules["scipy"] = None
            from korvane import Path2D
            try:
                Path2D(points=[[0, 0], [1, 1], [2, 0]]).find_circle_segments(0, 4)
            except IndexError as error:
                print(error)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "end index 4 lies beyond the path of 3 points"
