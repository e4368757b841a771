"""Construction and attribute reads of Path2D against NumPy and plain Python peers."""

import numpy as np
from _timing import RatioTable, best_time
from korvane import Path2D


class PlainPath:
    def __init__(self, length):
        self._length = length

    @property
    def length(self):
        return self._length


def main() -> None:
    rng = np.random.default_rng(0)
    table = RatioTable("Path2D: construction and attributes")

    small = rng.normal(size=(100_000, 2)).cumsum(axis=0)
    nested = small.tolist()
    ours = best_time(lambda: Path2D(points=nested), number=3)
    peer = best_time(lambda: np.array(nested, dtype=float), number=3)
    table.add("Path2D(points=L), L = 1e5 [x, y] lists", ours, peer, 1.0, "numpy.array(L, dtype=float)")

    big = rng.normal(size=(1_000_000, 2)).cumsum(axis=0)
    x, y = big[:, 0].copy(), big[:, 1].copy()
    Path2D(x=x[:2], y=y[:2]).x_np  # the first array request looks NumPy up once per process
    ours = best_time(lambda p: p.path_length_per_point_np, setup=lambda: Path2D(x=x, y=y))
    peer = best_time(lambda: np.concatenate(([0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y))))))
    table.add(
        "first path_length_per_point_np, 1e6 points", ours, peer, 0.5, "concatenate(cumsum(hypot(diff)))"
    )

    path = Path2D(x=x, y=y)
    cached = path.path_length_per_point_np
    ours = best_time(lambda: path.path_length_per_point_np, number=20)
    peer = best_time(lambda: cached.copy(), number=20)
    table.add("cached path_length_per_point_np, 1e6 points", ours, peer, 1.2, "ndarray.copy()")

    plain = PlainPath(path.length)
    ours = best_time(lambda: path.length, number=200_000)
    peer = best_time(lambda: plain.length, number=200_000)
    table.add("p.length on a cached path", ours, peer, 1.0, "property of a plain class")

    ours = best_time(lambda: path.points, number=1, repeat=5)
    peer = best_time(lambda: big.tolist(), number=1, repeat=5)
    table.add("p.points, 1e6 points", ours, peer, 1.2, "(n, 2) ndarray.tolist()")

    table.print()


if __name__ == "__main__":
    main()
