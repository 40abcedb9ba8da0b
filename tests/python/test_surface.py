"""The Python surface of tarnivel._core: module, signatures, conversions, validation, levels, borrows."""

import logging
import pathlib

import numpy as np
import pytest

import tarnivel
from tarnivel import KeyedVectors, Word2Vec, _core


def test_module_and_types():
    assert (_core.__name__, _core.__doc__) == ("tarnivel._core", "")
    assert pathlib.Path(_core.__file__).name.endswith(".abi3.so")
    assert (Word2Vec.__module__, Word2Vec.__qualname__, KeyedVectors.__module__) == ("tarnivel", "Word2Vec", "tarnivel")
    assert issubclass(_core.PanicException, BaseException) and not issubclass(_core.PanicException, Exception)


@pytest.mark.parametrize(
    "call, exc, message",
    [
        ({"levels": "64"}, TypeError, "argument 'levels': Can't extract `str` to `Vec`"),
        ({"levels": [-1]}, OverflowError, ""),
        ({"vector_size": -1}, OverflowError, ""),
        ({"vector_size": 1.5}, TypeError, "argument 'vector_size':"),
        ({"sg": 2**40}, OverflowError, "out of range integral type conversion attempted"),
        ({"verbose": 1}, TypeError, "argument 'verbose':"),
        ({"sg": 2, "hs": 2}, ValueError, "sg must be 0 (CBOW) or 1 (skip-gram)"),
        ({"hs": 3}, ValueError, "hs must be 0 (off) or 1 (on)"),
        ({"cbow_mean": 2}, ValueError, "cbow_mean must be 0 (sum) or 1 (mean)"),
        ({"bogus": 1}, TypeError, "unexpected keyword argument 'bogus'"),
        (lambda: Word2Vec(None, sentences=None), TypeError, "got multiple values for argument 'sentences'"),
        (lambda: Word2Vec(*([None] * 17)), TypeError, "positional"),
        (lambda: KeyedVectors(1), TypeError, ""),
        (lambda: Word2Vec().train(), TypeError, "missing required argument 'corpus_iterable'"),
        (lambda: KeyedVectors.load(b"x"), TypeError, "argument 'path'"),
        (lambda: Word2Vec().save(b"m"), TypeError, "argument 'path'"),
        (lambda: tarnivel.set_seed("1"), TypeError, "argument 'seed'"),
    ],
)
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call() if callable(call) else Word2Vec(**call)
    assert type(info.value) is exc and message in str(info.value)


def test_accepted_conversions_and_levels_reach_the_model(caplog):
    m = Word2Vec(vector_size=8, levels=(4, 8), sg=True, hs=np.int64(0), alpha=1, verbose=np.bool_(False),
                 max_final_vocab=None, progress_interval=2)
    assert m.vector_size == 8
    # The normalisation rules are the core's (its tests cover them); None and a list arrive unchanged.
    caplog.set_level(logging.INFO, logger="tarnivel")
    for levels in (None, (64, 0, 200, 32)):
        Word2Vec([["a", "b"]], levels=levels, min_count=1, epochs=0)
    lines = [r.getMessage() for r in caplog.records if r.getMessage().startswith("TRAIN setup: vocab=")]
    assert ["levels=[25, 50, 100]" in lines[0], "levels=[64, 32]" in lines[1]] == [True, True]


def test_borrow_conflicts_while_training():
    m = Word2Vec(vector_size=8, min_count=1, verbose=False)
    seen = []

    class Corpus:
        def __iter__(self):
            for exc_call in (lambda: m.wv, lambda: m.vector_size, lambda: m.train([["a"]])):
                try:
                    exc_call()
                except RuntimeError as e:
                    seen.append(str(e))
            return iter([["a", "b"]])

    m.train(Corpus(), epochs=1)
    assert seen[:3] == ["Already mutably borrowed", "Already mutably borrowed", "Already borrowed"]
    assert m.wv.vectors.shape == (2, 8)  # the borrow is released after the call


def test_oversized_requests_fail_cleanly_and_leave_the_model_usable():
    class Huge:
        __len__ = lambda self: 2**62  # noqa: E731

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError(i)
            return 4

    with pytest.raises(IndexError):
        Word2Vec(vector_size=8, levels=Huge())
    with pytest.raises(MemoryError):
        Word2Vec([["a", "b"]], vector_size=2**61, min_count=1, verbose=False)
    m = Word2Vec(vector_size=2**36, min_count=1, verbose=False)
    with pytest.raises(MemoryError):
        m.train([["a", "b"]])
    # The failed build left no half-built vocabulary behind.
    assert m.wv.index_to_key == []


def test_paths_with_nul_bytes_are_refused(tmp_path):
    m = Word2Vec([["a", "b"]], vector_size=4, min_count=1, verbose=False)
    for call in (lambda p: m.save(p), lambda p: m.wv.save(p), Word2Vec.load, tarnivel.KeyedVectors.load):
        with pytest.raises(ValueError, match="embedded null byte"):
            call(str(tmp_path / "m\0junk"))
    assert list(tmp_path.iterdir()) == []
