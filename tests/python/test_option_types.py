"""ResamplingMethod with its variants, InterpolationMethod and ElasticBandMethod."""

import math

import numpy as np
import pytest
from korvane import ElasticBandMethod, InterpolationMethod, ResamplingMethod

ByNumberPoints = ResamplingMethod.ByNumberPoints
BySamplingDistance = ResamplingMethod.BySamplingDistance
MEMBERS = [
    (InterpolationMethod.Cubic, "InterpolationMethod.Cubic", 0),
    (InterpolationMethod.Linear, "InterpolationMethod.Linear", 1),
    (ElasticBandMethod.SquareBounds, "ElasticBandMethod.SquareBounds", 0),
    (ElasticBandMethod.OrthogonalBounds, "ElasticBandMethod.OrthogonalBounds", 1),
]


class TestEnumerations:
    @pytest.mark.parametrize("member, text, value", MEMBERS, ids=[m[1] for m in MEMBERS])
    def test_repr_int_and_identity(self, member, text, value):
        assert repr(member) == str(member) == text
        assert int(member) == value
        assert member is getattr(type(member), text.split(".")[1])
        assert bool(member) is True
        assert member == value and value == member and member != 1 - value
        assert member == bool(value)
        assert not (member == float(value)) and member != float(value)
        assert member != str(value) and member != None  # noqa: E711

    def test_comparisons_between_members(self):
        assert InterpolationMethod.Cubic == InterpolationMethod.Cubic
        assert InterpolationMethod.Cubic != InterpolationMethod.Linear
        assert not (InterpolationMethod.Cubic == ElasticBandMethod.SquareBounds)
        assert InterpolationMethod.Linear != ElasticBandMethod.OrthogonalBounds
        with pytest.raises(TypeError):
            InterpolationMethod.Cubic < InterpolationMethod.Linear  # noqa: B015
        with pytest.raises(TypeError):
            InterpolationMethod.Cubic >= 0  # noqa: B015

    def test_index_like_objects_compare_and_overflow_is_unequal(self):
        assert InterpolationMethod.Linear == np.int64(1)
        assert InterpolationMethod.Cubic != 2**100

        class Index:
            def __init__(self, error):
                self.error = error

            def __index__(self):
                raise self.error

        assert InterpolationMethod.Cubic != Index(ValueError("not a number"))
        with pytest.raises(KeyboardInterrupt):
            InterpolationMethod.Cubic == Index(KeyboardInterrupt())  # noqa: B015

    def test_unhashable_and_no_index(self):
        for member, _, _ in MEMBERS:
            with pytest.raises(TypeError, match="unhashable"):
                hash(member)
            with pytest.raises(TypeError):
                [0, 1][member]
        assert InterpolationMethod.__hash__ is None

    def test_member_order(self):
        assert [k for k in vars(InterpolationMethod) if not k.startswith("_")] == ["Cubic", "Linear"]
        assert [k for k in vars(ElasticBandMethod) if not k.startswith("_")] == [
            "SquareBounds",
            "OrthogonalBounds",
        ]


class TestResamplingMethod:
    def test_static_constructors_make_variants(self):
        by_count = ResamplingMethod.by_number_points(3)
        assert type(by_count) is ByNumberPoints and isinstance(by_count, ResamplingMethod)
        assert by_count.number_points == 3
        by_distance = ResamplingMethod.by_sampling_distance(0.5)
        assert type(by_distance) is BySamplingDistance
        assert by_distance.sampling_distance == 0.5 and by_distance.drop_last is True
        assert ResamplingMethod.by_number_points(0).number_points == 0
        assert math.isnan(ResamplingMethod.by_sampling_distance(math.nan).sampling_distance)
        assert ResamplingMethod.by_sampling_distance(-2.0, False).sampling_distance == -2.0

    def test_equality(self):
        assert ResamplingMethod.by_number_points(100) == ByNumberPoints(100)
        assert ResamplingMethod.by_number_points(100) != ByNumberPoints(101)
        assert ResamplingMethod.by_number_points(1) != ResamplingMethod.by_sampling_distance(1.0)
        assert ResamplingMethod.by_sampling_distance(0.5) == BySamplingDistance(0.5, True)
        assert ResamplingMethod.by_sampling_distance(0.5) != BySamplingDistance(0.5, False)
        assert BySamplingDistance(0.0, True) == BySamplingDistance(-0.0, True)
        nan_a, nan_b = BySamplingDistance(math.nan, True), BySamplingDistance(math.nan, True)
        assert not (nan_a == nan_b) and nan_a != nan_b
        assert ByNumberPoints(1) != 1 and ByNumberPoints(1) != InterpolationMethod.Linear

    def test_no_ordering_no_hash_default_repr(self):
        option = ByNumberPoints(5)
        with pytest.raises(TypeError):
            option < ByNumberPoints(6)  # noqa: B015
        with pytest.raises(TypeError, match="unhashable"):
            hash(option)
        with pytest.raises(TypeError, match="unhashable"):
            {BySamplingDistance(1.0, True)}
        assert repr(option).startswith("<builtins.ResamplingMethod_ByNumberPoints object at 0x")

    def test_attributes_are_read_only(self):
        option = BySamplingDistance(1.0, False)
        with pytest.raises(AttributeError):
            option.sampling_distance = 2.0
        assert BySamplingDistance.sampling_distance.__doc__ == ""
        assert ByNumberPoints.number_points.__doc__ == ""

    def test_pattern_matching(self):
        assert ByNumberPoints.__match_args__ == ("number_points",)
        assert BySamplingDistance.__match_args__ == ("sampling_distance", "drop_last")

        def describe(option):
            match option:
                case ResamplingMethod.ByNumberPoints(n):
                    return ("count", n)
                case ResamplingMethod.BySamplingDistance(d, drop):
                    return ("distance", d, drop)

        assert describe(ResamplingMethod.by_number_points(7)) == ("count", 7)
        assert describe(ResamplingMethod.by_sampling_distance(0.25, False)) == ("distance", 0.25, False)

    def test_static_method_documentation(self):
        assert ResamplingMethod.by_number_points.__text_signature__ == "(number_points)"
        assert (
            ResamplingMethod.by_sampling_distance.__text_signature__ == "(sampling_distance, drop_last=True)"
        )
        assert ResamplingMethod.by_number_points.__doc__.startswith(
            "by_number_points(number_points)\n\nThe path will be equidistantly resampled"
        )
        assert ResamplingMethod.by_sampling_distance.__doc__.endswith(":rtype: ResamplingMethod")

    def test_argument_errors(self):
        with pytest.raises(OverflowError):
            ResamplingMethod.by_number_points(-1)
        with pytest.raises(TypeError, match="^argument 'number_points': "):
            ResamplingMethod.by_number_points(2.5)
        with pytest.raises(TypeError, match="^argument 'number_points': "):
            ByNumberPoints(2.5)
