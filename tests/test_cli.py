import os
import re
import subprocess
import sys

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
    paths = {
        "csv": folder / "log.csv",
        "parquet": folder / "log.parquet",
        "features": folder / "features.csv",
        "model": folder / "log.model",
    }
    table.to_csv(paths["csv"], index=False)
    table.to_parquet(paths["parquet"])
    pd.DataFrame(shop.item_features).to_csv(paths["features"], index=False)
    args = ["--out", str(paths["model"]), "--quiet", "--item-features", str(paths["features"])]
    assert main(["fit", str(paths["csv"]), *args, *FIT_COLUMNS]) == 0
    paths["user"] = str(table["user"].iloc[0])
    return paths


def test_recommend_prints_the_models_ranking(files, capsys):
    capsys.readouterr()
    assert main(["recommend", str(files["model"]), "--user", files["user"], "-n", "4"]) == 0
    lines = capsys.readouterr().out.splitlines()
    expected = Recommender.load(files["model"]).recommend(files["user"], 4)  # ids read as text
    assert [line.split()[1] for line in lines] == expected["item"].tolist()
    assert [line.split()[0] for line in lines] == ["1", "2", "3", "4"]


def test_unknown_user_gets_popular_items(files, capsys):
    capsys.readouterr()
    assert main(["recommend", str(files["model"]), "--user", "ghost", "-n", "2"]) == 0
    captured = capsys.readouterr()
    assert captured.err == "user 'ghost' is not in the model; showing the most popular items\n"
    out = captured.out.splitlines()
    assert len(out) == 2 and out[0].endswith("popularity")


def test_fit_reads_parquet_and_reports_the_gates(files, tmp_path, capsys):
    out = tmp_path / "p.model"
    assert main(["fit", str(files["parquet"]), "--out", str(out), "--quiet", *FIT_COLUMNS]) == 0
    text = capsys.readouterr().out
    assert "held-out users" in text and "repeat" in text and f"model saved to {out}" in text
    assert out.exists()


def test_evaluate_prints_model_and_baseline(files, capsys):
    capsys.readouterr()
    assert main(["evaluate", str(files["csv"]), "--quiet", "-k", "5", *FIT_COLUMNS]) == 0
    lines = capsys.readouterr().out.splitlines()
    at = next(i for i, line in enumerate(lines) if line.split()[:1] == ["model"])
    assert lines[at].split() == ["model", "ndcg@5", "recall@5", "map@5", "coverage@5"]
    rows = {line.split()[0]: line.split()[1:] for line in lines[at + 1 : at + 3]}
    assert set(rows) == {"tarsel", "popularity"}
    assert float(rows["tarsel"][0]) > float(rows["popularity"][0])
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
    assert main(args) == 0
    assert (
        "  1 exact duplicate row (same user, item, time and session) counted as "
        "repeated events; --drop-duplicates leaves them out\n"
    ) in capsys.readouterr().out
    assert main([*args, "--drop-duplicates"]) == 0
    assert "1 exact duplicate row (same user, item, time and session) dropped\n" in (
        capsys.readouterr().out
    )
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


def _write(path, text, encoding="utf-8"):
    path.write_text(text, encoding=encoding)
    return str(path)


@pytest.mark.parametrize(
    "make_args, message",
    [
        (
            lambda f, t: ["fit", str(t / "absent.csv"), "--out", str(t / "m")],
            "cannot read '{t}/absent.csv': No such file or directory",
        ),
        (
            lambda f, t: ["fit", str(f["csv"]), "--out", str(t / "m"), "--user-col", "who"],
            "no column 'who' in {csv} (columns: user, item, time, basket); "
            "choose one with --user-col",
        ),
        (
            lambda f, t: ["fit", str(f["csv"]), "--out", str(t / "no" / "m")],
            "cannot write '{t}/no/m': no directory '{t}/no'",
        ),
        (
            lambda f, t: ["fit", _write(t / "empty.csv", ""), "--out", str(t / "m")],
            "file '{t}/empty.csv' is empty",
        ),
        (
            lambda f, t: ["recommend", str(f["csv"]), "--user", "1"],
            "'{csv}' is not a tarsel model file (or is truncated)",
        ),
        (
            lambda f, t: ["evaluate", str(f["csv"]), "--split", "temporal"],
            "the temporal split needs --time-col",
        ),
        (
            lambda f, t: ["fit", str(f["model"]), "--out", str(t / "m")],
            "'{model}' is a tarsel model file, not a table of interactions",
        ),
        (
            lambda f, t: (
                ["fit", _write(t / "l.csv", "user,item\n1,caf\xe9\n", "latin-1")]
                + ["--out", str(t / "m")]
            ),
            "cannot read CSV file '{t}/l.csv': byte 0xe9 at position 3 is not UTF-8 text; "
            "save the file as UTF-8 (a Latin-1 file converts with: iconv -f latin1 -t "
            "utf-8), or read it with pandas.read_csv(..., encoding=...) and pass the table",
        ),
        (
            lambda f, t: (
                ["fit", _write(t / "e.csv", "user,item,time\n1,a,2024-01-02\n1,b,\n")]
                + ["--out", str(t / "m"), "--time-col", "time"]
            ),
            "time column 'time' has missing values (the first in row 1, counting from 0)",
        ),
        (
            lambda f, t: (
                ["fit", _write(t / "w.csv", "user,item,r\n1,a,1\n1,b,inf\n")]
                + ["--out", str(t / "m"), "--weight-col", "r"]
            ),
            "weight column 'r' has infinite values",
        ),
        (
            lambda f, t: (
                ["fit", _write(t / "t.csv", "user\titem\n1\ta\n")]
                + ["--out", str(t / "m"), "--sep", ","]
            ),
            "no column 'user' in {t}/t.csv (columns: user item); choose one with --user-col; "
            "the file may use another field separator: see --sep",
        ),
    ],
)
def test_bad_input_gives_one_line_and_status_2(files, tmp_path, capsys, make_args, message):
    capsys.readouterr()
    assert main(make_args(files, tmp_path) + ["--quiet"]) == 2
    captured = capsys.readouterr()
    expected = "tarsel: error: " + message.format(
        t=tmp_path, csv=files["csv"], model=files["model"]
    )
    assert captured.err == expected + "\n"
    assert "Traceback" not in captured.out


@pytest.mark.slow
def test_demo_runs_as_a_module(tmp_path):
    out = tmp_path / "demo.model"
    done = subprocess.run(
        [sys.executable, "-m", "tarsel", "demo", "--users", "300", "--quiet", "--out", str(out)],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "PYTHONWARNINGS": "ignore"},
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    at = next(i for i, line in enumerate(lines) if line.split()[:1] == ["model"])
    rows = {line.split()[0]: float(line.split()[1]) for line in lines[at + 1 : at + 3]}
    assert rows["tarsel"] > rows["popularity"]
    assert any("repeat" in line for line in lines)
    assert f"model saved to {out}" in done.stdout and out.exists()
    assert done.stderr == ""
