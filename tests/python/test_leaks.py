"""No memory is lost over many calls, good and bad.  (References: every test
is repeated on the debug interpreter and its total count compared; see
conftest.py.)"""
import gc

import pytest

from tessaray import Vectorstore


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.no_leak_check  # a measurement of its own, seconds long
def test_resident_memory_flat_after_dropping_stores():
    def fill_and_drop():
        store = Vectorstore(64)
        row = [0.5] * 64
        for i in range(20_000):
            store.insert(row, i)
        try:
            store.insert([1.0], 0)
        except ValueError:
            pass
        del store

    fill_and_drop()
    gc.collect()
    baseline = resident_bytes()
    for _ in range(5):
        fill_and_drop()
    gc.collect()
    # 20,000 x 64 floats are 5 MB a store: losing any of them shows.
    assert resident_bytes() - baseline < 2 * 2**20
