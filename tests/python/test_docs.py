"""The user documentation: the generated API reference is current and complete, links resolve,
pictures stay small, and the examples that scripts/check does not run still work."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import korvane
import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = [ROOT / "README.md", *sorted(DOCS.glob("*.md"))]


def load(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module  # dataclasses look their module up while the class is made
    try:
        spec.loader.exec_module(module)
    finally:
        del sys.modules[spec.name]
    return module


def test_api_reference_is_current():
    generated = load(DOCS / "gen_api_reference.py").render()
    committed = (DOCS / "api.md").read_text()
    assert committed == generated, "docs/api.md is stale: run python docs/gen_api_reference.py"


def public_classes():
    for name in korvane.__all__:
        cls = getattr(korvane, name)
        yield name, cls
        for attribute, value in vars(cls).items():
            if isinstance(value, type):
                yield f"{name}.{attribute}", value


@pytest.mark.parametrize(
    "qualified, cls", list(public_classes()), ids=lambda v: v if isinstance(v, str) else ""
)
def test_api_reference_names_every_member(qualified, cls):
    page = (DOCS / "api.md").read_text()
    assert re.search(rf"^#+ {re.escape(qualified)}$", page, re.M), qualified
    for name, value in vars(cls).items():
        if name.startswith("_") or isinstance(value, type):
            continue
        if isinstance(value, cls):  # enumeration members
            assert f"`{qualified}.{name}`" in page, name
        elif type(value).__name__ == "getset_descriptor":
            assert re.search(rf"^\| `{name}` \| `[^`]+` \| \w", page, re.M), name  # typed and described
        else:
            assert re.search(rf"^#+ {re.escape(qualified)}\.{name}( \(static method\))?$", page, re.M), name


def github_anchor(heading: str) -> str:
    """The fragment GitHub gives a Markdown heading."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def anchors(page: Path) -> set[str]:
    text = re.sub(r"```.*?```", "", page.read_text(), flags=re.S)
    return {github_anchor(h) for h in re.findall(r"^#+ (.+)$", text, re.M)}


@pytest.mark.parametrize("page", PAGES, ids=lambda p: p.name)
def test_links_and_pictures_resolve(page):
    text = re.sub(r"```.*?```", "", page.read_text(), flags=re.S)
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+://", target):
            continue
        path, _, fragment = target.partition("#")
        resolved = (page.parent / path).resolve() if path else page
        assert resolved.exists(), f"{page.name}: {target}"
        if fragment and resolved.suffix == ".md":
            assert fragment in anchors(resolved), f"{page.name}: {target}"


def python_blocks():
    """Every Python block of the pages a reader copies from, with the page line it starts on."""
    for page in PAGES:
        if page.name == "api.md":
            continue
        text = page.read_text()
        for match in re.finditer(r"```python\n(.*?)```", text, flags=re.S):
            line = text.count("\n", 0, match.start()) + 2
            yield pytest.param(page, line, match.group(1), id=f"{page.name}:{line}")


@pytest.mark.parametrize("page, line, block", list(python_blocks()))
def test_python_example_runs_on_its_own(page, line, block):
    # Padded so that a traceback names the page's own line numbers.
    exec(compile("\n" * (line - 1) + block, str(page), "exec"), {})


def test_pictures_are_shown_and_small():
    shown = {
        (page.parent / link).resolve()
        for page in PAGES
        for link in re.findall(r"!\[[^\]]*\]\(([^)\s]+)\)", page.read_text())
    }
    pictures = sorted((DOCS / "figures").glob("*.png"))
    assert pictures
    for picture in pictures:
        assert picture.resolve() in shown, f"{picture.name} is not shown on any page"
        assert picture.stat().st_size < 150 * 1024, picture.name


def test_fleet_recipe_runs(tmp_path):
    pytest.importorskip("pyarrow")
    recipe = [sys.executable, str(ROOT / "examples" / "fleet.py")]
    result = subprocess.run(recipe, capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "300 trips" in result.stdout and "ms a trip" in result.stdout


def test_tour_refuses_plot_without_matplotlib_before_running(tmp_path):
    if importlib.util.find_spec("matplotlib") is not None:
        pytest.skip("matplotlib is installed")
    tour = [sys.executable, str(ROOT / "examples" / "tour.py"), "--plot", str(tmp_path / "x.png")]
    result = subprocess.run(tour, capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "needs matplotlib" in result.stderr
    assert result.stdout == ""  # nothing of the tour ran
