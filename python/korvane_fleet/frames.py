"""korvane_fleet/frames.py: the fleet job's work as functions from DataFrame columns to columns, for
dask.dataframe.map_partitions over frames of one's own (each partition holding whole trips).

Each takes a pandas DataFrame with the columns trip_id, t, x and y (as korvane-fleet's input)
and returns one of its three tables as a DataFrame. Nothing but arrays and frames crosses into
the workers: the functions are sent by name, and korvane's paths live only inside a call.
"""

from __future__ import annotations

import numpy as np

from .inputs import INPUT_COLUMNS, check_types, chunks, prepare
from .work import Result, process_chunk


def process_frame(frame, lonlat: bool = False) -> Result:
    """All three tables of the trips in `frame`, as Arrow tables (the rows named by position)."""
    import pyarrow as pa

    table = pa.Table.from_pandas(frame[INPUT_COLUMNS], preserve_index=False)
    check_types(table.schema)
    fleet = prepare(table, degrees=lonlat)
    return process_chunk(next(chunks(fleet, max(len(fleet.rows), 1))))


def points(frame, lonlat: bool = False):
    """The smoothed paths: a row per point (trip_id, s, x, y, t, heading, curvature,
    signed_curvature)."""
    return process_frame(frame, lonlat).points.to_pandas()


def positions(frame, lonlat: bool = False):
    """The route coordinates of each row of `frame` on its trip's smoothed path (trip_id, s, d),
    with the frame's own index, in its row order."""
    table = process_frame(frame, lonlat).positions.sort_by("row").drop_columns("row").to_pandas()
    table.index = frame.index
    return table


def trips(frame, lonlat: bool = False):
    """A summary row per trip; missing_rows and removed_rows hold labels of the frame's index."""
    import pyarrow as pa

    summary = process_frame(frame, lonlat).trips
    labels = frame.index.to_numpy()
    for name in ("missing_rows", "removed_rows"):
        rows = summary.column(name).combine_chunks()
        named = pa.ListArray.from_arrays(rows.offsets, pa.array(labels[np.asarray(rows.flatten())]))
        summary = summary.set_column(summary.schema.get_field_index(name), name, named)
    return summary.to_pandas()
