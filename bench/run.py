#!/usr/bin/env python3
"""Training throughput, memory and word-similarity quality, for every mode and setting in one run.

For each mode (CBOW/skip-gram x negative sampling/hierarchical softmax) and setting (levels=[100] on
1 worker, the default levels on 1 worker, the default levels on 2 workers, and the default levels with
the 2-worker kernels on a single pool thread; and with the fast arithmetic: levels=[100] and the default
levels on 1 worker, levels=[100] on 2 workers without row locks), a fresh process loads the
corpus into memory, builds the vocabulary with a train call of 0 epochs, and then times the train call
of the epochs. tokens/s = in-vocabulary tokens of one epoch x epochs / seconds of that call. Every
repetition runs in its own process (so that its peak memory is its own), and a mode's settings take
turns repetition by repetition; the ratios between settings are medians of per-repetition ratios.
A limit table sets each cell's floating-point work per token, as the algorithm counts it, against one
core's measured peak rate of fused multiply-adds.

    python bench/run.py                      # everything, 3 repetitions
    python bench/run.py --quick --modes sg-ns --settings l100-w1
    python bench/run.py --settings l100-w1,levels-w1,fast-l100-w1,fast-levels-w1,fast-w2-nolocks
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import common

FAST = {"TARNIVEL_ARITHMETIC": "fast"}
SETTINGS = {
    # name: (levels, workers, pool threads (None: one per processor), description, environment)
    "l100-w1": ([100], 1, None, "levels=[100], 1 worker", {}),
    "levels-w1": (None, 1, None, "levels=[25,50,100], 1 worker", {}),
    "levels-w2": (None, 2, None, "levels=[25,50,100], 2 workers", {}),
    # The multi-worker (locked) kernels on one pool thread, the reader on the other core: against
    # levels-w1 it gives what a thread loses to the row locks alone, and twice that ratio bounds what
    # two threads can gain before they contend for anything.
    "levels-p1": (None, 2, 1, "levels=[25,50,100], 2-worker kernels on 1 pool thread", {}),
    # The fast arithmetic (TARNIVEL_ARITHMETIC=fast), and with it two workers without row locks.
    "fast-l100-w1": ([100], 1, None, "fast, levels=[100], 1 worker", FAST),
    "fast-levels-w1": (None, 1, None, "fast, levels=[25,50,100], 1 worker", FAST),
    "fast-w2-nolocks": ([100], 2, None, "fast, levels=[100], 2 workers, no row locks",
                        {**FAST, "TARNIVEL_ROW_LOCKS": "0"}),
}

# Targets of the speed work, as ratios: vs the reference library's figure for the same number of
# workers, and 2 workers vs our own 1 worker.
GOAL_VS_PEER = {"l100-w1": {"cbow": 2.0, "sg": 1.5}, "levels-w1": {"cbow": 1.2, "sg": 1.0},
                "fast-l100-w1": {"cbow": 2.0, "sg": 2.0}, "fast-levels-w1": {"cbow": 1.3, "sg": 1.3},
                "fast-w2-nolocks": {"cbow": 1.3, "sg": 1.3}}
GOAL_TWO_WORKERS = 1.8


def huffman_mean_length(counts: list[int]) -> float:
    """Mean code length of a Huffman code over the counts, weighted by them (the same for every
    optimal code, whatever its ties)."""
    import heapq

    if len(counts) < 2:
        return 0.0
    heap = list(counts)
    heapq.heapify(heap)
    total = 0
    while len(heap) > 1:
        merged = heapq.heappop(heap) + heapq.heappop(heap)
        total += merged  # every word below the merge gains one code bit
        heapq.heappush(heap, merged)
    return total / sum(counts)


def work_per_token(mode: str, corpus: list[list[str]], vocab: set[str], levels: list[int],
                   window: int, negative: int) -> dict:
    """Floating-point operations per trained token that the algorithm itself asks for (a fused
    multiply-add counts two): per level of width l, a dot of 2l and two row updates of 2l each per
    output row (target or tree node), plus for CBOW the hidden sum (l per context word), its mean (l)
    and the error spread back (2l per context word), and for skip-gram softmax the error added to
    the input row (l). The reduced window b is uniform on 0..window, as the sentence routine draws it."""
    import collections

    lengths = collections.Counter()
    counts = collections.Counter()
    for sentence in corpus:
        kept = [w for w in sentence if w in vocab]
        lengths[len(kept)] += 1
        counts.update(kept)
    tokens = contexts = centred = 0.0
    for length, times in lengths.items():
        i = np.arange(length)
        for b in range(window + 1):
            ctx = np.minimum(i, b) + np.minimum(length - 1 - i, b)
            contexts += times * ctx.sum() / (window + 1)
            centred += times * np.count_nonzero(ctx) / (window + 1)
        tokens += times * length
    ctx, active, widths = contexts / tokens, centred / tokens, float(sum(levels))
    path = huffman_mean_length(list(counts.values()))
    outputs = negative + 1 if "-ns" in mode else path
    if mode.startswith("sg"):
        flops = ctx * (outputs * 6 * widths + (0 if "-ns" in mode else widths))
    else:
        flops = active * widths * (1 + 6 * outputs) + 3 * ctx * widths
    return {"flops_per_token": flops, "contexts_per_token": ctx, "outputs": outputs}


def run_cell(mode: str, setting: str, reps: int, epochs: int, corpus_path: Path, data: Path) -> dict:
    """One cell, in this process; returns its measurements."""
    from tarnivel import Word2Vec, set_seed

    sg, hs, negative = common.MODES[mode]
    levels, workers, _, _, _ = SETTINGS[setting]
    start = time.perf_counter()
    corpus = common.load_corpus(corpus_path)
    load_s = time.perf_counter() - start
    baseline_mib = common.current_rss_mib()

    seconds, build_s, model, tokens = [], [], None, 0
    for rep in range(reps):
        model = None  # free the previous model before building the next
        set_seed(1 + rep)
        model = Word2Vec(**common.TRAINING, workers=workers, sg=sg, hs=hs, negative=negative,
                         levels=levels, epochs=epochs, verbose=False)
        t0 = time.perf_counter()
        model.train(corpus, epochs=0)  # vocabulary, output structure, weights
        build_s.append(time.perf_counter() - t0)
        if rep == 0:
            tokens = common.tokens_in_vocab(corpus, set(model.wv.index_to_key))
        # Memory of the first train call: the peak is reset just before it, so the copies this
        # script makes (wv for the token count and the scores) do not count. Later repetitions
        # start from a heap that earlier models have grown, so they are not measured.
        if rep == 0:
            gc.collect()
            model_mib = common.current_rss_mib() - baseline_mib
            peak_reset = common.reset_peak_rss()
        t0 = time.perf_counter()
        model.train(corpus)
        seconds.append(time.perf_counter() - t0)
        if rep == 0:
            train_peak_mib = common.window_peak_rss_mib() - baseline_mib if peak_reset else float("nan")
        print(f"  {mode} {setting} rep {rep + 1}/{reps}: {seconds[-1]:.2f}s, "
              f"{tokens * epochs / seconds[-1]:,.0f} tokens/s", file=sys.stderr, flush=True)
    # The fixed cost inside every train call (count update and token passes over the corpus, output
    # setup), measured as a call of 0 epochs on the trained model.
    t0 = time.perf_counter()
    model.train(corpus, epochs=0)
    overhead_s = time.perf_counter() - t0

    kv = model.wv
    vocab = len(kv.index_to_key)
    rows_out = 2 * vocab - 1 if hs else vocab
    return {
        "mode": mode, "setting": setting, "workers": workers, "epochs": epochs, "reps": reps,
        "vocab": vocab, "tokens_per_epoch": tokens,
        "seconds": seconds, "build_s": statistics.median(build_s), "overhead_s": overhead_s,
        "load_s": load_s,
        "tokens_per_s": [tokens * epochs / s for s in seconds],
        "peak_rss_mib": common.peak_rss_mib(), "baseline_rss_mib": baseline_mib,
        "model_mib": model_mib, "train_peak_mib": train_peak_mib,
        "matrices_mib": (vocab + rows_out) * 100 * 4 / 2**20,
        "quality": common.evaluate(kv, levels=[25, 50] if levels is None else None, data=data),
        "work": work_per_token(mode, corpus, set(kv.index_to_key), levels or [25, 50, 100],
                               common.TRAINING["window"], negative),
    }


def crosscore_probe() -> list[str] | None:
    """Command that prints the cross-core round trip in ns (bench/crosscore.cpp), or None without g++."""
    out = Path(tempfile.gettempdir()) / f"tarnivel-crosscore-{os.getpid()}"
    source = Path(__file__).resolve().parent / "crosscore.cpp"
    try:
        subprocess.run(["g++", "-O2", "-pthread", str(source), "-o", str(out)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError):
        return None
    return [str(out)]


def fma_peak_gflops() -> float:
    """One core's peak GFLOP/s of fused multiply-adds in registers (bench/fma_peak.cpp), NaN without g++."""
    out = Path(tempfile.gettempdir()) / f"tarnivel-fma-peak-{os.getpid()}"
    source = Path(__file__).resolve().parent / "fma_peak.cpp"
    try:
        subprocess.run(["g++", "-O2", "-march=native", "-ffp-contract=fast", str(source), "-o", str(out)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return max(float(subprocess.run([str(out)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True, check=True).stdout.split()[0]) for _ in range(3))
    except (OSError, ValueError, IndexError, subprocess.CalledProcessError):
        return float("nan")
    finally:
        out.unlink(missing_ok=True)


def crosscore_ns(probe: list[str] | None) -> float:
    if probe is None:
        return float("nan")
    try:
        return float(subprocess.run(probe, stdout=subprocess.PIPE, text=True, check=True).stdout)
    except (OSError, ValueError, subprocess.CalledProcessError):
        return float("nan")


def spawn_cell(mode: str, setting: str, args: argparse.Namespace) -> dict | None:
    """One repetition of a cell in a fresh process."""
    command = [sys.executable, str(Path(__file__).resolve()), "--cell", mode, setting,
               "--reps", "1", "--epochs", str(args.epochs), "--corpus", str(args.corpus),
               "--data", str(args.data)]
    env = dict(os.environ)
    for name in ("TARNIVEL_POOL_THREADS", "TARNIVEL_ARITHMETIC", "TARNIVEL_ROW_LOCKS"):
        env.pop(name, None)
    env.update(SETTINGS[setting][4])
    threads = SETTINGS[setting][2]
    if threads is not None:
        env["TARNIVEL_POOL_THREADS"] = str(threads)
    result = subprocess.run(command, stdout=subprocess.PIPE, text=True, env=env)
    if result.returncode != 0:
        print(f"  {mode} {setting}: failed with status {result.returncode}", file=sys.stderr)
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def fmt_ratio(value: float | None, goal: float | None = None) -> str:
    if value is None:
        return "-"
    text = f"{value:.2f}x"
    if goal is not None:
        text += f" ({'met' if value >= goal else 'below'} {goal:.1f}x)"
    return text


def crosscore_range(cell: dict) -> str:
    values = [v for v in cell.get("crosscore_ns", []) if v == v]  # without NaN
    return f"{min(values):.0f}-{max(values):.0f}" if values else "-"


def paired_ratio(cells: dict, mode: str, over: str, under: str) -> float | None:
    """Median of the repetition-by-repetition ratios of two settings of a mode (they took turns)."""
    if (mode, over) not in cells or (mode, under) not in cells:
        return None
    pairs = zip(cells[(mode, over)]["tokens_per_s"], cells[(mode, under)]["tokens_per_s"])
    return statistics.median(a / b for a, b in pairs)


def report(cells: dict, args: argparse.Namespace) -> None:
    print()
    print(f"Throughput: median of {args.reps} run(s); tokens/s = in-vocabulary tokens x {args.epochs} "
          f"epochs / seconds of train(); setup = fixed cost of a train call (0 epochs)")
    header = (f"{'mode':<8} {'setting':<16} {'tokens/s':>10} {'min..max':>19} {'vs peer':>20} "
              f"{'setup s':>7} {'peak MiB':>8} {'model':>6} {'train':>6} {'ratio':>5} {'matrices':>8} {'WS353 (pairs)':>14} "
              f"{'MEN (pairs)':>13} {'x-core ns':>11}")
    print(header)
    print("-" * len(header))
    for (mode, setting), cell in cells.items():
        rates = cell["tokens_per_s"]
        median = statistics.median(rates)
        peer = common.PEER_TOKENS_PER_S.get((mode, cell["workers"])) if setting != "levels-p1" else None
        family = "sg" if mode.startswith("sg") else "cbow"
        goal = GOAL_VS_PEER.get(setting, {}).get(family)
        quality = cell["quality"]["full"]
        ws, ws_n = quality["wordsim"]
        men, men_n = quality["men"]
        print(f"{mode:<8} {setting:<16} {median:>10,.0f} {f'{min(rates):,.0f}..{max(rates):,.0f}':>19} "
              f"{fmt_ratio(median / peer if peer else None, goal):>20} {cell['overhead_s']:>7.2f} "
              f"{cell['peak_rss_mib']:>8.0f} {cell['model_mib']:>6.1f} {cell['train_peak_mib']:>6.1f} "
              f"{cell['train_peak_mib'] / cell['model_mib']:>5.2f} "
              f"{cell['matrices_mib']:>8.1f} {f'{ws:.3f} ({ws_n})':>14} {f'{men:.3f} ({men_n})':>13} "
              f"{crosscore_range(cell):>11}")
    print()
    print("peak MiB: peak resident memory of the cell's process (with the copies made for scoring); "
          "model: resident memory added by building the vocabulary and weights (vocabulary, matrices, "
          "tables); train: peak resident memory during the timed train call, above the loaded corpus; "
          "ratio: train / model; matrices: input + output weights; x-core ns: range of the cross-core "
          "cache-line round trip measured before and after each repetition (bench/crosscore.cpp): "
          "multi-worker speed follows it")

    print()
    peak = args.fma_peak
    print(f"Limit: the algorithm's floating-point work per trained token (bench/run.py work_per_token) and the "
          f"rate reached, against one core's measured peak of {peak:.1f} GFLOP/s (bench/fma_peak.cpp) times the "
          f"workers")
    print(f"{'mode':<8} {'setting':<16} {'tokens/s':>10} {'flops/token':>12} {'outputs':>8} {'GFLOP/s':>8} "
          f"{'of peak':>8}")
    for (mode, setting), cell in cells.items():
        median = statistics.median(cell["tokens_per_s"])
        work = cell["work"]
        gflops = median * work["flops_per_token"] / 1e9
        threads = SETTINGS[setting][2] or cell["workers"]
        print(f"{mode:<8} {setting:<16} {median:>10,.0f} {work['flops_per_token']:>12,.0f} {work['outputs']:>8.2f} "
              f"{gflops:>8.2f} {gflops / (peak * threads):>8.1%}")
    print("outputs: output rows per example (negative + 1, or the mean Huffman path length)")

    print()
    print("Fast arithmetic against the exact (median of per-repetition ratios):")
    for mode in common.MODES:
        parts = [f"{fast} / {exact} {fmt_ratio(paired_ratio(cells, mode, fast, exact))}"
                 for fast, exact in (("fast-l100-w1", "l100-w1"), ("fast-levels-w1", "levels-w1"))
                 if (mode, fast) in cells and (mode, exact) in cells]
        if parts:
            print(f"  {mode:<8} {'; '.join(parts)}")

    print()
    print("Ratios between settings: median over repetitions of the ratio within each repetition")
    print(f"{'mode':<8} {'default levels / [100] (1 worker)':>34} {'2 workers / 1 worker':>26} "
          f"{'locked 1 thread / 1 worker':>27} {'x2':>6} {'peer 2w / 1w':>13}")
    for mode in common.MODES:
        levels_ratio = paired_ratio(cells, mode, "levels-w1", "l100-w1")
        workers_ratio = paired_ratio(cells, mode, "levels-w2", "levels-w1")
        locked_ratio = paired_ratio(cells, mode, "levels-p1", "levels-w1")
        peer1, peer2 = common.PEER_TOKENS_PER_S.get((mode, 1)), common.PEER_TOKENS_PER_S.get((mode, 2))
        if levels_ratio is None and workers_ratio is None and locked_ratio is None:
            continue
        print(f"{mode:<8} {fmt_ratio(levels_ratio):>34} {fmt_ratio(workers_ratio, GOAL_TWO_WORKERS):>26} "
              f"{fmt_ratio(locked_ratio):>27} "
              f"{fmt_ratio(2 * locked_ratio if locked_ratio is not None else None):>6} "
              f"{fmt_ratio(peer2 / peer1 if peer1 and peer2 else None):>13}")
    print("locked 1 thread: the 2-worker kernels (a row lock around every row update) on one pool thread; "
          "x2: twice that, the most two threads could reach if they never met on a lock or a row")

    print()
    print("Quality (Spearman; pairs with both words in the vocabulary), reference library in brackets:")
    for (mode, setting), cell in cells.items():
        peer_ws, peer_men = common.PEER_QUALITY.get(mode, (float("nan"), float("nan")))
        parts = []
        for level, scores in cell["quality"].items():
            parts.append(f"{level}: WS353 {scores['wordsim'][0]:.3f} MEN {scores['men'][0]:.3f}")
        print(f"  {mode:<8} {setting:<16} {'; '.join(parts)}  [WS353 {peer_ws:.3f} MEN {peer_men:.3f}]")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--corpus", type=Path, default=common.DEFAULT_CORPUS)
    parser.add_argument("--data", type=Path, default=None,
                        help="directory of wordsim353.txt and men.csv (default: the corpus's directory)")
    parser.add_argument("--modes", default=",".join(common.MODES),
                        help=f"comma-separated subset of {','.join(common.MODES)}")
    parser.add_argument("--settings", default=",".join(SETTINGS),
                        help=f"comma-separated subset of {','.join(SETTINGS)}")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--epochs", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="one repetition per cell")
    parser.add_argument("--json", type=Path, default=None, help="also write the raw results here")
    parser.add_argument("--cell", nargs=2, metavar=("MODE", "SETTING"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.data is None:
        args.data = args.corpus.parent
    if args.quick:
        args.reps = 1

    if args.cell:
        print(json.dumps(run_cell(*args.cell, args.reps, args.epochs, args.corpus, args.data)))
        return 0

    modes = [m for m in args.modes.split(",") if m]
    settings = [s for s in args.settings.split(",") if s]
    unknown = [m for m in modes if m not in common.MODES] + [s for s in settings if s not in SETTINGS]
    if unknown:
        parser.error(f"unknown mode or setting: {', '.join(unknown)}")
    if not args.corpus.is_file():
        parser.error(f"corpus not found: {args.corpus}")

    for line in common.machine_info():
        print(line)
    print(f"corpus: {args.corpus}; vector_size 100, window 5, min_count 5, {args.epochs} epochs, "
          f"alpha 0.025 to 0.0001, negative 5 (NS) / 0 (HS), no subsampling; {args.reps} repetition(s)")
    sys.stdout.flush()

    # A mode's settings take turns repetition by repetition, each repetition in a fresh process, so
    # that a 2-worker run and the 1-worker run it is compared with see the machine in the same state
    # (on shared virtual machines the cost of moving cache lines between cores changes by the minute).
    # Memory and quality come from a cell's first repetition.
    probe = crosscore_probe()
    args.fma_peak = fma_peak_gflops()
    cells = {}
    failed = False
    for mode in modes:
        for _ in range(args.reps):
            for setting in settings:
                before = crosscore_ns(probe)
                cell = spawn_cell(mode, setting, args)
                if cell is None:
                    failed = True
                    continue
                crosscore = (before, crosscore_ns(probe))
                kept = cells.setdefault((mode, setting), {**cell, "seconds": [], "tokens_per_s": [],
                                                          "crosscore_ns": []})
                kept["seconds"] += cell["seconds"]
                kept["tokens_per_s"] += cell["tokens_per_s"]
                kept["crosscore_ns"] += crosscore
                kept["reps"] = len(kept["seconds"])
    if probe is not None:
        Path(probe[0]).unlink(missing_ok=True)
    if not cells:
        return 1
    report(cells, args)
    if args.json:
        args.json.write_text(json.dumps(list(cells.values()), indent=1))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
