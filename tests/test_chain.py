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

    pairs = MarkovChain.from_tokens(tokens, order=2)
    assert pairs.get_bag("w2").count(("w0", "w1")) == 3


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
    from itertools import islice

    tokens = "the cat sat on the mat and the cat ran to the end".split()
    chain = MarkovChain.from_tokens(tokens)
    first = list(islice(chain.walk("the", seed=11), 300))
    assert first == list(islice(chain.walk("the", seed=11), 300))
    assert first != list(islice(chain.walk("the", seed=12), 300))
    # Every step is a pair that the text has; "end" has no bag.
    for a, b in zip(["the"] + first, first):
        assert chain.get_bag(a).count((b,)) > 0
    assert list(chain.walk("ran", seed=1))[-1] == "end"  # every path comes to "the end"
    assert list(chain.walk("end")) == [] and list(chain.walk("absent")) == []
    pairs = MarkovChain.from_tokens(tokens, order=2)
    walked = list(islice(pairs.walk("cat", seed=3), 6))
    assert pairs.get_bag("cat").count(tuple(walked[:2])) > 0
    assert pairs.get_bag(walked[1]).count(tuple(walked[2:4])) > 0
