"""Both writers: exact texts, call order, the code-table rule and failures."""

import io
import json as std_json

import pytest
from hypothesis import given, settings, strategies as st

import zantu_cjson
from conftest import (EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES, SHORTCUTS_OFF, ListBag, ListChain, SpyChain, SpyFile,
                      pieces_and_error)
from zantu import MarkovChain

WRITERS = [zantu_cjson.dump_json_small, zantu_cjson.dump_json_big]
COMPRESSED = '{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[1,2],3,[2],1],1,[[0],2]]}'
PLAIN = '{"codes":[],"chain":["a",[["b","c"],3,["c"],1],"b",[["a"],2]]}'


def written(writer, chain, *flag):
    out = SpyFile()
    writer(chain, out, *flag)
    return out.getvalue()


def codes_of(writer, frequencies):
    """The codes array written for a chain whose frequency mapping yields
    ``frequencies`` (and that has no entries)."""
    return std_json.loads(written(writer, SpyChain([], frequencies)))["codes"]


class TestExactText:
    def test_small_with_ujson(self, example_chain, rebind):
        import ujson
        rebind("json", ujson)
        assert written(zantu_cjson.dump_json_small, example_chain) == COMPRESSED
        assert written(zantu_cjson.dump_json_small, SpyChain(EXAMPLE_ENTRIES), False) == PLAIN

    def test_small_with_standard_json(self, example_chain, rebind):
        rebind("json", std_json)
        assert written(zantu_cjson.dump_json_small, example_chain) == (
            '{"codes": [0, "a", 1, "b", 2, "c"], "chain": [0, [[1, 2], 3, [2], 1], 1, [[0], 2]]}')

    def test_small_dumps_once(self, example_chain):
        out = SpyFile()
        zantu_cjson.dump_json_small(example_chain, out)
        # ujson's dump hands the whole text to write at once.
        assert out.getvalue() == COMPRESSED

    def test_big_pieces(self, example_chain, encoder):
        out = SpyFile()
        zantu_cjson.dump_json_big(example_chain, out)
        assert out.pieces == ['{"codes":[', '0,"a",', '1,"b",', '2,"c"', '],"chain":[', "0,[", "[1,2]",
                              ",3,", "[2]", ",1", "],", "1,[", "[0]", ",2", "]", "]}"]

    def test_big_plain_pieces(self, encoder):
        out = SpyFile()
        zantu_cjson.dump_json_big(SpyChain(EXAMPLE_ENTRIES), out, False)
        assert len(out.pieces) == 13
        if encoder.__name__ == "ujson":
            assert out.getvalue() == PLAIN
        else:
            assert out.pieces[3] == '["b", "c"]'
            assert std_json.loads(out.getvalue()) == std_json.loads(PLAIN)

    @pytest.mark.parametrize("writer", WRITERS)
    def test_empty_chain(self, writer, encoder):
        out = SpyFile()
        writer(SpyChain([], []), out)
        assert out.getvalue().replace(" ", "") == '{"codes":[],"chain":[]}'
        if writer is zantu_cjson.dump_json_big:
            assert out.pieces == ['{"codes":[', '],"chain":[', "]}"]

    @pytest.mark.parametrize("writer", WRITERS)
    def test_empty_bag_and_empty_next_state(self, writer, encoder):
        chain = SpyChain([("a", []), ("b", [((), 1)])], [("a", 2), ("b", 1)])
        text = written(writer, chain).replace(" ", "")
        assert text == '{"codes":[0,"a",1,"b"],"chain":[0,[],1,[[],1]]}'
        assert written(writer, SpyChain([("a", []), ("b", [((), 1)])]), 0).replace(" ", "") == (
            '{"codes":[],"chain":["a",[],"b",[[],1]]}')


class TestCallOrder:
    @pytest.mark.parametrize("writer", WRITERS)
    def test_compressed(self, writer, example_chain):
        writer(example_chain, SpyFile())
        calls = [c for c in example_chain.log if c != ("len",)]
        assert calls == [("build_frequency_dict",), ("freq.items",), ("items",), ("choices", "a"),
                         ("choices", "b")]
        if writer is zantu_cjson.dump_json_big:
            assert example_chain.log.index(("len",)) == 2

    @pytest.mark.parametrize("writer", WRITERS)
    @pytest.mark.parametrize("flag", [0, "", [], None, False])
    def test_false_flags_write_plain_without_frequencies(self, writer, flag):
        chain = SpyChain(EXAMPLE_ENTRIES)  # its frequency mapping would fail
        chain.build_frequency_dict = None
        assert written(writer, chain, flag) == PLAIN

    @pytest.mark.parametrize("writer", WRITERS)
    def test_true_flags(self, writer, example_chain):
        assert written(writer, example_chain, "no") == COMPRESSED

    @pytest.mark.parametrize("writer", WRITERS)
    def test_flag_tested_once_by_truth(self, writer, example_chain):
        tested = []

        class Flag:
            def __bool__(self):
                tested.append(1)
                return True

        writer(example_chain, SpyFile(), Flag())
        assert tested == [1]

    def test_flag_failure(self, example_chain):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError

        out = SpyFile()
        with pytest.raises(ZeroDivisionError):
            zantu_cjson.dump_json_small(example_chain, out, Bad())
        assert out.pieces == [] and example_chain.log == []
        with pytest.raises(ZeroDivisionError):
            zantu_cjson.dump_json_big(example_chain, out, Bad())
        assert out.pieces == ['{"codes":['] and example_chain.log == []


class TestCodeTable:
    @pytest.mark.parametrize("writer", WRITERS)
    def test_ten_values_are_all_integer_codes(self, writer):
        values = list(range(100, 90, -1))  # the value 91 has a short text...
        freqs = [(v, 1) for v in "abcdefghi"] + [(5, 1)]
        assert codes_of(writer, freqs)[-2:] == [9, 5]
        assert codes_of(writer, [(v, 1) for v in values])[::2] == list(range(10))

    @pytest.mark.parametrize("writer", WRITERS)
    def test_thresholds(self, writer):
        def code_at(position, value):
            freqs = [(f"v{i}", 1) for i in range(position)] + [(value, 1)]
            return codes_of(writer, freqs)[-2:]

        assert code_at(10, 55) == [55, 55]          # 1 character text from position 10 on
        assert code_at(9, 55) == [9, 55]
        assert code_at(10, "") == ["", ""]          # '""' has 2 characters
        assert code_at(99, "a") == [99, "a"]        # '"a"' has 3
        assert code_at(100, "a") == ["a", "a"]
        assert code_at(999, True) == [999, True]    # 'true' has 4
        assert code_at(1000, "ab") == ["ab", "ab"]

    @pytest.mark.parametrize("writer", WRITERS)
    def test_ties_keep_the_mapping_order(self, writer):
        freqs = [("x", 1), ("y", 3), ("z", 1), ("w", 3)]
        assert codes_of(writer, freqs) == [0, "y", 1, "w", 2, "x", 3, "z"]

    @pytest.mark.parametrize("writer", WRITERS)
    @settings(max_examples=60, deadline=None)
    @given(st.dictionaries(st.one_of(st.text(max_size=3), st.integers(-20, 2 ** 64), st.booleans(), st.none()),
                           st.one_of(st.integers(-3, 3), st.integers(), st.booleans(), st.sampled_from([0.5, 2.0])),
                           max_size=40))
    def test_a_dict_of_frequencies_orders_as_sorted_does(self, writer, frequencies):
        # An exact dict of int frequencies is ordered without its item
        # tuples; any other mapping, or frequencies of other types, by
        # sorted() itself. Both must give the same table.
        class DictChain(SpyChain):
            def build_frequency_dict(self):
                return frequencies

        through_sorted = codes_of(writer, list(frequencies.items()))
        assert std_json.loads(written(writer, DictChain([]))) == {"codes": through_sorted, "chain": []}

    @pytest.mark.parametrize("writer", WRITERS)
    def test_literal_never_equals_an_integer_code(self, writer):
        # 7 at position 10 would be written as the literal 7 while position 7
        # holds the integer code 7.
        freqs = [(f"v{i}", 1) for i in range(10)] + [(7, 1)]
        assert codes_of(writer, freqs)[-2:] == [10, 7]
        # 7.0 and True equal integer codes too; a string never does.
        freqs = [(f"v{i}", 1) for i in range(100)] + [(7.0, 1), ("7", 1), (8, 1)]
        assert codes_of(writer, freqs)[-6:] == [100, 7.0, "7", "7", 102, 8]
        freqs = [(f"v{i}", 1) for i in range(1000)] + [(True, 1), (False, 1), (None, 1)]
        assert codes_of(writer, freqs)[-6:] == [1000, True, 1001, False, None, None]

    @pytest.mark.parametrize("writer", WRITERS)
    def test_collisions_cascade(self, writer):
        # 12 at position 10 is literal until position 12 turns out to need
        # its integer code: 11 at 12 collides with the integer code 11 of
        # position 11 (its value 0 collides at once).
        freqs = [(f"v{i}", 1) for i in range(10)] + [(12, 1), (0, 1), (11, 1), (50, 1)]
        assert codes_of(writer, freqs)[20:] == [10, 12, 11, 0, 12, 11, 50, 50]

    @pytest.mark.parametrize("writer", WRITERS)
    def test_array_values_keep_integer_codes(self, writer):
        freqs = [(f"v{i}", 1) for i in range(10)] + [((), 1)]
        assert codes_of(writer, freqs)[-2:] == [10, []]

    @pytest.mark.parametrize("writer", WRITERS)
    @pytest.mark.parametrize("reader", [zantu_cjson.load_json_small])
    def test_colliding_chain_round_trips(self, writer, reader):
        chain = MarkovChain()
        for i in range(10):
            chain.add_to_bag(f"s{i}", (f"s{i}",), count=100)
        chain.add_to_bag(7, (True, 1.0, (), 5), count=1)
        chain.add_to_bag(5, (7,), count=1)
        out = io.StringIO()
        writer(chain, out)
        loaded = MarkovChain()
        reader(loaded, io.StringIO(out.getvalue()))
        assert loaded == chain
        assert type(loaded.get_bag(7).choices().__next__()[0][0]) is bool


class Triple:
    def __iter__(self):
        return iter("abc")


class TestWriterErrors:
    @pytest.mark.parametrize("writer", WRITERS)
    def test_start_missing_from_the_frequencies(self, writer):
        chain = SpyChain([("a", [(("a",), 1)]), ("q", [])], [("a", 1)])
        out = SpyFile()
        with pytest.raises(KeyError) as err:
            writer(chain, out)
        assert err.value.args == ("q",)
        if writer is zantu_cjson.dump_json_small:
            assert out.pieces == []

    @pytest.mark.parametrize("writer", WRITERS)
    def test_tuple_key_error_keeps_the_tuple(self, writer):
        chain = SpyChain([((1, 2), [])], [("a", 1)])
        with pytest.raises(KeyError) as err:
            writer(chain, SpyFile())
        assert err.value.args == ((1, 2),)

    @pytest.mark.parametrize("writer", WRITERS)
    @pytest.mark.parametrize("entry, message", [
        (("a",), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        (("a", "b", "c"), "too many values to unpack (expected 2)"),
        (Triple(), "too many values to unpack (expected 2)"),
        (["a"], "need more than 1 value to unpack"),
    ])
    def test_unpack_messages(self, writer, entry, message):
        chain = SpyChain(length=1)
        chain.entries = [entry]
        with pytest.raises(ValueError) as err:
            writer(chain, SpyFile(), False)
        assert str(err.value) == message
        chain = SpyChain([("a", [])])
        chain.entries[0][1].pairs = [entry]
        with pytest.raises(ValueError) as err:
            writer(chain, SpyFile(), False)
        assert str(err.value) == message

    @pytest.mark.parametrize("writer", WRITERS)
    def test_unhashable_value(self, writer):
        with pytest.raises(TypeError):
            written(writer, SpyChain([], [([1], 1)]))

    @pytest.mark.parametrize("writer", WRITERS)
    def test_unsortable_frequencies(self, writer):
        with pytest.raises(TypeError):
            written(writer, SpyChain([], [("a", 1), ("b", "x")]))


TRICKY = ["plain", "", " ", "a/b", 'q"', "back\\slash", "\x7f", "\x1f", "é", "\U0001f600", 2 ** 63 - 1, 2 ** 63,
          -2 ** 63, -2 ** 63 - 1, 0, True, False, None, (), ((1,), "x", (None, (2.5,))), 1.5, -0.0, 1e16,
          1, -1, 2 ** 30 - 1, 2 ** 30, -2 ** 30 + 1, -2 ** 30]


def test_every_character_is_written_as_the_encoder_writes_it(encoder):
    # Every code point, lone surrogates included, in strings of 512, and
    # the escapes side by side with plain characters.
    starts = ["".join(map(chr, range(low, low + 512))) for low in range(0, 0x110000, 512)]
    starts += ["\ud83d\ude00", "a\ud800", "\udfffz", "/\\\"\x7f\x00é", "x" * 300 + "\n"]
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain([(s, []) for s in starts]), out, False)
    assert out.pieces[2:-1:2] == [encoder.dumps(s) + ",[" for s in starts]


class Word(str):
    pass


def test_short_texts_are_the_encoders(encoder):
    # The commonest starts and next states: short strings, alone and in
    # tuples and lists. One of each ASCII character, words of every length
    # up to 40, a str subclass, empty tuples and lists.
    words = [chr(c) for c in range(128)] + ["abcdefghijklmnopqrstuvwxyz/0123456789ABC"[:n] for n in range(41)]
    words.append(Word("sub"))
    states = [(w,) for w in words] + [(w, w[::-1]) for w in words] + [[w, "é", w] for w in words] + [(), []]
    entries = [(words[i % len(words)], [(state, 1)]) for i, state in enumerate(states)]
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain(entries), out, False)
    assert out.pieces[2:-1:4] == [encoder.dumps(start) + ",[" for start, _ in entries]
    assert out.pieces[3:-1:4] == [encoder.dumps(state) for state in states]


@pytest.mark.parametrize("value", TRICKY, ids=repr)
def test_value_texts_are_the_encoders(value, encoder):
    # The text of each value is exactly what the bound encoder's dumps gives.
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain([(value, [((value, value), 1)])]), out, False)
    assert out.pieces[2] == encoder.dumps(value) + ",["
    assert out.pieces[3] == encoder.dumps((value, value))
    freqs = [(f"v{i}", 1) for i in range(10)] + [(value, 1)]
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain([], freqs), out)
    assert out.pieces[11].endswith("," + encoder.dumps(value))


@pytest.mark.parametrize("writer", WRITERS)
def test_encoder_module_names_looked_up_as_attributes(writer, rebind):
    # A module bound as json is asked like any object: its own names, then
    # its __getattr__; a name it lacks is the module's AttributeError.
    import types
    import ujson
    lazy = types.ModuleType("lazy_json")
    asked = []

    def module_getattr(name):
        asked.append(name)
        if name in ("dumps", "dump"):
            return getattr(ujson, name)
        raise AttributeError(f"module 'lazy_json' has no attribute {name!r}")

    lazy.__getattr__ = module_getattr
    rebind("json", lazy)
    assert written(writer, SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES)) == COMPRESSED
    assert "dumps" in asked
    bare = types.ModuleType("bare_json")
    rebind("json", bare)
    with pytest.raises(AttributeError, match="bare_json"):
        written(writer, SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES))


SCALARS = (st.none() | st.booleans() | st.integers(-2 ** 64, 2 ** 64) | st.floats(allow_nan=False)
           | st.text(max_size=4) | st.sampled_from(["a/b", "x", "\x7f", "é"]))
VALUES = st.recursive(SCALARS, lambda inner: st.tuples(inner, inner), max_leaves=3)
NEXT_STATES = st.lists(VALUES, max_size=3).map(tuple) | st.lists(SCALARS, max_size=2)
COUNTS = st.integers(0, 2 ** 70) | st.floats(allow_nan=False) | st.just(1)


class TestWholeDocumentText:
    """With ujson's own dump bound, the in-memory writer makes the text of
    plain documents itself: it must be ujson's, and ujson's file protocol."""

    @staticmethod
    def captured(chain, compress):
        import ujson

        class Capture:
            dumps = staticmethod(ujson.dumps)

            def dump(self, document, file):
                self.document = document

        capture = Capture()
        saved = zantu_cjson.json
        zantu_cjson.json = capture
        try:
            zantu_cjson.dump_json_small(chain, SpyFile(), compress)
        finally:
            zantu_cjson.json = saved
        return ujson.dumps(capture.document)

    @settings(max_examples=150, deadline=None)
    @given(st.lists(st.tuples(VALUES, st.lists(st.tuples(NEXT_STATES, COUNTS), max_size=3)), max_size=6),
           st.booleans())
    def test_text_is_ujsons(self, entries, compress):
        import ujson
        assert zantu_cjson.json is ujson
        frequencies = {}
        for start, pairs in entries:
            frequencies.setdefault(start, 1)
            for state, _ in pairs:
                for v in state:
                    frequencies.setdefault(v, 1)
        chain = SpyChain(entries, list(frequencies.items()))
        try:
            expected = self.captured(chain, compress)
        except (TypeError, OverflowError, KeyError, ValueError) as error:
            with pytest.raises(type(error)):
                zantu_cjson.dump_json_small(chain, SpyFile(), compress)
            return
        out = SpyFile()
        zantu_cjson.dump_json_small(chain, out, compress)
        assert out.pieces == [expected]

    def test_file_protocol(self, example_chain, rebind):
        import ujson
        rebind("json", ujson)
        for file in (object(), type("NotCallable", (), {"write": 3})()):
            with pytest.raises(TypeError, match="expected file"):
                zantu_cjson.dump_json_small(example_chain, file)
        asked = []

        class Watched(SpyFile):
            def __getattribute__(self, name):
                asked.append(name)
                return super().__getattribute__(name)

        out = Watched()
        zantu_cjson.dump_json_small(example_chain, out)
        assert asked.count("write") == 2 and out.pieces == [COMPRESSED]
        # A value that only ujson itself can write still goes through it.
        with pytest.raises(TypeError, match="not JSON serializable"):
            zantu_cjson.dump_json_small(SpyChain([(object(), [(("b",), 1)])]), SpyFile(), False)


class HookBag(ListBag):
    """A bag whose choices() first runs `hook` (when given)."""

    def __init__(self, pairs, hook=None):
        super().__init__(pairs)
        self.hook = hook

    def choices(self):
        if self.hook is not None:
            self.hook()
        return super().choices()


def hook_chain(hook=None):
    return ListChain([("a", HookBag([(("b", "c"), 3), (("c",), 1)])), ("b", HookBag([(("a",), 2)], hook)),
                      ("c", HookBag([(("a", "b"), 1)]))])


class TestDocumentAsDumped:
    """The in-memory writer dumps the document through what is bound when
    the walk is over, and the document shows its values as they are then,
    whatever it made of them on the way."""

    @pytest.mark.parametrize("compress", [True, False])
    @pytest.mark.parametrize("change", ["json", "dump", "OrderedDict"])
    def test_bindings_changed_during_the_walk(self, rebind, compress, change):
        import collections
        import ujson

        def make_change(mp):
            if change == "json":
                mp.setattr(zantu_cjson, "json", std_json)
            elif change == "dump":
                mp.setattr(ujson, "dump", lambda document, file: file.write("<%s>" % ujson.dumps(document)))
            else:
                mp.setattr(zantu_cjson, "OrderedDict",
                           lambda members: collections.OrderedDict(list(members) + [("more", 1)]))

        rebind("json", ujson)
        unchanged = written(zantu_cjson.dump_json_small, hook_chain(), compress)
        with pytest.MonkeyPatch.context() as mp:
            make_change(mp)
            expected = written(zantu_cjson.dump_json_small, hook_chain(), compress)
        with pytest.MonkeyPatch.context() as mp:
            assert written(zantu_cjson.dump_json_small, hook_chain(lambda: make_change(mp)), compress) == expected
        assert expected != unchanged

    @pytest.mark.parametrize("compress", [True, False])
    @pytest.mark.parametrize("where", ["next state", "inside a next state", "start"])
    def test_list_changed_later_in_the_walk(self, compress, where):
        import pycodec

        def run(writer):
            inner = ["x"]
            start, state = "s", ("a", "b")
            if where == "next state":
                state = inner
            elif where == "inside a next state":
                state = ("a", inner)
            else:
                start = ("s", inner)
            # The list itself is written as a value in the compressed form
            # (it is no key of the code table).
            later = HookBag([(("a",), 2)], lambda: inner.append("y"))
            chain = ListChain([(start, HookBag([(state, 1)])), ("b", later)], {"s": 1, "a": 2, "b": 1, "x": 1})
            return pieces_and_error(writer, chain, SpyFile(), compress)

        assert run(zantu_cjson.dump_json_small) == run(pycodec.dump_json_small)


@pytest.mark.parametrize("writer", WRITERS)
def test_literal_codes_of_one_element_next_states(writer):
    # Short values past position 99 are written as themselves; here all in
    # a chain of plain values, so the in-memory writer makes the text itself.
    import pycodec
    chain = MarkovChain()
    for k in range(120):
        chain.add_to_bag(f"w{k}", (f"w{k + 1}",), count=1000 - k)
    for value in ["a", "b", 7, 500]:
        chain.add_to_bag("w0", (value,))
    text = written(writer, chain)
    # 7 would equal the code of position 7: it takes its position.
    assert '[[0],1000,["a"],1,["b"],1,[123],1,[500],1]' in text
    assert text == written(getattr(pycodec, writer.__name__), chain)


@pytest.mark.parametrize("writer", WRITERS)
def test_one_element_next_states_in_both_writers(writer):
    # One-element next states share their coded form per value, literal
    # codes included; a list whose element empties it while being looked
    # up is written from the element held.
    class Emptying(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            holder.clear()
            return str.__eq__(self, other)

    holder = [Emptying("e")]
    frequencies = [(f"v{i}", 100 - i) for i in range(10)] + [(12, 1), (Emptying("e"), 1)]
    pairs = [((12,), 1), ([12], 2), (("v3",), 3), (["v3"], 4), ((12, "v3"), 5), (holder, 6)]
    document = std_json.loads(written(writer, SpyChain([("v0", pairs)], frequencies)))
    assert document["chain"] == [0, [[12], 1, [12], 2, [3], 3, [3], 4, [12, 3], 5, [11], 6]]
    assert holder == []


class CountedBag(ListBag):
    """A bag of another type in the package's chain: its choices() counted."""

    calls = 0

    def choices(self):
        CountedBag.calls += 1
        return super().choices()


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("order", [1, 3])
@pytest.mark.parametrize("writer", ["dump_json_small", "dump_json_big"])
def test_counted_chain_written_from_its_numbers(writer, order, compress):
    # A chain counted from tokens keeps its counts as numbers until its bags
    # are asked for: the writers read them so, and write piece for piece what
    # the plain-Python writer writes of the bags (equal values kept once, a
    # start equal to a token). A write of the streaming writer that changes
    # the chain stops the walk (the bags' walk, with the shortcuts off,
    # reads on).
    import pycodec
    tokens = ("a b a c a b d . a b".split() + [("a", "b", "a"), 1, True, 1.0, "\u00e9", None, 2 ** 40]) * 6

    def pieces(writer, chain, out=None):
        out = out or SpyFile()
        writer(chain, out, compress)
        return out.pieces

    counted = MarkovChain.from_tokens(tokens, order)
    assert pieces(getattr(zantu_cjson, writer), counted) == pieces(getattr(pycodec, writer),
                                                                   MarkovChain.from_tokens(tokens, order))
    assert counted.build_frequency_dict() == MarkovChain.from_tokens(tokens, order).build_frequency_dict()
    if writer == "dump_json_small":
        return

    class Meddling(SpyFile):
        def __init__(self, change):
            super().__init__()
            self.change, self.walked = change, None

        def write(self, text):
            if self.walked is not None and len(self.pieces) == self.walked + 3:
                self.change()
            if text.endswith('"chain":['):
                self.walked = len(self.pieces)
            return super().write(text)

    for change in () if SHORTCUTS_OFF else ("add_tokens", "items", "clear"):
        counted = MarkovChain.from_tokens(tokens, order)
        call = getattr(counted, change)
        with pytest.raises(RuntimeError, match="changed during the write"):
            pieces(zantu_cjson.dump_json_big, counted,
                   Meddling(lambda: call(["z", "a"]) if change == "add_tokens" else call()))
        counted.add_tokens(tokens, order)
        assert len(pieces(zantu_cjson.dump_json_big, counted)) > 10


class CountedText(int):
    """A count whose text its own __str__ makes, counted."""

    calls = 0

    def __str__(self):
        CountedText.calls += 1
        return int.__str__(self)


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("odd", ["bag", "count", "huge count", "float value", "OrderedDict"])
def test_package_chain_with_odd_parts_written_as_python_writes(compress, odd, rebind):
    # The in-memory writer walks the package's chain once for its text
    # alone, and again for the document the JSON library gets when that is
    # needed: the calls of the caller's code and the document are those of
    # the plain-Python writer.
    import collections
    import pycodec
    import ujson
    rebind("json", ujson)

    def run(writer):
        chain = MarkovChain()
        for k in range(30):
            chain.add_to_bag(f"w{k}", (f"w{k + 1}",), count=k + 1)
        if odd == "bag":
            chain.set_bag("w5", CountedBag([(("w1",), 2)]))
        elif odd == "count":
            chain.add_to_bag("w7", ("w2",), count=CountedText(2 ** 40))
        elif odd == "huge count":
            chain.add_to_bag("w7", ("w2",), count=2 ** 70)
        elif odd == "float value":
            chain.add_to_bag("w9", (1.5, "w3"), count=3)
        CountedBag.calls = CountedText.calls = 0
        with pytest.MonkeyPatch.context() as mp:
            if odd == "OrderedDict":
                mp.setattr(zantu_cjson, "OrderedDict", type("Ordered", (collections.OrderedDict,), {}))
            return written(writer, chain, compress), CountedBag.calls, CountedText.calls

    assert run(zantu_cjson.dump_json_small) == run(pycodec.dump_json_small)


# Code of the caller's that runs while a writer works (a __del__, an __eq__,
# a rebound name) and changes what the writer is using: the native writers
# must do what the plain-Python rendering does, without reading freed memory.

class Dropping(str):
    """A value whose release empties the pair that holds the next one."""

    holder = []

    def __del__(self):
        if Dropping.holder:
            Dropping.holder[-1].clear()


class DroppingState(tuple):
    def __del__(self):
        if Dropping.holder:
            Dropping.holder[-1].clear()


class FreshPairs:
    """A chain whose entries and pairs are new lists of new objects at each
    step, each emptied when the one before it is released."""

    def __init__(self):
        self.values = {"s0": 3, "s1": 3, "s2": 3, "n": 9}

    def __len__(self):
        return 3

    def build_frequency_dict(self):
        return self.values

    def items(self):
        for i in range(3):
            pair = [Dropping(f"s{i}"), FreshBag()]
            Dropping.holder[:] = [pair]
            yield pair
        Dropping.holder.clear()


class FreshBag:
    unique_count = 3

    def choices(self):
        for count in range(1, 4):
            pair = [DroppingState((Dropping("n"),)), count]
            Dropping.holder[:] = [pair]
            yield pair


class Growing(str):
    """Equal to "b" but not the table's own "b": looking it up runs its
    __eq__, which adds "c" to the one-value list it stands in."""

    def __hash__(self):
        return hash("b")

    def __eq__(self, other):
        if self.target is not None and other == "b":
            self.target.append("c")
            self.target = None
        return str(self) == other


def growing_chain():
    value = Growing("b")
    state = [value]
    value.target = state
    return SpyChain([("a", [(state, 1)])], [("a", 1), ("b", 1), ("c", 1)])


class ExtremeMath:
    def __init__(self, digits):
        self.digits = digits

    def log10(self, position):
        return self.digits


def eleven_values():
    return SpyChain([], [(f"v{i}", 20 - i) for i in range(9)] + [(7, 2), ("", 1), (8, 1)])


def rebinding_ordered_dict(module, json_module):
    import collections

    def make(members):
        module.json = json_module
        return collections.OrderedDict(members)
    return make


class OtherEncoder:
    @staticmethod
    def dumps(value):
        return std_json.dumps(value)

    @staticmethod
    def dump(document, file):
        file.write("other encoder")


HOSTILE = {
    "released values empty the next pair": (FreshPairs, {}),
    "an element's __eq__ grows its one-value next state": (growing_chain, {}),
    "log10 gives 2**63-1": (eleven_values, {"math": ExtremeMath(2 ** 63 - 1)}),
    "log10 gives -2**63": (eleven_values, {"math": ExtremeMath(-2 ** 63)}),
    "unique_count is -2**63": (lambda: SpyChain([("a", [(("a",), 1)])], [("a", 1)]), {}),
    "OrderedDict rebinds json": (lambda: SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES), {"OrderedDict": None}),
}


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("case", sorted(HOSTILE))
@pytest.mark.parametrize("writer", ["dump_json_small", "dump_json_big"])
def test_caller_code_during_the_walk(writer, case, compress, monkeypatch):
    import pycodec
    make, names = HOSTILE[case]
    results = []
    for module in (zantu_cjson, pycodec):
        for name, value in names.items():
            if name == "OrderedDict":
                value = rebinding_ordered_dict(module, OtherEncoder)
            monkeypatch.setattr(module, name, value)
        monkeypatch.setattr(module, "json", __import__("ujson"))
        chain = make()
        if case == "unique_count is -2**63":
            chain.entries[0][1].unique_count = -2 ** 63
        results.append(pieces_and_error(getattr(module, writer), chain, SpyFile(), compress))
    assert results[0] == results[1]


@pytest.mark.parametrize("change", ["kwdefaults", "default encoder", "encoder settings"])
def test_standard_json_with_changed_defaults(change, monkeypatch):
    import pycodec
    if change == "kwdefaults":
        monkeypatch.setitem(std_json.dumps.__kwdefaults__, "ensure_ascii", False)
    elif change == "default encoder":
        monkeypatch.setattr(std_json, "_default_encoder", std_json.JSONEncoder(separators=(",", ":")))
    else:
        monkeypatch.setattr(std_json._default_encoder, "item_separator", " ,")
    chain = SpyChain([("é", [(("b", "é"), 1)])], [("é", 2), ("b", 1)] + [(f"w{i}", 1) for i in range(9)]
                     + [(("x", "y"), 1)])
    for compress in (True, False):
        pieces = []
        for module in (zantu_cjson, pycodec):
            monkeypatch.setattr(module, "json", std_json)
            pieces.append(pieces_and_error(module.dump_json_big, chain, SpyFile(), compress))
        assert pieces[0] == pieces[1]
        assert std_json.dumps(("x", "y") if compress else ("b", "é")) in "".join(pieces[0][0])
