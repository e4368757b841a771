"""examples/fleet.py: a loop, a process pool and a dask cluster write the same bytes, and the row
order and extra columns of a Parquet input change nothing; mistakes are found before any work,
and an interrupted run leaves the previous results as they were."""

import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

FLEET = Path(__file__).resolve().parents[2] / "examples" / "fleet.py"
TRIPS = 200


def fleet(*args) -> str:
    # Small chunks, so that the 200 trips make a dozen tasks spread over the workers.
    result = subprocess.run(
        [sys.executable, str(FLEET), "--chunk-size", "5000", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "trips/s" in result.stdout and "positions/s" in result.stdout
    return result.stdout


@pytest.fixture(scope="module")
def needs_fleet(sanitized):
    if sanitized:  # and pandas is not even imported under the sanitizers
        pytest.skip("dask and Arrow worker processes are outside what the sanitizer build checks")
    for module in ("pandas", "pyarrow", "distributed", "tqdm"):
        pytest.importorskip(module)


@pytest.fixture(scope="module")
def runs(tmp_path_factory, needs_fleet):
    folder = tmp_path_factory.mktemp("fleet")
    fleet(
        "--trips", TRIPS, "--workers", 1, "--out", folder / "loop", "--save-sample", folder / "sample.parquet"
    )
    fleet("--trips", TRIPS, "--workers", 2, "--out", folder / "pool")
    # A LocalCluster of 2 worker processes talking TCP on 127.0.0.1.
    fleet("--trips", TRIPS, "--dask", "--workers", 2, "--out", folder / "dask")
    return folder


def files(folder: Path) -> dict[str, bytes]:
    return {str(f.relative_to(folder)): f.read_bytes() for f in sorted(folder.rglob("*.parquet"))}


def test_loop_pool_and_dask_write_the_same_files(runs):
    import pandas as pd

    loop = files(runs / "loop")
    assert len(loop) > 20  # points and trips of each chunk
    assert files(runs / "pool") == loop
    assert files(runs / "dask") == loop
    sample = pd.read_parquet(runs / "sample.parquet")
    trips = pd.read_parquet(runs / "loop" / "trips")
    points = pd.read_parquet(runs / "loop" / "points")
    assert sorted(trips.trip_id) == sorted(sample.trip_id.unique()) == sorted(points.trip_id.unique())
    assert (trips.points_in == sample.groupby("trip_id").size().sort_index().to_numpy()).all()
    assert trips.removed.sum() > 0 and trips.arcs.sum() > 0
    assert (points.groupby("trip_id").t.diff().dropna() >= pd.Timedelta(0)).all()
    # Every input row once, on its own trip's smoothed path: within reach of it, along its length.
    positions = pd.read_parquet(runs / "loop" / "positions")
    assert sorted(positions.row) == list(range(len(sample)))
    assert (sample.trip_id.to_numpy()[positions.row] == positions.trip_id).all()
    length = positions.trip_id.map(trips.set_index("trip_id").length)
    assert (positions.s.between(0, length) & (positions.d.abs() < 5)).mean() > 0.99


def test_shuffled_input_with_an_extra_column_gives_the_same_results(runs):
    import pandas as pd

    sample = pd.read_parquet(runs / "sample.parquet")
    shuffle = np.random.default_rng(5).permutation(len(sample))
    shuffled = sample.iloc[shuffle].reset_index(drop=True)
    shuffled.insert(1, "speed", np.linspace(0.0, 1.0, len(shuffled)))
    shuffled.to_parquet(runs / "shuffled.parquet")
    fleet(runs / "shuffled.parquet", "--out", runs / "shuffled")
    assert files(runs / "shuffled" / "points") == files(runs / "loop" / "points")
    loop, again = pd.read_parquet(runs / "loop" / "trips"), pd.read_parquet(runs / "shuffled" / "trips")
    pd.testing.assert_frame_equal(loop.drop(columns="removed_rows"), again.drop(columns="removed_rows"))
    # The removed rows are named by their row in the shuffled file: the same positions.
    for rows, shuffled_rows in zip(loop.removed_rows, again.removed_rows):
        assert sorted(shuffle[shuffled_rows]) == list(rows)


ONE = {"trip_id": [1], "t": [0.0], "x": [0.0], "y": [0.0]}


@pytest.mark.parametrize(
    "contents, options",
    [
        (None, []),  # no such input
        (b"trip_id,t,x,y\n1,0.0,0.0,0.0\n", []),  # CSV
        ({"trip_id": [1], "t": [0.0], "x": [0.0]}, []),
        ({**ONE, "t": ["0.0"]}, []),
        ({name: np.array([], dtype=float) for name in ONE}, []),  # no rows
        (ONE, ["--out", "file"]),
        (ONE, ["--out", "other"]),  # holds something else than results
        (ONE, ["--workers", "0"]),
    ],
)
def test_a_mistake_is_one_line_before_any_work(tmp_path, needs_fleet, contents, options):
    import pyarrow as pa
    import pyarrow.parquet as pq

    if isinstance(contents, bytes):
        (tmp_path / "trips.parquet").write_bytes(contents)
    elif contents is not None:
        pq.write_table(pa.table(contents), tmp_path / "trips.parquet")
    (tmp_path / "file").touch()
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").touch()
    before = sorted(tmp_path.rglob("*"))
    command = [sys.executable, str(FLEET), "trips.parquet", "--out", "out", *options]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout, len(result.stderr.splitlines())) == (2, "", 1), result.stderr
    assert sorted(tmp_path.rglob("*")) == before


@pytest.mark.parametrize("workers", [1, 2])
def test_an_interrupted_run_leaves_the_previous_results(runs, tmp_path, workers):
    out = tmp_path / "out"
    shutil.copytree(runs / "loop", out)
    before = files(out)
    command = [sys.executable, str(FLEET), runs / "sample.parquet", "--out", out, "--chunk-size", 3000]
    arguments = [*map(str, command), "--workers", str(workers)]
    # Its own session, so that a run that does not stop is killed whole: its workers hold the pipe.
    with subprocess.Popen(
        arguments, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, start_new_session=True
    ) as run:
        assert " trips (" in run.stderr.readline()  # a tenth written, in the staging directory
        run.send_signal(signal.SIGINT)
        try:
            errors = run.communicate(timeout=120)[1]
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)
            raise
    assert run.returncode == 130 and errors.splitlines()[-1].startswith("fleet.py: interrupted"), errors
    assert files(out) == before and (out / "_SUCCESS").exists()
    assert [p.name for p in tmp_path.iterdir()] == ["out"]  # no partial dataset beside it
