"""Chaikin corner cutting against a vectorised NumPy implementation."""

import numpy as np
from _side_by_side import side_by_side
from _timing import RatioTable
from korvane import Path2D

N = 10_000
ITERATIONS = 5


def numpy_chaikin(points, iterations):
    w = points
    for _ in range(iterations):
        a, b = w[:-1], w[1:]
        out = np.empty((2 * len(w), 2))
        out[0] = points[0]
        out[1:-1:2] = 0.75 * a + 0.25 * b
        out[2:-1:2] = 0.25 * a + 0.75 * b
        out[-1] = points[-1]
        w = out
    return w


def main() -> None:
    rng = np.random.default_rng(0)
    points = rng.normal(size=(N, 2)).cumsum(axis=0)
    path = Path2D(points=points)
    assert np.array_equal(path.smoothed_path_chaikin(ITERATIONS).points_np, numpy_chaikin(points, ITERATIONS))

    table = RatioTable(
        f"Chaikin smoothing: {N} points, {ITERATIONS} iterations ({N << ITERATIONS} points out)"
    )
    ours, peer = side_by_side(
        lambda: path.smoothed_path_chaikin(ITERATIONS),
        lambda: numpy_chaikin(points, ITERATIONS),
        rounds=10,
        number=3,
    )
    table.add(f"smoothed_path_chaikin({ITERATIONS}), 1e4 points", ours, peer, 0.5, "vectorised NumPy")
    table.print()


if __name__ == "__main__":
    main()
