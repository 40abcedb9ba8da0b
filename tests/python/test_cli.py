"""The command line end to end: train, similar, demo, and the one-line errors."""

import io
import json
import random
import signal
import subprocess
import sys
import types
from pathlib import Path

import numpy as np
import pytest

import tarnivel.__main__ as cli
from conftest import header, npy_bytes, write_pair
from tarnivel.__main__ import main

TOPICS = {
    "animals": "cat dog horse cow sheep goat bird fish mouse rabbit".split(),
    "vehicles": "car bus train truck bike boat plane tram ship van".split(),
}
GLUE = "the a and with near over".split()


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Sentences that each talk about one topic, so neighbours have structure."""
    rng = random.Random(7)
    lines = []
    for i in range(600):
        words = TOPICS["animals" if i % 2 else "vehicles"]
        lines.append(" ".join(rng.choice(words + GLUE) for _ in range(rng.randint(4, 12))))
        if i % 50 == 0:
            lines.append("   ")  # blank lines are skipped
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    return path


TRAIN = ["--vector-size", "16", "--min-count", "1", "--epochs", "5", "--sg", "--seed", "3", "--quiet", "--sample", "0"]


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
    matrix = np.load(f"{model}.npy")
    assert matrix.shape == (len(words), 16) and matrix.dtype == np.float32
    assert sorted(p.name for p in model.parent.iterdir()) == ["m.npy", "m.vocab.json"]
    assert main(["train", str(corpus), "-o", str(tmp_path / "same"), *TRAIN]) == 0  # seeded: the same bytes
    assert (tmp_path / "same.npy").read_bytes() == Path(f"{model}.npy").read_bytes()
    capsys.readouterr()
    assert main(["train", str(corpus), "-o", str(tmp_path / "x"), "--vector-size", "16", "--min-count", "1",
                 "--epochs", "1", "--levels", "4,8", "16", "--cbow-mean", "0", "--hs", "--quiet"]) == 0
    summary = capsys.readouterr().out.strip().splitlines()
    assert len(summary) == 1 and f"{len(words)} words" in summary[0] and str(tmp_path / "x") in summary[0]
    # Without --quiet and without a terminal the module's own log lines report progress.
    result = run("train", corpus, "-o", tmp_path / "t", "--workers", "2", "--min-count", "1",
                 "--vector-size", "8", "--epochs", "2")
    assert result.returncode == 0 and "TRAIN setup: " in result.stderr and "EPOCH 2/2: " in result.stderr
    assert (tmp_path / "t.npy").is_file()


def test_similar_prints_aligned_neighbours(model, capsys):
    assert main(["similar", str(model), "cat", "--topn", "5"]) == 0
    out = capsys.readouterr().out
    neighbours = parse_neighbours(out)
    assert len(neighbours) == 5 and "cat" not in [w for w, _ in neighbours]
    assert [s for _, s in neighbours] == sorted((s for _, s in neighbours), reverse=True)
    assert len({len(line) for line in out.splitlines()}) == 1  # padded words: the scores form one column
    assert sum(w in TOPICS["animals"] + GLUE for w, _ in neighbours) >= 3  # the topic shows
    assert main(["similar", str(model), "cat", "--topn", "5", "--mmap"]) == 0
    assert parse_neighbours(capsys.readouterr().out) == neighbours
    # A level compares prefixes only and lists every other word when topn is large.
    assert main(["similar", str(model), "cat", "--level", "4", "--topn", "100"]) == 0
    at_level = parse_neighbours(capsys.readouterr().out)
    assert len(at_level) == len(TOPICS["animals"] + TOPICS["vehicles"] + GLUE) - 1 and at_level[:5] != neighbours


@pytest.fixture(scope="module")
def broken(tmp_path_factory):
    """A Latin-1 corpus; pairs with a damaged vocabulary, a damaged header, float16 data, a NaN."""
    path = tmp_path_factory.mktemp("broken")
    (path / "latin1.txt").write_bytes("caf\xe9 au lait\n".encode("latin-1"))
    write_pair(path / "broken", b'["a", ', np.zeros((1, 4), np.float32))
    write_pair(path / "damaged", ["a", "b"], npy_bytes(header(2, 3) + " ("))
    write_pair(path / "half", ["a", "b"], npy_bytes(header(2, 3, "<f2"), bytes(12)))
    write_pair(path / "nan", ["a", "b"], npy_bytes(header(2, 3), np.array([1, 2, 3, np.nan, 0, 1], np.float32).tobytes()))
    return path


@pytest.mark.parametrize(
    "args, fragment",
    [
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
        (["similar", "{broken}/broken", "a"], "failed to parse vocab json"),
        (["similar", "{broken}/damaged", "a"], "damaged npy header"),
        (["similar", "{broken}/half", "a", "--mmap"], "unsupported npy dtype"),
        (["similar", "{broken}/nan", "a", "--mmap"], "not finite"),
        (["train", "{corpus}", "-o", "{tmp}/x", "-q", "--alpha", "nan"], "alpha must be a finite number"),
        (["train", "{corpus}", "-o", "{tmp}/x", "-q", "--min-alpha", "-1"], "min_alpha must be a finite number"),
        (["train", "{corpus}", "-o", "{tmp}/x", "-q", "--alpha", "1e30"], "training diverged at epoch 1/5"),
        (["train", "{corpus}", "-o", "{tmp}/x", "-q", "--negative", str(2**31)], "negative must be at most 65536"),
        (["train", "{corpus}", "-o", "", "-q"], "has no file name"),
    ],
)
def test_user_errors_give_one_line_errors_and_write_nothing(args, fragment, corpus, model, broken, tmp_path):
    places = dict(corpus=corpus, model=model, broken=broken, tmp=tmp_path)
    result = run(*[a.format(**places) for a in args], cwd=tmp_path)
    assert result.returncode == 2 and result.stdout == "", result
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("tarnivel: error: ") and fragment in lines[0], result.stderr
    assert list(tmp_path.iterdir()) == []


def test_console_script_and_tiny_demo(tmp_path):
    script = Path(sys.executable).with_name("tarnivel")
    result = subprocess.run([str(script), "similar", "--help"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and "--mmap" in result.stdout
    result = run("demo", "--tokens", "30000", "--epochs", "1", "--workers", "1", "--out", tmp_path, "-q")
    assert result.returncode == 0, result.stderr
    assert all(f"level {level:>3}:" in result.stdout for level in (25, 50, 100))
    assert "identical words yes, identical vectors yes" in result.stdout
    assert (tmp_path / "demo.npy").is_file() and (tmp_path / "demo.vocab.json").is_file()


def test_progress_choice(monkeypatch):
    # A bar only with tqdm and a terminal; log lines otherwise; nothing with --quiet.
    bars = []

    class FakeBar:
        def __init__(self, total, **kwargs):
            self.total, self.n, self.closed = total, 0, False
            bars.append(self)

        def update(self, k):
            self.n += k

        def close(self):
            self.closed = True

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=FakeBar))
    monkeypatch.setattr(sys, "stderr", Terminal())
    progress, verbose, finish = cli._progress(quiet=False)
    for done in (50, 120, 120):
        progress(done, 200)
    finish()
    assert verbose is False and (bars[0].n, bars[0].total, bars[0].closed) == (120, 200, True)
    assert cli._progress(quiet=True)[:2] == (None, False)
    for stderr, tqdm in ((io.StringIO(), FakeBar), (Terminal(), None)):
        monkeypatch.setattr(sys, "stderr", stderr)
        monkeypatch.setitem(sys.modules, "tqdm", tqdm and types.SimpleNamespace(tqdm=tqdm))
        assert cli._progress(quiet=False)[:2] == (None, True)


def test_ctrl_c_during_training_exits_130_without_traceback(corpus, tmp_path):
    process = subprocess.Popen([sys.executable, "-m", "tarnivel", "train", str(corpus), "-o", str(tmp_path / "m"),
                                "--min-count", "1", "--epochs", "100000", "--sg"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # Wait until an epoch runs (the log lines arrive on stderr), then press Ctrl-C.
        seen = []
        for line in process.stderr:
            seen.append(line)
            if "EPOCH 2/" in line:
                break
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
    assert process.returncode == 130, "".join(seen) + err
    assert err.strip().splitlines()[-1] == "tarnivel: interrupted" and "Traceback" not in err and out == ""
    assert not (tmp_path / "m.npy").exists()
