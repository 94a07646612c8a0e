"""The benchmarks' pure-Python radar (bench/pyradar.py) answers exactly like the
native radar on a small generated input, so benchmark comparisons between the
two compare equal work. A divergence here is a real one: one side breaks the
radar's evaluation, ranking or number-writing rules."""

import os
import sys

import pytest

BENCH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench")


def test_pure_python_radar_matches_native():
    pytest.importorskip("norsel_radar.sample")
    sys.path.insert(0, BENCH)
    try:
        import selfcheck
    finally:
        sys.path.remove(BENCH)
    assert selfcheck.check(symbols=8, events_per_symbol=120) > 0
