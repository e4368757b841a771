"""korvane_tracks against the Python loop of the per-path calls each function equals, one worker,
timed in alternating rounds: 1,000 trips of 300 points, and the band (both methods) on the fleet
sample's trips and on one long track against smoothed_path_elastic_band.

    python bench_tracks.py              # --trips N --points N for other sizes
"""

import argparse

import _per_path_tracks as loop
import korvane
import korvane_tracks as tracks
import numpy as np
from _side_by_side import side_by_side
from _timing import RatioTable
from korvane import InterpolationMethod

TARGET = 0.5
BAND_TARGET = 1 / 50


def drives(trips: int, points: int, seed: int = 1) -> tuple[np.ndarray, np.ndarray]:
    """Noisy drives of `points` points a metre apart, turning slowly, one after the other."""
    rng = np.random.default_rng(seed)
    heading = np.cumsum(rng.normal(0, 0.03, (trips, points)), axis=1)
    steps = np.stack((np.cos(heading), np.sin(heading)), axis=-1)
    xy = np.cumsum(steps, axis=1) + rng.normal(0, 0.05, (trips, points, 2))
    return xy.reshape(-1, 2), np.arange(0, trips * points + 1, points)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--trips", type=int, default=1000)
    parser.add_argument("--points", type=int, default=300)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    points, offsets = drives(args.trips, args.points)
    near = points + np.random.default_rng(2).normal(0, 0.5, points.shape)
    cubic = InterpolationMethod.Cubic
    calls = {
        "repair_point_order": lambda m: m.repair_point_order(points, offsets),
        "resample, linear": lambda m: m.resample(points, offsets, 1.0),
        "resample, cubic": lambda m: m.resample(points, offsets, 1.0, cubic),
        "quantities": lambda m: m.quantities(points, offsets),
        "circle_segments": lambda m: m.circle_segments(points, offsets, 0.05),
        "to_frenet": lambda m: m.to_frenet(points, offsets, near, offsets),
    }
    table = RatioTable(
        f"korvane_tracks on {args.trips} trips of {args.points} points, one worker (machine shared and loaded)"
    )
    for name, call in calls.items():
        ours, peer = side_by_side(lambda: call(tracks), lambda: call(loop), rounds=args.rounds)
        table.add(name, ours, peer, TARGET, "loop of per-path calls")

    from korvane_fleet import inputs, work

    # The fleet sample's trips as the job smooths them: resampled every metre.
    fleet = inputs.prepare(inputs.sample_fleet(100))
    xy = np.column_stack((fleet.x, fleet.y))
    metre, metre_offsets, _ = tracks.resample(xy - xy.min(axis=0), fleet.starts, work.SPACING, cubic)
    deviation = work.MAX_DEVIATION
    long, long_offsets = drives(1, 27_000, seed=3)
    path = korvane.Path2D(points=long)
    # Both methods: SquareBounds is two box problems, solved by other steps than OrthogonalBounds.
    for name in ("OrthogonalBounds", "SquareBounds"):
        method = getattr(korvane.ElasticBandMethod, name)
        ours, peer = side_by_side(
            lambda: tracks.smooth_band(metre, metre_offsets, deviation, method),
            lambda: loop.smooth_band(metre, metre_offsets, deviation, method),
            rounds=2,
        )
        table.add(
            f"smooth_band {name}, 100 sample trips",
            ours,
            peer,
            BAND_TARGET,
            "smoothed_path_elastic_band per trip",
        )
        ours, peer = side_by_side(
            lambda: tracks.smooth_band(long, long_offsets, deviation, method),
            lambda: path.smoothed_path_elastic_band(deviation, method),
            rounds=1,
        )
        table.add(
            f"smooth_band {name}, one track of 27,000 points",
            ours,
            peer,
            BAND_TARGET,
            "smoothed_path_elastic_band",
        )
    table.print()


if __name__ == "__main__":
    main()
