"""MB/s of document for each of the four functions, both forms, on two
corpora of different kinds (the standard library's source; the system's
documentation), chains of orders 1 and 2 built from sentences as `build`
builds them, each against its bound measured in the same run:

- readers: yajl's own parse of the same bytes with no callbacks (the
  library load_json_big drives; load_json_small's JSON library is shown
  beside it);
- writers: a text file's write of the same document, in one piece;

and against what making or walking the chain's own objects costs, the
same chain pickled (its compact form) and unpickled: a reader makes every
bag, state and dict entry that pickle.loads makes, a writer walks what
pickle.dumps walks.

    python benchmarks/throughput.py [--megabytes 6] [--repeat 5] [--out DIR]

Best of --repeat runs each. Absolute figures hold for this run only: the
ratio to the bound is the figure to compare. Writes DIR/throughput.md.
"""

from __future__ import annotations

import argparse
import io
import pickle
import sys
import tempfile
import time
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain
from zantu._native import TextSink
from zantu.corpus import stdlib_files

sys.path.insert(0, str(Path(__file__).resolve().parent))
from bench import backends, bound, yajl_alone  # noqa: E402
from chain_bench import mixed_text  # noqa: E402
from report import write_report  # noqa: E402

GOAL_MB_S = 100.0


def stdlib_text(megabytes):
    parts, size = [], 0
    for path in stdlib_files():
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, ValueError):
            continue
        parts.append(text)
        size += len(text)
        if size >= megabytes * 1e6:
            break
    return "\n\n".join(parts)


def corpora(megabytes):
    with tempfile.TemporaryDirectory() as tmp:
        mixed_text(Path(tmp) / "mixed.txt", megabytes)
        mixed = (Path(tmp) / "mixed.txt").read_text(encoding="utf-8")
    return {"stdlib": stdlib_text(megabytes), "mixed": mixed}


def best(run, repeat):
    """The best time of `repeat` runs; what a run returns is dropped after
    its time is taken (a loaded chain's release is not the load's)."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        made = run()
        times.append(time.perf_counter() - start)
        del made
    return min(times)


def loaded(load, source):
    chain = MarkovChain()
    load(chain, source)
    return chain


def rows_for(chain, compressed, repeat, file, pickled):
    """(function, seconds, bound seconds, bound name, pickle seconds) for one
    chain and form; `pickled`: the (dumps, loads) times of the chain."""
    out = io.StringIO()
    zantu_cjson.dump_json_big(chain, out, compressed)
    text = out.getvalue()
    data = text.encode("utf-8")

    def write_alone():
        with open(file, "w", encoding="utf-8") as f:
            f.write(text)

    def dump(function):
        with open(file, "w", encoding="utf-8") as f:
            function(chain, f, compressed)

    def dump_into_sink():
        # What MarkovChain.save and build write through.
        with open(file, "wb") as f:
            sink = TextSink(f)
            zantu_cjson.dump_json_big(chain, sink, compressed)
            sink.flush()

    write = best(write_alone, repeat)
    rows = [("dump_json_small", best(lambda: dump(zantu_cjson.dump_json_small), repeat), write, "write", pickled[0]),
            ("dump_json_big", best(lambda: dump(zantu_cjson.dump_json_big), repeat), write, "write", pickled[0]),
            ("dump_json_big into a TextSink", best(dump_into_sink, repeat), write, "write", pickled[0])]
    parser = backends()["yajl2_c"]
    parse = best(lambda: yajl_alone(parser)(data), repeat)
    library = best(lambda: zantu_cjson.json.loads(text), repeat)
    rows.append(("load_json_small", best(lambda: loaded(zantu_cjson.load_json_small, io.StringIO(text)), repeat),
                 parse, f"yajl parse ({zantu_cjson.json.__name__}.loads alone: {len(data) / library / 1e6:.0f} MB/s)",
                 pickled[1]))
    with bound(zantu_cjson, "ijson", parser):
        big = best(lambda: loaded(zantu_cjson.load_json_big, io.BytesIO(data)), repeat)
    rows.append(("load_json_big", big, parse, "yajl parse", pickled[1]))
    return len(data), rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=6.0, help="MB of text of each corpus")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)
    lines = [f"{args.megabytes:g} MB of text a corpus, chains from sentences; best of {args.repeat}; "
             f"goal {GOAL_MB_S:.0f} MB/s of document, and the ratio to the bound (time over the bound's).", "",
             "| corpus | order | form | document (MB) | function | MB/s | bound | bound MB/s | ratio to bound | "
             "ratio to pickle |", "|---|---:|---|---:|---|---:|---|---:|---:|---:|"]
    streaming = ["", "The streaming reader against the in-memory one (`load_json_big` time over "
                 "`load_json_small` time, each the best of its runs; goal 1.25 at most):", "",
                 "| corpus | order | form | ratio |", "|---|---:|---|---:|"]
    with tempfile.TemporaryDirectory() as tmp:
        file = Path(tmp) / "document.json"
        for corpus, text in corpora(args.megabytes).items():
            for order in (1, 2):
                chain = MarkovChain.from_text(text, order)
                blob = pickle.dumps(chain, 5)
                pickled = (best(lambda: pickle.dumps(chain, 5), args.repeat),
                           best(lambda: pickle.loads(blob), args.repeat))
                for compressed in (True, False):
                    size, rows = rows_for(chain, compressed, args.repeat, file, pickled)
                    form = "compressed" if compressed else "plain"
                    for function, seconds, bound_seconds, bound_name, pickle_seconds in rows:
                        lines.append(f"| {corpus} | {order} | {form} | {size / 1e6:.1f} | `{function}` | "
                                     f"{size / seconds / 1e6:.0f} | {bound_name} | {size / bound_seconds / 1e6:.0f} | "
                                     f"{seconds / bound_seconds:.1f} | {seconds / pickle_seconds:.1f} |")
                        print(lines[-1], flush=True)
                    seconds = {function: s for function, s, *_ in rows}
                    streaming.append(f"| {corpus} | {order} | {form} | "
                                     f"{seconds['load_json_big'] / seconds['load_json_small']:.2f} |")
    write_report(args.out, "throughput.md", lines + streaming)
    return 0


if __name__ == "__main__":
    sys.exit(main())
