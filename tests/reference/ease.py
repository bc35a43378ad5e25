"""Plain EASE on a binary user-item matrix X, its lambda tuned on the training
data alone, in the dual form: with fewer users than items,
(lambda I + X^T X)^-1 = (I - X^T K^-1 X) / lambda where K = lambda I + X X^T,
so X P = K^-1 X and diag(P)_j = (1 - x_j^T K^-1 x_j) / lambda. The scores
X B = X - X P diag(P)^-1 then need only a users x users solve: an independent
route to the model that the library solves over items x items."""

import numpy as np

from tarsel.data import column


def ease_scores(x: np.ndarray, lambda_: float) -> np.ndarray:
    """The EASE scores X B of every user (rows of the float64 matrix ``x``)."""
    k = x @ x.T
    k[np.diag_indices_from(k)] += lambda_
    kx = np.linalg.solve(k, x)  # K^-1 X = X P
    diag_p = (1.0 - np.einsum("ui,ui->i", x, kx)) / lambda_
    return x - kx / diag_p


def held_out_ndcg(scores: np.ndarray, owned: np.ndarray, held: np.ndarray, k: int = 10) -> float:
    """Mean NDCG@k of each user's one held-out item ``held[u]`` (users with
    -1 hold none out) in the top k of ``scores`` with ``owned`` items left out."""
    rows = np.flatnonzero(held >= 0)
    s = np.where(owned[rows], -np.inf, scores[rows])
    target = s[np.arange(len(rows)), held[rows]]
    rank = (s > target[:, None]).sum(axis=1)  # ties rank the held-out item first
    return float(np.mean(np.where(rank < k, 1.0 / np.log2(rank + 2.0), 0.0)))


class PlainEase:
    """EASE with lambda tuned among ``lambdas`` on the training data: each
    user's last training item (of two or more) held out, the rest fitted."""

    def __init__(self, lambdas=(50.0, 100.0, 250.0, 500.0, 1000.0)):
        self.lambdas = lambdas

    def fit(self, table, item_features=None, *, user_col, item_col, **_):
        users, items = column(table, user_col), column(table, item_col)
        self.users, u = np.unique(users, return_inverse=True)
        self.items, i = np.unique(items, return_inverse=True)
        x = np.zeros((len(self.users), len(self.items)))
        x[u, i] = 1.0
        last = np.full(len(self.users), -1)
        last[u] = i  # rows are in time order: the last assignment is the last item
        last[x.sum(axis=1) < 2] = -1
        inner = x.copy()
        held = np.flatnonzero(last >= 0)
        inner[held, last[held]] = 0.0
        self.tried = {
            lam: held_out_ndcg(ease_scores(inner, lam), inner > 0, last) for lam in self.lambdas
        }
        self.lambda_ = max(self.lambdas, key=lambda lam: self.tried[lam])
        self.x, self.scores = x, ease_scores(x, self.lambda_)
        return self

    def recommend_batch(self, users, n=10, exclude_owned=True):
        rows = np.searchsorted(self.users, users)
        s = self.scores[rows]
        if exclude_owned:
            s = np.where(self.x[rows] > 0, -np.inf, s)
        top = np.argsort(-s, axis=1, kind="stable")[:, :n]
        return {"user": np.repeat(np.asarray(users), n), "item": self.items[top].ravel()}
