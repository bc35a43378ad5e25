"""Engine record persistence: to_bytes / from_bytes against a plain copy of a
bytes object of the record's size (the memory-bandwidth floor), and save / load
against numpy.save / numpy.load and pickle of the same arrays; and the model
file (Recommender.load: the checked container around the record) against
numpy.load of the file's bytes.

The engine holds a 4,000 x 4,000 EASE block and a co-occurrence CSR of 10
million entries (about 144 MB in all). Each figure is the best of a few runs.
save always flushes the file to disk (fsync) before replacing the target, so
numpy.save followed by an fsync is shown beside plain numpy.save.
"""

from __future__ import annotations

import os
import pickle
import tempfile
import time

import numpy as np

from tarsel import Recommender, _core
from tarsel._baselines import Baselines
from tarsel._live import Live
from tarsel._model import FittedModel, Kept
from tarsel.data import IdMap

N_ITEMS = 4_000
NNZ = 10_000_000
REPEATS = 5


def best_of(fn, repeats=REPEATS):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def make_arrays():
    rng = np.random.default_rng(0)
    per_row = NNZ // N_ITEMS
    return {
        "ease_b": rng.standard_normal((N_ITEMS, N_ITEMS), dtype=np.float32),
        "cooc_data": rng.random(NNZ, dtype=np.float32),
        "cooc_indices": rng.integers(0, N_ITEMS, NNZ, dtype=np.int32),
        "cooc_indptr": (np.arange(N_ITEMS + 1, dtype=np.int32) * per_row),
    }


def model_around(engine):
    """A fitted model whose state is this engine, one item per engine item and
    no users."""
    empty = np.zeros(0, np.int64)
    return FittedModel(
        params=Recommender().get_params(),
        columns={},
        engine=engine,
        users=IdMap([]),
        items=IdMap(range(N_ITEMS)),
        item_pop=np.ones(N_ITEMS),
        hist_indptr=np.zeros(1, np.int64),
        hist_items=empty,
        repeat_sizes=empty,
        baselines=Baselines.from_events(empty, empty, 0, N_ITEMS),
        live=Live(),
        kept=Kept.of({}),
        report={},
    )


def fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def main():
    arrays = make_arrays()
    engine = _core.build_engine(arrays, {"n_items": N_ITEMS})
    record = engine.to_bytes()
    size_mb = len(record) / 1e6
    rows = []

    # Files go beside this script rather than to a temporary-files folder that
    # may live in memory, where flushing to disk would cost nothing.
    with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(__file__))) as tmp:
        engine_path = os.path.join(tmp, "engine.bin")
        npy_paths = {k: os.path.join(tmp, f"{k}.npy") for k in arrays}
        pickle_path = os.path.join(tmp, "arrays.pkl")

        def np_save(sync=False):
            for key, path in npy_paths.items():
                np.save(path, arrays[key])
                if sync:
                    fsync_path(path)

        def np_load():
            return {key: np.load(path) for key, path in npy_paths.items()}

        def pickle_save():
            with open(pickle_path, "wb") as f:
                pickle.dump(arrays, f, protocol=5)

        def pickle_load():
            with open(pickle_path, "rb") as f:
                return pickle.load(f)

        floor = best_of(lambda: memoryview(record).tobytes())
        rows.append(("to_bytes", best_of(engine.to_bytes), "bytes copy (floor)", floor))
        rows.append(
            (
                "from_bytes",
                best_of(lambda: _core.EngineState.from_bytes(record)),
                "bytes copy (floor)",
                floor,
            )
        )
        save = best_of(lambda: engine.save(engine_path))
        rows.append(("save", save, "numpy.save", best_of(np_save)))
        rows.append(("save", save, "numpy.save + fsync", best_of(lambda: np_save(True))))
        rows.append(("save", save, "pickle.dump", best_of(pickle_save)))
        load = best_of(lambda: _core.EngineState.load(engine_path))
        rows.append(("load", load, "numpy.load", best_of(np_load)))
        rows.append(("load", load, "pickle.load", best_of(pickle_load)))
        assert _core.EngineState.load(engine_path).to_bytes() == record

        model_path, raw_path = os.path.join(tmp, "m.model"), os.path.join(tmp, "raw.npy")
        model_around(engine).save(model_path)
        np.save(raw_path, np.fromfile(model_path, dtype=np.uint8))
        rows.append(
            (
                "model load",
                best_of(lambda: Recommender.load(model_path)),
                "numpy.load same bytes",
                best_of(lambda: np.load(raw_path)),
            )
        )

    print(f"engine record: {size_mb:.1f} MB (ease_b {N_ITEMS}x{N_ITEMS}, cooc nnz {NNZ:,})")
    print(f"{'operation':<12}{'ours ms':>10}  {'baseline':<22}{'base ms':>10}{'ratio':>8}")
    for name, ours, base_name, base in rows:
        print(
            f"{name:<12}{ours * 1e3:>10.1f}  {base_name:<22}{base * 1e3:>10.1f}{ours / base:>8.2f}"
        )


if __name__ == "__main__":
    main()
