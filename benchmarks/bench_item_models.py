"""Item models against the usual NumPy/SciPy way of doing the same job.

* fit_ease_py at 2,000 and 4,000 items (20,000 users, 1,000,000 draws) against
  a dense Gram matrix + numpy.linalg.inv + division by -diag(P), and against
  the same with the Gram matrix from a SciPy sparse product; beside them the
  floor: dpotrf + dpotri alone on the regularised Gram matrix, from the same
  OpenBLAS with as many threads as the worker pool.
* metadata_knn (50,000 items, 5,000 features, about 20 per item, top_k 20)
  against SciPy F @ F.T with a per-row argpartition, both ending in lists.

Every figure comes from its own process, so that its peak resident memory
(resource.getrusage) belongs to that job alone; the data is generated inside
that process, the same way with the same seed for every contender. Each
contender runs --repeat times (fresh processes, rounds interleaved) and its
best time counts.
--threads N sets the worker pool and every OpenBLAS to N threads.

    python benchmarks/bench_item_models.py [--repeat R] [--threads N]
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import resource
import subprocess
import sys
import time

import numpy as np

from _common import machine

N_USERS, N_DRAWS, LAMBDA = 20_000, 1_000_000, 250.0
EASE_SIZES = (2_000, 4_000)
KNN_ITEMS, KNN_FEATURES, KNN_PER_ITEM, TOP_K = 50_000, 5_000, 20, 20


# ------------------------------------------------------------------ data


def ease_data(n_items):
    """Users uniform, items with a long-tailed popularity."""
    rng = np.random.default_rng(n_items)
    users = rng.integers(0, N_USERS, N_DRAWS)
    popularity = 1.0 / np.arange(1, n_items + 1) ** 0.7
    items = rng.choice(n_items, N_DRAWS, p=popularity / popularity.sum())
    return users, items


def knn_data():
    rng = np.random.default_rng(17)
    counts = rng.poisson(KNN_PER_ITEM, KNN_ITEMS)
    indptr = np.concatenate([[0], np.cumsum(counts)]).astype(np.int32)
    indices = rng.integers(0, KNN_FEATURES, indptr[-1]).astype(np.int32)
    data = rng.uniform(0.1, 1.0, indptr[-1]).astype(np.float32)
    return data, indices, indptr


# ------------------------------------------------------------ contenders
# Each returns the job to time, its data already generated.


def ease_tarsel(n):
    from tarsel._core import fit_ease_py

    users, items = ease_data(n)
    return lambda: fit_ease_py(users, items, N_USERS, n, lambda_=LAMBDA)


def weights_from_gram(g, n):
    g[np.diag_indices(n)] += LAMBDA
    p = np.linalg.inv(g)
    del g
    b = p / -np.diag(p)
    b[np.diag_indices(n)] = 0.0
    return b.astype(np.float32)


def ease_numpy(n):
    users, items = ease_data(n)

    def run():
        x = np.zeros((N_USERS, n))
        x[users, items] = 1.0
        g = x.T @ x
        del x
        return weights_from_gram(g, n)

    return run


def sparse_gram(users, items, n):
    import scipy.sparse as sp

    x = sp.csr_matrix((np.ones(len(users)), (users, items)), shape=(N_USERS, n))
    x.data[:] = 1.0  # repeated draws of a pair count once
    return (x.T @ x).toarray()


def ease_scipy(n):
    users, items = ease_data(n)
    return lambda: weights_from_gram(sparse_gram(users, items, n), n)


def ease_floor(n):
    import scipy_openblas32

    lib = ctypes.CDLL(os.path.join(scipy_openblas32.get_lib_dir(), "libscipy_openblas.so"))
    threads = int(
        os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS") or os.cpu_count()
    )
    lib.scipy_openblas_set_num_threads(threads)
    g = sparse_gram(*ease_data(n), n)
    g[np.diag_indices(n)] += LAMBDA
    order, info = ctypes.c_int(n), ctypes.c_int(0)
    uplo = ctypes.c_char(b"L")
    ptr = g.ctypes.data_as(ctypes.POINTER(ctypes.c_double))

    def run():
        for routine in (lib.scipy_dpotrf_, lib.scipy_dpotri_):
            routine(
                ctypes.byref(uplo),
                ctypes.byref(order),
                ptr,
                ctypes.byref(order),
                ctypes.byref(info),
                ctypes.c_size_t(1),
            )
            assert info.value == 0

    return run


def knn_tarsel(_):
    from tarsel._core import metadata_knn

    data, indices, indptr = knn_data()
    return lambda: metadata_knn(data, indices, indptr, KNN_FEATURES, top_k=TOP_K)


def knn_scipy(_):
    import scipy.sparse as sp

    data, indices, indptr = knn_data()

    def run():
        f = sp.csr_matrix((data, indices, indptr), shape=(KNN_ITEMS, KNN_FEATURES))
        s = (f @ f.T).tocsr()
        rows, cols, scores = [], [], []
        for i in range(KNN_ITEMS):
            lo, hi = s.indptr[i], s.indptr[i + 1]
            c, v = s.indices[lo:hi], s.data[lo:hi]
            keep = (c != i) & (v > 0)
            c, v = c[keep], v[keep]
            if len(v) > TOP_K:
                top = np.argpartition(-v, TOP_K - 1)[:TOP_K]
                c, v = c[top], v[top]
            rows.extend([i] * len(c))
            cols.extend(c.tolist())
            scores.extend(v.tolist())
        return rows, cols, scores

    return run


CONTENDERS = {
    f.__name__: f for f in (ease_tarsel, ease_numpy, ease_scipy, ease_floor, knn_tarsel, knn_scipy)
}


# ---------------------------------------------------------------- driver


def child(name, size):
    job = CONTENDERS[name](size)
    start = time.perf_counter()
    job()
    seconds = time.perf_counter() - start
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps({"seconds": seconds, "peak_mib": peak_mib}))


def run_child(name, size, env):
    out = subprocess.run(
        [sys.executable, __file__, "--child", name, str(size)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def measure_all(jobs, repeat, env):
    """Best time and lowest peak of every (name, size), the rounds interleaved
    so that a busy spell on a shared machine hits every contender alike."""
    best = {}
    for _ in range(repeat):
        for job in jobs:
            got = run_child(*job, env)
            old = best.get(job, got)
            best[job] = {k: min(old[k], got[k]) for k in got}
    return best


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=2)
    parser.add_argument("--threads", type=int)
    args = parser.parse_args()
    env = dict(os.environ)
    if args.threads:
        for var in ("RAYON_NUM_THREADS", "OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
            env[var] = str(args.threads)
    ease_names = ("ease_tarsel", "ease_floor", "ease_numpy", "ease_scipy")
    jobs = [(name, n) for n in EASE_SIZES for name in ease_names]
    jobs += [("knn_tarsel", 0), ("knn_scipy", 0)]
    r = measure_all(jobs, args.repeat, env)

    threads = args.threads or "all"
    print(machine())
    print(
        f"fit_ease_py: {N_USERS:,} users, {N_DRAWS:,} draws, lambda_={LAMBDA}, threads={threads}, "
        f"best of {args.repeat}; speed-up and memory ratio are the baseline's over ours"
    )
    print(
        f"{'items':>6} {'baseline':<30} {'ours s':>7} {'base s':>7} {'speed-up':>8} "
        f"{'ours MiB':>9} {'base MiB':>9} {'mem ratio':>9} {'floor s':>8} {'ours/floor':>10}"
    )
    for n in EASE_SIZES:
        ours, floor = r["ease_tarsel", n], r["ease_floor", n]
        for label, name in (
            ("dense Gram + numpy inv", "ease_numpy"),
            ("SciPy sparse Gram + numpy inv", "ease_scipy"),
        ):
            base = r[name, n]
            print(
                f"{n:>6} {label:<30} {ours['seconds']:7.2f} {base['seconds']:7.2f} "
                f"{base['seconds'] / ours['seconds']:8.2f} {ours['peak_mib']:9.0f} "
                f"{base['peak_mib']:9.0f} {base['peak_mib'] / ours['peak_mib']:9.2f} "
                f"{floor['seconds']:8.2f} {ours['seconds'] / floor['seconds']:10.2f}"
            )
    print()
    print(
        f"metadata_knn: {KNN_ITEMS:,} items, {KNN_FEATURES:,} features, "
        f"about {KNN_PER_ITEM} per item, top_k={TOP_K}"
    )
    ours, base = r["knn_tarsel", 0], r["knn_scipy", 0]
    print(
        f"{'baseline':<30} {'ours s':>7} {'base s':>7} {'speed-up':>8} "
        f"{'ours MiB':>9} {'base MiB':>9} {'mem ratio':>9}"
    )
    print(
        f"{'SciPy F @ F.T + argpartition':<30} {ours['seconds']:7.2f} {base['seconds']:7.2f} "
        f"{base['seconds'] / ours['seconds']:8.2f} {ours['peak_mib']:9.0f} "
        f"{base['peak_mib']:9.0f} {base['peak_mib'] / ours['peak_mib']:9.2f}"
    )


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
