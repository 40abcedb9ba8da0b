"""Queries on KeyedVectors: get_vector at any level and most_similar in owned and mapped mode."""

import numpy as np
import pytest

from tarnivel import KeyedVectors
from tarnivel._core import PanicException
from test_files import model, write_pair  # noqa: F401 (model is a fixture)


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
    def test_levels_and_subscript(self, model, tmp_path, load):
        model.save(str(tmp_path / "m"))
        kv = load(tmp_path / "m")
        full = model.wv.get_vector("a")
        v0 = kv.get_vector("a", level=0)
        assert v0.shape == (0,) and v0.dtype == np.float32
        np.testing.assert_array_equal(kv.get_vector("a", level=5), full[:5])
        np.testing.assert_array_equal(kv.get_vector("a", level=10**6), full)
        np.testing.assert_array_equal(kv["a"], kv.get_vector("a"))
        for lookup in (kv.get_vector, kv.__getitem__):
            with pytest.raises(KeyError, match="word 'zz' not in vocab"):
                lookup("zz")


class TestMostSimilarEdges:
    def test_empty_answers_come_before_the_lookup(self, model):
        kv = model.wv
        for word in ("a", "unknown"):
            assert kv.most_similar(word, topn=0) == [] and kv.most_similar(word, level=0) == []
        assert KeyedVectors().most_similar("anything") == []
        with pytest.raises(KeyError, match="word 'unknown' not in vocab"):
            kv.most_similar("unknown")

    def test_argument_conversion_and_levels(self, model):
        kv = model.wv
        with pytest.raises(OverflowError):
            kv.most_similar("a", topn=-1)
        with pytest.raises(TypeError):
            kv.most_similar("a", topn="3")
        with pytest.raises(TypeError):
            kv.most_similar(b"a")
        assert kv.most_similar("a", topn=None) == kv.most_similar("a")
        # A level above the vector size is no level at all.
        assert kv.most_similar("a", level=10**9) == kv.most_similar("a")
        assert kv.most_similar("a", level=4) != kv.most_similar("a")

    def test_result_shape_default_topn_and_query_excluded(self, tmp_path, load):
        words = [f"w{i}" for i in range(14)]
        matrix = np.random.default_rng(3).standard_normal((14, 6)).astype(np.float32)
        kv = load(write_pair(tmp_path / "p", words, matrix))
        result = kv.most_similar("w0")
        assert len(result) == 10  # default topn
        assert all(type(w) is str and type(s) is float for w, s in result)
        assert [s for _, s in result] == sorted((s for _, s in result), reverse=True)
        everything = kv.most_similar("w0", topn=1000)
        assert sorted(w for w, _ in everything) == sorted(words[1:])  # N - 1 entries, each once
        assert load(write_pair(tmp_path / "one", ["only"], [[1.0, 2.0]])).most_similar("only") == []

    def test_identical_vector_of_another_word_but_never_the_query(self, tmp_path, load):
        kv = load(write_pair(tmp_path / "p", ["a", "twin", "other"], [[1, 2, 3], [1, 2, 3], [3, -1, 0]]))
        result = kv.most_similar("a")
        assert [w for w, _ in result] == ["twin", "other"]
        assert result[0][1] == pytest.approx(1.0, abs=1e-6)

    def test_zero_prefixes_score_zero(self, tmp_path, load):
        matrix = [[1, 1, 5], [0, 0, 7], [2, 1, 0], [-1, 0, 1]]
        kv = load(write_pair(tmp_path / "p", ["q", "zero", "x", "y"], matrix))
        assert dict(kv.most_similar("q", level=2))["zero"] == 0.0
        # A query whose prefix is all zeros scores 0.0 against everything.
        assert all(s == 0.0 for _, s in kv.most_similar("zero", level=2))


class TestMostSimilarScores:
    def test_scores_are_the_float32_sequential_cosines(self, tmp_path, load):
        matrix = np.random.default_rng(11).standard_normal((30, 9)).astype(np.float32)
        words = [f"w{i}" for i in range(30)]
        kv = load(write_pair(tmp_path / "p", words, matrix))
        for level in (1, 4, 9, None):
            want = reference_scores(matrix, 5, level)
            got = kv.most_similar("w5", topn=100, level=level)
            assert {w: s for w, s in got} == {words[r]: s for r, s in want.items() if r != 5}

    def test_ties_keep_ascending_row_order_and_topn_cuts_by_first_minimum(self, tmp_path, load):
        # Rows 1..6 all score 1.0 against the query; the working list keeps the first three.
        matrix = [[1, 0]] + [[2, 0]] * 6 + [[0, 1]]
        kv = load(write_pair(tmp_path / "p", ["q"] + [f"t{i}" for i in range(1, 7)] + ["z"], matrix))
        assert [w for w, _ in kv.most_similar("q", topn=3)] == ["t1", "t2", "t3"]
        assert [w for w, _ in kv.most_similar("q")] == ["t1", "t2", "t3", "t4", "t5", "t6", "z"]

    def test_duplicate_word_resolves_to_its_last_row_in_owned_mode(self, tmp_path):
        kv = KeyedVectors.load(write_pair(tmp_path / "p", ["a", "b", "a"], [[0, 1], [1, 0], [1, 0]]))
        assert kv.most_similar("b") == [("a", 1.0)]  # offered once, with the vector of row 2

    def test_nan_vectors_stop_the_query_with_a_value_error(self, tmp_path, load):
        kv = load(write_pair(tmp_path / "p", ["a", "b", "c"], [[1, 0], [np.nan, 1], [0, 1]]))
        with pytest.raises(ValueError, match="word 'b'"):
            kv.most_similar("a")
        assert kv.most_similar("a", topn=0) == []


@pytest.mark.parametrize("matrix", [np.ones((2, 3)), np.asfortranarray(np.ones((2, 3), np.float32))])
def test_mapped_matrices_other_than_c_order_float32_fail_at_load(tmp_path, matrix):
    with pytest.raises(ValueError, match="^unsupported npy"):
        KeyedVectors.load(write_pair(tmp_path / "p", ["a", "b"], matrix), mmap="r")
