"""Callers that fight the native chain and bag: values, counts, bags, files,
random objects and garbage whose hooks clear, refill, reshape or re-enter
the chain at each point where they are called. Every run must end in the
documented result or a RuntimeError, and leave a chain that saves and
loads as itself; the sanitizer build (make test-asan) runs the same file,
where a read of freed memory aborts."""

import copy
import gc
import importlib
import io
import pickle
import random
import weakref

import pytest

import zantu_cjson
from conftest import BACKENDS, assert_collector_sees_what_may_cycle
from zantu import MarkovChain, ProbabilityBag

WIDE = ("w", "i", "d", "e", "r")


class Hooks:
    """Counts the calls of every hook of a run and acts at the `fire_at`-th
    (every one when 0): the action clears the chain, adds a row of another
    width to each of its bags (which moves their rows), or runs the
    operation again from inside itself."""

    def __init__(self, action, fire_at):
        self.action, self.fire_at, self.calls, self.depth = action, fire_at, 0, 0
        self.chain = self.bag = self.operation = None

    def __call__(self):
        self.calls += 1
        if self.fire_at not in (0, self.calls) or self.depth > 1:
            return
        self.depth += 1
        try:
            if self.action == "clear":
                self.chain.clear()
            elif self.action == "reshape":
                for _, bag in list(self.chain.items()) + [(None, self.bag)]:
                    bag.add(WIDE, count=1)
            elif self.action == "reenter":
                try:
                    self.operation(self)
                except RuntimeError:
                    pass
        finally:
            self.depth -= 1


class Value(str):
    """A start or next-state value equal to a token: its __hash__ and
    __eq__ are called whenever the token is looked up."""

    def __new__(cls, hooks, name):
        self = super().__new__(cls, name)
        self.hooks = hooks
        return self

    def __hash__(self):
        self.hooks()
        return str.__hash__(self)

    def __eq__(self, other):
        self.hooks()
        return str.__eq__(self, other)

    def __reduce__(self):  # copies and pickles hold the text alone
        return str, (str(self),)


class Count(int):
    def __new__(cls, hooks, n):
        self = super().__new__(cls, n)
        self.hooks = hooks
        return self

    def __add__(self, other):
        self.hooks()
        return Count(self.hooks, int(self) + int(other))

    __radd__ = __add__

    def __float__(self):
        self.hooks()
        return float(int(self))

    def __reduce__(self):
        return int, (int(self),)


class Bag(ProbabilityBag):
    """A bag of the caller's whose methods the chain calls."""

    def __len__(self):
        Bag.hooks()
        return super().__len__()

    def add(self, item, count=1):
        Bag.hooks()
        super().add(item, count)

    def choose(self, random=None):
        Bag.hooks()
        return super().choose(random)


class Draws:
    def __init__(self, hooks):
        self.hooks, self.rng = hooks, random.Random(5)

    def random(self):
        self.hooks()
        return self.rng.random()


class File(io.StringIO):
    def __init__(self, hooks, text=""):
        super().__init__(text)
        self.hooks = hooks

    def read(self, size=-1):
        self.hooks()
        return super().read(size)

    def write(self, text):
        self.hooks()
        return super().write(text)


class Garbage:
    """Cyclic garbage whose __del__ calls the hooks and leaves garbage of
    its kind again, while the run lasts."""

    alive = False

    def __init__(self, hooks):
        self.hooks, self.me = hooks, self

    def __del__(self):
        if Garbage.alive:
            Garbage(self.hooks)
            self.hooks()


def build(hooks, kind):
    """A chain whose values, counts or bags carry the hooks of `kind`; for
    "stored", a chain counted from plain tokens, which keeps its counts as
    numbers until it is read (garbage carries the hooks)."""
    if kind == "stored":
        hooks.chain = MarkovChain.from_tokens(("a n1 a n2 b a n3 b x a n1 " * 4).split())
        hooks.bag = ProbabilityBag([(("n1",), 2)])
        return hooks.chain
    chain = MarkovChain()
    hooks.chain = chain
    value = (lambda name: Value(hooks, name)) if kind == "value" else str
    count = (lambda n: Count(hooks, n)) if kind == "count" else int
    if kind == "bag":
        Bag.hooks = hooks
        chain.set_bag("b", Bag())
    for i in range(20):
        chain.add_to_bag(value("a"), (value(f"n{i}"),), count=count(i + 1))
    chain.add_to_bag("b", (value("a"),), count=count(2))
    chain.add_to_bag(value("n3"), (value("b"), "x"), count=count(3))
    hooks.bag = chain.get_bag("a") or ProbabilityBag()
    return chain


def document(compress):
    out = io.StringIO()
    zantu_cjson.dump_json_small(MarkovChain.from_tokens("a b a c b a d".split()), out, compress)
    return out.getvalue()


# Every public operation of both types and the four codec functions, each
# given the run's hooks (files and random objects carry them too).
OPERATIONS = {
    "bag.add": lambda h: h.bag.add(("n1",), count=1),
    "bag.add-wide": lambda h: h.bag.add(WIDE, count=2),
    "bag.choices": lambda h: list(h.bag.choices()),
    "bag.choose": lambda h: h.bag.choose(Draws(h)),
    "bag.total": lambda h: h.bag.total(),
    "bag.probability": lambda h: h.bag.probability(("n1",)),
    "bag.repr": lambda h: repr(h.bag),
    "bag.eq": lambda h: h.bag == ProbabilityBag(list(h.bag.choices())),
    "bag.pickle": lambda h: pickle.loads(pickle.dumps(h.bag)),
    "bag.new": lambda h: ProbabilityBag(h.bag.choices()),
    "bag.update": lambda h: h.bag.update(h.bag),
    "chain.add_to_bag": lambda h: h.chain.add_to_bag("a", WIDE, count=1),
    "chain.set_bag": lambda h: h.chain.set_bag("n3", h.bag),
    "chain.add_tokens": lambda h: h.chain.add_tokens("a b a n1 a n3 b".split() * 3),
    "chain.add_tokens-2": lambda h: h.chain.add_tokens("a b a n1 a n3 b".split() * 3, 2),
    "chain.count_words": lambda h: __import__("zantu._native", fromlist=["_"])._count_words(
        h.chain, "a b a n1 a n3", 1, ()),
    "chain.frequencies": lambda h: h.chain.build_frequency_dict(),
    "chain.walk": lambda h: [v for v, _ in zip(h.chain.walk("a", 3), range(30))],
    "chain.eq": lambda h: h.chain == pickle.loads(pickle.dumps(h.chain)),
    "chain.copy": lambda h: copy.deepcopy(h.chain),
    "chain.update": lambda h: h.chain.update(h.chain),
    "chain.update-fresh": lambda h: MarkovChain().update(h.chain),
    "dump_json_small": lambda h: zantu_cjson.dump_json_small(h.chain, File(h)),
    "dump_json_big": lambda h: zantu_cjson.dump_json_big(h.chain, File(h), False),
    "load_json_small": lambda h: zantu_cjson.load_json_small(h.chain, File(h, document(True))),
    "load_json_small-merge": lambda h: zantu_cjson.load_json_small(h.chain, File(h, document(False)), True),
    "load_json_big": lambda h: zantu_cjson.load_json_big(h.chain, File(h, document(True))),
    "load_json_big-merge": lambda h: zantu_cjson.load_json_big(h.chain, File(h, document(False)), True),
}


def run(operation, kind, action, fire_at):
    hooks = Hooks(action, -1)
    hooks.operation = OPERATIONS[operation]
    chain = build(hooks, kind)
    hooks.calls, hooks.fire_at = 0, fire_at
    threshold = gc.get_threshold()
    if kind in ("garbage", "stored"):
        Garbage.alive = True
        Garbage(hooks)
        gc.set_threshold(1)
    try:
        hooks.operation(hooks)
    except RuntimeError:
        pass
    except ValueError as e:  # choose() from a bag that the hook emptied
        assert "cannot choose" in str(e)
    except KeyError:  # a writer meets a value that came after its code table
        assert operation.startswith("dump")
    finally:
        Garbage.alive = False
        gc.set_threshold(*threshold)
        gc.collect()
    # Whatever happened, the chain is whole: every bag's rows distinct and
    # counted, and it saves and loads as itself.
    calls, hooks.fire_at = hooks.calls, -1
    for start, bag in chain.items():
        rows = [item for item, _ in bag.choices()]
        assert len(set(rows)) == len(rows) == len(bag) == bag.unique_count
    assert_collector_sees_what_may_cycle(chain)
    chain.build_frequency_dict()
    out = io.StringIO()
    zantu_cjson.dump_json_big(chain, out)
    again = MarkovChain()
    zantu_cjson.load_json_small(again, io.StringIO(out.getvalue()))
    assert len(again) == len(chain)
    for start, bag in chain.items():
        assert sorted(map(repr, again.get_bag(start).choices())) == sorted(map(repr, bag.choices()))
    return calls


@pytest.mark.parametrize("action", ["clear", "reshape", "reenter"])
@pytest.mark.parametrize("kind", ["value", "count", "bag", "file", "garbage", "stored"])
@pytest.mark.parametrize("operation", list(OPERATIONS))
def test_hooks_acting_at_every_point(operation, kind, action):
    # The hooks act at their first call, then their second, and so on until
    # a run calls them fewer times than that (at most 8 points each).
    calls = run(operation, kind, action, 1)
    for point in range(2, min(calls, 8) + 1):
        run(operation, kind, action, point)
    run(operation, kind, action, 0)


# --- The faults this harness was written after, one case each -----------


def referents_emptied():
    # The collector shows nobody a container whose emptying frees what the
    # rows borrow.
    chain = MarkovChain()
    chain.add_to_bag("s", (object(), "x" * 40), count=3)
    bag = chain.get_bag("s")
    before = repr(bag)
    seen = [o for o in gc.get_referents(bag) + gc.get_referents(chain) if not isinstance(o, type)]
    for inner in list(seen):
        seen += [o for o in gc.get_referents(inner) if not isinstance(o, type)]
    for container in seen:
        if type(container) in (dict, list, set):
            container.clear()
    assert repr(bag) == before and len(list(bag.choices())) == 1
    pickle.loads(pickle.dumps(bag))
    zantu_cjson.dump_json_big(chain, io.StringIO())


def rows_moved_by_a_collection():
    # A __del__ run by the collector inside an allocation of choices(),
    # repr or choose moves the rows: RuntimeError, or the rows as they are.
    for operation in ("bag.choices", "bag.repr", "bag.choose", "bag.add-wide", "bag.pickle"):
        for point in range(1, 6):
            run(operation, "garbage", "reshape", point)


def start_eq_clears_chain():
    chain = MarkovChain()
    armed = []

    class Start:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            if armed:
                chain.clear()
            return False

    chain.add_to_bag("z", ("a",))  # "a" is kept before the start below
    chain.add_to_bag(Start(), ("b",))
    armed.append(True)
    with pytest.raises(RuntimeError):
        chain.add_tokens(["a", "b", "a", "c"] * 50)


def walk_run_from_its_own_step():
    chain = MarkovChain()

    class Runner(ProbabilityBag):
        def __len__(self):
            chain.clear()
            list(walk)
            return 1

    chain.set_bag("a", Runner([(("a",), 1)]))
    walk = chain.walk("a")
    with pytest.raises(RuntimeError):
        next(walk)


def item_tuple_tracked():
    # An item holding an empty dict may join a cycle later: the collector
    # must still see it.
    class Recorder:
        items = []

        def add_to_bag(self, start, item, count=1):
            self.items.append(item if type(item) is tuple else tuple(item))

    for reader in (zantu_cjson.load_json_small, zantu_cjson.load_json_big):
        Recorder.items = []
        reader(Recorder(), io.StringIO('{"codes":[0,{},1,"s"],"chain":[1,[[0],1]]}'), True)
        item = Recorder.items.pop()

        class Node:
            pass

        node = Node()
        node.item = item
        item[0]["node"] = node
        gone = weakref.ref(node)
        del item, node
        gc.collect()
        assert gone() is None, reader.__name__


def collector_on_for_old_values():
    seen = []

    class Old:
        def __hash__(self):
            return 1

        def __del__(self):
            seen.append(gc.isenabled())

    chain = MarkovChain()
    chain.add_to_bag(Old(), ("x",))
    zantu_cjson.load_json_small(chain, io.StringIO(document(True)))
    assert seen == [True]


def subclass_read_called():
    # A subclass of io's own files is read through its read(), whatever
    # the parser reads io's own files with.
    data = document(False).encode()

    class Filtered(io.BytesIO):
        def read(self, size=-1):
            return super().read(size).replace(b'"b"', b'"B"')

    bound = zantu_cjson.ijson
    try:
        for backend in BACKENDS:
            zantu_cjson.ijson = importlib.import_module("ijson.backends." + backend)
            for reader in (zantu_cjson.load_json_big, zantu_cjson.load_json_small):
                chain = MarkovChain()
                reader(chain, Filtered(data))
                assert "B" in chain and "b" not in chain, (backend, reader.__name__)
    finally:
        zantu_cjson.ijson = bound


def runs_part_changed_by_its_words():
    # Merging a part of a runs index looks its words up in the table (their
    # own hash): a word that rewrites or regrows the part's ids meanwhile
    # changes nothing merged, which was copied before any word's code ran.
    from zantu.text import RunsBuilder

    def builders():
        part, joined = RunsBuilder(), RunsBuilder()
        part.add("a b c. d e f g.")
        joined.add("x y.")
        return part, joined

    part, joined = builders()
    calls = []

    class Sneaky(str):
        def __hash__(self):
            if calls is None:
                return str.__hash__(self)
            calls.append(self)
            part.ids[:] = bytes([0xFF, 0x7F] * (len(part.ids) // 2) + [1] * (len(part.ids) % 2))
            part.ids += b"\x05"
            return str.__hash__(self)

    armed, calls = calls, None
    part.table = {Sneaky(k): v for k, v in part.table.items()}
    calls = armed
    joined.merge(part)
    merged = joined.result()._encoded
    assert calls
    plain_part, plain = builders()
    plain.merge(plain_part)
    assert merged == plain.result()._encoded

    # A word that reads the builder while the parts are joined finds it
    # busy; the part stays to be joined, and is, once the word lets be.
    part, joined = builders()
    nosy = [True]

    class Nosy(str):
        def __hash__(self):
            if nosy[0]:
                joined.table
            return str.__hash__(self)

    nosy[0] = False
    part.table = {Nosy(k): v for k, v in part.table.items()}
    nosy[0] = True
    joined.merge(part)
    with pytest.raises(RuntimeError, match="while the parts merged"):
        joined.result()
    nosy[0] = False
    assert joined.result()._encoded == merged


def chain_refilled_while_its_codes_are_written():
    # The compressed writers read the chain array's codes in the order the
    # chain was summed in: a file whose write() refills the chain in another
    # order (the same value objects) once the code table is out must still
    # get each value's own code, in the chain's order by then.
    chain = MarkovChain.from_tokens("a b c a c b d a b".split())

    class Refilling(io.StringIO):
        refilled = False

        def write(self, text):
            if not self.refilled and text.startswith("0,"):
                self.refilled = True
                chain.clear()
                chain.add_tokens("d a b a c b c a".split())
            return super().write(text)

    for writer in (zantu_cjson.dump_json_big, zantu_cjson.dump_json_small):
        out = Refilling()
        writer(chain, out)
        again = MarkovChain()
        zantu_cjson.load_json_small(again, io.StringIO(out.getvalue()))
        assert [(s, list(b.choices())) for s, b in again.items()] == \
            [(s, list(b.choices())) for s, b in chain.items()], writer.__name__


def fork():
    # os.fork() beside threads, as these cases mean to (Python warns of it
    # from 3.12 on).
    import os
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return os.fork()


def forked_while_a_text_is_counted():
    # Counting a text splits its next block on a thread of its own: a bag's
    # add() that forks meanwhile leaves that thread in the parent, and the
    # child counts on (it once waited for the thread for ever).
    import os
    import time

    class Forking(ProbabilityBag):
        child = None

        def add(self, item, count=1):
            if Forking.child is None:
                Forking.child = fork()
            return super().add(item, count=count)

    chain = MarkovChain()
    chain.set_bag(None, Forking())
    text = "The cat sat on the mat. It ran.\n\n" * 120_000  # four blocks
    counted = False
    try:
        chain.add_text(text)
        counted = True
    finally:
        if Forking.child == 0:
            os._exit(0 if counted and len(chain) == 10 else 1)
    assert Forking.child
    for _ in range(600):
        pid, status = os.waitpid(Forking.child, os.WNOHANG)
        if pid:
            assert os.waitstatus_to_exitcode(status) == 0
            break
        time.sleep(0.05)
    else:
        os.kill(Forking.child, 9)
        os.waitpid(Forking.child, 0)
        pytest.fail("the forked child never ended its count")


def forked_while_the_runs_are_searched_or_ranked():
    # The runs index's search and its ranking are made by threads of their
    # own: a process forked meanwhile has no such threads, and makes them
    # itself (it once waited for them for ever).
    import os
    import time

    from zantu.text import Runs, RunsBuilder, tokens

    text = "".join(f"Word{k % 60_000} and more{k % 7} words here. " + ("\n\n" if k % 9 == 0 else "")
                   for k in range(900_000))
    whole = Runs.from_text(text)
    runs = Runs(whole._vocabulary, whole._encoded)
    builder = RunsBuilder()
    builder.add(text)
    runs.prepare()
    builder.rank_now()
    child = fork()
    if child == 0:
        done = False
        try:
            done = runs.copies(tokens("Word5 and more5 words here.")) and builder.result()._encoded == whole._encoded
            del runs, builder
            gc.collect()
        finally:
            os._exit(0 if done else 1)
    assert runs.copies(tokens("Word5 and more5 words here.")) and builder.result()._encoded == whole._encoded
    for _ in range(600):
        pid, status = os.waitpid(child, os.WNOHANG)
        if pid:
            assert os.waitstatus_to_exitcode(status) == 0
            break
        time.sleep(0.05)
    else:
        os.kill(child, 9)
        os.waitpid(child, 0)
        pytest.fail("the forked child never ended")


def walk_draw_recounts_its_chain():
    # A walk of a chain that keeps its counts as numbers draws from them
    # with the walk's random.Random, whose random() a caller may replace:
    # one that clears the chain and counts it again (a new store, maybe at
    # the same address) must end the walk, not let it read the old one.
    chain = MarkovChain.from_tokens("a b a c a b".split())
    original = random.Random.random

    def recount(self):
        chain.clear()
        chain.add_tokens("x y x z".split() * 50)
        return original(self)

    random.Random.random = recount
    try:
        with pytest.raises(RuntimeError, match="changed during walk"):
            list(chain.walk("a", 1))
    finally:
        random.Random.random = original
    assert len(chain) == 3 and next(chain.walk("z", 2)) == "x"


@pytest.mark.parametrize("case", [referents_emptied, rows_moved_by_a_collection, start_eq_clears_chain,
                                  walk_run_from_its_own_step, item_tuple_tracked, collector_on_for_old_values,
                                  subclass_read_called, runs_part_changed_by_its_words,
                                  chain_refilled_while_its_codes_are_written, forked_while_a_text_is_counted,
                                  forked_while_the_runs_are_searched_or_ranked, walk_draw_recounts_its_chain],
                         ids=lambda f: f.__name__)
def test_found_fault(case):
    case()


# --- Shortcuts are for the exact types they know, never for a subclass ----

class Recorded:
    """Mixes into a subclass of a chain, bag or file: every method the codec
    may call is recorded, then left to the base class."""

    log = []
    names = ("items", "build_frequency_dict", "clear", "set_bag", "add_to_bag", "choices", "add", "read",
             "write", "__len__")

    def __getattribute__(self, name):
        if name in Recorded.names:
            Recorded.log.append((type(self).__name__, name))
        return super().__getattribute__(name)


class RecordedChain(Recorded, MarkovChain):
    def __len__(self):
        Recorded.log.append(("RecordedChain", "len"))
        return super().__len__()


class RecordedBag(Recorded, ProbabilityBag):
    pass


class RecordedText(Recorded, io.StringIO):
    pass


class RecordedBytes(Recorded, io.BytesIO):
    pass


def codec_calls(merge):
    """The calls that the four functions make on subclasses."""
    Recorded.log = []
    chain = RecordedChain()
    for tokens in ("a b a c b a".split(), [1, 2.5, None, "x", 1]):
        chain.add_tokens(tokens)
    chain.set_bag("z", RecordedBag([(("y",), 2)]))
    for writer in (zantu_cjson.dump_json_small, zantu_cjson.dump_json_big):
        for compress in (True, False):
            text = RecordedText()
            writer(chain, text, compress)
            for reader in (zantu_cjson.load_json_small, zantu_cjson.load_json_big):
                for source in (RecordedText(text.getvalue()), RecordedBytes(text.getvalue().encode())):
                    reader(chain, source, merge)
    return Recorded.log


@pytest.mark.parametrize("merge", [False, True])
@pytest.mark.parametrize("shortcut", list(zantu_cjson.__fast_paths__()))
def test_shortcuts_leave_subclasses_to_their_methods(shortcut, merge, rebind):
    rebind("ProbabilityBag", RecordedBag)
    was = zantu_cjson.__fast_paths__()
    try:
        zantu_cjson.__fast_paths__(**dict.fromkeys(was, False))
        plain = codec_calls(merge)
        zantu_cjson.__fast_paths__(**{shortcut: True})
        assert codec_calls(merge) == plain
    finally:
        zantu_cjson.__fast_paths__(**was)
