"""Word-pair and analogy evaluation of a KeyedVectors (the code behind its evaluate_* methods).

Test files are read here; similarities come from the store itself (``similarity``, the exact
sequential cosine of ``most_similar``) and analogy answers from one batched scan of the store
(``_nearest_rows``), so that the usual 19,544 questions take seconds, not minutes.
"""

from __future__ import annotations

import math
import re
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np

Pair = tuple[str, str, float]
Question = tuple[str, str, str, str]

_POS_SUFFIX = re.compile(r"-[a-z]$")


def _lines(path: str) -> Iterable[tuple[int, str]]:
    try:
        # "utf-8-sig": a byte-order mark would otherwise stick to the first word of the file.
        with open(path, encoding="utf-8-sig") as f:
            for number, line in enumerate(f, 1):
                yield number, line.rstrip("\r\n")
    except OSError as exc:
        raise ValueError(f"failed to read {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise ValueError(f"failed to read {path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None


def read_pairs(path: str, delimiter: str = "\t") -> list[Pair]:
    """(word1, word2, score) from lines "word1<delimiter>word2<delimiter>score".

    Blank lines and lines starting with '#' are skipped, and so is a first line without a number in
    its score column (a column header). A score that is a number but not a usable one (NaN, infinite,
    or followed by NUL bytes) keeps its pair with a NaN score: scoring leaves it out and counts it in
    ``oov_ratio``. Any other line that is not two words and a number is a ValueError.
    """
    pairs: list[Pair] = []
    seen_data = False
    for number, line in _lines(path):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        fields = [f.strip() for f in (line.split(delimiter) if delimiter else line.split())]
        score = _number(fields[2]) if len(fields) >= 3 else None
        if score is None and len(fields) >= 3 and _number(fields[2].rstrip("\x00")) is not None:
            score = math.nan
        if score is None:
            if not seen_data and len(fields) >= 3:
                seen_data = True  # a header line
                continue
            raise ValueError(
                f"{path}, line {number}: expected 'word1{_shown(delimiter)}word2{_shown(delimiter)}score', "
                f"found {line[:60]!r}"
            )
        seen_data = True
        pairs.append((fields[0], fields[1], score))
    return pairs


def read_csv_pairs(path: str) -> list[Pair]:
    """Pairs from a CSV file with a header naming the columns word1, word2 and a score column (the
    last one, e.g. "similarity"), like MEN's ``,word1,word2,similarity``. A part-of-speech tag at the
    end of a word ("sun-n") is removed."""
    import csv

    rows = [(n, line) for n, line in _lines(path)]
    reader = csv.reader([line for _, line in rows])
    header = next(reader, None)
    if header is None:
        raise ValueError(f"{path}: empty CSV file")
    names = [h.strip().lower() for h in header]
    if "word1" not in names or "word2" not in names:
        raise ValueError(f"{path}, line {rows[0][0]}: the CSV header must name columns word1 and word2, found {header}")
    i1, i2 = names.index("word1"), names.index("word2")
    score_column = len(names) - 1
    pairs: list[Pair] = []
    for (number, _), fields in zip(rows[1:], reader):
        if not fields:
            continue
        score = _number(fields[score_column]) if len(fields) == len(names) else None
        if score is None:
            raise ValueError(f"{path}, line {number}: expected {len(names)} CSV fields ending in a score, found {fields}")
        pairs.append((strip_pos(fields[i1].strip()), strip_pos(fields[i2].strip()), score))
    return pairs


def strip_pos(word: str) -> str:
    """"sun-n" -> "sun": a one-letter part-of-speech tag after a hyphen is dropped."""
    return _POS_SUFFIX.sub("", word)


def read_any_pairs(path: str) -> list[Pair]:
    """A .csv file as read_csv_pairs, anything else as tab-separated read_pairs."""
    return read_csv_pairs(path) if path.lower().endswith(".csv") else read_pairs(path)


def _number(text: str) -> float | None:
    """The float in `text` (NaN and infinities included), None when there is none."""
    try:
        return float(text)
    except ValueError:
        return None


def _shown(delimiter: str) -> str:
    return "<TAB>" if delimiter == "\t" else delimiter


def average_ranks(values: Sequence[float]) -> np.ndarray:
    """Ranks 1..n; tied values share the mean of the ranks they span."""
    x = np.asarray(values, dtype=np.float64)
    order = np.argsort(x, kind="stable")
    ranks = np.empty(len(x), dtype=np.float64)
    sorted_x = x[order]
    start = 0
    while start < len(x):
        end = start
        while end + 1 < len(x) and sorted_x[end + 1] == sorted_x[start]:
            end += 1
        ranks[order[start : end + 1]] = (start + end) / 2.0 + 1.0
        start = end + 1
    return ranks


def pearson(a: Sequence[float], b: Sequence[float]) -> float:
    """Pearson correlation; NaN when there are fewer than 2 values or one side is constant."""
    x = np.asarray(a, dtype=np.float64)
    y = np.asarray(b, dtype=np.float64)
    if len(x) != len(y):
        raise ValueError("pearson needs two sequences of equal length")
    if len(x) < 2:
        return math.nan
    dx, dy = x - x.mean(), y - y.mean()
    denominator = math.sqrt(float(np.dot(dx, dx)) * float(np.dot(dy, dy)))
    return float(np.dot(dx, dy)) / denominator if denominator > 0 else math.nan


def spearman(a: Sequence[float], b: Sequence[float]) -> float:
    """Spearman correlation: Pearson of the average ranks."""
    if len(a) != len(b):
        raise ValueError("spearman needs two sequences of equal length")
    return pearson(average_ranks(a), average_ranks(b)) if len(a) >= 2 else math.nan


def _lookup(kv: Any, restrict: int | None, case_insensitive: bool) -> dict[str, int]:
    """Word (lower-cased when case-insensitive) -> row, over the first `restrict` rows. Folded forms
    resolve to the first row that has them (the most frequent word in a trained store)."""
    words = kv.index_to_key
    if restrict is not None:
        words = words[:restrict]
    index = kv.key_to_index
    table: dict[str, int] = {}
    for word in words:
        key = word.lower() if case_insensitive else word
        if key not in table:
            table[key] = index[word]
    return table


def score_pairs(kv: Any, pairs: Sequence[Pair], level: int | None = None,
                case_insensitive: bool = True) -> tuple[float, float, float, int]:
    """(pearson, spearman, oov_ratio, used) of the store's cosines against the pairs' scores. A pair
    without a finite score is not used and counts in oov_ratio like a pair with an unknown word."""
    table = _lookup(kv, None, case_insensitive)
    words = kv.index_to_key
    model: list[float] = []
    human: list[float] = []
    for w1, w2, score in pairs:
        if case_insensitive:
            w1, w2 = w1.lower(), w2.lower()
        if not math.isfinite(score) or w1 not in table or w2 not in table:
            continue
        model.append(kv.similarity(words[table[w1]], words[table[w2]], level))
        human.append(score)
    # Decision: the ratio is a fraction from 0 to 1 (not a percentage), like the correlations beside it.
    oov_ratio = (len(pairs) - len(model)) / len(pairs) if pairs else 0.0
    return pearson(model, human), spearman(model, human), oov_ratio, len(model)


def word_pairs(kv: Any, path: str, level: int | None, delimiter: str,
               case_insensitive: bool) -> tuple[float, float, float]:
    pearson_r, spearman_r, oov_ratio, _ = score_pairs(kv, read_pairs(path, delimiter), level, case_insensitive)
    return pearson_r, spearman_r, oov_ratio


def read_questions(path: str) -> list[tuple[str, list[tuple[int, list[str]]]]]:
    """Sections of (line number, four words) from ": section" headers and "a b c d" lines."""
    sections: list[tuple[str, list[tuple[int, list[str]]]]] = []
    for number, line in _lines(path):
        if not line.strip():
            continue
        if line.startswith(":"):
            sections.append((line[1:].strip(), []))
            continue
        words = line.split()
        if len(words) != 4:
            raise ValueError(f"{path}, line {number}: expected a ': section' line or four words, found {line[:60]!r}")
        if not sections:
            raise ValueError(f"{path}, line {number}: a question before the first ': section' line")
        sections[-1][1].append((number, words))
    return sections


def word_analogies(kv: Any, path: str, level: int | None, restrict_vocab: int,
                   case_insensitive: bool) -> tuple[float, list[dict[str, Any]]]:
    """(accuracy, sections): each section a dict with its name, the correct and incorrect questions
    as (a, b, c, expected) tuples and the number skipped for unknown words; a last section "Total
    accuracy" sums them all. A question is answered by the word nearest to b - a + c (unit-length
    prefixes at `level`) among the first `restrict_vocab` words, a, b and c excluded (case-insensitive:
    every word whose lower-cased form is one of them)."""
    sections = read_questions(path)
    table = _lookup(kv, restrict_vocab, case_insensitive)
    words = kv.index_to_key
    variants: dict[str, list[int]] = {}
    if case_insensitive:
        index = kv.key_to_index
        for word in words[:restrict_vocab]:
            variants.setdefault(word.lower(), []).append(index[word])

    asked: list[tuple[int, tuple[str, str, str, str], list[int]]] = []
    skipped = [0] * len(sections)
    for s, (_, questions) in enumerate(sections):
        for _, question in questions:
            folded = [w.lower() for w in question] if case_insensitive else question
            rows = [table.get(w) for w in folded]
            if any(r is None for r in rows):
                skipped[s] += 1
                continue
            asked.append((s, tuple(folded), rows))  # type: ignore[arg-type]

    answers: list[int | None] = []
    if asked:
        needed = sorted({r for _, _, rows in asked for r in rows[:3]})
        unit = _unit_rows(kv, [words[r] for r in needed], level)
        position = {r: i for i, r in enumerate(needed)}
        a = unit[[position[rows[0]] for _, _, rows in asked]]
        b = unit[[position[rows[1]] for _, _, rows in asked]]
        c = unit[[position[rows[2]] for _, _, rows in asked]]
        queries = (b - a) + c
        excluded = [[r for w in question[:3] for r in variants.get(w, ())] or rows[:3] for _, question, rows in asked]
        found = kv._nearest_rows(queries, 1, level, excluded, restrict_vocab)
        answers = [f[0][0] if f else None for f in found]

    result = [{"section": name, "correct": [], "incorrect": [], "skipped": skipped[s]}
              for s, (name, _) in enumerate(sections)]
    for (s, question, rows), answer in zip(asked, answers):
        predicted = None if answer is None else words[answer]
        if case_insensitive and predicted is not None:
            predicted = predicted.lower()
        right = answer is not None and (answer == rows[3] or predicted == question[3])
        result[s]["correct" if right else "incorrect"].append(question)
    total = {
        "section": "Total accuracy",
        "correct": [q for r in result for q in r["correct"]],
        "incorrect": [q for r in result for q in r["incorrect"]],
        "skipped": sum(skipped),
    }
    answered = len(total["correct"]) + len(total["incorrect"])
    # Decision: a file with no answerable question scores 0.0 rather than NaN; "skipped" says why.
    accuracy = len(total["correct"]) / answered if answered else 0.0
    return accuracy, [*result, total]


def _unit_rows(kv: Any, words: Sequence[str], level: int | None) -> np.ndarray:
    """The words' prefixes at `level`, each scaled to unit length (zero vectors stay zero)."""
    rows = np.stack([np.asarray(kv.get_vector(w, level), dtype=np.float32) for w in words]) if words else \
        np.zeros((0, 0), dtype=np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", rows, rows, dtype=np.float32))
    norms[norms == 0] = 1.0
    return (rows / norms[:, None]).astype(np.float32)
