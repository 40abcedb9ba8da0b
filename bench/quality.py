#!/usr/bin/env python3
"""Quality checks on the reference corpus (skip-gram, negative sampling, levels=[100]).

1. With 1 worker, WordSim-353 Spearman within 0.05 of the reference library's 0.375.
2. With 2 workers, WordSim-353 within 0.03 of the same model trained with 1 worker.

Exit status 0 when both hold, 1 otherwise.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import common

PEER_WORDSIM = common.PEER_QUALITY["sg-ns"][0]
PEER_TOLERANCE = 0.05
WORKERS_TOLERANCE = 0.03


def train(corpus, workers: int, epochs: int, seed: int, data: Path):
    from tarnivel import Word2Vec, set_seed

    set_seed(seed)
    model = Word2Vec(**common.TRAINING, workers=workers, sg=1, hs=0, negative=5, levels=[100],
                     epochs=epochs, verbose=False)
    start = time.perf_counter()
    model.train(corpus)
    seconds = time.perf_counter() - start
    scores = common.evaluate(model.wv, data=data)["full"]
    (ws, ws_n), (men, men_n) = scores["wordsim"], scores["men"]
    print(f"  workers={workers}: {seconds:.1f}s (vocabulary included), WordSim-353 {ws:.3f} ({ws_n} pairs), "
          f"MEN {men:.3f} ({men_n} pairs)", flush=True)
    return ws


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=common.DEFAULT_CORPUS)
    parser.add_argument("--data", type=Path, default=None)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    data = args.data if args.data is not None else args.corpus.parent
    if not args.corpus.is_file():
        parser.error(f"corpus not found: {args.corpus}")

    for line in common.machine_info():
        print(line)
    corpus = common.load_corpus(args.corpus)
    print(f"corpus: {args.corpus}, {len(corpus)} sentences; skip-gram, negative 5, levels=[100], "
          f"vector_size 100, window 5, min_count 5, {args.epochs} epochs, seed {args.seed}")
    one = train(corpus, 1, args.epochs, args.seed, data)
    two = train(corpus, 2, args.epochs, args.seed, data)

    checks = [
        (f"1 worker vs reference {PEER_WORDSIM:.3f}: difference {one - PEER_WORDSIM:+.3f}, "
         f"allowed ±{PEER_TOLERANCE}", abs(one - PEER_WORDSIM) <= PEER_TOLERANCE),
        (f"2 workers vs 1 worker: difference {two - one:+.3f}, allowed ±{WORKERS_TOLERANCE}",
         abs(two - one) <= WORKERS_TOLERANCE),
    ]
    for text, ok in checks:
        print(f"{'PASS' if ok else 'FAIL'}  {text}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
