"""korvane_fleet/network.py: --network FILE, the roads every trip is matched to.

The file is a Parquet table of edges: a `geometry` column of LineStrings in the positions'
metres (GeoArrow, or WKB as GeoPandas writes it, which needs shapely), the nodes each edge joins
(`source` and `target`, or `u` and `v` as osmnx and pyrosm name them) and, optionally, which
edges are two-way (`two_way`, or `oneway` for the opposite; without either every edge is
one-way). Each position gets the edge it was matched to (`edge`, the row of the file, null where
unmatched), whether it was driven against the edge's direction (`reversed`) and where on the
edge it lies (`s_edge` along the edge's geometry, `d_edge` to the left of it); each trip the
edges it drove in order (`route`, `route_reversed`).
"""

from __future__ import annotations

import numpy as np
import pyarrow as pa

from . import Mistake
from .inputs import first_line

SIGMA = 5.0  # m: the noise of a position the matching assumes unless told (--match-sigma)


def load(path: str):
    """The RoadNetwork of the edges in `path`; every mistake in the file is a Mistake."""
    import pyarrow.parquet as pq
    from korvane_match import RoadNetwork

    try:
        table = pq.read_table(path)
    except (pa.ArrowException, OSError) as error:
        raise Mistake(
            f"--network {path}: cannot read it ({first_line(error)}); expected a Parquet file of edges"
        ) from None
    names = set(table.column_names)
    nodes = next((pair for pair in (("source", "target"), ("u", "v")) if set(pair) <= names), None)
    if "geometry" not in names or nodes is None:
        raise Mistake(
            f"--network {path}: has columns {sorted(names)}; expected geometry and source and target (or u and v)"
        )
    lines = table.column("geometry").combine_chunks()
    if isinstance(lines, pa.ExtensionArray):
        lines = lines.storage
    if pa.types.is_binary(lines.type) or pa.types.is_large_binary(lines.type):
        lines = from_wkb(path, lines)
    try:
        source, target = (table.column(c).cast(pa.int64()).to_numpy() for c in nodes)
        two_way = None
        if "two_way" in names:
            two_way = table.column("two_way").cast(pa.bool_()).to_numpy(zero_copy_only=False)
        elif "oneway" in names:
            two_way = ~table.column("oneway").cast(pa.bool_()).to_numpy(zero_copy_only=False)
        table = pa.table({"geometry": lines, "source": source, "target": target})
        if two_way is not None:
            table = table.append_column("two_way", pa.array(two_way))
        return RoadNetwork.from_arrow(table, two_way=None if two_way is None else "two_way")
    except (ValueError, TypeError, pa.ArrowException) as error:
        raise Mistake(f"--network {path}: {first_line(error)}") from None


def from_wkb(path: str, wkb: pa.Array) -> pa.Array:
    """WKB LineStrings as a GeoArrow list array of x, y structs."""
    try:
        import shapely
    except ImportError:
        raise Mistake(
            f"--network {path}: its geometry is WKB, which needs shapely (pip install shapely)"
        ) from None
    lines = shapely.from_wkb(wkb.to_numpy(zero_copy_only=False))
    if not np.all(shapely.get_type_id(lines) == shapely.GeometryType.LINESTRING):
        raise Mistake(f"--network {path}: expected LineStrings only in its geometry")
    coords, index = shapely.get_coordinates(lines, return_index=True)
    offsets = np.searchsorted(index, np.arange(len(lines) + 1)).astype(np.int32)
    points = pa.StructArray.from_arrays([coords[:, 0], coords[:, 1]], names=["x", "y"])
    return pa.ListArray.from_arrays(offsets, points)


class Roads:
    """The network and the noise the matching assumes: what a task needs to match its trips. It
    pickles as the network's columns, so a worker process or a dask worker can receive it."""

    def __init__(self, network, sigma: float = SIGMA):
        self.network, self.sigma = network, sigma

    def match(self, chunk, positions: pa.Table, trips: pa.Table) -> tuple[pa.Table, pa.Table]:
        """The chunk's positions and trips with the columns of their match added."""
        fixes = np.column_stack((chunk.x, chunk.y))  # in the chunk's order: that of `positions`
        r = self.network.match(fixes, chunk.offsets, sigma=self.sigma)
        unmatched = r.edge < 0
        for name, column in (("edge", r.edge), ("reversed", r.reversed), ("s_edge", r.s), ("d_edge", r.d)):
            positions = positions.append_column(name, pa.array(column, mask=unmatched))
        offsets = r.route_offsets.astype(np.int32)
        trips = trips.append_column("route", pa.ListArray.from_arrays(offsets, pa.array(r.route)))
        reversed_ = pa.ListArray.from_arrays(offsets, pa.array(r.route_reversed))
        return positions, trips.append_column("route_reversed", reversed_)
