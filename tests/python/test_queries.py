"""The funnel search, the word-set queries, KeyedVectors.from_array, and the command line's
--coarse-level, --plot and --format tsv."""

import os
import sys

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors
from tarnivel.__main__ import main

WORDS = [f"w{i}" for i in range(300)] + ["w7"]  # w7 is listed twice and resolves to its last row


@pytest.fixture(params=["owned", "mapped"])
def kv(request, tmp_path):
    m = np.random.default_rng(2).standard_normal((len(WORDS), 24)).astype(np.float32)
    m[5] = m[9]  # a tie
    m[11, :6] = 0  # a zero coarse prefix
    return KeyedVectors.load(write_pair(tmp_path / "s", WORDS, m), mmap="r" if request.param == "mapped" else None)


@pytest.mark.parametrize("level, coarse", [(None, 6), (12, 3), (24, 23), (7, None)])
def test_vector_queries_rank_as_most_similar(kv, level, coarse):
    # The funnel with a shortlist that covers the store gives most_similar's answer bit for bit; the
    # exact batched scan (8-lane sums) its words, with scores equal to rounding.
    n = len(WORDS)
    for word in ("w0", "w5", "w7", "w11"):
        exact = kv.most_similar(word, topn=n, level=level)
        found = kv.similar_by_vector(kv.get_vector(word, level), topn=n, level=level, exclude=[word],
                                     coarse_level=coarse, shortlist=n)
        assert found == exact if coarse else [w for w, _ in found] == [w for w, _ in exact]
        assert [s for _, s in found] == pytest.approx([s for _, s in exact], abs=1e-6)
    batch = kv.similar_by_vector(np.stack([kv.get_vector(w, level) for w in ("w1", "w2")]), topn=4, level=level,
                                 coarse_level=coarse, shortlist=n)
    assert [[w for w, _ in b[1:]] for b in batch] == [[w for w, _ in kv.most_similar(w, topn=3, level=level)] for w in ("w1", "w2")]


@pytest.mark.parametrize("level", [None, 5])
def test_word_set_queries_agree_with_numpy(kv, level):
    distinct = WORDS[:-1]
    v = np.stack([kv.get_vector(w, level) for w in distinct]).astype(np.float64)
    norms = np.linalg.norm(v, axis=1, keepdims=True)
    unit = dict(zip(distinct, np.divide(v, norms, out=np.zeros_like(v), where=norms > 0)))  # w11 is zero at level 5
    cos = lambda a, b: float(a @ b / max(np.linalg.norm(a) * np.linalg.norm(b), 1e-300))  # noqa: E731
    q = unit["w1"] + unit["w2"] - unit["w3"]
    want = sorted(((cos(q, unit[w]), w) for w in distinct if w not in ("w1", "w2", "w3")), reverse=True)[:5]
    for got in (kv.similar_by_words(["w1", "w2"], ["w3"], topn=5, level=level),
                kv.similar_by_words(["w1", "w2"], ["w3"], topn=5, level=level, coarse_level=3, shortlist=len(WORDS)),
                kv.analogy("w3", "w1", "w2", topn=5, level=level)):
        assert [w for w, _ in got] == [w for _, w in want]
        assert [s for _, s in got] == pytest.approx([s for s, _ in want], abs=1e-5)
    group = ["w7", "w20", "w30", "w40", "w50"]
    odd = min(group, key=lambda w: cos(unit[w], np.mean([unit[o] for o in group if o != w], axis=0)))
    assert kv.doesnt_match(group, level=level) == odd
    mean = lambda ws: np.mean([unit[w] for w in ws], axis=0)  # noqa: E731
    assert kv.n_similarity(["w1", "w7"], ["w3"], level=level) == pytest.approx(cos(mean(["w1", "w7"]), mean(["w3"])), abs=1e-6)
    assert len(kv.analogy("w1", "w2", "w3")) == 1 and kv.analogy("w1", "w2", "w3", topn=0) == []


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda kv: KeyedVectors.from_array(["a", "a"], np.ones((2, 3))), ValueError, "word 'a' is given more than once"),
        (lambda kv: KeyedVectors.from_array(["a", "b"], np.ones((3, 3))), ValueError, "array has 3 rows for 2 words"),
        (lambda kv: KeyedVectors.from_array(["a"], np.ones(3)), ValueError, "array must be 2-D"),
        (lambda kv: KeyedVectors.from_array("ab", np.ones((2, 3))), TypeError, "not a str"),
        (lambda kv: KeyedVectors.from_array([1], np.ones((1, 3))), TypeError, "argument 'words'"),
        (lambda kv: kv.similar_by_words([]), ValueError, "positive must name at least one word"),
        (lambda kv: kv.similar_by_words(["a"], ["b", "a"]), ValueError, "word 'a' is given more than once"),
        (lambda kv: kv.similar_by_words(["a"], ["zz"]), KeyError, "word 'zz' not in vocab"),
        (lambda kv: kv.analogy("a", "b", "zz"), KeyError, "word 'zz' not in vocab"),
        (lambda kv: kv.doesnt_match(["a"]), ValueError, "words must name at least two words"),
        (lambda kv: kv.doesnt_match("abc"), TypeError, "not a str"),
        (lambda kv: kv.n_similarity(["a"], []), ValueError, "words2 must name at least one word"),
        (lambda kv: kv.similar_by_vector(np.ones(3), coarse_level=0), ValueError, "coarse_level must be at least 1"),
    ],
)
def test_refusals(call, exc, message):
    with pytest.raises(exc, match=message):
        call(KeyedVectors.from_array(["a", "b", "c"], np.eye(3)))


def test_from_array_copies_any_float_array():
    a = np.arange(6, dtype=np.float64).reshape(2, 3)
    kv = KeyedVectors.from_array(("x", "y", "z"), a.T)
    a[:] = 0
    assert kv.vectors.tolist() == [[0, 3], [1, 4], [2, 5]] and kv.vectors.dtype == np.float32 and kv["y"].tolist() == [1, 4]
    assert KeyedVectors.from_array([], np.zeros((0, 4))).vector_size == 4


@pytest.fixture
def saved(tmp_path):
    words = [f"w{i}" for i in range(50)] + ["tab\there"]
    m = np.random.default_rng(4).standard_normal((len(words), 8)).astype(np.float32)
    (tmp_path / "pairs.txt").write_text("".join(f"w{i}\tw{i + 1}\t{i % 7}\n" for i in range(20)))
    return write_pair(tmp_path / "v", words, m), words, m


def test_cli_funnel_and_projector_files(saved, capsys):
    prefix, words, m = saved
    assert main(["similar", prefix, "w3", "--topn", "5"]) == 0
    exact = capsys.readouterr().out
    assert main(["similar", prefix, "w3", "--topn", "5", "--coarse-level", "2", "--mmap"]) == 0
    assert capsys.readouterr().out == exact  # the default shortlist covers 51 rows
    victim = prefix + "-victim"
    open(victim, "w").write("keep")
    os.symlink(victim, prefix + "-p.vectors.tsv.tmp")  # a link planted at an obvious temporary name
    assert main(["export", prefix, "-o", prefix + "-p", "--format", "tsv", "--level", "3"]) == 0
    assert open(victim).read() == "keep"
    np.testing.assert_array_equal(np.loadtxt(prefix + "-p.vectors.tsv", delimiter="\t", dtype=np.float32), m[:, :3])
    with open(prefix + "-p.metadata.tsv", encoding="utf-8", newline="") as f:
        assert f.read() == "\n".join(words[:-1] + ["tab\\there"]) + "\n"


def test_quality_plot(saved, tmp_path, capsys, monkeypatch):
    prefix = saved[0]
    argv = ["evaluate", prefix, "--pairs", str(tmp_path / "pairs.txt"), "--levels", "2,4,8", "--plot", str(tmp_path / "q.png")]
    for name in [n for n in sys.modules if n.split(".")[0] == "matplotlib"] + ["matplotlib"]:
        monkeypatch.setitem(sys.modules, name, None)  # as if matplotlib were not installed
    assert main(argv) == 2 and not (tmp_path / "q.png").exists()
    assert capsys.readouterr().err == "tarnivel: error: --plot needs matplotlib: pip install 'tarnivel[plot]'\n"
    monkeypatch.undo()
    image = pytest.importorskip("matplotlib.image")
    assert main(argv) == 0 and (tmp_path / "q.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert image.imread(str(tmp_path / "q.png")).shape[2] in (3, 4)
