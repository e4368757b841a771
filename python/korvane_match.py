"""Map matching on a road network (loaded from korvane's extension library)."""

from _korvane_library import hand_on

hand_on("_korvane_match", globals())
del hand_on


def _rebuild(points, offsets, source, target, two_way):
    """A pickled network from its columns."""
    return RoadNetwork(points, offsets, source, target, two_way=two_way)  # noqa: F821


def _column(table, value):
    """A column of `table` named by `value`, or `value` itself as the column."""
    if isinstance(value, str):
        return table.column(value).to_numpy()
    return value


def _from_arrow(cls, table, *, geometry="geometry", source="source", target="target", two_way=None):
    """RoadNetwork.from_arrow: the columns of GeoArrow LineStrings and their nodes."""
    import numpy as np
    import pyarrow as pa

    lines = table.column(geometry) if isinstance(table, (pa.Table, pa.RecordBatch)) else table
    if isinstance(lines, pa.ChunkedArray):
        lines = lines.combine_chunks()
    if isinstance(lines, pa.ExtensionArray):
        lines = lines.storage
    if not pa.types.is_list(lines.type) and not pa.types.is_large_list(lines.type):
        raise ValueError(f"geometry must be GeoArrow LineStrings, a list array (got {lines.type})")
    start = lines.offsets[0].as_py()
    offsets = np.asarray(lines.offsets, dtype=np.int64) - start
    coords = lines.values.slice(start, offsets[-1])
    if pa.types.is_struct(coords.type):
        points = np.column_stack([coords.field("x").to_numpy(), coords.field("y").to_numpy()])
    else:
        flat = coords.flatten().to_numpy()
        width = coords.type.list_size if pa.types.is_fixed_size_list(coords.type) else 2
        points = flat.reshape(-1, width)[:, :2]
    if isinstance(table, (pa.Table, pa.RecordBatch)):
        source, target = _column(table, source), _column(table, target)
        two_way = None if two_way is None else _column(table, two_way)
    return cls(np.ascontiguousarray(points, dtype=np.float64), offsets, source, target, two_way=two_way)
