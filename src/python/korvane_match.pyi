# src/python/korvane_match.pyi: type information for the module korvane_match
#
# Installed as the stub-only package korvane_match-stubs. Docstrings are the module's own
# (tests/python/test_stubs.py compares them).

from typing import Any, Final, SupportsIndex, final

import numpy as np
from _typeshed import structseq
from korvane import _Array1D, _Float, _Floats, _Points

__all__ = ["MatchResult", "RoadNetwork"]

_Ints = np.ndarray[tuple[int], np.dtype[np.int64]]
_Bools = np.ndarray[tuple[int], np.dtype[np.bool_]]

@final
class MatchResult(
    structseq[Any],
    tuple[_Ints, _Bools, _Array1D, _Array1D, _Array1D, _Array1D, _Bools, _Ints, _Bools, _Ints],
):
    """Where traces were matched: per fix edge, reversed, s, d, x, y and breaks; per trace the driven edges route and route_reversed, ragged by route_offsets."""

    __match_args__: Final = (
        "edge",
        "reversed",
        "s",
        "d",
        "x",
        "y",
        "breaks",
        "route",
        "route_reversed",
        "route_offsets",
    )
    @property
    def edge(self) -> _Ints:
        """per fix, the matched edge, -1 where unmatched"""
    @property
    def reversed(self) -> _Bools:
        """per fix, whether the edge is driven from its target to its source"""
    @property
    def s(self) -> _Array1D:
        """per fix, arc length along the edge's geometry from its first point"""
    @property
    def d(self) -> _Array1D:
        """per fix, signed offset from the edge, left of its own direction positive"""
    @property
    def x(self) -> _Array1D:
        """per fix, x of the matched point"""
    @property
    def y(self) -> _Array1D:
        """per fix, y of the matched point"""
    @property
    def breaks(self) -> _Bools:
        """per fix, whether a new connected piece starts there after a break"""
    @property
    def route(self) -> _Ints:
        """the edges driven, trace after trace"""
    @property
    def route_reversed(self) -> _Bools:
        """per driven edge, whether it is driven from its target to its source"""
    @property
    def route_offsets(self) -> _Ints:
        """where each trace's driven edges start, and the end"""

@final
class RoadNetwork:
    """A road network: edge i's geometry is points[offsets[i]:offsets[i+1]] (metres, at least two
    points), drivable from node source[i] to node target[i] (int64 ids, any values) and, where
    two_way[i] is true, also from target[i] to source[i] along the reversed geometry (without
    two_way every edge is one-way).

    The network keeps its own copy of the columns, a segment index over every edge and the
    graph on its nodes; it never changes, so it may be shared by threads, and it pickles as its
    columns. Every mistake in the columns is a ValueError naming it: lengths that do not fit
    together, offsets that do not run from 0 to the number of points without decreasing, an
    edge of fewer than two points, a coordinate that is NaN or infinite.

    :param points: Every edge's points one after the other, (n, 2) array-like
    :param offsets: Where each edge's points start, and the end: 1-D integers, one more than
        the edges
    :param source: The node each edge leaves from, 1-D integers
    :param target: The node each edge reaches, 1-D integers
    :param two_way: Per edge whether it is drivable back as well, 1-D booleans

    :type points: list[list[float]] | numpy.ndarray
    :type offsets: list[int] | numpy.ndarray
    :type source: list[int] | numpy.ndarray
    :type target: list[int] | numpy.ndarray
    :type two_way: list[bool] | numpy.ndarray | None
    """

    def __new__(
        cls,
        points: _Points,
        offsets: _Floats,
        source: _Floats,
        target: _Floats,
        *,
        two_way: _Floats | None = None,
    ) -> RoadNetwork: ...
    def __len__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]:
        """The columns, for pickle."""
    @property
    def nbytes(self) -> int:
        """Bytes the network holds: its columns, the graph and the segment index"""
    def match(
        self,
        points: _Points,
        offsets: _Floats | None = None,
        *,
        sigma: _Float = 5.0,
        beta: _Float | None = None,
        radius: _Float | None = None,
        candidates: SupportsIndex = 8,
        max_detour: _Float = 5.0,
        workers: SupportsIndex = 1,
    ) -> MatchResult:
        """match(points, offsets=None, *, sigma=5.0, beta=None, radius=None, candidates=8, max_detour=5.0, workers=1)

        Which edges traces of fixes drove: a hidden Markov model per trace whose states are the
        fixes' candidates (the nearest point of each of the `candidates` nearest edges within
        `radius`, each edge in every direction it may be driven), solved by Viterbi.

        A state's emission is Gaussian in the distance from its fix (sigma). A transition between
        the states of consecutive fixes is exponential (beta) in the difference between the route
        distance from one to the other and the straight distance between the fixes. Routes are
        shortest paths searched from each node for as far as plausible, reused within the call.
        A route longer than max_detour times the straight distance plus twice the radius is
        implausible. Noise makes fixes step backwards along an edge: a state up to 4 sigma behind
        the previous one on the same edge and direction is reached by standing still (route
        distance 0), never by a U-turn. A U-turn costs as much as 8 sigma of route beyond its
        distance, onto the edge just driven or within the route between two fixes, so that a
        trace that starts or ends at the end of an edge is not read as driving on and turning
        back, nor noise as a turn into a side road and back. beta defaults to the trace's median
        step between fixes (at least 1 m), radius to 4 sigma.

        No trace fails: a fix without a candidate (or with a NaN or infinite coordinate) is
        unmatched, and where no state of a fix is plausibly reached from the previous matched fix,
        the trace breaks there and a new piece starts.

        From 256 fixes on the call works without the interpreter lock, in blocks of whole traces
        that `workers` threads share (the answers are the same for every number of them), and a
        signal such as Ctrl-C ends it within a fraction of a second.

        :param points: Every trace's fixes one after the other, (n, 2) array-like, metres
        :param offsets: Where each trace starts, and the end: 1-D integers from 0 to n without
            decreasing; None: one trace
        :param sigma: Noise of a fix, metres
        :param beta: Scale of the transitions, metres
        :param radius: Farthest candidate from its fix, metres
        :param candidates: Most edges per fix
        :param max_detour: Longest plausible route, as a multiple of the straight distance
        :param workers: Threads to work on, the calling one included (-1: every core the process
            may use)

        :type points: list[list[float]] | numpy.ndarray
        :type offsets: list[int] | numpy.ndarray | None
        :type sigma: float
        :type beta: float | None
        :type radius: float | None
        :type candidates: int
        :type max_detour: float
        :type workers: int

        :returns: Per fix the edge (-1 where unmatched), direction, arc length s along the edge's
            geometry, signed offset d (left of the edge's direction positive), matched point x, y
            and where a piece starts after a break; per trace the driven edges and directions
        :rtype: MatchResult
        """
    @classmethod
    def from_arrow(
        cls,
        table: Any,
        *,
        geometry: str = "geometry",
        source: str | _Floats = "source",
        target: str | _Floats = "target",
        two_way: str | _Floats | None = None,
    ) -> RoadNetwork:
        """from_arrow(table, *, geometry='geometry', source='source', target='target', two_way=None)

        The network of a pyarrow table (or record batch) whose column `geometry` holds GeoArrow
        LineStrings (a list of x, y structs or of two-element lists, coordinates in metres) and
        whose columns `source` and `target` hold the nodes; `two_way` names a boolean column, or
        None for every edge one-way. A LineString array may stand for the table, with source,
        target (and two_way) then given as 1-D arrays. Needs pyarrow.

        :param table: The edges, pyarrow.Table, RecordBatch or LineString array
        :param geometry: Name of the geometry column
        :param source: Name of the source column, or the nodes
        :param target: Name of the target column, or the nodes
        :param two_way: Name of the two-way column, or the booleans, or None

        :type table: pyarrow.Table
        :type geometry: str
        :type source: str | numpy.ndarray
        :type target: str | numpy.ndarray
        :type two_way: str | numpy.ndarray | None

        :returns: The network
        :rtype: RoadNetwork
        """
