"""The model report: one self-contained page with every section and every chart drawn."""

import os
import re
from collections.abc import Mapping
from types import SimpleNamespace

import pandas as pd
import pytest

from tarsel import Recommender, datasets
from tarsel.__main__ import main
from tarsel.report import SECTIONS, model_file_sections, render_sections


@pytest.fixture(scope="module")
def model():
    shop = datasets.grocery(n_users=150, n_items=80, n_days=40)
    return Recommender(gate_users=60).fit(shop.interactions, shop.item_features, **shop.columns)


def _drawn(svg: str) -> bool:
    """Whether a chart has a bar of positive size or a line of two points."""
    bars = re.findall(r'<rect[^>]*\bwidth="([\d.]+)"[^>]*\bheight="([\d.]+)"', svg)
    lines = re.findall(r'<polyline points="([^"]*)"', svg)
    return any(float(w) > 0 and float(h) > 0 for w, h in bars) or any(
        len(p.split()) >= 2 for p in lines
    )


def test_page_is_self_contained_with_every_section_drawn(model, tmp_path):
    evaluation = {
        "model": ["tarsel", "popularity"],
        "metric": ["ndcg", "ndcg"],
        "value": [0.31, 0.25],
    }
    evaluation.update(ci_low=[float("nan"), 0.23], ci_high=[None, 0.27])
    path = tmp_path / "report.html"
    model.report(path, evaluation=evaluation)
    page = path.read_text()
    assert not re.search(r"https?:|<script|<link|<img|<iframe|@import|url\(|\bsrc=", page)
    assert re.findall(r'<section id="(\w+)"', page) == [*SECTIONS, "evaluation"]
    svgs = re.findall(r"<svg.*?</svg>", page, re.S)
    assert len(svgs) >= 4 and all(_drawn(svg) for svg in svgs)
    assert "<th>ci_low</th>" in page and "<td>0.2300</td><td>0.27" in page and "<td>–</td>" in page
    assert f"the {len(model.fit_report_['heldout']['rows'])} held-out users" in page
    assert not list(tmp_path.glob("*.partial"))


def test_size_section_adds_up_to_the_saved_file(model, tmp_path):
    model.save(tmp_path / "m")
    sizes = model_file_sections(model)
    assert sum(sizes.values()) == os.path.getsize(tmp_path / "m")
    assert sizes["engine"] > 0 and set(sizes) >= {"meta", "user_ids", "item_ids", "table"}


CANDIDATES = {"popularity": 0.21, "personal_popularity": 0.18, "model+popularity(0.1)": 0.3}


@pytest.mark.parametrize(
    "candidates",
    [
        {"popularity": 0.21, "personal_popularity": {"ndcg": 0.18}, "model+popularity(0.1)": 0.3},
        [{"name": k, "ndcg": v} for k, v in CANDIDATES.items()],
        {"owned_allowed": CANDIDATES},
    ],
)
def test_gates_render_every_candidate_and_baseline(candidates):
    gates = {"repeat": {"on": 0.3, "off": 0.25, "kept": True}, "boost": {"layers": []}}
    gates["trend"] = {"on": 0.3, "off": 0.31, "kept": False}
    calibration = {"on": 0.3, "off": 0.2, "kept": True, "min_count": 1, "periods": "due"}
    gates["repeat_calibration"] = {**calibration, "weight": 1000.0}
    heldout = {"users": 40, "k": 10, "ndcg": 0.3, "popularity_ndcg": 0.21, "exclude_owned": False}
    serving = {"owned_allowed": {"source": "model", "pop_prior": 0.1}}
    fit = {"gates": gates, "heldout": {**heldout, "candidates": candidates, "serving": serving}}
    page = render_sections(
        SimpleNamespace(fit_report_=fit, kept_={"repeat": True}), ["gates", "kept"]
    )
    shown = "trend|personal_popularity|popularity 0.2100|served 0.3000|+0.0500|dropped"
    chose = "kept (min count 1, due periods, weight 1000)"  # as the CLI says it
    for text in [*shown.split("|"), "<td>repeat</td><td>yes</td>", chose]:
        assert text in page
    served = 'fill="#2f855a"><title>model+popularity(0.1): 0.3000'
    by_mode = isinstance(candidates, Mapping) and "owned_allowed" in candidates
    assert (served in page) == by_mode
    assert "boost" not in re.findall(r"<td>(\w+)</td>", page)


def test_without_gates_or_repeats_the_page_says_so():
    fit = {"gates": "skipped: gate_users is 0"}
    page = render_sections(SimpleNamespace(fit_report_=fit, kept_={}), ["gates", "repeat"])
    assert "skipped: gate_users is 0" in page and "No repeat-purchase periods" in page


def test_cli_report_and_errors(model, tmp_path, capsys):
    shop = datasets.grocery(n_users=120, n_items=60, n_days=30)
    shop_csv = tmp_path / "shop.csv"
    pd.DataFrame(shop.interactions).to_csv(shop_csv, index=False)
    args = ["--time-col", "time", "--session-col", "basket", "--quiet"]
    assert main(["evaluate", str(shop_csv), *args, "--report", str(tmp_path / "e.html")]) == 0
    page = (tmp_path / "e.html").read_text()
    assert '<section id="evaluation">' in page and "held-out users" in page
    model.save(tmp_path / "m.model")
    page = ["--out", str(tmp_path / "r.html")]
    assert main(["report", str(tmp_path / "m.model"), *page, "--quiet"]) == 0
    assert (tmp_path / "r.html").read_text().startswith("<!DOCTYPE html>")
    assert main(["report", str(tmp_path / "missing"), "--out", str(tmp_path / "x.html")]) == 2
    assert "missing" in capsys.readouterr().err and not (tmp_path / "x.html").exists()
    with pytest.raises(ValueError, match="not fitted"):
        Recommender().report(tmp_path / "y.html")
