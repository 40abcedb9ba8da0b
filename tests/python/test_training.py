"""Training end to end through the binding: reproducibility, schedule, logs, vocabulary, stops (with one
and with two workers)."""

import hashlib
import logging
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import LineSentence, Word2Vec, set_seed


def digest(model):
    return hashlib.sha256(model.wv.vectors.tobytes()).hexdigest()[:16]


def train_mode(sg, hs, **kw):
    set_seed(1234)
    kw = {**dict(vector_size=24, window=3, min_count=2, epochs=2, verbose=False), **kw}
    return Word2Vec(make_corpus(seed=7, sentences=200), sg=sg, hs=hs, **kw)


# Checksums of the trained vectors of one small fixed corpus: any change to the numbers that sequential
# training produces (arithmetic order, random draws, schedule) shows up here. In the unordered levels a
# width not wider than the previous one is skipped by skip-gram but still divides the rate.
@pytest.mark.parametrize(
    "sg, hs, kw, checksum",
    [
        (0, 0, {}, "c55f07c888f5ba22"),
        (0, 1, {}, "ec59ecbb1194c66e"),
        (1, 0, {}, "46a0ea6bbb3bec6d"),
        (1, 1, {}, "f0f71f5bd5f666b0"),
        (0, 0, dict(cbow_mean=0, levels=[24, 6, 12]), "7f776d5779a03918"),
        (1, 0, dict(levels=[24, 6, 12], negative=2), "056bb5f02f46e65f"),
    ],
)
def test_sequential_training_is_reproducible(sg, hs, kw, checksum):
    assert digest(train_mode(sg, hs, **kw)) == digest(train_mode(sg, hs, **kw)) == checksum


def test_the_core_driver_trains_what_python_trains():
    # tests/cpp/test_driver.cpp trains this corpus through the core driver alone and pins the same value.
    corpus = [[f"w{(i * i + 3 * j * j + i * j) % 37}" for j in range(5 + i % 7)] for i in range(200)]
    set_seed(1234)
    m = Word2Vec(corpus, vector_size=24, window=3, min_count=2, epochs=2, verbose=False, sg=1)
    h = 0xCBF29CE484222325
    for b in m.wv.vectors.tobytes():
        h = ((h ^ b) * 0x100000001B3) & (2**64 - 1)
    assert f"{h:016x}" == "8e2a8e1118ceb6a6"


def test_zero_epochs_and_later_calls():
    m = Word2Vec(make_corpus(sentences=20), vector_size=8, min_count=1, epochs=0, verbose=False)
    initial = m.wv.vectors
    m.train(make_corpus(sentences=20), epochs=0)
    np.testing.assert_array_equal(m.wv.vectors, initial)
    # A later call keeps the vocabulary and the weights' shape; unknown words are ignored.
    words = m.wv.index_to_key
    m.train([["new", "words", "w0"]], epochs=1)
    assert m.wv.index_to_key == words and m.wv.vectors.shape == initial.shape
    assert len(Word2Vec(make_corpus(sentences=20), min_count=1, max_final_vocab=5, epochs=0, verbose=False).wv) == 5
    with pytest.raises(TypeError, match="not iterable"):
        m.train(5)


def test_log_lines(caplog):
    caplog.set_level(logging.INFO, logger="tarnivel")
    corpus = [["x", "y", "x"], ["y", "z"]]
    m = Word2Vec(corpus, vector_size=4, window=2, min_count=1, epochs=4, progress_interval=5.0, alpha=0.025)
    lines = [r.getMessage() for r in caplog.records if r.name == "tarnivel"]
    assert lines[0] == "TRAIN setup: built alias table for negative sampling (vocab=3, negatives=5)"
    assert lines[1] == (
        "TRAIN setup: vocab=3, vector_size=4, window=2, min_count=1, max_final_vocab=None, workers=1, sg=false, "
        "hs=false, cbow_mean=true, negative=5, levels=[1, 2, 4], alpha_start=0.02500, min_alpha=0.00010, "
        "log_interval=5.00s"
    )
    assert lines[2].startswith("TRAIN setup: hardware cores=") and ", workers=1" in lines[2]
    assert lines[3].startswith(f"TRAIN setup: env pid={os.getpid()}, py={sys.version.split()[0]}, arch=")
    assert lines[4] == "TRAIN setup: total_tokens_per_epoch=5, epochs=4"
    rates = ["0.02500", "0.01878", "0.01255", "0.00633"]
    for e, rate in enumerate(rates):
        start, zero, closing = lines[5 + 3 * e: 8 + 3 * e]
        assert start == (
            f"EPOCH {e + 1}/4: start, target_tokens=5, vector_size=4, window=2, min_count=1, max_final_vocab=None, "
            f"lr_start={rate}, min_alpha=0.00010, interval=5.00s, sg=false, hs=false, cbow_mean=true, negatives=5, "
            "levels=[1, 2, 4], workers=1"
        )
        assert zero == f"EPOCH {e + 1}/4: PROGRESS at 0.00% tokens, alpha {rate}, 0 tokens/s"
        assert closing.startswith(f"EPOCH {e + 1}/4: PROGRESS at 100.00% tokens, alpha ")
    assert len(lines) == 17
    # A quiet call on a verbose model logs nothing; the model's interval shows in the first setup line.
    caplog.clear()
    m.train(corpus, verbose=False)
    assert not [r for r in caplog.records if r.name == "tarnivel"]


def test_logging_respects_user_handler_and_survives_broken_logging(capfd):
    script = ("import logging\nfrom tarnivel import Word2Vec\n"
              "logging.getLogger('tarnivel').addHandler(logging.NullHandler())\n"
              "Word2Vec([['a', 'b']], min_count=1, epochs=1)\nprint('quiet ok')\nlogging.getLogger = None\n"
              "m = Word2Vec([['a', 'b']], min_count=1, epochs=1)\nprint('trained', m.wv.vectors.shape)\n")
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "quiet ok" in out.stdout and "trained (2, 100)" in out.stdout
    assert "TRAIN setup" not in out.stderr  # the user's handler at the default level hides INFO
    assert "TypeError" in out.stderr  # the broken getLogger is reported, training goes on


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, ValueError])
def test_progress_callable_can_stop_training(exc, workers):
    m = Word2Vec(vector_size=8, min_count=1, workers=workers, verbose=False)
    calls = []

    def stop(done, total):
        calls.append(done)
        raise exc("stop")

    corpus = make_corpus(sentences=4000, length=(20, 40))
    if exc is ValueError:  # ordinary errors are swallowed and training goes on
        m.train(corpus, epochs=1, progress=stop, progress_interval=0.0)
        assert len(calls) > 1
    else:
        with pytest.raises(exc):
            m.train(corpus, epochs=3, progress=stop, progress_interval=0.0)
        assert len(calls) == 1
    assert m.wv.vectors.shape[0] > 0  # the matrices are back in the model


@pytest.mark.parametrize("workers, row_locks, on_file", [(1, "1", False), (2, "1", False), (2, "0", False),
                                                       (1, "1", True), (2, "1", True)])
def test_sigint_interrupts_training(workers, row_locks, on_file, tmp_path, monkeypatch):
    monkeypatch.setenv("TARNIVEL_ROW_LOCKS", row_locks)
    corpus = make_corpus(sentences=3000, length=(20, 40))
    if on_file:  # a LineSentence is read natively, without the interpreter
        (tmp_path / "c.txt").write_text("\n".join(" ".join(s) for s in corpus) + "\n", encoding="utf-8")
        corpus = LineSentence(tmp_path / "c.txt")
    m = Word2Vec(corpus, vector_size=32, min_count=1, workers=workers, epochs=0, verbose=False)
    initial = m.wv.vectors
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            m.train(corpus, epochs=1000)
    finally:
        timer.cancel()
    assert time.monotonic() - started < 30
    after = m.wv.vectors
    assert after.shape == initial.shape and np.isfinite(after).all() and not np.array_equal(after, initial)


def test_edge_parameters_train():
    corpus = make_corpus(sentences=30)
    for kw in (dict(vector_size=0), dict(window=0), dict(negative=0), dict(hs=1, negative=0),
               dict(cbow_mean=0), dict(workers=0), dict(levels=[3, 3, 1], vector_size=3)):
        m = Word2Vec(corpus, min_count=1, epochs=1, verbose=False, **kw)
        assert np.isfinite(m.wv.vectors).all()
    # The context buffer is bounded by the sentence, so a huge window neither overflows nor exhausts memory.
    m = Word2Vec([["a", "b", "c"] * 700], vector_size=4, window=2**62, min_count=1, epochs=1, verbose=False)
    assert np.isfinite(m.wv.vectors).all()
    for sg in (0, 1):
        Word2Vec([["a", "b"]], vector_size=4, window=2**64 - 1, min_count=1, sg=sg, epochs=1, verbose=False)
    # hs with an empty vocabulary trains nothing and fails nowhere.
    Word2Vec([["a"]], min_count=5, hs=1, verbose=False)
