"""A tour of korvane on a built-in sample path: build it, read its quantities, print a report."""

import math
import time

import korvane
from korvane import Path2D


def sample_path(n: int = 400) -> Path2D:
    """A recorded-looking trajectory: a straight run, a left curve and an S-bend, with jitter."""
    xs, ys = [], []
    for i in range(n):
        s = i / (n - 1)
        x = 60.0 * s
        y = 8.0 * math.sin(2.0 * math.pi * s) * s + 0.02 * math.sin(97.0 * i)
        xs.append(x)
        ys.append(y)
    return Path2D(x=xs, y=ys)


def main() -> None:
    started = time.perf_counter()
    path = sample_path()
    print(f"korvane: {korvane.__doc__}")
    print(f"points:            {len(path.points)}")
    print(f"length:            {path.length:.3f}")
    lengths = path.path_length_per_point
    headings = path.orientation
    curvature = path.curvature
    for i in (0, len(lengths) // 2, len(lengths) - 1):
        print(
            f"point {i:4d}: s = {lengths[i]:8.3f}  heading = {math.degrees(headings[i]):7.2f} deg"
            f"  curvature = {curvature[i]: .4f}"
        )
    print(f"max |curvature|:   {max(abs(k) for k in curvature):.4f}")
    print(f"elapsed:           {1e3 * (time.perf_counter() - started):.1f} ms")


if __name__ == "__main__":
    main()
