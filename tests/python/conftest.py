import random

import pytest


def make_corpus(seed=0, sentences=400, vocab=60, length=(3, 20)):
    """A reproducible synthetic corpus with a skewed word distribution."""
    rng = random.Random(seed)
    words = [f"w{i}" for i in range(vocab)]
    weights = [1.0 / (i + 1) for i in range(vocab)]
    return [rng.choices(words, weights, k=rng.randint(*length)) for _ in range(sentences)]


@pytest.fixture
def corpus():
    return make_corpus()
