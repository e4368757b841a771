"""korvane_match: candidates against a scan, the model's choices on hand-made roads, breaks, errors."""

import pickle

import numpy as np
import pytest
from korvane_match import RoadNetwork


def network(edges, two_way=None):
    """A network of (source, target, geometry) edges."""
    points = np.concatenate([np.asarray(g, float) for _, _, g in edges])
    offsets = np.cumsum([0] + [len(g) for _, _, g in edges])
    return RoadNetwork(points, offsets, [e[0] for e in edges], [e[1] for e in edges], two_way=two_way)


def line(a, b, step=10.0):
    """Fixes every `step` metres from a to b."""
    a, b = np.asarray(a, float), np.asarray(b, float)
    n = int(np.hypot(*(b - a)) // step) + 1
    return a + np.linspace(0, 1, n)[:, None] * (b - a)


def driven(result, trace=0):
    a, b = result.route_offsets[trace], result.route_offsets[trace + 1]
    return list(zip(result.route[a:b].tolist(), result.route_reversed[a:b].tolist()))


def test_a_lone_fix_lands_on_the_nearest_edge_as_a_scan_finds_it():
    rng = np.random.default_rng(3)
    edges = [(i, i + 1, rng.uniform(0, 300, (int(rng.integers(2, 6)), 2))) for i in range(0, 120, 2)]
    net = network(edges)
    for fix in rng.uniform(-20, 320, (300, 2)):
        best = (np.inf, -1, None)
        for e, (_, _, g) in enumerate(edges):
            a, b = g[:-1], g[1:]
            t = np.clip(np.einsum("ij,ij->i", fix - a, b - a) / np.einsum("ij,ij->i", b - a, b - a), 0, 1)
            feet = a + t[:, None] * (b - a)
            k = np.argmin(np.hypot(*(feet - fix).T))
            d = np.hypot(*(feet[k] - fix))
            s = np.hypot(*np.diff(g, axis=0).T)[:k].sum() + t[k] * np.hypot(*(b[k] - a[k]))
            if d < best[0]:
                best = (d, e, (s, *feet[k]))
        r = net.match([fix], sigma=20.0, radius=1000.0, candidates=100)
        assert r.edge[0] == best[1]
        assert (r.s[0], r.x[0], r.y[0]) == pytest.approx(best[2], abs=1e-9)
        assert abs(r.d[0]) == pytest.approx(best[0], abs=1e-9)


def test_the_model_chooses_the_driven_road():
    # A main road (two-way) and, 9 m beside it, a one-way service road entered only from its
    # far end; a dead end off the main road; a one-way square roundabout.
    net = network(
        [
            (1, 2, [(0, 0), (200, 0)]),  # 0 main
            (2, 3, [(200, 0), (400, 0)]),  # 1 main
            (3, 4, [(400, 9), (0, 9)]),  # 2 service, one-way westwards
            (2, 5, [(200, 0), (200, 150)]),  # 3 dead end
            (3, 6, [(400, 0), (450, 0)]),  # 4 to the roundabout
            (6, 7, [(450, 0), (450, 50)]),  # 5..8 roundabout, anticlockwise
            (7, 8, [(450, 50), (400, 50)]),
            (8, 9, [(400, 50), (400, 40)]),
            (9, 6, [(400, 40), (450, 0)]),
        ],
        two_way=[True, True, False, True, True, False, False, False, False],
    )
    # Eastwards at y = 5: nearer the service road, which cannot be driven that way.
    r = net.match(line((5, 5), (395, 5)), sigma=5.0)
    assert set(r.edge.tolist()) == {0, 1}
    assert driven(r) == [(0, False), (1, False)]
    # Into the dead end and back out: a U-turn at its end, not in its middle.
    out = np.concatenate([line((100, 0), (200, 0)), line((200, 10), (200, 145)), line((200, 140), (200, 10))])
    r = net.match(out + [2.0, -1.5], sigma=5.0)
    assert driven(r)[:3] == [(0, False), (3, False), (3, True)]
    # Out of the dead end from its far end, and back beyond the main road's end: no turns there.
    r = net.match(np.concatenate([line((201, 150), (201, 5)), line((195, 1), (0, 1))]), sigma=5.0)
    assert driven(r) == [(3, True), (0, True)]
    # Round the roundabout and back along the main road.
    trip = np.concatenate([line((420, 0), (450, 0)), line((450, 5), (450, 50)), line((445, 50), (400, 50))])
    r = net.match(trip, sigma=3.0)
    assert driven(r) == [(4, False), (5, False), (6, False)]
    assert not r.breaks.any()
    # 20 m edges with a 15 m side road at each junction, noise as large as the step: no U-turn
    # on the street or into a side road and back (every U-turn a route makes pays).
    street = [(i, i + 1, [(20 * i, 0), (20 * i + 20, 0)]) for i in range(10)]
    sides = [(i, 100 + i, [(20 * i, 0), (20 * i, 15 * (-1) ** i)]) for i in range(1, 10)]
    net, rng = network(street + sides, two_way=[True] * 19), np.random.default_rng(0)
    for _ in range(5):
        r = net.match(line((5, 0), (195, 0)) + rng.normal(0, 15, (20, 2)), sigma=15.0)
        assert driven(r)[1:-1] == [(i, False) for i in range(1, 9)]


def test_breaks_unmatched_fixes_and_ragged_traces():
    net = network([(1, 2, [(0, 0), (100, 0)]), (3, 4, [(0, 40), (100, 40)])], two_way=[True, True])
    fixes = np.array([[10, 1], [20, 1], [np.nan, 0], [30, 39], [40, 39], [500, 500], [50, 39]], float)
    r = net.match(fixes, sigma=3.0)
    assert r.edge.tolist() == [0, 0, -1, 1, 1, -1, 1]
    assert r.breaks.tolist() == [False, False, False, True, False, False, False]
    assert np.isnan([r.s[2], r.d[5], r.x[5], r.y[2]]).all() and not r.reversed[[2, 5]].any()
    assert driven(r) == [(0, False), (1, False)]
    # Many traces in one call match as each alone, on any number of workers.
    many = np.tile(fixes, (60, 1))
    offsets = np.arange(0, len(many) + 1, len(fixes))
    for workers in (1, 2):
        rr = net.match(many, offsets, sigma=3.0, workers=workers)
        assert (rr.edge.reshape(60, -1) == r.edge).all() and (rr.breaks.reshape(60, -1) == r.breaks).all()
        assert rr.route_offsets.tolist() == list(range(0, 121, 2))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        ({"offsets": [0, 2]}, "offsets must have one entry more than there are edges"),
        ({"offsets": [0, 1, 4]}, "edge 0 has fewer than 2 points"),
        ({"offsets": [0, 3, 2]}, "offsets must not decrease"),
        ({"offsets": [1, 2, 4]}, "offsets must start at 0"),
        ({"target": [2]}, "source and target have different lengths"),
        ({"two_way": [True]}, "two_way must have one entry per edge"),
        ({"points": [[0, 0], [1, np.inf], [1, 0], [2, 0]]}, r"points must be finite \(point 1"),
    ],
)
def test_each_mistake_is_a_value_error(change, message):
    columns = {
        "points": [[0, 0], [1, 0], [1, 0], [2, 0]],
        "offsets": [0, 2, 4],
        "source": [1, 2],
        "target": [2, 3],
    }
    columns.update(change)
    with pytest.raises(ValueError, match=message):
        RoadNetwork(**columns)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        ({"offsets": [0, 3, 2]}, r"offsets\[1\] is 3"),
        ({"sigma": 0.0}, "sigma must be a positive number"),
        ({"radius": np.nan}, "radius must be a non-negative number"),
        ({"candidates": 0}, "candidates must be at least 1"),
        ({"max_detour": np.inf}, "max_detour must be a positive number"),
    ],
)
def test_each_bad_setting_is_a_value_error(call, message):
    net = network([(1, 2, [(0, 0), (100, 0)])])
    with pytest.raises(ValueError, match=message):
        net.match([[0, 0], [5, 0]], **call)


def test_a_network_pickles_as_its_columns_and_reads_arrow():
    pa = pytest.importorskip("pyarrow")
    geometry = [[(0.0, 0.0), (50.0, 5.0), (100.0, 0.0)], [(100.0, 0.0), (100.0, 80.0)]]
    lines = pa.array([[{"x": x, "y": y} for x, y in g] for g in geometry])
    table = pa.table({"geometry": lines, "source": [7, 2**40], "target": [2**40, -3], "both": [True, False]})
    net = RoadNetwork.from_arrow(table, two_way="both")
    fixes = np.concatenate([line((0, 3), (100, 3)), line((103, 0), (103, 80))])
    expected = net.match(fixes)
    again = pickle.loads(pickle.dumps(net))
    assert repr(again) == repr(net) == "RoadNetwork(2 edges, 3 nodes)"
    for a, b in zip(again.match(fixes), expected):
        np.testing.assert_array_equal(a, b)
    assert net.nbytes <= 10 * (5 * 16 + 3 * 8 + 2 * 17)
