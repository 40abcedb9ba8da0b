"""Nothing lost, nothing silent: saves and loads under the directory lock, damaged headers, refused one-shot
corpora, non-finite numbers and absurd parameters (the command line's one-line errors for them are in test_cli);
inputs and situations that used to crash the process or give wrong answers; random damage to a valid file pair."""

import fcntl
import json
import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
import tokenize
from pathlib import Path

import numpy as np
import pytest

from conftest import header, npy_bytes, write_pair
from tarnivel import KeyedVectors, LineSentence, Word2Vec
from tarnivel._core import PanicException

CORPUS = [["a", "b", "c", "d"], ["b", "c", "d", "a"], ["c", "a", "d", "b"]] * 10


def model(words="abcd", vector_size=6, **kwargs):
    corpus = [list(words[i:] + words[:i]) for i in range(len(words))] * 10
    return Word2Vec(corpus, vector_size=vector_size, min_count=1, verbose=False, **kwargs)


# ---- 1. the pair is replaced whole, and loads never see half of a save ----


def test_loads_work_in_a_read_only_directory(tmp_path):
    (tmp_path / "ro").mkdir()
    model().save(str(tmp_path / "ro" / "p"))
    (tmp_path / "ro").chmod(0o555)
    try:
        for load in (lambda p: Word2Vec.load(p).wv, KeyedVectors.load, lambda p: KeyedVectors.load(p, mmap="r")):
            assert load(str(tmp_path / "ro" / "p")).index_to_key == list("abcd")
    finally:
        (tmp_path / "ro").chmod(0o755)


def hold_lock(directory, mode):
    fd = os.open(directory, os.O_RDONLY)
    fcntl.flock(fd, mode)
    return fd


@pytest.mark.parametrize("held, call", [
    (fcntl.LOCK_SH, lambda base: model("wxyz").save(base)), (fcntl.LOCK_SH, lambda base: model("wxyz").wv.save(base)),
    (fcntl.LOCK_EX, lambda base: Word2Vec.load(base)), (fcntl.LOCK_EX, lambda base: KeyedVectors.load(base, mmap="r")),
])
def test_saves_and_loads_wait_for_the_directory_lock(tmp_path, held, call):
    base = str(tmp_path / "p")
    model("abcd").save(base)
    calls = []
    fd = hold_lock(tmp_path, held)
    try:
        # The waiting call must not hold the interpreter lock, or this thread could not go on.
        worker = threading.Thread(target=lambda: calls.append(call(base)))
        worker.start()
        worker.join(0.3)
        assert worker.is_alive() and not calls
        assert json.loads(Path(f"{base}.vocab.json").read_text()) == list("abcd")
    finally:
        os.close(fd)
    worker.join(10)
    assert len(calls) == 1
    # Neither a finished load (a mapped store included) nor a save keeps the lock.
    os.close(hold_lock(tmp_path, fcntl.LOCK_EX | fcntl.LOCK_NB))


WRITER = """
import sys, time
from tarnivel import KeyedVectors
stores = [KeyedVectors.load(p) for p in sys.argv[2:4]]
print("ready", flush=True)
end, i = time.monotonic() + 2.0, 0
while time.monotonic() < end:
    getattr(stores[i % 2], sys.argv[4])(sys.argv[1])
    i += 1
"""


@pytest.mark.parametrize("save, writers", [("save", 1), ("save_word2vec_format", 2)])
def test_loads_during_saves_see_one_pair_or_the_other(tmp_path, save, writers):
    base, sources = str(tmp_path / "shared"), {}
    for words in ("wxyz", "abcd"):  # what a load finds before the first save: abcd's files, not a third model's
        m = model(words, vector_size=64)
        for prefix in (str(tmp_path / words), base):
            m.save(prefix)
        m.wv.save_word2vec_format(base)
        sources[words[0]] = m.wv.vectors
    procs = [subprocess.Popen([sys.executable, "-c", WRITER, base, str(tmp_path / "abcd"), str(tmp_path / "wxyz"), save],
                              stdout=subprocess.PIPE, text=True) for _ in range(writers)]
    try:
        assert all(p.stdout.readline().strip() == "ready" for p in procs)
        loads = 0
        while any(p.poll() is None for p in procs):
            for kv in ([Word2Vec.load(base).wv, KeyedVectors.load(base)] if writers == 1
                       else [KeyedVectors.load_word2vec_format(base)]):
                np.testing.assert_array_equal(kv.vectors, sources[kv.index_to_key[0]])
                loads += 1
    finally:
        for p in procs:
            p.wait(30)
    assert [p.returncode for p in procs] == [0] * writers and loads > 0
    assert not [name for name in os.listdir(tmp_path) if name.endswith(".tmp")]


def test_ctrl_c_during_export_either_stops_it_or_lets_it_finish(tmp_path, geo):
    out = tmp_path  # where geo is: the export's load shares the lock held below, its save waits for it
    KeyedVectors.load(geo).save(str(out / "v"))
    old = (out / "v.npy").read_bytes()
    fd = hold_lock(out, fcntl.LOCK_SH)
    export = subprocess.Popen([sys.executable, "-m", "tarnivel", "export", geo, "-o", str(out / "v"), "--format", "npy",
                               "--level", "3"], stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    export.send_signal(signal.SIGINT)
    time.sleep(0.3)
    os.close(fd)
    stderr = export.communicate(timeout=60)[1]
    assert (export.returncode, (out / "v.npy").read_bytes() != old) in [(0, True), (130, False)], stderr


# ---- 2. one-shot corpora ----


@pytest.mark.parametrize("corpus", [lambda: (s for s in CORPUS), lambda: iter(CORPUS), lambda: map(list, CORPUS)])
def test_one_shot_corpora_are_refused(corpus):
    with pytest.raises(TypeError, match=r"one-shot iterator .*re-iterable .*list.*LineSentence.*__iter__ starts over"):
        Word2Vec(corpus(), min_count=1, verbose=False)
    m = Word2Vec(min_count=1, verbose=False)
    with pytest.raises(TypeError, match="one-shot iterator"):
        m.train(corpus())
    assert m.wv.index_to_key == []  # refused before anything was read


# ---- 3. non-finite numbers ----


@pytest.mark.parametrize("value", [float("nan"), float("inf"), float("-inf"), -0.01])
def test_rates_must_be_finite_and_not_negative(value):
    for name in ("alpha", "min_alpha"):
        with pytest.raises(ValueError, match=f"^{name} must be a finite number of at least 0, not "):
            Word2Vec(CORPUS, min_count=1, verbose=False, **{name: value})
    m = Word2Vec()
    with pytest.raises(ValueError, match="sample must be a finite number >= 0"):
        m.sample = value
    assert m.sample == 0.0


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("sg, hs", [(0, 0), (1, 1)])
def test_divergence_stops_training(workers, sg, hs):
    with pytest.raises(ValueError, match=r"^training diverged at epoch 1/5 \(.* is not finite\), try a smaller alpha than 1e\+30$"):
        Word2Vec(CORPUS, vector_size=8, min_count=1, verbose=False, alpha=1e30, workers=workers, sg=sg, hs=hs)
    m = Word2Vec(vector_size=8, min_count=1, verbose=False, alpha=1e30, workers=workers, sg=sg, hs=hs)
    with pytest.raises(ValueError, match="^training diverged at epoch 1/3"):
        m.train(CORPUS, epochs=3)


@pytest.mark.parametrize("mmap", [None, "r"])
@pytest.mark.parametrize("bad_row, message", [([np.nan, 1.0], "holds a value that is not finite"),
                                              ([np.inf, 1.0], "holds a value that is not finite"),
                                              ([3e19, 3e19], "is too large to compare")])
def test_queries_refuse_vectors_they_cannot_score(tmp_path, mmap, bad_row, message):
    matrix = np.array([[1.0, 0.0], bad_row, [0.0, 1.0], [0.0, 0.0]], np.float32)
    kv = KeyedVectors.load(write_pair(tmp_path / "p", ["a", "b", "c", "d"], matrix), mmap=mmap)
    # As a candidate, as the query, and as a candidate of a zero query (no made-up 0.0 scores).
    for query in ("a", "b", "d"):
        with pytest.raises(ValueError, match=rf"^most_similar: the vector of word 'b' \(row 1\) {message}"):
            kv.most_similar(query)
    if "finite" in message:
        with pytest.raises(ValueError, match=rf"the vector of word 'b' \(row 1\) {message}"):
            kv.similar_by_vector([1.0, 0.0])
    assert kv.most_similar("a", topn=0) == []


# ---- 4. Ctrl-C in heavy training ----


@pytest.mark.parametrize("sg", [1, 0])
def test_sigint_ends_heavy_training_within_a_second(sg):
    # At the largest accepted `negative`, one position costs tenths of a second and one sentence
    # seconds: checks by position alone would leave Ctrl-C unanswered, and holding the interpreter
    # lock through a sentence would stop every other thread.
    words = [f"w{i}" for i in range(100)]
    corpus = [words[i:] + words[:i] for i in range(3)]
    m = Word2Vec(corpus, vector_size=100, min_count=1, verbose=False, sg=sg, negative=65536, epochs=0)
    ticks, done = [], threading.Event()
    ticker = threading.Thread(target=lambda: [ticks.append(1) for _ in iter(lambda: done.wait(0.05), True)])
    ticker.start()
    # Sent by another process, so that the signal's time does not depend on this one; it prints when it
    # sends (the monotonic clock is the system's), so a late start of that process is not counted.
    killer = subprocess.Popen([sys.executable, "-c", "import os, time; time.sleep(0.3); "
                               f"print(time.monotonic(), flush=True); os.kill({os.getpid()}, 2)"],
                              stdout=subprocess.PIPE, text=True)
    try:
        with pytest.raises(KeyboardInterrupt):
            m.train(corpus, epochs=1)
        answered = time.monotonic()
    finally:
        done.set()
        ticker.join()
        sent = killer.communicate(timeout=60)[0]
    assert answered - float(sent) < 1.0 and len(ticks) >= 3  # other Python threads ran meanwhile


# ---- 5. damaged and unusual matrix headers ----

@pytest.mark.parametrize("mmap", [None, "r"])
@pytest.mark.parametrize("tail", [" (", " '''"])
def test_numpy_token_errors_become_value_errors(tmp_path, mmap, tail):
    base = write_pair(tmp_path / "p", ["a", "b"], npy_bytes(header(2, 3) + tail))
    with pytest.raises(ValueError, match=f"^failed to read {base}.npy: damaged npy header") as caught:
        KeyedVectors.load(base, mmap=mmap)
    assert isinstance(caught.value.__cause__, tokenize.TokenError)


def test_only_the_dictionary_gives_the_layout(tmp_path):
    # Commented-out keys do not count (the shape's own comments: the core's header tests).
    base = write_pair(tmp_path / "p", ["a", "b"], npy_bytes(
        "{'shape': (2, 3), 'fortran_order': False, # 'fortran_order': True\n 'descr': '<f4' # '>f8'\n , }"))
    assert np.load(f"{base}.npy").shape == (2, 3)  # what NumPy itself reads
    for loaded in (Word2Vec.load(base).wv, KeyedVectors.load(base), KeyedVectors.load(base, mmap="r")):
        assert loaded.get_vector("b").tolist() == [3, 4, 5]


# ---- 6. empty prefixes (the command line's one-line errors for all of these are in test_cli) ----


@pytest.mark.parametrize("prefix", ["", "sub/"])
def test_saves_refuse_a_prefix_without_a_file_name(tmp_path, monkeypatch, prefix):
    monkeypatch.chdir(tmp_path)
    os.mkdir("sub")
    m = model()
    m.save("m")
    for store in (m, m.wv, KeyedVectors.load("m", mmap="r")):
        with pytest.raises(ValueError, match=f"^path '{prefix}' has no file name"):
            store.save(prefix)
    assert sorted(os.listdir(".")) == ["m.npy", "m.vocab.json", "sub"] and os.listdir("sub") == []


# ---- 7. inputs and situations that used to crash the process or give wrong answers ----


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
    assert result.returncode == 0 and result.stdout.strip() == "exiting", result.stderr[-2000:]


def test_exit_while_a_helper_thread_holding_the_lock_logs():
    # The progress callable runs on the reporter thread, which holds the interpreter lock; a training
    # call it makes after the exit mark logs through a nested hold, which must not wait for the exit
    # with the lock held (the exiting thread could then never take it back).
    result = run_python("""
        import atexit, threading, time
        marked = []
        atexit.register(lambda: (marked.append(1), time.sleep(0.3)))  # runs after the module's mark
        from tarnivel import Word2Vec
        started = threading.Event()
        def progress(done, total):
            started.set()
            while not marked:
                time.sleep(0.01)
            Word2Vec([["a", "b"]], vector_size=4, min_count=1, epochs=1)
        threading.Thread(target=lambda: Word2Vec(vector_size=8, min_count=1, epochs=50, workers=2).train(
            [["the", "cat", "sat", "on", "the", "mat"]] * 400, progress=progress, progress_interval=0.01),
            daemon=True).start()
        started.wait()
    """, timeout=30)
    assert result.returncode == 0, result.stderr[-2000:]


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
    assert result.returncode == 0 and result.stdout.strip() == "trained 10", result.stderr[-2000:]


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


# ---- 8. random damage to a valid file pair: every load and query works or raises an ordinary error ----


# NumPy's own header parser lets tokenize.TokenError escape for some damaged old-style headers;
# errors of numpy.load reach the caller unchanged.
ORDINARY = (ValueError, TypeError, KeyError, tokenize.TokenError)


def attempt(call):
    """The call's result, or None when it raised an ordinary error."""
    try:
        return call()
    except ORDINARY:
        return None
    except PanicException as error:  # flipped data bytes can make a NaN; a NaN score stops the query by design
        assert "is NaN" in str(error)


def exercise(base, words):
    """Every loader on the pair, then queries on whatever loaded; how many loaded."""
    loaded = [attempt(lambda: Word2Vec.load(base).wv)] + [attempt(lambda: KeyedVectors.load(base, mmap=m)) for m in (None, "r")]
    loaded = [kv for kv in loaded if kv is not None]
    for kv in loaded:
        attempt(lambda: kv.vectors)
        for word in words[:2] + kv.index_to_key[:2]:
            attempt(lambda: kv.get_vector(word, level=3))
            attempt(lambda: kv.most_similar(word, topn=3))
    return len(loaded)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_byte_damage_never_crashes(tmp_path, seed):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "d\u00e9lta", "e\"ps"]
    base = write_pair(tmp_path / "pair", words, np.arange(20, dtype=np.float32).reshape(5, 4) / 3)
    originals = {suffix: Path(base + suffix).read_bytes() for suffix in (".vocab.json", ".npy")}
    loads = 0
    for _ in range(100):
        damaged = dict(originals)
        target = rng.choice(list(damaged))
        data = bytearray(damaged[target])
        action = rng.random()
        if action < 0.8:  # header and vocabulary bytes are the interesting ones: favour the first 128
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(min(len(data), 128) if rng.random() < 0.7 else len(data))] = rng.randrange(256)
        elif action < 0.9:
            del data[rng.randrange(len(data) + 1):]
        else:
            data[rng.randrange(len(data) + 1):0] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        damaged[target] = bytes(data)
        for suffix, content in damaged.items():
            Path(base + suffix).write_bytes(content)
        loads += exercise(base, words)
    assert loads > 0  # some damage is harmless (a changed float), so some loads succeed
