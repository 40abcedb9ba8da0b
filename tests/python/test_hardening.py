"""Inputs and situations that used to crash the process or give wrong answers: a mapped matrix file
cut short after loading, a word2vec file cut short while it loads, a word listed twice in a mapped
store, query vectors of extreme length, bad arguments, and native calls still running in daemon threads
when the interpreter exits."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors, LineSentence

# Four rows for three words: 'a' is listed twice and resolves to its last row (row 2).
DUP_WORDS = ["a", "b", "a", "c"]
DUP_ROWS = [[1.0, 0.0], [0.0, 1.0], [1.0, 0.1], [0.9, 0.1]]


def run_python(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("mmap", [None, "r"])
@pytest.mark.parametrize(
    "word, expected",
    [
        # Worked by hand from DUP_ROWS: each other word once, never the word's own earlier row.
        ("a", ["c", "b"]),
        ("b", ["c", "a"]),
        ("c", ["a", "b"]),
    ],
)
def test_a_word_listed_twice_is_offered_once_in_both_modes(tmp_path, mmap, word, expected):
    kv = KeyedVectors.load(write_pair(tmp_path / "dup", DUP_WORDS, DUP_ROWS), mmap=mmap)
    assert [w for w, _ in kv.most_similar(word)] == expected


TRUNCATED_QUERIES_SOURCE = {
    "most_similar": "lambda kv: kv.most_similar('w1', topn=2)",
    "similarity": "lambda kv: kv.similarity('w1', 'w1999')",
    "similar_by_vector": "lambda kv: kv.similar_by_vector(np.ones(256, np.float32), topn=2)",
    "funnel": "lambda kv: kv.similar_by_vector(np.ones((3, 256), np.float32), coarse_level=8)",
    "similar_by_words": "lambda kv: kv.similar_by_words(['w1'], ['w2'])",
    "analogy": "lambda kv: kv.analogy('w1', 'w2', 'w3')",
    "get_vector": "lambda kv: kv.get_vector('w1999')",
    "vectors": "lambda kv: kv.vectors",
    "save_word2vec_format": "lambda kv: kv.save_word2vec_format('out.txt')",
}


@pytest.mark.parametrize("query", sorted(TRUNCATED_QUERIES_SOURCE))
def test_a_mapped_file_cut_short_after_loading_is_an_error_not_a_bus_error(tmp_path, query):
    # Reading a page past the end of a mapped file raises SIGBUS, so the query runs in a child
    # process: a crash shows as a signal exit instead of taking the test run down.
    source = TRUNCATED_QUERIES_SOURCE[query]
    result = run_python(f"""
        import os, numpy as np
        from tarnivel import KeyedVectors, LineSentence
        os.chdir({str(tmp_path)!r})
        words = ["w%d" % i for i in range(2000)]
        import json
        with open("m.vocab.json", "w") as f:
            json.dump(words, f)
        np.save("m.npy", np.ones((2000, 256), np.float32))
        kv = KeyedVectors.load("m", mmap="r")
        os.truncate("m.npy", 4096)
        try:
            ({source})(kv)
        except ValueError as e:
            print("ValueError:", e)
    """)
    assert result.returncode == 0, result.stderr[-2000:]
    assert "ValueError: failed to read m.npy: the file was truncated after it was mapped" in result.stdout



@pytest.mark.parametrize("scale", [1e20, 3e38, 1e-25, 1e-30])
@pytest.mark.parametrize("batched", [False, True])
def test_query_length_does_not_change_the_neighbours_or_scores(tmp_path, scale, batched):
    rows = np.array([[3.0, 4.0, 0.0], [0.0, 0.0, 2.0], [1.0, 1.0, 1.0], [-1.0, 0.5, 0.0]], np.float32)
    kv = KeyedVectors.load(write_pair(tmp_path / "q", ["p", "q", "r", "s"], rows))
    direction = np.array([0.6, 0.8, 0.1], np.float32)
    query = (direction.astype(np.float64) * scale).astype(np.float32)
    # Cosines of the direction with each row, in double precision.
    d = direction.astype(np.float64)
    cosines = rows.astype(np.float64) @ d / (np.linalg.norm(rows, axis=1) * np.linalg.norm(d))
    expected_order = ["p", "r", "q", "s"]
    found = kv.similar_by_vector(query[None, :] if batched else query, topn=4)
    found = found[0] if batched else found
    assert [w for w, _ in found] == expected_order
    for word, score in found:
        assert score == pytest.approx(cosines["pqrs".index(word)], abs=1e-5)


@pytest.mark.parametrize(
    "work",
    [
        "Word2Vec(vector_size=16, min_count=1, workers=1, epochs=200, verbose=False).train(corpus)",
        "Word2Vec(vector_size=16, min_count=1, workers=2, epochs=200, verbose=False).train(corpus)",
        "Word2Vec(vector_size=16, min_count=1, workers=2, epochs=200, verbose=True).train(corpus, progress=lambda a, b: None, progress_interval=0.01)",
        "[kv.similar_by_vector(np.ones((4000, 16), np.float32)) for _ in range(1000)]",
    ],
    ids=["sequential", "threaded", "threaded-reporting", "batched-query"],
)
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
