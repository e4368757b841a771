"""Elastic band smoothing against the same QP built with scipy.sparse or cvxpy and solved by Clarabel,
and the dedicated solver against the method on the fleet sample's trips and a long track.

    python bench_elastic_band.py            # every table
    python bench_elastic_band.py --solver   # the dedicated solver's table only

The dedicated solver is reached through korvane_tracks.smooth_band where that module is installed,
and otherwise through the C++ program bench_elastic_band_solver (built here under build/bench when
missing), which times the solver on the same tracks in the same run.
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import clarabel
import numpy as np
from _timing import RatioTable, best_time
from scipy import sparse

# Every Clarabel solve of this process goes through `recording_solver`: it can keep the exact
# problem korvane hands over (to solve it again on its own) and can stand in for the solve with a
# stored answer (to time everything else). It must be in place before korvane's first solve (the
# extension looks the class up once); in normal mode it adds one Python call to our side.
_real_solver = clarabel.DefaultSolver
_recorded = []
_replay = None


class _Replayed:
    def __init__(self, solution):
        self._solution = solution

    def solve(self):
        return self._solution


def recording_solver(*args):
    if _replay is not None:
        return _Replayed(_replay)
    _recorded.append(args)
    del _recorded[:-1]
    return _real_solver(*args)


clarabel.DefaultSolver = recording_solver

from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod  # noqa: E402

try:
    import cvxpy as cp
except ImportError:
    cp = None

METHODS = [
    ("OrthogonalBounds", ElasticBandMethod.OrthogonalBounds),
    ("SquareBounds", ElasticBandMethod.SquareBounds),
]
MAX_DEVIATION = 0.2
SETTINGS = dict(
    verbose=False,
    max_iter=1000,
    tol_gap_abs=1e-4,
    tol_gap_rel=1e-4,
    tol_feas=1e-4,
    iterative_refinement_reltol=1e-4,
    iterative_refinement_abstol=1e-4,
)


def noisy_curve(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, n / 40.0, n)
    return t + rng.normal(scale=0.02, size=n), np.sin(t / 3.0) * 4.0 + rng.normal(scale=0.1, size=n)


def clarabel_settings():
    settings = clarabel.DefaultSettings()
    for name, value in SETTINGS.items():
        setattr(settings, name, value)
    return settings


def scipy_problem(x, y, d, orthogonal):
    """(P, q, A, b, cones) of the smoothing QP from numpy arrays with scipy.sparse."""
    n, m = len(x), len(x) - 2
    second = sparse.diags([1.0, -2.0, 1.0], [0, 1, 2], shape=(m, n), format="csr")
    hessian = 2.0 * (second.T @ second)
    k = 2 * n + (m if orthogonal else 0)
    P = sparse.triu(
        sparse.block_diag([hessian, hessian] + ([sparse.csr_matrix((m, m))] if orthogonal else [])),
        format="csc",
    )
    inner = np.arange(1, n - 1)
    fixed_rows = np.arange(4)
    fixed_cols = np.array([0, n - 1, n, 2 * n - 1])
    fixed_rhs = np.array([x[0], x[-1], y[0], y[-1]])
    if orthogonal:
        theta = np.arctan2(y[2:] - y[:-2], x[2:] - x[:-2])
        offset = 2 * n + np.arange(m)
        normal_rows = 4 + np.arange(2 * m)
        bound_rows = 4 + 2 * m + np.arange(2 * m)
        rows = np.concatenate([fixed_rows, normal_rows, normal_rows, bound_rows])
        cols = np.concatenate([fixed_cols, inner, n + inner, offset, offset, offset, offset])
        vals = np.concatenate(
            [np.ones(4 + 2 * m), -d * np.sin(theta), d * np.cos(theta), np.ones(m), -np.ones(m)]
        )
        b = np.concatenate([fixed_rhs, x[1:-1], y[1:-1], np.ones(2 * m)])
        equalities = 4 + 2 * m
    else:
        box_rows = 4 + np.arange(4 * m)
        centre = np.concatenate([x[1:-1], y[1:-1]])
        rows = np.concatenate([fixed_rows, box_rows])
        cols = np.concatenate([fixed_cols, inner, n + inner, inner, n + inner])
        vals = np.concatenate([np.ones(4 + 2 * m), -np.ones(2 * m)])
        b = np.concatenate([fixed_rhs, centre + d, d - centre])
        equalities = 4
    A = sparse.csc_matrix((vals, (rows, cols)), shape=(len(b), k))
    cones = [clarabel.ZeroConeT(equalities), clarabel.NonnegativeConeT(len(b) - equalities)]
    return P, np.zeros(k), A, b, cones


def scipy_smoothing(x, y, d, orthogonal):
    n = len(x)
    solution = _real_solver(*scipy_problem(x, y, d, orthogonal), clarabel_settings()).solve()
    assert solution.status == clarabel.SolverStatus.Solved, solution.status
    values = np.asarray(solution.x)
    return np.column_stack([values[:n], values[n : 2 * n]])


def cvxpy_smoothing(x, y, d, orthogonal, stats=None):
    n = len(x)
    X, Y = cp.Variable(n), cp.Variable(n)
    objective = cp.Minimize(
        cp.sum_squares(X[:-2] - 2 * X[1:-1] + X[2:]) + cp.sum_squares(Y[:-2] - 2 * Y[1:-1] + Y[2:])
    )
    constraints = [X[0] == x[0], X[-1] == x[-1], Y[0] == y[0], Y[-1] == y[-1]]
    if orthogonal:
        theta = np.arctan2(y[2:] - y[:-2], x[2:] - x[:-2])
        offset = cp.Variable(n - 2)
        constraints += [
            X[1:-1] == x[1:-1] + cp.multiply(d * np.sin(theta), offset),
            Y[1:-1] == y[1:-1] - cp.multiply(d * np.cos(theta), offset),
            offset <= 1,
            offset >= -1,
        ]
    else:
        constraints += [
            X[1:-1] - x[1:-1] <= d,
            x[1:-1] - X[1:-1] <= d,
            Y[1:-1] - y[1:-1] <= d,
            y[1:-1] - Y[1:-1] <= d,
        ]
    problem = cp.Problem(objective, constraints)
    problem.solve(solver=cp.CLARABEL, **SETTINGS)
    assert problem.status == cp.OPTIMAL, problem.status
    if stats is not None:
        stats.append(problem.solver_stats.solve_time)
    return np.column_stack([X.value, Y.value])


def ours(x, y, method):
    result = Path2D(x=x, y=y).smoothed_path_elastic_band(MAX_DEVIATION, method)
    assert result is not None
    return result


def agreement(result, expected):
    return float(np.abs(np.asarray(result.points) - expected).max())


# --- the dedicated solver against the method ----------------------------------------------------

SOLVER_TARGET = 1 / 50
FLEET_BAND = 0.15  # korvane-fleet's band, on its trips resampled every metre
ROOT = Path(__file__).resolve().parent.parent


def fleet_trips(trips: int) -> list[np.ndarray]:
    """The band's input in korvane-fleet: each sample trip relative to its first position, its
    point order repaired, resampled every metre (cubic)."""
    import pyarrow as pa
    from korvane_fleet.inputs import sample_fleet

    table = sample_fleet(trips)
    trip = table.column("trip_id").to_numpy()
    t = table.column("t").cast(pa.int64()).to_numpy()
    xy = np.column_stack([table.column(c).to_numpy() for c in ("x", "y")])
    order = np.lexsort((t, trip))
    trip, xy = trip[order], xy[order]
    starts = np.flatnonzero(np.r_[True, trip[1:] != trip[:-1]])
    every_metre = ResamplingMethod.by_sampling_distance(1.0)
    out = []
    for a, b in zip(starts, np.r_[starts[1:], len(trip)]):
        path = Path2D(points=xy[a:b] - xy[a]).repair_corrupted_point_order()
        out.append(np.asarray(path.resampled_path(every_metre, InterpolationMethod.Cubic).points_np))
    return out


def long_track(length: float = 27_000.0, seed: int = 3) -> np.ndarray:
    """A drive of `length` metres as korvane-fleet smooths it: logged at 10 Hz at 4 to 12 m/s with
    3 cm of noise along straights and arcs of 20 to 300 m radius, then resampled every metre."""
    rng = np.random.default_rng(seed)
    n = int(length / 0.28) + 1  # enough positions at the slowest speed
    speed = rng.uniform(4, 12) * (1.0 + 0.3 * np.sin(np.linspace(0.0, 60.0, n)))
    step = speed * 0.1
    pieces = rng.integers(100, 2000, n // 100)
    radius = rng.uniform(20, 300, len(pieces)) * rng.choice([-1, 1], len(pieces))
    curvature = np.repeat(rng.choice([0, 1], len(pieces)) / radius, pieces)[:n]
    heading = np.cumsum(curvature * step)
    xy = np.cumsum(np.column_stack((np.cos(heading), np.sin(heading))) * step[:, None], axis=0)
    xy += rng.normal(0.0, 0.03, xy.shape)
    drive = Path2D(points=xy[np.cumsum(step) <= length])
    every_metre = ResamplingMethod.by_sampling_distance(1.0)
    return np.asarray(drive.resampled_path(every_metre, InterpolationMethod.Cubic).points_np)


def per_track_best(tracks: list[np.ndarray], solve, repeat: int) -> float:
    """The sum over the tracks of each one's best time."""
    return sum(best_time(lambda: solve(track), repeat=repeat) for track in tracks)


def method_time(tracks, method, band, repeat) -> float:
    paths = [Path2D(points=track) for track in tracks]
    for path in paths:  # the headings are cached by the path: the solver's side gets them too
        path.orientation_np
    return sum(
        best_time(lambda: path.smoothed_path_elastic_band(band, method), repeat=repeat) for path in paths
    )


class SolverProgram:
    """The C++ program that times ElasticBandSolver::smooth on tracks written to a file."""

    def __init__(self, folder: Path):
        self.folder = folder
        self.program = Path(
            os.environ.get("KORVANE_BAND_SOLVER", ROOT / "build/bench/bench/bench_elastic_band_solver")
        )
        if "KORVANE_BAND_SOLVER" not in os.environ:
            build = ROOT / "build/bench"
            configure = [
                "cmake",
                "-S",
                str(ROOT),
                "-B",
                str(build),
                "-G",
                "Ninja",
                "-DCMAKE_BUILD_TYPE=Release",
            ]
            configure += [
                "-DKORVANE_BUILD_MODULE=OFF",
                "-DKORVANE_BUILD_TESTS=OFF",
                "-DKORVANE_BUILD_BENCHMARKS=ON",
            ]
            subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
            subprocess.run(
                ["cmake", "--build", str(build), "--target", "bench_elastic_band_solver"],
                check=True,
                stdout=subprocess.DEVNULL,
            )

    def time(self, tracks, method, band, repeat) -> float:
        name = self.folder / "tracks.bin"
        offsets = np.r_[0, np.cumsum([len(t) for t in tracks])].astype(np.int64)
        with open(name, "wb") as f:
            f.write(np.array([len(tracks), offsets[-1]], dtype=np.int64).tobytes())
            f.write(offsets.tobytes())
            f.write(np.ascontiguousarray(np.concatenate(tracks), dtype=np.float64).tobytes())
        kind = "orthogonal" if method == ElasticBandMethod.OrthogonalBounds else "square"
        run = subprocess.run(
            [str(self.program), str(name), kind, repr(band), str(repeat)],
            check=True,
            capture_output=True,
            text=True,
        )
        seconds, _, solved = run.stdout.split()
        assert int(solved) == len(tracks), run.stdout
        return float(seconds)


def solver_table(trips: int, rounds: int) -> None:
    try:
        import korvane_tracks
    except ImportError:
        korvane_tracks = None
    with tempfile.TemporaryDirectory() as folder:
        if korvane_tracks is None:
            program = SolverProgram(Path(folder))
            reach = "the C++ program bench_elastic_band_solver"
        else:
            reach = "korvane_tracks.smooth_band"

        def dedicated(tracks, method, band, repeat):
            if korvane_tracks is None:
                return program.time(tracks, method, band, repeat)

            def solve(track):
                korvane_tracks.smooth_band(track, [0, len(track)], band, method)

            return per_track_best(tracks, solve, repeat)

        table = RatioTable(f"the dedicated elastic band solver ({reach}) against smoothed_path_elastic_band")
        sample = fleet_trips(trips)
        long = [long_track()]
        sizes = f"{trips} sample trips of {np.mean([len(t) for t in sample]):.0f} points"
        for name, method in METHODS:
            for what, tracks, mine_repeat, peer_repeat in (
                (sizes, sample, 30, 3),
                (f"a track of {len(long[0])} points", long, 5, 1),
            ):
                mine = peer = float("inf")
                # Alternating rounds, each side's best: the machine's load reaches both alike.
                for _ in range(rounds):
                    mine = min(mine, dedicated(tracks, method, FLEET_BAND, mine_repeat))
                    peer = min(peer, method_time(tracks, method, FLEET_BAND, peer_repeat))
                table.add(f"{name}, {what}", mine, peer, SOLVER_TARGET, "smoothed_path_elastic_band")
        table.print()


def main() -> None:
    if "--solver" in sys.argv[1:]:
        solver_table(trips=40, rounds=2)
        return
    table = RatioTable("Path2D.smoothed_path_elastic_band (max_deviation 0.2, noisy curve)")
    notes = []

    x, y = noisy_curve(2_000)
    for name, method in METHODS:
        orthogonal = method == ElasticBandMethod.OrthogonalBounds
        notes.append(
            f"{name}, 2000 points: max |ours - scipy+clarabel| = "
            f"{agreement(ours(x, y, method), scipy_smoothing(x, y, MAX_DEVIATION, orthogonal)):.1e}"
        )
        mine = best_time(lambda: ours(x, y, method), repeat=15)
        peer = best_time(lambda: scipy_smoothing(x, y, MAX_DEVIATION, orthogonal), repeat=15)
        table.add(f"{name}, 2000 points, end to end", mine, peer, 1.25, "scipy.sparse build + clarabel")

    if cp is None:
        notes.append("cvxpy is not importable: the cvxpy comparison is skipped")
    else:
        for name, method in METHODS:
            orthogonal = method == ElasticBandMethod.OrthogonalBounds
            notes.append(
                f"{name}, 2000 points: max |ours - cvxpy| = "
                f"{agreement(ours(x, y, method), cvxpy_smoothing(x, y, MAX_DEVIATION, orthogonal)):.1e}"
            )
            mine = best_time(lambda: ours(x, y, method), repeat=5)
            solve_times = []
            peer = best_time(lambda: cvxpy_smoothing(x, y, MAX_DEVIATION, orthogonal, solve_times), repeat=5)
            table.add(f"{name}, 2000 points, end to end", mine, peer, 0.3, "cvxpy model + Clarabel")
            notes.append(
                f"{name}, 2000 points: Clarabel's own solve inside the cvxpy call takes "
                f"{min(solve_times) * 1e3:.1f} ms = {min(solve_times) / peer:.2f} of the cvxpy call"
            )

    # Our time outside Clarabel (orientation, QP assembly, conversion to scipy matrices, result
    # path) against Clarabel alone (solver setup and solve) on the very matrices our call handed
    # over. "Outside" is timed directly by replaying the stored answer instead of solving.
    global _replay
    x, y = noisy_curve(20_000, seed=1)
    for name, method in METHODS:
        ours(x, y, method)
        problem = _recorded[0]
        solve_only = best_time(lambda: _real_solver(*problem).solve(), repeat=5)
        _replay = _real_solver(*problem).solve()
        outside = best_time(lambda: ours(x, y, method), repeat=7)
        _replay = None
        whole = best_time(lambda: ours(x, y, method), repeat=3)
        table.add(
            f"{name}, 20000 points, outside Clarabel vs Clarabel",
            outside,
            solve_only,
            0.1,
            "clarabel on our P, q, A, b",
        )
        notes.append(
            f"{name}, 20000 points: end to end {whole * 1e3:.1f} ms, Clarabel alone "
            f"{solve_only * 1e3:.1f} ms, difference {(whole - solve_only) / solve_only:.1%}"
        )

    table.print()
    print()
    for note in notes:
        print(note)
    print("Last rows: 'ours' is the end-to-end call with Clarabel's DefaultSolver(...).solve() replaced by")
    print("its stored answer; 'peer' is DefaultSolver(...).solve() on the same P, q, A, b, cones, settings.")
    solver_table(trips=40, rounds=2)


if __name__ == "__main__":
    start = time.perf_counter()
    main()
    print(f"total bench time {time.perf_counter() - start:.1f} s")
