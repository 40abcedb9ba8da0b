"""Inputs and situations that used to crash the process or give wrong answers: a mapped matrix file
cut short after loading, a word2vec file cut short while it loads, query vectors of extreme length, bad
arguments, and native calls still running in daemon threads when the interpreter exits."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors, LineSentence


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


TRUNCATED_QUERIES = [
    "kv.most_similar('w1', topn=2)", "kv.similarity('w1', 'w1999')", "kv.get_vector('w1999')", "kv.vectors",
    "kv.similar_by_vector(np.ones(256, np.float32), topn=2)", "kv.analogy('w1', 'w2', 'w3')",
    "kv.similar_by_vector(np.ones((3, 256), np.float32), coarse_level=8)", "kv.similar_by_words(['w1'], ['w2'])",
    "kv.save_word2vec_format('out.txt')",
]


def test_a_mapped_file_cut_short_after_loading_is_an_error_not_a_bus_error(tmp_path):
    # Reading a page past the end of a mapped file raises SIGBUS, so the queries run in a child
    # process: a crash shows as a signal exit instead of taking the test run down.
    result = run_python(f"""
        import os, numpy as np
        from tarnivel import KeyedVectors
        os.chdir({str(tmp_path)!r})
        KeyedVectors.from_array(["w%d" % i for i in range(2000)], np.ones((2000, 256))).save("m")
        kv = KeyedVectors.load("m", mmap="r")
        os.truncate("m.npy", 4096)
        for query in {TRUNCATED_QUERIES!r}:
            try:
                eval(query)
            except ValueError as e:
                print(query, "|", e, flush=True)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == [f"{q} | failed to read m.npy: the file was truncated after it was mapped "
                                          "(4096 of 2048080 bytes left)" for q in TRUNCATED_QUERIES]


@pytest.mark.parametrize("scale", [1e20, 3e38, 1e-25, 1e-30])
def test_query_length_does_not_change_the_neighbours_or_scores(scale):
    rows = np.array([[3.0, 4.0, 0.0], [0.0, 0.0, 2.0], [1.0, 1.0, 1.0], [-1.0, 0.5, 0.0]], np.float32)
    kv = KeyedVectors.from_array(list("pqrs"), rows)
    d = np.array([0.6, 0.8, 0.1])
    cosines = rows @ d / (np.linalg.norm(rows, axis=1) * np.linalg.norm(d))  # in double precision
    query = (d * scale).astype(np.float32)
    for found in (kv.similar_by_vector(query, topn=4), kv.similar_by_vector(query[None, :], topn=4)[0]):
        assert [w for w, _ in found] == ["p", "r", "q", "s"]
        assert [s for _, s in found] == pytest.approx(cosines[[0, 2, 1, 3]], abs=1e-5)


TRAIN = "Word2Vec(vector_size=16, min_count=1, epochs=200, workers={}, verbose={}).train(corpus{})"


@pytest.mark.parametrize("work", [
    TRAIN.format(1, False, ""), TRAIN.format(2, False, ""),
    TRAIN.format(2, True, ", progress=lambda a, b: None, progress_interval=0.01"),
    "[kv.similar_by_vector(np.ones((4000, 16), np.float32)) for _ in range(1000)]",
])
def test_interpreter_exit_while_a_daemon_thread_is_in_a_native_call(work):
    result = run_python(f"""
        import threading, time, logging, numpy as np
        from tarnivel import Word2Vec
        logging.getLogger("tarnivel").addHandler(logging.NullHandler())
        corpus = [["the", "cat", "sat", "on", "the", "mat"], ["a", "dog", "ran", "in", "the", "park"]] * 400
        kv = Word2Vec(corpus, vector_size=16, min_count=1, epochs=1, verbose=False).wv
        threading.Thread(target=lambda: {work}, daemon=True).start()
        time.sleep(0.3)
        print("exiting")
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "exiting"


def test_training_in_an_atexit_handler_still_runs_its_threads():
    # A handler registered before the import runs after the module has marked the exit: the call's
    # reader and reporter threads act for the exiting thread and must not wait for the process to end.
    result = run_python("""
        import atexit
        def train():
            from tarnivel import Word2Vec
            corpus = [["the", "cat", "sat", "on", "the", "mat"], ["a", "dog", "ran", "in", "the", "park"]] * 400
            m = Word2Vec(vector_size=16, min_count=1, workers=2, epochs=3, verbose=True)
            m.train(corpus, progress=lambda a, b: None, progress_interval=0.01)
            print("trained", len(m.wv.index_to_key), flush=True)
        atexit.register(train)
        import tarnivel
    """, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == "trained 10"


@pytest.mark.slow
def test_a_word2vec_file_rewritten_during_loads_never_kills_the_loader(tmp_path):
    path = str(tmp_path / "big.txt")
    KeyedVectors.load(write_pair(tmp_path / "m", [f"w{i}" for i in range(30000)],
                                 np.random.default_rng(1).random((30000, 40), np.float32))).save_word2vec_format(path)
    data = (tmp_path / "big.txt").read_bytes()
    loader = subprocess.Popen([sys.executable, "-c", "import time, tarnivel\nend = time.monotonic() + 4\n"
                               "while time.monotonic() < end:\n    try: tarnivel.KeyedVectors.load_word2vec_format("
                               f"{path!r})\n    except ValueError: pass"])
    with open(path, "r+b") as f:  # cut and written again in place for as long as the loader runs
        while loader.poll() is None:
            f.truncate(len(data) // 3)
            f.seek(0)
            f.write(data)
            f.flush()
    assert loader.wait() == 0  # a ValueError at most (the change is seen), never SIGBUS


@pytest.mark.parametrize("call, error, match", [
    (lambda kv, p: KeyedVectors.load_word2vec_format(p, limit=-1), OverflowError, "argument 'limit'"),
    (lambda kv, p: kv.evaluate_word_analogies(p, restrict_vocab=2**64), OverflowError, "argument 'restrict_vocab'"),
    (lambda kv, p: kv.most_similar("a", level=-1), OverflowError, "argument 'level'"),
    (lambda kv, p: LineSentence(p + "\x00x"), ValueError, "null byte"),
])
def test_bad_arguments_say_which_they_are(tmp_path, call, error, match):
    with pytest.raises(error, match=match):
        call(KeyedVectors.load(write_pair(tmp_path / "m", ["a", "b"], [[1.0], [2.0]])), str(tmp_path / "m.npy"))
