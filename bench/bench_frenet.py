"""Route coordinates: korvane_frenet against the same work done with korvane's per-point query,
with shapely 2 (STRtree and line_locate_point) and with numpy.interp, measured side by side.

    python bench_frenet.py            # 1e6 fixes on a 1e6-point route; shapely's row needs shapely 2

The per-fix loop and shapely are timed on a sample of the fixes and scaled to all of them (their
cost per fix does not depend on how many there are); shapely's tree build is timed whole.
"""

import threading
import time

import numpy as np
from _side_by_side import side_by_side
from _timing import RatioTable, best_time
from bench_point_queries import noisy_fixes, route
from korvane import Path2D
from korvane_frenet import from_frenet, to_frenet

N = 1_000_000
LOOP_SAMPLE = 20_000
SHAPELY_SAMPLE = 50_000


def brute_force(points, query):
    """(s, distance, segment) of the nearest clamped foot, scanning every segment."""
    a, delta = points[:-1], np.diff(points, axis=0)
    squared = delta[:, 0] * delta[:, 0] + delta[:, 1] * delta[:, 1]
    t = np.clip(((query[0] - a[:, 0]) * delta[:, 0] + (query[1] - a[:, 1]) * delta[:, 1]) / squared, 0, 1)
    ex, ey = a[:, 0] + t * delta[:, 0] - query[0], a[:, 1] + t * delta[:, 1] - query[1]
    distance = ex * ex + ey * ey
    i = int(np.argmin(distance))
    length = np.concatenate(([0.0], np.cumsum(np.sqrt(squared))))
    return length[i] + np.sqrt(squared[i]) * t[i], np.sqrt(distance[i]), i


def shapely_peer(points, fixes):
    """Seconds for a user's shapely route: an STRtree over the segments, the nearest segment of
    each fix, and line_locate_point on it; the queries timed on a sample and scaled."""
    try:
        import shapely
    except ImportError:
        return None
    start = time.perf_counter()
    segments = shapely.linestrings(np.stack([points[:-1], points[1:]], axis=1))
    tree = shapely.STRtree(segments)
    lengths = np.concatenate(([0.0], np.cumsum(shapely.length(segments))))
    build = time.perf_counter() - start
    sample = shapely.points(fixes[:SHAPELY_SAMPLE])
    start = time.perf_counter()
    nearest = tree.query_nearest(sample, all_matches=False)[1]
    lengths[nearest] + shapely.line_locate_point(segments[nearest], sample)
    return build + (time.perf_counter() - start) * len(fixes) / SHAPELY_SAMPLE


def fresh(x, y):
    path = Path2D(x=x, y=y)
    path.length
    return path


def main() -> None:
    points = route(N, seed=2)
    x, y = points[:, 0].copy(), points[:, 1].copy()
    fixes = noisy_fixes(points, N, seed=3)
    table = RatioTable(f"Route coordinates on a {N:,}-point route (machine shared and loaded)")

    result = to_frenet(Path2D(x=x, y=y), fixes)
    for k in range(0, N, N // 20):
        expected = brute_force(points, fixes[k])
        assert (result.s[k], result.distance[k], result.segment[k]) == expected, (k, expected)

    # A fresh path per round: the arc lengths and the index are built inside the timing.
    ours, _ = side_by_side(
        lambda p: to_frenet(p, fixes), lambda: None, rounds=5, ours_setup=lambda: Path2D(x=x, y=y)
    )
    warm = Path2D(x=x, y=y)
    warm.path_length_from_point(fixes[0])
    warm.path_length_from_point(fixes[1])  # the index is built
    sample = fixes[:LOOP_SAMPLE].tolist()
    loop = best_time(lambda: [warm.path_length_from_point(q) for q in sample], repeat=5) * N / LOOP_SAMPLE
    table.add("to_frenet, 1e6 fixes (fresh path)", ours, loop, 0.1, "per-fix path_length_from_point loop")
    shapely_time = shapely_peer(points, fixes)
    if shapely_time is not None:
        table.add(
            "to_frenet, 1e6 fixes (fresh path)",
            ours,
            shapely_time,
            0.01,
            "shapely STRtree + line_locate_point",
        )

    path = Path2D(x=x, y=y)
    length = path.path_length_per_point_np
    rng = np.random.default_rng(4)
    for order, s in (
        ("sorted", np.sort(rng.uniform(0, path.length, N))),
        ("random", rng.uniform(0, path.length, N)),
    ):
        ours, peer = side_by_side(
            lambda s=s: from_frenet(path, s), lambda s=s: (np.interp(s, length, x), np.interp(s, length, y))
        )
        table.add(f"from_frenet, 1e6 {order} s", ours, peer, 3.0, "numpy.interp of x and y")

    ten = fixes[:10]
    ours = peer = float("inf")
    for _ in range(5):  # alternating, each on a fresh path whose arc lengths are filled untimed
        ours = min(ours, best_time(lambda p: to_frenet(p, ten), repeat=1, setup=lambda: fresh(x, y)))
        peer = min(
            peer,
            best_time(
                lambda p: [p.path_length_from_point(q) for q in ten], repeat=1, setup=lambda: fresh(x, y)
            ),
        )
    table.add("10 fixes on a fresh path", ours, peer, 1.2, "10 path_length_from_point calls")

    # The same two halves of the fixes one after the other, and in two threads at once, on one
    # path whose index is built: on two free cores the threads take about half the time.
    halves = np.array_split(fixes, 2)

    def two_threads():
        threads = [threading.Thread(target=to_frenet, args=(path, half)) for half in halves]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    two, one = side_by_side(two_threads, lambda: [to_frenet(path, half) for half in halves], rounds=3)
    table.add("to_frenet, two halves of 1e6 fixes in two threads", two, one, 0.75, "one after the other")
    table.print()


if __name__ == "__main__":
    main()
