"""Model and vector files: round trips, NumPy interoperability, memory maps, the vocabulary format,
temporary files, and damaged inputs; subsampling (Word2Vec.sample) and checkpoints that continue training
to the same bits."""

import json
import logging
import os
import re
import stat
from pathlib import Path

import numpy as np
import pytest

from conftest import header, make_corpus, npy_bytes, write_pair
from tarnivel import KeyedVectors, LineSentence, Word2Vec, set_seed
from tarnivel.__main__ import main

LETTERS = [["a", "b", "c", "d"], ["b", "c", "e"], ["a", "e", "f", "g"], ["g", "h", "a"]] * 25
LOADERS = {"Word2Vec": lambda base: Word2Vec.load(base).wv, "owned": KeyedVectors.load,
           "mapped": lambda base: KeyedVectors.load(base, mmap="r")}


def test_every_writer_and_every_loader_agree(model, tmp_path):
    model.save(str(tmp_path / "m"))
    model.wv.save(str(tmp_path / "kv"))
    KeyedVectors.load(str(tmp_path / "kv"), mmap="r").save(str(tmp_path / "copy"))
    write_pair(tmp_path / "np", model.wv.index_to_key, model.wv.vectors)  # matrix written by NumPy
    for name in ("m", "kv", "copy", "np"):
        base = str(tmp_path / name)
        assert np.load(f"{base}.npy").dtype == np.dtype("<f4") and np.array_equal(np.load(f"{base}.npy"), model.wv.vectors)
        assert json.loads((tmp_path / f"{name}.vocab.json").read_text(encoding="utf-8")) == model.wv.index_to_key
        for kv in (load(base) for load in LOADERS.values()):
            assert kv.index_to_key == model.wv.index_to_key and np.array_equal(kv.vectors, model.wv.vectors), name


def test_a_loaded_model_has_the_fixed_settings(tmp_path, caplog):
    # Nothing but words and vectors is stored: a loaded model trains with fixed settings (skip-gram,
    # min_count 1, ...), whatever the saved model used.
    Word2Vec(LETTERS, vector_size=6, window=2, min_count=2, workers=2, negative=3, sg=0, hs=1, cbow_mean=0,
             levels=[2, 6], alpha=0.05, min_alpha=0.01, epochs=1, verbose=False).save(str(tmp_path / "m"))
    caplog.set_level(logging.INFO, logger="tarnivel")
    Word2Vec.load(str(tmp_path / "m")).train(LETTERS[:8])
    lines = [r.getMessage() for r in caplog.records if r.name == "tarnivel"]
    assert "TRAIN setup: total_tokens_per_epoch=28, epochs=5" in lines and (
        "TRAIN setup: vocab=8, vector_size=6, window=5, min_count=1, max_final_vocab=None, workers=1, sg=true, hs=false, "
        "cbow_mean=true, negative=5, levels=[1, 3, 6], alpha_start=0.02500, min_alpha=0.00010, log_interval=1.00s" in lines)


@pytest.mark.parametrize("mode", ["r", None, "r+", "c", "w+", "R"])
def test_mmap_r_maps_read_only_and_every_other_mode_loads_an_owned_copy(model, tmp_path, mode):
    model.wv.save(str(tmp_path / "kv"))
    before = (tmp_path / "kv.npy").read_bytes()
    kv = KeyedVectors.load(str(tmp_path / "kv"), mmap=mode)
    vectors, row, prefix = kv.vectors, kv.get_vector("a"), kv.get_vector("a", level=4)
    np.testing.assert_array_equal(prefix, model.wv.get_vector("a")[:4])
    if mode == "r":  # the map itself, not a copy; the arrays keep it alive after the store is gone
        assert isinstance(vectors, np.memmap) and kv.vectors is vectors
        assert all(not v.flags.writeable and np.shares_memory(v, vectors) for v in (vectors, row, prefix))
        del kv, vectors
        np.testing.assert_array_equal(row, model.wv.get_vector("a"))
        return
    assert not isinstance(vectors, np.memmap) and vectors.flags.writeable
    vectors[:] = 0
    row[:] = 0
    np.testing.assert_array_equal(kv.vectors, model.wv.vectors)
    assert (tmp_path / "kv.npy").read_bytes() == before


def test_empty_model_and_store(tmp_path):
    m = Word2Vec(vector_size=8, verbose=False)
    assert m.wv.vectors.shape == (0, 8) and m.wv is not m.wv
    m.save(str(tmp_path / "m"))
    assert (tmp_path / "m.vocab.json").read_bytes() == b"[]" and np.load(tmp_path / "m.npy").shape == (0, 8)
    assert Word2Vec.load(str(tmp_path / "m")).vector_size == 8
    KeyedVectors().save(str(tmp_path / "kv"))
    assert np.load(tmp_path / "kv.npy").shape == (0, 0)
    for mmap in (None, "r"):
        kv = KeyedVectors.load(str(tmp_path / "kv"), mmap=mmap)
        assert (kv.vector_size, kv.index_to_key, kv.vectors.shape, kv.vectors.dtype) == (0, [], (0, 0), np.float32)


def test_duplicate_words_resolve_to_their_last_row(tmp_path):
    base = write_pair(tmp_path / "p", ["a", "b", "a"], [[0, 1], [2, 0], [1, 0]])
    for load in LOADERS.values():  # offered once, with the vector of row 2, never as its own neighbour
        kv = load(base)
        np.testing.assert_array_equal(kv["a"], [1, 0])
        assert kv.most_similar("b") == [("a", 1.0)] and kv.most_similar("a") == [("b", 1.0)]
    owned = KeyedVectors.load(base)
    assert owned.index_to_key == ["a", "b", "a"] and owned.key_to_index == {"a": 2, "b": 1}
    owned.save_word2vec_format(str(tmp_path / "again.txt"))
    assert (tmp_path / "again.txt").read_text() == "3 2\na 1 0\nb 2 0\na 1 0\n"


WORDS = ['q"uote', "back\\slash", "tab\there", "\x01ctl", "ünï", "a/b", "\x1f\b\f\n\r", "日本"]
EXPECTED = '["q\\"uote","back\\\\slash","tab\\there","\\u0001ctl","ünï","a/b","\\u001f\\b\\f\\n\\r","日本"]'


def test_escapes_are_byte_exact_and_round_trip(tmp_path):
    # Written by hand with ASCII escapes and whitespace; saved back in the compact form.
    base = write_pair(tmp_path / "p", json.dumps(WORDS, indent=2), np.eye(len(WORDS), 3, dtype=np.float32))
    for store, name in ((KeyedVectors.load(base), "kv"), (Word2Vec.load(base), "m")):
        store.save(str(tmp_path / name))
        assert (tmp_path / f"{name}.vocab.json").read_bytes() == EXPECTED.encode("utf-8")
    assert Word2Vec.load(str(tmp_path / "m")).wv.index_to_key == WORDS
    base = write_pair(tmp_path / "s", ' \n[ "\\ud83d\\ude00" ,\r\n\t"x" ]\n ', np.zeros((2, 1), np.float32))
    assert KeyedVectors.load(base).index_to_key == ["\U0001F600", "x"]  # surrogate pairs, whitespace


def test_saving_twice_replaces_and_mapped_stores_save_a_byte_copy(model, tmp_path):
    KeyedVectors().save(str(tmp_path / "m"))
    model.save(str(tmp_path / "m"))
    model.wv.save(str(tmp_path / "m"))
    model.save(str(tmp_path / "x.npy"))  # the names are the path plus the suffixes
    assert sorted(os.listdir(tmp_path)) == ["m.npy", "m.vocab.json", "x.npy.npy", "x.npy.vocab.json"]
    os.chmod(tmp_path / "m.npy", 0o640)
    old = {suffix: (tmp_path / f"m{suffix}").read_bytes() for suffix in (".npy", ".vocab.json")}
    kv = KeyedVectors.load(str(tmp_path / "m"), mmap="r")
    KeyedVectors().save(str(tmp_path / "m"))  # another pair under the name: the store saves what it maps
    kv.save(str(tmp_path / "dst"))
    assert stat.S_IMODE(os.stat(tmp_path / "dst.npy").st_mode) == 0o640
    (tmp_path / "victim").write_bytes(b"keep")
    os.link(tmp_path / "victim", tmp_path / "m.npy.tmp")  # a link at the temporary name is replaced
    kv.save(str(tmp_path / "m"))
    kv.save(str(tmp_path / "m"))  # over the name it was loaded from, twice
    for name, suffix in [(n, s) for n in ("dst", "m") for s in old]:
        assert (tmp_path / f"{name}{suffix}").read_bytes() == old[suffix]
    assert (tmp_path / "victim").read_bytes() == b"keep" and kv.most_similar("a") == model.wv.most_similar("a")


def test_failed_writes_remove_their_temporary_files_and_keep_the_old_pair(model, tmp_path):
    base = str(tmp_path / "m")
    KeyedVectors().save(base)
    old = {name: (tmp_path / name).read_bytes() for name in ("m.npy", "m.vocab.json")}
    # The temporary matrix name is taken by a directory: the vocabulary was already written.
    (tmp_path / "m.npy.tmp").mkdir()
    for save in (model.save, model.wv.save, KeyedVectors.load(base, mmap="r").save):
        with pytest.raises(ValueError, match=r"^failed to (create|copy npy).*os error 21\)$"):
            save(base)
        assert sorted(os.listdir(tmp_path)) == ["m.npy", "m.npy.tmp", "m.vocab.json"]
        assert {name: (tmp_path / name).read_bytes() for name in old} == old
    with pytest.raises(ValueError, match=r"^failed to write .*/nowhere/m\.vocab\.json\.tmp: .*\(os error 2\)$"):
        model.save(str(tmp_path / "nowhere" / "m"))


def expect_everywhere(base, message, only=tuple(LOADERS)):
    """Every named loader fails with exactly `message` and leaves the directory as it was."""
    before = sorted(os.listdir(os.path.dirname(base)))
    for name in only:
        with pytest.raises(ValueError) as info:
            LOADERS[name](base)
        assert str(info.value) == message, name
    assert sorted(os.listdir(os.path.dirname(base))) == before


def test_missing_files(tmp_path):
    base = str(tmp_path / "none")
    expect_everywhere(base, f"failed to read {base}.vocab.json: No such file or directory (os error 2)")
    (tmp_path / "none.vocab.json").write_text("[]")
    expect_everywhere(base, f"failed to open {base}.npy: No such file or directory (os error 2)")


@pytest.mark.parametrize("vocab, message", [
    (b"", "Expecting value at line 1 column 1"),
    (b'["a", "b"', "Expecting ',' delimiter at line 1 column 10"),
    (b'["a"] ["b"]', "Extra data at line 1 column 7"),
    (b'{"a": 0}', "invalid type: map, expected a sequence of strings at line 1 column 1"),
    (b'\n  "a"', "invalid type: string, expected a sequence of strings at line 2 column 3"),
    (b'["a",\n 1]', "invalid type: integer `1`, expected a string at line 2 column 2"),
    (b'["a", null]', "invalid type: null, expected a string at line 1 column 7"),
    (b'["\xc3\xa9", ["b"]]', "invalid type: sequence, expected a string at line 1 column 7"),  # byte columns
    (b'["\\ud800"]', "lone surrogate in a \\u escape at line 1 column 2"),
    (b'["a\tb"]', "Invalid control character at line 1 column 4"),
    (b"[" * 100000, None),
])
def test_vocabularies_that_are_not_arrays_of_strings(tmp_path, vocab, message):
    base = write_pair(tmp_path / "p", vocab, np.zeros((1, 2), np.float32))
    for load in LOADERS.values():
        with pytest.raises(ValueError, match="^failed to parse vocab json: ") as info:
            load(base)
        if message is not None:
            assert str(info.value) == "failed to parse vocab json: " + message


def test_vocabulary_that_is_not_utf8(tmp_path):
    base = write_pair(tmp_path / "p", b'["\xff"]', np.zeros((1, 2), np.float32))
    expect_everywhere(base, f"failed to read {base}.vocab.json: stream did not contain valid UTF-8")


@pytest.mark.parametrize("matrix, message", [
    # Four rows declared for three words, with no data at all or with data: the shape comes first.
    (npy_bytes(header(4, 2), b""), "npy shape mismatch: rows=4 != vocab=3"),
    (npy_bytes(header(4, 2), bytes(32)), "npy shape mismatch: rows=4 != vocab=3"),
    (npy_bytes(header(3, 2) + " " * 500, bytes(24)), "short npy header"),
    (b"\x93NUMPY\x02\x00" + b"\0" * 100, "unsupported npy version"),
    (b"\x93NUMPY\x01", "invalid npy magic"),
])
def test_matrix_header_errors_reach_every_loader(tmp_path, matrix, message):
    expect_everywhere(write_pair(tmp_path / "p", ["a", "b", "c"], matrix), message)


def test_truncated_matrix(tmp_path):
    full = npy_bytes(header(3, 4), np.arange(12, dtype="<f4").tobytes())
    for matrix in (full + b"\0\0\0\0", full[:-5]):  # the last one is cut short
        expect_everywhere(write_pair(tmp_path / "p", ["a", "b", "c"], matrix), "npy size mismatch", only=("Word2Vec",))
    for mmap in (None, "r"):
        with pytest.raises(ValueError):  # NumPy's own error, propagated
            KeyedVectors.load(str(tmp_path / "p"), mmap=mmap)


@pytest.mark.parametrize("matrix, message", [
    (np.ones((2, 3), np.float16), "^unsupported npy dtype '<f2'"),
    (np.ones((2, 3), ">f4"), "^unsupported npy dtype '>f4'"),
    (np.ones((2, 3), np.float64), "^unsupported npy dtype '<f8'"),
    (np.asfortranarray(np.ones((2, 3), np.float32)), "^unsupported npy layout: fortran_order is True"),
    (npy_bytes("{'fortran_order': False, 'shape': (2, 3), } # 'descr': '<f4'"), "^unsupported npy header: no descr$"),
    (npy_bytes("{'descr': '<f4', 'shape': (2, 3), }"), "^unsupported npy header: no fortran_order$"),
    (npy_bytes("{'descr': 4, 'fortran_order': False, 'shape': (2, 3), }"), "^unsupported npy dtype 4: only little-endian"),
    (npy_bytes("{'descr': '<f4', 'fortran_order': 0, 'shape': (2, 3), }"), "^unsupported npy layout: fortran_order 0$"),
])
def test_other_dtypes_and_layouts_are_refused_at_load(tmp_path, matrix, message):
    base = write_pair(tmp_path / "p", ["a", "b"], matrix)
    for load in (Word2Vec.load, lambda p: KeyedVectors.load(p, mmap="r")):
        with pytest.raises(ValueError, match=message):
            load(base)
    if isinstance(matrix, np.ndarray) and matrix.dtype != np.float16 and matrix.flags.c_contiguous:
        with pytest.raises(TypeError):
            KeyedVectors.load(base)


# ---- subsampling and checkpoints ----

CORPUS = make_corpus(seed=7, sentences=200)


def trained(sg=1, hs=0, sample=0.0, workers=1, epochs=1, verbose=False, **kw):
    set_seed(5)
    m = Word2Vec(vector_size=16, min_count=2, window=3, levels=[4, 16], sg=sg, hs=hs, workers=workers, epochs=epochs,
                 verbose=verbose, **kw)
    m.sample = sample
    m.train(CORPUS)
    return m


@pytest.mark.parametrize("workers", [1, 2])
def test_subsampling_reproduces_and_progress_counts_every_token_read(workers, caplog):
    caplog.set_level(logging.INFO, logger="tarnivel")
    m = trained(sample=1e-2, workers=workers, epochs=2, verbose=True)
    lines = [r.getMessage() for r in caplog.records]
    target = re.search(r"target_tokens=(\d+)", "\n".join(lines))[1]
    for e in (1, 2):  # the end line (threaded) or the last progress line (sequential) counts them all
        last = [line for line in lines if line.startswith(f"EPOCH {e}/2: PROGRESS") or ": end," in line][-1]
        assert f"tokens={target}," in last if workers == 2 else "PROGRESS at 100.00% tokens" in last
    if workers == 1:  # one worker: the keep draws come from the epoch's stream
        np.testing.assert_array_equal(m.wv.vectors, trained(sample=1e-2, epochs=2).wv.vectors)
        assert not np.array_equal(m.wv.vectors, trained(epochs=2).wv.vectors)


def test_subsampling_refuses_unknown_counts_and_changes_nothing(tmp_path):
    trained().save(str(tmp_path / "pair"))
    loaded = Word2Vec.load(str(tmp_path / "pair"))
    loaded.sample = 1e-3
    before = loaded.wv.vectors
    with pytest.raises(ValueError, match="counts are unknown"):
        loaded.train(CORPUS)
    np.testing.assert_array_equal(loaded.wv.vectors, before)


@pytest.mark.parametrize("sg, hs, sample", [(0, 0, 0.0), (0, 1, 0.0), (1, 0, 0.0), (1, 1, 0.0), (1, 0, 1e-2), (0, 1, 1e-2)])
def test_checkpoint_continues_to_the_same_bits(tmp_path, sg, hs, sample):
    m = trained(sg, hs, sample, max_final_vocab=50, alpha=0.03)
    m.save_checkpoint(str(tmp_path / "c"))
    c = Word2Vec.load_checkpoint(str(tmp_path / "c"))
    np.testing.assert_array_equal(KeyedVectors.load(str(tmp_path / "c")).vectors, m.wv.vectors)  # save()'s pair
    assert c.sample == sample and c.vector_size == 16
    for model, prefix in ((m, "m2"), (c, "c2")):
        set_seed(11)
        model.train(CORPUS, epochs=2)
        model.save_checkpoint(str(tmp_path / prefix))
    np.testing.assert_array_equal(c.wv.vectors, m.wv.vectors)
    for part in (".ckpt", ".output.npy"):  # settings, counts, tree and output weights alike
        assert (tmp_path / f"m2{part}").read_bytes() == (tmp_path / f"c2{part}").read_bytes()


@pytest.mark.parametrize("part, damage, problem", [
    (".ckpt", "missing", "No such file"),
    (".ckpt", "truncate", "checksum"),
    (".ckpt", "flip", "checksum"),
    (".output.npy", "missing", "No such file"),
    (".output.npy", "truncate", "npy size mismatch"),
    (".output.npy", "flip", "output weights do not match"),
    (".npy", "flip", "input vectors do not match"),
    (".npy", "resave", "input vectors do not match"),
    (".vocab.json", "flip", "words do not match"),
])
def test_damaged_checkpoint_names_the_file_and_loads_nothing(tmp_path, part, damage, problem):
    m = trained(hs=1)
    prefix = str(tmp_path / "c")
    m.save_checkpoint(prefix)
    path = Path(f"{prefix}{part}")
    data = path.read_bytes()
    if damage == "missing":
        path.unlink()
    elif damage == "truncate":
        path.write_bytes(data[:-7])
    elif damage == "flip":
        path.write_bytes(data[:-5] + bytes([data[-5] ^ 1]) + data[-4:])
    else:  # a plain save of the further trained model over the pair
        m.train(CORPUS)
        m.save(prefix)
    with pytest.raises(ValueError) as error:
        Word2Vec.load_checkpoint(prefix)
    assert str(error.value).startswith(f"{path}: ") and re.search(problem, str(error.value))


def test_cli_checkpoint_then_resume(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text("\n".join(" ".join(s) for s in CORPUS))
    a, b = str(tmp_path / "a"), str(tmp_path / "b")
    assert main(["train", str(corpus), "-o", a, "--checkpoint", "--epochs", "1", "--min-count", "2", "-q"]) == 0
    assert main(["train", str(corpus), "-o", b, "--resume", a, "--seed", "4", "--sample", "0.01", "-q"]) == 0
    expected = Word2Vec.load_checkpoint(a)
    assert expected.sample == 1e-3  # the command line's default
    expected.sample = 0.01
    set_seed(4)
    expected.train(LineSentence(str(corpus)), verbose=False)
    np.testing.assert_array_equal(KeyedVectors.load(b).vectors, expected.wv.vectors)
