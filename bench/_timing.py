"""Timing helpers shared by the benchmarks: best-of-N wall time and a ratio table."""

import time
from collections.abc import Callable


def best_time(
    fn: Callable[[], object], number: int = 1, repeat: int = 7, setup: Callable[[], object] | None = None
) -> float:
    """Best per-call time in seconds; `setup` runs untimed before each repetition."""
    best = float("inf")
    for _ in range(repeat):
        state = setup() if setup else None
        start = time.perf_counter()
        if state is None:
            for _ in range(number):
                fn()
        else:
            for _ in range(number):
                fn(state)
        best = min(best, (time.perf_counter() - start) / number)
    return best


class RatioTable:
    """Collects (what, ours, peer, target) rows and prints them with a verdict."""

    def __init__(self, title: str):
        self.title = title
        self.rows = []

    def add(self, what: str, ours: float, peer: float, target: float, peer_name: str) -> float:
        ratio = ours / peer
        self.rows.append((what, ours, peer, ratio, target, peer_name))
        return ratio

    def print(self) -> bool:
        print(f"\n{self.title}")
        print(f"{'measurement':58s} {'ours':>10s} {'peer':>10s} {'ratio':>7s} {'target':>7s}")
        all_met = True
        for what, ours, peer, ratio, target, peer_name in self.rows:
            met = ratio <= target
            all_met &= met
            print(
                f"{what:58s} {_fmt(ours):>10s} {_fmt(peer):>10s} {ratio:7.3g} {'<=' + str(target):>7s}"
                f"  {'ok' if met else 'MISSED'}  (peer: {peer_name})"
            )
        return all_met


def _fmt(seconds: float) -> str:
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.2f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e9:.1f} ns"
