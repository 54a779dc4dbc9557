"""Text as sentences and tokens, for building chains that generate text.

``sentences(text)`` splits a text into its sentences, trimmed; ``tokens(sentence)``
splits one into words and punctuation marks. Words keep their inner
apostrophes, hyphens, dots, slashes and digit groups ("don't", "e-mail",
"v3.11", "3.5", "1,000", "and/or") and the pluses and hashes that end them
("C++", "C#"); a path or an address is one token ("/usr/lib/",
"https://example.org/a"); abbreviations and initials keep their dot ("Mr.", "U.S.",
"J."). A sentence ends at a terminator (". ! ? ..." and runs of them, with
the closing quotes and brackets after it) followed by a word that can open
one, at a blank line, and at the end of the text; not after a title
("Dr. Smith"), an initial ("J. Smith"), a decimal point or a terminator
followed by a lower-case word ('"Stop!" he said.').
"""

from __future__ import annotations

import array
import bisect
import itertools
import json
import os
import random
import time
import zlib
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Union

from zantu._native import (_copies, _runs_add, _runs_finish, _runs_join, _runs_rank, _runs_rank_joined, _runs_ranked,
                           _runs_search, _runs_searchable, _runs_take, _sentences, _tokens)

__all__ = ["sentences", "tokens", "join", "Runs", "RunsBuilder", "begin_state", "sentence_order"]


def sentences(text: str, *, lines: bool = False) -> List[str]:
    """The sentences of ``text``, trimmed; with ``lines``, each non-blank
    line is one (for lists, poems and code)."""
    return _sentences(text, lines=lines)


def tokens(sentence: str) -> List[str]:
    """The tokens of ``sentence``: its words and punctuation marks, in order."""
    return _tokens(sentence)


# Tokens written without a blank before them, and after them.
_CLOSING = frozenset(",.;:!?)]}”’»%…") | {"...", "n't"}
_OPENING = frozenset("([{“‘«$")
_STRAIGHT = frozenset("\"'")
# Quotes opened by a backtick and closed by an apostrophe (`so' and ``so'').
_BACKTICKS = {"`": "'", "``": "''"}


def join(tokens: Iterable[str]) -> str:
    """Tokens as text, with natural spacing: no blank before punctuation
    that closes or ends, none after what opens; straight quotes open and
    close in turn, a backtick's quote closes at its apostrophe (``so'') or
    at a backtick after what it quotes (``code``); a colon between numbers
    is part of them (10:30, 1:2); a word in angle brackets is one
    (<doko@ubuntu.com>, <b>, </b>)."""
    words = list(tokens)
    out: List[str] = []
    glue = True  # no blank before the next token
    quotes = {q: False for q in _STRAIGHT}  # a straight quote is open
    backticks: List[str] = []  # the backticks whose quotes are open
    opened = False  # the last token was a backtick that opened
    bracketed = 0  # the tokens of an angle-bracketed word still to pass
    for k, token in enumerate(words):
        if bracketed:
            bracketed -= 1
            continue
        if token == "<" and k + 2 < len(words) and words[k + 2] == ">" and words[k + 1].lstrip("/")[:1].isalnum():
            out.append(("" if glue else " ") + "<" + words[k + 1] + ">")
            glue = opened = False
            bracketed = 2
            continue
        if token in _BACKTICKS and not (backticks and backticks[-1] == token and not opened):
            backticks.append(token)
            opens = True
        elif backticks and token in (backticks[-1], _BACKTICKS[backticks[-1]]):
            backticks.pop()
            opens = False
        elif token in _STRAIGHT:
            opens = quotes[token] = not quotes[token]
        else:
            in_number = token == ":" and 0 < k < len(words) - 1 and words[k - 1].isdigit() and words[k + 1].isdigit()
            closes = in_number or token in _CLOSING or (token[:1] in _CLOSING and all(c in ".!?…" for c in token))
            out.append(token if glue or closes else " " + token)
            glue = in_number or token in _OPENING
            opened = False
            continue
        # A quote: blank before it where it opens, after it where it closes.
        out.append(" " + token if opens and not glue else token)
        glue = opens
        opened = opens and token in _BACKTICKS
    return "".join(out)


# The brackets and quotes that a balanced sentence closes, by what opens them.
_PAIRS = {"(": ")", "[": "]", "{": "}", "“": "”", "«": "»", "\"": "\""}
_CLOSERS = frozenset(_PAIRS.values())


def _balanced(tokens: Iterable[str]) -> bool:
    """Whether every bracket and double quote among ``tokens`` is closed, in
    the order they were opened (straight quotes open and close in turn;
    single quotes, which are also apostrophes, are not counted)."""
    open_: List[str] = []
    for token in tokens:
        if open_ and token == open_[-1]:
            open_.pop()
        elif token in _PAIRS:
            open_.append(_PAIRS[token])
        elif token in _CLOSERS:
            return False
    return not open_


def begin_state(order: int) -> Any:
    """The begin state of a chain of sentences of ``order``: None for order
    1, else a tuple of ``order`` Nones."""
    return None if order == 1 else (None,) * order


def sentence_order(chain: Any) -> Optional[int]:
    """The order of a chain built from sentences, found by its begin state
    (orders 1 to 8); None for a chain without one."""
    return next((k for k in range(1, 9) if begin_state(k) in chain), None)


def _begin_state(chain: Any, order: Optional[int]) -> Any:
    """The chain's begin state; the order is found when not given."""
    if order is not None:
        if order < 1:
            raise ValueError("order must be at least 1")
        return begin_state(order)
    found = sentence_order(chain)
    if found is None:
        raise ValueError("the chain has no sentence start: build it from sentences (from_text)")
    return begin_state(found)


def _first_state(chain: Any, begin: Any, start: Any) -> Tuple[Any, List[str]]:
    """The state a sentence from ``start`` (a word, or a state) goes on from,
    and the words it has then."""
    if start is None:
        return begin, []
    if isinstance(start, tuple) and start in chain:
        return start, [v for v in start if v is not None]
    state = start if begin is None else begin[1:] + (start,)
    bag = chain.get_bag(begin)
    if bag is None or not bag.count((start,)):
        raise ValueError(f"no sentence begins with {start!r}")
    return state, [start]


def _generate(chain: Any, seed: Any = None, start: Any = None, *, order: Optional[int] = None,
              max_words: int = 200, tries: int = 10, runs: Optional["Runs"] = None, overlap_ratio: float = 0.7,
              overlap_total: int = 15, balanced: bool = True) -> Iterator[str]:
    # The start is checked at the call, the sentences drawn as they are asked for.
    begin = _begin_state(chain, order)
    state, first_words = _first_state(chain, begin, start)

    def accept(words: List[str]) -> bool:
        return (not balanced or _balanced(words)) and (runs is None or not runs.copies(words, overlap_ratio,
                                                                                           overlap_total))

    return _drawn(chain, 1 if begin is None else len(begin), state, first_words, random.Random(seed), max_words,
                  max(1, tries), accept)


def sentence_words(chain: Any, count: int, seed: Any = None, start: Any = None) -> List[str]:
    """``count`` tokens of a chain of sentences, as text runs on: sentences
    drawn one after another from the begin state, each to its end, which is
    no token; the first from ``start`` when given (a start of the chain,
    else a word that begins a sentence). Fewer where the chain's sentences
    hold none. ValueError as ``walk`` raises it, or when ``start`` is
    neither."""
    begin = _begin_state(chain, None)
    size = 1 if begin is None else len(begin)
    if start is not None and start != begin and start in chain:
        state, words = start, [v for v in (start if isinstance(start, tuple) else (start,)) if v is not None]
    else:
        state, words = _first_state(chain, begin, start)
    draws = random.Random(seed)
    while len(words) < count:
        before = len(words)
        for value in chain.walk(state, draws.getrandbits(64), size):
            if value is None or len(words) >= count:
                break
            words.append(value)
        if len(words) == before:
            break  # sentences of no token: nothing more to draw
        state = begin
    return words[:count]


# Sentences skipped in a row (each after `tries` draws) before the drawing ends.
_SKIPPED_IN_A_ROW = 10


def _drawn(chain: Any, size: int, state: Any, first_words: List[str], draws: random.Random, max_words: int,
           tries: int, accept: Any) -> Iterator[str]:
    skipped = 0
    while skipped < _SKIPPED_IN_A_ROW:
        for _ in range(tries):
            words = _walked(chain, size, state, first_words, draws, max_words)
            if words and accept(words):
                skipped = 0
                yield join(words)
                break
        else:
            skipped += 1


def _walked(chain: Any, size: int, state: Any, first_words: List[str], draws: random.Random,
            max_words: int) -> List[str]:
    """A sentence's tokens; none when the walk ran past ``max_words`` or
    ended before a sentence end."""
    words = list(first_words)
    for value in chain.walk(state, draws.getrandbits(64), size):
        if value is None:
            return words
        words.append(value)
        if len(words) > max_words:
            return []
    return []


def usable_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


# A zlib stream is deflated in pieces of this many bytes at once.
DEFLATED_PIECE = 8 << 20


def deflated(parts: Sequence[Union[bytes, memoryview]], prefix: bytes = b"") -> bytes:
    """``prefix + zlib.compress(b"".join(parts), 1)``, the zlib stream made
    on every core, without joining the parts first: the data is deflated in
    pieces of DEFLATED_PIECE bytes by threads (zlib lets the GIL go), each
    piece primed with the 32 KiB before it and ended on a byte boundary
    (Z_SYNC_FLUSH), so that the pieces joined are one stream. The bytes
    depend on the data alone, not on the cores or the parts."""
    views = [memoryview(part).cast("B") for part in parts]
    ends = list(itertools.accumulate(len(view) for view in views))
    size = ends[-1] if ends else 0

    def span(start: int, end: int) -> Union[bytes, memoryview]:
        # The data's bytes [start, end): a view where one part holds them.
        k = bisect.bisect_right(ends, start)
        if k < len(views) and end <= ends[k]:
            first = ends[k] - len(views[k])
            return views[k][start - first:end - first]
        chunks = []
        while start < end:
            k = bisect.bisect_right(ends, start)
            first = ends[k] - len(views[k])
            take = min(end, ends[k])
            chunks.append(views[k][start - first:take - first])
            start = take
        return b"".join(chunks)

    checksum = 1
    for view in views:
        checksum = zlib.adler32(view, checksum)
    if size <= DEFLATED_PIECE:
        deflate = zlib.compressobj(1)
        return prefix + b"".join([*(deflate.compress(view) for view in views), deflate.flush()])
    bounds = list(range(0, size, DEFLATED_PIECE)) + [size]

    def piece(k: int) -> bytes:
        start, end = bounds[k], bounds[k + 1]
        deflate = (zlib.compressobj(1, zlib.DEFLATED, -15, zdict=span(max(0, start - 32768), start)) if start
                   else zlib.compressobj(1, zlib.DEFLATED, -15))
        return deflate.compress(span(start, end)) + deflate.flush(zlib.Z_FINISH if end == size else zlib.Z_SYNC_FLUSH)

    from concurrent.futures import ThreadPoolExecutor
    with ThreadPoolExecutor(min(len(bounds) - 1, usable_cores()), thread_name_prefix="zantu-deflate") as pool:
        pieces = list(pool.map(piece, range(len(bounds) - 1)))
    # zlib's header for level 1, the pieces, the checksum of the whole.
    return b"".join([prefix, b"\x78\x01", *pieces, checksum.to_bytes(4, "big")])


class Runs:
    """The source text's sentences as token numbers: an index of its runs,
    for telling whether a generated sentence copies too much of it in a row.
    Saved in a file of its own (``save``/``load``), zlib-compressed: about a
    fifth of the text's size. What ``copies`` searches is made from its first
    call, or from ``prepare``: a build only saves it."""

    MAGIC = b"zantu-runs 1\n"

    def __init__(self, vocabulary: List[str], encoded: Union[bytes, memoryview]) -> None:
        self._vocabulary = vocabulary
        self._encoded = encoded
        # What copies() reads: each token's number, made at its first call,
        # and the search of the runs, made by a thread (see prepare).
        self._numbers: Optional[Dict[str, int]] = None
        self._search: Any = None
        self._searchable = False

    def __getstate__(self) -> Dict[str, Any]:
        # What copies() made is made again where it is needed.
        return {"_vocabulary": self._vocabulary, "_encoded": bytes(self._encoded)}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__init__(state["_vocabulary"], state["_encoded"])  # type: ignore[misc]

    @classmethod
    def from_text(cls, text: str, *, lines: bool = False) -> "Runs":
        """The runs of the sentences of ``text`` (each non-blank line, with ``lines``)."""
        builder = RunsBuilder(lines=lines)
        builder.add(text)
        return builder.result()

    def save(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes the index to ``path`` (whole or not at all)."""
        self.write_packed(path, self.packed())

    def packed(self) -> bytes:
        """The file's bytes. zlib at level 1: under half the time of level 6
        for a file 7% larger, and it runs without the GIL (a build packs
        while it writes the chain), on every core (see deflated)."""
        return deflated([json.dumps(self._vocabulary).encode("utf-8"), b"\0", self._encoded], self.MAGIC)

    @staticmethod
    def write_packed(path: Union[str, "os.PathLike[str]"], data: bytes) -> None:
        """Writes bytes that ``packed`` made to ``path`` (whole or not at all)."""
        from zantu.files import atomic_binary  # the codec loads only when a file is written

        with atomic_binary(path) as f:
            f.write(data)

    @classmethod
    def load(cls, path: Union[str, "os.PathLike[str]"]) -> "Runs":
        """The index saved at ``path``; ValueError when it is not one."""
        with open(path, "rb") as f:
            data = f.read()
        if not data.startswith(cls.MAGIC):
            raise ValueError(f"{os.fspath(path)} is not a runs index")
        try:
            payload = zlib.decompress(memoryview(data)[len(cls.MAGIC):])
            del data
            cut = payload.find(b"\0")
            if cut < 0:
                raise ValueError("no end to its vocabulary")
            vocabulary = json.loads(payload[:cut])
            encoded = memoryview(payload)[cut + 1:]  # no copy of the index's largest part
        except (zlib.error, ValueError) as e:
            raise ValueError(f"{os.fspath(path)}: the runs index is damaged ({e})") from None
        if not isinstance(vocabulary, list) or not set(map(type, vocabulary)) <= {str}:
            raise ValueError(f"{os.fspath(path)}: the runs index is damaged")
        return cls(vocabulary, encoded)

    def prepare(self) -> None:
        """Begins making what copies() searches, in a thread that holds no
        GIL: a caller that has other work (loading the chain) does it
        meanwhile, and the first copies() waits for what is left."""
        if self._search is None:
            self._search = _runs_search(self._encoded, len(self._vocabulary))

    def copies(self, tokens: Sequence[str], ratio: float = 0.7, total: int = 15) -> bool:
        """Whether ``tokens`` hold a run of the source's of ``total`` tokens,
        or of ``ratio`` of their number (rounded) when that is fewer."""
        width = max(1, min(total, round(ratio * len(tokens))))
        self.prepare()
        if self._numbers is None:
            self._numbers = dict(zip(self._vocabulary, range(1, len(self._vocabulary) + 1)))
        while not self._searchable:
            self._searchable = _runs_searchable(self._search)  # ValueError when the index is damaged
            if not self._searchable:
                time.sleep(0.002)
        number = self._numbers
        ids = array.array("I", (number.get(t, 0) for t in tokens)).tobytes()
        return _copies(self._search, ids, width)


class RunsBuilder:
    """Builds a :class:`Runs` a text at a time (each ``add`` is whole
    sentences: a text, or blocks that end where a sentence ends), or from
    builders of the parts of a text (``merge``, in the text's order)."""

    # Ids past this many bytes are ranked apart (see result).
    RANKED_APART = 1 << 22

    def __init__(self, *, lines: bool = False) -> None:
        self.lines = lines
        self._table: Optional[Dict[str, int]] = {}  # see table
        # The table's words in number order, where the table is not made
        # (a builder unpickled, until it is added to).
        self._words: Optional[List[str]] = None
        self.ids = bytearray()  # the numbers as varints (1 to 2 bytes a token), 0 after each sentence
        # What came before `ids`, in the text's order: ids of the table's
        # numbers (mapping None), or of a part merged in, with a mapping from
        # its numbers to the table's (uint32 each). The ranking reads them
        # where they lie, so a merge never writes a part's ids again.
        self._merged: List[Tuple[Union[bytes, bytearray], Optional[bytes]]] = []
        # What came after `ids` (then empty): parts merged in whose words
        # the table has not yet, each its vocabulary and its ids (as
        # _runs_take makes them). They are joined to the table when it is
        # next read; or, when no more come, by the ranking's thread, while
        # this one goes on (a build merges the chain meanwhile).
        self._unjoined: List[Tuple[Tuple[str, ...], List[Tuple[bytes, Optional[bytes]]]]] = []
        self._joining = False
        self._ranking: Any = None  # the ranking begun by rank_now
        self._ranking_joins = False  # whether it joins the unjoined parts

    @property
    def table(self) -> Dict[str, int]:
        """Token -> its number, from 1, in the order tokens first came."""
        table = self._own_table()
        while self._unjoined:
            # A word's own __hash__ or __eq__ may run meanwhile: it finds
            # the builder busy, rather than the parts joined out of order.
            if self._joining:
                raise RuntimeError("the runs builder was used while the parts merged into it were joined")
            self._joining = True
            try:
                self._merged += _runs_join(table, *self._unjoined[0])
            finally:
                self._joining = False
            del self._unjoined[0]
        return table

    @table.setter
    def table(self, table: Dict[str, int]) -> None:
        self._table, self._words = table, None

    def _own_table(self) -> Dict[str, int]:
        """The table, without the words of the parts not joined yet."""
        if self._table is None:
            self._table = {word: k for k, word in enumerate(self._words or (), 1)}
            self._words = None
        return self._table

    def _known(self) -> Union[Dict[str, int], List[str]]:
        """The table, or its words in number order where it is not made."""
        if self._unjoined:
            return self.table
        return self._table if self._table is not None else self._words or []

    def _vocabulary(self) -> List[str]:
        """The table's words in number order."""
        return list(self._known())

    def __getstate__(self) -> Dict[str, Any]:
        self._known()  # the parts merged joined first
        state = dict(self.__dict__)
        state.pop("_ranking", None)  # a running ranking stays with its process
        for name in ("_ranking_joins", "_unjoined", "_joining"):
            state.pop(name, None)
        # The table goes as its words: a list loads in a fifth of a dict's
        # time (no hashes, no numbers), and a builder merged into another
        # (a build's part) never needs its dict again.
        state["_words"], state["_table"] = self._vocabulary(), None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self._merged, self._words, self._unjoined, self._joining = [], None, [], False
        if "table" in state:  # pickled by an earlier version
            state["_table"] = state.pop("table")
        self.__dict__.update(state)
        self._ranking, self._ranking_joins = None, False

    def add(self, text: str) -> None:
        _runs_add(text, self.lines, self.table, self.ids)

    def merge(self, other: "RunsBuilder") -> None:
        if self._ranking is not None:
            raise BufferError("the runs are being ranked: nothing can be merged")
        # Taken as they are now (its ids copied and checked), joined later.
        taken = _runs_take(other._vocabulary(), other._parts())
        if self.ids:
            self._known()  # the parts merged before these ids come first
            self._merged.append((self.ids, None))
            self.ids = bytearray()
        self._unjoined.append(taken)

    def _parts(self) -> List[Tuple[Union[bytes, bytearray], Optional[bytes]]]:
        self._known()
        return [*self._merged, (self.ids, None)]

    def _size(self) -> int:
        return (len(self.ids) + sum(len(ids) for ids, _ in self._merged)
                + sum(len(ids) for _, parts in self._unjoined for ids, _ in parts))

    def rank_now(self) -> None:
        """Begins ranking ids past RANKED_APART now, in a thread that holds no
        GIL, when no more sentences will come (adding or merging then fails):
        the work of this thread (a build's chain merged) goes on meanwhile,
        and result() takes what it ranked. Parts merged whose words the
        table has not yet are joined to it by that thread too."""
        if self._ranking is not None or self._size() < self.RANKED_APART:
            return
        if self._unjoined:
            ranking = _runs_rank_joined(tuple(self._own_table()), [*self._merged, (self.ids, None)], self._unjoined)
            if ranking is not None:
                self._ranking, self._ranking_joins = ranking, True
                return
        self._ranking = _runs_rank(self._parts(), len(self._known()))

    def result(self) -> Runs:
        if self._size() < self.RANKED_APART:
            ranked, encoded = _runs_finish(self._parts(), self._vocabulary())
        else:
            # Ranked by a thread that holds no GIL: other threads (the
            # chain's writer in a build) go on meanwhile.
            self.rank_now()
            ranking, self._ranking = self._ranking, None
            vocabulary = None if self._ranking_joins else self._vocabulary()
            self._ranking_joins = False
            while (done := _runs_ranked(ranking, vocabulary)) is None:
                time.sleep(0.002)
            if done is False:  # forked while another process's thread ranked: ranked here
                done = _runs_finish(self._parts(), self._vocabulary())
            assert done is not True
            ranked, encoded = done
        return Runs(ranked, encoded)
