"""The native module against the plain-Python rendering of the same format."""

import io

import pytest

from hypothesis import example, given, settings, strategies as st

import zantu_cjson
from conftest import SpyChain, SpyFile
import pycodec
from zantu import MarkovChain

scalars = (st.none() | st.booleans() | st.integers(-10 ** 20, 10 ** 20) | st.integers(0, 30)
           | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=6))
values = st.recursive(scalars, lambda inner: st.tuples(inner) | st.tuples(inner, inner), max_leaves=3)
triples = st.lists(st.tuples(values, st.lists(values, max_size=3), st.integers(1, 1000)), max_size=40)


def chain_of(items):
    chain = MarkovChain()
    for start, item, count in items:
        chain.add_to_bag(start, item, count=count)
    return chain


@settings(max_examples=80, deadline=None)
@given(triples, st.booleans())
# Rows wider than a writer reads without allocating, and a sum of counts
# far above the number of values (sorted otherwise than by counting).
@example([("s", [f"v{i}" for i in range(12)], 5), ("s", list(range(300)), 1), (1, ["v3"], 10 ** 6)], True)
def test_writers_write_what_python_writes(items, compress):
    chain = chain_of(items)
    for native, python in ((zantu_cjson.dump_json_small, pycodec.dump_json_small),
                           (zantu_cjson.dump_json_big, pycodec.dump_json_big)):
        a, b = SpyFile(), SpyFile()
        native(chain, a, compress)
        python(chain, b, compress)
        assert a.pieces == b.pieces


@settings(max_examples=80, deadline=None)
@given(triples, st.booleans(), st.booleans())
def test_readers_load_what_python_loads(items, compress, merge):
    chain = chain_of(items)
    out = io.StringIO()
    zantu_cjson.dump_json_big(chain, out, compress)
    for native, python in ((zantu_cjson.load_json_small, pycodec.load_json_small),
                           (zantu_cjson.load_json_big, pycodec.load_json_big)):
        a, b = chain_of(items[:2]), chain_of(items[:2])
        native(a, io.StringIO(out.getvalue()), merge)
        python(b, io.StringIO(out.getvalue()), merge)
        assert a == b


REFUSED = [
    '{"codes":[0,"a",1],"chain":[]}',
    '{"codes":[0,"a",1,"b"],"chain":[0,[[1],2],1]}',
    '{"codes":[],"chain":["a",[["b"],1,["c"]]]}',
    '{"codes":[],"chain":["a",[["b"],1,5,2]]}',
    '{"codes":[],"chain":["a",[["b"],1,"bcd",2]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1,{"k":0},2]]}',
    '{"codes":[],"chain":["a",[["b"],1,["c"],"2"]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1,[0],true]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],null]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],[1]]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1],3,[[0],1]]}',
    '{"codes":[0,"a"],"chain":[0,[[0,4],1]]}',
]


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("text", REFUSED)
def test_readers_refuse_what_python_refuses(text, merge):
    # Each reader, native and plain Python: the same error, with the same
    # message, after the same calls on the chain (none for the in-memory one).
    for native, python in ((zantu_cjson.load_json_small, pycodec.load_json_small),
                           (zantu_cjson.load_json_big, pycodec.load_json_big)):
        outcomes = []
        for load in (native, python):
            chain = SpyChain()
            with pytest.raises((ValueError, KeyError)) as err:
                load(chain, io.StringIO(text), merge)
            outcomes.append((type(err.value), str(err.value), chain.log))
        assert outcomes[0] == outcomes[1]
        if native is zantu_cjson.load_json_small:
            assert outcomes[0][2] == []
