"""A fitted model as one self-contained HTML page: what the held-out gates
weighed and kept, how recommendations spread over the catalogue, the
repeat-purchase periods found and the size of each part of the model file.

The page has inline CSS and inline SVG charts only: no scripts, fonts, images
or links to fetch, so it opens the same offline, attached to a mail or served
from anywhere.
"""

from __future__ import annotations

import datetime
import html
import math
import os
import tempfile
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import numpy as np

from tarsel._container import read_container, write_atomically
from tarsel._gates import gate_figures

# chart colours: the part on, the part off, baselines, neutral bars
_ON, _OFF, _MARK, _BAR, _MUTED = "#2b6cb0", "#a0aec0", "#c05621", "#2f855a", "#718096"
_LABEL_W, _PLOT_W, _ROW_H = 190, 520, 14
# text styles as attributes, so that a chart looks the same outside the page's stylesheet
_LAB, _VAL = 'font-size="12" fill="#2d3748"', 'font-size="11" fill="#4a5568"'
# recommendations drawn to measure coverage when the fit did not record its held-out users
_COVERAGE_USERS = 1000


def write_report(
    model: Any,
    path: str | os.PathLike,
    evaluation: Any = None,
    *,
    users: Sequence[Any] | np.ndarray | None = None,
) -> None:
    """Write a fitted model's report as one self-contained HTML page.

    The page shows the held-out NDCG@k of every candidate the gates weighed
    with the baselines beside it, what was kept, the item popularity curve with
    the catalogue coverage of the model's recommendations, the repeat-purchase
    periods found, and the model's size by file section. Its charts are inline
    SVG; it loads nothing from elsewhere.

    Parameters
    ----------
    model : Recommender
        A fitted (or loaded) model.
    path : str or os.PathLike
        Where to write the page; it is written to a temporary file beside it
        and renamed into place. A new page gets mode 0666 less the umask, as
        a saved model does; a replaced one keeps its mode.
    evaluation : pandas.DataFrame or dict of arrays, optional
        A table from :func:`tarsel.evaluation.evaluate`, shown as given
        (confidence-interval columns included).
    users : sequence or array, optional
        The held-out users whose recommendations measure the catalogue
        coverage (those the model knows count). By default the users the
        gates held out when the fit recorded them, else 1,000 users drawn
        with the model's ``random_state``.

    Raises
    ------
    ValueError
        If the model is not fitted.
    OSError
        If the page cannot be written.

    Examples
    --------
    >>> import os, tempfile
    >>> from tarsel import Recommender, datasets
    >>> shop = datasets.grocery(n_users=150, n_items=80, n_days=30)
    >>> model = Recommender(gate_users=60).fit(shop.interactions, **shop.columns)
    >>> with tempfile.TemporaryDirectory() as folder:
    ...     write_report(model, os.path.join(folder, "report.html"))
    ...     print(open(os.path.join(folder, "report.html")).readline().strip())
    <!DOCTYPE html>
    """
    if not hasattr(model, "engine_"):
        raise ValueError("this Recommender is not fitted yet; call fit first")
    write_atomically(path, [render_report(model, evaluation, users=users).encode("utf-8")])


def render_report(
    model: Any, evaluation: Any = None, *, users: Sequence[Any] | np.ndarray | None = None
) -> str:
    """The report page of a fitted model as an HTML string (see
    :func:`write_report`)."""
    report = getattr(model, "fit_report_", None) or {}
    return _PAGE.format(
        title="tarsel model report",
        summary=_summary(report),
        style=_STYLE,
        body=render_sections(model, SECTIONS, evaluation, users),
        when=datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC"),
    )


def render_sections(
    model: Any,
    names: Iterable[str],
    evaluation: Any = None,
    users: Sequence[Any] | np.ndarray | None = None,
) -> str:
    """The named sections of the report (keys of :data:`SECTIONS`) as an HTML
    fragment, for pages that embed part of it; ``evaluation`` adds its table."""
    report = dict(getattr(model, "fit_report_", None) or {})
    if users is not None:
        report["coverage_users"] = users
    html_parts = [
        _section(name, SECTIONS[name][0], SECTIONS[name][1](model, report)) for name in names
    ]
    if evaluation is not None:
        html_parts.append(_section("evaluation", "Evaluation", _evaluation_section(evaluation)))
    return "\n".join(html_parts)


# ------------------------------------------------------------------ sections


def _summary(report: Mapping[str, Any]) -> str:
    facts = [
        f"{report.get('base', '?')} base",
        f"{_count(report.get('items'))} items",
        f"{_count(report.get('users'))} users",
        f"{_count(report.get('interactions'))} interactions",
    ]
    held = report.get("heldout")
    if isinstance(held, Mapping) and "ndcg" in held:
        mode = "excluded" if held.get("exclude_owned", True) else "allowed"
        source = _mapping(_mapping(held.get("serving")).get(f"owned_{mode}")).get("source")
        facts.append(
            f"held-out NDCG@{held.get('k', 10)} {_num(held['ndcg'])} on "
            f"{_count(held.get('users'))} users with owned items {mode}"
            + (f", served by {source}" if source else "")
        )
    return " · ".join(_esc(f) for f in facts)


def _gates_section(report: Mapping[str, Any]) -> str:
    """Every whole-model candidate the gates weighed, the baselines among them,
    per owned-item mode; then each part switched off in turn, with the served
    figure and the popularity baseline as marked lines."""
    gates = report.get("gates")
    held = _mapping(report.get("heldout"))
    k = held.get("k", 10)
    fmt = _ndcg_text
    parts = []
    for mode, candidates, served in _candidate_groups(report, held):
        colours = [
            _BAR if name == served else _ON if name.startswith("model") else _MARK
            for name, _ in candidates
        ]
        title = mode.replace("owned_", "owned items ").replace("_", " ")
        if (
            mode
            and held.get("exclude_owned") is not None
            and title.endswith("excluded" if held["exclude_owned"] else "allowed")
        ):
            title += " (the model's mode)"
        chosen = dict(candidates).get(served)
        parts.append(
            (f"<h3>Candidates, {_esc(title)}</h3>" if title else "")
            + (
                f"<p>Served: <b>{_esc(served)}</b> ({fmt(chosen)}).</p>"
                if chosen is not None
                else ""
            )
        )
        parts.append(
            _hbar_chart(
                [(name, [value]) for name, value in candidates],
                [("NDCG", _ON)],
                [],
                label=f"Held-out NDCG@{k} of each candidate" + (f", {title}" if title else ""),
                fmt=fmt,
                colours=colours,
                legend=[("the model", _ON), ("baselines", _MARK), ("served", _BAR)],
            )
        )
    excluded = bool(held.get("exclude_owned", True))
    toggled = (
        [
            (name + ("" if same else "*"), {**f, "on": on, "off": off})
            for name, f in gates.items()
            if isinstance(f, Mapping) and _is_number(f.get("on")) and _is_number(f.get("off"))
            for on, off, same in [gate_figures(dict(f), excluded)]
        ]
        if isinstance(gates, Mapping)
        else []
    )
    if toggled:
        baselines = _baselines(held)
        mode = "excluded" if excluded else "allowed"
        parts.append(
            f"<h3>Each part switched off in turn, owned items {mode} (the model's mode)</h3>"
            + (
                "<p>* measured on the engine's own lists, owned items back through "
                "the repeat profile.</p>"
                if any(name.endswith("*") for name, _ in toggled)
                else ""
            )
            + (
                "<p>Marked lines: "
                + ", ".join(f"{_esc(n)} {fmt(v)}" for n, v in baselines)
                + ".</p>"
                if baselines
                else ""
            )
        )
        parts.append(
            _hbar_chart(
                [(name, [float(f["on"]), float(f["off"])]) for name, f in toggled],
                [("with the part", _ON), ("without it", _OFF)],
                baselines,
                label=f"Held-out NDCG@{k} of each gated part with it on and off",
                fmt=fmt,
            )
        )
        parts.append(
            _table(
                ["part", f"NDCG@{k} on", f"NDCG@{k} off", "gain", "decision"],
                [
                    [
                        name,
                        _num(f["on"]),
                        _num(f["off"]),
                        f"{f['on'] - f['off']:+.4f}",
                        ("kept" if f.get("kept") else "dropped") + calibration_choice(f),
                    ]
                    for name, f in toggled
                ],
            )
        )
    if not parts:
        reason = f" ({_esc(gates)})" if isinstance(gates, str) else ""
        return f"<p>The gates weighed nothing with a held-out figure{reason}.</p>"
    intro = (
        f"<p>NDCG@{k} on {_count(held.get('users'))} held-out users, each scored on a "
        "model fitted without their last session.</p>"
    )
    return intro + "".join(parts)


def _candidate_groups(
    report: Mapping[str, Any], held: Mapping[str, Any]
) -> list[tuple[str, list[tuple[str, float]], str]]:
    """(mode, [(candidate, NDCG)], served candidate) for each group of
    whole-model candidates in the fit report: a mapping of names to figures (or
    to dicts with an ``ndcg``), a list of dicts with a ``name``, or a mapping of
    owned-item modes to either."""
    found = held.get("candidates", report.get("candidates"))
    serving = _mapping(held.get("serving"))
    by_mode = (
        isinstance(found, Mapping)
        and found
        and all(
            isinstance(v, (Mapping, list)) and not (isinstance(v, Mapping) and "ndcg" in v)
            for v in found.values()
        )
    )
    groups = list(found.items()) if by_mode else [("", found)]
    out = []
    for mode, candidates in groups:
        pairs = _named_figures(candidates)
        if pairs:
            chosen = _mapping(serving.get(mode))
            source, prior = chosen.get("source"), chosen.get("pop_prior")
            served = f"{source}+popularity({prior:g})" if _is_number(prior) and prior else source
            out.append((str(mode), pairs, str(served)))
    return out


def _named_figures(found: Any) -> list[tuple[str, float]]:
    entries: Iterable[tuple[Any, Any]]
    if isinstance(found, Mapping):
        entries = found.items()
    elif isinstance(found, (list, tuple)):
        entries = [
            (c.get("name", f"candidate {i + 1}"), c)
            for i, c in enumerate(found)
            if isinstance(c, Mapping)
        ]
    else:
        return []
    out = []
    for name, value in entries:
        if isinstance(value, Mapping):
            value = value.get("ndcg", value.get("value"))
        if _is_number(value):
            out.append((str(name), float(value)))
    return out


def _baselines(held: Mapping[str, Any]) -> list[tuple[str, float]]:
    """The fitted model's held-out figure and every baseline recorded beside it
    (``<name>_ndcg`` entries, or a ``baselines`` mapping)."""
    marks = [("served", float(held["ndcg"]))] if _is_number(held.get("ndcg")) else []
    for key, value in held.items():
        if key.endswith("_ndcg") and _is_number(value):
            marks.append((key[: -len("_ndcg")].replace("_", " "), float(value)))
    extra = held.get("baselines")
    if isinstance(extra, Mapping):
        for name, value in extra.items():
            if isinstance(value, Mapping):
                value = value.get("ndcg")
            if _is_number(value):
                marks.append((str(name).replace("_", " "), float(value)))
    return marks


def _kept_section(kept: Mapping[str, Any], report: Mapping[str, Any]) -> str:
    rows = [[_esc(key.replace("_", " ")), _esc(_plain(value))] for key, value in kept.items()]
    for key in ("base_choice", "model_size", "session_layer", "graphs", "unavailable"):
        if report.get(key):
            rows.append([_esc(key.replace("_", " ")), _esc(_plain(report[key]))])
    return _table(["setting", "value"], rows, escape=False) if rows else "<p>Nothing recorded.</p>"


def _coverage_section(model: Any, report: Mapping[str, Any]) -> str:
    pop = np.asarray(model.item_pop_, dtype=np.float64)
    n_items = len(pop)
    if n_items == 0:
        return "<p>The model has no items.</p>"
    held = _mapping(report.get("heldout"))
    k = int(held.get("k", 10))
    users, who = _coverage_users(model, report.get("coverage_users"), held)
    recs = model.recommend_batch(users, n=k) if len(users) else {"item": np.array([])}
    rows = model.items_.index(recs["item"]) if len(recs["item"]) else np.array([], dtype=np.int64)
    shown = np.bincount(rows[rows >= 0], minlength=n_items)
    order = np.lexsort((np.arange(n_items), -pop))
    covered = int(np.count_nonzero(shown))
    top_tenth = max(1, n_items // 10)
    share_top = shown[order[:top_tenth]].sum() / max(1, shown.sum())
    text = (
        f"<p>Items ranked by popularity (interactions in training, log scale), and below "
        f"how often each part of that ranking was recommended in the top {k} for {who}. "
        f"Catalogue coverage: <b>{covered:,} of {n_items:,} items "
        f"({covered / n_items:.1%})</b>; the most popular tenth of the catalogue took "
        f"{share_top:.1%} of the recommendations.</p>"
    )
    return text + _popularity_chart(pop[order], shown[order], k)


def _coverage_users(
    model: Any, given: Sequence[Any] | np.ndarray | None, held: Mapping[str, Any]
) -> tuple[list, str]:
    """The given users that the model knows, else the gates' held-out users
    when the fit recorded them, else a fixed draw of users."""
    ids = model.users_.ids
    if given is not None:
        rows = model.users_.index(list(dict.fromkeys(_as_list(given))))
        rows = rows[rows >= 0]
        return ids[rows].tolist(), f"the {len(rows):,} held-out users"
    rows = held.get("rows")
    if isinstance(rows, (list, tuple)) and rows:
        rows = np.asarray([r for r in rows if 0 <= int(r) < len(ids)], dtype=np.int64)
        return ids[rows].tolist(), f"the {len(rows):,} held-out users"
    count = min(len(ids), _COVERAGE_USERS)
    seed = int(getattr(model, "random_state", 0) or 0)
    rows = np.sort(np.random.default_rng(seed).choice(len(ids), size=count, replace=False))
    return ids[rows].tolist(), f"{count:,} users drawn at random"


def _repeat_section(report: Mapping[str, Any]) -> str:
    found = report.get("repeat_periods")
    if not isinstance(found, Mapping) or not found.get("pairs"):
        return (
            "<p>No repeat-purchase periods were found (no timestamps, no repeats, or the "
            "repeat module was off).</p>"
        )
    edges, pairs = list(found["edges_days"]), [int(p) for p in found["pairs"]]
    filled = [i for i, p in enumerate(pairs) if p]
    first, last = filled[0], filled[-1] + 1  # ranges before the first and after the last pair
    edges, pairs = edges[first : last + 1], pairs[first:last]
    labels = [_days(edges[i]) for i in range(len(edges))]
    text = (
        f"<p>{sum(pairs):,} user–item pairs bought at least twice have a period "
        "(the typical gap between purchases), counted here by period."
    )
    if found.get("without_period"):
        text += f" {int(found['without_period']):,} more pairs have no period."
    return text + "</p>" + _histogram(labels, pairs, "Repeat-purchase periods, days")


def _size_section(model: Any) -> str:
    sizes = model_file_sections(model)
    total = sum(sizes.values())
    rows = sorted(sizes.items(), key=lambda kv: -kv[1])
    chart = _hbar_chart(
        [(name, [float(size)]) for name, size in rows],
        [("bytes", _BAR)],
        [],
        label="Model file size by section",
        fmt=_bytes,
    )
    table = _table(
        ["section", "bytes", "share"],
        [[name, f"{size:,}", f"{size / max(total, 1):.1%}"] for name, size in rows],
    )
    return f"<p>The model file takes {_bytes(total)} in all.</p>" + chart + table


def model_file_sections(model: Any) -> dict[str, int]:
    """Bytes of each section of the model's file (the trailer as ``table``),
    measured by saving it to a temporary file."""
    with tempfile.TemporaryDirectory(prefix="tarsel-report-") as directory:
        path = os.path.join(directory, "model")
        model.save(path)
        size = os.path.getsize(path)
        sizes = {name: len(payload) for name, payload in read_container(path).items()}
    sizes["table"] = size - sum(sizes.values())
    return sizes


def _evaluation_section(evaluation: Any) -> str:
    columns = list(evaluation.columns) if hasattr(evaluation, "columns") else list(evaluation)
    values = [list(evaluation[c]) for c in columns]
    rows = [[_cell(v) for v in row] for row in zip(*values)]
    return _table([str(c) for c in columns], rows)


# the report's sections in page order: anchor -> (title, body of (model, fit report))
SECTIONS = {
    "gates": ("Held-out NDCG of each candidate", lambda m, r: _gates_section(r)),
    "kept": (
        "What was kept",
        lambda m, r: _kept_section(getattr(m, "kept_", None) or r.get("kept", {}), r),
    ),
    "coverage": ("Item popularity and catalogue coverage", _coverage_section),
    "repeat": ("Repeat-purchase periods found", lambda m, r: _repeat_section(r)),
    "size": ("Model size by section", lambda m, r: _size_section(m)),
}


# -------------------------------------------------------------------- charts


def _svg(width: int, height: int, body: str, label: str) -> str:
    return (
        f'<svg class="chart" viewBox="0 0 {width} {height}" width="{width}" '
        f'height="{height}" role="img" aria-label="{_esc(label)}">'
        f"<title>{_esc(label)}</title>{body}</svg>"
    )


def _hbar_chart(
    rows: Sequence[tuple[str, Sequence[float]]],
    series: Sequence[tuple[str, str]],
    marks: Sequence[tuple[str, float]],
    *,
    label: str,
    fmt,
    colours: Sequence[str] | None = None,
    legend: Sequence[tuple[str, str]] | None = None,
) -> str:
    """Horizontal bars, one group per row and one bar per series, with vertical
    marked lines (baselines) across the plot. ``colours`` overrides the colour
    of each row's first bar; ``legend`` defaults to the series (when several)."""
    keys = list(series if len(series) > 1 else ()) if legend is None else list(legend)
    per_row = len(series) * _ROW_H + 8
    top, legend_h = 8, (34 if keys else 16)
    height = top + per_row * len(rows) + legend_h + 14 * len(marks)
    peak = max([v for _, vs in rows for v in vs] + [v for _, v in marks] + [1e-12])
    scale = _PLOT_W / (peak * 1.08)
    out = []
    for r, (name, values) in enumerate(rows):
        y0 = top + r * per_row
        out.append(
            f'<text x="{_LABEL_W - 6}" y="{y0 + per_row / 2:.1f}" {_LAB} '
            f'text-anchor="end" dominant-baseline="middle">{_esc(name)}</text>'
        )
        for s, ((_, colour), value) in enumerate(zip(series, values)):
            if s == 0 and colours is not None:
                colour = colours[r]
            y = y0 + s * _ROW_H
            w = max(value * scale, 0.0)
            out.append(
                f'<rect x="{_LABEL_W}" y="{y}" width="{w:.1f}" height="{_ROW_H - 2}" '
                f'fill="{colour}"><title>{_esc(name)}: {fmt(value)}</title></rect>'
            )
            out.append(
                f'<text x="{_LABEL_W + w + 4:.1f}" y="{y + _ROW_H / 2:.1f}" {_VAL} '
                f'dominant-baseline="middle">{fmt(value)}</text>'
            )
    bottom = top + per_row * len(rows)
    out.append(
        f'<line x1="{_LABEL_W}" y1="{top - 4}" x2="{_LABEL_W}" y2="{bottom}" stroke="{_MUTED}"/>'
    )
    for m, (name, value) in enumerate(marks):
        x = _LABEL_W + value * scale
        dash = ("4 3", "1 3", "8 3 2 3")[m % 3]
        out.append(
            f'<line x1="{x:.1f}" y1="{top - 4}" x2="{x:.1f}" y2="{bottom}" '
            f'stroke="{_MARK}" stroke-dasharray="{dash}"/>'
        )
        y = bottom + legend_h + 14 * m
        out.append(
            f'<line x1="{_LABEL_W}" y1="{y}" x2="{_LABEL_W + 24}" y2="{y}" '
            f'stroke="{_MARK}" stroke-dasharray="{dash}"/>'
            f'<text x="{_LABEL_W + 30}" y="{y}" {_LAB} dominant-baseline="middle">'
            f"{_esc(name)} {fmt(value)}</text>"
        )
    x = _LABEL_W
    for name, colour in keys:
        out.append(
            f'<rect x="{x}" y="{bottom + 6}" width="10" height="10" fill="{colour}"/>'
            f'<text x="{x + 14}" y="{bottom + 11}" {_LAB} '
            f'dominant-baseline="middle">{_esc(name)}</text>'
        )
        x += 24 + 7 * len(name)
    return _svg(_LABEL_W + _PLOT_W + 70, int(height), "".join(out), label)


def _histogram(labels: Sequence[str], counts: Sequence[int], label: str) -> str:
    """Vertical bars over consecutive ranges; ``labels`` are the range edges."""
    width, height, left, bottom = 640, 240, 50, 200
    n = len(counts)
    step = (width - left - 10) / max(n, 1)
    peak = max(max(counts), 1)
    out = [
        f'<line x1="{left}" y1="{bottom}" x2="{width - 10}" y2="{bottom}" stroke="{_MUTED}"/>',
        f'<text x="{left - 6}" y="16" {_VAL} text-anchor="end">{peak:,}</text>',
        f'<text x="{left - 6}" y="{bottom}" {_VAL} text-anchor="end">0</text>',
    ]
    for i, count in enumerate(counts):
        h = (bottom - 16) * count / peak
        x = left + i * step
        out.append(
            f'<rect x="{x + 1:.1f}" y="{bottom - h:.1f}" width="{step - 2:.1f}" '
            f'height="{h:.1f}" fill="{_BAR}"><title>{_esc(labels[i])}–'
            f"{_esc(labels[i + 1])} days: {count:,} pairs</title></rect>"
        )
    for i, text in enumerate(labels):
        out.append(
            f'<text x="{left + i * step:.1f}" y="{bottom + 14}" {_VAL} '
            f'text-anchor="middle">{_esc(text)}</text>'
        )
    out.append(
        f'<text x="{(left + width) / 2:.0f}" y="{bottom + 34}" {_LAB} '
        f'text-anchor="middle">period (days)</text>'
    )
    return _svg(width, height, "".join(out), label)


def _popularity_chart(pop: np.ndarray, shown: np.ndarray, k: int) -> str:
    """Item popularity by rank (log scale) above the number of recommendations
    per rank bucket; catalogues longer than the plot are drawn in buckets."""
    width, left, plot_w = 680, 60, 600
    top_h, gap, low_h = 170, 30, 90
    n = len(pop)
    buckets = min(n, 300)
    edges = np.linspace(0, n, buckets + 1).astype(np.int64)
    peak_pop = np.maximum.reduceat(pop, edges[:-1]) if n else np.zeros(0)
    recs = np.add.reduceat(shown, edges[:-1]) if n else np.zeros(0)
    log_top = math.log10(1.0 + max(float(pop.max()), 1.0))
    bar_w = plot_w / buckets
    points = " ".join(
        f"{left + (i + 0.5) * bar_w:.1f},"
        f"{10 + top_h * (1 - math.log10(1.0 + max(p, 0.0)) / log_top):.1f}"
        for i, p in enumerate(peak_pop.tolist())
    )
    y_low = 10 + top_h + gap
    out = [
        f'<polyline points="{points}" fill="none" stroke="{_ON}" stroke-width="2"/>',
        f'<line x1="{left}" y1="{10 + top_h}" x2="{left + plot_w}" y2="{10 + top_h}" '
        f'stroke="{_MUTED}"/>',
        f'<text x="{left - 6}" y="16" {_VAL} text-anchor="end">{pop.max():,.0f}</text>',
        f'<text x="{left - 6}" y="{10 + top_h}" {_VAL} text-anchor="end">0</text>',
        f'<text x="{left + 4}" y="{22}" {_LAB}>interactions per item</text>',
    ]
    peak_recs = max(int(recs.max()) if len(recs) else 0, 1)
    for i, count in enumerate(recs.tolist()):
        if count:
            h = low_h * count / peak_recs
            out.append(
                f'<rect x="{left + i * bar_w:.2f}" y="{y_low + low_h - h:.1f}" '
                f'width="{max(bar_w, 1.0):.2f}" height="{h:.1f}" fill="{_MARK}"/>'
            )
    out += [
        f'<line x1="{left}" y1="{y_low + low_h}" x2="{left + plot_w}" y2="{y_low + low_h}" '
        f'stroke="{_MUTED}"/>',
        f'<text x="{left - 6}" y="{y_low + 6}" {_VAL} text-anchor="end">{peak_recs:,}</text>',
        f'<text x="{left + 4}" y="{y_low + 6}" {_LAB}>times in a top {k}</text>',
        f'<text x="{left}" y="{y_low + low_h + 16}" {_VAL}>1</text>',
        f'<text x="{left + plot_w}" y="{y_low + low_h + 16}" {_VAL} text-anchor="end">{n:,}</text>',
        f'<text x="{left + plot_w / 2}" y="{y_low + low_h + 16}" {_LAB} '
        'text-anchor="middle">items by popularity rank</text>',
    ]
    return _svg(
        width,
        y_low + low_h + 26,
        "".join(out),
        "Item popularity curve and recommendations per popularity rank",
    )


# ------------------------------------------------------------------- helpers


def _section(anchor: str, title: str, body: str) -> str:
    return f'<section id="{anchor}"><h2>{_esc(title)}</h2>{body}</section>'


def _table(header: Sequence[str], rows: Sequence[Sequence[Any]], escape: bool = True) -> str:
    cell = _esc if escape else str
    head = "".join(f"<th>{_esc(h)}</th>" for h in header)
    body = "".join("<tr>" + "".join(f"<td>{cell(v)}</td>" for v in row) + "</tr>" for row in rows)
    return f"<table><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _as_list(values: Any) -> list:
    return values.tolist() if isinstance(values, np.ndarray) else list(values)


def _esc(value: Any) -> str:
    return html.escape(str(value), quote=True)


def _mapping(value: Any) -> Mapping[str, Any]:
    """``value`` when it is a mapping, else an empty one (a report entry that
    is missing or of another shape)."""
    return value if isinstance(value, Mapping) else {}


def calibration_choice(figures: dict) -> str:
    """What a gate's calibration chose, as " (min count 1, due periods, weight
    1000)", or "" where it chose nothing (a model saved before the minimum
    count was tried carries only the weight and periods)."""
    chose = [
        text.format(figures[key])
        for key, text in (
            ("min_count", "min count {}"),
            ("periods", "{} periods"),
            ("weight", "weight {:g}"),
        )
        if key in figures and (key != "weight" or _is_number(figures[key]))
    ]
    return f" ({', '.join(chose)})" if chose else ""


def _is_number(value: Any) -> bool:
    return (
        isinstance(value, (int, float, np.integer, np.floating))
        and not isinstance(value, bool)
        and math.isfinite(float(value))
    )


def _cell(value: Any) -> str:
    """A table cell: floats to four places, a missing figure (NaN) as a dash."""
    if isinstance(value, (float, np.floating)):
        return f"{value:.4f}" if math.isfinite(value) else "–"
    return _plain(value.item() if isinstance(value, np.generic) else value)


def _ndcg_text(value: float) -> str:
    return f"{value:.4f}"


def _num(value: Any) -> str:
    return f"{float(value):.4f}" if _is_number(value) else str(value)


def _count(value: Any) -> str:
    return f"{int(value):,}" if _is_number(value) else "?"


def _plain(value: Any) -> str:
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, (list, tuple)):
        return ", ".join(_plain(v) for v in value) or "none"
    if isinstance(value, Mapping):
        return "; ".join(
            f"{k}: " + (f"({_plain(v)})" if isinstance(v, Mapping) else _plain(v))
            for k, v in value.items()
        )
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def _days(value: float) -> str:
    return f"{value:g}" if value >= 1 else f"{value:.2g}"


def _bytes(value: float) -> str:
    for unit, size in (("GB", 1e9), ("MB", 1e6), ("kB", 1e3)):
        if value >= size:
            return f"{value / size:.1f} {unit}"
    return f"{value:.0f} B"


_STYLE = """
body{font:15px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;color:#1a202c;
max-width:900px;margin:2em auto;padding:0 1em}
h1{font-size:1.6em;margin-bottom:.2em}h3{font-size:1.02em;margin-top:1.4em}h2{font-size:1.2em;margin-top:1.8em;
border-bottom:1px solid #e2e8f0;padding-bottom:.2em}
.summary{color:#4a5568}table{border-collapse:collapse;margin:.8em 0;font-size:.9em}
th,td{padding:.25em .7em;border-bottom:1px solid #e2e8f0;text-align:left}
td:not(:first-child){font-variant-numeric:tabular-nums}
svg.chart{display:block;max-width:100%;height:auto;margin:.6em 0}
svg text{font-family:system-ui,sans-serif}
footer{margin-top:3em;color:#718096;font-size:.85em}
"""

_PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>{style}</style>
</head>
<body>
<h1>{title}</h1>
<p class="summary">{summary}</p>
{body}
<footer>Written by tarsel on {when}.</footer>
</body>
</html>
"""
