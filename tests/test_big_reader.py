"""The streaming reader over every parser backend: the event machine, the
clear deferral, strict reading of the chain section, text and gzip files."""

import contextlib
import copy
import gc
import gzip
import io
import json as std_json
import subprocess
import sys
import warnings
import weakref

import ijson
import pytest

import zantu_cjson
from conftest import SpyChain
from zantu import MarkovChain

load = zantu_cjson.load_json_big


def calls(text, merge=False, chain=None):
    chain = SpyChain() if chain is None else chain
    load(chain, io.BytesIO(text.encode("utf-8")), merge)
    return chain.log


pytestmark = pytest.mark.usefixtures("backend")


class TestTrace:
    DOC = '{"codes":[0,100,1,200],"chain":[0,[[1],2]]}'

    def test_decoded_pair_gets_a_one_shot_generator(self):
        seen = []

        class Chain(SpyChain):
            def add_to_bag(self, start, item, count=None):
                seen.append((start, iter(item) is item, list(item), list(item), count))

        load(Chain(), io.BytesIO(self.DOC.encode()), True)
        assert seen == [(100, True, [200], [], 2)]

    def test_spy_builder_sees_the_events(self, rebind):
        events = []

        class Builder(ijson.ObjectBuilder):
            def event(self, event, value):
                events.append((event, value))
                super().event(event, value)

        rebind("ObjectBuilder", Builder)
        assert calls(self.DOC, merge=True) == [("add_to_bag", 100, ("generator", (200,)), 2)]
        assert events == [("start_array", None), ("number", 0), ("number", 100), ("number", 1),
                          ("number", 200), ("end_array", None), ("start_array", None), ("number", 1),
                          ("end_array", None)]

    def test_raw_mode_hands_the_assembled_item(self):
        doc = '{"codes":[],"chain":["s",[["x",[1,{"k":[2]}]],1.5,[null],-2]]}'
        log = calls(doc, merge=True)
        assert log == [("add_to_bag", "s", ["x", [1, {"k": [2]}]], 1.5), ("add_to_bag", "s", [None], -2)]

    def test_chain_before_codes_is_raw(self):
        doc = '{"chain":[0,[[1],2]],"codes":[0,"a",1,"b"],"other":{"chain":[5]}}'
        assert calls(doc, True) == [("add_to_bag", 0, [1], 2)]

    def test_second_sections(self):
        doc = ('{"chain":[0,[[1],1]],"codes":[0,"a",1,"b",0,"z"],"chain":[0,[[1,0],2]],'
               '"codes":[0,"q",1,"r"],"chain":[1,[[0],3]]}')
        assert calls(doc, True) == [("add_to_bag", 0, [1], 1), ("add_to_bag", "z", ("generator", ("b", "z")), 2),
                                    ("add_to_bag", "r", ("generator", ("q",)), 3)]
        # The package's chain, filled through its rows: each section's codes
        # by its own table.
        chain = MarkovChain()
        load(chain, io.BytesIO(doc.encode()), True)
        assert {start: dict(bag.choices()) for start, bag in chain.items()} == {
            0: {(1,): 1}, "z": {("b", "z"): 2}, "r": {("q",): 3}}

    def test_other_members_are_skipped(self):
        doc = '{"x":[[1,[2]],{"chain":[1]}],"codes":[],"y":"chain","chain":[1,[[2],3]],"z":{}}'
        assert calls(doc, True) == [("add_to_bag", 1, [2], 3)]

    def test_missing_code(self):
        chain = SpyChain()
        with pytest.raises(KeyError) as err:
            calls('{"codes":[0,"a"],"chain":[0,[[0],1],3,[[0],1]]}', True, chain)
        assert err.value.args == (3,)
        assert len(chain.log) == 1

    def test_unhashable_code(self):
        with pytest.raises(TypeError):
            calls('{"codes":[[0],"a"],"chain":[]}')


class TestClearing:
    def test_clear_waits_for_the_first_pair(self):
        assert calls('{"codes":[],"chain":["a",[],"b",[["x"],1]]}') == [("clear",), ("add_to_bag", "b", ["x"], 1)]

    def test_clear_at_the_end_of_an_empty_document(self):
        assert calls('{"codes":[],"chain":[]}') == [("clear",)]
        assert calls('{"codes":[],"chain":[]}', True) == []

    @pytest.mark.parametrize("text", ['{"codes":[],"chain":["a",[["x"],', '{"codes":[],"chain":[]}}', '[]',
                                      '{"codes":[]}', '{"codes":[0,"a"],"chain":[5,[["x"],1]]}'])
    def test_failure_before_the_first_pair_leaves_the_chain(self, text):
        chain = SpyChain()
        with pytest.raises(Exception):
            calls(text, False, chain)
        assert chain.log == []

    @pytest.mark.parametrize("merge", [0, "", None])
    def test_false_merges_replace(self, merge):
        assert calls('{"codes":[],"chain":[]}', merge) == [("clear",)]


class TestStructure:
    @pytest.mark.parametrize("start", ['5', '"s"', 'true', 'false', 'null', '[1,[2]]', '{"k":1}', '2.5'])
    def test_any_start(self, start):
        log = calls('{"codes":[],"chain":[%s,[["x"],1]]}' % start, True)
        assert log == [("add_to_bag", std_json.loads(start) if start != "2.5" else log[0][1], ["x"], 1)]

    def test_nested_items_are_read_whole(self):
        doc = '{"codes":[],"chain":["s",[[[1,[2,[3]]],[4]],5,[[]],6]]}'
        assert calls(doc, True) == [("add_to_bag", "s", [[1, [2, [3]]], [4]], 5), ("add_to_bag", "s", [[]], 6)]

    def test_decoded_items_of_any_shape(self):
        # Flat items, then items with nested containers or objects: each is
        # read whole, and decoding meets what the item holds.
        doc = '{"codes":[0,"a",1,"b"],"chain":[0,[[1,0],1,[],2,[0,[1]],3]]}'
        chain = SpyChain()
        with pytest.raises(TypeError, match="unhashable"):
            load(chain, io.BytesIO(doc.encode()), True)
        assert chain.log == [("add_to_bag", "a", ("generator", ("b", "a")), 1),
                             ("add_to_bag", "a", ("generator", ()), 2)]

    @pytest.mark.parametrize("text, expected", [
        ('{"codes":[],"chain":["a","b"]}', "bag array of start 'a'"),
        ('{"codes":[],"chain":["a",{}]}', "bag array of start 'a'"),
        ('{"codes":[],"chain":["a",[1,2]]}', "expected an item"),
        ('{"codes":[],"chain":["a",[["x"],["y"]]]}', "expected the count"),
        ('{"codes":[],"chain":["a",[["x"],{}]]}', "expected the count"),
        ('{"codes":[],"chain":["a",[["x"]]]}', "start 'a' has an odd number"),
        ('{"codes":[],"chain":["a"]}', '"chain" has an odd number'),
        ('{"codes":[0,"a",1],"chain":[]}', '"codes" has an odd number'),
        ('[1]', "not a JSON object"),
        ('"chain"', "not a JSON object"),
        ('{}', 'no "chain" array'),
        ('{"codes":[],"chain":5}', '"chain" is not an array'),
        ('{"codes":{},"chain":[]}', '"codes" is not an array'),
    ])
    def test_misshapen_documents(self, text, expected):
        chain = SpyChain()
        with pytest.raises(ValueError, match=expected):
            calls(text, False, chain)
        assert chain.log == []

    def test_repeated_codes(self):
        doc = '{"codes":[0,"a",1,"b",0,"c"],"chain":[0,[[1,0],1]]}'
        assert calls(doc, True) == [("add_to_bag", "c", ("generator", ("b", "c")), 1)]

    @pytest.mark.parametrize("codes", [
        '[1,"int",true,"bool"]', '[true,"bool",1,"int"]', '[1.0,"float",1,"int"]', '[2,null,3,"x"]',
        '[-1,"neg",100000000000000000000,"big",0,"zero"]', '[1000,"far",0,"zero"]'])
    def test_codes_decoded_as_the_table_finds_them(self, codes):
        # Codes are looked up as keys of the table would be: 1, 1.0 and true
        # are one key, and its value is the last one given for it.
        table = {}
        pairs = std_json.loads(codes)
        for code, value in zip(pairs[::2], pairs[1::2]):
            table[code] = value
        refs = [1, True, 1.0, 2, 3, -1, 10 ** 20, 0, 1000, 7]
        doc = '{"codes":%s,"chain":[%s]}' % (codes, ",".join(f"{std_json.dumps(r)},[[{std_json.dumps(r)}],1]"
                                                               for r in refs))
        expected, error = [], None
        for r in refs:
            if r not in table:
                error = r
                break
            expected.append(("add_to_bag", table[r], ("generator", (table[r],)), 1))
        chain = SpyChain()
        if error is None:
            load(chain, io.BytesIO(doc.encode()), True)
        else:
            with pytest.raises(KeyError) as err:
                load(chain, io.BytesIO(doc.encode()), True)
            assert err.value.args == (error,)
        assert chain.log == expected


class TestSources:
    TEXT = '{"codes":[0,"é\\u0000",1,"漢"],"chain":[0,[[1,0],1]]}'

    def expected(self):
        chain = MarkovChain()
        chain.add_to_bag("é\x00", ("漢", "é\x00"), count=1)
        return chain

    def test_text_file_without_warning(self):
        chain = MarkovChain()
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            load(chain, io.StringIO(self.TEXT))
        assert chain == self.expected()

    def test_gzip_text_and_binary(self, tmp_path):
        path = tmp_path / "chain.json.gz"
        with gzip.open(path, "wt", encoding="utf-8") as f:
            f.write(self.TEXT)
        for mode in ("rt", "rb"):
            chain = MarkovChain()
            with gzip.open(path, mode) as f:
                load(chain, f)
            assert chain == self.expected()

    def test_document_of_many_small_blocks(self):
        # ijson's own parsers are given blocks smaller than their default:
        # values longer than a block, and every boundary, come out whole.
        long = "x" * 5000 + "\u00e9" * 3000
        chain = MarkovChain()
        for i in range(3000):
            chain.add_to_bag(f"s{i % 50}", (long if i % 700 == 0 else f"v{i}", i * 7919), count=i + 1)
        sizes = []

        class File(io.BytesIO):
            def read(self, n=-1):
                sizes.append(n)
                return super().read(n)

            def readinto(self, buffer):
                sizes.append(len(buffer))
                return super().readinto(buffer)

        for compress in (True, False):
            out = io.StringIO()
            zantu_cjson.dump_json_big(chain, out, compress)
            data = out.getvalue().encode("utf-8")
            assert len(data) > 64 * 1024
            loaded = MarkovChain()
            load(loaded, File(data))
            assert loaded == chain
        assert 0 < max(sizes) < 64 * 1024 or not zantu_cjson.__fast_paths__()["parser_blocks"]

    @pytest.mark.parametrize("cut", [None, -40])
    def test_bags_back_in_the_collectors_sight(self, cut):
        # The bags a load fills are kept from the collector while it runs
        # (and after it, while their values hold nothing): a cycle through
        # the chain is collected once it ends, done or failed.
        out = io.StringIO()
        zantu_cjson.dump_json_big(MarkovChain.from_tokens([f"w{i % 300}" for i in range(5000)], 2), out, True)
        chain = MarkovChain()
        with pytest.raises(Exception) if cut else contextlib.nullcontext():
            load(chain, io.BytesIO(out.getvalue().encode()[:cut]))
        assert len(chain) > 100

        class Holder:
            pass

        holder = Holder()
        holder.chain = chain
        chain.add_to_bag(next(iter(chain.items()))[0], (holder,))
        gone = weakref.ref(holder)
        del chain, holder
        gc.collect()
        assert gone() is None

    def test_invalid_utf8(self):
        with pytest.raises(Exception) as err:
            load(MarkovChain(), io.BytesIO(b'{"codes":[],"chain":["\xff",[]]}'))
        assert not isinstance(err.value, SystemError)


class SpyParser:
    def __init__(self, events):
        self.events = events

    def basic_parse(self, file):
        return iter(self.events)


class TestParserElements:
    @pytest.mark.parametrize("element, message", [
        (("start_map",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        (("", "start_map", None), "too many values to unpack (expected 2)"),
    ])
    def test_elements_that_do_not_unpack(self, rebind, element, message):
        rebind("ijson", SpyParser([element]))
        with pytest.raises(ValueError) as err:
            load(SpyChain(), io.BytesIO(b""))
        assert str(err.value) == message

    def test_events_compared_by_text(self, rebind):
        names = ["".join(n) for n in ("start_map", "map_key", "start_array", "end_array", "end_map")]
        events = [(names[0], None), (names[1], "chain"), (names[2], None), (names[3], None), (names[4], None)]
        rebind("ijson", SpyParser(events))
        assert calls("", False) == [("clear",)]

    def test_elements_of_other_shapes(self, rebind):
        # The same events as lists, as tuples, and as iterators read as one.
        text = '{"codes":[0,"a",1,"b"],"chain":[0,[[1,0],2,[0],3]],"x":[1.5]}'
        events = list(ijson.basic_parse(io.BytesIO(text.encode())))
        expected = calls(text)
        for shape in (list, tuple, lambda pair: iter(list(pair))):
            rebind("ijson", SpyParser([shape(event) for event in events]))
            assert calls("") == expected

    @pytest.mark.parametrize("builder", [False, True])
    def test_lazy_item_finished_from_inside_its_own_step(self, rebind, builder):
        # A code whose hash advances the same lazy item to its end, after the
        # load, when the item is all that holds the codes and the table.
        class Code(str):
            reentered = False

            def __hash__(self):
                if items and not Code.reentered:
                    Code.reentered = True
                    inner.extend(items[0])
                return str.__hash__(self)

        items, inner = [], []

        class Keeper:
            def clear(self):
                pass

            def add_to_bag(self, start, item, count=1):
                items.append(item)

        # A table too large for the interpreter's free lists, and codes made
        # as they are handed over: a table or code released too early is
        # memory given back (which the sanitizer build reports).
        codes = [("string", text) for n in range(40) for text in (f"c{n}", f"value {n}")]

        class Parser:
            def basic_parse(self, file):
                yield from [("start_map", None), ("map_key", "codes"), ("start_array", None), *codes,
                            ("end_array", None), ("map_key", "chain"), ("start_array", None), ("string", "c0"),
                            ("start_array", None), ("start_array", None)]
                yield "string", Code("c1")
                yield "string", Code("c2")
                yield from [("end_array", None), ("number", 2), ("end_array", None), ("end_array", None),
                            ("end_map", None)]

        rebind("ijson", Parser())
        if builder:
            rebind("ObjectBuilder", type("Builder", (ijson.ObjectBuilder,), {}))
        load(Keeper(), io.BytesIO(b""))
        outer = list(items[0])
        assert sorted(outer + inner) == ["value 1", "value 2"]

    @pytest.mark.parametrize("builder", ["ijson's", "subclass", "spy"])
    def test_kept_items_yield_their_own_values(self, rebind, builder):
        # A chain may keep the lazy items and advance them after the load,
        # whatever builder assembles them; an unknown code ends its item.
        if builder != "ijson's":
            class Builder(ijson.ObjectBuilder):
                pass
            if builder == "spy":
                Builder.event = lambda self, event, value: ijson.ObjectBuilder.event(self, event, value)
            rebind("ObjectBuilder", Builder)
        kept = []

        class Keeper(SpyChain):
            def add_to_bag(self, start, item, count=None):
                kept.append(item)

        load(Keeper(), io.BytesIO(b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],2,[0,[7]],3,[0,1],4,[0,9,1],5]]}'), True)
        assert [list(item) for item in kept[:1]] == [["b"]]
        with pytest.raises(TypeError):
            list(kept[1])
        assert list(kept[1]) == []
        assert list(kept[2]) == ["a", "b"]
        assert next(kept[3]) == "a"
        with pytest.raises(KeyError, match='code 9 is missing from "codes"'):
            next(kept[3])
        assert list(kept[3]) == []

    def test_reader_types_cannot_be_made_from_python(self, rebind):
        made = []

        class Parser:
            def basic_parse(self, file):
                made.append(file)
                return iter([("start_map", None), ("map_key", "codes"), ("start_array", None), ("number", 0),
                             ("string", "a"), ("end_array", None), ("map_key", "chain"), ("start_array", None),
                             ("number", 0), ("start_array", None), ("start_array", None), ("number", 0),
                             ("end_array", None), ("number", 1), ("end_array", None), ("end_array", None),
                             ("end_map", None)])

        class Keeper(SpyChain):
            def add_to_bag(self, start, item, count=None):
                made.append(item)

        rebind("ijson", Parser())
        load(Keeper(), io.StringIO(""))
        for obj in made:
            cls = type(obj)
            for make in (cls, lambda: cls.__new__(cls), lambda: object.__new__(cls), lambda: copy.copy(obj)):
                with pytest.raises(TypeError):
                    make()

    def test_unknown_event(self, rebind):
        rebind("ijson", SpyParser([("start_set", None)]))
        with pytest.raises(ValueError, match="unknown event"):
            load(SpyChain(), io.BytesIO(b""))

    def test_events_ending_early(self, rebind):
        rebind("ijson", SpyParser([("start_map", None), ("map_key", "chain"), ("start_array", None)]))
        chain = SpyChain()
        with pytest.raises(ValueError, match="ended inside"):
            load(chain, io.BytesIO(b""))
        assert chain.log == []


@pytest.mark.parametrize("prefix", ['{"codes":', '{"chain":', '{"chain":[0,', '{"chain":[0,[', '{"x":'])
def test_deep_nesting_fails_fast_in_small_memory(prefix, backend):
    code = f"""
import io, os, resource, zantu_cjson, ijson.backends.{backend.__name__.rsplit('.', 1)[1]} as b
from zantu import MarkovChain
if not os.environ.get("ZANTU_SANITIZED"):
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
zantu_cjson.ijson = b
doc = {prefix!r}.encode() + b"[" * 100_000
try:
    zantu_cjson.load_json_big(MarkovChain(), io.BytesIO(doc))
except Exception as e:
    print(type(e).__name__)
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() in {"IncompleteJSONError", "JSONError"}
