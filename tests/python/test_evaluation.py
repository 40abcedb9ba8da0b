"""Word-pair and analogy evaluation, its statistics, and the evaluate/export command lines."""

import math
import types

import numpy as np
import pytest

from conftest import CAPITALS, COUNTRIES, write_pair
from tarnivel import KeyedVectors
from tarnivel.__main__ import main
from tarnivel._evaluation import average_ranks, pearson, read_csv_pairs, spearman


def test_statistics_of_too_little_constant_or_monotone_data():
    # Ties and the ordinary cases are worked by hand in test_word_pairs_on_known_cosines.
    assert math.isnan(spearman([1.0], [2.0])) and math.isnan(pearson([1.0, 1.0, 1.0], [1.0, 2.0, 3.0]))
    assert spearman([0.1, 0.7, 0.3], [1, 100, 2]) == 1.0 and list(average_ranks([3, 1, 3, 3, 2])) == [4, 1, 4, 4, 2]


def write_text(tmp_path, text, name="pairs.txt"):
    (tmp_path / name).write_text(text, encoding="utf-8")
    return str(tmp_path / name)


@pytest.mark.parametrize("mmap", [None, "r"])
def test_word_pairs_on_known_cosines(tmp_path, mmap):
    # a=(1,0) b=(0,1) c=(1,1) d=(1,-1): cos(a,c)=0.7071, cos(a,b)=0, cos(b,d)=-0.7071, cos(c,d)=0.
    kv = KeyedVectors.load(write_pair(tmp_path / "m", list("abcd"), [[1, 0], [0, 1], [1, 1], [1, -1]]), mmap=mmap)
    pairs = write_text(tmp_path, "# comment\nWord 1\tWord 2\tHuman\nA\tc\t9\na\tb\t5\nb\td\t1\nc\td\t6\na\tzzz\t3\n\n")
    # Model [r, 0, -r, 0] against human [9, 5, 1, 6]: Pearson 8 / sqrt(65.5); ranks [4, 2.5, 1, 2.5]
    # against [4, 2, 1, 3]: Spearman 4.5 / sqrt(22.5); one pair of five has an unknown word.
    p, s, oov = kv.evaluate_word_pairs(pairs)
    assert (p, s, oov) == pytest.approx((8 / math.sqrt(65.5), 4.5 / math.sqrt(22.5), 0.2), abs=1e-6)
    # At level 1 the cosines are [1, 0, 0, 1]: ranks [3.5, 1.5, 1.5, 3.5], Spearman 4 / sqrt(20).
    assert kv.evaluate_word_pairs(pairs, level=1)[1] == pytest.approx(4 / math.sqrt(20), abs=1e-12)
    assert kv.evaluate_word_pairs(pairs, case_insensitive=False)[2] == pytest.approx(0.4)  # "A" unknown too
    spaced = write_text(tmp_path, "A,c,9\na,b,5\nb,d,1\nc,d,6\n", "pairs.csvish")
    assert kv.evaluate_word_pairs(spaced, delimiter=",")[1] == pytest.approx(4.5 / math.sqrt(22.5), abs=1e-12)
    with pytest.raises(ValueError, match=r"bad.txt, line 2: expected 'word1<TAB>word2<TAB>score'"):
        kv.evaluate_word_pairs(write_text(tmp_path, "a\tb\t1\nc\td\n", "bad.txt"))
    with pytest.raises(ValueError, match="failed to read .*nothing.txt"):
        kv.evaluate_word_pairs(str(tmp_path / "nothing.txt"))
    men = write_text(tmp_path, ",word1,word2,similarity\n0,sun-n,sunlight-n,50.000000\n1,red-j,x-ray-n,3.5\n", "men.csv")
    assert read_csv_pairs(men) == [("sun", "sunlight", 50.0), ("red", "x-ray", 3.5)]


@pytest.mark.parametrize("score", ["nan", "inf", "1\x00", "3"])
def test_a_first_pair_with_an_unusable_score_is_counted_not_taken_for_a_header(tmp_path, score):
    kv = KeyedVectors.load(write_pair(tmp_path / "m", list("abcd"), [[1, 0], [0, 1], [1, 1], [1, -1]]))
    pairs = write_text(tmp_path, f"\ufeffa\tb\t{score}\na\tc\t2\nb\td\t1\n")  # with a byte-order mark
    assert kv.evaluate_word_pairs(pairs)[2] == pytest.approx(0 if score == "3" else 1 / 3)


def test_case_folding_takes_the_most_frequent_row_and_excludes_every_variant(tmp_path):
    kv = KeyedVectors.load(write_pair(tmp_path / "m", ["X", "y", "x", "z"], [[1, 0], [1, 0], [0, 1], [1, 1]]))
    # "x" is row 0 ("X"): cosines [1, 0.71] against human [1, 2] (row 2 would give [0, 0.71]: +1).
    assert kv.evaluate_word_pairs(write_text(tmp_path, "x\ty\t1\nx\tz\t2\n"))[0] == pytest.approx(-1.0)
    kv = KeyedVectors.load(write_pair(tmp_path / "c", ["C", "c", "d"], [[1, 0], [1, 0.1], [0, 1]]))
    assert kv.evaluate_word_analogies(write_text(tmp_path, ": s\nc c c c\nd C d c\n", "q.txt"))[0] == 0.0  # "c" never answers for "C"


def questions_file(tmp_path):
    lines = [": capitals"] + [f"{COUNTRIES[i]} {CAPITALS[i]} {COUNTRIES[j]} {CAPITALS[j]}"
                              for i in range(5) for j in range(5) if i != j]
    lines += [": other", "France Paris Italy noise0", "france paris atlantis rome", "Italy Rome Spain MADRID"]
    return write_text(tmp_path, "\n".join(lines) + "\n", "questions.txt")


@pytest.mark.parametrize("mmap", [None, "r"])
def test_word_analogies_on_a_store_with_known_answers(tmp_path, geo, mmap):
    kv = KeyedVectors.load(geo, mmap=mmap)
    path = questions_file(tmp_path)
    accuracy, sections = kv.evaluate_word_analogies(path)
    capitals, other, total = sections
    assert [s["section"] for s in sections] == ["capitals", "other", "Total accuracy"]
    assert len(capitals["correct"]) == 20 and capitals["incorrect"] == [] and capitals["skipped"] == 0
    assert other == {"section": "other", "correct": [("italy", "rome", "spain", "madrid")],
                     "incorrect": [("france", "paris", "italy", "noise0")], "skipped": 1}
    assert total["skipped"] == 1 and len(total["correct"]) == 21 and len(total["incorrect"]) == 1
    assert accuracy == pytest.approx(21 / 22)
    # Only the first 9 words: every question with "lima" (8 of the 20) is skipped; "noise0" too.
    _, sections = kv.evaluate_word_analogies(path, restrict_vocab=9)
    assert (sections[0]["skipped"], len(sections[0]["correct"]), sections[1]["skipped"]) == (8, 12, 2)
    assert kv.evaluate_word_analogies(path, case_insensitive=False)[1][1]["skipped"] == 3
    # Level 1: the batched answers are those of analogy(), one question at a time.
    _, sections = kv.evaluate_word_analogies(path, level=1)
    for a, b, c, d in sections[0]["correct"] + sections[0]["incorrect"]:
        assert (kv.analogy(a, b, c, level=1)[0][0] == d) == ((a, b, c, d) in sections[0]["correct"])


def test_question_file_errors(tmp_path, geo):
    kv = KeyedVectors.load(geo)
    for text, message in [(": s\nfrance paris italy\n", r"q.txt, line 2: expected a ': section' line or four words"),
                          ("france paris italy rome\n", r"line 1: a question before the first ': section' line")]:
        with pytest.raises(ValueError, match=message):
            kv.evaluate_word_analogies(write_text(tmp_path, text, "q.txt"))
    assert kv.evaluate_word_analogies(write_text(tmp_path, ": empty\n", "q.txt"))[0] == 0.0  # not NaN


def test_evaluate_prints_a_row_per_level(tmp_path, geo, capsys):
    pairs = write_text(tmp_path, "france\tparis\t9\nitaly\trome\t8\nfrance\tnoise1\t1\nspain\tnoise2\t2\nx\ty\t3\n")
    men = write_text(tmp_path, ",word1,word2,similarity\n0,france-n,paris-n,9\n1,italy-n,rome-n,8\n2,peru-n,noise3-n,1\n",
                     "men.csv")
    status = main(["evaluate", geo, "--pairs", pairs, "--pairs", men, "--analogies", questions_file(tmp_path),
                   "--levels", "4,16", "--levels", "99"])
    out = capsys.readouterr().out.splitlines()
    assert status == 0 and out[0].startswith(f"{geo}: 16 words x 16 dims")
    assert out[1].split() == ["level", "bytes/vector", "pairs.txt", "men.csv", "questions.txt"]
    rows = [line.split() for line in out[2:]]
    assert [r[:2] for r in rows] == [["4", "16"], ["16", "64"], ["16", "64"]]  # 99 is the whole width
    full = rows[1]
    assert full[3] == "(4/5)" and full[5] == "(3/3)" and full[7] == "(22/23)"
    kv = KeyedVectors.load(geo)
    assert float(full[6]) == pytest.approx(round(kv.evaluate_word_analogies(questions_file(tmp_path))[0], 3))
    assert float(full[2]) == pytest.approx(round(kv.evaluate_word_pairs(pairs)[1], 3))


def test_evaluate_options_reach_the_evaluation(tmp_path, geo, capsys, monkeypatch):
    import tarnivel

    mmaps, real, cells = [], tarnivel.KeyedVectors, []
    monkeypatch.setattr(tarnivel, "KeyedVectors", types.SimpleNamespace(
        load=lambda path, mmap: mmaps.append(mmap) or real.load(path, mmap=mmap)))
    for extra in ([], ["--case-sensitive"], ["--restrict-vocab", "9"], ["--mmap"]):
        assert main(["evaluate", geo, "--analogies", questions_file(tmp_path), "--levels", "16", *extra]) == 0
        cells.append(capsys.readouterr().out.splitlines()[2])
    assert mmaps == [None, None, None, "r"] and cells[0] not in cells[1:3] and cells[3] == cells[0]


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
