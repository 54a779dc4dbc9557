"""Sentences and tokens: the splitter on hard cases (abbreviations, initials,
decimals, quotes, ellipses, lists), in blocks as on the whole."""


import pickle
import unicodedata

import pytest

from zantu.text import sentences, tokens

# In the style of the public English "Golden Rules" of sentence segmentation.
HARD = [
    ('Hello World. My name is Jonas.',
     ['Hello World.', 'My name is Jonas.']),
    ('What is your name? My name is Jonas.',
     ['What is your name?', 'My name is Jonas.']),
    ('There it is! I found it.',
     ['There it is!', 'I found it.']),
    ('My name is Jonas E. Smith.',
     ['My name is Jonas E. Smith.']),
    ('Please turn to p. 55.',
     ['Please turn to p. 55.']),
    ('Were Jane and co. at the party?',
     ['Were Jane and co. at the party?']),
    ('They closed the deal with Pitt, Briggs & Co. at noon.',
     ['They closed the deal with Pitt, Briggs & Co. at noon.']),
    ("Let's ask Jane and co. They should know.",
     ["Let's ask Jane and co.", 'They should know.']),
    ('They closed the deal with Pitt, Briggs & Co. It closed yesterday.',
     ['They closed the deal with Pitt, Briggs & Co.', 'It closed yesterday.']),
    ('I can see Mt. Fuji from here.',
     ['I can see Mt. Fuji from here.']),
    ("St. Michael's Church is on 5th st. near the light.",
     ["St. Michael's Church is on 5th st. near the light."]),
    ("That is JFK Jr.'s book.",
     ["That is JFK Jr.'s book."]),
    ('I visited the U.S.A. last year.',
     ['I visited the U.S.A. last year.']),
    ('I live in the E.U. How about you?',
     ['I live in the E.U.', 'How about you?']),
    ('I live in the U.S. How about you?',
     ['I live in the U.S.', 'How about you?']),
    ('I work for the U.S. Government in Virginia.',
     ['I work for the U.S. Government in Virginia.']),
    ('I have lived in the U.S. for 20 years.',
     ['I have lived in the U.S. for 20 years.']),
    ('She has $100.00 in her bag.',
     ['She has $100.00 in her bag.']),
    ('She has $100.00. It is in her bag.',
     ['She has $100.00.', 'It is in her bag.']),
    ('He teaches science (He previously worked for 5 years as an engineer.) at the local University.',
     ['He teaches science (He previously worked for 5 years as an engineer.) at the local University.']),
    ('Her email is Jane.Doe@example.com. I sent her an email.',
     ['Her email is Jane.Doe@example.com.', 'I sent her an email.']),
    ('The site is: https://www.example.50.com/new-site/awesome_content.html. Please check it out.',
     ['The site is: https://www.example.50.com/new-site/awesome_content.html.', 'Please check it out.']),
    ("She turned to him, 'This is great.' she said.",
     ["She turned to him, 'This is great.' she said."]),
    ('She turned to him, "This is great." she said.',
     ['She turned to him, "This is great." she said.']),
    ('She turned to him, "This is great." She held the book out to show him.',
     ['She turned to him, "This is great."', 'She held the book out to show him.']),
    ('Hello!! Long time no see.',
     ['Hello!!', 'Long time no see.']),
    ('Hello?? Who is there?',
     ['Hello??', 'Who is there?']),
    ('Hello!? Is that you?',
     ['Hello!?', 'Is that you?']),
    ('This is a sentence\ncut off in the middle because pdf.',
     ['This is a sentence\ncut off in the middle because pdf.']),
    ('It was a cold \nnight in the city.',
     ['It was a cold \nnight in the city.']),
    ('features\ncontact manager\nevents, activities\n\nYou can use it.',
     ['features\ncontact manager\nevents, activities', 'You can use it.']),
    ('She works at Yahoo! in the accounting department.',
     ['She works at Yahoo! in the accounting department.']),
    ('We make a good team, you and I. Did you see Albert I. Jones yesterday?',
     ['We make a good team, you and I.', 'Did you see Albert I. Jones yesterday?']),
    ('Thoreau argues that by simplifying one’s life, “the laws of the universe will appear less complex. . . .”',
     ['Thoreau argues that by simplifying one’s life, “the laws of the universe will appear less complex. . . .”']),
    ('If words are left off at the end of a sentence, and that is all that is omitted, indicate the omission with ellipsis marks (preceded and followed by a space) and then indicate the end of the sentence with a period . . . . Next sentence.',
     ['If words are left off at the end of a sentence, and that is all that is omitted, indicate the omission with ellipsis marks (preceded and followed by a space) and then indicate the end of the sentence with a period . . . .', 'Next sentence.']),
    ('I never meant that.... She left the store.',
     ['I never meant that....', 'She left the store.']),
    ('The pH was 3.5 at 10 a.m. on Monday. Then it fell.',
     ['The pH was 3.5 at 10 a.m. on Monday.', 'Then it fell.']),
    ('Dr. Watson, I presume? Yes, Mr. Holmes.',
     ['Dr. Watson, I presume?', 'Yes, Mr. Holmes.']),
    ("Python v3.11 is out. Don't wait; get the e-mail.",
     ['Python v3.11 is out.', "Don't wait; get the e-mail."]),
    ('He said, “Go now.” Then he left.',
     ['He said, “Go now.”', 'Then he left.']),
    ('J. R. R. Tolkien wrote it. It sold well.',
     ['J. R. R. Tolkien wrote it.', 'It sold well.']),
    ('I paid 1,000 dollars. It was worth it.',
     ['I paid 1,000 dollars.', 'It was worth it.']),
    ("1.) The first item 2.) The second item",
     ["1.) The first item", "2.) The second item"]),
    ("a. The first item b. The second item c. The third list item",
     ["a. The first item", "b. The second item", "c. The third list item"]),
    ("I wasn't really . . . well, what I mean . . . see, the thing is . . . I didn't mean it.",
     ["I wasn't really . . . well, what I mean . . . see, the thing is . . . I didn't mean it."]),
    ("Ask for form N°. 12 at the desk.",
     ["Ask for form N°. 12 at the desk."]),
    ('"Bohr [...] used the analogy of parallel stairways [...]" (Smith 55).',
     ['"Bohr [...] used the analogy of parallel stairways [...]" (Smith 55).']),
    ("I counted to 1. Then to 2. Then I stopped.",
     ["I counted to 1.", "Then to 2.", "Then I stopped."]),
    # A word's parts joined by slashes: the dot ends what the last part is.
    ("We do a lot less I/O. Surprisingly less. It debugs Cell/B.E. SPU code and/or Mr. Smith's C++.",
     ["We do a lot less I/O.", "Surprisingly less.", "It debugs Cell/B.E. SPU code and/or Mr. Smith's C++."]),
]


@pytest.mark.parametrize("text, expected", HARD)
def test_hard_cases(text, expected):
    assert sentences(text) == expected
    # Every token of the text is in exactly one sentence, in order.
    assert [t for s in expected for t in tokens(s)] == tokens(text)


def test_tokens_keep_words_whole():
    assert tokens("Don't e-mail v3.11 at 3.5 p.m. to the U.S. Mr. Smith, ok?! (1,000) “yes”... J. K. Rowling") == [
        "Don't", "e-mail", "v3.11", "at", "3.5", "p.m.", "to", "the", "U.S.", "Mr.", "Smith", ",", "ok", "?!", "(",
        "1,000", ")", "“", "yes", "”", "...", "J.", "K.", "Rowling"]
    # Symbols inside or at the end of a word: a program's or a path's name
    # is one token (a join would write "C + +", "gas / i386").
    assert tokens("C++ and C# (gas/i386/x.s, and/or 1/2) need 3.11+, not a+b.") == [
        "C++", "and", "C#", "(", "gas/i386/x.s", ",", "and/or", "1/2", ")", "need", "3.11+", ",", "not", "a", "+",
        "b", "."]
    assert tokens("See /usr/lib/ or https://example.org/a/b, not a / b.") == [
        "See", "/usr/lib/", "or", "https://example.org/a/b", ",", "not", "a", "/", "b", "."]
    # A mail address, a handle and a tag: "@" and "#" within or before a
    # word, else marks of their own.
    assert tokens("Mail <jane.doe@mail.example.org>, @jane or #34; not a@b, a @ b or # 1.") == [
        "Mail", "<", "jane.doe@mail.example.org", ">", ",", "@jane", "or", "#34", ";", "not", "a", "@", "b", ",",
        "a", "@", "b", "or", "#", "1", "."]
    # A sign or an option's dashes after a blank and before a word.
    assert tokens("At 12:27 -0500, run --jobs 2 -o x; a - b, a -- b, 10-20, 1+1 or +3.5.") == [
        "At", "12", ":", "27", "-0500", ",", "run", "--jobs", "2", "-o", "x", ";", "a", "-", "b", ",", "a", "--", "b",
        ",", "10-20", ",", "1", "+", "1", "or", "+3.5", "."]
    assert tokens("(-1) `-p' &amp; &#39;") == ["(", "-1", ")", "`", "-p", "'", "&amp;", "&#39;"]
    # Programs' text: an operator of two marks, a backslash before a word.
    assert tokens("if a != b and c == d: f(x) -> y << 2, '\\xe2' \\section") == [
        "if", "a", "!=", "b", "and", "c", "==", "d", ":", "f", "(", "x", ")", "->", "y", "<<", "2", ",", "'", "\\xe2",
        "'", "\\section"]
    assert sentences("It is 5. -1 is less.") == ["It is 5.", "-1 is less."]
    # A format character is no token: a byte order mark is passed over, a
    # soft hyphen or a mark of direction within a word is part of it.
    assert tokens("\ufeffSoft\xadware is \u200eeasy\u200f.") == ["Soft\xadware", "is", "easy", "."]
    assert sentences("\ufeffHi. Bye.") == ["Hi.", "Bye."]
    assert tokens("") == [] and sentences("  \n\n ") == []
    with pytest.raises(TypeError):
        tokens(b"bytes")


def test_lines_and_blocks():
    assert sentences("one\ntwo. Three\n\nfour", lines=True) == ["one", "two. Three", "four"]
    # Texts longer than a block split as a whole would.
    paragraph = "The cat sat on the mat. Mr. Smith saw it at 3.5 p.m. and left!\n\n"
    text = paragraph * 40_000
    assert len(text) > 2 * 2 ** 20
    assert sentences(text) == sentences(paragraph) * 40_000
    assert sentences(text, lines=True) == [paragraph.strip()] * 40_000
    # Counted with each block split ahead by a thread (by default) or not:
    # the same chain and runs.
    from zantu import MarkovChain
    from zantu._native import _split_ahead
    from zantu.text import RunsBuilder

    varied = "".join(f"Line {k} of {k % 7} said {k % 13}. " + ("\n\n" if k % 5 == 0 else "") for k in range(150_000))
    counted = []
    for ahead in (True, False):
        was = _split_ahead(ahead)
        try:
            runs = RunsBuilder()
            chain = MarkovChain.from_text(varied, 2, runs=runs)
            counted.append(([(start, list(bag.choices())) for start, bag in chain.items()], runs.result()._encoded))
        finally:
            _split_ahead(was)
    assert len(varied) > 3 * 2 ** 20 and counted[0] == counted[1]


@pytest.mark.parametrize("counted, handler", [("text", "raises"), ("tokens", "raises"), ("tokens", "adds pairs"),
                                              ("tokens", "empties the list"), ("text", "reads the chain")])
def test_a_long_count_stops_at_a_signal(counted, handler):
    # A long count stops at a signal whose handler raises (as Ctrl-C does):
    # a text with the blocks before it counted, a list of tokens with the
    # chain as it was. A handler that adds to the chain every 20 ms and
    # returns either ends the count of tokens (RuntimeError) or comes before
    # it changes the chain; one that empties the list ends it there; one
    # that reads the chain (which makes its bags) changes nothing.
    import signal

    from zantu import MarkovChain

    class Stop(Exception):
        pass

    class Word(str):
        pass

    words = "The cat sat on the mat . It ran off .".split()
    text = "The cat sat on the mat. It ran off.\n\n" * 1_500_000  # 55 MB

    def count(delay):
        tokens = words * 1_000_000 + ["late", "."]
        chain = MarkovChain()  # its tokens are found by their characters while its table has only theirs
        added = []

        def handle(signum, frame):
            if handler == "raises":
                added.append(signum)
                raise Stop
            if handler == "empties the list":
                added.append(signum)
                tokens.clear()
                return
            if handler == "reads the chain":
                added.append(len(chain.items()))
                return
            # First a value equal to a token still to come, then new starts.
            added.append(Word("late") if not added else f"start {len(added)}")
            chain.add_to_bag(added[-1], "x")

        previous = signal.signal(signal.SIGALRM, handle)
        try:
            signal.setitimer(signal.ITIMER_REAL, delay, 0.02 if handler in ("adds pairs", "reads the chain") else 0)
            try:
                chain.add_text(text) if counted == "text" else chain.add_tokens(tokens)
                raised = None
            except (Stop, RuntimeError) as e:
                raised = e
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert added
        return chain, raised, added, sum(count for _, bag in chain.items() for _, count in bag.choices())

    if handler == "reads the chain":
        chain, raised, added, pairs = count(0.02)
        assert raised is None and chain == MarkovChain.from_text(text)
        return
    if counted == "text":
        for delay in (0.05, 0.2, 0.8):  # until a block was counted, on a slow machine
            chain, raised, added, pairs = count(delay)
            if pairs:
                break
        assert isinstance(raised, Stop)
        assert 0 < pairs < 13 * 1_500_000 and pairs % 13 == 0  # whole paragraphs of 13 pairs
        return
    chain, raised, added, pairs = count(0.02)
    if handler == "raises":
        assert isinstance(raised, Stop) and len(chain) == 0
    elif handler == "empties the list":
        assert raised is None and 0 < pairs < len(words) * 1_000_000
        assert chain == MarkovChain.from_tokens((words * 1_000_000)[:pairs + 1])
    else:
        expected = MarkovChain()
        for start in added:
            expected.add_to_bag(start, "x")
        if raised is None:
            expected.add_tokens(words * 1_000_000 + ["late", "."])
        assert isinstance(raised, (RuntimeError, type(None))) and chain == expected


from hypothesis import given, settings, strategies as st  # noqa: E402


@settings(max_examples=400, deadline=None)
@given(st.text(st.sampled_from(list("aZ9 .!?\n'\"-,()[]…“”’é中\u2028")) | st.characters(), max_size=80))
def test_any_text_splits_into_its_tokens(text):
    # Whatever the text, each sentence is a trimmed piece of it, in order,
    # and the sentences hold all of its tokens between them.
    found = sentences(text)
    at = 0
    for sentence in found:
        assert sentence and sentence == sentence.strip()
        at = text.index(sentence, at) + len(sentence)
    assert [t for s in found for t in tokens(s)] == tokens(text)
    # Every character but the spaces is in a token (format characters may
    # be passed over).
    visible = {c for c in text if unicodedata.category(c) != "Cf"}
    assert [c for c in "".join(tokens(text)) if c in visible] == [c for c in "".join(text.split()) if c in visible]


def test_chains_of_sentences():
    import io
    import re
    from itertools import islice

    import zantu_cjson
    from zantu import MarkovChain
    from zantu.text import _balanced, join

    text = ('Dr. Smith met Mr. Jones at 3.5 p.m. "Why?" he asked. It was late, and the cat sat on the mat.\n\n'
            "The cat ran (fast) to the U.S. border! Then it sat down; it was tired... The end.\n") * 3
    source = sentences(text)
    starts, ends = {tokens(s)[0] for s in source}, {tokens(s)[-1] for s in source}
    for order in (1, 2, 3):
        chain = MarkovChain.from_text(text, order)
        begin = None if order == 1 else (None,) * order
        assert chain.get_bag(begin).total() == len(source)
        made = list(islice(chain.sentences(seed=5), 30))
        assert made == list(islice(chain.sentences(seed=5), 30)) and len(made) == 30
        for sentence in made:
            words = tokens(sentence)
            assert words[0] in starts and words[-1] in ends and _balanced(words)
            assert sentences(sentence) == [sentence] or order == 1
        # Drawn again by default: a bracket or a quote left open or closed alone.
        loose = [s for s in islice(chain.sentences(seed=5, balanced=False), 200) if not _balanced(tokens(s))]
        assert bool(loose) == (order == 1)
        assert all(s.startswith("The") for s in islice(chain.sentences(seed=1, start="The"), 5))
        with pytest.raises(ValueError, match="no sentence begins with 'mat'"):
            chain.sentences(start="mat")
        # Begin and end round-trip through both forms.
        for compress in (True, False):
            out = io.StringIO()
            zantu_cjson.dump_json_big(chain, out, compress)
            loaded = MarkovChain()
            zantu_cjson.load_json_big(loaded, io.BytesIO(out.getvalue().encode()))
            assert loaded == chain
            assert list(islice(loaded.sentences(seed=5), 30)) == made
    for written in ('He said, "Stop (now)!" Then: $5, 10%... done.', "Run `exec' at 02:10, then ``quote'' it: 1:2.",
                    "Say `it's' twice, 'twice'.", "Mail doko@ubuntu.com, or @doko (#34): run `make` or ``zantu``.",
                    "See <https://example.org/a> or <b> it </b>, as a < b.", "Run --jobs 2 at -0500, a - b."):
        assert join(tokens(written.replace("...", " ..."))) == written
    assert MarkovChain.from_text(text, 2, split="words") == MarkovChain.from_tokens(re.findall(r"\w+", text), 2)
    lines = MarkovChain.from_text("roses are red\nviolets are blue\n", split="lines")
    assert sorted(islice(lines.sentences(seed=2), 40))[0] in {"roses are red", "roses are blue", "violets are red",
                                                              "violets are blue"}
    with pytest.raises(ValueError, match="split must be"):
        MarkovChain.from_text(text, split="paragraphs")
    with pytest.raises(ValueError, match="no sentence start"):
        MarkovChain.from_tokens(["a", "b"]).sentences()


def test_runs_keep_copies_out(tmp_path, monkeypatch):
    import random
    from itertools import islice

    from zantu import MarkovChain
    from zantu.text import Runs, RunsBuilder

    draw = random.Random(4)
    vocabulary = "the a cat dog sat ran on in mat house , and but it was".split()
    text = "\n".join(" ".join(draw.choices(vocabulary, k=draw.randrange(8, 40))).capitalize() + "."
                     for _ in range(400))
    source = [tokens(s) for s in sentences(text)]
    runs = Runs.from_text(text)
    # Built in parts and merged, the same index; saved small, loaded back.
    cut = text.index("\n", len(text) // 2) + 1
    later = text.index("\n", (cut + len(text)) // 2) + 1
    first, second = RunsBuilder(), RunsBuilder()
    first.add(text[:cut])
    second.add(text[cut:later])
    # Through pickle, as a worker's part comes: added to again, then merged.
    second = pickle.loads(pickle.dumps(second))
    second.add(text[later:])
    first.merge(pickle.loads(pickle.dumps(second)))
    # Counted with the chain in one pass, the same index and the same chain;
    # a builder of lines, or runs of words, refused.
    fused = RunsBuilder()
    assert MarkovChain.from_text(text, 2, runs=fused) == MarkovChain.from_text(text, 2)
    assert fused.result()._encoded == runs._encoded
    with pytest.raises(ValueError, match="splits lines"):
        MarkovChain.from_text(text, runs=RunsBuilder(lines=True))
    with pytest.raises(ValueError, match="not of words"):
        MarkovChain().add_text(text, split="words", runs=RunsBuilder())
    runs.save(tmp_path / "r.runs")
    assert (tmp_path / "r.runs").stat().st_size < len(text) / 4
    loaded = Runs.load(tmp_path / "r.runs")
    assert first.result()._encoded == runs._encoded == loaded._encoded
    # Deflated in pieces on every core (as a large index is): the same index
    # loads back. A part with an id past its vocabulary is refused and
    # leaves the builder as it was.
    monkeypatch.setattr("zantu.text.DEFLATED_PIECE", 1000)
    runs.save(tmp_path / "p.runs")
    assert Runs.load(tmp_path / "p.runs")._encoded == runs._encoded
    damaged, joined = RunsBuilder(), RunsBuilder()
    damaged.add(text[cut:])
    damaged.ids += bytes([2, 0xC0, 0x84, 0x3D])  # 2, then 10 ** 6 as varints
    joined.add(text[:cut])
    before = bytes(joined.ids)
    with pytest.raises(ValueError, match="damaged"):
        joined.merge(damaged)
    assert joined.ids == before
    # Ranked by a thread of its own (as a large index is), the same index,
    # though an add after the ranking began fails (its new words kept in
    # the table); an id past the vocabulary is refused either way.
    monkeypatch.setattr(RunsBuilder, "RANKED_APART", 0)
    # Parts merged whose words the table has not yet (as a build's last
    # ones) are joined by that thread, in their order.
    late, middle, last = RunsBuilder(), RunsBuilder(), RunsBuilder()
    late.add(text[:cut])
    middle.add(text[cut:later])
    last.add(text[later:])
    middle.merge(last)  # a part that holds a part of its own
    late.merge(pickle.loads(pickle.dumps(middle)))
    late.rank_now()
    assert late._ranking_joins
    joined_late = late.result()
    assert (joined_late._vocabulary, joined_late._encoded) == (runs._vocabulary, runs._encoded)
    first.rank_now()
    with pytest.raises(BufferError):
        first.add("Zebras never sat.")
    assert "Zebras" in first.table
    assert first.result()._encoded == runs._encoded
    for apart in (1 << 22, 0):  # here, and by a thread
        monkeypatch.setattr(RunsBuilder, "RANKED_APART", apart)
        for damaged_ids in (bytes([0xC0, 0x84, 0x3D]), b"\x81", b"\xff\xff\xff\xff\x7f"):
            broken = RunsBuilder()
            broken.add(text[:cut])
            broken.ids += damaged_ids  # past the vocabulary, cut short, past 32 bits
            with pytest.raises(ValueError, match="damaged"):
                broken.result()

    def copied(words, width):
        grams = {tuple(s[i:i + width]) for s in source for i in range(len(s) - width + 1)}
        return any(tuple(words[i:i + width]) in grams for i in range(len(words) - width + 1))

    for order in (2, 3):
        chain = MarkovChain.from_text(text, order)
        kept = list(islice(chain.sentences(seed=order, runs=loaded), 40))
        assert kept
        for sentence in kept:
            words = tokens(sentence)
            assert not copied(words, min(15, round(0.7 * len(words)))) and not loaded.copies(words)
        # Without the index, copies come out; the index tells each as a
        # search of every run does, and so does a copy of it.
        free = list(islice(chain.sentences(seed=order), 200))
        assert any(copied(tokens(s), min(15, round(0.7 * len(tokens(s))))) for s in free)
        for words in [tokens(s) for s in free] + [source[7][:3], source[7][2:9] + ["dog"], ["zebra", "the"]]:
            for ratio, total in ((0.7, 15), (1.0, 4), (0.1, 1)):
                width = max(1, min(total, round(ratio * len(words))))
                assert loaded.copies(words, ratio, total) == copied(words, width), (words, width)
    assert pickle.loads(pickle.dumps(loaded)).copies(source[3]) is True
    # Varints that are cut short, too long or past the vocabulary: refused
    # by the search as it is made.
    for encoded in (b"\x02\x81", b"\xff\xff\xff\xff\xff\x01", b"\x01\x04\x00"):
        with pytest.raises(ValueError, match="damaged"):
            Runs(loaded._vocabulary[:3], encoded).copies(["the"])
    for damaged in (b"zantu-runs 1\nnot zlib", b"something else", b"zantu-runs 1\n" + __import__("zlib").compress(b"[1]\0")):
        (tmp_path / "bad.runs").write_bytes(damaged)
        with pytest.raises(ValueError):
            Runs.load(tmp_path / "bad.runs")
