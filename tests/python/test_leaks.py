"""Every member on its success and error paths, called in a loop: memory and refcounts stay flat.

Each case runs warm-up calls, then the measured loop (10**5 calls with --full). Python-level
growth shows in tracemalloc, growth of the C++ heap in the resident set size, a lost or extra
reference in the reference counts of the objects the calls were given.
"""

import gc
import math
import resource
import sys
import tracemalloc
import types

import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod
from korvane_frenet import from_frenet, to_frenet

ATTRIBUTES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]

POINTS = [[0.0, 0.0], [1.0, 0.5], [2.0, -0.3], [3.0, 0.2], [4.0, 0.0]]
CIRCLE = [[4 * math.cos(a), 4 * math.sin(a)] for a in np.linspace(0, 2, 9)]
LOOP = [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 0.0]]

# The measured loop runs in two halves, and a half may add this much without counting as a
# leak: a leak grows both halves alike, while the caches of NumPy, SciPy and the solver, which
# still settle over thousands of calls, grow mostly the first. Over 10**5 calls a leak of a
# few bytes per call shows; the default run's short loop shows any leaked Python object of 16
# bytes or more and every changed reference count, but only large C++ leaks.
TRACED_SLACK = {True: 128 << 10, False: 16 << 10}
RSS_SLACK = 1 << 20
WINDOWS = 3


class Arguments:
    """Objects handed to the calls; their reference counts must come back unchanged."""

    def __init__(self):
        self.path = Path2D(points=POINTS)
        self.path.add_associated_values([0.0, 1.0, 2.0, 3.0, 4.0])
        self.path.length  # fills a cache before the loop, not during it
        self.closed = Path2D(points=LOOP)
        self.circle = Path2D(points=CIRCLE)
        self.points = [list(p) for p in POINTS]
        self.points_np = np.array(POINTS)
        self.xs = [p[0] for p in POINTS]
        self.ys = [p[1] for p in POINTS]
        self.values = [1.0, 2.0, 3.0, 4.0, 5.0]
        self.values_np = np.arange(5.0)
        self.short = [1.0, 2.0]
        self.point = [2.5, 0.1]
        self.far = [50.0, 50.0]
        self.long_point = [1.0, 2.0, 3.0]
        self.text = "ab"
        self.big = 10**30
        self.negative = -1
        self.a_set = {1.0, 2.0}
        self.by_count = ResamplingMethod.by_number_points(12)
        self.by_distance = ResamplingMethod.by_sampling_distance(0.3, False)
        self.too_many = ResamplingMethod.by_number_points(2**40)
        self.cubic = InterpolationMethod.Cubic
        self.square = ElasticBandMethod.SquareBounds
        self.raising = Raising()
        # Above the batch size from which the frenet functions let go of the interpreter lock.
        self.fixes = np.random.default_rng(1).uniform(-1, 5, (300, 2))
        self.arc_lengths = np.linspace(-1, 6, 300)
        # Two blocks of 65,536 rows, for two workers; NaN rows cost next to nothing.
        self.blocks = np.full((65_537, 2), math.nan)
        self.not_a_sequence = object()

    def all(self):
        return list(vars(self).values())


class Raising:
    def __float__(self):
        raise ValueError("refuses")

    def __index__(self):
        raise ValueError("refuses")


def borrow_cases(a):
    """Calls that meet a held borrow: each inner call fails and the outer call completes."""
    path = a.path

    class ReadsWhileAdding:
        def __float__(self):
            try:
                path.points
            except RuntimeError:
                pass
            return 1.0

    class AddsWhileReading:
        def __index__(self):
            try:
                path.add_associated_values(a.values)
            except RuntimeError:
                pass
            return 0

    reads = [ReadsWhileAdding(), 2.0]  # wrong length: the add fails after converting
    adds = AddsWhileReading()
    return {
        "shared borrow refused": lambda: path.add_associated_values(reads),
        "exclusive borrow refused": lambda: path.associated_values(adds),
    }


def cases(a):
    p = a.path
    c = {}
    for name in ATTRIBUTES:
        c[f"attribute {name}"] = (lambda name: lambda: getattr(p, name))(name)
    c.update(
        {
            "repr": lambda: repr(p),
            "new from points": lambda: Path2D(points=a.points),
            "new from array": lambda: Path2D(a.points_np),
            "new from coordinates": lambda: Path2D(x=a.xs, y=a.ys),
            "new: no arguments": lambda: Path2D(),
            "new: str points": lambda: Path2D(points=a.text),
            "new: short point": lambda: Path2D(points=[a.point, a.long_point]),
            "new: bad number": lambda: Path2D(x=[a.raising], y=a.ys),
            "new: too many arguments": lambda: Path2D(a.points, a.xs, a.ys, a.values),
            "new: unknown keyword": lambda: Path2D(pts=a.points),
            "add values to a new path": lambda: Path2D(points=a.points).add_associated_values(a.values),
            "add values: wrong length": lambda: p.add_associated_values(a.short),
            "add values: not a sequence": lambda: p.add_associated_values(a.a_set),
            "add values: str": lambda: p.add_associated_values(a.text),
            "associated values": lambda: p.associated_values(0),
            "associated values: none": lambda: p.associated_values(7),
            "associated values: negative": lambda: p.associated_values(a.negative),
            "associated values: huge": lambda: p.associated_values(a.big),
            "associated value array": lambda: p.associated_value_np(0),
            "associated value array: none": lambda: p.associated_value_np(7),
            "index from point": lambda: p.index_from_point(a.point),
            "index from point: none": lambda: p.index_from_point(a.far),
            "index from point: long point": lambda: p.index_from_point(a.long_point),
            "index from point: str epsilon": lambda: p.index_from_point(a.point, a.text),
            "path length from point": lambda: p.path_length_from_point(a.point, epsilon=0.1),
            "path length from point: none": lambda: p.path_length_from_point(a.far),
            "sub path": lambda: p.sub_path(a.point),
            "sub path: none": lambda: p.sub_path(a.far),
            "sub path: end before start": lambda: p.sub_path(a.point, [0.5, 0.25]),
            "sub path: bad end": lambda: p.sub_path(a.point, a.text),
            "sub path: missing keyword": lambda: p.sub_path(start=a.point, finish=a.point),
            "resampled by count": lambda: p.resampled_path(a.by_count, a.cubic),
            "resampled by distance": lambda: p.resampled_path(a.by_distance),
            "resampled: beyond the count limit": lambda: p.resampled_path(a.too_many),
            "resampled: not an option": lambda: p.resampled_path(a.big),
            "resampled: zero distance": lambda: p.resampled_path(ResamplingMethod.by_sampling_distance(0.0)),
            "chaikin": lambda: p.smoothed_path_chaikin(3),
            "chaikin: negative": lambda: p.smoothed_path_chaikin(a.negative),
            "chaikin: beyond memory": lambda: p.smoothed_path_chaikin(80),
            "chaikin: missing argument": lambda: p.smoothed_path_chaikin(),
            "elastic band orthogonal": lambda: p.smoothed_path_elastic_band(0.2),
            "elastic band square": lambda: p.smoothed_path_elastic_band(0.2, a.square),
            "elastic band: none": lambda: p.smoothed_path_elastic_band(-1.0, a.square),
            "elastic band: not finite": lambda: p.smoothed_path_elastic_band(math.nan),
            "elastic band: wrong option": lambda: p.smoothed_path_elastic_band(0.2, a.cubic),
            "circle fit curvature": lambda: a.circle.compute_circle_fit_curvature(),
            "circle segments": lambda: a.circle.find_circle_segments(0, 9, 0.01),
            "circle segments: out of range": lambda: a.circle.find_circle_segments(0, 99),
            "circle segments: bad bound": lambda: a.circle.find_circle_segments(a.raising, 3),
            "detect point order": lambda: a.closed.detect_corrupted_point_order(1.0),
            "repair point order": lambda: a.closed.repair_corrupted_point_order(1.0),
            "repair point order: str angle": lambda: p.repair_corrupted_point_order(a.text),
            "by number of points": lambda: ResamplingMethod.by_number_points(5),
            "by number of points: negative": lambda: ResamplingMethod.by_number_points(a.negative),
            "by sampling distance": lambda: ResamplingMethod.BySamplingDistance(0.5, True),
            "by sampling distance: int drop_last": lambda: ResamplingMethod.by_sampling_distance(0.5, 1),
            "option without constructor": lambda: InterpolationMethod(),
            "option comparisons": lambda: (
                a.cubic == 0,
                a.cubic != a.square,
                a.by_count == a.by_distance,
                int(a.square),
                repr(a.cubic),
            ),
            "option ordering refused": lambda: a.cubic < a.cubic,
            "to frenet": lambda: to_frenet(p, a.points),
            "to frenet: batch read in place": lambda: to_frenet(p, a.fixes, max_distance=1.0),
            "to frenet: big-endian batch": lambda: to_frenet(p, a.fixes.astype(">f8")),
            "to frenet: NaN max_distance": lambda: to_frenet(p, a.fixes, max_distance=math.nan),
            "to frenet: not a path": lambda: to_frenet(a.points, a.points),
            "to frenet: positional max_distance": lambda: to_frenet(p, a.points, 1.0),
            "to frenet: two workers": lambda: to_frenet(p, a.blocks, workers=2),
            "to frenet: no workers": lambda: to_frenet(p, a.fixes, workers=0),
            "from frenet": lambda: from_frenet(p, a.values, 0.5),
            "from frenet: batch": lambda: from_frenet(p, a.arc_lengths, a.arc_lengths),
            "from frenet: lengths differ": lambda: from_frenet(p, a.values, a.short),
            "from frenet: bad offset": lambda: from_frenet(p, 1.0, a.raising),
        }
    )
    c.update(borrow_cases(a))
    return c


CASE_NAMES = list(cases(Arguments()))


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def run(call, count):
    for _ in range(count):
        try:
            call()
        except (TypeError, ValueError, OverflowError, IndexError, RuntimeError, MemoryError):
            pass


@pytest.mark.parametrize("name", CASE_NAMES)
def test_calls_in_a_loop_do_not_grow(name, full_scale, sanitized, reliability):
    count, warm_up = (100_000, 5_000) if full_scale else (2_000, 1_000)
    arguments = Arguments()
    call = cases(arguments)[name]
    objects = arguments.all()
    # The tracer runs from the start: caches that settle over thousands of calls (NumPy's, the
    # solver's) fill during the warm-up, whichever allocations the tracer itself causes.
    tracemalloc.start()
    try:
        run(call, warm_up)  # also imports NumPy and the solver
        gc.collect()
        references = [sys.getrefcount(o) for o in objects]
        marks = [(tracemalloc.get_traced_memory()[0], rss_bytes())]
        # A leak grows in every window; the packages the solver uses keep caches that swing by
        # tens of kilobytes from one window to the next, so the smallest growth counts.
        for _ in range(WINDOWS):
            run(call, count // WINDOWS)
            gc.collect()
            marks.append((tracemalloc.get_traced_memory()[0], rss_bytes()))
    finally:
        tracemalloc.stop()
    traced_growth = min(b[0] - a[0] for a, b in zip(marks, marks[1:]))
    # AddressSanitizer holds freed memory back in quarantine, so only its absence lets the
    # resident set show a leak.
    rss_growth = 0 if sanitized else min(b[1] - a[1] for a, b in zip(marks, marks[1:]))
    after = [sys.getrefcount(o) for o in objects]
    grew = [a - b for a, b in zip(after, references)]
    reliability.add("leak-loop calls", count)
    slack = TRACED_SLACK[full_scale]
    leaked = traced_growth > slack or rss_growth > RSS_SLACK or any(grew)
    reliability.add("leaks", int(leaked))
    assert traced_growth <= slack, (
        f"Python memory grew by {traced_growth} bytes in each {count // WINDOWS} calls"
    )
    assert rss_growth <= RSS_SLACK, (
        f"resident memory grew by {rss_growth} bytes in each {count // WINDOWS} calls"
    )
    assert not any(grew), f"reference counts changed by {grew}"
