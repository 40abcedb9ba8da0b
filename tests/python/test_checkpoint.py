"""Subsampling (Word2Vec.sample) and checkpoints that continue training to the same bits."""

import logging
import re
from pathlib import Path

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import KeyedVectors, LineSentence, Word2Vec, set_seed
from tarnivel.__main__ import main

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
