# src/python/korvane_tracks.pyi: type information for the module korvane_tracks
#
# Installed as the stub-only package korvane_tracks-stubs. Function docstrings are the module's
# own (tests/python/test_stubs.py compares them).

from typing import Any, Final, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt
from _typeshed import structseq

# korvane's own aliases, so that every module accepts the same inputs; they exist only in its
# stub.
from korvane import ElasticBandMethod, InterpolationMethod, _Array1D, _Bool, _Float, _Points, _SequenceLike

__all__ = [
    "CircleSegments",
    "FrenetColumns",
    "Quantities",
    "circle_segments",
    "from_arrow",
    "quantities",
    "repair_point_order",
    "resample",
    "smooth_band",
    "to_arrow",
    "to_frenet",
]

# Offsets of a ragged column: T + 1 integers as a list, tuple, range or 1-D NumPy array.
_Offsets: TypeAlias = _SequenceLike[SupportsIndex] | npt.NDArray[Any]
# A new float64 NumPy array of shape (n, 2), owning its data, (0, 2) when there are no points.
_Rows: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float64]]
# A new int64 NumPy array of shape (n,), owning its data.
_Int64: TypeAlias = np.ndarray[tuple[int], np.dtype[np.int64]]

@final
class Quantities(structseq[Any], tuple[_Array1D, _Array1D, _Rows, _Array1D]):
    """Per-point quantities of tracks: arrays s, heading, tangent and curvature, one row per point."""

    __match_args__: Final = ("s", "heading", "tangent", "curvature")
    @property
    def s(self) -> _Array1D:
        """arc length from the track's first point"""
    @property
    def heading(self) -> _Array1D:
        """heading in radians"""
    @property
    def tangent(self) -> _Rows:
        """unit tangent, (N, 2)"""
    @property
    def curvature(self) -> _Array1D:
        """signed curvature, positive turning left"""

@final
class FrenetColumns(structseq[Any], tuple[_Array1D, _Array1D, _Array1D, _Int64]):
    """Route coordinates of the points of tracks: arrays s, d, distance and segment, one row per point."""

    __match_args__: Final = ("s", "d", "distance", "segment")
    @property
    def s(self) -> _Array1D:
        """arc length at the nearest point of the track's route"""
    @property
    def d(self) -> _Array1D:
        """signed distance to it, positive to the left of the direction of travel"""
    @property
    def distance(self) -> _Array1D:
        """distance to it"""
    @property
    def segment(self) -> _Int64:
        """index of the route's segment holding it, -1 where there is none"""

@final
class CircleSegments(structseq[Any], tuple[_Int64, _Int64, _Array1D, _Int64]):
    """Circle segments of tracks: arrays start, end, curvature and track, one row per segment."""

    __match_args__: Final = ("start", "end", "curvature", "track")
    @property
    def start(self) -> _Int64:
        """index of the segment's first point within its track"""
    @property
    def end(self) -> _Int64:
        """index one past its last point within its track"""
    @property
    def curvature(self) -> _Array1D:
        """curvature of its circle, 1 / radius"""
    @property
    def track(self) -> _Int64:
        """the track it belongs to"""

def repair_point_order(
    points: _Points, offsets: _Offsets, sus_angle: _Float = 2.8, *, workers: SupportsIndex = 1
) -> tuple[_Rows, _Int64, _Int64]:
    """repair_point_order(points, offsets, sus_angle=2.8, *, workers=1)

    Repairs the point order of every track: each track keeps the points that
    Path2D(points=track).repair_corrupted_point_order(sus_angle) keeps, in order.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param sus_angle: Turns of at least this angle (radians) are suspicious
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type sus_angle: float
    :type workers: int

    :returns: The points kept (M, 2), their offsets (int64) and the indices (int64) of the
        points kept, into the whole of `points`
    :rtype: tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]
    """

def resample(
    points: _Points,
    offsets: _Offsets,
    sampling_distance: _Float,
    interpolation: InterpolationMethod = ...,
    *,
    drop_last: _Bool = True,
    values: _Points | None = None,
    workers: SupportsIndex = 1,
) -> tuple[_Rows, _Int64, _Rows | None]:
    """resample(points, offsets, sampling_distance, interpolation=InterpolationMethod.Linear, *, drop_last=True, values=None, workers=1)

    Resamples every track equidistantly: each track becomes the points of
    Path2D(points=track).resampled_path(ResamplingMethod.by_sampling_distance(sampling_distance,
    drop_last), interpolation), and each column of `values` is resampled with it as an
    associated value list is. A track that path would refuse (a sampling distance that is not
    positive, a length that is not finite) is a ValueError naming the first such track.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param sampling_distance: Distance between the new points, along each track
    :param interpolation: Interpolation over arc length
    :param drop_last: Whether a shorter last step to each track's end is left out
    :param values: Per-point values to carry along, (N, k) array-like, or None
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type sampling_distance: float
    :type interpolation: InterpolationMethod
    :type drop_last: bool
    :type values: list[list[float]] | numpy.ndarray | None
    :type workers: int

    :returns: The new points (M, 2), their offsets (int64) and their values (M, k), or None
        when no values were given
    :rtype: tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray | None]
    """

def quantities(points: _Points, offsets: _Offsets, *, workers: SupportsIndex = 1) -> Quantities:
    """quantities(points, offsets, *, workers=1)

    The per-point quantities of every track: for each track, the path_length_per_point_np,
    orientation_np, unit_tangent_vector_np and curvature_np of Path2D(points=track), one
    after the other in each column.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type workers: int

    :returns: Arc length s from each track's start, heading, unit tangent (N, 2) and signed
        curvature, one row per point
    :rtype: Quantities
    """

def smooth_band(
    points: _Points,
    offsets: _Offsets,
    max_deviation: _Float,
    elastic_band_type: ElasticBandMethod = ...,
    *,
    workers: SupportsIndex = 1,
) -> tuple[_Rows, np.ndarray[tuple[int], np.dtype[np.bool_]]]:
    """smooth_band(points, offsets, max_deviation, elastic_band_type=ElasticBandMethod.OrthogonalBounds, *, workers=1)

    Smooths every track by the elastic band of Path2D.smoothed_path_elastic_band: the same
    objective, end points and bounds (from the same headings), solved by a dedicated method
    for this problem instead of Clarabel, to its optimum: every bound met to the rounding of
    the coordinates and the objective within some 1e-12 of the optimum's. Its objective is
    therefore never above the method's, whose solver stops at a tolerance of 1e-4, and its
    points differ from the method's by about that.

    A track without a solution (a point or band that is not finite, or SquareBounds with a
    negative band and an interior point) keeps its points, and its entry of solved is False;
    a track of fewer than three points, or a band of zero, is its own answer.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param max_deviation: How far each interior point may move
    :param elastic_band_type: Per coordinate (SquareBounds) or along the normal
        (OrthogonalBounds)
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type max_deviation: float
    :type elastic_band_type: ElasticBandMethod
    :type workers: int

    :returns: The smoothed points (N, 2) and, per track, whether it was solved (bool)
    :rtype: tuple[numpy.ndarray, numpy.ndarray]
    """

def to_frenet(
    route_points: _Points,
    route_offsets: _Offsets,
    points: _Points,
    offsets: _Offsets,
    *,
    max_distance: _Float = ...,
    workers: SupportsIndex = 1,
) -> FrenetColumns:
    """to_frenet(route_points, route_offsets, points, offsets, *, max_distance=math.inf, workers=1)

    Route coordinates of the points of every track on its own route: for track i, the rows
    korvane_frenet.to_frenet(Path2D(points=route_i), track_i, max_distance=max_distance)
    gives, route i being route_points[route_offsets[i]:route_offsets[i + 1]]. There must be as
    many routes as tracks.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param route_points: The points of every route, (R, 2) array-like
    :param route_offsets: T + 1 integers from 0 to R, never decreasing
    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param max_distance: Largest distance matched
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type route_points: list[list[float]] | numpy.ndarray
    :type route_offsets: list[int] | numpy.ndarray
    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type max_distance: float
    :type workers: int

    :returns: Arc length s along the track's route, signed offset d (positive to the left),
        distance and the index of the route's segment (int64, -1 where there is none), one
        row per point
    :rtype: FrenetColumns
    """

def circle_segments(
    points: _Points, offsets: _Offsets, max_rmse: _Float = 0.15, *, workers: SupportsIndex = 1
) -> CircleSegments:
    """circle_segments(points, offsets, max_rmse=0.15, *, workers=1)

    The circle segments of every track: for each track of n points, the segments
    Path2D(points=track).find_circle_segments(0, n, max_rmse) gives, in order, with the
    track's index (a track of no point gives its one empty segment (0, 0, 0.0), as that
    does). Start and end are indices within the track.

    From 256 rows on the call works without the interpreter lock, in blocks that `workers`
    threads share (the answers are the same for every number of them), and a signal such as
    Ctrl-C ends it within a fraction of a second.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing: track i is
        points[offsets[i]:offsets[i + 1]]
    :param max_rmse: Maximum RMSE of a segment's circle fit
    :param workers: Threads to work on, the calling one included (-1: every core the process
        may use)

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type max_rmse: float
    :type workers: int

    :returns: Start index (int64), end index one past the segment's last point (int64), the
        curvature of its circle and the track it belongs to (int64), one row per segment
    :rtype: CircleSegments
    """

def to_arrow(points: _Points, offsets: _Offsets, *, interleaved: bool = True) -> Any:
    """to_arrow(points, offsets, *, interleaved=True)

    The tracks as a GeoArrow LineString array: a list array whose offsets are `offsets` (int32
    ones stay a list array, any other integers become a large list array of int64 offsets) and
    whose values are the points, interleaved (a fixed-size list "xy" of two float64) or
    separated (a struct of float64 fields "x" and "y"). Interleaved points of a C-ordered
    float64 array and native int32 or int64 offsets are not copied: the array shares their
    memory. Needs pyarrow.

    :param points: The points of every track, one after the other, (N, 2) array-like
    :param offsets: T + 1 integers from 0 to N, never decreasing
    :param interleaved: Coordinates interleaved (x, y, x, y, ...) or in two columns

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type interleaved: bool

    :returns: One linestring per track
    :rtype: pyarrow.ListArray | pyarrow.LargeListArray
    """

def from_arrow(
    array: Any,
) -> tuple[np.ndarray[tuple[int, int], np.dtype[np.float64]], npt.NDArray[np.integer[Any]]]:
    """from_arrow(array)

    The ragged columns of a GeoArrow LineString array (a list or large list array, or a
    chunked array or extension array of one, of interleaved or separated float64 x and y):
    the points, (N, 2), and the offsets, T + 1 from 0. Interleaved coordinates without nulls
    and the offsets of an array that starts at its first list are not copied: the columns are
    read-only views of the array's memory. A null linestring or coordinate is a ValueError.
    Needs pyarrow.

    :param array: One linestring per track

    :type array: pyarrow.Array | pyarrow.ChunkedArray

    :returns: The points (N, 2) and the offsets (int32 or int64, as the array's)
    :rtype: tuple[numpy.ndarray, numpy.ndarray]
    """
