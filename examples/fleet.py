"""A fleet in a few column calls: Parquet in, every trip smoothed, Parquet out.

    python examples/fleet.py                            # a sample fleet of 300 drives
    python examples/fleet.py trips.parquet points.parquet

The input has a row per position: trip_id, t (seconds or a timestamp), x and y in metres, in any
row order. Read, group into trips, work on all trips at once, write: every step after the
grouping takes the whole fleet as two columns, the points (n, 2) and the offsets where each trip
starts (korvane_tracks). The command korvane-fleet does the
same job in chunks, on a process pool or dask, with route coordinates, trip summaries and every
check: pip install 'korvane[fleet]'.
"""

from __future__ import annotations

import sys
import time

import korvane
import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
from korvane_fleet.inputs import sample_fleet
from korvane_fleet.work import tracks


def read(source: str | None) -> pa.Table:
    return sample_fleet(300) if source is None else pq.read_table(source, columns=["trip_id", "t", "x", "y"])


def group(table: pa.Table):
    """Sorted by trip, then time; complete positions only. Returns the trip ids, the offsets,
    the points relative to each trip's first one and that origin, t in seconds since each trip's
    start and that start."""
    t = table.column("t")
    stamped = pa.types.is_timestamp(t.type)
    seconds = t.cast(pa.timestamp("ms")).cast(pa.int64()).to_numpy() / 1e3 if stamped else t.to_numpy()
    trip = table.column("trip_id").to_numpy()
    xy = np.column_stack([table.column(c).to_numpy() for c in ("x", "y")]).astype(np.float64)
    complete = np.isfinite(xy).all(axis=1) & np.isfinite(seconds)
    order = np.flatnonzero(complete)[np.lexsort((seconds[complete], trip[complete]))]
    trip, xy, seconds = trip[order], xy[order], seconds[order]
    starts = np.flatnonzero(np.r_[True, trip[1:] != trip[:-1]])
    offsets = np.r_[starts, len(trip)]
    # Relative to the first position: at UTM-sized coordinates the band would lose millimetres.
    origin, start = xy[starts], seconds[starts]
    xy = xy - np.repeat(origin, np.diff(offsets), axis=0)
    seconds = seconds - np.repeat(start, np.diff(offsets))
    return trip[starts], offsets, xy, origin, seconds, start


def smooth(offsets: np.ndarray, xy: np.ndarray, seconds: np.ndarray) -> dict:
    """Every trip at once: repair, resample every metre, elastic band, quantities, circle fits."""
    xy, offsets, kept = tracks.repair_point_order(xy, offsets)
    cubic, linear = korvane.InterpolationMethod.Cubic, korvane.InterpolationMethod.Linear
    metre, out, _ = tracks.resample(xy, offsets, 1.0, cubic)
    # Time from a linear resampling at the same arc lengths: a cubic can run backwards in time.
    _, _, times = tracks.resample(xy, offsets, 1.0, linear, values=seconds[kept, None])
    band, solved = tracks.smooth_band(metre, out, 0.15)
    s, heading, _, _ = tracks.quantities(band, out)
    start, end, curvature, _ = tracks.circle_segments(band, out, 0.05)
    # Each point gets the curvature of the circle segment it lies in.
    return {
        "offsets": out,
        "solved": solved,
        "xy": band,
        "t": times[:, 0],
        "s": s,
        "heading": heading,
        "curvature": np.repeat(curvature, end - start),
    }


def write(path: str, trip_ids, origin: np.ndarray, start: np.ndarray, smoothed: dict, stamped: bool) -> None:
    counts = np.diff(smoothed["offsets"])
    xy = smoothed["xy"] + np.repeat(origin, counts, axis=0)
    t = smoothed["t"] + np.repeat(start, counts)
    if stamped:
        t = pa.array(np.rint(t * 1e3).astype(np.int64)).cast(pa.timestamp("ms"))
    columns = {
        "trip_id": np.repeat(trip_ids, counts),
        "s": smoothed["s"],
        "x": xy[:, 0],
        "y": xy[:, 1],
        "t": t,
    }
    columns.update({name: smoothed[name] for name in ("heading", "curvature")})
    pq.write_table(pa.table(columns), path)


def main(argv: list[str]) -> int:
    source, target = (argv + [None, None])[:2]
    started = time.perf_counter()
    table = read(source)
    trip_ids, offsets, xy, origin, seconds, start = group(table)
    smoothed = smooth(offsets, xy, seconds)
    if target:
        write(target, trip_ids, origin, start, smoothed, pa.types.is_timestamp(table.column("t").type))
    elapsed = time.perf_counter() - started
    print(
        f"{len(trip_ids)} trips, {len(xy)} positions, {len(smoothed['s'])} points out, "
        f"{np.count_nonzero(~smoothed['solved'])} bands without a solution; {elapsed:.2f} s, "
        f"{elapsed / max(len(trip_ids), 1) * 1e3:.2f} ms a trip"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1:]))
