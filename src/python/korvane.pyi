# src/python/korvane.pyi: type information for the compiled korvane module
#
# Installed as the stub-only package korvane-stubs. Method docstrings are the module's own
# (tests/python/test_stubs.py compares them); attribute docstrings exist only here, since the
# module's attribute descriptors carry none. The comment above each alias is its description in
# the API reference (docs/gen_api_reference.py).

from typing import Any, ClassVar, Protocol, SupportsFloat, SupportsIndex, TypeAlias, TypeVar, final, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

__all__ = ["Path2D", "ResamplingMethod", "InterpolationMethod", "ElasticBandMethod"]

_T_co = TypeVar("_T_co", covariant=True)

# What the conversion reads: a length and items by position (list, tuple, range, pandas Series, shapely coordinates); a slice is asked for only to tell sequences from mappings.
class _SequenceLike(Protocol[_T_co]):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int, /) -> _T_co: ...
    @overload
    def __getitem__(self, index: slice, /) -> Any: ...

# A number: float, int, bool, a NumPy scalar, anything with `__float__` or `__index__`.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# Numbers in a sequence: list, tuple, range, pandas Series, 1-D NumPy array.
_Floats: TypeAlias = _SequenceLike[_Float] | npt.NDArray[Any]
# A point: exactly two numbers [x, y], as a list, tuple or NumPy array.
_Point: TypeAlias = _SequenceLike[_Float] | npt.NDArray[Any]
# Points in a sequence (a shapely `LineString.coords` too), or an (n, 2) NumPy array.
_Points: TypeAlias = _SequenceLike[_Point] | npt.NDArray[Any]
# True or False, or a NumPy bool; an int is refused.
_Bool: TypeAlias = bool | np.bool_
# A new float64 NumPy array of shape (n,), owning its data.
_Array1D: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float64]]
# A new float64 NumPy array of shape (n, 2), owning its data; (0, 0) when there are no points.
_Array2D: TypeAlias = np.ndarray[tuple[int, int], np.dtype[np.float64]]

@final
class Path2D:
    """Path2D(points=None, x=None, y=None)

    Class storing a 2D path.

    :param points: List of points
    :param x: List of x coordinates
    :param y: List of y coordinates

    :type points: list[list[float]]
    :type x: list[float]
    :type y: list[float]"""

    def __new__(
        cls, points: _Points | None = None, x: _Floats | None = None, y: _Floats | None = None
    ) -> Path2D: ...
    @property
    def points(self) -> list[list[float]]:
        """The points in path order, each [x, y]."""
    @property
    def points_np(self) -> _Array2D:
        """The points as an (n, 2) float64 array; (0, 0) for an empty path."""
    @property
    def x(self) -> list[float]:
        """The x coordinates."""
    @property
    def x_np(self) -> _Array1D:
        """The x coordinates as a float64 array."""
    @property
    def y(self) -> list[float]:
        """The y coordinates."""
    @property
    def y_np(self) -> _Array1D:
        """The y coordinates as a float64 array."""
    @property
    def path_length_per_point(self) -> list[float]:
        """Cumulative arc length at each point, starting at 0.0."""
    @property
    def path_length_per_point_np(self) -> _Array1D:
        """Cumulative arc length at each point, as a float64 array."""
    @property
    def length(self) -> float:
        """Total arc length (0.0 for an empty path)."""
    @property
    def orientation(self) -> list[float]:
        """Heading at each point in radians, in (-pi, pi], towards the neighbouring points."""
    @property
    def orientation_np(self) -> _Array1D:
        """Heading at each point in radians, as a float64 array."""
    @property
    def unit_tangent_vector(self) -> list[list[float]]:
        """Unit tangent [tx, ty] at each point, from central differences."""
    @property
    def unit_tangent_vector_np(self) -> _Array2D:
        """Unit tangents as an (n, 2) float64 array; (0, 0) for an empty path."""
    @property
    def curvature(self) -> list[float]:
        """Signed curvature at each point (positive turning left), from finite differences."""
    @property
    def curvature_np(self) -> _Array1D:
        """Signed curvature at each point, as a float64 array."""
    def compute_circle_fit_curvature(self, max_rmse: _Float = 0.15) -> list[float]:
        """compute_circle_fit_curvature(max_rmse=0.15)

        Computes the curvature by decomposing the path into arc segments.

        :param max_rmse: The maximum RMSE (root mean squared error) that is not exceeded when
                            fitting the arc segments

        :type max_rmse: float

        :returns: The curvature of the path
        :rtype: list[float]"""
    def find_circle_segments(
        self, start: SupportsIndex, end: SupportsIndex, max_rmse: _Float = 0.15
    ) -> list[tuple[int, int, float]]:
        """find_circle_segments(start, end, max_rmse=0.15)

        Decomposes the path into its circle segments, such that the maximum
        RMSE (root mean squared error) is not exceeded.

        :param start: Index of point to start from
        :param end: Index of point to stop with
        :param max_rmse: Maximum RMSE

        :type start: int
        :type end: int
        :type max_rmse: float

        :returns: The list of arc segments
        :rtype: list[tuple[int, int, float]]"""
    def resampled_path(
        self,
        resampling_method: ResamplingMethod,
        resampling_type: InterpolationMethod = ...,
        epsilon: _Float = 0.01,
    ) -> Path2D:
        """resampled_path(resampling_method, resampling_type=InterpolationMethod.Linear, epsilon=0.01)

        Resamples the path equidistantly using the given interpolation method.

        :param number_points: Number of points of the resampled path
        :param resampling_type: Method of interpolation
        :param epsilon: The distance within two points are considered equal

        :type number_points: int
        :type resampling_type: ResamplingType
        :type epsilon: float

        :returns: Resampled path
        :rtype: Path2D"""
    def smoothed_path_elastic_band(
        self, max_deviation: _Float, elastic_band_type: ElasticBandMethod = ...
    ) -> Path2D | None:
        """smoothed_path_elastic_band(max_deviation, elastic_band_type=ElasticBandMethod.OrthogonalBounds)

        Smoothes the path using an algorithm from Autoware [1]. A QP has to be solved for that.
        CLARABEL [2] is used as the solver.

        [1] https://autowarefoundation.github.io/autoware.universe/main/planning/autoware_path_smoother/docs/eb/
        [2] https://clarabel.org/stable/

        :param max_deviation: Maximum deviation from the original path
        :param elastic_band_type: Type of constraining the deviation to the original path

        :type max_deviation: float
        :type elastic_band_type: ElasticBandType

        :returns: The smoothed path
        :rtype: Path2D"""
    def smoothed_path_chaikin(self, num_iterations: SupportsIndex) -> Path2D:
        """smoothed_path_chaikin(num_iterations)

        Smoothes the path using the Chaikin's path smoothing algorithm.

        :param num_iterations: Number of iterations used for Chaikin's path smoothing algorithm.

        :type num_iterations: int

        :returns: The smoothed path
        :rtype: Path2D"""
    def index_from_point(self, point: _Point, epsilon: _Float = 0.01) -> int | None:
        """index_from_point(point, epsilon=0.01)

        Returns the index of the nearest point on the path in front of the given point.
        If the point outside the path, None is returned

        :param point: Point of interest
        :param epsilon: The distance within two points are considered equal

        :type point: list[float]
        :type epsilon: float

        :returns: The index of the nearest point
        :rtype: Option[int]"""
    def path_length_from_point(self, point: _Point, epsilon: _Float = 0.01) -> float | None:
        """path_length_from_point(point, epsilon=0.01)

        Returns the path length from the first point to the given point.
        If the point outside the path, None is returned

        :param point: Point of interest
        :param epsilon: The distance within two points are considered equal

        :type point: list[float]
        :type epsilon: float

        :returns: The path length
        :rtype: Option[int]"""
    def sub_path(
        self, start: _Point | None = None, end: _Point | None = None, epsilon: _Float = 0.01
    ) -> Path2D | None:
        """sub_path(start=None, end=None, epsilon=0.01)

        Returns the sub path from start to end.
        If start is None, the path begins at the beginning.
        The same holds for end.
        The new path is not necessarily equidistant.

        :param start: Beginning of the sub path
        :param end: End of the sub path
        :param epsilon: The distance within two points are considered equal

        :type start: list[float]
        :type end: list[float]
        :type epsilon: float

        :returns: The sub path
        :rtype: Path2D"""
    def detect_corrupted_point_order(self, sus_angle: _Float = 2.8) -> list[int]:
        """detect_corrupted_point_order(sus_angle=2.8)

        Returns the list of all indices where the path turns sharper than sus_angle.

        :param sus_angle: Every turn sharper than this angle is suspicious.

        :type sus_angle: float

        :returns: Indices of suspicious points
        :rtype: list[int]"""
    def repair_corrupted_point_order(self, sus_angle: _Float = 2.8) -> Path2D:
        """repair_corrupted_point_order(sus_angle=2.8)

        Repairs corrupted point order by removing points that progress in the wrong direction.

        :param sus_angle: Every turn sharper than this angle is suspicious.

        :type sus_angle: float

        :returns: Repaired path
        :rtype: Path2D"""
    def add_associated_values(self, values: _Floats) -> int:
        """add_associated_values(values)

        Adds an associated value.

        :param values: The values that should be added as associated to the path

        :type values: list[float]

        :returns: The handle for accessing the associated values again
        :rtype: int"""
    def associated_values(self, handle: SupportsIndex) -> list[float] | None:
        """associated_values(handle)

        Returns the respective associated values.

        :param handle: The handle of the associated values

        :type handle: int

        :returns: The associated values
        :rtype: list[float]"""
    def associated_value_np(self, handle: SupportsIndex) -> _Array1D | None:
        """associated_values_np(handle)

        Returns the respective associated values.

        :param handle: The handle of the associated values

        :type handle: int

        :returns: The associated values
        :rtype: numpy.ndarray"""

# Holds its own instance layout, so no class can derive from it and another base at once.
@disjoint_base
class ResamplingMethod:
    # The variants are classes reached through ResamplingMethod only; at run time they are named
    # ResamplingMethod_ByNumberPoints and ResamplingMethod_BySamplingDistance.
    @final
    class ByNumberPoints(ResamplingMethod):
        __match_args__ = ("number_points",)
        def __new__(cls, number_points: SupportsIndex) -> ResamplingMethod.ByNumberPoints: ...
        @property
        def number_points(self) -> int:
            """The number of points of the resampled path."""

    @final
    class BySamplingDistance(ResamplingMethod):
        __match_args__ = ("sampling_distance", "drop_last")
        def __new__(
            cls, sampling_distance: _Float, drop_last: _Bool
        ) -> ResamplingMethod.BySamplingDistance: ...
        @property
        def sampling_distance(self) -> float:
            """The distance between consecutive points of the resampled path."""
        @property
        def drop_last(self) -> bool:
            """Whether the path's end is left out when it does not fall on a multiple of the distance."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    @staticmethod
    def by_number_points(number_points: SupportsIndex) -> ResamplingMethod.ByNumberPoints:
        """by_number_points(number_points)

        The path will be equidistantly resampled using the given number of points.

        :param number_points: Number of points

        :type number_points: int

        :returns: The resampling method
        :rtype: ResamplingMethod"""
    @staticmethod
    def by_sampling_distance(
        sampling_distance: _Float, drop_last: _Bool = True
    ) -> ResamplingMethod.BySamplingDistance:
        """by_sampling_distance(sampling_distance, drop_last=True)

        The path will be resampled using the given sampling_distance.
        The distance between the last and second last point will differ from sampling distance.
        Setting drop_last=True will omit the last point.

        :param sampling_distance: Sampling distance
        :param drop_last: Omits the last point when true.

        :type sampling_distance: float
        :type drop_last: bool

        :returns: The resampling method
        :rtype: ResamplingMethod"""

@final
class InterpolationMethod:
    Cubic: ClassVar[InterpolationMethod]
    Linear: ClassVar[InterpolationMethod]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Members also compare equal to their integer values (Cubic == 0, Linear == 1).
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...

@final
class ElasticBandMethod:
    SquareBounds: ClassVar[ElasticBandMethod]
    OrthogonalBounds: ClassVar[ElasticBandMethod]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    # Members also compare equal to their integer values (SquareBounds == 0, OrthogonalBounds == 1).
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __int__(self) -> int: ...
