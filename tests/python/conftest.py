"""Shared helpers for the Python tests."""

import subprocess
import sys
import textwrap

import pytest


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter, for tests that change process-wide state."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.fixture
def python_subprocess():
    return run_python


# --- reliability: scale, figures and the sanitizer run ----------------------------------------

import json  # noqa: E402
import os  # noqa: E402
from pathlib import Path  # noqa: E402

from hypothesis import HealthCheck, settings  # noqa: E402

# Under AddressSanitizer (its runtime preloaded into Python) some tests cannot work as written.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# No example database: a fresh clone stays clean, and each run draws its own examples.
settings.register_profile(
    "quick", max_examples=60, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "full", max_examples=2000, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow]
)

FIGURE_ORDER = [
    "fuzz calls",
    "property examples",
    "leak-loop calls",
    "thread calls",
    "smoke calls",
    "crashes",
    "leaks",
    "sanitizer reports",
    "valgrind errors",
]
INPUT_FIGURES = FIGURE_ORDER[:5]


class Figures:
    """Counts the reliability tests report: inputs tried, crashes, leaks, sanitizer reports."""

    def __init__(self):
        self.counts = {}

    def add(self, name, count):
        self.counts[name] = self.counts.get(name, 0) + count


def pytest_addoption(parser):
    parser.addoption(
        "--full",
        action="store_true",
        default=False,
        help="run fuzzing, leak loops, thread runs and properties at full scale",
    )


def pytest_configure(config):
    config.korvane_figures = Figures()
    settings.load_profile("full" if config.getoption("--full") else "quick")


def pytest_collection_modifyitems(config, items):
    if SANITIZED:
        skip = pytest.mark.skip(reason="address space limits do not work under AddressSanitizer")
        for item in items:
            if item.get_closest_marker("no_sanitizer"):
                item.add_marker(skip)


@pytest.fixture(scope="session")
def full_scale(request):
    return request.config.getoption("--full")


@pytest.fixture(scope="session")
def sanitized():
    return SANITIZED


@pytest.fixture(scope="session")
def reliability(request):
    return request.config.korvane_figures


def pytest_terminal_summary(terminalreporter, exitstatus, config):
    """Prints the figures; under scripts/check --full also those of its earlier stages.

    KORVANE_SANITIZER_REPORTS names the directory the sanitizers write their reports to.

    KORVANE_FIGURES_DIR names a directory of <stage>.json files; this run adds its own as
    KORVANE_FIGURES_STAGE, and the totals over all stages follow its own figures.
    """
    reports = os.environ.get("KORVANE_SANITIZER_REPORTS")
    if reports:
        config.korvane_figures.add("sanitizer reports", count_sanitizer_reports(Path(reports)))
    own = config.korvane_figures.counts
    directory = os.environ.get("KORVANE_FIGURES_DIR")
    stages = {}
    if directory:
        folder = Path(directory)
        folder.mkdir(parents=True, exist_ok=True)
        stage = os.environ.get("KORVANE_FIGURES_STAGE", "pytest")
        (folder / f"{stage}.json").write_text(json.dumps(own))
        stages = {f.stem: json.loads(f.read_text()) for f in sorted(folder.glob("*.json"))}
    if not own and not stages:
        return
    write = terminalreporter.write_line
    terminalreporter.write_sep("=", "reliability")
    if own:
        write("this run: " + describe(own))
    if len(stages) > 1:
        for name, counts in stages.items():
            write(f"stage {name}: " + describe(counts))
        total = Figures()
        for counts in stages.values():
            for name, count in counts.items():
                total.add(name, count)
        counts = total.counts
        inputs = sum(counts.get(name, 0) for name in INPUT_FIGURES)
        write(
            f"summary: inputs tried {inputs}, crashes {counts.get('crashes', 0)}, "
            f"leaks {counts.get('leaks', 0)}, sanitizer reports {counts.get('sanitizer reports', 0)}, "
            f"valgrind errors {counts.get('valgrind errors', 0)}"
        )


# Every report ends the process that made it, so a log file holds at most one. Files with only
# warnings (an impossible allocation returned as null, which becomes MemoryError) hold none.
SANITIZER_ERRORS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")


def count_sanitizer_reports(folder):
    return sum(any(e in f.read_text(errors="replace") for e in SANITIZER_ERRORS) for f in folder.iterdir())


def describe(counts):
    names = [n for n in FIGURE_ORDER if n in counts] + sorted(set(counts) - set(FIGURE_ORDER))
    return ", ".join(f"{name} {counts[name]}" for name in names)
