"""The Recommender end to end on the built-in grocery data.

- fit: the whole fit (two fits, the held-out gates and calibration) beside a
  plain SciPy/NumPy EASE fit (Gram matrix, dense inverse) of the same data;
- serving: ``recommend_batch`` for every user beside NumPy scoring with the EASE
  matrix (sparse X @ B, owned items masked, argpartition for the top 10);
- loading: ``Recommender.load`` beside loading the bare engine record, to show
  what the model file adds (id maps, histories, checksum).
"""

from __future__ import annotations

import os
import sys
import tempfile

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, os.path.dirname(__file__))
from _common import best_of, print_table  # noqa: E402
from tarsel import Recommender, datasets  # noqa: E402
from tarsel._core import EngineState  # noqa: E402

COLUMNS = {"user_col": "user", "item_col": "item", "time_col": "time", "session_col": "basket"}


def numpy_ease(users, items, n_users, n_items, lam=250.0):
    x = sp.csr_matrix((np.ones(len(users)), (users, items)), shape=(n_users, n_items))
    x.data[:] = 1.0
    gram = (x.T @ x).toarray()
    gram[np.diag_indices(n_items)] += lam
    p = np.linalg.inv(gram)
    b = -p / np.diag(p)
    b[np.diag_indices(n_items)] = 0.0
    return x.tocsr(), b.astype(np.float32)


def numpy_top_n(x, b, n):
    scores = np.asarray(x @ b)
    scores[x.nonzero()] = -np.inf
    top = np.argpartition(-scores, n, axis=1)[:, :n]
    order = np.take_along_axis(scores, top, axis=1).argsort(axis=1)[:, ::-1]
    return np.take_along_axis(top, order, axis=1)


def main() -> None:
    shop = datasets.grocery()
    table = shop.interactions
    print(
        f"grocery data: {len(table['user']):,} interactions, "
        f"{len(np.unique(table['user'])):,} users, {len(shop.item_features['item'])} items"
    )

    t_fit, model = best_of(
        lambda: Recommender().fit(table, shop.item_features, **COLUMNS), repeat=1
    )
    users = model.users_.index(table["user"])
    items = model.items_.index(table["item"])
    t_np_fit, (x, b) = best_of(
        lambda: numpy_ease(users, items, len(model.users_), len(model.items_)), repeat=1
    )

    everyone = model.users_.ids.tolist()
    t_batch, _ = best_of(lambda: model.recommend_batch(everyone, 10))
    t_np_top, _ = best_of(lambda: numpy_top_n(x, b, 10))

    with tempfile.TemporaryDirectory() as folder:
        model_path, engine_path = os.path.join(folder, "m"), os.path.join(folder, "e")
        model.save(model_path)
        model.engine_.save(engine_path)
        t_load, _ = best_of(lambda: Recommender.load(model_path), repeat=5)
        t_engine, _ = best_of(lambda: EngineState.load(engine_path), repeat=5)
        sizes = os.path.getsize(model_path), os.path.getsize(engine_path)

    print_table(
        "Recommender vs NumPy/SciPy (seconds)",
        [
            (
                "fit: everything + gates vs EASE alone",
                f"{t_fit:.2f}",
                f"{t_np_fit:.2f}",
                f"{t_np_fit / t_fit:.2f}x",
            ),
            (
                f"top-10 for {len(everyone):,} users",
                f"{t_batch:.3f}",
                f"{t_np_top:.3f}",
                f"{t_np_top / t_batch:.2f}x",
            ),
            (
                f"load model ({sizes[0] / 1e6:.1f} MB) vs engine record ({sizes[1] / 1e6:.1f} MB)",
                f"{t_load:.4f}",
                f"{t_engine:.4f}",
                f"{t_engine / t_load:.2f}x",
            ),
        ],
    )


if __name__ == "__main__":
    main()
