# src/python/frenet/korvane_frenet.pyi: type information for the compiled korvane_frenet module
#
# Installed as the stub-only package korvane_frenet-stubs. Function docstrings are the module's
# own.

from collections.abc import Sequence
from typing import Any, NamedTuple, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt
from korvane import Path2D

__all__ = ["FrenetCoordinates", "from_frenet", "to_frenet"]

# A number: float, int, bool, a NumPy scalar, anything with `__float__` or `__index__`.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# Numbers in a sequence, or a 1-D NumPy array.
_Floats: TypeAlias = Sequence[_Float] | npt.NDArray[Any]
# Points in a sequence, or an (n, 2) NumPy array.
_Points: TypeAlias = Sequence[Sequence[_Float] | npt.NDArray[Any]] | npt.NDArray[Any]
# A new float64 NumPy array of shape (n,).
_Array1D: TypeAlias = np.ndarray[tuple[int], np.dtype[np.float64]]

class FrenetCoordinates(NamedTuple):
    """Route coordinates of points: arrays s, d, distance and segment, one entry per point."""

    s: _Array1D
    """arc length at the nearest point of the path"""
    d: _Array1D
    """signed distance to it, positive to the left of the direction of travel"""
    distance: _Array1D
    """distance to it"""
    segment: np.ndarray[tuple[int], np.dtype[np.int64]]
    """index of the segment holding it, -1 where there is none"""

def to_frenet(path: Path2D, points: _Points, *, max_distance: _Float = ...) -> FrenetCoordinates:
    """to_frenet(path, points, *, max_distance=math.inf)"""

def from_frenet(
    path: Path2D, s: _Float | _Floats, d: _Float | _Floats = 0.0
) -> np.ndarray[tuple[int, int], np.dtype[np.float64]]:
    """from_frenet(path, s, d=0.0)"""
