"""TARNIVEL_ARITHMETIC=fast: the same training with other rounding, repeatable with one worker, read by
each call, set by the command line's --fast; the quality of the four modes against the exact arithmetic."""

import os
import types
from pathlib import Path

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import Word2Vec, set_seed

DATA = Path(__file__).resolve().parents[3] / "shared" / "data"
MODES = [(0, 0), (0, 1), (1, 0), (1, 1)]


def train(corpus, value, sg, hs, monkeypatch, **kw):
    if value is None:
        monkeypatch.delenv("TARNIVEL_ARITHMETIC", raising=False)
    else:
        monkeypatch.setenv("TARNIVEL_ARITHMETIC", value)
    set_seed(7)
    return Word2Vec(corpus, min_count=1, sg=sg, hs=hs, workers=1, verbose=False, **kw).wv.vectors


@pytest.mark.parametrize("sg, hs", MODES)
def test_fast_arithmetic_repeats_itself_near_the_exact(sg, hs, monkeypatch):
    corpus = make_corpus(sentences=300)
    exact = train(corpus, None, sg, hs, monkeypatch, vector_size=40, epochs=2)
    fast = train(corpus, "fast", sg, hs, monkeypatch, vector_size=40, epochs=2)
    assert np.array_equal(fast, train(corpus, "fast", sg, hs, monkeypatch, vector_size=40, epochs=2))
    assert not np.array_equal(fast, exact)
    np.testing.assert_allclose(fast, exact, atol=2e-3)
    for other in ("exact", "FAST", "fast ", ""):
        assert np.array_equal(train(corpus, other, sg, hs, monkeypatch, vector_size=40, epochs=2), exact), other


def test_cli_fast_sets_the_variables_for_the_call(monkeypatch, tmp_path):
    from tarnivel import __main__ as cli

    seen = []
    model = types.SimpleNamespace(train=lambda *a, **k: seen.append(
        (os.environ.get("TARNIVEL_ARITHMETIC"), os.environ.get("TARNIVEL_ROW_LOCKS"))))
    real, calls = cli._train_model, []
    monkeypatch.setattr(cli, "_train_model", lambda *a, **k: calls.append(k) or real(model, *a[1:], **k))
    monkeypatch.setenv("TARNIVEL_ARITHMETIC", "exact")
    monkeypatch.delenv("TARNIVEL_ROW_LOCKS", raising=False)
    (tmp_path / "c.txt").write_text("a b c d\n" * 100)
    for workers in ("1", "2"):
        cli.main(["train", str(tmp_path / "c.txt"), "-o", str(tmp_path / "m"), "--min-count", "1", "--workers",
                  workers, "-q", "--fast"])
    assert seen == [("fast", None), ("fast", "0")]
    assert (os.environ.get("TARNIVEL_ARITHMETIC"), os.environ.get("TARNIVEL_ROW_LOCKS")) == ("exact", None)


@pytest.mark.slow
@pytest.mark.skipif(not (DATA / "corpus_en.txt").is_file(), reason="reference corpus not available")
@pytest.mark.parametrize("sg, hs", MODES)
def test_fast_quality_matches_exact(sg, hs, monkeypatch):
    # A third of the reference corpus, 3 epochs, the same seed: the fast arithmetic's WordSim-353 and
    # MEN scores within 0.03 of the exact ones (different seeds alone move them by about 0.02 here).
    monkeypatch.syspath_prepend(str(Path(__file__).resolve().parents[2] / "bench"))
    import common

    corpus = common.load_corpus(DATA / "corpus_en.txt")
    corpus = corpus[: len(corpus) // 3]
    pairs = {"ws": common.read_wordsim(DATA / "wordsim353.txt"), "men": common.read_men(DATA / "men.csv")}
    scores = {}
    for value in ("exact", "fast"):
        monkeypatch.setenv("TARNIVEL_ARITHMETIC", value)
        set_seed(3)
        m = Word2Vec(corpus, **common.TRAINING, sg=sg, hs=hs, negative=0 if hs else 5, epochs=3, verbose=False)
        index = {w: i for i, w in enumerate(m.wv.index_to_key)}
        scores[value] = {k: common.similarity_score(np.asarray(m.wv.vectors), index, p)[0] for k, p in pairs.items()}
    for k in pairs:
        assert abs(scores["fast"][k] - scores["exact"][k]) <= 0.03, scores
