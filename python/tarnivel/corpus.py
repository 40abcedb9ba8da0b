"""Streaming corpus helpers."""

from __future__ import annotations

import os
from collections.abc import Iterator

__all__ = ["LineSentence"]


class LineSentence:
    """A re-iterable corpus over a UTF-8 text file with one sentence per line.

    Tokens are separated by whitespace; lines without tokens are skipped. The file is read line by
    line, never loaded whole, and every iteration opens it again, so the same object serves the
    several passes that training makes over its corpus.

    ``max_sentence_length``: when given, a line with more tokens is yielded as consecutive pieces of
    at most that many tokens (so one huge line does not become one huge sentence).
    """

    def __init__(self, path: str | os.PathLike[str], max_sentence_length: int | None = None) -> None:
        self.path = os.fspath(path)
        if max_sentence_length is not None:
            if isinstance(max_sentence_length, bool) or not isinstance(max_sentence_length, int):
                raise TypeError("max_sentence_length must be an int or None")
            if max_sentence_length < 1:
                raise ValueError("max_sentence_length must be at least 1")
        self.max_sentence_length = max_sentence_length
        # Fail here rather than at the first pass inside training, where the error would surface
        # far from the mistake. A NUL names no file (the system would cut the name there).
        if "\x00" in self.path:
            raise ValueError("embedded null byte")
        if not os.path.exists(self.path):
            raise FileNotFoundError(2, "No such file or directory", self.path)
        if os.path.isdir(self.path):
            raise IsADirectoryError(21, "Is a directory", self.path)

    def __iter__(self) -> Iterator[list[str]]:
        limit = self.max_sentence_length
        # Strict decoding: a file that is not UTF-8 is an error, not a source of mangled words.
        # "utf-8-sig" also drops a leading byte-order mark, which would otherwise stick to the
        # first word of the file.
        with open(self.path, encoding="utf-8-sig") as handle:
            for line in handle:
                words = line.split()
                if not words:
                    continue
                if limit is None or len(words) <= limit:
                    yield words
                else:
                    for start in range(0, len(words), limit):
                        yield words[start : start + limit]

    def __repr__(self) -> str:
        return f"LineSentence({self.path!r}, max_sentence_length={self.max_sentence_length!r})"
