#!/usr/bin/env python3
"""Funnel search against the exact scan: recall on a trained model, speed on a large store.

1. Recall: a skip-gram model (default: trained here on corpus_en.txt, 100 dims, default levels
   25/50/100, seed 1, 2 workers; or --model PREFIX of saved vectors). For 1,000 query words drawn with
   a fixed seed from the vocabulary, recall@10 of similar_by_vector(..., coarse_level=C) against the
   exact ranking of most_similar at full width, for each coarse level below the width and a few
   shortlists (None = the default, max(100, 30 * topn)).
2. Speed: a --rows x 300 store built from the trained rows, widened with a nested random projection
   (components 0-74 from the first quarter, 75-149 from the second, 150-299 from the second half, so
   the prefixes stay nested) and tiled with small noise. 256 queries (stored rows plus noise) in one
   batched call: the exact scan against the funnel at coarse level 75, owned (from_array) and mapped
   (saved, loaded with mmap="r"), best of --repeat; plus the funnel's recall@10 against that scan.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from common import DEFAULT_CORPUS  # noqa: E402

from tarnivel import KeyedVectors, Word2Vec  # noqa: E402
from tarnivel.corpus import LineSentence  # noqa: E402


def trained(model: str | None, work: str) -> KeyedVectors:
    if model:
        return KeyedVectors.load(model)
    from tarnivel import set_seed
    set_seed(1)
    start = time.perf_counter()
    w2v = Word2Vec(LineSentence(str(DEFAULT_CORPUS)), vector_size=100, sg=1, workers=2)
    print(f"trained skip-gram, 100 dims, default levels, in {time.perf_counter() - start:.0f} s")
    w2v.wv.save(os.path.join(work, "sg100"))
    return w2v.wv


def recall(found: list[list[tuple[str, float]]], exact: list[list[tuple[str, float]]]) -> float:
    hits = sum(len({w for w, _ in f} & {w for w, _ in e}) for f, e in zip(found, exact))
    return hits / max(1, sum(len(e) for e in exact))


def recall_part(kv: KeyedVectors, queries: int, topn: int) -> None:
    rng = np.random.default_rng(7)
    words = [kv.index_to_key[i] for i in rng.choice(len(kv), size=min(queries, len(kv)), replace=False)]
    exact = [kv.most_similar(w, topn=topn) for w in words]
    vectors = np.stack([kv[w] for w in words])
    width = kv.vector_size
    print(f"\nrecall@{topn}, {len(words)} query words, {len(kv)} x {width} store (exact: most_similar)")
    print(f"{'coarse':>7} {'shortlist':>10} {'recall':>7} {'s/call':>7}")
    for coarse in (width // 8, width // 4, width // 2):
        for shortlist in (50, 100, None, 500):
            found = []
            start = time.perf_counter()
            for w, v in zip(words, vectors):
                found.append(kv.similar_by_vector(v, topn=topn, exclude=[w], coarse_level=coarse, shortlist=shortlist))
            took = (time.perf_counter() - start) / len(words)
            label = "default" if shortlist is None else str(shortlist)
            print(f"{coarse:>7} {label:>10} {recall(found, exact):7.3f} {took:7.4f}")


def nested_widen(rows: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    d = rows.shape[1]
    parts = [(0, d // 4, 75), (d // 4, d // 2, 75), (d // 2, d, 150)]
    blocks = [rows[:, a:b] @ (rng.standard_normal((b - a, out)) / np.sqrt(b - a)) for a, b, out in parts]
    return np.hstack(blocks).astype(np.float32)


def best_of(repeat: int, call) -> tuple[float, float, object]:
    """Best wall and best CPU seconds of `repeat` calls (CPU time is steadier on a loaded machine)."""
    times, cpu, result = [], [], None
    for _ in range(repeat):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = call()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return min(times), min(cpu), result


def speed_part(kv: KeyedVectors, rows: int, queries: int, repeat: int, work: str) -> None:
    rng = np.random.default_rng(11)
    base = nested_widen(kv.vectors, rng)
    scale = float(np.std(base))
    matrix = np.empty((rows, base.shape[1]), dtype=np.float32)
    for start in range(0, rows, len(base)):
        n = min(len(base), rows - start)
        matrix[start:start + n] = base[:n] + rng.normal(0, 0.1 * scale, (n, base.shape[1])).astype(np.float32)
    words = [f"w{i}" for i in range(rows)]
    picks = rng.choice(rows, size=queries, replace=False)
    q = matrix[picks] + rng.normal(0, 0.1 * scale, (queries, base.shape[1])).astype(np.float32)
    owned = KeyedVectors.from_array(words, matrix)
    del matrix
    prefix = os.path.join(work, "big")
    owned.save(prefix)
    mapped = KeyedVectors.load(prefix, mmap="r")
    print(f"\nspeed: {rows} x {base.shape[1]} store, {queries} queries in one call, topn 10, best of {repeat}")
    print(f"{'store':>7} {'exact s':>8} {'funnel s':>9} {'speed-up':>9} {'exact cpu':>10} {'funnel cpu':>11}"
          f" {'cpu speed-up':>13} {'recall@10':>10}")
    for name, store in (("owned", owned), ("mapped", mapped)):
        store.similar_by_vector(q[:2], topn=10)  # pages in the mapped file
        exact_s, exact_c, exact = best_of(repeat, lambda s=store: s.similar_by_vector(q, topn=10))
        funnel_s, funnel_c, found = best_of(repeat, lambda s=store: s.similar_by_vector(q, topn=10, coarse_level=75))
        print(f"{name:>7} {exact_s:8.3f} {funnel_s:9.3f} {exact_s / funnel_s:8.2f}x {exact_c:10.3f} {funnel_c:11.3f}"
              f" {exact_c / funnel_c:12.2f}x {recall(found, exact):10.3f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", help="prefix of saved vectors (default: train a 100-dim skip-gram model)")
    parser.add_argument("--queries", type=int, default=1000, help="query words for recall (default 1000)")
    parser.add_argument("--rows", type=int, default=1_000_000, help="rows of the speed store (default 1,000,000)")
    parser.add_argument("--batch", type=int, default=256, help="queries of the speed test (default 256)")
    parser.add_argument("--repeat", type=int, default=3, help="timings per case; the best is kept (default 3)")
    parser.add_argument("--skip-speed", action="store_true", help="recall only")
    parser.add_argument("--random", action="store_true",
                        help="speed only, on a store built from 20,000 random 100-dim rows (no training)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="tarnivel-funnel-") as work:
        if args.random:
            rng = np.random.default_rng(5)
            kv = KeyedVectors.from_array([f"r{i}" for i in range(20000)],
                                         rng.standard_normal((20000, 100)).astype(np.float32))
        else:
            kv = trained(args.model, work)
            recall_part(kv, args.queries, 10)
        if not args.skip_speed:
            speed_part(kv, args.rows, args.batch, args.repeat, work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
