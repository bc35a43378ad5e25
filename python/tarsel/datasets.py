"""Data to try tarsel on: a deterministic synthetic shopping log, and readers
for interaction files the user already has on disk. Nothing is downloaded."""

from __future__ import annotations

import io
import os
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from tarsel._progress import iterate as _progress

_DAY = 86400.0
_START = 1_704_067_200.0  # 2024-01-01T00:00:00Z

# category -> (how shoppers consume it, mean repurchase period in days)
_CATEGORIES = {
    "dairy": ("staple", 0),
    "bakery": ("staple", 0),
    "produce": ("staple", 0),
    "drinks": ("staple", 0),
    "coffee": ("replenish", 14),
    "tea": ("replenish", 21),
    "cereal": ("replenish", 12),
    "pasta": ("regular", 0),
    "sauces": ("regular", 0),
    "snacks": ("regular", 0),
    "meat": ("regular", 0),
    "fish": ("regular", 0),
    "frozen": ("regular", 0),
    "spices": ("replenish", 40),
    "baby": ("replenish", 7),
    "pet": ("replenish", 10),
    "cleaning": ("replenish", 28),
    "toiletries": ("replenish", 24),
    "kitchenware": ("one_off", 0),
    "electronics": ("one_off", 0),
}
# a purchase in the key category often pulls one from the value category next
_COMPANIONS = {
    "pasta": "sauces",
    "coffee": "dairy",
    "cereal": "dairy",
    "snacks": "drinks",
    "meat": "spices",
    "bakery": "dairy",
    "fish": "produce",
    "baby": "toiletries",
}


@dataclass(frozen=True)
class _Habits:
    """How a simulated shopper population buys: how personal its taste is, how
    much it rebuys, and how strongly items pull companions into a basket."""

    taste_concentration: float  # Dirichlet parameter of category taste (small: narrow)
    staples: tuple[int, int]  # staples per shopper, [low, high)
    staple_prob: float  # chance a staple is in a basket
    replenished: tuple[int, int]
    browse_mean: float  # mean extra items per basket beyond one
    companion_prob: float
    popularity_exponent: float  # within-category rank ** -exponent
    visit_gap: tuple[float, float]  # range of a shopper's mean days between visits


# Like real grocery logs: a strong popular core that everyone buys from, weak
# co-occurrence, and some rebuying (about a fifth of a basket was bought before).
_GROCERY = _Habits(
    taste_concentration=2.0,
    staples=(1, 3),
    staple_prob=0.25,
    replenished=(0, 2),
    browse_mean=4.0,
    companion_prob=0.15,
    popularity_exponent=1.2,
    visit_gap=(6.0, 20.0),
)
# Rebuying dominates: most of a basket is the shopper's own staples.
_REBUYING = _Habits(
    taste_concentration=0.3,
    staples=(4, 10),
    staple_prob=0.6,
    replenished=(2, 5),
    browse_mean=1.0,
    companion_prob=0.1,
    popularity_exponent=1.1,
    visit_gap=(2.5, 7.0),
)


@dataclass
class Dataset:
    """An interaction table and an item-feature table, both dicts of arrays
    (pass either to ``pandas.DataFrame`` for a frame)."""

    interactions: dict[str, np.ndarray]
    item_features: dict[str, np.ndarray] | None = None
    columns: dict[str, str | None] = field(default_factory=dict)


def grocery(
    n_users: int = 1500,
    n_items: int = 800,
    n_days: int = 120,
    n_new_items: int = 40,
    seed: int = 0,
    progress: bool = False,
) -> Dataset:
    """A synthetic grocery log with the structure of real shopping data.

    - popularity follows a power law within each category;
    - every visit is a basket (column ``basket``, the session);
    - each shopper has staples bought on most visits, replenished items bought
      again after an item-specific period, and one-off items bought once;
    - companion items follow their anchor in the same basket (pasta, then sauce);
    - a few items launch late and sell fast (a trend);
    - items carry a category and a brand (``item_features``), and
      ``n_new_items`` of them have no interactions yet.

    Like real basket data it has a strong popular core, weak co-occurrence
    and some rebuying (about a third of a last basket was bought before by
    the same shopper).

    Parameters
    ----------
    n_users, n_items, n_days : int
        Shoppers, items with sales, and days simulated.
    n_new_items : int
        Further items in ``item_features`` without any sales.
    seed : int
        The same arguments always give the same data.
    progress : bool
        Show a bar over the shoppers (when tqdm is installed).

    Returns
    -------
    Dataset
        ``interactions`` with the columns user, item, time (UNIX seconds) and
        basket; ``item_features`` with item, category and brand; ``columns``,
        the column arguments to pass to ``Recommender.fit``.

    Raises
    ------
    ValueError
        If ``n_items`` is too small to hold every category (below 20).

    Examples
    --------
    >>> shop = grocery(n_users=5, n_items=40, n_days=20, n_new_items=2)
    >>> sorted(shop.interactions), len(shop.item_features["item"])
    (['basket', 'item', 'time', 'user'], 42)
    >>> shop.columns["session_col"]
    'basket'
    """
    return _simulate(_GROCERY, n_users, n_items, n_days, n_new_items, seed, progress)


def rebuying(
    n_users: int = 1500,
    n_items: int = 800,
    n_days: int = 120,
    seed: int = 0,
    progress: bool = False,
) -> Dataset:
    """A synthetic grocery log where rebuying dominates.

    Shoppers have narrow tastes and many staples, so most of a basket was
    bought by the same shopper before: the shopper's own most-bought items are
    a strong baseline.

    Parameters
    ----------
    n_users, n_items, n_days : int
        Shoppers, items and days simulated.
    seed : int
        The same arguments always give the same data.
    progress : bool
        Show a bar over the shoppers (when tqdm is installed).

    Returns
    -------
    Dataset
        The columns of ``grocery``, without items lacking sales.

    Raises
    ------
    ValueError
        If ``n_items`` is below 20.

    Examples
    --------
    >>> log = rebuying(n_users=5, n_items=40, n_days=30).interactions
    >>> pairs = list(zip(log["user"].tolist(), log["item"].tolist()))
    >>> len(set(pairs)) < len(pairs) / 2  # most purchases are rebuys
    True
    """
    return _simulate(_REBUYING, n_users, n_items, n_days, 0, seed, progress)


def _simulate(
    habits: _Habits,
    n_users: int,
    n_items: int,
    n_days: int,
    n_new_items: int,
    seed: int,
    progress: bool,
) -> Dataset:
    if n_items < len(_CATEGORIES):
        raise ValueError(f"n_items must be at least {len(_CATEGORIES)}, one per category")
    rng = np.random.default_rng(seed)
    catalogue = _Catalogue.make(rng, n_items + n_new_items, n_new_items, n_days, habits)
    columns: dict[str, list] = {"user": [], "item": [], "time": [], "basket": []}
    for user in _progress(range(n_users), progress, "simulating shoppers"):
        _Shopper.make(rng, catalogue, user).shop(rng, catalogue, n_days, columns)
    interactions = {
        "user": np.asarray(columns["user"], dtype=np.int64) + 1000,
        "item": catalogue.names[np.asarray(columns["item"], dtype=np.int64)],
        "time": np.asarray(columns["time"], dtype=np.int64),
        "basket": np.asarray(columns["basket"], dtype=np.int64),
    }
    features = {
        "item": catalogue.names,
        "category": catalogue.category_names,
        "brand": catalogue.brands,
    }
    return Dataset(
        interactions,
        features,
        {"user_col": "user", "item_col": "item", "time_col": "time", "session_col": "basket"},
    )


@dataclass
class _Catalogue:
    names: np.ndarray
    category: np.ndarray  # int per item
    category_names: np.ndarray
    brands: np.ndarray
    popularity: np.ndarray
    kind: np.ndarray  # str per item
    period: np.ndarray  # days, replenished items only
    companion: np.ndarray  # item index or -1
    launch_day: np.ndarray
    cold: np.ndarray  # bool: never sold
    habits: _Habits

    @classmethod
    def make(cls, rng, n: int, n_new: int, n_days: int, habits: _Habits) -> _Catalogue:
        cats = list(_CATEGORIES)
        category = rng.integers(0, len(cats), size=n)
        category[: len(cats)] = np.arange(len(cats))  # every category has an item
        rank = np.zeros(n)
        for c in range(len(cats)):
            members = np.flatnonzero(category == c)
            rank[members] = rng.permutation(len(members)) + 1
        popularity = rank**-habits.popularity_exponent
        kind = np.array([_CATEGORIES[cats[c]][0] for c in category])
        base_period = np.array([_CATEGORIES[cats[c]][1] for c in category], dtype=float)
        period = base_period * rng.uniform(0.8, 1.25, size=n)
        names = np.array([f"{cats[c]}-{i:04d}" for i, c in enumerate(category)])
        brands = np.array(
            [f"{cats[c]}-brand{b}" for c, b in zip(category, rng.integers(0, 4, size=n))]
        )
        cold = np.zeros(n, dtype=bool)
        cold[n - n_new :] = True
        launch_day = np.zeros(n)
        regular = np.flatnonzero(~cold & (kind != "one_off"))
        trending = rng.choice(regular, size=min(12, len(regular)), replace=False)
        launch_day[trending] = n_days * 0.8
        popularity[trending] = popularity.max() * 2.0
        companion = np.full(n, -1)
        for anchor_cat, follow_cat in _COMPANIONS.items():
            anchors = np.flatnonzero((category == cats.index(anchor_cat)) & ~cold)
            follows = np.flatnonzero((category == cats.index(follow_cat)) & ~cold)
            if len(follows):
                companion[anchors] = rng.choice(follows, size=len(anchors))
        return cls(
            names,
            category,
            np.array(cats)[category],
            brands,
            popularity,
            kind,
            period,
            companion,
            launch_day,
            cold,
            habits,
        )


@dataclass
class _Shopper:
    user: int
    staples: np.ndarray
    replenished: np.ndarray
    periods: np.ndarray
    browse_before: np.ndarray  # cumulative choice weights before the launches
    browse_after: np.ndarray
    visit_gap: float

    @classmethod
    def make(cls, rng, cat: _Catalogue, user: int) -> _Shopper:
        habits = cat.habits
        taste = rng.dirichlet(np.full(len(_CATEGORIES), habits.taste_concentration))
        weight = taste[cat.category] * cat.popularity * ~cat.cold
        staple_w = weight * (cat.kind == "staple") * (cat.launch_day == 0)
        staples = _pick(rng, staple_w, rng.integers(*habits.staples))
        repl_w = weight * (cat.kind == "replenish") * (cat.launch_day == 0)
        replenished = _pick(
            rng, repl_w + 1e-12 * (cat.kind == "replenish"), rng.integers(*habits.replenished)
        )
        browse = weight * (cat.kind != "staple")
        before = np.cumsum(browse * (cat.launch_day == 0))
        after = np.cumsum(browse)
        return cls(
            user,
            staples,
            replenished,
            cat.period[replenished] * rng.uniform(0.9, 1.1, size=len(replenished)),
            before / before[-1],
            after / after[-1],
            rng.uniform(*habits.visit_gap),
        )

    def shop(self, rng, cat: _Catalogue, n_days: int, out: dict[str, list]) -> None:
        last_bought = {int(i): -rng.uniform(0, p) for i, p in zip(self.replenished, self.periods)}
        due = dict(zip(self.replenished.tolist(), self.periods.tolist()))
        owned_once: set[int] = set()
        day = rng.uniform(0, self.visit_gap)
        while day < n_days:
            basket = self._basket(rng, cat, day, last_bought, due, owned_once)
            basket_id = len(out["basket"]) and out["basket"][-1] + 1
            visit = _START + day * _DAY + rng.uniform(8, 20) * 3600
            for position, item in enumerate(basket):
                out["user"].append(self.user)
                out["item"].append(item)
                out["time"].append(int(visit + 45 * position))
                out["basket"].append(basket_id)
            day += self.visit_gap * rng.uniform(0.6, 1.4)

    def _basket(self, rng, cat, day, last_bought, due, owned_once) -> list[int]:
        habits = cat.habits
        items = [int(i) for i in self.staples if rng.random() < habits.staple_prob]
        for item, period in due.items():
            if day - last_bought[item] >= period * rng.uniform(0.9, 1.1):
                items.append(item)
                last_bought[item] = day
        weights = self.browse_after if day >= cat.launch_day.max() else self.browse_before
        draws = rng.random(1 + rng.poisson(habits.browse_mean))
        for item in np.searchsorted(weights, draws).tolist():
            if cat.kind[item] == "one_off":
                if item in owned_once:
                    continue
                owned_once.add(item)
            items.append(item)
        basket: list[int] = []
        for item in dict.fromkeys(items):
            basket.append(item)
            follow = cat.companion[item]
            if follow >= 0 and rng.random() < habits.companion_prob and follow not in basket:
                basket.append(int(follow))
        return basket


def movielens_like(
    n_users: int = 600, n_items: int = 3000, n_factors: int = 8, seed: int = 0
) -> Dataset:
    """A synthetic ratings log shaped like MovieLens.

    Users rate each item at most once; activity is log-normal (20 ratings at
    least), item popularity follows a power law, and taste comes from latent
    factors, so items rated by the same users are related (co-occurrence
    carries the signal, rebuying never happens).

    Parameters
    ----------
    n_users, n_items : int
        Users and movies.
    n_factors : int
        Dimensions of the latent taste.
    seed : int
        The same arguments always give the same data.

    Returns
    -------
    Dataset
        ``interactions`` with the columns user, item, rating (0.5 to 5 in half
        steps) and time (UNIX seconds), in time order; no item features.

    Raises
    ------
    ValueError
        If ``n_items`` is below 40 (too few for the least active user).

    Examples
    --------
    >>> log = movielens_like(n_users=3, n_items=100).interactions
    >>> len(log["user"]) >= 60, float(log["rating"].max()) <= 5.0
    (True, True)
    """
    if n_items < 40:
        raise ValueError("movielens_like needs n_items of at least 40")
    rng = np.random.default_rng(seed)
    popularity = np.log(rng.permutation(n_items) + 1.0) * -1.0
    item_f = rng.normal(size=(n_items, n_factors))
    activity = np.clip(rng.lognormal(np.log(60.0), 1.0, size=n_users), 20, n_items // 2)
    columns: dict[str, list] = {"user": [], "item": [], "rating": [], "time": []}
    for user in range(n_users):
        taste = rng.normal(size=n_factors)
        affinity = item_f @ taste / np.sqrt(n_factors)
        utility = popularity + 1.5 * affinity + rng.gumbel(size=n_items)
        chosen = np.argpartition(-utility, int(activity[user]))[: int(activity[user])]
        rating = np.clip(
            np.round((3.5 + 0.8 * affinity[chosen] + rng.normal(0, 0.7, len(chosen))) * 2) / 2,
            0.5,
            5.0,
        )
        start = _START - rng.uniform(0, 3 * 365) * _DAY
        times = np.sort(start + rng.exponential(30 * _DAY, len(chosen)).cumsum() / 10)
        columns["user"].extend([user + 1] * len(chosen))
        columns["item"].extend((chosen + 1).tolist())
        columns["rating"].extend(rating.tolist())
        columns["time"].extend(times.astype(np.int64).tolist())
    interactions = {
        "user": np.asarray(columns["user"], dtype=np.int64),
        "item": np.asarray(columns["item"], dtype=np.int64),
        "rating": np.asarray(columns["rating"], dtype=np.float64),
        "time": np.asarray(columns["time"], dtype=np.int64),
    }
    order = np.argsort(interactions["time"], kind="stable")
    return Dataset(
        {k: v[order] for k, v in interactions.items()},
        None,
        {"user_col": "user", "item_col": "item", "time_col": "time", "weight_col": "rating"},
    )


def _pick(rng, weights: np.ndarray, k: int) -> np.ndarray:
    k = min(int(k), int(np.count_nonzero(weights)))
    if k == 0:
        return np.zeros(0, dtype=np.int64)
    return rng.choice(len(weights), size=k, replace=False, p=weights / weights.sum())


# ------------------------------------------------------------------ readers


def read_table(
    path: str | os.PathLike,
    *,
    text_columns: Iterable[str] | None = ("user", "item"),
    sep: str | None = None,
) -> Any:
    """A CSV or Parquet file as a pandas DataFrame.

    Parameters
    ----------
    path : str or path-like
        A file ending in .parquet or .pq is read as Parquet, anything else as
        CSV (UTF-8) with a header row.
    text_columns : iterable of str or None, default ("user", "item")
        Columns of a CSV file read as text, exactly as written, so that ids
        such as ``042`` and ``42`` stay two ids and come back unchanged.
        Names the file lacks are skipped; None lets pandas guess the type of
        every column (``042`` becomes the integer 42). Parquet files keep
        their own types.
    sep : str, optional
        The field separator of a CSV file; by default the one of ``,``, ``;``,
        tab and ``|`` that the header line holds most often.

    Returns
    -------
    pandas.DataFrame
        The table, with at least one row.

    Raises
    ------
    ValueError
        For an empty, header-only, unparsable or non-UTF-8 file, or a model
        file given as a table.
    OSError
        When the file cannot be read.
    ImportError
        Without pandas (and pyarrow for Parquet): ``pip install 'tarsel[io]'``.

    Examples
    --------
    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "log.csv")
    >>> with open(path, "w") as f:
    ...     _ = f.write("user;item\\n042;a\\n42;b\\n")
    >>> read_table(path)["user"].tolist()
    ['042', '42']
    >>> read_table(path, text_columns=None)["user"].tolist()
    [42, 42]
    """
    import pandas as pd

    path = os.fspath(path)
    if path.lower().endswith((".parquet", ".pq")):
        try:
            table = pd.read_parquet(path)
        except FileNotFoundError:
            raise
        except Exception as exc:  # pyarrow's own errors for a damaged file
            raise ValueError(f"cannot read Parquet file {path!r}: {exc}") from None
    else:
        table = _read_csv(path, text_columns, sep)
    if len(table) == 0:
        raise ValueError(f"file {path!r} holds no rows")
    return table


_SEPARATORS = (",", ";", "\t", "|")


def _header_line(path: str) -> str:
    """The first line of a CSV file, decompressed as pandas would read it
    (gzip, bzip2 and xz by their suffix; other archives give no line)."""
    import bz2
    import gzip
    import lzma

    suffix = os.path.splitext(path)[1].lower()
    opener: Any = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}.get(suffix, open)
    if suffix in (".zip", ".zst", ".tar"):
        return ""
    try:
        with opener(path, "rb") as file:
            return file.readline(1 << 16).decode("utf-8", errors="replace")
    except (OSError, EOFError, lzma.LZMAError):  # a damaged archive: pandas says why
        return ""


def _read_csv(path: str, text_columns: Iterable[str] | None, sep: str | None) -> Any:
    import pandas as pd

    from tarsel._container import MAGIC

    with open(path, "rb") as file:
        # a model file ends with its magic number and a 4-byte checksum
        tail = len(MAGIC) + 4
        model = file.seek(0, os.SEEK_END) >= tail and file.seek(-tail, os.SEEK_END) >= 0
        model = model and file.read(len(MAGIC)) == MAGIC
    if model:
        raise ValueError(f"{path!r} is a tarsel model file, not a table of interactions")
    header = _header_line(path)
    if sep is None:
        sep = max(_SEPARATORS, key=header.count)  # ties go to the comma
    names = [name.strip().strip('"') for name in header.lstrip("\ufeff").split(sep)]
    wanted = set(text_columns or ()) & set(names)
    try:
        return pd.read_csv(path, sep=sep, dtype={name: str for name in wanted} or None)
    except pd.errors.EmptyDataError:
        raise ValueError(f"file {path!r} is empty") from None
    except pd.errors.ParserError as exc:
        raise ValueError(f"cannot parse CSV file {path!r}: {exc}") from None
    except UnicodeDecodeError as exc:
        raise ValueError(
            f"cannot read CSV file {path!r}: byte 0x{exc.object[exc.start]:02x} at "
            f"position {exc.start:,} is not UTF-8 text; save the file as UTF-8 (a "
            "Latin-1 file converts with: iconv -f latin1 -t utf-8), or read it with "
            "pandas.read_csv(..., encoding=...) and pass the table"
        ) from None


def load_movielens(path: str | os.PathLike) -> Dataset:
    """A MovieLens-style ratings file the user has on disk.

    Parameters
    ----------
    path : str or path-like
        Either ``user::item::rating::time`` lines (``ratings.dat``) or a CSV
        with the columns userId, movieId, rating, timestamp (``ratings.csv``).

    Returns
    -------
    Dataset
        ``interactions`` with the columns ``user``, ``item``, ``rating`` and
        ``time``, no item features, and ``columns`` naming them for ``fit``
        (ratings as weights).

    Raises
    ------
    ValueError
        For an empty file or a CSV without the expected columns.
    OSError
        When the file cannot be read.

    Examples
    --------
    >>> import os, tempfile
    >>> path = os.path.join(tempfile.mkdtemp(), "ratings.dat")
    >>> with open(path, "w") as f:
    ...     _ = f.write("1::10::4::978300760\\n2::10::5::978302109\\n")
    >>> ratings = load_movielens(path)
    >>> ratings.interactions["rating"].tolist(), ratings.columns["weight_col"]
    ([4, 5], 'rating')
    """
    import pandas as pd

    path = os.fspath(path)
    with open(path, "rb") as handle:
        raw = handle.read()
    if not raw.strip():
        raise ValueError(f"file {path!r} is empty")
    if b"::" in raw.split(b"\n", 1)[0]:
        table = pd.read_csv(
            io.BytesIO(raw.replace(b"::", b"\t")),
            sep="\t",
            header=None,
            names=["user", "item", "rating", "time"],
        )
    else:
        table = pd.read_csv(io.BytesIO(raw)).rename(
            columns={"userId": "user", "movieId": "item", "timestamp": "time"}
        )
        missing = [c for c in ("user", "item", "rating", "time") if c not in table.columns]
        if missing:
            raise ValueError(
                f"ratings file {path!r} lacks the columns {', '.join(missing)} "
                "(expected userId, movieId, rating, timestamp)"
            )
    return Dataset(
        {c: table[c].to_numpy() for c in ("user", "item", "rating", "time")},
        None,
        {"user_col": "user", "item_col": "item", "time_col": "time", "weight_col": "rating"},
    )
