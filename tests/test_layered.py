import math

import numpy as np
import pytest

from reference.layered import layered_score as ref_layered
from tarsel._core import layered_score_py


def arr(*values):
    return np.array(values, dtype=np.float64)


def score(base, layers, **kw):
    return layered_score_py(arr(*base), [(arr(*v), m) for v, m in layers], **kw).tolist()


SPIKE = ([0.0, 0.0, 0.0, 5.0], "pool")  # z of the spike = sqrt(3)


@pytest.mark.parametrize(
    "base, layers, kw, expected",
    [
        # gaps 2, 1, 6 -> median 2 -> boost 6
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0}, [10, 8, 7, 7]),
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "boost_multiplier": 0.5}, [10, 8, 7, 2]),
        # gaps 2 and 0: only 2 kept
        ([5, 3, 3], [([0, 0, 4], "pool")], {"z_threshold": 1.0}, [5, 3, 9]),
        # kept gaps [1, 3]: median 2
        ([10, 9, 6], [([0, 0, 4], "pool")], {"z_threshold": 1.0}, [10, 9, 12]),
        # only the top_k values count: gaps 2, 1 -> median 1.5
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "top_k_for_calibration": 3}, [10, 8, 7, 5.5]),
        # nothing to calibrate from
        ([], [([], "pool")], {}, []),
        ([4.0], [([9.0], "pool")], {"min_nonzero_for_zscore": 0}, [4.0]),
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "top_k_for_calibration": 1}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "top_k_for_calibration": 0}, [10, 8, 7, 1]),
        ([2, 2, 2, 1], [SPIKE], {"z_threshold": 1.0, "top_k_for_calibration": 3}, [2, 2, 2, 1]),
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "boost_multiplier": 0.0}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [SPIKE], {"z_threshold": 1.0, "boost_multiplier": -1.0}, [10, 8, 7, 1]),
        # a layer of the wrong length is skipped, the next one still applies
        ([10, 8, 7, 1], [([0, 0, 0, 0, 5], "pool"), SPIKE], {"z_threshold": 1.0}, [10, 8, 7, 7]),
        # boosts of several layers add up
        ([10, 8, 7, 1], [SPIKE, SPIKE], {"z_threshold": 1.0}, [10, 8, 7, 13]),
        # z of the spike is 1.732: not above 2.5
        ([10, 8, 7, 1], [SPIKE], {}, [10, 8, 7, 1]),
        # gaps 2, 1, 6, 1 -> boost 4.5; nonzero pool [1, 1, 10]: mean 4, std sqrt(18),
        # z(10) = 1.414; zeros never boosted
        ([10, 8, 7, 1, 0], [([1, 1, 10, 0, 0], "nonzero")], {}, [10, 8, 7, 1, 0]),
        ([10, 8, 7, 1, 0], [([1, 1, 10, 0, 0], "nonzero")], {"z_threshold": 1.0},
         [10, 8, 11.5, 1, 0]),
        # the same values in pool mode let the zeros into the statistics
        ([10, 8, 7, 1, 0], [([1, 1, 10, 0, 0], "pool")], {"z_threshold": 1.0},
         [10, 8, 11.5, 1, 0]),
        ([10, 8, 7, 1, 0], [([0, 0, 0, -1, -9], "pool")], {"z_threshold": 0.5},
         [14.5, 12.5, 11.5, 1, 0]),
        # too few positive entries for statistics
        ([10, 8, 7, 1, 0], [([1, 0, 10, 0, 0], "nonzero")], {"z_threshold": 0.0}, [10, 8, 7, 1, 0]),
        ([10, 8, 7, 1, 0], [([1, 0, 10, 0, 0], "nonzero")],
         {"z_threshold": 0.0, "min_nonzero_for_zscore": 2}, [10, 8, 11.5, 1, 0]),
        ([10, 8, 7, 1], [([0, 0, 0, 0], "nonzero")],
         {"z_threshold": -1.0, "min_nonzero_for_zscore": 0}, [10, 8, 7, 1]),
        # a constant pool: std floored at 1e-9, every z is 0
        ([10, 8, 7, 1], [([3, 3, 3, 3], "pool")], {"z_threshold": 0.0}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [([3, 3, 3, 3], "pool")], {"z_threshold": -0.5}, [16, 14, 13, 7]),
        # NaN in a pool layer taints its statistics; in a nonzero layer it is left out
        ([10, 8, 7, 1], [([0, 0, math.nan, 5], "pool")], {"z_threshold": -9.0}, [10, 8, 7, 1]),
        ([10, 8, 7, 1], [([2, 2, math.nan, 9], "nonzero")], {"z_threshold": 1.0},
         [10, 8, 7, 7]),
    ],
)
def test_worked_examples(base, layers, kw, expected):
    assert score(base, layers, **kw) == pytest.approx(expected, rel=1e-15)


def test_z_equal_to_threshold_is_not_boosted():
    z = (10.0 - 4.0) / math.sqrt(18.0)
    layer = [([1, 1, 10, 0], "nonzero")]
    assert score([10, 8, 7, 1], layer, z_threshold=z) == [10, 8, 7, 1]
    assert score([10, 8, 7, 1], layer, z_threshold=math.nextafter(z, 0)) == [10, 8, 13, 1]


@pytest.mark.parametrize(
    "base, expected",
    [
        # a NaN next to its neighbours breaks both gaps: no boost at all
        ([5, math.nan, 3, 3], [5, math.nan, 3, 3]),
        # a NaN at the end is passed over; the gap 2 remains and NaN may be boosted
        ([5, 3, math.nan, 3], [5, 3, math.nan, 9]),
    ],
)
def test_nan_in_base(base, expected):
    got = score(base, [([0, 0, 0, 5], "pool")], z_threshold=1.0)
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("alias, canonical", [
    ("nonzero_subset", "nonzero"), ("sparse", "nonzero"), ("dense", "pool"),
    ("candidate_pool", "pool"),
])
def test_z_mode_aliases(alias, canonical):
    layer = [0, 0, -3, 2, 7]
    base = [9, 7, 4, 2, 1]
    assert score(base, [(layer, alias)], z_threshold=0.5) == score(
        base, [(layer, canonical)], z_threshold=0.5
    )


def test_strided_inputs_and_no_writes():
    base = np.arange(20.0)[::-2].copy()
    layer = np.zeros(20)
    layer[::2] = np.linspace(-1, 3, 10) ** 3
    strided_base = np.repeat(base, 3)[::3]
    before = (strided_base.copy(), layer.copy())
    got = layered_score_py(strided_base, [(layer[::2], "pool")], z_threshold=1.0)
    assert got.tolist() == ref_layered(base.tolist(), [(layer[::2].tolist(), "pool")], 1.0)
    np.testing.assert_array_equal(strided_base, before[0])
    np.testing.assert_array_equal(layer, before[1])


@pytest.mark.parametrize("n", [2, 5, 20, 21, 60, 300])
def test_matches_reference(n):
    rng = np.random.default_rng(n)
    for trial in range(30):
        # few distinct values so ties and zero gaps are common
        base = rng.integers(0, 6, n).astype(float) * rng.choice([1.0, 0.37])
        layers = []
        for _ in range(rng.integers(0, 4)):
            length = n if rng.random() < 0.85 else n + 1
            values = rng.normal(size=length) * (rng.random(length) < 0.4)
            layers.append((values, str(rng.choice(["nonzero", "pool", "sparse", "dense"]))))
        kw = dict(
            z_threshold=float(rng.choice([-0.5, 0.0, 1.0, 1.5, 2.5])),
            boost_multiplier=float(rng.choice([0.0, 0.5, 3.0])),
            top_k=int(rng.integers(0, n + 3)),
            min_nonzero=int(rng.integers(0, 5)),
        )
        got = layered_score_py(
            base, layers, kw["z_threshold"], kw["boost_multiplier"], kw["top_k"],
            kw["min_nonzero"],
        )
        expected = ref_layered(base.tolist(), [(v.tolist(), m) for v, m in layers], **kw)
        assert got.tolist() == expected, (trial, kw)


@pytest.mark.parametrize(
    "base, specs, kw, error, message",
    [
        (arr(1, 2), [(arr(1, 2), "Pool")], {}, ValueError,
         "unknown z_mode: Pool; expected 'nonzero' or 'pool'"),
        (arr(1, 2), [(arr(1, 2), "")], {}, ValueError,
         "unknown z_mode: ; expected 'nonzero' or 'pool'"),
        (arr(1, 2), ((arr(1, 2), "pool"),), {}, TypeError,
         "argument 'layer_specs': 'tuple' object cannot be converted to 'PyList'"),
        (arr(1, 2), [[arr(1, 2), "pool"]], {}, TypeError,
         "'list' object cannot be converted to 'PyTuple'"),
        (arr(1, 2), [(arr(1, 2).astype(np.float32), "pool")], {}, TypeError,
         "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (arr(1, 2), [([1.0, 2.0], "pool")], {}, TypeError,
         "'list' object cannot be converted to 'PyArray<T, D>'"),
        (arr(1, 2), [(arr(1, 2), 1)], {}, TypeError,
         "'int' object cannot be converted to 'PyString'"),
        (arr(1, 2), [(arr(1, 2),)], {}, IndexError, "tuple index out of range"),
    ],
)
def test_bad_input(base, specs, kw, error, message):
    with pytest.raises(error) as info:
        layered_score_py(base, specs, **kw)
    assert str(info.value) == message

