"""The fleet job per trip: korvane-fleet's loop against the fleet example's per-trip loop, which it
replaced, both on the built-in sample (about 300 positions a trip) and timed in alternating rounds.

    python bench_fleet.py              # 300 trips; --trips N for another size

Both sides take the same sorted chunks and write their three tables as Parquet, as each writes
them in a run: the peer is the example's process_trip and process_chunk, kept here as they were,
with one file per chunk and table. The points and positions they give are checked equal (the
summaries too, but for what korvane-fleet now leaves null). Then a profile of korvane-fleet's
chunk work: the share of each column call of korvane_tracks per trip.
"""

import argparse
import math
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

import korvane
import korvane_frenet
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from _side_by_side import side_by_side
from _timing import RatioTable
from korvane_fleet import inputs, work
from korvane_fleet.output import Output

TARGET = 1 / 8


# --- the peer: the fleet example's per-trip work, as it was -----------------------------------


class PeerChunk(NamedTuple):
    index: int
    trip_ids: np.ndarray
    offsets: np.ndarray
    rows: np.ndarray
    t: np.ndarray
    x: np.ndarray
    y: np.ndarray
    origins: np.ndarray | None
    id_type: pa.DataType
    time_type: pa.DataType


def process_trip(x, y, t, rows):
    valid = np.isfinite(x) & np.isfinite(y) & np.isfinite(t)
    recorded_rows, recorded_xy = rows, np.column_stack((x, y))
    missing_rows, rows = rows[~valid], rows[valid]
    x, y, t = x[valid], y[valid], t[valid]
    origin_x, origin_y = (x[0], y[0]) if len(x) else (0.0, 0.0)
    recorded = korvane.Path2D(x=x - origin_x, y=y - origin_y)
    time_handle = recorded.add_associated_values(t)
    row_handle = recorded.add_associated_values(rows.astype(np.float64))
    repaired = recorded.repair_corrupted_point_order()
    removed_rows = np.setdiff1d(rows, repaired.associated_value_np(row_handle).astype(np.int64))
    every_metre = korvane.ResamplingMethod.by_sampling_distance(work.SPACING)
    metre = repaired.resampled_path(every_metre, korvane.InterpolationMethod.Cubic)
    linear = repaired.resampled_path(every_metre, korvane.InterpolationMethod.Linear)
    times = np.maximum.accumulate(linear.associated_value_np(time_handle))
    band = metre.smoothed_path_elastic_band(work.MAX_DEVIATION)
    final = band if band is not None else metre
    heading = final.orientation_np
    n = len(heading)
    segments = final.find_circle_segments(0, n, work.MAX_RMSE) if n else []
    bounds = np.array([(a, b) for a, b, _ in segments], dtype=np.int64).reshape(-1, 2)
    unsigned = np.array([k for _, _, k in segments], dtype=np.float64)
    turning = np.unwrap(heading)
    signed = unsigned * np.sign(turning[bounds[:, 1] - 1] - turning[bounds[:, 0]])
    sizes = bounds[:, 1] - bounds[:, 0]
    curvature = np.repeat(unsigned, sizes)
    points = {
        "s": final.path_length_per_point_np,
        "x": final.x_np + origin_x,
        "y": final.y_np + origin_y,
        "t": times,
        "heading": heading,
        "curvature": curvature,
        "signed_curvature": np.repeat(signed, sizes),
    }
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
        "arcs": int(np.count_nonzero(unsigned > work.ARC)),
        "max_curvature": float(unsigned.max(initial=0.0)),
    }
    return points, positions, summary


def process_chunk(chunk):
    points, positions, summary = {}, {}, {}
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
    columns["t"] = work.time_column(columns["t"], origins, chunk.time_type)
    table = pa.table({"trip_id": pa.array(np.repeat(chunk.trip_ids, counts), type=chunk.id_type), **columns})
    recorded = pa.table(
        {
            "trip_id": pa.array(np.repeat(chunk.trip_ids, np.diff(chunk.offsets)), type=chunk.id_type),
            **{name: np.concatenate(arrays) for name, arrays in positions.items()},
        }
    )
    summary_columns = {name: pa.array(values) for name, values in summary.items()}
    for name in ("start", "end"):
        summary_columns[name] = work.time_column(np.array(summary[name]), chunk.origins, chunk.time_type)
    trips = pa.table({"trip_id": pa.array(chunk.trip_ids, type=chunk.id_type), **summary_columns})
    return table, recorded, trips


def peer_run(chunks, folder: Path) -> list:
    results = []
    for chunk in chunks:
        tables = process_chunk(chunk)
        for name, table in zip(("points", "positions", "trips"), tables):
            part = folder / name / f"part-{chunk.index:05d}.parquet"
            part.parent.mkdir(parents=True, exist_ok=True)
            pq.write_table(table, part)
        results.append(tables)
    return results


# --- korvane-fleet's loop ---------------------------------------------------------------------


def our_run(chunks, folder: Path) -> list:
    output = Output(folder / "out", "bench")
    results = []
    for chunk in chunks:
        result = work.process_chunk(chunk)
        output.put(result, chunk.index)
        results.append(result)
    output.commit({})
    return results


# The band now comes from korvane_tracks' solver, at the optimum, where the peer's Clarabel stops
# at 1e-4: what follows from the smoothed points agrees to millimetres (the curvature of the
# circle segments, whose bounds may move by a point, is not compared). Everything else is equal,
# and the runners of korvane-fleet write the same bytes (tests/python/test_fleet.py).
NEAR = {"x": 0.01, "y": 0.01, "s": 0.05, "heading": 0.05, "d": 0.05, "length": 0.05, "mean_speed": 0.05}
UNCOMPARED = {"curvature", "signed_curvature", "arcs", "max_curvature", "max_speed", "time_still"}


def check_equal(ours: list, peer: list) -> None:
    nulled = {"duration", "length", "mean_speed", "band_solved", "arcs", "max_curvature"}
    for result, (points, positions, trips) in zip(ours, peer):
        for mine, theirs in ((result.points, points), (result.positions, positions), (result.trips, trips)):
            for name in theirs.column_names:
                a, b = mine.column(name), theirs.column(name)
                if name in nulled:
                    a, b = a.filter(a.is_valid()), b.filter(a.is_valid())
                if name in UNCOMPARED:
                    continue
                if name in NEAR:
                    a, b = a.to_numpy(zero_copy_only=False), b.to_numpy(zero_copy_only=False)
                    gap = np.abs(a - b)
                    if name == "heading":
                        gap = np.minimum(gap, 2 * math.pi - gap)
                    # A recorded position halfway between two stretches of its route may find
                    # its nearest point on the other one: about one in 1,000.
                    apart = np.mean(~((gap <= NEAR[name]) | (np.isnan(a) & np.isnan(b))))
                    assert apart <= 5e-3, (name, apart)
                else:
                    assert a.equals(b), name


class Timed:
    """The column module's functions, each adding its time to a tally."""

    def __init__(self, module, tally: dict):
        self.module, self.tally = module, tally

    def __getattr__(self, name):
        function = getattr(self.module, name)

        def timed(*args, **kwargs):
            start = time.perf_counter()
            try:
                return function(*args, **kwargs)
            finally:
                self.tally[name] = self.tally.get(name, 0.0) + time.perf_counter() - start

        return timed


def profile(chunks, trips: int, folder: Path) -> None:
    tally: dict = {}
    plain, work.tracks = work.tracks, Timed(work.tracks, tally)
    try:
        start = time.perf_counter()
        output = Output(folder / "profiled", "bench")
        for chunk in chunks:
            chunk_start = time.perf_counter()
            result = work.process_chunk(chunk)
            tally["(chunk work)"] = tally.get("(chunk work)", 0.0) + time.perf_counter() - chunk_start
            write_start = time.perf_counter()
            output.put(result, chunk.index)
            tally["Parquet writing"] = tally.get("Parquet writing", 0.0) + time.perf_counter() - write_start
        output.commit({})
        total = time.perf_counter() - start
    finally:
        work.tracks = plain
    calls = sum(v for k, v in tally.items() if not k.startswith("(") and k != "Parquet writing")
    tally["glue (NumPy and Arrow around the calls)"] = tally.pop("(chunk work)") - calls
    print(
        f"\nWhere korvane-fleet's loop spends a trip ({plain.__name__}), {total / trips * 1e3:.2f} ms in all:"
    )
    for name, seconds in sorted(tally.items(), key=lambda item: -item[1]):
        print(f"  {name:42s} {seconds / trips * 1e3:7.3f} ms  {100 * seconds / total:5.1f} %")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trips", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    fleet = inputs.prepare(inputs.sample_fleet(args.trips))
    chunks = list(inputs.chunks(fleet, inputs.chunk_size(len(fleet.rows))))
    peer_chunks = [
        PeerChunk(c.index, c.trip_ids.to_numpy(), *c[2:8], c.trip_ids.type, c.time_type) for c in chunks
    ]
    trips = len(fleet.trip_ids)
    print(
        f"sample fleet: {trips} trips, {len(fleet.rows) / trips:.0f} positions a trip, {len(chunks)} chunks"
    )
    with tempfile.TemporaryDirectory() as scratch:
        rounds = iter(range(10**6))

        def folder() -> Path:
            path = Path(scratch) / str(next(rounds))
            path.mkdir()
            return path

        check_equal(our_run(chunks, folder()), peer_run(peer_chunks, folder()))  # and both warmed up
        ours, peer = side_by_side(
            lambda: our_run(chunks, folder()), lambda: peer_run(peer_chunks, folder()), rounds=args.rounds
        )
        table = RatioTable(f"The fleet job per trip, {trips} sample trips (machine shared and loaded)")
        table.add(
            f"korvane-fleet loop, per trip ({work.tracks.__name__})",
            ours / trips,
            peer / trips,
            TARGET,
            "the fleet example's per-trip loop",
        )
        table.print()
        profile(chunks, trips, folder())


if __name__ == "__main__":
    main()
