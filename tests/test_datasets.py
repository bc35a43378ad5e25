import numpy as np
import pandas as pd
import pytest

from tarsel import datasets


def test_grocery_is_deterministic_and_has_its_structure():
    a, b = (datasets.grocery(n_users=80, n_items=100, n_new_items=7, seed=4) for _ in "ab")
    for name in a.interactions:
        np.testing.assert_array_equal(a.interactions[name], b.interactions[name])
    log = pd.DataFrame(a.interactions)
    sold = set(log["item"])
    catalogue = a.item_features["item"].tolist()
    assert len(catalogue) == 107 and len(set(catalogue) - sold) >= 7  # new items never sold
    assert set(a.item_features) == {"item", "category", "brand"}
    baskets = log.groupby("basket")["user"].nunique()
    assert (baskets == 1).all()  # a basket belongs to one shopper
    assert log.groupby("basket").size().mean() > 2
    repeats = log.groupby(["user", "item"]).size()
    assert 0.1 < (repeats >= 2).mean() < 0.4  # some staples and replenished goods come back
    other = datasets.grocery(n_users=80, n_items=100, seed=5).interactions["item"]
    assert other.tolist() != a.interactions["item"].tolist()
    rebuys = pd.DataFrame(datasets.rebuying(n_users=80, n_items=100, seed=4).interactions)
    assert (rebuys.groupby(["user", "item"]).size() >= 2).mean() > 0.5  # rebuying dominates


def test_movielens_like_rates_each_item_once():
    log = pd.DataFrame(datasets.movielens_like(n_users=50, n_items=400, seed=2).interactions)
    assert not log.duplicated(["user", "item"]).any()
    assert log.groupby("user").size().min() >= 20
    assert set(log["rating"] * 2) <= set(range(1, 11)) and log["time"].is_monotonic_increasing
    top = log["item"].value_counts()
    assert top.iloc[:40].sum() > 0.2 * len(log)  # a popular head over 10% of the catalogue


@pytest.mark.parametrize(
    "text",
    [
        "1::10::4::978300760\n1::20::3::978300761\n2::10::5::978300762\n",
        "userId,movieId,rating,timestamp\n1,10,4.0,978300760\n1,20,3.0,978300761\n2,10,5.0,978300762\n",
    ],
)
def test_movielens_files_in_both_layouts(tmp_path, text):
    path = tmp_path / "ratings"
    path.write_text(text)
    data = datasets.load_movielens(path)
    got = {k: data.interactions[k].tolist() for k in ("user", "item", "rating")}
    assert got == {"user": [1, 1, 2], "item": [10, 20, 10], "rating": [4.0, 3.0, 5.0]}
    assert data.columns["weight_col"] == "rating"


@pytest.mark.parametrize(
    "name, content, message",
    [
        ("empty.csv", "", "is empty"),
        ("rows.csv", "a,b\n", "holds no rows"),
        ("bad.parquet", "not parquet", "cannot read Parquet file"),
        ("r.csv", "a,b\n1,2\n", "^ratings file '.*r.csv' lacks the columns"),
    ],
)
def test_read_table_errors(tmp_path, name, content, message):
    path = tmp_path / name
    path.write_text(content)
    with pytest.raises(ValueError, match=message):
        (datasets.load_movielens if name == "r.csv" else datasets.read_table)(path)
