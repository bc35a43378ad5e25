"""The ``tarsel`` command line: demo, fit, recommend, evaluate and serve.

Problems with the user's files or options (a missing column, an unparsable
value, empty data, an unreadable path, an unwritable output, a damaged model)
end with one line on standard error and exit status 2; options are checked
before any fitting starts. Warnings (a baseline served, item features that
match no item) become one line each, ``tarsel: note: ...``, on standard error.
Progress bars go to standard error when it is a terminal; ``--quiet`` hides
them.
"""

from __future__ import annotations

import argparse
import os
import re
import sys
import time
import warnings
from collections.abc import Sequence
from typing import Any

EXIT_BAD_INPUT = 2
EXIT_INTERNAL = 1


class _CannotWrite(ValueError):
    """An output path that cannot be written, reported by the name the user gave."""


def main(argv: Sequence[str] | None = None) -> int:
    from tarsel.errors import TarselError

    parser = _parser()
    args = parser.parse_args(argv)
    try:
        with warnings.catch_warnings():
            warnings.showwarning = _note
            if getattr(args, "out", None):
                _check_writable(args.out)
            return args.run(args)
    except (ValueError, OSError, ImportError) as exc:
        print(f"tarsel: error: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except TarselError as exc:
        print(f"tarsel: {exc}", file=sys.stderr)
        return EXIT_INTERNAL


def _note(message: Warning | str, *_where: Any, **_more: Any) -> None:
    """Show a warning as one plain line, without the code location that
    Python's default adds (the user ran a command, not this file)."""
    print(f"tarsel: note: {' '.join(str(message).split())}", file=sys.stderr)


def _task(args: Any, what: str) -> Any:
    """A bar naming one long step of a command, unless ``--quiet``."""
    from tarsel._progress import Steps

    return Steps(not args.quiet, total=1, desc=what)


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"cannot read {exc.filename!r}: {exc.strerror}"
    if isinstance(exc, ImportError):
        return f"{exc}; install the extra with: pip install 'tarsel[io]'"
    return _PYTHON_NAME.sub(lambda m: _OPTIONS[m.group(0)], " ".join(str(exc).split()))


def _check_writable(path: str) -> None:
    """Refuse an output path that a save would fail on, before fitting."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        raise _CannotWrite(f"cannot write {path!r}: it is a directory")
    if not os.path.isdir(folder):
        raise _CannotWrite(f"cannot write {path!r}: no directory {folder!r}")
    if not os.access(folder, os.W_OK | os.X_OK) or (
        os.path.exists(path) and not os.access(path, os.W_OK)
    ):
        raise _CannotWrite(f"cannot write {path!r}: permission denied")


def _save(model: Any, path: str) -> None:
    try:
        model.save(path)
    except OSError as exc:
        raise _CannotWrite(f"cannot write {path!r}: {exc.strerror or exc}") from None


# ------------------------------------------------------------------ parser


def _count(low: int):
    """An argparse type: an integer of at least ``low``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if value < low:
            raise argparse.ArgumentTypeError(f"must be an integer of at least {low}, not {text!r}")
        return value

    return parse


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must be a number between 0 and 1, not {text!r}")
    return value


class _DefaultsHelp(argparse.HelpFormatter):
    """Help texts that end with the option's default, where it has one."""

    def _get_help_string(self, action: argparse.Action) -> str:
        text = action.help or ""
        if action.default not in (None, False, argparse.SUPPRESS) and action.option_strings:
            text += " (default: %(default)s)"
        return text


def _parser() -> argparse.ArgumentParser:
    from tarsel._version import __version__

    parser = argparse.ArgumentParser(
        prog="tarsel",
        description="Fit, evaluate and serve tarsel recommenders from the command line.",
    )
    parser.add_argument("--version", action="version", version=f"tarsel {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)
    sub = _DefaultsHelp

    demo = commands.add_parser(
        "demo", help="fit and evaluate on the built-in grocery data", formatter_class=sub
    )
    demo.add_argument("--out", default="tarsel-demo.model", help="where to save the model")
    demo.add_argument("--users", type=_count(20), default=1500, help="shoppers to simulate")
    _add_common(demo)
    demo.set_defaults(run=_demo)

    fit = commands.add_parser("fit", help="fit a model on an interaction file", formatter_class=sub)
    fit.add_argument("interactions", help="CSV or Parquet file of interactions")
    fit.add_argument("--out", required=True, help="where to save the model")
    _add_columns(fit)
    _add_common(fit)
    fit.set_defaults(run=_fit)

    recommend = commands.add_parser(
        "recommend", help="recommend items for a user", formatter_class=sub
    )
    recommend.add_argument("model", help="a model file written by 'tarsel fit'")
    recommend.add_argument("--user", required=True, help="the user's id")
    recommend.add_argument("-n", type=_count(0), default=10, help="number of items")
    _add_owned(recommend)
    _add_common(recommend)
    recommend.set_defaults(run=_recommend)

    evaluate = commands.add_parser(
        "evaluate", help="held-out evaluation against popularity", formatter_class=sub
    )
    evaluate.add_argument("interactions", help="CSV or Parquet file of interactions")
    evaluate.add_argument(
        "--split",
        choices=("temporal", "last"),
        default=None,
        help="temporal cut (needs --time-col; the default when given) "
        "or each user's last session/interaction",
    )
    evaluate.add_argument(
        "--test-fraction",
        type=_fraction,
        default=0.1,
        help="share of interactions held out by the temporal split",
    )
    evaluate.add_argument("-k", type=_count(1), default=10, help="cut-off of the metrics")
    _add_owned(evaluate)
    evaluate.add_argument(
        "--report",
        default=None,
        metavar="PATH",
        help="also write the model report with the evaluation table",
    )
    _add_columns(evaluate)
    _add_common(evaluate)
    evaluate.set_defaults(run=_evaluate)

    report = commands.add_parser(
        "report", help="write a model's report as one HTML page", formatter_class=sub
    )
    report.add_argument("model", help="a model file written by 'tarsel fit'")
    report.add_argument("--out", required=True, help="where to write the page")
    _add_common(report)
    report.set_defaults(run=_report)

    from tarsel.serve import add_serve_command

    add_serve_command(commands)
    return parser


# option -> the fit argument it sets, for the columns of the interaction file
_COLUMN_OPTIONS = {
    "user_col": "--user-col",
    "item_col": "--item-col",
    "time_col": "--time-col",
    "weight_col": "--weight-col",
    "session_col": "--session-col",
}
# the library's messages name its arguments; the command line names its options
_OPTIONS = {
    **_COLUMN_OPTIONS,
    "time_format": "--time-format",
    "drop_duplicates": "--drop-duplicates",
}
_PYTHON_NAME = re.compile(r"(?<![\w'\"/.-])(" + "|".join(_OPTIONS) + r")(?![\w'\"/.-])")


def _add_columns(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--user-col", default="user", help="column of user ids")
    parser.add_argument("--item-col", default="item", help="column of item ids")
    parser.add_argument(
        "--time-col",
        default=None,
        help="column of event times: UNIX seconds, or dates such as 2015-07-21 "
        "or 2015-07-21T10:30:00 (see --time-format)",
    )
    parser.add_argument(
        "--time-format",
        default=None,
        help="strptime format of text times, such as %%d-%%m-%%Y for 21-07-2015",
    )
    parser.add_argument("--weight-col", default=None, help="column of ratings (weights)")
    parser.add_argument(
        "--session-col",
        default=None,
        help="column of session or basket labels (without it, sessions come "
        "from gaps in --time-col)",
    )
    parser.add_argument(
        "--item-features",
        default=None,
        help="CSV or Parquet file with the item column and feature columns",
    )
    parser.add_argument(
        "--sep",
        default=None,
        help="field separator of CSV files (default: the one of , ; tab | that "
        "the header line holds most often)",
    )
    parser.add_argument(
        "--typed-ids",
        action="store_true",
        help="let pandas guess the type of the id columns of CSV files (042 becomes "
        "42); by default ids are read as text, exactly as written",
    )
    parser.add_argument(
        "--drop-duplicates",
        action="store_true",
        help="leave out exact duplicate rows (same user, item, time and session) "
        "rather than count them as repeated events",
    )


def _add_owned(parser: argparse.ArgumentParser) -> None:
    owned = parser.add_mutually_exclusive_group()
    owned.add_argument(
        "--include-owned",
        dest="exclude_owned",
        action="store_const",
        const=False,
        default=None,
        help="allow items the user already has (repeat purchases); by default "
        "the model's own rule, chosen by its fit",
    )
    owned.add_argument(
        "--exclude-owned",
        dest="exclude_owned",
        action="store_const",
        const=True,
        help="leave out items the user already has",
    )


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", action="store_true", help="no progress bars")


def _columns(args) -> dict[str, str | None]:
    return {option: getattr(args, option) for option in _COLUMN_OPTIONS}


def _fit_options(args) -> dict[str, Any]:
    options: dict[str, Any] = _columns(args)
    if args.time_format:
        options["time_format"] = args.time_format
    if args.drop_duplicates:
        options["drop_duplicates"] = True
    return options


def _split_options(args) -> dict[str, Any]:
    """The columns and time format the splits read (duplicates are fit's concern)."""
    options = _only_set(_columns(args))
    if args.time_format:
        options["time_format"] = args.time_format
    return options


# ---------------------------------------------------------------- commands


def _demo(args) -> int:
    from tarsel import Recommender, datasets
    from tarsel.evaluation import (
        METRICS,
        PersonalPopularityBaseline,
        PopularityBaseline,
        TifuKnnReference,
        evaluate,
        leave_last_basket_out,
    )

    started = time.perf_counter()
    data = datasets.grocery(n_users=args.users, progress=not args.quiet)
    table, features = data.interactions, data.item_features
    assert features is not None  # the grocery data always describes its items
    print(
        f"grocery demo data: {len(table['user']):,} interactions, "
        f"{len(set(table['user'].tolist())):,} shoppers, {len(features['item']):,} "
        f"items ({len(features['item']) - len(set(table['item'].tolist()))} new, "
        "without sales)"
    )
    columns = _only_set(data.columns)
    with _task(args, "holding out each shopper's last basket"):
        split = leave_last_basket_out(table, **columns)
    model = Recommender()
    model.fit(split.train, features, progress=not args.quiet, **columns)
    _print_report(model.fit_report_)
    models: dict[str, Any] = {
        "tarsel": model,
        "popularity": PopularityBaseline(),
        "personal": PersonalPopularityBaseline(),
        "tifu_knn": TifuKnnReference(),
    }
    with _task(args, "fitting the baselines"):
        for baseline in list(models.values())[1:]:
            baseline.fit(split.train, **split.columns)
    # every list below follows the model's own owned-items rule
    scores = evaluate(models, split, k=10, fit=False, progress=not args.quiet)
    rule = "allowed" if not scores.attrs["exclude_owned"] else "excluded"
    print(
        f"\nheld-out evaluation: each shopper's last basket ({_test_users(split)} shoppers "
        f"seen before), owned items {rule}, as the model serves them"
    )
    wide = scores.pivot(index="model", columns="metric", values="value").loc[list(models)]
    print(
        f"  {'model':<12}"
        + "".join(f"{m + '@10':>13}" for m in METRICS)
        + "   NDCG diff vs tarsel (95% CI)"
    )
    ndcg = scores[scores["metric"] == "ndcg"].set_index("model")
    for name, row in wide.iterrows():
        diff = (
            ""
            if name == "tarsel"
            else f"   {ndcg.at[name, 'diff']:+.4f} "
            f"({ndcg.at[name, 'ci_low']:+.4f} to {ndcg.at[name, 'ci_high']:+.4f})"
        )
        print(f"  {name:<12}" + "".join(f"{row[m]:>13.4f}" for m in METRICS) + diff)
    best = ndcg.drop(index="tarsel")["value"].idxmax()
    # evaluate's interval is of the baseline minus tarsel: the model is above
    # the best baseline beyond the sampling noise when its upper end is below 0
    verdict = "above" if ndcg.at[best, "ci_high"] < 0 else "not clearly above"
    print(
        f"  summary: tarsel NDCG@10 {ndcg.at['tarsel', 'value']:.4f}, {verdict} the best "
        f"baseline, {best} {ndcg.at[best, 'value']:.4f}"
    )
    user = table["user"][0]
    print(
        f"\nrecommendations for shopper {user} (they bought "
        f"{', '.join(_recent_items(split.train, data.columns, user))} most recently):"
    )
    _print_recommendations(model.recommend(user, 10))
    model.save(args.out)
    print(
        f"\nmodel saved to {args.out} ({time.perf_counter() - started:.1f} s in all); "
        f"try: python -m tarsel recommend {args.out} --user {user}"
    )
    return 0


def _fit(args) -> int:
    from tarsel import Recommender

    table, features = _read_inputs(args)
    model = Recommender().fit(table, features, progress=not args.quiet, **_fit_options(args))
    with _task(args, f"saving {args.out}"):
        _save(model, args.out)
    _print_report(model.fit_report_)
    print(f"model saved to {args.out}")
    return 0


def _recommend(args) -> int:
    from tarsel import Recommender

    with _task(args, f"loading {args.model}"):
        model = Recommender.load(args.model)
    row = model.users_.lookup_text(args.user)
    if row is None:
        print(
            f"user {args.user!r} is not in the model; showing the most popular items",
            file=sys.stderr,
        )
    user = model.users_.ids[row] if row is not None else None
    _print_recommendations(model.recommend(user, args.n, exclude_owned=args.exclude_owned))
    return 0


def _evaluate(args) -> int:
    from tarsel import Recommender
    from tarsel.evaluation import PopularityBaseline, leave_last_n_out, temporal_split

    split_kind = args.split or ("temporal" if args.time_col else "last")
    if split_kind == "temporal" and not args.time_col:
        raise ValueError("the temporal split needs --time-col")
    table, features = _read_inputs(args)
    if split_kind == "temporal":
        with _task(args, "splitting by time"):
            split = temporal_split(table, test_fraction=args.test_fraction, **_split_options(args))
        described = f"temporal split, the latest {args.test_fraction:.0%} of interactions held out"
    else:
        with _task(args, "holding out each user's last session"):
            split = leave_last_n_out(table, 1, **_split_options(args))
        described = (
            "last-session split, each user's last "
            + ("session" if args.session_col else "interaction")
            + " held out"
        )
    model = Recommender()
    model.fit(split.train, features, progress=not args.quiet, **_fit_options(args))
    owned = model.exclude_owned_ if args.exclude_owned is None else args.exclude_owned
    baseline: Any = PopularityBaseline()  # takes the split's columns, unset ones included
    with _task(args, "fitting the popularity baseline"):
        baseline.fit(split.train, features, **split.columns)
    scores = _print_evaluation(
        split,
        {"tarsel": model, "popularity": baseline},
        k=args.k,
        exclude_owned=owned,
        progress=not args.quiet,
    )
    judged = int(scores["users"].iloc[0]) if len(scores) else 0
    print(
        f"  ({described}; {judged:,} users judged, owned items "
        f"{'excluded' if owned else 'allowed'})"
    )
    _print_report(model.fit_report_)
    if args.report:
        from tarsel.data import column

        with _task(args, f"writing {args.report}"):
            model.report(args.report, evaluation=scores, users=column(split.test, split.user_col))
        print(f"report written to {args.report}")
    return 0


def _report(args) -> int:
    from tarsel import Recommender

    with _task(args, f"writing {args.out}"):
        Recommender.load(args.model).report(args.out)
    print(f"report written to {args.out}")
    return 0


def _only_set(columns: dict[str, str | None]) -> dict[str, Any]:
    return {k: v for k, v in columns.items() if v is not None}


def _read_inputs(args):
    """The interaction table and the item features, with every column the
    options name checked before anything is fitted."""
    from tarsel.datasets import read_table

    # ids are read as text (042 and 42 stay two ids) unless --typed-ids
    ids = None if args.typed_ids else [args.user_col, args.item_col, args.session_col]
    with _task(args, f"reading {args.interactions}"):
        table = read_table(args.interactions, text_columns=ids, sep=args.sep)
    for option, name in _columns(args).items():
        _check_column(table, name, args.interactions, _COLUMN_OPTIONS[option])
    features = None
    if args.item_features:
        with _task(args, f"reading {args.item_features}"):
            features = read_table(
                args.item_features,
                text_columns=None if args.typed_ids else [args.item_col],
                sep=args.sep,
            )
    if features is not None:
        _check_column(features, args.item_col, args.item_features, "--item-col")
    return table, features


def _check_column(table: Any, name: str | None, path: str, option: str) -> None:
    from tarsel.data import column_names

    found = column_names(table)
    if name is not None and name not in found:
        joined = len(found) == 1 and any(sep in found[0] for sep in ";\t|,")
        raise ValueError(
            f"no column {name!r} in {path} (columns: {', '.join(found)}); choose one with {option}"
            + ("; the file may use another field separator: see --sep" if joined else "")
        )


# ------------------------------------------------------------------ output


def _print_evaluation(split, models: dict, *, k: int, exclude_owned: bool, progress: bool) -> Any:
    """Print the metrics table of the fitted ``models``; returns it (a DataFrame
    from ``evaluate``)."""
    from tarsel.evaluation import METRICS, evaluate

    table = evaluate(models, split, k=k, fit=False, exclude_owned=exclude_owned, progress=progress)
    wide = table.pivot(index="model", columns="metric", values="value").loc[list(models)]
    print(f"  {'model':<12}" + "".join(f"{m + '@' + str(k):>13}" for m in METRICS))
    for name, row in wide.iterrows():
        print(f"  {name:<12}" + "".join(f"{row[m]:>13.4f}" for m in METRICS))
    return table


def _print_report(report: dict[str, Any]) -> None:
    kept = report.get("kept", {})
    print(
        f"\nmodel: {report.get('base', '?')} base over {_plural(report.get('items', 0), 'item')}"
        f" and {_plural(report.get('users', 0), 'user')}"
    )
    duplicates = report.get("duplicates")
    if duplicates:
        rows = _plural(duplicates["rows"], "exact duplicate row")
        print(
            f"  {rows} (same user, item, time and session) "
            + (
                "dropped"
                if duplicates["dropped"]
                else "counted as repeated events; --drop-duplicates leaves them out"
            )
        )
    if report.get("base_choice"):
        print(f"  base: {report['base_choice']}")
    if report.get("session_layer"):
        print(f"  session layer: {report['session_layer']}")
    gates = report.get("gates")
    if isinstance(gates, str) or not gates:
        print(f"  gates: {gates or 'nothing to gate'}")
    else:
        _print_gates(gates, report.get("heldout", {}))
    _print_serving(report.get("heldout", {}), kept)
    if report.get("unavailable"):
        print(f"  not built by this core: {', '.join(report['unavailable'])}")


def _print_gates(gates: dict[str, Any], held: dict[str, Any]) -> None:
    """Each gate's held-out NDCG with the part on and off, in the owned-items
    mode the model serves (the mode of the served line below)."""
    from tarsel._gates import gate_figures
    from tarsel.report import calibration_choice

    excluded = bool(held.get("exclude_owned", True))
    print(
        f"  gates on {held.get('users', 0)} held-out users: NDCG@{held.get('k', 10)} with "
        f"owned items {'excluded' if excluded else 'allowed'} (the model's rule), "
        "with the part on / off:"
    )
    # parts the gates kept leave with the rest when the base alone serves better
    base_won = held.get("engine") == "base"
    other_mode = False
    for name, figures in gates.items():
        if name in ("boost", "ease_lambda"):  # the base line above says what they chose
            continue
        on, off, same_mode = gate_figures(figures, excluded)
        verdict = "kept" if figures["kept"] else "dropped"
        if figures["kept"] and base_won and name != "base:ease":
            verdict = "kept, then dropped: the base alone did better"
        elif figures["kept"] and on <= off and "owned_excluded" in figures:
            verdict = f"kept: it helps with owned items {'allowed' if excluded else 'excluded'}"
        weight = calibration_choice(figures)  # what a calibration chose
        mark = "" if same_mode else "*"
        other_mode |= not same_mode
        print(f"    {name + mark:<26}{on:>9.4f} /{off:>8.4f}   {verdict}{weight}")
    if other_mode:
        print("    * on the engine's own lists, owned items back through the repeat profile")


def _print_serving(held: dict[str, Any], kept: dict[str, Any]) -> None:
    """What serves each owned-items mode with its held-out NDCG (the model's
    rule first), and what the model holds."""
    serving = held.get("serving", {})
    excluded = bool(held.get("exclude_owned", True))
    k = held.get("k", 10)
    for mode in ("owned_excluded", "owned_allowed")[:: 1 if excluded else -1]:
        served = serving.get(mode)
        if served is None:
            continue
        rule = " (the model's rule)" if (mode == "owned_excluded") == excluded else ""
        print(
            f"  served with owned items {mode.split('_')[1]}{rule}: {served['source']}, "
            f"held-out NDCG@{k} {served['ndcg']:.4f}"
            + (
                f" with the popularity addend at weight {served['pop_prior']:g}"
                if served["source"] == "model" and served.get("pop_prior")
                else ""
            )
            + (f" (popularity {held['popularity_ndcg']:.4f})" if rule else "")
        )
    modes = [m.split("_")[1] for m, s in serving.items() if s.get("source") == "model"]
    layers = ", ".join(kept.get("boost_layers", [])) or "none"
    print(
        "  the model"
        + (
            f" (serving owned items {' and '.join(modes)})"
            if modes
            else " (serving neither mode)"
            if serving
            else ""
        )
        + f": channels kept: {', '.join(kept.get('channels', [])) or 'none'}; "
        f"repeat module: {'on' if kept.get('repeat') else 'off'}; boost layers: {layers}"
        + (
            f" (z {kept['z_threshold']:g}, boost x{kept['boost_multiplier']:g})"
            if kept.get("boost_layers")
            else ""
        )
    )


def _plural(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def _print_recommendations(found: dict) -> None:
    for rank, (item, score, source) in enumerate(
        zip(found["item"].tolist(), found["score"].tolist(), found["source"].tolist()), 1
    ):
        print(f"  {rank:>3}  {str(item):<24}{score:>10.4f}  {source}")


def _test_users(split) -> int:
    from tarsel.data import column

    seen = set(column(split.train, split.user_col).tolist())
    return len(seen.intersection(column(split.test, split.user_col).tolist()))


def _recent_items(table, columns, user, count: int = 3) -> list[str]:
    from tarsel.data import column

    users = column(table, columns["user_col"])
    items = column(table, columns["item_col"])[users == user]
    return [str(i) for i in items[-count:]]


if __name__ == "__main__":
    sys.exit(main())
