import os
import subprocess
import sys

import pandas as pd
import pytest

from tarsel import Recommender, datasets
from tarsel.__main__ import main
FIT_COLUMNS = ["--time-col", "time", "--session-col", "basket"]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("cli")
    shop = datasets.grocery(n_users=150, n_items=120, n_days=60, n_new_items=5, seed=5)
    table = pd.DataFrame(shop.interactions)
    paths = {"csv": folder / "log.csv", "parquet": folder / "log.parquet",
             "features": folder / "features.csv", "model": folder / "log.model"}
    table.to_csv(paths["csv"], index=False)
    table.to_parquet(paths["parquet"])
    pd.DataFrame(shop.item_features).to_csv(paths["features"], index=False)
    assert main(["fit", str(paths["csv"]), "--out", str(paths["model"]), "--quiet",
                 "--item-features", str(paths["features"]), *FIT_COLUMNS]) == 0
    paths["user"] = str(table["user"].iloc[0])
    return paths


def test_recommend_prints_the_models_ranking(files, capsys):
    capsys.readouterr()
    assert main(["recommend", str(files["model"]), "--user", files["user"], "-n", "4"]) == 0
    lines = capsys.readouterr().out.splitlines()
    expected = Recommender.load(files["model"]).recommend(int(files["user"]), 4)
    assert [line.split()[1] for line in lines] == expected["item"].tolist()
    assert [line.split()[0] for line in lines] == ["1", "2", "3", "4"]


def test_unknown_user_gets_popular_items(files, capsys):
    capsys.readouterr()
    assert main(["recommend", str(files["model"]), "--user", "ghost", "-n", "2"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "user 'ghost' is not in the model; showing the most popular items"
    assert len(out) == 3 and out[1].endswith("popularity")


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
    rows = {line.split()[0]: line.split()[1:] for line in lines[at + 1:at + 3]}
    assert set(rows) == {"tarsel", "popularity"}
    assert float(rows["tarsel"][0]) > float(rows["popularity"][0])


def _write(path, text):
    path.write_text(text)
    return str(path)


@pytest.mark.parametrize("make_args, message", [
    (lambda f, t: ["fit", str(t / "absent.csv"), "--out", str(t / "m")],
     "cannot read '{t}/absent.csv': No such file or directory"),
    (lambda f, t: ["fit", str(f["csv"]), "--out", str(t / "m"), "--user-col", "who"],
     "missing column 'who' in interactions"),
    (lambda f, t: ["fit", _write(t / "bad.csv", "user,item,time\n1,a,2024-01-01\n2,b,never\n"),
                   "--out", str(t / "m"), "--time-col", "time"],
     "time column 'time' has unparsable value 'never'"),
    (lambda f, t: ["fit", _write(t / "empty.csv", ""), "--out", str(t / "m")],
     "file '{t}/empty.csv' is empty"),
    (lambda f, t: ["fit", _write(t / "header.csv", "user,item\n"), "--out", str(t / "m")],
     "file '{t}/header.csv' holds no rows"),
    (lambda f, t: ["fit", _write(t / "w.csv", "user,item,r\n1,a,x\n"), "--out", str(t / "m"),
                   "--weight-col", "r"], "weight column 'r' must be numeric"),
    (lambda f, t: ["recommend", str(f["csv"]), "--user", "1"],
     "'{csv}' is not a tarsel model file (or is truncated)"),
    (lambda f, t: ["recommend", str(t / "none.model"), "--user", "1"],
     "cannot read '{t}/none.model': No such file or directory"),
    (lambda f, t: ["evaluate", str(f["csv"]), "--split", "temporal"],
     "the temporal split needs --time-col"),
])
def test_bad_input_gives_one_line_and_status_2(files, tmp_path, capsys, make_args, message):
    capsys.readouterr()
    assert main(make_args(files, tmp_path) + ["--quiet"]) == 2
    captured = capsys.readouterr()
    expected = "tarsel: error: " + message.format(t=tmp_path, csv=files["csv"])
    assert captured.err == expected + "\n"
    assert "Traceback" not in captured.out


def test_corrupt_model_file(files, tmp_path, capsys):
    raw = bytearray(files["model"].read_bytes())
    raw[len(raw) // 3] ^= 0x55
    broken = tmp_path / "broken.model"
    broken.write_bytes(bytes(raw))
    capsys.readouterr()
    assert main(["recommend", str(broken), "--user", files["user"]]) == 2
    assert capsys.readouterr().err == f"tarsel: error: '{broken}' is corrupt (checksum mismatch)\n"


@pytest.mark.slow
def test_demo_runs_as_a_module(tmp_path):
    out = tmp_path / "demo.model"
    done = subprocess.run([sys.executable, "-m", "tarsel", "demo", "--users", "300", "--quiet",
                           "--out", str(out)], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "PYTHONWARNINGS": "ignore"})
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    at = next(i for i, line in enumerate(lines) if line.split()[:1] == ["model"])
    rows = {line.split()[0]: float(line.split()[1]) for line in lines[at + 1:at + 3]}
    assert rows["tarsel"] > rows["popularity"]
    assert any("repeat" in line for line in lines)
    assert f"model saved to {out}" in done.stdout and out.exists()
    assert done.stderr == ""
