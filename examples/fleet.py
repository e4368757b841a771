"""Many recordings: Parquet in, korvane per trip, Parquet out, on one core, a process pool or dask.

    python examples/fleet.py                          # a generated fleet of 3000 drives, one core
    python examples/fleet.py --workers 2              # the same in a process pool of 2 workers
    python examples/fleet.py --dask                   # on a dask LocalCluster on this machine
    python examples/fleet.py --dask tcp://host:8786   # on a running dask cluster
    python examples/fleet.py trips.parquet --out results

The input is a Parquet file or dataset (a directory of files) in long format, one row per
position: trip_id, t, x, y, in any row order; other columns are ignored. x and y are in metres,
t in seconds or a timestamp. Without an input a sample fleet is generated: simulated drives with
3 cm of noise and a few points logged out of order, and some parked vehicles.

Per trip: positions without x, y or t are left out, the rest sorted by time (equal times keep
their input order), the point order is repaired (t and the input row number travel along as
associated values), the path is resampled every metre (cubic; t linearly, so that it never runs
backwards), smoothed by the elastic band (0.15 m) and split into circle segments, all relative
to the trip's first position. Every recorded position is then given its route coordinates on
the smoothed path (korvane_frenet.to_frenet). Three Parquet datasets are written, one file per
chunk of trips: OUT/points (trip_id, s, x, y, t, heading, curvature, signed_curvature: the
smoothed path), OUT/positions (trip_id, row, s, d: each input row's arc length along the smoothed
path and signed offset from it) and OUT/trips (one summary row per trip). A trip whose band has no solution keeps its resampled
geometry and has band_solved false. The three ways of running write the same files, byte for
byte.

The run writes into a staging directory beside OUT and replaces OUT only once it is complete,
marked by OUT/_SUCCESS. A mistake in the command line or the input is reported in one line
before any work (exit status 2, nothing written); an interrupted (130) or failed (1) run leaves
OUT as it was.

Needs the fleet extra: pip install '.[fleet]' (pandas, pyarrow, dask[distributed], tqdm).
"""

from __future__ import annotations

import argparse
import contextlib
import ctypes
import errno
import importlib.util
import json
import math
import multiprocessing
import os
import shutil
import signal
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait
from pathlib import Path
from typing import NamedTuple

import numpy as np

if any(importlib.util.find_spec(name) is None for name in ("pandas", "pyarrow", "tqdm")):
    raise SystemExit("the fleet example needs pandas, pyarrow and tqdm: pip install 'korvane[fleet]'")
# Reached as korvane.X inside the task: dask pickles a function of the main script by value,
# with the globals it names; korvane's classes cannot be pickled, the module can.
import korvane  # noqa: E402
import korvane_frenet  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

SPACING = 1.0  # m between resampled points
MAX_DEVIATION = 0.15  # m the elastic band may move a point: a few times the position noise
MAX_RMSE = 0.05  # m, radial misfit allowed in one circle segment
ARC = 1 / 100  # 1/m: segments curving more than this (radius below 100 m) count as arcs
# Input positions per task, chosen from the input's size alone (so every way of running cuts the
# same chunks): about TASKS of them, but at least MIN_CHUNK (a few hundredths of a second of
# work, far above what sending a task costs) and at most MAX_CHUNK (bounds memory).
TASKS = 32
MIN_CHUNK, MAX_CHUNK = 3_000, 30_000

INPUT_COLUMNS = ["trip_id", "t", "x", "y"]
MARKER = "_SUCCESS"  # in OUT: the results are those of a finished run
DATASETS = ("points", "positions", "trips")  # OUT's folders, one per table of a Result
PROG = "fleet.py"


class Chunk(NamedTuple):
    """A task: whole trips, their positions sorted by time, as NumPy arrays."""

    index: int  # names the output files, so the same trips land in the same files every run
    trip_ids: np.ndarray  # one per trip
    offsets: np.ndarray  # trip i has positions offsets[i]:offsets[i + 1]
    rows: np.ndarray  # input row number of each position
    t: np.ndarray  # float64 seconds; for timestamps, since the trip's origin
    x: np.ndarray
    y: np.ndarray
    origins: np.ndarray | None  # per trip, the first timestamp as an integer in time_type's unit
    id_type: pa.DataType
    time_type: pa.DataType


# --- the work on a chunk, in a worker ---------------------------------------------------------


class Result(NamedTuple):
    """What a task sends back: Arrow tables (they pickle as their buffers) and its CPU time."""

    points: pa.Table
    positions: pa.Table
    trips: pa.Table
    cpu: float


def process_trip(x: np.ndarray, y: np.ndarray, t: np.ndarray, rows: np.ndarray) -> tuple[dict, dict, dict]:
    """One trip: the smoothed path's columns (one value per point), the recorded positions'
    route coordinates (one value per input row) and the trip's summary row.

    Times are float seconds; process_chunk turns them back into the input's time type.
    """
    # A position with a missing coordinate or time would make the whole trip NaN.
    valid = np.isfinite(x) & np.isfinite(y) & np.isfinite(t)
    recorded_rows, recorded_xy = rows, np.column_stack((x, y))
    missing_rows, rows = rows[~valid], rows[valid]
    x, y, t = x[valid], y[valid], t[valid]
    # Relative to the first position: at UTM-sized coordinates (millions of metres) the band's
    # arithmetic would move the points by millimetres.
    origin_x, origin_y = (x[0], y[0]) if len(x) else (0.0, 0.0)
    recorded = korvane.Path2D(x=x - origin_x, y=y - origin_y)
    time_handle = recorded.add_associated_values(t)
    row_handle = recorded.add_associated_values(rows.astype(np.float64))
    repaired = recorded.repair_corrupted_point_order()
    removed_rows = np.setdiff1d(rows, repaired.associated_value_np(row_handle).astype(np.int64))
    every_metre = korvane.ResamplingMethod.by_sampling_distance(SPACING)
    metre = repaired.resampled_path(every_metre, korvane.InterpolationMethod.Cubic)
    # Time comes from a linear resampling at the same arc lengths: a cubic overshoots between
    # the recorded times and can run backwards. The running maximum only absorbs rounding.
    linear = repaired.resampled_path(every_metre, korvane.InterpolationMethod.Linear)
    times = np.maximum.accumulate(linear.associated_value_np(time_handle))
    band = metre.smoothed_path_elastic_band(MAX_DEVIATION)
    final = band if band is not None else metre
    heading = final.orientation_np
    n = len(heading)
    segments = final.find_circle_segments(0, n, MAX_RMSE) if n else []
    # The circle fits give 1/radius; its sign is that of the turn across the segment.
    bounds = np.array([(a, b) for a, b, _ in segments], dtype=np.int64).reshape(-1, 2)
    unsigned = np.array([k for _, _, k in segments], dtype=np.float64)
    turning = np.unwrap(heading)
    signed = unsigned * np.sign(turning[bounds[:, 1] - 1] - turning[bounds[:, 0]])
    sizes = bounds[:, 1] - bounds[:, 0]
    curvature = np.repeat(unsigned, sizes)  # each point gets its segment's curvature
    points = {
        "s": final.path_length_per_point_np,
        "x": final.x_np + origin_x,
        "y": final.y_np + origin_y,
        "t": times,
        "heading": heading,
        "curvature": curvature,
        "signed_curvature": np.repeat(signed, sizes),
    }
    # Every recorded position against the smoothed path, in one call: the nearest point's arc
    # length and the signed offset (positive to the left). A missing coordinate gives NaN.
    route = korvane_frenet.to_frenet(final, recorded_xy - (origin_x, origin_y))
    positions = {"row": recorded_rows, "s": route.s, "d": route.d}
    start, end = (t[0], t[-1]) if len(t) else (math.nan, math.nan)
    duration = end - start
    summary = {
        "points_in": len(valid),
        "points_out": n,
        "missing": len(missing_rows),
        "missing_rows": missing_rows,
        "removed": len(removed_rows),
        "removed_rows": removed_rows,
        "start": start,
        "end": end,
        "duration": duration,
        "length": final.length,
        "mean_speed": final.length / duration if duration > 0 else math.nan,
        "band_solved": band is not None,
        "arcs": int(np.count_nonzero(unsigned > ARC)),
        "max_curvature": float(unsigned.max(initial=0.0)),
    }
    return points, positions, summary


def process_chunk(chunk: Chunk) -> Result:
    """Processes the trips of a chunk into the points table and the per-trip summary."""
    cpu = time.process_time()
    points: dict[str, list] = {}
    positions: dict[str, list] = {}
    summary: dict[str, list] = {}
    for i in range(len(chunk.trip_ids)):
        trip = slice(chunk.offsets[i], chunk.offsets[i + 1])
        trip_points, trip_positions, trip_summary = process_trip(
            chunk.x[trip], chunk.y[trip], chunk.t[trip], chunk.rows[trip]
        )
        for table, values in ((points, trip_points), (positions, trip_positions)):
            for name, column in values.items():
                table.setdefault(name, []).append(column)
        for name, value in trip_summary.items():
            summary.setdefault(name, []).append(value)

    counts = [len(x) for x in points["x"]]
    columns = {name: np.concatenate(arrays) for name, arrays in points.items()}
    origins = None if chunk.origins is None else np.repeat(chunk.origins, counts)
    columns["t"] = time_column(columns["t"], origins, chunk.time_type)
    table = pa.table({"trip_id": pa.array(np.repeat(chunk.trip_ids, counts), type=chunk.id_type), **columns})
    recorded = pa.table(
        {
            "trip_id": pa.array(np.repeat(chunk.trip_ids, np.diff(chunk.offsets)), type=chunk.id_type),
            **{name: np.concatenate(arrays) for name, arrays in positions.items()},
        }
    )
    summary_columns = {name: pa.array(values) for name, values in summary.items()}
    for name in ("start", "end"):
        summary_columns[name] = time_column(np.array(summary[name]), chunk.origins, chunk.time_type)
    trips = pa.table({"trip_id": pa.array(chunk.trip_ids, type=chunk.id_type), **summary_columns})
    return Result(table, recorded, trips, time.process_time() - cpu)


def time_column(seconds: np.ndarray, origins: np.ndarray | None, time_type: pa.DataType) -> pa.Array:
    """Float seconds back to the input's time type: timestamps are rounded to their unit.

    NaN (the start of a trip without one complete position) becomes a missing value.
    """
    missing = np.isnan(seconds)
    if origins is None:
        return pa.array(seconds, type=time_type, mask=missing)
    ticks = origins + np.rint(np.where(missing, 0.0, seconds) * UNITS[time_type.unit]).astype(np.int64)
    return pa.array(ticks, type=pa.int64(), mask=missing).cast(time_type)


# --- checking and reading the input, in the driver --------------------------------------------


class Mistake(Exception):
    """A mistake in the command line or the input, found before any work: exit status 2."""


def open_input(source: str) -> pa.dataset.Dataset:
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
    if rows == 0:
        raise Mistake(f"{source} has no rows; expected one row per position")
    return dataset


def is_number(kind: pa.DataType) -> bool:
    return pa.types.is_integer(kind) or pa.types.is_floating(kind)


def first_line(error: BaseException) -> str:
    return (str(error).strip().splitlines() or [type(error).__name__])[0]


def check_out(out: Path, source: str | None) -> None:
    """Refuses an --out the run could not write, or whose contents it would destroy."""
    if out.exists() and not out.is_dir():
        raise Mistake(f"--out {out} is a file; expected a directory for the results")
    if out.is_dir():
        names = {entry.name for entry in out.iterdir()}
        if names and not (MARKER in names and names <= {*DATASETS, MARKER}):
            raise Mistake(
                f"--out {out} holds files that are not the results of a finished run (no {MARKER}); "
                "expected a new or empty directory, or earlier results, which the run replaces"
            )
    # The run stages its results beside OUT (creating missing parents) and deletes old results.
    target = out.resolve()
    if Path.cwd().is_relative_to(target):
        raise Mistake(f"--out {out} holds the current directory; expected a directory of its own")
    nearest = next(parent for parent in target.parents if parent.exists())
    for directory in (nearest, target) if target.exists() else (nearest,):
        try:  # tried, not inferred from permission bits: root, ACLs and read-only mounts differ
            os.rmdir(tempfile.mkdtemp(prefix=".probe-", dir=directory))
        except OSError as error:
            raise Mistake(
                f"--out {out}: cannot write in {directory} ({error.strerror}); expected a directory you may write to"
            ) from None
    if source is not None:
        given = Path(source).resolve()
        if given.is_relative_to(target) or target.is_relative_to(given):
            raise Mistake(f"--out {out} overlaps the input {source}; expected them apart")


UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}  # ticks per second of a timestamp


class Fleet(NamedTuple):
    """The input positions sorted by trip and time, and where each trip starts."""

    trip_ids: np.ndarray
    starts: np.ndarray  # trip i has the positions starts[i]:starts[i + 1]
    rows: np.ndarray  # the input row number of each position
    t: np.ndarray  # float64 seconds; for timestamps, since the trip's origin
    x: np.ndarray
    y: np.ndarray
    origins: np.ndarray | None  # per trip, for timestamps
    id_type: pa.DataType
    time_type: pa.DataType


def plain(column: pa.ChunkedArray) -> pa.Array:
    """One array without dictionary encoding (a partition column of a dataset has it)."""
    array = column.combine_chunks()
    return array.dictionary_decode() if pa.types.is_dictionary(array.type) else array


def prepare(table: pa.Table) -> Fleet:
    """Sorts the positions by trip and time (numpy.lexsort) and finds where the trips start."""
    import pandas

    ids, times = plain(table.column("trip_id")), plain(table.column("t"))
    if ids.null_count:
        raise Mistake(f"{ids.null_count} rows of the input have no trip_id; expected one on every row")
    codes, trip_ids = pandas.factorize(ids.to_numpy(zero_copy_only=False), sort=True)
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
    starts = np.concatenate(([0], np.flatnonzero(np.diff(codes[order])) + 1, [len(order)]))
    origins = None
    if stamped:
        # Seconds since the trip's first timestamp: float64 holds them to far below a microsecond.
        ticks, no_time = ticks[order], no_time[order]
        origins = ticks[starts[:-1]]
        seconds = (ticks - np.repeat(origins, np.diff(starts))) / UNITS[times.type.unit]
        seconds[no_time] = np.nan
    else:
        seconds = seconds[order]
    coordinates = [
        plain(table.column(c)).cast(pa.float64()).to_numpy(zero_copy_only=False)[order] for c in ("x", "y")
    ]
    return Fleet(trip_ids, starts, order, seconds, *coordinates, origins, ids.type, times.type)


def chunks(fleet: Fleet, size: int) -> Iterator[Chunk]:
    """Whole trips, about `size` positions per chunk, the same however the chunks are run."""
    trips = len(fleet.trip_ids)
    # A chunk starts with the first trip that starts in each block of `size` positions.
    block = fleet.starts[:-1] // size
    cuts = np.concatenate(([0], np.flatnonzero(np.diff(block)) + 1, [trips]))
    for index, (first, last) in enumerate(zip(cuts[:-1], cuts[1:])):
        a, b = fleet.starts[first], fleet.starts[last]
        origins = None if fleet.origins is None else fleet.origins[first:last]
        yield Chunk(
            index,
            fleet.trip_ids[first:last],
            fleet.starts[first : last + 1] - a,
            fleet.rows[a:b],
            fleet.t[a:b],
            fleet.x[a:b],
            fleet.y[a:b],
            origins,
            fleet.id_type,
            fleet.time_type,
        )


def chunk_size(positions: int) -> int:
    """Positions per chunk for an input of `positions`: see TASKS."""
    return min(MAX_CHUNK, max(MIN_CHUNK, -(-positions // TASKS)))


# --- the sample fleet -------------------------------------------------------------------------


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


# --- three ways to run the chunks -------------------------------------------------------------

Write = Callable[[Result, int], None]


def run_loop(work: Iterator[Chunk], write: Write) -> None:
    for chunk in work:
        write(process_chunk(chunk), chunk.index)


def run_pool(work: Iterator[Chunk], write: Write, pool: ProcessPoolExecutor, workers: int) -> None:
    pending: dict = {}
    with interrupts_between_waits() as interrupted:

        def write_done() -> None:
            while True:
                done, _ = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                if interrupted():
                    raise KeyboardInterrupt
                if done:
                    break
            for future in done:
                write(future.result(), pending.pop(future))

        for chunk in work:
            if interrupted():
                raise KeyboardInterrupt
            pending[pool.submit(process_chunk, chunk)] = chunk.index
            # A few chunks in flight per worker keep it busy; more would only hold memory.
            while len(pending) >= 2 * workers:
                write_done()
        while pending:
            write_done()


@contextlib.contextmanager
def interrupts_between_waits() -> Iterator[Callable[[], bool]]:
    """Ctrl-C noted, for the caller to raise between its waits on the pool. Raised by the
    default handler, the KeyboardInterrupt can strike while this thread takes the locks of the
    futures it waits on, and leave one held: the pool's own thread then waits for that lock, and
    the exit for the pool's thread, for ever (seen about once in 200 interrupted runs)."""
    noted = []
    previous = signal.signal(signal.SIGINT, lambda *_: noted.append(True))
    try:
        yield lambda: bool(noted)
    finally:
        signal.signal(signal.SIGINT, previous)


def start_pool(workers: int) -> ProcessPoolExecutor:
    """A process pool whose workers start while this process reads and sorts the input."""
    # Fresh interpreters: forking a parent whose Arrow thread pools run can deadlock the child.
    context = multiprocessing.get_context("forkserver" if sys.platform == "linux" else "spawn")
    pool = ProcessPoolExecutor(workers, context, initializer=start_worker)
    for _ in range(workers):
        pool.submit(int)  # each task that finds no idle worker starts one
    return pool


def start_worker() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the workers too: it is the driver's
    # korvane loads SciPy and Clarabel on the first elastic band: here, before the first chunk.
    korvane.Path2D(x=[0.0, 1.0, 2.0], y=[0.0, 1.0, 0.0]).smoothed_path_elastic_band(MAX_DEVIATION)


def run_dask(work: Iterator[Chunk], write: Write, client) -> None:
    from distributed import as_completed

    window = 2 * sum(client.nthreads().values())
    pending: dict = {}
    running = as_completed()
    for chunk in work:
        # Not pure: hashing the arrays for a key would only cost time.
        future = client.submit(process_chunk, chunk, pure=False)
        pending[future] = chunk.index
        running.add(future)
        while running.count() >= window:
            done = next(running)
            write(done.result(), pending.pop(done))
    for done in running:
        write(done.result(), pending.pop(done))
    # The futures are gone with `pending`, so the cluster forgets each result once it is written.


def start_dask(address: str, workers: int, timeout: float):
    """A client of the scheduler at `address`, or of a new LocalCluster of `workers` processes."""
    import logging

    from distributed import Client, LocalCluster

    if address:
        try:
            return Client(address, timeout=timeout)
        except (OSError, TimeoutError, ValueError) as error:
            raise Mistake(
                f"no dask scheduler at {address} ({first_line(error)}); expected tcp://host:port"
            ) from None
    # One thread per worker: a korvane call holds the interpreter lock, so threads would queue.
    # The dashboard needs bokeh (in the fleet extra); without it the port would serve nothing.
    dashboard = ":8787" if importlib.util.find_spec("bokeh") else None
    # The worker processes inherit an ignored Ctrl-C: only this process handles it.
    handler = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        cluster = LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=dashboard,
            silence_logs=logging.ERROR,
        )
    finally:
        signal.signal(signal.SIGINT, handler)
    return Client(cluster)


def stop_dask(client) -> None:
    cluster = client.cluster  # None for a scheduler found at an address: that one keeps running
    client.close()
    if cluster is not None:
        cluster.close()


# --- writing the results ----------------------------------------------------------------------


class Output:
    """Writes each chunk's tables as points/, positions/ and trips/part-NNNNN.parquet in a
    staging directory beside OUT, and puts the finished run in OUT's place."""

    def __init__(self, out: Path, progress: Progress):
        self.out = out.resolve()  # the directory's own name, for the renames: not "." or ".."
        self.staging, self.previous = (
            self.out.with_name(f".{self.out.name}.{what}") for what in ("staging", "previous")
        )
        for leftover in (self.staging, self.previous):  # from a run that was killed
            shutil.rmtree(leftover, ignore_errors=True)
        for folder in DATASETS:
            (self.staging / folder).mkdir(parents=True)
        self.progress = progress
        self.rows = self.unsolved = self.missing = self.removed = self.arcs = 0
        self.cpu = 0.0

    def __call__(self, result: Result, index: int) -> None:
        for folder in DATASETS:
            table = getattr(result, folder)
            # Under a hidden name until complete: dataset readers skip names starting with a dot.
            part = self.staging / folder / f"part-{index:05d}.parquet"
            unfinished = part.with_name(f".{part.name}")
            pq.write_table(table, unfinished)
            unfinished.rename(part)
        trips = result.trips
        self.rows += result.points.num_rows
        self.unsolved += trips.num_rows - pc.sum(trips.column("band_solved").cast(pa.int64())).as_py()
        self.missing += pc.sum(trips.column("missing")).as_py()
        self.removed += pc.sum(trips.column("removed")).as_py()
        self.arcs += pc.sum(trips.column("arcs")).as_py()
        self.cpu += result.cpu
        self.progress.update(trips.num_rows, pc.sum(trips.column("points_in")).as_py())

    def commit(self, summary: dict) -> None:
        """Marks the staged run finished and puts it in OUT's place; then deletes the old results."""
        (self.staging / MARKER).write_text(json.dumps(summary, indent=1) + "\n")
        # Ctrl-C from here on would only come between two renames; the run is complete anyway.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        if not self.out.exists():
            self.staging.rename(self.out)
        elif exchange(self.staging, self.out):
            shutil.rmtree(self.staging, ignore_errors=True)  # now the previous results
        else:
            # Without an atomic exchange, OUT is missing for a moment; it never holds a mixture.
            self.out.rename(self.previous)
            self.staging.rename(self.out)
            shutil.rmtree(self.previous, ignore_errors=True)

    def discard(self) -> None:
        shutil.rmtree(self.staging, ignore_errors=True)


def exchange(a: Path, b: Path) -> bool:
    """Swaps two directories in one rename (Linux renameat2); False where the system cannot."""
    rename = getattr(ctypes.CDLL(None, use_errno=True), "renameat2", None)
    if rename is None:
        return False
    here, swap = -100, 2  # AT_FDCWD, RENAME_EXCHANGE
    if rename(here, os.fsencode(a), here, os.fsencode(b), swap) == 0:
        return True
    error = ctypes.get_errno()
    if error in (errno.EINVAL, errno.ENOSYS):  # a file system or kernel without the exchange
        return False
    raise OSError(error, os.strerror(error), str(b))


class Progress:
    """tqdm's bar on a terminal; in a log file or pipe a line at least every 10 % or 10 s."""

    def __init__(self, trips: int):
        import tqdm  # here: a worker process that loads this script needs no progress bar

        self.bar = tqdm.tqdm(total=trips, unit="trip", smoothing=0.1) if sys.stderr.isatty() else None
        self.trips, self.done, self.positions = trips, 0, 0
        self.started = self.shown = time.perf_counter()
        self.next_tenth = 1

    def update(self, trips: int, positions: int) -> None:
        self.done += trips
        self.positions += positions
        if self.bar is not None:
            self.bar.update(trips)
            return
        now = time.perf_counter()
        if 10 * self.done >= self.next_tenth * self.trips or now - self.shown >= 10:
            elapsed = now - self.started
            print(
                f"{self.done}/{self.trips} trips ({100 * self.done // self.trips} %), "
                f"{self.positions / elapsed:.0f} positions/s, {elapsed:.1f} s",
                file=sys.stderr,
                flush=True,
            )
            self.shown = now
            self.next_tenth = 10 * self.done // self.trips + 1

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# --- the command ------------------------------------------------------------------------------


class Parser(argparse.ArgumentParser):
    def error(self, message: str):
        raise Mistake(f"{message} (see --help)")  # one line, not the usage


def main(argv: list[str] | None = None) -> int:
    out = None
    try:
        args = parse(argv)
        out = args.out
        return run(args)
    except Mistake as mistake:
        print(f"{PROG}: {mistake}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted; {out or 'the output'} is as it was before the run", file=sys.stderr)
        return 130
    except Exception as error:
        print(
            f"{PROG}: failed ({type(error).__name__}: {first_line(error)}); {out} is as it was before the run",
            file=sys.stderr,
        )
        return 1


def parse(argv: list[str] | None) -> argparse.Namespace:
    parser = Parser(prog=PROG, description=__doc__.splitlines()[0])
    parser.add_argument("input", nargs="?", help="Parquet file or dataset directory (default: a sample)")
    parser.add_argument("--out", default="fleet-out", help="output directory (default fleet-out)")
    parser.add_argument(
        "--workers",
        type=int,
        default=None,
        help="processes: 1 runs a plain loop (the default), N a process pool; with --dask "
        "the LocalCluster's worker count (default: all cores)",
    )
    parser.add_argument(
        "--dask",
        nargs="?",
        const="",
        metavar="ADDRESS",
        help="run on dask: a LocalCluster, or the scheduler at ADDRESS (tcp://host:port)",
    )
    parser.add_argument(
        "--connect-timeout",
        type=float,
        default=10.0,
        metavar="SECONDS",
        help="how long to try reaching the dask scheduler at ADDRESS (default 10)",
    )
    parser.add_argument("--trips", type=int, default=3000, help="size of the sample fleet (default 3000)")
    parser.add_argument("--save-sample", metavar="FILE.parquet", help="also write the generated fleet")
    parser.add_argument(
        "--chunk-size",
        type=int,
        default=None,
        help=f"input positions per task, whole trips (default: a {TASKS}th of the input, "
        f"at least {MIN_CHUNK} and at most {MAX_CHUNK})",
    )
    args = parser.parse_args(argv)
    if any(value is not None and value < 1 for value in (args.workers, args.chunk_size, args.trips)):
        parser.error("--workers, --chunk-size and --trips must be at least 1")
    if not args.connect_timeout > 0:
        parser.error("--connect-timeout must be a positive number of seconds")
    return args


def run(args: argparse.Namespace) -> int:
    out = Path(args.out)
    # Every mistake that can be found before the work is found here: nothing is written yet.
    check_out(out, args.input)
    dataset = open_input(args.input) if args.input else None
    if args.save_sample:
        sample = Path(args.save_sample)
        if args.input or sample.is_dir() or not os.access(sample.resolve().parent, os.W_OK | os.X_OK):
            raise Mistake(
                f"--save-sample {sample}: expected a file name in a writable directory, and no input"
            )
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    workers = args.workers or 1
    way = "loop in this process" if workers == 1 else f"process pool of {workers}"
    client = pool = None
    if args.dask is None and workers > 1:
        pool = start_pool(workers)
    elif args.dask is not None:
        started = time.perf_counter()
        client = start_dask(args.dask, args.workers or cores, args.connect_timeout)
        threads = sum(client.nthreads().values())
        way = f"dask, {threads} worker threads"
        print(
            f"dask: {args.dask or 'LocalCluster'}, {len(client.nthreads())} workers, {threads} threads, "
            f"up in {time.perf_counter() - started:.2f} s"
        )
        if args.dask or importlib.util.find_spec("bokeh"):
            print(f"dask dashboard (progress, task stream, workers): {client.dashboard_link}")
    try:
        started = time.perf_counter()
        if dataset is not None:
            try:
                table = dataset.to_table(columns=INPUT_COLUMNS)
            except (pa.ArrowException, OSError) as error:
                raise Mistake(
                    f"cannot read {args.input} ({first_line(error)}); expected Parquet files only"
                ) from None
            source = args.input
        else:
            table = sample_fleet(args.trips)
            source = "sample fleet"
            if args.save_sample:
                pq.write_table(table, args.save_sample)
        fleet = prepare(table)
        del table
        trips, positions = len(fleet.trip_ids), len(fleet.rows)
        ready = time.perf_counter() - started
        print(f"{source}: {trips} trips, {positions} positions, read and sorted in {ready:.2f} s", flush=True)

        progress = Progress(trips)
        output = Output(out, progress)
        try:
            work = chunks(fleet, args.chunk_size or chunk_size(positions))
            cpu = time.process_time()
            started = time.perf_counter()
            if client is not None:
                run_dask(work, output, client)
            elif workers == 1:
                run_loop(work, output)
            else:
                run_pool(work, output, pool, workers)
            seconds = time.perf_counter() - started
            # Cores kept busy on average: this process, plus the tasks where they ran elsewhere.
            busy = time.process_time() - cpu + (output.cpu if client is not None or workers > 1 else 0.0)
            output.commit({"input": source, "trips": trips, "positions": positions, "points": output.rows})
        except BaseException:
            output.discard()
            raise
        finally:
            progress.close()
    finally:
        if pool is not None:
            pool.shutdown(wait=False, cancel_futures=True)  # after Ctrl-C, only the running chunks finish
        if client is not None:
            stop_dask(client)

    here = "" if args.dask else f" of {cores}"
    print(
        f"{way}: {trips / seconds:.0f} trips/s, {positions / seconds:.0f} positions/s "
        f"({seconds:.2f} s, {busy / seconds:.1f} cores busy{here})"
    )
    print(
        f"wrote {output.rows} points to {out}/points, {positions} route coordinates to {out}/positions, "
        f"{trips} trip summaries to {out}/trips; "
        f"{output.missing} positions without x, y or t left out, {output.removed} removed by the "
        f"order repair, {output.arcs} arcs, {output.unsolved} trips without an elastic band "
        "solution (kept unsmoothed)"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
