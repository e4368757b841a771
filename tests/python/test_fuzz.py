"""Random calls of every callable, attribute and constructor with hostile arguments.

Each batch runs in its own interpreter, so a crash is counted (and replayed with a trace of the
calls) instead of ending the test run. Run as a script, this file is that batch:
    python tests/python/test_fuzz.py --seed 3 --calls 5000 [--trace]
"""

import argparse
import faulthandler
import gc
import json
import math
import os
import random
import subprocess
import sys
import types
import warnings
from fractions import Fraction

import korvane
import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, Path2D, ResamplingMethod
from korvane_frenet import from_frenet, to_frenet

# What may come out of any call; every other exception, and PanicException above all, is a fault.
ALLOWED = (TypeError, ValueError, OverflowError, IndexError, RuntimeError, ImportError, MemoryError)

METHODS = {
    "compute_circle_fit_curvature": ["max_rmse"],
    "find_circle_segments": ["start", "end", "max_rmse"],
    "resampled_path": ["resampling_method", "resampling_type", "epsilon"],
    "smoothed_path_elastic_band": ["max_deviation", "elastic_band_type"],
    "smoothed_path_chaikin": ["num_iterations"],
    "index_from_point": ["point", "epsilon"],
    "path_length_from_point": ["point", "epsilon"],
    "sub_path": ["start", "end", "epsilon"],
    "detect_corrupted_point_order": ["sus_angle"],
    "repair_corrupted_point_order": ["sus_angle"],
    "add_associated_values": ["values"],
    "associated_values": ["handle"],
    "associated_value_np": ["handle"],
}
# Read from the class, so that an attribute added later is fuzzed too.
ATTRIBUTES = [name for name, member in vars(Path2D).items() if isinstance(member, types.GetSetDescriptorType)]
# Constructors, static methods and the functions of korvane_frenet.
FUNCTIONS = {
    "Path2D": (Path2D, ["points", "x", "y"]),
    "by_number_points": (ResamplingMethod.by_number_points, ["number_points"]),
    "by_sampling_distance": (ResamplingMethod.by_sampling_distance, ["sampling_distance", "drop_last"]),
    "ByNumberPoints": (ResamplingMethod.ByNumberPoints, ["number_points"]),
    "BySamplingDistance": (ResamplingMethod.BySamplingDistance, ["sampling_distance", "drop_last"]),
    "ResamplingMethod": (ResamplingMethod, ["number_points"]),
    "InterpolationMethod": (InterpolationMethod, []),
    "ElasticBandMethod": (ElasticBandMethod, []),
    "to_frenet": (to_frenet, ["path", "points"]),
    # The keyword-only parameters, given by keyword.
    "to_frenet, keywords": (
        lambda path, points, max_distance, workers: to_frenet(
            path, points, max_distance=max_distance, workers=workers
        ),
        ["path", "points", "max_distance", "workers"],
    ),
    "from_frenet": (from_frenet, ["path", "s", "d"]),
    "from_frenet, workers": (
        lambda path, s, d, workers: from_frenet(path, s, d, workers=workers),
        ["path", "s", "d", "workers"],
    ),
}

# Integers: small ones that select real behaviour, and absurd ones that must be refused. Counts
# between 2**20 and 2**40 are left out: a machine with the memory honours them, at a cost of
# gigabytes and minutes per call.
INTEGERS = [
    0,
    1,
    2,
    3,
    5,
    8,
    -1,
    -2,
    2**40,
    2**62,
    2**63 - 1,
    2**63,
    2**64 - 1,
    2**64,
    10**30,
    -(2**63),
    -(10**30),
    True,
    False,
]
FLOATS = [
    0.0,
    -0.0,
    0.5,
    1.0,
    2.8,
    3.5,
    -1.0,
    1e-300,
    5e-324,
    1e-9,
    1e9,
    1e300,
    -1e300,
    math.nan,
    -math.nan,
    math.inf,
    -math.inf,
    math.pi,
]


class HostileError(ValueError):
    """Raised by the dunders of hostile arguments; an ordinary error the caller may see."""


class Fuzzer:
    def __init__(self, seed, trace=False):
        self.rng = random.Random(seed)
        self.trace = trace
        self.calls = 0
        self.failures = []
        self.depth = 0
        self.paths = [self.random_path() for _ in range(4)]

    # --- values ------------------------------------------------------------------------------

    def number(self):
        r = self.rng.random()
        if r < 0.45:
            return self.rng.choice(FLOATS)
        if r < 0.8:
            return self.rng.choice(INTEGERS)
        if r < 0.9:
            return self.rng.uniform(-10, 10)
        kind = self.rng.randrange(6)
        if kind == 0:
            return np.float64(self.rng.choice(FLOATS))
        if kind == 1:
            return np.float32(self.rng.uniform(-5, 5))
        if kind == 2:
            return np.int64(self.rng.choice([-1, 0, 3, 2**62]))
        if kind == 3:
            return np.uint64(self.rng.choice([0, 3, 2**64 - 1]))
        if kind == 4:
            return Fraction(1, 3)
        return self.hostile_scalar()

    def anything(self):
        r = self.rng.random()
        if r < 0.3:
            return self.number()
        if r < 0.45:
            return self.point()
        if r < 0.6:
            return self.points_like()
        if r < 0.7:
            return self.values_like()
        if r < 0.8:
            return self.option()
        if r < 0.86:
            return self.rng.choice(self.paths)
        junk = [
            None,
            "",
            "ab",
            "1.5",
            b"ab",
            bytearray(b"xy"),
            complex(1, 2),
            object(),
            {},
            {1: 2},
            set(),
            frozenset({1.0}),
            range(0),
            range(3),
            (i for i in range(2)),
            [],
            (),
            [[]],
            np.array(1.5),
            np.zeros((2, 2, 2)),
            np.bool_(True),
            np.array(["a", "b"]),
            korvane,
            # Arrays that claim 2**40 rows while holding one value.
            np.broadcast_to(np.float64(1.0), (2**40,)),
            np.broadcast_to(np.zeros(2), (2**40, 2)),
            Path2D,
            type,
            Ellipsis,
            NotImplemented,
            memoryview(b"ab"),
            self.hostile_sequence(),
        ]
        return self.rng.choice(junk)

    def point(self):
        r = self.rng.random()
        if r < 0.5:
            return [self.number(), self.number()] if r < 0.3 else (self.number(), self.number())
        if r < 0.65:
            return np.array([self.number_plain(), self.number_plain()])
        if r < 0.8:
            return self.hostile_sequence(length=2)
        return self.rng.choice(
            [
                [],
                [1.0],
                [1.0, 2.0, 3.0],
                "ab",
                "abc",
                np.array([1.0, 2.0], dtype=">f8"),
                np.array([[1.0, 2.0]]),
                [[1.0], [2.0]],
                [None, 1.0],
                range(2),
                {0: 1.0, 1: 2.0},
            ]
        )

    def number_plain(self):
        return self.rng.choice(FLOATS + [self.rng.uniform(-10, 10)])

    def points_like(self):
        n = self.rng.choice([0, 1, 2, 3, 4, 5, 8])
        r = self.rng.random()
        if r < 0.35:
            return [
                self.point() if self.rng.random() < 0.2 else [self.coordinate(), self.coordinate()]
                for _ in range(n)
            ]
        if r < 0.55:
            array = np.array([[self.coordinate(True), self.coordinate(True)] for _ in range(n)]).reshape(n, 2)
            return self.mangle_array(array)
        if r < 0.7:
            return tuple((self.coordinate(), self.coordinate()) for _ in range(n))
        if r < 0.85:
            return self.hostile_sequence(items=[[self.coordinate(), self.coordinate()] for _ in range(n)])
        return self.rng.choice(
            [
                [[1.0, 2.0], [3.0]],
                [[1.0, 2.0], None],
                [(1.0, 2.0), "ab"],
                np.zeros((3, 3)),
                np.zeros((0, 2)),
                np.zeros(4),
                [np.zeros(2), np.zeros(3)],
            ]
        )

    def coordinate(self, plain=False):
        r = self.rng.random()
        if r < 0.85:
            return round(self.rng.uniform(-10, 10), self.rng.choice([0, 1, 3, 12]))
        if r < 0.95 or plain:
            return self.rng.choice(FLOATS)
        return self.hostile_scalar()

    def values_like(self, length=None):
        n = length if length is not None else self.rng.choice([0, 1, 2, 3, 4, 5, 8])
        r = self.rng.random()
        if r < 0.5:
            return [self.coordinate() for _ in range(n)]
        if r < 0.7:
            return self.mangle_array(np.array([self.coordinate(True) for _ in range(n)], dtype=float))
        if r < 0.85:
            return self.hostile_sequence(items=[self.coordinate() for _ in range(n)])
        return self.rng.choice([range(n), tuple(range(n)), [None] * n, ["1"] * n, np.arange(n), "abc"])

    def mangle_array(self, array):
        kind = self.rng.randrange(8)
        if kind == 0:
            return array.astype(np.float32)
        if kind == 1:
            return array.astype(">f8")
        if kind == 2:
            return np.asfortranarray(array)
        if kind == 3:
            return np.repeat(array, 2, axis=0)[::2]  # strided view
        if kind == 4:
            return array[::-1]
        if kind == 5:
            return array.astype(object)
        if kind == 6:
            return array.astype(complex)
        return array

    def option(self):
        r = self.rng.randrange(7)
        if r == 0:
            return ResamplingMethod.by_number_points(
                self.rng.choice([0, 1, 2, 3, 7, 50, 2**32 + 1, 2**64 - 1])
            )
        if r == 1:
            return ResamplingMethod.by_sampling_distance(
                self.rng.choice([0.0, -1.0, 0.3, 1.0, 7.0, 1e-9, 1e-300, math.nan, math.inf]),
                self.rng.random() < 0.5,
            )
        if r == 2:
            return self.rng.choice([InterpolationMethod.Cubic, InterpolationMethod.Linear])
        if r == 3:
            return self.rng.choice([ElasticBandMethod.SquareBounds, ElasticBandMethod.OrthogonalBounds])
        if r == 4:
            return ResamplingMethod.ByNumberPoints(self.rng.choice(INTEGERS[:6]))
        if r == 5:
            return ResamplingMethod.BySamplingDistance(self.rng.uniform(0.05, 3), self.rng.random() < 0.5)
        return self.rng.choice([InterpolationMethod, ElasticBandMethod, ResamplingMethod])

    # --- hostile objects -----------------------------------------------------------------------

    def reenter(self):
        """Python code run from inside a conversion: calls back into a path, maybe the one in use."""
        if self.depth >= 2 or self.rng.random() < 0.3:
            if self.rng.random() < 0.2:
                gc.collect(0)  # frees what earlier hostile objects left behind, mid-conversion
            return
        self.depth += 1
        try:
            self.one_call()
        finally:
            self.depth -= 1

    def hostile_scalar(self):
        fuzzer = self
        behaviour = self.rng.randrange(5)
        value = self.rng.choice(FLOATS + [1, 2, 3])

        class Scalar:
            def _act(self, convert):
                fuzzer.reenter()
                if behaviour == 0:
                    raise HostileError("scalar refuses")
                if behaviour == 1:
                    return "not a number"
                if behaviour == 2:
                    return 10**40
                return convert(value)

            def __float__(self):
                return self._act(float)

            def __index__(self):
                return self._act(lambda v: int(v) if math.isfinite(v) else 7)

        return Scalar()

    def hostile_sequence(self, items=None, length=None):
        fuzzer = self
        items = list(items) if items is not None else [self.coordinate() for _ in range(length or 3)]
        behaviour = self.rng.randrange(8)

        class Sequence:
            def __len__(self):
                fuzzer.reenter()
                if behaviour == 0:
                    raise HostileError("no length")
                if behaviour == 1:
                    return -1 if fuzzer.rng.random() < 0.5 else 2**62
                return len(items)

            def __getitem__(self, i):
                fuzzer.reenter()
                if behaviour == 2 and i >= 1:
                    raise HostileError("item refuses")
                if behaviour == 3:
                    items.clear()
                return items[i]

            def __iter__(self):
                fuzzer.reenter()
                if behaviour == 4:
                    raise HostileError("no iterator")
                if behaviour == 5:
                    return 42  # not an iterator
                if behaviour == 6:
                    return (fuzzer.anything() for _ in range(len(items)))
                return iter(list(items))

        return Sequence()

    # --- paths -------------------------------------------------------------------------------

    def random_path(self):
        n = self.rng.choice([0, 1, 2, 3, 4, 6, 9])
        xs = [self.rng.uniform(-10, 10) for _ in range(n)]
        ys = [self.rng.uniform(-10, 10) for _ in range(n)]
        if n and self.rng.random() < 0.15:
            (xs if self.rng.random() < 0.5 else ys)[self.rng.randrange(n)] = self.rng.choice(FLOATS)
        if self.rng.random() < 0.2:
            extra = [self.rng.uniform(-1, 1) for _ in range(self.rng.randrange(1, 3))]
            path = Path2D(x=xs + extra, y=ys) if self.rng.random() < 0.5 else Path2D(x=xs, y=ys + extra)
        else:
            path = Path2D(points=list(zip(xs, ys)))
        for _ in range(self.rng.randrange(3)):
            path.add_associated_values([self.rng.uniform(-5, 5) for _ in range(n)])
        return path

    # --- calls -------------------------------------------------------------------------------

    def arguments(self, names):
        count = self.rng.choice([0, 1, 1, 2, 2, 3, 4]) if self.rng.random() < 0.2 else len(names)
        args = [self.argument_for(names[i] if i < len(names) else "") for i in range(count)]
        kwargs = {}
        if names and self.rng.random() < 0.4:
            # A tail of the named arguments goes by keyword; unnamed extras are dropped.
            split = self.rng.randrange(len(args) + 1)
            kwargs = {names[i]: args[i] for i in range(split, min(len(args), len(names)))}
            args = args[:split]
        if self.rng.random() < 0.1:
            key = self.rng.choice(names + ["bogus", "self", "eps", ""]) if names else "bogus"
            kwargs["".join(list(key))] = self.anything()  # not interned
        return args, kwargs

    def argument_for(self, name):
        if self.rng.random() < 0.35:
            return self.anything()
        if name == "path":
            return self.rng.choice(self.paths)
        if name in ("points",):
            return self.points_like()
        if name in ("x", "y", "values", "s", "d"):
            return self.values_like(length=self.rng.choice([None, len(self.paths[0].points)]))
        if name in ("point", "start", "end"):
            return None if name != "point" and self.rng.random() < 0.2 else self.point()
        if name in ("resampling_method", "resampling_type", "elastic_band_type"):
            return self.option()
        if name in ("num_iterations", "handle", "number_points", "workers"):
            return self.rng.choice(INTEGERS[:6]) if self.rng.random() < 0.7 else self.number()
        if name == "drop_last":
            return self.rng.choice([True, False, np.True_, np.False_, 1, None])
        return self.number()

    def one_call(self):
        path = self.rng.choice(self.paths)
        r = self.rng.random()
        if r < 0.55:
            name = self.rng.choice(list(METHODS))
            args, kwargs = self.arguments(METHODS[name])
            self.attempt(f"path.{name}", getattr(path, name), args, kwargs, path)
        elif r < 0.75:
            name = self.rng.choice(ATTRIBUTES)
            self.attempt(f"path.{name}", lambda: getattr(path, name), [], {}, path)
        elif r < 0.9:
            name = self.rng.choice(list(FUNCTIONS))
            function, names = FUNCTIONS[name]
            args, kwargs = self.arguments(names)
            given = args[0] if args and isinstance(args[0], Path2D) else None  # the path of to_frenet
            result = self.attempt(name, function, args, kwargs, given)
            if isinstance(result, Path2D) and self.depth == 0 and self.rng.random() < 0.3:
                self.paths[self.rng.randrange(len(self.paths))] = result
        else:
            self.special(path)

    def special(self, path):
        option = self.option()
        other = self.anything()
        operations = [
            ("repr(path)", lambda: repr(path)),
            ("str(option)", lambda: str(option)),
            ("int(option)", lambda: int(option)),
            ("option == other", lambda: option == other),
            ("option != other", lambda: option != other),
            ("other == option", lambda: other == option),
            ("option < other", lambda: option < other),
            ("hash(option)", lambda: hash(option)),
            ("path == other", lambda: path == other),
            (
                "option attribute",
                lambda: [
                    getattr(option, name)
                    for name in ("number_points", "sampling_distance", "drop_last", "__match_args__")
                    if hasattr(type(option), name)
                ],
            ),
        ]
        label, operation = self.rng.choice(operations)
        self.attempt(label, operation, [], {}, None)

    def attempt(self, label, function, args, kwargs, path):
        self.calls += 1
        if self.trace:
            print(
                f"call {self.calls} depth {self.depth}: {label} {safe_repr(args)} {safe_repr(kwargs)}",
                file=sys.stderr,
                flush=True,
            )
        before = snapshot(path) if path is not None and self.depth == 0 else None
        result = None
        try:
            result = function(*args, **kwargs)
        except ALLOWED as error:
            if self.trace:
                print(f"  -> {type(error).__name__}: {safe_repr(error)}", file=sys.stderr, flush=True)
        except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
            self.failures.append(f"{label}: {type(error).__module__}.{type(error).__name__}: {error}")
        if before is not None:
            after = snapshot(path)
            if not same_record(before, after):
                self.failures.append(f"{label}: changed the path it was called on")
        return result

    def check_borrows_released(self):
        for path in self.paths:
            try:
                path.add_associated_values([0.0] * len(path.points))
            except BaseException as error:  # noqa: B036
                self.failures.append(f"borrow left held after the batch: {type(error).__name__}: {error}")


def snapshot(path):
    """The parts of a record that no call may change: geometry, and the lists already attached."""
    handles = []
    h = 0
    while (values := path.associated_values(h)) is not None:
        handles.append(values)
        h += 1
    return path.points, path.x, path.y, handles


def same_record(before, after):
    points, x, y, handles = before
    points2, x2, y2, handles2 = after
    return (
        same_floats(points, points2)
        and same_floats(x, x2)
        and same_floats(y, y2)
        and same_floats(handles, handles2[: len(handles)])
    )


def same_floats(a, b):
    return repr(a) == repr(b)  # NaN-aware and bit-exact enough for unchanged lists


def safe_repr(value):
    try:
        return repr(value)[:200]
    except BaseException:  # noqa: B036 - a hostile repr
        return "<unprintable>"


def run_batch(seed, calls, trace=False):
    fuzzer = Fuzzer(seed, trace)
    while fuzzer.calls < calls:
        fuzzer.one_call()
    fuzzer.check_borrows_released()
    return {"calls": fuzzer.calls, "failures": fuzzer.failures}


# --- pytest side ----------------------------------------------------------------------------------


def run_worker(seed, calls, trace=False, timeout=600):
    command = [sys.executable, __file__, "--seed", str(seed), "--calls", str(calls)] + (
        ["--trace"] if trace else []
    )
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def fuzz_scale(full_scale):
    """Seeds of the batches, and calls per batch."""
    return (range(100, 140), 10_000) if full_scale else (range(2), 5_000)


def test_random_calls_raise_only_ordinary_errors(reliability, fuzz_scale):
    seeds, calls = fuzz_scale
    crashes, failures, tried = [], [], 0
    for seed in seeds:
        try:
            result = run_worker(seed, calls)
        except subprocess.TimeoutExpired:
            crashes.append(f"seed {seed}: no answer within the time limit")
            continue
        lines = result.stdout.strip().splitlines()
        if result.returncode != 0 or not lines:
            traced = run_worker(seed, calls, trace=True)
            tail = "\n".join(traced.stderr.splitlines()[-25:])
            crashes.append(f"seed {seed}: exit {result.returncode}\n{tail}")
            continue
        report = json.loads(lines[-1])
        tried += report["calls"]
        failures += [f"seed {seed}: {failure}" for failure in report["failures"]]
    reliability.add("fuzz calls", tried)
    reliability.add("crashes", len(crashes))
    assert not crashes, "\n\n".join(crashes)
    assert not failures, "\n".join(failures[:30])


def physical_memory():
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")


# The MemoryError says how much was asked for.
ASKED = r"^cannot allocate \d+ bytes for \d+ entries: the machine has \d+ bytes of memory$"


class TestBeyondMemory:
    """Results and argument copies the machine could never hold are refused before anything
    is allocated.

    The system grants such allocations and kills the process once they are written; a
    sampling distance of 1e-9 on a path of length 1 did that. An array broadcast to 2**40 rows
    (one row of memory) made the sanitized build abort, which cannot throw from its allocator.
    """

    @pytest.fixture
    def count(self):
        count = 2 * physical_memory() // 32  # a point with its x and y takes 32 bytes
        if count >= 2**32:
            pytest.skip("the count limit of resampling refuses these before memory does")
        return count

    def test_resampling_by_number_of_points(self, count):
        with pytest.raises(MemoryError, match=ASKED):
            Path2D(points=[[0, 0], [1, 0]]).resampled_path(ResamplingMethod.by_number_points(count))

    def test_resampling_by_sampling_distance(self, count):
        with pytest.raises(MemoryError, match=ASKED):
            Path2D(points=[[0, 0], [1, 0]]).resampled_path(ResamplingMethod.by_sampling_distance(1 / count))

    def test_chaikin(self, count):
        with pytest.raises(MemoryError, match=ASKED):
            Path2D(points=[[0, 0], [1, 0]]).smoothed_path_chaikin(count.bit_length())

    @pytest.mark.parametrize(
        "make",
        [
            lambda rows: Path2D(points=np.broadcast_to(np.zeros(2), (rows, 2))),
            lambda rows: Path2D(x=np.broadcast_to(np.float64(0), (2 * rows,)), y=[0.0]),
            lambda rows: Path2D(points=[]).add_associated_values(np.broadcast_to(np.float64(0), (2 * rows,))),
        ],
        ids=["points", "coordinates", "values"],
    )
    def test_broadcast_arrays(self, make):
        rows = physical_memory() // 16 + 1  # a row of two floats takes 16 bytes
        with pytest.raises(MemoryError, match=ASKED):
            make(rows)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seed", type=int, required=True)
    parser.add_argument("--calls", type=int, required=True)
    parser.add_argument("--trace", action="store_true")
    options = parser.parse_args()
    faulthandler.enable()
    warnings.simplefilter("ignore")  # NumPy's casting warnings from the hostile arrays
    # Hostile dunders recurse through conversions; keep Python's own limit from being the story.
    sys.setrecursionlimit(10000)
    report = run_batch(options.seed, options.calls, options.trace)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
