"""A LineSentence corpus read natively: the native reader yields what iterating the LineSentence in
Python yields (sentences, and the error that ends the file), and training on it equals training on
the same sentences as a list, in both modes, with errors and interrupts as before."""

import os
import random
import signal
import threading

import numpy as np
import pytest

import tarnivel
import tarnivel.corpus
from tarnivel import LineSentence, Word2Vec, _core, set_seed

# Python's own whitespace, from Python itself.
WHITESPACE = [chr(c) for c in range(0x110000) if chr(c).isspace()]
LINE_ENDS = ["\n", "\r\n", "\r"]
CHARS = ["é", "ß", "日本", "ǅ", "\u200b", "\ufeff", "\u180e", "\x00", "\x7f", "🙂", "\U00010348", "\U0010ffff", "a̐"]
# Invalid: lone bytes, overlong forms, a surrogate, beyond U+10FFFF, cut characters.
BAD_BYTES = [b"\xff", b"\x80", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x9f\x80", b"\xf0\x8f\xbf\xbf", b"\xed\xa0\x80",
             b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xe2\x82", b"\xf0\x9f\x99", b"\xc3"]


def python_reading(path, max_sentence_length=None):
    """What iterating LineSentence yields: the sentences and the error that ended them (or None)."""
    got = []
    try:
        got.extend(LineSentence(path, max_sentence_length))
    except UnicodeDecodeError as error:
        return got, error
    return got, None


def describe(error):
    return error and (type(error), str(error), error.encoding, error.reason, error.start, error.end, error.object)


def random_file(rng, path):
    """Random Unicode text: words of ASCII, non-BMP and odd characters, every kind of whitespace,
    CRLF, lone CR, very long lines, a BOM or not, no final newline sometimes, invalid bytes sometimes
    (near Python's 8192-byte decoding steps too)."""
    parts = []
    for _ in range(rng.randint(50, 1500)):
        r = rng.random()
        if r < 0.45:
            parts.append("".join(rng.choice("abcxyz") for _ in range(rng.randint(1, 12))))
        elif r < 0.6:
            parts.append("".join(rng.choice(CHARS) for _ in range(rng.randint(1, 4))))
        elif r < 0.8:
            parts.append("".join(rng.choice(WHITESPACE) for _ in range(rng.randint(1, 3))))
        elif r < 0.97:
            parts.append(rng.choice(LINE_ENDS))
        else:
            parts.append(" ".join(["long"] * rng.randint(2000, 6000)))  # a very long line
        if rng.random() < 0.7:
            parts.append(" ")
    data = "".join(parts).encode("utf-8")
    if rng.random() < 0.3:
        data = b"\xef\xbb\xbf" + data
    if rng.random() < 0.4:
        for _ in range(rng.randint(1, 2)):
            at = rng.randrange(len(data) + 1)
            if rng.random() < 0.5 and len(data) > 8200:
                at = 8192 * rng.randint(1, len(data) // 8192) - rng.randrange(4)
            data = data[:at] + rng.choice(BAD_BYTES) + data[at:]
    if rng.random() < 0.2:
        data = data.rstrip(b"\r\n")
    path.write_bytes(data)
    return path


# Empty, an unfinished mark (Python waits for its end), a mark alone, two marks, blank lines, a cut character
# at the end, a surrogate and a CR at the end of Python's 8192-byte step, Latin-1, an error after a mark, in
# the second step, in a character carried over a step, across two steps; each invalid form once, and
# characters cut short by an ASCII byte.
EDGE_FILES = [b"", b"\xef\xbb", b"\xef\xbb\xbf", b"\xef\xbb\xbf\xef\xbb\xbfa b", b" \t\r\n\x0b\x0c\r\r\n", b"abc\n\xe2\x82",
              b"a\n" * 4095 + b"\xed\xa0b\n", b"q\n" * 4095 + b"r\rs\xff", b"ok\ncaf\xe9\n", b"\xef\xbb\xbfab\n\xc3(",
              b"a\n" * 5000 + b"\xff", b"x" * 8190 + b"\n\xc3\xa9z\x80", b"y" * 8191 + b"\xe2\x82(",
              *(b"ok\na " + bad + b" b\n" for bad in BAD_BYTES + [b"\xe2\x82(", b"\xf0\x9f\x99("])]


@pytest.mark.parametrize("case", [*range(40), *EDGE_FILES])
def test_native_reader_yields_what_linesentence_yields(tmp_path, case):
    path = tmp_path / "c.txt"
    path.write_bytes(case) if isinstance(case, bytes) else random_file(random.Random(case), path)
    for limit in (None, 1, 7):
        expected, expected_error = python_reading(path, limit)
        got, error = _core._read_lines(str(path), limit)
        assert (got, describe(error)) == (expected, describe(expected_error)), limit


def test_every_whitespace_character_splits_and_only_cr_lf_end_lines(tmp_path):
    # Every code point between two letters, so that both readers decide about each one.
    path = tmp_path / "all.txt"
    text = "".join(f"a{chr(c)}b|" + ("\n" if c % 64 == 0 else "") for c in range(0x110000) if not 0xD800 <= c < 0xE000)
    path.write_text(text, encoding="utf-8", newline="")
    got, error = _core._read_lines(str(path))
    assert error is None
    assert got == list(LineSentence(path))


def write_corpus(path, rng, sentences=300):
    words = [f"w{i}" for i in range(40)] + ["é", "日本", "🙂"]
    lines = []
    for _ in range(sentences):
        line = rng.choice(["\u3000", " ", "\t", "\xa0"]).join(rng.choices(words, k=rng.randint(1, 30)))
        lines.append(line + rng.choice(["\n", "\r\n", "\r", "\n\n"]))
    path.write_bytes(b"\xef\xbb\xbf" + "".join(lines).encode("utf-8"))
    return path


def train(corpus, second=None, **kw):
    set_seed(77)
    model = Word2Vec(corpus, **{**dict(vector_size=16, window=3, min_count=2, epochs=2, verbose=False), **kw})
    if second is not None:
        model.train(second, epochs=1)
    return model


# A LineSentence (or a subclass without its own __iter__) is read natively, never by Python, and sequential
# training on it makes the same draws on the same sentences as on the list of its sentences, so the vectors
# are the same to the bit; a second call updates counts. A subclass with its own __iter__ is iterated.
def test_linesentence_is_read_natively_and_trains_what_its_list_trains(tmp_path, monkeypatch):
    first, second = write_corpus(tmp_path / "a.txt", random.Random(1)), write_corpus(tmp_path / "b.txt",
                                                                                      random.Random(2), 100)
    lists = {limit: (list(LineSentence(first, limit)), list(LineSentence(second, limit))) for limit in (None, 5)}
    opened = []
    real_open = open
    monkeypatch.setattr(tarnivel.corpus, "open", lambda *a, **k: opened.append(a) or real_open(*a, **k), raising=False)
    for limit, kw in ((None, dict(sg=0, hs=0)), (5, dict(sg=1, hs=1, levels=[16, 4, 8]))):
        a = train(LineSentence(first, limit), LineSentence(second, limit), **kw)
        b = train(*lists[limit], **kw)
        assert a.wv.index_to_key == b.wv.index_to_key and np.array_equal(a.wv.vectors, b.wv.vectors)

    class Upper(LineSentence):
        def __iter__(self):
            for sentence in super().__iter__():
                yield [w.upper() for w in sentence]

    class Plain(LineSentence):
        pass

    train(LineSentence(first), workers=2)
    train(Plain(first))
    assert opened == []
    assert "W1" in train(Upper(first)).wv.index_to_key
    assert len(opened) == 4  # vocabulary, tokens, two epochs


class Switching(LineSentence):
    """Reads `paths[i]` in pass i (the path is read once per pass, as LineSentence.__iter__ does)."""

    def __init__(self, paths, max_sentence_length=None):
        self.paths = [str(p) for p in paths]
        self.passes = 0
        super().__init__(paths[0], max_sentence_length)
        self.passes = 0

    @property
    def path(self):
        self.passes += 1
        return self.paths[min(self.passes - 1, len(self.paths) - 1)]

    @path.setter
    def path(self, value):
        pass


def bad_copy(source, target, at):
    data = source.read_bytes()
    target.write_bytes(data[:at] + b"\xe9" + data[at:])
    return target


@pytest.mark.parametrize("workers", [1, 2])
def test_invalid_text_fails_with_pythons_error_in_any_pass(tmp_path, workers):
    good = write_corpus(tmp_path / "good.txt", random.Random(6), sentences=2000)
    for at in (5, 8191, 20000):
        bad = bad_copy(good, tmp_path / f"bad{at}.txt", at)
        _, expected = python_reading(bad)
        model = Word2Vec(vector_size=8, min_count=1, workers=workers, verbose=False)
        with pytest.raises(UnicodeDecodeError) as info:
            model.train(LineSentence(bad))
        assert describe(info.value) == describe(expected)
        assert model.wv.index_to_key == []  # nothing of the vocabulary pass is kept
    # Epoch 2 of 3 meets the bad byte; a file gone by a later pass fails as Python's open() fails.
    with pytest.raises(UnicodeDecodeError) as info:
        model.train(Switching([good, good, good, bad]), epochs=3)
    assert str(info.value) == str(expected)
    with pytest.raises(FileNotFoundError, match="gone.txt"):
        model.train(Switching([good, tmp_path / "gone.txt"]), epochs=1)


def test_values_only_python_handles_keep_pythons_behaviour(tmp_path):
    path = write_corpus(tmp_path / "a.txt", random.Random(7))
    corpus = LineSentence(path)
    corpus.max_sentence_length = 0  # set after the checks of the constructor
    with pytest.raises(ValueError) as expected:
        list(corpus)
    with pytest.raises(ValueError) as info:
        train(corpus)
    assert str(info.value) == str(expected.value)
    # A path that became a directory or vanished fails as Python's open() fails.
    corpus = LineSentence(path)
    corpus.path = str(tmp_path)
    with pytest.raises(IsADirectoryError):
        train(corpus)
    corpus.path = str(tmp_path / "none.txt")
    with pytest.raises(FileNotFoundError):
        train(corpus)


def test_sigint_interrupts_the_vocabulary_pass(tmp_path):
    # About 200 MB of text, several tenths of a second of vocabulary pass against a signal 20 ms in:
    # the native pass checks for signals between its blocks.
    path = tmp_path / "big.txt"
    line = (" ".join(f"w{i}" for i in range(200)) + "\n").encode()
    path.write_bytes(line * (200_000_000 // len(line)))
    m = Word2Vec(vector_size=8, min_count=1, verbose=False)
    timer = threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            m.train(LineSentence(path), epochs=100000)
    finally:
        timer.cancel()
    assert m.wv.index_to_key == []  # stopped inside the vocabulary pass, which keeps nothing
