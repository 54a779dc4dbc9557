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
from zantu.text import RunsBuilder, tokens

sys.path.insert(0, str(Path(__file__).resolve().parent))
from chain_bench import mixed_text  # noqa: E402
from report import write_report  # noqa: E402


def prose(megabytes):
    licences = sorted(Path("/usr/share/common-licenses").glob("*"))
    text = "\n\n".join(p.read_text(encoding="utf-8", errors="replace") for p in licences if p.is_file())
    with tempfile.TemporaryDirectory() as tmp:
        mixed_text(Path(tmp) / "mixed.txt", megabytes)
        text += "\n\n" + (Path(tmp) / "mixed.txt").read_text(encoding="utf-8")
    return text[:int(megabytes * 1e6)]


def timed_peak(make, runs=3):
    """Seconds of a call, the best of ``runs`` (untraced: a single call of
    a few hundredths of a second is mostly this machine's noise), and the
    peak of memory it takes (traced)."""
    seconds = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        made = make()
        seconds = min(seconds, time.perf_counter() - start)
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


class Ours:
    """Our chain of `order` built from `text` with its runs index (one pass):
    build time and peak, model sizes (the document gzipped, either form,
    plus the runs index), sentences a second and the share at the first try."""

    def __init__(self, text, order):
        def build():
            runs = RunsBuilder()
            return MarkovChain.from_text(text, order, runs=runs), runs.result()

        (chain, runs), self.seconds, self.peak = timed_peak(build)
        with tempfile.TemporaryDirectory() as tmp:
            runs.save(Path(tmp) / "r.runs")
            runs_size = (Path(tmp) / "r.runs").stat().st_size
        self.compressed, self.plain = (len(gzip.compress(document(chain, form).encode(), 6)) + runs_size
                                       for form in (True, False))
        drawn = chain.sentences(seed=1, runs=runs)
        self.rate = per_second(lambda: next(drawn))
        free = list(itertools.islice(chain.sentences(seed=2), 400))
        self.first = sum(not runs.copies(tokens(s)) for s in free) / len(free)


def document(chain, compressed):
    out = io.StringIO()
    zantu_cjson.dump_json_big(chain, out, compressed)
    return out.getvalue()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=2.0)
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)
    import markovify

    text = prose(args.megabytes)
    size = len(text.encode("utf-8"))
    lines = [f"{size / 1e6:.1f} MB of licence texts and documentation; ratios are markovify's over ours. markovify "
             "drops by default every sentence with a quote or a bracket (the 'as is' rows: about half of this "
             "text); its 'every sentence' rows keep them all (well_formed=False), as ours does.", "",
             "| state size | markovify | build (s) ours / markovify | ratio | peak memory (MB) ours / markovify | "
             "ratio | model gz (MB) ours compressed, plain / markovify | ratio compressed, plain | "
             "sentences/s ours / markovify | ratio | first try ours / markovify |",
             "|---|---|---|---:|---|---:|---|---:|---|---:|---|"]
    for order in (1, 2, 3):
        ours = Ours(text, order)
        for setting, well_formed in (("as is", True), ("every sentence", False)):
            theirs, theirs_s, theirs_peak = timed_peak(
                lambda: markovify.Text(text, state_size=order, well_formed=well_formed))
            theirs_size = len(gzip.compress(theirs.to_json().encode(), 6))
            theirs_rate = per_second(theirs.make_sentence)
            tries = 400
            first = sum(theirs.make_sentence(tries=1) is not None for _ in range(tries)) / tries
            lines.append(f"| {order} | {setting} | {ours.seconds:.2f} / {theirs_s:.2f} | {theirs_s / ours.seconds:.1f}x | "
                         f"{ours.peak / 1e6:.0f} / {theirs_peak / 1e6:.0f} | {theirs_peak / ours.peak:.1f}x | "
                         f"{ours.compressed / 1e6:.2f}, {ours.plain / 1e6:.2f} / {theirs_size / 1e6:.2f} | "
                         f"{theirs_size / ours.compressed:.1f}x, {theirs_size / ours.plain:.1f}x | "
                         f"{ours.rate:,.0f} / {theirs_rate:,.0f} | {ours.rate / theirs_rate:.0f}x | "
                         f"{ours.first:.0%} / {first:.0%} |")
            print(lines[-1], flush=True)
    lines += ["", "Goals: build 10x, memory 3x, sentences 10x, model 2x (ours: the document and its runs index; `build` writes the compressed form unless given --plain)."]
    print(write_report(args.out, "text.md", lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
