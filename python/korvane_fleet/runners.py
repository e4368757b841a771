"""korvane_fleet/runners.py: three ways to run the chunks (a loop, a process pool, dask); each hands
every result to the output, which writes them in chunk order, so all three write the same bytes."""

from __future__ import annotations

import contextlib
import importlib.util
import multiprocessing
import signal
import sys
from collections.abc import Iterator
from concurrent.futures import FIRST_COMPLETED, ProcessPoolExecutor, wait

from . import STOPS, Mistake, stop
from .inputs import Chunk, first_line
from .work import MAX_DEVIATION, process_chunk


def run_loop(work: Iterator[Chunk], output, roads=None) -> None:
    for chunk in work:
        output.put(process_chunk(chunk, roads), chunk.index)


def run_pool(work: Iterator[Chunk], output, pool: ProcessPoolExecutor, workers: int) -> None:
    pending: dict = {}
    with signals_between_waits() as noted:

        def write_done() -> None:
            while True:
                done, _ = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                if noted:
                    stop(noted[0])
                if done:
                    break
            for future in done:
                output.put(future.result(), pending.pop(future))

        for chunk in work:
            if noted:
                stop(noted[0])
            pending[pool.submit(process_chunk_in_worker, chunk)] = chunk.index
            # A few chunks in flight per worker keep it busy; more would only hold memory.
            while len(pending) + output.held >= 2 * workers:
                write_done()
        while pending:
            write_done()


@contextlib.contextmanager
def signals_between_waits() -> Iterator[list[int]]:
    """The stopping signals noted, for the caller to raise between its waits on the pool. Raised
    by a handler, the exception can strike while this thread takes the locks of the futures it
    waits on, and leave one held: the pool's own thread then waits for that lock, and the exit
    for the pool's thread, for ever (seen about once in 200 interrupted runs)."""
    noted: list[int] = []
    previous = {signum: signal.signal(signum, lambda signum, _: noted.append(signum)) for signum in STOPS}
    try:
        yield noted
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def start_pool(workers: int, roads=None) -> ProcessPoolExecutor:
    """A process pool whose workers start while this process reads and sorts the input. Each
    worker receives the road network once, when it starts, not with every chunk."""
    # Fresh interpreters: forking a parent whose Arrow thread pools run can deadlock the child.
    context = multiprocessing.get_context("forkserver" if sys.platform == "linux" else "spawn")
    pool = ProcessPoolExecutor(workers, context, initializer=start_worker, initargs=(roads,))
    for _ in range(workers):
        pool.submit(int)  # each task that finds no idle worker starts one
    return pool


_worker_roads = None  # the network a pool worker matches to, set as it starts


def start_worker(roads=None) -> None:
    global _worker_roads
    _worker_roads = roads
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C reaches the workers too: it is the driver's
    import korvane

    # korvane loads SciPy and Clarabel on the first elastic band: here, before the first chunk.
    korvane.Path2D(x=[0.0, 1.0, 2.0], y=[0.0, 1.0, 0.0]).smoothed_path_elastic_band(MAX_DEVIATION)


def process_chunk_in_worker(chunk: Chunk):
    return process_chunk(chunk, _worker_roads)


def run_dask(work: Iterator[Chunk], output, client, roads=None) -> None:
    from distributed import as_completed

    if roads is not None:  # sent to every worker once, not with every task
        roads = client.scatter(roads, broadcast=True)
    window = 2 * sum(client.nthreads().values())
    pending: dict = {}
    running = as_completed()
    for chunk in work:
        # Not pure: hashing the arrays for a key would only cost time.
        future = client.submit(process_chunk, chunk, roads, pure=False)
        pending[future] = chunk.index
        running.add(future)
        while running.count() + output.held >= window:
            done = next(running)
            output.put(done.result(), pending.pop(done))
    for done in running:
        output.put(done.result(), pending.pop(done))
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
