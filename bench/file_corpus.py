#!/usr/bin/env python3
"""Training from a file: a LineSentence read natively against the same corpus as a list.

    .venv/bin/python bench/file_corpus.py [--corpus PATH] [--reps 3] [--epochs 1]

Prints, for the corpus (default: ../shared/data/corpus_en.txt), each figure as the median of
--reps runs, the runs of the two peers alternating so that machine noise hits both alike:

1. conversion alone: the native reader turning the file into sentences of word indices (reading,
   UTF-8 check, splitting and lookup; and splitting plus lookup alone), against iterating the
   LineSentence in Python (what training from a file cost before);
2. `train(corpus, epochs=0)` (vocabulary pass and token pass) on the LineSentence, on the list, and
   on a LineSentence subclass that Python iterates (the path a file took before), as tokens per
   second per pass;
3. training with 1 worker (cbow, negative 5, vector_size 100, window 5, min_count 5) on the
   LineSentence against the list: the ratio of tokens/s, and whether the vectors are bit-identical;
   then the same with 2 workers (ratio only; threaded results are not reproducible).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import tarnivel  # noqa: E402
from tarnivel import LineSentence, Word2Vec, _core  # noqa: E402


class PythonLineSentence(LineSentence):
    """A LineSentence that the interpreter iterates (its own __iter__), as every file was before."""

    def __iter__(self):
        return super().__iter__()


def timed(f):
    t = time.perf_counter()
    result = f()
    return time.perf_counter() - t, result


def median_of(reps, runs):
    """Runs every callable of `runs` (name -> f) reps times, alternating; medians of the times."""
    times = {name: [] for name in runs}
    results = {}
    for _ in range(reps):
        for name, f in runs.items():
            seconds, results[name] = timed(f)
            times[name].append(seconds)
    return {name: statistics.median(v) for name, v in times.items()}, results


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", type=Path, default=common.DEFAULT_CORPUS)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=1)
    args = parser.parse_args()
    path = str(args.corpus)
    # The list peer shares one str object per distinct word, as a corpus held in memory would.
    sentences = common.load_corpus(args.corpus)
    assert sentences == list(LineSentence(path)), "the list must be the LineSentence's sentences"
    tokens = sum(len(s) for s in sentences)
    print(f"corpus {path}: {len(sentences):,} sentences, {tokens:,} tokens (all tokens/s below count every token)")
    for line in common.machine_info():
        print(line)

    # 1. Conversion alone, against the vocabulary of min_count 5.
    model = Word2Vec(sentences, epochs=0, verbose=False, **common.TRAINING)
    words = model.wv.index_to_key
    native = []
    python = []
    for _ in range(args.reps):
        native.append(_core._convert_file(path, words))
        python.append(timed(lambda: sum(len(s) for s in LineSentence(path)))[0])
    def rate(key):
        return tokens / statistics.median(r[key] for r in native) / 1e6

    iterate = statistics.median(python)
    print("\n1. conversion alone, one thread (file in the page cache); wall clock, and the thread's CPU time")
    print(f"   native read + check + split + lookup  {rate('seconds'):6.1f}M tokens/s  cpu {rate('cpu_seconds'):6.1f}M")
    print(f"   native split + lookup alone           {rate('converting'):6.1f}M tokens/s  cpu "
          f"{rate('cpu_converting'):6.1f}M   goal >= 30M")
    print(f"   iterating the LineSentence in Python  {tokens / iterate / 1e6:6.1f}M tokens/s (no lookup)")

    # 2. Vocabulary pass + token pass.
    def setup(corpus):
        return lambda: Word2Vec(corpus, epochs=0, verbose=False, **common.TRAINING)

    runs = {"file": setup(LineSentence(path)), "list": setup(sentences), "python": setup(PythonLineSentence(path))}
    times, _ = median_of(args.reps, runs)
    cpu = {}
    for name, f in runs.items():
        c0 = time.process_time()
        f()
        cpu[name] = time.process_time() - c0
    print("\n2. train(corpus, epochs=0): vocabulary pass + token pass (+ weight initialisation); wall, and CPU")
    for name, label in (("file", "LineSentence, native"), ("list", "list"), ("python", "LineSentence via Python")):
        print(f"   {label:24s} {times[name]:6.3f} s  {2 * tokens / times[name] / 1e6:6.1f}M tokens/s per pass"
              f"   cpu {cpu[name]:6.3f} s  {2 * tokens / cpu[name] / 1e6:6.1f}M")
    print(f"   native vs list {times['list'] / times['file']:.2f}x, vs Python reading "
          f"{times['python'] / times['file']:.2f}x   goal >= 20M tokens/s per pass")

    # 3. Training, 1 worker then 2.
    for workers in (1, 2):
        def run(corpus, workers=workers):
            def f():
                tarnivel.set_seed(11)
                m = Word2Vec(corpus, epochs=0, verbose=False, workers=workers, **common.TRAINING)
                seconds, _ = timed(lambda: m.train(corpus, epochs=args.epochs))
                return seconds, m.wv.vectors
            return f

        _, results = median_of(1, {"warm": run(sentences)})
        train_times = {"file": [], "list": []}
        vectors = {}
        for _ in range(args.reps):
            for name, corpus in (("file", LineSentence(path)), ("list", sentences)):
                seconds, vectors[name] = run(corpus)()
                train_times[name].append(seconds)
        t_file = statistics.median(train_times["file"])
        t_list = statistics.median(train_times["list"])
        ratios = [b / a for a, b in zip(train_times["file"], train_times["list"])]
        print(f"\n3. training, {workers} worker{'s' if workers > 1 else ''}, cbow-ns, {args.epochs} epoch(s) "
              f"(whole train call on a built vocabulary)")
        print(f"   LineSentence {args.epochs * tokens / t_file / 1e6:6.3f}M tokens/s, "
              f"list {args.epochs * tokens / t_list / 1e6:6.3f}M tokens/s")
        print(f"   file/list speed {t_list / t_file:.3f}x (paired runs: "
              + ", ".join(f"{r:.3f}" for r in ratios) + ")" + ("   goal >= 0.97x" if workers == 1 else ""))
        if workers == 1:
            print(f"   bit-identical vectors: {np.array_equal(vectors['file'], vectors['list'])}")


if __name__ == "__main__":
    main()
