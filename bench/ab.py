#!/usr/bin/env python3
"""A/B timing of training builds in one run, so that machine noise hits every build alike.

A build is a directory that holds a `tarnivel` package (with its `_core` extension), for example a
copy of the installed one made before a change:

    cp -r .venv/lib/python3*/site-packages/tarnivel /tmp/before/
    make install
    .venv/bin/python bench/ab.py --build before=/tmp/before --build after=.venv \\
        --modes cbow-ns,sg-ns --settings l100-w1 --epochs 1 --reps 3

`.venv` stands for the installed package. Cells run in fresh processes, the builds alternating
within each repetition; every cell builds the vocabulary with a train call of 0 epochs and then
times one train call. Prints the median tokens/s per build and the ratio of each build to the first.
"""

from __future__ import annotations

import argparse
import glob
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

SETTINGS = {
    "l100-w1": ([100], 1),
    "levels-w1": (None, 1),
    "levels-w2": (None, 2),
    "l100-w2": ([100], 2),
}


def package_dir(entry: str) -> str:
    """The directory to put first on sys.path for a build given as a path."""
    path = Path(entry)
    if (path / "pyvenv.cfg").exists():
        found = glob.glob(str(path / "lib" / "python3*" / "site-packages"))
        if not found:
            raise SystemExit(f"no site-packages under {path}")
        return found[0]
    return str(path)


def run_cell(mode: str, setting: str, epochs: int, corpus_path: Path) -> dict:
    from tarnivel import Word2Vec, set_seed

    sg, hs, negative = common.MODES[mode]
    levels, workers = SETTINGS[setting]
    corpus = common.load_corpus(corpus_path)
    set_seed(1)
    model = Word2Vec(**common.TRAINING, workers=workers, sg=sg, hs=hs, negative=negative,
                     levels=levels, epochs=epochs, verbose=False)
    model.train(corpus, epochs=0)
    tokens = common.tokens_in_vocab(corpus, set(model.wv.index_to_key))
    t0 = time.perf_counter()
    model.train(corpus)
    seconds = time.perf_counter() - t0
    checksum = float(abs(model.wv.vectors).sum()) if workers == 1 else None
    return {"tokens_per_s": tokens * epochs / seconds, "peak_rss_mib": common.peak_rss_mib(),
            "checksum": checksum}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", required=True, metavar="NAME=DIR")
    parser.add_argument("--modes", default=",".join(common.MODES))
    parser.add_argument("--settings", default="l100-w1")
    parser.add_argument("--epochs", type=int, default=1)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--corpus", type=Path, default=common.DEFAULT_CORPUS)
    parser.add_argument("--cell", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.cell:
        print(json.dumps(run_cell(*args.cell, args.epochs, args.corpus)))
        return 0

    builds = []
    for entry in args.build:
        name, _, path = entry.partition("=")
        builds.append((name, package_dir(path)))
    results: dict = {}
    for mode in args.modes.split(","):
        for setting in args.settings.split(","):
            for rep in range(args.reps):
                for name, path in builds:
                    command = [sys.executable, __file__, "--build", "x=.", "--cell", mode, setting,
                               "--epochs", str(args.epochs), "--corpus", str(args.corpus)]
                    env = {"PYTHONPATH": path, "PATH": "/usr/bin:/bin"}
                    out = subprocess.run(command, stdout=subprocess.PIPE, text=True, env=env,
                                         check=True).stdout
                    cell = json.loads(out.strip().splitlines()[-1])
                    results.setdefault((mode, setting), {}).setdefault(name, []).append(cell)
                    print(f"  {mode} {setting} {name} rep {rep + 1}: {cell['tokens_per_s']:,.0f} tokens/s",
                          file=sys.stderr, flush=True)
    print(f"{'mode':<8} {'setting':<10} " + " ".join(f"{n:>20}" for n, _ in builds) + "  checksums")
    for (mode, setting), by_build in results.items():
        base = statistics.median(c["tokens_per_s"] for c in by_build[builds[0][0]])
        cols, sums = [], set()
        for name, _ in builds:
            rate = statistics.median(c["tokens_per_s"] for c in by_build[name])
            cols.append(f"{rate:>11,.0f} ({rate / base:.2f}x)")
            sums.update(c["checksum"] for c in by_build[name])
        same = "-" if None in sums else ("equal" if len(sums) == 1 else "DIFFER")
        print(f"{mode:<8} {setting:<10} " + " ".join(f"{c:>20}" for c in cols) + f"  {same}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
