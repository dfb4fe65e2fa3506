"""A short tour of tessaray."""
import random

import tessaray
from tessaray import Vectorstore, cosine_similarity

print("tessaray exports", tessaray.__all__)
print("cosine_similarity([3, 4], [4, 3]) =", cosine_similarity([3.0, 4.0], [4.0, 3.0]))

# A store of 64-dimensional vectors, filled at construction and by insert.
rng = random.Random(7)
store = Vectorstore(64, [([rng.gauss(0, 1) for _ in range(64)], i) for i in range(1000)])
for i in range(1000, 2000):
    store.insert([rng.gauss(0, 1) for _ in range(64)], i)
print(store)

query = [rng.gauss(0, 1) for _ in range(64)]
best = store.search(query, 5)
print("search:", best)
same = store.parallel_search(query, 5, n_threads=4)
print("parallel_search gives the same list:", same == best)
