"""The command line: each subcommand on small files, bad input, gzip."""

import gzip
import json
import os
import random
import signal
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
    doc = tmp_path / "doc.json"
    doc.write_text('{"codes":[],"chain":["a",[["b"],1]]}')
    return a, b, doc


def load(path):
    import zantu_cjson
    chain = MarkovChain()
    opener = gzip.open if str(path).endswith(".gz") else open
    with opener(path, "rb") as f:
        zantu_cjson.load_json_big(chain, f)
    return chain


@pytest.mark.parametrize("flags", [[], ["--plain"], ["--stream", "--split", "words"],
                                   ["--plain", "--stream", "--order", "2", "--split", "lines"]])
@pytest.mark.parametrize("suffix", [".json", ".json.gz"])
def test_build(corpus, tmp_path, flags, suffix, capsys):
    out = tmp_path / ("chain" + suffix)
    assert main(["build", *map(str, corpus[:2]), "-o", str(out), *flags]) == 0
    order = 2 if "--order" in flags else 1
    how = flags[flags.index("--split") + 1] if "--split" in flags else "sentences"
    expected = MarkovChain()
    expected.add_text(TEXT, order, split=how)
    expected.add_text("über alles the cat\n", order, split=how)
    assert load(out) == expected
    opener = gzip.open if suffix.endswith(".gz") else open
    with opener(out, "rt", encoding="utf-8") as f:
        assert (json.load(f)["codes"] == []) == ("--plain" in flags)


def test_inspect_and_convert(corpus, tmp_path, capsys):
    doc = tmp_path / "c.json"
    assert main(["build", str(corpus[0]), "-o", str(doc), "--split", "words"]) == 0
    capsys.readouterr()
    assert main(["inspect", str(doc)]) == 0
    shown = capsys.readouterr().out
    assert "form:   compressed" in shown and "starts: 8" in shown and "codes:  8" in shown
    assert "'the'" in shown.split("most frequent values")[1].splitlines()[1]
    # The text's words, by their occurrences (a text's first word starts it).
    assert shown.split("most frequent words of the text (occurrences):\n")[1].splitlines()[0].split() == ["3", "'the'"]
    # Summed natively for small counts, else through each bag; none shown
    # where next states are of two tokens; punctuation left out.
    for chain, words in (('["a",[["b"],1099511627776,["a"],1]]', ["1,099,511,627,776", "'b'"]),
                         ('["a",[["."],5,["b"],1]]', ["1", "'b'"]),
                         ('["a",[["b","c"],2]]', None)):
        (tmp_path / "w.json").write_text('{"codes":[],"chain":' + chain + "}")
        assert main(["inspect", str(tmp_path / "w.json")]) == 0
        shown_words = capsys.readouterr().out.partition("(occurrences):\n")[2]
        assert (shown_words.splitlines()[0].split() if shown_words else None) == words
    assert main(["build", str(corpus[0]), "-o", str(doc), "--order", "2"]) == 0
    capsys.readouterr()
    assert main(["inspect", str(doc)]) == 0
    shown = capsys.readouterr().out
    assert "built from sentences, order 2: 1 sentences" in shown
    # States of two tokens are code values too, each counted once.
    with open(doc, encoding="utf-8") as f:
        assert f"codes:  {len(json.load(f)['codes']) // 2:,}" in shown
    assert shown.split("(occurrences):\n")[1].splitlines()[0].split() == ["4", "'the'"]
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


GZIPPED = gzip.compress(b'{"codes":[],"chain":["a",[["b"],1]]}')


@pytest.mark.parametrize("name, content, shown", [
    ("bad.json", b"", "premature EOF"), ("bad.json", b"not json", "lexical error"),
    ("bad.json", b'{"codes":[],"chain":', "premature EOF"), ("bad.json", b"[1,2]", "not a JSON object"),
    ("bad.json", b'{"codes":[0,"a"]}', 'no "chain"'), ("bad.json", b"\xff\xfe", "error"),
    ("bad.json", b'{"codes":[0,"a"],"chain":[5,[[0],1]]}', 'code 5 is missing from "codes"'),
    ("bad.json", b'{"codes":[],"chain":["a",[["b"],"1"]]}', "expected the count"),
    ("bad.json.gz", b"not gzip", "Not a gzipped file"), ("bad.json.gz", GZIPPED[:-12], "ended before"),
])
def test_bad_documents_are_one_line(tmp_path, name, content, shown):
    bad = tmp_path / name
    bad.write_bytes(content)
    out = tmp_path / "out.json"
    out.write_text("kept")
    for command in (["inspect", bad], ["convert", bad, out]):
        result = run(*command)
        assert result.returncode == 1
        assert result.stderr.startswith("zantu: error: ") and len(result.stderr.strip().splitlines()) == 1
        assert shown in result.stderr and "b'" not in result.stderr.replace("b'no", "")
    assert out.read_text() == "kept"
    if name.endswith(".gz"):
        result = run("build", bad, "-o", out)
        assert result.returncode == 1 and len(result.stderr.strip().splitlines()) == 1 and shown in result.stderr


@pytest.mark.parametrize("stop", ["interrupt", "failure", "SIGTERM", "SIGHUP"])
@pytest.mark.parametrize("suffix", [".json", ".json.gz"])
def test_written_whole_or_not_at_all(corpus, tmp_path, monkeypatch, capsys, stop, suffix):
    from zantu import cli
    out = tmp_path / ("chain" + suffix)
    out.write_bytes(b"the old document")
    before = sorted(tmp_path.iterdir())

    def half_then_stop(chain, file, compress):
        file.write('{"codes":[')
        if stop.startswith("SIG"):
            os.kill(os.getpid(), getattr(signal, stop))
        raise KeyboardInterrupt if stop == "interrupt" else ValueError("count 'x' is not a JSON number")

    status = {"interrupt": 130, "failure": 1, "SIGTERM": 128 + signal.SIGTERM, "SIGHUP": 128 + signal.SIGHUP}[stop]
    for command in (["build", str(corpus[0]), "-o", str(out), "--stream"], ["convert", str(corpus[2]), str(out)]):
        monkeypatch.setitem(cli.WRITERS, "big", half_then_stop)
        assert main(command) == status
        assert out.read_bytes() == b"the old document" and sorted(tmp_path.iterdir()) == before
        assert len(capsys.readouterr().err.strip().splitlines()) == 1
        monkeypatch.undo()
    assert main(["build", str(corpus[0]), "-o", str(out)]) == 0
    # The document, and the runs index of its sentences beside it.
    assert load(out) and sorted(tmp_path.iterdir()) == sorted(before + [tmp_path / "chain.runs"])
    assert oct(out.stat().st_mode & 0o777) == oct(corpus[0].stat().st_mode & 0o777)


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_skip_bad_inputs(corpus, tmp_path, jobs):
    latin = tmp_path / "latin.txt"
    latin.write_bytes(b"good words first\n" * 1000 + b"caf\xe9 au lait\n")  # counted a while, then bad
    broken = tmp_path / "broken.txt.gz"
    broken.write_bytes(b"not gzip")
    out = tmp_path / "x.json"
    result = run("build", corpus[0], latin, broken, tmp_path / "missing.txt", "-o", out, "--skip-bad", "-j", jobs,
                 "--split", "words")
    assert result.returncode == 0, result.stderr
    assert [line.split(":")[0] for line in result.stderr.splitlines()] == ["zantu"] * 3
    assert "3 of 4 inputs skipped" in result.stdout
    expected = MarkovChain()
    expected.add_tokens(TEXT.split(), 1)
    assert load(out) == expected
    # Nothing read: nothing written, and a failure.
    result = run("build", latin, broken, "-o", tmp_path / "none.json", "--skip-bad", "-j", jobs)
    assert result.returncode == 1 and "no input could be read" in result.stderr
    assert not (tmp_path / "none.json").exists()


def test_jobs_write_the_same_document(tmp_path, monkeypatch):
    # Parts counted in other processes, joined in order: byte for byte the
    # document of one process, whatever the parts.
    import random
    import tempfile

    from zantu.counting import Joiner, count_part_to_file, counted_from, split
    from zantu.text import RunsBuilder

    # Where the workers leave their results: nothing is left there after.
    temporary = tmp_path / "temporary"
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    # The runs index ranked apart, from the last part on when a worker counted it.
    monkeypatch.setattr(RunsBuilder, "RANKED_APART", 64)

    words = random.Random(3).choices("a b c d e f g h the of x1 y2 é . The A !".split(), k=60_000)
    text = tmp_path / "t.txt"
    # Lines, and now and then a blank line: sentences span lines and parts.
    text.write_text("\n".join(" ".join(words[i:i + 7]) + ("\n" if i % 91 == 0 else "") for i in range(0, len(words), 7))
                    + "\n")
    small = tmp_path / "s.txt"
    small.write_text("one\n\ntwo three\n")
    for order, how in ((1, "words"), (3, "words"), (2, "sentences"), (1, "lines")):
        single = tmp_path / f"single{order}{how}.json"
        common = ["--order", str(order), "--split", how]
        assert main(["build", str(text), str(small), str(text), "-o", str(single), *common, "-j", "1"]) == 0
        for jobs in ("2", "3"):
            many = tmp_path / f"many{order}{how}{jobs}.json"
            assert main(["build", str(text), str(small), str(text), "-o", str(many), *common, "-j", jobs]) == 0
            assert many.read_bytes() == single.read_bytes()
            if how != "words":
                assert many.with_suffix(".runs").read_bytes() == single.with_suffix(".runs").read_bytes()
        if order == 1:
            # Beside a thread that Python's threading does not list (as the
            # runs index's native ones are not), no worker is forked: a
            # fork while another thread holds a lock may wait for it for ever.
            import _thread
            import multiprocessing

            asked = []
            monkeypatch.setattr(multiprocessing, "get_context",
                                lambda method, get=multiprocessing.get_context: asked.append(method) or get(method))
            hold, done = _thread.allocate_lock(), _thread.allocate_lock()
            hold.acquire()
            done.acquire()
            _thread.start_new_thread(lambda: (hold.acquire(), done.release()), ())
            beside = tmp_path / "beside.json"
            try:
                assert main(["build", str(text), str(small), str(text), "-o", str(beside), *common, "-j", "2"]) == 0
            finally:
                hold.release()
                done.acquire()
            monkeypatch.undo()
            monkeypatch.setattr(tempfile, "tempdir", str(temporary))
            monkeypatch.setattr(RunsBuilder, "RANKED_APART", 64)
            assert asked == ["forkserver"]
            assert beside.read_bytes() == single.read_bytes()
        # Parts of any size, some with fewer words than the order or none.
        for parts in (2, 7, 400):
            joiner = Joiner(order, how)
            for name in (text, small, text):
                for k, part in enumerate(split(str(name), parts, 1.3, smallest=1)):
                    # Through a file, or returned as is where none can be written.
                    folder = temporary if k % 2 else tmp_path / "missing"
                    joiner.add(counted_from(count_part_to_file(part, order, how, False, str(folder))))
                joiner.next_text()
            rows = [(start, list(bag.choices())) for start, bag in joiner.result().items()]
            assert rows == [(start, list(bag.choices())) for start, bag in load(single).items()]
    assert rows[0][0] is None  # lines: each from the begin state
    # (multiprocessing's own folder, of the fork server that lives on, aside)
    assert [path for path in temporary.iterdir() if not path.name.startswith("pymp-")] == []


def test_standard_streams_and_broken_pipe(tmp_path):
    built = subprocess.run([sys.executable, "-m", "zantu", "build", "-", "-o", "-", "--plain", "--split", "words"],
                           input=TEXT,
                           capture_output=True, text=True, timeout=120)
    assert built.returncode == 0 and built.stderr.startswith("-: 8 starts")
    # A pipe named by its path is read whole, as standard input is, however many processes count.
    piped = subprocess.run([sys.executable, "-m", "zantu", "build", "/dev/stdin", "-o", "-", "--plain", "--split",
                            "words", "-j", "2"], input=TEXT, capture_output=True, text=True, timeout=120)
    assert piped.returncode == 0 and piped.stdout == built.stdout
    assert json.loads(built.stdout)["codes"] == []
    shown = subprocess.run([sys.executable, "-m", "zantu", "inspect", "-"], input=built.stdout, capture_output=True,
                           text=True, timeout=120)
    assert shown.returncode == 0 and "starts: 8" in shown.stdout and "read with parser: ijson" in shown.stdout
    # gzip on standard input, known by its magic bytes.
    zipped = subprocess.run([sys.executable, "-m", "zantu", "inspect", "-"], input=gzip.compress(built.stdout.encode()),
                            capture_output=True, timeout=120)
    assert zipped.returncode == 0 and b"starts: 8" in zipped.stdout
    # Many values listed, and the reading end closed after the first line.
    many = tmp_path / "many.json"
    many.write_text(json.dumps({"codes": [], "chain": [x for i in range(20000) for x in (f"w{i}", [["x"], 1])]}))
    process = subprocess.Popen([sys.executable, "-m", "zantu", "inspect", str(many), "--top", "20000"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    process.stdout.readline()
    process.stdout.close()
    assert process.wait(timeout=120) == 141
    error = process.stderr.read().decode()
    process.stderr.close()
    assert error.startswith("zantu: error: ") and len(error.strip().splitlines()) == 1


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
    notes = tmp_path / "notes.txt"
    # Large enough that the runs index is still being packed when the
    # write fails: the command must end cleanly all the same.
    rng = random.Random(5)
    vocabularies = [[f"w{i}" for i in range(size)] for size in (50, 500, 40_000)]
    text = " ".join(rng.choice(rng.choice(vocabularies)) + ("." if rng.random() < 0.08 else "")
                    for _ in range(600_000))
    notes.write_text(text)
    os.symlink(notes, tmp_path / "link.txt")
    for output, shown in ((tmp_path, "is a directory"), (tmp_path / "link.txt", "is the input")):
        result = run("build", notes, "-o", output)
        assert result.returncode == 1 and shown in result.stderr and len(result.stderr.splitlines()) == 1
    assert notes.read_text() == text
    zero = tmp_path / "zero.json"
    zero.write_text('{"codes":[],"chain":["a",[["b"],0]]}')
    result = run("generate", zero, "--start", "a")
    assert result.returncode == 1 and result.stderr.startswith("zantu: error: ") and "Traceback" not in result.stderr
    assert "Traceback" in run("inspect", tmp_path / "nope.json", "--debug").stderr  # --debug after the command
    assert run("--version").stdout.startswith("zantu ")


def test_demo():
    result = run("demo", "--tokens", "20000")
    assert result.returncode == 0, result.stderr
    assert "loaded back equal" in result.stdout and "parser: ijson" in result.stdout
    assert result.stdout.count("dump_json_") == 4


def test_progress_on_a_terminal(corpus, tmp_path):
    import os
    import pty
    import select
    pytest.importorskip("tqdm")
    import fcntl
    import struct
    import termios
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal of some size
    doc = tmp_path / "c.json"
    shown = b""
    try:
        for args in (["build", corpus[0], "-o", doc, "--stream"], ["inspect", doc], ["convert", doc, tmp_path / "p.json"]):
            result = subprocess.run([sys.executable, "-m", "zantu", *map(str, args)], stdout=subprocess.PIPE,
                                    stderr=slave, timeout=120)
            assert result.returncode == 0
            while True:
                if not select.select([master], [], [], 0.2)[0]:
                    break
                shown += os.read(master, 65536)
    finally:
        os.close(master)
        os.close(slave)
    assert b"reading" in shown and b"writing" in shown


def test_generate(corpus, tmp_path):
    made = []
    for name, flags in (("c.json.gz", []), ("p.json", ["--plain"]), ("o2.json", ["--order", "2"])):
        flags += ["--split", "words"]
        doc = tmp_path / name
        assert run("build", corpus[0], "-o", doc, *flags).returncode == 0
        runs = [run("generate", doc, "--words", 30, "--seed", 4) for _ in range(2)]
        assert runs[0].returncode == 0 and runs[0].stdout == runs[1].stdout
        words = runs[0].stdout.split()
        assert 1 <= len(words) <= 30 and set(words) <= set(TEXT.split())
        made.append(runs[0].stdout)
        started = run("generate", doc, "--start", "cat", "--words", 3, "--seed", 4)
        assert started.stdout.split()[0] == "cat" and len(started.stdout.split()) == 3
    assert made[0] == made[1]  # either form, the same words
    # Order 2: every word follows the two before it in the text.
    text = TEXT.split()
    triples = set(zip(text, text[1:], text[2:]))
    assert set(zip(words, words[1:], words[2:])) <= triples
    missing = run("generate", tmp_path / "p.json", "--start", "dog")
    assert missing.returncode == 1 and missing.stderr == "zantu: error: " + str(
        tmp_path / "p.json") + " has no start 'dog', nor a state that begins with it\n"
    # Built from sentences (the default): sentences, one a line.
    doc = tmp_path / "s.json"
    (tmp_path / "s.txt").write_text("The cat sat. The dog ran! A cat ran.\n\nThe end.\n")
    assert run("build", tmp_path / "s.txt", "-o", doc, "--order", "2").returncode == 0
    # Every sentence of so small a text copies it: drawn again, then none left.
    copying = run("generate", doc, "--sentences", 4, "--seed", 3)
    assert copying.returncode == 1 and "only 0 of 4 sentences did not copy the source" in copying.stderr
    told = [run("generate", doc, "--sentences", 4, "--seed", 3, "--no-overlap", *start)
            for start in ([], ["--start", "A"])]
    assert told[0].stdout.count("\n") == 4 and told[0].stdout == run("generate", doc, "--seed", 3,
                                                                      "--no-overlap").stdout[:len(told[0].stdout)]
    assert all(line.startswith("A cat") and line[-1] in ".!" for line in told[1].stdout.splitlines())
    missing = run("generate", doc, "--start", "dog")
    assert missing.returncode == 1 and "no sentence begins with 'dog'" in missing.stderr
    # --words walks on from sentence to sentence: the begin state and the
    # end value are no words (they were printed as "None", and an order-2
    # walk stopped at the first end).
    from zantu.text import tokens
    assert run("build", tmp_path / "s.txt", "-o", tmp_path / "s1.json").returncode == 0
    for sentences in (doc, tmp_path / "s1.json"):
        walked = run("generate", sentences, "--words", 25, "--seed", 3)
        assert walked.returncode == 0 and walked.stdout == run("generate", sentences, "--words", 25, "--seed", 3).stdout
        assert "None" not in walked.stdout and len(tokens(walked.stdout)) == 25
        assert set(tokens(walked.stdout)) <= set(tokens((tmp_path / "s.txt").read_text()))
    # The runs index is read beside the chain's load: what is wrong with it
    # is said as before.
    (tmp_path / "s.runs").write_bytes(b"garbage")
    bad = run("generate", doc)
    assert bad.returncode == 1 and bad.stderr == f"zantu: error: cannot read {tmp_path / 's.runs'}: " \
                                                 f"{tmp_path / 's.runs'} is not a runs index\n"


def test_chain_save_and_load_by_path(tmp_path):
    class Mine(MarkovChain):
        pass

    chain = Mine.from_tokens("a b a c a b".split() * 50, 2)
    for name in ("c.json", "c.json.gz", "c.data"):
        path = tmp_path / name
        chain.save(path)
        assert path.read_bytes()[:2] == (b"\x1f\x8b" if name.endswith(".gz") else b'{"')
        loaded = Mine.load(str(path))
        assert type(loaded) is Mine and loaded == chain
    # A save that fails leaves the file as it was, and no temporary file.
    bad = MarkovChain()
    bad.add_to_bag("a", (object(),))
    before = sorted(tmp_path.iterdir())
    with pytest.raises(TypeError):
        bad.save(tmp_path / "c.json")
    assert sorted(tmp_path.iterdir()) == before and MarkovChain.load(tmp_path / "c.json") == chain
    # A folder that is not there: said of the file asked for (it named the
    # temporary file).
    with pytest.raises(FileNotFoundError) as missing:
        chain.save(tmp_path / "none" / "c.json")
    assert missing.value.filename == str(tmp_path / "none" / "c.json")
