"""Chains of sentences side by side with markovify, on the same text, state
sizes 1 to 3: build time, peak memory of the build, model size on disk
(gzip, both), sentences generated per second, and the share of sentences
that come out at the first try.

    python benchmarks/text_bench.py [--megabytes 2] [--out DIR]

The text is prose-like: the system's licence texts and documentation
(mixed_text of chain_bench.py). Both draw with their overlap test on (their
defaults: a run of 15 tokens, or of 70% of the sentence, copied from the
source). Writes DIR/text.md.
"""

from __future__ import annotations

import argparse
import gzip
import io
import itertools
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain
from zantu.text import Runs, tokens

sys.path.insert(0, str(Path(__file__).resolve().parent))
from chain_bench import mixed_text  # noqa: E402


def prose(megabytes):
    licences = sorted(Path("/usr/share/common-licenses").glob("*"))
    text = "\n\n".join(p.read_text(encoding="utf-8", errors="replace") for p in licences if p.is_file())
    with tempfile.TemporaryDirectory() as tmp:
        mixed_text(Path(tmp) / "mixed.txt", megabytes)
        text += "\n\n" + (Path(tmp) / "mixed.txt").read_text(encoding="utf-8")
    return text[:int(megabytes * 1e6)]


def timed_peak(make):
    """Seconds of one call (untraced), and the peak of memory it takes (traced)."""
    start = time.perf_counter()
    made = make()
    seconds = time.perf_counter() - start
    del made
    tracemalloc.start()
    made = make()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return made, seconds, peak


def per_second(draw, seconds=2.0):
    count, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        if draw() is not None:
            count += 1
    return count / (time.perf_counter() - start)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=2.0)
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)
    import markovify

    text = prose(args.megabytes)
    size = len(text.encode("utf-8"))
    lines = [f"{size / 1e6:.1f} MB of licence texts and documentation; ratios are markovify's over ours.", "",
             "| state size | build (s) ours / markovify | ratio | peak memory (MB) ours / markovify | ratio | "
             "model gz (MB) ours / markovify | ratio | sentences/s ours / markovify | ratio | "
             "first try ours / markovify |", "|---|---|---:|---|---:|---|---:|---|---:|---|"]
    for order in (1, 2, 3):
        ours, ours_s, ours_peak = timed_peak(lambda: (MarkovChain.from_text(text, order), Runs.from_text(text)))
        ours, runs = ours
        theirs, theirs_s, theirs_peak = timed_peak(lambda: markovify.Text(text, state_size=order))
        out = io.StringIO()
        zantu_cjson.dump_json_big(ours, out)
        with tempfile.TemporaryDirectory() as tmp:
            runs.save(Path(tmp) / "r.runs")
            runs_size = (Path(tmp) / "r.runs").stat().st_size
        ours_size = len(gzip.compress(out.getvalue().encode(), 6)) + runs_size
        theirs_size = len(gzip.compress(theirs.to_json().encode(), 6))
        drawn = ours.sentences(seed=1, runs=runs)
        ours_rate = per_second(lambda: next(drawn))
        theirs_rate = per_second(theirs.make_sentence)
        tries = 400
        first = sum(theirs.make_sentence(tries=1) is not None for _ in range(tries)) / tries
        free = list(itertools.islice(ours.sentences(seed=2), tries))
        ours_first = sum(not runs.copies(tokens(s)) for s in free) / len(free)
        lines.append(f"| {order} | {ours_s:.2f} / {theirs_s:.2f} | {theirs_s / ours_s:.1f}x | "
                     f"{ours_peak / 1e6:.0f} / {theirs_peak / 1e6:.0f} | {theirs_peak / ours_peak:.1f}x | "
                     f"{ours_size / 1e6:.2f} / {theirs_size / 1e6:.2f} | {theirs_size / ours_size:.1f}x | "
                     f"{ours_rate:,.0f} / {theirs_rate:,.0f} | {ours_rate / theirs_rate:.0f}x | {ours_first:.0%} / {first:.0%} |")
        print(lines[-1], flush=True)
    lines += ["", "Goals: build 10x, memory 3x, sentences 10x, model 2x (ours: the document and its runs index)."]
    report = "\n".join(lines)
    print(report)
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "text.md").write_text(report + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
