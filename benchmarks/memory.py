"""Peak memory of the streaming writer or reader for a document of about the
given size, in this fresh process: python memory.py write|read MEGABYTES.

The chain yields its entries lazily, cycling over the standard library's
vocabulary, so that it costs the same memory whatever the document's size;
the reader loads into a chain that keeps nothing.
"""

import collections
import json
import os
import resource
import sys
import tempfile

import zantu_cjson
from zantu.corpus import stdlib_tokens

PAIRS_PER_ENTRY = 4
BYTES_PER_ENTRY = 60  # about, in the compressed form


class LazyBag:
    __slots__ = ("pairs", "unique_count")

    def __init__(self, pairs):
        self.pairs = pairs
        self.unique_count = len(pairs)

    def choices(self):
        return iter(self.pairs)


class LazyChain:
    def __init__(self, vocabulary, entries):
        self.vocabulary, self.entries = vocabulary, entries

    def __len__(self):
        return self.entries

    def items(self):
        v, n = self.vocabulary, len(self.vocabulary)
        for i in range(self.entries):
            yield v[i % n], LazyBag([((v[(i + k) % n], v[(i * 7 + k) % n]), k + 1) for k in range(PAIRS_PER_ENTRY)])

    def build_frequency_dict(self):
        return {value: n for n, value in enumerate(self.vocabulary)}


class NullFile:
    def __init__(self):
        self.size = 0

    def write(self, text):
        self.size += len(text)


class Keeper:
    """Keeps nothing."""

    def __init__(self):
        self.sink = collections.deque(maxlen=0)

    def clear(self):
        pass

    def add_to_bag(self, start, item, count=1):
        self.sink.extend(item)


def peak_mb():
    """This process's peak resident memory. (ru_maxrss would carry over the
    peak of the process that started this one.)"""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    what, megabytes = sys.argv[1], int(sys.argv[2])
    try:  # the fastest parser: the measure is the reader's own memory
        import ijson.backends.yajl2_c as backend
        zantu_cjson.ijson = backend
    except ImportError:
        pass
    vocabulary = sorted(set(stdlib_tokens(300_000)))
    chain = LazyChain(vocabulary, megabytes * 1_000_000 // BYTES_PER_ENTRY)
    if what == "write":
        out = NullFile()
        zantu_cjson.dump_json_big(chain, out)
        print(json.dumps({"peak_mb": peak_mb(), "bytes": out.size}))
        return
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "chain.json")
        # Written by a child of its own, so that this process's peak is the
        # reader's alone.
        pid = os.fork()
        if pid == 0:
            with open(path, "w", encoding="utf-8") as f:
                zantu_cjson.dump_json_big(chain, f)
            os._exit(0)
        os.waitpid(pid, 0)
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            zantu_cjson.load_json_big(Keeper(), f)
        print(json.dumps({"peak_mb": peak_mb(), "bytes": size}))


if __name__ == "__main__":
    main()
