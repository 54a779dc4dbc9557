"""Chains of sentences side by side with markovify, on the same text, state
sizes 1 to 3: build time, peak memory of the build, model size on disk
(gzip, both), sentences generated per second, and the share of sentences
that come out at the first try.

    python benchmarks/text_bench.py [--megabytes 2] [--out DIR]

The text is prose-like: the system's licence texts and documentation
(mixed_text of chain_bench.py). markovify draws with its overlap test on
(its defaults); ours draws without one yet. Writes DIR/text.md.
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
             "first try, markovify |", "|---|---|---:|---|---:|---|---:|---|---:|---:|"]
    for order in (1, 2, 3):
        ours, ours_s, ours_peak = timed_peak(lambda: MarkovChain.from_text(text, order))
        theirs, theirs_s, theirs_peak = timed_peak(lambda: markovify.Text(text, state_size=order))
        out = io.StringIO()
        zantu_cjson.dump_json_big(ours, out)
        ours_size = len(gzip.compress(out.getvalue().encode(), 6))
        theirs_size = len(gzip.compress(theirs.to_json().encode(), 6))
        drawn = ours.sentences(seed=1)
        ours_rate = per_second(lambda: next(drawn))
        theirs_rate = per_second(theirs.make_sentence)
        tries = 400
        first = sum(theirs.make_sentence(tries=1) is not None for _ in range(tries)) / tries
        lines.append(f"| {order} | {ours_s:.2f} / {theirs_s:.2f} | {theirs_s / ours_s:.1f}x | "
                     f"{ours_peak / 1e6:.0f} / {theirs_peak / 1e6:.0f} | {theirs_peak / ours_peak:.1f}x | "
                     f"{ours_size / 1e6:.2f} / {theirs_size / 1e6:.2f} | {theirs_size / ours_size:.1f}x | "
                     f"{ours_rate:,.0f} / {theirs_rate:,.0f} | {ours_rate / theirs_rate:.0f}x | {first:.0%} |")
        print(lines[-1], flush=True)
    lines += ["", "Goals: build 10x, memory 3x, sentences 10x (with the overlap test on, both), model 2x."]
    report = "\n".join(lines)
    print(report)
    out_dir = Path(args.out)
    out_dir.mkdir(parents=True, exist_ok=True)
    (out_dir / "text.md").write_text(report + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
