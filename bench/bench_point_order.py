"""Point order repair against one detection pass on a path that needs thousands of removal passes."""

import time

import numpy as np
from _side_by_side import side_by_side
from _timing import RatioTable
from korvane import Path2D

PI = 3.141592653589793
TWO_PI = 6.283185307179586


def folded_track(folds, forward, backward, seed):
    """Runs of unit steps: `forward` ahead, then `backward` back (half a step aside in x), repeated.

    Each repair pass removes only the tip of every fold, so the passes needed equal `backward`.
    """
    rng = np.random.default_rng(seed)
    runs, cursor = [], 0.0
    for _ in range(folds):
        ahead = cursor + np.arange(forward, dtype=float)
        back = ahead[-1] - 0.5 - np.arange(backward, dtype=float)
        runs += [ahead, back]
        cursor = back[-1] + 0.25
    runs.append(cursor + np.arange(forward, dtype=float))
    x = np.concatenate(runs)
    return x, rng.normal(scale=1e-3, size=len(x))


def passes_by_definition(x, y, sus_angle=2.8):
    """Detect every suspicious turn, remove all of them at once, repeat: (passes, points left)."""
    passes = 0
    while len(x) >= 3:
        heading = np.arctan2(np.diff(y), np.diff(x))
        d = np.abs(heading[1:] - heading[:-1])
        turn = np.where(d > PI, np.abs(TWO_PI - d), d)
        found = np.nonzero(turn >= sus_angle)[0] + 1
        if len(found) == 0:
            break
        keep = np.ones(len(x), dtype=bool)
        keep[found] = False
        x, y, passes = x[keep], y[keep], passes + 1
    return passes, len(x)


def main() -> None:
    x, y = folded_track(folds=12, forward=5000, backward=3000, seed=0)
    path = Path2D(x=x, y=y)

    start = time.perf_counter()
    passes, left = passes_by_definition(x, y)
    elapsed = time.perf_counter() - start
    repaired = path.repair_corrupted_point_order()
    assert len(repaired.points) == left and repaired.detect_corrupted_point_order() == []
    print(
        f"{len(x)} points; the pass-by-pass definition needs {passes} passes on this whole path "
        f"(counted once with a NumPy loop of detect + remove, {elapsed:.1f} s) and leaves {left} points"
    )

    table = RatioTable(f"Point order: {len(x)} points, {passes} passes by definition")
    repair, detect = side_by_side(
        lambda: path.repair_corrupted_point_order(), lambda: path.detect_corrupted_point_order(), number=3
    )
    table.add("repair_corrupted_point_order()", repair, detect, 5.0, "one detect_corrupted_point_order()")
    table.print()


if __name__ == "__main__":
    main()
