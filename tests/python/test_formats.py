"""Queries on KeyedVectors (get_vector, most_similar, similarity, batched vector queries, the funnel, word-set
queries), KeyedVectors.from_array, word2vec files, in owned and mapped mode; word-pair and analogy evaluation;
and the command line's evaluate, export, --coarse-level and --plot."""

import math
import os
import struct
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import CAPITALS, COUNTRIES, write_pair
from tarnivel import KeyedVectors
from tarnivel.__main__ import main
from tarnivel._evaluation import average_ranks, pearson, read_csv_pairs, spearman

@pytest.fixture(params=["owned", "mapped"])
def load(request):
    return lambda base: KeyedVectors.load(str(base), mmap="r" if request.param == "mapped" else None)


@pytest.fixture
def random_store(tmp_path):
    rng = np.random.default_rng(5)
    words = [f"w{i}" for i in range(5000)] + ["caf\u00e9", "\u732b"]
    vectors = rng.standard_normal((len(words), 24)).astype(np.float32)
    vectors[4000] = vectors[10]  # a tie across the two row ranges of a pooled batch
    return write_pair(tmp_path / "m", words, vectors), words, vectors


# ---- lookups and most_similar ----

def test_membership_lookups_and_levels(tmp_path, load):
    kv = load(write_pair(tmp_path / "p", ["a", "b", "c"], np.arange(12, dtype=np.float32).reshape(3, 4)))
    assert len(kv) == 3 and len(KeyedVectors()) == 0
    assert "a" in kv and "z" not in kv and 3 not in kv and None not in kv
    mapping = kv.key_to_index
    mapping["x"] = 9  # a new dict each time
    assert kv.key_to_index == {"a": 0, "b": 1, "c": 2} and kv.get_index("b") == 1
    for lookup in (kv.get_index, kv.get_vector, kv.__getitem__, kv.most_similar):
        with pytest.raises(KeyError, match="word 'zz' not in vocab"):
            lookup("zz")
    with pytest.raises(TypeError, match="argument 'key'"):
        kv.get_index(1)
    assert [kv.get_vector("b", level=n).tolist() for n in (0, 2, 10**6)] == [[], [4, 5], [4, 5, 6, 7]]
    assert kv.get_vector("b", level=0).dtype == np.float32 and kv["b"].tolist() == [4, 5, 6, 7]


def reference_scores(matrix, query_row, level):
    """Cosines of the prefixes in float64 NumPy (a zero prefix scores 0.0); the float32 summation order
    is checked by the core's own tests."""
    m = matrix[:, :level].astype(np.float64)
    norms = np.linalg.norm(m, axis=1)
    dots = m @ m[query_row]
    return {r: 0.0 if norms[r] * norms[query_row] == 0 else dots[r] / (norms[r] * norms[query_row])
            for r in range(len(m))}


def test_most_similar_and_similarity_scores_are_the_float32_sequential_cosines(tmp_path, load):
    matrix = np.random.default_rng(11).standard_normal((30, 9)).astype(np.float32)
    matrix[7, :4] = 0  # a zero prefix scores 0.0, as candidate and as query
    words = [f"w{i}" for i in range(30)]
    kv = load(write_pair(tmp_path / "p", words, matrix))
    for query in (5, 7):
        for level in (1, 4, 9, None, 10**9):
            got = kv.most_similar(words[query], topn=100, level=level)
            assert [s for _, s in got] == sorted((s for _, s in got), reverse=True)
            assert all(type(w) is str and type(s) is float for w, s in got)
            want = {words[r]: s for r, s in reference_scores(matrix, query, level).items() if r != query}
            assert dict(got) == pytest.approx(want, abs=1e-6)
            assert all(kv.similarity(words[query], w, level=level) == s for w, s in got[:3])
    assert kv.similarity("w3", "w3") == pytest.approx(1.0, abs=1e-6)
    assert len(kv.most_similar("w5")) == 10 and kv.most_similar("w5", topn=None) == kv.most_similar("w5")
    for word in ("w5", "unknown"):  # empty answers come before the lookup
        assert kv.most_similar(word, topn=0) == [] and kv.most_similar(word, level=0) == []
    assert KeyedVectors().most_similar("anything") == []
    for call, exc in [(lambda: kv.most_similar("w5", topn=-1), OverflowError), (lambda: kv.most_similar(b"w5"), TypeError),
                      (lambda: kv.most_similar("w5", "3"), TypeError), (lambda: kv.similarity("w3", "nope"), KeyError)]:
        with pytest.raises(exc):
            call()


@pytest.mark.parametrize("matrix, topn, expected", [
    ([[1, 2, 3], [1, 2, 3], [3, -1, 0]], 10, ["w1", "w2"]),  # an identical vector is found, never the query
    ([[1.0, 2.0]], 10, []),
    ([[1, 0]] + [[2, 0]] * 6 + [[0, 1]], 3, ["w1", "w2", "w3"]),  # ties keep ascending row order
])
def test_most_similar_order(tmp_path, load, matrix, topn, expected):
    kv = load(write_pair(tmp_path / "p", [f"w{i}" for i in range(len(matrix))], matrix))
    assert [w for w, _ in kv.most_similar("w0", topn=topn)] == expected


# ---- vector queries ----

def test_similar_by_vector_arguments(random_store):
    prefix, words, vectors = random_store
    kv = KeyedVectors.load(prefix)
    v = vectors[0]
    assert len(kv.similar_by_vector(v)) == 10
    assert kv.similar_by_vector(v, topn=0) == [] and kv.similar_by_vector(v, level=0) == []
    assert len(kv.similar_by_vector(v, topn=10**9)) == len(words)
    queries = vectors[:64] + 0.5  # enough work for the pool: each answer as the query alone gives it
    assert kv.similar_by_vector(queries, topn=6) == [kv.similar_by_vector(q, topn=6) for q in queries]
    assert [w for w, _ in kv.similar_by_vector(list(map(float, v)), topn=1)] == ["w0"]  # any array-like
    assert kv.similar_by_vector(np.stack([v, v]), topn=1, exclude={"w0", "unknown"})[1][0][0] != "w0"
    assert kv.similar_by_vector(np.zeros((0, 24), np.float32)) == []
    assert kv.similar_by_vector(v[:5], level=5)[0][0] == "w0"
    bad = np.where(np.arange(24) == 3, np.nan, v)
    for query, message in [(v[:5], "the query vector has 5 components, fewer than the level 24"),
                           (np.zeros((2, 2, 24), np.float32), "1-D array"),
                           (bad, "the query vector holds a value that is not finite"),
                           (np.stack([v, bad]), "query vector 1 holds a value that is not finite")]:
        with pytest.raises(ValueError, match=message):
            kv.similar_by_vector(query)
    with pytest.raises(TypeError, match="argument 'exclude'"):
        kv.similar_by_vector(v, exclude="w0")


NO_COPY_SCRIPT = """
import resource, sys
import numpy as np
from tarnivel import KeyedVectors

kv = KeyedVectors.load(sys.argv[1], mmap="r")
queries = np.random.default_rng(0).standard_normal((64, 500), dtype=np.float32)
kv.similar_by_vector(queries, topn=3)  # maps every page of the file in (they count as resident)
kv.analogy("w1", "w2", "w3")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for _ in range(3):
    kv.similar_by_vector(queries, topn=3, level=250)
    kv.similar_by_vector(queries[0], topn=3)
    kv.analogy("w1", "w2", "w3")
    kv.save_word2vec_format(sys.argv[1] + ".bin", binary=True)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def test_mapped_queries_do_not_copy_the_matrix(tmp_path):
    # 40 MB of vectors behind a memory map, queried in a fresh process: the peak resident size
    # (ru_maxrss, kilobytes) would grow by the matrix size if any call copied it, even briefly.
    prefix = write_pair(tmp_path / "big", [f"w{i}" for i in range(20000)],
                        np.random.default_rng(0).standard_normal((20000, 500), dtype=np.float32))
    out = subprocess.run([sys.executable, "-c", NO_COPY_SCRIPT, prefix], capture_output=True, text=True, check=True)
    assert int(out.stdout) * 1024 < 20000 * 500, out.stdout  # a quarter of the matrix


# ---- word2vec files ----

def test_word2vec_round_trips_are_bit_exact(tmp_path, random_store, load):
    _, words, vectors = random_store
    vectors = vectors.copy()
    vectors[5] = np.array([0.0, -0.0, 1e-45, -3.4028235e38, 1 / 3, np.inf, -np.inf, 1e-38] * 3, dtype=np.float32)
    kv = load(write_pair(tmp_path / "special", words, vectors))
    for binary in (False, True):
        path = str(tmp_path / ("v.bin" if binary else "v.txt"))
        kv.save_word2vec_format(path, binary=binary)
        back = KeyedVectors.load_word2vec_format(path, binary=binary)
        assert back.index_to_key == words and not os.path.exists(path + ".tmp")
        assert np.asarray(back.vectors).view(np.uint32).tobytes() == vectors.view(np.uint32).tobytes()
        back.save(str(tmp_path / "again"))  # ... and back to the pair, which loads with the same bits
        assert np.asarray(KeyedVectors.load(str(tmp_path / "again")).vectors).tobytes() == vectors.tobytes()


def test_written_files_have_the_word2vec_layout(tmp_path, load):
    kv = load(write_pair(tmp_path / "m", ["the", "caf\u00e9"], [[0.5, -2.0, 3.0], [1.0, 0.1, -0.0]]))
    kv.save_word2vec_format(str(tmp_path / "t.txt"))
    assert (tmp_path / "t.txt").read_bytes() == "2 3\nthe 0.5 -2 3\ncaf\u00e9 1 0.1 -0\n".encode()
    kv.save_word2vec_format(str(tmp_path / "t2.txt"), level=2)
    assert (tmp_path / "t2.txt").read_text(encoding="utf-8") == "2 2\nthe 0.5 -2\ncaf\u00e9 1 0.1\n"
    kv.save_word2vec_format(str(tmp_path / "b.bin"), binary=True, level=2)
    assert (tmp_path / "b.bin").read_bytes() == b"2 2\nthe " + struct.pack("<2f", 0.5, -2.0) + b"\n" + \
        "caf\u00e9 ".encode() + struct.pack("<2f", 1.0, 0.1) + b"\n"
    # The shortest text that reads back as the same float.
    load(write_pair(tmp_path / "s", ["x"], [[1 / 3, 1e-45, 3.4028235e38, 123456.79]])).save_word2vec_format(str(tmp_path / "s.txt"))
    assert (tmp_path / "s.txt").read_text() == "1 4\nx 0.33333334 1e-45 3.4028235e+38 123456.79\n"


def test_loads_files_other_tools_write(tmp_path):
    path = tmp_path / "other.txt"
    load = lambda **kw: KeyedVectors.load_word2vec_format(str(path), **kw)  # noqa: E731
    # CRLF, trailing spaces, several spaces, a final blank line; a header with extra spaces.
    path.write_bytes(b"3 2 \r\nthe 0.1  0.2 \r\nof -1e-3\t4\r\nand 5 6\r\n\r\n")
    assert load().index_to_key == ["the", "of", "and"] and len(load(limit=0)) == 0
    assert np.array_equal(load().vectors, np.array([[0.1, 0.2], [-1e-3, 4], [5, 6]], dtype=np.float32))
    path.write_bytes(b"3 1\na 1\nb 2\nc oops\n")  # a limit reads only the first rows, never what follows
    assert load(limit=2).index_to_key == ["a", "b"]
    # Binary: newlines before a word are skipped, the last record may lack its newline.
    path.write_bytes(b"2 1\r\n\na " + struct.pack("<f", 1.5) + b"\n\nb " + struct.pack("<f", -2.0))
    assert load(binary=True).vectors.tolist() == [[1.5], [-2.0]] and load(binary=True, limit=1).index_to_key == ["a"]
    # Words that are not UTF-8 decode as Python decodes them.
    for word in (b"caf\xe9", b"a\xffb", b"x\xe2\x82y", b"q\xed\xa0\x80", b"q\xf0\x90\x80", b"q\xc0\xaf", b"caf\xc3\xa9"):
        path.write_bytes(b"2 1\n" + word + b" 1\nok 2\n")
        for errors in ("replace", "ignore"):
            assert load(errors=errors).index_to_key == [word.decode("utf-8", errors), "ok"]
    with pytest.raises(ValueError, match="errors must be 'strict', 'replace' or 'ignore', not 'surrogateescape'"):
        load(errors="surrogateescape")


def binary_rows(rows):
    return b"".join(w.encode() + b" " + struct.pack(f"<{len(v)}f", *v) + b"\n" for w, v in rows)


@pytest.mark.parametrize("content, binary, message", [
    (b"", False, "line 1: the file is empty"),
    (b"three 2\n", False, "line 1: expected the word count and the vector size ('WORDS DIMENSIONS'), found 'three 2'"),
    (b"2\n", False, "line 1: expected the word count"),
    (b"2 3 4\n", False, "line 1: expected the word count"),
    (b"-1 3\n", False, "line 1: expected the word count"),
    (b"x 2\n", True, "line 1: expected the word count"),
    (b"1 2000000000000\na 1\n", False, "line 2: expected 2000000000000 numbers after the word 'a'"),
    (b"2 1\na 1\n\nb 2\n", False, "line 3: empty line where a word and its 1 numbers were expected"),
    (b"1 1\n 1\n", False, "line 2: the line starts with a space or tab instead of a word"),
    (b"1 3\na 1 2,5 3\n", False, "line 2: value 2 of the word 'a' is not a number: '2,5'"),
    (b"2 3\na 1 2 3\nb 1 2\n", False, "line 3: expected 3 numbers after the word 'b' (as the header declares), found 2"),
    (b"2 3\na 1 2 3\nb 1 2 3 4\n", False, "line 3: more than the 3 numbers the header declares"),
    (b"1 3\na 1 0x2 3\n", False, "line 2: value 2 of the word 'a' is not a number: '0x2'"),
    (b"4 1\na 1\nb 2\n", False, "line 4: the file ends after 2 of the 4 words the header declares"),
    (b"1 1\na 1\nb 2\n", False, "line 3: more rows than the 1 words the header declares"),
    (b"1 1\n\xff\xfe 1\n", False, "line 2: the word '\\xff\\xfe' is not valid UTF-8 (byte 0xff at offset 0); "
                                 "load with errors='replace' or errors='ignore' to keep such words"),
    (b"2 2\n" + binary_rows([("a", [1, 2])]) + b"b " + struct.pack("<f", 3.0), True,
     "line 3: the file ends inside the vector of the word 'b' (4 of 8 bytes); it is truncated"),
    (b"2 2\n" + binary_rows([("a", [1, 2])]), True, "line 3: the file ends after 1 of the 2 words"),
    (b"2 2\n" + binary_rows([("a", [1, 2])]) + b"bb", True, "line 3: the file ends inside a word ('bb'); it is truncated"),
    (b"1 1\n\xc3 " + struct.pack("<f", 1.0), True, "line 2: the word '\\xc3' is not valid UTF-8"),
    (b"1 2\n" + binary_rows([("a", [1, 2]), ("b", [3, 4])]), True, "line 3: 11 bytes follow the 1 words"),
])
def test_damaged_files_give_the_documented_errors(tmp_path, content, binary, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(ValueError) as info:
        KeyedVectors.load_word2vec_format(str(path), binary=binary)
    assert str(info.value).startswith(f"invalid word2vec file {path}, line ") and message in str(info.value)


def test_unwritable_words_and_paths(tmp_path):
    for bad in ("two words", "", "tab\t", "nl\n", "cr\r"):
        kv = KeyedVectors.load(write_pair(tmp_path / "m", ["ok", bad], [[1.0], [2.0]]))
        with pytest.raises(ValueError, match=r"^cannot write word 1 \('.*'\) in word2vec format: "):
            kv.save_word2vec_format(str(tmp_path / "x.txt"))
        assert sorted(os.listdir(tmp_path)) == ["m.npy", "m.vocab.json"]  # no file, no temporary file
    with pytest.raises(ValueError, match=r"^failed to write .*/none/x.txt\.\w+\.tmp: No such file or directory \(os error 2\)$"):
        KeyedVectors.load(write_pair(tmp_path / "m", ["ok"], [[1.0]])).save_word2vec_format(str(tmp_path / "none" / "x.txt"))
    with pytest.raises(ValueError, match="failed to read .*missing.txt: No such file or directory"):
        KeyedVectors.load_word2vec_format(str(tmp_path / "missing.txt"))
    with pytest.raises(TypeError, match="argument 'path'"):
        KeyedVectors.load_word2vec_format(tmp_path / "missing.txt")


# ---- the funnel, word sets, from_array, and the command line ----

WORDS = [f"w{i}" for i in range(300)] + ["w7"]  # w7 is listed twice and resolves to its last row


@pytest.fixture(params=["owned", "mapped"])
def kv(request, tmp_path):
    m = np.random.default_rng(2).standard_normal((len(WORDS), 24)).astype(np.float32)
    m[5] = m[9]  # a tie
    m[11, :7] = 0  # a zero prefix at the coarse level 6 and at level 7
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


@pytest.mark.parametrize("call, exc, message", [
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
])
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
    assert open(prefix + "-p.metadata.tsv", "rb").read() == ("\n".join(words[:-1] + ["tab\\there"]) + "\n").encode()


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


# ---- word-pair and analogy evaluation ----


def test_statistics_of_too_little_constant_or_monotone_data():
    # Ties and the ordinary cases are worked by hand in test_word_pairs_on_known_cosines.
    assert math.isnan(spearman([1.0], [2.0])) and math.isnan(pearson([1.0, 1.0, 1.0], [1.0, 2.0, 3.0]))
    assert spearman([0.1, 0.7, 0.3], [1, 100, 2]) == 1.0 and list(average_ranks([3, 1, 3, 3, 2])) == [4, 1, 4, 4, 2]


def write_text(tmp_path, text, name="pairs.txt"):
    (tmp_path / name).write_text(text, encoding="utf-8")
    return str(tmp_path / name)


@pytest.mark.parametrize("mmap", [None, "r"])
def test_word_pairs_on_known_cosines(tmp_path, mmap):
    # a=(1,0) b=(0,1) c=(1,1) d=(1,-1): cos(a,c)=0.7071, cos(a,b)=0, cos(b,d)=-0.7071, cos(c,d)=0.
    kv = KeyedVectors.load(write_pair(tmp_path / "m", list("abcd"), [[1, 0], [0, 1], [1, 1], [1, -1]]), mmap=mmap)
    pairs = write_text(tmp_path, "# comment\nWord 1\tWord 2\tHuman\nA\tc\t9\na\tb\t5\nb\td\t1\nc\td\t6\na\tzzz\t3\n\n")
    # Model [r, 0, -r, 0] against human [9, 5, 1, 6]: Pearson 8 / sqrt(65.5); ranks [4, 2.5, 1, 2.5]
    # against [4, 2, 1, 3]: Spearman 4.5 / sqrt(22.5); one pair of five has an unknown word.
    p, s, oov = kv.evaluate_word_pairs(pairs)
    assert (p, s, oov) == pytest.approx((8 / math.sqrt(65.5), 4.5 / math.sqrt(22.5), 0.2), abs=1e-6)
    # At level 1 the cosines are [1, 0, 0, 1]: ranks [3.5, 1.5, 1.5, 3.5], Spearman 4 / sqrt(20).
    assert kv.evaluate_word_pairs(pairs, level=1)[1] == pytest.approx(4 / math.sqrt(20), abs=1e-12)
    assert kv.evaluate_word_pairs(pairs, case_insensitive=False)[2] == pytest.approx(0.4)  # "A" unknown too
    spaced = write_text(tmp_path, "A,c,9\na,b,5\nb,d,1\nc,d,6\n", "pairs.csvish")
    assert kv.evaluate_word_pairs(spaced, delimiter=",")[1] == pytest.approx(4.5 / math.sqrt(22.5), abs=1e-12)
    with pytest.raises(ValueError, match=r"bad.txt, line 2: expected 'word1<TAB>word2<TAB>score'"):
        kv.evaluate_word_pairs(write_text(tmp_path, "a\tb\t1\nc\td\n", "bad.txt"))
    with pytest.raises(ValueError, match="failed to read .*nothing.txt"):
        kv.evaluate_word_pairs(str(tmp_path / "nothing.txt"))
    men = write_text(tmp_path, ",word1,word2,similarity\n0,sun-n,sunlight-n,50.000000\n1,red-j,x-ray-n,3.5\n", "men.csv")
    assert read_csv_pairs(men) == [("sun", "sunlight", 50.0), ("red", "x-ray", 3.5)]


@pytest.mark.parametrize("score", ["nan", "inf", "1\x00", "3"])
def test_a_first_pair_with_an_unusable_score_is_counted_not_taken_for_a_header(tmp_path, score):
    kv = KeyedVectors.load(write_pair(tmp_path / "m", list("abcd"), [[1, 0], [0, 1], [1, 1], [1, -1]]))
    pairs = write_text(tmp_path, f"\ufeffa\tb\t{score}\na\tc\t2\nb\td\t1\n")  # with a byte-order mark
    assert kv.evaluate_word_pairs(pairs)[2] == pytest.approx(0 if score == "3" else 1 / 3)


def test_case_folding_takes_the_most_frequent_row_and_excludes_every_variant(tmp_path):
    kv = KeyedVectors.load(write_pair(tmp_path / "m", ["X", "y", "x", "z"], [[1, 0], [1, 0], [0, 1], [1, 1]]))
    # "x" is row 0 ("X"): cosines [1, 0.71] against human [1, 2] (row 2 would give [0, 0.71]: +1).
    assert kv.evaluate_word_pairs(write_text(tmp_path, "x\ty\t1\nx\tz\t2\n"))[0] == pytest.approx(-1.0)
    kv = KeyedVectors.load(write_pair(tmp_path / "c", ["C", "c", "d"], [[1, 0], [1, 0.1], [0, 1]]))
    assert kv.evaluate_word_analogies(write_text(tmp_path, ": s\nc c c c\nd C d c\n", "q.txt"))[0] == 0.0  # "c" never answers for "C"


def questions_file(tmp_path):
    lines = [": capitals"] + [f"{COUNTRIES[i]} {CAPITALS[i]} {COUNTRIES[j]} {CAPITALS[j]}"
                              for i in range(5) for j in range(5) if i != j]
    lines += [": other", "France Paris Italy noise0", "france paris atlantis rome", "Italy Rome Spain MADRID"]
    return write_text(tmp_path, "\n".join(lines) + "\n", "questions.txt")


@pytest.mark.parametrize("mmap", [None, "r"])
def test_word_analogies_on_a_store_with_known_answers(tmp_path, geo, mmap):
    kv = KeyedVectors.load(geo, mmap=mmap)
    path = questions_file(tmp_path)
    accuracy, sections = kv.evaluate_word_analogies(path)
    capitals, other, total = sections
    assert [s["section"] for s in sections] == ["capitals", "other", "Total accuracy"]
    assert len(capitals["correct"]) == 20 and capitals["incorrect"] == [] and capitals["skipped"] == 0
    assert other == {"section": "other", "correct": [("italy", "rome", "spain", "madrid")],
                     "incorrect": [("france", "paris", "italy", "noise0")], "skipped": 1}
    assert total["skipped"] == 1 and len(total["correct"]) == 21 and len(total["incorrect"]) == 1
    assert accuracy == pytest.approx(21 / 22)
    # Only the first 9 words: every question with "lima" (8 of the 20) is skipped; "noise0" too.
    _, sections = kv.evaluate_word_analogies(path, restrict_vocab=9)
    assert (sections[0]["skipped"], len(sections[0]["correct"]), sections[1]["skipped"]) == (8, 12, 2)
    assert kv.evaluate_word_analogies(path, case_insensitive=False)[1][1]["skipped"] == 3
    # Level 1: the batched answers are those of analogy(), one question at a time.
    _, sections = kv.evaluate_word_analogies(path, level=1)
    for a, b, c, d in sections[0]["correct"] + sections[0]["incorrect"]:
        assert (kv.analogy(a, b, c, level=1)[0][0] == d) == ((a, b, c, d) in sections[0]["correct"])


def test_question_file_errors(tmp_path, geo):
    kv = KeyedVectors.load(geo)
    for text, message in [(": s\nfrance paris italy\n", r"q.txt, line 2: expected a ': section' line or four words"),
                          ("france paris italy rome\n", r"line 1: a question before the first ': section' line")]:
        with pytest.raises(ValueError, match=message):
            kv.evaluate_word_analogies(write_text(tmp_path, text, "q.txt"))
    assert kv.evaluate_word_analogies(write_text(tmp_path, ": empty\n", "q.txt"))[0] == 0.0  # not NaN


def test_evaluate_prints_a_row_per_level(tmp_path, geo, capsys):
    pairs = write_text(tmp_path, "france\tparis\t9\nitaly\trome\t8\nfrance\tnoise1\t1\nspain\tnoise2\t2\nx\ty\t3\n")
    men = write_text(tmp_path, ",word1,word2,similarity\n0,france-n,paris-n,9\n1,italy-n,rome-n,8\n2,peru-n,noise3-n,1\n",
                     "men.csv")
    status = main(["evaluate", geo, "--pairs", pairs, "--pairs", men, "--analogies", questions_file(tmp_path),
                   "--levels", "4,16", "--levels", "99"])
    out = capsys.readouterr().out.splitlines()
    assert status == 0 and out[0].startswith(f"{geo}: 16 words x 16 dims")
    assert out[1].split() == ["level", "bytes/vector", "pairs.txt", "men.csv", "questions.txt"]
    rows = [line.split() for line in out[2:]]
    assert [r[:2] for r in rows] == [["4", "16"], ["16", "64"], ["16", "64"]]  # 99 is the whole width
    full = rows[1]
    assert full[3] == "(4/5)" and full[5] == "(3/3)" and full[7] == "(22/23)"
    kv = KeyedVectors.load(geo)
    assert float(full[6]) == pytest.approx(round(kv.evaluate_word_analogies(questions_file(tmp_path))[0], 3))
    assert float(full[2]) == pytest.approx(round(kv.evaluate_word_pairs(pairs)[1], 3))


def test_evaluate_options_reach_the_evaluation(tmp_path, geo, capsys, monkeypatch):
    import tarnivel

    mmaps, real, cells = [], tarnivel.KeyedVectors, []
    monkeypatch.setattr(tarnivel, "KeyedVectors", types.SimpleNamespace(
        load=lambda path, mmap: mmaps.append(mmap) or real.load(path, mmap=mmap)))
    for extra in ([], ["--case-sensitive"], ["--restrict-vocab", "9"], ["--mmap"]):
        assert main(["evaluate", geo, "--analogies", questions_file(tmp_path), "--levels", "16", *extra]) == 0
        cells.append(capsys.readouterr().out.splitlines()[2])
    assert mmaps == [None, None, None, "r"] and cells[0] not in cells[1:3] and cells[3] == cells[0]


@pytest.mark.parametrize("fmt, level", [("word2vec", None), ("word2vec-binary", 5), ("npy", 5), ("npy", None)])
def test_export(tmp_path, geo, capsys, fmt, level):
    out, width = str(tmp_path / "exported"), level or 16
    assert main(["export", geo, "-o", out, "--format", fmt] + ([] if level is None else ["--level", str(level)])) == 0
    assert f"wrote 16 words x {width} dims" in capsys.readouterr().out
    back = KeyedVectors.load(out) if fmt == "npy" else KeyedVectors.load_word2vec_format(out, binary=fmt != "word2vec")
    kv = KeyedVectors.load(geo)
    assert back.index_to_key == kv.index_to_key
    assert np.asarray(back.vectors).tobytes() == np.ascontiguousarray(np.asarray(kv.vectors)[:, :width]).tobytes()
