"""Counting text in parts: a file is split at line boundaries, each part is
counted into a chain of its own (here, in worker processes or on a
cluster), and the parts' chains are joined in the text's order into the
very chain that counting the whole text at once makes: the same starts,
next states and counts, in the same order.

A part's chain lacks the pairs whose next state reaches into the part after
it; a part therefore also tells its first and last ``order`` words, and
joining counts those pairs between the two parts' chains.
"""

from __future__ import annotations

import gzip
import os
import re
from dataclasses import dataclass, field
from itertools import islice
from typing import Iterable, Iterator, List, Optional

from zantu._native import _count_words
from zantu.chain import MarkovChain

_WORD = re.compile(r"\w+")
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
    """A part's chain, with the words that joining needs."""

    chain: MarkovChain
    head: List[str] = field(default_factory=list)  # the first `order` words (all, when fewer)
    tail: List[str] = field(default_factory=list)  # the last `order` words


def count_blocks(blocks: Iterable[str], order: int) -> Counted:
    """Counts a text given as blocks that end at line ends (a word never
    spans two blocks)."""
    counted = Counted(MarkovChain())
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


def count_part(part: Part, order: int) -> Counted:
    """Counts one part (what a worker process runs)."""
    return count_blocks(part_blocks(part), order)


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

    def __init__(self, order: int) -> None:
        self.order = order
        self.chain: Optional[MarkovChain] = None
        self._carried: List[str] = []

    def add_blocks(self, blocks: Iterable[str]) -> None:
        """Counts a part here, straight into the chain so far, a block at a
        time: the last ``order`` words of a block start the next one, so
        every pair is counted once and the whole text is never held (the
        chain counts a block's words itself, without a str per token)."""
        if self.chain is None:
            self.chain = MarkovChain()
        for block in blocks:
            self._carried = _count_words(self.chain, block, self.order, self._carried)

    def add(self, counted: Counted) -> None:
        if self.chain is None:
            self.chain = counted.chain  # the first part is the chain so far
            self._carried = counted.tail
            return
        # The pairs whose start lies before this part and whose next state
        # reaches into it: counted where counting the whole text counts them.
        carried = _count_words(self.chain, " ".join(counted.head), self.order, self._carried)
        self.chain.update(counted.chain)
        self._carried = counted.tail if len(counted.head) >= self.order else carried

    def next_text(self) -> None:
        self._carried = []

    def result(self) -> MarkovChain:
        return self.chain if self.chain is not None else MarkovChain()
