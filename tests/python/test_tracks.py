"""korvane_tracks: every ragged function equals the loop of per-path calls bit for bit, for any
number of workers; the band is the optimum of the method's problem; wrong columns are refused."""

import math

import clarabel
import korvane_frenet
import korvane_tracks as tracks
import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod
from scipy import sparse


def ragged(seed: int, count: int = 120):
    """Noisy drives of 0 to 600 points, short ones among them, some running backwards a while."""
    rng = np.random.default_rng(seed)
    sizes = np.where(rng.random(count) < 0.2, rng.integers(0, 5, count), rng.integers(5, 600, count))
    tracks_ = []
    for n in sizes:
        heading = np.cumsum(rng.normal(0, 0.05, n))
        steps = np.column_stack((np.cos(heading), np.sin(heading))) * rng.uniform(0.5, 2)
        points = np.cumsum(steps, axis=0) + rng.normal(0, 0.1, (n, 2))
        if n > 10:  # two points swapped: the path runs back between them
            i = rng.integers(1, n - 2)
            points[[i, i + 1]] = points[[i + 1, i]]
        tracks_.append(points.reshape(n, 2))
    return np.concatenate(tracks_), np.concatenate(([0], np.cumsum(sizes)))


POINTS, OFFSETS = ragged(1)
VALUES = np.column_stack((np.arange(len(POINTS)) * 0.1, np.sin(np.arange(len(POINTS)))))


def per_track(points=POINTS, offsets=OFFSETS):
    for a, b in zip(offsets[:-1], offsets[1:]):
        yield a, b, Path2D(points=points[a:b])


def rows(path: Path2D) -> np.ndarray:
    return path.points_np.reshape(-1, 2)


def repaired_loop():
    kept = []
    for a, b, path in per_track():
        index = path.add_associated_values(np.arange(b - a, dtype=np.float64))
        kept.append(a + path.repair_corrupted_point_order(1.5).associated_value_np(index).astype(np.int64))
    kept = np.concatenate(kept)
    return POINTS[kept], np.searchsorted(kept, OFFSETS), kept


def resampled_loop(interpolation, drop_last, values):
    method = ResamplingMethod.by_sampling_distance(0.7, drop_last)
    out, out_values, counts = [], [], []
    for a, b, path in per_track():
        handles = [path.add_associated_values(c) for c in values[a:b].T]
        resampled = path.resampled_path(method, interpolation)
        out.append(rows(resampled))
        out_values.append(np.column_stack([resampled.associated_value_np(h) for h in handles]))
        counts.append(len(out[-1]))
    return np.concatenate(out), np.concatenate(([0], np.cumsum(counts))), np.concatenate(out_values)


def segments_loop():
    found = [
        (s, e, k, i)
        for i, (a, b, p) in enumerate(per_track())
        for s, e, k in p.find_circle_segments(0, b - a)
    ]
    start, end, curvature, track = map(np.array, zip(*found))
    return start, end, curvature, track


NEAR = POINTS + np.random.default_rng(2).normal(0, 1.0, POINTS.shape)
CASES = {
    "repair_point_order": (
        lambda w: tracks.repair_point_order(POINTS, OFFSETS, 1.5, workers=w),
        repaired_loop,
    ),
    "resample linear, values": (
        lambda w: tracks.resample(POINTS, OFFSETS, 0.7, values=VALUES, workers=w),
        lambda: resampled_loop(InterpolationMethod.Linear, True, VALUES),
    ),
    "resample cubic to the end": (
        lambda w: tracks.resample(
            POINTS,
            OFFSETS.astype(np.int32),
            0.7,
            InterpolationMethod.Cubic,
            drop_last=False,
            values=VALUES[:, :1],
            workers=w,
        ),
        lambda: resampled_loop(InterpolationMethod.Cubic, False, VALUES[:, :1]),
    ),
    "quantities": (
        lambda w: tracks.quantities(POINTS, OFFSETS.tolist(), workers=w),
        lambda: [
            np.concatenate(
                [getattr(p, name).reshape(b - a, 1 + name.startswith("unit")) for a, b, p in per_track()]
            ).squeeze()
            for name in (
                "path_length_per_point_np",
                "orientation_np",
                "unit_tangent_vector_np",
                "curvature_np",
            )
        ],
    ),
    "circle_segments": (lambda w: tracks.circle_segments(POINTS, OFFSETS, workers=w), segments_loop),
    "to_frenet": (
        lambda w: tracks.to_frenet(POINTS, OFFSETS, NEAR, OFFSETS, max_distance=3.0, workers=w),
        lambda: [
            np.concatenate(c)
            for c in zip(
                *(korvane_frenet.to_frenet(p, NEAR[a:b], max_distance=3.0) for a, b, p in per_track())
            )
        ],
    ),
}


@pytest.mark.parametrize("name", CASES)
def test_each_track_is_answered_as_its_path_alone(name):
    ragged_call, loop = CASES[name]
    expected = loop()
    for workers in (1, 2):
        answer = ragged_call(workers)
        assert len(answer) == len(expected)
        for got, want in zip(answer, expected):
            assert got.dtype == np.asarray(want).dtype and got.flags.owndata
            np.testing.assert_array_equal(got, want, strict=True)


def objective(points: np.ndarray) -> float:
    return float(np.sum((points[:-2] - 2 * points[1:-1] + points[2:]) ** 2))


def clarabel_optimum(points: np.ndarray, band: float, method) -> np.ndarray:
    """The band problem in the offsets of the interior points, solved by Clarabel to 1e-14."""
    n = len(points)
    if method == ElasticBandMethod.OrthogonalBounds:
        theta = Path2D(points=points).orientation_np[1:-1]
        directions = [[(i + 1, band * np.array([math.sin(t), -math.cos(t)]))] for i, t in enumerate(theta)]
    else:
        directions = [[(i, np.array([band, 0.0]))] for i in range(1, n - 1)]
        directions += [[(i, np.array([0.0, band]))] for i in range(1, n - 1)]
    # Residuals: the second difference at each interior point k, both coordinates.
    m = np.zeros((2 * (n - 2), len(directions)))
    for v, ((at, w),) in enumerate(directions):
        for k, factor in ((at - 1, 1.0), (at, -2.0), (at + 1, 1.0)):
            if 1 <= k <= n - 2:
                m[2 * (k - 1) : 2 * k, v] += factor * w
    r = (points[:-2] - 2 * points[1:-1] + points[2:]).reshape(-1)
    size = len(directions)
    settings = clarabel.DefaultSettings()
    settings.verbose = False
    settings.tol_gap_abs = settings.tol_gap_rel = settings.tol_feas = 1e-14
    settings.max_iter = 500
    box = sparse.vstack([sparse.identity(size), -sparse.identity(size)]).tocsc()
    solver = clarabel.DefaultSolver(
        sparse.triu(sparse.csc_matrix(m.T @ m)).tocsc(),
        m.T @ r,
        box,
        np.ones(2 * size),
        [clarabel.NonnegativeConeT(2 * size)],
        settings,
    )
    d = np.clip(np.array(solver.solve().x), -1, 1)
    moved = points.copy()
    for v, ((at, w),) in enumerate(directions):
        moved[at] += d[v] * w
    return moved


@pytest.mark.parametrize("method", [ElasticBandMethod.OrthogonalBounds, ElasticBandMethod.SquareBounds])
def test_band_is_the_optimum_within_its_bounds(method):
    band = 0.15
    points, offsets = ragged(3, count=6)
    smooth, solved = tracks.smooth_band(points, offsets, band, method)
    assert solved.all()
    for a, b, path in per_track(points, offsets):
        if b - a < 3:
            np.testing.assert_array_equal(smooth[a:b], points[a:b])
            continue
        ours, given = smooth[a:b], points[a:b]
        moved = ours - given
        if method == ElasticBandMethod.OrthogonalBounds:
            theta = path.orientation_np
            normal = np.column_stack((np.sin(theta), -np.cos(theta)))
            along = np.sum(moved * normal, axis=1)
            assert np.all(np.abs(along) <= band * (1 + 1e-12))
            np.testing.assert_allclose(moved, along[:, None] * normal, rtol=0, atol=1e-12 * band)
        else:
            assert np.all(np.abs(moved) <= band * (1 + 1e-12))
        best = objective(clarabel_optimum(given, band, method))
        assert objective(ours) <= best * (1 + 1e-9)
        method_answer = rows(path.smoothed_path_elastic_band(band, method))
        assert objective(ours) <= objective(method_answer)
        assert np.max(np.abs(ours - method_answer)) < 1e-2


def test_band_solves_tracks_a_wide_band_leaves_nearly_straight():
    # Their optimum is tiny, where the interior point steps had stalled short of the tolerance.
    assert tracks.smooth_band(POINTS, OFFSETS, 10.0, ElasticBandMethod.SquareBounds)[1].all()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: tracks.quantities(POINTS[:10], [0, 5, 3, 10]),
            ValueError,
            r"offsets\[2\] is 3, below offsets\[1\] = 5",
        ),
        (
            lambda: tracks.quantities(POINTS[:10], np.array([2, 10])),
            ValueError,
            r"offsets\[0\] is 2: the first entry must be 0",
        ),
        (
            lambda: tracks.smooth_band(POINTS[:10], [0, 11, 10], 0.1),
            ValueError,
            r"offsets\[1\] is 11, beyond the 10 points",
        ),
        (
            lambda: tracks.circle_segments(POINTS[:10], [0, 9]),
            ValueError,
            r"offsets\[1\] is 9: the last entry must be the number of points, 10",
        ),
        (lambda: tracks.repair_point_order(POINTS[:10], []), ValueError, "offsets has no entry"),
        (lambda: tracks.resample(POINTS[:10], [0.0, 10.0], 1.0), TypeError, "argument 'offsets'"),
        (
            lambda: tracks.resample(POINTS[:10], [0, 10], 1.0, values=VALUES[:9]),
            ValueError,
            "values has 9 rows for 10 points",
        ),
        (
            lambda: tracks.resample(POINTS[:10], [0, 10], -1.0),
            ValueError,
            "track 0: sampling_distance must be",
        ),
        (
            lambda: tracks.to_frenet(POINTS[:10], [0, 10], POINTS[:10], [0, 4, 10]),
            ValueError,
            "there are 1 routes for 2 tracks",
        ),
        (
            lambda: tracks.to_frenet(POINTS[:10], [0, 12], POINTS[:10], [0, 10]),
            ValueError,
            r"route_offsets\[1\] is 12",
        ),
        (
            lambda: tracks.to_arrow(POINTS[:10], np.array([0, 5, 4, 10])),
            ValueError,
            r"offsets\[2\] is 4, below",
        ),
    ],
)
def test_wrong_columns_are_refused_naming_the_entry(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("interleaved", [True, False])
@pytest.mark.parametrize("offset_type", [np.int32, np.int64])
def test_arrow_round_trip_shares_memory_where_it_can(interleaved, offset_type):
    pa = pytest.importorskip("pyarrow")
    offsets = OFFSETS.astype(offset_type)
    array = tracks.to_arrow(POINTS, offsets, interleaved=interleaved)
    assert isinstance(array, pa.ListArray if offset_type == np.int32 else pa.LargeListArray)
    points, back = tracks.from_arrow(pa.chunked_array([array[:50], array[50:]]))
    np.testing.assert_array_equal(points, POINTS, strict=True)
    np.testing.assert_array_equal(back, offsets, strict=True)
    # Interleaved coordinates and the offsets travel without a copy, both ways.
    points, back = tracks.from_arrow(array)
    assert np.shares_memory(back, offsets) and np.shares_memory(points, POINTS) == interleaved
    tail_points, tail = tracks.from_arrow(array[7:])
    np.testing.assert_array_equal(tail_points, POINTS[OFFSETS[7] :])
    np.testing.assert_array_equal(tail, offsets[7:] - offsets[7])
