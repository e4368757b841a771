"""examples/fleet.py: a loop, a process pool and a dask cluster write the same bytes, and the row
order and extra columns of a Parquet input change nothing."""

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
def runs(tmp_path_factory, sanitized):
    if sanitized:  # and pandas is not even imported under the sanitizers
        pytest.skip("dask and Arrow worker processes are outside what the sanitizer build checks")
    for module in ("pandas", "pyarrow", "distributed", "tqdm"):
        pytest.importorskip(module)
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
