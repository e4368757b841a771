"""Resampling by number of points against NumPy's arc length and numpy.interp, and cubic against linear."""

import numpy as np
from _side_by_side import side_by_side
from _timing import RatioTable
from korvane import InterpolationMethod, Path2D, ResamplingMethod

N = 1_000_000


def numpy_resampled(x, y, count):
    dx, dy = np.diff(x), np.diff(y)
    s = np.concatenate(([0.0], np.cumsum(np.sqrt(dx * dx + dy * dy))))
    positions = np.linspace(0.0, s[-1], count)
    return np.interp(positions, s, x), np.interp(positions, s, y)


def main() -> None:
    rng = np.random.default_rng(0)
    walk = rng.normal(size=(N, 2)).cumsum(axis=0)
    x, y = walk[:, 0].copy(), walk[:, 1].copy()
    method = ResamplingMethod.by_number_points(N)
    table = RatioTable("Resampling: 1e6 points in, 1e6 points out")

    # A fresh path per repetition, so the arc length is computed inside the timed call as in the peer.
    def fresh():
        return Path2D(x=x, y=y)

    linear, peer = side_by_side(
        lambda p: p.resampled_path(method, InterpolationMethod.Linear),
        lambda: numpy_resampled(x, y, N),
        ours_setup=fresh,
    )
    table.add(
        "resampled_path(by_number_points(1e6)), linear",
        linear,
        peer,
        0.7,
        "arc length + numpy.interp for x and y",
    )

    # Cubic against linear on one path whose arc length is already cached: the splines alone.
    cached = fresh()
    cached.length
    cubic, linear = side_by_side(
        lambda: cached.resampled_path(method, InterpolationMethod.Cubic),
        lambda: cached.resampled_path(method, InterpolationMethod.Linear),
    )
    table.add(
        "same, cubic, on a path with its arc length cached", cubic, linear, 2.0, "our own linear, same path"
    )

    table.print()


if __name__ == "__main__":
    main()
