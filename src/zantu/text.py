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

from typing import List

from zantu._native import _sentences, _tokens

__all__ = ["sentences", "tokens"]


def sentences(text: str, *, lines: bool = False) -> List[str]:
    """The sentences of ``text``, trimmed; with ``lines``, each non-blank
    line is one (for lists, poems and code)."""
    return _sentences(text, lines=lines)


def tokens(sentence: str) -> List[str]:
    """The tokens of ``sentence``: its words and punctuation marks, in order."""
    return _tokens(sentence)
