"""word2vec files, membership, similarity, batched vector queries and analogies on KeyedVectors."""

import json
import os
import struct

import numpy as np
import pytest

from tarnivel import KeyedVectors


def make_pair(tmp_path, words, vectors, name="m"):
    """A saved pair written by hand (the formats of the pair files), loaded back by the caller."""
    prefix = str(tmp_path / name)
    with open(prefix + ".vocab.json", "w", encoding="utf-8") as f:
        json.dump(list(words), f, ensure_ascii=False)
    np.save(prefix + ".npy", np.asarray(vectors, dtype=np.float32))
    return prefix


@pytest.fixture(params=["owned", "mapped"])
def mode(request):
    return request.param


def load(prefix, mode):
    return KeyedVectors.load(prefix, mmap="r" if mode == "mapped" else None)


@pytest.fixture
def random_store(tmp_path):
    rng = np.random.default_rng(5)
    words = [f"w{i}" for i in range(3000)] + ["caf\u00e9", "\u732b"]
    vectors = rng.standard_normal((len(words), 24)).astype(np.float32)
    return make_pair(tmp_path, words, vectors), words, vectors


# ---- membership and size ----

def test_membership_size_index_and_key_to_index(tmp_path, mode):
    prefix = make_pair(tmp_path, ["a", "b", "a", "c"], np.arange(8, dtype=np.float32).reshape(4, 2))
    kv = load(prefix, mode)
    assert len(kv) == 4 and len(KeyedVectors()) == 0
    assert "a" in kv and "c" in kv and "z" not in kv and 3 not in kv and None not in kv
    assert kv.get_index("b") == 1 and kv.get_index("a") == 2  # a duplicate resolves to its last row
    mapping = kv.key_to_index
    assert mapping == {"a": 2, "b": 1, "c": 3}
    mapping["x"] = 9  # a new dict each time
    assert "x" not in kv.key_to_index
    with pytest.raises(KeyError, match="word 'zz' not in vocab"):
        kv.get_index("zz")
    with pytest.raises(TypeError, match="argument 'key'"):
        kv.get_index(1)


# ---- word2vec files ----

def test_pair_to_word2vec_and_back_is_bit_exact(tmp_path, random_store, mode):
    prefix, words, vectors = random_store
    special = np.array([0.0, -0.0, 1e-45, -3.4028235e38, 1 / 3, np.inf, -np.inf, 1e-38] * 3, dtype=np.float32)
    vectors = vectors.copy()
    vectors[5] = special
    prefix = make_pair(tmp_path, words, vectors, "special")
    kv = load(prefix, mode)
    for binary in (False, True):
        path = str(tmp_path / ("v.bin" if binary else "v.txt"))
        kv.save_word2vec_format(path, binary=binary)
        back = KeyedVectors.load_word2vec_format(path, binary=binary)
        assert back.index_to_key == words
        got = np.asarray(back.vectors)
        assert got.view(np.uint32).tobytes() == vectors.view(np.uint32).tobytes()
        # ... and back to the pair, which loads with the same bits.
        back.save(str(tmp_path / "again"))
        again = KeyedVectors.load(str(tmp_path / "again"))
        assert np.asarray(again.vectors).tobytes() == vectors.tobytes()
        assert not os.path.exists(path + ".tmp")


def test_written_files_have_the_word2vec_layout(tmp_path, mode):
    prefix = make_pair(tmp_path, ["the", "caf\u00e9"], [[0.5, -2.0, 3.0], [1.0, 0.1, -0.0]])
    kv = load(prefix, mode)
    kv.save_word2vec_format(str(tmp_path / "t.txt"))
    assert (tmp_path / "t.txt").read_bytes() == "2 3\nthe 0.5 -2 3\ncaf\u00e9 1 0.1 -0\n".encode()
    kv.save_word2vec_format(str(tmp_path / "t2.txt"), level=2)
    assert (tmp_path / "t2.txt").read_text(encoding="utf-8") == "2 2\nthe 0.5 -2\ncaf\u00e9 1 0.1\n"
    kv.save_word2vec_format(str(tmp_path / "b.bin"), binary=True, level=2)
    expected = b"2 2\nthe " + struct.pack("<2f", 0.5, -2.0) + b"\n" + "caf\u00e9 ".encode() + \
        struct.pack("<2f", 1.0, 0.1) + b"\n"
    assert (tmp_path / "b.bin").read_bytes() == expected
    small = KeyedVectors.load_word2vec_format(str(tmp_path / "b.bin"), binary=True)
    assert small.vector_size == 2 and np.array_equal(small["the"], kv.get_vector("the", level=2))


def test_loads_files_other_tools_write(tmp_path):
    # CRLF, trailing spaces, several spaces, a final blank line; a header with extra spaces.
    path = tmp_path / "other.txt"
    path.write_bytes(b"3 2 \r\nthe 0.1  0.2 \r\nof -1e-3\t4\r\nand 5 6\r\n\r\n")
    kv = KeyedVectors.load_word2vec_format(str(path))
    assert kv.index_to_key == ["the", "of", "and"]
    assert np.array_equal(kv.vectors, np.array([[0.1, 0.2], [-1e-3, 4], [5, 6]], dtype=np.float32))
    limited = KeyedVectors.load_word2vec_format(str(path), limit=2)
    assert limited.index_to_key == ["the", "of"] and limited.vectors.shape == (2, 2)
    assert len(KeyedVectors.load_word2vec_format(str(path), limit=0)) == 0


def binary_rows(rows):
    return b"".join(w.encode() + b" " + struct.pack(f"<{len(v)}f", *v) + b"\n" for w, v in rows)


@pytest.mark.parametrize(
    "content, binary, message",
    [
        (b"", False, "line 1: the file is empty"),
        (b"three 2\n", False, "line 1: expected the word count and the vector size ('WORDS DIMENSIONS'), found 'three 2'"),
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
        (b"1 2\n" + binary_rows([("a", [1, 2]), ("b", [3, 4])]), True, "line 3: 11 bytes follow the 1 words"),
    ],
)
def test_damaged_files_give_the_documented_errors(tmp_path, content, binary, message):
    path = tmp_path / "bad"
    path.write_bytes(content)
    with pytest.raises(ValueError) as info:
        KeyedVectors.load_word2vec_format(str(path), binary=binary)
    assert str(info.value).startswith(f"invalid word2vec file {path}, line ")
    assert message in str(info.value)


def test_truncating_a_written_file_anywhere_is_an_error(tmp_path, random_store):
    prefix, _, _ = random_store
    kv = KeyedVectors.load(prefix)
    for binary in (False, True):
        path = tmp_path / "full"
        kv.save_word2vec_format(str(path), binary=binary, level=3)
        data = path.read_bytes()
        # Cut inside the header, in the middle rows, and in the last row (text: before its last
        # number; a cut inside that number leaves a shorter, still valid number): never a silently
        # short store.
        last = data.rindex(b" ") if not binary else len(data) - 2
        for cut in (3, len(data) // 3, len(data) // 2 + 1, last, last - 1):
            cut_path = tmp_path / "cut"
            cut_path.write_bytes(data[:cut])
            with pytest.raises(ValueError, match="invalid word2vec file"):
                KeyedVectors.load_word2vec_format(str(cut_path), binary=binary)


def test_bad_utf8_recovers_with_errors_option(tmp_path):
    path = tmp_path / "latin1.txt"
    path.write_bytes(b"2 1\ncaf\xe9 1\nok 2\n")
    with pytest.raises(ValueError, match="errors='replace'"):
        KeyedVectors.load_word2vec_format(str(path))
    assert KeyedVectors.load_word2vec_format(str(path), errors="replace").index_to_key == ["caf\ufffd", "ok"]
    assert KeyedVectors.load_word2vec_format(str(path), errors="ignore").index_to_key == ["caf", "ok"]
    with pytest.raises(ValueError, match="errors must be 'strict', 'replace' or 'ignore', not 'surrogateescape'"):
        KeyedVectors.load_word2vec_format(str(path), errors="surrogateescape")


def test_unwritable_words_and_paths(tmp_path):
    prefix = make_pair(tmp_path, ["ok", "two words"], [[1.0], [2.0]])
    kv = KeyedVectors.load(prefix)
    with pytest.raises(ValueError, match=r"cannot write word 1 \('two words'\) in word2vec format"):
        kv.save_word2vec_format(str(tmp_path / "x.txt"))
    assert not (tmp_path / "x.txt").exists() and not (tmp_path / "x.txt.tmp").exists()
    with pytest.raises(ValueError, match="failed to read .*missing.txt: No such file or directory"):
        KeyedVectors.load_word2vec_format(str(tmp_path / "missing.txt"))
    with pytest.raises(TypeError, match="argument 'path'"):
        KeyedVectors.load_word2vec_format(tmp_path / "missing.txt")


# ---- similarity and vector queries ----

def test_similarity_is_the_score_most_similar_gives(tmp_path, random_store, mode):
    prefix, words, _ = random_store
    kv = load(prefix, mode)
    for level in (None, 5, 24, 1000):
        (best, score), *_ = kv.most_similar("w3", topn=1, level=level)
        assert kv.similarity("w3", best, level=level) == score
    assert kv.similarity("w3", "w3") == pytest.approx(1.0, abs=1e-6)
    with pytest.raises(KeyError, match="word 'nope' not in vocab"):
        kv.similarity("w3", "nope")


@pytest.mark.parametrize("level", [None, 1, 7, 8, 24])
def test_batched_similar_by_vector_agrees_with_most_similar(random_store, mode, level):
    prefix, words, vectors = random_store
    kv = load(prefix, mode)
    queries = ["w0", "w17", "w2999", "caf\u00e9", "\u732b"]
    L = 24 if level is None else level
    batch = kv.similar_by_vector(vectors[[words.index(w) for w in queries], :L], topn=11, level=level)
    assert len(batch) == len(queries)
    for word, found in zip(queries, batch):
        single = kv.similar_by_vector(kv.get_vector(word, level), topn=10, level=level, exclude=[word])
        expected = kv.most_similar(word, topn=10, level=level)
        if L > 1:  # at level 1 every score is +-1: many ties
            assert found[0][0] == word
            assert [w for w, _ in found[1:]] == [w for w, _ in expected] == [w for w, _ in single]
        for (_, got), (_, want) in zip(found[1:], expected):
            assert got == pytest.approx(want, abs=1e-5)


def test_similar_by_vector_arguments(random_store):
    prefix, words, vectors = random_store
    kv = KeyedVectors.load(prefix)
    v = vectors[0]
    assert len(kv.similar_by_vector(v)) == 10
    assert kv.similar_by_vector(v, topn=0) == [] and kv.similar_by_vector(v, level=0) == []
    assert len(kv.similar_by_vector(v, topn=10**9)) == len(words)
    assert [w for w, _ in kv.similar_by_vector(list(map(float, v)), topn=1)] == ["w0"]  # any array-like
    assert kv.similar_by_vector(v, topn=1, exclude={"w0", "unknown"})[0][0] != "w0"
    assert kv.similar_by_vector(np.zeros((0, 24), np.float32)) == []
    assert kv.similar_by_vector(v[:5], level=5)[0][0] == "w0"
    with pytest.raises(ValueError, match="the query vector has 5 components, fewer than the level 24"):
        kv.similar_by_vector(v[:5])
    with pytest.raises(ValueError, match="1-D array"):
        kv.similar_by_vector(np.zeros((2, 2, 24), np.float32))
    with pytest.raises(TypeError, match="argument 'exclude'"):
        kv.similar_by_vector(v, exclude="w0")
    bad = v.copy()
    bad[3] = np.nan
    with pytest.raises(ValueError, match="the query vector holds a value that is not finite"):
        kv.similar_by_vector(bad)
    with pytest.raises(ValueError, match="query vector 1 holds a value that is not finite"):
        kv.similar_by_vector(np.stack([v, bad]))


def test_a_store_row_that_is_not_finite_is_named(tmp_path):
    vectors = np.eye(3, dtype=np.float32)
    vectors[1, 0] = np.nan
    kv = KeyedVectors.load(make_pair(tmp_path, ["a", "b", "c"], vectors))
    with pytest.raises(ValueError, match=r"the vector of word 'b' \(row 1\) holds a value that is not finite"):
        kv.similar_by_vector([1.0, 0.0, 0.0])


def test_owned_and_mapped_give_the_same_answers(random_store):
    prefix, _, vectors = random_store
    owned, mapped = KeyedVectors.load(prefix), KeyedVectors.load(prefix, mmap="r")
    queries = vectors[:50] + 0.5
    for level in (None, 9):
        assert owned.similar_by_vector(queries, topn=5, level=level) == mapped.similar_by_vector(queries, topn=5, level=level)
        assert owned.analogy("w1", "w2", "w3", topn=3, level=level) == mapped.analogy("w1", "w2", "w3", topn=3, level=level)
    kv_path = prefix + "-copy"
    owned.save_word2vec_format(kv_path)
    mapped.save_word2vec_format(kv_path + "2")
    with open(kv_path, "rb") as a, open(kv_path + "2", "rb") as b:
        assert a.read() == b.read()


NO_COPY_SCRIPT = """
import resource, sys
import numpy as np
from tarnivel import KeyedVectors

prefix, rows, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
kv = KeyedVectors.load(prefix, mmap="r")
queries = np.random.default_rng(0).standard_normal((64, dim), dtype=np.float32)
kv.similar_by_vector(queries, topn=3)  # maps every page of the file in (they count as resident)
kv.analogy("w1", "w2", "w3")
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
for _ in range(3):
    kv.similar_by_vector(queries, topn=3, level=dim // 2)
    kv.similar_by_vector(queries[0], topn=3)
    kv.analogy("w1", "w2", "w3")
    kv.save_word2vec_format(prefix + ".bin", binary=True)
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
"""


def test_mapped_queries_do_not_copy_the_matrix(tmp_path):
    # 40 MB of vectors behind a memory map, queried in a fresh process: the peak resident size
    # (ru_maxrss, kilobytes) would grow by the matrix size if any call copied it, even briefly.
    import subprocess
    import sys

    rows, dim = 20000, 500
    prefix = make_pair(tmp_path, [f"w{i}" for i in range(rows)], np.zeros((1, 1)), "big")
    np.save(prefix + ".npy", np.random.default_rng(0).standard_normal((rows, dim), dtype=np.float32))
    out = subprocess.run([sys.executable, "-c", NO_COPY_SCRIPT, prefix, str(rows), str(dim)],
                         capture_output=True, text=True, check=True)
    grown_kib = int(out.stdout.split()[-1])
    assert grown_kib * 1024 < rows * dim * 4 // 4, grown_kib


# ---- analogies ----

def analogy_store(tmp_path):
    """Countries and capitals: capital = country + c, each pair in its own direction, so
    'france is to paris as italy is to ?' has the answer rome by construction."""
    rng = np.random.default_rng(3)
    countries = ["france", "italy", "spain", "japan", "peru"]
    capitals = ["paris", "rome", "madrid", "tokyo", "lima"]
    base = rng.standard_normal((5, 16)).astype(np.float32) * 3
    offset = np.zeros(16, np.float32)
    offset[0] = 4.0
    noise = rng.standard_normal((6, 16)).astype(np.float32) * 3
    words = countries + capitals + [f"noise{i}" for i in range(6)]
    vectors = np.vstack([base, base + offset, noise])
    return make_pair(tmp_path, words, vectors, "geo"), countries, capitals


def test_analogy_answers_and_excludes_its_inputs(tmp_path, mode):
    prefix, countries, capitals = analogy_store(tmp_path)
    kv = load(prefix, mode)
    for (c1, k1), (c2, k2) in zip(zip(countries, capitals), zip(countries[1:], capitals[1:])):
        found = kv.analogy(c1, k1, c2, topn=4)
        assert found[0][0] == k2
        assert not {c1, k1, c2} & {w for w, _ in found}
        # The query b - a + c over unit vectors, scored by cosine, independently in NumPy.
        unit = {w: kv[w] / np.linalg.norm(kv[w]) for w in (c1, k1, c2, k2)}
        q = unit[k1] - unit[c1] + unit[c2]
        assert found[0][1] == pytest.approx(float(q @ kv[k2] / np.linalg.norm(q) / np.linalg.norm(kv[k2])), abs=1e-5)
    assert kv.analogy("france", "paris", "italy", topn=0) == []
    with pytest.raises(KeyError, match="word 'atlantis' not in vocab"):
        kv.analogy("france", "paris", "atlantis")


def test_readme_vectors_elsewhere_example_runs(tmp_path, monkeypatch, capsys):
    import re
    from pathlib import Path

    readme = Path(__file__).resolve().parents[2] / "README.md"
    blocks = re.findall(r"^```python\n(.*?)^```", readme.read_text(encoding="utf-8"), re.S | re.M)
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for code in blocks[:2]:  # the second example starts from the files the first one saves
        exec(compile(code, str(readme), "exec"), namespace)
    assert namespace["oov_ratio"] == pytest.approx(0.2)
    assert [s["section"] for s in namespace["sections"]] == ["pets", "Total accuracy"]
    assert (tmp_path / "pets.w2v.txt").read_text(encoding="utf-8").startswith(f"{len(namespace['kv'])} 32\n")
