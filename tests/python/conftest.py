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
