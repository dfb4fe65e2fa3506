"""What a 128-float vector costs as a numpy float32 array (and other buffers)
compared with the same vector as a Python list, measured side by side.

Usage: PYTHONPATH=build/python python3.14 bench/buffer_cost.py
Prints, for each call and each way of giving the vector, the best time per
call over interleaved rounds and its ratio to the list's time (below 1 is
cheaper than a list).
"""
import array
import random
import time

from tessaray import Vectorstore, cosine_similarity

try:
    import numpy as np
except ImportError:  # the other buffers are still measured
    np = None

D = 128
ROUNDS = 15
CALLS = 2000


def best_per_call(fn, arg):
    start = time.perf_counter()
    for _ in range(CALLS):
        fn(arg)
    return (time.perf_counter() - start) / CALLS


def main():
    rng = random.Random(1)
    values = [rng.gauss(0, 1) for _ in range(D)]
    forms = {"list": values, "tuple": tuple(values), "array.array('f')": array.array("f", values)}
    forms["memoryview"] = memoryview(forms["array.array('f')"])
    if np is not None:
        forms["numpy float32"] = np.array(values, dtype=np.float32)
        forms["numpy float64"] = np.array(values, dtype=np.float64)
        forms["numpy float32 [::-1]"] = np.array(values[::-1] * 2, dtype=np.float32)[::-2]

    small = Vectorstore(D, [([rng.gauss(0, 1) for _ in range(D)], i) for i in range(8)])
    calls = {
        "search (8 stored, top 1)": lambda v: small.search(v, 1),
        "cosine_similarity(v, v)": lambda v: cosine_similarity(v, v),
        "insert into a fresh store": lambda v: Vectorstore(D).insert(v, 1),
    }
    for name, call in calls.items():
        best = {form: float("inf") for form in forms}
        for _ in range(ROUNDS):  # interleaved, so drift hits every form alike
            for form, vector in forms.items():
                best[form] = min(best[form], best_per_call(call, vector))
        print(name)
        for form, t in best.items():
            print(f"  {form:22s} {t * 1e6:8.3f} us   ratio to list {t / best['list']:.3f}")


if __name__ == "__main__":
    main()
