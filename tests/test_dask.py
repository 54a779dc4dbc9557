"""Building on a Dask cluster of two worker processes, started and closed
here: the chain of one partition, however the bag is partitioned."""

import gzip

import pytest

distributed = pytest.importorskip("distributed")
dask_bag = pytest.importorskip("dask.bag")

import zantu.dask  # noqa: E402
from zantu import MarkovChain  # noqa: E402
from zantu.counting import Joiner, Part, count_part  # noqa: E402


def rows(chain):
    return [(start, list(bag.choices())) for start, bag in chain.items()]


def test_build_on_a_local_cluster(tmp_path):
    import random

    draw = random.Random(7)
    texts = [" ".join(draw.choices("a b c d the of é x1".split(), k=draw.randrange(0, 400))) for _ in range(23)]
    paths = []
    for k, text in enumerate(texts[:6]):
        path = tmp_path / (f"t{k}.txt.gz" if k % 2 else f"t{k}.txt")
        with (gzip.open(path, "wt", encoding="utf-8") if k % 2 else open(path, "w", encoding="utf-8")) as f:
            f.write(text.replace(" ", "\n", 3))
        paths.append(str(path))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        for order in (1, 3):
            one = MarkovChain()
            for text in texts:
                one.add_tokens(text.split(), order)
            for partitions, split_every in ((1, None), (5, 2), (23, 3)):
                built = zantu.dask.build(dask_bag.from_sequence(texts, npartitions=partitions), order,
                                         split="words", split_every=split_every)
                assert rows(built) == rows(one)
            joiner = Joiner(order)
            for path in paths:
                joiner.add(count_part(Part(path), order))
                joiner.next_text()
            written = tmp_path / "c.json.gz"
            built = zantu.dask.build(dask_bag.from_sequence(paths, npartitions=4), order, split="words", files=True,
                                     path=written)
            assert rows(built) == rows(joiner.result()) == rows(MarkovChain.load(written))
        with pytest.raises(TypeError, match="files=True"):
            zantu.dask.build(dask_bag.from_sequence([b"bytes"]))
        # The README's lines, as pasted, on this cluster.
        import os
        import re
        from pathlib import Path

        readme = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
        block, = re.findall(r"^```py\n(.*?)^```", readme, re.S | re.M)
        (tmp_path / "corpus").mkdir()
        for k, text in enumerate(texts):
            (tmp_path / "corpus" / f"{k}.txt").write_text(text.replace(" ", "\n", 2) + "\n")
        here = os.getcwd()
        os.chdir(tmp_path)
        try:
            exec(block, {})
        finally:
            os.chdir(here)
        one = MarkovChain()
        for name in sorted((tmp_path / "corpus").iterdir()):
            for line in name.read_text().splitlines():
                one.add_text(line, 2)
        assert rows(MarkovChain.load(tmp_path / "chain.json.gz")) == rows(one)
