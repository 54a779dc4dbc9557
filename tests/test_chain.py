"""The chain class that callers build and load into."""

from zantu import MarkovChain


def test_tokens_counted_and_equal_tokens_shared():
    # A tokenizer hands out a new string per occurrence; the chain keeps one,
    # and one tuple per distinct next state.
    tokens = [f"w{i % 3}" for i in range(12)]
    assert len({id(t) for t in tokens}) == 12
    chain = MarkovChain.from_tokens(tokens)
    assert len(chain) == 3
    assert chain.get_bag("w0").count(("w1",)) == 4
    assert chain.build_frequency_dict() == {"w0": 7, "w1": 8, "w2": 7}
    held = {id(start) for start, _ in chain.items()}
    states = {}
    for _, bag in chain.items():
        for item, _ in bag.choices():
            assert {id(v) for v in item} <= held
            assert states.setdefault(item, item) is item
    assert len(states) == 3

    # Order 2: the state of the last two tokens, one tuple kept per state.
    pairs = MarkovChain.from_tokens(tokens, order=2)
    assert [start for start, _ in pairs.items()] == [("w0", "w1"), ("w1", "w2"), ("w2", "w0")]
    assert pairs.get_bag(("w2", "w0")).count(("w1",)) == 3
    start = next(iter(pairs.items()))[0]
    assert pairs.get_bag(("w0", "w1")) is pairs.get_bag(start) and {id(v) for v in start} <= held


def test_choose_draws_by_count():
    import decimal
    import random

    import pytest

    from zantu.bag import ProbabilityBag

    for counts in ([1, 3, 0], [0.5, 1.5, 0.0], [decimal.Decimal("1"), decimal.Decimal("3"), 0], [10 ** 30, 3 * 10 ** 30, 0]):
        bag = ProbabilityBag(zip([("a",), ("b",), ("c",)], counts))
        draws = random.Random(5)
        drawn = [bag.choose(draws)[0] for _ in range(4000)]
        assert drawn.count("c") == 0 and 2850 < drawn.count("b") < 3150
    for pairs, message in (([], "empty"), ([(("a",), 1), (("b",), -1)], "count -1"), ([(("a",), 0)], "add up to 0")):
        with pytest.raises(ValueError, match=message):
            ProbabilityBag(pairs).choose()


def test_walk_is_reproducible_and_ends_where_the_chain_does():
    import random
    from itertools import islice

    import pytest

    tokens = "the cat sat on the mat and the cat ran to the end".split()
    chain = MarkovChain.from_tokens(tokens)
    first = list(islice(chain.walk("the", seed=11), 300))
    assert first == list(islice(chain.walk("the", seed=11), 300))
    assert first != list(islice(chain.walk("the", seed=12), 300))
    # Every step is a pair that the text has; "end" has no bag.
    for a, b in zip(["the"] + first, first):
        assert chain.get_bag(a).count((b,)) > 0
    # Counted chains walk from their counts until their bags are made, and
    # draw the same from both, a start of many next values too.
    assert first == list(islice(chain.walk("the", seed=11), 300))
    draws = random.Random(4)
    many = MarkovChain.from_tokens([w for _ in range(3000) for w in ("the", f"w{draws.randrange(60)}")], 2)
    walked = list(islice(many.walk(("w7", "the"), seed=2), 500))
    assert ("w7", "the") in many and ("the", "w7") in many and ("the", "the") not in many and len(many) == 120
    many.get_bag(("the", "w7"))
    assert walked == list(islice(many.walk(("w7", "the"), seed=2), 500))
    assert list(chain.walk("ran", seed=1))[-1] == "end"  # every path comes to "the end"
    assert list(chain.walk("end")) == [] and list(chain.walk("absent")) == []
    # Order 2: the state moves on by one token a step.
    pairs = MarkovChain.from_tokens(tokens, order=2)
    walked = ["the", "cat"] + list(islice(pairs.walk(("the", "cat"), seed=3), 30))
    for k in range(2, len(walked)):
        assert pairs.get_bag(tuple(walked[k - 2:k])).count((walked[k],)) > 0
    assert walked[-2:] == ["the", "end"]
    with pytest.raises(ValueError, match="tuple of 3 values"):
        pairs.walk(("the", "cat"), order=3)
    # A document of the earlier kind (each token a start, the next `order`
    # tokens its next state) walks as before with order 1.
    old = MarkovChain()
    old.add_to_bag("a", ("b", "c"))
    old.add_to_bag("c", ("a", "b"))
    assert list(old.walk("a")) == ["b", "c", "a", "b"]


# The native types against the plain-Python reference, and what only a
# native type can get wrong.

import copy
import gc
import itertools
import pickle
import sys
import weakref
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest
from hypothesis import example, given, settings, strategies as st

from zantu.bag import ProbabilityBag
from zantu._native import _merge_state, _unique_pairs  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent))
import reference_chain  # noqa: E402
from conftest import assert_collector_sees_what_may_cycle  # noqa: E402

values = st.one_of(st.integers(-3, 3), st.sampled_from(["a", "b", "c", 1.0, True, None, ("t",), frozenset("a")]),
                   st.lists(st.sampled_from(["a", 1]), max_size=2))
counts = st.one_of(st.integers(0, 5), st.integers(2 ** 32 - 3, 2 ** 32 + 3), st.integers(-5, -1),
                   st.sampled_from([10 ** 30, True]))
operations = st.lists(st.tuples(values, st.lists(values, max_size=3), counts), max_size=30)
# Counts of one kind per example (float + Decimal is a TypeError anywhere).
count_kinds = st.sampled_from([int, float, Decimal, lambda n: Fraction(n, 3)])


def as_plain(chain):
    return [(start, list(bag.choices()), bag.total(), len(bag)) for start, bag in chain.items()]


@settings(max_examples=150, deadline=None)
# A start of many next values, counted in two goes.
@example(ops=[], tokens=[t for i in range(70) for t in ("a", i % 23, "b")], order=1, kind=int, tokens_first=True)
@given(operations, st.lists(st.sampled_from("abcab") | st.integers(0, 40) | st.text("ab\u00e9\U0001f600", max_size=20),
                            max_size=150), st.integers(1, 3),
       count_kinds, st.booleans())
def test_same_as_the_reference(ops, tokens, order, kind, tokens_first):
    # Tokens first fill a chain without bags (all its bags at once), then
    # the pairs go into those bags.
    ours, theirs = zantu_chain_pair()
    if tokens_first:
        # Counted in two goes into a chain without bags: the second counts
        # into what the first left (its counts still numbers), which then
        # walks as its bags do once they are made.
        for part in (tokens, tokens[::-1]):
            ours.add_tokens(part, order)
            theirs.add_tokens(part, order)
        if len(tokens) > order:
            first = tokens[0] if order == 1 else tuple(tokens[:order])
            walked = list(itertools.islice(ours.walk(first, seed=len(tokens)), 60))
            assert len(ours) == len(theirs) and first in ours
            ours.items()
            assert walked == list(itertools.islice(ours.walk(first, seed=len(tokens)), 60))
        # The same counts added as numbers (no bags made before the end): a
        # pickled state (out of band) into a chain that has them, pickled
        # again and added to itself.
        halves = MarkovChain.from_tokens(tokens, order)
        _merge_state(halves, MarkovChain.from_tokens(tokens[::-1], order).__reduce_ex__(5)[2])
        halves = pickle.loads(pickle.dumps(halves))
        halves += halves
        assert _unique_pairs(halves) == sum(len(bag) for _, bag in theirs.items())
        assert as_plain(halves) == [(s, [(i, 2 * n) for i, n in c], 2 * t, u) for s, c, t, u in as_plain(theirs)]
    for start, item, count in ops:
        count = count if kind is int else kind(int(count))
        ours.add_to_bag(start, item, count=count)
        theirs.add_to_bag(start, item, count=count)
        ours.add_to_bag(start, iter(item))
        theirs.add_to_bag(start, iter(item))
    if not tokens_first:
        ours.add_tokens(tokens, order)
        theirs.add_tokens(tokens, order)
    assert as_plain(ours) == as_plain(theirs) and _unique_pairs(ours) == sum(len(bag) for _, bag in theirs.items())
    assert list(ours.build_frequency_dict().items()) == list(theirs.build_frequency_dict().items())
    for start, item, _ in ops:
        bag, reference = ours.get_bag(start), theirs.get_bag(start)
        assert bag.count(item) == reference.count(item) and bag.count(item + ["x"]) == 0
        # Equal values are one object per chain (1.0 may come back as 1).
        assert bag == ProbabilityBag(reference.choices()) and repr(bag).startswith("ProbabilityBag([(")
    copied = pickle.loads(pickle.dumps(ours))
    assert as_plain(copied) == as_plain(ours) and copied == ours
    # Merging: the other's pairs one by one, a chain into itself too, and a
    # chain of another class through its methods.
    ours += ours
    theirs.update(theirs)
    assert as_plain(ours) == as_plain(theirs)
    merged, expected = zantu_chain_pair()
    copied.set_bag("empty", ProbabilityBag())  # adds no pair: makes no start
    merged.update(theirs)
    merged.update(copied)
    expected.update(theirs)
    expected.update(copied)
    assert as_plain(merged) == as_plain(expected)
    # The same from the pickled state, without the chain made (build --jobs).
    from_state = MarkovChain()
    from_state.update(theirs)
    _merge_state(from_state, copied.__reduce_ex__(4)[2])
    assert as_plain(from_state) == as_plain(expected)
    for chain in (ours, copied, merged, from_state):
        assert_collector_sees_what_may_cycle(chain)


def zantu_chain_pair():
    return MarkovChain(), reference_chain.MarkovChain()


def test_values_kept_once_and_big_counts():
    chain = MarkovChain()
    chain.add_to_bag("x" * 3, ["a" * 2, ["n"]])
    chain.add_to_bag("xxx", ("aa", ("n",)), count=2 ** 40)
    chain.add_to_bag("aa", ("xxx", "aa"), count=Decimal("0.5"))
    (start, bag), (other, other_bag) = chain.items()
    (item, count), = bag.choices()
    assert item == ("aa", ("n",)) and count == 2 ** 40 + 1
    assert other is item[0] and list(other_bag.choices())[0][0][0] is start
    assert chain.build_frequency_dict() == {"aa": 2 ** 40 + Decimal("2"), ("n",): 2 ** 40 + 1,
                                           "xxx": 2 ** 40 + Decimal("1.5")}
    # Next states wider than a store's rows: tuples from the first.
    wide = MarkovChain.from_tokens(list(range(600)), 300)
    assert len(wide) == 300 and wide.get_bag(tuple(range(300))).count((300,)) == 1
    wide.add_to_bag(0, range(1, 301))
    wide.add_to_bag(0, range(1, 301), count=2)
    wide.add_to_bag(0, ["x"])
    assert list(wide.get_bag(0).choices()) == [(tuple(range(1, 301)), 3), (("x",), 1)] and len(wide) == 301


class MyChain(MarkovChain):
    def add_tokens(self, tokens, order=1):
        self.seen = list(tokens)
        super().add_tokens(tokens, order)


class MyBag(ProbabilityBag):
    __slots__ = ("added", "__dict__")

    def add(self, item, count=1):
        self.added = getattr(self, "added", 0) + 1
        super().add(item, count)


def out_of_band(o):
    buffers = []
    data = pickle.dumps(o, 5, buffer_callback=buffers.append)
    assert buffers
    return pickle.loads(data, buffers=buffers)


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o, 0)),
                                   lambda o: pickle.loads(pickle.dumps(o, 5)), out_of_band])
def test_subclasses_copies_and_pickles(clone):
    chain = MyChain.from_tokens("a b a c".split())
    assert chain.seen == ["a", "b", "a", "c"]
    bag = MyBag([(("b",), 2), (("c",), Fraction(1, 2))])  # through its own add
    assert bag.added == 2
    bag.note = "kept"
    chain.set_bag("z", bag)
    chain.add_tokens(["z", "q"])  # a bag of another type gets its own add
    assert bag.added == 3 and bag.count(["q"]) == 1
    twin = clone(chain)
    assert type(twin) is MyChain and twin.seen == chain.seen and twin == chain
    assert type(twin.get_bag("z")) is MyBag and twin.get_bag("z").note == "kept"
    assert twin.get_bag("z").added == 3  # a slot, kept; a copy's rows are not added again
    twin.add_to_bag("a", ("b",))
    assert twin.get_bag("a").count(["b"]) == 2 and chain.get_bag("a").count(["b"]) == (2 if clone is copy.copy else 1)
    with pytest.raises(TypeError):
        MarkovChain.items = None
    with pytest.raises(TypeError):
        ProbabilityBag.choices = None
    added, merged = bag.added, MarkovChain()
    chain += chain  # the subclass's bag through its add, a row at a time
    merged.update(chain)
    assert bag.added == added + 3 and bag.count(["b"]) == 4 and merged == chain
    assert type(merged.get_bag("z")) is ProbabilityBag
    MyBag.choices = lambda self: iter([])  # a subclass stays an ordinary class
    del MyBag.choices
    # A bag held twice, or from outside, stays one object.
    shared = ProbabilityBag([(("x", 2 ** 40), 2.5), (("y",), 1)])
    chain.set_bag("s1", shared)
    chain.set_bag("s2", shared)
    twin, bag_twin = clone([chain, shared])
    assert twin.get_bag("s1") is twin.get_bag("s2") is bag_twin and bag_twin == shared


@settings(max_examples=300, deadline=None)
@given(st.integers(0, 10 ** 6), st.integers(0, 255), st.sampled_from(["flip", "cut", "drop", "grow"]))
def test_pickled_states_that_do_not_hold_together(where, byte, how):
    # A damaged state is refused with an exception, never a crash, and the
    # form of older pickles still loads.
    chain = MarkovChain.from_tokens("a b c a b d a".split() * 40 + list(range(300)), 2)
    chain.add_to_bag("w", (1, (2, 3), "x"), count=10 ** 30)
    chain.add_to_bag("w", ("v",) * 300, count=2)
    # (A chain of plain values and small counts is filled with the collector
    # paused: it runs again however the state is damaged.) One whose counts
    # are still numbers is pickled as they are: values, numbers, order.
    stored = MarkovChain.from_tokens("a b c a b d".split() * 20, 2)
    plain = MarkovChain.from_tokens("a b c a b d".split() * 20, 2)
    plain.items()
    for obj, base in ((chain, MarkovChain), (plain, MarkovChain), (stored, MarkovChain),
                      (chain.get_bag(("a", "b")), ProbabilityBag), (chain.get_bag("w"), ProbabilityBag)):
        state = obj.__reduce_ex__(4)[2]
        assert base.__new__(base).__setstate__(state) is None
        numbers = state[0] == 3
        parts = [list(state[1:7]) if numbers else list(state[1])] + [list(state[7:] if numbers else state[2:])]
        slot = where % len(parts[0])
        victim = parts[0][slot]
        if isinstance(victim, int):
            parts[0][slot] = victim + byte - 128
        elif isinstance(victim, bytes):
            data = bytearray(victim)
            if how == "flip" and data:
                data[where % len(data)] = byte
            elif how in ("cut", "drop"):
                del data[where % (len(data) + 1):]
            else:
                data += bytes([byte])
            parts[0][slot] = bytes(data)
        elif how == "drop" and victim:
            parts[0][slot] = victim[:-1]
        else:
            parts[0][slot] = victim + [byte]
        damaged = (state[0], *parts[0], *parts[1]) if numbers else (state[0], tuple(parts[0]), *parts[1])
        try:
            base.__new__(base).__setstate__(damaged)
        except (ValueError, TypeError):
            pass
        assert gc.isenabled()
        if base is MarkovChain:  # merged straight into a chain of the same values too
            try:
                _merge_state(MarkovChain.from_tokens("a b c a b d".split(), 2), damaged)
            except (ValueError, TypeError):
                pass
            assert gc.isenabled()
    older = MarkovChain.__new__(MarkovChain)
    older.__setstate__(([(s, ProbabilityBag(b.choices())) for s, b in chain.items()], None))
    assert older == chain


def test_changes_from_the_callers_code():
    chain = MarkovChain.from_tokens("a b a c a b".split())
    bag = chain.get_bag("a")
    with pytest.raises(RuntimeError, match="changed size"):
        for item, _ in bag.choices():
            bag.add(item + ("new",))

    class Meddler:
        def __init__(self, action):
            self.action = action

        def __hash__(self):
            self.action()
            return 1

        def __eq__(self, other):
            return self is other

    for action in (chain.clear, lambda: chain.set_bag("q", ProbabilityBag([(("q",), 1)])),
                   lambda: bag.add(("a", "b")), lambda: chain.add_to_bag("a", ("z",))):
        for call in (lambda m: chain.add_to_bag("a", (m,)), lambda m: chain.add_to_bag(m, ("a",)),
                     lambda m: bag.add((m,)), lambda m: chain.add_tokens(["a", m, "a"]),
                     lambda m: bag.count((m,)), lambda m: chain.set_bag(m, bag)):
            try:
                call(Meddler(action))
            except RuntimeError:
                pass
            list(chain.items()), chain.build_frequency_dict(), [list(b.choices()) for _, b in chain.items()]
    if sys.version_info >= (3, 12):  # merging a state whose buffer is a class of the caller's
        class Buffer:
            def __init__(self, data, action):
                self.data, self.action = data, action

            def __buffer__(self, flags):
                self.action()
                return memoryview(self.data)

        # Starts and bags changed while the state is read: refused as any
        # change meanwhile is; a value of another kind: merged through update.
        for action, changed in ((chain.clear, True), (lambda: chain.set_bag("a", ForeignBag()), True),
                                (lambda: chain.add_to_bag(Meddler(lambda: None), ("z",)), False)):
            state = MarkovChain.from_tokens("a b a c a b".split()).__reduce_ex__(4)[2]
            if changed:
                with pytest.raises(RuntimeError, match="changed during"):
                    _merge_state(chain, (*state[:2], Buffer(state[2], action), *state[3:]))
            else:
                _merge_state(chain, (*state[:2], Buffer(state[2], action), *state[3:]))
                assert ("a",) in [item for item, _ in chain.get_bag("b").choices()]
            list(chain.items()), chain.build_frequency_dict(), [list(b.choices()) for _, b in chain.items()]
    # A cycle through a value is collected.
    chain = MarkovChain()
    chain.add_to_bag(Cycle(chain), ("x",))
    del chain
    gc.collect()
    assert Cycle.alive == 0


class ForeignBag:
    unique_count = 1

    def choices(self):
        return iter([(("f",), 1)])

    def add(self, item, count=1):
        pass


class Holder:
    def __init__(self, held):
        self.held = held


class Count(int):
    pass


def leaves_cycle_in_native_chain(how):
    # A weak reference to an object in a cycle through a chain's bag (built
    # natively, so its bags start untracked), all else let go of.
    class Mine(MarkovChain):
        pass

    chain = (Mine if how == "subclass with its class" else MarkovChain).from_tokens("a b a c a b".split())
    bag = chain.get_bag("a")
    holder = Holder(chain)
    if how == "subclass with its class":
        # The collector clears the class (made first) before the holder, and
        # so frees the chain after its class is cleared.
        holder.itself = holder
    elif how == "value in the chain":
        chain.add_to_bag("q", (holder,))
    elif how == "value in one of its bags":
        bag.add((holder,))
    elif how == "count":
        count = Count(3)
        count.holder = holder
        bag.add(("z",), count)  # a new row keeps the count itself
    elif how == "bag taken by a chain of other values":
        other = MarkovChain()
        holder.held = chain, other  # both chains have the bag, neither is freed as it is let go of
        other.add_to_bag("q", (holder,))
        other.set_bag("a", bag)
    else:
        if how == "bag after clear":
            chain.clear()
        elif how == "bag after its chain":
            del chain
        else:
            chain.set_bag("a", ProbabilityBag())
        holder.held = bag
        bag.add((holder,))
    return weakref.ref(holder)


@pytest.mark.parametrize("how", ["value in the chain", "value in one of its bags", "count", "bag after clear",
                                 "bag after its chain", "bag replaced", "bag taken by a chain of other values",
                                 "subclass with its class"])
def test_cycles_through_untracked_bags_collected(how):
    gone = leaves_cycle_in_native_chain(how)
    gc.collect()
    assert gone() is None


class Cycle:
    alive = 0

    def __init__(self, chain):
        self.chain = chain
        Cycle.alive += 1

    def __del__(self):
        Cycle.alive -= 1


@settings(max_examples=200, deadline=None)
@given(st.lists(st.text(st.sampled_from("ab_ 1\n\u00e9\u00a0\u0301\u0663\U0001d518,-") | st.characters(), max_size=30),
                max_size=5), st.integers(1, 3))
def test_words_counted_as_re_finds_them(blocks, order):
    import re

    from zantu._native import _count_words

    ours, theirs = MarkovChain(), MarkovChain()
    carried = []
    for block in blocks:
        carried = _count_words(ours, block, order, carried)
    theirs.add_tokens(re.findall(r"\w+", "\n".join(blocks)), order)
    assert as_plain(ours) == as_plain(theirs)
    assert carried == re.findall(r"\w+", "\n".join(blocks))[-order:]
