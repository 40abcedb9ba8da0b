import json
import random
from pathlib import Path

import numpy as np
import pytest

COUNTRIES = ["france", "italy", "spain", "japan", "peru"]
CAPITALS = ["paris", "rome", "madrid", "tokyo", "lima"]


def make_corpus(seed=0, sentences=400, vocab=60, length=(3, 20)):
    """A reproducible synthetic corpus with a skewed word distribution."""
    rng = random.Random(seed)
    words = [f"w{i}" for i in range(vocab)]
    weights = [1.0 / (i + 1) for i in range(vocab)]
    return [rng.choices(words, weights, k=rng.randint(*length)) for _ in range(sentences)]


def write_pair(base, vocab, matrix):
    """A pair written by hand: `vocab` as text/bytes verbatim or a list dumped as JSON; `matrix` as raw
    bytes, an array saved as it is, or nested lists saved as float32."""
    base = str(base)
    if isinstance(vocab, list):
        vocab = json.dumps(vocab, ensure_ascii=False)
    Path(f"{base}.vocab.json").write_bytes(vocab.encode() if isinstance(vocab, str) else vocab)
    if isinstance(matrix, bytes):
        Path(f"{base}.npy").write_bytes(matrix)
    else:
        np.save(f"{base}.npy", matrix if isinstance(matrix, np.ndarray) else np.asarray(matrix, np.float32))
    return base


def npy_bytes(header, data=np.arange(6, dtype="<f4").tobytes()):
    """An NPY 1.0 file with the given dictionary text, padded as NumPy pads it."""
    text = header.encode("latin-1")
    text += b" " * ((-(10 + len(text) + 1)) % 16) + b"\n"
    return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + data


def header(rows, cols, descr="<f4"):
    return f"{{'descr': '{descr}', 'fortran_order': False, 'shape': ({rows}, {cols}), }}"


@pytest.fixture
def corpus():
    return make_corpus()


@pytest.fixture(scope="session")
def model():
    from tarnivel import Word2Vec

    corpus = [["a", "b", "c", "d"], ["b", "c", "e"], ["a", "e", "f", "g"], ["g", "h", "a"]] * 25
    return Word2Vec(corpus, vector_size=16, min_count=1, epochs=2, verbose=False)


@pytest.fixture
def geo(tmp_path):
    """Countries and capitals, capital = country + a common offset: 'france is to paris as italy is
    to ?' is rome by construction; six noise words."""
    rng = np.random.default_rng(3)
    base = rng.standard_normal((5, 16)) * 3
    offset = np.zeros(16)
    offset[0] = 4.0
    noise = rng.standard_normal((6, 16)) * 3
    words = COUNTRIES + CAPITALS + [f"noise{i}" for i in range(6)]
    return write_pair(tmp_path / "geo", words, np.vstack([base, base + offset, noise]).astype(np.float32))
