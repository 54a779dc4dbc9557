"""A real corpus that every machine has: the standard library's own source
text, split into word tokens."""

from __future__ import annotations

import re
import sysconfig
from pathlib import Path
from typing import Callable, Iterator, List, Optional

_WORD = re.compile(r"\w+")


def stdlib_files() -> Iterator[Path]:
    """The standard library's .py files, in a fixed order."""
    root = Path(sysconfig.get_paths()["stdlib"])
    for path in sorted(root.rglob("*.py")):
        if "site-packages" in path.parts or "test" in path.parts:
            continue
        yield path


def tokenize(text: str) -> List[str]:
    """The word tokens of a text."""
    return _WORD.findall(text)


def stdlib_tokens(limit: Optional[int] = None, each_file: Optional[Callable[[], None]] = None) -> List[str]:
    """Word tokens of the standard library's source, at most ``limit`` of
    them; ``each_file`` is called as each file is read."""
    tokens: List[str] = []
    for path in stdlib_files():
        if each_file is not None:
            each_file()
        try:
            text = path.read_text(encoding="utf-8")
        except (OSError, UnicodeDecodeError):
            continue
        tokens.extend(_WORD.findall(text))
        if limit is not None and len(tokens) >= limit:
            del tokens[limit:]
            break
    return tokens
