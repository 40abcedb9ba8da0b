"""Random damage to a valid file pair: every load and query either works or raises an ordinary
error; nothing crashes the interpreter or raises the internal-error exception."""

import random
import tokenize
from pathlib import Path

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors, Word2Vec
from tarnivel._core import PanicException

# NumPy's own header parser lets tokenize.TokenError escape for some damaged old-style headers;
# errors of numpy.load reach the caller unchanged.
ORDINARY = (ValueError, TypeError, KeyError, tokenize.TokenError)


def attempt(call):
    """The call's result, or None when it raised an ordinary error."""
    try:
        return call()
    except ORDINARY:
        return None
    except PanicException as error:  # flipped data bytes can make a NaN; a NaN score stops the query by design
        assert "is NaN" in str(error)


def exercise(base, words):
    """Every loader on the pair, then queries on whatever loaded; how many loaded."""
    loaded = [attempt(lambda: Word2Vec.load(base).wv)] + [attempt(lambda: KeyedVectors.load(base, mmap=m)) for m in (None, "r")]
    loaded = [kv for kv in loaded if kv is not None]
    for kv in loaded:
        attempt(lambda: kv.vectors)
        for word in words[:2] + kv.index_to_key[:2]:
            attempt(lambda: kv.get_vector(word, level=3))
            attempt(lambda: kv.most_similar(word, topn=3))
    return len(loaded)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_byte_damage_never_crashes(tmp_path, seed):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "d\u00e9lta", "e\"ps"]
    base = write_pair(tmp_path / "pair", words, np.arange(20, dtype=np.float32).reshape(5, 4) / 3)
    originals = {suffix: Path(base + suffix).read_bytes() for suffix in (".vocab.json", ".npy")}
    loads = 0
    for _ in range(100):
        damaged = dict(originals)
        target = rng.choice(list(damaged))
        data = bytearray(damaged[target])
        action = rng.random()
        if action < 0.8:  # header and vocabulary bytes are the interesting ones: favour the first 128
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(min(len(data), 128) if rng.random() < 0.7 else len(data))] = rng.randrange(256)
        elif action < 0.9:
            del data[rng.randrange(len(data) + 1):]
        else:
            data[rng.randrange(len(data) + 1):0] = bytes(rng.randrange(256) for _ in range(rng.randint(1, 8)))
        damaged[target] = bytes(data)
        for suffix, content in damaged.items():
            Path(base + suffix).write_bytes(content)
        loads += exercise(base, words)
    assert loads > 0  # some damage is harmless (a changed float), so some loads succeed
