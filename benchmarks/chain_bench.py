"""The package's chain against the plain-Python chain it replaced (kept in
tests/reference_chain.py), markovify's Chain and pickle, all measured in
this run on the standard library's own source.

    python benchmarks/chain_bench.py [--out DIR] [--build-mb 80] [--jobs-mb 200] [--repeat 3]

Writes DIR/chain.md (a table of ratios, each against its goal) and
DIR/chain.png. Absolute times hold for this run only.
"""

from __future__ import annotations

import argparse
import gc
import io
import itertools
import pickle
import re
import subprocess
import sys
import tempfile
import time
import tracemalloc
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain
from zantu.corpus import stdlib_files, stdlib_tokens

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference_chain  # noqa: E402

Plain = reference_chain.MarkovChain


def best(run, repeat):
    """The shortest of `repeat` runs of `run()`, in seconds (collector off,
    as timeit has it)."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter()
            run()
            times.append(time.perf_counter() - start)
        finally:
            gc.enable()
    return min(times)


def yajl2_c():
    import ijson
    return ijson.get_backend("yajl2_c")


def with_parser(parser, run, bag_class=None):
    """run() with `parser` bound as the codec's ijson and, for the plain
    chain, its own bag class bound as the codec's ProbabilityBag (as it was
    before the native types)."""
    saved = zantu_cjson.ijson, zantu_cjson.ProbabilityBag
    zantu_cjson.ijson = parser
    if bag_class is not None:
        zantu_cjson.ProbabilityBag = bag_class
    try:
        return run()
    finally:
        zantu_cjson.ijson, zantu_cjson.ProbabilityBag = saved


def build_rows(tokens, repeat):
    import markovify
    rows = []
    for order in (1, 2):
        ours = best(lambda: MarkovChain.from_tokens(tokens, order), repeat)
        plain = best(lambda: Plain.from_tokens(tokens, order), max(1, repeat - 1))
        peer = best(lambda: markovify.Chain([tokens], state_size=order), max(1, repeat - 1))
        rows.append((f"from_tokens, order {order}", "plain-Python chain", plain / ours, 10.0, ours))
        rows.append((f"from_tokens, order {order}", "markovify Chain", peer / ours, 10.0, ours))
    return rows


def codec_rows(tokens, repeat):
    rows = []
    ours, plain = MarkovChain.from_tokens(tokens, 2), Plain.from_tokens(tokens, 2)
    parser = yajl2_c()
    for writer, goal in (("dump_json_small", 2.0), ("dump_json_big", 2.0)):
        dump = getattr(zantu_cjson, writer)
        mine = best(lambda: dump(ours, io.StringIO()), repeat)
        theirs = best(lambda: dump(plain, io.StringIO()), repeat)
        rows.append((f"{writer} from a chain", "plain-Python chain", theirs / mine, goal, mine))
    text = io.StringIO()
    zantu_cjson.dump_json_small(ours, text)
    document = text.getvalue().encode()
    for reader in ("load_json_small", "load_json_big"):
        load = getattr(zantu_cjson, reader)
        mine = best(lambda: with_parser(parser, lambda: load(MarkovChain(), io.BytesIO(document))), repeat)
        theirs = best(lambda: with_parser(parser, lambda: load(Plain(), io.BytesIO(document)),
                                          reference_chain.ProbabilityBag), max(1, repeat - 1))
        rows.append((f"{reader} into a chain", "plain-Python chain", theirs / mine, 3.0, mine))
        if reader == "load_json_small":
            small_load = mine
    small_dump = best(lambda: zantu_cjson.dump_json_small(ours, io.StringIO()), repeat)
    pickled = pickle.dumps(plain, pickle.HIGHEST_PROTOCOL)
    rows.append(("dump_json_small", "pickle.dumps (plain chain)",
                 best(lambda: pickle.dumps(plain, pickle.HIGHEST_PROTOCOL), repeat) / small_dump, 1.0, small_dump))
    rows.append(("load_json_small", "pickle.loads (plain chain)",
                 best(lambda: pickle.loads(pickled), repeat) / small_load, 1.0, small_load))
    return rows, len(document)


def traced(make):
    gc.collect()
    tracemalloc.start()
    kept = make()
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    del kept
    return size


def memory_rows(tokens):
    rows = []
    for order in (1, 2):
        ours = traced(lambda: MarkovChain.from_tokens(tokens, order))
        plain = traced(lambda: Plain.from_tokens(tokens, order))
        rows.append((f"memory of a chain, order {order}", "plain-Python chain", plain / ours, 2.0, ours / 1e6))
    return rows


def generation_row(tokens):
    chain = MarkovChain.from_tokens(tokens, 1)
    n = 1_000_000
    start = time.perf_counter()
    for _ in itertools.islice(chain.walk("the", seed=1), n):
        pass
    rate = n / (time.perf_counter() - start)
    return [("walk (values per second, millions)", "1 M a second", rate / 1e6, 1.0, rate)]


# `python -m zantu build TEXT -o OUT` in a process of its own, reporting its
# peak resident memory (the high-water mark of this process's own memory:
# a child's getrusage counts the parent it was forked from). With `plain`,
# the build as it was with the plain-Python chain: the whole text's tokens
# read first, then counted, then written with the in-memory writer.
BUILD = """
import sys
sys.path.insert(0, {tests!r})
import reference_chain, zantu.cli, zantu.terminal
text, out = sys.argv[1], sys.argv[2]
if {plain}:
    from zantu.corpus import tokenize
    chain = reference_chain.MarkovChain()
    bar = zantu.terminal.Bar("reading", None)
    chain.add_tokens([t for block in zantu.terminal.text_blocks(text, bar) for t in tokenize(block)], 1)
    bar.close()
    zantu.cli.save(chain, out, True, "small")
else:
    zantu.cli.main(["build", text, "-o", out, "--jobs", "{jobs}"])
import resource
with open("/proc/self/status") as status:
    print([line for line in status if line.startswith("VmHWM")][0], file=sys.stderr)
# The workers' largest peak (they were reaped by the pool's shutdown).
print("children", resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss, file=sys.stderr)
"""


def timed_build(text, out, plain, jobs=1):
    """Seconds and peak resident memory (MB) of one build: the command's
    process, plus its largest worker's when it had workers."""
    code = BUILD.format(tests=str(Path(__file__).resolve().parent.parent / "tests"), plain=plain, jobs=jobs)
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", code, text, out], capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    peak = float(re.findall(r"VmHWM:\s*(\d+)", done.stderr)[-1]) / 1024
    workers = float(re.findall(r"children (\d+)", done.stderr)[-1]) / 1024 if jobs > 1 else 0.0
    return seconds, peak + workers


def build_cli_rows(megabytes):
    with tempfile.TemporaryDirectory() as tmp:
        text = Path(tmp) / "text.txt"
        with open(text, "w", encoding="utf-8") as out:
            written = 0
            for path in itertools.cycle(list(stdlib_files())):
                try:
                    chunk = path.read_text(encoding="utf-8")
                except (OSError, UnicodeDecodeError):
                    continue
                out.write(chunk)
                written += len(chunk)
                if written >= megabytes * 1e6:
                    break
        ours = timed_build(str(text), str(Path(tmp) / "ours.json"), False)
        plain = timed_build(str(text), str(Path(tmp) / "plain.json"), True)
        if (Path(tmp) / "ours.json").read_bytes() != (Path(tmp) / "plain.json").read_bytes():
            raise RuntimeError("the two builds wrote different documents")
    return [(f"build on {megabytes} MB of text", "plain-Python chain", plain[0] / ours[0], 5.0, ours[0]),
            (f"build on {megabytes} MB of text: peak memory", "plain-Python chain", plain[1] / ours[1], 2.0, ours[1])]


def mixed_text(path, megabytes):
    """Text of another kind than source code, and larger: the system's
    documentation (copyright notices, changelogs, manual pages), then the
    standard library's source, up to `megabytes` MB; nothing repeated."""
    import gzip
    roots = [Path("/usr/share/doc"), Path("/usr/share/man")]
    files = [p for root in roots if root.is_dir() for p in sorted(root.rglob("*")) if p.is_file() and not p.is_symlink()]
    written = 0
    with open(path, "wb") as out:
        for file in itertools.chain(files, stdlib_files()):
            try:
                data = gzip.decompress(file.read_bytes()) if file.suffix == ".gz" else file.read_bytes()
                data.decode("utf-8")
            except (OSError, EOFError, ValueError):
                continue
            out.write(data + b"\n")
            written += len(data) + 1
            if written >= megabytes * 1e6:
                break
    return written


def jobs_rows(megabytes, repeat):
    """build --jobs 2 against --jobs 1 on the mixed text: the same bytes."""
    with tempfile.TemporaryDirectory() as tmp:
        text = Path(tmp) / "mixed.txt"
        size = mixed_text(text, megabytes)
        one = min((timed_build(str(text), str(Path(tmp) / "one.json"), False, 1) for _ in range(repeat)))
        two = min((timed_build(str(text), str(Path(tmp) / "two.json"), False, 2) for _ in range(repeat)))
        if (Path(tmp) / "one.json").read_bytes() != (Path(tmp) / "two.json").read_bytes():
            raise RuntimeError("--jobs 2 wrote another document than --jobs 1")
    mb = round(size / 1e6)
    return [(f"build --jobs 2 on {mb} MB of mixed text", "build --jobs 1", one[0] / two[0], 1.7, two[0]),
            (f"build --jobs 2 on {mb} MB: peak memory, all processes (MB)", "build --jobs 1", one[1] / two[1], 0.5,
             two[1])]


def pickle_rows(repeat):
    """pickle.dumps + loads of the package's chain against the in-memory
    functions' compressed form, on both corpora."""
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        mixed = Path(tmp) / "mixed.txt"
        mixed_text(mixed, 12)
        from zantu.corpus import tokenize
        corpora = [("stdlib", stdlib_tokens(2_000_000)), ("mixed", tokenize(mixed.read_text(encoding="utf-8")))]
    for name, tokens in corpora:
        for order in (1, 2):
            chain = MarkovChain.from_tokens(tokens, order)
            data = pickle.dumps(chain, pickle.HIGHEST_PROTOCOL)
            text = io.StringIO()
            zantu_cjson.dump_json_small(chain, text)
            document = text.getvalue()
            ours = best(lambda: pickle.dumps(chain, pickle.HIGHEST_PROTOCOL), repeat) + \
                best(lambda: pickle.loads(data), repeat)
            json_time = best(lambda: zantu_cjson.dump_json_small(chain, io.StringIO()), repeat) + \
                best(lambda: zantu_cjson.load_json_small(MarkovChain(), io.StringIO(document)), repeat)
            rows.append((f"pickle dumps + loads, {name}, order {order}", "dump_json_small + load_json_small",
                         json_time / ours, 1.0, ours))
    return rows


def dask_rows(megabytes):
    """zantu.dask.build of files on a LocalCluster of 2 worker processes
    against 1 (the workers read the files: no text goes through the
    client)."""
    try:
        import dask.bag
        import distributed
    except ImportError:
        return []
    import zantu.dask
    seconds = {}
    with tempfile.TemporaryDirectory() as tmp:
        text = Path(tmp) / "mixed.txt"
        mixed_text(text, megabytes)
        lines = text.read_text(encoding="utf-8").splitlines(True)
        paths = []
        for k in range(0, len(lines), 40_000):
            path = Path(tmp) / f"part{k:09d}.txt"
            path.write_text("".join(lines[k:k + 40_000]), encoding="utf-8")
            paths.append(str(path))
        for workers in (1, 2):
            with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                          dashboard_address=None) as cluster, distributed.Client(cluster):
                bag = dask.bag.from_sequence(paths, npartitions=4)
                start = time.perf_counter()
                zantu.dask.build(bag, 1, files=True)
                seconds[workers] = time.perf_counter() - start
    return [(f"zantu.dask.build, {megabytes} MB in {len(paths)} files, 2 workers", "1 worker",
             seconds[1] / seconds[2], 1.0, seconds[2])]


def report(rows, tokens, size, out):
    lines = [f"Corpus: the standard library's source, {tokens:,} word tokens; order-2 document {size:,} bytes.",
             "Each ratio is the baseline's time (or memory) over ours, measured in this run: above the goal "
             "is a goal met.", "",
             "| what | against | ratio | goal | met | ours |", "|---|---|---|---|---|---|"]
    for what, against, ratio, goal, ours in rows:
        lines.append(f"| {what} | {against} | {ratio:.2f} | {goal:.1f} | {'yes' if ratio >= goal else 'no'} | "
                     f"{ours:.4g} |")
    (out / "chain.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(10, 0.45 * len(rows) + 1.5))
    labels = [f"{what} / {against}" for what, against, *_ in rows]
    ax.barh(range(len(rows)), [r[2] for r in rows], color=["tab:green" if r[2] >= r[3] else "tab:orange" for r in rows])
    for y, r in enumerate(rows):
        ax.plot([r[3], r[3]], [y - 0.4, y + 0.4], color="tab:red")
    ax.set_yticks(range(len(rows)), labels, fontsize=8)
    ax.set_xscale("log")
    ax.invert_yaxis()
    ax.set_title("Our chain against each baseline, same run (red: goal)")
    fig.tight_layout()
    fig.savefig(out / "chain.png", dpi=100)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", default="bench-results")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--build-mb", type=int, default=80, help="size of the build's text (0: leave the build out)")
    parser.add_argument("--jobs-mb", type=int, default=200,
                        help="size of the mixed text of the --jobs and Dask builds (0: leave them out)")
    args = parser.parse_args(argv)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    tokens = stdlib_tokens()
    rows = build_rows(tokens, args.repeat)
    codec, size = codec_rows(tokens, args.repeat)
    rows += codec + memory_rows(tokens) + generation_row(tokens)
    rows += pickle_rows(args.repeat)
    if args.build_mb:
        rows += build_cli_rows(args.build_mb)
    if args.jobs_mb:
        rows += jobs_rows(args.jobs_mb, max(1, args.repeat - 1)) + dask_rows(min(args.jobs_mb, 60))
    report(rows, len(tokens), size, out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
