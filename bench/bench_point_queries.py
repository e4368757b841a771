"""Point queries on a long path against a vectorised NumPy projection of the same rules."""

import numpy as np

from _side_by_side import side_by_side
from _timing import RatioTable
from korvane import Path2D

N = 100_000
QUERIES = 200


def numpy_index_from_point(px, py, ax, ay, dx, dy, squared, query, epsilon=0.01):
    """The segment search and end-point squares, one query, vectorised over the segments."""
    qx, qy = query
    if abs(qx - px[0]) <= epsilon and abs(qy - py[0]) <= epsilon:
        return 0
    if abs(qx - px[-1]) <= epsilon and abs(qy - py[-1]) <= epsilon:
        return len(px) - 1
    t = ((qx - ax) * dx + (qy - ay) * dy) / squared
    ex = ax + t * dx - qx
    ey = ay + t * dy - qy
    distance = np.sqrt(ex * ex + ey * ey)
    distance[~((t >= 0.0) & (t < 1.0))] = np.inf
    i = int(np.argmin(distance))
    return i if distance[i] < np.inf else None


def main() -> None:
    rng = np.random.default_rng(0)
    walk = rng.normal(size=(N, 2)).cumsum(axis=0)
    px, py = walk[:, 0].copy(), walk[:, 1].copy()
    path = Path2D(x=px, y=py)
    # Segment data precomputed once for the peer, as a caller asking many queries would keep it.
    ax, ay, dx, dy = px[:-1], py[:-1], np.diff(px), np.diff(py)
    squared = dx * dx + dy * dy
    picks = rng.integers(0, N, size=QUERIES)
    queries = (walk[picks] + rng.normal(scale=0.5, size=(QUERIES, 2))).tolist()
    for q in queries:
        assert path.index_from_point(q) == numpy_index_from_point(px, py, ax, ay, dx, dy, squared, q)

    table = RatioTable(f"Point queries: {N} points, time per query")
    ours, peer = side_by_side(lambda: [path.index_from_point(q) for q in queries],
                              lambda: [numpy_index_from_point(px, py, ax, ay, dx, dy, squared, q) for q in queries],
                              rounds=5)
    ours, peer = ours / QUERIES, peer / QUERIES
    table.add("index_from_point, 1e5-point path", ours, peer, 0.3, "vectorised NumPy projection")
    table.print()


if __name__ == "__main__":
    main()
