"""Attaching value lists to a path and reading them back."""

import pytest
from korvane import Path2D


def test_handles_count_up_and_failures_consume_none():
    p = Path2D(points=[[0, 0], [1, 0], [2, 0]])
    with pytest.raises(TypeError, match="^The associated value has length 2, although 3 was expected$"):
        p.add_associated_values([1, 2])
    assert p.add_associated_values([1, 2, 3]) == 0
    assert p.add_associated_values((4, 5, 6)) == 1
    assert p.associated_values(1) == [4.0, 5.0, 6.0]
    assert p.associated_values(2) is None and p.associated_value_np(2) is None
    assert p.associated_values(2**64 - 1) is None


def test_empty_path_takes_an_empty_list():
    p = Path2D(points=[])
    assert p.add_associated_values([]) == 0
    assert p.associated_values(0) == []
    assert p.associated_value_np(0).shape == (0,)


def test_negative_handle_overflows():
    with pytest.raises(OverflowError):
        Path2D(points=[]).associated_values(-1)
    with pytest.raises(TypeError, match="^argument 'handle': "):
        Path2D(points=[]).associated_values(0.0)


def test_returned_lists_are_copies():
    p = Path2D(points=[[0, 0], [1, 0]])
    p.add_associated_values([1, 2])
    p.associated_values(0).append(3)
    assert p.associated_values(0) == [1.0, 2.0]


def test_expected_length_is_the_point_count():
    p = Path2D(x=[1, 2, 3], y=[4, 5])
    with pytest.raises(TypeError, match="length 3, although 2 was expected"):
        p.add_associated_values([1, 2, 3])
    assert p.add_associated_values([1, 2]) == 0


def test_method_documentation():
    assert Path2D.add_associated_values.__text_signature__ == "($self, values)"
    assert Path2D.associated_value_np.__doc__.startswith("associated_values_np(handle)\n\n")
    assert Path2D.associated_values.__doc__.endswith(":rtype: list[float]")
