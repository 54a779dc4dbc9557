"""Writes a starting corpus for the fuzz targets: documents from both writers
in both forms, and a few misshapen ones."""

import io
import sys
from pathlib import Path

import zantu_cjson
from zantu import MarkovChain


def main(folder):
    out = Path(folder)
    out.mkdir(parents=True, exist_ok=True)
    chain = MarkovChain()
    values = ["a", "é\u0000\"", 7, 1.5, True, None, (1, "x"), "", -3] + [f"w{i}" for i in range(12)]
    for i, start in enumerate(values):
        chain.add_to_bag(start, (values[(i + 1) % len(values)], values[(i + 4) % len(values)]), count=i + 1)
    n = 0
    for writer in (zantu_cjson.dump_json_small, zantu_cjson.dump_json_big):
        for compress in (True, False):
            text = io.StringIO()
            writer(chain, text, compress)
            (out / f"doc{n}.json").write_text(text.getvalue(), encoding="utf-8")
            n += 1
    for i, text in enumerate(['{"codes":[0,"a"],"chain":[0,[[0],1]]}', '{"chain":[[1,[2]],[[{"k":[]}],2.5]]}',
                              '{"x":{"chain":[]},"codes":[0,[],1],"chain":["s",[]]}', "[]", "{}"]):
        (out / f"shape{i}.json").write_text(text, encoding="utf-8")


if __name__ == "__main__":
    main(sys.argv[1])
