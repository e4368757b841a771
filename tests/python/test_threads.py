"""Eight threads share paths and call every read-only member and add_associated_values at once.

The module never releases the interpreter lock itself, but Python code run from inside a call
lets other threads in. Only an argument's conversion (its __float__, say) does so while the call
holds its borrow of the path; the elastic band lets the solver's packages run after it let go of
the path. Results must equal the single-threaded ones, and a borrow error may only meet a call
that overlaps a yielding conversion on the same path.
"""

import gc
import hashlib
import itertools
import sys
import threading
import time
import types

import numpy as np
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod
from korvane_frenet import from_frenet, to_frenet

ATTRIBUTES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]

THREADS = 8


class Yielding:
    """A number whose conversion runs Python code and hands the interpreter lock round."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def make_paths():
    rng = np.random.default_rng(7)
    paths = []
    for n in (5, 12, 30):
        t = np.linspace(0, 3, n)
        points = np.column_stack([t * 3, np.sin(t) * 2 + rng.normal(0, 0.05, n)])
        path = Path2D(points=points.tolist())
        path.add_associated_values(np.arange(n, dtype=float).tolist())
        paths.append(path)
    return paths


def as_plain(value):
    """Results in a comparable form: arrays as lists, paths by their points."""
    if isinstance(value, Path2D):
        return ("path", value.points)
    if isinstance(value, np.ndarray) and value.size > 10_000:  # its repr would take the time
        return ("array", value.shape, hashlib.sha256(value.tobytes()).hexdigest())
    if isinstance(value, np.ndarray):
        return ("array", value.shape, value.tolist())
    if isinstance(value, tuple):
        return tuple(map(as_plain, value))
    return value


def reads(path):
    """(label, call, yields) for every read-only member; `yields` marks calls whose argument
    conversion runs Python code while they hold their shared borrow."""
    n = len(path.points)
    first, last = path.points[0], path.points[-1]
    middle = path.points[n // 2]
    near = [middle[0] + 0.01, middle[1] + 0.02]
    by_count = ResamplingMethod.by_number_points(2 * n)
    by_distance = ResamplingMethod.by_sampling_distance(0.4, False)
    # The frenet functions let go of the interpreter lock from 256 rows on.
    fixes = np.asarray(path.points_np)[np.arange(300) % n] + np.linspace(-1, 1, 600).reshape(300, 2)
    arc_lengths = np.linspace(-1, path.length + 1, 300)
    # Two blocks of 65,536 rows, for two workers; rows of NaN, which cost next to nothing, but
    # for the fixes at each end.
    blocks = np.full((65_537, 2), np.nan)
    blocks[:300], blocks[-300:] = fixes, fixes
    block_lengths = np.resize(arc_lengths, 65_537).tolist()  # floats convert fast
    calls = [(name, (lambda name: lambda: getattr(path, name))(name), False) for name in ATTRIBUTES]
    calls += [
        ("circle fit curvature", lambda: path.compute_circle_fit_curvature(0.05), False),
        ("circle segments", lambda: path.find_circle_segments(0, n, 0.05), False),
        ("resampled by count", lambda: path.resampled_path(by_count, InterpolationMethod.Cubic), False),
        ("resampled by distance", lambda: path.resampled_path(by_distance), False),
        ("chaikin", lambda: path.smoothed_path_chaikin(2), False),
        ("elastic band", lambda: path.smoothed_path_elastic_band(0.1), False),
        (
            "elastic band square",
            lambda: path.smoothed_path_elastic_band(0.1, ElasticBandMethod.SquareBounds),
            False,
        ),
        ("index from point", lambda: path.index_from_point(near), False),
        ("path length from point", lambda: path.path_length_from_point(near, 0.05), False),
        ("sub path", lambda: path.sub_path(near, last), False),
        ("sub path, yielding", lambda: path.sub_path([Yielding(first[0]), first[1]], near), True),
        ("index, yielding", lambda: path.index_from_point(near, Yielding(0.05)), True),
        ("detect point order", lambda: path.detect_corrupted_point_order(1.0), False),
        ("repair point order", lambda: path.repair_corrupted_point_order(1.0), False),
        ("associated values", lambda: path.associated_values(0), False),
        ("associated value array", lambda: path.associated_value_np(0), False),
        ("to frenet", lambda: to_frenet(path, fixes[:10]), False),
        ("to frenet, without the lock", lambda: to_frenet(path, fixes, max_distance=0.5), False),
        # Its arguments are converted before it borrows the path, so no add is refused meanwhile.
        ("to frenet, yielding", lambda: to_frenet(path, fixes[:10], max_distance=Yielding(0.5)), False),
        ("from frenet", lambda: from_frenet(path, arc_lengths[:10], 0.5), False),
        ("from frenet, without the lock", lambda: from_frenet(path, arc_lengths, arc_lengths), False),
        ("to frenet, two workers", lambda: to_frenet(path, blocks, workers=2), False),
        ("from frenet, two workers", lambda: from_frenet(path, block_lengths, 0.5, workers=2), False),
    ]
    return calls


class Ledger:
    """When yielding calls ran on each path, to tell a legitimate borrow error from a fault."""

    def __init__(self):
        self.clock = itertools.count()
        self.lock = threading.Lock()
        self.active = {}
        self.last_end = {}

    def now(self):
        return next(self.clock)

    def begin(self, key):
        with self.lock:
            self.active[key] = self.active.get(key, 0) + 1

    def end(self, key):
        with self.lock:
            self.active[key] -= 1
            self.last_end[key] = self.now()

    def overlapped(self, key, since):
        """Whether a yielding call of `key` ran at some moment after `since`."""
        with self.lock:
            return self.active.get(key, 0) > 0 or self.last_end.get(key, -1) >= since


def test_shared_paths_under_eight_threads(full_scale, reliability):
    paths = make_paths()
    plans = [reads(p) for p in paths]
    sizes = [len(p.points) for p in paths]
    # Single-threaded answers first; this also does every one-time lookup (NumPy, SciPy, solver).
    expected = [{label: as_plain(call()) for label, call, _ in plan} for plan in plans]
    ledger = Ledger()
    faults, added, calls, refused = [], [], [0] * THREADS, [0] * THREADS
    deadline = time.monotonic() + (8.0 if full_scale else 1.5)

    def worker(index):
        rng = np.random.default_rng(index)
        mine = []
        while time.monotonic() < deadline:
            k = int(rng.integers(len(paths)))
            path, plan = paths[k], plans[k]
            calls[index] += 1
            since = ledger.now()
            if rng.random() < 0.15:
                # Exclusive: plain values convert without Python code, yielding ones with it.
                n = sizes[k]
                yielding = rng.random() < 0.5
                values = [float(index * 1000 + len(mine))] * n
                if yielding:
                    values = [Yielding(v) for v in values]
                    ledger.begin((k, "exclusive"))
                try:
                    mine.append((path.add_associated_values(values), k, [float(v) for v in values]))
                except RuntimeError as error:
                    held = ledger.overlapped((k, "shared"), since) or ledger.overlapped(
                        (k, "exclusive"), since
                    )
                    if str(error) != "Already borrowed" or not held:
                        faults.append(f"add on path {k}: {error}")
                    refused[index] += 1
                finally:
                    if yielding:
                        ledger.end((k, "exclusive"))
                continue
            label, call, yields = plan[int(rng.integers(len(plan)))]
            if yields:
                ledger.begin((k, "shared"))
            try:
                result = as_plain(call())
                if not same(result, expected[k][label]):
                    faults.append(f"{label} on path {k}: {result!r} != {expected[k][label]!r}")
            except RuntimeError as error:
                if str(error) != "Already mutably borrowed" or not ledger.overlapped((k, "exclusive"), since):
                    faults.append(f"{label} on path {k}: {error}")
                refused[index] += 1
            except BaseException as error:  # noqa: B036 - a PanicException is a fault too
                faults.append(f"{label} on path {k}: {type(error).__name__}: {error}")
            finally:
                if yields:
                    ledger.end((k, "shared"))
        added.extend(mine)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the interpreter will
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    reliability.add("thread calls", sum(calls))
    assert not faults, "\n".join(faults[:20])
    # Every add got its own handle, and each handle holds what was added under it.
    for k in range(len(paths)):
        handles = sorted(h for h, j, _ in added if j == k)
        assert handles == list(range(1, len(handles) + 1))
    for handle, k, values in added:
        assert paths[k].associated_values(handle) == values
    # No borrow is left behind: the paths take an exclusive borrow again.
    for path in paths:
        path.add_associated_values([0.0] * len(path.points))
    assert all(c > 0 for c in calls)
    # The yielding calls did overlap: the borrow rules were exercised, not just the reads.
    assert sum(refused) > 0


# A collection that an allocation inside a call starts runs no finalizer while the call holds
# the path: the finalizer's Python code could let another thread in, to be refused the path by a
# call that runs no Python code of its own. Here the finalizer itself asks for the path.
def test_collections_inside_calls_run_no_finalizer_under_their_borrow():
    path = Path2D(points=np.random.default_rng(3).normal(size=(2000, 2)).cumsum(axis=0))
    refused = []

    class Finalised:
        def __init__(self):
            self.cycle = self  # only a collection frees it

        def __del__(self):
            try:
                path.add_associated_values(np.zeros(2000))
            except RuntimeError as error:
                refused.append(str(error))

    thresholds = gc.get_threshold()
    gc.set_threshold(1)  # every other allocation of a tracked object collects
    try:
        for _ in range(50):
            Finalised()
            path.points, path.index_from_point([1.0, 1.0])
    finally:
        gc.set_threshold(*thresholds)
    assert not refused


def same(a, b):
    return repr(a) == repr(b)  # bit-exact, NaN-aware


# Threads may have stacks as small as 32 KiB; calls that kept a short route's columns (100 KB),
# the counts of an order of arc lengths (60 KB) or a block of a batch's fixes (27 KB) on the
# stack crashed in such threads. The sanitizers' frames are several times as large.
def test_route_coordinates_in_a_thread_with_a_small_stack(python_subprocess, sanitized):
    result = python_subprocess(f"""
        import threading, numpy as np, korvane, korvane_frenet, korvane_tracks
        xy = np.column_stack((np.arange(300.0), np.zeros(300)))
        path = korvane.Path2D(points=xy)
        rng = np.random.default_rng(0)
        s = rng.uniform(0, 300, 2_000_000)
        walk = korvane.Path2D(points=rng.normal(0, 1, (20_000, 2)).cumsum(0))
        fixes = rng.normal(0, 50, (100_000, 2))
        threading.stack_size({128 if sanitized else 32} * 1024)
        for call in (
            lambda: korvane_frenet.to_frenet(path, xy),
            lambda: korvane_tracks.to_frenet(xy, [0, 300], xy, [0, 300]),
            lambda: korvane_frenet.from_frenet(path, s, s),
            lambda: korvane_frenet.to_frenet(walk, fixes),
        ):
            thread = threading.Thread(target=call); thread.start(); thread.join()
    """)
    assert result.returncode == 0, result.stderr
