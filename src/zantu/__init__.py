"""Markov-style chains saved to and loaded from compact JSON documents.

The codec itself is the extension module ``zantu_cjson``; this package holds
the bag (:class:`zantu.bag.ProbabilityBag`) and the chain
(:class:`zantu.chain.MarkovChain`) that it reads and fills.
"""

from zantu.bag import ProbabilityBag
from zantu.chain import MarkovChain

__all__ = ["MarkovChain", "ProbabilityBag"]
