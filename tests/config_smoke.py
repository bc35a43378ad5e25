"""A short check of a separately built configuration of the native module
(Debug, link-time optimised): import it from the folder given, fit a small
model with every channel and serve single and batch requests, user-CF
included (the path that a one-definition-rule violation broke in Debug)."""

import os
import sys

folder = os.path.abspath(sys.argv[1])
sys.path.insert(0, folder)

import numpy as np  # noqa: E402

import tarsel  # noqa: E402

assert tarsel._core.__file__.startswith(folder), tarsel._core.__file__
rng = np.random.default_rng(0)
events = 3000
table = {
    "user": rng.integers(0, 120, events),
    "item": rng.zipf(1.3, events) % 80,
    "time": np.sort(rng.integers(0, 10**7, events)).astype(float),
}
features = {"item": np.arange(90), "kind": np.arange(90) % 7}
model = tarsel.Recommender(gate_users=20, user_cf_alpha=1.0)
model.fit(table, features, time_col="time")
single = model.recommend(int(table["user"][0]), 5)
batch = model.recommend_batch(np.unique(table["user"])[:30].tolist(), 5)
assert len(single["item"]) == 5 and len(batch["item"]) == 150, (single, batch)
print(f"{tarsel._core.__file__}: fit and served; kept {model.kept_}")
