"""The plain-Python chain and bag that the package's native types replaced:
the reference that the tests check the native ones against, and the
baseline of the benchmarks. Not part of the package."""

from __future__ import annotations

import bisect
import math
import random as _random
from typing import Any, Dict, ItemsView, Iterable, Iterator, List, Optional, Sequence, Tuple

from zantu.bag import freeze, freeze_item


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


class MarkovChain:
    """Maps each start (a hashable value) to the :class:`ProbabilityBag` of
    the next states seen after it.

    This is the object that the ``zantu_cjson`` writers read and its readers
    fill: ``items``, ``len``, ``build_frequency_dict``, ``clear``,
    ``set_bag`` and ``add_to_bag``.
    """

    __slots__ = ("_bags",)

    def __init__(self) -> None:
        self._bags: Dict[Any, ProbabilityBag] = {}

    @classmethod
    def from_tokens(cls, tokens: Sequence[Any], order: int = 1) -> "MarkovChain":
        """Build a chain that counts, after every run of ``order`` tokens,
        the token that follows (see add_tokens)."""
        if order < 1:
            raise ValueError("order must be at least 1")
        chain = cls()
        chain.add_tokens(tokens, order)
        return chain

    def add_tokens(self, tokens: Sequence[Any], order: int = 1) -> None:
        """Count, after every run of ``order`` tokens, the token that
        follows: the start is the run's state (the token itself for order 1,
        else the tuple of the tokens), the next state the one-element tuple
        of the token after it.

        Equal tokens are kept as one object, and so are equal next states: a
        tokenizer hands out a new string per occurrence, and the chain would
        otherwise hold one string, and one next-state tuple, per pair that
        it keeps (several times the memory, and scattered).
        """
        bags = self._bags
        shared: Dict[Any, Any] = {}
        tokens = [shared.setdefault(token, token) for token in tokens]
        del shared
        states: Dict[Any, Any] = {}
        for i in range(order, len(tokens)):
            start = tokens[i - 1] if order == 1 else tuple(tokens[i - order:i])
            start = states.setdefault(start, start)
            bag = bags.get(start)
            if bag is None:
                bag = bags[start] = ProbabilityBag()
            state = (tokens[i],)
            bag.add(states.setdefault(state, state))

    # The interface that the codecs use.

    def items(self) -> ItemsView[Any, ProbabilityBag]:
        """The (start, bag) pairs."""
        return self._bags.items()

    def __len__(self) -> int:
        return len(self._bags)

    def build_frequency_dict(self) -> Dict[Any, Any]:
        """How often each value occurs as a start or inside a next state,
        weighted by the counts; every start is a key, even one whose bag is
        empty."""
        freq: Dict[Any, Any] = {}
        get = freq.get
        for start, bag in self._bags.items():
            total = 0
            for item, count in bag.choices():
                total = total + count
                for value in item:
                    freq[value] = get(value, 0) + count
            freq[start] = get(start, 0) + total
        return freq

    def clear(self) -> None:
        """Remove every start."""
        self._bags.clear()

    def set_bag(self, start: Any, bag: ProbabilityBag) -> None:
        """Install ``bag`` as the bag of ``start``."""
        self._bags[freeze(start)] = bag

    def add_to_bag(self, start: Any, item: Iterable[Any], count: Any = 1) -> None:
        """Add ``count`` to ``item`` in the bag of ``start``, creating both as
        needed. ``item`` may be a tuple, a list or a one-shot iterator."""
        start = freeze(start)
        bag = self._bags.get(start)
        if bag is None:
            bag = self._bags[start] = ProbabilityBag()
        bag.add(item, count=count)

    # Generation.

    def update(self, other: Any) -> None:
        for start, bag in list(other.items()):
            for item, count in list(bag.choices()):
                self.add_to_bag(start, item, count=count)

    def walk(self, start: Any, seed: Any = None, order: Optional[int] = None) -> Iterator[Any]:
        """Yield values drawn from the chain, without end: from the bag of
        the current start a next state is drawn (:meth:`ProbabilityBag.choose`),
        its values are yielded, and the last ``order`` values of the start
        and the state in a row are the next start (the last value itself for
        order 1; by default the length of a tuple start, else 1). Ends where
        a start has no bag, or an empty one, or a next state is empty.

        The walk draws from a :class:`random.Random` of its own, made from
        the second argument: the same argument gives the same values on
        every run and machine.
        """
        current = freeze(start)
        if order is None:
            order = len(current) if type(current) is tuple and len(current) > 1 else 1
        if order < 1:
            raise ValueError("order must be at least 1")
        if order > 1 and (type(current) is not tuple or len(current) != order):
            raise ValueError(f"the start of a walk of order {order} must be a tuple of {order} values")
        draws = _random.Random(seed)
        while True:
            bag = self._bags.get(current)
            if bag is None or not len(bag):
                return
            state = bag.choose(draws)
            yield from state
            if not state:
                return
            current = freeze(state[-1]) if order == 1 else freeze((current + tuple(state))[-order:])

    # Conveniences for callers.

    def get_bag(self, start: Any) -> Optional[ProbabilityBag]:
        """The bag of ``start``, or None."""
        return self._bags.get(freeze(start))

    def __contains__(self, start: object) -> bool:
        return freeze(start) in self._bags

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, MarkovChain):
            return NotImplemented
        return self._bags == other._bags

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"MarkovChain({len(self._bags)} starts)"
