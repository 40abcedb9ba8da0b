"""Word-pair and analogy evaluation, its statistics, and the evaluate/export command lines."""

import io
import json
import math

import numpy as np
import pytest

from tarnivel import KeyedVectors
from tarnivel.__main__ import main
from tarnivel._evaluation import average_ranks, pearson, read_csv_pairs, spearman


def make_pair(tmp_path, words, vectors, name="m"):
    prefix = str(tmp_path / name)
    with open(prefix + ".vocab.json", "w", encoding="utf-8") as f:
        json.dump(list(words), f)
    np.save(prefix + ".npy", np.asarray(vectors, dtype=np.float32))
    return prefix


# ---- statistics, against hand computations ----

@pytest.mark.parametrize(
    "values, ranks",
    [
        ([3, 1, 3, 3, 2], [4, 1, 4, 4, 2]),
        ([1, 2, 2, 3], [1, 2.5, 2.5, 4]),
        ([5.0], [1]),
        ([0.5, 0.5], [1.5, 1.5]),
    ],
)
def test_average_ranks(values, ranks):
    assert list(average_ranks(values)) == ranks


@pytest.mark.parametrize(
    "fn, a, b, expected",
    [
        # Ranks [1, 2.5, 2.5, 4] vs [1, 2, 3, 4]: 4.5 / sqrt(4.5 * 5).
        (spearman, [1, 2, 2, 3], [10, 20, 30, 40], 4.5 / math.sqrt(22.5)),
        (spearman, [1, 2, 3], [30, 20, 10], -1.0),
        (spearman, [0.1, 0.7, 0.3], [1, 100, 2], 1.0),  # monotone, not linear
        # Deviations [-1, 0, 1] and [-5/3, -2/3, 7/3]: 4 / sqrt(2 * 78/9).
        (pearson, [1, 2, 3], [1, 2, 5], 4 / math.sqrt(2 * 78 / 9)),
        (pearson, [1, 2, 3], [2, 4, 6], 1.0),
    ],
)
def test_correlations(fn, a, b, expected):
    assert fn(a, b) == pytest.approx(expected, abs=1e-12)


@pytest.mark.parametrize("fn", [spearman, pearson])
def test_correlation_of_too_little_or_constant_data_is_nan(fn):
    assert math.isnan(fn([1.0], [2.0]))
    assert math.isnan(fn([1.0, 1.0, 1.0], [1.0, 2.0, 3.0]))


# ---- word pairs ----

@pytest.fixture
def compass(tmp_path):
    # a=(1,0) b=(0,1) c=(1,1) d=(1,-1): cos(a,c)=0.7071, cos(a,b)=0, cos(b,d)=-0.7071, cos(c,d)=0.
    return make_pair(tmp_path, ["a", "b", "c", "d"], [[1, 0], [0, 1], [1, 1], [1, -1]])


def write_pairs(tmp_path, text, name="pairs.txt"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("mapped", [False, True])
def test_word_pairs_on_known_cosines(tmp_path, compass, mapped):
    kv = KeyedVectors.load(compass, mmap="r" if mapped else None)
    pairs = write_pairs(tmp_path, "# comment\nWord 1\tWord 2\tHuman\nA\tc\t9\na\tb\t5\nb\td\t1\nc\td\t6\na\tzzz\t3\n\n")
    # Model [r, 0, -r, 0] against human [9, 5, 1, 6]: Pearson 8 / sqrt(65.5); ranks [4, 2.5, 1, 2.5]
    # against [4, 2, 1, 3]: Spearman 4.5 / sqrt(22.5); one pair of five has an unknown word.
    p, s, oov = kv.evaluate_word_pairs(pairs)
    assert p == pytest.approx(8 / math.sqrt(65.5), abs=1e-6)
    assert s == pytest.approx(4.5 / math.sqrt(22.5), abs=1e-12)
    assert oov == pytest.approx(0.2)
    # At level 1 the cosines are [1, 0, 0, 1]: ranks [3.5, 1.5, 1.5, 3.5], Spearman 4 / sqrt(20).
    assert kv.evaluate_word_pairs(pairs, level=1)[1] == pytest.approx(4 / math.sqrt(20), abs=1e-12)
    # Case-sensitive: "A" is unknown too.
    assert kv.evaluate_word_pairs(pairs, case_insensitive=False)[2] == pytest.approx(0.4)
    spaced = write_pairs(tmp_path, "A,c,9\na,b,5\nb,d,1\nc,d,6\n", "pairs.csvish")
    assert kv.evaluate_word_pairs(spaced, delimiter=",")[1] == pytest.approx(4.5 / math.sqrt(22.5), abs=1e-12)


def test_word_pairs_file_errors(tmp_path, compass):
    kv = KeyedVectors.load(compass)
    bad = write_pairs(tmp_path, "a\tb\t1\nc\td\n")
    with pytest.raises(ValueError, match=r"pairs.txt, line 2: expected 'word1<TAB>word2<TAB>score'"):
        kv.evaluate_word_pairs(bad)
    with pytest.raises(ValueError, match="failed to read .*nothing.txt"):
        kv.evaluate_word_pairs(str(tmp_path / "nothing.txt"))


def test_men_style_csv(tmp_path):
    path = write_pairs(tmp_path, ",word1,word2,similarity\n0,sun-n,sunlight-n,50.000000\n1,red-j,x-ray-n,3.5\n", "men.csv")
    assert read_csv_pairs(path) == [("sun", "sunlight", 50.0), ("red", "x-ray", 3.5)]


# ---- analogies ----

COUNTRIES = ["france", "italy", "spain", "japan", "peru"]
CAPITALS = ["paris", "rome", "madrid", "tokyo", "lima"]


@pytest.fixture
def geo(tmp_path):
    # capital = country + a common offset: "france is to paris as italy is to ?" is rome by construction.
    rng = np.random.default_rng(3)
    base = rng.standard_normal((5, 16)) * 3
    offset = np.zeros(16)
    offset[0] = 4.0
    noise = rng.standard_normal((6, 16)) * 3
    words = COUNTRIES + CAPITALS + [f"noise{i}" for i in range(6)]
    return make_pair(tmp_path, words, np.vstack([base, base + offset, noise]), "geo")


def questions_file(tmp_path):
    lines = [": capitals"]
    for i in range(5):
        for j in range(5):
            if i != j:
                lines.append(f"{COUNTRIES[i]} {CAPITALS[i]} {COUNTRIES[j]} {CAPITALS[j]}")
    lines += [": other", "France Paris Italy noise0", "france paris atlantis rome", "Italy Rome Spain MADRID"]
    path = tmp_path / "questions.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return str(path)


@pytest.mark.parametrize("mapped", [False, True])
def test_word_analogies_on_a_store_with_known_answers(tmp_path, geo, mapped):
    kv = KeyedVectors.load(geo, mmap="r" if mapped else None)
    accuracy, sections = kv.evaluate_word_analogies(questions_file(tmp_path))
    assert [s["section"] for s in sections] == ["capitals", "other", "Total accuracy"]
    capitals, other, total = sections
    assert len(capitals["correct"]) == 20 and capitals["incorrect"] == [] and capitals["skipped"] == 0
    assert other["correct"] == [("italy", "rome", "spain", "madrid")]
    assert other["incorrect"] == [("france", "paris", "italy", "noise0")]
    assert other["skipped"] == 1
    assert total["skipped"] == 1 and len(total["correct"]) == 21 and len(total["incorrect"]) == 1
    assert accuracy == pytest.approx(21 / 22)
    # The batched answers are those of analogy(), one question at a time.
    for a, b, c, d in capitals["correct"]:
        assert kv.analogy(a, b, c)[0][0] == d


def test_word_analogies_restrict_vocab_case_and_level(tmp_path, geo):
    kv = KeyedVectors.load(geo)
    path = questions_file(tmp_path)
    # Only the first 9 words: every question with "lima" (8 of the 20) is skipped; "noise0" too.
    accuracy, sections = kv.evaluate_word_analogies(path, restrict_vocab=9)
    assert sections[0]["skipped"] == 8 and len(sections[0]["correct"]) == 12
    assert sections[1]["skipped"] == 2
    # Case-sensitive: the capitalised questions have unknown words.
    _, sections = kv.evaluate_word_analogies(path, case_insensitive=False)
    assert sections[1]["skipped"] == 3
    # Level 1: every unit prefix is +1 or -1, so b - a + c is +-1 or +-3 and the answer is the first
    # row of that sign; the same question gets the same answer from analogy().
    _, sections = kv.evaluate_word_analogies(path, level=1)
    for a, b, c, d in sections[0]["correct"]:
        assert kv.analogy(a, b, c, level=1)[0][0] == d
    for a, b, c, d in sections[0]["incorrect"]:
        assert kv.analogy(a, b, c, level=1)[0][0] != d


def test_question_file_errors(tmp_path, geo):
    kv = KeyedVectors.load(geo)
    path = tmp_path / "q.txt"
    path.write_text(": s\nfrance paris italy\n", encoding="utf-8")
    with pytest.raises(ValueError, match=r"q.txt, line 2: expected a ': section' line or four words"):
        kv.evaluate_word_analogies(str(path))
    path.write_text("france paris italy rome\n", encoding="utf-8")
    with pytest.raises(ValueError, match=r"line 1: a question before the first ': section' line"):
        kv.evaluate_word_analogies(str(path))
    path.write_text(": empty\n", encoding="utf-8")
    assert kv.evaluate_word_analogies(str(path)) == (0.0, [
        {"section": "empty", "correct": [], "incorrect": [], "skipped": 0},
        {"section": "Total accuracy", "correct": [], "incorrect": [], "skipped": 0},
    ])


# ---- command line ----

def test_evaluate_prints_a_row_per_level(tmp_path, geo, capsys):
    pairs = write_pairs(tmp_path, "france\tparis\t9\nitaly\trome\t8\nfrance\tnoise1\t1\nspain\tnoise2\t2\nx\ty\t3\n")
    men = write_pairs(tmp_path, ",word1,word2,similarity\n0,france-n,paris-n,9\n1,italy-n,rome-n,8\n2,peru-n,noise3-n,1\n",
                      "men.csv")
    status = main(["evaluate", geo, "--pairs", pairs, "--pairs", men, "--analogies", questions_file(tmp_path),
                   "--levels", "4,16", "--levels", "99"])
    out = capsys.readouterr().out.splitlines()
    assert status == 0
    assert out[0].startswith(f"{geo}: 16 words x 16 dims")
    assert out[1].split() == ["level", "bytes/vector", "pairs.txt", "men.csv", "questions.txt"]
    rows = [line.split() for line in out[2:]]
    assert [r[:2] for r in rows] == [["4", "16"], ["16", "64"], ["16", "64"]]  # 99 is the whole width
    full = rows[1]
    assert full[3] == "(4/5)" and full[5] == "(3/3)" and full[7] == "(22/23)"
    kv = KeyedVectors.load(geo)
    assert float(full[6]) == pytest.approx(round(kv.evaluate_word_analogies(questions_file(tmp_path))[0], 3))
    assert float(full[2]) == pytest.approx(round(kv.evaluate_word_pairs(pairs)[1], 3))


def test_evaluate_needs_a_test_file(tmp_path, geo, capsys):
    assert main(["evaluate", geo]) == 2
    assert "nothing to evaluate" in capsys.readouterr().err
    assert main(["evaluate", geo, "--pairs", str(tmp_path / "none.txt")]) == 2
    assert "test file not found" in capsys.readouterr().err


@pytest.mark.parametrize("fmt, level", [("word2vec", None), ("word2vec-binary", 5), ("npy", 5), ("npy", None)])
def test_export(tmp_path, geo, capsys, fmt, level):
    out = str(tmp_path / "exported")
    argv = ["export", geo, "-o", out, "--format", fmt] + ([] if level is None else ["--level", str(level)])
    assert main(argv) == 0
    width = 16 if level is None else level
    assert f"wrote 16 words x {width} dims" in capsys.readouterr().out
    if fmt == "npy":
        back = KeyedVectors.load(out)
    else:
        back = KeyedVectors.load_word2vec_format(out, binary=fmt == "word2vec-binary")
    kv = KeyedVectors.load(geo)
    assert back.index_to_key == kv.index_to_key
    assert np.asarray(back.vectors).tobytes() == np.ascontiguousarray(np.asarray(kv.vectors)[:, :width]).tobytes()
