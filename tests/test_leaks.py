"""Every function, on its success and its failure paths, 10 000 times over:
memory and the reference counts of the caller's objects stay flat."""

import gc
import io
import os
import sys
import tracemalloc

import pytest

import zantu_cjson
from zantu import MarkovChain

RUNS = int(os.environ.get("ZANTU_LEAK_RUNS", "10000"))
# A leak of one small object per call shows as at least 10 000 x 16 bytes
# (make memcheck runs fewer calls, under valgrind).
TRACED_BOUND = max(64 * 1024 * RUNS // 10_000, 16 * 1024)
RSS_BOUND = 4 * 1024 * 1024


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def chain_of(values):
    chain = MarkovChain()
    for i, start in enumerate(values):
        chain.add_to_bag(start, (values[(i + 1) % len(values)], values[(i + 5) % len(values)]), count=i + 1)
    return chain


VALUES = [f"w{i}" for i in range(12)] + [7, 2.5, True, None, (1, "t"), "é\u0000"]
CHAIN = chain_of(VALUES)


class MissingStart(MarkovChain):
    """A chain whose frequency mapping lacks its last start."""

    def build_frequency_dict(self):
        freq = super().build_frequency_dict()
        freq.pop(VALUES[-1])
        return freq


BROKEN_CHAIN = MissingStart()
for _start, _bag in CHAIN.items():
    BROKEN_CHAIN.set_bag(_start, _bag)


def document(compress):
    out = io.StringIO()
    zantu_cjson.dump_json_big(CHAIN, out, compress)
    return out.getvalue()


def writer_call(writer, compress, chain):
    def call():
        try:
            writer(chain, io.StringIO(), compress)
        except KeyError:
            pass
    return call


def reader_call(reader, merge, text):
    target = MarkovChain()

    def call():
        try:
            reader(target, io.StringIO(text), merge)
        except Exception:  # the failure paths are what is measured here
            pass
    return call, target


CASES = {}
for _writer in (zantu_cjson.dump_json_small, zantu_cjson.dump_json_big):
    for _compress in (True, False):
        CASES[f"{_writer.__name__}/{_compress}/ok"] = (writer_call(_writer, _compress, CHAIN), [CHAIN])
    CASES[f"{_writer.__name__}/missing-start"] = (writer_call(_writer, True, BROKEN_CHAIN), [BROKEN_CHAIN])


def sink_call(closed):
    from zantu._native import TextSink

    def call():
        out = io.BytesIO()
        sink = TextSink(out)
        zantu_cjson.dump_json_big(CHAIN, sink, True)
        if closed:
            out.close()
        try:
            sink.flush()
        except ValueError:
            pass
    return call


for _closed in (False, True):
    CASES[f"dump_json_big/text-sink/{'closed' if _closed else 'ok'}"] = (sink_call(_closed), [CHAIN])
for _reader in (zantu_cjson.load_json_small, zantu_cjson.load_json_big):
    for _merge in (False, True):
        for _compress in (True, False):
            _call, _target = reader_call(_reader, _merge, document(_compress))
            CASES[f"{_reader.__name__}/{_merge}/{_compress}/ok"] = (_call, [_target])
        _bad = document(True).replace('"chain":[0', '"chain":[999')
        _call, _target = reader_call(_reader, _merge, _bad)
        CASES[f"{_reader.__name__}/{_merge}/missing-code"] = (_call, [_target])
        _call, _target = reader_call(_reader, _merge, document(True)[:-7])
        CASES[f"{_reader.__name__}/{_merge}/truncated"] = (_call, [_target])


@pytest.mark.parametrize("name", sorted(CASES))
def test_flat(name):
    call, objects = CASES[name]
    # True and None are shared by the whole interpreter: not counted.
    objects = objects + [v for v in VALUES if v not in (True, None)]
    for _ in range(300):
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    # Traced over two rounds of calls, and the second round compared with
    # the first: a store that keeps the latest of what the calls made (the
    # in-memory writer's run fills one of about 110 KB under
    # AddressSanitizer) is as large after either, a leak twice as large.
    tracemalloc.start()
    try:
        for _ in range(RUNS):
            call()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        rss_before = rss()
        for _ in range(RUNS):
            call()
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced_before
        grown = rss() - rss_before
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in objects] == counts
    # Under valgrind and on the sanitizer build only the reference counts are
    # checked: they run fewer calls (ZANTU_LEAK_RUNS), too few for a bound
    # on memory that keeps clear of what caches hold, and valgrind's own
    # allocator decides what is resident, AddressSanitizer holds freed
    # memory back in quarantine. Every other run of the suite counts the
    # memory over 10 000 calls.
    if os.environ.get("ZANTU_MEMCHECK") or os.environ.get("ZANTU_SANITIZED"):
        return
    assert traced < TRACED_BOUND, f"{traced} bytes more traced after {RUNS} calls"
    assert grown < RSS_BOUND, f"{grown} bytes more resident after {RUNS} calls"
