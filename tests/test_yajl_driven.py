"""The streaming reader driving yajl itself, against the same reader through
the events of the bound backend: for every input, the same chain calls with
the same values (or the same chain), and the same exception class and
message, in text and binary files, both merge modes."""
import importlib
import io
import sys
from pathlib import Path

import pytest
import zantu_cjson
from conftest import SHORTCUTS_OFF, SpyChain, shortcuts_off
from zantu import MarkovChain
from zantu.bag import ProbabilityBag

pytestmark = pytest.mark.skipif(SHORTCUTS_OFF or not zantu_cjson.__fast_paths__()["native_parser"],
                                reason="the yajl backends are not driven here")


def _yajl_backends():
    found = []
    for name in ("yajl2_c", "yajl2_cffi"):
        try:
            found.append(importlib.import_module("ijson.backends." + name))
        except ImportError:
            pass
    return found


YAJL = _yajl_backends()
SUITE = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "jsontestsuite" / "test_parsing"


class _SeeingBag(ProbabilityBag):
    """A bag of the caller's: what its adds were handed, element by element."""

    def add(self, item, count=1):
        elements = list(item)
        self.seen = getattr(self, "seen", []) + [elements]
        super().add(elements, count)


def _chain():
    chain = MarkovChain()
    for start, item, count in [("a", ("b", "c"), 3), ("a", ("c",), 1), ("b", ("a",), 2), ("é\n\"/", ("\U0001f600",), 7),
                               (1, (2.5, None, True), 4), (-7, ([1, [2]], "x"), 10**12), ("a", ("d",), 2**40)]:
        chain.add_to_bag(start, item, count=count)
    chain.set_bag("z", _SeeingBag())
    return chain


def _documents():
    chain = _chain()
    texts = []
    for compress in (True, False):
        out = io.StringIO()
        zantu_cjson.dump_json_big(chain, out, compress)
        texts.append(out.getvalue().encode())
    big = MarkovChain.from_tokens([f"w{i % 97}é" for i in range(3000)] + [f"a{i % 89}" for i in range(2000)], 2)
    for compress in (True, False):
        out = io.StringIO()
        zantu_cjson.dump_json_big(big, out, compress)
        texts.append(out.getvalue().encode())  # past a few parser blocks
    return texts


DOCUMENTS = _documents()


def _inputs():
    small = DOCUMENTS[0]
    cases = {f"valid {i}": text for i, text in enumerate(DOCUMENTS)}
    cases.update({f"cut {n}": small[:n] for n in range(len(small))})
    cases.update({f"cut big {n}": DOCUMENTS[2][:n] for n in range(2000, len(DOCUMENTS[2]), 997)})
    for n in range(len(small)):
        cases[f"flip {n}"] = small[:n] + bytes([small[n] ^ (0x01 if n % 2 else 0x22)]) + small[n + 1:]
        cases[f"bad byte {n}"] = small[:n] + b"\xff" + small[n + 1:]
    cases["flip in block 2"] = DOCUMENTS[2][:3000] + b"}" + DOCUMENTS[2][3001:]
    huge = b"1" + b"0" * 5000
    cases.update({
        "huge start": b'{"codes":[],"chain":[' + huge + b',[[1],1]]}',
        "huge count": b'{"codes":[],"chain":[1,[[1],' + huge + b']]}',
        "huge item": b'{"codes":[],"chain":[1,[[' + huge + b'],1]]}',
        "huge code": b'{"codes":[' + huge + b',"x"],"chain":[' + huge + b',[[' + huge + b'],1]]}',
        "huge floats": b'{"codes":[],"chain":[1e999,[[-1e999,1e-999,-0.0],1.5e300]]}',
        "long int": b'{"codes":[],"chain":[123456789012345678901234567890,[[-9223372036854775809],1]]}',
        "surrogate bytes": b'{"codes":[],"chain":["\xed\xa0\x80",[["a"],1]]}',
        "overlong": b'{"codes":[],"chain":["\xc0\xaf",[["a"],1]]}',
        "bad key": b'{"co\xffdes":[],"chain":[]}',
        "escaped surrogate": b'{"codes":[],"chain":["\\ud800",[["\\udc00x"],1]]}',
        "deep": b'{"codes":[],"chain":[' + b"[" * 500 + b"]" * 500 + b',[[1],1]]}',
        "trailing": DOCUMENTS[0] + b" x",
        "two documents": DOCUMENTS[0] + DOCUMENTS[1],
        "empty": b"",
        "lane": b'{"codes":[0,"a",1,"b"],"chain":[0,[[1,[0]],2,[1,2.5],1,[-1],1,[1,7],1]]}',
        "lane counts": b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],2.5,[],' + huge + b',[1,0],-3,[0],0]]}',
        "second sections": b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],2]],"codes":[0,"x",1,"y"],"chain":[0,[[1],3]]}',
        "blank": b"  \n",
        # The code table as the lane reads it, and where it hands over.
        "array values": b'{"codes":[0,"z",1,["p",1],2,"q"],"chain":[0,[[1,2],2.5,[1],3,[1,5],1]]}',
        "codes spill": b'{"codes":[0,"a",1.5,"b",1,["c",[1]],true,"t",null,"n",3,{"k":1}],'
                       b'"chain":[1,[[0],1,[3],1],0,[[1],2]]}',
        "codes spill in a value": b'{"codes":[0,"a",1,["p",[2]],2,"q"],"chain":[1,[[0,2],1]]}',
        "array code": b'{"codes":[0,"a",[0],"x",1,"c"],"chain":[0,[[1],1]]}',
        "code sorts": b'{"codes":[0,"a",0,"b",1,null,1000,"far",-1,"neg",99999999999999999999,"big","1","s",'
                      b'2,["x",null,true,1.5],7,[]],"chain":[0,[[1,1000,-1,99999999999999999999,"1",2,7],1],'
                      b'1,[[0],2],2,[[0],1],1000,[[8],1]]}',
        "odd codes": b'{"codes":[0,"a",1],"chain":[]}',
        "odd codes spilled": b'{"codes":[1.5,"a",1],"chain":[]}',
        "plain array starts": b'{"codes":[],"chain":[["a","b"],[["c"],1],["a",1,true,null,2.5,"\xc3\xa9"],[["b"],2],'
                              b'[],[["a"],1],["a","b"],[["d"],1],["a",["n"]],[["b"],1],["a",{"k":1}],[["c"],1],'
                              b'["a",' + huge + b'],[["c"],1]]}',
        "plain array start messages": b'{"codes":[],"chain":[["a","b"],[["c"],1],["a","b"],{"x":1}]}',
        "plain array start odd bag": b'{"codes":[],"chain":[["a","b"],[["c"],1,["d"]]]}',
        "plain array start no count": b'{"codes":[],"chain":[["a",2],[["c"],"x"]]}',
        "plain array start no item": b'{"codes":[],"chain":[["a",null],[1,1]]}',
        "deep code value": b'{"codes":[0,' + b"[" * 500 + b"]" * 500 + b'],"chain":[0,[[0],1]]}',
        "str codes": b'{"codes":["ab","xy",0,"a","cd",["n",1],"\xc3\xa9","e"],'
                     b'"chain":["ab",[["cd",0],2,["ab"],1,["\xc3\xa9"],1],"cd",[["ab"],1],"\xc3\xa9",[["ab"],1]]}',
        "repeats": b'{"codes":[0,"a",1,"b"],"chain":[0,[[1],2,[0],1,[1],3,[0,1],1,[1],1],1,[[0],1],0,[[1],4]]}',
        "plain repeats": b'{"codes":[],"chain":["a",[["b"],1,["c"],2,["b"],3],"a",[["c"],1]]}',
        "wide repeats": b'{"codes":[' + b",".join(b'%d,"v%d"' % (i, i) for i in range(19)) + b'],"chain":[0,['
                        + b",".join(b"[%d],1" % (i % 19) for i in range(20000)) + b"]]}",  # past the rows held
    })
    if SUITE.is_dir():
        cases.update({f"suite {path.name}": path.read_bytes() for path in sorted(SUITE.glob("*.json"))})
    return cases


INPUTS = _inputs()


def _file(data, binary):
    if binary:
        return io.BytesIO(data)
    return io.TextIOWrapper(io.BytesIO(data), encoding="utf-8", errors="surrogateescape", newline="")


def _outcome(backend, data, binary, merge, spy):
    chain = SpyChain() if spy else _chain()
    saved = zantu_cjson.ijson
    zantu_cjson.ijson = backend
    try:
        zantu_cjson.load_json_big(chain, _file(data, binary), merge)
        error = None
    except Exception as e:  # the comparison is of any exception
        error = (type(e), str(e))
    finally:
        zantu_cjson.ijson = saved
    if spy:
        return error, repr(list(chain.log))
    return error, repr([(start, [(state, count, type(count)) for state, count in bag.choices()],
                         getattr(bag, "seen", None)) for start, bag in chain.items()])


@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("backend", YAJL, ids=lambda b: b.__name__.rsplit(".", 1)[1])
@pytest.mark.parametrize("binary", [False, True], ids=["text", "binary"])
def test_same_outcome_as_the_events(backend, binary, capsys):
    # The package's chain (filled through its own rows while driven) against
    # the events into a chain filled through its methods; a spy chain
    # against the events.
    differ = []
    for name, data in INPUTS.items():
        for merge in (False, True):
            for spy in (False, True):
                driven = _outcome(backend, data, binary, merge, spy)
                with shortcuts_off():
                    zantu_cjson.__fast_paths__(native_builder=True, parser_blocks=True)
                    expected = _outcome(backend, data, binary, merge, spy)
                if driven != expected:
                    differ.append((name, merge, spy, driven, expected))
    capsys.readouterr()  # what yajl2_cffi's callbacks report as ignored
    assert not differ, differ[:3]


@pytest.mark.parametrize("backend", YAJL, ids=lambda b: b.__name__.rsplit(".", 1)[1])
def test_no_event_is_made(backend, rebind):
    # Driven, nothing of ijson's Python code runs; rebind any of what the
    # backend runs, and the events come back.
    rebind("ijson", backend)
    seen = []

    def profile(frame, event, arg):
        if event == "call" and "ijson" in frame.f_code.co_filename:
            seen.append(frame.f_code.co_name)

    def load():
        seen.clear()
        sys.setprofile(profile)
        try:
            zantu_cjson.load_json_big(MarkovChain(), io.StringIO(DOCUMENTS[0].decode()))
        finally:
            sys.setprofile(None)
        return bool(seen)

    assert not load()
    original = backend.basic_parse_gen
    backend.basic_parse_gen = lambda *args, **kwargs: original(*args, **kwargs)
    try:
        assert load()
    finally:
        backend.basic_parse_gen = original
    assert not load()


class _MeddlingText(io.TextIOBase):
    """A text file whose every read first changes the chain being loaded."""

    def __init__(self, text, chain, meddle):
        self.text, self.at, self.chain, self.meddle = text, 0, chain, meddle

    def readable(self):
        return True

    def read(self, size=-1):
        self.meddle(self.chain)
        size = len(self.text) if size is None or size < 0 else size
        piece = self.text[self.at:self.at + size]
        self.at += len(piece)
        return piece


@pytest.mark.parametrize("backend", YAJL, ids=lambda b: b.__name__.rsplit(".", 1)[1])
@pytest.mark.parametrize("meddle", [lambda chain: chain.clear(),
                                    lambda chain: chain.set_bag(("a1", "a2"), ProbabilityBag()),
                                    lambda chain: chain.add_to_bag(("a1", "a2"), ("x",), 2),
                                    lambda chain: chain.add_to_bag("rows", (sum(bag.unique_count for _, bag in
                                                                                chain.items()),))],
                         ids=["clear", "set_bag", "add_to_bag", "count rows"])
def test_chain_changed_between_blocks(backend, meddle, rebind):
    # The caller's code runs between the blocks (in the file's reads): what
    # the reader kept of the chain's table before is not used after.
    rebind("ijson", backend)

    def outcome(text, merge):
        chain = _chain()
        try:
            zantu_cjson.load_json_big(chain, _MeddlingText(text, chain, meddle), merge)
        except Exception as e:  # the comparison is of any exception
            return type(e), str(e)
        return repr([(start, sorted(map(repr, bag.choices()))) for start, bag in chain.items()])

    for data in DOCUMENTS:
        text = data.decode()
        for merge in (False, True):
            driven = outcome(text, merge)
            with shortcuts_off():
                zantu_cjson.__fast_paths__(native_builder=True, parser_blocks=True)
                assert outcome(text, merge) == driven
