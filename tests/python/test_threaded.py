"""Threaded training (workers >= 2): all modes, corpus errors, chunking, clean exits. Stops by the
progress callable and by SIGINT are run for both worker counts with the sequential tests."""

import logging
import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import Word2Vec


@pytest.mark.parametrize("workers", [2, 4])
@pytest.mark.parametrize("sg, hs", [(0, 0), (0, 1), (1, 0), (1, 1)])
def test_threaded_training_all_modes(workers, sg, hs):
    corpus = make_corpus(sentences=300)
    m = Word2Vec(corpus, vector_size=16, min_count=1, sg=sg, hs=hs, workers=workers, epochs=0, verbose=False)
    initial = m.wv.vectors
    m.train(corpus, epochs=2)
    after = m.wv.vectors
    assert np.isfinite(after).all() and not np.array_equal(after, initial)


@pytest.mark.parametrize("words", [1000, 70_000])
def test_threaded_training_reaches_every_index(words):
    # Read-ahead chunks carry 16-bit indices up to 65,536 words and 32-bit ones beyond: every word's
    # own row must be trained either way (a truncated index would leave the high rows untouched).
    corpus = [[f"w{i + j}" for j in range(4)] for i in range(0, words, 4)]
    m = Word2Vec(corpus, vector_size=2, min_count=1, sg=1, negative=1, window=3, workers=2, epochs=0,
                 verbose=False)
    initial = m.wv.vectors
    m.train(corpus, epochs=12)  # a position trains nothing when its window draw is 0 (p = 1/4)
    assert (m.wv.vectors != initial).any(axis=1).all()


def test_threaded_log_lines_and_progress(caplog):
    caplog.set_level(logging.INFO, logger="tarnivel")
    calls = []
    corpus = make_corpus(sentences=2000, length=(20, 40))
    m = Word2Vec(vector_size=16, min_count=1, workers=2)
    m.train(corpus, epochs=2, progress=lambda d, t: calls.append((d, t)), progress_interval=0.01)
    lines = [r.getMessage() for r in caplog.records if r.name == "tarnivel"]
    total = sum(len(s) for s in corpus)
    ends = [s for s in lines if ": end, " in s]
    assert len(ends) == 2
    pattern = r"EPOCH (\d)/2: end, elapsed=\d+\.\d\ds, tokens=(\d+), tokens/s=\d+, lr_end=(\d\.\d{5})"
    for e, line in enumerate(ends):
        match = re.fullmatch(pattern, line)
        assert match and int(match.group(1)) == e + 1 and int(match.group(2)) == total
    assert re.fullmatch(pattern, ends[-1]).group(3) == "0.00010"
    assert not [s for s in lines if "PROGRESS at 100.00%" in s and "tokens/s" in s and ": end" in s]
    assert all(t == 2 * total for _, t in calls)


class ChangingCorpus:
    """Yields good sentences on the first passes (vocabulary and token count) and `bad` afterwards."""

    def __init__(self, bad, good_passes=2):
        self.passes = 0
        self.bad = bad
        self.good_passes = good_passes

    def __iter__(self):
        self.passes += 1
        yield ["a", "b", "c"]
        if self.passes > self.good_passes:
            yield from self.bad()
        yield ["b", "c", "a"]


def raise_value_error():
    raise ValueError("corpus broke")
    yield  # pragma: no cover


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        (lambda: iter(["a b"]), TypeError, "Can't extract `str` to `Vec`"),
        (lambda: iter([["a", 3]]), TypeError, "PyString"),
        (lambda: iter([7]), TypeError, "Sequence"),
        (raise_value_error, ValueError, "corpus broke"),
    ],
)
@pytest.mark.parametrize("workers", [1, 2])
def test_corpus_errors_during_epochs_raise(bad, exc, message, workers):
    m = Word2Vec(vector_size=4, min_count=1, workers=workers, verbose=False)
    with pytest.raises(exc, match=message):
        m.train(ChangingCorpus(bad), epochs=2)
    assert m.wv.vectors.shape == (3, 4)


def test_getitem_only_corpus_trains_threaded():
    class Indexed:
        def __init__(self, data):
            self.data = data

        def __getitem__(self, i):
            return self.data[i]

    corpus = make_corpus(sentences=100)
    m = Word2Vec(Indexed(corpus), vector_size=8, min_count=1, workers=2, epochs=0, verbose=False)
    initial = m.wv.vectors
    m.train(Indexed(corpus), epochs=1)
    assert not np.array_equal(m.wv.vectors, initial)


@pytest.mark.parametrize("chunk", ["1", "0", "+16", "16x", "18446744073709551615", "99999999999999999999999"])
def test_chunk_sizes_train(chunk, monkeypatch):
    monkeypatch.setenv("W2V_CHUNK", chunk)
    corpus = make_corpus(sentences=60)
    m = Word2Vec(corpus, vector_size=8, min_count=1, workers=2, epochs=0, verbose=False)
    initial = m.wv.vectors
    m.train(corpus, epochs=1)
    assert not np.array_equal(m.wv.vectors, initial)


def test_reader_does_not_outlive_the_call(monkeypatch):
    # With a progress counter the epoch ends when the expected tokens are trained, even though the
    # iterator would go on; the reader must stop instead of draining it in the background.
    pulled = []

    class Endless:
        passes = 0

        def __iter__(self):
            self.passes += 1
            for i in range(50 if self.passes <= 2 else 10**7):
                if self.passes > 2:
                    pulled.append(i)
                yield ["a", "b", "c", "d"]

    monkeypatch.setenv("W2V_CHUNK", "64")
    m = Word2Vec(vector_size=8, min_count=1, workers=2, verbose=False)
    m.train(Endless(), epochs=1, progress=lambda d, t: None, progress_interval=0.01)
    count = len(pulled)
    threading.Event().wait(0.3)
    assert len(pulled) == count < 10**5


def test_threaded_process_exits_cleanly():
    script = (
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from conftest import make_corpus\n"
        "from tarnivel import Word2Vec\n"
        "Word2Vec(make_corpus(sentences=300), vector_size=16, min_count=1, workers=2, epochs=1, verbose=True)\n"
    )
    for _ in range(20):
        out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert out.returncode == 0, out.stderr
