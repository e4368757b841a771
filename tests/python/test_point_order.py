"""Detecting and repairing reversed point order, against a pass-by-pass pure-Python definition."""

import math

import numpy as np
import pytest
from korvane import Path2D

# The literal doubles the turn angle is defined with.
PI = 3.141592653589793
TWO_PI = 6.283185307179586


def turn_angle(a, b, c):
    heading_in = math.atan2(b[1] - a[1], b[0] - a[0])
    heading_out = math.atan2(c[1] - b[1], c[0] - b[0])
    d = abs(heading_out - heading_in)
    return abs(TWO_PI - d) if d > PI else d


def reference_detect(points, sus_angle):
    return [j for j in range(1, len(points) - 1) if turn_angle(*points[j - 1 : j + 2]) >= sus_angle]


def reference_repair(points, lists, sus_angle):
    """(points, lists, passes): remove every reported point at once, detect again, until none is."""
    points, lists, passes = list(points), [list(v) for v in lists], 0
    while found := reference_detect(points, sus_angle):
        passes += 1
        for j in reversed(found):
            del points[j]
            for values in lists:
                del values[j]
    return points, lists, passes


def zigzag(n, seed, folds=8, repeats=6, scale=1.0, offset=(0.0, 0.0)):
    """A drifting walk with folds of 1 to 6 backward steps and some repeated points."""
    rng = np.random.default_rng(seed)
    heading = np.cumsum(rng.normal(scale=0.15, size=n))
    step = rng.uniform(0.5, 1.5, size=n)
    for start in rng.choice(n - 10, size=folds, replace=False):
        step[start : start + rng.integers(1, 7)] *= -rng.uniform(0.3, 1.2)
    points = np.cumsum(np.column_stack([step * np.cos(heading), step * np.sin(heading)]), axis=0)
    points[rng.choice(np.arange(1, n), size=repeats, replace=False)] = points[
        rng.choice(np.arange(1, n), size=repeats, replace=False) - 1
    ]
    return points * scale + offset


def near_threshold_chain(sus_angle, seed):
    """Turns of sus_angle plus or minus up to a few 1e-7 rad, in alternating directions."""
    rng = np.random.default_rng(seed)
    deltas = np.array(
        [
            0.0,
            1e-16,
            -1e-16,
            1e-12,
            -1e-12,
            5e-8,
            -5e-8,
            1e-7,
            -1e-7,
            1.0000001e-7,
            -1.0000001e-7,
            2e-7,
            -2e-7,
            1e-6,
            -1e-6,
        ]
    )
    turns = (sus_angle + rng.choice(deltas, size=200)) * rng.choice([-1.0, 1.0], size=200)
    heading = rng.uniform(-PI, PI) + np.cumsum(turns)
    step = rng.uniform(0.1, 10.0, size=200)
    return np.cumsum(np.column_stack([step * np.cos(heading), step * np.sin(heading)]), axis=0)


SHAPES = {
    "zigzag": lambda: zigzag(300, 1),
    "dense-folds": lambda: zigzag(300, 2, folds=40),
    "georeferenced": lambda: zigzag(300, 3, offset=(512_000.0, 5_400_000.0)),
    "tiny": lambda: zigzag(200, 4, scale=1e-160),
    "huge": lambda: zigzag(200, 5, scale=1e150),
}
SUS_ANGLES = [2.8, 1.0, PI / 2, 0.0005, PI - 0.0005, 3.1]


class TestAgainstReference:
    @pytest.mark.parametrize("sus_angle", SUS_ANGLES)
    @pytest.mark.parametrize("shape", SHAPES.values(), ids=SHAPES.keys())
    def test_detect_and_repair(self, shape, sus_angle):
        points = shape().tolist()
        rng = np.random.default_rng(6)
        lists = [rng.normal(size=len(points)).tolist(), list(map(float, range(len(points))))]
        p = Path2D(points=points)
        handles = [p.add_associated_values(values) for values in lists]
        assert p.detect_corrupted_point_order(sus_angle) == reference_detect(points, sus_angle)
        expected_points, expected_lists, _ = reference_repair(points, lists, sus_angle)
        repaired = p.repair_corrupted_point_order(sus_angle)
        assert repaired.points == expected_points
        assert repaired.x == [x for x, _ in expected_points] and repaired.y == [y for _, y in expected_points]
        assert [repaired.associated_values(h) for h in handles] == expected_lists

    @pytest.mark.parametrize("sus_angle", [2.8, 0.5, 1.9, PI / 2, 0.0011, PI - 0.0011])
    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_turns_within_a_hair_of_the_threshold(self, sus_angle, seed):
        points = near_threshold_chain(sus_angle, seed).tolist()
        p = Path2D(points=points)
        index = p.add_associated_values(list(map(float, range(len(points)))))
        found = reference_detect(points, sus_angle)
        assert p.detect_corrupted_point_order(sus_angle) == found
        assert 20 < len(found) < len(points) - 20  # both sides of the threshold are present
        expected_points, (expected_index,), _ = reference_repair(points, [range(len(points))], sus_angle)
        repaired = p.repair_corrupted_point_order(sus_angle)
        assert repaired.associated_values(index) == expected_index and repaired.points == expected_points

    def test_inputs_need_several_passes(self):
        # Guards the comparison above against paths that a single pass already repairs.
        passes = [reference_repair(SHAPES[name]().tolist(), [], 2.8)[2] for name in ("zigzag", "dense-folds")]
        assert min(passes) >= 3


class TestWorkedExamples:
    @pytest.mark.parametrize(
        "points, sus_angle, found, repaired",
        [
            ([], 2.8, [], []),
            ([[1, 2]], 0.0, [], [[1, 2]]),
            ([[1, 2], [1, 2]], -1.0, [], [[1, 2], [1, 2]]),
            (
                [[0, 0], [1, 0], [2, 0], [1.5, 0], [3, 0], [4, 0]],
                2.8,
                [2, 3],
                [[0, 0], [1, 0], [3, 0], [4, 0]],
            ),
            ([[0, 0], [1, 0], [1, 1]], 1.5, [1], [[0, 0], [1, 1]]),
            ([[0, 0], [1, 0], [1, 1]], 2.8, [], [[0, 0], [1, 0], [1, 1]]),
            (
                [[0, 0], [1, 0], [1, 1]],
                PI / 2,
                [1],
                [[0, 0], [1, 1]],
            ),  # a turn of exactly sus_angle is reported
            ([[0, 0], [1, 0], [0, 0.01]], 2.8, [1], [[0, 0], [0, 0.01]]),
            ([[0, 0], [1, 0], [2, 0], [3, 0]], 0.0, [1, 2], [[0, 0], [3, 0]]),
            ([[0, 0], [1, 0], [2, 0], [3, 0]], 1e-300, [], [[0, 0], [1, 0], [2, 0], [3, 0]]),
            # A repeated point: its zero-length segment has heading 0, so a step in -x turns by pi there.
            ([[1, -1], [1, 0], [1, 0], [0, 0]], 2.8, [2], [[1, -1], [1, 0], [0, 0]]),
            (
                [[0, 0], [1, 0], [math.nan, 1], [3, 0], [4, 0]],
                0.0,
                [],
                [[0, 0], [1, 0], [math.nan, 1], [3, 0], [4, 0]],
            ),
            ([[0, 0], [1, 0], [0, 0], [1, 0]], math.nan, [], [[0, 0], [1, 0], [0, 0], [1, 0]]),
            ([[0, 0], [1, 0], [0, 0], [1, 0]], PI, [1, 2], [[0, 0], [1, 0]]),
            ([[0, 0], [1, 0], [0, 0], [1, 0]], 3.2, [], [[0, 0], [1, 0], [0, 0], [1, 0]]),
        ],
    )
    def test_paths(self, points, sus_angle, found, repaired):
        p = Path2D(points=points)
        assert p.detect_corrupted_point_order(sus_angle) == found
        result = p.repair_corrupted_point_order(sus_angle).points
        assert repr(result) == repr([[float(x), float(y)] for x, y in repaired])  # repr: NaN equals itself

    def test_repair_removes_values_with_their_points(self):
        p = Path2D(points=[[0, 0], [1, 0], [2, 0], [1.5, 0], [3, 0], [4, 0]])
        first = p.add_associated_values([0, 1, 2, 3, 4, 5])
        second = p.add_associated_values([10, 11, 12, 13, 14, 15])
        repaired = p.repair_corrupted_point_order()
        assert repaired.associated_values(first) == [0.0, 1.0, 4.0, 5.0]
        assert repaired.associated_values(second) == [10.0, 11.0, 14.0, 15.0]
        assert repaired.associated_values(2) is None
        # One value per point again, so the lists follow further operations.
        assert repaired.sub_path([0.5, 0], [3.5, 0]).associated_values(first) == [0.5, 1.0, 4.0, 4.5]

    def test_surplus_coordinates_stay_behind_the_points(self):
        p = Path2D(x=[0, 1, 2, 1.5, 3, 4, 99], y=[0, 0, 0, 0, 0, 0])
        repaired = p.repair_corrupted_point_order()
        assert repaired.points == [[0, 0], [1, 0], [3, 0], [4, 0]]
        assert repaired.x == [0, 1, 3, 4, 99] and repaired.y == [0, 0, 0, 0]


class TestInvariants:
    @pytest.mark.parametrize("sus_angle", [2.8, 2.0, 1.2, 0.3])
    @pytest.mark.parametrize("shape", ["zigzag", "dense-folds", "georeferenced"])
    def test_repaired_path_has_no_suspicious_turn_and_keeps_its_ends(self, shape, sus_angle):
        points = SHAPES[shape]()
        p = Path2D(points=points)
        handle = p.add_associated_values(list(range(len(points))))
        repaired = p.repair_corrupted_point_order(sus_angle)
        assert repaired.detect_corrupted_point_order(sus_angle) == []
        # The survivors keep their order and each carries its own index along.
        kept = [int(i) for i in repaired.associated_values(handle)]
        assert kept[0] == 0 and kept[-1] == len(points) - 1
        assert all(a < b for a, b in zip(kept, kept[1:]))
        assert repaired.points == points[kept].tolist()

    def test_repair_is_idempotent_and_leaves_the_source_alone(self):
        p = Path2D(points=zigzag(200, 7))
        p.add_associated_values(list(range(200)))
        before = repr(p)
        once = p.repair_corrupted_point_order()
        assert repr(p) == before
        assert repr(once.repair_corrupted_point_order()) == repr(once)

    def test_repaired_caches_are_computed_from_the_repaired_points(self):
        p = Path2D(points=[[0, 0], [1, 0], [2, 0], [1.5, 0], [3, 0], [4, 0]])
        assert p.length == 5.0
        p.curvature
        repaired = p.repair_corrupted_point_order()
        assert repr(repaired).count("OnceCell(<uninit>)") == 4
        assert repaired.length == 4.0 and repaired.path_length_per_point == [0.0, 1.0, 3.0, 4.0]


DOCS = {
    "detect_corrupted_point_order": (
        "detect_corrupted_point_order(sus_angle=2.8)\n\nReturns the list of all indices where the path turns sharper "
        "than sus_angle.\n\n:param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
        ":type sus_angle: float\n\n:returns: Indices of suspicious points\n:rtype: list[int]"
    ),
    "repair_corrupted_point_order": (
        "repair_corrupted_point_order(sus_angle=2.8)\n\nRepairs corrupted point order by removing points that "
        "progress in the wrong direction.\n\n:param sus_angle: Every turn sharper than this angle is suspicious.\n\n"
        ":type sus_angle: float\n\n:returns: Repaired path\n:rtype: Path2D"
    ),
}
METHODS = pytest.mark.parametrize("name", DOCS)


class TestArguments:
    @METHODS
    def test_signature_and_documentation(self, name):
        method = getattr(Path2D, name)
        assert method.__text_signature__ == "($self, sus_angle=2.8)"
        assert method.__doc__ == DOCS[name]

    def test_default_and_number_forms(self):
        # Turns of 2.75 and 2.85: only the second reaches the default 2.8.
        points = [[0, 0], [1, 0], [1 + math.cos(2.75), math.sin(2.75)], [5, 5], [5 + math.cos(0.7), 5 - 1]]
        p = Path2D(points=points)
        turns = [turn_angle(*points[j - 1 : j + 2]) for j in (1, 2, 3)]
        expected = [j + 1 for j, t in enumerate(turns) if t >= 2.8]
        assert p.detect_corrupted_point_order() == p.detect_corrupted_point_order(sus_angle=2.8) == expected
        assert p.detect_corrupted_point_order(3) == [j + 1 for j, t in enumerate(turns) if t >= 3]
        assert (
            p.detect_corrupted_point_order(np.float32(0.5))
            == p.detect_corrupted_point_order(True)
            == [j + 1 for j, t in enumerate(turns) if t >= float(np.float32(0.5))]
        )
        assert all(type(j) is int for j in p.detect_corrupted_point_order(0.0))

    @METHODS
    @pytest.mark.parametrize(
        "call, error, message",
        [
            (lambda m: m(2.8, 1), TypeError, "{} takes from 0 to 1 positional arguments but 2 were given"),
            (lambda m: m(angle=1.0), TypeError, "{} got an unexpected keyword argument 'angle'"),
            (lambda m: m(1.0, sus_angle=1.0), TypeError, "{} got multiple values for argument 'sus_angle'"),
            (lambda m: m(None), TypeError, "argument 'sus_angle': must be real number, not NoneType"),
            (lambda m: m("2.8"), TypeError, "argument 'sus_angle': must be real number, not str"),
            (lambda m: m([2.8]), TypeError, "argument 'sus_angle': must be real number, not list"),
            (lambda m: m(10**400), OverflowError, "int too large to convert to float"),
        ],
    )
    @pytest.mark.parametrize("points", [[], [[0, 0], [1, 0], [0, 0]]], ids=["empty", "three"])
    def test_argument_errors(self, name, points, call, error, message):
        with pytest.raises(error) as raised:
            call(getattr(Path2D(points=points), name))
        assert type(raised.value) is error
        assert str(raised.value) == message.format(f"Path2D.{name}()")
