"""Command line: ``tarnivel train``, ``similar``, ``evaluate``, ``export`` and ``demo``.

Every failure the user can cause (bad arguments, missing or unreadable files, a word that is not in
the vocabulary, a value the module refuses) ends with one line on standard error and exit status 2;
Ctrl-C ends with status 130.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

PROG = "tarnivel"
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """A failure to report as one line on standard error (exit status 2)."""


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage text before its message; one line is easier to read and to
    # check in scripts, and `--help` still shows the usage.
    def error(self, message: str) -> NoReturn:
        raise CommandError(f"{message} (see '{self.prog} --help')")


def _count(text: str) -> int:
    """A non-negative integer argument."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _positive(text: str) -> int:
    value = _count(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _levels(text: str) -> list[int]:
    """One level or a comma-separated list of levels ("25,50,100")."""
    parts = [p for p in text.replace(" ", "").split(",") if p]
    if not parts:
        raise argparse.ArgumentTypeError(f"invalid levels: {text!r}")
    return [_positive(p) for p in parts]


class _ExtendLevels(argparse.Action):
    """Collects levels from every occurrence of the option: "--levels 25,50 100 --levels 8"."""

    def __call__(self, parser: Any, namespace: Any, values: Any, option_string: Any = None) -> None:
        collected = list(getattr(namespace, self.dest, None) or [])
        for group in values:
            collected.extend(group)
        setattr(namespace, self.dest, collected)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None


def _rate(text: str) -> float:
    """A finite number >= 0."""
    value = _number(text)
    if not (0.0 <= value < float("inf")):
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0, not {text!r}")
    return value


def _flag01(text: str) -> int:
    if text not in ("0", "1"):
        raise argparse.ArgumentTypeError(f"must be 0 or 1, not {text!r}")
    return int(text)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Train and query word embeddings with Matryoshka levels "
        "(every prefix of a vector is itself an embedding).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    train = commands.add_parser(
        "train",
        help="train a model on a text file and save its vectors",
        description="Train on CORPUS, a UTF-8 text file with one sentence per line and "
        "whitespace-separated words, and save PREFIX.vocab.json and PREFIX.npy.",
    )
    train.add_argument("corpus", metavar="CORPUS", help="UTF-8 text file, one sentence per line")
    train.add_argument("-o", "--output", metavar="PREFIX", required=True, help="prefix of the files to write")
    train.add_argument("--vector-size", type=_count, default=100, help="vector width (default 100)")
    train.add_argument("--window", type=_count, default=5, help="maximum context distance (default 5)")
    train.add_argument("--min-count", type=_count, default=5, help="minimum word count (default 5)")
    train.add_argument("--max-final-vocab", type=_count, default=None, help="upper bound on the vocabulary size")
    train.add_argument("--workers", type=_count, default=1, help="1: sequential and reproducible; 2 or more: threaded (default 1)")
    train.add_argument("--negative", type=_count, default=5, help="noise words per target, 0 for none (default 5)")
    train.add_argument("--sg", action="store_true", help="skip-gram (default: CBOW)")
    train.add_argument("--hs", action="store_true", help="hierarchical softmax (default: negative sampling)")
    train.add_argument("--cbow-mean", type=_flag01, default=1, metavar="{0,1}", help="CBOW: 1 averages the context, 0 sums it (default 1)")
    train.add_argument(
        "--levels",
        type=_levels,
        nargs="+",
        action=_ExtendLevels,
        metavar="N",
        help="Matryoshka levels, comma-separated or repeated (default: a quarter, a half and all of --vector-size)",
    )
    train.add_argument("--alpha", type=_number, default=0.025, help="initial learning rate (default 0.025)")
    train.add_argument("--min-alpha", type=_number, default=0.0001, help="final learning rate (default 0.0001)")
    train.add_argument("--epochs", type=_count, default=None, help="passes over the corpus (default 5, or the checkpoint's)")
    # Decision: subsampling on by default here, as in the trainers people know (the library's default
    # stays 0): several times faster at equal or better similarity scores (README).
    train.add_argument("--sample", type=_rate, default=None,
                       help="drop frequent words at random, 0 for none (default 1e-3, or the checkpoint's)")
    train.add_argument("--resume", metavar="PREFIX", default=None,
                       help="continue the checkpoint PREFIX with its settings (see --checkpoint)")
    train.add_argument("--checkpoint", action="store_true",
                       help="also save what training needs to continue exactly (PREFIX.output.npy, PREFIX.ckpt)")
    train.add_argument("--seed", type=_count, default=None, help="random seed (reproducible with --workers 1)")
    train.add_argument(
        "--no-row-locks",
        action="store_true",
        help="threaded training without row locks: scales better with --workers, but two threads may "
        "update one row at once and lose an update (sets TARNIVEL_ROW_LOCKS=0 for the call)",
    )
    train.add_argument(
        "--fast",
        action="store_true",
        help="fast arithmetic (sums in vector lanes, fused multiply-add): same algorithm, other rounding, "
        "reproducible only on the same kind of processor; with --workers 2 or more also no row locks "
        "(sets TARNIVEL_ARITHMETIC=fast, and TARNIVEL_ROW_LOCKS=0, for the call)",
    )
    train.add_argument("-q", "--quiet", action="store_true", help="no progress output")

    similar = commands.add_parser(
        "similar",
        help="print the nearest neighbours of a word",
        description="Load PREFIX.vocab.json and PREFIX.npy and print the words closest to WORD.",
    )
    similar.add_argument("prefix", metavar="PREFIX", help="prefix given to 'train -o' or to save()")
    similar.add_argument("word", metavar="WORD")
    similar.add_argument("--topn", type=_count, default=10, help="number of neighbours (default 10)")
    similar.add_argument("--level", type=_count, default=None, help="compare only the first LEVEL components")
    similar.add_argument("--mmap", action="store_true", help="memory-map the vectors instead of loading them")
    similar.add_argument("--coarse-level", type=_positive, default=None, metavar="L",
                         help="funnel search: scan only the first L components of every row, then rank a "
                         "shortlist at the full level")

    _add_vector_commands(commands)

    demo = commands.add_parser(
        "demo",
        help="train on the built-in corpus and show neighbours at every level",
        description="Train on the docstrings and comments of the installed Python standard library, "
        "print neighbours at every Matryoshka level and reload the saved files memory-mapped.",
    )
    # Decision: one worker by default, so that the demo prints the same neighbours on every run.
    demo.add_argument("--workers", type=_count, default=1, help="2 or more trains threaded, not reproducible (default 1)")
    demo.add_argument("--out", metavar="DIR", default=None, help="keep the files in DIR (default: a temporary directory)")
    demo.add_argument("--tokens", type=_positive, default=None, help="cap on the corpus size in tokens")
    demo.add_argument("--epochs", type=_count, default=None, help="passes over the corpus")
    demo.add_argument("--seed", type=_count, default=1, help="random seed (default 1)")
    demo.add_argument("-q", "--quiet", action="store_true", help="no progress output")
    return parser


def _add_vector_commands(commands: Any) -> None:
    """The `evaluate` and `export` verbs."""
    evaluate = commands.add_parser(
        "evaluate",
        help="score saved vectors on word-pair and analogy test files at several levels",
        description="Load PREFIX.vocab.json and PREFIX.npy and print one row per level: the Spearman "
        "correlation on each --pairs file (pairs used / pairs in the file), the accuracy on the --analogies "
        "file (questions answered / questions) and the bytes a vector takes at that level. A --pairs file "
        "is 'word1<TAB>word2<TAB>score' lines, or a .csv file with a header naming word1, word2 and the "
        "score as last column (a part-of-speech tag such as '-n' is removed from its words, as MEN has them).",
    )
    evaluate.add_argument("prefix", metavar="PREFIX", help="prefix given to 'train -o' or to save()")
    evaluate.add_argument("--pairs", metavar="FILE", action="append", default=[], help="word-pair file (repeatable)")
    evaluate.add_argument("--analogies", metavar="FILE", action="append", default=[],
                          help="analogy questions, ': section' headers and 'a b c d' lines (repeatable)")
    evaluate.add_argument(
        "--levels",
        type=_levels,
        nargs="+",
        action=_ExtendLevels,
        metavar="N",
        help="levels to evaluate, comma-separated or repeated (default: a quarter, a half and all of the width)",
    )
    evaluate.add_argument("--restrict-vocab", type=_positive, default=300000,
                          help="analogies: answers among the first N words (default 300000)")
    evaluate.add_argument("--case-sensitive", action="store_true", help="match words exactly (default: ignore case)")
    evaluate.add_argument("--mmap", action="store_true", help="memory-map the vectors instead of loading them")
    evaluate.add_argument("--plot", metavar="FILE.png", default=None,
                          help="also draw score against bytes per vector, a line per file (needs matplotlib: "
                          "pip install 'tarnivel[plot]')")

    export = commands.add_parser(
        "export",
        help="write saved vectors in another format, optionally cut to a level",
        description="Load PREFIX.vocab.json and PREFIX.npy and write OUT as word2vec text, word2vec binary, "
        "npy (OUT.vocab.json and OUT.npy, the pair 'similar' and KeyedVectors.load read), or tsv "
        "(OUT.vectors.tsv and OUT.metadata.tsv, the files embedding projector pages load; a tab or line break "
        "in a word is written as \\t, \\n or \\r).",
    )
    export.add_argument("prefix", metavar="PREFIX", help="prefix given to 'train -o' or to save()")
    export.add_argument("-o", "--output", metavar="OUT", required=True, help="file (word2vec) or prefix (npy, tsv) to write")
    export.add_argument("--format", choices=("word2vec", "word2vec-binary", "npy", "tsv"), default="word2vec",
                        help="output format (default word2vec)")
    export.add_argument("--level", type=_count, default=None, help="write only the first LEVEL components")


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("tarnivel")
    except Exception:  # metadata is missing when running from a source tree
        return "0+unknown"


def _progress(quiet: bool) -> tuple[Callable[[int, int], None] | None, bool, Callable[[], None]]:
    """How training reports progress: (progress callable, verbose, finish).

    A progress bar when tqdm is installed and standard error is a terminal; otherwise the module's
    own log lines (a bar written to a file or a pipe is only noise); nothing with --quiet.
    """
    if quiet:
        return None, False, lambda: None
    try:
        from tqdm import tqdm  # optional dependency: pip install tarnivel[progress]
    except ImportError:
        return None, True, lambda: None
    if not sys.stderr.isatty():
        return None, True, lambda: None
    bar = tqdm(total=0, unit="tok", unit_scale=True, dynamic_ncols=True, leave=False)

    def progress(done: int, total: int) -> None:
        if bar.total != total:
            bar.total = total
        if done > bar.n:
            bar.update(done - bar.n)

    return progress, False, bar.close


def _train_model(model: Any, corpus: Any, quiet: bool, row_locks: bool = True, fast: bool = False,
                 epochs: int | None = None) -> float:
    """Train with the chosen progress output; returns the seconds taken.

    Without row locks, TARNIVEL_ROW_LOCKS is 0 for the call, and with fast arithmetic
    TARNIVEL_ARITHMETIC is fast (the module reads both when train starts); both are restored afterwards.
    """
    progress, verbose, finish = _progress(quiet)
    settings = {"TARNIVEL_ROW_LOCKS": None if row_locks else "0", "TARNIVEL_ARITHMETIC": "fast" if fast else None}
    saved = {name: os.environ.get(name) for name, value in settings.items() if value is not None}
    for name in saved:
        os.environ[name] = settings[name]
    start = time.perf_counter()
    try:
        model.train(corpus, epochs=epochs, progress=progress, verbose=verbose)
    finally:
        finish()
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
    return time.perf_counter() - start


# The settings a checkpoint fixes: with --resume they may not be given.
_MODEL_OPTIONS = ("vector_size", "window", "min_count", "max_final_vocab", "workers", "negative", "sg", "hs",
                  "cbow_mean", "levels", "alpha", "min_alpha")


def _refuse_untrainable(args: argparse.Namespace) -> None:
    """Settings that would train nothing, or silently clip, end the command before any work."""
    if args.resume is not None:
        defaults = vars(build_parser().parse_args(["train", args.corpus, "-o", args.output]))
        given = [name for name in _MODEL_OPTIONS if getattr(args, name) != defaults[name]]
        if given:
            option = "--" + given[0].replace("_", "-")
            raise CommandError(f"{option} cannot be changed when resuming: the checkpoint {args.resume} fixes it")
    else:
        if args.vector_size == 0:
            raise CommandError("--vector-size 0 trains nothing: give a width of 1 or more")
        if args.negative == 0 and not args.hs:
            raise CommandError("--negative 0 without --hs trains nothing: give --negative 1 or more, or --hs")
        wider = [level for level in args.levels or [] if level > args.vector_size]
        if wider:
            raise CommandError(f"level {wider[0]} is wider than --vector-size {args.vector_size}")
    if args.epochs == 0:
        raise CommandError("--epochs 0 trains nothing: give 1 or more")


def _cmd_train(args: argparse.Namespace, out: Any) -> int:
    from tarnivel import LineSentence, Word2Vec, set_seed

    _refuse_untrainable(args)
    try:
        corpus = LineSentence(args.corpus)
    except OSError as exc:
        raise CommandError(f"cannot read corpus {args.corpus}: {exc.strerror or exc}") from None
    output_dir = os.path.dirname(args.output) or "."
    if not os.path.isdir(output_dir):
        raise CommandError(f"output directory does not exist: {output_dir}")
    # Checked before training, which the refusal of the prefix by save() would otherwise waste.
    if not os.path.basename(args.output):
        raise CommandError(f"output prefix {args.output!r} has no file name")
    if args.seed is not None:
        set_seed(args.seed)
    if args.resume is not None:
        model = Word2Vec.load_checkpoint(args.resume)
    else:
        model = Word2Vec(
            vector_size=args.vector_size,
            window=args.window,
            min_count=args.min_count,
            max_final_vocab=args.max_final_vocab,
            workers=args.workers,
            negative=args.negative,
            sg=int(args.sg),
            hs=int(args.hs),
            cbow_mean=args.cbow_mean,
            levels=args.levels,
            alpha=args.alpha,
            min_alpha=args.min_alpha,
            epochs=5 if args.epochs is None else args.epochs,
        )
        model.sample = 1e-3
    if args.sample is not None:
        model.sample = args.sample
    try:
        unlocked = args.no_row_locks or (args.fast and args.workers >= 2)
        seconds = _train_model(model, corpus, args.quiet, row_locks=not unlocked, fast=args.fast, epochs=args.epochs)
    except UnicodeDecodeError as exc:
        raise CommandError(f"corpus {args.corpus} is not UTF-8 text: {exc.reason} at byte {exc.start}") from None
    except (RuntimeError, MemoryError) as exc:  # e.g. a worker pool that cannot start its threads
        raise CommandError(f"training failed: {_describe(exc)}") from None
    kv = model.wv
    words = len(kv.index_to_key)
    # Decision: a run that keeps no word is reported as an error and writes nothing; saving an
    # empty model would only defer the surprise to the first query.
    if words == 0:
        raise CommandError(
            f"no word of {args.corpus} occurs at least --min-count={args.min_count} times; nothing saved"
        )
    if args.checkpoint:
        _replace_uninterrupted(lambda: model.save_checkpoint(args.output))
        saved = f"{args.output}.vocab.json, {args.output}.npy, {args.output}.output.npy and {args.output}.ckpt"
    else:
        _replace_uninterrupted(lambda: model.save(args.output))
        saved = f"{args.output}.vocab.json and {args.output}.npy"
    epochs = "the checkpoint's" if args.epochs is None and args.resume is not None else (args.epochs or 5)
    print(f"trained {words} words x {model.vector_size} dims, {epochs} epochs in {seconds:.1f}s; saved {saved}",
          file=out)
    return 0


def _format_neighbours(neighbours: Sequence[tuple[str, float]]) -> list[str]:
    width = max((len(word) for word, _ in neighbours), default=0)
    return [f"{word:<{width}}  {score: .4f}" for word, score in neighbours]


def _word_error(exc: KeyError) -> CommandError:
    return CommandError(str(exc.args[0]) if exc.args else "word not in vocab")


def _cmd_similar(args: argparse.Namespace, out: Any) -> int:
    from tarnivel import KeyedVectors

    kv = KeyedVectors.load(args.prefix, mmap="r" if args.mmap else None)
    try:
        if args.coarse_level is None:
            neighbours = kv.most_similar(args.word, topn=args.topn, level=args.level)
        else:
            neighbours = kv.similar_by_vector(kv.get_vector(args.word, level=args.level), topn=args.topn,
                                              level=args.level, exclude=[args.word], coarse_level=args.coarse_level)
    except KeyError as exc:
        raise _word_error(exc) from None
    # An empty answer for a known word is normal (topn 0, level 0, a one-word vocabulary); for an
    # unknown word it would hide the mistake, so check the word as well.
    if not neighbours and args.word not in kv.index_to_key:
        raise CommandError(f"word '{args.word}' not in vocab")
    for line in _format_neighbours(neighbours):
        print(line, file=out)
    return 0


def _pairs_score(kv: Any, path: str, level: int, case_insensitive: bool) -> tuple[str, float | None]:
    from tarnivel._evaluation import read_any_pairs, score_pairs

    pairs = read_any_pairs(path)
    _, rho, _, used = score_pairs(kv, pairs, level, case_insensitive)
    if used < 2:
        return f"n/a ({used}/{len(pairs)})", None
    return f"{rho:.3f} ({used}/{len(pairs)})", rho


def _analogy_score(kv: Any, path: str, level: int, restrict: int, case_insensitive: bool) -> tuple[str, float | None]:
    accuracy, sections = kv.evaluate_word_analogies(path, level=level, restrict_vocab=restrict,
                                                    case_insensitive=case_insensitive)
    total = sections[-1]
    answered = len(total["correct"]) + len(total["incorrect"])
    return f"{accuracy:.3f} ({answered}/{answered + total['skipped']})", accuracy


def _cmd_evaluate(args: argparse.Namespace, out: Any) -> int:
    from tarnivel import KeyedVectors

    files = [("pairs", p) for p in args.pairs] + [("analogies", p) for p in args.analogies]
    if not files:
        raise CommandError("nothing to evaluate: give --pairs FILE and/or --analogies FILE")
    for _, path in files:
        if not os.path.isfile(path):
            raise CommandError(f"test file not found: {path}")
    figure = None
    if args.plot is not None:
        from tarnivel._plot import new_figure

        plot_dir = os.path.dirname(args.plot) or "."
        if not os.path.isdir(plot_dir):
            raise CommandError(f"output directory does not exist: {plot_dir}")
        try:
            figure = new_figure()
        except ImportError:
            raise CommandError("--plot needs matplotlib: pip install 'tarnivel[plot]'") from None
    kv = KeyedVectors.load(args.prefix, mmap="r" if args.mmap else None)
    levels = sorted(set(args.levels)) if args.levels else _levels_of(kv.vector_size)
    fold = not args.case_sensitive
    header = ["level", "bytes/vector"] + [os.path.basename(p) for _, p in files]
    rows = []
    scores: dict[int, list[float | None]] = {}
    for level in levels:
        used = min(level, kv.vector_size)
        row = [str(used), str(4 * used)]
        for kind, path in files:
            if kind == "pairs":
                cell, value = _pairs_score(kv, path, used, fold)
            else:
                cell, value = _analogy_score(kv, path, used, args.restrict_vocab, fold)
            row.append(cell)
            scores.setdefault(used, []).append(value)
        rows.append(row)
    widths = [max(len(r[i]) for r in [header, *rows]) for i in range(len(header))]
    print(f"{args.prefix}: {len(kv)} words x {kv.vector_size} dims; pairs: Spearman (pairs used/pairs), "
          "analogies: accuracy (answered/questions)", file=out)
    for r in [header, *rows]:
        print("  ".join(cell.rjust(w) if i < 2 else cell.ljust(w) for i, (cell, w) in enumerate(zip(r, widths))).rstrip(),
              file=out)
    if figure is not None:
        from tarnivel._plot import draw_quality

        widths_used = sorted(scores)
        series = {f"{os.path.basename(p)} ({'Spearman' if kind == 'pairs' else 'accuracy'})":
                  [scores[w][i] for w in widths_used] for i, (kind, p) in enumerate(files)}
        draw_quality(figure, args.plot, f"{os.path.basename(args.prefix)}: {len(kv)} words", widths_used, series)
        print(f"wrote {args.plot}", file=out)
    return 0


def _tsv_field(word: str) -> str:
    return word.replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _write_projector_tsv(kv: Any, prefix: str, level: int) -> str:
    """OUT.vectors.tsv (a row of tab-separated values per word) and OUT.metadata.tsv (a word per line)."""
    import numpy as np

    words = kv.index_to_key
    matrix = kv.vectors
    # A word listed twice resolves to its last row everywhere else; write that row at each position.
    rows = np.fromiter((kv.key_to_index[w] for w in words), dtype=np.int64, count=len(words)) \
        if len(set(words)) != len(words) else None
    targets = [f"{prefix}.vectors.tsv", f"{prefix}.metadata.tsv"]
    # Each file is written under a fresh name of its own in the target's directory (created new, so a
    # link planted there is never written through, and racing exports never share one), then renamed.
    temps: list[str] = []
    try:
        for target in targets:
            fd, temp = tempfile.mkstemp(dir=os.path.dirname(target) or ".", prefix=os.path.basename(target) + ".", suffix=".tmp")
            temps.append(temp)
            os.chmod(temp, _replaced_mode(target))
            with open(fd, "w", encoding="utf-8", newline="\n") as handle:
                if target is targets[0]:
                    for start in range(0, len(words), 4096):
                        block = matrix[start:start + 4096] if rows is None else matrix[rows[start:start + 4096]]
                        np.savetxt(handle, np.asarray(block[:, :level], dtype=np.float32), fmt="%.9g", delimiter="\t")
                else:
                    handle.writelines(_tsv_field(w) + "\n" for w in words)
        _replace_uninterrupted(lambda: [os.replace(t, target) for t, target in zip(temps, targets)])
    finally:
        for temp in temps:
            if os.path.exists(temp):
                os.remove(temp)
    return " and ".join(targets)


def _replaced_mode(path: str) -> int:
    """The permission bits a new file at path gets: those of the file it replaces, else the umask's."""
    try:
        return os.stat(path).st_mode & 0o7777
    except OSError:
        mask = os.umask(0)
        os.umask(mask)
        return 0o666 & ~mask


def _cmd_export(args: argparse.Namespace, out: Any) -> int:
    from tarnivel import KeyedVectors

    output_dir = os.path.dirname(args.output) or "."
    if not os.path.isdir(output_dir):
        raise CommandError(f"output directory does not exist: {output_dir}")
    kv = KeyedVectors.load(args.prefix, mmap="r")
    level = kv.vector_size if args.level is None else min(args.level, kv.vector_size)
    if args.format == "npy":
        if level != kv.vector_size:
            # The pair at a level: through a binary word2vec file, which holds the prefixes exactly.
            with tempfile.TemporaryDirectory(dir=output_dir, prefix=".tarnivel-export-") as scratch:
                staged = os.path.join(scratch, "vectors.bin")
                kv.save_word2vec_format(staged, binary=True, level=level)
                kv = KeyedVectors.load_word2vec_format(staged, binary=True)
        _replace_uninterrupted(lambda: kv.save(args.output))
        written = f"{args.output}.vocab.json and {args.output}.npy"
    elif args.format == "tsv":
        written = _write_projector_tsv(kv, args.output, level)
    else:
        binary = args.format == "word2vec-binary"
        _replace_uninterrupted(lambda: kv.save_word2vec_format(args.output, binary=binary, level=level))
        written = args.output
    print(f"wrote {len(kv)} words x {level} dims to {written}", file=out)
    return 0


def _replace_uninterrupted(write: Callable[[], None]) -> None:
    """Runs a write that replaces the output files with Ctrl-C ignored: the save cannot be stopped
    half-way, and once it has replaced the files it is reported as done, never as interrupted."""
    previous = signal.getsignal(signal.SIGINT)
    if previous is None or threading.current_thread() is not threading.main_thread():
        write()
        return
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        write()
    finally:
        signal.signal(signal.SIGINT, previous)


def _levels_of(vector_size: int) -> list[int]:
    return sorted({v for v in (vector_size // 4, vector_size // 2, vector_size) if v > 0}) or [1]


def _cmd_demo(args: argparse.Namespace, out: Any) -> int:
    import numpy as np

    from tarnivel import KeyedVectors, Word2Vec, set_seed
    from tarnivel._demo import DEFAULT_MAX_TOKENS, QUERY_WORDS, demo_corpus, stdlib_root

    def say(text: str = "") -> None:
        print(text, file=out, flush=True)

    if args.out is not None and not os.path.isdir(args.out):
        raise CommandError(f"output directory does not exist: {args.out}")
    start = time.perf_counter()
    corpus = demo_corpus(args.tokens if args.tokens is not None else DEFAULT_MAX_TOKENS)
    tokens = sum(len(s) for s in corpus)
    say(
        f"corpus: {len(corpus)} sentences, {tokens} tokens from the docstrings and comments of "
        f"{stdlib_root()} ({time.perf_counter() - start:.1f}s)"
    )
    if not corpus:
        raise CommandError("the demo corpus is empty: no standard library sources were found")

    vector_size = 100
    levels = _levels_of(vector_size)
    epochs = args.epochs if args.epochs is not None else 10
    set_seed(args.seed)
    # CBOW: on this corpus it trains about twice as fast as skip-gram, with neighbours as sensible.
    model = Word2Vec(
        vector_size=vector_size, window=5, min_count=5, workers=args.workers, sg=0,
        negative=5, levels=levels, epochs=epochs,
    )
    say(
        f"training CBOW, negative sampling, vector_size {vector_size}, levels {levels}, "
        f"{epochs} epochs, {args.workers} worker(s)"
    )
    seconds = _train_model(model, corpus, args.quiet)
    kv = model.wv
    words = kv.index_to_key
    say(f"trained {len(words)} words in {seconds:.1f}s")
    if not words:
        raise CommandError("the demo corpus is too small: no word occurs 5 times")

    known = set(words)
    queries = [w for w in QUERY_WORDS if w in known] or words[:3]
    for word in queries:
        say()
        say(f"nearest to '{word}':")
        for level in levels:
            neighbours = kv.most_similar(word, topn=5, level=level)
            listing = ", ".join(f"{w} {s:.2f}" for w, s in neighbours)
            say(f"  level {level:>{len(str(vector_size))}}: {listing}")

    with tempfile.TemporaryDirectory(prefix="tarnivel-demo-") as scratch:
        directory = args.out if args.out is not None else scratch
        prefix = os.path.join(directory, "demo")
        model.save(prefix)
        mapped = KeyedVectors.load(prefix, mmap="r")
        vectors = mapped.vectors
        same_words = mapped.index_to_key == words
        same_vectors = bool(np.array_equal(np.asarray(vectors), kv.vectors))
        say()
        say(f"saved {prefix}.vocab.json and {prefix}.npy")
        say(
            f"reloaded memory-mapped ({type(vectors).__name__}, shape {vectors.shape}, "
            f"dtype {vectors.dtype}): identical words {_yes(same_words)}, "
            f"identical vectors {_yes(same_vectors)}"
        )
        first = queries[0]
        say(f"nearest to '{first}' from the mapped file: "
            + ", ".join(f"{w} {s:.2f}" for w, s in mapped.most_similar(first, topn=5)))
        del vectors, mapped  # release the mapping before the directory goes
    if not (same_words and same_vectors):
        raise CommandError("the reloaded files differ from the trained model")
    return 0


def _yes(flag: bool) -> str:
    return "yes" if flag else "NO"


_COMMANDS = {
    "train": _cmd_train,
    "similar": _cmd_similar,
    "demo": _cmd_demo,
    "evaluate": _cmd_evaluate,
    "export": _cmd_export,
}


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as exc:  # --help and --version
            return exc.code if isinstance(exc.code, int) else 0
        return _COMMANDS[args.command](args, sys.stdout)
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader of our output went away (e.g. "| head"): not an error of ours. Point stdout at
        # nothing so that the interpreter's final flush does not complain again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return 0
    except CommandError as exc:
        return _fail(str(exc))
    except KeyError as exc:
        return _fail(str(_word_error(exc)))
    except (ValueError, TypeError, OverflowError, OSError) as exc:
        return _fail(_describe(exc))


def _describe(exc: BaseException) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return f"{exc.filename}: {exc.strerror}" if exc.filename else exc.strerror
    text = str(exc) or type(exc).__name__
    return " ".join(text.split())  # keep the message on one line


def _fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return EXIT_USAGE


if __name__ == "__main__":
    sys.exit(main())
