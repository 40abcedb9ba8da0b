"""Queries on KeyedVectors (get_vector, most_similar, similarity, batched vector queries) and word2vec
files, in owned and mapped mode."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors


@pytest.fixture(params=["owned", "mapped"])
def load(request):
    return lambda base: KeyedVectors.load(str(base), mmap="r" if request.param == "mapped" else None)


@pytest.fixture
def random_store(tmp_path):
    rng = np.random.default_rng(5)
    words = [f"w{i}" for i in range(3000)] + ["caf\u00e9", "\u732b"]
    vectors = rng.standard_normal((len(words), 24)).astype(np.float32)
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


@pytest.mark.parametrize(
    "content, binary, message",
    [
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
    ],
)
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
