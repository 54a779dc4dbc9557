"""Benchmarks of the four functions against the irreducible work for the same
document and chain, against the plain-Python rendering (tests/pycodec.py), and
against pickle, all measured in one run.

    python benchmarks/bench.py [--tokens N] [--repeat R] [--out DIR] [--check]

Absolute times hold for this run only; the ratios are what to compare. With
--check the exit status is 1 when a goal is missed.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import functools
import gc
import gzip
import importlib
import io
import itertools
import json as std_json
import os
import pickle
import statistics
import subprocess
import sys
import time
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain, ProbabilityBag
from zantu.corpus import stdlib_tokens

HERE = Path(__file__).resolve().parent
# The plain-Python rendering of the format lives with the tests.
sys.path.insert(0, str(HERE.parent / "tests"))
import pycodec  # noqa: E402

GOALS = {
    "reader": 1.25,          # each reader / its irreducible work
    "streaming writer": 1.5,
    "in-memory writer": 2.0,
    "speed-up": 5.0,         # plain Python / native, on a chain of built-in methods
    "memory": 16.0,          # MB of peak growth from a 10 MB to a 200 MB document
    # The streaming reader driving yajl itself: its speed-up over the same
    # reader through the backend's events, and its time over yajl's parse
    # alone plus the replayed add_to_bag calls, and over load_json_small.
    "driven yajl2_cffi": 10.0,
    "driven yajl2_c": 2.0,
    "driven ratio": 1.25,
}


# The block size load_json_big gives ijson's own basic_parse: the parse
# alone is timed with it too (it is faster than with ijson's default 64 KiB,
# whose batches of events no longer fit the caches).
PARSER_BLOCK = 2048


def timed(run):
    gc.collect()
    t0 = time.perf_counter()
    run()
    return time.perf_counter() - t0


def shortcuts_line():
    """Which of the codec's shortcuts are on in this interpreter, and which off."""
    report = zantu_cjson.__fast_paths__()
    return (f"Python {sys.version.split()[0]}: shortcuts on: {', '.join(n for n, on in report.items() if on) or 'none'};"
            f" off: {', '.join(n for n, on in report.items() if not on) or 'none'}")


def median_time(run, repeat):
    return statistics.median(timed(run) for _ in range(repeat))


def paired(run, parts, repeat):
    """Times `run` and, right after it in each round, the parts of its
    irreducible work, so that both see the same state of the machine: the
    medians of both times and of the per-round ratios."""
    runs, bases, ratios = [], [], []
    for _ in range(repeat):
        t = timed(run)
        base = sum(timed(part) for part in parts)
        runs.append(t)
        bases.append(base)
        ratios.append(t / base)
    return statistics.median(runs), statistics.median(bases), statistics.median(ratios)


@contextlib.contextmanager
def bound(module, name, value):
    """Rebinds a module-level name for the length of a block."""
    saved = getattr(module, name)
    setattr(module, name, value)
    try:
        yield
    finally:
        setattr(module, name, saved)


def backends():
    found = {}
    for name in ("yajl2_c", "yajl2_cffi", "python"):
        try:
            found[name] = importlib.import_module("ijson.backends." + name)
        except ImportError:
            pass
    return found


# ---------------------------------------------------------------------------
# A chain whose methods do almost no work: bound methods of built-in objects.

class FastBag:
    __slots__ = ("choices", "unique_count")

    def __init__(self, pairs):
        self.choices = pairs.__iter__
        self.unique_count = len(pairs)


class FastChain:
    """Writes through list.__iter__ and a dict held by itertools.repeat; loads
    into dict.__setitem__ and, for add_to_bag(start, item, count=n), str.format
    of an empty str: no method of a built-in container takes a keyword
    `count`, and format takes any arguments and keeps nothing."""

    def __init__(self, chain=None):
        self.entries = []
        frequencies = {}
        if chain is not None:
            self.entries = [(s, FastBag(list(b.choices()))) for s, b in chain.items()]
            frequencies = chain.build_frequency_dict()
        self.items = self.entries.__iter__
        self.build_frequency_dict = itertools.repeat(frequencies).__next__
        self.bags = {}
        self.set_bag = self.bags.__setitem__
        self.clear = self.bags.clear
        self.add_to_bag = "".format

    def __len__(self):
        return len(self.entries)


class FastProbabilityBag:
    __slots__ = ()

    def add(self, item, count=1):
        pass


# ---------------------------------------------------------------------------
# Recording what a call does, to replay it as the irreducible work.

class Capture:
    """Stands in for the encoder to capture the document dump_json_small builds."""

    def __init__(self, real):
        self.real, self.document = real, None

    def dumps(self, value):
        return self.real.dumps(value)

    def dump(self, document, file):
        self.document = document


class PieceList:
    def __init__(self):
        self.pieces = []
        self.write = self.pieces.append


class CallLog:
    """A chain that records the calls a reader makes on it."""

    def __init__(self):
        self.calls = []

    def clear(self):
        self.calls.append(("clear",))

    def set_bag(self, start, bag):
        self.calls.append(("set_bag", start, bag.added))

    def add_to_bag(self, start, item, count=1):
        lazy = not isinstance(item, (list, tuple))
        self.calls.append(("add_to_bag", start, tuple(item) if lazy else item, count, lazy))


class LogBag:
    def __init__(self):
        self.added = []

    def add(self, item, count=1):
        self.added.append((item, count))


def replay_small(calls, chain, bag_class):
    for call in calls:
        if call[0] == "clear":
            chain.clear()
        else:
            bag = bag_class()
            add = bag.add
            for item, count in call[2]:
                add(item, count=count)
            chain.set_bag(call[1], bag)


def replay_big(calls, chain):
    add_to_bag = chain.add_to_bag
    for call in calls:
        if call[0] == "clear":
            chain.clear()
        else:
            _, start, item, count, lazy = call
            add_to_bag(start, iter(item) if lazy else item, count=count)


def shared_calls(calls, chain):
    """The add_to_bag calls of a load on `chain`, made with no Python-level
    loop: what any streaming reader must spend on them. Each with a count of
    1 (a keyword either way) and, where the reader hands over an item to be
    iterated, a fresh iterator over it."""
    pairs = [call for call in calls if call[0] != "clear"]
    starts = [call[1] for call in pairs]
    items = [call[2] for call in pairs]
    add = functools.partial(chain.add_to_bag, count=1)
    lazy = any(call[4] for call in pairs)

    def run():
        collections.deque(map(add, starts, map(iter, items) if lazy else items), maxlen=0)

    return run


def walk(chain, compress):
    if compress:
        list(chain.build_frequency_dict().items())
    for _start, bag in chain.items():
        for _pair in bag.choices():
            pass


# ---------------------------------------------------------------------------

def measure(chain, fast, repeat, py_repeat, wanted=lambda function: True):
    rows = []
    for compress in (True, False):
        form = "compressed" if compress else "plain"
        rows += writer_rows(chain, fast, compress, form, repeat, py_repeat, wanted)
        rows += reader_rows(chain, compress, form, repeat, py_repeat, wanted)
    return rows


def writer_rows(chain, fast, compress, form, repeat, py_repeat, wanted):
    rows = []
    encoder = zantu_cjson.json
    # In-memory writer: walking the chain, then the encoder alone.
    if wanted("dump_json_small"):
        capture = Capture(encoder)
        with bound(zantu_cjson, "json", capture):
            zantu_cjson.dump_json_small(chain, io.StringIO(), compress)
        document = capture.document
        timing = paired(lambda: zantu_cjson.dump_json_small(chain, io.StringIO(), compress),
                        [lambda: walk(chain, compress), lambda: encoder.dump(document, io.StringIO())], repeat)
        rows.append(row("dump_json_small", form, "in-memory writer", timing,
                        lambda: zantu_cjson.dump_json_small(fast, io.StringIO(), compress),
                        lambda: pycodec.dump_json_small(fast, io.StringIO(), compress), repeat, py_repeat))

    # Streaming writer: walking the chain, then the same writes replayed.
    if wanted("dump_json_big"):
        pieces = PieceList()
        zantu_cjson.dump_json_big(chain, pieces, compress)

        def replay_writes():
            write = io.StringIO().write
            for piece in pieces.pieces:
                write(piece)

        timing = paired(lambda: zantu_cjson.dump_json_big(chain, io.StringIO(), compress),
                        [lambda: walk(chain, compress), replay_writes], repeat)
        rows.append(row("dump_json_big", form, "streaming writer", timing,
                        lambda: zantu_cjson.dump_json_big(fast, io.StringIO(), compress),
                        lambda: pycodec.dump_json_big(fast, io.StringIO(), compress), repeat, py_repeat))
    return rows


def reader_rows(chain, compress, form, repeat, py_repeat, wanted):
    rows = []
    encoder = zantu_cjson.json
    parsers = backends()
    text = io.StringIO()
    zantu_cjson.dump_json_big(chain, text, compress)
    text = text.getvalue()
    data = text.encode("utf-8")

    # In-memory reader: json.load alone, then the same chain calls replayed.
    target = MarkovChain()
    if wanted("load_json_small"):
        log = CallLog()
        with bound(zantu_cjson, "ProbabilityBag", LogBag):
            zantu_cjson.load_json_small(log, io.StringIO(text))
        timing = paired(lambda: zantu_cjson.load_json_small(target, io.StringIO(text)),
                        [lambda: encoder.load(io.StringIO(text)),
                         lambda: replay_small(log.calls, target, ProbabilityBag)], repeat)

        def fast_small(module):
            with bound(module, "ProbabilityBag", FastProbabilityBag):
                module.load_json_small(FastChain(), io.StringIO(text))

        rows.append(row("load_json_small", form, "reader", timing, lambda: fast_small(zantu_cjson),
                        lambda: fast_small(pycodec), repeat, py_repeat))

    # Streaming reader, per parser backend: basic_parse consumed alone,
    # then the same add_to_bag calls replayed.
    for name, backend in parsers.items():
        if not wanted(f"load_json_big[{name}]"):
            continue
        with bound(zantu_cjson, "ijson", backend):
            log = CallLog()
            zantu_cjson.load_json_big(log, io.BytesIO(data))

            def consume():
                events = backend.basic_parse(io.BytesIO(data), buf_size=PARSER_BLOCK)
                collections.deque(events, maxlen=0)

            timing = paired(lambda: zantu_cjson.load_json_big(target, io.BytesIO(data)),
                            [consume, lambda: replay_big(log.calls, target)], repeat)

            def py_big():
                with bound(pycodec, "ijson", backend):
                    pycodec.load_json_big(FastChain(), io.BytesIO(data))

            # What the chain of built-in methods leaves to any reader:
            # the parse and its add_to_bag calls, neither in a Python loop.
            shared = [consume, shared_calls(log.calls, FastChain())]
            rows.append(row(f"load_json_big[{name}]", form, "reader", timing,
                            lambda: zantu_cjson.load_json_big(FastChain(), io.BytesIO(data)), py_big,
                            repeat, py_repeat if name != "python" else 1, shared))
    return rows


def yajl_alone(backend):
    """yajl's own parse of a document in the reader's blocks, with no
    callbacks: the library the backend calls, through ctypes."""
    import ctypes
    import ctypes.util
    if backend.__name__.endswith("yajl2_c"):
        library = ctypes.CDLL(backend._yajl2.__file__)  # its yajl found through it
    else:
        library = ctypes.CDLL(os.getenv("YAJL_DLL") or ctypes.util.find_library("yajl"))
    library.yajl_alloc.restype = ctypes.c_void_p
    library.yajl_alloc.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
    library.yajl_parse.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    library.yajl_complete_parse.argtypes = [ctypes.c_void_p]
    library.yajl_free.argtypes = [ctypes.c_void_p]
    no_callbacks = (ctypes.c_void_p * 11)()

    def parse(data):
        handle = library.yajl_alloc(no_callbacks, None, None)
        try:
            for start in range(0, len(data), PARSER_BLOCK):
                block = data[start:start + PARSER_BLOCK]
                if library.yajl_parse(handle, block, len(block)) != 0:
                    raise ValueError("yajl failed")
            if library.yajl_complete_parse(handle) != 0:
                raise ValueError("yajl failed")
        finally:
            library.yajl_free(handle)

    return parse


def measure_driven(chain, repeat):
    """The streaming reader driving each yajl backend itself, against the
    same reader through that backend's events (the native parse switched
    off), against yajl's parse alone plus the replayed add_to_bag calls, and
    against load_json_small on the same document, into a MarkovChain."""
    rows = []
    parsers = {name: b for name, b in backends().items() if name != "python"}
    for compress in (True, False):
        text = io.StringIO()
        zantu_cjson.dump_json_big(chain, text, compress)
        text = text.getvalue()
        data = text.encode("utf-8")

        def small():
            zantu_cjson.load_json_small(MarkovChain(), io.StringIO(text))

        for name, backend in parsers.items():
            with bound(zantu_cjson, "ijson", backend):
                log = CallLog()
                zantu_cjson.load_json_big(log, io.BytesIO(data))
                parse = yajl_alone(backend)
                # Against load_json_small timed right after it in each round
                # (the ratio is the median of the rounds' ratios; both take
                # a tenth of a second, and more rounds steady the ratio).
                driven, small_time, over_small = paired(
                    lambda: zantu_cjson.load_json_big(MarkovChain(), io.StringIO(text)), [small], max(repeat, 11))
                zantu_cjson.__fast_paths__(native_parser=False)
                try:
                    events = median_time(lambda: zantu_cjson.load_json_big(MarkovChain(), io.StringIO(text)),
                                         repeat)
                finally:
                    zantu_cjson.__fast_paths__(native_parser=True)
                alone = median_time(lambda: parse(data), repeat)
                target = MarkovChain()
                replayed = median_time(lambda: replay_big(log.calls, target), repeat)
            rows.append({"backend": name, "form": "compressed" if compress else "plain", "driven": driven,
                         "events": events, "speedup": events / driven, "yajl": alone, "replay": replayed,
                         "ratio": driven / (alone + replayed), "small": small_time, "over_small": over_small})
    return rows


def driven_report(rows):
    lines = ["", "The streaming reader driving yajl itself (`load_json_big` into a MarkovChain, a text file):", "",
             "| backend | form | driven (s) | events (s) | speed-up | goal | yajl alone + replay (s) | ratio "
             "| load_json_small (s) | ratio to it | goal |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        lines.append(f"| {r['backend']} | {r['form']} | {r['driven']:.3f} | {r['events']:.3f} | "
                     f"{r['speedup']:.1f}x | {GOALS['driven ' + r['backend']]:.0f}x | "
                     f"{r['yajl']:.3f} + {r['replay']:.3f} | {r['ratio']:.2f} | {r['small']:.3f} | "
                     f"{r['over_small']:.2f} | {GOALS['driven ratio']:.2f} |")
    return "\n".join(lines)


def row(function, form, kind, timing, native_fast, python_fast, repeat, py_repeat, shared=None):
    """`shared`: the parts of the work on the chain of built-in methods that
    the plain-Python rendering and any native function both must do; the
    plain-Python time over theirs is the most any native function can gain."""
    t_fn, t_base, ratio = timing
    t_native_fast = median_time(native_fast, repeat)
    t_python_fast = median_time(python_fast, py_repeat)
    ceiling = None
    if shared:
        ceiling = t_python_fast / sum(median_time(part, py_repeat) for part in shared)
    return {"function": function, "form": form, "kind": kind, "time": t_fn, "irreducible": t_base,
            "ratio": ratio, "native_fast": t_native_fast, "python_fast": t_python_fast,
            "speedup": t_python_fast / t_native_fast, "ceiling": ceiling}


def sizes(chain, repeat):
    result = {}
    for compress in (True, False):
        out = io.StringIO()
        zantu_cjson.dump_json_big(chain, out, compress)
        data = out.getvalue().encode("utf-8")
        form = "compressed" if compress else "plain"
        result[form] = {"bytes": len(data), "gzip": len(gzip.compress(data))}
    blob = pickle.dumps(chain, pickle.HIGHEST_PROTOCOL)
    result["pickle"] = {"bytes": len(blob), "gzip": len(gzip.compress(blob)),
                        "dump": median_time(lambda: pickle.dumps(chain, pickle.HIGHEST_PROTOCOL), repeat),
                        "load": median_time(lambda: pickle.loads(blob), repeat)}
    return result


def memory_growth():
    """Peak memory of the streaming writer and reader for a 10 MB and a 200 MB
    document of the same vocabulary, each in a fresh process."""
    result = {}
    for what in ("write", "read"):
        peaks = {}
        for mb in (10, 200):
            out = subprocess.run([sys.executable, str(HERE / "memory.py"), what, str(mb)], capture_output=True,
                                 text=True, check=True)
            peaks[mb] = std_json.loads(out.stdout)
        result[what] = {"peak_10": peaks[10]["peak_mb"], "peak_200": peaks[200]["peak_mb"],
                        "bytes_10": peaks[10]["bytes"], "bytes_200": peaks[200]["bytes"],
                        "growth": peaks[200]["peak_mb"] - peaks[10]["peak_mb"]}
    return result


def report(rows, size, memory, tokens, starts):
    lines = [f"Workload: {tokens:,} word tokens of the standard library's source, {starts:,} starts; "
             f"documents of {size['compressed']['bytes'] / 1e6:.1f} MB (compressed form) and "
             f"{size['plain']['bytes'] / 1e6:.1f} MB (plain form).", "",
             "| function | form | time (s) | irreducible (s) | ratio | goal | speed-up over plain Python "
             "| at most |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for r in rows:
        goal = GOALS[r["kind"]]
        ceiling = f"{r['ceiling']:.1f}x" if r.get("ceiling") else ""
        lines.append(f"| {r['function']} | {r['form']} | {r['time']:.3f} | {r['irreducible']:.3f} | "
                     f"{r['ratio']:.2f} | {goal:.2f} | {r['speedup']:.1f}x | {ceiling} |")
    lines += ["", "| document | bytes | gzip bytes | dump (s) | load (s) |", "|---|---:|---:|---:|---:|"]
    for form in ("compressed", "plain"):
        lines.append(f"| {form} form | {size[form]['bytes']:,} | {size[form]['gzip']:,} | | |")
    p = size["pickle"]
    lines.append(f"| pickle (MarkovChain) | {p['bytes']:,} | {p['gzip']:,} | {p['dump']:.3f} | {p['load']:.3f} |")
    if memory:
        lines += ["", "| streaming | peak at 10 MB (MB) | peak at 200 MB (MB) | growth (MB) | goal |",
                  "|---|---:|---:|---:|---:|"]
        for what, m in memory.items():
            lines.append(f"| {what} | {m['peak_10']:.1f} | {m['peak_200']:.1f} | {m['growth']:.1f} | "
                         f"{GOALS['memory']:.0f} |")
    return "\n".join(lines)


def missed_goals(rows, memory, driven=None):
    missed = []
    for r in rows:
        if r["ratio"] > GOALS[r["kind"]]:
            missed.append(f"{r['function']} ({r['form']}): ratio {r['ratio']:.2f} > {GOALS[r['kind']]}")
        if r["speedup"] < GOALS["speed-up"]:
            at_most = f" (at most {r['ceiling']:.1f} for any reader)" if r.get("ceiling") else ""
            missed.append(f"{r['function']} ({r['form']}): speed-up {r['speedup']:.1f} < {GOALS['speed-up']}"
                          + at_most)
    for what, m in (memory or {}).items():
        if m["growth"] > GOALS["memory"]:
            missed.append(f"streaming {what}: memory growth {m['growth']:.1f} MB > {GOALS['memory']} MB")
    for r in driven or []:
        label = f"load_json_big driving {r['backend']} ({r['form']})"
        if r["speedup"] < GOALS["driven " + r["backend"]]:
            missed.append(f"{label}: speed-up {r['speedup']:.1f} < {GOALS['driven ' + r['backend']]}")
        for what, ratio in (("yajl alone + replay", r["ratio"]), ("load_json_small", r["over_small"])):
            if ratio > GOALS["driven ratio"]:
                missed.append(f"{label}: {ratio:.2f} x {what} > {GOALS['driven ratio']}")
    return missed


def chart(rows, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    # The backend on a line of its own: the labels of neighbouring bars
    # must not run into each other.
    labels = [f"{r['function'].replace('[', chr(10) + '[')}\n{r['form']}" for r in rows]
    fig, (ax1, ax2) = plt.subplots(2, 1, figsize=(12, 8))
    ax1.bar(labels, [r["ratio"] for r in rows], color="tab:blue")
    for r, x in zip(rows, range(len(rows))):
        ax1.plot([x - 0.4, x + 0.4], [GOALS[r["kind"]]] * 2, color="tab:red")
    ax1.set_ylabel("time / irreducible work")
    ax1.set_title("Native function against the irreducible work (red: goal)")
    ax2.bar(labels, [r["speedup"] for r in rows], color="tab:green")
    ax2.axhline(GOALS["speed-up"], color="tab:red")
    for x, r in enumerate(rows):
        if r.get("ceiling"):
            ax2.plot([x - 0.4, x + 0.4], [r["ceiling"]] * 2, color="black")
    ax2.set_ylabel("plain Python / native")
    ax2.set_title("Speed-up over the plain-Python rendering, chain of built-in methods "
                  "(red: goal; black: the most the shared work allows)")
    for ax in (ax1, ax2):
        ax.tick_params(axis="x", labelsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tokens", type=int, default=1_200_000, help="word tokens (default: a ~5 MB document)")
    parser.add_argument("--repeat", type=int, default=5, help="runs per measurement (the median is taken)")
    parser.add_argument("--out", default="bench-results", help="folder for results.json, results.md, chart.png")
    parser.add_argument("--no-memory", action="store_true", help="skip the 10 MB / 200 MB memory runs")
    parser.add_argument("--check", action="store_true", help="exit 1 when a goal is missed")
    parser.add_argument("--only", action="append", default=[], metavar="FUNCTION",
                        help="measure only the rows whose function starts with this "
                             "(dump_json_big, load_json_big[yajl2_c], ...); may be repeated")
    args = parser.parse_args(argv)

    print(shortcuts_line())
    tokens = stdlib_tokens(args.tokens)
    chain = MarkovChain.from_tokens(tokens)
    fast = FastChain(chain)

    def wanted(function):
        return not args.only or any(function.startswith(prefix) for prefix in args.only)

    rows = measure(chain, fast, args.repeat, max(1, min(3, args.repeat)), wanted)
    driven = []
    if zantu_cjson.__fast_paths__()["native_parser"] and wanted("load_json_big"):
        driven = measure_driven(chain, args.repeat)
    size = sizes(chain, args.repeat)
    memory = None if args.no_memory else memory_growth()
    text = report(rows, size, memory, len(tokens), len(chain)) + (driven_report(driven) if driven else "")
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    (out / "results.md").write_text(text + "\n", encoding="utf-8")
    (out / "results.json").write_text(std_json.dumps({"rows": rows, "sizes": size, "memory": memory,
                                                      "driven": driven}, indent=1),
                                      encoding="utf-8")
    drew = chart(rows, out / "chart.png")
    print(text)
    print(f"\nresults in {out}/" + (" (with chart.png)" if drew else ""))
    missed = missed_goals(rows, memory, driven)
    for line in missed:
        print("missed:", line)
    return 1 if (args.check and missed) else 0


if __name__ == "__main__":
    sys.exit(main())
