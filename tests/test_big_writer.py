"""The streaming writer's own checks: announced numbers, count texts and a
failing write at every position."""

import decimal
import io
import json
import sys

import pytest

import zantu_cjson
from conftest import EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES, ListBag, ListChain, Changing, SpyChain, SpyFile, pieces_and_error
import pycodec
from zantu import MarkovChain

dump = zantu_cjson.dump_json_big


class TestAnnouncedNumbers:
    @pytest.mark.parametrize("length", [0, 1, 3, 10])
    def test_wrong_chain_length(self, length):
        chain = SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES, length=length)
        out = SpyFile()
        with pytest.raises(ValueError) as err:
            dump(chain, out)
        assert "len(chain) is %d" % length in str(err.value)
        assert out.pieces[-1] != "]}"

    @pytest.mark.parametrize("announced", [0, 1, 3, 2.5, -1])
    def test_wrong_unique_count(self, announced):
        chain = SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES)
        chain.entries[0][1].unique_count = announced
        with pytest.raises(ValueError) as err:
            dump(chain, SpyFile(), False)
        assert "unique_count %r" % announced in str(err.value)
        assert "'a'" in str(err.value)

    def test_too_many_pairs_stop_before_the_extra_one(self):
        chain = SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES)
        chain.entries[0][1].unique_count = 1
        out = SpyFile()
        with pytest.raises(ValueError, match="yielded at least 2 pairs"):
            dump(chain, out)
        assert out.getvalue().endswith("0,[[1,2],3")

    def test_wrong_frequency_length(self):
        class Items(list):
            def __len__(self):
                return 2

        chain = SpyChain(EXAMPLE_ENTRIES, None)
        chain.build_frequency_dict = lambda: type("F", (), {"items": lambda self: Items(EXAMPLE_FREQUENCIES)})()
        out = SpyFile()
        with pytest.raises(ValueError, match="announce 2 values .* yielded 3"):
            dump(chain, out)
        assert out.pieces == ['{"codes":[']

    def test_empty_iterations_need_no_agreement(self):
        # The text is valid whatever is announced when nothing is yielded.
        chain = SpyChain([("a", [])], [("a", 1)], length=1)
        chain.entries[0][1].unique_count = 5
        out = SpyFile()
        dump(chain, out)
        assert out.getvalue() == '{"codes":[0,"a"],"chain":[0,[]]}'
        out = SpyFile()
        dump(SpyChain([], [], length=4), out)
        assert out.getvalue() == '{"codes":[],"chain":[]}'

    def test_announcements_as_other_numbers(self):
        chain = SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES)
        chain.entries[0][1].unique_count = 2.0
        chain.entries[1][1].unique_count = True
        out = SpyFile()
        dump(chain, out)
        assert out.getvalue() == '{"codes":[0,"a",1,"b",2,"c"],"chain":[0,[[1,2],3,[2],1],1,[[0],2]]}'


class NumericStr(str):
    def __float__(self):
        return 3.0


class PrintsAsNumber:
    def __str__(self):
        return "4.25e1"


WRITERS = {"big": zantu_cjson.dump_json_big, "small": zantu_cjson.dump_json_small,
           "python big": pycodec.dump_json_big, "python small": pycodec.dump_json_small}


@pytest.mark.parametrize("writer", sorted(WRITERS))
class TestCounts:
    """One rule in every writer: a count whose text is a JSON number is
    written, anything else is a ValueError before anything of its pair."""

    @pytest.mark.parametrize("count", [True, None, "3", NumericStr("3"), float("nan"), float("inf"), b"1", 1j])
    def test_not_a_json_number(self, writer, count):
        chain = SpyChain([("a", [(("a",), count)])], [("a", 1)])
        out = SpyFile()
        with pytest.raises(ValueError, match="not a JSON number"):
            WRITERS[writer](chain, out)
        assert out.pieces[-1:] in ([], ["0,["])

    def test_repr_that_frees_the_class(self, writer):
        # The message is made with repr(count), which here changes the
        # count's class and collects the old one: nothing of it is read after.
        import gc

        class Other:
            def __str__(self):
                return "x"

        def make():
            class Gone(Other):
                def __repr__(self):
                    self.__class__ = Other
                    gc.collect()
                    return "gone"
            return Gone()

        with pytest.raises(ValueError, match="count gone is not a JSON number"):
            WRITERS[writer](SpyChain([("a", [(("a",), make())])], [("a", 1)]), SpyFile())

    @pytest.mark.parametrize("count, text", [(7, "7"), (-3, "-3"), (10 ** 30, str(10 ** 30)), (2.5, "2.5"),
                                             (1e300, "1e+300"), (decimal.Decimal("1.50"), "1.50"),
                                             (PrintsAsNumber(), "4.25e1")]
                             + [(n, str(n)) for n in (0, 63, 64, 2 ** 30 - 1, 2 ** 30, -2 ** 30 + 1, -2 ** 30,
                                                      2 ** 63 - 1, -2 ** 63)])
    def test_numbers(self, writer, count, text):
        out = SpyFile()
        WRITERS[writer](SpyChain([("a", [(("a",), count)])], [("a", 1)]), out)
        if writer.endswith("big"):
            assert out.pieces[-3] == "," + text
        assert json.loads(out.getvalue())["chain"][1][1] == json.loads(text)


class FailingFile:
    def __init__(self, fail_at):
        self.fail_at, self.pieces = fail_at, []

    def write(self, text):
        if len(self.pieces) == self.fail_at:
            raise OSError("disk full")
        self.pieces.append(text)


@pytest.mark.parametrize("compress", [True, False])
def test_failing_write_at_every_position(compress):
    # Values of their own, whose reference counts nothing else touches.
    values = ["".join(["alpha", str(i)]) for i in range(3)]
    chain = MarkovChain()
    chain.add_to_bag(values[0], (values[1], values[2]), count=3)
    chain.add_to_bag(values[0], (values[2],), count=1)
    chain.add_to_bag(values[1], (values[0],), count=2)
    full = SpyFile()
    dump(chain, full, compress)
    before = [sys.getrefcount(v) for v in values] + [sys.getrefcount(chain)]
    for k in range(len(full.pieces)):
        out = FailingFile(k)
        with pytest.raises(OSError, match="disk full"):
            dump(chain, out, compress)
        assert out.pieces == full.pieces[:k]
    assert [sys.getrefcount(v) for v in values] + [sys.getrefcount(chain)] == before


def test_file_without_write():
    with pytest.raises(AttributeError):
        dump(SpyChain([], []), object())


def test_loads_back_with_standard_json_text(rebind):
    rebind("json", json)
    chain = MarkovChain.from_tokens("a b , c a b".split(), order=2)
    out = io.StringIO()
    dump(chain, out, False)
    loaded = MarkovChain()
    zantu_cjson.load_json_small(loaded, io.StringIO(out.getvalue()))
    assert loaded == chain


def test_code_pairs_are_written_as_they_are_encoded(rebind):
    events = []

    class Encoder:
        @staticmethod
        def dumps(value):
            if value == "bad":
                raise TypeError("cannot encode")
            events.append(("dumps", value))
            return json.dumps(value)

    class File(SpyFile):
        def write(self, text):
            events.append(("write", text))

    rebind("json", Encoder)
    with pytest.raises(TypeError, match="cannot encode"):
        dump(SpyChain([], [("a", 3), ("b", 2), ("bad", 1)]), File())
    assert events == [("write", '{"codes":['), ("dumps", "a"), ("write", '0,"a",'), ("dumps", "b"),
                      ("write", '1,"b",')]


def test_pairs_wait_for_a_possible_collision():
    # From the literal 3 at position 10 on, codes are final only once the
    # whole table is known; the pieces are the same.
    freqs = [(f"v{i}", 1) for i in range(10)] + [(3, 1), ("x", 1)]
    out = SpyFile()
    dump(SpyChain([], freqs), out)
    assert out.pieces[-5:-2] == ['9,"v9",', "10,3,", '11,"x"']


class Emptying(str):
    """A string whose comparison empties the list it stands in."""

    holder: list = []

    __hash__ = str.__hash__

    def __eq__(self, other):
        self.holder.clear()
        return str.__eq__(self, other)


def test_one_element_next_states():
    # The piece of a one-element next state is made once per value: the
    # same text each time, literal codes included, and lists like tuples.
    frequencies = [(f"v{i}", 100 - i) for i in range(10)] + [(12, 1), ("x", 1)]
    pairs = [((12,), 1), ([12], 2), (("v3",), 3), (["v3"], 4), ((12, "v3"), 5), (("x",), 6)]
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain([("v0", pairs)], frequencies), out)
    assert out.pieces[15:-2:2] == ["[12]", "[12]", "[3]", "[3]", "[12,3]", "[11]"]
    with pytest.raises(KeyError) as err:
        zantu_cjson.dump_json_big(SpyChain([("v0", [(("nope",), 1)])], frequencies), SpyFile())
    assert err.value.args == ("nope",)
    # The element stays alive while its own comparison empties the list.
    holder = Emptying.holder
    value = Emptying("e")
    holder.append(Emptying("e"))
    out = SpyFile()
    zantu_cjson.dump_json_big(SpyChain([(value, [(holder, 1)])], [(value, 1)]), out)
    assert out.pieces[-4:-2] == ["[0]", ",1"] and holder == []


def test_plain_one_element_pieces_follow_the_encoder(rebind):
    # Pieces made once per element are the bound encoder's text, and a
    # change of encoder between values is seen at once.
    import ujson

    class Switching:
        def write(self, text):
            self.pieces.append(text)
            if len(self.pieces) == 7:
                rebind("json", json)

    out = Switching()
    out.pieces = []
    word = "a/b"
    rebind("json", ujson)
    pairs = [((word,), 1), ([word], 1), ((word,), 1), ((2 ** 70,), 1), ((word,), 1)]
    zantu_cjson.dump_json_big(SpyChain([("s", pairs)]), out, False)
    assert out.pieces[3:-2:2] == ['["a\\/b"]', '["a\\/b"]', '["a/b"]', "[1180591620717411303424]", '["a/b"]']


def test_many_distinct_values():
    # Thousands of distinct values, strings and numbers, in both forms: the
    # texts match the plain-Python writer's and the chain loads back equal.
    import pycodec
    tokens = [f"w{i % 7000}" for i in range(30000)] + [str(i % 3000) for i in range(9000)]
    chain = MarkovChain.from_tokens(tokens)
    for compress in (True, False):
        ours, theirs = io.StringIO(), io.StringIO()
        dump(chain, ours, compress)
        pycodec.dump_json_big(chain, theirs, compress)
        assert ours.getvalue() == theirs.getvalue()
        loaded = MarkovChain()
        zantu_cjson.load_json_big(loaded, io.BytesIO(ours.getvalue().encode()))
        assert loaded == chain


class Meddling:
    """A file whose writes change the bag being written: the counts of pairs
    not written yet, or one more pair. The writer must see each change as
    the bag's own iterator does when it gets there, whatever it has read of
    the bag ahead of time."""

    def __init__(self, bag, at, change):
        self.bag, self.at, self.change, self.pieces = bag, at, change, []

    def write(self, text):
        self.pieces.append(text)
        if len(self.pieces) == self.at:
            if self.change == "counts":
                for item, _ in list(self.bag.choices()):
                    self.bag.add(item, 1000)
            else:
                self.bag.add(("more",))


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("change", ["counts", "grow"])
def test_bag_changed_while_it_is_written(compress, change):
    import pycodec
    # Enough pairs for the writer to read well ahead of the one it writes,
    # and a start before and after the bag that changes.
    results = []
    for writer in (dump, pycodec.dump_json_big):
        chain = MarkovChain()
        chain.add_to_bag("first", ("w0",))
        for i in range(40):
            chain.add_to_bag("busy", (f"w{i}",), count=i + 1)
            chain.add_to_bag("busy", (f"w{i}", "w0"), count=1)
        for word in ["new0", "new1", "new2", "more"]:  # values the changes bring in
            chain.add_to_bag(word, ("w1",))
        bag = chain.get_bag("busy")
        # The change comes after five pairs of the bag of "busy" (plain form)
        # or between the eighth pair's item and its count (compressed form),
        # with more than seventy of its pairs still to be written.
        out = Meddling(bag, at=(2 + 48 + 2 if compress else 1) + 2 + 2 + 12, change=change)
        results.append(pieces_and_error(writer, chain, out, compress))
    assert results[0] == results[1]
    assert results[0][1] is (RuntimeError if change == "grow" else None)


def marking(file, text):
    file.pieces.append("<" + text + ">")


EXAMPLE_PIECES = ['{"codes":[', '0,"a",', '1,"b",', '2,"c"', '],"chain":[', "0,[", "[1,2]", ",3,", "[2]",
                  ",1", "],", "1,[", "[0]", ",2", "]", "]}"]


@pytest.mark.parametrize("change", ["instance", "class", "instance and back"])
def test_write_is_looked_up_for_every_piece(example_chain, change):
    # A file of a C type's subclass: its write is found on the type unless
    # the instance has one of its own.
    cls = type("File", (Changing,), {})

    def rebind(file):
        if change == "class":
            cls.write = lambda self, text: marking(self, text)
            return
        file.write = lambda text: marking(file, text)
        if change == "instance and back":
            def once(text):
                marking(file, text)
                del file.write
            file.write = once

    out = cls(8, rebind)
    dump(example_chain, out)
    marked = ["<" + piece + ">" for piece in EXAMPLE_PIECES[8:]]
    if change == "instance and back":
        marked[1:] = EXAMPLE_PIECES[9:]
    assert out.pieces == EXAMPLE_PIECES[:8] + marked


@pytest.mark.parametrize("change", ["attribute", "global"])
def test_dumps_is_looked_up_for_every_value(rebind, monkeypatch, change):
    import ujson
    rebind("json", ujson)

    def new_dumps(file):
        if change == "attribute":
            monkeypatch.setattr(ujson, "dumps", lambda value: "(%s)" % json.dumps(value))
        else:
            rebind("json", type("Encoder", (), {"dumps": staticmethod(lambda value: "(%s)" % json.dumps(value))}))

    out = Changing(4, new_dumps)
    dump(SpyChain(EXAMPLE_ENTRIES, EXAMPLE_FREQUENCIES), out, False)
    assert out.pieces == ['{"codes":[', '],"chain":[', '"a",[', '["b","c"]', ",3,", '(["c"])', ",1", "],",
                          '("b"),[', '(["a"])', ",2", "]", "]}"]


class ListMeddling:
    """A file whose writes change the list of the bag being written, or the
    chain's list of entries: pairs replaced, the rest cut off, one more."""

    def __init__(self, target, at, change):
        self.target, self.at, self.change, self.pieces = target, at, change, []

    def write(self, text):
        self.pieces.append(text)
        if len(self.pieces) == self.at:
            target = self.target
            if self.change == "replace":
                target[-3:] = [target[0]] * 3
            elif self.change == "cut":
                del target[len(target) // 2:]
            else:
                target.append(target[0])


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("change", ["replace", "cut", "grow"])
@pytest.mark.parametrize("what", ["bag", "chain"])
def test_lists_changed_while_they_are_written(compress, change, what):
    # Like a changed bag, for chains and bags that hand out list iterators,
    # which the writer also reads ahead of the element it writes.
    import pycodec
    results = []
    for writer in (dump, pycodec.dump_json_big):
        words = [f"w{i}" for i in range(40)]
        busy = ListBag([((w,), i + 1) for i, w in enumerate(words)] + [((w, "w0"), 1) for w in words])
        entries = [("first", ListBag([(("w0",), 1)])), ("busy", busy)]
        entries += [(w, ListBag([(("w1",), 2)])) for w in words]
        chain = ListChain(entries)
        target = busy.pairs if what == "bag" else entries
        out = ListMeddling(target, at=(2 + len(chain.values) if compress else 2) + 4 + 10, change=change)
        results.append(pieces_and_error(writer, chain, out, compress))
    assert results[0] == results[1]
    assert results[0][1] is (None if change == "replace" else ValueError)


def test_write_changed_while_it_is_looked_up(example_chain):
    # A key of the file's own dict whose __eq__ (asked while `write` is
    # looked up there) replaces the class's write, dropping the only
    # reference to the old one: that lookup has already found the old write
    # and writes with it; every later piece goes to the new one.
    class Sneaky(str):
        fired = False

        def __hash__(self):
            return hash("write")

        def __eq__(self, other):
            if not Sneaky.fired:
                Sneaky.fired = True
                cls.write = lambda self, text: marking(self, text)
            return False

    cls = type("File", (Changing,), {"write": lambda self, text: self.pieces.append(text)})
    out = cls(0, None)
    out.__dict__[Sneaky("key")] = 1
    dump(example_chain, out)
    assert Sneaky.fired
    assert out.pieces == EXAMPLE_PIECES[:1] + ["<" + piece + ">" for piece in EXAMPLE_PIECES[1:]]


def test_write_of_the_instance_is_looked_up_once_per_piece(example_chain):
    # The file's own write, found in its dict past a key whose __eq__ counts
    # the lookups: as many as the pieces, as Python's own lookup makes.
    class Counting(str):
        calls = 0

        def __hash__(self):
            return hash("write")

        def __eq__(self, other):
            Counting.calls += 1
            return False

    out = Changing(0, None)
    out.__dict__[Counting("key")] = 1
    out.write = out.pieces.append
    per_lookup = Counting.calls
    out.write  # noqa: B018 - the lookup whose cost is counted
    per_lookup = Counting.calls - per_lookup
    Counting.calls = 0
    dump(example_chain, out)
    assert out.pieces == EXAMPLE_PIECES
    assert per_lookup >= 1 and Counting.calls == per_lookup * len(EXAMPLE_PIECES)


class Keeping(io.StringIO):
    """A file whose write is io.StringIO's own, that keeps its text when it
    is closed."""

    kept = None

    def close(self):
        self.kept = self.getvalue()
        super().close()


@pytest.mark.parametrize("change", ["class", "closed"])
def test_builtin_write_changed_between_pieces(change):
    # The second bag's choices() replaces the class's write, or closes the
    # file: the pieces after it go to the new write, or the next one fails.
    cls = type("File", (Keeping,), {})
    out = cls()
    chain = SpyChain([("a", [(("b",), 1)]), ("b", [(("a",), 2)])])
    bag = chain.entries[1][1]

    def choices():
        if change == "class":
            cls.write = lambda self, text: io.StringIO.write(self, "<" + text + ">")
        else:
            out.close()
        return iter(bag.pairs)

    bag.choices = choices
    if change == "class":
        dump(chain, out, False)
        assert out.getvalue() == '{"codes":[],"chain":["a",[["b"],1],"b",[<["a"]><,2><]><]}>'
    else:
        with pytest.raises(ValueError, match="closed file"):
            dump(chain, out, False)
        assert out.kept == '{"codes":[],"chain":["a",[["b"],1],"b",['


def test_builtin_write_of_another_type():
    out = type("File", (), {"write": io.StringIO.write, "__slots__": ()})()
    with pytest.raises(TypeError) as expected:
        out.write("{")
    with pytest.raises(TypeError) as raised:
        dump(SpyChain(), out)
    assert str(raised.value) == str(expected.value)


SINK_BLOCK = 1 << 16


class Blocks:
    """A binary file that takes `share` of each block it is given, fails its
    `fail_at`-th write, and writes `echo` into `sink` from its first write."""

    def __init__(self, share=1.0, fail_at=None, echo=None):
        self.data, self.calls, self.share, self.fail_at, self.echo = bytearray(), 0, share, fail_at, echo
        self.sink, self.echoes = None, echo is not None

    def write(self, block):
        self.calls += 1
        assert type(block) is bytes and 0 < len(block) <= SINK_BLOCK
        if self.calls == self.fail_at:
            raise OSError("disk full")
        if self.echo is not None:
            self.sink.write(self.echo)
            self.echo = None
        taken = max(1, int(len(block) * self.share))
        self.data += block[:taken]
        return taken


@pytest.mark.parametrize("compress", [True, False])
def test_into_a_text_sink(compress, rebind):
    # What the writer appends straight into the package's TextSink reaches
    # its file as the document's UTF-8, in blocks, in order: also when the
    # file takes part of a block, fails once (nothing is lost: the next flush
    # hands it over) or writes into the sink itself (after the block).
    from zantu._native import TextSink
    tokens = [f"wörd{i % 9000:040}" for i in range(30000)]
    chain = MarkovChain.from_tokens(tokens)
    expected = io.StringIO()
    dump(chain, expected, compress)
    expected = expected.getvalue().encode()
    assert len(expected) > 3 * SINK_BLOCK
    for file in (Blocks(), Blocks(share=0.4), Blocks(fail_at=2), Blocks(echo="é")):
        sink = file.sink = TextSink(file)
        if file.fail_at:
            with pytest.raises(OSError, match="disk full"):
                dump(chain, sink, compress)
        else:
            dump(chain, sink, compress)
        sink.flush()
        data = bytes(file.data)
        if file.fail_at:
            assert len(data) >= 2 * SINK_BLOCK and data == expected[:len(data)]
        elif not file.echoes:
            assert data == expected and file.calls >= 3 * (1 + (file.share < 1))
        else:
            echo = data.index("é".encode())
            assert echo >= SINK_BLOCK and data[:echo] + data[echo + 2:] == expected
    # The encoder's own text goes as UTF-8; what a UTF-8 text file refuses,
    # the sink refuses alike.
    rebind("json", type("Unescaped", (), {"dumps": staticmethod(lambda v: json.dumps(v, ensure_ascii=False))}))
    chain = MarkovChain.from_tokens(["é", "\ud800", "é"])
    for file in (TextSink(Blocks()), io.TextIOWrapper(io.BytesIO(), encoding="utf-8")):
        with pytest.raises(UnicodeEncodeError):
            dump(chain, file, compress)
