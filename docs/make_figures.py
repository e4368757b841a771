"""Draws the pictures of the user guide from the tour's results: python docs/make_figures.py

Needs matplotlib (pip install matplotlib). Every curve is korvane's own output on the tour's
sample path; the panels are the tour's, so the guide shows what `examples/tour.py --plot` shows.
"""

import io
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from PIL import Image  # noqa: E402  (matplotlib's own dependency)

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "examples"))
import tour  # noqa: E402

FIGURES = {
    "point_order.png": (tour.draw_point_order,),
    "resampling.png": (tour.draw_resampling, tour.draw_interpolation),
    "smoothing.png": (tour.draw_smoothing, tour.draw_smoothing_curvature),
    "circle_segments.png": (tour.draw_circle_segments, tour.draw_curvature),
    "sub_path.png": (tour.draw_sub_path,),
    # GPS fixes of the tour's drive located on its planned route.
    "map_matching.png": (tour.draw_map_matching, tour.draw_map_matching_along),
    # The path's own rule and korvane_frenet's nearest point on a winding route.
    "frenet.png": (lambda ax, _: draw_frenet(ax),),
    # korvane_match on a small town: noisy fixes, the edges they were matched to, the route.
    "road_matching.png": (lambda ax, _: draw_road_matching(ax),),
}


def draw_road_matching(ax) -> None:
    """A drive through a grid of two-way streets beside a one-way service road, its noisy fixes
    and the route korvane_match found."""
    import numpy as np
    from korvane_match import RoadNetwork

    step = 70.0
    node = {(i, j): 10 * i + j for i in range(5) for j in range(4)}
    lines, source, target = [], [], []
    for (i, j), n in node.items():
        for di, dj in ((1, 0), (0, 1)):
            if (i + di, j + dj) in node:
                lines.append([(i * step, j * step), ((i + di) * step, (j + dj) * step)])
                source.append(n)
                target.append(node[(i + di, j + dj)])
    two_way = [True] * len(lines)
    # A one-way service road 9 m beside the first street, drivable westwards only.
    lines.append([(4 * step, -9.0), (0.0, -9.0)])
    source.append(100)
    target.append(101)
    two_way.append(False)
    offsets = np.cumsum([0] + [len(g) for g in lines])
    net = RoadNetwork(np.concatenate(lines), offsets, source, target, two_way=two_way)
    # Driven: east along the first street, north, east again, north to the top.
    corners = np.array([(0, 0), (2 * step, 0), (2 * step, step), (3 * step, step), (3 * step, 2.7 * step)])
    legs = np.hypot(*np.diff(corners, axis=0).T)
    along = np.arange(0.0, legs.sum(), 10.0)
    cum = np.concatenate([[0], np.cumsum(legs)])
    truth = np.column_stack([np.interp(along, cum, corners[:, 0]), np.interp(along, cum, corners[:, 1])])
    rng = np.random.default_rng(3)
    fixes = truth + rng.normal(scale=8.0, size=truth.shape)
    r = net.match(fixes, sigma=8.0)
    for k, g in enumerate(lines):
        g = np.asarray(g)
        style = dict(color="0.6", lw=1.2) if two_way[k] else dict(color="0.35", lw=1.2, ls="--")
        ax.plot(*g.T, **style)
    ax.plot([], [], color="0.6", lw=1.2, label="two-way street")
    ax.plot([], [], color="0.35", lw=1.2, ls="--", label="one-way service road (westwards)")
    first = True
    for e in r.route:
        ax.plot(
            *np.asarray(lines[e]).T,
            color="tab:orange",
            lw=5,
            alpha=0.6,
            label="matched route" if first else None,
        )
        first = False
    ax.plot(*fixes.T, "o", color="tab:blue", ms=3, label="GPS fix (8 m noise)")
    for fix, x, y in zip(fixes, r.x, r.y):
        ax.plot([fix[0], x], [fix[1], y], "-", color="tab:blue", lw=0.6)
    ax.plot([], [], "-", color="tab:blue", lw=0.6, label="fix to its matched point")
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_title(f"{len(fixes)} fixes matched to {len(r.route)} edges, {int(r.breaks.sum())} breaks")
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.12), ncol=2, fontsize="small")


def draw_frenet(ax) -> None:
    """Noisy fixes around the bends of a winding route, each joined to both of its answers."""
    import numpy as np
    from korvane import Path2D
    from korvane_frenet import from_frenet, to_frenet

    route = Path2D(points=[(0, 0), (10, 0), (10, 10), (60, 10), (60, -50), (30, -50), (30, -10)])
    rng = np.random.default_rng(5)
    bends = np.array([(10, 0), (10, 10), (60, 10), (60, -50), (30, -50)], dtype=float)
    fixes = bends[rng.integers(0, len(bends), 80)] + rng.normal(scale=2.0, size=(80, 2))
    near = to_frenet(route, fixes)
    nearest = from_frenet(route, near.s)
    ax.plot(*np.asarray(route.points).T, "-", color="0.55", lw=1.5, label="route")
    ax.plot(*fixes.T, "o", color="tab:blue", ms=3, label="GPS fix (2 m noise)")
    for k, fix in enumerate(fixes):
        ax.plot(*np.array([fix, nearest[k]]).T, "-", color="tab:blue", lw=0.7)
        s = route.path_length_from_point(fix)
        if s is None:
            ax.plot(*fix, "x", color="tab:red", ms=7, mew=2)
        elif abs(s - near.s[k]) > 1e-9:
            ax.plot(*np.array([fix, from_frenet(route, s)[0]]).T, "--", color="tab:red", lw=1.0)
    ax.plot([], [], "-", color="tab:blue", lw=0.7, label="to_frenet: nearest point")
    ax.plot([], [], "--", color="tab:red", lw=1.0, label="path_length_from_point, where it differs")
    ax.plot([], [], "x", color="tab:red", ms=7, mew=2, label="path_length_from_point: None")
    ax.set_aspect("equal")
    ax.set_xlabel("x [m]")
    ax.set_ylabel("y [m]")
    ax.set_title("The path's rule and the nearest point")
    ax.legend(loc="center left", fontsize="small")


def save(fig, path: Path) -> None:
    """Writes a 256-colour PNG: a third of the size of a full-colour one, and as readable."""
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=90)
    plt.close(fig)
    image = Image.open(buffer).convert("RGB").quantize(colors=256, method=Image.Quantize.MEDIANCUT)
    image.save(path, optimize=True)
    print(f"{path.relative_to(HERE.parent)}: {path.stat().st_size // 1024} KiB")


def main() -> None:
    out = HERE / "figures"
    out.mkdir(exist_ok=True)
    results = tour.run_tour()
    for name, panels in FIGURES.items():
        with plt.rc_context(tour.STYLE):
            fig, axes = plt.subplots(
                1, len(panels), figsize=(5.6 * len(panels), 5.4), squeeze=False, layout="constrained"
            )
            for panel, ax in zip(panels, axes.flat):
                panel(ax, results)
                ax.grid(alpha=0.3)
        save(fig, out / name)
    overview = out / "tour.png"
    tour.plot(results, str(overview))
    image = Image.open(overview).convert("RGB").quantize(colors=256, method=Image.Quantize.MEDIANCUT)
    image.save(overview, optimize=True)
    print(f"{overview.relative_to(HERE.parent)}: {overview.stat().st_size // 1024} KiB")


if __name__ == "__main__":
    main()
