"""Shared helpers of the benchmark scripts: data files, corpus loading, similarity scores, machine facts.

NumPy and the standard library only.
"""

from __future__ import annotations

import datetime
import json
import os
import platform
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
DATA = REPO.parent / "shared" / "data"
DEFAULT_CORPUS = DATA / "corpus_en.txt"

MODES = {
    # name: (sg, hs, negative)
    "cbow-ns": (0, 0, 5),
    "cbow-hs": (0, 1, 0),
    "sg-ns": (1, 0, 5),
    "sg-hs": (1, 1, 0),
}

# Figures of the established reference library for exactly this work on this machine kind
# (vector_size 100, window 5, min_count 5, 5 epochs, no subsampling), read from the data directory's
# peer.json; empty when the file is missing.
PEER_FILE = DATA / "peer.json"


def load_peer(path: Path = PEER_FILE) -> tuple[dict, dict]:
    """({(mode, workers): tokens/s}, {mode: (WordSim-353, MEN)}) from peer.json; empty when absent."""
    try:
        peer = json.loads(Path(path).read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return {}, {}
    speed = {(mode, int(workers)): float(rate)
             for mode, by_workers in peer.get("tokens_per_s", {}).items()
             for workers, rate in by_workers.items()}
    quality = {mode: (scores["wordsim353"], scores["men"])
               for mode, scores in peer.get("quality_5_epochs_1_worker", {}).items()
               if isinstance(scores, dict) and "wordsim353" in scores and "men" in scores}
    return speed, quality


PEER_TOKENS_PER_S, PEER_QUALITY = load_peer()

TRAINING = dict(vector_size=100, window=5, min_count=5, alpha=0.025, min_alpha=0.0001)


def load_corpus(path: Path) -> list[list[str]]:
    """The whole corpus in memory, one list of words per non-empty line.

    Equal words share one str object, so the corpus costs pointers rather than millions of small
    strings, and the timed training reads from memory, not from the file.
    """
    interned: dict[str, str] = {}
    sentences = []
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            words = line.split()
            if words:
                sentences.append([interned.setdefault(w, w) for w in words])
    return sentences


def tokens_in_vocab(corpus: list[list[str]], vocab: set[str]) -> int:
    return sum(1 for sentence in corpus for w in sentence if w in vocab)


def average_ranks(values) -> np.ndarray:
    """Ranks 1..n, tied values sharing the mean of their ranks."""
    x = np.asarray(values, dtype=np.float64)
    order = np.argsort(x, kind="mergesort")
    ordered = x[order]
    starts_group = np.r_[True, ordered[1:] != ordered[:-1]]
    group = np.cumsum(starts_group) - 1
    starts = np.flatnonzero(starts_group)
    ends = np.r_[starts[1:], len(x)]
    mean_rank = (starts + ends - 1) / 2.0 + 1.0
    ranks = np.empty(len(x), dtype=np.float64)
    ranks[order] = mean_rank[group]
    return ranks


def spearman(a, b) -> float:
    """Spearman's rank correlation: Pearson's correlation of the tie-averaged ranks."""
    if len(a) != len(b):
        raise ValueError("spearman needs two sequences of equal length")
    if len(a) < 2:
        return float("nan")
    ra, rb = average_ranks(a), average_ranks(b)
    ra -= ra.mean()
    rb -= rb.mean()
    denominator = np.sqrt((ra * ra).sum() * (rb * rb).sum())
    return float((ra * rb).sum() / denominator) if denominator > 0 else float("nan")


def read_wordsim(path: Path) -> list[tuple[str, str, float]]:
    pairs = []
    for line in path.read_text(encoding="utf-8").splitlines():
        fields = line.split("\t")
        if len(fields) == 3:
            pairs.append((fields[0].lower(), fields[1].lower(), float(fields[2])))
    return pairs


def read_men(path: Path) -> list[tuple[str, str, float]]:
    pairs = []
    for line in path.read_text(encoding="utf-8").splitlines()[1:]:
        _, w1, w2, score = line.split(",")
        # Words carry a part-of-speech suffix: sun-n, bright-j, run-v.
        pairs.append((w1.rsplit("-", 1)[0].lower(), w2.rsplit("-", 1)[0].lower(), float(score)))
    return pairs


def similarity_score(vectors: np.ndarray, index: dict[str, int], pairs, level: int | None = None):
    """(Spearman of cosine vs human score, pairs used) over pairs with both words in the vocabulary."""
    width = vectors.shape[1] if level is None else min(level, vectors.shape[1])
    human, model = [], []
    for w1, w2, score in pairs:
        i, j = index.get(w1), index.get(w2)
        if i is None or j is None:
            continue
        a = vectors[i, :width].astype(np.float64)
        b = vectors[j, :width].astype(np.float64)
        norm = np.sqrt((a * a).sum() * (b * b).sum())
        model.append(float((a * b).sum() / norm) if norm > 0 else 0.0)
        human.append(score)
    return spearman(human, model), len(human)


def evaluate(kv, levels=None, data: Path = DATA) -> dict:
    """WordSim-353 and MEN Spearman of a KeyedVectors, on full vectors and at each level given."""
    vectors = np.asarray(kv.vectors)
    index = {w: i for i, w in enumerate(kv.index_to_key)}
    wordsim, men = read_wordsim(data / "wordsim353.txt"), read_men(data / "men.csv")
    result = {}
    for level in [None, *(levels or [])]:
        if level is not None and level >= vectors.shape[1]:
            continue
        key = "full" if level is None else str(level)
        result[key] = {"wordsim": similarity_score(vectors, index, wordsim, level),
                       "men": similarity_score(vectors, index, men, level)}
    return result


def peak_rss_mib() -> float:
    """Peak resident memory of this process (Linux reports kilobytes)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def reset_peak_rss() -> bool:
    """Starts a new peak-resident-memory window for this process (Linux 4.0+); False if refused."""
    try:
        with open("/proc/self/clear_refs", "w") as handle:
            handle.write("5")
        return True
    except OSError:
        return False


def window_peak_rss_mib() -> float:
    """Peak resident memory since the last reset_peak_rss (VmHWM), in MiB."""
    try:
        with open("/proc/self/status") as handle:
            for line in handle:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return float("nan")


def current_rss_mib() -> float:
    try:
        with open("/proc/self/statm") as handle:
            return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    except OSError:
        return float("nan")


def machine_info() -> list[str]:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as handle:
            for line in handle:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        memory = os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES") / 2**30
    except (ValueError, OSError):
        memory = float("nan")
    try:
        commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        commit = ""
    try:
        from importlib.metadata import version

        tarnivel_version = version("tarnivel")
    except Exception:
        tarnivel_version = "unknown"
    return [
        f"command: {' '.join([sys.executable, *sys.argv])}",
        f"date: {datetime.datetime.now().isoformat(timespec='seconds')}",
        f"machine: {platform.machine()}, {cpu}, {os.cpu_count()} logical processors, "
        f"{len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else '?'} usable, {memory:.1f} GiB",
        f"system: {platform.platform()}",
        f"python: {platform.python_version()}, numpy {np.__version__}, tarnivel {tarnivel_version}"
        + (f", commit {commit}" if commit else ""),
        f"W2V_CHUNK: {os.environ.get('W2V_CHUNK', '(unset: 8192)')}",
    ]
