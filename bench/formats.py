#!/usr/bin/env python3
"""word2vec-format loading speed against numpy.loadtxt on the same rows.

Writes a WORDS x DIM store (random normal float32 values) as word2vec text and binary with
KeyedVectors.save_word2vec_format, then times, in this process:

- KeyedVectors.load_word2vec_format(text) against numpy.loadtxt of the same file's number columns
  (the peer; its time covers only the numbers, not the words), printing the ratio;
- KeyedVectors.load_word2vec_format(binary) against reading the same bytes from the page cache
  (the disk-speed bound), printing the ratio.

Each timing is the best of --repeat runs.
"""

from __future__ import annotations

import argparse
import os
import resource
import sys
import tempfile
import time

import numpy as np


def cpu_seconds() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def best(runs: int, fn) -> float:
    return best_with_cpu(runs, fn)[0]


def best_with_cpu(runs: int, fn) -> tuple[float, float]:
    """(best wall seconds, CPU seconds of all threads in that run)."""
    results = []
    for _ in range(runs):
        cpu, start = cpu_seconds(), time.perf_counter()
        fn()
        results.append((time.perf_counter() - start, cpu_seconds() - cpu))
    return min(results)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--words", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--loadtxt-repeat", type=int, default=1, help="runs of numpy.loadtxt (slow)")
    parser.add_argument("--dir", default=None, help="where to write the files (default: a temporary directory)")
    args = parser.parse_args()

    from tarnivel import KeyedVectors

    with tempfile.TemporaryDirectory(dir=args.dir, prefix="tarnivel-formats-") as scratch:
        rng = np.random.default_rng(1)
        vectors = rng.standard_normal((args.words, args.dim), dtype=np.float32)
        words = [f"w{i}" for i in range(args.words)]
        # A store with these rows: through our own pair files, then the two word2vec files.
        prefix = os.path.join(scratch, "store")
        with open(prefix + ".vocab.json", "w", encoding="utf-8") as f:
            f.write("[" + ",".join(f'"{w}"' for w in words) + "]")
        np.save(prefix + ".npy", vectors)
        kv = KeyedVectors.load(prefix)
        text, binary = os.path.join(scratch, "v.txt"), os.path.join(scratch, "v.bin")
        t_save_text = best(1, lambda: kv.save_word2vec_format(text))
        t_save_bin = best(1, lambda: kv.save_word2vec_format(binary, binary=True))
        size_text, size_bin = os.path.getsize(text), os.path.getsize(binary)
        print(f"{args.words} x {args.dim}: text {size_text / 1e6:.0f} MB (saved in {t_save_text:.2f}s), "
              f"binary {size_bin / 1e6:.0f} MB (saved in {t_save_bin:.2f}s)")

        loaded = KeyedVectors.load_word2vec_format(text)
        assert loaded.index_to_key == words and np.array_equal(loaded.vectors, vectors), "text round trip"
        loaded = KeyedVectors.load_word2vec_format(binary, binary=True)
        assert np.array_equal(loaded.vectors, vectors), "binary round trip"
        del loaded

        ours_text, ours_cpu = best_with_cpu(args.repeat, lambda: KeyedVectors.load_word2vec_format(text))
        peer, peer_cpu = best_with_cpu(args.loadtxt_repeat, lambda: np.loadtxt(
            text, dtype=np.float32, skiprows=1, usecols=range(1, args.dim + 1), comments=None, delimiter=" "))
        # On a shared machine the wall times depend on the other processes; CPU seconds (all threads)
        # much less.
        print(f"text:   load_word2vec_format {ours_text:.3f}s ({ours_cpu:.2f} CPU s), numpy.loadtxt {peer:.3f}s "
              f"({peer_cpu:.2f} CPU s): {peer / ours_text:.1f}x faster, {peer_cpu / ours_cpu:.1f}x less CPU time "
              f"(load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)")

        def read_bytes() -> None:
            with open(binary, "rb") as f:
                while f.read(1 << 24):
                    pass

        ours_bin = best(args.repeat, lambda: KeyedVectors.load_word2vec_format(binary, binary=True))
        disk = best(args.repeat, read_bytes)
        print(f"binary: load_word2vec_format {ours_bin:.3f}s ({size_bin / ours_bin / 1e6:.0f} MB/s), "
              f"reading the bytes {disk:.3f}s ({size_bin / disk / 1e6:.0f} MB/s): {ours_bin / disk:.2f}x the read time")
        del kv
    return 0


if __name__ == "__main__":
    sys.exit(main())
