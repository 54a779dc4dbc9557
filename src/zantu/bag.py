"""The bag of next states of one start, with a count for each.

:class:`ProbabilityBag` is a native type (``zantu._native``).
"""

from __future__ import annotations

from typing import Any, Iterable, Tuple

from zantu._native import ProbabilityBag

__all__ = ["ProbabilityBag", "freeze", "freeze_item"]


def freeze(value: Any) -> Any:
    """Return ``value`` with every list in it, however deep, turned into a tuple.

    Documents bring arrays back as lists, while a chain keys its starts and
    next states by tuples; freezing makes what was saved and what was loaded
    compare equal.
    """
    cls = type(value)
    if cls is list or cls is tuple:
        return tuple([freeze(v) for v in value])
    return value


def freeze_item(item: Iterable[Any]) -> Tuple[Any, ...]:
    """Turn a next state that arrives as a tuple, a list or a one-shot
    iterator into the tuple under which it is stored."""
    if type(item) is tuple:
        for v in item:
            if type(v) is list or type(v) is tuple:
                return tuple([freeze(v) for v in item])
        return item
    return tuple([freeze(v) for v in item])
