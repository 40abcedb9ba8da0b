"""Inputs and situations that used to crash the process or give wrong answers: a mapped matrix file
cut short after loading, a word listed twice in a mapped store, query vectors of extreme length, and
native calls still running in daemon threads when the interpreter exits."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import write_pair
from tarnivel import KeyedVectors

@pytest.mark.parametrize("scale", [1e20, 3e38, 1e-25, 1e-30])
@pytest.mark.parametrize("batched", [False, True])
def test_query_length_does_not_change_the_neighbours_or_scores(tmp_path, scale, batched):
    rows = np.array([[3.0, 4.0, 0.0], [0.0, 0.0, 2.0], [1.0, 1.0, 1.0], [-1.0, 0.5, 0.0]], np.float32)
    kv = KeyedVectors.load(write_pair(tmp_path / "q", ["p", "q", "r", "s"], rows))
    direction = np.array([0.6, 0.8, 0.1], np.float32)
    query = (direction.astype(np.float64) * scale).astype(np.float32)
    # Cosines of the direction with each row, in double precision.
    d = direction.astype(np.float64)
    cosines = rows.astype(np.float64) @ d / (np.linalg.norm(rows, axis=1) * np.linalg.norm(d))
    expected_order = ["p", "r", "q", "s"]
    found = kv.similar_by_vector(query[None, :] if batched else query, topn=4)
    found = found[0] if batched else found
    assert [w for w, _ in found] == expected_order
    for word, score in found:
        assert score == pytest.approx(cosines["pqrs".index(word)], abs=1e-5)
