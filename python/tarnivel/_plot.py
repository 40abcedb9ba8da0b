"""The quality picture of ``tarnivel evaluate --plot``: score against bytes per vector, a line per file.

Drawn on a bare matplotlib Figure with the Agg canvas, so it needs no display and leaves pyplot's
global state alone. matplotlib is an optional extra (``pip install "tarnivel[plot]"``).
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any


def new_figure() -> Any:
    """An empty figure; ImportError when matplotlib is not installed."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(7.5, 4.8), layout="constrained")
    FigureCanvasAgg(figure)
    return figure


def draw_quality(figure: Any, path: str, title: str, widths: Sequence[int],
                 series: Mapping[str, Sequence[float | None]]) -> None:
    """Draws one line per series (a score per width, None where there is none) and writes a PNG to `path`."""
    axes = figure.add_subplot()
    for name, values in series.items():
        points = [(4 * w, v, w) for w, v in zip(widths, values) if v is not None]
        if not points:
            continue
        xs, ys, labels = zip(*points)
        line, = axes.plot(xs, ys, marker="o", label=name)
        for x, y, w in zip(xs, ys, labels):
            axes.annotate(f"{w} dims", (x, y), textcoords="offset points", xytext=(4, 6), fontsize=8,
                          color=line.get_color())
    axes.set_xlabel("bytes per vector (float32)")
    axes.set_ylabel("score (Spearman or accuracy)")
    axes.set_title(f"{title}: quality against size")
    axes.grid(True, alpha=0.3)
    axes.margins(x=0.1, y=0.1)  # room for the width labels at the ends
    if axes.lines:
        axes.legend(fontsize=8, loc="lower right")
    # Written under a temporary name and moved into place, as every other file of the package.
    temporary = path + ".tmp"
    try:
        figure.savefig(temporary, format="png", dpi=120)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
