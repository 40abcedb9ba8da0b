#!/usr/bin/env python3
"""How training speed scales with threads: tokens/s per worker count, with and without row locks.

For each mode (CBOW/skip-gram x negative sampling/hierarchical softmax), each levels setting
(levels=[100] and the default levels) and each worker count, a fresh process loads the corpus,
builds the vocabulary with a train call of 0 epochs and times one train call of --epochs epochs.
tokens/s = in-vocabulary tokens of one epoch x epochs / seconds of that call (as bench/run.py).
Worker counts of 2 and more run twice: with the default striped row locks and without them
(TARNIVEL_ROW_LOCKS=0); 1 worker is the sequential trainer and the base of every speed-up.
Counts above the machine's usable logical processors are skipped with a note.

Speed-ups are medians of ratios taken within one repetition (a mode's cells take turns, so a
2-worker cell and the 1-worker cell it is divided by see the machine in the same state). The
reference library's figures come from the data directory's peer.json (1 and 2 workers, the
default 5 epochs; compare with --epochs 5).

    python bench/scale.py                                  # quick: 1 epoch, workers 1,2
    python bench/scale.py --epochs 5 --reps 3              # the full table on this machine
    python bench/scale.py --workers 1,2,4,8,16 --modes sg-hs,cbow-ns --locks unlocked
    python bench/scale.py --corpus-kind file               # read the corpus file with LineSentence
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

LEVELS = {"100": [100], "default": None}  # None: the model's default levels (25, 50, 100)
LOCKS = ("striped", "unlocked")

# Goals of the scaling work on a 2-core machine, as ratios.
GOAL_UNLOCKED_2W = 1.8        # unlocked 2 workers / own 1 worker, every mode and levels setting
GOAL_UNLOCKED_VS_PEER = 1.3   # unlocked 2 workers, levels [100], / the reference library's 2 workers
GOAL_STRIPED_2W = 1.0         # striped 2 workers / own 1 worker


def load_corpus(kind: str, path: Path):
    """The corpus object to train on: a list of word lists in memory, or a file read by LineSentence
    on every pass (the file-corpus path)."""
    if kind == "list":
        return common.load_corpus(path)
    from tarnivel import LineSentence

    return LineSentence(str(path))


def run_cell(mode: str, levels_key: str, workers: int, epochs: int, kind: str, path: Path) -> dict:
    """One cell in this process: vocabulary first (untimed), then one timed train call."""
    from tarnivel import Word2Vec, set_seed

    sg, hs, negative = common.MODES[mode]
    corpus = load_corpus(kind, path)
    set_seed(1)
    model = Word2Vec(**common.TRAINING, workers=workers, sg=sg, hs=hs, negative=negative,
                     levels=LEVELS[levels_key], epochs=epochs, verbose=False)
    model.train(corpus, epochs=0)
    vocab = set(model.wv.index_to_key)
    counted = corpus if kind == "list" else common.load_corpus(path)
    tokens = common.tokens_in_vocab(counted, vocab)
    del counted
    start = time.perf_counter()
    model.train(corpus)
    seconds = time.perf_counter() - start
    return {"tokens_per_s": tokens * epochs / seconds, "seconds": seconds, "tokens": tokens}


def spawn_cell(mode: str, levels_key: str, workers: int, locks: str, args) -> float | None:
    """tokens/s of one cell in a fresh process, or None when it failed."""
    command = [sys.executable, str(Path(__file__).resolve()), "--cell", mode, levels_key, str(workers),
               "--epochs", str(args.epochs), "--corpus", str(args.corpus),
               "--corpus-kind", args.corpus_kind]
    env = dict(os.environ)
    env.pop("TARNIVEL_POOL_THREADS", None)
    env.pop("TARNIVEL_ROW_LOCKS", None)
    if locks == "unlocked":
        env["TARNIVEL_ROW_LOCKS"] = "0"
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True, env=env)
    if result.returncode != 0:
        print(f"  {mode} levels {levels_key} {workers}w {locks}: failed with status {result.returncode}",
              file=sys.stderr)
        return None
    cell = json.loads(result.stdout.strip().splitlines()[-1])
    print(f"  {mode} levels {levels_key} {workers}w {locks}: {cell['seconds']:.2f}s, "
          f"{cell['tokens_per_s']:,.0f} tokens/s", file=sys.stderr, flush=True)
    return cell["tokens_per_s"]


def usable_cores() -> int:
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def fmt_rate(value: float | None) -> str:
    return f"{value:,.0f}" if value is not None else "-"


def fmt_ratio(value: float | None, goal: float | None = None) -> str:
    if value is None:
        return "-"
    text = f"{value:.2f}x"
    if goal is not None:
        text += "" if value >= goal else " (!)"
    return text


def median_or_none(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def paired(runs: dict, key, base_key) -> float | None:
    """Median over repetitions of run[key] / run[base_key] within the same repetition."""
    ratios = [rep[key] / rep[base_key] for rep in runs
              if rep.get(key) is not None and rep.get(base_key) is not None]
    return statistics.median(ratios) if ratios else None


def report(results: dict, workers: list[int], args) -> None:
    locks = args.locks
    print()
    print(f"tokens/s (median of {args.reps} run(s)) and speed-up over 1 worker (median of ratios within "
          f"a run); {args.epochs} epoch(s), corpus {args.corpus_kind}; (!) marks a ratio below its goal")
    columns = ["mode", "levels", "peer 1w", "peer 2w", "1w"]
    for w in workers[1:]:
        for lock in locks:
            columns.append(f"{lock} {w}w (x 1w)")
    rows = []
    for (mode, levels_key), runs in results.items():
        peer1 = common.PEER_TOKENS_PER_S.get((mode, 1))
        peer2 = common.PEER_TOKENS_PER_S.get((mode, 2))
        row = [mode, f"[{levels_key}]" if levels_key != "default" else "default",
               fmt_rate(peer1), fmt_rate(peer2), fmt_rate(median_or_none(r.get((1, "-")) for r in runs))]
        for w in workers[1:]:
            for lock in locks:
                rate = median_or_none(r.get((w, lock)) for r in runs)
                goal = None
                if w == 2:
                    goal = GOAL_UNLOCKED_2W if lock == "unlocked" else GOAL_STRIPED_2W
                ratio = paired(runs, (w, lock), (1, "-"))
                row.append(f"{fmt_rate(rate)} ({fmt_ratio(ratio, goal)})")
        rows.append(row)
    widths = [max(len(c), *(len(r[i]) for r in rows)) for i, c in enumerate(columns)]
    print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(v.ljust(w) for v, w in zip(row, widths)))

    if 2 not in workers:
        return
    print()
    print("Goals with 2 workers (met / below):")
    for (mode, levels_key), runs in results.items():
        parts = []
        if "unlocked" in locks:
            ratio = paired(runs, (2, "unlocked"), (1, "-"))
            if ratio is not None:
                parts.append(f"unlocked/1w {ratio:.2f}x {'met' if ratio >= GOAL_UNLOCKED_2W else 'below'} "
                             f"{GOAL_UNLOCKED_2W}x")
            peer2 = common.PEER_TOKENS_PER_S.get((mode, 2))
            rate = median_or_none(r.get((2, "unlocked")) for r in runs)
            if levels_key == "100" and peer2 and rate is not None:
                vs = rate / peer2
                parts.append(f"unlocked/peer 2w {vs:.2f}x {'met' if vs >= GOAL_UNLOCKED_VS_PEER else 'below'} "
                             f"{GOAL_UNLOCKED_VS_PEER}x" + ("" if args.epochs == 5 else " (peer: 5 epochs)"))
        if "striped" in locks:
            ratio = paired(runs, (2, "striped"), (1, "-"))
            if ratio is not None:
                parts.append(f"striped/1w {ratio:.2f}x {'met' if ratio >= GOAL_STRIPED_2W else 'below'} "
                             f"{GOAL_STRIPED_2W}x")
        if parts:
            print(f"  {mode:<8} {levels_key:<8} " + "; ".join(parts))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--workers", default="1,2", help="comma-separated worker counts (default 1,2)")
    parser.add_argument("--modes", default=",".join(common.MODES),
                        help=f"comma-separated subset of {','.join(common.MODES)}")
    parser.add_argument("--levels", default=",".join(LEVELS),
                        help="comma-separated subset of 100 (levels=[100]) and default (default both)")
    parser.add_argument("--locks", default=",".join(LOCKS),
                        help="comma-separated subset of striped (default row locks) and unlocked "
                             "(TARNIVEL_ROW_LOCKS=0) for 2 workers and more")
    parser.add_argument("--epochs", type=int, default=1, help="epochs per timed call (default 1; 5 as peer.json)")
    parser.add_argument("--reps", type=int, default=1, help="repetitions of every cell (default 1)")
    parser.add_argument("--corpus", type=Path, default=common.DEFAULT_CORPUS)
    parser.add_argument("--corpus-kind", choices=("list", "file"), default="list",
                        help="list: the corpus as a Python list in memory (default); file: "
                             "LineSentence over the file on every pass")
    parser.add_argument("--json", type=Path, default=None, help="also write the raw results here")
    parser.add_argument("--cell", nargs=3, metavar=("MODE", "LEVELS", "WORKERS"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.cell:
        mode, levels_key, workers = args.cell
        print(json.dumps(run_cell(mode, levels_key, int(workers), args.epochs, args.corpus_kind, args.corpus)))
        return 0

    try:
        requested = sorted({int(w) for w in args.workers.split(",") if w})
    except ValueError:
        parser.error(f"invalid --workers: {args.workers!r}")
    modes = [m for m in args.modes.split(",") if m]
    levels = [lv for lv in args.levels.split(",") if lv]
    args.locks = [lk for lk in args.locks.split(",") if lk]
    unknown = ([m for m in modes if m not in common.MODES] + [lv for lv in levels if lv not in LEVELS]
               + [lk for lk in args.locks if lk not in LOCKS])
    if unknown:
        parser.error(f"unknown mode, levels or locks: {', '.join(unknown)}")
    if not requested or requested[0] < 1:
        parser.error("worker counts must be positive")
    if not args.corpus.is_file():
        parser.error(f"corpus not found: {args.corpus}")

    for line in common.machine_info():
        print(line)
    cores = usable_cores()
    workers = [w for w in requested if w <= cores]
    skipped = [w for w in requested if w > cores]
    if 1 not in workers:
        workers.insert(0, 1)  # the base of every speed-up
    print(f"corpus: {args.corpus} ({args.corpus_kind}); vector_size 100, window 5, min_count 5, "
          f"{args.epochs} epoch(s), alpha 0.025 to 0.0001, negative 5 (NS) / 0 (HS), no subsampling; "
          f"{args.reps} repetition(s); workers {','.join(map(str, workers))}")
    if skipped:
        print(f"note: skipped worker counts {','.join(map(str, skipped))}: more than the {cores} usable "
              f"logical processors of this machine")
    if not common.PEER_TOKENS_PER_S:
        print(f"note: no reference figures ({common.PEER_FILE} not found)")
    sys.stdout.flush()

    results: dict = {}
    failed = False
    for mode in modes:
        for levels_key in levels:
            runs = results.setdefault((mode, levels_key), [])
            for _ in range(args.reps):
                run = {(1, "-"): spawn_cell(mode, levels_key, 1, "-", args)}
                for w in workers[1:]:
                    for lock in args.locks:
                        run[(w, lock)] = spawn_cell(mode, levels_key, w, lock, args)
                failed = failed or any(v is None for v in run.values())
                runs.append(run)
    report(results, workers, args)
    if args.json:
        raw = [{"mode": mode, "levels": levels_key,
                "runs": [{f"{w}w {lock}": rate for (w, lock), rate in run.items()} for run in runs]}
               for (mode, levels_key), runs in results.items()]
        args.json.write_text(json.dumps(raw, indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
