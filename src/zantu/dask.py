"""Building a chain on a Dask cluster (``pip install zantu[dask]``).

    >>> import dask.bag
    >>> texts = dask.bag.read_text("corpus/*.txt", files_per_partition=8)  # or from_sequence
    >>> chain = zantu.dask.build(texts, order=2)

Each element of the bag is a text of its own (no pair spans two texts) or,
with ``files=True``, the path of a UTF-8 text file (.gz read through gzip)
that the workers can read. Every partition is counted into a chain on the
workers, and the chains are added up in the bag's order by Dask's tree
reduction, so that however the bag is partitioned the chain is the one that
counting its elements in order in one process gives. Dask does the
scheduling, retries and transport: chains travel pickled, in their compact
form.
"""

from __future__ import annotations

import os
from typing import Any, Iterable, Optional, Union

import dask.bag

from zantu.chain import MarkovChain
from zantu.counting import Joiner, Part, on_one_core, part_blocks
from zantu.files import save

__all__ = ["build"]


def count_partition(elements: Iterable[Any], order: int, files: bool, split: str = "sentences") -> MarkovChain:
    """The chain of one partition's texts, counted in their order (the
    worker is one of several: its texts are split on its own core)."""
    with on_one_core():
        joiner = Joiner(order, split)
        for element in elements:
            if files:
                joiner.add_blocks(part_blocks(Part(os.fspath(element))))
            elif isinstance(element, str):
                joiner.add_blocks([element])
            else:
                raise TypeError(f"a text must be a str, not {type(element).__name__} (files=True for paths)")
            joiner.next_text()
        return joiner.result()


def add_up(chains: Iterable[MarkovChain]) -> MarkovChain:
    """The partitions' chains added up in their order, into a new chain:
    a task leaves its inputs as they were (Dask may run it again)."""
    total = MarkovChain()
    for chain in chains:
        total.update(chain)
    return total


def build(bag: dask.bag.Bag, order: int = 1, *, split: str = "sentences", files: bool = False,
          path: Union[str, "os.PathLike[str]", None] = None, split_every: Optional[int] = None,
          **compute: Any) -> MarkovChain:
    """The chain of the texts (or, with ``files``, the files) of a Dask bag,
    counted on the cluster of the current Dask client (or Dask's default
    scheduler). ``order``: tokens of context per state; ``split``: read each
    text as "sentences", "lines" or plain "words" (see
    MarkovChain.from_text). With ``path`` the chain is
    also written there (compressed form, piece by piece; .gz by name).
    ``split_every`` is the reduction tree's fan-in; other keywords go to
    ``compute``."""
    if order < 1:
        raise ValueError("order must be at least 1")
    Joiner(order, split)  # checks the split here, not on the workers
    counted = bag.reduction(  # type: ignore[no-untyped-call]
        lambda part: count_partition(part, order, files, split), add_up, split_every=split_every, name="zantu-build")
    chain: MarkovChain = counted.compute(**compute)
    if path is not None:
        save(chain, path)
    return chain
