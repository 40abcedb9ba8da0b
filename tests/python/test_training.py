"""Training end to end, mostly in the calling thread: reproducibility, schedule, logs, progress,
interruption (stops run with one and with two workers)."""

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
from tarnivel import Word2Vec, set_seed


def digest(model):
    return hashlib.sha256(model.wv.vectors.tobytes()).hexdigest()[:16]


def train_mode(sg, hs, **kw):
    set_seed(1234)
    params = dict(vector_size=24, window=3, min_count=2, sg=sg, hs=hs, epochs=2, verbose=False)
    params.update(kw)
    return Word2Vec(make_corpus(seed=7, sentences=200), **params)


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
    a = train_mode(sg, hs, **kw)
    assert np.isfinite(a.wv.vectors).all()
    assert digest(a) == digest(train_mode(sg, hs, **kw)) == checksum


def test_reproducible_across_processes(tmp_path):
    script = (
        "import hashlib, sys\n"
        f"sys.path.insert(0, {os.path.dirname(__file__)!r})\n"
        "from conftest import make_corpus\n"
        "from tarnivel import Word2Vec, set_seed\n"
        "out = []\n"
        "for sg, hs in [(0, 0), (0, 1), (1, 0), (1, 1)]:\n"
        "    set_seed(99)\n"
        "    m = Word2Vec(make_corpus(seed=3, sentences=150), vector_size=20, min_count=1, sg=sg, hs=hs,\n"
        "                 epochs=2, verbose=False, levels=[5, 20, 10])\n"
        "    out.append(hashlib.sha256(m.wv.vectors.tobytes()).hexdigest())\n"
        "print(' '.join(out))\n"
    )
    runs = [subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
            for _ in range(2)]
    assert runs[0] == runs[1] and len(set(runs[0].split())) == 4


def test_seed_controls_initialisation_and_training():
    corpus = make_corpus(sentences=50)
    set_seed(5)
    a = Word2Vec(corpus, vector_size=8, min_count=1, epochs=0, verbose=False)
    set_seed(5)
    b = Word2Vec(corpus, vector_size=8, min_count=1, epochs=0, verbose=False)
    c = Word2Vec(corpus, vector_size=8, min_count=1, epochs=0, verbose=False)
    np.testing.assert_array_equal(a.wv.vectors, b.wv.vectors)
    assert not np.array_equal(a.wv.vectors, c.wv.vectors)
    # Initial rows are unit vectors with non-negative components.
    norms = np.linalg.norm(a.wv.vectors, axis=1)
    np.testing.assert_allclose(norms, 1.0, rtol=1e-5)
    assert (a.wv.vectors >= 0).all()
    # Each train call restarts the epoch streams, so training a copy twice from equal weights agrees.
    a.train(corpus, epochs=1)
    b.train(corpus, epochs=1)
    np.testing.assert_array_equal(a.wv.vectors, b.wv.vectors)


def test_vocabulary_rules():
    corpus = [["x", "y", "x"], ["y", "z"]]
    assert Word2Vec(corpus, min_count=1, epochs=0, verbose=False).wv.index_to_key == ["x", "y", "z"]
    assert Word2Vec(corpus, min_count=2, epochs=0, verbose=False).wv.index_to_key == ["x", "y"]
    assert Word2Vec(corpus, min_count=1, max_final_vocab=1, epochs=0, verbose=False).wv.index_to_key == []
    assert Word2Vec(corpus, min_count=1, max_final_vocab=2, epochs=0, verbose=False).wv.index_to_key == ["x", "y"]
    assert Word2Vec([("ab", "a", "B")], min_count=1, epochs=0, verbose=False).wv.index_to_key == ["B", "a", "ab"]
    # A later call keeps the vocabulary and the weights' shape; unknown words are ignored.
    m = Word2Vec(corpus, min_count=1, vector_size=4, epochs=0, verbose=False)
    m.train([["new", "words", "x"]], epochs=1)
    assert m.wv.index_to_key == ["x", "y", "z"]


class BrokenCorpus:
    def __iter__(self):
        yield ["a", "b"]
        raise ValueError("broken corpus")


@pytest.mark.parametrize(
    "corpus, exc, message",
    [
        (["a b c"], TypeError, "Can't extract `str` to `Vec`"),
        ([["a", 1]], TypeError, "'int' object cannot be converted to 'PyString'"),
        ([5], TypeError, "'int' object cannot be converted to 'Sequence'"),
        (5, TypeError, "not iterable"),
        (BrokenCorpus(), ValueError, "broken corpus"),
    ],
)
def test_corpus_errors(corpus, exc, message):
    with pytest.raises(exc, match=message):
        Word2Vec(corpus, min_count=1, verbose=False)


def test_one_shot_generator_and_zero_epochs(caplog):
    caplog.set_level(logging.INFO, logger="tarnivel")
    gen = (s for s in make_corpus(sentences=20))
    with pytest.raises(TypeError, match="one-shot iterator"):
        Word2Vec(gen, vector_size=8, min_count=1)
    m = Word2Vec(make_corpus(sentences=20), vector_size=8, min_count=1, epochs=0)
    assert m.wv.vectors.shape[0] > 0
    initial = m.wv.vectors
    m.train(make_corpus(sentences=20), epochs=0)
    np.testing.assert_array_equal(m.wv.vectors, initial)


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
    script = (
        "import logging\n"
        "from tarnivel import Word2Vec\n"
        "logging.getLogger('tarnivel').addHandler(logging.NullHandler())\n"
        "Word2Vec([['a', 'b']], min_count=1, epochs=1)\n"
        "print('quiet ok')\n"
        "logging.getLogger = None\n"
        "m = Word2Vec([['a', 'b']], min_count=1, epochs=1)\n"
        "print('trained', m.wv.vectors.shape)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "quiet ok" in out.stdout and "trained (2, 100)" in out.stdout
    assert "TRAIN setup" not in out.stderr  # the user's handler at the default level hides INFO
    assert "TypeError" in out.stderr  # the broken getLogger is reported, training goes on


def test_progress_callable():
    calls = []
    corpus = make_corpus(sentences=4000, length=(20, 40))
    m = Word2Vec(vector_size=8, min_count=1, verbose=False)
    m.train(corpus, epochs=2, progress=lambda done, total: calls.append((done, total)), progress_interval=0.0)
    assert calls
    total = calls[0][1]
    assert all(t == total for _, t in calls)
    dones = [d for d, _ in calls]
    assert dones == sorted(dones) and 0 < dones[-1] <= total
    assert total == 2 * sum(len(s) for s in corpus)
    assert all(isinstance(d, int) for d in dones)

    def failing(done, total):
        raise ValueError("ignored")

    m.train(corpus, epochs=1, progress=failing, progress_interval=0.0)  # ordinary errors are swallowed


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_progress_callable_can_stop_training(exc, workers):
    m = Word2Vec(vector_size=8, min_count=1, workers=workers, verbose=False)

    def stop(done, total):
        raise exc("stop")

    with pytest.raises(exc):
        m.train(make_corpus(sentences=4000, length=(20, 40)), epochs=3, progress=stop, progress_interval=0.0)
    assert m.wv.vectors.shape[0] > 0  # the matrices are back in the model


@pytest.mark.parametrize("workers", [1, 2])
def test_sigint_interrupts_training(workers):
    corpus = make_corpus(sentences=3000, length=(20, 40))
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
    assert after.shape == initial.shape and not np.array_equal(after, initial)


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
