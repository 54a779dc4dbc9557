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
