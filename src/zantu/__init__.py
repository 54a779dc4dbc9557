"""Markov-style chains saved to and loaded from compact JSON documents.

The codec itself is the extension module ``zantu_cjson``; this package holds
the bag (:class:`zantu.bag.ProbabilityBag`) and the chain
(:class:`zantu.chain.MarkovChain`) that it reads and fills.
"""

__version__ = "0.1.0"

from zantu.bag import ProbabilityBag  # noqa: E402
from zantu.chain import MarkovChain  # noqa: E402

__all__ = ["MarkovChain", "ProbabilityBag", "__version__"]
