"""LineSentence: a re-iterable, streaming corpus over a text file."""

import tracemalloc

import pytest

from tarnivel.corpus import LineSentence


def test_lines_become_token_lists_and_every_pass_reopens_the_file(tmp_path):
    path = tmp_path / "c.txt"
    # A byte-order mark, runs of blanks, a tab, CRLF, blank lines, no final newline.
    path.write_text("\ufeffthe  quick\tbrown fox\r\n\n   \t \ncafé 日本語 🙂\nlast line", encoding="utf-8")
    corpus = LineSentence(path)
    expected = [["the", "quick", "brown", "fox"], ["café", "日本語", "🙂"], ["last", "line"]]
    assert list(corpus) == expected and all(type(w) is str for s in corpus for w in s)
    with open(path, "a", encoding="utf-8") as handle:
        handle.write("\nc d\n")
    assert list(corpus) == expected + [["c", "d"]]
    first, second = iter(corpus), iter(corpus)  # two passes at once do not disturb each other
    assert next(first) == next(second) == expected[0] and next(first) == expected[1]


def test_the_file_is_streamed_not_loaded(tmp_path):
    path = tmp_path / "big.txt"
    path.write_text((" ".join(f"w{i}" for i in range(20)) + "\n") * 100_000, encoding="utf-8")  # about 12 MB
    tracemalloc.start()
    try:
        sentences = sum(1 for _ in LineSentence(path))
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sentences == 100_000 and peak < 2_000_000, f"iteration held {peak} bytes at once"


def test_max_sentence_length_and_bad_arguments(tmp_path):
    path = tmp_path / "c.txt"
    path.write_bytes(b"1 2 3 4 5 6 7\n8 9\n")
    assert list(LineSentence(path, max_sentence_length=3)) == [["1", "2", "3"], ["4", "5", "6"], ["7"], ["8", "9"]]
    assert len(list(LineSentence(path, max_sentence_length=7))[0]) == 7
    for value, exc in ((0, ValueError), (2.5, TypeError)):
        with pytest.raises(exc):
            LineSentence(path, max_sentence_length=value)
    with pytest.raises(FileNotFoundError, match="missing.txt"):
        LineSentence(tmp_path / "missing.txt")
    with pytest.raises(IsADirectoryError):
        LineSentence(tmp_path)
    path.write_bytes("ok\ncaf\xe9\n".encode("latin-1"))
    with pytest.raises(UnicodeDecodeError):
        list(LineSentence(path))
