"""Route coordinates: korvane_frenet against the same work done with korvane's per-point query,
with shapely 2 (STRtree and line_locate_point) and with numpy.interp, measured side by side.

    python bench_frenet.py            # 1e6 fixes on a 1e6-point route; shapely's row needs shapely 2
    python bench_frenet.py --large    # also the rows on a 1e7-point route (about 2 GB, a minute)

The per-fix loop and shapely are timed on a sample of the fixes and scaled to all of them (their
cost per fix does not depend on how many there are); shapely's tree build is timed whole.
"""

import argparse
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
    parser = argparse.ArgumentParser()
    parser.add_argument("--large", action="store_true", help="also the rows on a 1e7-point route")
    large = parser.parse_args().large
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
        table.add(
            f"from_frenet, 1e6 {order} s",
            ours,
            peer,
            1.5 if order == "sorted" else 3.0,
            "numpy.interp of x and y",
        )
        if order == "sorted":
            sorted_s = s
        else:
            ours, peer = side_by_side(lambda s=s: from_frenet(path, s), lambda: from_frenet(path, sorted_s))
            table.add("from_frenet, 1e6 random s", ours, peer, 1.5, "the same s sorted")

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

    # Every route size against the per-fix loop on the same fixes, batches small and large.
    for n, m in (
        (2, 1000),
        (10, 1000),
        (250, 10),
        (250, 100),
        (250, 10_000),
        (10_000, 100),
        (10_000, 10_000),
        (N, 300),
    ):
        ours, peer = loop_ratio(n, m)
        table.add(
            f"to_frenet, {m:,} fixes on a {n:,}-point route",
            ours,
            peer,
            1.2 if m <= 10 else 0.5,
            "per-fix loop",
        )

    # Far fixes against near ones on the same route, per fix.
    near = best_time(lambda: to_frenet(path, fixes[:100_000]), repeat=3)
    low, high = points.min(axis=0), points.max(axis=0)
    for what, far in (
        ("sigma 200 m", noisy_fixes(points, 100_000, seed=5, sigma=200.0)),
        ("uniform over the box", rng.uniform(low, high, (100_000, 2))),
        (
            "1 km outside the box",
            np.column_stack([np.full(100_000, high[0] + 1000.0), rng.uniform(low[1], high[1], 100_000)]),
        ),
    ):
        table.add(
            f"to_frenet, 1e5 fixes {what}",
            best_time(lambda f=far: to_frenet(path, f), repeat=3),
            near,
            2.5,
            "sigma 2 m fixes",
        )
    outside = (high[0] + 1000.0, (low[1] + high[1]) / 2)
    table.add(
        "path_length_from_point 1 km outside a 1e6-point route",
        best_time(lambda: path.path_length_from_point(outside), number=20, repeat=3),
        best_time(lambda: path.path_length_from_point(fixes[5]), number=20, repeat=3),
        10.0,
        "one near it",
    )

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
    two, one = side_by_side(
        lambda: to_frenet(path, fixes, workers=2), lambda: to_frenet(path, fixes), rounds=3
    )
    table.add("to_frenet, 1e6 fixes, workers=2 (needs two free cores)", two, one, 0.6, "workers=1")

    if large:
        # Long routes: the build per point, and the cost per near fix at 1e7 against 1e5.
        big = route(10 * N, seed=6)
        small = route(N // 10, seed=6)
        build = best_time(
            lambda p: to_frenet(p, big[:300]),
            repeat=2,
            setup=lambda: fresh(big[:, 0].copy(), big[:, 1].copy()),
        )
        table.add(
            "index build and 300 fixes, 1e7-point route", build, 8e-9 * len(big), 1.0, "8 ns a route point"
        )
        per_fix, single = [], []
        for pts in (big, small):
            p = fresh(pts[:, 0].copy(), pts[:, 1].copy())
            f = noisy_fixes(pts, 100_000, seed=7)
            to_frenet(p, f[:300])
            per_fix.append(best_time(lambda p=p, f=f: to_frenet(p, f), repeat=3))
            some = f[:2000].tolist()
            single.append(best_time(lambda p=p, q=some: [p.path_length_from_point(x) for x in q], repeat=3))
        table.add(
            "to_frenet, 1e5 near fixes on a 1e7-point route",
            per_fix[0],
            per_fix[1],
            1.5,
            "on a 1e5-point route",
        )
        table.add(
            "path_length_from_point, 2,000 near fixes on a 1e7-point route",
            single[0],
            single[1],
            1.5,
            "on a 1e5-point route",
        )
    table.print()


def loop_ratio(n, m):
    """Seconds for to_frenet of m noisy fixes on a warm n-point route, and for the per-fix loop
    over them (timed on a sample)."""
    points = route(n, seed=8)
    fixes = noisy_fixes(points, m, seed=9)
    path = fresh(points[:, 0].copy(), points[:, 1].copy())
    to_frenet(path, fixes)
    path.path_length_from_point(fixes[0])
    sample = fixes[:LOOP_SAMPLE].tolist()
    number = max(1, 1000 // m)  # calls of a few fixes are timed many at a time
    ours, peer = side_by_side(
        lambda: to_frenet(path, fixes),
        lambda: [path.path_length_from_point(q) for q in sample],
        number=number,
    )
    return ours, peer * m / len(sample)


if __name__ == "__main__":
    main()
