#!/usr/bin/env python3
"""Analogy evaluation speed: 19,544 questions (the size of the usual benchmark) over a 30,000-word store.

The questions are generated from the store's own words (so none is skipped): sections of
"a b c d" lines drawn at random from the first --words words. The store is random normal vectors of
--dim components unless --prefix names saved vectors. Prints the time of evaluate_word_analogies at
--level, and, as the peer, the time of answering a sample of the same questions one by one with
most_similar's exact sequential scan (the way without batched queries), extrapolated to all of them,
with the ratio.
"""

from __future__ import annotations

import argparse
import json
import os
import resource
import sys
import tempfile
import time

import numpy as np

QUESTIONS = 19544


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", default=None, help="saved vectors to use (default: a random store)")
    parser.add_argument("--words", type=int, default=30000)
    parser.add_argument("--dim", type=int, default=100)
    parser.add_argument("--level", type=int, default=100)
    parser.add_argument("--questions", type=int, default=QUESTIONS)
    parser.add_argument("--sample", type=int, default=20, help="questions answered one by one for the peer")
    parser.add_argument("--mmap", action="store_true", help="memory-map the store")
    args = parser.parse_args()

    from tarnivel import KeyedVectors

    with tempfile.TemporaryDirectory(prefix="tarnivel-analogy-") as scratch:
        prefix = args.prefix
        if prefix is None:
            prefix = os.path.join(scratch, "store")
            rng = np.random.default_rng(7)
            with open(prefix + ".vocab.json", "w", encoding="utf-8") as f:
                json.dump([f"w{i}" for i in range(args.words)], f)
            np.save(prefix + ".npy", rng.standard_normal((args.words, args.dim), dtype=np.float32))
        kv = KeyedVectors.load(prefix, mmap="r" if args.mmap else None)
        words = kv.index_to_key[: args.words]

        rng = np.random.default_rng(11)
        picks = rng.integers(0, len(words), size=(args.questions, 4))
        path = os.path.join(scratch, "questions.txt")
        with open(path, "w", encoding="utf-8") as f:
            for i, row in enumerate(picks):
                if i % 1000 == 0:
                    f.write(f": section{i // 1000}\n")
                f.write(" ".join(words[j] for j in row) + "\n")

        print(f"store: {len(kv)} words x {kv.vector_size} dims ({'mapped' if args.mmap else 'owned'}), "
              f"{args.questions} questions, level {args.level}, restrict_vocab {len(words)}")
        cpu_start, start = cpu_seconds(), time.perf_counter()
        accuracy, sections = kv.evaluate_word_analogies(path, level=args.level, restrict_vocab=len(words))
        batched, cpu = time.perf_counter() - start, cpu_seconds() - cpu_start
        answered = len(sections[-1]["correct"]) + len(sections[-1]["incorrect"])
        # On a shared machine the wall time depends on the other processes; the CPU time (all threads)
        # does much less.
        print(f"evaluate_word_analogies: {batched:.2f}s ({cpu:.2f}s of CPU time on {os.cpu_count()} cores, "
              f"load average {os.getloadavg()[0]:.1f}) for {answered} answered questions "
              f"({sections[-1]['skipped']} skipped), accuracy {accuracy:.4f}")

        # Peer: one exact sequential scan per question (most_similar of one word costs the same scan
        # as one query vector would).
        sample = [words[j] for j in picks[: args.sample, 0]]
        start = time.perf_counter()
        for word in sample:
            kv.most_similar(word, topn=1, level=args.level)
        per_question = (time.perf_counter() - start) / max(1, len(sample))
        one_by_one = per_question * args.questions
        print(f"one sequential scan per question: {per_question * 1e3:.1f} ms each, "
              f"{one_by_one:.1f}s for all: batched is {one_by_one / batched:.1f}x faster")
    return 0


if __name__ == "__main__":
    sys.exit(main())
