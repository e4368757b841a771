"""Circle-fit curvature against the same recursion written with NumPy, and the cost of one fit."""

import time

import numpy as np
from _timing import RatioTable, best_time
from korvane import Path2D

MAX_RMSE = 0.15
POINTS = 10_000


def recorded_track(n, sigma, seed=0):
    """Positions in metres every metre along straights and arcs of 10 to 60 m, with GPS-like noise."""
    rng = np.random.default_rng(seed)
    pieces = []
    while sum(map(len, pieces)) < n:
        bend = 0.0 if rng.random() < 0.35 else rng.choice([-1.0, 1.0]) / rng.uniform(10.0, 60.0)
        pieces.append(np.full(rng.integers(15, 80), bend))
    heading = np.cumsum(np.concatenate(pieces)[:n])
    return (
        np.cumsum(np.cos(heading)) + rng.normal(scale=sigma, size=n),
        np.cumsum(np.sin(heading)) + rng.normal(scale=sigma, size=n),
    )


class NumpyCircleSegments:
    """The peer: Taubin's fit with one numpy.linalg.svd(Z, full_matrices=False) per run, bisection
    and one merge across each split, written as a NumPy user would."""

    def __init__(self, x, y, max_rmse):
        self.x, self.y, self.max_rmse = x, y, max_rmse
        self.fits = 0

    def fit(self, start, end):
        self.fits += 1
        x, y = self.x[start:end], self.y[start:end]
        mx, my = x.mean(), y.mean()
        u, v = x - mx, y - my
        z = u * u + v * v
        zm = z.mean()
        s = 2.0 * np.sqrt(zm)
        _, _, vt = np.linalg.svd(np.column_stack(((z - zm) / s, u, v)), full_matrices=False)
        a0, a1, a2 = vt[2]
        a0 /= s
        cx, cy = mx - 0.5 * a1 / a0, my - 0.5 * a2 / a0
        r = np.sqrt(a1 * a1 + a2 * a2 + 4.0 * a0 * a0 * zm) * 0.5 / abs(a0)
        rmse = np.sqrt(np.mean((np.hypot(x - cx, y - cy) - r) ** 2))
        return r, rmse

    def segments(self, start, end):
        if end - start < 3:
            return [(start, end, 0.0)]
        r, rmse = self.fit(start, end)
        if self.max_rmse >= rmse:
            return [(start, end, 1.0 / r)]
        mid = start + (end - start) // 2
        left, right = self.segments(start, mid), self.segments(mid, end)
        g, h = left[-1][0], right[0][1]
        r, rmse = self.fit(g, h)
        if self.max_rmse >= rmse:
            return left[:-1] + [(g, h, 1.0 / r)] + right[1:]
        return left + right

    def curvature(self):
        return [k for s, e, k in self.segments(0, len(self.x)) for _ in range(e - s)]


def main() -> None:
    table = RatioTable(
        f"Path2D.compute_circle_fit_curvature(max_rmse={MAX_RMSE}), {POINTS} points, 1 m spacing"
    )
    notes = []

    for sigma in (0.05, 0.2):
        x, y = recorded_track(POINTS, sigma)
        path = Path2D(x=x, y=y)
        peer_run = NumpyCircleSegments(x, y, MAX_RMSE)
        expected = peer_run.curvature()
        segments = path.find_circle_segments(0, POINTS, MAX_RMSE)
        same_runs = [(s, e) for s, e, _ in segments] == [
            (s, e) for s, e, _ in NumpyCircleSegments(x, y, MAX_RMSE).segments(0, POINTS)
        ]
        ours_curvature = path.compute_circle_fit_curvature(MAX_RMSE)
        difference = np.max(
            np.abs(np.subtract(ours_curvature, expected)) / np.maximum(np.abs(expected), 1e-300)
        )
        notes.append(
            f"noise {sigma} m: {len(segments)} segments, {peer_run.fits} fits per call; "
            f"same runs as the peer: {same_runs}, max relative curvature difference {difference:.1e}"
        )

        mine = best_time(path.compute_circle_fit_curvature, repeat=15)
        peer = best_time(lambda: NumpyCircleSegments(x, y, MAX_RMSE).curvature(), repeat=7)
        table.add(f"noise sigma {sigma} m", mine, peer, 0.1, "NumPy recursion, svd per run")
        notes.append(
            f"noise {sigma} m: ours {mine / peer_run.fits * 1e9:.0f} ns per fit on average, "
            f"peer {peer / peer_run.fits * 1e9:.0f} ns"
        )

    table.print()
    print()
    for note in notes:
        print(note)
    print(
        "Peer: numpy.linalg.svd(Z, full_matrices=False) per run (the full U of a 10^4-row run alone"
        " would be 800 MB)."
    )

    # A 3-point run always fits exactly, so (0, 3) is one fit plus the call; (0, 2) is the call
    # with a 2-point run, which needs no fit.
    triangle = Path2D(points=[[0.0, 0.0], [1.0, 1.0], [2.0, 0.0]])
    triangle.find_circle_segments(0, 3)
    with_fit = best_time(lambda: triangle.find_circle_segments(0, 3), number=200_000)
    call_only = best_time(lambda: triangle.find_circle_segments(0, 2), number=200_000)
    print("\nOne fit of a 3-point run:")
    print(f"  find_circle_segments(0, 3) {with_fit * 1e9:8.1f} ns  (call + one fit)")
    print(f"  find_circle_segments(0, 2) {call_only * 1e9:8.1f} ns  (call, no fit)")
    print(f"  difference                 {(with_fit - call_only) * 1e9:8.1f} ns  (one fit)")


if __name__ == "__main__":
    start = time.perf_counter()
    main()
    print(f"total bench time {time.perf_counter() - start:.1f} s")
