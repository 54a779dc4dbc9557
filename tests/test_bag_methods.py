"""The writers answer a ProbabilityBag's choices() and unique_count from
its pairs while both are the package's own; whatever a caller changes of
them, before a call or in the middle of one, must be seen as Python sees it.
Every case runs the native writer once before the change, so that what it
remembered from that call is put to the test."""

import pytest

import zantu_cjson
from conftest import Changing, SpyFile, pieces_and_error
from zantu import MarkovChain, pycodec
from zantu import bag as bag_module
from zantu.bag import ProbabilityBag


def reversed_pairs(self):
    return iter(list(self._counts.items())[::-1])


class ReversedDict(dict):
    def items(self):
        return list(super().items())[::-1]


def reinit_getter(mp, chain, undo):
    prop = ProbabilityBag.__dict__["unique_count"]
    fget = prop.fget
    prop.__init__(lambda self: 1)
    undo.append(lambda: prop.__init__(fget))


class Other:
    __slots__ = ("_counts",)


class AnnouncingOne(property):
    def __get__(self, obj, cls=None):
        return 1


def reversing_getattribute(self, name):
    if name == "choices":
        return reversed_pairs.__get__(self)
    return object.__getattribute__(self, name)


def counts_of_each_bag(mp, chain, undo):
    for _start, bag in chain.items():
        mp.setattr(bag, "_counts", ReversedDict(bag._counts))


CHANGES = {
    "class choices": lambda mp, chain, undo: mp.setattr(ProbabilityBag, "choices", reversed_pairs),
    "class unique_count": lambda mp, chain, undo: mp.setattr(
        ProbabilityBag, "unique_count", property(lambda self: len(self._counts) + 1)),
    "code of choices": lambda mp, chain, undo: mp.setattr(ProbabilityBag.choices, "__code__", reversed_pairs.__code__),
    "code of unique_count": lambda mp, chain, undo: mp.setattr(
        ProbabilityBag.unique_count.fget, "__code__", (lambda self: 1).__code__),
    "getter of unique_count": reinit_getter,
    "global iter": lambda mp, chain, undo: mp.setattr(
        bag_module, "iter", lambda pairs: iter(list(pairs)[::-1]), raising=False),
    "global len": lambda mp, chain, undo: mp.setattr(bag_module, "len", lambda counts: 1, raising=False),
    "slot": lambda mp, chain, undo: mp.setattr(ProbabilityBag, "_counts", property(lambda self: {("z",): 5})),
    "slot of another class": lambda mp, chain, undo: mp.setattr(ProbabilityBag, "_counts", Other.__dict__["_counts"]),
    "property subclass": lambda mp, chain, undo: mp.setattr(
        ProbabilityBag, "unique_count", AnnouncingOne(ProbabilityBag.unique_count.fget)),
    "choices as a classmethod": lambda mp, chain, undo: mp.setattr(
        ProbabilityBag, "choices", classmethod(ProbabilityBag.choices)),
    "getattribute": lambda mp, chain, undo: mp.setattr(ProbabilityBag, "__getattribute__", reversing_getattribute),
    "counts of each bag": counts_of_each_bag,
}


def make_chain():
    return MarkovChain.from_tokens("a b c a c b a b b c c a d a b d d c".split())


def run_changed(change, native, function, compress, at=None):
    """`function` on a fresh chain with `change` made before the call, or
    from inside the file's `at`-th write; `native` has written that chain
    once before. The change is undone after."""
    chain = make_chain()
    native(chain, SpyFile(), compress)
    undo = []
    with pytest.MonkeyPatch.context() as mp:
        try:
            if at is None:
                change(mp, chain, undo)
                out = SpyFile()
            else:
                out = Changing(at, lambda file: change(mp, chain, undo))
            return pieces_and_error(function, chain, out, compress)
        finally:
            for step in undo:
                step()


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("change", sorted(CHANGES))
@pytest.mark.parametrize("writer", ["dump_json_big", "dump_json_small"])
def test_changed_before_the_call(writer, change, compress):
    native, oracle = getattr(zantu_cjson, writer), getattr(pycodec, writer)
    unchanged = pieces_and_error(native, make_chain(), SpyFile(), compress)
    result = run_changed(CHANGES[change], native, native, compress)
    assert result == run_changed(CHANGES[change], native, oracle, compress)
    if writer == "dump_json_big":
        assert result != unchanged


@pytest.mark.parametrize("compress", [True, False])
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_changed_while_the_chain_is_written(change, compress):
    # After the first bag's pairs, before the bag ends.
    at = 10 if compress else 4
    native = zantu_cjson.dump_json_big
    unchanged = pieces_and_error(native, make_chain(), SpyFile(), compress)
    result = run_changed(CHANGES[change], native, native, compress, at)
    assert result == run_changed(CHANGES[change], native, pycodec.dump_json_big, compress, at)
    assert result[0][:at] == unchanged[0][:at]
    assert result != unchanged
