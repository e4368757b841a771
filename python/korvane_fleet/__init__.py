"""korvane_fleet: the fleet job. Parquet in, korvane on every trip, Parquet out, on one core, a
process pool or dask; the command korvane-fleet (korvane_fleet.cli).

Needs the fleet extra: pip install 'korvane[fleet]'. korvane_fleet.frames has the same work as
functions from DataFrame columns to columns, for dask.dataframe.map_partitions.
"""


class Mistake(Exception):
    """A mistake in the command line or the input, found before any work: exit status 2."""
