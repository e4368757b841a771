"""Best times of two callables measured in alternating rounds, so a change in machine load hits both."""

from collections.abc import Callable

from _timing import best_time


def side_by_side(
    ours: Callable, peer: Callable, rounds: int = 7, number: int = 1, ours_setup: Callable | None = None
) -> tuple[float, float]:
    """(best time of ours, best time of peer) per call; `ours_setup` runs untimed before each of ours."""
    best_ours = best_peer = float("inf")
    for _ in range(rounds):
        best_ours = min(best_ours, best_time(ours, number=number, repeat=1, setup=ours_setup))
        best_peer = min(best_peer, best_time(peer, number=number, repeat=1))
    return best_ours, best_peer
