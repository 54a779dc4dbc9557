import contextlib
import gc
import importlib
import io
import json as std_json
import os

import pytest
import ujson

import zantu_cjson


# ZANTU_TEST_SHORTCUTS=off runs the whole suite with every shortcut of the
# codec off: the plain paths alone must pass it.
def _switch_all_off():
    """Every shortcut of the codec off; what was on before."""
    was = zantu_cjson.__fast_paths__()
    zantu_cjson.__fast_paths__(**dict.fromkeys(was, False))
    return was


SHORTCUTS_OFF = os.environ.get("ZANTU_TEST_SHORTCUTS") == "off"
if SHORTCUTS_OFF:
    _switch_all_off()


@contextlib.contextmanager
def shortcuts_off():
    """Every shortcut of the codec off for the block, then as it was."""
    was = _switch_all_off()
    try:
        yield
    finally:
        zantu_cjson.__fast_paths__(**{name: True for name, on in was.items() if on})


def _plain(value):
    return type(value) in (str, int, float, bool, type(None)) or (type(value) is tuple and all(map(_plain, value)))


def assert_collector_sees_what_may_cycle(chain):
    """A chain leaves untracked only bags that can be in no cycle: plain
    values (in a table of plain values only) and small integer counts."""
    plain = all(_plain(start) and all(_plain(item) for item, _ in bag.choices()) for start, bag in chain.items())
    for start, bag in chain.items():
        if not gc.is_tracked(bag):
            assert plain and all(type(n) is int and 0 <= n < 2 ** 32 for _, n in bag.choices()), start


class Log(list):
    """Calls recorded in order, as (name, args...) tuples."""


class SpyBag:
    def __init__(self, log, name, pairs, unique_count=None):
        self.log, self.name, self.pairs = log, name, list(pairs)
        self.unique_count = len(self.pairs) if unique_count is None else unique_count

    def choices(self):
        self.log.append(("choices", self.name))
        return iter(self.pairs)


class SpyFrequencies:
    def __init__(self, log, pairs):
        self.log, self.pairs = log, list(pairs)

    def items(self):
        self.log.append(("freq.items",))
        return list(self.pairs)


class SpyChain:
    """A chain that records every call made on it.

    ``entries`` is a list of (start, [(next_state, count), ...]) and
    ``frequencies`` the (value, frequency) pairs its frequency mapping
    yields, in order."""

    def __init__(self, entries=(), frequencies=None, length=None, log=None):
        self.log = Log() if log is None else log
        self.entries = [(s, SpyBag(self.log, s, pairs)) for s, pairs in entries]
        self.frequencies = frequencies
        self.length = len(self.entries) if length is None else length

    def items(self):
        self.log.append(("items",))
        return iter(self.entries)

    def __len__(self):
        self.log.append(("len",))
        return self.length

    def build_frequency_dict(self):
        self.log.append(("build_frequency_dict",))
        return SpyFrequencies(self.log, self.frequencies)

    def clear(self):
        self.log.append(("clear",))

    def set_bag(self, start, bag):
        self.log.append(("set_bag", start, bag))

    def add_to_bag(self, start, item, count=None):
        if is_one_shot(item):
            item = ("generator", tuple(item))
        self.log.append(("add_to_bag", start, item, count))


def is_one_shot(item):
    """Whether ``item`` is a one-shot iterator (the lazy item of decoded mode)."""
    try:
        return iter(item) is item
    except TypeError:
        return False


class RecordingBag:
    """Stands in for ProbabilityBag in the module namespace."""

    log = None

    def __init__(self):
        RecordingBag.log.append(("ProbabilityBag",))
        self.added = []

    def add(self, item, count=None):
        RecordingBag.log.append(("add", item, count))
        self.added.append((item, count))

    def __repr__(self):
        return f"RecordingBag({self.added!r})"


class ListBag:
    """A bag whose choices() is a list's own iterator."""

    def __init__(self, pairs):
        self.pairs = pairs

    @property
    def unique_count(self):
        return len(self.pairs)

    def choices(self):
        return iter(self.pairs)


class ListChain:
    """A chain whose items() is a list's own iterator over (start, bag); its
    frequency mapping counts each value once per place, unless given."""

    def __init__(self, entries, values=None):
        self.entries = entries
        if values is None:
            values = {}
            for start, bag in entries:
                values[start] = values.get(start, 0) + 1
                for item, _ in bag.pairs:
                    for value in item:
                        values[value] = values.get(value, 0) + 1
        self.values = values

    def __len__(self):
        return len(self.entries)

    def items(self):
        return iter(self.entries)

    def build_frequency_dict(self):
        return self.values


class SpyFile:
    """A text file that records every write as a piece."""

    def __init__(self):
        self.pieces = []

    def write(self, text):
        self.pieces.append(text)
        return len(text)

    def getvalue(self):
        return "".join(self.pieces)


class Changing(io.StringIO):
    """A file that, at its n-th piece, calls `change(file)`: a change of
    what the writer finds for the pieces after it (`file.write`,
    `json.dumps`, the bags' methods)."""

    def __init__(self, at, change):
        super().__init__()
        self.at, self.change, self.pieces = at, change, []

    def write(self, text):
        self.pieces.append(text)
        if len(self.pieces) == self.at:
            self.change(self)
        return len(text)


def pieces_and_error(writer, chain, out, compress):
    """The pieces that `writer` wrote to `out`, and the type of the error
    it ended with (None when it ended well)."""
    try:
        writer(chain, out, compress)
        return out.pieces, None
    except Exception as error:
        return out.pieces, type(error)


# Worked example: start a with (b, c) x3 and (c,) x1, start b with (a,) x2;
# the frequency mapping yields b 4, a 5, c 4.
EXAMPLE_ENTRIES = [("a", [(("b", "c"), 3), (("c",), 1)]), ("b", [(("a",), 2)])]
EXAMPLE_FREQUENCIES = [("b", 4), ("a", 5), ("c", 4)]


@pytest.fixture
def example_chain():
    return SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES)


@pytest.fixture
def rebind():
    """Rebinds module-level names of zantu_cjson for one test."""
    saved = {}

    def set_name(name, value):
        if name not in saved:
            saved[name] = getattr(zantu_cjson, name, _MISSING)
        if value is _MISSING:
            delattr(zantu_cjson, name)
        else:
            setattr(zantu_cjson, name, value)

    yield set_name
    for name, value in saved.items():
        if value is _MISSING:
            if hasattr(zantu_cjson, name):
                delattr(zantu_cjson, name)
        else:
            setattr(zantu_cjson, name, value)


_MISSING = object()


@pytest.fixture(params=["ujson", "json"])
def encoder(request, rebind):
    """Each test runs with ujson and with the standard json bound as json."""
    module = ujson if request.param == "ujson" else std_json
    rebind("json", module)
    return module


@pytest.fixture
def recording_bag(rebind):
    log = Log()
    RecordingBag.log = log
    rebind("ProbabilityBag", RecordingBag)
    return log


def _backends():
    names = []
    for name in ("yajl2_c", "yajl2_cffi", "python"):
        try:
            importlib.import_module("ijson.backends." + name)
        except ImportError:
            continue
        names.append(name)
    return names


BACKENDS = _backends()
# Every backend, a missing one reported as skipped (yajl2_cffi needs cffi and
# Debian's libyajl2).
ALL_BACKENDS = [name if name in BACKENDS else
                pytest.param(name, marks=pytest.mark.skip(reason=f"ijson's {name} backend does not import here"))
                for name in ("yajl2_c", "yajl2_cffi", "python")]


@pytest.fixture(params=ALL_BACKENDS)
def backend(request, rebind):
    """Each test runs with every ijson parser backend present."""
    module = importlib.import_module("ijson.backends." + request.param)
    rebind("ijson", module)
    return module


def text_file(text=""):
    return io.StringIO(text)
