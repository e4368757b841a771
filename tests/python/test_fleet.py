"""korvane-fleet: a loop, a process pool and a dask cluster write the same bytes, and the row order
and extra columns of a Parquet input change nothing; mistakes are found before any work, a run
owns its lock and staging folder, and a stopped run leaves the previous results as they were."""

import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

COMMAND = Path(sys.executable).parent / "korvane-fleet"
FLEET = [sys.executable, "-m", "korvane_fleet"]
TRIPS = 200


def fleet(*args, cwd=None, command=FLEET) -> subprocess.CompletedProcess:
    # Small chunks, so that the 200 trips make a dozen tasks spread over the workers.
    result = subprocess.run(
        [*map(str, command), "--chunk-size", "5000", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "trips/s" in result.stdout and "positions/s" in result.stdout
    return result


@pytest.fixture(scope="module")
def needs_fleet(sanitized):
    if sanitized:  # and pandas is not even imported under the sanitizers
        pytest.skip("dask and Arrow worker processes are outside what the sanitizer build checks")
    for module in ("pandas", "pyarrow", "distributed", "tqdm", "korvane_fleet"):
        pytest.importorskip(module)


@pytest.fixture(scope="module")
def runs(tmp_path_factory, needs_fleet):
    folder = tmp_path_factory.mktemp("fleet")
    fleet(
        "--trips",
        TRIPS,
        "--workers",
        1,
        "--out",
        folder / "loop",
        "--save-sample",
        folder / "sample.parquet",
        command=[COMMAND],  # the console script itself, once
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
    assert len(loop) == 3  # one file per dataset
    assert files(runs / "pool") == loop
    assert files(runs / "dask") == loop
    sample = pd.read_parquet(runs / "sample.parquet")
    trips = pd.read_parquet(runs / "loop" / "trips")
    points = pd.read_parquet(runs / "loop" / "points")
    assert sorted(trips.trip_id) == sorted(sample.trip_id.unique()) == sorted(points.trip_id.unique())
    assert (trips.points_in == sample.groupby("trip_id").size().sort_index().to_numpy()).all()
    assert trips.removed.sum() > 0 and trips.arcs.sum() > 0
    assert (points.groupby("trip_id").t.diff().dropna() >= pd.Timedelta(0)).all()
    assert trips.max_speed.between(trips.mean_speed * 0.9, 40).all()
    # Every input row once, on its own trip's smoothed path: within reach of it, along its length.
    positions = pd.read_parquet(runs / "loop" / "positions")
    assert sorted(positions.row) == list(range(len(sample)))
    assert (sample.trip_id.to_numpy()[positions.row] == positions.trip_id).all()
    length = positions.trip_id.map(trips.set_index("trip_id").length)
    assert (positions.s.between(0, length) & (positions.d.abs() < 5)).mean() > 0.99
    # Nothing of the run is left beside OUT: no staging folder, no lock.
    assert sorted(p.name for p in runs.iterdir() if p.name.startswith(".")) == []


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


def test_lonlat_projects_each_trip_and_gives_degrees_back(runs, tmp_path):
    import pandas as pd
    from korvane_fleet.lonlat import from_local

    sample = pd.read_parquet(runs / "sample.parquet")
    sample["x"], sample["y"] = from_local(sample.x, sample.y, 11.5, 48.1)
    sample.to_parquet(tmp_path / "degrees.parquet")
    fleet(tmp_path / "degrees.parquet", "--lonlat", "--out", tmp_path / "out")
    metres, degrees = (pd.read_parquet(folder / "trips") for folder in (runs / "loop", tmp_path / "out"))
    assert np.allclose(degrees.length, metres.length, rtol=1e-5)
    points = pd.read_parquet(tmp_path / "out" / "points")
    assert points.x.between(11.4, 11.6).all() and points.y.between(48.0, 48.2).all()


@pytest.mark.skipif(not __import__("importlib").util.find_spec("pyproj"), reason="needs pyproj")
@pytest.mark.parametrize("lon0, lat0", [(11.6, 48.1), (-70.6, -33.4), (179.9, 64.1), (15.6, 78.2)])
def test_lonlat_frame_is_the_transverse_mercator_of_proj(lon0, lat0):
    import pyproj
    from korvane_fleet.lonlat import to_local

    rng = np.random.default_rng(2)
    lon, lat = lon0 + rng.uniform(-0.5, 0.5, 500), lat0 + rng.uniform(-0.3, 0.3, 500)
    frame = pyproj.CRS.from_proj4(f"+proj=tmerc +lat_0={lat0} +lon_0={lon0} +k=1 +ellps=WGS84")
    expected = pyproj.Transformer.from_crs("EPSG:4326", frame, always_xy=True).transform(lon, lat)
    assert np.allclose(to_local(lon, lat, lon0, lat0), expected, rtol=0, atol=1e-6)


def test_summaries_are_null_without_time_or_points_and_odd_time_is_counted(tmp_path, needs_fleet):
    import pandas as pd

    table = {
        "trip_id": [1, 2, 2, 3, 3, 3, 3, *[4] * 40],
        "t": [0.0, np.nan, np.nan, 0.0, 0.0, 0.0, 1e-6, *np.arange(40.0)],  # 3: two times, 30 m apart
        "x": [5.0, 1.0, 2.0, 0.0, 10.0, 20.0, 30.0, *np.arange(40.0)],
        "y": [0.0] * 47,
    }
    pd.DataFrame(table).to_parquet(tmp_path / "trips.parquet")
    result = fleet("trips.parquet", "--out", "out", cwd=tmp_path)
    assert "1 trips faster than 100 m/s somewhere, 1 trips whose time stands still" in result.stdout
    trips = pd.read_parquet(tmp_path / "out" / "trips").set_index("trip_id")
    summaries = ["duration", "length", "mean_speed", "max_speed", "band_solved", "arcs", "max_curvature"]
    assert trips.loc[2, summaries].isna().all() and trips.loc[1, summaries[2:]].isna().all()
    assert trips.loc[3, "time_still"] == 2 and trips.loc[3, "mean_speed"] == pytest.approx(3e7)
    assert trips.loc[4, "max_speed"] == pytest.approx(1.0) and trips.loc[4, "band_solved"]


def test_network_gives_each_position_its_edge_and_each_trip_its_route(tmp_path, needs_fleet):
    import pandas as pd
    import pyarrow as pa
    import pyarrow.parquet as pq

    # An L of two two-way streets from node 1 by 2 to 3, as GeoArrow LineStrings; trip 1 drives
    # it from 1 to 3 and trip 2 back, each with a position far from both and one without x.
    xy = pa.struct([("x", pa.float64()), ("y", pa.float64())])
    lines = [
        [{"x": 0.0, "y": 0.0}, {"x": 200.0, "y": 0.0}],
        [{"x": 200.0, "y": 0.0}, {"x": 200.0, "y": 200.0}],
    ]
    edges = {"geometry": pa.array(lines, pa.list_(xy)), "u": [1, 2], "v": [2, 3], "oneway": [False, False]}
    pq.write_table(pa.table(edges), tmp_path / "roads.parquet")
    s = np.arange(2.5, 400.0, 5.0)
    x, y = np.minimum(s, 200.0) + 1.0, np.maximum(s - 200.0, 0.0) - 1.0
    x, y = np.r_[x, 900.0, np.nan], np.r_[y, 900.0, 0.0]
    trips = {"trip_id": np.repeat([1, 2], len(x)), "t": np.r_[s, 400, 401, 400 - s, 500, 501]}
    pd.DataFrame({**trips, "x": np.r_[x, x], "y": np.r_[y, y]}).to_parquet(tmp_path / "trips.parquet")
    fleet("trips.parquet", "--network", "roads.parquet", "--out", "out", cwd=tmp_path)
    positions = pd.read_parquet(tmp_path / "out" / "positions").set_index(["trip_id", "row"]).sort_index()
    along = positions.loc[1].iloc[: len(s)]
    assert along["edge"].tolist() == [0] * 40 + [1] * 40 and not along["reversed"].any()
    assert np.allclose(along["s_edge"], np.r_[s[:40] + 1, s[40:] - 201], atol=1e-9)
    assert np.allclose(along["d_edge"], -1.0)  # right of both streets
    assert positions.loc[2].iloc[: len(s)]["reversed"].all()
    assert positions["edge"].isna().sum() == 4  # the far positions and those without x
    route = pd.read_parquet(tmp_path / "out" / "trips").set_index("trip_id")
    assert route.loc[1, "route"].tolist() == [0, 1] and route.loc[2, "route"].tolist() == [1, 0]
    assert route.loc[2, "route_reversed"].all() and not route.loc[1, "route_reversed"].any()
    # A pool's workers receive the network as they start and match alike.
    fleet("trips.parquet", "--network", "roads.parquet", "--workers", "2", "--out", "pool", cwd=tmp_path)
    for name in ("positions", "trips"):
        pd.testing.assert_frame_equal(
            pd.read_parquet(tmp_path / "pool" / name), pd.read_parquet(tmp_path / "out" / name)
        )


ONE = {"trip_id": [1], "t": [0.0], "x": [0.0], "y": [0.0]}
DEGREES = {"trip_id": [1, 1, 2], "t": [0.0, 1.0, 0.0], "x": [11.5, 11.5001, 11.6], "y": [48.1, 48.1001, 48.2]}


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
        (DEGREES, ["--out", "new/deeper"]),  # longitude and latitude as metres
        ({**DEGREES, "x": [0.0, 1.0, 500.0]}, ["--lonlat"]),
        (ONE, ["--out", "held"]),  # another run holds the lock
        (ONE, ["--network", "nowhere.parquet"]),
        (ONE, ["--network", "trips.parquet"]),  # no geometry, source or target
    ],
)
def test_a_mistake_is_one_line_before_any_work(tmp_path, needs_fleet, contents, options):
    import pyarrow as pa
    import pyarrow.parquet as pq
    from korvane_fleet.output import Lock

    if isinstance(contents, bytes):
        (tmp_path / "trips.parquet").write_bytes(contents)
    elif contents is not None:
        pq.write_table(pa.table(contents), tmp_path / "trips.parquet")
    (tmp_path / "file").touch()
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "notes.txt").touch()
    held = Lock(tmp_path / "held")
    held.acquire("the test")
    before = sorted(tmp_path.rglob("*"))
    command = [*FLEET, "trips.parquet", "--out", "out", *options]
    result = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stdout, len(result.stderr.splitlines())) == (2, "", 1), result.stderr
    assert sorted(tmp_path.rglob("*")) == before
    held.release()


def test_help_without_the_extra_says_what_to_install():
    code = "import sys; sys.modules['pyarrow'] = None; from korvane_fleet.cli import main; main(['--help'])"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert "Not installed here: pyarrow" in result.stdout and "pip install 'korvane[fleet]'" in result.stdout


def start(runs, out, *options):
    """A run into `out` that has written a tenth of its chunks into its staging folder."""
    command = [*FLEET, runs / "sample.parquet", "--out", out, "--chunk-size", 3000, *options]
    # Its own session, so that a run that does not stop is killed whole: its workers hold the pipe.
    run = subprocess.Popen(
        list(map(str, command)),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    assert " trips (" in run.stderr.readline()
    return run


@pytest.mark.parametrize("workers, stop", [(1, signal.SIGINT), (2, signal.SIGINT), (2, signal.SIGTERM)])
def test_a_stopped_run_leaves_the_previous_results(runs, tmp_path, workers, stop):
    out = tmp_path / "out"
    shutil.copytree(runs / "loop", out)
    before = files(out)
    with start(runs, out, "--workers", workers) as run:
        run.send_signal(stop)
        try:
            errors = run.communicate(timeout=120)[1]
        except subprocess.TimeoutExpired:
            os.killpg(run.pid, signal.SIGKILL)
            raise
    assert run.returncode == (130 if stop == signal.SIGINT else 128 + stop), errors
    assert errors.splitlines()[-1].startswith(
        f"korvane-fleet: {'interrupted' if stop == signal.SIGINT else 'stopped'}"
    )
    assert files(out) == before and (out / "_SUCCESS").exists()
    assert [p.name for p in tmp_path.iterdir()] == ["out"]  # no staging folder, no lock beside it


def test_a_killed_runs_staging_is_removed_by_the_next_run_and_no_other_folder(runs, tmp_path):
    out = tmp_path / "out"
    with start(runs, out) as run:
        os.killpg(run.pid, signal.SIGKILL)
    (left,) = tmp_path.glob(".out.staging-*")
    assert json.loads((left / ".korvane-fleet").read_text())["out"] == str(out)
    # Folders of the user's that look like a run's, and one of a run into another OUT.
    theirs = [".out.staging", ".out.previous", ".out.staging-mine", ".out.previous-old"]
    for name in theirs:
        (tmp_path / name).mkdir()
        (tmp_path / name / "notes.txt").touch()
    shutil.copytree(left, tmp_path / ".out.staging-other")
    (tmp_path / ".out.staging-other" / ".korvane-fleet").write_text(json.dumps({"out": str(tmp_path / "x")}))
    result = fleet(runs / "sample.parquet", "--out", out)
    (warning,) = [line for line in result.stderr.splitlines() if "warning" in line]
    assert left.name in warning and all(name in warning for name in [*theirs[2:], ".out.staging-other"])
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["out", ".out.staging-other", *theirs])
    assert files(out) == files(runs / "loop")
