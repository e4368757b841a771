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
}


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
