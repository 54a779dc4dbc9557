"""A Markov-style chain: for every start, a bag of next states with counts.

:class:`MarkovChain` is a native type (``zantu._native``).
"""

from zantu._native import MarkovChain

__all__ = ["MarkovChain"]
