"""bench/_per_path_tracks.py: the column functions of korvane_tracks as a Python loop of the
per-path korvane calls they equal, one call per track: the peer the benchmarks time them against.

Many tracks come as ragged columns: `points`, an (N, 2) float64 array, and `offsets`, T + 1
non-decreasing integers from 0 to N (track i is points[offsets[i]:offsets[i + 1]]). Each function gives, for every track, exactly what the
per-path korvane call gives, concatenated in track order; `workers` is accepted and ignored.
"""

from __future__ import annotations

import math
from typing import NamedTuple

import korvane
import korvane_frenet
import numpy as np


class Quantities(NamedTuple):
    s: np.ndarray  # path_length_per_point_np
    heading: np.ndarray  # orientation_np
    tangent: np.ndarray  # unit_tangent_vector_np, (N, 2)
    curvature: np.ndarray  # curvature_np


class FrenetColumns(NamedTuple):
    s: np.ndarray
    d: np.ndarray
    distance: np.ndarray
    segment: np.ndarray  # of each track's own route: 0 is the first segment of route i


class CircleSegments(NamedTuple):
    start: np.ndarray  # int64, index of the first point within its track
    end: np.ndarray  # int64, one past the last point within its track
    curvature: np.ndarray
    track: np.ndarray  # int64, the track of each segment


def _columns(points, offsets) -> tuple[np.ndarray, np.ndarray]:
    points = np.asarray(points, dtype=np.float64)
    offsets = np.asarray(offsets)
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"expected points of shape (N, 2), got {points.shape}")
    if offsets.ndim != 1 or not len(offsets) or not np.issubdtype(offsets.dtype, np.integer):
        raise ValueError("expected offsets as a 1-D integer array of T + 1 entries")
    if offsets[0] != 0 or offsets[-1] != len(points) or np.any(np.diff(offsets) < 0):
        raise ValueError("expected offsets non-decreasing from 0 to the number of points")
    return points, offsets.astype(np.int64, copy=False)


def _paths(points, offsets):
    points, offsets = _columns(points, offsets)
    for a, b in zip(offsets[:-1].tolist(), offsets[1:].tolist()):
        yield a, b, korvane.Path2D(points=points[a:b])


def _offsets(counts) -> np.ndarray:
    return np.concatenate(([0], np.cumsum(counts, dtype=np.int64)))


def _points(path: korvane.Path2D) -> np.ndarray:
    return path.points_np.reshape(-1, 2)  # an empty path gives shape (0, 0)


def _cat(arrays: list, empty: np.ndarray) -> np.ndarray:
    return np.concatenate(arrays) if arrays else empty


def repair_point_order(points, offsets, sus_angle=2.8, *, workers=1):
    """(points, offsets, kept): each track's `repair_corrupted_point_order(sus_angle)`; `kept`
    holds the int64 indices, into the whole input `points`, of the points kept."""
    kept = []
    for a, b, path in _paths(points, offsets):
        index = path.add_associated_values(np.arange(b - a, dtype=np.float64))
        kept.append(
            a + path.repair_corrupted_point_order(sus_angle).associated_value_np(index).astype(np.int64)
        )
    points, offsets = _columns(points, offsets)
    kept = _cat(kept, np.zeros(0, np.int64))
    # Each track keeps its points in order, so the kept indices increase throughout.
    return points[kept], np.searchsorted(kept, offsets).astype(np.int64), kept


def resample(
    points,
    offsets,
    sampling_distance,
    interpolation=korvane.InterpolationMethod.Linear,
    *,
    drop_last=True,
    values=None,
    workers=1,
):
    """(points, offsets, values): each track's `resampled_path(ResamplingMethod.by_sampling_distance(
    sampling_distance, drop_last), interpolation)`; `values`, an (N, k) float64 array, carried as
    k associated value lists (None gives None)."""
    method = korvane.ResamplingMethod.by_sampling_distance(sampling_distance, drop_last)
    if values is not None:
        values = np.asarray(values, dtype=np.float64)
    out_points, out_values, counts = [], [], []
    for a, b, path in _paths(points, offsets):
        handles = [] if values is None else [path.add_associated_values(column) for column in values[a:b].T]
        resampled = path.resampled_path(method, interpolation)
        out_points.append(_points(resampled))
        counts.append(len(out_points[-1]))
        if values is not None:
            columns = [resampled.associated_value_np(h) for h in handles]
            out_values.append(np.column_stack(columns) if columns else np.zeros((counts[-1], 0)))
    result_values = None if values is None else _cat(out_values, np.zeros((0, values.shape[1])))
    return _cat(out_points, np.zeros((0, 2))), _offsets(counts), result_values


def quantities(points, offsets, *, workers=1) -> Quantities:
    """Each track's path_length_per_point_np, orientation_np, unit_tangent_vector_np and
    curvature_np."""
    columns: list[list] = [[], [], [], []]
    for _, _, path in _paths(points, offsets):
        columns[0].append(path.path_length_per_point_np)
        columns[1].append(path.orientation_np)
        columns[2].append(path.unit_tangent_vector_np.reshape(-1, 2))
        columns[3].append(path.curvature_np)
    empty = np.zeros(0)
    return Quantities(*(_cat(c, empty.reshape(0, 2) if i == 2 else empty) for i, c in enumerate(columns)))


def smooth_band(
    points, offsets, max_deviation, elastic_band_type=korvane.ElasticBandMethod.OrthogonalBounds, *, workers=1
):
    """(points, solved): each track's `smoothed_path_elastic_band(max_deviation, elastic_band_type)`,
    and where that has no solution (solved False) the track's input points."""
    out, solved = [], []
    for a, b, path in _paths(points, offsets):
        band = path.smoothed_path_elastic_band(max_deviation, elastic_band_type)
        solved.append(band is not None)
        out.append(_points(band) if band is not None else np.asarray(points[a:b], dtype=np.float64))
    return _cat(out, np.zeros((0, 2))), np.array(solved, dtype=bool)


def to_frenet(
    route_points, route_offsets, points, offsets, *, max_distance=math.inf, workers=1
) -> FrenetColumns:
    """Per track i, korvane_frenet.to_frenet of its points on route i."""
    points, offsets = _columns(points, offsets)
    routes = list(_paths(route_points, route_offsets))
    if len(routes) != len(offsets) - 1:
        raise ValueError("expected as many routes as tracks")
    parts = [
        korvane_frenet.to_frenet(route, points[a:b], max_distance=max_distance)
        for (_, _, route), a, b in zip(routes, offsets[:-1], offsets[1:])
    ]
    empty = np.zeros(0)
    return FrenetColumns(
        *(_cat([p[i] for p in parts], empty if i < 3 else empty.astype(np.int64)) for i in range(4))
    )


def circle_segments(points, offsets, max_rmse=0.15, *, workers=1) -> CircleSegments:
    """(start, end, curvature, track): each track's `find_circle_segments(0, n, max_rmse)`, n its
    number of points (an empty track gives its one empty segment (0, 0, 0.0) as that does)."""
    rows, track = [], []
    for i, (a, b, path) in enumerate(_paths(points, offsets)):
        segments = path.find_circle_segments(0, b - a, max_rmse)
        rows.extend(segments)
        track.extend([i] * len(segments))
    table = np.array([(a, b) for a, b, _ in rows], dtype=np.int64).reshape(-1, 2)
    curvature = np.array([k for _, _, k in rows], dtype=np.float64)
    return CircleSegments(table[:, 0].copy(), table[:, 1].copy(), curvature, np.array(track, dtype=np.int64))
