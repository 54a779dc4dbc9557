"""Command line: ``python -m zantu demo``."""

from __future__ import annotations

import argparse
import io
import sys
import time
from typing import List, Optional

import zantu_cjson

from zantu.chain import MarkovChain
from zantu.corpus import stdlib_tokens


def demo(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    tokens = stdlib_tokens(args.tokens)
    chain = MarkovChain.from_tokens(tokens, order=args.order)
    built = time.perf_counter() - started
    print(f"chain: {len(tokens):,} tokens of the standard library's source, "
          f"{len(chain):,} starts (order {args.order}), built in {built:.2f} s")
    print(f"{'writer':<16} {'form':<11} {'size':>14} {'time':>9}")
    for name, writer in (("dump_json_small", zantu_cjson.dump_json_small),
                         ("dump_json_big", zantu_cjson.dump_json_big)):
        for form, compress in (("compressed", True), ("plain", False)):
            out = io.StringIO()
            t0 = time.perf_counter()
            writer(chain, out, frequency_compress=compress)
            elapsed = time.perf_counter() - t0
            size = len(out.getvalue().encode("utf-8"))
            print(f"{name:<16} {form:<11} {size:>12,} B {elapsed:>7.3f} s")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m zantu")
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("demo", help="build a chain from the standard library and save it")
    p.add_argument("--tokens", type=int, default=1_000_000, help="how many word tokens to read")
    p.add_argument("--order", type=int, default=1, help="tokens per next state")
    p.set_defaults(run=demo)
    args = parser.parse_args(argv)
    return int(args.run(args))


if __name__ == "__main__":
    sys.exit(main())
