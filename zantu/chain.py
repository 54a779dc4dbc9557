"""A Markov-style chain: for every start, a bag of next states with counts."""

from __future__ import annotations

import random
from typing import Any, Dict, ItemsView, Iterable, Iterator, Optional, Sequence

from zantu.bag import ProbabilityBag, freeze


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
        """Build a chain in which every token is a start whose next state is
        the tuple of the ``order`` tokens after it."""
        if order < 1:
            raise ValueError("order must be at least 1")
        chain = cls()
        chain.add_tokens(tokens, order)
        return chain

    def add_tokens(self, tokens: Sequence[Any], order: int = 1) -> None:
        """Count every token's next ``order`` tokens.

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
        for i in range(len(tokens) - order):
            start = tokens[i]
            bag = bags.get(start)
            if bag is None:
                bag = bags[start] = ProbabilityBag()
            state = tuple(tokens[i + 1:i + 1 + order])
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

    def walk(self, start: Any, seed: Any = None) -> Iterator[Any]:
        """Yield values drawn from the chain, without end: from the bag of
        the current start a next state is drawn (:meth:`ProbabilityBag.choose`),
        its values are yielded, and its last value is the next start. Ends
        where a start has no bag, or an empty one, or a next state is empty.

        The walk draws from a :class:`random.Random` of its own, made from
        the second argument: the same argument gives the same values on
        every run and machine.
        """
        draws = random.Random(seed)
        current = freeze(start)
        while True:
            bag = self._bags.get(current)
            if bag is None or not len(bag):
                return
            state = bag.choose(draws)
            yield from state
            if not state:
                return
            current = freeze(state[-1])

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
