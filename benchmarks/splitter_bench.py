"""The sentence splitter against rule-based peers, in one run: how many of
the hard cases (abbreviations, initials, decimals, quotes, ellipses, lists)
each gets right, and how many MB/s of prose each splits.

    python benchmarks/splitter_bench.py [--megabytes 2] [--out DIR]

Peers: pySBD (rule-based, the public "Golden Rules"; when installed) and
the split at every terminator followed by a blank that a regular
expression makes. The speed of a slow peer is measured on a slice of the
text. Writes DIR/splitter.md.
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from pathlib import Path

from zantu.text import sentences

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE))
from test_text import HARD  # noqa: E402
from report import write_report  # noqa: E402
from text_bench import prose  # noqa: E402

CASES = HARD


def regex_split(text):
    return [s.strip() for s in re.split(r"(?<=[.!?])\s+", text) if s.strip()]


def splitters():
    found = {"zantu.text.sentences": sentences, "regular expression": regex_split}
    try:
        import pysbd
    except ImportError:
        return found
    segmenter = pysbd.Segmenter(language="en", clean=False)
    found[f"pySBD {pysbd.__version__}"] = lambda text: [s.strip() for s in segmenter.segment(text) if s.strip()]
    return found


def right(split):
    return sum(split(text) == expected for text, expected in CASES)


def speed(split, text, seconds=3.0):
    """MB/s, on as much of the text as the splitter gets through in about
    `seconds` (a slow one on a slice)."""
    size = len(text)
    start = time.perf_counter()
    split(text[:20_000])
    taken = time.perf_counter() - start
    part = text if taken * size / 20_000 < seconds else text[:max(20_000, int(20_000 * seconds / taken))]
    start = time.perf_counter()
    split(part)
    return len(part.encode("utf-8")) / (time.perf_counter() - start) / 1e6


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=2.0)
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)
    text = prose(args.megabytes)
    lines = [f"{len(CASES)} hard cases; speed on {len(text.encode('utf-8')) / 1e6:.1f} MB of licence texts and "
             "documentation (a slow splitter on a slice of it).", "",
             "| splitter | hard cases right | MB/s |", "|---|---:|---:|"]
    for name, split in splitters().items():
        lines.append(f"| {name} | {right(split)} of {len(CASES)} | {speed(split, text):.2f} |")
        print(lines[-1], flush=True)
    write_report(args.out, "splitter.md", lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
