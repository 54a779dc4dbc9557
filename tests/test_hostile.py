"""Hostile input through both readers, both merge modes, text and binary
files and every encoder and parser backend, each batch in a child process
so that a crash, a hang or runaway memory shows: the result must be a clear
Python exception or a correct load."""

import io
import json
import os
import random
import subprocess
import sys
from pathlib import Path

import pytest

import zantu_cjson
from conftest import BACKENDS
from zantu import MarkovChain

HERE = Path(__file__).parent
SUITE = HERE.parent.parent / "shared" / "data" / "jsontestsuite" / "test_parsing"
DEEP = 100_000

# Outcomes that are never a clear answer to bad input.
FORBIDDEN = {"SystemError", "MemoryError"}

# Where the dependencies themselves misbehave, as recorded in the README:
# (reader, what, case), the reader being "small/<encoder>" or
# "big/<backend>", the case a suite file or an index into the texts below.
_UJSON_ACCEPTS = ["n_array_just_minus.json", "n_number_-01.json", "n_number_-2..json", "n_number_0.e1.json",
                  "n_number_2.e+3.json", "n_number_2.e-3.json", "n_number_2.e3.json", "n_number_NaN.json",
                  "n_number_infinity.json", "n_number_minus_infinity.json",
                  "n_number_neg_int_starting_with_zero.json", "n_number_neg_real_without_int_part.json",
                  "n_number_real_without_fractional_part.json", "n_number_with_leading_zero.json",
                  "n_string_unescaped_newline.json", "n_string_unescaped_tab.json", "2"]
_JSON_ACCEPTS = ["n_number_NaN.json", "n_number_infinity.json", "n_number_minus_infinity.json", "2"]
_YAJL_ACCEPTS = ["n_structure_whitespace_formfeed.json"]
_PYTHON_ACCEPTS = ["n_number_+1.json", "n_number_0.e1.json", "n_number_2.e+3.json", "n_number_2.e-3.json",
                   "n_number_2.e3.json", "n_number_U+FF11_fullwidth_digit_one.json",
                   "n_number_neg_real_without_int_part.json", "n_structure_whitespace_formfeed.json"]
KNOWN_QUIRKS = (
    {("small/ujson", "accepts invalid input", n) for n in _UJSON_ACCEPTS}
    | {("small/json", "accepts invalid input", n) for n in _JSON_ACCEPTS}
    | {("big/python", "accepts invalid input", n) for n in _PYTHON_ACCEPTS}
    | {(f"big/{b}", what, n) for b in ("yajl2_c", "yajl2_cffi")
       for what, n in [("accepts invalid input", m) for m in _YAJL_ACCEPTS]
       + [("changes the value", "5"), ("rejects valid input", "6")]}
)


def sample_documents():
    chain = MarkovChain()
    values = ["a", "é\u0000\"\\/", 7, 1.5, True, None, (1, "x"), "漢字", -3]
    for i, start in enumerate(values):
        for j in range(2):
            chain.add_to_bag(start, (values[(i + j + 1) % len(values)],), count=i + j + 1)
    docs = []
    for writer in (zantu_cjson.dump_json_small, zantu_cjson.dump_json_big):
        for compress in (True, False):
            out = io.StringIO()
            writer(chain, out, compress)
            docs.append(out.getvalue().encode("utf-8"))
    return docs


def case(name, data, expect=None, valid=None):
    """A document; ``expect``: the JSON text of the item of its one pair;
    ``valid``: whether it is valid JSON (None: the suite leaves it open)."""
    c = {"name": name, "data": data.decode("latin-1"), "valid": valid}
    if expect is not None:
        c["expect"] = expect
    return c


def suite_cases():
    cases = []
    for path in sorted(SUITE.glob("*.json")):
        data = path.read_bytes()
        valid = {"y": True, "n": False}.get(path.name[0])
        value = json.loads(data) if valid else None
        # Embedded so that an empty or blank file stays invalid.
        cases.append(case("raw/" + path.name, data))
        cases.append(case("codes/" + path.name, b'{"codes":[0,"s",1,' + data + b'],"chain":[0,[[1],1]]}',
                          json.dumps([value]) if valid else None, valid))
        cases.append(case("plain/" + path.name, b'{"codes":[],"chain":["s",[[0,' + data + b'],1]]}',
                          json.dumps([0, value]) if valid else None, valid))
    return cases


def truncation_cases():
    return [case(f"truncated/{d}/{n}", doc[:n], valid=False) for d, doc in enumerate(sample_documents())
            for n in range(len(doc))]


def flip_cases():
    rng = random.Random(20261207)
    cases = []
    for d, doc in enumerate(sample_documents()):
        for k in range(150):
            data = bytearray(doc)
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] = rng.randrange(256)
            cases.append(case(f"flipped/{d}/{k}", bytes(data)))
    return cases


def nesting_cases():
    arrays = b"[" * DEEP + b"]" * DEEP
    objects = b'{"a":' * DEEP + b"1" + b"}" * DEEP
    places = {
        "codes-value": b'{"codes":[0,"s",1,%s],"chain":[0,[[1],1]]}',
        "codes-code": b'{"codes":[%s,1],"chain":[]}',
        "start": b'{"codes":[],"chain":[%s,[["x"],1]]}',
        "item": b'{"codes":[],"chain":["s",[%s,1]]}',
        "item-element": b'{"codes":[],"chain":["s",[[%s],1]]}',
        "count": b'{"codes":[],"chain":["s",[["x"],%s]]}',
        "other": b'{"x":%s,"codes":[],"chain":[]}',
        "top": b"%s",
    }
    cases = []
    for place, template in places.items():
        for kind, deep in (("arrays", arrays), ("objects", objects)):
            cases.append(case(f"deep/{place}/{kind}", template % deep))
            cases.append(case(f"deep-open/{place}/{kind}", template % deep[:DEEP]))
    return cases


def number_and_text_cases():
    numbers = [b"1e999999", b"-1e999999", b"1" * 5000, b"-" + b"9" * 100_000, b"0." + b"0" * 10_000 + b"1",
               b"1E-400", b"-0", b"123456789012345678901234567890.5e-3"]
    cases = []
    for i, number in enumerate(numbers):
        cases.append(case(f"number/value/{i}", b'{"codes":[0,"s",1,%s],"chain":[0,[[1],1]]}' % number))
        cases.append(case(f"number/code/{i}", b'{"codes":[%s,"s"],"chain":[%s,[],0,[]]}' % (number, number)))
        cases.append(case(f"number/start/{i}", b'{"codes":[],"chain":[%s,[["x"],1]]}' % number))
        cases.append(case(f"number/count/{i}", b'{"codes":[],"chain":["s",[["x"],%s]]}' % number))
    # Invalid UTF-8 (a lone byte, an overlong form, an encoded surrogate, a
    # cut sequence, a code point past U+10FFFF), escapes of lone surrogates,
    # a raw control character and an escaped NUL.
    texts = [(b"\xff", False), (b"\xc0\xaf", False), (b"\xed\xa0\x80", False), (b"\xe6\xbc", False),
             (b"\xf4\x90\x80\x80", False), (b"\\ud800", True), (b"\\udc00\\ud800", True), (b"a\x00b", False),
             (b"\\u0000", True)]
    for i, (text, valid) in enumerate(texts):
        value = json.loads(b'"%s"' % text) if valid else None
        cases.append(case(f"text/value/{i}", b'{"codes":[0,"s",1,"%s"],"chain":[0,[[1],1]]}' % text,
                          json.dumps([value]) if valid else None, valid))
        cases.append(case(f"text/key/{i}", b'{"%s":1,"codes":[],"chain":[]}' % text, None, valid))
        cases.append(case(f"text/plain/{i}", b'{"codes":[],"chain":["s",[["%s"],1]]}' % text,
                          json.dumps([value]) if valid else None, valid))
    return cases


BATCHES = {"suite": suite_cases, "truncations": truncation_cases, "flips": flip_cases,
           "nesting": nesting_cases, "numbers-and-text": number_and_text_cases}


def run_batch(tmp_path, cases):
    cases_file = tmp_path / "cases.json"
    out_file = tmp_path / "out.jsonl"
    cases_file.write_text(json.dumps(cases), encoding="utf-8")
    result = subprocess.run([sys.executable, str(HERE / "hostile" / "worker.py"), str(cases_file), str(out_file)],
                            capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, f"worker ended with {result.returncode}: {result.stderr[-2000:]}"
    # Every input here is at most a few hundred kilobytes. Under the
    # sanitizer the figure also counts its quarantine of freed memory (256 MB
    # by default) and its shadow memory.
    limit = 1024 + (512 if os.environ.get("ZANTU_SANITIZED") else 0)
    assert json.loads(result.stdout.splitlines()[-1])["peak_mb"] < limit
    return [json.loads(line) for line in out_file.read_text(encoding="utf-8").splitlines()]


@pytest.mark.parametrize("batch", sorted(BATCHES))
def test_hostile_batch(batch, tmp_path):
    if batch == "suite" and not SUITE.is_dir():
        pytest.skip(f"JSONTestSuite's test_parsing files are not at {SUITE.resolve()}: put them there "
                    "(a checkout of the suite in shared/data/jsontestsuite beside this checkout)")
    cases = BATCHES[batch]()
    runs = run_batch(tmp_path, cases)
    # Every case through every reader: two encoders and each parser backend,
    # both merge modes, binary and text files.
    assert len(runs) == len(cases) * (2 + len(BACKENDS)) * 2 * 2
    bad = [r for r in runs if r["outcome"] == "error" and (r["type"] in FORBIDDEN or "without exception" in r["message"])]
    assert not bad, bad[:10]
    quirks = set()
    valid = {c["name"]: c["valid"] for c in cases}
    for r in runs:
        name = r["case"]
        if r.get("differs"):
            quirks.add((r["reader"], "changes the value", name))
        if r["outcome"] == "loaded" and valid[name] is False:
            assert not name.startswith("truncated"), r
            quirks.add((r["reader"], "accepts invalid input", name))
        # Only merging hands everything to the recording chain unchanged.
        if r["outcome"] == "error" and valid[name] is True and r["merge"]:
            quirks.add((r["reader"], "rejects valid input", name))
    known = {(reader, what, place + "/" + name) for reader, what, name in KNOWN_QUIRKS
             for place in ("codes", "plain", "text/value", "text/key", "text/plain")}
    unexpected = sorted(quirks - known)
    assert not unexpected, "\n".join(map(str, unexpected))
