"""The in-memory reader: call traces, modes, and bad documents that must
leave the chain as it was."""

import io
import json as std_json

import pytest

import zantu_cjson
from conftest import SpyChain
from zantu import MarkovChain

load = zantu_cjson.load_json_small


def trace(document, merge=False, log=None):
    """The calls that loading ``document`` (a JSON-able object) makes."""
    chain = SpyChain(log=log)
    text = document if isinstance(document, str) else std_json.dumps(document)
    load(chain, io.StringIO(text), merge)
    return chain.log


def bag_of(call):
    return call[2]


class TestTraces:
    DOC = {"codes": [0, "a", 1, "b"], "chain": [0, [[1, 0], 3, [1], 2]]}

    def test_replace(self, recording_bag):
        calls = trace(self.DOC, log=recording_bag)
        assert [c[:2] if c[0] == "set_bag" else c for c in calls] == [
            ("clear",), ("ProbabilityBag",), ("add", ("b", "a"), 3), ("add", ("b",), 2), ("set_bag", "a")]
        assert bag_of(calls[-1]).added == [(("b", "a"), 3), (("b",), 2)]

    def test_merge(self, recording_bag):
        assert trace(self.DOC, merge=True, log=recording_bag) == [
            ("add_to_bag", "a", ("b", "a"), 3), ("add_to_bag", "a", ("b",), 2)]

    def test_empty_document(self, recording_bag):
        assert trace({"codes": [], "chain": []}, log=recording_bag) == [("clear",)]
        assert trace({"codes": [], "chain": []}, merge=True) == []

    def test_empty_bag(self, recording_bag):
        calls = trace({"codes": [0, "a"], "chain": [0, []]}, log=recording_bag)
        assert [c[:2] for c in calls] == [("clear",), ("ProbabilityBag",), ("set_bag", "a")]
        # Merging an empty bag makes no call, so its start is not even decoded.
        assert trace({"codes": [0, "a"], "chain": [9, []]}, merge=True) == []

    @pytest.mark.parametrize("merge, replaces", [(0, True), ("", True), (None, True), ("no", False)])
    def test_merge_by_truth(self, merge, replaces):
        assert (trace({"codes": [], "chain": []}, merge) == [("clear",)]) is replaces

    def test_members_in_any_order_and_extra_members(self):
        doc = '{"x": [1, 2], "chain": [0, [[1], 1]], "codes": [0, "a", 1, "b"], "y": {}}'
        assert trace(doc, merge=True) == [("add_to_bag", "a", ("b",), 1)]


class TestModes:
    def test_raw_mode(self, recording_bag):
        doc = {"codes": [], "chain": ["s", [["x", [1, 2]], 1.5, ["a", "b"], -3, [], 1], [1, 2], [[None], 0]]}
        assert trace(doc, merge=True) == [
            ("add_to_bag", "s", ["x", [1, 2]], 1.5), ("add_to_bag", "s", ["a", "b"], -3),
            ("add_to_bag", "s", [], 1), ("add_to_bag", [1, 2], [None], 0)]
        calls = trace(doc, log=recording_bag)
        assert calls[:5] == [("clear",), ("ProbabilityBag",), ("add", ("x", [1, 2]), 1.5),
                             ("add", ("a", "b"), -3), ("add", (), 1)]
        assert calls[5][:2] == ("set_bag", "s") and calls[-1][:2] == ("set_bag", [1, 2])


    def test_repeated_code_keeps_the_later_value(self):
        doc = {"codes": [0, "a", 0, "z", 1, "b"], "chain": [0, [[0, 1], 1]]}
        assert trace(doc, merge=True) == [("add_to_bag", "z", ("z", "b"), 1)]

    @pytest.mark.parametrize("codes", [[1, "int", True, "bool"], [True, "bool", 1, "int"],
                                       [1.0, "float", 1, "int"], [2, None, 3, "x"], [1000, "far", 0, "zero"]])
    def test_codes_decoded_as_the_table_finds_them(self, codes):
        # 1, 1.0 and true are one key; the value is the last one given.
        table = dict(zip(codes[::2], codes[1::2]))
        refs = [r for r in [1, True, 1.0, 2, 3, 1000, 0] if r in table]
        doc = {"codes": codes, "chain": [x for r in refs for x in (r, [[r], 1])]}
        assert trace(doc, merge=True) == [("add_to_bag", table[r], (table[r],), 1) for r in refs]
        missing = 0 if 0 not in table else 5
        with pytest.raises(KeyError) as err:
            trace({"codes": codes, "chain": [missing, [[1], 1]]}, merge=True)
        assert err.value.args == (missing,)

    def test_decoded_values_are_the_tables_objects(self):
        chain = SpyChain()
        load(chain, io.StringIO('{"codes":[0,[1,2],1,"b"],"chain":[1,[[0,0],1]]}'), True)
        item = chain.log[0][2]
        assert item == ([1, 2], [1, 2]) and item[0] is item[1]

    def test_counts_pass_unchanged(self):
        doc = '{"codes":[0,"a"],"chain":[0,[[0],2.5,[0],-3,[0],0,[0],1e300]]}'
        assert [c[3] for c in trace(doc, merge=True)] == [2.5, -3, 0, 1e300]

    def test_start_twice_is_handed_over_twice(self, recording_bag):
        doc = {"codes": [], "chain": ["a", [["x"], 1], "a", [["y"], 2]]}
        calls = trace(doc, log=recording_bag)
        assert [c[1] for c in calls if c[0] == "set_bag"] == ["a", "a"]


class TestBadDocuments:
    """Every error the document can cause is raised before the first call on
    the chain, whatever the merge mode."""

    CASES = [
        ('{"codes":[0,"a"],"chain":[0,[[0],1],5,[[0],1]]}', KeyError, (5,)),
        ('{"codes":[0,"a"],"chain":[0,[[0],1],0,[[0,7],1]]}', KeyError, (7,)),
        ('{"codes":[0,"a"],"chain":[0,[[0],1],[1],[[0],1]]}', TypeError, None),
        ('{"codes":[0,"a"],"chain":[0,[[0],1],0,[[[0]],1]]}', TypeError, None),
        ('{"codes":[0,"a"],"chain":[0,[[0],1],0,5]}', TypeError, None),
        ('{"codes":[0,"a"],"chain":[0,[[0],1],0,[5,1]]}', ValueError, None),
        ('{"codes":[],"chain":["a",[["b"],1,5,2]]}', ValueError, None),
        ('{"codes":[],"chain":["a",[["b"],1,"bcd",2]]}', ValueError, None),
        ('{"codes":[],"chain":["a",[["b"],1,{"c":1},2]]}', ValueError, None),
        ('{"codes":[0,"a"],"chain":[0,[[0],1,[0]]]}', ValueError, None),
        ('{"codes":[0,"a",1],"chain":[0,[[0],1]]}', ValueError, None),
        ('{"codes":[0],"chain":[0,[[0],1]]}', ValueError, None),
        ('{"codes":[],"chain":["a",[["b"],1],"c"]}', ValueError, None),
        ('{"codes":[[0],"a"],"chain":[]}', TypeError, None),
        ('{"codes":[],"chain":["a",[["x"],1],"b",null]}', TypeError, None),
        ('{"codes":[0,"a"]}', KeyError, ("chain",)),
        ('{"chain":[]}', KeyError, ("codes",)),
        ('[1,2]', TypeError, None),
        ('{"codes":5,"chain":[]}', TypeError, None),
        ('{"codes":[],"chain":null}', TypeError, None),
    ]

    @pytest.mark.parametrize("merge", [False, True])
    @pytest.mark.parametrize("text, error, args", CASES)
    def test_chain_untouched(self, text, error, args, merge, recording_bag):
        chain = SpyChain(log=recording_bag)
        with pytest.raises(error) as err:
            load(chain, io.StringIO(text), merge)
        assert chain.log == []
        if args is not None:
            assert err.value.args == args

    def test_decoder_error(self):
        chain = SpyChain()
        with pytest.raises(ValueError):
            load(chain, io.StringIO('{"codes":[],"chain":['))
        assert chain.log == []

    def test_missing_start_raised_after_the_bag_is_decoded(self):
        # Replacing decodes a bag before its start; merging the start first.
        text = '{"codes":[0,"a"],"chain":[5,[[6],1]]}'
        with pytest.raises(KeyError) as err:
            load(SpyChain(), io.StringIO(text))
        assert err.value.args == (6,)
        with pytest.raises(KeyError) as err:
            load(SpyChain(), io.StringIO(text), True)
        assert err.value.args == (5,)

    def test_chain_errors_propagate(self):
        class Failing(SpyChain):
            def add_to_bag(self, *args, count=None):
                super().add_to_bag(*args, count=count)
                if len(self.log) == 2:
                    raise RuntimeError("full")

        chain = Failing()
        with pytest.raises(RuntimeError):
            load(chain, io.StringIO('{"codes":[],"chain":["a",[[1],1,[2],2,[3],3]]}'), True)
        assert len(chain.log) == 2


@pytest.mark.parametrize("where", ["file.read", "a rebound json.load", "merge's truth"])
@pytest.mark.parametrize("running", [True, False])
def test_collector_left_as_the_caller_set_it(where, running, rebind):
    # Code of the caller's that switches the collector off (or on) while the
    # document is read keeps that setting: the load changes nothing of it.
    import gc
    import ujson

    def flip():
        if running:
            gc.disable()
        else:
            gc.enable()

    class File(io.StringIO):
        def read(self, *args):
            if where == "file.read":
                flip()
            return super().read(*args)

    class Json:
        @staticmethod
        def load(file):
            flip()
            return ujson.load(file)

    class Merge:
        def __bool__(self):
            flip()
            return False

    if where == "a rebound json.load":
        rebind("json", Json)
    was = gc.isenabled()
    try:
        (gc.enable if running else gc.disable)()
        load(SpyChain(), File('{"codes":[0,"a"],"chain":[0,[[0],1]]}'), Merge() if where == "merge's truth" else False)
        assert gc.isenabled() is not running
    finally:
        (gc.enable if was else gc.disable)()


class PlainChain(MarkovChain):
    """Our chain, but not exactly: the reader takes its full path for it."""


DIRECT_DOCUMENTS = [
    '{"codes":[0,"a",1,"b"],"chain":[0,[[1,0],3,[1],2,[],4294967296],1,[]]}',
    ' {\n"codes" : [ 0 , "\\u00e9\\ud835\\udd18\\n\\"\\\\\\/" , 1 , "b" ] ,\t"chain" : [0,[["b",0],-3,[1,1],0]] } ',
    '{"codes":[0,"a",1,"b",0,"c"],"chain":[0,[[1,0],9223372036854775807]]}',
    '{"codes":[0,"a","b","b"],"chain":["b",[["b",0],1,["b"],2]]}',
    '{"codes":[],"chain":["a",[["b"],1]]}',  # plain form
    '{"chain":[0,[[0],1]],"codes":[0,"a"]}',  # members the other way round
    '{"codes":[0,"a"],"chain":[0,[[0],1.5]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],99999999999999999999]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1]],"x":1}',
    '{"codes":[0,"\\ud800"],"chain":[0,[[0],1]]}',
    '{"codes":[0,"a"],"chain":[0,[[7],1]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1]]} x',
    '{"codes":[0,"a",1],"chain":[0,[[0],1]]}',
    '{"codes":[0,"a"],"chain":[0,[[0],1],1]}',
    '{"codes":[0,"a"],"chain":[0,[[0],01]]}',
    '{"codes":[0,"a"],"chain":[-5,[[0],1]]}',  # negative codes
    '{"codes":[0,"a",-1,"n"],"chain":[0,[[-1,0],1]]}',
    # Values of states of several tokens, the begin state and the end value.
    '{"codes":[0,[null,null],1,"a",2,null,3,[null,"a"],4,true,5,[[1,[false]],[]]],'
    '"chain":[0,[[1],2,[2],1],3,[[2],1,[5],2],5,[[4,0],1],2,[[3],1]]}',
    '{"codes":[0,"a",[1],"b"],"chain":[0,[[0],1]]}',  # an array as a code
    '{"codes":[0,[1,1.5]],"chain":[0,[[0],1]]}',
    '{"codes":[0,[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]],"chain":[0,[[0],1]]}',
    '{"codes":[0,[1,],1,nul],"chain":[0,[[0],1]]}',
    '{"codes":[0,null,3,"x"],"chain":[0,[[2],1]]}',  # a gap is no null value
    '{"codes":[0,"a",true,"b",1,"c",1,"d","1",[2]],"chain":[0,[[1,"1"],1],"1",[[0],2]]}',
    '{"codes":[0,"a",40,"b"],"chain":[40,[[0],1]]}',  # a code far past the table's size
    # The plain form: the values themselves.
    '{"codes":[],"chain":[[null,"a"],[["a"],2,[null],1],7,[[7,[true,[]]],1,[],3],[null,"a"],[["b"],1]]}',
    '{"codes":[],"chain":[null,[[1.5],1]]}',
    '{"codes":[],"chain":[[1,2],[[{"a":1}],1]]}',
    '{"codes":[],"chain":["a",[["b"],1],"a"]}',
]


@pytest.mark.parametrize("as_bytes", [True, False])
@pytest.mark.parametrize("text", DIRECT_DOCUMENTS)
def test_direct_load_is_the_full_path(text, as_bytes):
    # Our own chain is loaded straight from the text; any other chain (here
    # a subclass) through the JSON library: the same chain, or the same error.
    results = []
    for chain in (MarkovChain(), PlainChain()):
        chain.add_to_bag("old", ("x",))
        try:
            load(chain, io.BytesIO(text.encode()) if as_bytes else io.StringIO(text))
            error = None
        except Exception as e:  # noqa: BLE001 - compared below
            error = (type(e), str(e))
        results.append(([(s, list(b.choices())) for s, b in chain.items()], error))
    assert results[0] == results[1]

