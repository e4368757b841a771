"""Per-point work on a path of 10^6 points against the NumPy code a user would write instead.

Each row prints korvane / peer (medians of interleaved repetitions, both in this run) next to its
target, and korvane's effective bandwidth: the bytes the operation must read and write (inputs
read once, every list of the result written once) divided by korvane's median time.
"""

import os
import statistics
import tempfile
import time

import numpy as np
from bench_chaikin import numpy_chaikin
from korvane import InterpolationMethod, Path2D, ResamplingMethod

N = 1_000_000
ROUNDS = 15


class Series(np.ndarray):
    """An ndarray subclass with attributes of its own, as data-frame libraries hand them out."""

    def __array_finalize__(self, obj):
        self.name = getattr(obj, "name", None)


def timed(fn, setup=None):
    state = setup() if setup else None
    start = time.perf_counter()
    result = fn() if setup is None else fn(state)
    elapsed = time.perf_counter() - start
    del result, state
    return elapsed


def medians(ours, peer, ours_setup=None, peer_setup=None, rounds=ROUNDS):
    """Median per-call times of ours and peer, alternating call by call so load hits both."""
    a, b = [], []
    for _ in range(rounds):
        a.append(timed(ours, ours_setup))
        b.append(timed(peer, peer_setup))
    return statistics.median(a), statistics.median(b)


def gradient(v):
    d = np.empty_like(v)
    d[1:-1] = (v[2:] - v[:-2]) * 0.5
    d[0] = v[1] - v[0]
    d[-1] = v[-1] - v[-2]
    return d


def numpy_orientation(x, y):
    dx, dy = np.empty_like(x), np.empty_like(y)
    dx[1:-1], dy[1:-1] = x[2:] - x[:-2], y[2:] - y[:-2]
    dx[0], dy[0] = x[1] - x[0], y[1] - y[0]
    dx[-1], dy[-1] = x[-1] - x[-2], y[-1] - y[-2]
    return np.arctan2(dy, dx)


def numpy_curvature(x, y):
    dx, dy = gradient(x), gradient(y)
    ddx, ddy = gradient(dx), gradient(dy)
    return (dx * ddy - dy * ddx) / (dx * dx + dy * dy) ** 1.5


def numpy_unit_tangent(x, y):
    dx, dy = gradient(x), gradient(y)
    r = np.sqrt(dy * dy + dx * dx)
    return np.column_stack((dx / r, dy / r))


def numpy_path_length(x, y):
    return np.concatenate(([0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y)))))


def numpy_resampled(x, y, count):
    s = numpy_path_length(x, y)
    positions = np.linspace(0.0, s[-1], count)
    return np.interp(positions, s, x), np.interp(positions, s, y)


def main() -> None:
    rng = np.random.default_rng(0)
    a = rng.normal(size=(N, 2)).cumsum(axis=0)
    x, y = a[:, 0].copy(), a[:, 1].copy()
    a32 = a.astype(np.float32)
    series = a.view(Series)
    folder = tempfile.mkdtemp()
    mapped = np.memmap(os.path.join(folder, "points.f8"), dtype=np.float64, mode="w+", shape=a.shape)
    mapped[:] = a
    mapped.flush()
    method = ResamplingMethod.by_number_points(N)
    fresh = lambda: Path2D(x=x, y=y)  # noqa: E731

    # Results agree with the peers before anything is timed.
    p = fresh()
    assert np.array_equal(Path2D(points=a).points_np, a)
    assert np.array_equal(Path2D(points=a32).points_np, a32.astype(np.float64))
    assert np.array_equal(Path2D(points=mapped).points_np, a)
    assert np.allclose(p.orientation_np, numpy_orientation(x, y), rtol=1e-14, atol=0)
    assert np.allclose(p.curvature_np, numpy_curvature(x, y), rtol=1e-13, atol=0)
    assert np.allclose(p.unit_tangent_vector_np, numpy_unit_tangent(x, y), rtol=1e-14, atol=1e-300)
    assert np.allclose(p.path_length_per_point_np, numpy_path_length(x, y), rtol=1e-12, atol=0)
    rx, ry = numpy_resampled(x, y, N)
    assert np.allclose(p.resampled_path(method).points_np, np.column_stack((rx, ry)), rtol=1e-9, atol=1e-9)
    assert np.array_equal(Path2D(points=a).smoothed_path_chaikin(1).points_np, numpy_chaikin(a, 1))

    mb = N / 1e6
    rows = [
        (
            "Path2D(points=a), (n, 2) float64 vs numpy.array(a)",
            3.0,
            32 * N,
            lambda: Path2D(points=a),
            lambda: np.array(a),
            None,
        ),
        (
            "Path2D(x=x, y=y) vs copying x and y",
            2.0,
            32 * N,
            lambda: Path2D(x=x, y=y),
            lambda: (x.copy(), y.copy()),
            None,
        ),
        (
            "Path2D(points=a32), float32 vs the float64 array",
            1.5,
            24 * N,
            lambda: Path2D(points=a32),
            lambda: Path2D(points=a),
            None,
        ),
        (
            "ndarray subclass vs a plain ndarray",
            1.5,
            32 * N,
            lambda: Path2D(points=series),
            lambda: Path2D(points=a),
            None,
        ),
        (
            "numpy.memmap vs a plain ndarray",
            1.5,
            32 * N,
            lambda: Path2D(points=mapped),
            lambda: Path2D(points=a),
            None,
        ),
        (
            "first orientation_np vs arctan2 of the differences",
            1.0,
            32 * N,
            lambda q: q.orientation_np,
            lambda: numpy_orientation(x, y),
            fresh,
        ),
        (
            "first curvature_np vs the NumPy formula",
            0.3,
            32 * N,
            lambda q: q.curvature_np,
            lambda: numpy_curvature(x, y),
            fresh,
        ),
        (
            "first unit_tangent_vector_np vs the NumPy formula",
            0.3,
            48 * N,
            lambda q: q.unit_tangent_vector_np,
            lambda: numpy_unit_tangent(x, y),
            fresh,
        ),
        (
            "first path_length_per_point_np vs hypot + cumsum",
            0.2,
            32 * N,
            lambda q: q.path_length_per_point_np,
            lambda: numpy_path_length(x, y),
            fresh,
        ),
        (
            "linear resampled_path, 1e6 to 1e6, vs arc length + interp",
            0.3,
            32 * N + 8 * N,
            lambda q: q.resampled_path(method, InterpolationMethod.Linear),
            lambda: numpy_resampled(x, y, N),
            fresh,
        ),
        (
            "one Chaikin pass vs vectorised NumPy",
            0.3,
            16 * N + 32 * N,
            lambda q: q.smoothed_path_chaikin(1),
            lambda: numpy_chaikin(a, 1),
            fresh,
        ),
    ]
    print(f"Per-point work, {mb:g}e6 points; medians of {ROUNDS} interleaved repetitions")
    print(f"{'work':58s} {'korvane':>9s} {'peer':>9s} {'ratio':>6s} {'target':>7s} {'GB/s':>6s}")
    missed = 0
    for what, target, bytes_moved, ours, peer, setup in rows:
        t_ours, t_peer = medians(ours, peer, ours_setup=setup)
        ratio = t_ours / t_peer
        verdict = "ok" if ratio <= target else "MISSED"
        missed += ratio > target
        print(
            f"{what:58s} {t_ours * 1e3:7.2f}ms {t_peer * 1e3:7.2f}ms {ratio:6.2f} {'<=' + str(target):>7s}"
            f" {bytes_moved / t_ours / 1e9:6.1f}  {verdict}"
        )
    print(f"\n{len(rows) - missed} of {len(rows)} rows at target")


if __name__ == "__main__":
    main()
