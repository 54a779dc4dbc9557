"""A write, a read, a chain method or a bag method that raises at its k-th
call, for every k: the exception reaches the caller unchanged, and the
reference counts of the caller's objects are as before."""

import gc
import io
import sys

import pytest

import zantu_cjson
from zantu import MarkovChain


class Boom(Exception):
    pass


class Countdown:
    """Raises its one exception at the k-th tick."""

    def __init__(self, k):
        self.k, self.ticks, self.error = k, 0, Boom()

    def tick(self):
        self.ticks += 1
        if self.ticks == self.k:
            raise self.error


class FailingBag:
    def __init__(self, countdown, pairs=()):
        self.countdown, self.pairs = countdown, list(pairs)

    def choices(self):
        self.countdown.tick()
        return iter(self.pairs)

    @property
    def unique_count(self):
        self.countdown.tick()
        return len(self.pairs)

    def add(self, item, count=1):
        self.countdown.tick()
        self.pairs.append((tuple(item), count))


class FailingChain:
    def __init__(self, countdown, source):
        self.countdown = countdown
        self.entries = [(start, FailingBag(countdown, bag.choices())) for start, bag in source.items()]
        self.frequencies = source.build_frequency_dict()

    def items(self):
        self.countdown.tick()
        return iter(self.entries)

    def __len__(self):
        self.countdown.tick()
        return len(self.entries)

    def build_frequency_dict(self):
        self.countdown.tick()
        return self.frequencies

    def clear(self):
        self.countdown.tick()

    def set_bag(self, start, bag):
        self.countdown.tick()

    def add_to_bag(self, start, item, count=1):
        self.countdown.tick()
        list(item) if not isinstance(item, (list, tuple)) else item


class FailingFile(io.StringIO):
    def __init__(self, countdown, text=""):
        super().__init__(text)
        self.countdown = countdown

    def write(self, text):
        self.countdown.tick()
        return super().write(text)

    def read(self, size=-1):
        if size != 0:
            self.countdown.tick()
        return super().read(size)


VALUES = ["alpha" * 3, "beta" * 3, "γ" * 5, 10 ** 30, 2.5, (1, "x" * 7)]


def source_chain():
    chain = MarkovChain()
    for i, start in enumerate(VALUES):
        chain.add_to_bag(start, (VALUES[(i + 1) % len(VALUES)], VALUES[(i + 2) % len(VALUES)]), count=i + 1)
        chain.add_to_bag(start, (VALUES[(i + 3) % len(VALUES)],), count=2)
    return chain


def every_failure(run, objects):
    """Runs ``run(countdown)`` with the failure at every k until a run
    succeeds; returns how many failures were made."""
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    k = 0
    while True:
        k += 1
        countdown = Countdown(k)
        try:
            run(countdown)
        except Boom as e:
            assert e is countdown.error
            assert countdown.ticks == k
            e.__traceback__ = None
        else:
            assert countdown.ticks == k - 1
            break
        finally:
            del countdown
    gc.collect()  # the standard json's encoder leaves cycles behind
    assert [sys.getrefcount(o) for o in objects] == before
    return k - 1


@pytest.mark.parametrize("writer", [zantu_cjson.dump_json_small, zantu_cjson.dump_json_big])
@pytest.mark.parametrize("compress", [True, False])
def test_writers(writer, compress, encoder):
    source = source_chain()

    def run(countdown):
        chain = FailingChain(Countdown(0), source)
        chain.countdown = countdown
        for _, bag in chain.entries:
            bag.countdown = countdown
        writer(chain, FailingFile(countdown), compress)

    assert every_failure(run, VALUES + [source]) > 3


def saved(compress):
    out = io.StringIO()
    zantu_cjson.dump_json_big(source_chain(), out, compress)
    return out.getvalue()


# Abandoned mid-document, ijson's yajl2_cffi parser raises as it is closed.
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("reader", [zantu_cjson.load_json_small, zantu_cjson.load_json_big])
@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("merge", [False, True])
def test_readers(reader, compress, merge, rebind, backend):
    text = saved(compress)
    holder = {}

    class Bag(FailingBag):
        def __init__(self):
            holder["countdown"].tick()
            super().__init__(holder["countdown"])

    rebind("ProbabilityBag", Bag)
    empty = MarkovChain()
    chain = FailingChain(Countdown(0), empty)

    def run(countdown):
        holder["countdown"] = countdown
        chain.countdown = countdown
        reader(chain, FailingFile(countdown, text), merge)

    assert every_failure(run, [chain, text, Bag]) > 2
    holder.clear()


def test_unhashable_and_missing_values_leak_nothing():
    frequencies = {"a": 1}

    class Chain(MarkovChain):
        def build_frequency_dict(self):
            return frequencies

    chain = Chain()
    chain.add_to_bag("a", ("b",))
    objects = [chain, frequencies, "a", "b"]
    before = [sys.getrefcount(o) for o in objects]
    for writer in (zantu_cjson.dump_json_small, zantu_cjson.dump_json_big):
        with pytest.raises(KeyError):
            writer(chain, io.StringIO())
    assert [sys.getrefcount(o) for o in objects] == before
