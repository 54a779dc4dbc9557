"""Text as sentences and tokens, for building chains that generate text.

``sentences(text)`` splits a text into its sentences, trimmed; ``tokens(sentence)``
splits one into words and punctuation marks. Words keep their inner
apostrophes, hyphens, dots and digit groups ("don't", "e-mail", "v3.11",
"3.5", "1,000"); abbreviations and initials keep their dot ("Mr.", "U.S.",
"J."). A sentence ends at a terminator (". ! ? ..." and runs of them, with
the closing quotes and brackets after it) followed by a word that can open
one, at a blank line, and at the end of the text; not after a title
("Dr. Smith"), an initial ("J. Smith"), a decimal point or a terminator
followed by a lower-case word ('"Stop!" he said.').
"""

from __future__ import annotations

import random
from typing import Any, Iterable, Iterator, List, Optional, Tuple

from zantu._native import _sentences, _tokens

__all__ = ["sentences", "tokens", "join"]


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


def join(tokens: Iterable[str]) -> str:
    """Tokens as text, with natural spacing: no blank before punctuation
    that closes or ends, none after what opens; straight quotes open and
    close in turn."""
    out: List[str] = []
    glue = True  # no blank before the next token
    quotes = {q: False for q in _STRAIGHT}  # a straight quote is open
    for token in tokens:
        if token in _STRAIGHT:
            closing = quotes[token]
            quotes[token] = not closing
            if closing:
                out.append(token)
                glue = False
            else:
                out.append(token if glue else " " + token)
                glue = True
            continue
        closes = token in _CLOSING or (token[:1] in _CLOSING and all(c in ".!?…" for c in token))
        out.append(token if glue or closes else " " + token)
        glue = token in _OPENING
    return "".join(out)


def _begin_state(chain: Any, order: Optional[int]) -> Any:
    """The chain's begin state: None for order 1, else a tuple of ``order``
    Nones; the order is found when not given."""
    if order is not None:
        if order < 1:
            raise ValueError("order must be at least 1")
        return None if order == 1 else (None,) * order
    for k in range(1, 9):
        state = None if k == 1 else (None,) * k
        if state in chain:
            return state
    raise ValueError("the chain has no sentence start: build it from sentences (from_text)")


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
              max_words: int = 200, tries: int = 10) -> Iterator[str]:
    # The start is checked at the call, the sentences drawn as they are asked for.
    begin = _begin_state(chain, order)
    state, first_words = _first_state(chain, begin, start)
    return _drawn(chain, 1 if begin is None else len(begin), state, first_words, random.Random(seed), max_words, tries)


def _drawn(chain: Any, size: int, state: Any, first_words: List[str], draws: random.Random, max_words: int,
           tries: int) -> Iterator[str]:
    while True:
        for _ in range(max(1, tries)):
            words = list(first_words)
            for value in chain.walk(state, draws.getrandbits(64), size):
                if value is None:
                    break
                words.append(value)
                if len(words) > max_words:
                    break
            else:
                words = []  # the walk ended before a sentence end
            if words and len(words) <= max_words:
                yield join(words)
                break
        else:
            return  # no sentence came out of `tries` walks
