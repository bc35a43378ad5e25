"""fit_ease_py: the EASE closed form, its input-skipping rules and its failures."""

import numpy as np
import pytest

from tarsel import Recommender
from tarsel._core import fit_ease_gram_py, fit_ease_py
from tarsel._fitting import _gram
from tarsel._settings import Settings
from tarsel.recommender import _prepare


def ids(*values):
    return np.array(values, dtype=np.int64)


def ease_reference(users, items, n_users, n_items, lambda_=250.0, weights=None, delta=0.0):
    """Dense float64 EASE: X[u, i] = largest positive weight of the pair, G = X^T X
    regularised, P = inv(G), B = -P / diag(P) with a zero diagonal."""
    x = np.zeros((n_users, n_items))
    for k in range(min(len(users), len(items))):
        u, i = int(users[k]), int(items[k])
        w = 1.0 if weights is None or k >= len(weights) else float(weights[k])
        if 0 <= u < n_users and 0 <= i < n_items and w > 0:
            x[u, i] = max(x[u, i], w)
    g = x.T @ x
    d = np.diag(g).copy()
    g[np.diag_indices(n_items)] = d + (lambda_ + delta * d)
    p = np.linalg.inv(g)
    b = -p / np.diag(p)[None, :]
    b[np.diag_indices(n_items)] = 0.0
    return b


@pytest.mark.parametrize(
    "delta, expected",
    [
        # X = [[1, 1], [1, 0]], G + I = [[3, 1], [1, 2]], P = [[2, -1], [-1, 3]] / 5.
        (0.0, [[0.0, 1 / 3], [1 / 2, 0.0]]),
        # delta = 1 doubles diag(G): G = [[4, 1], [1, 2]] + I, P ~ [[3, -1], [-1, 5]].
        (1.0, [[0.0, 1 / 5], [1 / 3, 0.0]]),
    ],
)
def test_worked_example(delta, expected):
    b = fit_ease_py(ids(0, 0, 1), ids(0, 1, 0), 2, 2, lambda_=1.0, delta=delta)
    assert b.dtype == np.float32 and b.shape == (2, 2) and b.flags.c_contiguous
    np.testing.assert_allclose(b, expected, rtol=1e-6)
    assert b[0, 0] == 0.0 and b[1, 1] == 0.0


def test_no_items_give_an_empty_matrix():
    assert fit_ease_py(ids(0, 5), ids(3, 9), 2, 0, lambda_=4.0).shape == (0, 0)


def test_sparse_user_indices_behave_like_their_ranks():
    # Users 3, 7 and 10**12 of 2**50 are rows 0, 1 and 2, in the same order.
    items = ids(0, 1, 2, 2, 1, 0)
    weights = np.array([1, 2, 0.5, 3, 1, 4], np.float32)
    sparse = fit_ease_py(ids(10**12, 7, 10**12, 7, 3, 3), items, 2**50, 3, weights=weights)
    np.testing.assert_array_equal(
        sparse, fit_ease_py(ids(2, 1, 2, 1, 0, 0), items, 3, 3, weights=weights)
    )
    assert sparse.any()


def random_interactions(rng, n_users, n_items, m):
    return (
        rng.integers(-1, n_users + 1, m),
        rng.integers(-1, n_items + 1, m),
        rng.uniform(-0.5, 3.0, m).astype(np.float32),
    )


def test_interaction_order_does_not_change_a_single_bit():
    # Repeated pairs keep their largest weight wherever it comes, and each Gram entry sums
    # its products in user order, whatever the input order.
    rng = np.random.default_rng(7)
    users, items, weights = random_interactions(rng, 30, 12, 400)
    perm = rng.permutation(len(users))
    got = fit_ease_py(users[perm], items[perm], 30, 12, lambda_=2.0, weights=weights[perm])
    np.testing.assert_array_equal(fit_ease_py(users, items, 30, 12, 2.0, weights), got)


@pytest.mark.parametrize(
    "seed, n_users, n_items, m, lambda_, delta, weighted",
    [
        (0, 40, 10, 300, 1.0, 0.0, True),
        (1, 60, 25, 500, 0.3, 0.5, True),
        (2, 20, 30, 200, 5.0, 0.0, False),  # items nobody touched rely on lambda_
        (3, 200, 70, 3000, 10.0, 0.1, True),
        (4, 5, 8, 40, 0.0, 0.2, False),  # lambda_ = 0 with every item touched
    ],
)
def test_matches_the_dense_reference(seed, n_users, n_items, m, lambda_, delta, weighted):
    rng = np.random.default_rng(seed)
    users, items, weights = random_interactions(rng, n_users, n_items, m)
    # Surplus indices in one array and a short weight vector: interactions past the weights
    # weigh 1.0, those past the shorter index array are unread.
    if seed % 2:
        users = np.append(users, rng.integers(0, n_users, seed))
    else:
        items = np.append(items, rng.integers(0, n_items, seed))
    weights = weights[: m - 7 * seed] if weighted else None
    if lambda_ == 0.0:
        items = np.concatenate([np.arange(n_items), items])
        users = np.concatenate([np.arange(n_items) % n_users, users])
    got = fit_ease_py(users, items, n_users, n_items, lambda_=lambda_, weights=weights, delta=delta)
    want = ease_reference(users, items, n_users, n_items, lambda_, weights, delta)
    assert np.all(np.diag(got) == 0.0)
    np.testing.assert_allclose(got, want, rtol=2e-5, atol=1e-6 * np.abs(want).max())


@pytest.mark.parametrize(
    "item, kwargs, message",
    [
        (0, dict(lambda_=0.0), "Cholesky failed: Gram + λI not positive definite (λ too small?)"),
        # delta overflows item 1's diagonal to inf, so P[1, 1] = 1 / inf = 0.
        (
            1,
            dict(lambda_=1.0, delta=1e308, weights=np.float32([2])),
            "diag(P)[1] == 0; cannot form B",
        ),
    ],
)
def test_singular_systems(item, kwargs, message):
    with pytest.raises(ValueError) as err:
        fit_ease_py(ids(0), ids(item), 1, 2, **kwargs)
    assert str(err.value) == message
    with pytest.raises(MemoryError):  # an unaddressable size
        fit_ease_py(ids(0), ids(0), 1, 2**40)


@pytest.mark.parametrize("weighted", [False, True])
def test_the_gram_matrix_the_gates_tune_with_is_that_of_the_pair_weights(weighted):
    # the gates solve X^T X again for each lambda they try
    rng = np.random.default_rng(int(weighted))
    log = {"user": rng.integers(0, 30, 400), "item": rng.integers(0, 50, 400)}
    if weighted:
        log["w"] = rng.uniform(0.5, 5.0, 400).round(1)
    settings = Settings.from_params(Recommender().get_params())
    data, _ = _prepare(settings, log, None, item_col="item", weight_col="w" if weighted else None)
    x = np.zeros((data.n_users, data.n_items))
    x[data.pair_user, data.pair_item] = data.pair_weight
    gram = _gram(data)()
    np.testing.assert_allclose(gram, x.T @ x, rtol=1e-6)
    direct = fit_ease_py(*(data.pair_user, data.pair_item, data.n_users, data.n_items), 7.0)
    if not weighted:  # the very same weights as the fit
        np.testing.assert_array_equal(fit_ease_gram_py(gram, lambda_=7.0), direct)
