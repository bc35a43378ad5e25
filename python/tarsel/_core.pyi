"""Type stubs for the native core ``tarsel._core``.

Functions appear in the module's table order; keep these stubs in step with
the module (a test compares them).
"""

from collections.abc import Sequence
from typing import Any, TypedDict

import numpy as np
import numpy.typing as npt
from typing_extensions import Buffer

# Index and real-valued sequences are read element by element (``__index__``,
# ``__float__``), so any sequence but str does, NumPy arrays included.
_Indices = Sequence[int] | npt.NDArray[np.integer[Any]]
_Reals = Sequence[float] | npt.NDArray[np.floating[Any] | np.integer[Any]]
# A repeat profile as set_repeat_profile takes it: indptr, items, counts,
# last_ts, periods, quality.
_RepeatProfile = tuple[
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
]

class InternalFailure(BaseException):
    """A broken internal invariant of the native core. Derives from
    BaseException, so ``except Exception`` does not catch it."""

def cooc_transform(
    data: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32],
    indptr: npt.NDArray[np.int32],
    item_counts: npt.NDArray[np.float64],
    transform: str,
    wilson_z: float = 1.96,
) -> npt.NDArray[np.float32]:
    """Rescale each stored co-occurrence value v of row r, column c by the item
    counts (raised to at least 1; 1 for items without a count): ``"raw"`` (a
    copy), ``"cosine"`` v / sqrt(c_r c_c), ``"jaccard"`` v / max(c_r + c_c - v, 1),
    ``"wilson"`` the smaller Wilson lower bound of v / c_r and v / c_c. Any other
    name raises ValueError. Positions no row covers are 0."""

def cap_neighbours(
    data: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32],
    indptr: npt.NDArray[np.int32],
    k: int,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Each row of a CSR graph cut to its ``k`` largest values: equal values keep
    the smaller column first, NaN ranks below every number; kept entries stay in
    their stored order and rows of at most ``k`` entries stay whole. ``indptr``
    must start at 0, never decrease and end at ``len(data) == len(indices)``
    (ValueError otherwise)."""

def build_cooccurrence(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    n_users: int,
    n_items: int,
    kernel: str = "pure_count",
    alpha: float = 1.0,
    half_life_days: float = 30.0,
    timestamps: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]:
    """Symmetric item-item co-occurrence from user histories, as a CSR triple
    (data float32, indices int32, indptr int32) of an n_items x n_items matrix
    with no diagonal and ascending columns. Out-of-range or negative indices are
    skipped. ``kernel="hybrid_temporal"`` scales each weight product by
    ``1 + alpha / (1 + exp(|dt| / tau))``, tau = max(half_life_days * 86400, 1)
    seconds, and requires ``timestamps``. Releases the interpreter lock and runs
    on the worker pool."""

def cooccurrence_signal(
    data: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32],
    indptr: npt.NDArray[np.int32],
    owned_indices: _Indices,
    candidate_indices: _Indices,
) -> npt.NDArray[np.float64]:
    """``adjacency[owned_indices].sum(axis=0)[candidate_indices]`` of a square CSR
    in one pass over the owned rows. Owned indices past the rows are skipped and
    repeats add again; candidates outside the matrix score 0.0. A non-contiguous
    array or a CSR that points past its arrays raises InternalFailure."""

def cooccurrence_retrieve(
    data: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32],
    indptr: npt.NDArray[np.int32],
    owned_indices: _Indices,
    budget: int,
    include_owned: bool = False,
) -> tuple[list[int], list[float]]:
    """The at most ``min(budget, n)`` items of highest positive summed score over
    the owned rows, as (item_indices, scores) lists ordered by score descending
    and then item ascending. Unless ``include_owned``, owned items are zeroed
    after summing and never returned."""

def build_directional_cooc(
    session_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    n_sessions: int,
    n_items: int,
    timestamps: npt.NDArray[np.float64] | None = None,
) -> tuple[list[float], list[int], list[int]]:
    """Ordered co-occurrence: entry (i, j) sums ``w_p * w_next`` over every place
    where item j directly follows a different item i within a session, ordered
    by ``timestamps`` (stable) or by array order when None. Out-of-range indices
    and weights <= 0 are dropped; the shortest array governs. Lists (data,
    indices, indptr)."""

def symmetrize_via_transpose(
    data: npt.NDArray[np.float32],
    indices: npt.NDArray[np.int32],
    indptr: npt.NDArray[np.int32],
) -> tuple[list[float], list[int], list[int]]:
    """W = D + D^T of a square CSR in single precision, as lists (data, indices,
    indptr); one-sided entries are copied and diagonal entries double."""

def fit_ease_py(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    n_users: int,
    n_items: int,
    lambda_: float = 250.0,
    weights: npt.NDArray[np.float32] | None = None,
    delta: float = 0.0,
) -> npt.NDArray[np.float32]:
    """EASE item-item weights B, a C-ordered float32 array of shape
    (n_items, n_items) with a zero diagonal: B[i, j] = -P[i, j] / P[j, j] where
    P = (G + diag(lambda_ + delta * diag(G)))^-1 and G = X^T X. X[u, i] is the
    largest positive weight given for the pair (1.0 without ``weights`` or past
    their end); non-positive weights and negative or out-of-range indices are
    skipped. Raises ``ValueError`` "Cholesky failed: Gram + λI not positive
    definite (λ too small?)" or "diag(P)[j] == 0; cannot form B". Releases the
    interpreter lock while it fits."""

def fit_ease_gram_py(
    gram: npt.NDArray[np.float64], lambda_: float = 250.0, delta: float = 0.0
) -> npt.NDArray[np.float32]:
    """The EASE weights B of :func:`fit_ease_py` from a Gram matrix G = X^T X
    already formed: a float64 (n_items, n_items) array in any layout, of which
    only the upper triangle (j >= i) is read. Equal G gives the same B, so G may
    be summed from the contributions of disjoint groups of users. Raises
    ``ValueError`` "gram must be a square matrix" and as :func:`fit_ease_py`.
    Releases the interpreter lock while it fits."""

def metadata_knn(
    feat_data: npt.NDArray[np.float32],
    feat_indices: npt.NDArray[np.int32],
    feat_indptr: npt.NDArray[np.int32],
    n_features: int,
    top_k: int = 20,
    max_df: int = 0,
) -> tuple[list[int], list[int], list[float]]:
    """For every item (row of the item x feature CSR), at most ``top_k`` other
    items with the highest positive dot product of feature rows, as
    (items, neighbours, scores) lists grouped by item ascending, each group by
    descending score and then neighbour ascending. Feature indices outside
    [0, n_features) are ignored; with ``max_df`` > 0, features carried by more
    than ``max_df`` entries are dropped. A row range past the end of the arrays
    raises InternalFailure."""

def build_session_cooccurrence(
    session_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    n_sessions: int,
    n_items: int,
    kernel: str = "pure_count",
    alpha: float = 1.0,
    half_life_days: float = 30.0,
    timestamps: npt.NDArray[np.float64] | None = None,
) -> tuple[list[float], list[int], list[int]]:
    """The co-occurrence matrix of ``build_cooccurrence`` with sessions as rows,
    built on the calling thread and returned as three lists (data, indices,
    indptr)."""

def deep_session_fraction(session_idx: _Indices, item_idx: _Indices) -> float:
    """Share of sessions with at least two distinct items over the first
    ``min(len(session_idx), len(item_idx))`` positions; 0.0 without sessions."""

def fit_channels(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    timestamps: npt.NDArray[np.float64] | None,
    n_users: int,
    n_items: int,
    n_items_ext: int,
    trend_window_fraction: float,
    want_trend: bool,
    want_user_cf: bool,
) -> tuple[list[float], list[float], list[int], list[int], list[float]]:
    """Item counts, trend z-scores and the user-CF inverted index for the
    engine, as five lists: interactions per item (n_items_ext floats); trend
    z-scores of the interactions in the last ``trend_window_fraction`` of the
    time span (empty when off, undefined or flat); the distinct users of every
    item, ascending; per-item offsets into them (n_items + 1); per-user
    distinct-item counts (n_users floats). The last three are empty when
    ``want_user_cf`` is false. Interactions are the positions of ``item_idx``.
    An item at or above ``n_items_ext``, a short ``timestamps`` (trend on) or
    ``user_idx`` (user-CF on) raise InternalFailure; with user-CF on so do a
    negative user, a user at or above ``n_users`` and an item at or above
    ``n_items``."""

def engine_fields() -> list[tuple[str, str, str]]:
    """The engine record's fields in the order of its persistence format, as
    (name, kind, dtype): kind "array" (an entry of ``build_engine``'s arrays of
    that dtype), "layers" (``boost``) or "setting" (an entry of its config)."""

# --- engine record fields: written by tools/engine_stub.py from engine_fields() ---
class EngineArrays(TypedDict, total=False):
    ease_b: npt.NDArray[np.float32]
    cooc_data: npt.NDArray[np.float32]
    cooc_indices: npt.NDArray[np.int32]
    cooc_indptr: npt.NDArray[np.int32]
    trend_z: npt.NDArray[np.float64]
    trans_data: npt.NDArray[np.float64]
    trans_indices: npt.NDArray[np.int32]
    trans_indptr: npt.NDArray[np.int64]
    uu_data: npt.NDArray[np.int64]
    uu_indptr: npt.NDArray[np.int64]
    uu_deg: npt.NDArray[np.float64]
    uri_data: npt.NDArray[np.int64]
    uri_indptr: npt.NDArray[np.int64]
    item_pop: npt.NDArray[np.float64]
    boost: list[tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]]
    content_data: npt.NDArray[np.float32]
    content_indices: npt.NDArray[np.int32]
    content_indptr: npt.NDArray[np.int32]
    content_coldness: npt.NDArray[np.float64]
    cold_recency: npt.NDArray[np.float64]
    repeat_indptr: npt.NDArray[np.int64]
    repeat_items: npt.NDArray[np.int64]
    repeat_counts: npt.NDArray[np.float64]
    repeat_last_ts: npt.NDArray[np.float64]
    repeat_periods: npt.NDArray[np.float64]
    repeat_quality: npt.NDArray[np.float64]

class EngineConfig(TypedDict, total=False):
    n_items: int
    base_is_ease: bool
    ease_dim: int
    trend_alpha: float
    last_item_alpha: float
    transition_alpha: float
    transition_last_k: int
    transition_decay: float
    user_cf_alpha: float
    user_cf_k: int
    n_users: int
    z_threshold: float
    boost_multiplier: float
    retrieval_budget: int
    cold_slots: int
    content_nfeat: int
    cold_recency_beta: float
    content_alpha: float
    repeat_active: bool
    repeat_now_ts: float
    repeat_refractory: float
    repeat_epsilon: float
    repeat_freq_alpha: float

# --- end of engine record fields ---

class EngineState:
    """Native recommend engine, built by :func:`build_engine` (or read back by
    :meth:`load` / :meth:`from_bytes`) from the Python-side ``EngineState``
    bundle; it holds the read-only arrays among them and copies the others.
    ``recommend`` reproduces the Python side's ``_recommend_core``.
    Serializable to a self-contained binary
    serving artefact that reloads without re-fitting. The class has no Python
    constructor: calling it raises ``TypeError``."""

    def recommend(
        self, owned: _Indices, user_row: int, n: int, pop_prior: float = 0.0
    ) -> tuple[list[int], list[float], list[str]]:
        """Top-n recommendations for one user: (item_indices, scores, base_kind).
        ``owned`` lists the user's items oldest first (entries outside the
        catalogue are ignored); ``user_row`` is the user's row in the user
        tables, negative when unknown; ``pop_prior`` weighs the popularity addend
        for new users. Labels are "ease", "cooc_fused", "cooc" or
        "cold_content"; cold-content picks may make the lists longer than ``n``.
        A record whose arrays point out of range raises InternalFailure."""

    def recommend_batch(
        self,
        owneds: Sequence[_Indices] | npt.NDArray[np.integer[Any]],
        user_rows: _Indices,
        n: int,
        pop_prior: float = 0.0,
    ) -> list[tuple[list[int], list[float], list[str]]]:
        """``recommend`` for each pair ``(owneds[i], user_rows[i])`` up to the
        shorter sequence, in parallel on the worker pool with the interpreter
        lock released; entry i equals ``recommend(owneds[i], user_rows[i], n,
        pop_prior)``. A failure for any user fails the whole call. One call
        returns at most 2**24 entries (users x n, n capped at the catalogue
        size): ``ValueError`` naming ``n`` beyond that."""

    def recommend_batch_priors(
        self,
        owneds: Sequence[_Indices] | npt.NDArray[np.integer[Any]],
        user_rows: _Indices,
        n: int,
        pop_priors: Sequence[float],
    ) -> list[list[tuple[list[int], list[float], list[str]]]]:
        """``recommend_batch`` for several popularity weights at once: entry w
        equals ``recommend_batch(owneds, user_rows, n, pop_priors[w])``. The work
        before the popularity addend is done once per user. The entry limit of
        ``recommend_batch`` applies to users x n x ``len(pop_priors)``."""

    def recommend_batch_profiles(
        self,
        owneds: Sequence[_Indices] | npt.NDArray[np.integer[Any]],
        user_rows: _Indices,
        n: int,
        pop_prior: float,
        profiles: Sequence[_RepeatProfile],
    ) -> list[list[tuple[list[int], list[float], list[str]]]]:
        """``recommend_batch`` for several repeat profiles at once: each profile
        holds the six arrays ``set_repeat_profile`` takes (indptr, items, counts,
        last_ts, periods, quality), and entry v equals ``recommend_batch(owneds,
        user_rows, n, pop_prior)`` after ``set_repeat_profile(*profiles[v],
        now_ts)`` with the engine's own now_ts; the engine is left unchanged.
        The work before the repeat step is done once per user. The entry limit
        of ``recommend_batch`` applies to users x n x ``len(profiles)``."""

    def set_channel_alphas(
        self,
        trend_alpha: float,
        user_cf_alpha: float,
        last_item_alpha: float,
        transition_alpha: float,
    ) -> None:
        """Replace the four channel weights in place; a weight <= 0 switches its
        channel off. Raises RuntimeError "Already borrowed" while a batch runs."""

    def set_repeat_active(self, active: bool) -> None:
        """Switch the repeat-consumption adjustment on or off in place."""

    def set_repeat_profile(
        self,
        indptr: npt.NDArray[np.int64],
        items: npt.NDArray[np.int64],
        counts: npt.NDArray[np.float64],
        last_ts: npt.NDArray[np.float64],
        periods: npt.NDArray[np.float64],
        quality: npt.NDArray[np.float64],
        now_ts: float,
    ) -> None:
        """Replace the per-user repeat profile (a CSR over users) and its "now"
        instant in place; the arrays are copied unchecked. The repeat switch and
        the multiplier settings stay as they are."""

    def save(self, path: str) -> None:
        """Write the engine record to ``path``: to a temporary file in the same
        directory, flushed to disk and renamed over ``path``, so a failed save
        leaves an existing file untouched. New files get mode 0666 less the
        umask. Raises ``OSError`` "<system text> (os error N)"."""

    @staticmethod
    def load(path: str) -> EngineState:
        """A new engine read from a regular file written by :meth:`save`. Raises
        ``OSError`` when the file cannot be read, ``ValueError`` "'<path>' is not
        a regular file" for a pipe or a device, and ``ValueError`` as
        :meth:`from_bytes`."""

    def to_bytes(self) -> bytes:
        """The engine record as bytes (the serving artefact)."""

    @staticmethod
    def from_bytes(data: bytes) -> EngineState:
        """A new engine decoded from the front of the ``bytes`` object ``data``
        (trailing bytes are ignored). Every record that :func:`build_engine` and
        the overrides make from sound tables loads back as it was. Raises
        ``TypeError`` "argument 'data': 'T' object cannot be converted to
        'PyBytes'" for any other type, ``ValueError`` "io error: unexpected end
        of file" for a truncated record, "invalid u8 while decoding bool,
        expected 0 or 1, found N" for a bad flag byte, and "inconsistent engine
        record: ..." for a table row that a request can read but that points
        outside its arrays or the size it indexes, or for ``n_items``,
        ``n_users`` or ``content_nfeat`` above 2**16 and above the number of
        array values the record holds (a request allocates by them)."""

    @staticmethod
    def _from_buffer(data: Buffer) -> EngineState:
        """:meth:`from_bytes` for any bytes-like object (the model file's reader)."""

    @staticmethod
    def load_section(fd: int, offset: int, length: int) -> tuple[EngineState, int]:
        """``(engine, crc)``: an engine read from the ``length`` bytes at
        ``offset`` of the open regular file ``fd`` (a section of a model file),
        and the CRC-32 (as ``zlib.crc32``) of all those bytes. The interpreter
        lock is released while reading. Errors as :meth:`load`."""

    def sizes(self) -> dict[str, int]:
        """The record's counts: ``n_items``, ``n_users`` and ``content_nfeat``."""

def build_engine(arrays: EngineArrays, config: EngineConfig) -> EngineState:
    """Build an :class:`EngineState` from a dict of arrays keyed by engine field
    name (one-dimensional arrays of their exact dtype; ``ease_b`` a 2-D float32
    matrix in any memory order; ``boost`` a list of ``(data float32, indices
    int32, indptr int32)`` tuples) and a dict of settings. Missing keys and
    ``None`` give empty arrays and default settings. A read-only array (down to
    the memory it views) is held, not copied, and must not be made writeable
    and written while the engine lives; every other array is copied.
    Raises ``ValueError`` "n_items must be > 0", "no base scorer: provide ease_b
    or a cooc CSR" or "ease_b shape inconsistent: dim D, len L, n_items N"."""

def layered_score_py(
    base: npt.NDArray[np.float64],
    layer_specs: list[tuple[npt.NDArray[np.float64], str]],
    z_threshold: float = 2.5,
    boost_multiplier: float = 3.0,
    top_k_for_calibration: int = 20,
    min_nonzero_for_zscore: int = 3,
) -> npt.NDArray[np.float64]:
    """Boost the base scores where refinement layers are outliers. Each layer is
    a (values, z_mode) tuple, z_mode "nonzero" (also "nonzero_subset", "sparse":
    statistics over and boosts of entries > 0) or "pool" (also "dense",
    "candidate_pool": all entries). The boost is ``boost_multiplier`` times the
    median positive gap between consecutive values among the
    ``top_k_for_calibration`` largest base scores; each layer adds it wherever
    an eligible entry's z-score exceeds ``z_threshold``. Layers of the wrong
    length, or with fewer than ``min_nonzero_for_zscore`` pool entries, are
    skipped. Returns a new array."""

def calibrate_layered_py(
    users: list[
        tuple[
            npt.NDArray[np.float64],
            list[tuple[npt.NDArray[np.float64], str]],
            npt.NDArray[np.float64],
        ]
    ],
    z_grid: _Reals,
    boost_grid: _Reals,
    k: int = 10,
    top_k_for_calibration: int = 20,
    min_nonzero_for_zscore: int = 3,
    default_z: float = 2.5,
    default_boost: float = 3.0,
    tie_tolerance: float = 0.003,
    min_lift_over_cooc_only: float = 0.0,
) -> tuple[list[tuple[float, float, float, int]], tuple[float, float, float, bool]]:
    """Choose the layered scorer's z threshold and boost multiplier by mean
    NDCG@k over users, each a (base, layer_specs, relevance) tuple. Returns the
    grid entries (z, boost, ndcg, n_users), z outer and boost inner, and the
    summary (best_z, best_boost, best_ndcg, fallback_to_default): the defaults
    (fallback) for an empty or undiscriminating grid, boost 0.0 (fallback) when
    the best lifts the base scores' NDCG by less than
    ``min_lift_over_cooc_only``, else the defaults when within
    ``tie_tolerance`` of the best, else the near-best point with the highest z
    and then the smallest boost."""

def ndcg_at_k_py(scores: _Reals, relevance: _Reals, k: int) -> float:
    """NDCG at k: ranks by score descending (ties in input order), gains
    2^rel - 1, discounts log2(rank + 2); 0.0 for empty or mismatched inputs,
    k = 0 or a non-positive ideal DCG."""

def multipliers_batch(
    pattern_probs: npt.NDArray[np.float64],
    periods: npt.NDArray[np.float64],
    refractories: npt.NDArray[np.float64],
    confidences: npt.NDArray[np.float64],
    times_since_last: npt.NDArray[np.float64],
    one_shot_epsilon: float = 1e-3,
) -> npt.NDArray[np.float64]:
    """Repeat multipliers of n = len(periods) candidates: row i of the (n, 4)
    ``pattern_probs`` (any layout) with element i of each contiguous array,
    as :func:`multiplier_one_py` computes them."""

def multiplier_one_py(
    pattern_probs: _Reals,
    period_seconds: float,
    refractory_seconds: float,
    confidence: float,
    time_since_last_seconds: float,
    one_shot_epsilon: float = 1e-3,
) -> float:
    """Repeat multiplier of one candidate from its probabilities [REPEAT,
    REPLENISH, SATIATION, ONE_SHOT] (those not > 0 contribute nothing): with
    t = max(elapsed, 0) / period and r = refractory / period (both floored at
    1e-9), the curves 1, logistic(6 (t - 0.7)), 1 - exp(-(t/r)^2) and
    ``one_shot_epsilon`` are mixed and blended with 1.0 by the confidence
    clamped to [0, 1]. A non-finite elapsed time gives exactly 1.0."""

def detect_period_py(intervals: npt.NDArray[np.float64]) -> tuple[float, float]:
    """Typical repurchase period and its quality from inter-consumption gaps.
    Only gaps > 0 count; none gives (nan, 0.0). Fewer than ten give their
    median with quality 0.3; otherwise the mode of a kernel density estimate of
    the log-gaps on 256 points, with quality 1 - second peak / highest peak."""

def fit_repeat_profile(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    timestamps: npt.NDArray[np.float64] | None,
    n_users: int,
    min_count: int = 2,
) -> tuple[list[int], list[int], list[float], list[float], list[float], list[float]]:
    """Per-user repeat profile of the user-item pairs seen at least
    ``min_count`` times: (indptr, items, counts, last_ts, periods, quality),
    a CSR over users with items ascending. Every user index must lie in
    [0, n_users); a negative one or one at or above n_users raises
    InternalFailure. NaN timestamps are ordered last within a pair, so such a
    pair has last_ts NaN. Without timestamps last_ts and periods are NaN and
    quality 0.0."""

# The package's own forms of the functions above that return lists: the same
# values as NumPy arrays, whose buffers are taken over from the native result.

def _build_directional_cooc_arrays(
    session_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    n_sessions: int,
    n_items: int,
    timestamps: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]: ...
def _symmetrize_via_transpose_arrays(
    data: npt.NDArray[np.float32], indices: npt.NDArray[np.int32], indptr: npt.NDArray[np.int32]
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]: ...
def _metadata_knn_arrays(
    feat_data: npt.NDArray[np.float32],
    feat_indices: npt.NDArray[np.int32],
    feat_indptr: npt.NDArray[np.int32],
    n_features: int,
    top_k: int = 20,
    max_df: int = 0,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]: ...
def _build_session_cooccurrence_arrays(
    session_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    weights: npt.NDArray[np.float32],
    n_sessions: int,
    n_items: int,
    kernel: str = "pure_count",
    alpha: float = 1.0,
    half_life_days: float = 30.0,
    timestamps: npt.NDArray[np.float64] | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.int32], npt.NDArray[np.int32]]: ...
def _fit_channels_arrays(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    timestamps: npt.NDArray[np.float64] | None,
    n_users: int,
    n_items: int,
    n_items_ext: int,
    trend_window_fraction: float,
    want_trend: bool,
    want_user_cf: bool,
) -> tuple[
    npt.NDArray[np.float64],
    npt.NDArray[np.float64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.float64],
]: ...
def _fit_repeat_profile_arrays(
    user_idx: npt.NDArray[np.int64],
    item_idx: npt.NDArray[np.int64],
    timestamps: npt.NDArray[np.float64] | None,
    n_users: int,
    min_count: int = 2,
) -> _RepeatProfile: ...
