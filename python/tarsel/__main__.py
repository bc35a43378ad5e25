"""The ``tarsel`` command line: demo, fit, recommend, evaluate and serve.

Problems with the user's files (a missing column, an unparsable value, empty
data, an unreadable path, a damaged model) end with one line on standard error
and exit status 2.
"""
from __future__ import annotations

import argparse
import sys
import time
from typing import Any, Optional, Sequence

EXIT_BAD_INPUT = 2


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except (ValueError, OSError, ImportError) as exc:
        print(f"tarsel: error: {_describe(exc)}", file=sys.stderr)
        return EXIT_BAD_INPUT


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.filename is not None and exc.strerror:
        return f"cannot read {exc.filename!r}: {exc.strerror}"
    if isinstance(exc, ImportError):
        return f"{exc}; install the extra with: pip install 'tarsel[io]'"
    return " ".join(str(exc).split())


# ------------------------------------------------------------------ parser


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="tarsel", description="Fit, evaluate and serve "
                                     "tarsel recommenders from the command line.")
    commands = parser.add_subparsers(dest="command", required=True)

    demo = commands.add_parser("demo", help="fit and evaluate on the built-in grocery data")
    demo.add_argument("--out", default="tarsel-demo.model", help="where to save the model")
    demo.add_argument("--users", type=int, default=1500, help="shoppers to simulate")
    _add_common(demo)
    demo.set_defaults(run=_demo)

    fit = commands.add_parser("fit", help="fit a model on an interaction file")
    fit.add_argument("interactions", help="CSV or Parquet file of interactions")
    fit.add_argument("--out", required=True, help="where to save the model")
    _add_columns(fit)
    _add_common(fit)
    fit.set_defaults(run=_fit)

    recommend = commands.add_parser("recommend", help="recommend items for a user")
    recommend.add_argument("model", help="a model file written by 'tarsel fit'")
    recommend.add_argument("--user", required=True, help="the user's id")
    recommend.add_argument("-n", type=int, default=10, help="number of items (default 10)")
    recommend.add_argument("--include-owned", action="store_true",
                           help="allow items the user already has (repeat purchases)")
    _add_common(recommend)
    recommend.set_defaults(run=_recommend)

    evaluate = commands.add_parser("evaluate", help="held-out evaluation against popularity")
    evaluate.add_argument("interactions", help="CSV or Parquet file of interactions")
    evaluate.add_argument("--split", choices=("temporal", "last"), default=None,
                          help="temporal cut (needs --time-col; the default when given) "
                               "or each user's last session/interaction")
    evaluate.add_argument("--test-fraction", type=float, default=0.1,
                          help="share of interactions held out by the temporal split")
    evaluate.add_argument("-k", type=int, default=10, help="cut-off of the metrics")
    evaluate.add_argument("--include-owned", action="store_true",
                          help="count test items the user already had (repeat purchases)")
    _add_columns(evaluate)
    _add_common(evaluate)
    evaluate.set_defaults(run=_evaluate)

    from tarsel.serve import add_serve_command

    add_serve_command(commands)
    return parser


def _add_columns(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--user-col", default="user")
    parser.add_argument("--item-col", default="item")
    parser.add_argument("--time-col", default=None)
    parser.add_argument("--weight-col", default=None, help="ratings column (weights)")
    parser.add_argument("--session-col", default=None)
    parser.add_argument("--item-features", default=None,
                        help="CSV or Parquet file with the item column and feature columns")


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quiet", action="store_true", help="no progress bars")


def _columns(args) -> dict[str, Optional[str]]:
    return {"user_col": args.user_col, "item_col": args.item_col, "time_col": args.time_col,
            "weight_col": args.weight_col, "session_col": args.session_col}


# ---------------------------------------------------------------- commands


def _demo(args) -> int:
    from tarsel import Recommender, datasets
    from tarsel.evaluation import PopularityBaseline, temporal_split

    started = time.perf_counter()
    data = datasets.grocery(n_users=args.users, progress=not args.quiet)
    table = data.interactions
    print(f"grocery demo data: {len(table['user']):,} interactions, "
          f"{len(set(table['user'].tolist())):,} shoppers, {len(data.item_features['item']):,} "
          f"items ({len(data.item_features['item']) - len(set(table['item'].tolist()))} new, "
          "without sales)")
    split = temporal_split(table, test_fraction=0.1, **_only_set(data.columns))
    model = Recommender(cold_slots=1)
    model.fit(split.train, data.item_features, progress=not args.quiet, **data.columns)
    print("\nheld-out evaluation: the latest 10% of interactions, "
          f"{_test_users(split)} shoppers seen before")
    _print_evaluation(split, {"tarsel": model, "popularity": PopularityBaseline()},
                      data.item_features, k=10, fitted={"tarsel"}, exclude_owned=False)
    _print_report(model.fit_report_)
    user = table["user"][0]
    print(f"\nrecommendations for shopper {user} (they bought "
          f"{', '.join(_recent_items(split.train, data.columns, user))} most recently):")
    _print_recommendations(model.recommend(user, 10, exclude_owned=False))
    model.save(args.out)
    print(f"\nmodel saved to {args.out} ({time.perf_counter() - started:.1f} s in all); "
          f"try: python -m tarsel recommend {args.out} --user {user}")
    return 0


def _fit(args) -> int:
    from tarsel import Recommender

    table, features = _read_inputs(args)
    model = Recommender().fit(table, features, progress=not args.quiet, **_columns(args))
    model.save(args.out)
    _print_report(model.fit_report_)
    print(f"model saved to {args.out}")
    return 0


def _recommend(args) -> int:
    from tarsel import Recommender

    model = Recommender.load(args.model)
    row = model.users_.lookup_text(args.user)
    if row is None:
        print(f"user {args.user!r} is not in the model; showing the most popular items")
        user: Any = args.user
    else:
        user = model.users_.ids[row]
    _print_recommendations(model.recommend(user, args.n, exclude_owned=not args.include_owned))
    return 0


def _evaluate(args) -> int:
    from tarsel import Recommender
    from tarsel.evaluation import PopularityBaseline, leave_last_n_out, temporal_split

    table, features = _read_inputs(args)
    columns = _columns(args)
    split_kind = args.split or ("temporal" if args.time_col else "last")
    if split_kind == "temporal":
        if not args.time_col:
            raise ValueError("the temporal split needs --time-col")
        split = temporal_split(table, test_fraction=args.test_fraction, **_only_set(columns))
    else:
        split = leave_last_n_out(table, 1, **_only_set(columns))
    model = Recommender()
    model.fit(split.train, features, progress=not args.quiet, **columns)
    _print_evaluation(split, {"tarsel": model, "popularity": PopularityBaseline()}, features,
                      k=args.k, fitted={"tarsel"}, exclude_owned=not args.include_owned)
    _print_report(model.fit_report_)
    return 0


def _only_set(columns: dict[str, Optional[str]]) -> dict[str, str]:
    return {k: v for k, v in columns.items() if v is not None}


def _read_inputs(args):
    from tarsel.datasets import read_table

    table = read_table(args.interactions)
    features = read_table(args.item_features) if args.item_features else None
    return table, features


# ------------------------------------------------------------------ output


def _print_evaluation(split, models: dict, features, *, k: int, fitted: set[str],
                      exclude_owned: bool) -> None:
    from tarsel.evaluation import METRICS, evaluate

    for name, model in models.items():
        if name not in fitted:
            model.fit(split.train, features, **split.columns)
    table = evaluate(models, split, k=k, fit=False, exclude_owned=exclude_owned)
    wide = table.pivot(index="model", columns="metric", values="value").loc[list(models)]
    print(f"  {'model':<12}" + "".join(f"{m + '@' + str(k):>13}" for m in METRICS))
    for name, row in wide.iterrows():
        print(f"  {name:<12}" + "".join(f"{row[m]:>13.4f}" for m in METRICS))


def _print_report(report: dict[str, Any]) -> None:
    kept = report.get("kept", {})
    print(f"\nmodel: {report.get('base', '?')} base over {report.get('items', 0):,} items and "
          f"{report.get('users', 0):,} users")
    if report.get("session_layer"):
        print(f"  session layer: {report['session_layer']}")
    gates = report.get("gates")
    if isinstance(gates, str) or not gates:
        print(f"  gates: {gates or 'nothing to gate'}")
    else:
        held = report.get("heldout", {})
        print(f"  gates on {held.get('users', 0)} held-out users "
              f"(NDCG@{held.get('k', 10)} with the part on / off):")
        for name, figures in gates.items():
            if name == "boost":
                continue
            verdict = "kept" if figures["kept"] else "dropped"
            weight = f" (weight {figures['weight']:g})" if "weight" in figures else ""
            print(f"    {name:<26}{figures['on']:>9.4f} /{figures['off']:>8.4f}   {verdict}{weight}")
        print(f"  held-out NDCG@{held.get('k', 10)}: {held.get('ndcg', 0):.4f} "
              f"(popularity {held.get('popularity_ndcg', 0):.4f})")
    layers = ", ".join(kept.get("boost_layers", [])) or "none"
    print(f"  channels kept: {', '.join(kept.get('channels', [])) or 'none'}; "
          f"repeat module: {'on' if kept.get('repeat') else 'off'}; boost layers: {layers}"
          + (f" (z {kept['z_threshold']:g}, boost x{kept['boost_multiplier']:g})"
             if kept.get("boost_layers") else ""))
    if report.get("unavailable"):
        print(f"  not built by this core: {', '.join(report['unavailable'])}")


def _print_recommendations(found: dict) -> None:
    for rank, (item, score, source) in enumerate(
            zip(found["item"].tolist(), found["score"].tolist(), found["source"].tolist()), 1):
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
