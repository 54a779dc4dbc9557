"""The command line: python -m zantu build|inspect|convert|generate|demo.

Exit status: 0 done; 1 bad input (a file that cannot be read or written, a
text that is not UTF-8, a document that is not a chain document); 2 bad
arguments; 130 interrupted (Ctrl-C), 128 + the signal when stopped by
SIGTERM or SIGHUP; 141 the output was closed early (a broken pipe). Every error is one line on stderr; ``--debug`` shows the
traceback instead. Every file written appears whole or not at all.
"""

from __future__ import annotations

import argparse
import functools
import gc
import gzip
import heapq
import importlib
import io
import itertools
import operator
import os
import random
import signal
import sys
import threading
import time
from collections import Counter
from contextlib import contextmanager
from typing import IO, Any, Callable, Iterator, List, Optional, Sequence, Tuple

import zantu_cjson

from zantu import __version__
from zantu._native import _next_value_sums, _unique_pairs
from zantu.chain import MarkovChain
from zantu.corpus import stdlib_files, stdlib_tokens
from zantu.counting import SPLITS
from zantu.jobs import count_texts
from zantu.terminal import (READ_ERRORS, Bar, CountingWriter, UserError, atomic_output, file_size, message_of,
                            open_input)
from zantu.text import Runs, RunsBuilder, begin_state, join, sentence_order, sentence_words, usable_cores

WRITERS = {"small": zantu_cjson.dump_json_small, "big": zantu_cjson.dump_json_big}
READERS = {"small": zantu_cjson.load_json_small, "big": zantu_cjson.load_json_big}

EXIT_BAD_INPUT, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 1, 2, 130, 141


class Stopped(BaseException):
    """SIGTERM or SIGHUP arrived: unwinds like Ctrl-C (a file being written
    is removed), then exits with 128 + the signal's number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: Any) -> None:
    raise Stopped(signum)


# Parsers and encoders.

def use_fastest_parser() -> str:
    """Binds the fastest ijson backend installed as the codec's parser, and
    says which it is."""
    for name in ("yajl2_c", "yajl2_cffi", "python"):
        try:
            backend = importlib.import_module("ijson.backends." + name)
        except ImportError:
            continue
        zantu_cjson.ijson = backend
        return name
    return "ijson's own choice"


def libraries(parser_name: str) -> str:
    import ijson
    encoder = zantu_cjson.json
    version = getattr(encoder, "__version__", "") or getattr(encoder, "version", "")
    return (f"parser: ijson {getattr(ijson, '__version__', '')} ({parser_name} backend); "
            f"encoder: {encoder.__name__} {version}".rstrip())


# Loading and saving.

def count_codes(f: IO[bytes]) -> int:
    """How many code pairs the "codes" array of a document holds (0 in the
    plain form), read with the bound parser up to that array's end. A value
    that is an array (a state of several tokens) counts once."""
    depth, key, elements = 0, None, -1
    for event, value in zantu_cjson.ijson.basic_parse(f):
        if event == "map_key" and depth == 1:
            key = value
        if event in ("start_map", "start_array"):
            if depth == 2 and elements >= 0:
                elements += 1
            depth += 1
            if depth == 2 and key == "codes" and elements < 0:
                elements = 0
        elif event in ("end_map", "end_array"):
            depth -= 1
            if depth == 1 and key == "codes" and elements >= 0:
                break
        elif elements >= 0 and depth == 2 and event != "map_key":
            elements += 1
    return max(elements, 0) // 2


def load(path: str, codes: bool = True) -> Tuple[MarkovChain, int]:
    """Loads a chain document with the streaming reader; with `codes`, also
    tells how many code pairs it has (0: the plain form). Standard input is
    read whole first, since it is then read twice."""
    chain = MarkovChain()
    stdin: Optional[bytes] = None
    bar = Bar("reading", None if path == "-" else file_size(path))
    try:
        if path == "-" and codes:
            with open_input(path, bar) as f:
                stdin = f.read()
        with _reopen(path, stdin, bar) as f:
            zantu_cjson.load_json_big(chain, f)
        bar.close()
        pairs = 0
        if codes:
            with _reopen(path, stdin) as f:
                pairs = count_codes(f)
    except UserError:
        raise
    except UnicodeDecodeError as e:
        raise UserError(f"{path} is not a chain document: {message_of(e)}") from None
    except READ_ERRORS as e:
        raise UserError(f"cannot read {path}: {message_of(e)}") from None
    except Exception as e:
        raise UserError(f"{path} is not a chain document: {message_of(e)}") from None
    finally:
        bar.close()
    return chain, pairs


@contextmanager
def _reopen(path: str, stdin: Optional[bytes], bar: Optional[Bar] = None) -> Iterator[IO[bytes]]:
    if stdin is None:
        with open_input(path, bar) as f:
            yield f
    else:
        yield io.BytesIO(gzip.decompress(stdin) if path.endswith(".gz") else stdin)


def save(chain: MarkovChain, path: str, compress: bool, writer: str = "big") -> None:
    bar = Bar("writing")
    try:
        with atomic_output(path) as f:
            WRITERS[writer](chain, CountingWriter(f, bar) if bar.shown else f, compress)
    except UserError:
        raise
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            raise
        raise UserError(f"cannot write {path}: {message_of(e)}") from None
    except ValueError as e:
        raise UserError(f"cannot write {path}: {message_of(e)}") from None
    finally:
        bar.close()


def report(text: str, output: str) -> None:
    """A summary line: on stdout, or on stderr when the document went there."""
    print(text, file=sys.stderr if output == "-" else sys.stdout)


def described_size(path: str) -> str:
    size = file_size(path) if path != "-" else None
    return f"{size:,} bytes" if size is not None else "standard output"


# Commands.

def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def cmd_build(args: argparse.Namespace) -> int:
    if args.output != "-":
        for name in args.text:
            if name != "-" and _same_file(name, args.output):
                raise UserError(f"the output {args.output} is the input {name}: it would be replaced")
    # A build makes no cyclic garbage, while each collection would walk the
    # whole chain: with millions of bags, a third of the time of writing.
    collecting = gc.isenabled()
    gc.disable()
    try:
        starts, pairs, skipped = _build(args)
    finally:
        if collecting:
            gc.enable()
    skipped_text = f", {skipped} of {len(args.text)} inputs skipped" if skipped else ""
    report(f"{args.output}: {starts:,} starts, {pairs:,} pairs, {described_size(args.output)}{skipped_text}",
           args.output)
    return 0


def _build(args: argparse.Namespace) -> Tuple[int, int, int]:
    """Counts and writes; the chain's starts and pairs, and how many inputs
    were skipped."""
    sizes = [file_size(name) if name != "-" else None for name in args.text]
    bar = Bar("reading", sum(s for s in sizes if s is not None) or None)
    try:
        chain, skipped, runs = count_texts(args.text, args.order, args.jobs or usable_cores(), args.skip_bad, bar,
                                           args.split, not args.no_runs and args.output != "-")
    finally:
        bar.close()
    if skipped == len(args.text):
        raise UserError("no input could be read: nothing written")
    # The runs index is packed meanwhile, and written once the chain is.
    packing = _InThread("zantu-runs", functools.partial(_packed, [runs])) if runs is not None else None
    del runs  # the packing thread's now: it lets the builder go once ranked
    # The same text either way; the streaming writer never holds the
    # document, which for a large text is several times the chain.
    save(chain, args.output, not args.plain, "small" if args.in_memory else "big")
    starts, pairs = len(chain), unique_pairs(chain)
    # Freeing millions of bags takes a while: done while the runs index is
    # still being packed.
    del chain
    if packing is not None:
        Runs.write_packed(runs_path(args.output), packing.result())
    return starts, pairs, skipped


class _InThread(threading.Thread):
    """A call made in a thread of its own, while this one goes on; result()
    waits for it and raises what it raised. A daemon: a command stopped by
    a signal, or failing meanwhile, does not wait for it."""

    def __init__(self, name: str, call: Callable[[], Any]) -> None:
        super().__init__(name=name, daemon=True)
        self._call: Optional[Callable[[], Any]] = call
        self._result: Any = None
        self._error: Optional[BaseException] = None
        self.start()

    def run(self) -> None:
        try:
            assert self._call is not None
            self._result = self._call()
        except BaseException as e:  # handed to the thread that waits for it
            self._error = e
        finally:
            self._call = None

    def result(self) -> Any:
        self.join()
        if self._error is not None:
            raise self._error
        return self._result


def _packed(held: List[RunsBuilder]) -> bytes:
    """The runs index of the builder in `held`, packed: its compression runs
    without the GIL, on the other core, while the chain is written. The
    builder's numbers go (taken out of `held`) before the index is packed."""
    runs = held.pop().result()
    return runs.packed()


def _prepared(path: str) -> Runs:
    """The runs index at `path`, its search begun (see Runs.prepare)."""
    runs = Runs.load(path)
    runs.prepare()
    return runs


def _text_words(chain: MarkovChain) -> Optional[Counter[Any]]:
    """How often each word occurs in the text, when the chain knows it: in a
    chain whose next states are single tokens, each occurrence of a word
    (but a text's first ``order``) is the next state of one counted pair."""
    sums = _next_value_sums(chain)  # natively, for the package's bags with small counts
    if sums is False:
        return None
    words: Counter[Any] = Counter()
    if isinstance(sums, dict):
        words.update(sums)
        words.pop(None, None)  # the end of a sentence is no word
        return words
    for _, bag in chain.items():
        for item, count in bag.choices():
            if len(item) != 1:
                return None
            if item[0] is not None:
                words[item[0]] += count
    return words


def unique_pairs(chain: MarkovChain) -> int:
    """The chain's distinct (start, next state) pairs: its bags' unique
    counts summed, natively for the package's bags."""
    pairs = _unique_pairs(chain)
    return pairs if pairs is not None else sum(bag.unique_count for _, bag in chain.items())


def cmd_inspect(args: argparse.Namespace) -> int:
    parser_name = use_fastest_parser()
    chain, codes = load(args.file)
    pairs = unique_pairs(chain)
    frequencies = chain.build_frequency_dict()
    size = f" ({file_size(args.file):,} bytes)" if args.file != "-" else ""
    print(f"file:   {args.file}{size}")
    print(f"form:   {'compressed' if codes else 'plain'}")
    print(f"starts: {len(chain):,}")
    print(f"pairs:  {pairs:,}")
    print(f"codes:  {codes:,}")
    order = sentence_order(chain)
    begin_bag = None if order is None else chain.get_bag(begin_state(order))
    if order is not None and begin_bag is not None:
        print(f"built from sentences, order {order}: {begin_bag.total():,} sentences")
    print(f"read with {libraries(parser_name)}")
    words = _text_words(chain)
    if words is not None:
        # Words, not punctuation marks, which would lead the list.
        shown = (item for item in words.items() if not isinstance(item[0], str) or any(map(str.isalnum, item[0])))
        print("most frequent words of the text (occurrences):")
        for value, count in heapq.nlargest(args.top, shown, key=operator.itemgetter(1)):
            print(f"  {count:>12,}  {value!r}")
    print("most frequent values of the code table (uses as a start plus uses in next states, by count):")
    for value, count in Counter(frequencies).most_common(args.top):
        print(f"  {count:>12,}  {value!r}")
    return 0


def cmd_convert(args: argparse.Namespace) -> int:
    use_fastest_parser()
    chain, codes = load(args.input)
    to_compressed = args.compressed or (not args.plain and not codes)
    save(chain, args.output, to_compressed)
    report(f"{args.output}: {'compressed' if to_compressed else 'plain'} form, {described_size(args.output)}",
           args.output)
    return 0


def runs_path(document: str) -> str:
    """Where the runs index of a document is: its name with .runs for its
    .json or .json.gz (or after it)."""
    for suffix in (".json.gz", ".json", ".gz"):
        if document.endswith(suffix):
            return document[:-len(suffix)] + ".runs"
    return document + ".runs"


def cmd_generate(args: argparse.Namespace) -> int:
    use_fastest_parser()
    # Sentences leave out those that copy the source when its runs index is
    # beside the document: what that search needs is made by a thread
    # while the chain loads.
    reading, path = None, runs_path(args.file)
    if args.words is None and not args.no_overlap and args.file != "-" and os.path.exists(path):
        reading = _InThread("zantu-runs-reading", functools.partial(_prepared, path))
    chain, _ = load(args.file, codes=False)
    try:
        runs = reading.result() if reading is not None else None
    except (OSError, ValueError) as e:
        raise UserError(f"cannot read {path}: {message_of(e)}") from None
    seed: Any = int(args.seed) if args.seed is not None and args.seed.lstrip("-").isdigit() else args.seed
    if args.sentences is not None or (args.words is None and sentence_order(chain) is not None):
        return _print_sentences(chain, args, seed, runs)
    count = 50 if args.words is None else args.words
    sentences = sentence_order(chain) is not None
    start: Any = args.start
    draw = random.Random(seed)  # the walk's own seed: the same seed gives the same words
    if start is None:
        if not len(chain):
            raise UserError(f"{args.file} holds no start to generate from")
        if not sentences:
            starts = [s for s, _ in chain.items()]
            start = starts[draw.randrange(len(starts))]
    elif start not in chain:
        # In a chain of states of several words, a state that begins with it.
        starts = [s for s, _ in chain.items() if type(s) is tuple and s and s[0] == start]
        if not starts:
            raise UserError(f"{args.file} has no start {start!r}, nor a state that begins with it")
        start = starts[draw.randrange(len(starts))]
    try:
        if sentences:
            # Words of sentences, one after another (the first from the
            # start): the begin state and the end value are no words.
            print(join(sentence_words(chain, count, seed, start)))
            return 0
        words = list(start) if type(start) is tuple and len(start) > 1 else [start]
        for value in chain.walk(start, seed):
            if len(words) >= count:
                break
            words.append(value)
    except ValueError as e:  # a count of zero or below, or counts that add up to nothing
        raise UserError(f"{args.file}: {message_of(e)}") from None
    print(" ".join(str(word) for word in words[:count]))
    return 0


def _print_sentences(chain: MarkovChain, args: argparse.Namespace, seed: Any, runs: Optional[Runs]) -> int:
    if sentence_order(chain) is None:
        raise UserError(f"{args.file} was not built from sentences: generate --words N walks it")
    count = 5 if args.sentences is None else args.sentences
    printed = 0
    try:
        made = chain.sentences(seed, args.start, runs=runs)
        for sentence in itertools.islice(made, count):
            print(sentence)
            printed += 1
    except ValueError as e:  # no sentence begins with the start; a count of zero or below
        raise UserError(f"{args.file}: {message_of(e)}") from None
    if printed < count:
        # The draws gave up: every sentence copied the source.
        message = f"only {printed} of {count} sentences did not copy the source (--no-overlap keeps them)"
        if not printed:
            raise UserError(message)
        print(f"zantu: {message}", file=sys.stderr)
    return 0


def timed(run: Callable[[], Any]) -> float:
    t0 = time.perf_counter()
    run()
    return time.perf_counter() - t0


def cmd_demo(args: argparse.Namespace) -> int:
    parser_name = use_fastest_parser()
    started = time.perf_counter()
    bar = Bar("reading the standard library", sum(1 for _ in stdlib_files()), unit="file")
    tokens = stdlib_tokens(args.tokens, lambda: bar.update(1))
    bar.close()
    chain = MarkovChain.from_tokens(tokens, order=args.order)
    print(f"chain: {len(tokens):,} word tokens of the standard library's source, {len(chain):,} starts, "
          f"order {args.order}, built in {time.perf_counter() - started:.2f} s")
    print(libraries(parser_name))
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


def _build_parser(sub: Any, debug: argparse.ArgumentParser) -> None:
    b = sub.add_parser("build", parents=[debug], help="build a chain from text files and save it")
    b.add_argument("text", nargs="+", metavar="TEXT", help="UTF-8 text files (.gz read compressed, - stdin)")
    b.add_argument("-o", "--output", required=True, metavar="OUT.json",
                   help="the document to write (.gz compresses, - stdout)")
    b.add_argument("--order", type=int, default=1, help="tokens of context per state (default 1)")
    b.add_argument("--split", choices=SPLITS, default="sentences",
                   help="read the text as sentences (the default: each from a begin state to an end), as lines "
                        "(each non-blank line a sentence: lists, poems, code) or as plain words, without either")
    b.add_argument("--no-runs", action="store_true",
                   help="write no runs index (OUT's name ending .runs instead of .json/.json.gz: what generate's "
                        "overlap test reads) beside the document of sentences")
    b.add_argument("--plain", action="store_true", help="write the plain form (no code table)")
    writer = b.add_mutually_exclusive_group()
    writer.add_argument("--stream", action="store_true", help="write with the streaming writer (the default)")
    writer.add_argument("--in-memory", action="store_true", help="write with the in-memory writer")
    b.add_argument("-j", "--jobs", type=int, default=0, metavar="N",
                   help="processes that count (default: the usable cores); the document is the same for any N")
    b.add_argument("--skip-bad", action="store_true",
                   help="report and skip inputs that cannot be read or are not UTF-8, instead of stopping")
    b.set_defaults(run=cmd_build)


def parser() -> argparse.ArgumentParser:
    # Named as it was started: the `zantu` command, or python -m zantu.
    prog = "python -m zantu" if sys.argv[0].endswith("__main__.py") else os.path.basename(sys.argv[0]) or "zantu"
    p = argparse.ArgumentParser(prog=prog,
                                description="Build, save, inspect and convert Markov-style chains in compact JSON.",
                                epilog="'-' stands for standard input or output. Exit status: 0 done, 1 bad input, "
                                       "2 bad arguments, 130 interrupted, 141 output closed early.")
    p.add_argument("--version", action="version", version=f"zantu {__version__}")
    p.add_argument("--debug", action="store_true", help="show the traceback of an error")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")
    # --debug is taken after the command too.
    debug = argparse.ArgumentParser(add_help=False)
    debug.add_argument("--debug", action="store_true", default=argparse.SUPPRESS, help="show the traceback of an error")

    _build_parser(sub, debug)

    i = sub.add_parser("inspect", parents=[debug], help="describe a chain document")
    i.add_argument("file", metavar="FILE", help="the document (.gz read compressed, - stdin)")
    i.add_argument("--top", type=int, default=10, help="how many of the most frequent values to list")
    i.set_defaults(run=cmd_inspect)

    c = sub.add_parser("convert", parents=[debug], help="rewrite a chain document in the other form")
    c.add_argument("input", metavar="IN", help="the document (- stdin)")
    c.add_argument("output", metavar="OUT", help="the document to write (- stdout)")
    form = c.add_mutually_exclusive_group()
    form.add_argument("--plain", action="store_true", help="write the plain form")
    form.add_argument("--compressed", action="store_true", help="write the compressed form")
    c.set_defaults(run=cmd_convert)

    g = sub.add_parser("generate", parents=[debug], help="print words drawn from a chain document")
    g.add_argument("file", metavar="FILE", help="the document, either form (.gz read compressed, - stdin)")
    g.add_argument("--start", help="the first word (default: a sentence start, or a start, drawn at random)")
    amount = g.add_mutually_exclusive_group()
    amount.add_argument("--sentences", type=int, metavar="N",
                        help="print N sentences, one a line (the default, 5, for a chain built from sentences)")
    amount.add_argument("--words", type=int, metavar="N",
                        help="print N words of a walk (the default, 50, for a chain of plain words)")
    g.add_argument("--seed", help="the same seed gives the same words on every run and machine")
    g.add_argument("--no-overlap", action="store_true",
                   help="keep sentences that copy the source (by default one holding a run of 15 of its tokens, or "
                        "of 70%% of its length, is drawn again, when FILE's runs index is beside it)")
    g.set_defaults(run=cmd_generate)

    d = sub.add_parser("demo", parents=[debug], help="the main job end to end on the standard library's source")
    d.add_argument("--tokens", type=int, default=1_000_000, help="word tokens to read (default 1,000,000)")
    d.add_argument("--order", type=int, default=1, help="tokens per next state (default 1)")
    d.set_defaults(run=cmd_demo)
    return p


def _quiet_stdout() -> None:
    """Points standard output at /dev/null, so that nothing more is written
    to a closed pipe (at exit either)."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = parser().parse_args(argv)
    if getattr(args, "order", 1) < 1:
        print("zantu: error: --order must be at least 1", file=sys.stderr)
        return EXIT_USAGE
    if getattr(args, "jobs", 0) < 0:
        print("zantu: error: --jobs must not be negative", file=sys.stderr)
        return EXIT_USAGE
    if (getattr(args, "words", None) or 0) < 0 or (getattr(args, "sentences", None) or 0) < 0:
        print("zantu: error: --words and --sentences must not be negative", file=sys.stderr)
        return EXIT_USAGE
    previous = {signum: signal.signal(signum, _stop) for signum in (signal.SIGTERM, signal.SIGHUP)}
    try:
        return _run(args)
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _run(args: argparse.Namespace) -> int:
    if args.debug:
        return int(args.run(args))
    # A parser abandoned part-way may complain again when it is collected;
    # the error has been reported once already.
    sys.unraisablehook = lambda unraisable: None
    try:
        return int(args.run(args))
    except UserError as e:
        print(f"zantu: error: {e}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("zantu: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except Stopped as e:
        print(f"zantu: stopped by {signal.Signals(e.signum).name}", file=sys.stderr)
        return 128 + e.signum
    except BrokenPipeError:
        _quiet_stdout()
        print("zantu: error: the output was closed early (broken pipe)", file=sys.stderr)
        return EXIT_BROKEN_PIPE
    except MemoryError:
        print("zantu: error: out of memory", file=sys.stderr)
        return EXIT_BAD_INPUT
