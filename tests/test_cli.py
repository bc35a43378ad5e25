import io
import os
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from tarsel import Recommender, datasets
from tarsel.__main__ import _print_report, main

FIT_COLUMNS = ["--time-col", "time", "--session-col", "basket"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    shop = datasets.grocery(n_users=150, n_items=120, n_days=60, n_new_items=5, seed=5)
    table = pd.DataFrame(shop.interactions)
    paths = {k: folder / f"log.{k}" for k in ("csv", "parquet", "model")}
    paths["features"] = folder / "features.csv"
    table.to_csv(paths["csv"], index=False)
    table.to_parquet(paths["parquet"])
    pd.DataFrame(shop.item_features).to_csv(paths["features"], index=False)
    args = ["--out", str(paths["model"]), "--quiet", "--item-features", str(paths["features"])]
    assert main(["fit", str(paths["csv"]), *args, *FIT_COLUMNS]) == 0
    paths["user"] = str(table["user"].iloc[0])
    return paths


def test_recommend_prints_the_models_ranking_or_popular_items(files, capsys):
    capsys.readouterr()
    assert main(["recommend", str(files["model"]), "--user", files["user"], "-n", "4"]) == 0
    lines = [line.split()[:2] for line in capsys.readouterr().out.splitlines()]
    expected = Recommender.load(files["model"]).recommend(files["user"], 4)["item"]  # text ids
    assert lines == [[str(k), item] for k, item in enumerate(expected.tolist(), 1)]
    assert main(["recommend", str(files["model"]), "--user", "ghost", "-n", "2"]) == 0
    captured = capsys.readouterr()
    assert captured.err == "user 'ghost' is not in the model; showing the most popular items\n"
    out = captured.out.splitlines()
    assert len(out) == 2 and out[0].endswith("popularity")


def _evaluation(lines):
    """Where the table of an evaluation starts, and each row's first figure."""
    at = next(i for i, line in enumerate(lines) if line.split()[:1] == ["model"])
    return at, {line.split()[0]: float(line.split()[1]) for line in lines[at + 1 : at + 3]}


def test_evaluate_prints_model_and_baseline(files, capsys):
    capsys.readouterr()
    assert main(["evaluate", str(files["csv"]), "--quiet", "-k", "5", *FIT_COLUMNS]) == 0
    lines = capsys.readouterr().out.splitlines()
    at, rows = _evaluation(lines)
    assert lines[at].split() == ["model", "ndcg@5", "recall@5", "map@5", "coverage@5"]
    assert set(rows) == {"tarsel", "popularity"} and rows["tarsel"] > rows["popularity"]
    assert re.fullmatch(
        r"  \(temporal split, the latest 10% of interactions held out; "
        r"\d+ users judged, owned items (excluded|allowed)\)",
        lines[at + 3],
    )


def test_text_times_in_a_given_format(files, tmp_path, capsys):
    table = pd.read_csv(files["csv"])
    table["time"] = pd.to_datetime(table["time"], unit="s").dt.strftime("%d-%m-%Y %H:%M:%S")
    dated = str(tmp_path / "dated.csv")
    table.to_csv(dated, index=False)
    args = ["--out", str(tmp_path / "d.model"), "--quiet", *FIT_COLUMNS]
    assert main(["fit", dated, *args]) == 2
    assert "or pass --time-format, a strptime pattern" in capsys.readouterr().err
    given = ["--time-format", "%d-%m-%Y %H:%M:%S"]
    assert main(["fit", dated, *args, *given]) == 0
    for split in ("temporal", "last"):  # every split reads the times as fit does
        assert main(["evaluate", dated, "--quiet", "--split", split, *FIT_COLUMNS, *given]) == 0


def test_ids_are_read_as_text_unless_asked_otherwise(tmp_path, capsys):
    rows = [("042", "0589", 0), ("42", "0589", 9), ("042", "7", 100), ("42", "7", 200)]
    rows += [("9", "7", 0), ("9", "0589", 60), ("8", "7", 0), ("8", "x", 60)]
    path = tmp_path / "padded.csv"
    path.write_text("user;item;time\n" + "".join(f"{u};{i};{t}\n" for u, i, t in rows))
    model = str(tmp_path / "m.model")
    # the semicolons are found from the header line
    assert main(["fit", str(path), "--out", model, "--quiet", "--time-col", "time"]) == 0
    assert "over 3 items and 4 users" in capsys.readouterr().out
    assert Recommender.load(model).items_.ids.tolist() == ["0589", "7", "x"]
    assert main(["recommend", model, "--user", "8", "-n", "1", "--exclude-owned"]) == 0
    assert capsys.readouterr().out.split()[1] == "0589"
    typed = ["--out", model, "--quiet", "--typed-ids", "--sep", ";"]
    assert main(["fit", str(path), *typed]) == 0
    assert "over 3 items and 3 users" in capsys.readouterr().out  # 042 is 42 then


def test_the_summary_counts_in_words(capsys):
    _print_report({"base": "ease", "items": 1, "users": 1})
    assert capsys.readouterr().out.startswith("\nmodel: ease base over 1 item and 1 user\n")


def test_duplicate_rows_are_counted_and_dropped_on_request(tmp_path, capsys):
    path = _write(tmp_path / "dup.csv", "user,item,time\n1,a,5\n1,a,5\n1,b,9\n2,a,5\n2,b,7\n")
    args = ["fit", path, "--out", str(tmp_path / "m"), "--quiet", "--time-col", "time"]
    note = "  1 exact duplicate row (same user, item, time and session) "
    assert main(args) == 0
    kept = "counted as repeated events; --drop-duplicates leaves them out\n"
    assert note + kept in capsys.readouterr().out
    assert main([*args, "--drop-duplicates"]) == 0
    assert note + "dropped\n" in capsys.readouterr().out
    assert Recommender.load(tmp_path / "m").fit_report_["interactions"] == 4


@pytest.mark.parametrize(
    "option, message",
    [
        (["-k", "0"], "-k: must be an integer of at least 1, not '0'"),
        (["--test-fraction", "1"], "--test-fraction: must be a number between 0 and 1, not '1'"),
    ],
)
def test_options_are_checked_before_any_work(capsys, option, message):
    with pytest.raises(SystemExit) as done:
        main(["evaluate", "log.csv", *option])
    assert f"argument {message}" in capsys.readouterr().err
    assert done.value.code == 2


def _write(path, text):
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    return str(path)


NO_COLUMN = "no column '{who}' in {csv} (columns: {cols}); choose one with --user-col"


@pytest.mark.parametrize(
    "args, file, message",
    [
        ("fit {t}/absent.csv", None, "cannot read '{t}/absent.csv': No such file or directory"),
        (
            "fit {csv} --user-col who",
            None,
            NO_COLUMN.format(who="who", csv="{csv}", cols="user, item, time, basket"),
        ),
        ("fit {csv} --out {t}/no/m", None, "cannot write '{t}/no/m': no directory '{t}/no'"),
        ("fit {t}/e.csv", "", "file '{t}/e.csv' is empty"),
        ("recommend {csv} --user 1", None, "'{csv}' is not a tarsel model file (or is truncated)"),
        ("evaluate {csv} --split temporal", None, "the temporal split needs --time-col"),
        ("fit {model}", None, "'{model}' is a tarsel model file, not a table of interactions"),
        (
            "fit {t}/e.csv",
            "user,item\n1,caf\xe9\n".encode("latin-1"),
            "cannot read CSV file '{t}/e.csv': byte 0xe9 at position 3 is not UTF-8 text; "
            "save the file as UTF-8 (a Latin-1 file converts with: iconv -f latin1 -t "
            "utf-8), or read it with pandas.read_csv(..., encoding=...) and pass the table",
        ),
        (
            "fit {t}/e.csv --sep ,",
            "user\titem\n1\ta\n",
            NO_COLUMN.format(who="user", csv="{t}/e.csv", cols="user item")
            + "; the file may use another field separator: see --sep",
        ),
    ],
)
def test_bad_input_gives_one_line_and_status_2(files, tmp_path, capsys, args, file, message):
    if file is not None:
        _write(tmp_path / "e.csv", file)
    names = dict(t=tmp_path, csv=files["csv"], model=files["model"])
    args = [a.format(**names) for a in args.split()]
    if args[0] == "fit" and "--out" not in args:
        args += ["--out", str(tmp_path / "m")]
    capsys.readouterr()
    assert main([*args, "--quiet"]) == 2
    captured = capsys.readouterr()
    assert captured.err == "tarsel: error: " + message.format(**names) + "\n"
    assert "Traceback" not in captured.out


@pytest.mark.slow
def test_demo_runs_as_a_module(tmp_path):
    out = tmp_path / "demo.model"
    command = [sys.executable, "-m", "tarsel", "demo", "--users", "300", "--quiet", "--out", out]
    env = {**os.environ, "PYTHONWARNINGS": "ignore"}
    done = subprocess.run(command, capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    rows = _evaluation(done.stdout.splitlines())[1]
    assert rows["tarsel"] > rows["popularity"] and "repeat" in done.stdout
    assert f"model saved to {out}" in done.stdout and out.exists() and done.stderr == ""


def test_parquet_fits_report_the_gates_and_warnings_are_one_plain_note(files, tmp_path, capsys):
    # item features whose ids match no item of the log: fit warns and goes on
    features = _write(tmp_path / "other.csv", "item,kind\nx1,a\nx2,b\n")
    out = tmp_path / "m"
    args = ["fit", str(files["parquet"]), "--out", str(out), "--quiet", *FIT_COLUMNS]
    capsys.readouterr()
    assert main([*args, "--item-features", features]) == 0
    text, notes = capsys.readouterr()
    assert "held-out users" in text and "repeat" in text and f"model saved to {out}" in text
    notes = notes.splitlines()
    assert all(line.startswith("tarsel: note: ") for line in notes)
    note = "no item of item_features has interactions: are the item ids of the two tables"
    assert f"tarsel: note: {note} of the same type?" in notes


class _Terminal(io.StringIO):
    """Standard error as a terminal, where progress bars are drawn."""

    def isatty(self) -> bool:
        return True


def test_every_step_of_evaluate_shows_progress_on_a_terminal_only(files, capsys, monkeypatch):
    args = ["evaluate", str(files["csv"]), "-k", "5", "--split", "last", *FIT_COLUMNS]
    capsys.readouterr()
    assert main(args) == 0
    assert capsys.readouterr().err == ""  # no bars into a file or pipe
    monkeypatch.setattr(sys, "stderr", _Terminal())
    assert main(args) == 0
    drawn = sys.stderr.getvalue()
    steps = (
        "holding out each user's last session|fitting without the held-out sessions|"
        "fitting on all interactions|fitting the popularity baseline|finding the held-out items|"
        "scoring tarsel|recommending|scoring popularity|bootstrapping the differences"
    )
    for step in [f"reading {files['csv']}", *steps.split("|")]:
        assert f"\r{step}:" in drawn, step
    assert main([*args, "--quiet"]) == 0
    assert sys.stderr.getvalue() == drawn


@pytest.mark.parametrize("call", ["recommend_batch", "iter_recommend_batch"])
def test_batches_count_their_users_on_a_terminal(files, monkeypatch, call):
    model = Recommender.load(files["model"])
    users = model.users_.ids[:150]
    quiet = model.recommend_batch(users, 3)
    monkeypatch.setattr(sys, "stderr", _Terminal())
    found = getattr(model, call)(users, 3, progress=True)
    chunks = list(found) if call == "iter_recommend_batch" else [found]
    assert all(np.array_equal(np.concatenate([c[k] for c in chunks]), quiet[k]) for k in quiet)
    assert re.search(r"\rrecommending: .* 0/150 ", sys.stderr.getvalue())
