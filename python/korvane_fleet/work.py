"""korvane_fleet/work.py: the work on a chunk of trips, as a handful of column calls for all of them.

Per trip: positions without x, y or t are left out, the rest (sorted by time) relative to the
trip's first one, the point order repaired, the path resampled every metre (cubic; t linearly,
so that it never runs backwards), smoothed by the elastic band and split into circle segments;
then every recorded position gets its route coordinates on the smoothed path.
"""

from __future__ import annotations

import math
import time
from typing import NamedTuple

import korvane
import korvane_tracks as tracks
import numpy as np
import pyarrow as pa

from . import lonlat
from .inputs import UNITS, Chunk

SPACING = 1.0  # m between resampled points
MAX_DEVIATION = 0.15  # m the elastic band may move a point: a few times the position noise
MAX_RMSE = 0.05  # m, radial misfit allowed in one circle segment
ARC = 1 / 100  # 1/m: segments curving more than this (radius below 100 m) count as arcs
MIN_POINTS = 3  # a band and a circle need three points: fewer leave those summaries null


class Result(NamedTuple):
    """What a task sends back: Arrow tables (they pickle as their buffers) and its CPU time."""

    points: pa.Table
    positions: pa.Table
    trips: pa.Table
    cpu: float


def process_chunk(chunk: Chunk, network=None) -> Result:
    """The smoothed path's points, the recorded positions' route coordinates and one summary row
    for each trip of the chunk; with `network` (a korvane_fleet.network.Roads), also the edges
    each position and trip was matched to."""
    cpu = time.process_time()
    trips = len(chunk.offsets) - 1
    counts = np.diff(chunk.offsets)
    trip_of = np.repeat(np.arange(trips), counts)
    # A position with a missing coordinate or time would make the whole trip NaN.
    valid = np.isfinite(chunk.x) & np.isfinite(chunk.y) & np.isfinite(chunk.t)
    complete = np.bincount(trip_of[valid], minlength=trips)
    offsets = ragged(complete)
    x, y, t, rows = chunk.x[valid], chunk.y[valid], chunk.t[valid], chunk.rows[valid]
    # Relative to the first position: at UTM-sized coordinates (millions of metres) the band's
    # arithmetic would move the points by millimetres.
    has = complete > 0
    origin = np.zeros((trips, 2))
    origin[has] = np.column_stack((x, y))[offsets[:-1][has]]
    recorded = np.column_stack((x, y)) - np.repeat(origin, complete, axis=0)

    repaired, repaired_offsets, kept = tracks.repair_point_order(recorded, offsets)
    removed = np.ones(len(rows), dtype=bool)
    removed[kept] = False
    metre, metre_offsets, _ = tracks.resample(
        repaired, repaired_offsets, SPACING, korvane.InterpolationMethod.Cubic
    )
    # Time comes from a linear resampling at the same arc lengths: a cubic overshoots between
    # the recorded times and can run backwards. The running maximum only absorbs rounding.
    _, linear_offsets, times = tracks.resample(
        repaired, repaired_offsets, SPACING, korvane.InterpolationMethod.Linear, values=t[kept, None]
    )
    if not np.array_equal(linear_offsets, metre_offsets):
        raise RuntimeError("the linear and the cubic resampling gave different point counts")
    times = running_max(times[:, 0], metre_offsets)
    final, solved = tracks.smooth_band(metre, metre_offsets, MAX_DEVIATION)
    sizes = np.diff(metre_offsets)
    s, heading, _, _ = tracks.quantities(final, metre_offsets)
    start, end, unsigned, track = tracks.circle_segments(final, metre_offsets, MAX_RMSE)
    keep = end > start  # an empty track has one empty segment
    start, end, unsigned, track = start[keep], end[keep], unsigned[keep], track[keep]
    if np.any(end > sizes[track]):  # indices are within each track, 0 at its first point
        raise RuntimeError("circle_segments gave segments beyond the ends of their tracks")
    first = metre_offsets[track]
    # The circle fits give 1/radius; its sign is that of the turn across the segment.
    turning = unwrap(heading, metre_offsets)
    signed = unsigned * np.sign(turning[first + end - 1] - turning[first + start])
    # Every recorded position against its trip's smoothed path, in one call: the nearest point's
    # arc length and the signed offset (positive to the left). A missing coordinate gives NaN.
    everything = np.column_stack((chunk.x, chunk.y)) - np.repeat(origin, counts, axis=0)
    along, offset, _, _ = tracks.to_frenet(final, metre_offsets, everything, chunk.offsets)

    origins = None if chunk.origins is None else np.repeat(chunk.origins, sizes)
    east, north = final[:, 0] + np.repeat(origin[:, 0], sizes), final[:, 1] + np.repeat(origin[:, 1], sizes)
    if chunk.centres is not None:  # back to longitude and latitude
        east, north = lonlat.from_local(east, north, *np.repeat(chunk.centres, sizes, axis=0).T)
    points = pa.table(
        {
            "trip_id": repeat_ids(chunk.trip_ids, sizes),
            "s": s,
            "x": east,
            "y": north,
            "t": time_column(times, origins, chunk.time_type),
            "heading": heading,
            "curvature": np.repeat(unsigned, end - start),  # each point gets its segment's curvature
            "signed_curvature": np.repeat(signed, end - start),
        }
    )
    positions = pa.table(
        {"trip_id": repeat_ids(chunk.trip_ids, counts), "row": chunk.rows, "s": along, "d": offset}
    )

    valid_of = trip_of[valid]
    # The removed rows of a trip in increasing order, as a set difference would give them.
    dropped = np.flatnonzero(removed)
    dropped = dropped[np.lexsort((rows[dropped], valid_of[dropped]))]
    starts = np.full(trips, math.nan)
    ends = np.full(trips, math.nan)
    starts[has], ends[has] = t[offsets[:-1][has]], t[offsets[1:][has] - 1]
    duration = ends - starts
    length = np.zeros(trips)
    length[sizes > 0] = s[metre_offsets[1:][sizes > 0] - 1]
    with np.errstate(invalid="ignore", divide="ignore"):
        mean_speed = length / duration
    max_curvature = np.zeros(trips)
    np.maximum.at(max_curvature, track, unsigned)
    short = sizes < MIN_POINTS
    summary = {
        "trip_id": chunk.trip_ids,
        "points_in": counts,
        "points_out": sizes,
        "missing": counts - complete,
        "missing_rows": lists(chunk.rows[~valid], np.bincount(trip_of[~valid], minlength=trips)),
        "removed": np.bincount(valid_of[dropped], minlength=trips),
        "removed_rows": lists(rows[dropped], np.bincount(valid_of[dropped], minlength=trips)),
        "start": time_column(starts, chunk.origins, chunk.time_type),
        "end": time_column(ends, chunk.origins, chunk.time_type),
        "duration": pa.array(duration, mask=~has),
        "length": pa.array(length, mask=sizes == 0),
        "mean_speed": pa.array(mean_speed, mask=~(duration > 0) | (sizes < 2)),
        "max_speed": max_speed(s, times, metre_offsets),
        "time_still": standing(x, y, t, offsets),
        "band_solved": pa.array(solved, mask=short),
        "arcs": pa.array(np.bincount(track[unsigned > ARC], minlength=trips), mask=short),
        "max_curvature": pa.array(max_curvature, mask=short),
    }
    trips_table = pa.table(summary)
    if network is not None:
        positions, trips_table = network.match(chunk, positions, trips_table)
    return Result(points, positions, trips_table, time.process_time() - cpu)


def max_speed(s: np.ndarray, times: np.ndarray, offsets: np.ndarray) -> pa.Array:
    """Per track, the largest speed from one point of the smoothed path to the next, over the
    steps that take time; null where none does."""
    track, inside = steps(offsets)
    fastest = np.full(len(offsets) - 1, -math.inf)
    ds, dt = np.diff(s), np.diff(times)
    timed = inside & (dt > 0)
    np.maximum.at(fastest, track[timed], ds[timed] / dt[timed])
    return pa.array(fastest, mask=fastest == -math.inf)


def standing(x: np.ndarray, y: np.ndarray, t: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """Per track, the positions recorded at the time of the one before, elsewhere."""
    track, inside = steps(offsets)
    still = inside & (np.diff(t) == 0) & ((np.diff(x) != 0) | (np.diff(y) != 0))
    return np.bincount(track[still], minlength=len(offsets) - 1)


def steps(offsets: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For each step from one point to the next: its track, and whether it stays in that track."""
    track = np.repeat(np.arange(len(offsets) - 1), np.diff(offsets))
    return track[1:], track[1:] == track[:-1]


def ragged(counts: np.ndarray) -> np.ndarray:
    """Offsets of tracks of the given sizes."""
    return np.concatenate(([0], np.cumsum(counts, dtype=np.int64)))


def lists(values: np.ndarray, counts: np.ndarray) -> pa.Array:
    return pa.ListArray.from_arrays(ragged(counts).astype(np.int32), values.astype(np.int64, copy=False))


def repeat_ids(ids: pa.Array, counts: np.ndarray) -> pa.Array:
    """Each trip's id `counts` times: numbers through NumPy, strings by Arrow's take."""
    if pa.types.is_integer(ids.type):
        return pa.array(np.repeat(ids.to_numpy(), counts), type=ids.type)
    return ids.take(np.repeat(np.arange(len(ids)), counts))


def running_max(values: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """numpy.maximum.accumulate along each track: every value that falls below the one before it
    takes that one's, until none does (as many rounds as the longest such run, mostly one)."""
    values = values.copy()
    _, same = steps(offsets)
    while True:
        falls = np.flatnonzero((values[1:] < values[:-1]) & same)
        if not len(falls):
            return values
        values[falls + 1] = values[falls]


def unwrap(heading: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """numpy.unwrap along each track, with the same arithmetic: the corrections (multiples of
    2 pi, on few steps) are summed in order within each track, then added."""
    if not len(heading):
        return heading.copy()
    step = np.diff(heading)
    wrapped = np.mod(step - -math.pi, 2 * math.pi) + -math.pi
    np.copyto(wrapped, math.pi, where=(wrapped == -math.pi) & (step > 0))
    correction = wrapped - step
    np.copyto(correction, 0, where=abs(step) < math.pi)
    track, inside = steps(offsets)
    correction[~inside] = 0.0  # from one track into the next
    # The sum of its track's corrections so far, at each step: the sum at the last step that
    # corrected, if that lies in the same track.
    at = np.flatnonzero(correction)
    summed = np.zeros(len(step))
    summed[at] = segmented_cumsum(correction[at], track[at])
    last = np.maximum.accumulate(np.where(correction != 0, np.arange(len(step)), 0))
    total = np.where((correction[last] != 0) & (track[last] == track), summed[last], 0.0)
    turning = heading.copy()
    later = np.flatnonzero(inside) + 1  # a track's first heading is its own
    turning[later] = heading[later] + total[later - 1]
    return turning


def segmented_cumsum(values: np.ndarray, groups: np.ndarray) -> np.ndarray:
    """Running sums within each run of equal `groups`, added in order as numpy.cumsum adds."""
    summed = values.copy()
    if not len(values):
        return summed
    begins = np.concatenate(([True], groups[1:] != groups[:-1]))
    rank = np.arange(len(values)) - np.maximum.accumulate(np.where(begins, np.arange(len(values)), 0))
    # By rank: the r-th value of every group is added to the sum up to its (r - 1)-th.
    order = np.argsort(rank, kind="stable")
    bounds = np.searchsorted(rank[order], np.arange(int(rank.max()) + 2))
    for lo, hi in zip(bounds[1:-1].tolist(), bounds[2:].tolist()):
        at = order[lo:hi]
        summed[at] = summed[at - 1] + values[at]
    return summed


def time_column(seconds: np.ndarray, origins: np.ndarray | None, time_type: pa.DataType) -> pa.Array:
    """Float seconds back to the input's time type: timestamps are rounded to their unit.

    NaN (the start of a trip without one complete position) becomes a missing value.
    """
    missing = np.isnan(seconds)
    if origins is None:
        return pa.array(seconds, type=time_type, mask=missing)
    ticks = origins + np.rint(np.where(missing, 0.0, seconds) * UNITS[time_type.unit]).astype(np.int64)
    return pa.array(ticks, type=pa.int64(), mask=missing).cast(time_type)
