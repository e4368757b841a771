"""korvane_fleet: the fleet job. Parquet in, korvane on every trip, Parquet out, on one core, a
process pool or dask; the command korvane-fleet (korvane_fleet.cli).

Needs the fleet extra: pip install 'korvane[fleet]'. korvane_fleet.frames has the same work as
functions from DataFrame columns to columns, for dask.dataframe.map_partitions.
"""

import signal


class Mistake(Exception):
    """A mistake in the command line or the input, found before any work: exit status 2."""


STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)  # each ends the run the same way


class Stopped(BaseException):
    """SIGTERM or SIGHUP reached the run: like Ctrl-C's KeyboardInterrupt, no Exception, so that
    nothing on the way out takes it for a failure of its own."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def stop(signum: int, frame=None) -> None:
    if signum == signal.SIGINT:
        raise KeyboardInterrupt
    raise Stopped(signum)
