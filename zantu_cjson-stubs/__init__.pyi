from typing import Any

from zantu.bag import ProbabilityBag as ProbabilityBag
from zantu.protocols import LoadableChain, Readable, SavableChain, TextWriter

json: Any
math: Any
ijson: Any
OrderedDict: Any
ObjectBuilder: Any
__test__: dict[str, Any]

def dump_json_small(chain: SavableChain, file: TextWriter, frequency_compress: object = True) -> None: ...
def load_json_small(chain: LoadableChain, file: Readable, merge: object = False) -> None: ...
def dump_json_big(chain: SavableChain, file: TextWriter, frequency_compress: object = True) -> None: ...
def load_json_big(chain: LoadableChain, file: Readable, merge: object = False) -> None: ...
def __fast_paths__(**switches: bool) -> dict[str, bool]: ...
