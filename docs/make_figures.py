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
}


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
