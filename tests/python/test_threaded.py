"""Threaded training (workers >= 2) as the binding shows it: a Python corpus's chunks, progress and end
lines, corpus errors, the interpreter lock, references, the pool, interrupts and clean exits."""

import logging
import os
import re
import subprocess
import sys
import textwrap
import threading
import time
import types

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import Word2Vec, set_seed

TESTS = os.path.dirname(__file__)

END = r"EPOCH (\d)/2: end, elapsed=\d+\.\d\ds, tokens=(\d+), tokens/s=\d+, lr_end=(\d\.\d{5})"


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "tarnivel"]


@pytest.mark.parametrize("words", [1000, 70_000])
def test_threaded_training_reaches_every_index(words):
    # Read-ahead chunks carry 16-bit indices up to 65,536 words and 32-bit ones beyond: every word's
    # own row must be trained either way (a truncated index would leave the high rows untouched).
    corpus = [[f"w{i + j}" for j in range(4)] for i in range(0, words, 4)]
    m = Word2Vec(corpus, vector_size=2, min_count=1, sg=1, negative=1, window=3, workers=2, epochs=0,
                 verbose=False)
    initial = m.wv.vectors
    # A position trains nothing when its window draw is 0 (p = 1/4), and each word has one position an
    # epoch: after 24 epochs about 70000 * 4**-24 (3e-10) rows are expected untouched.
    m.train(corpus, epochs=24)
    assert (m.wv.vectors != initial).any(axis=1).all()


class Slow:
    """The corpus through __getitem__ only, with a short pause every 20 sentences so that progress is
    seen mid-epoch."""

    def __init__(self, sentences):
        self.sentences = sentences

    def __getitem__(self, i):
        if i % 20 == 0:
            time.sleep(0.002)
        return self.sentences[i]


# With vector_size 0 nothing trains, but the threaded epoch must still count every token of the Python
# corpus's chunks: the end lines, the progress callable and the rate depend on the count (an invalid
# W2V_CHUNK is the default).
@pytest.mark.parametrize("workers, vector_size, chunk", [(1, 8, "50"), (2, 8, "50"), (2, 0, "50"), (2, 8, "1"),
                                                         (2, 8, "16x")])
def test_token_counts_progress_and_rate(workers, vector_size, chunk, caplog, monkeypatch):
    monkeypatch.setenv("W2V_CHUNK", chunk)
    caplog.set_level(logging.INFO, logger="tarnivel")
    corpus = make_corpus(sentences=1000, length=(20, 40))
    n = sum(len(s) for s in corpus)
    calls = []
    m = Word2Vec(vector_size=vector_size, min_count=1, workers=workers)
    m.train(Slow(corpus), epochs=2, progress=lambda d, t: calls.append((d, t)), progress_interval=0.0)
    lines = messages(caplog)
    if workers > 1:
        ends = [re.fullmatch(END, s) for s in lines if ": end, " in s]
        assert [(e.group(1), int(e.group(2))) for e in ends] == [("1", n), ("2", n)]
        assert ends[-1].group(3) == "0.00010"
    else:
        assert lines[-1].startswith("EPOCH 2/2: PROGRESS at 100.00% tokens, alpha 0.00010, ")
    done = [d for d, _ in calls]
    assert all(t == 2 * n for _, t in calls) and all(type(d) is int for d in done)
    assert done == sorted(done) and n < done[-1] <= 2 * n
    if chunk != "16x":  # one default chunk is the whole epoch, trained between two 10 ms reports
        assert any(0 < d < n for d in done)


class ChangingCorpus:
    """Yields good sentences on the first passes (vocabulary and token count) and `bad` afterwards."""

    def __init__(self, bad, good_passes=2):
        self.passes, self.bad, self.good_passes = 0, bad, good_passes

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
        (lambda: iter([["a", 3]]), TypeError, "'int' object cannot be converted to 'PyString'"),
        (lambda: iter([7]), TypeError, "'int' object cannot be converted to 'Sequence'"),
        (raise_value_error, ValueError, "corpus broke"),
    ],
)
@pytest.mark.parametrize("workers", [None, 1, 2])  # None: while the vocabulary is built
def test_corpus_errors_raise(bad, exc, message, workers):
    if workers is None:
        with pytest.raises(exc, match=message):
            Word2Vec(ChangingCorpus(bad, good_passes=0), min_count=1, verbose=False)
        return
    m = Word2Vec(vector_size=4, min_count=1, workers=workers, verbose=False)
    with pytest.raises(exc, match=message):
        m.train(ChangingCorpus(bad), epochs=2)
    assert m.wv.vectors.shape == (3, 4)


def test_threaded_training_releases_every_sentence():
    corpus = make_corpus(sentences=200)
    sentence, word = corpus[0], corpus[0][0]
    before = sys.getrefcount(sentence), sys.getrefcount(word)
    m = Word2Vec(corpus, vector_size=8, min_count=1, workers=2, epochs=3, verbose=False)
    m.train(corpus, epochs=2)
    assert (sys.getrefcount(sentence), sys.getrefcount(word)) == before


def test_other_python_threads_run_while_a_chunk_trains(monkeypatch):
    # One chunk holds the whole epoch, so without the lock released the ticker would stop for most
    # of the call.
    monkeypatch.setenv("W2V_CHUNK", "100000")
    corpus = make_corpus(sentences=1500, length=(30, 40))
    m = Word2Vec(corpus, vector_size=32, min_count=1, sg=1, workers=2, epochs=0, verbose=False)
    ticks, stop = [], threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    start = time.monotonic()
    m.train(corpus, epochs=1)
    elapsed = time.monotonic() - start
    stop.set()
    thread.join()
    gaps = [b - a for a, b in zip(ticks, ticks[1:]) if b > start]
    assert elapsed > 0.05 and max(gaps) < elapsed / 2, (elapsed, max(gaps))


def test_a_growing_corpus_trains_the_same_sentences_with_or_without_progress_output(caplog, monkeypatch):
    # The epoch yields far more than the counting passes did: it ends at the counted total (in chunks)
    # whether or not progress is reported, so the late word "e" moves as little in either setting.
    class Corpus:
        passes = 0

        def __iter__(self):
            self.passes += 1
            late = [["e", "f", "e", "f"]] * (1 if self.passes <= 3 else 4000)  # 3: the one-shot check, two counts
            return iter([["a", "b", "c", "d"]] * 50 + late)

    caplog.set_level(logging.INFO, logger="tarnivel")
    monkeypatch.setenv("W2V_CHUNK", "10")
    moved = []
    for kwargs in ({"progress": lambda d, t: None}, {"verbose": False}):
        set_seed(5)
        model = Word2Vec(vector_size=8, min_count=1, workers=2)
        model.train(Corpus(), epochs=0, verbose=False)
        before = model.wv["e"].copy()
        model.train(Corpus(), epochs=1, **kwargs)
        moved.append(float(np.abs(model.wv["e"] - before).sum()))
    assert "tokens=240," in caplog.text  # 204 counted: five chunks of abcd, then one of the late sentences
    assert moved[1] < 3 * moved[0], moved


@pytest.mark.parametrize("case", ["blocking corpus", "no threads"])
def test_ctrl_c_and_thread_failures_in_threaded_calls(case):
    # Ctrl-C while the corpus blocks raises KeyboardInterrupt; a pool the system refuses threads
    # raises an ordinary RuntimeError.
    script = """
        import os, resource, signal, threading, time
        from tarnivel import Word2Vec
        class Corpus:
            passes = 0
            def __iter__(self):
                self.passes += 1
                yield ["a", "b"]
                while self.passes > 2:
                    time.sleep(0.01)
        try:
            if os.environ.get("TARNIVEL_POOL_THREADS"):
                size = int(open("/proc/self/statm").read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
                resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
                Word2Vec([["a", "b"]], min_count=1, workers=2)
            threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT)).start()
            Word2Vec(vector_size=8, min_count=1, workers=2, verbose=False).train(Corpus(), epochs=1)
        except (KeyboardInterrupt, RuntimeError) as e:
            print(type(e).__name__, e)
    """
    env = {**os.environ, "TARNIVEL_POOL_THREADS": "1000" if case == "no threads" else ""}
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                         timeout=60, env=env)
    assert out.stdout.startswith("RuntimeError failed to spawn thread" if case == "no threads" else
                                 "KeyboardInterrupt"), out.stderr


@pytest.mark.slow
def test_another_thread_changing_the_environment_during_training_is_safe():
    # The switches are read with the interpreter lock; a read without it crashed within seconds.
    run_script("""
        import os, threading, time
        from tarnivel import Word2Vec
        def churn(i=0):
            while True:  # new names each round, so the table is reallocated
                i += 1
                for j in range(1000): os.environ[f"TARNIVEL_CHURN_{i}_{j}"] = "x" * 50
                for j in range(1000): del os.environ[f"TARNIVEL_CHURN_{i}_{j}"]
        threading.Thread(target=churn, daemon=True).start()
        corpus = [[f"w{(i * 7 + j) % 300}" for j in range(12)] for i in range(3000)]
        model, end = Word2Vec(vector_size=16, min_count=1, workers=2, verbose=False), time.time() + 8
        while time.time() < end:
            model.train(corpus, epochs=1)
    """, W2V_CHUNK="5", TARNIVEL_ROW_LOCKS="0")


def run_script(script, **env):
    """The script in a fresh interpreter (dedented); its stdout and stderr."""
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                         timeout=300, env={**os.environ, **env})
    assert out.returncode == 0, out.stderr
    return out.stdout, out.stderr


@pytest.mark.parametrize("setting", ["3", "0", "x"])
def test_pool_size_setting_and_clean_exits(setting):
    for _ in range(4):  # the process ends cleanly right after threaded training, every time
        _, err = run_script(f"import sys\nsys.path.insert(0, {TESTS!r})\nfrom conftest import make_corpus\n"
                            "from tarnivel import Word2Vec\nWord2Vec(make_corpus(sentences=300), vector_size=16, "
                            "min_count=1, workers=2, epochs=1, verbose=True)\n", TARNIVEL_POOL_THREADS=setting)
        cores, threads = map(int, re.search(r"hardware cores=(\d+), rayon_threads=(\d+),", err).groups())
        assert threads == (3 if setting == "3" else cores)


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs per-thread times from /proc")
def test_workers_bounds_the_threads_that_train():
    # A pool of 4 threads: a call with workers=2 may let only two of them train (the others stay
    # idle, so they use no processor time), while workers=4 lets more take part. Processor time per
    # thread comes from /proc, independently of the trainer.
    script = f"""
        import os, sys
        sys.path.insert(0, {TESTS!r})
        from conftest import make_corpus
        from tarnivel import Word2Vec

        def ticks():
            out = {{}}
            for tid in os.listdir("/proc/self/task"):
                with open(f"/proc/self/task/{{tid}}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                out[int(tid)] = int(fields[11]) + int(fields[12])  # utime + stime
            return out

        corpus = make_corpus(sentences=3000, vocab=400, length=(20, 40))
        before = set(ticks())
        for workers in (2, 4):
            start = ticks()
            m = Word2Vec(corpus, vector_size=48, min_count=1, sg=1, workers=workers, epochs=4, verbose=False)
            end = ticks()
            pool = sorted(t for t in end if t not in before)
            used = [end[t] - start.get(t, 0) for t in pool]
            print(workers, len(pool), *used)
    """
    for line in run_script(script, TARNIVEL_POOL_THREADS="4", W2V_CHUNK="100")[0].splitlines():
        workers, threads, *used = map(int, line.split())
        assert threads == 4, line  # the pool (the epochs' reader threads are gone)
        busy = len([u for u in used if u >= max(3, max(used) // 10)])
        assert (1 <= busy <= 2) if workers == 2 else busy >= 3, line


@pytest.mark.parametrize("workers, row_locks", [(1, "1"), (2, "1"), (2, "0")])
@pytest.mark.parametrize("sg, hs", [(0, 0), (0, 1), (1, 0), (1, 1)])
def test_all_modes_train_sensible_vectors(sg, hs, workers, row_locks, monkeypatch):
    # Every sentence uses the words of one of three topics: with the first 6 of 24 components (the
    # smallest level) a word's nearest neighbour must already share its topic.
    rng = np.random.default_rng(0)
    corpus = [[f"t{i % 3}w{k}" for k in rng.integers(0, 12, size=12)] for i in range(900)]
    monkeypatch.setenv("TARNIVEL_ROW_LOCKS", row_locks)
    set_seed(2)
    m = Word2Vec(corpus, vector_size=24, min_count=1, sg=sg, hs=hs, workers=workers, epochs=8, verbose=False)
    words = m.wv.index_to_key
    assert np.isfinite(m.wv.vectors).all()
    assert sum(m.wv.most_similar(w, topn=1, level=6)[0][0][:2] == w[:2] for w in words) >= 0.9 * len(words)


def test_cli_no_row_locks_sets_the_variable_for_the_call(monkeypatch, tmp_path):
    from tarnivel import __main__ as cli

    seen = []
    model = types.SimpleNamespace(train=lambda *a, **k: seen.append(os.environ.get("TARNIVEL_ROW_LOCKS")))
    for before in (None, "1"):
        monkeypatch.delenv("TARNIVEL_ROW_LOCKS", raising=False)
        if before:
            monkeypatch.setenv("TARNIVEL_ROW_LOCKS", before)
        cli._train_model(model, [], quiet=True, row_locks=False)
        assert os.environ.get("TARNIVEL_ROW_LOCKS") == before
        cli._train_model(model, [], quiet=True)
    assert seen == ["0", None, "0", "1"]

    # The command line's flag reaches the call.
    real, flags = cli._train_model, []
    monkeypatch.setattr(cli, "_train_model", lambda *a, **k: flags.append(k["row_locks"]) or real(*a, **k))
    (tmp_path / "c.txt").write_text("a b c d\n" * 100)
    for extra in ([], ["--no-row-locks"]):
        assert cli.main(["train", str(tmp_path / "c.txt"), "-o", str(tmp_path / "m"), "--min-count", "1",
                         "--epochs", "1", "--workers", "2", "-q", *extra]) == 0
    assert flags == [True, False] and os.environ.get("TARNIVEL_ROW_LOCKS") == "1"
