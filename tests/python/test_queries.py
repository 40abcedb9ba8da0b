"""Queries on KeyedVectors: get_vector at any level and most_similar in owned and mapped mode."""

import json

import numpy as np
import pytest

from tarnivel import KeyedVectors, Word2Vec
from tarnivel._core import PanicException


def write_pair(base, words, matrix):
    """A hand-made vocabulary file and matrix file under `base` (a path without suffix)."""
    with open(f"{base}.vocab.json", "w", encoding="utf-8") as handle:
        json.dump(words, handle)
    np.save(f"{base}.npy", np.asarray(matrix, dtype=np.float32))
    return str(base)


@pytest.fixture
def trained():
    corpus = [["a", "b", "c", "d"], ["b", "c", "e"], ["a", "e", "f", "g"], ["g", "h", "a"]] * 25
    return Word2Vec(corpus, vector_size=16, min_count=1, epochs=2, verbose=False)


@pytest.fixture(params=["owned", "mapped"])
def load(request):
    """Loads a pair in the mode of the test parameter."""
    mmap = "r" if request.param == "mapped" else None
    return lambda base: KeyedVectors.load(str(base), mmap=mmap)


def reference_scores(matrix, query_row, level):
    """Cosine scores with the float32 rounding of every product and of the sequential sums."""
    m = np.asarray(matrix, dtype=np.float32)
    q = m[query_row, :level]
    s = np.float32(0)
    for x in q:
        s = np.float32(s + np.float32(x * x))
    qn = np.sqrt(s) if s > 0 else np.float32(0)
    scores = {}
    for r in range(m.shape[0]):
        dot = vsq = np.float32(0)
        for x, v in zip(q, m[r, :level]):
            dot = np.float32(dot + np.float32(x * v))
            vsq = np.float32(vsq + np.float32(v * v))
        scores[r] = 0.0 if qn == 0 or vsq == 0 else float(dot / np.float32(qn * np.sqrt(vsq)))
    return scores


class TestGetVector:
    def test_levels_and_subscript(self, trained, tmp_path, load):
        trained.save(str(tmp_path / "m"))
        kv = load(tmp_path / "m")
        full = trained.wv.get_vector("a")
        v0 = kv.get_vector("a", level=0)
        assert v0.shape == (0,) and v0.dtype == np.float32
        np.testing.assert_array_equal(kv.get_vector("a", level=5), full[:5])
        np.testing.assert_array_equal(kv.get_vector("a", level=10**6), full)
        np.testing.assert_array_equal(kv["a"], kv.get_vector("a"))
        with pytest.raises(KeyError, match="word 'zz' not in vocab"):
            kv.get_vector("zz")
        with pytest.raises(KeyError, match="word 'zz' not in vocab"):
            kv["zz"]

    def test_owned_arrays_are_copies(self, trained):
        kv = trained.wv
        v = kv.get_vector("a")
        before = v.copy()
        v[:] = 99.0
        kv.vectors[:] = 99.0
        np.testing.assert_array_equal(kv.get_vector("a"), before)


class TestMostSimilarEdges:
    def test_empty_answers_come_before_the_lookup(self, trained):
        kv = trained.wv
        assert kv.most_similar("a", topn=0) == []
        assert kv.most_similar("a", level=0) == []
        assert kv.most_similar("unknown", topn=0) == []
        assert kv.most_similar("unknown", level=0) == []
        assert KeyedVectors().most_similar("anything") == []
        with pytest.raises(KeyError, match="word 'unknown' not in vocab"):
            kv.most_similar("unknown")

    def test_argument_conversion(self, trained):
        kv = trained.wv
        with pytest.raises(OverflowError):
            kv.most_similar("a", topn=-1)
        with pytest.raises(TypeError):
            kv.most_similar("a", topn="3")
        with pytest.raises(TypeError):
            kv.most_similar(b"a")
        assert kv.most_similar("a", topn=None) == kv.most_similar("a")

    def test_result_shape_default_topn_and_query_excluded(self, tmp_path, load):
        words = [f"w{i}" for i in range(14)]
        rng = np.random.default_rng(3)
        matrix = rng.standard_normal((14, 6)).astype(np.float32)
        kv = load(write_pair(tmp_path / "p", words, matrix))
        result = kv.most_similar("w0")
        assert len(result) == 10  # default topn
        assert all(type(w) is str and type(s) is float for w, s in result)
        assert [s for _, s in result] == sorted((s for _, s in result), reverse=True)
        everything = kv.most_similar("w0", topn=1000)
        assert sorted(w for w, _ in everything) == sorted(words[1:])  # N - 1 entries, each once

    def test_one_word_store(self, tmp_path, load):
        kv = load(write_pair(tmp_path / "p", ["only"], [[1.0, 2.0]]))
        assert kv.most_similar("only") == []

    def test_identical_vector_of_another_word_but_never_the_query(self, tmp_path, load):
        kv = load(write_pair(tmp_path / "p", ["a", "twin", "other"], [[1, 2, 3], [1, 2, 3], [3, -1, 0]]))
        result = kv.most_similar("a")
        assert [w for w, _ in result] == ["twin", "other"]
        assert result[0][1] == pytest.approx(1.0, abs=1e-6)

    def test_zero_prefixes_score_zero(self, tmp_path, load):
        matrix = [[1, 1, 5], [0, 0, 7], [2, 1, 0], [-1, 0, 1]]
        kv = load(write_pair(tmp_path / "p", ["q", "zero", "x", "y"], matrix))
        scores = dict(kv.most_similar("q", level=2))
        assert scores["zero"] == 0.0
        # A query whose prefix is all zeros scores 0.0 against everything.
        assert all(s == 0.0 for _, s in kv.most_similar("zero", level=2))

    def test_level_above_vector_size_is_no_level(self, trained):
        kv = trained.wv
        assert kv.most_similar("a", level=10**9) == kv.most_similar("a")
        assert kv.most_similar("a", level=4) != kv.most_similar("a")


class TestMostSimilarScores:
    def test_scores_are_the_float32_sequential_cosines(self, tmp_path, load):
        rng = np.random.default_rng(11)
        matrix = rng.standard_normal((30, 9)).astype(np.float32)
        words = [f"w{i}" for i in range(30)]
        kv = load(write_pair(tmp_path / "p", words, matrix))
        for level in (1, 4, 9):
            want = reference_scores(matrix, 5, level)
            got = kv.most_similar("w5", topn=100, level=level)
            assert {w: s for w, s in got} == {words[r]: s for r, s in want.items() if r != 5}

    def test_ties_keep_ascending_row_order_and_topn_cuts_by_first_minimum(self, tmp_path):
        # Rows 1..6 all score 1.0 against the query; the working list keeps the first three.
        matrix = [[1, 0]] + [[2, 0]] * 6 + [[0, 1]]
        words = ["q"] + [f"t{i}" for i in range(1, 7)] + ["z"]
        base = write_pair(tmp_path / "p", words, matrix)
        mapped = KeyedVectors.load(base, mmap="r")
        owned = KeyedVectors.load(base)
        for kv in (mapped, owned):
            assert [w for w, _ in kv.most_similar("q", topn=3)] == ["t1", "t2", "t3"]
            assert [w for w, _ in kv.most_similar("q")] == ["t1", "t2", "t3", "t4", "t5", "t6", "z"]

    def test_owned_and_mapped_agree(self, trained, tmp_path):
        trained.wv.save(str(tmp_path / "kv"))
        mapped = KeyedVectors.load(str(tmp_path / "kv"), mmap="r")
        owned = KeyedVectors.load(str(tmp_path / "kv"))
        for word in trained.wv.index_to_key:
            for level in (None, 4, 8):
                assert mapped.most_similar(word, level=level) == owned.most_similar(word, level=level)
                assert owned.most_similar(word, level=level) == trained.wv.most_similar(word, level=level)

    def test_duplicate_word_resolves_to_its_last_row_in_owned_mode(self, tmp_path):
        kv = KeyedVectors.load(write_pair(tmp_path / "p", ["a", "b", "a"], [[0, 1], [1, 0], [1, 0]]))
        result = kv.most_similar("b")
        assert result == [("a", 1.0)]  # offered once, with the vector of row 2

    def test_nan_vectors_stop_the_query_with_the_internal_error(self, tmp_path, load):
        kv = load(write_pair(tmp_path / "p", ["a", "b", "c"], [[1, 0], [np.nan, 1], [0, 1]]))
        with pytest.raises(PanicException):
            kv.most_similar("a")
        assert kv.most_similar("a", topn=0) == []


class TestMappedChecks:
    def test_float64_matrix_fails_at_the_first_query(self, tmp_path):
        np.save(tmp_path / "p.npy", np.ones((2, 3), dtype=np.float64))
        (tmp_path / "p.vocab.json").write_text('["a","b"]', encoding="utf-8")
        kv = KeyedVectors.load(str(tmp_path / "p"), mmap="r")
        with pytest.raises(TypeError):
            kv.most_similar("a")
        with pytest.raises(TypeError):
            kv.vectors
        assert kv.most_similar("a", topn=0) == []

    def test_fortran_matrix_is_refused_when_mapped(self, tmp_path):
        np.save(tmp_path / "p.npy", np.asfortranarray(np.arange(6, dtype=np.float32).reshape(2, 3)))
        (tmp_path / "p.vocab.json").write_text('["a","b"]', encoding="utf-8")
        kv = KeyedVectors.load(str(tmp_path / "p"), mmap="r")
        with pytest.raises(TypeError):
            kv.most_similar("a")
