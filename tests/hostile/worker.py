"""Loads hostile documents through every reader, in a child process.

Usage: python worker.py CASES.json OUT.jsonl

CASES.json holds a list of {"name", "data" (latin-1 text of the bytes),
"expect" (optional: the JSON text of the one item element the document
holds, as Python's json reads it)}. Every case runs through both readers,
both merge modes, text and binary files, the in-memory reader with ujson and
with the standard json, the streaming reader with every parser backend. One
line per run goes to OUT.jsonl: the case, the configuration and the outcome.
The process limits its own address space, so that memory out of proportion
to the input ends in MemoryError instead of a swamped machine.
"""

import importlib
import io
import json
import os
import resource
import sys

import zantu_cjson

# AddressSanitizer reserves far more address space than any limit allows.
if not os.environ.get("ZANTU_SANITIZED"):
    resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))


class Recorder:
    """A chain that keeps what it is given, with lazy items made concrete."""

    def __init__(self):
        self.pairs = []
        self.bags = 0

    def clear(self):
        self.pairs.clear()

    def add_to_bag(self, start, item, count=1):
        if not isinstance(item, (list, tuple, dict, str)) and iter(item) is item:
            item = list(item)
        self.pairs.append((start, list(item) if isinstance(item, tuple) else item, count))

    def set_bag(self, start, bag):
        self.bags += 1


def configurations():
    for encoder in ("ujson", "json"):
        yield "small/" + encoder, zantu_cjson.load_json_small, ("json", importlib.import_module(encoder))
    for backend in ("yajl2_c", "yajl2_cffi", "python"):
        try:
            module = importlib.import_module("ijson.backends." + backend)
        except ImportError:
            continue
        yield "big/" + backend, zantu_cjson.load_json_big, ("ijson", module)


def same(a, b):
    """Equality that tells 1 from 1.0 and True, and nan from nothing."""
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and (a == b or a != a and b != b)


def run(case, name, load, binding, merge, mode):
    data = case["data"].encode("latin-1")
    setattr(zantu_cjson, *binding)
    if mode == "binary":
        file = io.BytesIO(data)
    else:
        file = io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")
    chain = Recorder()
    try:
        load(chain, file, merge)
    except Exception as e:  # every outcome is recorded; the parent judges
        return {"outcome": "error", "type": type(e).__name__, "message": str(e)[:200]}
    result = {"outcome": "loaded"}
    if "expect" in case and merge:
        # The document holds one pair whose item has one element: the value.
        expected = json.loads(case["expect"])
        if len(chain.pairs) != 1 or not same(chain.pairs[0][1], expected):
            got = chain.pairs[0][1] if len(chain.pairs) == 1 else chain.pairs
            result["differs"] = repr(got)[:200]
    return result


def main():
    cases = json.load(open(sys.argv[1], encoding="utf-8"))
    with open(sys.argv[2], "w", encoding="utf-8") as out:
        for case in cases:
            for name, load, binding in configurations():
                for merge in (False, True):
                    for mode in ("binary", "text"):
                        result = run(case, name, load, binding, merge, mode)
                        result.update(case=case["name"], reader=name, merge=merge, mode=mode)
                        out.write(json.dumps(result) + "\n")
                        out.flush()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss // 1024
    print(json.dumps({"peak_mb": peak}))


if __name__ == "__main__":
    main()
