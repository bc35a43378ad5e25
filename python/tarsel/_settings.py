"""The settings of one fit: the ``Recommender``'s parameters, checked once and
frozen, so that the fitting and gating code reads plain typed values and never
the estimator itself."""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass, fields
from numbers import Integral, Real
from typing import Any

from tarsel.data import WEIGHTINGS

COOC_TRANSFORMS = ("raw", "cosine", "jaccard", "wilson")
COOC_KERNELS = ("pure_count", "hybrid_temporal")


@dataclass(frozen=True)
class Settings:
    """One value per ``Recommender`` parameter (the estimator documents them).

    The fields carry no defaults: the estimator's signature is the one place
    they are defined. Construction checks every value and normalises it (ints
    to ``int``, numbers to ``float``, grids to tuples of floats); a bad value
    raises ``ValueError`` naming the parameter.
    """

    weighting: str | None
    cooc_transform: str
    cooc_kernel: str
    half_life_days: float
    ease_max_items: int | None
    max_neighbours: int | None
    ease_lambda: float
    min_deep_session_fraction: float
    session_gap_seconds: float | None
    trend_alpha: float
    trend_window_fraction: float
    user_cf_alpha: float
    user_cf_k: int
    last_item_alpha: float
    transition_alpha: float
    transition_last_k: int
    transition_decay: float
    content_alpha: float
    content_top_k: int
    content_max_df: int
    cold_slots: int
    repeat: bool
    repeat_min_count: int
    repeat_refractory_days: float
    repeat_freq_alpha: float
    retrieval_budget: int
    z_grid: tuple[float, ...]
    boost_grid: tuple[float, ...]
    pop_prior_grid: tuple[float, ...]
    gate_users: int
    gate_k: int
    min_gain: float
    random_state: int
    exclude_owned: bool | None

    def __post_init__(self) -> None:
        for name in NAMES:
            object.__setattr__(self, name, _RULES[name](name, getattr(self, name)))

    @classmethod
    def from_params(cls, params: Mapping[str, Any]) -> Settings:
        """Check and freeze an estimator's ``get_params()``."""
        missing = [n for n in NAMES if n not in params]
        unknown = [n for n in params if n not in _RULES]
        if missing or unknown:
            raise TypeError(f"settings missing {missing} or unknown {unknown}")
        return cls(**params)


# ------------------------------------------------------------------ checks

Rule = Callable[[str, Any], Any]


def _choice(*options: str) -> Rule:
    def check(name: str, value: Any) -> str:
        if not isinstance(value, str) or value not in options:
            raise ValueError(f"unknown {name} {value!r}; expected one of {', '.join(options)}")
        return value

    return check


def _integer(low: int) -> Rule:
    def check(name: str, value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, Integral) or value < low:
            raise ValueError(f"{name} must be an integer of at least {low}, not {value!r}")
        return int(value)

    return check


def _number(low: float = -math.inf, high: float = math.inf, *, above: bool = False) -> Rule:
    """A finite number in [low, high], or (low, high] with ``above``."""
    if above:
        wanted = f"greater than {low:g}" + (f" and at most {high:g}" if high < math.inf else "")
    elif high < math.inf:
        wanted = f"between {low:g} and {high:g}"
    else:
        wanted = f"at least {low:g}" if low > -math.inf else "finite"

    def check(name: str, value: Any) -> float:
        number = float(value) if isinstance(value, Real) and not isinstance(value, bool) else None
        if (
            number is None
            or not math.isfinite(number)
            or number > high
            or (number <= low if above else number < low)
        ):
            raise ValueError(f"{name} must be a number {wanted}, not {value!r}")
        return number

    return check


def _flag(name: str, value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"{name} must be True or False, not {value!r}")
    return value


def _optional(rule: Rule) -> Rule:
    def check(name: str, value: Any) -> Any:
        return None if value is None else rule(name, value)

    return check


def _grid(low: float, *, may_be_empty: bool = False) -> Rule:
    element = _number(low)

    def check(name: str, value: Any) -> tuple[float, ...]:
        try:
            values = tuple(element(name, v) for v in value)
        except (TypeError, ValueError):
            values = None
        if values is None or isinstance(value, (str, bytes)) or not (values or may_be_empty):
            bound = f" of at least {low:g}" if low > -math.inf else ""
            raise ValueError(
                f"{name} must be a {'' if may_be_empty else 'non-empty '}sequence "
                f"of finite numbers{bound}, not {value!r}"
            )
        return values

    return check


_FRACTION, _WEIGHT = _number(0.0, 1.0), _number(0.0)
_RULES: dict[str, Rule] = {
    "weighting": _optional(_choice(*WEIGHTINGS)),
    "cooc_transform": _choice(*COOC_TRANSFORMS),
    "cooc_kernel": _choice(*COOC_KERNELS),
    "half_life_days": _number(0.0, above=True),
    "ease_max_items": _optional(_integer(0)),
    "max_neighbours": _optional(_integer(1)),
    "ease_lambda": _number(0.0, above=True),
    "min_deep_session_fraction": _FRACTION,
    "session_gap_seconds": _optional(_number(0.0)),
    "trend_alpha": _WEIGHT,
    "trend_window_fraction": _number(0.0, 1.0, above=True),
    "user_cf_alpha": _WEIGHT,
    "user_cf_k": _integer(1),
    "last_item_alpha": _WEIGHT,
    "transition_alpha": _WEIGHT,
    "transition_last_k": _integer(1),
    "transition_decay": _number(0.0, 1.0, above=True),
    "content_alpha": _WEIGHT,
    "content_top_k": _integer(1),
    "content_max_df": _integer(0),
    "cold_slots": _integer(0),
    "repeat": _flag,
    "repeat_min_count": _integer(1),
    "repeat_refractory_days": _number(0.0),
    "repeat_freq_alpha": _WEIGHT,
    "retrieval_budget": _integer(1),
    "z_grid": _grid(-math.inf),
    "boost_grid": _grid(0.0),
    "pop_prior_grid": _grid(0.0, may_be_empty=True),
    "gate_users": _integer(0),
    "gate_k": _integer(1),
    "min_gain": _number(0.0),
    "random_state": _integer(0),
    "exclude_owned": _optional(_flag),
}
NAMES = tuple(f.name for f in fields(Settings))
assert set(NAMES) == set(_RULES), "every setting has exactly one check"
