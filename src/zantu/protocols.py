"""What the codec asks of the objects handed to it, as typing protocols: a
chain to save, a chain to load into, its bags and the files. The package's
:class:`~zantu.chain.MarkovChain` and :class:`~zantu.bag.ProbabilityBag` are
all of these; so may be a class of your own."""

from __future__ import annotations

from typing import Any, Iterable, Mapping, Protocol, Tuple, Union

from zantu.bag import ProbabilityBag


class Bag(Protocol):
    """The next states of one start, with their counts."""

    @property
    def unique_count(self) -> int:
        """How many pairs ``choices()`` yields."""

    def choices(self) -> Iterable[Tuple[Iterable[Any], Any]]:
        """The (next state, count) pairs."""


class SavableChain(Protocol):
    """A chain the writers can save."""

    def items(self) -> Iterable[Tuple[Any, Bag]]:
        """The (start, bag) pairs."""

    def __len__(self) -> int:
        """How many pairs ``items()`` yields."""

    def build_frequency_dict(self) -> Mapping[Any, Any]:
        """How often each value occurs (the compressed form only)."""


class LoadableChain(Protocol):
    """A chain the readers can fill."""

    def clear(self) -> object:
        """Remove every start (when not merging)."""

    def set_bag(self, start: Any, bag: ProbabilityBag, /) -> object:
        """Install a filled bag for a start."""

    def add_to_bag(self, start: Any, item: Any, /, count: Any = 1) -> object:
        """Add a count to an item (a tuple, list or one-shot iterator)."""


class TextWriter(Protocol):
    """A file the writers write text to."""

    def write(self, text: str, /) -> object:
        """Write a piece of the document."""


class Readable(Protocol):
    """A file the readers read a document from: text, or UTF-8 bytes."""

    def read(self, size: int = -1, /) -> Union[str, bytes]:
        """Read up to ``size`` characters or bytes (all with -1)."""
