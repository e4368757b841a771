"""Argument binding, conversions, error remapping and borrow rules, on hostile input too."""

import gc
import sys

import numpy as np
import pytest
from korvane import InterpolationMethod, Path2D, ResamplingMethod

BySamplingDistance = ResamplingMethod.BySamplingDistance


class TestBinder:
    @pytest.mark.parametrize(
        "call, message",
        [
            (
                lambda: ResamplingMethod.by_number_points(1, 2),
                "ResamplingMethod.by_number_points() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda: ResamplingMethod.by_sampling_distance(1.0, True, 3),
                "ResamplingMethod.by_sampling_distance() takes from 1 to 2 positional arguments but 3 were given",
            ),
            (
                lambda: Path2D(points=[]).associated_values(0, 1),
                "Path2D.associated_values() takes 1 positional arguments but 2 were given",
            ),
            (
                lambda: BySamplingDistance(),
                "ResamplingMethod_BySamplingDistance.__new__() missing 2 required positional arguments: "
                "'sampling_distance' and 'drop_last'",
            ),
            (
                lambda: BySamplingDistance(0.5),
                "ResamplingMethod_BySamplingDistance.__new__() missing 1 required positional argument: 'drop_last'",
            ),
            (
                lambda: BySamplingDistance(0.5, sampling_distance=1.0),
                "ResamplingMethod_BySamplingDistance.__new__() got multiple values for argument 'sampling_distance'",
            ),
            (
                lambda: BySamplingDistance(bogus=1),
                "ResamplingMethod_BySamplingDistance.__new__() got an unexpected keyword argument 'bogus'",
            ),
            (
                lambda: Path2D(points=[]).add_associated_values(vals=[]),
                "Path2D.add_associated_values() got an unexpected keyword argument 'vals'",
            ),
        ],
    )
    def test_messages(self, call, message):
        with pytest.raises(TypeError) as error:
            call()
        assert str(error.value) == message

    def test_keywords_match_by_value(self):
        name = "".join(["number", "_points"])  # not interned
        assert ResamplingMethod.by_number_points(**{name: 4}).number_points == 4
        assert BySamplingDistance(drop_last=False, sampling_distance=2.0).drop_last is False

    def test_explicit_none_for_a_default_is_a_conversion_failure(self):
        with pytest.raises(
            TypeError, match="^argument 'drop_last': 'NoneType' object cannot be converted to 'PyBool'$"
        ):
            ResamplingMethod.by_sampling_distance(1.0, None)


class TestConversions:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (2.5, 2.5),
            (3, 3.0),
            (True, 1.0),
            (np.float32(0.5), 0.5),
            (np.int64(7), 7.0),
            (float("nan"), None),
            (float("inf"), float("inf")),
        ],
    )
    def test_float(self, value, expected):
        got = ResamplingMethod.by_sampling_distance(value).sampling_distance
        assert got == expected if expected is not None else got != got

    def test_float_objects_with_dunders(self):
        class Floaty:
            def __float__(self):
                return 1.25

        class Indexy:
            def __index__(self):
                return 4

        assert ResamplingMethod.by_sampling_distance(Floaty()).sampling_distance == 1.25
        assert ResamplingMethod.by_sampling_distance(Indexy()).sampling_distance == 4.0

    @pytest.mark.parametrize(
        "value, error, message",
        [
            ("1", TypeError, "^argument 'sampling_distance': must be real number, not str$"),
            (None, TypeError, "^argument 'sampling_distance': must be real number, not NoneType$"),
            (10**400, OverflowError, "^int too large to convert to float$"),
        ],
    )
    def test_float_failures(self, value, error, message):
        with pytest.raises(error, match=message):
            ResamplingMethod.by_sampling_distance(value)

    @pytest.mark.parametrize("value, expected", [(0, 0), (True, 1), (np.uint8(9), 9), (2**64 - 1, 2**64 - 1)])
    def test_integer(self, value, expected):
        assert ResamplingMethod.by_number_points(value).number_points == expected

    @pytest.mark.parametrize(
        "value, error, message",
        [
            (-1, OverflowError, "^can't convert negative int to unsigned$"),
            (2**64, OverflowError, "int too big to convert"),
            (
                2.0,
                TypeError,
                "^argument 'number_points': 'float' object cannot be interpreted as an integer$",
            ),
            ("3", TypeError, "^argument 'number_points': 'str' object cannot be interpreted as an integer$"),
        ],
    )
    def test_integer_failures(self, value, error, message):
        with pytest.raises(error, match=message):
            ResamplingMethod.by_number_points(value)

    def test_boolean(self):
        assert ResamplingMethod.by_sampling_distance(1.0, np.bool_(False)).drop_last is False
        assert ResamplingMethod.by_sampling_distance(1.0, np.True_).drop_last is True
        # Recognised by the class's module and name, not by NumPy's own class object.
        for name in ("bool_", "bool"):
            look_alike = type(name, (), {"__module__": "numpy", "__bool__": lambda self: True})
            assert ResamplingMethod.by_sampling_distance(1.0, look_alike()).drop_last is True
        for bad, name in ((1, "int"), (0.0, "float"), ("", "str")):
            with pytest.raises(TypeError) as error:
                ResamplingMethod.by_sampling_distance(1.0, bad)
            assert (
                str(error.value) == f"argument 'drop_last': '{name}' object cannot be converted to 'PyBool'"
            )

    @pytest.mark.parametrize(
        "values",
        [(1, 2, 3), range(1, 4), np.array([1.0, 2.0, 3.0]), [1, 2.0, np.float64(3)]],
        ids=["tuple", "range", "ndarray", "mixed"],
    )
    def test_sequences(self, values):
        p = Path2D(points=[[0, 0], [1, 0], [2, 0]])
        assert p.associated_values(p.add_associated_values(values)) == [1.0, 2.0, 3.0]

    @pytest.mark.parametrize(
        "values, message",
        [
            ("abc", "Can't extract `str` to `Vec`"),
            ({1, 2, 3}, "'set' object cannot be converted to 'Sequence'"),
            ((v for v in [1, 2, 3]), "'generator' object cannot be converted to 'Sequence'"),
            ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
            (5, "'int' object cannot be converted to 'Sequence'"),
        ],
        ids=["str", "set", "generator", "dict", "int"],
    )
    def test_sequence_refusals(self, values, message):
        with pytest.raises(TypeError) as error:
            Path2D(points=[[0, 0], [1, 0], [2, 0]]).add_associated_values(values)
        assert str(error.value) == f"argument 'values': {message}"

    @pytest.mark.parametrize("error", [RuntimeError("no name"), KeyboardInterrupt(), SystemExit(3)])
    def test_type_name_falls_back_when_qualname_fails(self, error):
        class Meta(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise error
                return super().__getattribute__(name)

        odd = Meta("Odd", (), {})()
        if isinstance(error, Exception):
            with pytest.raises(TypeError, match="^argument 'values': '<failed to extract type name>' object"):
                Path2D(points=[]).add_associated_values(odd)
        else:  # an interrupt met while naming the type is not swallowed
            with pytest.raises(type(error)):
                Path2D(points=[]).add_associated_values(odd)

    def test_remapped_error_keeps_the_cause(self):
        class Chained:
            def __float__(self):
                raise TypeError("inner") from KeyError("why")

        with pytest.raises(TypeError) as error:
            ResamplingMethod.by_sampling_distance(Chained())
        assert str(error.value) == "argument 'sampling_distance': inner"
        assert isinstance(error.value.__cause__, KeyError)

    def test_type_error_subclasses_and_other_errors_pass_unchanged(self):
        class MyTypeError(TypeError):
            pass

        class Raises:
            def __init__(self, error):
                self.error = error

            def __float__(self):
                raise self.error

        with pytest.raises(MyTypeError, match="^custom$"):
            ResamplingMethod.by_sampling_distance(Raises(MyTypeError("custom")))
        with pytest.raises(ZeroDivisionError, match="^boom$"):
            ResamplingMethod.by_sampling_distance(Raises(ZeroDivisionError("boom")))
        with pytest.raises(KeyboardInterrupt):
            ResamplingMethod.by_sampling_distance(Raises(KeyboardInterrupt()))


class HostileSequence:
    """A sequence whose protocol methods misbehave on demand."""

    def __init__(self, items, length=None, length_error=None, iter_error=None):
        self.items, self.length, self.length_error, self.iter_error = items, length, length_error, iter_error

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_error:
            raise self.iter_error
        return iter(self.items)


class TestHostileInput:
    def test_length_is_only_a_hint_for_lists(self):
        for hostile in (
            HostileSequence([1, 2], length_error=ValueError("no len")),
            HostileSequence([1, 2], length=2**62),
            HostileSequence([1, 2], length=-5),
        ):
            assert Path2D(x=hostile, y=[0, 0]).x == [1.0, 2.0]
        with pytest.raises(OverflowError):
            len(HostileSequence([], length=10**30))
        assert Path2D(x=HostileSequence([3], length=10**30), y=[0]).x == [3.0]
        # Only ordinary failures of the hint are ignored.
        for error in (KeyboardInterrupt, SystemExit, MemoryError, RecursionError):
            with pytest.raises(error):
                Path2D(x=HostileSequence([1, 2], length_error=error()), y=[0, 0])

    def test_length_failure_of_a_point_is_raised(self):
        with pytest.raises(ValueError, match="^no len$"):
            Path2D(points=[HostileSequence([1, 2], length_error=ValueError("no len"))])
        assert Path2D(points=[HostileSequence([1, 2])]).points == [[1.0, 2.0]]

    def test_iteration_failures(self):
        with pytest.raises(TypeError, match="^argument 'x': bad iter$"):
            Path2D(x=HostileSequence([1], iter_error=TypeError("bad iter")), y=[1])
        with pytest.raises(LookupError, match="^gone$"):
            Path2D(x=HostileSequence([1], iter_error=LookupError("gone")), y=[1])

    @pytest.mark.parametrize(
        "element, error",
        [
            (type("WrongFloat", (), {"__float__": lambda self: "x"})(), TypeError),
            (type("RaisingFloat", (), {"__float__": lambda self: 1 / 0})(), ZeroDivisionError),
        ],
    )
    def test_bad_float_dunders(self, element, error):
        with pytest.raises(error):
            Path2D(x=[1.0, element], y=[1, 2])
        with pytest.raises(error):
            Path2D(points=[[element, 1.0]])

    def test_bad_index_dunders(self):
        wrong = type("WrongIndex", (), {"__index__": lambda self: 1.5})()
        raising = type("RaisingIndex", (), {"__index__": lambda self: [][1]})()
        with pytest.raises(TypeError, match="^argument 'number_points': __index__ returned non-int"):
            ResamplingMethod.by_number_points(wrong)
        with pytest.raises(IndexError):
            ResamplingMethod.by_number_points(raising)

    def test_list_changing_while_converted_behaves_like_iteration(self):
        values = [1.0, 2.0, None, 4.0]

        class Clears:
            def __float__(self):
                values.clear()
                return 3.0

        class Grows:
            def __float__(self):
                values.append(5.0)
                return 3.0

        values[2] = Clears()
        assert Path2D(x=values, y=[0] * 9).x == [1.0, 2.0, 3.0]
        values[:] = [1.0, 2.0, Grows()]
        assert Path2D(x=values, y=[0] * 9).x == [1.0, 2.0, 3.0, 5.0]

    def test_point_changing_while_converted(self):
        point = [None, 2.0]

        class Clears:
            def __float__(self):
                point.clear()
                return 1.0

        point[0] = Clears()
        with pytest.raises(IndexError):
            Path2D(points=[point])

    @pytest.mark.no_sanitizer
    def test_huge_allocation_is_a_memory_error(self, python_subprocess):
        result = python_subprocess(
            """
            import resource, korvane
            class Endless:
                def __len__(self):
                    return 1 << 40
                def __getitem__(self, i):
                    return 1.0
            soft, hard = resource.getrlimit(resource.RLIMIT_AS)
            with open("/proc/self/status") as status:
                size_kb = next(int(l.split()[1]) for l in status if l.startswith("VmSize:"))
            resource.setrlimit(resource.RLIMIT_AS, ((size_kb << 10) + (64 << 20), hard))
            try:
                korvane.Path2D(x=Endless(), y=[])
            except MemoryError as error:
                print("MemoryError:", error)
            """
        )
        assert result.stdout.strip() == "MemoryError: out of memory", result.stderr


class TestBorrows:
    def test_exclusive_call_sees_shared_borrow_from_conversion(self):
        p = Path2D(points=[[0, 0], [1, 0]])

        class AddsToPath:
            def __index__(self):
                p.add_associated_values([1, 2])
                return 0

        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            p.associated_values(AddsToPath())
        assert p.add_associated_values([3, 4]) == 0

    def test_shared_read_sees_exclusive_borrow_from_conversion(self):
        p = Path2D(points=[[0, 0], [1, 0]])

        class ReadsPath:
            def __float__(self):
                p.points
                return 1.0

        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            p.add_associated_values([ReadsPath(), 2.0])
        assert p.associated_values(0) is None
        assert p.points == [[0.0, 0.0], [1.0, 0.0]]
        assert p.add_associated_values([1, 2]) == 0

    def test_nested_shared_borrows_are_fine(self):
        p = Path2D(points=[[0, 0], [1, 0]])
        p.add_associated_values([5, 6])

        class ReadsLength:
            def __index__(self):
                return int(p.length) - 1

        assert p.associated_values(ReadsLength()) == [5.0, 6.0]


def test_no_reference_leaks_on_error_paths():
    p = Path2D(points=[[0, 0], [1, 0]])
    bad_values = [1.0, "x"]
    wrong_length = [1.0, 2.0, 3.0]
    handle = 10**30
    keyword_value = [1.0, 2.0]
    before = [sys.getrefcount(o) for o in (p, bad_values, wrong_length, handle, keyword_value)]
    for _ in range(2000):
        for call in (
            lambda: p.add_associated_values(bad_values),
            lambda: p.add_associated_values(wrong_length),
            lambda: p.associated_values(handle),
            lambda: p.add_associated_values(vals=keyword_value),
            lambda: Path2D(points=keyword_value),
        ):
            try:
                call()
            except (TypeError, OverflowError):
                pass
    gc.collect()
    after = [sys.getrefcount(o) for o in (p, bad_values, wrong_length, handle, keyword_value)]
    assert after == before


def test_interpolation_member_is_not_an_int_argument():
    with pytest.raises(
        TypeError, match="^argument 'values': 'InterpolationMethod' object cannot be converted to 'Sequence'$"
    ):
        Path2D(points=[]).add_associated_values(InterpolationMethod.Cubic)
