"""korvane_frenet: the nearest clamped point against a brute-force scan, rows without a match,
the points at route coordinates, and what the functions refuse."""

import math
import signal
import threading
import time

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from korvane import Path2D
from korvane_frenet import from_frenet, to_frenet


def brute_force(points, query):
    """(s, distance, segment) of the nearest clamped foot: every segment, the first of equal minima,
    in a frame scaled by a power of two (exactly) that puts the largest coordinate near 2^500."""
    exponent = 500 - np.frexp(np.abs(np.concatenate((points.ravel(), query))).max())[1]
    points, query = np.ldexp(points, exponent), np.ldexp(query, exponent)
    a, delta = points[:-1], np.diff(points, axis=0)
    with np.errstate(all="ignore"):
        squared = delta[:, 0] * delta[:, 0] + delta[:, 1] * delta[:, 1]
        t = np.where(
            squared > 0,
            ((query[0] - a[:, 0]) * delta[:, 0] + (query[1] - a[:, 1]) * delta[:, 1]) / squared,
            0,
        )
        t = np.where(t < 0, 0.0, np.where(t > 1, 1.0, t))
        ex, ey = a[:, 0] + t * delta[:, 0] - query[0], a[:, 1] + t * delta[:, 1] - query[1]
        distance = ex * ex + ey * ey
        candidates = np.flatnonzero(~np.isnan(distance))  # nanargmin would take NaN for inf
        if len(candidates) == 0:
            return np.nan, np.nan, -1
        i = int(candidates[np.argmin(distance[candidates])])
        length = np.concatenate(([0.0], np.cumsum(np.sqrt(squared))))
        s = length[i] + np.sqrt(squared[i]) * t[i]
        return np.ldexp(s, -exponent), np.ldexp(np.sqrt(distance[i]), -exponent), i


# Winding walks with repeated points and runs back over themselves; the tiny and huge scales,
# and mm steps around 5e6, keep the index's bounds honest where rounding is coarse. Squared
# lengths and distances overflow or underflow at the tiny and huge scales, and a few queries 1
# away from the path, in a call of their own, mix magnitudes at the tiny one.
@given(
    seed=st.integers(0, 2**32 - 1),
    frame=st.sampled_from([(1.0, 0.0), (1e-300, 0.0), (1e300, 0.0), (1e-3, 5e6)]),
    repeats=st.booleans(),
    as_pairs=st.booleans(),
)
def test_equals_the_brute_force_scan(seed, frame, repeats, as_pairs):
    rng = np.random.default_rng(seed)
    steps = rng.normal(size=(700, 2))
    if repeats:
        steps[rng.integers(0, 700, 150)] = 0.0
        steps[300:400] = -steps[200:300][::-1]
    unit = np.cumsum(steps, axis=0)
    points = unit * frame[0] + frame[1]
    queries = (unit[rng.integers(0, 700, 100)] + rng.normal(scale=3, size=(100, 2))) * frame[0] + frame[1]
    queries[:5] = points[rng.integers(0, 700, 5)]
    mixed = points[rng.integers(0, 700, 3)] + rng.normal(size=(3, 2))
    # Fixes in route order, each search starting from the feet before, where the walk crosses itself.
    along = (unit[:600:3] + rng.normal(scale=0.5, size=(200, 2))) * frame[0] + frame[1]
    path = Path2D(points=points) if as_pairs else Path2D(x=points[:, 0], y=points[:, 1])
    for batch in (queries, mixed, along):
        result = to_frenet(path, batch)
        for k, query in enumerate(batch):
            expected = brute_force(points, query)
            got = (result.s[k], result.distance[k], result.segment[k])
            assert got == expected or np.array_equal(got, expected, equal_nan=True), (k, got, expected)
            assert abs(result.d[k]) == result.distance[k] or np.isnan(result.d[k])


def test_corner_where_the_paths_own_rule_matches_far_away():
    path = Path2D(points=[(0, 0), (10, 0), (10, 10), (60, 10), (60, -50)])
    assert path.path_length_from_point((11, -1)) == 21.0
    (s,), (d,), (distance,), (segment,) = to_frenet(path, [(11, -1)])
    assert (s, d, distance, segment) == (10.0, -math.sqrt(2), math.sqrt(2), 0)


@pytest.mark.parametrize(
    ("points", "query", "max_distance"),
    [
        ([(0, 0), (1, 0)], (5, 5), 1.0),
        ([(0, 0), (1, 0)], (math.inf, 0), math.inf),
        ([(1, 1)], (1, 1), 1.0),
        ([(0, 0), (math.nan, 0), (5, 0), (6, 0)], (5.5, 1), math.inf),
        (
            [(i, 0) for i in range(4)] + [(math.inf, 0)] + [(i, 0) for i in range(5, 9)],
            (math.inf, 1),
            math.inf,
        ),
        ([], (0, 0), 1.0),
    ],
)
def test_rows_without_a_match_are_nan_and_minus_one(points, query, max_distance):
    # Enough rows that a route too short for an index measures them several at a time.
    result = to_frenet(Path2D(points=points), [query] * 40, max_distance=max_distance)
    assert np.isnan(np.stack(result[:3])).all() and result.segment.tolist() == [-1] * 40


# Every array layout and byte order gives the rows a list of the same points gives.
@pytest.mark.parametrize(
    "form", [np.asfortranarray, lambda a: a.astype(">f8"), lambda a: np.repeat(a, 2, axis=0)[::2]]
)
def test_point_arrays_read_in_place_or_copied_alike(form):
    points = np.random.default_rng(5).normal(size=(3000, 2)).cumsum(axis=0)
    queries = points[::7] + 0.5
    path = Path2D(points=points)
    expected = to_frenet(path, queries.tolist())
    for got in (to_frenet(path, queries), to_frenet(path, form(queries))):
        assert all(np.array_equal(g, e) for g, e in zip(got, expected))


def test_round_trip_within_rounding():
    angle = np.linspace(0, 6 * np.pi, 2000)
    route = Path2D(points=np.column_stack([np.cos(angle), np.sin(angle)]) * (300 + 20 * angle[:, None]))
    rng = np.random.default_rng(3)
    s = rng.uniform(0, route.length, 5000)
    points = from_frenet(route, s, rng.uniform(-2, 2, 5000))
    back = to_frenet(route, points)
    assert np.allclose(from_frenet(route, back.s, back.d), points, rtol=0, atol=1e-9)
    assert np.allclose(from_frenet(route, [10.0], 0.0), from_frenet(route, 10.0, [0.0, 0.0])[:1])


@pytest.mark.parametrize("path", [[(0, 0), (1, 0)], None, np.zeros((2, 2)), Path2D])
def test_refuses_anything_but_a_path(path):
    with pytest.raises(TypeError, match="argument 'path'"):
        to_frenet(path, [(0, 0)])
    with pytest.raises(TypeError, match="argument 'path'"):
        from_frenet(path, 0.0)


def test_other_threads_may_attach_values_while_a_batch_runs():
    path = Path2D(points=np.cumsum(np.ones((20_000, 2)), axis=0))
    queries = np.asarray(path.points_np) + 0.5
    stop = threading.Event()
    worker = threading.Thread(target=lambda: [to_frenet(path, queries) for _ in iter(stop.is_set, True)])
    worker.start()
    try:
        for _ in range(300):
            path.add_associated_values(np.zeros(20_000))
    finally:
        stop.set()
        worker.join()


# Each fix alone on a fresh path (a scan), in calls too small for a batch (a search of the tree
# each), in one batch and shared by workers: the same rows, on walks that double back over
# themselves with repeated points, from a few points (no index) through one leaf (measured
# several fixes at a time) and a few (each a candidate of every fix) to thousands, at any scale,
# fixes in route order too. On the longest walks calls of 100 fixes are too sparse for the batch,
# searched one by one, their index in the caches or beyond; on a long smooth drive beyond the
# caches, the batch takes them all the same.
# So are the points at arc lengths in any order.
@pytest.mark.parametrize(
    ("n", "scale"),
    [
        (6, 1.0),
        (6, 1e300),
        (17, 1e-300),
        (200, 1e300),
        (300, 1e-300),
        (300, 1.0),
        (5000, 1.0),
        (5000, 1e300),
        (30000, 1e-300),
        (70000, 1e300),
        (80000, "drive"),
    ],
)
def test_every_method_and_worker_count_gives_the_same_rows(n, scale):
    rng = np.random.default_rng(n)
    steps = rng.normal(size=(n, 2))
    if scale == "drive":
        heading = np.cumsum(rng.normal(0, 0.02, n))
        steps, scale = np.column_stack((np.cos(heading), np.sin(heading))), 1.0
    steps[rng.integers(0, n, n // 5)] = 0.0
    steps[n // 2 : n // 2 + n // 5] = -steps[n // 2 - n // 5 : n // 2][::-1]
    points = steps.cumsum(axis=0) * scale
    route = Path2D(points=points)
    queries = points[rng.integers(0, n, 150_000)] + rng.normal(scale=2 * scale, size=(150_000, 2))
    queries[:50] = points[rng.integers(0, n, 50)]  # on the path itself
    queries[50:60] = rng.uniform(-30, 30, (10, 2)) * scale * np.sqrt(n)
    batch = to_frenet(route, queries)
    alone = [to_frenet(Path2D(points=points), queries[k : k + 1]) for k in range(300)]
    tree = [to_frenet(route, queries[k : k + 100]) for k in range(0, 3000, 100)]
    for column, whole in enumerate(batch):
        assert np.array_equal(np.concatenate([a[column] for a in alone]), whole[:300], equal_nan=True)
        assert np.array_equal(np.concatenate([t[column] for t in tree]), whole[:3000], equal_nan=True)
    for workers in (2, -1, 10**30):
        assert all(
            np.array_equal(a, b, equal_nan=True)
            for a, b in zip(to_frenet(route, queries, workers=workers), batch)
        )
    # Fixes in route order (each starting from the foot before) against the same fixes shuffled.
    along = np.repeat(points, 2, axis=0) + rng.normal(scale=scale / 4, size=(2 * n, 2))
    shuffled = rng.permutation(2 * n)
    for a, b in zip(to_frenet(route, along), to_frenet(route, along[shuffled])):
        assert np.array_equal(a[shuffled], b, equal_nan=True)
    s = rng.uniform(-1, route.length + 1, 150_000) if np.isfinite(route.length) else rng.normal(size=150_000)
    order = np.argsort(s)
    expected = np.empty((150_000, 2))
    expected[order] = from_frenet(route, s[order], 0.5)
    for workers in (1, 2, -1):
        assert np.array_equal(from_frenet(route, s, 0.5, workers=workers), expected, equal_nan=True)


@pytest.mark.parametrize(
    ("workers", "error"), [(0, ValueError), (-2, ValueError), (1.5, TypeError), (None, TypeError)]
)
def test_workers_refused(workers, error):
    route = Path2D(points=[(0, 0), (1, 0)])
    with pytest.raises(error, match="workers"):
        to_frenet(route, [(0, 0)], workers=workers)
    with pytest.raises(error, match="workers"):
        from_frenet(route, [0.0], workers=workers)


def test_a_signal_ends_a_long_call_soon():
    class Alarm(Exception):
        pass

    def alarm(*_):
        raise Alarm

    rng = np.random.default_rng(2)
    route = Path2D(points=rng.normal(size=(100_000, 2)).cumsum(axis=0))
    queries = rng.uniform(-300, 300, (100_000, 2))
    start = time.perf_counter()
    to_frenet(route, queries)
    # Rows for a call of about four seconds.
    rows = min(int(4 / (time.perf_counter() - start) * 100_000), 30_000_000)
    queries = np.resize(queries, (rows, 2))
    previous = signal.signal(signal.SIGALRM, alarm)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        begun = time.perf_counter()
        with pytest.raises(Alarm):
            to_frenet(route, queries)
        waited = time.perf_counter() - begun - 0.2
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert waited < 1.0
    assert (
        to_frenet(route, queries[:300]).segment.tolist()
        == to_frenet(route, queries[:300].tolist()).segment.tolist()
    )
