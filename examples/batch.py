"""Many paths in parallel: a standard-library process pool and, where installed, dask.bag.

    python examples/batch.py                  # 10^4 generated recordings
    python examples/batch.py --paths 2000     # fewer, for a quick look

Each recording is repaired, resampled every metre, smoothed by the elastic band and split into
circle segments. A Path2D cannot be pickled, so the work items are the coordinates as NumPy
arrays: each worker builds its own Path2D from them (Path2D(points=array) reads the array
directly) and sends back a small tuple of plain numbers. Prints paths per second for 1, 2 and
all cores.
"""

from __future__ import annotations

import argparse
import math
import os
import resource
import time
from collections.abc import Callable, Iterable
from concurrent.futures import ProcessPoolExecutor
from typing import NamedTuple

# Reached as korvane.X inside the work function: dask pickles a function of the main script by
# value, with the globals it names, and korvane's classes cannot be pickled; a module can.
import korvane
import numpy as np


class Summary(NamedTuple):
    """What one worker sends back for one recording: plain numbers, cheap to pickle."""

    points: int
    removed: int
    length: float
    smoothed: bool
    arcs: int
    max_curvature: float


def recordings(count: int, seed: int = 1) -> list[np.ndarray]:
    """`count` simulated drives as (n, 2) float64 arrays of 150 to 450 points.

    Each drive chains straight and circular pieces (radius 8 to 60 m), is logged at a varying
    speed with 3 cm of noise, and has about one pair of points in 200 logged out of order.
    """
    rng = np.random.default_rng(seed)
    paths = []
    for _ in range(count):
        n = int(rng.integers(150, 450))
        step = 0.3 * (1.0 + 0.4 * np.sin(np.linspace(0.0, rng.uniform(2, 8), n)))  # m between points
        pieces = rng.integers(3, 8)
        bounds = np.sort(rng.choice(np.arange(1, n - 1), size=pieces - 1, replace=False))
        curvature = np.repeat(
            rng.choice([0.0, 1.0], pieces) * rng.uniform(-1 / 8, 1 / 8, pieces),
            np.diff(np.concatenate(([0], bounds, [n]))),
        )
        heading = rng.uniform(-math.pi, math.pi) + np.cumsum(curvature * step)
        xy = np.cumsum(np.column_stack((np.cos(heading), np.sin(heading))) * step[:, None], axis=0)
        xy += rng.normal(0.0, 0.03, xy.shape)
        for i in rng.choice(np.arange(1, n - 2), size=n // 200, replace=False):
            xy[[i, i + 1]] = xy[[i + 1, i]]
        paths.append(np.ascontiguousarray(xy))
    return paths


def process(points: np.ndarray) -> Summary:
    """The per-path work, run inside a worker."""
    recorded = korvane.Path2D(points=points)
    repaired = recorded.repair_corrupted_point_order()
    metre = repaired.resampled_path(
        korvane.ResamplingMethod.by_sampling_distance(1.0), korvane.InterpolationMethod.Cubic
    )
    smooth = metre.smoothed_path_elastic_band(0.15, korvane.ElasticBandMethod.OrthogonalBounds)
    final = smooth if smooth is not None else metre
    n = len(final.x_np)
    segments = final.find_circle_segments(0, n, 0.05)
    arcs = sum(1 for _, _, k in segments if k > 1 / 100)
    return Summary(
        len(recorded.x_np),
        len(recorded.x_np) - len(repaired.x_np),
        final.length,
        smooth is not None,
        arcs,
        float(np.max(np.abs(final.curvature_np), initial=0.0)),
    )


def warm_up() -> None:
    """Loads NumPy, SciPy's LAPACK and Clarabel in this process, so the timings leave them out."""
    process(recordings(1, seed=0)[0])


def serial(paths: list[np.ndarray], workers: int) -> list[Summary]:
    return [process(p) for p in paths]


def process_pool(paths: list[np.ndarray], workers: int) -> list[Summary]:
    chunk = max(1, len(paths) // (workers * 16))
    with ProcessPoolExecutor(max_workers=workers, initializer=warm_up) as pool:
        return list(pool.map(process, paths, chunksize=chunk))


def dask_bag(paths: list[np.ndarray], workers: int) -> list[Summary]:
    import dask.bag

    bag = dask.bag.from_sequence(paths, npartitions=workers * 16)
    return bag.map(process).compute(scheduler="processes", num_workers=workers)


def cpu_seconds() -> float:
    """CPU time of this process and of its finished (joined) worker processes."""
    own, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + children.ru_utime + children.ru_stime


def measure(
    name: str,
    run: Callable[[list[np.ndarray], int], list[Summary]],
    paths: list[np.ndarray],
    cores: Iterable[int],
    reference: list[Summary] | None,
) -> list[Summary]:
    for workers in cores:
        cpu = cpu_seconds()
        start = time.perf_counter()
        results = run(paths, workers)
        seconds = time.perf_counter() - start
        # Cores kept busy on average: below the worker count when other programs share the machine.
        busy = (cpu_seconds() - cpu) / seconds
        same = "" if reference is None or results == reference else "  RESULTS DIFFER"
        print(
            f"  {name:<22} {workers} core{'s' if workers > 1 else ' '}  {len(paths) / seconds:9.0f} paths/s"
            f"  ({seconds:6.2f} s, {busy:.1f} cores busy){same}"
        )
        reference = reference or results
    return reference


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--paths", type=int, default=10_000, help="number of recordings (default 10000)")
    parser.add_argument("--no-dask", action="store_true", help="skip dask.bag even if it is installed")
    args = parser.parse_args()

    available = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    cores = sorted({1, min(2, available), available})
    start = time.perf_counter()
    paths = recordings(args.paths)
    points = sum(len(p) for p in paths)
    print(
        f"{len(paths)} recordings, {points} points, generated in {time.perf_counter() - start:.2f} s; "
        f"{available} cores available"
    )
    print("per path: repair order, resample every 1 m (Cubic), elastic band 0.15 m, circle segments")
    warm_up()

    print("standard library")
    reference = measure("loop in this process", serial, paths, [1], None)
    reference = measure("ProcessPoolExecutor", process_pool, paths, [c for c in cores if c > 1], reference)
    if args.no_dask:
        print("dask.bag: skipped (--no-dask)")
    else:
        try:
            import dask.bag  # noqa: F401
        except ImportError:
            print("dask.bag: dask is not installed (pip install 'dask[bag]' to compare); skipped")
        else:
            print("dask.bag, processes scheduler")
            measure("dask.bag", dask_bag, paths, cores, reference)

    removed = sum(r.removed for r in reference)
    failed = sum(not r.smoothed for r in reference)
    arcs = sum(r.arcs for r in reference)
    print(
        f"results: {removed} points removed by the repair, {arcs} arcs found, "
        f"{failed} elastic bands without a solution, "
        f"{sum(r.length for r in reference) / 1e3:.1f} km of smoothed path"
    )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
