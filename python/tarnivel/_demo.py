"""The built-in demo corpus: English prose from the installed Python standard library.

The docstrings and comments of the interpreter's own standard library are a corpus that every
installation already has: no download and no data shipped with the package. They are read from the
``.py`` files under ``sysconfig.get_paths()["stdlib"]`` in sorted order, so the corpus is the same on
every run with the same interpreter.
"""

from __future__ import annotations

import ast
import functools
import os
import re
import sysconfig

__all__ = ["DEFAULT_MAX_TOKENS", "QUERY_WORDS", "demo_corpus", "stdlib_root"]

# Enough prose for neighbours that make sense while training stays in the range of ten seconds.
DEFAULT_MAX_TOKENS = 500_000

# Words that are frequent in the standard library's prose and have recognisable neighbours.
QUERY_WORDS = ("file", "string", "list", "error", "thread", "socket")

# Directories that are not the standard library proper (third-party packages) or hold mostly test
# code and fixtures rather than prose.
_SKIP_DIRS = frozenset(
    {"site-packages", "dist-packages", "__pycache__", "test", "tests", "idle_test", "lib2to3"}
)

# A word is a run of letters (any script); digits, underscores and punctuation separate words.
_WORD = re.compile(r"[^\W\d_]+")
# Sentence ends: terminal punctuation followed by white space, or a blank line.
_SENTENCE_END = re.compile(r"[.!?;:]\s+|\n[ \t]*\n")
# A comment that fills its line (trailing comments after code are mostly terse notes).
_COMMENT_LINE = re.compile(r"^[ \t]*#+[ \t]?(.*)$")

_DOC_OWNERS = (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)


def stdlib_root() -> str:
    """The directory of the interpreter's standard library."""
    return sysconfig.get_paths()["stdlib"]


def _source_files(root: str) -> list[str]:
    files = []
    for directory, subdirs, names in os.walk(root):
        subdirs[:] = sorted(d for d in subdirs if d not in _SKIP_DIRS and not d.startswith("."))
        files.extend(os.path.join(directory, n) for n in sorted(names) if n.endswith(".py"))
    return files


def _prose_of_source(source: str) -> list[str]:
    """Docstrings and comment blocks of one module, each as one text."""
    try:
        tree = ast.parse(source)
    except (SyntaxError, ValueError):
        return []
    texts: list[str] = []
    # Lines inside multi-line string literals: a '#' there is not a comment.
    in_string: set[int] = set()
    for node in ast.walk(tree):
        if isinstance(node, _DOC_OWNERS):
            doc = ast.get_docstring(node)
            if doc:
                # Interactive examples are code, not prose.
                texts.append(
                    "\n".join(
                        line for line in doc.splitlines() if not line.lstrip().startswith((">>>", "..."))
                    )
                )
        elif isinstance(node, ast.Constant) and isinstance(node.value, str):
            end = node.end_lineno or node.lineno
            if end > node.lineno:
                in_string.update(range(node.lineno, end + 1))
    block: list[str] = []
    for number, line in enumerate(source.splitlines(), start=1):
        match = _COMMENT_LINE.match(line) if number not in in_string else None
        if match:
            block.append(match.group(1))
        elif block:
            texts.append(" ".join(block))
            block = []
    if block:
        texts.append(" ".join(block))
    return texts


def _sentences_of_text(text: str) -> list[list[str]]:
    sentences = []
    for part in _SENTENCE_END.split(text.lower()):
        words = _WORD.findall(part)
        # One- and two-word fragments are mostly headings and labels: they add noise, no context.
        if len(words) >= 3:
            sentences.append(words)
    return sentences


@functools.lru_cache(maxsize=4)
def _build(root: str, max_tokens: int) -> tuple[tuple[str, ...], ...]:
    sentences: list[tuple[str, ...]] = []
    tokens = 0
    for path in _source_files(root):
        try:
            with open(path, encoding="utf-8") as handle:
                source = handle.read()
        except (OSError, UnicodeDecodeError):
            continue
        for text in _prose_of_source(source):
            for words in _sentences_of_text(text):
                if tokens + len(words) > max_tokens:
                    return tuple(sentences)
                sentences.append(tuple(words))
                tokens += len(words)
    return tuple(sentences)


def demo_corpus(max_tokens: int = DEFAULT_MAX_TOKENS, root: str | None = None) -> list[tuple[str, ...]]:
    """Sentences (tuples of lower-case words) from the standard library's docstrings and comments.

    The corpus stops before the sentence that would exceed ``max_tokens`` tokens. The result is built
    once per process for each ``(root, max_tokens)`` and returned as a new list each call.
    """
    if max_tokens < 0:
        raise ValueError("max_tokens must not be negative")
    return list(_build(root if root is not None else stdlib_root(), max_tokens))
