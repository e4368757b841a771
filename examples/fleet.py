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

Per trip: the positions are sorted by time (equal times keep their input order), the point
order is repaired (t and the input row number travel along as associated values), the path is resampled every metre (cubic), smoothed by the elastic band (0.15 m) and
split into circle segments. Two Parquet datasets are written, one file per chunk of trips:
OUT/points (trip_id, s, x, y, t, curvature: the smoothed path) and OUT/trips (one summary row
per trip). A trip whose band has no solution keeps its resampled geometry and has band_solved
false. The three ways of running write the same files, byte for byte.

Needs the fleet extra: pip install '.[fleet]' (pandas, pyarrow, dask[distributed], tqdm).
"""

from __future__ import annotations

import argparse
import importlib.util
import math
import multiprocessing
import os
import sys
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
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

SPACING = 1.0  # m between resampled points
MAX_DEVIATION = 0.15  # m the elastic band may move a point: a few times the position noise
MAX_RMSE = 0.05  # m, radial misfit allowed in one circle segment
ARC = 1 / 100  # 1/m: segments curving more than this (radius below 100 m) count as arcs
CHUNK_POSITIONS = 30_000  # input positions per task: about 100 drives, a few tenths of a second

INPUT_COLUMNS = ["trip_id", "t", "x", "y"]


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
    trips: pa.Table
    cpu: float


def process_chunk(chunk: Chunk) -> Result:
    """Processes the trips of a chunk into the points table and the per-trip summary."""
    cpu = time.process_time()
    points: dict[str, list[np.ndarray]] = {name: [] for name in ("s", "x", "y", "t", "curvature")}
    summary = []
    for i in range(len(chunk.trip_ids)):
        trip = slice(chunk.offsets[i], chunk.offsets[i + 1])
        x, y, t, rows = chunk.x[trip], chunk.y[trip], chunk.t[trip], chunk.rows[trip]
        # A position with a missing coordinate or time would make the whole trip NaN.
        valid = np.isfinite(x) & np.isfinite(y) & np.isfinite(t)
        recorded = korvane.Path2D(x=x[valid], y=y[valid])
        time_handle = recorded.add_associated_values(t[valid])
        row_handle = recorded.add_associated_values(rows[valid].astype(np.float64))
        repaired = recorded.repair_corrupted_point_order()
        removed_rows = np.setdiff1d(rows, repaired.associated_value_np(row_handle).astype(np.int64))
        metre = repaired.resampled_path(
            korvane.ResamplingMethod.by_sampling_distance(SPACING), korvane.InterpolationMethod.Cubic
        )
        band = metre.smoothed_path_elastic_band(MAX_DEVIATION)
        final = band if band is not None else metre
        xs = final.x_np
        n = len(xs)
        segments = final.find_circle_segments(0, n, MAX_RMSE) if n else []
        # The per-point circle-fit curvature is that of the point's segment: no second fit needed.
        curvature = np.repeat(
            np.array([k for _, _, k in segments], dtype=np.float64), [b - a for a, b, _ in segments]
        )
        points["s"].append(final.path_length_per_point_np)
        points["x"].append(xs)
        points["y"].append(final.y_np)
        points["t"].append(metre.associated_value_np(time_handle))  # the band keeps the point count
        points["curvature"].append(curvature)
        summary.append(
            (
                len(rows),
                n,
                len(removed_rows),
                removed_rows,
                final.length,
                band is not None,
                sum(1 for _, _, k in segments if k > ARC),
                float(curvature.max(initial=0.0)),
            )
        )

    columns = {name: np.concatenate(arrays) for name, arrays in points.items()}
    counts = [len(s) for s in points["s"]]
    origins = None if chunk.origins is None else np.repeat(chunk.origins, counts)
    table = pa.table(
        {
            "trip_id": pa.array(np.repeat(chunk.trip_ids, counts), type=chunk.id_type),
            "s": columns["s"],
            "x": columns["x"],
            "y": columns["y"],
            "t": time_column(columns["t"], origins, chunk.time_type),
            "curvature": columns["curvature"],
        }
    )
    names = (
        "points_in",
        "points_out",
        "removed",
        "removed_rows",
        "length",
        "band_solved",
        "arcs",
        "max_curvature",
    )
    types = (
        pa.int64(),
        pa.int64(),
        pa.int64(),
        pa.list_(pa.int64()),
        pa.float64(),
        pa.bool_(),
        pa.int64(),
        pa.float64(),
    )
    trips = pa.table(
        {
            "trip_id": pa.array(chunk.trip_ids, type=chunk.id_type),
            **{name: pa.array(values, type=kind) for name, kind, values in zip(names, types, zip(*summary))},
        }
    )
    return Result(table, trips, time.process_time() - cpu)


def time_column(seconds: np.ndarray, origins: np.ndarray | None, time_type: pa.DataType) -> pa.Array:
    """Float seconds back to the input's time type: timestamps are rounded to their unit."""
    if origins is None:
        return pa.array(seconds, type=time_type)
    ticks = origins + np.rint(seconds * UNITS[time_type.unit]).astype(np.int64)
    return pa.array(ticks, type=pa.int64()).cast(time_type)


# --- reading and splitting the input, in the driver -------------------------------------------


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


UNITS = {"s": 1, "ms": 10**3, "us": 10**6, "ns": 10**9}  # ticks per second of a timestamp


def plain(column: pa.ChunkedArray) -> pa.Array:
    """One array without dictionary encoding (a partition column of a dataset has it)."""
    array = column.combine_chunks()
    return array.dictionary_decode() if pa.types.is_dictionary(array.type) else array


def prepare(table: pa.Table) -> Fleet:
    """Sorts the positions by trip and time (numpy.lexsort) and finds where the trips start."""
    import pandas

    missing = [name for name in INPUT_COLUMNS if name not in table.column_names]
    if missing:
        raise SystemExit(f"the input lacks {', '.join(missing)}; needed: {', '.join(INPUT_COLUMNS)}")
    ids, times = plain(table.column("trip_id")), plain(table.column("t"))
    if ids.null_count:
        raise SystemExit("the input has rows without a trip_id")
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


def run_pool(work: Iterator[Chunk], write: Write, workers: int) -> None:
    # Fresh interpreters: forking a parent whose Arrow thread pools run can deadlock the child.
    context = multiprocessing.get_context("forkserver" if sys.platform == "linux" else "spawn")
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        pending: dict = {}
        for chunk in work:
            pending[pool.submit(process_chunk, chunk)] = chunk.index
            # A few chunks in flight per worker keep it busy; more would only hold memory.
            while len(pending) >= 2 * workers:
                done, _ = wait(pending, return_when=FIRST_COMPLETED)
                for future in done:
                    write(future.result(), pending.pop(future))
        for future, index in pending.items():
            write(future.result(), index)


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


def start_dask(address: str, workers: int):
    """A client of the scheduler at `address`, or of a new LocalCluster of `workers` processes."""
    import logging

    from distributed import Client, LocalCluster

    if address:
        return Client(address)
    # One thread per worker: a korvane call holds the interpreter lock, so threads would queue.
    # The dashboard needs bokeh (in the fleet extra); without it the port would serve nothing.
    dashboard = ":8787" if importlib.util.find_spec("bokeh") else None
    cluster = LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        dashboard_address=dashboard,
        silence_logs=logging.ERROR,
    )
    return Client(cluster)


def stop_dask(client) -> None:
    cluster = client.cluster  # None for a scheduler found at an address: that one keeps running
    client.close()
    if cluster is not None:
        cluster.close()


# --- the command ------------------------------------------------------------------------------


class Output:
    """Writes each chunk's tables as OUT/points/part-NNNNN.parquet and OUT/trips/part-NNNNN.parquet."""

    def __init__(self, folder: Path, progress):
        self.points, self.trips = folder / "points", folder / "trips"
        for directory in (self.points, self.trips):
            directory.mkdir(parents=True, exist_ok=True)
            for stale in directory.glob("part-*.parquet"):  # from an earlier, larger run
                stale.unlink()
        self.progress = progress
        self.rows = self.unsolved = self.removed = self.arcs = 0
        self.cpu = 0.0

    def __call__(self, result: Result, index: int) -> None:
        pq.write_table(result.points, self.points / f"part-{index:05d}.parquet")
        pq.write_table(result.trips, self.trips / f"part-{index:05d}.parquet")
        trips = result.trips
        self.rows += result.points.num_rows
        self.unsolved += trips.num_rows - pc.sum(trips.column("band_solved").cast(pa.int64())).as_py()
        self.removed += pc.sum(trips.column("removed")).as_py()
        self.arcs += pc.sum(trips.column("arcs")).as_py()
        self.cpu += result.cpu
        self.progress.update(trips.num_rows)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
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
    parser.add_argument("--trips", type=int, default=3000, help="size of the sample fleet (default 3000)")
    parser.add_argument("--save-sample", metavar="FILE.parquet", help="also write the generated fleet")
    parser.add_argument(
        "--chunk-size",
        type=int,
        default=CHUNK_POSITIONS,
        help=f"input positions per task, whole trips (default {CHUNK_POSITIONS})",
    )
    args = parser.parse_args(argv)
    if min(1 if args.workers is None else args.workers, args.chunk_size, args.trips) < 1:
        parser.error("--workers, --chunk-size and --trips must be at least 1")
    import tqdm  # here: a worker process that loads this script needs no progress bar

    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    started = time.perf_counter()
    if args.input:
        table = pq.read_table(args.input, columns=INPUT_COLUMNS)
        source = args.input
    else:
        table = sample_fleet(args.trips)
        source = "sample fleet"
        if args.save_sample:
            pq.write_table(table, args.save_sample)
    fleet = prepare(table)
    del table
    trips = len(fleet.trip_ids)
    ready = time.perf_counter() - started
    print(f"{source}: {trips} trips, {len(fleet.rows)} positions, read and sorted in {ready:.2f} s")

    client = None
    if args.dask is not None:
        started = time.perf_counter()
        client = start_dask(args.dask, args.workers or cores)
        threads = sum(client.nthreads().values())
        print(
            f"dask: {args.dask or 'LocalCluster'}, {len(client.nthreads())} workers, {threads} threads, "
            f"up in {time.perf_counter() - started:.2f} s"
        )
        if args.dask or importlib.util.find_spec("bokeh"):
            print(f"dask dashboard (progress, task stream, workers): {client.dashboard_link}")
        way = f"dask, {threads} worker threads"
    else:
        workers = args.workers or 1
        way = "loop in this process" if workers == 1 else f"process pool of {workers}"

    try:
        with tqdm.tqdm(total=trips, unit="trip", disable=None, smoothing=0.1) as progress:
            output = Output(Path(args.out), progress)
            work = chunks(fleet, args.chunk_size)
            cpu = time.process_time()
            started = time.perf_counter()
            if client is not None:
                run_dask(work, output, client)
            elif workers == 1:
                run_loop(work, output)
            else:
                run_pool(work, output, workers)
            seconds = time.perf_counter() - started
            # Cores kept busy on average: this process, plus the tasks where they ran elsewhere.
            busy = time.process_time() - cpu + (output.cpu if client is not None or workers > 1 else 0.0)
    finally:
        if client is not None:
            stop_dask(client)

    here = "" if args.dask else f" of {cores}"
    print(
        f"{way}: {trips / seconds:.0f} trips/s, {len(fleet.rows) / seconds:.0f} positions/s "
        f"({seconds:.2f} s, {busy / seconds:.1f} cores busy{here})"
    )
    print(
        f"wrote {output.rows} points to {args.out}/points, {trips} trip summaries to {args.out}/trips; "
        f"{output.removed} positions removed by the order repair, {output.arcs} arcs, "
        f"{output.unsolved} trips without an elastic band solution (kept unsmoothed)"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
