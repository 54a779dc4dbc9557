"""Coverage-guided fuzzing of a reader with atheris.

    python fuzz/fuzz_load.py small|big CORPUS_DIR [libFuzzer options]

Every input is loaded into a recording chain in both merge modes (the
streaming reader through each parser backend in turn). A clear Python
exception is a good answer to bad input; SystemError, MemoryError, a crash
or a sanitizer report is a finding.
"""

import importlib
import io
import sys

import atheris

with atheris.instrument_imports(include=["zantu"]):
    import zantu_cjson
    from zantu import MarkovChain


class Recorder:
    def __init__(self):
        self.pairs = 0

    def clear(self):
        self.pairs = 0

    def add_to_bag(self, start, item, count=1):
        if not isinstance(item, (list, tuple, dict, str)):
            for _ in item:
                pass
        self.pairs += 1

    def set_bag(self, start, bag):
        self.pairs += 1


def parsers():
    found = []
    for name in ("yajl2_c", "yajl2_cffi", "python"):
        try:
            found.append(importlib.import_module("ijson.backends." + name))
        except ImportError:
            pass
    return found


def make_target(which):
    load = zantu_cjson.load_json_small if which == "small" else zantu_cjson.load_json_big
    backends = parsers() if which == "big" else [None]

    def test_one(data):
        for backend in backends:
            if backend is not None:
                zantu_cjson.ijson = backend
            for merge in (False, True):
                # A recording chain takes the readers' general path, the
                # package's own chain their direct ones.
                for chain in (Recorder(), MarkovChain()):
                    for file in (io.BytesIO(data), io.TextIOWrapper(io.BytesIO(data), encoding="utf-8")):
                        try:
                            load(chain, file, merge)
                        except (SystemError, MemoryError):
                            raise
                        except Exception:
                            pass

    return test_one


def main():
    which = sys.argv.pop(1)
    if which not in ("small", "big"):
        sys.exit("usage: fuzz_load.py small|big CORPUS_DIR [libFuzzer options]")
    sys.setrecursionlimit(10_000)
    # ijson's parsers raise again when a load abandons them mid-document;
    # Python reports that as unraisable, which is only noise here.
    sys.unraisablehook = lambda unraisable: None
    atheris.Setup(sys.argv, make_target(which))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
