"""Corpus conversion: which corpus items count as which vocabulary words.

Two words are the same exactly when their UTF-8 bytes are equal, whatever their Python type,
__hash__ or __eq__ say; unknown words vanish before windows are drawn.
"""

import logging
import re

import numpy as np
import pytest

from conftest import make_corpus
from tarnivel import Word2Vec, set_seed


class ConstantHash(str):
    def __hash__(self):
        return 7


class BrokenHash(str):
    def __hash__(self):
        raise RuntimeError("never called")

    def __eq__(self, other):
        return True


ODD_WORDS = ["w0", "café", "日本語", "🙂", "a\x00b", "a", "", "w0\x00"]


def odd_corpus(seed=3):
    """Sentences over plain, non-ASCII, NUL-bearing and empty words."""
    base = make_corpus(seed=seed, sentences=150, vocab=len(ODD_WORDS))
    return [[ODD_WORDS[int(w[1:])] for w in s] for s in base]


def trained(corpus_for_vocab, corpus_for_training, workers=1, verbose=False, **kw):
    set_seed(5)
    m = Word2Vec(corpus_for_vocab, vector_size=8, min_count=1, workers=workers, epochs=0, verbose=False, **kw)
    m.train(corpus_for_training, epochs=2, verbose=verbose)
    return m


@pytest.mark.parametrize("sg, hs", [(0, 0), (1, 1)])
def test_subclasses_and_odd_words_train_like_plain_str(sg, hs):
    corpus = odd_corpus()
    plain = trained(corpus, corpus, sg=sg, hs=hs)
    # Every word index must differ: "a", "a\0b", "w0" and "w0\0" are distinct words.
    assert sorted(plain.wv.index_to_key) == sorted(ODD_WORDS)
    for cls in (ConstantHash, BrokenHash):
        wrapped = [[cls(w) for w in s] for s in corpus]
        other = trained(corpus, wrapped, sg=sg, hs=hs)
        assert np.array_equal(plain.wv.vectors, other.wv.vectors), cls.__name__
    # Words built at run time (not the same objects, hash not yet computed) match too, and unknown words
    # vanish before windows are drawn.
    rebuilt = [["".join(list(w)) for w in s] for s in corpus]
    noisy = [[w for x in s for w in (x, "café!", "a\x00", "日本")] for s in corpus]
    for other in (rebuilt, noisy):
        assert np.array_equal(plain.wv.vectors, trained(corpus, other, sg=sg, hs=hs).wv.vectors)


@pytest.mark.parametrize("workers", [1, 2])
def test_token_counts_and_count_updates_see_the_same_words(workers, caplog):
    caplog.set_level(logging.INFO, logger="tarnivel")
    corpus = odd_corpus()
    known = sum(len(s) for s in corpus)
    mixed = [[ConstantHash(w) if i % 2 else w for i, w in enumerate(s)] + ["unknown", "a\x00c"] for s in corpus]
    m = trained(corpus, mixed, workers=workers, verbose=True)
    lines = " ".join(r.getMessage() for r in caplog.records if r.name == "tarnivel")
    assert re.findall(r"total_tokens_per_epoch=(\d+)", lines) == [str(known)]
    if workers > 1:
        assert re.findall(r": end, elapsed=\S+ tokens=(\d+),", lines) == [str(known)] * 2
    assert np.isfinite(m.wv.vectors).all()


@pytest.mark.parametrize("workers", [1, 2])
def test_unencodable_words_raise_even_when_unknown(workers):
    m = Word2Vec([["a", "b"]], vector_size=4, min_count=1, workers=workers, epochs=0, verbose=False)
    for word in ("\ud800", ConstantHash("x\udfff")):
        with pytest.raises(UnicodeEncodeError):
            m.train([["a", word]], epochs=1)
