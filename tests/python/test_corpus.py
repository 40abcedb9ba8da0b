"""LineSentence: a re-iterable, streaming corpus over a text file."""

import tracemalloc

import pytest

from tarnivel.corpus import LineSentence


def write(path, data: bytes):
    path.write_bytes(data)
    return path


def test_lines_become_token_lists_and_blank_lines_are_skipped(tmp_path):
    text = (
        "\ufeffthe  quick\tbrown fox\r\n"  # byte-order mark, runs of blanks, a tab, CRLF
        "\n"
        "   \t \n"
        "café 日本語 naïve 🙂\n"
        "last line without newline"
    )
    corpus = LineSentence(write(tmp_path / "c.txt", text.encode("utf-8")))
    expected = [
        ["the", "quick", "brown", "fox"],
        ["café", "日本語", "naïve", "🙂"],
        ["last", "line", "without", "newline"],
    ]
    assert list(corpus) == expected
    # Every pass starts over, as training needs several passes.
    assert list(corpus) == expected
    assert all(type(w) is str for s in corpus for w in s)


def test_each_pass_reopens_the_file(tmp_path):
    path = write(tmp_path / "c.txt", b"a b\n")
    corpus = LineSentence(path)
    assert list(corpus) == [["a", "b"]]
    with open(path, "a", encoding="utf-8") as handle:
        handle.write("c d\n")
    assert list(corpus) == [["a", "b"], ["c", "d"]]
    # Two passes can be open at once without disturbing each other.
    first, second = iter(corpus), iter(corpus)
    assert next(first) == ["a", "b"]
    assert next(second) == ["a", "b"]
    assert next(first) == ["c", "d"]


def test_the_file_is_streamed_not_loaded(tmp_path):
    line = " ".join(f"w{i}" for i in range(20)) + "\n"
    path = tmp_path / "big.txt"
    path.write_text(line * 100_000, encoding="utf-8")  # about 12 MB
    corpus = LineSentence(path)
    tracemalloc.start()
    try:
        sentences = 0
        for sentence in corpus:
            sentences += 1
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sentences == 100_000
    assert peak < 2_000_000, f"iteration held {peak} bytes at once"


def test_max_sentence_length_splits_long_lines(tmp_path):
    path = write(tmp_path / "c.txt", b"1 2 3 4 5 6 7\n8 9\n")
    assert list(LineSentence(path, max_sentence_length=3)) == [
        ["1", "2", "3"], ["4", "5", "6"], ["7"], ["8", "9"],
    ]
    assert list(LineSentence(path, max_sentence_length=7))[0] == ["1", "2", "3", "4", "5", "6", "7"]
    with pytest.raises(ValueError):
        LineSentence(path, max_sentence_length=0)
    with pytest.raises(TypeError):
        LineSentence(path, max_sentence_length=2.5)


def test_bad_paths_fail_at_construction_and_bad_text_when_read(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing.txt"):
        LineSentence(tmp_path / "missing.txt")
    with pytest.raises(IsADirectoryError):
        LineSentence(tmp_path)
    corpus = LineSentence(write(tmp_path / "latin1.txt", "ok\ncaf\xe9\n".encode("latin-1")))
    with pytest.raises(UnicodeDecodeError):
        list(corpus)


def test_trains_a_model(tmp_path):
    import tarnivel

    path = tmp_path / "c.txt"
    path.write_text("a b c a b\n\nb c a\n" * 20, encoding="utf-8")
    model = tarnivel.Word2Vec(vector_size=8, min_count=1, epochs=2, verbose=False)
    model.train(tarnivel.LineSentence(str(path)))
    assert sorted(model.wv.index_to_key) == ["a", "b", "c"]
