"""Whatever a writer writes loads back equal, in every combination of
writer, form, reader and merge mode."""

import io

import importlib

import pytest
from hypothesis import given, settings, strategies as st

import zantu_cjson
from conftest import ALL_BACKENDS, BACKENDS, shortcuts_off
from zantu import MarkovChain

WRITERS = [zantu_cjson.dump_json_small, zantu_cjson.dump_json_big]
# The in-memory reader, and the streaming reader over each parser backend.
READERS = ["small"] + ["big/" + name for name in BACKENDS]
# The same, a missing backend reported as skipped.
READER_PARAMS = ["small"] + [pytest.param("big/" + p.values[0], marks=p.marks) if isinstance(p, type(pytest.param(0)))
                             else "big/" + p for p in ALL_BACKENDS]


def reader_for(name):
    if name == "small":
        return zantu_cjson.load_json_small
    backend = importlib.import_module("ijson.backends." + name.split("/")[1])

    def load(chain, file, merge=False):
        saved = zantu_cjson.ijson
        zantu_cjson.ijson = backend
        try:
            zantu_cjson.load_json_big(chain, file, merge)
        finally:
            zantu_cjson.ijson = saved

    return load

VALUES = ["plain", "", "é ü 漢字 \U0001f600", "quote \" back \\ slash / tab \t nl \n", "nul \u0000 end",
          0, 1, -7, 12, 10 ** 20, 1.5, -2.25e-10, True, False, None, (), (1, "x"), ((1, 2), (None,))]


def sample_chain():
    chain = MarkovChain()
    for i, start in enumerate(VALUES):
        for j in range(3):
            item = (VALUES[(i + j) % len(VALUES)], VALUES[(i * 7 + j) % len(VALUES)])
            chain.add_to_bag(start, item, count=i + j + 1)
    chain.add_to_bag("single", (), count=4)
    # Enough filler that short values land on literal codes too.
    for k in range(120):
        chain.add_to_bag(f"w{k}", (f"w{k + 1}",), count=1000)
    return chain


def save(writer, chain, compress):
    out = io.StringIO()
    writer(chain, out, compress)
    return out.getvalue()


@pytest.fixture(params=READER_PARAMS)
def reader(request):
    return reader_for(request.param)


@pytest.mark.parametrize("writer", WRITERS)
@pytest.mark.parametrize("compress", [True, False])
class TestRoundTrip:
    def test_replace(self, writer, compress, reader, encoder):
        chain = sample_chain()
        loaded = MarkovChain()
        loaded.add_to_bag("stale", ("x",))
        reader(loaded, io.StringIO(save(writer, chain, compress)))
        assert loaded == chain

    def test_merge_adds_counts(self, writer, compress, reader):
        chain = sample_chain()
        loaded = sample_chain()
        reader(loaded, io.StringIO(save(writer, chain, compress)), True)
        doubled = MarkovChain()
        for _ in range(2):
            for start, bag in chain.items():
                for item, count in bag.choices():
                    doubled.add_to_bag(start, item, count=count)
        assert loaded == doubled


@pytest.mark.parametrize("compress", [True, False])
def test_writers_agree(compress, encoder):
    import json
    chain = sample_chain()
    texts = [save(writer, chain, compress) for writer in WRITERS]
    assert json.loads(texts[0]) == json.loads(texts[1])
    if encoder.__name__ == "ujson":
        assert texts[0] == texts[1]


def test_empty_bag_survives_replacing_small_reader():
    chain = MarkovChain()
    chain.set_bag("lonely", zantu_cjson.ProbabilityBag())
    chain.add_to_bag("a", ("lonely",))
    for writer in WRITERS:
        for compress in (True, False):
            loaded = MarkovChain()
            zantu_cjson.load_json_small(loaded, io.StringIO(save(writer, chain, compress)))
            assert loaded == chain


json_scalars = (st.none() | st.booleans() | st.integers(-10 ** 30, 10 ** 30)
                | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=8))
json_values = st.recursive(json_scalars, lambda inner: st.tuples(inner) | st.tuples(inner, inner), max_leaves=4)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.tuples(json_values, st.lists(json_values, max_size=3), st.integers(1, 10 ** 6)),
                max_size=25),
       st.sampled_from(WRITERS), st.booleans(), st.sampled_from(READERS))
def test_random_chains_round_trip(triples, writer, compress, reader_name):
    reader = reader_for(reader_name)
    chain = MarkovChain()
    for start, item, count in triples:
        chain.add_to_bag(start, item, count=count)
    loaded = MarkovChain()
    reader(loaded, io.StringIO(save(writer, chain, compress)))
    assert loaded == chain


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(json_values, st.lists(json_values, max_size=3), st.integers(1, 10 ** 6)),
                max_size=25),
       st.sampled_from(WRITERS), st.booleans(), st.sampled_from(READERS), st.sampled_from(["ujson", "json"]))
def test_shortcuts_change_nothing(triples, writer, compress, reader_name, encoder_name):
    """The same text and the same chain with every shortcut off."""
    reader = reader_for(reader_name)
    chain = MarkovChain()
    for start, item, count in triples:
        chain.add_to_bag(start, item, count=count)
    saved = zantu_cjson.json
    zantu_cjson.json = importlib.import_module(encoder_name)
    try:
        text = save(writer, chain, compress)
        fast, plain = MarkovChain(), MarkovChain()
        reader(fast, io.StringIO(text))
        with shortcuts_off():
            assert save(writer, chain, compress) == text
            reader(plain, io.StringIO(text))
    finally:
        zantu_cjson.json = saved
    assert list(fast.items()) == list(plain.items()) and fast == chain
