"""The command line end to end: train, similar, demo, and the one-line errors."""

import itertools
import json
import os
import random
import signal
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

import tarnivel.__main__ as cli
from tarnivel.__main__ import main

TOPICS = {"animals": "cat dog horse cow sheep goat bird fish mouse rabbit".split(),
          "vehicles": "car bus train truck bike boat plane tram ship van".split()}
GLUE = "the a and with near over".split()


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Sentences that each talk about one topic, so neighbours have structure."""
    rng, lines = random.Random(7), []
    for i in range(600):
        words = TOPICS["animals" if i % 2 else "vehicles"] + GLUE
        lines += [" ".join(rng.choice(words) for _ in range(rng.randint(4, 12)))] + ["   "] * (i % 50 == 0)  # blanks skipped
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


TRAIN = ["--vector-size", "16", "--min-count", "1", "--epochs", "5", "--sg", "--seed", "0", "--quiet", "--sample", "0"]


@pytest.fixture(scope="module")
def model(corpus, tmp_path_factory):
    prefix = tmp_path_factory.mktemp("model") / "m"
    assert main(["train", str(corpus), "-o", str(prefix), *TRAIN]) == 0
    return prefix


def run(*args, cwd=None):
    """The command line in a fresh interpreter, as a user runs it."""
    return subprocess.run([sys.executable, "-m", "tarnivel", *map(str, args)],
                          capture_output=True, text=True, timeout=120, cwd=cwd)


def parse_neighbours(text):
    return [(w.strip(), float(s)) for w, s in (line.rsplit(None, 1) for line in text.strip().splitlines())]


def test_train_writes_the_files_and_reports(model, corpus, capsys, tmp_path):
    words = json.loads(Path(f"{model}.vocab.json").read_text(encoding="utf-8"))
    assert sorted(words) == sorted(TOPICS["animals"] + TOPICS["vehicles"] + GLUE)
    assert np.load(f"{model}.npy").shape == (len(words), 16)
    assert sorted(p.name for p in model.parent.iterdir()) == ["m.npy", "m.vocab.json"]
    assert main(["train", str(corpus), "-o", str(tmp_path / "same"), *TRAIN]) == 0  # seed 0 too: the same bytes
    assert (tmp_path / "same.npy").read_bytes() == Path(f"{model}.npy").read_bytes()
    capsys.readouterr()
    assert main(["train", str(corpus), "-o", str(tmp_path / "x"), "--vector-size", "16", "--min-count", "1",
                 "--epochs", "1", "--levels", "4,8", "16", "--cbow-mean", "0", "--hs", "--max-final-vocab", "7", "-q"]) == 0
    summary = capsys.readouterr().out.strip().splitlines()
    kept = len(json.loads((tmp_path / "x.vocab.json").read_text(encoding="utf-8")))
    assert len(summary) == 1 and 0 < kept <= 7 and f"{kept} words" in summary[0] and str(tmp_path / "x") in summary[0]


def test_similar_prints_aligned_neighbours(model, capsys):
    assert main(["similar", str(model), "cat", "--topn", "5"]) == 0
    out = capsys.readouterr().out
    neighbours = parse_neighbours(out)
    assert len(neighbours) == 5 and "cat" not in [w for w, _ in neighbours]
    assert [s for _, s in neighbours] == sorted((s for _, s in neighbours), reverse=True)
    assert len({len(line) for line in out.splitlines()}) == 1  # padded words: the scores form one column
    assert sum(w in TOPICS["animals"] + GLUE for w, _ in neighbours) >= 3  # the topic shows
    # A level compares prefixes only and lists every other word when topn is large.
    assert main(["similar", str(model), "cat", "--level", "4", "--topn", "100"]) == 0
    at_level = parse_neighbours(capsys.readouterr().out)
    assert len(at_level) == len(TOPICS["animals"] + TOPICS["vehicles"] + GLUE) - 1 and at_level[:5] != neighbours


@pytest.fixture(scope="module")
def broken(tmp_path_factory):
    """A Latin-1 corpus and a FIFO where a vocabulary file should be."""
    path = tmp_path_factory.mktemp("broken")
    (path / "latin1.txt").write_bytes("caf\xe9 au lait\n".encode("latin-1"))
    os.mkfifo(path / "fifo.vocab.json")
    return path


@pytest.mark.parametrize("args, fragment", [
    (["train", "{corpus}"], "-o/--output"),
    (["train", "{corpus}", "-o", "{tmp}/x", "--window", "-1"], "--window"),
    (["train", "{corpus}", "-o", "{tmp}/x", "--levels", "8,x"], "--levels"),
    ([], "COMMAND"),
    (["train", "{tmp}/nope.txt", "-o", "{tmp}/x"], "nope.txt"),
    (["train", "{corpus}", "-o", "{tmp}/no/dir/x"], "does not exist"),
    (["train", "{corpus}", "-o", "{tmp}/empty", "--min-count", "100000", "-q"], "--min-count"),
    (["train", "{broken}/latin1.txt", "-o", "{tmp}/x", "-q"], "not UTF-8"),
    (["similar", "{tmp}/absent", "cat"], "absent.vocab.json"),
    (["similar", "{model}", "zebra"], "word 'zebra' not in vocab"),
    (["similar", "{broken}/fifo", "a"], "not a regular file"),  # a FIFO: refused, not waited on
    (["evaluate", "{model}"], "nothing to evaluate"),
    (["evaluate", "{model}", "--pairs", "{tmp}/none.txt"], "test file not found"),
    (["train", "{corpus}", "-o", "{tmp}/x", "-q", "--negative", str(2**31)], "negative must be at most 65536"),
    (["train", "{corpus}", "-o", ""], "has no file name"),  # refused before training logs a line
    (["train", "{tmp}/unread.txt", "-o", "{tmp}/o", "--negative", "0"], "--negative 0 without --hs trains nothing"),
    (["train", "{tmp}/unread.txt", "-o", "{tmp}/o", "--vector-size", "0"], "--vector-size 0 trains nothing"),
    (["train", "{tmp}/unread.txt", "-o", "{tmp}/o", "--levels", "25,200"], "level 200 is wider than --vector-size 100"),
    (["train", "{tmp}/unread.txt", "-o", "{tmp}/o", "--epochs", "0"], "--epochs 0 trains nothing"),
    (["train", "{tmp}/unread.txt", "-o", "{tmp}/o", "--resume", "x", "--window", "3"], "--window cannot be changed"),
])
def test_user_errors_give_one_line_errors_and_write_nothing(args, fragment, corpus, model, broken, tmp_path):
    places = dict(corpus=corpus, model=model, broken=broken, tmp=tmp_path)
    result = run(*[a.format(**places) for a in args], cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == "", result
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tarnivel: error: ") and fragment in lines[0], result.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("error", [RuntimeError("cannot start 2 worker threads"), MemoryError(),
                                   OSError(28, "No space left on device", "m.npy")])
def test_failures_in_training_give_one_line(corpus, tmp_path, monkeypatch, capsys, error):
    monkeypatch.setattr(cli, "_train_model", lambda *args, **kwargs: (_ for _ in ()).throw(error))
    assert main(["train", str(corpus), "-o", str(tmp_path / "m"), "-q"]) == 2
    assert capsys.readouterr().err.count("\n") == 1  # "tarnivel: error: ...", no traceback


def test_console_script_and_tiny_demo(tmp_path):
    script = Path(sys.executable).with_name("tarnivel")
    result = subprocess.run([str(script), "similar", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "--mmap" in result.stdout
    result = run("demo", "--tokens", "30000", "--epochs", "1", "--workers", "1", "--out", tmp_path, "-q")
    assert result.returncode == 0, result.stderr
    assert all(f"level {level:>3}:" in result.stdout for level in (25, 50, 100))
    assert "identical words yes, identical vectors yes" in result.stdout
    assert (tmp_path / "demo.npy").is_file() and (tmp_path / "demo.vocab.json").is_file()


def test_ctrl_c_during_training_exits_130_without_traceback(corpus, tmp_path):
    process = subprocess.Popen([sys.executable, "-m", "tarnivel", "train", str(corpus), "-o", str(tmp_path / "m"),
                                "--min-count", "1", "--epochs", "100000", "--sg"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = threading.Timer(60, process.kill)  # a run that logs nothing fails instead of hanging
    deadline.start()
    try:  # wait until an epoch runs (the log lines arrive on stderr), then press Ctrl-C
        seen = list(itertools.takewhile(lambda line: "EPOCH 2/" not in line, process.stderr))
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        deadline.cancel()
        if process.poll() is None:
            process.kill()
    assert process.returncode == 130 and "TRAIN setup: " in "".join(seen), "".join(seen) + err  # log lines without -q
    assert err.strip().splitlines()[-1] == "tarnivel: interrupted" and "Traceback" not in err and out == ""
    assert not (tmp_path / "m.npy").exists()
