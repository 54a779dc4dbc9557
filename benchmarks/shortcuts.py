"""What each shortcut of the codec buys: every row timed with the shortcut
on and off, in alternating rounds of one run, on the package's chain and on
a chain of built-in methods (a caller's own chain, iterated as dicts and
lists).

    python benchmarks/shortcuts.py [--tokens N] [--repeat R] [--corpus stdlib|mixed] [--out DIR]

The mixed corpus is text of another kind: the system's documentation
(copyright notices, changelogs, manual pages) before the standard library.

Prints which shortcuts are on in this interpreter, then the table; writes
DIR/shortcuts-<python>.md. A shortcut pays when some row runs at least 5%
slower without it.
"""

from __future__ import annotations

import argparse
import io
import json as std_json
import platform
import statistics
import sys
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain
from zantu._native import TextSink
from zantu.corpus import stdlib_tokens

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import FastChain, FastProbabilityBag, backends, bound, shortcuts_line, timed  # noqa: E402

PAYS = 0.05
WRITERS = ("dump_json_small", "dump_json_big")
# The rows each shortcut can change.
ROWS = {
    "cached_lookups": WRITERS,
    "iterator_views": WRITERS,
    "encoder_texts": WRITERS + ("dump_json_small[json]", "dump_json_big[json]"),
    "document_text": ("dump_json_small",),
    "ujson_load": ("load_json_small",),
    "direct_load": ("load_json_small",),
    "native_chain": WRITERS + ("load_json_small", "load_json_big[yajl2_c]"),
    "native_log10": WRITERS,
    "native_builder": ("load_json_big[yajl2_c]", "load_json_big[yajl2_c events]"),
    # Only the events are read in blocks (a file the reader does not drive
    # yajl for, or with native_parser off).
    "parser_blocks": ("load_json_big[yajl2_c events]",),
    "native_parser": ("load_json_big[yajl2_c]", "load_json_big[yajl2_cffi]"),
    "piece_caches": ("dump_json_big",),
    "text_sink": ("dump_json_big[sink]",),
    "sorted_values": WRITERS,
    "held_rows": ("load_json_big[yajl2_c]",),
    "resting_bags": ("load_json_big[yajl2_c]", "load_json_big[yajl2_c events]"),
}


def on_and_off(name, run, repeat):
    """Medians of the times with the shortcut on and off, rounds alternating."""
    on, off = [], []
    for _ in range(repeat):
        on.append(timed(run))
        zantu_cjson.__fast_paths__(**{name: False})
        try:
            off.append(timed(run))
        finally:
            zantu_cjson.__fast_paths__(**{name: True})
    return statistics.median(on), statistics.median(off)


def workload(function, chain, compress, texts):
    """A call of `function` (a row name) on `chain`, ready to be timed."""
    name, _, binding = function.partition("[")
    binding = binding.rstrip("]")
    if name.startswith("dump"):
        writer = getattr(zantu_cjson, name)

        def run():
            if binding == "json":
                with bound(zantu_cjson, "json", std_json):
                    writer(chain, io.StringIO(), compress)
            elif binding == "sink":  # the file MarkovChain.save writes into
                sink = TextSink(io.BytesIO())
                writer(chain, sink, compress)
                sink.flush()
            else:
                writer(chain, io.StringIO(), compress)
        return run
    text = texts[compress]
    fast = isinstance(chain, FastChain)
    target = FastChain() if fast else MarkovChain()
    if name == "load_json_small":
        def run():
            if fast:
                with bound(zantu_cjson, "ProbabilityBag", FastProbabilityBag):
                    zantu_cjson.load_json_small(target, io.StringIO(text))
            else:
                zantu_cjson.load_json_small(target, io.StringIO(text))
        return run
    data = text.encode("utf-8")
    binding, _, events = binding.partition(" ")
    backend = backends()[binding]

    def run():
        with bound(zantu_cjson, "ijson", backend):
            if events:  # through the events: yajl not driven
                zantu_cjson.__fast_paths__(native_parser=False)
            try:
                zantu_cjson.load_json_big(target, io.BytesIO(data))
            finally:
                if events:
                    zantu_cjson.__fast_paths__(native_parser=True)
    return run


def documents(chain):
    """The chain's document in each form, by the compress flag."""
    texts = {}
    for compress in (True, False):
        out = io.StringIO()
        zantu_cjson.dump_json_big(chain, out, compress)
        texts[compress] = out.getvalue()
    return texts


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=600_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--corpus", choices=("stdlib", "mixed"), default="stdlib")
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)

    report = zantu_cjson.__fast_paths__()
    python = platform.python_version()
    print(shortcuts_line())

    if args.corpus == "mixed":
        import tempfile

        from chain_bench import mixed_text
        from zantu.corpus import tokenize
        with tempfile.TemporaryDirectory() as tmp:
            mixed_text(Path(tmp) / "mixed.txt", args.tokens * 7 / 1e6)  # about 7 bytes a token
            tokens = tokenize((Path(tmp) / "mixed.txt").read_text(encoding="utf-8"))[:args.tokens]
    else:
        tokens = stdlib_tokens(args.tokens)
    chain = MarkovChain.from_tokens(tokens)
    chains = {"MarkovChain": chain, "own chain": FastChain(chain)}
    texts = documents(chain)
    # What resting_bags spares grows with the bags a load makes: its rows
    # load a chain of order 2 (a bag for nearly every two tokens).
    many_bags = MarkovChain.from_tokens(tokens, 2)
    subjects = {"resting_bags": ({"MarkovChain, order 2": many_bags}, documents(many_bags))}

    lines = [f"Python {python}, {args.corpus} corpus, {len(tokens):,} tokens, median of {args.repeat} alternating "
             "rounds.", "",
             "| shortcut | row | chain | form | on (s) | off (s) | off / on |", "|---|---|---|---|---:|---:|---:|"]
    best = {}
    for name, on in report.items():
        if not on:
            continue
        best[name] = 0.0
        these, their_texts = subjects.get(name, (chains, texts))
        for function in ROWS[name]:
            for label, subject in these.items():
                if name == "native_chain" and label != "MarkovChain":
                    continue
                for compress in (True, False):
                    run = workload(function, subject, compress, their_texts)
                    t_on, t_off = on_and_off(name, run, args.repeat)
                    best[name] = max(best[name], t_off / t_on - 1)
                    form = "compressed" if compress else "plain"
                    lines.append(f"| {name} | {function} | {label} | {form} | {t_on:.4f} | {t_off:.4f} | "
                                 f"{t_off / t_on:.2f} |")
    lines += ["", "| shortcut | largest gain | pays (5%) |", "|---|---:|---|"]
    lines += [f"| {name} | {gain:+.0%} | {'yes' if gain >= PAYS else 'NO'} |" for name, gain in best.items()]
    text = "\n".join(lines)
    print(text)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / f"shortcuts-{python}-{args.corpus}.md").write_text(text + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
