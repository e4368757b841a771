"""korvane_fleet/cli.py: the command korvane-fleet.

korvane-fleet                          # a generated fleet of 3000 drives, one core
korvane-fleet --workers 2              # the same in a process pool of 2 workers
korvane-fleet --dask                   # on a dask LocalCluster on this machine
korvane-fleet --dask tcp://host:8786   # on a running dask cluster
korvane-fleet trips.parquet --out results
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import signal
import sys
import time
from pathlib import Path

from . import STOPS, Mistake, Stopped, stop

PROG = "korvane-fleet"
EXTRA = ("pyarrow", "tqdm")  # what a run needs of the fleet extra; --dask also needs distributed
DESCRIPTION = (
    "Many recordings: Parquet in, korvane on every trip, Parquet out, on one core, a process pool or dask."
)
EPILOG = """\
The input is a Parquet file or dataset in long format, one row per position: trip_id, t (seconds
or a timestamp), x and y in metres (longitude and latitude in degrees with --lonlat), in any row
order. Written to OUT: points/ (the smoothed paths), positions/ (route coordinates of every input
row; with --network also the edge it was matched to) and trips/ (a summary row per trip; with
--network also the edges it drove), with OUT/_SUCCESS once complete. Exit status 2 for a
mistake found before any work (nothing written), 130 for Ctrl-C, 1 for a failure; OUT is left as
it was unless the run finished. Needs the fleet extra: pip install 'korvane[fleet]'."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str):
        raise Mistake(f"{message} (see --help)")  # one line, not the usage


def main(argv: list[str] | None = None) -> int:
    out = None
    # SIGTERM and SIGHUP end the run as Ctrl-C does: the staging folder and the lock are removed.
    for signum in STOPS:
        signal.signal(signum, stop)
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
    except Stopped as stopped:
        print(
            f"{PROG}: stopped by {stopped}; {out or 'the output'} is as it was before the run",
            file=sys.stderr,
        )
        return 128 + stopped.signum
    except Exception as error:
        from .inputs import first_line

        print(
            f"{PROG}: failed ({type(error).__name__}: {first_line(error)}); {out} is as it was before the run",
            file=sys.stderr,
        )
        return 1


def missing_extra(dask: bool = False) -> list[str]:
    return [
        name
        for name in (*EXTRA, *(("distributed",) if dask else ()))
        if importlib.util.find_spec(name) is None
    ]


def parse(argv: list[str] | None) -> argparse.Namespace:
    absent = missing_extra()
    epilog = EPILOG
    if absent:
        epilog += f"\n\nNot installed here: {', '.join(absent)}; pip install 'korvane[fleet]' installs what it needs."
    parser = Parser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("input", nargs="?", help="Parquet file or dataset directory (default: a sample)")
    parser.add_argument("--out", default="fleet-out", help="output directory (default fleet-out)")
    parser.add_argument(
        "--lonlat",
        action="store_true",
        help="x and y are longitude and latitude (WGS84, degrees): each trip is worked on in a "
        "transverse Mercator frame around its first position, and points/ gives degrees again",
    )
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
        help="input positions per task, whole trips (default: a 32nd of the input, at least 20000 and at most 100000)",
    )
    parser.add_argument(
        "--network",
        metavar="FILE",
        help="a Parquet file of road edges in the positions' metres (geometry, source, target, "
        "two_way): each position gets its edge, reversed, s_edge and d_edge, each trip its route",
    )
    parser.add_argument(
        "--match-sigma",
        type=float,
        default=5.0,
        metavar="M",
        help="with --network, the noise of a position in metres (default 5)",
    )
    parser.add_argument(
        "--plausible-speed",
        type=float,
        default=100.0,
        metavar="M/S",
        help="trips whose max_speed or mean_speed exceeds this are counted as implausible in the summary (default 100)",
    )
    args = parser.parse_args(argv)
    if any(value is not None and value < 1 for value in (args.workers, args.chunk_size, args.trips)):
        parser.error("--workers, --chunk-size and --trips must be at least 1")
    if args.network and args.lonlat:
        parser.error("--network takes x and y in the network's metres, not --lonlat")
    for name in ("connect_timeout", "plausible_speed", "match_sigma"):
        if not getattr(args, name) > 0:
            parser.error(f"--{name.replace('_', '-')} must be a positive number")
    absent = missing_extra(dask=args.dask is not None)
    if absent:
        raise Mistake(
            f"needs {', '.join(absent)}, of the fleet extra; install it with: pip install 'korvane[fleet]'"
        )
    return args


def run(args: argparse.Namespace) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from . import inputs, output, runners

    out = Path(args.out)
    # Every mistake that can be found before the work is found here: nothing is written yet.
    output.check_out(out, args.input)
    dataset = inputs.open_input(args.input) if args.input else None
    roads = None
    if args.network:
        from .network import Roads, load

        roads = Roads(load(args.network), args.match_sigma)
    if args.save_sample:
        sample = Path(args.save_sample)
        if args.input or sample.is_dir() or not os.access(sample.resolve().parent, os.W_OK | os.X_OK):
            raise Mistake(
                f"--save-sample {sample}: expected a file name in a writable directory, and no input"
            )
    label = output.run_label()
    lock = output.Lock(out)
    lock.acquire(label)
    staged = None
    client = pool = None
    try:
        cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
        workers = args.workers or 1
        way = "loop in this process" if workers == 1 else f"process pool of {workers}"
        if args.dask is None and workers > 1:
            pool = runners.start_pool(workers, roads)
        elif args.dask is not None:
            started = time.perf_counter()
            client = runners.start_dask(args.dask, args.workers or cores, args.connect_timeout)
            threads = sum(client.nthreads().values())
            way = f"dask, {threads} worker threads"
            print(
                f"dask: {args.dask or 'LocalCluster'}, {len(client.nthreads())} workers, {threads} threads, "
                f"up in {time.perf_counter() - started:.2f} s"
            )
            if args.dask or importlib.util.find_spec("bokeh"):
                print(f"dask dashboard (progress, task stream, workers): {client.dashboard_link}")

        started = time.perf_counter()
        if dataset is not None:
            try:
                table = dataset.to_table(columns=inputs.INPUT_COLUMNS)
            except (pa.ArrowException, OSError) as error:
                raise Mistake(
                    f"cannot read {args.input} ({inputs.first_line(error)}); expected Parquet files only"
                ) from None
            source = args.input
        else:
            table = inputs.sample_fleet(args.trips)
            source = "sample fleet"
        fleet = inputs.prepare(table, degrees=args.lonlat)
        if args.save_sample:
            pq.write_table(table, args.save_sample)
        del table
        trips, positions = len(fleet.trip_ids), len(fleet.rows)
        ready = time.perf_counter() - started
        print(f"{source}: {trips} trips, {positions} positions, read and sorted in {ready:.2f} s", flush=True)

        tally = Tally(trips, args.plausible_speed)
        try:
            staged = output.Output(out, label, tally)
            if staged.leftovers:
                print(f"{PROG}: warning: {staged.leftovers}", file=sys.stderr)
            work = inputs.chunks(fleet, args.chunk_size or inputs.chunk_size(positions))
            cpu = time.process_time()
            started = time.perf_counter()
            if client is not None:
                runners.run_dask(work, staged, client, roads)
            elif workers == 1:
                runners.run_loop(work, staged, roads)
            else:
                runners.run_pool(work, staged, pool, workers)
            seconds = time.perf_counter() - started
            # Cores kept busy on average: this process, plus the tasks where they ran elsewhere.
            busy = time.process_time() - cpu + (tally.cpu if client is not None or workers > 1 else 0.0)
            staged.commit({"input": source, "trips": trips, "positions": positions, "points": tally.rows})
        finally:
            tally.close()
    finally:
        if staged is not None:
            staged.discard()
        if pool is not None:
            # After a stop only the running chunks finish; waited for here, before the last line
            # is printed, so that no worker's end (its pipe to this process closing, a traceback
            # seen once in some 50 stopped runs) comes after it. The exit would wait for them too.
            pool.shutdown(wait=True, cancel_futures=True)
        if client is not None:
            runners.stop_dask(client)
        lock.release()

    here = "" if args.dask else f" of {cores}"
    print(
        f"{way}: {trips / seconds:.0f} trips/s, {positions / seconds:.0f} positions/s "
        f"({seconds:.2f} s, {busy / seconds:.1f} cores busy{here})"
    )
    print(f"wrote {tally.rows} points to {out}/points, {positions} route coordinates to {out}/positions, "
          f"{trips} trip summaries to {out}/trips; {tally.account()}")  # fmt: skip
    return 0


class Tally:
    """Counts what the results hold, and shows progress: tqdm's bar on a terminal; in a log file
    or pipe a line at least every 10 % or 10 s."""

    def __init__(self, trips: int, plausible_speed: float):
        import tqdm  # here: a worker process that loads this package needs no progress bar

        self.bar = tqdm.tqdm(total=trips, unit="trip", smoothing=0.1) if sys.stderr.isatty() else None
        self.trips, self.done, self.positions = trips, 0, 0
        self.started = self.shown = time.perf_counter()
        self.next_tenth = 1
        self.plausible_speed = plausible_speed
        self.rows = 0
        self.cpu = 0.0
        self.counts = dict.fromkeys(("missing", "removed", "arcs", "unsolved", "short", "fast", "still"), 0)

    def add(self, result) -> None:
        import pyarrow.compute as pc

        trips = result.trips
        total = lambda name: pc.sum(trips.column(name)).as_py() or 0  # noqa: E731
        self.rows += result.points.num_rows
        self.cpu += result.cpu
        self.counts["missing"] += total("missing")
        self.counts["removed"] += total("removed")
        self.counts["arcs"] += total("arcs")
        self.counts["unsolved"] += pc.sum(pc.invert(trips.column("band_solved")).cast("int64")).as_py() or 0
        self.counts["short"] += trips.column("band_solved").null_count
        speed = pc.max_element_wise(trips.column("max_speed"), trips.column("mean_speed"))
        fast = pc.greater(speed, self.plausible_speed)
        self.counts["fast"] += pc.sum(fast.cast("int64")).as_py() or 0
        self.counts["still"] += pc.sum(pc.greater(trips.column("time_still"), 0).cast("int64")).as_py() or 0
        self.update(trips.num_rows, total("points_in"))

    def account(self) -> str:
        c = self.counts
        return (
            f"{c['missing']} positions without x, y or t left out, {c['removed']} removed by the order "
            f"repair, {c['arcs']} arcs, {c['unsolved']} trips without an elastic band solution (kept "
            f"unsmoothed), {c['short']} trips too short to smooth (fewer than 3 points; null summaries), "
            f"{c['fast']} trips faster than {self.plausible_speed:g} m/s somewhere, "
            f"{c['still']} trips whose time stands still while they move"
        )

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
