from typing import Any

from zantu.bag import ProbabilityBag as ProbabilityBag

json: Any
math: Any
ijson: Any
OrderedDict: Any
ObjectBuilder: Any
__test__: dict[str, Any]

def dump_json_small(chain: Any, file: Any, frequency_compress: object = True) -> None: ...
def load_json_small(chain: Any, file: Any, merge: object = False) -> None: ...
def dump_json_big(chain: Any, file: Any, frequency_compress: object = True) -> None: ...
def load_json_big(chain: Any, file: Any, merge: object = False) -> None: ...
