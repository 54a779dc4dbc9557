"""The chain document codec in plain Python: the same four functions and the
same documents as the native ``zantu_cjson``, written without its shortcuts.

The tests' oracle: a second, independent rendering of the format that the
native module is held against. Not part of the package.
"""

from __future__ import annotations

import math
import re
from collections import OrderedDict
from decimal import Decimal
from typing import Any, Dict, Iterator, List, Optional, Tuple

try:
    import ujson as json
except ImportError:  # pragma: no cover - ujson is a dependency
    import json  # type: ignore[no-redef]

import ijson
from ijson import ObjectBuilder

from zantu.bag import ProbabilityBag
from zantu.errors import MissingCodeError


# ijson's own basic_parse (every backend's shares this code) is given blocks
# of 2 KiB instead of its default 64 KiB: each block becomes a batch of event
# tuples, and large batches set the cyclic collector off far more often.
# Recognised only while it takes buf_size by name. The native reader uses
# the same size.
def _code_taking_buf_size(function: Any) -> Any:
    code = getattr(function, "__code__", None)
    if code is None:
        return None
    by_name = code.co_varnames[code.co_posonlyargcount:code.co_argcount + code.co_kwonlyargcount]
    return code if "buf_size" in by_name else None


_IJSON_BASIC_PARSE = _code_taking_buf_size(ijson.basic_parse)
_PARSER_BLOCK = 2048


class _Entry:
    __slots__ = ("value", "text", "literal")

    def __init__(self, value: Any, text: str, literal: bool) -> None:
        self.value, self.text, self.literal = value, text, literal


def code_table(chain: Any, encoder: Any = None) -> Tuple[List[_Entry], Dict[Any, int], int]:
    """The code table of a chain: entries by position, value -> position, and
    the length that the frequency items announce."""
    encoder = encoder or json
    items = chain.build_frequency_dict().items()
    announced = len(items)
    entries: List[_Entry] = []
    positions: Dict[Any, int] = {}
    for position, x in enumerate(sorted(items, key=lambda x: -x[1])):
        value = x[0]
        text = encoder.dumps(value)
        literal = (position > 9 and int(math.log10(position)) + 1 >= len(text)
                   and text[:1] not in ("[", "{"))
        positions[value] = position
        entries.append(_Entry(value, text, literal))
    # A literal code must never equal an integer code of the table.
    candidates = [p for p, e in enumerate(entries) if e.literal and not isinstance(e.value, str)]
    if candidates:
        integer_codes = {p for p, e in enumerate(entries) if not e.literal}
        waiting: Dict[Any, List[int]] = {}
        settle: List[int] = []
        for p in candidates:
            value = entries[p].value
            if value in integer_codes:
                settle.append(p)
            else:
                waiting.setdefault(value, []).append(p)
        while settle:
            p = settle.pop()
            if entries[p].literal:
                entries[p].literal = False
                integer_codes.add(p)
                settle.extend(waiting.pop(p, ()))
    return entries, positions, announced


def _code(entries: List[_Entry], positions: Dict[Any, int], value: Any) -> Any:
    p = positions[value]
    e = entries[p]
    return e.value if e.literal else p


def dump_json_small(chain: Any, file: Any, frequency_compress: Any = True) -> None:
    """Builds the whole document and writes it with one json.dump."""
    codes_list: List[Any] = []
    compress = bool(frequency_compress)
    if compress:
        entries, positions, _ = code_table(chain)
        for p, e in enumerate(entries):
            codes_list.append(e.value if e.literal else p)
            codes_list.append(e.value)
    chain_array: List[Any] = []
    for start, bag in chain.items():
        if compress:
            chain_array.append(_code(entries, positions, start))
            bag_array: List[Any] = []
            for val, cnt in bag.choices():
                bag_array.append(tuple([_code(entries, positions, s) for s in val]))
                bag_array.append(_document_count(cnt))
        else:
            chain_array.append(start)
            bag_array = []
            for val, cnt in bag.choices():
                bag_array.append(val)
                bag_array.append(_document_count(cnt))
        chain_array.append(tuple(bag_array))
    # The document is made first; json.dump is looked up after.
    document = OrderedDict((("codes", codes_list), ("chain", tuple(chain_array))))
    json.dump(document, file)


_JSON_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?\Z")
_INTEGRAL = re.compile(r"-?[0-9]+\Z")


def _count_text(count: Any) -> str:
    """A count's plain text, str(count), which must be a JSON number: a str
    or bytes count is refused even when its text reads as one."""
    if type(count) is int:
        return str(count)
    if isinstance(count, (str, bytes, bytearray)):
        raise ValueError(f"count {count!r:.200} is not a JSON number")
    text = str(count)
    if not _JSON_NUMBER.match(text):
        raise ValueError(f"count {count!r:.200} is not a JSON number")
    return text


def _document_count(count: Any) -> Any:
    """What the in-memory writer hands to the encoder for a count: an int,
    or a finite float, as it is; any other count, under the same rule as
    _count_text, as the int or float that its text reads as."""
    if type(count) is int:
        return count
    if type(count) is float:
        if math.isfinite(count):
            return count
        raise ValueError(f"count {count!r:.200} is not a JSON number")
    text = _count_text(count)
    return int(text) if _INTEGRAL.match(text) else float(text)


def dump_json_big(chain: Any, file: Any, frequency_compress: Any = True) -> None:
    """Writes the document piece by piece with file.write."""
    write = file.write
    write('{"codes":[')
    compress = bool(frequency_compress)
    if compress:
        entries, positions, announced = code_table(chain)
        if entries and len(entries) != announced:
            raise ValueError(f"the frequency items announce {announced} values but yielded {len(entries)}")
        texts = [e.text if e.literal else str(p) for p, e in enumerate(entries)]
        end = announced - 1
        for p, e in enumerate(entries):
            write(f"{texts[p]},{e.text}{',' if p != end else ''}")
    write('],"chain":[')
    chain_end = len(chain) - 1
    idx = -1
    for idx, (start, bag) in enumerate(chain.items()):
        if idx > chain_end:
            raise ValueError(f"len(chain) is {chain_end + 1} but chain.items() yielded more")
        write((texts[positions[start]] if compress else json.dumps(start)) + ",[")
        bag_end = bag.unique_count - 1
        closed = False
        idx2 = -1
        for idx2, (next_start, count) in enumerate(bag.choices()):
            if closed:
                raise ValueError(f"unique_count {bag.unique_count!r} of start {start!r} is too small")
            if compress:
                piece = "[" + ",".join([texts[positions[n]] for n in next_start]) + "]"
            else:
                piece = json.dumps(next_start)
            closed = idx2 == bag_end
            tail = "," + _count_text(count) + ("" if closed else ",")
            write(piece)
            write(tail)
        if idx2 >= 0 and not closed:
            raise ValueError(f"unique_count {bag.unique_count!r} of start {start!r} is too large")
        write("]," if idx != chain_end else "]")
    if idx >= 0 and idx != chain_end:
        raise ValueError(f"len(chain) is {chain_end + 1} but chain.items() yielded {idx + 1}")
    write("]}")


def load_json_small(chain: Any, file: Any, merge: Any = False) -> None:
    """Reads the whole document with one json.load, checks it, then loads it."""
    document = json.load(file)
    table = _code_table(document["codes"])
    entries = document["chain"]
    merging = bool(merge)
    decoded = bool(table)
    plan: List[Tuple[Any, List[Tuple[Any, Any]]]] = []
    for start, bag_array in _pairs(entries, _ODD_CHAIN):
        pairs: List[Tuple[Any, Any]] = []
        value = _UNSET
        for item, count in _pairs(bag_array, lambda: _odd_bag(start)):
            if decoded and merging and value is _UNSET:
                value = _decode(table, start)
            if not isinstance(item, (list, tuple)):
                raise _not_an_item(start, _json_kind(item))
            if decoded:
                item = tuple([_decode(table, c) for c in item])
            elif not merging:
                item = tuple(item)
            if not _is_count(count):
                raise _not_a_count(start, _json_kind(count))
            pairs.append((item, count))
        if value is _UNSET and not (decoded and merging):
            value = _decode(table, start) if decoded else start
        plan.append((value, pairs))
    if merging:
        for start, pairs in plan:
            for item, count in pairs:
                chain.add_to_bag(start, item, count=count)
        return
    chain.clear()
    for start, pairs in plan:
        bag = ProbabilityBag()
        for item, count in pairs:
            bag.add(item, count=count)
        chain.set_bag(start, bag)


# What the readers refuse rather than lose, in the native module's words.
_UNSET = object()
_ODD_CODES = '"codes" has an odd number of elements: its last code has no value'
_ODD_CHAIN = '"chain" has an odd number of elements: its last start has no bag array'


def _odd_bag(start: Any) -> str:
    return f"the bag array of start {start!r:.200} has an odd number of elements: its last item has no count"


def _not_an_item(start: Any, found: str) -> ValueError:
    return ValueError(f"expected an item (an array) in the bag array of start {start!r:.200}, found {found}")


def _not_a_count(start: Any, found: str) -> ValueError:
    return ValueError(f"expected the count (a number) of an item of start {start!r:.200}, found {found}")


def _pairs(iterable: Any, odd: Any) -> Iterator[Tuple[Any, Any]]:
    """The elements of one iterator two at a time; ValueError (with the
    message ``odd``, or what it returns) when one is left over."""
    it = iter(iterable)
    for first in it:
        for second in it:
            yield first, second
            break
        else:
            raise ValueError(odd() if callable(odd) else odd)


def _code_table(codes: Any) -> Dict[Any, Any]:
    table: Dict[Any, Any] = {}
    for code, value in _pairs(codes, _ODD_CODES):
        table[code] = value
    return table


def _decode(table: Dict[Any, Any], code: Any) -> Any:
    try:
        return table[code]
    except KeyError:
        raise MissingCodeError(code) from None


def _json_kind(value: Any) -> str:
    if isinstance(value, (list, tuple)):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    if isinstance(value, (str, bytes, bytearray)):
        return "a string"
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    return "a number"


def _is_count(value: Any) -> bool:
    return _json_kind(value) == "a number"


_FOUND = {"start_map": "an object", "end_map": "the end of an object", "start_array": "an array",
          "end_array": "the end of an array", "map_key": "an object key", "number": "a number",
          "string": "a string", "boolean": "a boolean", "null": "null"}


def _number(value: Any) -> Any:
    return float(value) if isinstance(value, Decimal) else value


def load_json_big(chain: Any, file: Any, merge: Any = False) -> None:
    """Reads the document event by event and adds every pair as it is read."""
    pending_clear = not merge
    if hasattr(file, "read") and isinstance(file.read(0), str):
        file = _Utf8Reader(file)
    basic_parse = ijson.basic_parse
    if getattr(basic_parse, "__code__", None) is _IJSON_BASIC_PARSE:
        events: Iterator[Tuple[str, Any]] = iter(basic_parse(file, buf_size=_PARSER_BLOCK))
    else:
        events = iter(basic_parse(file))
    table: Optional[Dict[Any, Any]] = None
    saw_chain = False
    first = next(events, None)
    if first is None or first[0] != "start_map":
        raise ValueError("the document is not a JSON object")
    key = None
    for event, value in events:
        if event == "map_key":
            key = value
            continue
        if event == "end_map":
            break
        if key in ("codes", "chain"):
            if event != "start_array":
                raise ValueError(f'"{key}" is not an array')
            if key == "codes":
                table = _code_table(_assemble(event, value, events))
            else:
                saw_chain = True
                pending_clear = _read_chain(chain, events, table, pending_clear)
        elif event in ("start_map", "start_array"):
            _assemble(event, value, events)
    else:
        raise ValueError("the parser's events ended inside the document")
    if not saw_chain:
        raise ValueError('the document has no "chain" array')
    if pending_clear:
        chain.clear()


class _Utf8Reader:
    def __init__(self, file: Any) -> None:
        self.file = file

    def read(self, size: int = -1) -> bytes:
        text: str = self.file.read(size)
        return text.encode("utf-8")


def _assemble(event: str, value: Any, events: Iterator[Tuple[str, Any]]) -> Any:
    """The value whose first event is (event, value), read to its end."""
    if event not in ("start_map", "start_array"):
        return _number(value)
    builder = ObjectBuilder()
    builder.event(event, value)
    depth = 1
    for event, value in events:
        builder.event(event, _number(value))
        if event in ("start_map", "start_array"):
            depth += 1
        elif event in ("end_map", "end_array"):
            depth -= 1
            if depth == 0:
                break
    return builder.value


def _read_chain(chain: Any, events: Iterator[Tuple[str, Any]], table: Optional[Dict[Any, Any]],
                pending_clear: bool) -> bool:
    decoded = bool(table)
    for event, value in events:
        if event == "end_array":
            return pending_clear
        if event in ("map_key", "end_map"):
            raise ValueError(f'expected a start in "chain", found {_FOUND[event]}')
        start = _assemble(event, value, events)
        event, value = next(events)
        if event == "end_array":
            raise ValueError(_ODD_CHAIN)
        if event != "start_array":
            raise ValueError(f"expected the bag array of start {start!r:.200} in \"chain\", found {_FOUND[event]}")
        for event, value in events:
            if event == "end_array":
                break
            if event != "start_array":
                raise _not_an_item(start, _FOUND[event])
            item = _assemble(event, value, events)
            event, value = next(events)
            if event == "end_array":
                raise ValueError(_odd_bag(start))
            if event != "number":
                raise _not_a_count(start, _FOUND[event])
            count = _number(value)
            if decoded:
                assert table is not None
                s = _decode(table, start)
                gen = (_decode(table, c) for c in item)
                if pending_clear:
                    chain.clear()
                    pending_clear = False
                chain.add_to_bag(s, gen, count=count)
            else:
                if pending_clear:
                    chain.clear()
                    pending_clear = False
                chain.add_to_bag(start, item, count=count)
    return pending_clear
