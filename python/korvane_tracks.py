"""Many tracks in one call (loaded from korvane's extension library), and GeoArrow LineString
arrays to and from its ragged columns."""

from _korvane_library import hand_on

hand_on("_korvane_tracks", globals())
del hand_on
# hand_on has set __all__ to the library module's names.
__all__ = sorted([*__all__, "from_arrow", "to_arrow"])  # noqa: F821


def _pyarrow(function: str):
    try:
        import pyarrow
    except ImportError as error:
        raise ImportError(f"{function} needs pyarrow: pip install pyarrow", name="pyarrow") from error
    return pyarrow


def _check_offsets(offsets, count: int) -> None:
    """The column functions' check of offsets, with their messages."""
    import numpy as np

    if not len(offsets):
        raise ValueError(
            "offsets has no entry: it needs one more than there are tracks, from 0 to the number of points"
        )
    values = offsets.astype(np.int64)
    if values[0] != 0:
        raise ValueError(f"offsets[0] is {values[0]}: the first entry must be 0")
    wrong = np.flatnonzero((np.diff(values) < 0) | (values[1:] > count))
    if len(wrong):
        i = int(wrong[0]) + 1
        if values[i] < values[i - 1]:
            raise ValueError(
                f"offsets[{i}] is {values[i]}, below offsets[{i - 1}] = {values[i - 1]}: offsets must not decrease"
            )
        raise ValueError(f"offsets[{i}] is {values[i]}, beyond the {count} points")
    if values[-1] != count:
        raise ValueError(
            f"offsets[{len(values) - 1}] is {values[-1]}: the last entry must be the number of points, {count}"
        )


def to_arrow(points, offsets, *, interleaved=True):
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
    import numpy as np

    pa = _pyarrow("to_arrow")
    points = np.asarray(points, dtype=np.float64)
    if points.size == 0:
        points = points.reshape(0, 2)
    if points.ndim != 2 or points.shape[1] != 2:
        raise ValueError(f"points must be an (N, 2) array, got shape {points.shape}")
    given = np.asarray(offsets)
    if given.ndim != 1 or not np.issubdtype(given.dtype, np.integer):
        raise TypeError(f"offsets must be a 1-D array of integers, got {given.dtype} of shape {given.shape}")
    _check_offsets(given, len(points))
    small = given.dtype == np.int32
    offsets = given.astype(np.int32 if small else np.int64, copy=False)
    offsets = np.ascontiguousarray(offsets.view(offsets.dtype.newbyteorder("=")))
    count = len(points)
    if interleaved:
        flat = np.ascontiguousarray(points).reshape(-1)
        xy = pa.Array.from_buffers(pa.float64(), 2 * count, [None, pa.py_buffer(flat)])
        values = pa.FixedSizeListArray.from_arrays(xy, type=pa.list_(pa.field("xy", pa.float64(), False), 2))
    else:
        x = pa.array(np.ascontiguousarray(points[:, 0]))
        y = pa.array(np.ascontiguousarray(points[:, 1]))
        values = pa.StructArray.from_arrays(
            [x, y], fields=[pa.field("x", pa.float64(), False), pa.field("y", pa.float64(), False)]
        )
    kind = pa.list_ if small else pa.large_list
    field = pa.field("vertices", values.type, False)
    return (pa.ListArray if small else pa.LargeListArray).from_buffers(
        kind(field), len(offsets) - 1, [None, pa.py_buffer(offsets)], children=[values]
    )


def from_arrow(array):
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
    import numpy as np

    pa = _pyarrow("from_arrow")
    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    if isinstance(array, pa.ExtensionArray):
        array = array.storage
    if not isinstance(array, (pa.ListArray, pa.LargeListArray)):
        raise TypeError(f"expected a GeoArrow LineString array (a list array), got {array.type}")
    if array.null_count:
        raise ValueError(f"from_arrow takes no null linestrings, got {array.null_count}")
    offsets = array.offsets.to_numpy()
    values = array.values
    first, last = int(offsets[0]), int(offsets[-1])
    if first or last != len(values):
        values = values.slice(first, last - first)
    if first:
        offsets = offsets - offsets[0]
    if values.null_count:
        raise ValueError("from_arrow takes no null coordinates")
    if isinstance(values, pa.FixedSizeListArray) and values.type.list_size == 2:
        coordinates = values.flatten()
        if coordinates.null_count:
            raise ValueError("from_arrow takes no null coordinates")
        points = coordinates.cast(pa.float64()).to_numpy(zero_copy_only=False).reshape(-1, 2)
    elif isinstance(values, pa.StructArray) and [f.name for f in values.type][:2] == ["x", "y"]:
        x, y = (values.field(name) for name in ("x", "y"))
        if x.null_count or y.null_count:
            raise ValueError("from_arrow takes no null coordinates")
        points = np.column_stack([c.cast(pa.float64()).to_numpy(zero_copy_only=False) for c in (x, y)])
    else:
        raise TypeError(f"expected linestring coordinates xy or x and y, got {values.type}")
    return points, offsets
