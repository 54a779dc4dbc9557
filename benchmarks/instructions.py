"""What each switchable trick of the codec saves, in instructions counted by
valgrind's callgrind (which do not drift with the machine, as seconds do on
a shared one): every row of shortcuts.py's table for the trick, on the
package's chain and on a caller's own chain (shortcuts.py's), in both
forms, on both corpora, with the trick on and off.

    python benchmarks/instructions.py [--tokens N] [--only NAME ...] [--out DIR]

Each figure is the instructions of a run that calls the function once less
those of the same run that does not call it. Needs valgrind. Cache misses
are not counted: a trick that saves memory traffic rather than work shows
in shortcuts.py's seconds only.
"""

from __future__ import annotations

import argparse
import os
import pickle
import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from report import write_report  # noqa: E402
from shortcuts import ROWS  # noqa: E402

OWN_TRICKS = ("piece_caches", "sorted_values", "held_rows", "resting_bags")

# One call of a row's function, in a process of its own: argv is the
# pickled chain, the documents' folder, the row, the form, the switch, "on"
# or "off", and whether to call at all.
CHILD = r"""
import io, pickle, sys
import ijson, zantu_cjson
from zantu import MarkovChain
chain_file, folder, row, form, switch, state, call, kind, here = sys.argv[1:]
chain = pickle.load(open(chain_file, "rb"))
Target = MarkovChain
if kind == "own":
    sys.path.insert(0, here)
    from bench import FastChain, FastProbabilityBag
    chain, Target = FastChain(chain), FastChain
    zantu_cjson.ProbabilityBag = FastProbabilityBag
compress = form == "compressed"
text = open(f"{folder}/{form}.json", encoding="utf-8").read()
data = text.encode()
name, _, binding = row.partition("[")
binding = binding.rstrip("]")
zantu_cjson.__fast_paths__(**{switch: state == "on"})
if binding.startswith("yajl2_c"):
    zantu_cjson.ijson = ijson.get_backend("yajl2_c")
if binding.endswith("events"):
    zantu_cjson.__fast_paths__(native_parser=False)
if call == "yes":
    if name.startswith("dump"):
        getattr(zantu_cjson, name)(chain, io.StringIO(), compress)
    elif name == "load_json_small":
        zantu_cjson.load_json_small(Target(), io.StringIO(text))
    else:
        zantu_cjson.load_json_big(Target(), io.BytesIO(data))
"""


def instructions(args):
    env = dict(os.environ, PYTHONHASHSEED="0")
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c",
                           CHILD, *args], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise RuntimeError(done.stderr[-2000:])
    return int(re.findall(r"refs:\s+([\d,]+)", done.stderr)[-1].replace(",", ""))


def corpus_tokens(name, count):
    from zantu.corpus import stdlib_tokens, tokenize
    if name == "stdlib":
        return stdlib_tokens(count)
    from chain_bench import mixed_text
    with tempfile.TemporaryDirectory() as tmp:
        mixed_text(Path(tmp) / "mixed.txt", count * 7 / 1e6)
        return tokenize((Path(tmp) / "mixed.txt").read_text(encoding="utf-8"))[:count]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=200_000)
    parser.add_argument("--only", nargs="*", default=list(OWN_TRICKS))
    parser.add_argument("--out", default="bench-results")
    args = parser.parse_args(argv)
    import zantu_cjson
    from zantu import MarkovChain

    lines = [f"Instructions (callgrind) of one call, {args.tokens:,} tokens.", "",
             "| trick | row | chain | corpus | form | on (M) | off (M) | off / on |",
             "|---|---|---|---|---|---:|---:|---:|"]
    best = {name: 0.0 for name in args.only}
    with tempfile.TemporaryDirectory() as folder:
        for corpus in ("stdlib", "mixed"):
            chain = MarkovChain.from_tokens(corpus_tokens(corpus, args.tokens))
            chain_file = f"{folder}/{corpus}.pickle"
            with open(chain_file, "wb") as f:
                pickle.dump(chain, f)
            for compress, form in ((True, "compressed"), (False, "plain")):
                with open(f"{folder}/{form}.json", "w", encoding="utf-8") as f:
                    zantu_cjson.dump_json_big(chain, f, compress)
                for name in args.only:
                    for row in ROWS[name]:
                        for kind, label in (("package", "MarkovChain"), ("own", "own chain")):
                            common = [chain_file, folder, row, form, name]
                            where = [kind, str(HERE)]
                            base = instructions([*common, "on", "no", *where])
                            on = instructions([*common, "on", "yes", *where]) - base
                            off = instructions([*common, "off", "yes", *where]) - base
                            best[name] = max(best[name], off / on - 1)
                            lines.append(f"| {name} | {row} | {label} | {corpus} | {form} | {on / 1e6:.1f} | "
                                         f"{off / 1e6:.1f} | {off / on:.3f} |")
                            print(lines[-1], flush=True)
    lines += ["", "| trick | largest saving | 5% or more |", "|---|---:|---|"]
    lines += [f"| {name} | {gain:+.1%} | {'yes' if gain >= 0.05 else 'no'} |" for name, gain in best.items()]
    print(write_report(args.out, "instructions.md", lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
