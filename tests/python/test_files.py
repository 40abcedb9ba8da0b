"""Model and vector files: round trips, NumPy interoperability, memory maps, the vocabulary format,
temporary files, and damaged inputs."""

import json
import logging
import os
import stat

import numpy as np
import pytest

from tarnivel import KeyedVectors, Word2Vec

CORPUS = [["a", "b", "c", "d"], ["b", "c", "e"], ["a", "e", "f", "g"], ["g", "h", "a"]] * 25
LOADERS = {
    "Word2Vec": lambda base: Word2Vec.load(base).wv,
    "owned": KeyedVectors.load,
    "mapped": lambda base: KeyedVectors.load(base, mmap="r"),
}


@pytest.fixture(scope="module")
def model():
    return Word2Vec(CORPUS, vector_size=16, min_count=1, epochs=2, verbose=False)


def write_pair(base, vocab, matrix):
    """`vocab` as text/bytes written verbatim or a list dumped as JSON; `matrix` as raw bytes, an array
    saved as it is, or nested lists saved as float32."""
    base = str(base)
    if isinstance(vocab, list):
        vocab = json.dumps(vocab)
    with open(f"{base}.vocab.json", "wb") as handle:
        handle.write(vocab.encode("utf-8") if isinstance(vocab, str) else vocab)
    if isinstance(matrix, bytes):
        with open(f"{base}.npy", "wb") as handle:
            handle.write(matrix)
    else:
        np.save(f"{base}.npy", matrix if isinstance(matrix, np.ndarray) else np.asarray(matrix, np.float32))
    return base


def npy_bytes(rows, cols, header=None, data=None):
    """An NPY 1.0 file with a given header dictionary (padded to 16 bytes) and data."""
    if header is None:
        header = f"{{'descr': '<f4', 'fortran_order': False, 'shape': ({rows}, {cols}), }}"
    text = header.encode("latin-1")
    text += b" " * ((-(10 + len(text) + 1)) % 16) + b"\n"
    if data is None:
        data = np.arange(rows * cols, dtype="<f4").tobytes()
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + data


class TestRoundTrips:
    def test_every_writer_and_every_loader_agree(self, model, tmp_path):
        model.save(str(tmp_path / "m"))
        assert sorted(os.listdir(tmp_path)) == ["m.npy", "m.vocab.json"]
        model.wv.save(str(tmp_path / "kv"))
        KeyedVectors.load(str(tmp_path / "kv"), mmap="r").save(str(tmp_path / "copy"))
        write_pair(tmp_path / "np", model.wv.index_to_key, model.wv.vectors)  # matrix written by NumPy
        for name in ("m", "kv", "copy", "np"):
            base = str(tmp_path / name)
            matrix = np.load(f"{base}.npy")
            assert matrix.dtype == np.dtype("<f4")
            np.testing.assert_array_equal(matrix, model.wv.vectors)
            assert json.loads((tmp_path / f"{name}.vocab.json").read_text(encoding="utf-8")) == model.wv.index_to_key
            for load in LOADERS.values():
                kv = load(base)
                assert kv.index_to_key == model.wv.index_to_key, name
                np.testing.assert_array_equal(kv.vectors, model.wv.vectors)
        loaded = Word2Vec.load(str(tmp_path / "m"))
        assert loaded.vector_size == model.vector_size
        # A loaded model trains further (its counts and output side are rebuilt by the run).
        loaded.train(CORPUS[:8], epochs=1, verbose=False)
        assert loaded.wv.vectors.shape == model.wv.vectors.shape

    def test_a_loaded_model_has_the_fixed_settings(self, tmp_path, caplog):
        # Nothing but words and vectors is stored: a loaded model trains with fixed settings (skip-gram,
        # min_count 1, ...), whatever the saved model used.
        Word2Vec(CORPUS, vector_size=6, window=2, min_count=2, workers=2, negative=3, sg=0, hs=1, cbow_mean=0,
                 levels=[2, 6], alpha=0.05, min_alpha=0.01, epochs=1, verbose=False,
                 progress_interval=3.0).save(str(tmp_path / "m"))
        loaded = Word2Vec.load(str(tmp_path / "m"))
        caplog.set_level(logging.INFO, logger="tarnivel")
        loaded.train(CORPUS[:8])
        lines = [r.getMessage() for r in caplog.records if r.name == "tarnivel"]
        assert lines[:2] == [
            "TRAIN setup: built alias table for negative sampling (vocab=8, negatives=5)",
            "TRAIN setup: vocab=8, vector_size=6, window=5, min_count=1, max_final_vocab=None, workers=1, "
            "sg=true, hs=false, cbow_mean=true, negative=5, levels=[1, 3, 6], alpha_start=0.02500, "
            "min_alpha=0.00010, log_interval=1.00s",
        ]
        assert "TRAIN setup: total_tokens_per_epoch=28, epochs=5" in lines

    def test_mapped_load_returns_read_only_views_of_the_map(self, model, tmp_path):
        model.wv.save(str(tmp_path / "kv"))
        kv = KeyedVectors.load(str(tmp_path / "kv"), mmap="r")
        mapped = kv.vectors
        assert isinstance(mapped, np.memmap)
        assert kv.vectors is mapped  # the map itself, not a copy
        row = kv.get_vector("a")
        prefix = kv.get_vector("a", level=4)
        for view in (mapped, row, prefix):
            assert not view.flags.writeable
            assert np.shares_memory(view, mapped)
        np.testing.assert_array_equal(row, model.wv.get_vector("a"))
        np.testing.assert_array_equal(prefix, model.wv.get_vector("a")[:4])
        # The arrays keep the map alive after the store is gone.
        del kv, mapped
        np.testing.assert_array_equal(row, model.wv.get_vector("a"))

    @pytest.mark.parametrize("mode", [None, "r+", "c", "w+", "R"])
    def test_every_other_mode_loads_owned_copies(self, model, tmp_path, mode):
        model.wv.save(str(tmp_path / "kv"))
        before = (tmp_path / "kv.npy").read_bytes()
        kv = KeyedVectors.load(str(tmp_path / "kv"), mmap=mode)
        vectors = kv.vectors
        assert not isinstance(vectors, np.memmap) and vectors.flags.writeable
        vectors[:] = 0
        kv.get_vector("a")[:] = 0
        np.testing.assert_array_equal(kv.vectors, model.wv.vectors)
        assert (tmp_path / "kv.npy").read_bytes() == before

    def test_empty_model_and_store(self, tmp_path):
        Word2Vec(vector_size=8, verbose=False).save(str(tmp_path / "m"))
        assert (tmp_path / "m.vocab.json").read_bytes() == b"[]"
        assert np.load(tmp_path / "m.npy").shape == (0, 8)
        loaded = Word2Vec.load(str(tmp_path / "m"))
        assert loaded.vector_size == 8 and loaded.wv.index_to_key == []

        KeyedVectors().save(str(tmp_path / "kv"))
        assert (tmp_path / "kv.vocab.json").read_bytes() == b"[]"
        assert np.load(tmp_path / "kv.npy").shape == (0, 0)
        for mmap in (None, "r"):
            kv = KeyedVectors.load(str(tmp_path / "kv"), mmap=mmap)
            assert kv.vector_size == 0 and kv.index_to_key == [] and kv.vectors.shape == (0, 0)

    def test_duplicate_words_resolve_to_their_last_row(self, tmp_path):
        base = write_pair(tmp_path / "p", ["a", "b", "a"], [[1, 1], [2, 2], [3, 3]])
        for load in LOADERS.values():
            np.testing.assert_array_equal(load(base)["a"], [3, 3])
        owned = KeyedVectors.load(base)
        assert owned.index_to_key == ["a", "b", "a"]
        owned.save(str(tmp_path / "again"))
        np.testing.assert_array_equal(np.load(tmp_path / "again.npy"), [[3, 3], [2, 2], [3, 3]])


class TestVocabularyFormat:
    WORDS = ['q"uote', "back\\slash", "tab\there", "\x01ctl", "ünï", "a/b", "\x1f\b\f\n\r", "日本"]
    EXPECTED = (
        '["q\\"uote","back\\\\slash","tab\\there","\\u0001ctl","ünï","a/b","\\u001f\\b\\f\\n\\r","日本"]'
    ).encode("utf-8")

    def test_escapes_are_byte_exact_and_round_trip(self, tmp_path):
        matrix = np.eye(len(self.WORDS), 3, dtype=np.float32)
        # Written by hand with ASCII escapes and whitespace; saved back in the compact form.
        base = write_pair(tmp_path / "p", json.dumps(self.WORDS, indent=2), matrix)
        kv = KeyedVectors.load(base)
        assert kv.index_to_key == self.WORDS
        kv.save(str(tmp_path / "kv"))
        assert (tmp_path / "kv.vocab.json").read_bytes() == self.EXPECTED
        model = Word2Vec.load(base)
        model.save(str(tmp_path / "m"))
        assert (tmp_path / "m.vocab.json").read_bytes() == self.EXPECTED
        assert Word2Vec.load(str(tmp_path / "m")).wv.index_to_key == self.WORDS

    def test_surrogate_pairs_and_whitespace_are_read(self, tmp_path):
        base = write_pair(tmp_path / "p", ' \n[ "\\ud83d\\ude00" ,\r\n\t"x" ]\n ', np.zeros((2, 1), np.float32))
        assert KeyedVectors.load(base).index_to_key == ["\U0001F600", "x"]


class TestSaving:
    def test_saving_twice_replaces_and_leaves_no_temporary_files(self, model, tmp_path):
        base = str(tmp_path / "m")
        KeyedVectors().save(base)
        model.save(base)
        model.wv.save(base)
        model.save(str(tmp_path / "x.npy"))  # the names are the path plus the suffixes
        assert sorted(os.listdir(tmp_path)) == ["m.npy", "m.vocab.json", "x.npy.npy", "x.npy.vocab.json"]
        np.testing.assert_array_equal(np.load(tmp_path / "m.npy"), model.wv.vectors)

    def test_a_mapped_store_saves_a_byte_copy_with_its_permissions(self, model, tmp_path):
        model.wv.save(str(tmp_path / "src"))
        os.chmod(tmp_path / "src.npy", 0o640)
        kv = KeyedVectors.load(str(tmp_path / "src"), mmap="r")
        kv.save(str(tmp_path / "dst"))
        assert (tmp_path / "dst.npy").read_bytes() == (tmp_path / "src.npy").read_bytes()
        assert stat.S_IMODE(os.stat(tmp_path / "dst.npy").st_mode) == 0o640
        assert (tmp_path / "dst.vocab.json").read_bytes() == (tmp_path / "src.vocab.json").read_bytes()
        np.testing.assert_array_equal(KeyedVectors.load(str(tmp_path / "dst")).vectors, model.wv.vectors)

    def test_a_mapped_store_saved_over_its_own_file_keeps_reading(self, model, tmp_path):
        model.wv.save(str(tmp_path / "kv"))
        kv = KeyedVectors.load(str(tmp_path / "kv"), mmap="r")
        kv.save(str(tmp_path / "kv"))
        assert list(tmp_path.glob("*.tmp")) == []
        np.testing.assert_array_equal(kv.vectors, model.wv.vectors)
        assert kv.most_similar("a") == model.wv.most_similar("a")

    def test_failed_writes_remove_their_temporary_files_and_keep_the_old_pair(self, model, tmp_path):
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
        (tmp_path / "m.npy.tmp").rmdir()

        with pytest.raises(ValueError, match=r"^failed to write .*/nowhere/m\.vocab\.json\.tmp: .*\(os error 2\)$"):
            model.save(str(tmp_path / "nowhere" / "m"))

    def test_a_failed_matrix_rename_leaves_no_vocabulary_and_no_temporary_file(self, model, tmp_path):
        (tmp_path / "m.npy").mkdir()
        (tmp_path / "m.npy" / "keep").write_text("x")
        with pytest.raises(ValueError, match=r"^failed to finalize .*/m\.npy: "):
            model.save(str(tmp_path / "m"))
        assert list(tmp_path.glob("*.tmp")) == []
        assert not (tmp_path / "m.vocab.json").exists()

    def test_a_mapped_store_whose_file_is_gone_still_saves_what_it_maps(self, model, tmp_path):
        model.wv.save(str(tmp_path / "kv"))
        kv = KeyedVectors.load(str(tmp_path / "kv"), mmap="r")
        os.unlink(tmp_path / "kv.npy")
        kv.save(str(tmp_path / "out"))
        np.testing.assert_array_equal(np.load(tmp_path / "out.npy"), model.wv.vectors)
        assert kv.most_similar("a")  # still served from the existing mapping


class TestDamagedInput:
    @staticmethod
    def expect_everywhere(base, message, only=tuple(LOADERS)):
        """Every named loader fails with exactly `message` and leaves the directory as it was."""
        before = sorted(os.listdir(os.path.dirname(base)))
        for name in only:
            with pytest.raises(ValueError) as info:
                LOADERS[name](base)
            assert str(info.value) == message, name
        assert sorted(os.listdir(os.path.dirname(base))) == before

    def test_missing_files(self, tmp_path):
        base = str(tmp_path / "none")
        self.expect_everywhere(base, f"failed to read {base}.vocab.json: No such file or directory (os error 2)")
        (tmp_path / "none.vocab.json").write_text("[]")
        self.expect_everywhere(base, f"failed to open {base}.npy: No such file or directory (os error 2)")

    @pytest.mark.parametrize(
        "vocab, message",
        [
            (b"", "Expecting value at line 1 column 1"),
            (b'["a", "b"', "Expecting ',' delimiter at line 1 column 10"),
            (b'["a"] ["b"]', "Extra data at line 1 column 7"),
            (b'{"a": 0}', "invalid type: map, expected a sequence of strings at line 1 column 1"),
            (b'\n  "a"', "invalid type: string, expected a sequence of strings at line 2 column 3"),
            (b'["a",\n 1]', "invalid type: integer `1`, expected a string at line 2 column 2"),
            (b'["a", null]', "invalid type: null, expected a string at line 1 column 7"),
            (b'["\xc3\xa9", ["b"]]', "invalid type: sequence, expected a string at line 1 column 7"),
            (b'["\\ud800"]', "lone surrogate in a \\u escape at line 1 column 2"),
            (b'["a\tb"]', "Invalid control character at line 1 column 4"),
            (b"[" * 100000, None),
        ],
    )
    def test_vocabularies_that_are_not_arrays_of_strings(self, tmp_path, vocab, message):
        base = write_pair(tmp_path / "p", vocab, np.zeros((1, 2), np.float32))
        for load in LOADERS.values():
            with pytest.raises(ValueError, match="^failed to parse vocab json: ") as info:
                load(base)
            if message is not None:
                assert str(info.value) == "failed to parse vocab json: " + message

    def test_vocabulary_that_is_not_utf8(self, tmp_path):
        base = write_pair(tmp_path / "p", b'["\xff"]', np.zeros((1, 2), np.float32))
        self.expect_everywhere(base, f"failed to read {base}.vocab.json: stream did not contain valid UTF-8")

    @pytest.mark.parametrize(
        "matrix, message",
        [
            # Four rows declared for three words, with no data at all or with data: the shape comes first.
            (npy_bytes(4, 2, data=b""), "npy shape mismatch: rows=4 != vocab=3"),
            (npy_bytes(4, 2), "npy shape mismatch: rows=4 != vocab=3"),
            (npy_bytes(3, 2, header="{'descr': '<f4', 'fortran_order': False, 'shape': (3, 2), }" + " " * 500),
             "short npy header"),
            (b"\x93NUMPY\x02\x00" + b"\0" * 100, "unsupported npy version"),
            (b"\x93NUMPY\x01", "invalid npy magic"),
        ],
    )
    def test_matrix_header_errors_reach_every_loader(self, tmp_path, matrix, message):
        self.expect_everywhere(write_pair(tmp_path / "p", ["a", "b", "c"], matrix), message)

    def test_truncated_matrix(self, tmp_path):
        full = npy_bytes(3, 4)
        base = write_pair(tmp_path / "p", ["a", "b", "c"], full[:-5])
        self.expect_everywhere(base, "npy size mismatch", only=("Word2Vec",))
        for mmap in (None, "r"):
            with pytest.raises(ValueError):  # NumPy's own error, propagated
                KeyedVectors.load(base, mmap=mmap)
        write_pair(base, ["a", "b", "c"], full + b"\0\0\0\0")
        self.expect_everywhere(base, "npy size mismatch", only=("Word2Vec",))

    def test_other_dtypes_and_fortran_order(self, tmp_path):
        base = str(tmp_path / "p")
        for dtype in ("<f8", ">f4"):
            write_pair(base, ["a", "b"], np.ones((2, 3), dtype))
            with pytest.raises(ValueError, match=f"^unsupported npy dtype '{dtype}'"):
                Word2Vec.load(base)
            with pytest.raises(TypeError):
                KeyedVectors.load(base)
        write_pair(base, ["a", "b"], np.ones((2, 3), np.float64))
        with pytest.raises(ValueError, match="^unsupported npy dtype '<f8'"):
            KeyedVectors.load(base, mmap="r")

        write_pair(base, ["a", "b"], np.asfortranarray(np.ones((2, 3), np.float32)))
        with pytest.raises(ValueError, match="^unsupported npy layout: fortran_order is True"):
            Word2Vec.load(base)

        write_pair(base, ["a", "b"], npy_bytes(2, 3, header="{'fortran_order': False, 'shape': (2, 3), }"))
        with pytest.raises(ValueError, match="^unsupported npy header: no descr$"):
            Word2Vec.load(base)
