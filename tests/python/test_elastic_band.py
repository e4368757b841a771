"""Elastic band smoothing against an independently stated QP, its bounds and its failure modes."""

import math

import clarabel
import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D
from scipy import sparse

ORTHOGONAL = ElasticBandMethod.OrthogonalBounds
SQUARE = ElasticBandMethod.SquareBounds
METHODS = pytest.mark.parametrize("method", [SQUARE, ORTHOGONAL], ids=["square", "orthogonal"])

# The solver stops at a relative gap and residual of 1e-4; constraints are met to that order.
FEASIBILITY = 1e-4


def reference_settings():
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.max_iter = 1000
    settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = 1e-4
    settings.iterative_refinement_reltol = settings.iterative_refinement_abstol = 1e-4
    return settings


def reference_problem(x, y, max_deviation, method):
    """(P, q, A, b, cones) of the smoothing QP, stated with whole matrices rather than terms.

    Variables: X (n), Y (n), then for the orthogonal band one offset per interior point.
    """
    x = np.asarray(x, dtype=float)
    y = np.asarray(y, dtype=float)
    n, m = len(x), len(x) - 2
    second = sparse.diags([1.0, -2.0, 1.0], [0, 1, 2], shape=(m, n))
    hessian = 2.0 * (second.T @ second)
    interior = sparse.eye(n, format="csr")[1:-1]
    ends = sparse.eye(n, format="csr")[[0, n - 1]]
    zero_nn = sparse.csr_matrix((2, n))
    fixed = sparse.vstack([sparse.hstack([ends, zero_nn]), sparse.hstack([zero_nn, ends])])
    fixed_rhs = np.array([x[0], x[-1], y[0], y[-1]])

    if method == SQUARE:
        P = sparse.block_diag([hessian, hessian])
        zero_mn = sparse.csr_matrix((m, n))
        box = sparse.vstack([sparse.hstack([interior, zero_mn]), sparse.hstack([zero_mn, interior])])
        centre = np.concatenate([x[1:-1], y[1:-1]])
        A = sparse.vstack([fixed, box, -box])
        b = np.concatenate([fixed_rhs, centre + max_deviation, max_deviation - centre])
        equalities = 4
    else:
        theta = np.arctan2(y[2:] - y[:-2], x[2:] - x[:-2])
        # (X_i, Y_i) = (x_i, y_i) + D·d_i·(sin θ_i, −cos θ_i), with |d_i| <= 1.
        P = sparse.block_diag([hessian, hessian, sparse.csr_matrix((m, m))])
        zero_mn = sparse.csr_matrix((m, n))
        normal = sparse.vstack(
            [
                sparse.hstack([interior, zero_mn, sparse.diags(-max_deviation * np.sin(theta))]),
                sparse.hstack([zero_mn, interior, sparse.diags(max_deviation * np.cos(theta))]),
            ]
        )
        offsets = sparse.hstack([sparse.csr_matrix((m, 2 * n)), sparse.eye(m)])
        A = sparse.vstack([sparse.hstack([fixed, sparse.csr_matrix((4, m))]), normal, offsets, -offsets])
        b = np.concatenate([fixed_rhs, x[1:-1], y[1:-1], np.ones(2 * m)])
        equalities = 4 + 2 * m
    P = sparse.triu(P, format="csc")
    A = sparse.csc_matrix(A)
    cones = [clarabel.ZeroConeT(equalities), clarabel.NonnegativeConeT(A.shape[0] - equalities)]
    return P, np.zeros(P.shape[0]), A, b, cones


def reference_smoothing(x, y, max_deviation, method):
    solver = clarabel.DefaultSolver(*reference_problem(x, y, max_deviation, method), reference_settings())
    solution = solver.solve()
    assert solution.status == clarabel.SolverStatus.Solved
    n = len(x)
    values = np.asarray(solution.x)
    return np.column_stack([values[:n], values[n : 2 * n]])


def straight(n):
    t = np.linspace(0.0, 10.0, n)
    return 0.5 * t + 1.0, -0.8 * t + 3.0


def curved(n):
    t = np.linspace(0.0, 1.5 * math.pi, n)
    return 5.0 * np.cos(t) + 0.3 * t, 5.0 * np.sin(t)


def noisy(n):
    rng = np.random.default_rng(7)
    t = np.linspace(0.0, 20.0, n)
    return t + rng.normal(scale=0.1, size=n), np.sin(t / 2.0) + rng.normal(scale=0.3, size=n)


def georeferenced(n):
    # Map coordinates in metres: large offsets, small features.
    x, y = noisy(n)
    return x + 512_000.0, y + 5_400_000.0


SHAPES = pytest.mark.parametrize("shape", [straight, curved, noisy])
BOUND_SHAPES = pytest.mark.parametrize("shape", [straight, curved, noisy, georeferenced])


def smoothed(x, y, max_deviation, method):
    result = Path2D(x=x, y=y).smoothed_path_elastic_band(max_deviation, method)
    assert result is not None
    return np.asarray(result.points)


class TestAgainstReference:
    @METHODS
    @SHAPES
    @pytest.mark.parametrize("n, max_deviation", [(5, 0.3), (60, 0.2), (200, 0.05)])
    def test_matches_direct_clarabel(self, shape, method, n, max_deviation):
        x, y = shape(n)
        expected = reference_smoothing(x, y, max_deviation, method)
        np.testing.assert_allclose(smoothed(x, y, max_deviation, method), expected, rtol=0, atol=1e-3)

    def test_noisy_path_actually_moves(self):
        # Guards the comparison above against both sides returning the input unchanged.
        x, y = noisy(60)
        result = smoothed(x, y, 0.2, ORTHOGONAL)
        assert np.abs(result - np.column_stack([x, y])).max() > 0.1

    def test_negative_orthogonal_band_equals_positive(self):
        x, y = noisy(40)
        np.testing.assert_allclose(
            smoothed(x, y, -0.2, ORTHOGONAL), smoothed(x, y, 0.2, ORTHOGONAL), rtol=0, atol=1e-3
        )


class TestGeometry:
    @BOUND_SHAPES
    @pytest.mark.parametrize("max_deviation", [0.0, 0.05, 0.5])
    def test_square_bounds_hold_per_coordinate(self, shape, max_deviation):
        x, y = shape(80)
        moved = smoothed(x, y, max_deviation, SQUARE) - np.column_stack([x, y])
        assert np.abs(moved).max() <= max_deviation + FEASIBILITY

    @BOUND_SHAPES
    @pytest.mark.parametrize("max_deviation", [0.0, 0.05, 0.5, -0.3])
    def test_orthogonal_bounds_hold_along_the_normal(self, shape, max_deviation):
        x, y = shape(80)
        theta = np.asarray(Path2D(x=x, y=y).orientation)
        moved = smoothed(x, y, max_deviation, ORTHOGONAL) - np.column_stack([x, y])
        along = moved[:, 0] * np.sin(theta) - moved[:, 1] * np.cos(theta)
        across = moved[:, 0] * np.cos(theta) + moved[:, 1] * np.sin(theta)
        assert np.abs(along).max() <= abs(max_deviation) + FEASIBILITY
        assert np.abs(across).max() <= FEASIBILITY

    @METHODS
    @BOUND_SHAPES
    def test_end_points_stay(self, shape, method):
        x, y = shape(50)
        result = smoothed(x, y, 0.4, method)
        np.testing.assert_allclose(result[[0, -1]], [[x[0], y[0]], [x[-1], y[-1]]], rtol=0, atol=FEASIBILITY)

    @METHODS
    @pytest.mark.parametrize(
        "points", [[[0, 0], [1, 1], [2, 2]], [[3, -1], [1, 0], [-1, 1]], [[5, 5], [7, 5]]]
    )
    def test_already_smooth_paths_are_unchanged(self, points, method):
        result = Path2D(points=points).smoothed_path_elastic_band(0.5, method)
        np.testing.assert_allclose(result.points, points, rtol=0, atol=FEASIBILITY)

    @SHAPES
    def test_wide_square_band_gives_the_evenly_spaced_chord(self, shape):
        # Few points: with no active bound the optimum is zero and the gap tolerance alone
        # decides how straight the line comes out.
        x, y = shape(10)
        ends = np.array([[x[0], y[0]], [x[-1], y[-1]]])
        line = ends[0] + np.linspace(0.0, 1.0, 10)[:, None] * (ends[1] - ends[0])
        band = np.abs(line - np.column_stack([x, y])).max() + 1.0
        np.testing.assert_allclose(smoothed(x, y, band, SQUARE), line, rtol=0, atol=1e-3)

    @pytest.mark.parametrize(
        "method, angle",
        [(SQUARE, 0.0), (SQUARE, 0.5 * math.pi), (ORTHOGONAL, 0.0), (ORTHOGONAL, 0.7)],
    )
    def test_moves_with_the_path(self, method, angle):
        # The square band turns with the path only by quarter turns; the normal band by any angle.
        x, y = noisy(40)
        c, s = math.cos(angle), math.sin(angle)
        rotation = np.array([[c, -s], [s, c]])
        shift = np.array([10.0, -5.0])
        moved = np.column_stack([x, y]) @ rotation.T + shift
        expected = smoothed(x, y, 0.2, method) @ rotation.T + shift
        np.testing.assert_allclose(
            smoothed(moved[:, 0], moved[:, 1], 0.2, method), expected, rtol=0, atol=1e-3
        )


class TestResultAndInput:
    @METHODS
    def test_orientation_of_the_input_is_cached(self, method):
        p = Path2D(points=[[0, 0], [1, 0.5], [2, 0], [3, 0.4]])
        assert "orientation: OnceCell(<uninit>)" in repr(p)
        p.smoothed_path_elastic_band(0.1, method)
        assert "orientation: OnceCell([" in repr(p)

    @METHODS
    @pytest.mark.parametrize("n", [2, 3, 10])
    def test_result_carries_no_associated_values(self, method, n):
        x, y = noisy(n)
        p = Path2D(x=x, y=y)
        p.add_associated_values(list(range(n)))
        result = p.smoothed_path_elastic_band(0.1, method)
        assert result is not None and len(result.points) == n
        assert result.associated_values(0) is None
        assert p.associated_values(0) == list(map(float, range(n)))

    def test_default_is_orthogonal_bounds(self):
        x, y = noisy(30)
        p = Path2D(x=x, y=y)
        assert (
            p.smoothed_path_elastic_band(0.2).points == p.smoothed_path_elastic_band(0.2, ORTHOGONAL).points
        )
        assert (
            p.smoothed_path_elastic_band(max_deviation=0.2, elastic_band_type=ORTHOGONAL).points
            == p.smoothed_path_elastic_band(0.2).points
        )
        assert p.smoothed_path_elastic_band(0.2).points != p.smoothed_path_elastic_band(0.2, SQUARE).points

    @METHODS
    @pytest.mark.parametrize("points", [[], [[1.5, -2.0]]])
    def test_fewer_than_two_points_give_a_new_equal_path(self, points, method):
        p = Path2D(points=points)
        result = p.smoothed_path_elastic_band(0.3, method)
        assert result is not p and result.points == points


class TestNoResult:
    @pytest.mark.parametrize("n", [3, 10])
    @pytest.mark.parametrize("max_deviation", [-0.1, -1e-3])
    def test_negative_square_band_is_infeasible(self, n, max_deviation):
        x, y = noisy(n)
        assert Path2D(x=x, y=y).smoothed_path_elastic_band(max_deviation, SQUARE) is None

    @METHODS
    @pytest.mark.parametrize("max_deviation", [math.nan, math.inf, -math.inf])
    def test_non_finite_band_gives_none(self, max_deviation, method):
        x, y = noisy(10)
        assert Path2D(x=x, y=y).smoothed_path_elastic_band(max_deviation, method) is None

    @METHODS
    @pytest.mark.parametrize("bad", [math.nan, math.inf])
    def test_non_finite_point_gives_none(self, bad, method):
        p = Path2D(points=[[0, 0], [1, bad], [2, 0], [3, 1]])
        assert p.smoothed_path_elastic_band(0.1, method) is None


class TestArguments:
    @pytest.mark.parametrize("value", ["abc", None, [0.1]])
    def test_max_deviation_must_be_a_real_number(self, value):
        with pytest.raises(TypeError, match="^argument 'max_deviation': "):
            Path2D(points=[[0, 0], [1, 1], [2, 0]]).smoothed_path_elastic_band(value)

    @pytest.mark.parametrize(
        "value, type_name",
        [(InterpolationMethod.Linear, "InterpolationMethod"), (1, "int"), ("SquareBounds", "str")],
    )
    def test_elastic_band_type_must_be_an_elastic_band_method(self, value, type_name):
        message = (
            f"^argument 'elastic_band_type': '{type_name}' object cannot be converted to 'ElasticBandMethod'$"
        )
        p = Path2D(points=[[0, 0], [1, 1], [2, 0]])
        with pytest.raises(TypeError, match=message):
            p.smoothed_path_elastic_band(0.1, value)
        with pytest.raises(TypeError, match=message):
            p.smoothed_path_elastic_band(0.1, elastic_band_type=value)

    def test_max_deviation_is_required(self):
        with pytest.raises(TypeError):
            Path2D(points=[[0, 0], [1, 1]]).smoothed_path_elastic_band()

    def test_integers_are_accepted_as_max_deviation(self):
        p = Path2D(points=[[0, 0], [1, 3], [2, 0]])
        assert (
            p.smoothed_path_elastic_band(1, SQUARE).points == p.smoothed_path_elastic_band(1.0, SQUARE).points
        )


# Runs in a fresh interpreter: the solver package is looked up once per process and kept.
PATCHED_SOLVER = """
import signal, sys
import clarabel
from korvane import ElasticBandMethod, Path2D

def on_alarm(signum, frame):
    raise TimeoutError("timed out")

signal.signal(signal.SIGALRM, on_alarm)
real_solver = clarabel.DefaultSolver
{patch}
path = Path2D(points=[[0, 0], [1, 0.5], [2, -0.3], [3, 0.2]])
try:
    result = path.smoothed_path_elastic_band(0.2, {method})
except BaseException as error:
    print("raised", type(error).__name__, error)
else:
    print("returned", None if result is None else len(result.points))
"""


def run_patched(python_subprocess, patch, method="ElasticBandMethod.OrthogonalBounds"):
    result = python_subprocess(PATCHED_SOLVER.format(patch=patch, method=method))
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


class TestSolverFailures:
    @pytest.mark.parametrize(
        "exception, raising",
        [
            ("KeyboardInterrupt", "raise KeyboardInterrupt('from solver')"),
            ("MemoryError", "raise MemoryError('from solver')"),
            ("SystemExit", "raise SystemExit('from solver')"),
            ("RecursionError", "raise RecursionError('from solver')"),
            # The caller's timeout, raised by its signal handler while the solver runs Python code.
            ("TimeoutError", "signal.raise_signal(signal.SIGALRM)"),
        ],
    )
    @pytest.mark.parametrize("where", ["construct", "solve", "csc_matrix"])
    def test_non_ordinary_exceptions_propagate(self, python_subprocess, exception, raising, where):
        if where == "construct":
            patch = f"def fail(*args): {raising}\nclarabel.DefaultSolver = fail"
        elif where == "solve":
            patch = (
                f"class Failing:\n    def __init__(self, *args): pass\n"
                f"    def solve(self): {raising}\nclarabel.DefaultSolver = Failing"
            )
        else:  # while the problem is handed over
            patch = f"import scipy.sparse\ndef fail(*args): {raising}\nscipy.sparse.csc_matrix = fail"
        assert run_patched(python_subprocess, patch).startswith(f"raised {exception}")

    @pytest.mark.parametrize("exception", ["ValueError", "RuntimeError", "TypeError", "ArithmeticError"])
    def test_rejected_problem_gives_none(self, python_subprocess, exception):
        patch = f"def fail(*args): raise {exception}('refused')\nclarabel.DefaultSolver = fail"
        assert run_patched(python_subprocess, patch) == "returned None"

    @pytest.mark.parametrize(
        "status, x, expected",
        [
            ("Solved", "[0.0] * 10", "returned 4"),
            ("AlmostSolved", "[0.0] * 10", "returned None"),
            ("MaxIterations", "[0.0] * 10", "returned None"),
            ("PrimalInfeasible", "[0.0] * 10", "returned None"),
            ("Solved", "[0.0] * 9", "returned None"),
            ("Solved", "['a'] * 10", "returned None"),
            ("Solved", "None", "returned None"),
            # Converting the first item empties the list; the other items must still be read.
            ("Solved", "clearing_list(10)", "returned 4"),
        ],
    )
    def test_solution_is_used_only_when_solved_and_well_formed(self, python_subprocess, status, x, expected):
        patch = f"""
def clearing_list(n):
    class Clearing:
        def __float__(self):
            items.clear()
            return 0.0
    items = [Clearing() for _ in range(n)]
    return items
class Answer:
    status = clarabel.SolverStatus.{status}
    x = {x}
class Fake:
    def __init__(self, *args): pass
    def solve(self): return Answer()
clarabel.DefaultSolver = Fake
"""
        assert run_patched(python_subprocess, patch) == expected

    def test_problem_and_settings_handed_to_clarabel(self, python_subprocess):
        patch = """
def inspect(P, q, A, b, cones, settings):
    from scipy import sparse
    print("P", P.shape, sparse.tril(P, -1).nnz, "A", A.shape, len(b), len(q))
    print("cones", cones)
    print("settings", settings.verbose, settings.max_iter, settings.tol_gap_abs, settings.tol_gap_rel,
          settings.tol_feas, settings.iterative_refinement_reltol, settings.iterative_refinement_abstol,
          settings.direct_solve_method == clarabel.DefaultSettings().direct_solve_method)
    return real_solver(P, q, A, b, cones, settings)
clarabel.DefaultSolver = inspect
"""
        # 4 points: 10 variables (X, Y, 2 offsets); 4 end rows and 4 normal rows, then 4 offset
        # bounds. Only the upper triangle of P is handed over.
        assert run_patched(python_subprocess, patch).splitlines() == [
            "P (10, 10) 0 A (12, 10) 12 10",
            "cones [ZeroConeT(8), NonnegativeConeT(4)]",
            "settings False 1000 0.0001 0.0001 0.0001 0.0001 0.0001 True",
            "returned 4",
        ]

    def test_fewer_than_two_points_never_touch_the_solver(self, python_subprocess):
        result = python_subprocess(
            """
            import sys
            sys.modules["clarabel"] = None
            from korvane import ElasticBandMethod, Path2D
            for method in (ElasticBandMethod.SquareBounds, ElasticBandMethod.OrthogonalBounds):
                print(Path2D(points=[]).smoothed_path_elastic_band(0.1, method).points,
                      Path2D(points=[[1, 2]]).smoothed_path_elastic_band(0.1, method).points)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["[] [[1.0, 2.0]]"] * 2

    @pytest.mark.parametrize("blocked, named", [("clarabel", "clarabel"), ("scipy.sparse", "scipy")])
    def test_missing_package_is_an_import_error_until_it_is_found(self, python_subprocess, blocked, named):
        result = python_subprocess(
            f"""
            import sys
            sys.modules["{blocked}"] = None
            from korvane import Path2D
            path = Path2D(points=[[0, 0], [1, 1], [2, 0]])
            try:
                path.smoothed_path_elastic_band(0.1)
            except ImportError as error:
                print(error.name, "'{named}'" in str(error), type(error.__cause__).__name__)
            del sys.modules["{blocked}"]
            print(len(path.smoothed_path_elastic_band(0.1).points))
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == [f"{named} True ModuleNotFoundError", "3"]

    def test_first_solves_on_two_threads_share_one_package_table(self, python_subprocess):
        # Both threads find the solver's packages not looked up yet: reading the status names
        # and comparing statuses run Python code, so each thread lets the other in halfway.
        result = python_subprocess(
            """
            import threading, time
            import clarabel
            from korvane import Path2D

            class Status:
                def __eq__(self, other):
                    time.sleep(0.002)
                    return self is other
                __hash__ = object.__hash__

            class Statuses(type):
                members = {}
                def __getattr__(cls, name):
                    time.sleep(0.002)
                    return cls.members.setdefault(name, Status())

            class SolverStatus(metaclass=Statuses):
                pass

            class Answer:
                status = SolverStatus.Solved
                x = [0.0] * 10

            class Fake:
                def __init__(self, *args): pass
                def solve(self): return Answer()

            clarabel.SolverStatus, clarabel.DefaultSolver = SolverStatus, Fake
            path = Path2D(points=[[0, 0], [1, 0.5], [2, -0.3], [3, 0.2]])
            results = []
            threads = [threading.Thread(target=lambda: results.append(len(path.smoothed_path_elastic_band(0.2).points)))
                       for _ in range(2)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            print(results)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "[4, 4]"

    def test_path_is_free_for_other_threads_during_the_solve(self, python_subprocess):
        result = python_subprocess(
            """
            import threading
            import clarabel
            from korvane import Path2D

            real_solver = clarabel.DefaultSolver
            seen = []

            def from_other_thread():
                seen.append(path.points == points)
                try:
                    seen.append(path.add_associated_values([0.0] * len(points)))
                except RuntimeError as error:
                    seen.append(str(error))

            def solver(*args):
                # Joining lets the other thread run; the problem was stated and the path let go
                # before the solver was called.
                thread = threading.Thread(target=from_other_thread)
                thread.start()
                thread.join()
                return real_solver(*args)

            clarabel.DefaultSolver = solver
            points = [[0.0, 0.0], [1.0, 0.5], [2.0, -0.3], [3.0, 0.2]]
            path = Path2D(points=points)
            result = path.smoothed_path_elastic_band(0.2)
            print(seen, result is not None, path.add_associated_values([1.0] * 4))
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "[True, 0] True 1"
