"""korvane_fleet/inputs.py: checking and reading the input, sorting it into trips, cutting chunks,
and the sample fleet."""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from typing import NamedTuple

import numpy as np
import pyarrow as pa

from . import Mistake, lonlat

INPUT_COLUMNS = ["trip_id", "t", "x", "y"]
UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}  # ticks per second of a timestamp
# Input positions per task, chosen from the input's size alone (so every way of running cuts the
# same chunks): about TASKS of them, but at least MIN_CHUNK (the column calls' fixed costs then
# stay a few percent, and a task is far more work than sending it) and at most MAX_CHUNK (bounds
# memory: a few tens of megabytes of results per task in flight).
TASKS = 32
MIN_CHUNK, MAX_CHUNK = 20_000, 100_000


class Fleet(NamedTuple):
    """The input positions sorted by trip and time, and where each trip starts."""

    trip_ids: pa.Array  # sorted
    starts: np.ndarray  # trip i has the positions starts[i]:starts[i + 1]
    rows: np.ndarray  # the input row number of each position
    t: np.ndarray  # float64 seconds; for timestamps, since the trip's origin
    x: np.ndarray  # metres
    y: np.ndarray
    origins: np.ndarray | None  # per trip, for timestamps: the first one, in ticks of its unit
    centres: np.ndarray | None  # per trip, with --lonlat: (longitude, latitude) of its frame
    time_type: pa.DataType


class Chunk(NamedTuple):
    """A task: whole trips, their positions sorted by time, as arrays."""

    index: int  # names the output's order, so the same trips land in the same place every run
    trip_ids: pa.Array  # one per trip
    offsets: np.ndarray  # trip i has positions offsets[i]:offsets[i + 1]
    rows: np.ndarray
    t: np.ndarray
    x: np.ndarray
    y: np.ndarray
    origins: np.ndarray | None
    centres: np.ndarray | None
    time_type: pa.DataType


def open_input(source: str):
    """The input as a dataset, after checking what its footers tell: columns, types, rows."""
    import pyarrow.dataset as ds  # here: it would add half a second to starting every worker

    if not os.path.exists(source):
        raise Mistake(f"no input at {source}; expected a Parquet file or a directory of Parquet files")
    try:
        # Partition columns (trip_id=7/...) come dictionary encoded, as pyarrow.parquet reads them.
        dataset = ds.dataset(
            source, format="parquet", partitioning=ds.HivePartitioning.discover(infer_dictionary=True)
        )
        rows = dataset.count_rows()
    except (pa.ArrowException, OSError) as error:
        raise Mistake(
            f"{source} is not Parquet ({first_line(error)}); expected a Parquet file or dataset"
        ) from None
    schema = dataset.schema
    missing = [name for name in INPUT_COLUMNS if name not in schema.names]
    if missing:
        raise Mistake(f"the input lacks {', '.join(missing)}; needed: {', '.join(INPUT_COLUMNS)}")
    check_types(schema)
    if rows == 0:
        raise Mistake(f"{source} has no rows; expected one row per position")
    return dataset


def check_types(schema: pa.Schema) -> None:
    expected = {
        "trip_id": (
            "an integer or a string",
            lambda k: pa.types.is_integer(k) or pa.types.is_string(k) or pa.types.is_large_string(k),
        ),
        "t": ("seconds (a number) or a timestamp", lambda k: is_number(k) or pa.types.is_timestamp(k)),
        "x": ("metres (a number)", is_number),
        "y": ("metres (a number)", is_number),
    }
    for name, (what, accepts) in expected.items():
        kind = schema.field(name).type
        if not accepts(kind.value_type if pa.types.is_dictionary(kind) else kind):
            raise Mistake(f"column {name} holds {kind}; expected {what}")


def is_number(kind: pa.DataType) -> bool:
    return pa.types.is_integer(kind) or pa.types.is_floating(kind)


def first_line(error: BaseException) -> str:
    return (str(error).strip().splitlines() or [type(error).__name__])[0]


def plain(column: pa.ChunkedArray) -> pa.Array:
    """One array without dictionary encoding (a partition column of a dataset has it)."""
    array = column.combine_chunks()
    return array.dictionary_decode() if pa.types.is_dictionary(array.type) else array


def trip_codes(ids: pa.Array) -> tuple[np.ndarray, pa.Array]:
    """(code of each row's trip, the distinct trip ids sorted): codes number the sorted ids."""
    import pyarrow.compute as pc

    encoded = ids.dictionary_encode()
    order = pc.sort_indices(encoded.dictionary).to_numpy().astype(np.int64)
    rank = np.empty_like(order)
    rank[order] = np.arange(len(order))
    return rank[encoded.indices.to_numpy(zero_copy_only=False)], encoded.dictionary.take(order)


def prepare(table: pa.Table, degrees: bool = False) -> Fleet:
    """Sorts the positions by trip and time (numpy.lexsort) and finds where the trips start;
    with `degrees`, x and y are longitude and latitude, projected around each trip."""
    ids, times = plain(table.column("trip_id")), plain(table.column("t"))
    if ids.null_count:
        raise Mistake(f"{ids.null_count} rows of the input have no trip_id; expected one on every row")
    codes, trip_ids = trip_codes(ids)
    stamped = pa.types.is_timestamp(times.type)
    if stamped:
        # Sorted as integers: a float64 holds today's nanoseconds only to 256 ns. Missing times last.
        ticks = times.cast(pa.int64()).fill_null(0).to_numpy()
        no_time = times.is_null().to_numpy(zero_copy_only=False)
        order = np.lexsort((ticks, no_time, codes))
    else:
        times = times.cast(pa.float64())
        seconds = times.to_numpy(zero_copy_only=False)
        order = np.lexsort((seconds, codes))  # NaN (and missing) times last
    cuts = np.flatnonzero(np.diff(codes[order])) + 1
    starts = np.concatenate(([0], cuts, [len(order)])) if len(order) else np.zeros(1, np.int64)
    origins = None
    if stamped:
        # Seconds since the trip's first timestamp: float64 holds them to far below a microsecond.
        ticks, no_time = ticks[order], no_time[order]
        origins = ticks[starts[:-1]]
        seconds = (ticks - np.repeat(origins, np.diff(starts))) / UNITS[times.type.unit]
        seconds[no_time] = np.nan
    else:
        seconds = seconds[order]
    x, y = (
        plain(table.column(c)).cast(pa.float64()).to_numpy(zero_copy_only=False)[order] for c in ("x", "y")
    )
    centres = None
    if degrees:
        x, y, centres = projected(x, y, starts)
    else:
        refuse_degrees(x, y, starts)
    return Fleet(trip_ids, starts, order, seconds, x, y, origins, centres, times.type)


def extents(x: np.ndarray, y: np.ndarray, starts: np.ndarray) -> np.ndarray:
    """Per trip with a complete position, the larger side of its bounding box."""
    known = np.isfinite(x) & np.isfinite(y)
    trip = np.repeat(np.arange(len(starts) - 1), np.diff(starts))[known]
    if not len(trip):
        return np.zeros(0)
    cuts = np.concatenate(([0], np.flatnonzero(np.diff(trip)) + 1))
    x, y = x[known], y[known]
    return np.maximum(
        np.maximum.reduceat(x, cuts) - np.minimum.reduceat(x, cuts),
        np.maximum.reduceat(y, cuts) - np.minimum.reduceat(y, cuts),
    )


def refuse_degrees(x: np.ndarray, y: np.ndarray, starts: np.ndarray) -> None:
    """Longitude and latitude read as metres make trips of a point or two: refused."""
    sides = extents(x, y, starts)
    with np.errstate(invalid="ignore"):
        inside = np.all((np.abs(x) <= 180) | np.isnan(x)) and np.all((np.abs(y) <= 90) | np.isnan(y))
    if len(sides) and inside and sides.max() < 1:
        raise Mistake(
            "x and y look like longitude and latitude in degrees (all within ±180 and ±90, every trip "
            "less than 1 across); expected metres: project them to a metric frame, or pass --lonlat"
        )


def projected(
    lon: np.ndarray, lat: np.ndarray, starts: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Metres in a transverse Mercator frame around each trip's first complete position."""
    with np.errstate(invalid="ignore"):
        if np.any(np.abs(lon) > 180) or np.any(np.abs(lat) > 90):
            raise Mistake(
                "--lonlat: x and y go beyond ±180 and ±90; expected longitude and latitude in degrees"
            )
    trips = len(starts) - 1
    known = np.isfinite(lon) & np.isfinite(lat)
    trip = np.repeat(np.arange(trips), np.diff(starts))
    first = np.full(trips, -1)
    first[trip[known][::-1]] = np.flatnonzero(known)[::-1]  # the lowest index wins
    centres = np.zeros((trips, 2))
    centres[first >= 0] = np.column_stack((lon, lat))[first[first >= 0]]
    x, y = lonlat.to_local(lon, lat, *np.repeat(centres, np.diff(starts), axis=0).T)
    return x, y, centres


def chunks(fleet: Fleet, size: int) -> Iterator[Chunk]:
    """Whole trips, about `size` positions per chunk, the same however the chunks are run."""
    trips = len(fleet.trip_ids)
    # A chunk starts with the first trip that starts in each block of `size` positions.
    block = fleet.starts[:-1] // size
    cuts = np.concatenate(([0], np.flatnonzero(np.diff(block)) + 1, [trips]))
    for index, (first, last) in enumerate(zip(cuts[:-1].tolist(), cuts[1:].tolist())):
        a, b = fleet.starts[first], fleet.starts[last]
        yield Chunk(
            index,
            fleet.trip_ids[first:last],
            fleet.starts[first : last + 1] - a,
            fleet.rows[a:b],
            fleet.t[a:b],
            fleet.x[a:b],
            fleet.y[a:b],
            None if fleet.origins is None else fleet.origins[first:last],
            None if fleet.centres is None else fleet.centres[first:last],
            fleet.time_type,
        )


def chunk_size(positions: int) -> int:
    """Positions per chunk for an input of `positions`: see TASKS."""
    return min(MAX_CHUNK, max(MIN_CHUNK, -(-positions // TASKS)))


def sample_fleet(trips: int, seed: int = 1) -> pa.Table:
    """`trips` simulated recordings in long format, rows in the order a fleet's log has them.

    A drive chains straight and circular pieces (radius 8 to 60 m), logged at 10 Hz at 4 to 12
    m/s with 3 cm of noise and about one pair of points in 200 logged out of order. One trip in
    50 is a parked vehicle: a minute of noise around one spot.
    """
    rng = np.random.default_rng(seed)
    start = np.datetime64("2024-05-06T06:00:00", "ms").astype(np.int64)
    ids, times, xs, ys = [], [], [], []
    for trip in range(trips):
        n = int(rng.integers(150, 450)) if trip % 50 != 49 else 600
        ticks = start + int(rng.integers(0, 12 * 3600_000)) + np.cumsum(rng.integers(95, 106, n))
        if trip % 50 == 49:
            xy = rng.uniform(-2000, 2000, 2) + rng.normal(0.0, 0.5, (n, 2))
        else:
            speed = rng.uniform(4, 12) * (1.0 + 0.3 * np.sin(np.linspace(0.0, rng.uniform(2, 8), n)))
            step = speed * 0.1
            pieces = int(rng.integers(3, 8))
            bounds = np.sort(rng.choice(np.arange(1, n - 1), size=pieces - 1, replace=False))
            turning = rng.choice([0, 1], pieces) * rng.choice([-1, 1], pieces)  # straight, left, right
            turning = turning * rng.uniform(1 / 60, 1 / 8, pieces)
            curvature = np.repeat(turning, np.diff(np.concatenate(([0], bounds, [n]))))
            heading = rng.uniform(-math.pi, math.pi) + np.cumsum(curvature * step)
            xy = np.cumsum(np.column_stack((np.cos(heading), np.sin(heading))) * step[:, None], axis=0)
            xy += rng.uniform(-2000, 2000, 2) + rng.normal(0.0, 0.03, xy.shape)
            for i in rng.choice(np.arange(1, n - 2), size=n // 200, replace=False):
                xy[[i, i + 1]] = xy[[i + 1, i]]  # the position of i + 1 logged at i's time
        ids.append(np.full(n, trip + 1, dtype=np.int64))
        times.append(ticks)
        xs.append(xy[:, 0])
        ys.append(xy[:, 1])
    ticks = np.concatenate(times)
    log = np.argsort(ticks, kind="stable")
    return pa.table(
        {
            "trip_id": np.concatenate(ids)[log],
            "t": pa.array(ticks[log], type=pa.int64()).cast(pa.timestamp("ms")),
            "x": np.concatenate(xs)[log],
            "y": np.concatenate(ys)[log],
        }
    )
