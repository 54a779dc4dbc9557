"""The bag of next states of one start, with a count for each."""

from __future__ import annotations

import bisect
import math
import random as _random
from typing import Any, Dict, Iterable, Iterator, List, Optional, Tuple


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


class ProbabilityBag:
    """Next states with counts; the probability of a next state is its share
    of the total count."""

    __slots__ = ("_counts",)

    def __init__(self, counts: Iterable[Tuple[Iterable[Any], Any]] = ()) -> None:
        self._counts: Dict[Tuple[Any, ...], Any] = {}
        for item, count in counts:
            self.add(item, count=count)

    def add(self, item: Iterable[Any], count: Any = 1) -> None:
        """Add ``count`` to the count of ``item`` (a tuple, list or iterator)."""
        key = freeze_item(item)
        counts = self._counts
        if key in counts:
            counts[key] = counts[key] + count
        else:
            counts[key] = count

    @property
    def unique_count(self) -> int:
        """The number of distinct next states, as many as ``choices()`` yields."""
        return len(self._counts)

    def choices(self) -> Iterator[Tuple[Tuple[Any, ...], Any]]:
        """The (next state, count) pairs, in the order they were first added."""
        return iter(self._counts.items())

    def choose(self, random: Optional[Any] = None) -> Tuple[Any, ...]:
        """Draw a next state, each with probability count/total.

        ``random`` is a :class:`random.Random` (anything with ``random()``);
        None draws from the :mod:`random` module's own generator. Counts
        are taken as floats. ValueError for an empty bag, a negative count,
        or counts that add up to zero.
        """
        draw = (random if random is not None else _random).random
        items = list(self._counts.items())
        if not items:
            raise ValueError("cannot choose from an empty bag")
        bounds: List[float] = []
        total = 0.0
        for item, count in items:
            weight = float(count)
            if not weight >= 0.0:
                raise ValueError(f"cannot choose with the count {count!r} of {item!r:.200}")
            total += weight
            bounds.append(total)
        if not 0.0 < total < math.inf:
            raise ValueError(f"cannot choose when the counts add up to {total!r}")
        # The first next state whose running total passes the draw: one of
        # count 0 is never drawn.
        index = bisect.bisect_right(bounds, draw() * total)
        return items[min(index, len(items) - 1)][0]

    def total(self) -> Any:
        """The sum of all counts."""
        return sum(self._counts.values())

    def probability(self, item: Iterable[Any]) -> float:
        """The share of ``item`` in the total count (0.0 when it is absent)."""
        total = self.total()
        if not total:
            return 0.0
        return float(self._counts.get(freeze_item(item), 0) / total)

    def count(self, item: Iterable[Any]) -> Any:
        """The count of ``item``, 0 when it is absent."""
        return self._counts.get(freeze_item(item), 0)

    def __len__(self) -> int:
        return len(self._counts)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ProbabilityBag):
            return NotImplemented
        return self._counts == other._counts

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"ProbabilityBag({list(self._counts.items())!r})"
