"""Counting text in parts: a file is split at line boundaries, each part is
counted into a chain of its own (here, in worker processes or on a
cluster), and the parts' chains are joined in the text's order into the
very chain that counting the whole text at once makes: the same starts,
next states and counts, in the same order.

Counting words, a part's chain lacks the pairs whose state begins in the
part before it; a part therefore also tells its first and last ``order``
words, and joining counts those pairs between the two parts' chains.
Counting sentences (or lines), a part leaves uncounted its text up to its
first blank line (line end) and after its last one, where a sentence may
span two parts; joining counts the two pieces together.
"""

from __future__ import annotations

import dataclasses
import gzip
import os
import pickle
import re
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass, field
from itertools import islice
from typing import Any, Iterable, Iterator, List, Optional, Union

from zantu._native import _count_sentences, _count_words, _merge_state, _split_ahead
from zantu.chain import MarkovChain
from zantu.text import RunsBuilder

_WORD = re.compile(r"\w+")
# What ends every sentence: a blank line; or, for lines, a line end.
_BREAK = {"sentences": re.compile(r"\n[^\S\n]*\n"), "lines": re.compile(r"\n")}
SPLITS = ("sentences", "lines", "words")
# Text is counted in blocks of whole lines of about this many bytes.
BLOCK = 1 << 23
# No part smaller than this: each part costs a chain and a join.
SMALLEST_PART = 1 << 24


@dataclass(frozen=True)
class Part:
    """Lines of a UTF-8 text file: those that begin in [begin, end) (the
    whole file when ``end`` is None, as a .gz file always is)."""

    path: str
    begin: int = 0
    end: Optional[int] = None

    @property
    def size(self) -> Optional[int]:
        """The bytes of the file that the part covers, when known."""
        return None if self.end is None else self.end - self.begin


@dataclass
class Counted:
    """A part's chain, with what joining needs: counting words, its first
    and last ``order`` words (all, when fewer); counting sentences, its
    text up to its first break and after its last (``broken``: it has one;
    else ``head`` is all of its text)."""

    chain: MarkovChain
    head: List[str] = field(default_factory=list)
    tail: List[str] = field(default_factory=list)
    head_text: str = ""
    tail_text: str = ""
    broken: bool = False
    runs: Optional[RunsBuilder] = None  # the runs of the sentences counted
    # A part handed over in a file: its chain's pickled state, added to the
    # joined chain without being made a chain of its own (``chain`` is then
    # empty).
    chain_state: Any = None

    def add_to(self, chain: MarkovChain) -> None:
        """Adds the part's chain to ``chain``, as ``chain.update`` does."""
        if self.chain_state is not None:
            _merge_state(chain, self.chain_state)
        else:
            chain.update(self.chain)

    def whole_chain(self) -> MarkovChain:
        """The part's chain, made from its state if it was handed over so."""
        if self.chain_state is None:
            return self.chain
        chain = MarkovChain()
        self.add_to(chain)
        return chain


@contextmanager
def on_one_core() -> Iterator[None]:
    """Texts counted meanwhile are split on the counting core, not a block
    ahead on another: for a process that is one of several counting at
    once (or told how many cores to take)."""
    splitting_ahead = _split_ahead(False)
    try:
        yield
    finally:
        _split_ahead(splitting_ahead)


def count_block(chain: MarkovChain, block: str, order: int, split: str, carried: Any,
                runs: Optional[RunsBuilder] = None) -> Any:
    """Counts a block of a text after what the block before left (words,
    or text); returns what this one leaves. ``runs`` gets the sentences
    counted."""
    if split == "words":
        return _count_words(chain, block, order, carried)
    return _count_sentences(chain, carried + block, order, split == "lines", False, runs)


def count_blocks(blocks: Iterable[str], order: int, split: str = "words", runs: bool = False) -> Counted:
    """Counts a text given as blocks that end at line ends (a word never
    spans two blocks); with ``runs``, the runs of the sentences counted too."""
    counted = Counted(MarkovChain())
    if split != "words":
        counted.runs = RunsBuilder(lines=split == "lines") if runs else None
        for block in blocks:
            if not counted.broken:
                found = _BREAK[split].search(block)
                if found is None:
                    counted.head_text += block
                    continue
                counted.head_text += block[:found.end()]
                counted.broken = True
                block = block[found.end():]
            counted.tail_text = count_block(counted.chain, block, order, split, counted.tail_text, counted.runs)
        return counted
    for block in blocks:
        if len(counted.head) < order:
            wanted = order - len(counted.head)
            counted.head += [m.group() for m in islice(_WORD.finditer(block), wanted)]
        counted.tail = _count_words(counted.chain, block, order, counted.tail)
    return counted


def part_blocks(part: Part, block: int = BLOCK) -> Iterator[str]:
    """The text of a part, in blocks of whole lines."""
    if part.end is None:
        opener = gzip.open if part.path.endswith(".gz") else open
        with opener(part.path, "rb") as f:
            while True:
                data = f.read(block)
                if not data:
                    return
                if not data.endswith(b"\n"):
                    data += f.readline()
                yield data.decode("utf-8")
    with open(part.path, "rb") as f:
        if part.begin > 0:
            # The line that began before the part belongs to the part before.
            f.seek(part.begin - 1)
            if f.read(1) != b"\n":
                f.readline()
        while f.tell() < part.end:
            data = f.read(max(1, min(block, part.end - f.tell())))
            if not data:
                return
            if not data.endswith(b"\n"):
                data += f.readline()
            yield data.decode("utf-8")


def count_part(part: Part, order: int, split: str = "words", runs: bool = False) -> Counted:
    """Counts one part (what a worker process runs)."""
    return count_blocks(part_blocks(part), order, split, runs)


def count_part_to_file(part: Part, order: int, split: str, runs: bool, folder: str) -> Union[str, Counted]:
    """Counts one part in a worker process and leaves the result in a new
    file of ``folder``, whose name it returns: a pipe moves the hundred MB
    of a large part's chain and runs several times slower than the page
    cache does, and the process that joins waits for it. When that file
    cannot be written, the result itself is returned (through the pipe)."""
    counted = count_part(part, order, split, runs)
    # The chain goes as its compact state, which joining adds to the joined
    # chain without making the part's chain first.
    handed = dataclasses.replace(counted, chain=MarkovChain(), chain_state=counted.chain.__reduce_ex__(4)[2])
    name = None
    try:
        fd, name = tempfile.mkstemp(prefix="part-", suffix=".pickle", dir=folder)
        with os.fdopen(fd, "wb") as f:
            pickle.dump(handed, f, protocol=pickle.HIGHEST_PROTOCOL)
    except OSError:
        if name is not None:
            try:
                os.unlink(name)
            except OSError:
                pass
        return counted
    return name


def counted_from(result: Union[str, Counted]) -> Counted:
    """What count_part_to_file returned, as the part's result: read from its
    file, which is then removed."""
    if isinstance(result, Counted):
        return result
    try:
        with open(result, "rb") as f:
            counted = pickle.load(f)
    finally:
        os.unlink(result)
    if not isinstance(counted, Counted):
        raise TypeError(f"{result} holds no counted part")
    return counted


def split(path: str, parts: int, first_share: float = 1.0, smallest: int = SMALLEST_PART) -> List[Part]:
    """A file as at most ``parts`` parts, none smaller than ``smallest``
    bytes, the first ``first_share`` times the size of each other; a .gz
    file is one part."""
    if path.endswith(".gz"):
        return [Part(path)]
    size = os.path.getsize(path)
    count = max(1, min(parts, size // max(smallest, 1)))
    weights = [first_share] + [1.0] * (count - 1)
    bounds = [0]
    for k in range(count):
        bounds.append(size if k == count - 1 else bounds[-1] + int(size * weights[k] / sum(weights)))
    return [Part(path, bounds[k], bounds[k + 1]) for k in range(count)]


class Joiner:
    """Joins counted parts in the order of their text; ``next_text()``
    between texts (no pair spans two texts)."""

    def __init__(self, order: int, split: str = "words", runs: bool = False) -> None:
        if split not in SPLITS:
            raise ValueError(f"split must be 'sentences', 'lines' or 'words', not {split!r}")
        self.order = order
        self.split = split
        # The runs of the sentences counted, in the text's order.
        self.runs = RunsBuilder(lines=split == "lines") if runs and split != "words" else None
        self.chain: Optional[MarkovChain] = None
        self._carried: Any = [] if split == "words" else ""

    def add_blocks(self, blocks: Iterable[str]) -> None:
        """Counts a part here, straight into the chain so far, a block at a
        time: the last ``order`` words of a block start the next one, so
        every pair is counted once and the whole text is never held (the
        chain counts a block's words itself, without a str per token)."""
        if self.chain is None:
            self.chain = MarkovChain()
        for block in blocks:
            self._carried = count_block(self.chain, block, self.order, self.split, self._carried, self.runs)

    def add(self, counted: Counted, last: bool = False) -> None:
        """Joins the next part; ``last``: the last part of the last text
        (what follows is ``result()``)."""
        if self.split != "words":
            self._add_sentences(counted, last)
            return
        if self.chain is None:
            self.chain = counted.whole_chain()  # the first part is the chain so far
            self._carried = counted.tail
            return
        # The pairs whose start lies before this part and whose next state
        # reaches into it: counted where counting the whole text counts them.
        carried = _count_words(self.chain, " ".join(counted.head), self.order, self._carried)
        counted.add_to(self.chain)
        self._carried = counted.tail if len(counted.head) >= self.order else carried

    def _add_sentences(self, counted: Counted, last: bool) -> None:
        if self.chain is None:
            self.chain = MarkovChain()
        if not counted.broken:  # a part within one sentence: nothing counted yet
            self._carried += counted.head_text
            return
        # The sentences that span the two parts' edge, then the part's own.
        self._count_rest(self._carried + counted.head_text)
        if self.runs is not None and counted.runs is not None:
            self.runs.merge(counted.runs)
        self._carried = counted.tail_text
        rest = None
        if last and self.runs is not None:
            # The last part: its runs, then those of the text after its last
            # break, are all the runs there are; they are joined and ranked
            # while the part's chain, then that text's, are added (pairs of
            # both in the order counting them here would make).
            rest = MarkovChain()
            rest_runs = RunsBuilder(lines=self.runs.lines)
            _count_sentences(rest, self._carried, self.order, self.split == "lines", True, rest_runs)
            self.runs.merge(rest_runs)
            self._carried = ""
            self.runs.rank_now()
        counted.add_to(self.chain)
        if rest is not None:
            self.chain.update(rest)

    def _count_rest(self, text: str) -> None:
        assert self.chain is not None
        _count_sentences(self.chain, text, self.order, self.split == "lines", True, self.runs)

    def next_text(self) -> None:
        """Ends a text: no pair spans two texts."""
        if self.split != "words":
            if self._carried:
                if self.chain is None:
                    self.chain = MarkovChain()
                self._count_rest(self._carried)
            self._carried = ""
            return
        self._carried = []

    def result(self) -> MarkovChain:
        self.next_text()
        return self.chain if self.chain is not None else MarkovChain()
