"""The command line: python -m zantu build|inspect|convert|demo."""

from __future__ import annotations

import argparse
import gzip
import io
import os
import sys
import time
from collections import Counter
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any, Callable, Iterable, Iterator, List, Optional, Sequence, Tuple

import zantu_cjson

from zantu.chain import MarkovChain
from zantu.corpus import stdlib_files, tokenize

WRITERS = {"small": zantu_cjson.dump_json_small, "big": zantu_cjson.dump_json_big}
READERS = {"small": zantu_cjson.load_json_small, "big": zantu_cjson.load_json_big}


class UserError(Exception):
    """Bad input or arguments: reported as one line, without a traceback."""


def progress(items: Iterable[Any], total: Optional[int], what: str) -> Iterable[Any]:
    """``items`` with a progress bar on stderr when it is a terminal and tqdm
    is installed."""
    if not sys.stderr.isatty():
        return items
    try:
        from tqdm import tqdm
    except ImportError:
        return items
    bar: Iterable[Any] = tqdm(items, total=total, desc=what, unit="file", leave=False)
    return bar


@contextmanager
def open_text(path: str, mode: str) -> Iterator[IO[str]]:
    """A text file in UTF-8; a name ending in .gz is read or written through gzip."""
    try:
        if path.endswith(".gz"):
            f: IO[str] = gzip.open(path, mode + "t", encoding="utf-8")  # type: ignore[assignment]
        else:
            f = open(path, mode, encoding="utf-8", newline="" if mode == "w" else None)
    except OSError as e:
        raise UserError(f"cannot open {path}: {e.strerror or e}") from None
    with f:
        yield f


@contextmanager
def open_binary(path: str) -> Iterator[IO[bytes]]:
    try:
        f: IO[bytes] = gzip.open(path, "rb") if path.endswith(".gz") else open(path, "rb")  # type: ignore[assignment]
    except OSError as e:
        raise UserError(f"cannot open {path}: {e.strerror or e}") from None
    with f:
        yield f


def count_codes(f: IO[bytes]) -> int:
    """How many code pairs the "codes" array of a document holds (0 in the
    plain form), read with ijson's event parser up to that array's end."""
    import ijson

    depth, key, elements = 0, None, -1
    for event, value in ijson.basic_parse(f):
        if event == "map_key" and depth == 1:
            key = value
        if event in ("start_map", "start_array"):
            depth += 1
            if depth == 2 and key == "codes" and elements < 0:
                elements = 0
                continue
        elif event in ("end_map", "end_array"):
            depth -= 1
            if depth == 1 and key == "codes" and elements >= 0:
                break
        if elements >= 0 and depth == 2 and event != "map_key" and event not in ("end_map", "end_array"):
            elements += 1
    return max(elements, 0) // 2


def load(path: str, chain: Optional[MarkovChain] = None) -> Tuple[MarkovChain, int]:
    """Loads a chain document with the streaming reader; also tells how many
    code pairs it has (0: the plain form)."""
    chain = MarkovChain() if chain is None else chain
    try:
        with open_binary(path) as f:
            zantu_cjson.load_json_big(chain, f)
        with open_binary(path) as f:
            codes = count_codes(f)
    except UserError:
        raise
    except (OSError, EOFError) as e:
        raise UserError(f"cannot read {path}: {e}") from None
    except Exception as e:
        # Parser messages can run over several lines; the first says what.
        first = (str(e).strip().splitlines() or [""])[0]
        raise UserError(f"{path} is not a chain document: {type(e).__name__}: {first}") from None
    return chain, codes


def save(chain: MarkovChain, path: str, compress: bool, writer: str = "big") -> None:
    try:
        with open_text(path, "w") as f:
            WRITERS[writer](chain, f, compress)
    except UserError:
        raise
    except OSError as e:
        raise UserError(f"cannot write {path}: {e.strerror or e}") from None


def cmd_build(args: argparse.Namespace) -> int:
    chain = MarkovChain()
    for name in progress(args.text, len(args.text), "reading"):
        try:
            with open_text(name, "r") as f:
                text = f.read()
        except UnicodeDecodeError as e:
            raise UserError(f"{name} is not UTF-8 text: {e.reason} at byte {e.start}") from None
        chain.add_tokens(tokenize(text), args.order)
    save(chain, args.output, not args.plain, "big" if args.stream else "small")
    print(f"{args.output}: {len(chain):,} starts, {sum(b.unique_count for _, b in chain.items()):,} pairs, "
          f"{os.path.getsize(args.output):,} bytes")
    return 0


def cmd_inspect(args: argparse.Namespace) -> int:
    chain, codes = load(args.file)
    pairs = sum(bag.unique_count for _, bag in chain.items())
    frequencies = chain.build_frequency_dict()
    print(f"file:   {args.file} ({os.path.getsize(args.file):,} bytes)")
    print(f"form:   {'compressed' if codes else 'plain'}")
    print(f"starts: {len(chain):,}")
    print(f"pairs:  {pairs:,}")
    print(f"codes:  {codes:,}")
    print("most frequent values:")
    for value, count in Counter(frequencies).most_common(args.top):
        print(f"  {count:>12,}  {value!r}")
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    chain, codes = load(args.input)
    to_compressed = args.compressed or (not args.plain and not codes)
    save(chain, args.output, to_compressed)
    print(f"{args.output}: {'compressed' if to_compressed else 'plain'} form, {os.path.getsize(args.output):,} bytes")
    return 0


def timed(run: Callable[[], Any]) -> float:
    t0 = time.perf_counter()
    run()
    return time.perf_counter() - t0


def cmd_demo(args: argparse.Namespace) -> int:
    started = time.perf_counter()
    tokens: List[str] = []
    files = list(stdlib_files())
    for path in progress(files, len(files), "reading the standard library"):
        try:
            tokens.extend(tokenize(path.read_text(encoding="utf-8")))
        except (OSError, UnicodeDecodeError):
            continue
        if len(tokens) >= args.tokens:
            del tokens[args.tokens:]
            break
    chain = MarkovChain.from_tokens(tokens, order=args.order)
    print(f"chain: {len(tokens):,} word tokens of the standard library's source, {len(chain):,} starts, "
          f"order {args.order}, built in {time.perf_counter() - started:.2f} s")
    print()
    print(f"{'writer':<16} {'form':<11} {'size':>13} {'gzip':>12} {'write':>8}   "
          f"{'load_json_small':>15} {'load_json_big':>13}")
    ok = True
    for writer in ("small", "big"):
        for compress in (True, False):
            out = io.StringIO()
            t_write = timed(lambda: WRITERS[writer](chain, out, compress))
            text = out.getvalue()
            data = text.encode("utf-8")
            loads = []
            for reader in ("small", "big"):
                loaded = MarkovChain()
                source = io.StringIO(text) if reader == "small" else io.BytesIO(data)
                loads.append(timed(lambda: READERS[reader](loaded, source)))
                if loaded != chain:
                    ok = False
                    print(f"MISMATCH: {reader} reader after dump_json_{writer}", file=sys.stderr)
            print(f"dump_json_{writer:<6} {'compressed' if compress else 'plain':<11} {len(data):>11,} B "
                  f"{len(gzip.compress(data)):>10,} B {t_write:>7.3f}s   {loads[0]:>14.3f}s {loads[1]:>12.3f}s")
    print()
    print("every document loaded back equal with both readers" if ok else "a document did not load back equal")
    return 0 if ok else 1


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m zantu",
                                description="Build, save, inspect and convert Markov-style chains in compact JSON.")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = sub.add_parser("build", help="build a chain from text files and save it")
    b.add_argument("text", nargs="+", metavar="TEXT", help="UTF-8 text files (.gz read compressed)")
    b.add_argument("-o", "--output", required=True, metavar="OUT.json", help="the document to write (.gz compresses)")
    b.add_argument("--order", type=int, default=1, help="tokens per next state (default 1)")
    b.add_argument("--plain", action="store_true", help="write the plain form (no code table)")
    b.add_argument("--stream", action="store_true", help="write with the streaming writer")
    b.set_defaults(run=cmd_build)

    i = sub.add_parser("inspect", help="describe a chain document")
    i.add_argument("file", metavar="FILE")
    i.add_argument("--top", type=int, default=10, help="how many of the most frequent values to list")
    i.set_defaults(run=cmd_inspect)

    c = sub.add_parser("convert", help="rewrite a chain document in the other form")
    c.add_argument("input", metavar="IN")
    c.add_argument("output", metavar="OUT")
    form = c.add_mutually_exclusive_group()
    form.add_argument("--plain", action="store_true", help="write the plain form")
    form.add_argument("--compressed", action="store_true", help="write the compressed form")
    c.set_defaults(run=cmd_convert)

    d = sub.add_parser("demo", help="the main job end to end on the standard library's source")
    d.add_argument("--tokens", type=int, default=1_000_000, help="word tokens to read (default 1,000,000)")
    d.add_argument("--order", type=int, default=1, help="tokens per next state (default 1)")
    d.set_defaults(run=cmd_demo)
    return p


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    if getattr(args, "order", 1) < 1:
        print("zantu: error: --order must be at least 1", file=sys.stderr)
        return 2
    try:
        return int(args.run(args))
    except UserError as e:
        print(f"zantu: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("zantu: interrupted", file=sys.stderr)
        return 130
