# src/python/korvane_frenet.pyi: type information for the module korvane_frenet
#
# Installed as the stub-only package korvane_frenet-stubs. Function docstrings are the module's
# own (tests/python/test_stubs.py compares them).

from typing import Any, Final, SupportsIndex, final

import numpy as np
from _typeshed import structseq

# korvane's own aliases, so that both modules accept the same inputs (a pandas Series, shapely
# coordinates, ...); they exist only in its stub.
from korvane import Path2D, _Array1D, _Float, _Floats, _Points

__all__ = ["FrenetCoordinates", "from_frenet", "to_frenet"]

@final
class FrenetCoordinates(
    structseq[Any], tuple[_Array1D, _Array1D, _Array1D, np.ndarray[tuple[int], np.dtype[np.int64]]]
):
    """Route coordinates of points: arrays s, d, distance and segment, one entry per point."""

    __match_args__: Final = ("s", "d", "distance", "segment")
    @property
    def s(self) -> _Array1D:
        """arc length at the nearest point of the path"""
    @property
    def d(self) -> _Array1D:
        """signed distance to it, positive to the left of the direction of travel"""
    @property
    def distance(self) -> _Array1D:
        """distance to it"""
    @property
    def segment(self) -> np.ndarray[tuple[int], np.dtype[np.int64]]:
        """index of the segment holding it, -1 where there is none"""

def to_frenet(
    path: Path2D, points: _Points, *, max_distance: _Float = ..., workers: SupportsIndex = 1
) -> FrenetCoordinates:
    """to_frenet(path, points, *, max_distance=math.inf, workers=1)

    Route coordinates of many points at once: for each point, its nearest point on the path,
    counting every segment from end to end (vertices and both ends included).

    Where two segments are equally near, the one of lower index holds the point. At a vertex or
    an end, the side follows the directions of travel into and out of the vertex: the point is
    left when it lies on the side of their two left normals added, so a point outside a left
    turn is right and one inside it left; at an end (or a reversal) the side is that of the
    line of the segment into the vertex, else out of it, and a point on that line is left.

    Points farther than max_distance, points with a NaN or infinite coordinate, points nearest
    to a segment past a NaN point of the path and every point of a path of fewer than two
    points give NaN values and segment -1. Coordinates of any finite magnitude are answered.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param path: The path
    :param points: The points, (m, 2) array-like
    :param max_distance: Largest distance matched
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type path: Path2D
    :type points: list[list[float]] | numpy.ndarray
    :type max_distance: float
    :type workers: int

    :returns: Arc length s at the nearest point, signed offset d (positive to the left of the
        direction of travel), distance (|d|) and the index of the segment holding the nearest
        point (int64), one array entry per point
    :rtype: FrenetCoordinates
    """

def from_frenet(
    path: Path2D, s: _Float | _Floats, d: _Float | _Floats = 0.0, *, workers: SupportsIndex = 1
) -> np.ndarray[tuple[int, int], np.dtype[np.float64]]:
    """from_frenet(path, s, d=0.0, *, workers=1)

    Points at route coordinates: the point at arc length s, linear along the segment holding
    it (a vertex belongs to the segment that leaves it, as in resampling), moved by d along
    that segment's left unit normal.

    Arc lengths below 0 extrapolate along the first segment, and beyond the path's length
    along the last (segments of zero length passed over). A scalar s or d is repeated for every
    row. A NaN input gives a NaN row, as does every row of a path without a segment of
    non-zero length.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param path: The path
    :param s: Arc lengths, a float or 1-D array-like
    :param d: Signed offsets, positive to the left, a float or 1-D array-like
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type path: Path2D
    :type s: float | list[float] | numpy.ndarray
    :type d: float | list[float] | numpy.ndarray
    :type workers: int

    :returns: The points, one row per s and d
    :rtype: numpy.ndarray
    """
