"""The README's examples run and its command lines parse."""

import re
import shlex
from pathlib import Path

import pytest

from tarnivel.__main__ import build_parser

README = Path(__file__).resolve().parents[2] / "README.md"


def blocks(language):
    return re.findall(rf"^```{language}\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)


def test_python_examples_run(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    first, second = blocks("python")[:2]  # the second example starts from the files the first one saves
    exec(compile(first, str(README) + ":python", "exec"), namespace)
    printed = capsys.readouterr().out.strip().splitlines()
    # Three printed lines, each a list of (word, score) pairs.
    assert len(printed) == 3 and all(line.startswith("[('") and line.endswith(")]") for line in printed)
    assert (tmp_path / "pets.vocab.json").is_file() and (tmp_path / "pets.npy").is_file()
    exec(compile(second, str(README) + ":python", "exec"), namespace)
    assert namespace["oov_ratio"] == pytest.approx(0.2)
    assert [s["section"] for s in namespace["sections"]] == ["pets", "Total accuracy"]
    assert (tmp_path / "pets.w2v.txt").read_text(encoding="utf-8").startswith(f"{len(namespace['kv'])} 32\n")


def test_command_lines_parse():
    parser = build_parser()
    commands = [line for block in blocks("sh") for line in block.splitlines() if line.startswith("tarnivel ")]
    assert {shlex.split(c)[1] for c in commands} == {"train", "similar", "demo", "evaluate", "export"}
    for command in commands:
        try:
            parser.parse_args(shlex.split(command)[1:])
        except Exception as exc:  # the parser reports errors by raising
            pytest.fail(f"README command does not parse: {command}: {exc}")


def test_make_targets_exist():
    makefile = (README.parent / "Makefile").read_text(encoding="utf-8")
    for target in re.findall(r"^make (\w+)", README.read_text(encoding="utf-8"), re.M):
        assert re.search(rf"^{target}:", makefile, re.M), target
