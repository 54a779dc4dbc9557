"""What the benchmarks share: a table written to the results folder."""

from __future__ import annotations

from pathlib import Path


def write_report(out, name, lines):
    """Writes `lines` to out/name (the folder made when missing); returns the text."""
    text = "\n".join(lines)
    folder = Path(out)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_text(text + "\n", encoding="utf-8")
    return text
