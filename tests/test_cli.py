"""The command line: each subcommand on small files, bad input, gzip."""

import gzip
import json
import subprocess
import sys

import pytest

from zantu import MarkovChain
from zantu.cli import main

TEXT = "the cat sat on the mat and the cat ran to the mat\n"


def run(*args):
    return subprocess.run([sys.executable, "-m", "zantu", *map(str, args)], capture_output=True, text=True,
                          timeout=120)


@pytest.fixture
def corpus(tmp_path):
    a = tmp_path / "a.txt"
    a.write_text(TEXT, encoding="utf-8")
    b = tmp_path / "b.txt.gz"
    with gzip.open(b, "wt", encoding="utf-8") as f:
        f.write("über alles the cat\n")
    return a, b


def load(path):
    import zantu_cjson
    chain = MarkovChain()
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rb") as f:
        zantu_cjson.load_json_big(chain, f)
    return chain


@pytest.mark.parametrize("flags", [[], ["--plain"], ["--stream"], ["--plain", "--stream", "--order", "2"]])
@pytest.mark.parametrize("suffix", [".json", ".json.gz"])
def test_build(corpus, tmp_path, flags, suffix, capsys):
    out = tmp_path / ("chain" + suffix)
    assert main(["build", *map(str, corpus), "-o", str(out), *flags]) == 0
    order = 2 if "--order" in flags else 1
    expected = MarkovChain()
    expected.add_tokens(TEXT.split(), order)
    expected.add_tokens("über alles the cat".split(), order)
    assert load(out) == expected
    opener = gzip.open if suffix.endswith(".gz") else open
    with opener(out, "rt", encoding="utf-8") as f:
        assert (json.load(f)["codes"] == []) == ("--plain" in flags)


def test_inspect_and_convert(corpus, tmp_path, capsys):
    doc = tmp_path / "c.json"
    assert main(["build", str(corpus[0]), "-o", str(doc)]) == 0
    capsys.readouterr()
    assert main(["inspect", str(doc)]) == 0
    shown = capsys.readouterr().out
    assert "form:   compressed" in shown and "starts: 8" in shown and "codes:  8" in shown
    assert "'the'" in shown.split("most frequent values:")[1].splitlines()[1]
    plain = tmp_path / "p.json.gz"
    assert main(["convert", str(doc), str(plain)]) == 0
    assert load(plain) == load(doc)
    assert main(["inspect", str(plain)]) == 0
    assert "form:   plain" in capsys.readouterr().out
    back = tmp_path / "back.json"
    assert main(["convert", str(plain), str(back)]) == 0
    assert back.read_text() == doc.read_text().replace(" ", "")
    forced = tmp_path / "forced.json"
    assert main(["convert", str(doc), str(forced), "--compressed"]) == 0
    assert json.loads(forced.read_text())["codes"]


@pytest.mark.parametrize("content", [b"", b"not json", b'{"codes":[],"chain":', b"[1,2]", b'{"codes":[0,"a"]}',
                                     b"\xff\xfe", b'{"codes":[0,"a"],"chain":[5,[[0],1]]}'])
def test_bad_documents_are_one_line(tmp_path, content):
    bad = tmp_path / "bad.json"
    bad.write_bytes(content)
    for command in (["inspect", bad], ["convert", bad, tmp_path / "out.json"]):
        result = run(*command)
        assert result.returncode == 1
        assert result.stderr.startswith("zantu: error: ") and len(result.stderr.strip().splitlines()) == 1
        assert "Traceback" not in result.stderr


def test_missing_and_undecodable_files(tmp_path):
    result = run("inspect", tmp_path / "nope.json")
    assert result.returncode == 1 and "cannot open" in result.stderr and "Traceback" not in result.stderr
    latin = tmp_path / "latin.txt"
    latin.write_bytes(b"caf\xe9 au lait\n")
    result = run("build", latin, "-o", tmp_path / "x.json")
    assert result.returncode == 1 and "not UTF-8" in result.stderr
    result = run("build", latin, "-o", tmp_path / "x.json", "--order", "0")
    assert result.returncode == 2
    result = run("build", tmp_path / "nope.txt", "-o", tmp_path / "no-such-dir" / "x.json")
    assert result.returncode == 1 and "Traceback" not in result.stderr


def test_demo():
    result = run("demo", "--tokens", "20000")
    assert result.returncode == 0, result.stderr
    assert "loaded back equal" in result.stdout
    assert result.stdout.count("dump_json_") == 4
