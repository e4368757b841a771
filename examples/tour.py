"""A tour of korvane: every operation on a built-in recorded path, with a short report and timings.

    python examples/tour.py                 # the report
    python examples/tour.py --plot out.png  # and a picture of the results (needs matplotlib)

The sample is a simulated drive: straight, a left curve of radius 15 m, straight, an S-bend of
radius 10 m, straight; logged every 50 ms at a varying speed with 3 cm of position noise, and
with three pairs of points written out of order. Everything besides the plot needs only korvane
and NumPy.
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import random
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import korvane
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod

# The centreline as (curvature in 1/m, length in m); positive curvature turns left.
PIECES = (
    (0.0, 20.0),
    (1 / 15, 15 * math.pi / 2),
    (0.0, 10.0),
    (-1 / 10, 10 * math.pi / 3),
    (1 / 10, 10 * math.pi / 3),
    (0.0, 15.0),
)
LOG_INTERVAL = 0.05  # s between recorded points
NOISE = 0.03  # m, standard deviation of the position noise
SWAPPED = (41, 150, 262)  # point i was logged after point i + 1
QUERY = (28.0, 9.0)  # a point 5 m inside the left curve
CUT = ((10.0, 0.4), (40.5, 33.0))  # from the first straight into the S-bend
MAX_DEVIATION = 0.15  # m the elastic band may move a point: a few times the noise
FIX_SPACING = 2.0  # m driven between two GPS fixes
FIX_NOISE = 1.5  # m, standard deviation of the GPS position noise
OVERRUN = 8.0  # m driven before the route's start and after its end
LONG_ROUTE = 100_000  # points, 1 m apart
LONG_FIXES = 10_000


def centreline(s: float) -> tuple[float, float]:
    """The point at arc length s on the centreline."""
    x = y = heading = 0.0
    for k, length in PIECES:
        step = min(s, length)
        if k == 0.0:
            x, y = x + step * math.cos(heading), y + step * math.sin(heading)
        else:
            x += (math.sin(heading + k * step) - math.sin(heading)) / k
            y -= (math.cos(heading + k * step) - math.cos(heading)) / k
        heading += k * step
        s -= step
        if s <= 0.0:
            break
    return x, y


def centreline_curvature(s: float) -> float:
    """The centreline's signed curvature at arc length s."""
    for k, length in PIECES:
        if s < length:
            return k
        s -= length
    return PIECES[-1][0]


def recording(seed: int = 7) -> tuple[list[list[float]], list[float], list[float]]:
    """The logged points (three pairs swapped), their timestamps and true arc lengths."""
    rng = random.Random(seed)
    total = sum(length for _, length in PIECES)
    points, times, arc = [], [], []
    s = t = 0.0
    while s <= total:
        x, y = centreline(s)
        points.append([x + rng.gauss(0.0, NOISE), y + rng.gauss(0.0, NOISE)])
        times.append(t)
        arc.append(s)
        speed = 6.0 + 2.5 * math.sin(3.0 * math.pi * s / total)  # m/s
        s += speed * LOG_INTERVAL
        t += LOG_INTERVAL
    for i in SWAPPED:
        points[i], points[i + 1] = points[i + 1], points[i]
    return points, times, arc


def drawn_pieces(s0: float, s1: float) -> str:
    """What of the centreline lies between arc lengths s0 and s1: "7.5 m of R 10 left + 2.5 m straight"."""
    parts, start = [], 0.0
    for k, length in PIECES:
        covered = min(s1, start + length) - max(s0, start)
        if covered > 0.05:
            turn = "straight" if k == 0.0 else f"of R {1 / abs(k):g} " + ("left" if k > 0.0 else "right")
            parts.append(f"{covered:.1f} m {turn}")
        start += length
    return " + ".join(parts)


def sample_path() -> tuple[Path2D, int]:
    """The recorded path with its timestamps attached; returns the path and the timestamps' handle."""
    points, times, _ = recording()
    path = Path2D(points=points)
    return path, path.add_associated_values(times)


def driven(s: float) -> tuple[float, float]:
    """The centreline at arc length s, continued straight before its start and after its end."""
    total = sum(length for _, length in PIECES)
    if 0.0 <= s <= total:
        return centreline(s)
    end = 0.0 if s < 0.0 else total
    x, y = centreline(end)
    heading = sum(k * length for k, length in PIECES) if s > 0.0 else 0.0
    return x + (s - end) * math.cos(heading), y + (s - end) * math.sin(heading)


def gps_fixes(seed: int = 11) -> list[list[float]]:
    """Fixes every FIX_SPACING m of a drive along the route, logging from OVERRUN m before it to
    OVERRUN m after it, with FIX_NOISE m of noise."""
    rng = random.Random(seed)
    total = sum(length for _, length in PIECES)
    count = int((total + 2 * OVERRUN) / FIX_SPACING) + 1
    return [
        [x + rng.gauss(0.0, FIX_NOISE), y + rng.gauss(0.0, FIX_NOISE)]
        for x, y in (driven(-OVERRUN + k * FIX_SPACING) for k in range(count))
    ]


def long_route(n: int, seed: int = 5) -> list[list[float]]:
    """n points 1 m apart: straights and arcs of radius 20 m to 600 m, each 50 m to 800 m long."""
    rng = random.Random(seed)
    points = [[0.0, 0.0]]
    heading = curvature = 0.0
    left = 0
    while len(points) < n:
        if left == 0:
            left = rng.randint(50, 800)
            curvature = 0.0 if rng.random() < 0.4 else rng.choice((-1, 1)) / rng.uniform(20, 600)
        x, y = points[-1]
        points.append([x + math.cos(heading), y + math.sin(heading)])
        heading += curvature
        left -= 1
    return points


def foot(path: Path2D, index: int, along: float) -> list[float]:
    """The point on the path at arc length `along` within segment `index`."""
    p, s = path.points, path.path_length_per_point
    if index + 1 >= len(p):
        return p[index]
    t = (along - s[index]) / (s[index + 1] - s[index])
    return [
        p[index][0] + t * (p[index + 1][0] - p[index][0]),
        p[index][1] + t * (p[index + 1][1] - p[index][1]),
    ]


def timed(fn: Callable[[], Any], repeat: int = 5) -> tuple[Any, float]:
    """The result of fn and its best wall time in milliseconds over `repeat` calls."""
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return result, 1e3 * best


@dataclass
class Tour:
    """Everything the tour computed, for the report and the pictures."""

    recorded: Path2D
    time_handle: int
    results: dict[str, Any] = field(default_factory=dict)
    millis: dict[str, float] = field(default_factory=dict)
    lines: list[str] = field(default_factory=list)

    def run(self, name: str, fn: Callable[[], Any], repeat: int = 5) -> Any:
        self.results[name], self.millis[name] = timed(fn, repeat)
        return self.results[name]

    def section(self, title: str) -> None:
        self.lines.append("")
        self.lines.append(title)

    def row(self, call: str, outcome: str, name: str | None = None) -> None:
        self.lines.append(
            f"  {call:<50} {outcome:<46} {duration(self.millis[name]) if name else ''}".rstrip()
        )


def duration(ms: float) -> str:
    return f"{ms:7.2f} ms" if ms >= 1.0 else f"{1e3 * ms:7.1f} us"


def max_abs(values: list[float]) -> float:
    return max((abs(v) for v in values if math.isfinite(v)), default=0.0)


def run_tour() -> Tour:
    """Runs every operation once (timed) and collects the report."""
    recorded, handle = sample_path()
    tour = Tour(recorded, handle)
    n = len(recorded.x_np)

    # NumPy, SciPy's LAPACK and Clarabel are imported by the first call that needs them.
    start = time.perf_counter()
    Path2D(points=[[0, 0], [1, 1], [2, 0]]).smoothed_path_elastic_band(0.1)
    Path2D(points=[[0, 0], [1, 1], [2, 0]]).find_circle_segments(0, 3)
    Path2D(points=[[0, 0]]).x_np
    tour.lines.append(f"korvane: {korvane.__doc__}")
    tour.lines.append(
        f"sample: {n} points logged every {1e3 * LOG_INTERVAL:.0f} ms, {recorded.length:.2f} m, "
        f"{len(SWAPPED)} pairs of points logged out of order"
    )
    tour.lines.append(
        f"first use of NumPy, SciPy (LAPACK) and Clarabel: {1e3 * (time.perf_counter() - start):.0f} ms "
        "(once per process; timings below are the best of 5 calls)"
    )

    tour.section("Derived quantities (computed once per path, then cached)")
    tour.row("length", f"{recorded.length:.3f} m")
    tour.row("path_length_per_point[-1]", f"{recorded.path_length_per_point[-1]:.3f} m")
    heading = math.degrees(recorded.orientation[n // 2])
    tour.row(f"orientation[{n // 2}]", f"{heading:.1f} deg")
    tx, ty = recorded.unit_tangent_vector[n // 2]
    tour.row(f"unit_tangent_vector[{n // 2}]", f"[{tx:.3f}, {ty:.3f}]")
    tour.row("max |curvature| (finite differences)", f"{max_abs(recorded.curvature):.2f} 1/m  (noise, swaps)")
    shape = tour.run("points_np", lambda: recorded.points_np)
    tour.row("points_np", f"shape {shape.shape}, {shape.dtype}", "points_np")

    tour.section("Point order")
    suspicious = tour.run("detect", lambda: recorded.detect_corrupted_point_order())
    tour.row("detect_corrupted_point_order()", f"indices {suspicious}", "detect")
    repaired = tour.run("repaired", lambda: recorded.repair_corrupted_point_order())
    removed = n - len(repaired.x_np)
    tour.row(
        "repair_corrupted_point_order()",
        f"{n} -> {len(repaired.x_np)} points ({removed} removed)",
        "repaired",
    )
    tour.row("  length", f"{recorded.length:.2f} -> {repaired.length:.2f} m")
    tour.row("  max turn between segments", f"{max_turn(recorded):.0f} -> {max_turn(repaired):.0f} deg")

    tour.section("Resampling (the repaired path)")
    resampled = {}
    for label, method, interpolation in (
        (
            "by_sampling_distance(1.0), Linear",
            ResamplingMethod.by_sampling_distance(1.0),
            InterpolationMethod.Linear,
        ),
        (
            "by_sampling_distance(1.0), Cubic",
            ResamplingMethod.by_sampling_distance(1.0),
            InterpolationMethod.Cubic,
        ),
        (
            "by_sampling_distance(1.0, drop_last=False)",
            ResamplingMethod.by_sampling_distance(1.0, False),
            InterpolationMethod.Cubic,
        ),
        ("by_number_points(50), Cubic", ResamplingMethod.by_number_points(50), InterpolationMethod.Cubic),
    ):
        path = tour.run(label, lambda m=method, i=interpolation: repaired.resampled_path(m, i))
        resampled[label] = path
        spacing = path.path_length_per_point[1]
        tour.row(label, f"{len(path.x_np)} points, {path.length:.2f} m, spacing {spacing:.3f} m", label)
    sparse = repaired.resampled_path(ResamplingMethod.by_number_points(12))
    tour.results["sparse"] = sparse
    for label, interpolation in (
        ("Linear", InterpolationMethod.Linear),
        ("Cubic", InterpolationMethod.Cubic),
    ):
        name = f"sparse_{label.lower()}"
        dense = tour.run(
            name, lambda i=interpolation: sparse.resampled_path(ResamplingMethod.by_sampling_distance(0.5), i)
        )
        tour.row(
            f"12 points -> by_sampling_distance(0.5), {label}",
            f"{len(dense.x_np)} points, {dense.length:.2f} m",
            name,
        )
    metre = resampled["by_sampling_distance(1.0), Cubic"]
    tour.results["resampled_linear"] = resampled["by_sampling_distance(1.0), Linear"]
    tour.results["resampled"] = metre
    stamps = metre.associated_values(handle)
    tour.row("  timestamps follow (associated_values)", f"{len(stamps)} values, last {stamps[-1]:.2f} s")

    tour.section("Smoothing (the 1 m cubic resampling)")
    chaikin = tour.run("chaikin", lambda: metre.smoothed_path_chaikin(2))
    tour.row("smoothed_path_chaikin(2)", f"{len(chaikin.x_np)} points, {chaikin.length:.2f} m", "chaikin")
    for label, method in (
        ("orthogonal", ElasticBandMethod.OrthogonalBounds),
        ("square", ElasticBandMethod.SquareBounds),
    ):
        band = tour.run(label, lambda m=method: metre.smoothed_path_elastic_band(MAX_DEVIATION, m))
        if band is None:
            tour.row(f"smoothed_path_elastic_band({MAX_DEVIATION}, {label})", "no solution (None)", label)
            continue
        moved = max(math.dist(a, b) for a, b in zip(band.points, metre.points))
        tour.row(
            f"smoothed_path_elastic_band({MAX_DEVIATION}, {method!r})".replace("ElasticBandMethod.", ""),
            f"{len(band.x_np)} points, moved <= {moved:.3f} m",
            label,
        )
    band = tour.results["orthogonal"]
    infeasible = metre.smoothed_path_elastic_band(-1.0, ElasticBandMethod.SquareBounds)
    tour.row("smoothed_path_elastic_band(-1.0, SquareBounds)", f"{infeasible!r} (no feasible band)")
    tour.row(
        "  max |curvature|: resampled -> band",
        f"{max_abs(metre.curvature):.3f} -> {max_abs(band.curvature):.3f} 1/m",
    )

    tour.section("Circle segments (the elastic band result)")
    m = len(band.x_np)
    segments = tour.run("segments", lambda: band.find_circle_segments(0, m, 0.05))
    arcs = [(a, b, k) for a, b, k in segments if k > 1 / 100]
    tour.row(
        "find_circle_segments(0, n, max_rmse=0.05)",
        f"{len(segments)} segments, {len(arcs)} arcs (R < 100 m)",
        "segments",
    )
    s = band.path_length_per_point
    # Where each run lies on the drawn centreline: a run may reach past the end of an arc while its
    # circle still fits within max_rmse, and then reports a larger radius than the arc's.
    total = sum(length for _, length in PIECES)
    drawn = Path2D(points=[centreline(k / 10) for k in range(int(10 * total) + 1)])
    for a, b, k in arcs:
        tour.row(f"  points {a}..{b - 1}", f"s = {s[a]:5.1f}..{s[b - 1]:5.1f} m, radius {1 / k:5.1f} m")
        ends = [drawn.path_length_from_point(band.points[i]) for i in (a, b - 1)]
        if None not in ends:
            tour.row("", f"  drawn: {drawn_pieces(*ends)}")
    fitted = tour.run("fit curvature", lambda: band.compute_circle_fit_curvature(0.05))
    tour.row(
        "compute_circle_fit_curvature(0.05)",
        f"{len(fitted)} values, max {max(fitted):.4f} 1/m",
        "fit curvature",
    )

    tour.section("Point queries and a sub-path (the 1 m cubic resampling)")
    index = tour.run("index", lambda: metre.index_from_point(QUERY))
    tour.row(f"index_from_point({list(QUERY)})", f"segment {index}", "index")
    along = tour.run("along", lambda: metre.path_length_from_point(QUERY))
    tour.row(f"path_length_from_point({list(QUERY)})", f"{along:.3f} m from the start", "along")
    tour.row("path_length_from_point([200, 0])", f"{metre.path_length_from_point([200, 0])!r} (off the path)")
    cut = tour.run("sub_path", lambda: metre.sub_path(*CUT))
    tour.results["cut"] = cut
    times = cut.associated_values(handle)
    tour.row(
        f"sub_path({list(CUT[0])}, {list(CUT[1])})",
        f"{len(cut.x_np)} points, {cut.length:.2f} m",
        "sub_path",
    )
    tour.row("  timestamps at the cuts", f"{times[0]:.3f} s .. {times[-1]:.3f} s")
    stamps = tour.run("values_np", lambda: cut.associated_value_np(handle))
    tour.row("  associated_value_np(handle)", f"shape {stamps.shape}, {stamps.dtype}", "values_np")
    tour.row("sub_path(end, start)", f"{metre.sub_path(CUT[1], CUT[0])!r} (end before start)")

    tour.section("Map matching (GPS fixes of a drive on its planned route)")
    total = sum(length for _, length in PIECES)
    route = Path2D(points=[centreline(float(s)) for s in range(int(total) + 1)])
    fixes = gps_fixes()
    tour.results["route"], tour.results["fixes"] = route, fixes
    matched = tour.run(
        "match", lambda: [(route.index_from_point(f), route.path_length_from_point(f)) for f in fixes]
    )
    nowhere = [k for k, (index, _) in enumerate(matched) if index is None]
    tour.row(
        f"{len(fixes)} fixes (noise {FIX_NOISE} m), index and path length",
        f"{len(fixes) - len(nowhere)} placed, {len(nowhere)} project nowhere",
        "match",
    )
    index, along = matched[len(fixes) // 2]
    tour.row(f"  fix {len(fixes) // 2}", f"segment {index}, s = {along:.2f} m")
    tour.row("  fixes without a projection", f"{nowhere}")
    tour.row("", "(before the start, after the end, off the outside of a bend)")

    points = long_route(LONG_ROUTE)
    rng = random.Random(12)
    picks = [points[rng.randrange(LONG_ROUTE)] for _ in range(LONG_FIXES)]
    far_fixes = [[x + rng.gauss(0.0, 2.0), y + rng.gauss(0.0, 2.0)] for x, y in picks]
    first = math.inf
    for _ in range(5):
        fresh = Path2D(points=points)
        fresh.length  # the arc length is computed once per path in any case
        start = time.perf_counter()
        fresh.path_length_from_point(far_fixes[0])
        first = min(first, time.perf_counter() - start)
    tour.millis["first"] = 1e3 * first
    tour.row(f"{LONG_ROUTE} points: one query on a fresh path", "scans every segment", "first")
    long = Path2D(points=points)
    tour.run("long", lambda: [long.path_length_from_point(f) for f in far_fixes], repeat=3)
    tour.row(
        f"  {LONG_FIXES} fixes (noise 2 m) on one path",
        f"{1e3 * tour.millis['long'] / LONG_FIXES:.2f} us per fix (segment index, built once)",
        "long",
    )
    return tour


def max_turn(path: Path2D) -> float:
    """The largest heading change between consecutive segments, in degrees."""
    p = path.points
    turn = 0.0
    for a, b, c in zip(p, p[1:], p[2:]):
        d = abs(math.atan2(c[1] - b[1], c[0] - b[0]) - math.atan2(b[1] - a[1], b[0] - a[0]))
        turn = max(turn, min(d, 2 * math.pi - d))
    return math.degrees(turn)


# --- pictures ---------------------------------------------------------------------------------
# One function per panel, so that docs/make_figures.py draws the same panels into its figures.

STYLE = {"font.size": 11, "axes.titlesize": 12, "legend.fontsize": 10, "legend.framealpha": 0.9}


def xy(path: Path2D) -> tuple[list[float], list[float]]:
    return path.x, path.y


def plan_view(ax: Any, title: str, aspect: bool = True) -> None:
    """Labels a panel that shows x against y."""
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    if aspect:
        ax.set_aspect("equal")
    ax.set_title(title)


def draw_point_order(ax: Any, tour: Tour) -> None:
    """The recorded order around the first swapped pair, the points found and the repair."""
    first, last = SWAPPED[0] - 4, SWAPPED[0] + 6
    recorded = tour.recorded.points[first:last]
    ax.plot(*zip(*recorded), "-o", color="tab:red", ms=4, lw=1, label="recorded order")
    for j, (x, y) in enumerate(recorded, start=first):
        ax.annotate(str(j), (x, y), textcoords="offset points", xytext=(0, 6), ha="center", fontsize=9)
    found = [tour.recorded.points[j] for j in tour.results["detect"] if first <= j < last]
    ax.plot(*zip(*found), "x", color="black", ms=10, mew=2, label="detect_corrupted_point_order()")
    lo, hi = min(x for x, _ in recorded), max(x for x, _ in recorded)
    kept = [q for q in tour.results["repaired"].points if lo <= q[0] <= hi]
    ax.plot(*zip(*kept), "-", color="tab:green", lw=2, alpha=0.7, label="repair_corrupted_point_order()")
    plan_view(ax, "Point order: points logged out of order", aspect=False)
    ax.set_ylabel("y [m] (stretched)")
    ax.legend(loc="lower left")


def draw_resampling(ax: Any, tour: Tour) -> None:
    raw = tour.results["repaired"]
    metre = tour.results["resampled"]
    ax.plot(*xy(raw), "o", color="0.55", ms=3, label="recorded: uneven spacing")
    ax.plot(*xy(metre), "o-", ms=6, lw=0.8, color="tab:orange", mfc="none", label="resampled every 1 m")
    ax.set_xlim(22, 32)
    ax.set_ylim(-0.5, 6.5)
    plan_view(ax, "Resampling: every 1 m along the path")
    ax.legend(loc="upper left")


def draw_interpolation(ax: Any, tour: Tour) -> None:
    sparse = tour.results["sparse"]
    ax.plot(
        *xy(tour.results["sparse_linear"]), ".-", ms=3, lw=0.8, color="tab:blue", label="every 0.5 m, Linear"
    )
    ax.plot(
        *xy(tour.results["sparse_cubic"]), ".-", ms=3, lw=0.8, color="tab:orange", label="every 0.5 m, Cubic"
    )
    ax.plot(*xy(sparse), "ks", ms=5, label=f"input: {len(sparse.x_np)} points")
    ax.set_xlim(16, 40)
    ax.set_ylim(-3, 19)
    plan_view(ax, "Interpolation between sparse points")
    ax.legend(loc="upper left")


def draw_smoothing(ax: Any, tour: Tour) -> None:
    metre = tour.results["resampled"]
    # OrthogonalBounds lets each point move up to max_deviation along its normal (sin, -cos).
    d = MAX_DEVIATION
    right = [(x + d * math.sin(a), y - d * math.cos(a)) for (x, y), a in zip(metre.points, metre.orientation)]
    left = [(x - d * math.sin(a), y + d * math.cos(a)) for (x, y), a in zip(metre.points, metre.orientation)]
    ax.fill(
        *zip(*(right + left[::-1])), color="tab:green", alpha=0.15, lw=0, label=f"allowed deviation ±{d} m"
    )
    for r, lf in zip(right[1:-1], left[1:-1]):
        ax.plot([r[0], lf[0]], [r[1], lf[1]], color="tab:green", lw=0.8, alpha=0.6)
    ax.plot(*xy(metre), "o", ms=4, color="0.45", label="input, every 1 m")
    ax.plot(*xy(tour.results["chaikin"]), "-", lw=1, color="tab:purple", label="Chaikin, 2 iterations")
    ax.plot(*xy(tour.results["orthogonal"]), "-", lw=1.8, color="tab:green", label="band, OrthogonalBounds")
    ax.plot(*xy(tour.results["square"]), "--", lw=1.2, color="tab:red", label="band, SquareBounds")
    # Around the point the band moved the most, with the path in the upper left half.
    moved = [math.dist(a, b) for a, b in zip(metre.points, tour.results["orthogonal"].points)]
    x, y = metre.points[moved.index(max(moved))]
    ax.set_xlim(x - 2.0, x + 3.5)
    ax.set_ylim(y - 3.5, y + 2.0)
    plan_view(ax, f"Smoothing, max_deviation {d} m (zoomed)")
    ax.legend(loc="lower right")


def draw_smoothing_curvature(ax: Any, tour: Tour) -> None:
    for path, style, colour, label in (
        (tour.results["resampled"], "-", "0.6", "input: resampled every 1 m"),
        (tour.results["chaikin"], "-", "tab:purple", "Chaikin, 2 iterations"),
        (tour.results["square"], "--", "tab:red", "elastic band, SquareBounds"),
        (tour.results["orthogonal"], "-", "tab:green", "elastic band, OrthogonalBounds"),
    ):
        ax.plot(path.path_length_per_point, path.curvature, style, color=colour, lw=1.2, label=label)
    true_curvature(ax, tour.results["resampled"].length)
    ax.set_ylim(-0.25, 0.25)
    ax.set_xlabel("arc length s [m]")
    ax.set_ylabel("curvature [1/m] (positive: left)")
    ax.set_title("Smoothing: curvature along the path")
    legend_below(ax)


def legend_below(ax: Any) -> None:
    """Under the axes, for panels whose curves leave no corner free."""
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2)


def true_curvature(ax: Any, length: float, absolute: bool = False) -> None:
    """The curvature the drive was simulated with."""
    s = [i * 0.05 for i in range(int(length * 20))]
    k = [abs(centreline_curvature(v)) if absolute else centreline_curvature(v) for v in s]
    ax.plot(s, k, "k:", lw=1.5, label="|true curvature|" if absolute else "true curvature")


def draw_circle_segments(ax: Any, tour: Tour) -> None:
    points = tour.results["orthogonal"].points
    colours = [
        "tab:blue",
        "tab:orange",
        "tab:green",
        "tab:red",
        "tab:purple",
        "tab:brown",
        "tab:pink",
        "tab:olive",
        "tab:cyan",
    ]
    for n, (a, b, k) in enumerate(tour.results["segments"]):
        label = f"radius {1 / k:.1f} m" if k > 1 / 100 else "straight"
        ax.plot(
            *zip(*points[a:b]),
            "o-",
            ms=2.5,
            lw=1.5,
            color=colours[n % len(colours)],
            label=f"points {a}..{b - 1}: {label}",
        )
    plan_view(ax, "Circle segments (max_rmse 0.05 m)")
    ax.legend(loc="upper left")


def draw_curvature(ax: Any, tour: Tour) -> None:
    """Circle fits give no sign, so everything here is a magnitude."""
    raw = tour.results["repaired"]
    band = tour.results["orthogonal"]
    ax.plot(
        raw.path_length_per_point,
        [abs(k) for k in raw.curvature],
        color="0.75",
        lw=0.6,
        label="recorded: |curvature|",
    )
    ax.plot(
        band.path_length_per_point,
        [abs(k) for k in band.curvature],
        color="tab:green",
        lw=1.2,
        label="elastic band: |curvature|",
    )
    ax.plot(
        band.path_length_per_point,
        tour.results["fit curvature"],
        color="tab:blue",
        lw=2,
        label="elastic band: circle fits (unsigned)",
    )
    true_curvature(ax, raw.length, absolute=True)
    ax.set_ylim(0.0, 0.3)
    ax.set_xlabel("arc length s [m]")
    ax.set_ylabel("|curvature| [1/m]")
    ax.set_title("Curvature: circle fits have no sign")
    legend_below(ax)


def draw_sub_path(ax: Any, tour: Tour) -> None:
    metre = tour.results["resampled"]
    cut = tour.results["cut"]
    times = cut.associated_values(tour.time_handle)
    ax.plot(*xy(metre), "-", color="0.6", lw=1, label="path")
    ax.plot(*xy(cut), "-", color="tab:orange", lw=3, label="sub_path(start, end)")
    for (x, y), label, offset in zip(CUT, ("start", "end"), ((-8, -18), (8, -4))):
        ax.plot([x], [y], "k+", ms=10, mew=2)
        ax.annotate(label, (x, y), textcoords="offset points", xytext=offset, fontsize=10)
    for point, t, offset in ((cut.points[0], times[0], (-22, 10)), (cut.points[-1], times[-1], (-82, 4))):
        ax.plot(*point, "o", color="tab:orange", ms=6)
        ax.annotate(f"t = {t:.2f} s", point, textcoords="offset points", xytext=offset, fontsize=10)
    # Arc length marks every 10 m (10 m is the start of the cut), and the query point's foot.
    s = metre.path_length_per_point
    marks = [i for i in range(1, len(s)) if s[i] // 10 > s[i - 1] // 10]
    ax.plot([metre.x[i] for i in marks], [metre.y[i] for i in marks], "o", color="0.3", ms=3.5)
    for i in marks[1:5]:
        ax.annotate(
            f"s = {10 * int(s[i] // 10)} m",
            metre.points[i],
            textcoords="offset points",
            xytext=(7, -12),
            fontsize=9,
            color="0.3",
        )
    index = tour.results["index"]
    (x0, y0), (x1, y1) = metre.points[index], metre.points[index + 1]
    u = ((QUERY[0] - x0) * (x1 - x0) + (QUERY[1] - y0) * (y1 - y0)) / ((x1 - x0) ** 2 + (y1 - y0) ** 2)
    foot = (x0 + u * (x1 - x0), y0 + u * (y1 - y0))
    ax.plot(*zip(QUERY, foot), "b--", lw=1.2)
    ax.plot(*QUERY, "b*", ms=11, label=f"point {list(QUERY)}: segment {index}")
    ax.plot(
        *foot,
        "o",
        color="tab:blue",
        mfc="white",
        mew=2,
        ms=7,
        label=f"its foot on the path: s = {tour.results['along']:.1f} m",
    )
    ax.set_xlim(-3, 52)
    plan_view(ax, "Point queries and sub_path (timestamps cut too)")
    ax.legend(loc="upper left")


def draw_map_matching(ax: Any, tour: Tour) -> None:
    """The fixes, the feet of their projections on the route and the fixes without one."""
    route, fixes = tour.results["route"], tour.results["fixes"]
    ax.plot(*xy(route), "-", color="0.55", lw=1.5, label="route (a point every metre)")
    placed = [
        (fix, foot(route, index, along))
        for fix, (index, along) in zip(fixes, tour.results["match"])
        if index is not None
    ]
    for fix, at in placed:
        ax.plot([fix[0], at[0]], [fix[1], at[1]], "-", color="tab:blue", lw=0.7)
    ax.plot(*zip(*(fix for fix, _ in placed)), "o", color="tab:blue", ms=3.5, label="GPS fix")
    ax.plot(*zip(*(at for _, at in placed)), ".", color="tab:orange", ms=5, label="its foot on the route")
    nowhere = [fix for fix, (index, _) in zip(fixes, tour.results["match"]) if index is None]
    if nowhere:
        ax.plot(*zip(*nowhere), "x", color="tab:red", ms=8, mew=2, label="projects nowhere (None)")
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_title(f"Map matching: fixes every {FIX_SPACING:g} m, noise {FIX_NOISE} m")
    ax.legend(loc="upper left")


def draw_map_matching_along(ax: Any, tour: Tour) -> None:
    """Each fix's arc length on the route against the distance driven."""
    driven_s = [-OVERRUN + k * FIX_SPACING for k in range(len(tour.results["fixes"]))]
    along = [(d, s) for d, (_, s) in zip(driven_s, tour.results["match"]) if s is not None]
    ax.plot(*zip(*along), "o", color="tab:blue", ms=3.5, label="path_length_from_point(fix)")
    ax.plot([driven_s[0], driven_s[-1]], [driven_s[0], driven_s[-1]], "k:", lw=1, label="distance driven")
    lost = [d for d, (_, s) in zip(driven_s, tour.results["match"]) if s is None]
    if lost:
        # In a grey strip below the axis, apart from the fixes placed at arc length 0.
        strip = -0.12 * driven_s[-1]
        ax.axhspan(1.5 * strip, 0.5 * strip, color="0.9")
        ax.plot(lost, [strip] * len(lost), "x", color="tab:red", ms=8, mew=2, label="no projection (None)")
        ax.set_yticks([t for t in ax.get_yticks() if 0.0 <= t <= driven_s[-1]])
    ax.set_xlabel("distance driven [m]")
    ax.set_ylabel("arc length on the route [m]")
    ax.set_title("Map matching: position along the route")
    ax.legend(loc="upper left")


PANELS = (
    draw_point_order,
    draw_resampling,
    draw_interpolation,
    draw_smoothing,
    draw_smoothing_curvature,
    draw_circle_segments,
    draw_curvature,
    draw_sub_path,
    draw_map_matching,
    draw_map_matching_along,
)


def plot(tour: Tour, filename: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with plt.rc_context(STYLE):
        # Two panels a row, so that the legends stay readable where the picture is shown narrow.
        fig, axes = plt.subplots(5, 2, figsize=(12, 25), layout="constrained")
        for panel, ax in zip(PANELS, axes.flat):
            panel(ax, tour)
            ax.grid(alpha=0.3)
        fig.suptitle("korvane tour: a recorded drive, repaired, resampled, smoothed and analysed")
        fig.savefig(filename, dpi=72)
        plt.close(fig)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--plot", metavar="OUT.png", help="also draw the results into this picture (matplotlib)"
    )
    args = parser.parse_args(argv)
    if args.plot and importlib.util.find_spec("matplotlib") is None:
        print("--plot needs matplotlib: pip install matplotlib", file=sys.stderr)
        return 1  # before the tour runs, not after
    started = time.perf_counter()
    tour = run_tour()
    print("\n".join(tour.lines))
    print(f"\ntour finished in {time.perf_counter() - started:.2f} s")
    if args.plot:
        plot(tour, args.plot)
        print(f"picture written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
