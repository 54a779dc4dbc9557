"""The module frame: namespace, argument binding, import fallbacks and the
call-time lookup of module-level names."""

import io
import json as std_json
import math
import os
import subprocess
import sys
import textwrap
from collections import OrderedDict

import ijson
import pytest

import zantu_cjson
from conftest import EXAMPLE_ENTRIES, SHORTCUTS_OFF, SpyChain, SpyFile
from zantu.bag import ProbabilityBag

FUNCTIONS = [("dump_json_small", "frequency_compress"), ("load_json_small", "merge"),
             ("dump_json_big", "frequency_compress"), ("load_json_big", "merge")]


def test_namespace():
    ns = vars(zantu_cjson)
    assert zantu_cjson.__name__ == "zantu_cjson" and zantu_cjson.__doc__ is None
    assert ns["math"] is math and ns["OrderedDict"] is OrderedDict
    assert ns["ObjectBuilder"] is ijson.ObjectBuilder and ns["ProbabilityBag"] is ProbabilityBag
    assert ns["__test__"] == {}
    names = [n for n in ns if not n.startswith("__") or n == "__test__"]
    assert names == ["json", "math", "OrderedDict", "ObjectBuilder", "ProbabilityBag", "ijson",
                     "dump_json_small", "load_json_small", "dump_json_big", "load_json_big", "__test__"]


# Every supported interpreter has every shortcut (the same set on each);
# one reported off here means lost speed, not lost correctness.
ALL_SHORTCUTS = {"cached_lookups", "iterator_views", "encoder_texts", "document_text",
                 "ujson_load", "direct_load", "native_chain", "text_sink", "native_log10", "native_builder", "parser_blocks",
                 "native_parser", "piece_caches", "sorted_values", "held_rows", "resting_bags"}


def test_shortcuts_reported():
    report = zantu_cjson.__fast_paths__()
    assert set(report) == ALL_SHORTCUTS
    assert {name for name, on in report.items() if on} == (set() if SHORTCUTS_OFF else ALL_SHORTCUTS)
    if not SHORTCUTS_OFF:
        assert zantu_cjson.__fast_paths__(native_log10=False)["native_log10"] is False
        assert zantu_cjson.__fast_paths__(native_log10=True)["native_log10"] is True
        # A bad switch among good ones changes nothing.
        with pytest.raises(ValueError):
            zantu_cjson.__fast_paths__(native_log10=False, bogus=False)
        assert zantu_cjson.__fast_paths__()["native_log10"] is True
    with pytest.raises(ValueError, match="no fast path is called 'bogus'"):
        zantu_cjson.__fast_paths__(bogus=False)
    with pytest.raises(TypeError):
        zantu_cjson.__fast_paths__(True)


@pytest.mark.parametrize("name, flag", FUNCTIONS)
class TestArguments:
    def call(self, name, *args, **kwargs):
        with pytest.raises(TypeError) as err:
            getattr(zantu_cjson, name)(*args, **kwargs)
        return str(err.value)

    def test_counts(self, name, flag):
        assert self.call(name) == f"{name}() takes at least 2 positional arguments (0 given)"
        assert self.call(name, 1) == f"{name}() takes at least 2 positional arguments (1 given)"
        assert self.call(name, 1, 2, 3, 4) == f"{name}() takes at most 3 positional arguments (4 given)"
        assert self.call(name, 1, 2, 3, 4, x=1) == f"{name}() takes at most 3 positional arguments (4 given)"

    def test_counts_with_keywords(self, name, flag):
        assert self.call(name, file=1) == f"{name}() takes at least 2 positional arguments (0 given)"
        assert self.call(name, chain=1) == f"{name}() takes at least 2 positional arguments (1 given)"
        assert self.call(name, 1, **{flag: 1}) == f"{name}() takes at least 2 positional arguments (1 given)"
        # A missing parameter is reported before a bad keyword.
        assert self.call(name, bogus=1) == f"{name}() takes at least 2 positional arguments (0 given)"

    def test_bad_keywords(self, name, flag):
        assert self.call(name, 1, 2, bogus=3) == f"{name}() got an unexpected keyword argument 'bogus'"
        assert self.call(name, 1, 2, chain=3) == f"{name}() got multiple values for keyword argument 'chain'"
        assert self.call(name, 1, 2, 3, **{flag: 4}) == (
            f"{name}() got multiple values for keyword argument '{flag}'")
        # The first offending keyword, in the order given, is named.
        assert self.call(name, 1, 2, bogus=3, chain=4) == f"{name}() got an unexpected keyword argument 'bogus'"

    def test_signature(self, name, flag):
        default = "True" if flag == "frequency_compress" else "False"
        assert getattr(zantu_cjson, name).__text_signature__ == f"($module, /, chain, file, {flag}={default})"


@pytest.mark.parametrize("writer", ["dump_json_small", "dump_json_big"])
def test_keywords_bind_by_name(writer):
    out = SpyFile()
    getattr(zantu_cjson, writer)(file=out, frequency_compress=False, chain=SpyChain(EXAMPLE_ENTRIES))
    assert std_json.loads(out.getvalue())["codes"] == []


def test_readers_bind_by_name():
    chain = SpyChain()
    zantu_cjson.load_json_small(merge=True, file=io.StringIO('{"codes":[],"chain":[1,[[2],3]]}'), chain=chain)
    assert chain.log == [("add_to_bag", 1, [2], 3)]


def run_isolated(code):
    """Runs ``code`` in a fresh interpreter; returns its stdout."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


BLOCK = """
import sys
class Block:
    def __init__(self, *names): self.names = names
    def find_spec(self, name, path=None, target=None):
        if name in self.names: raise ImportError("blocked " + name)
sys.meta_path.insert(0, Block({names}))
"""


class TestImport:
    def test_without_ujson(self):
        out = run_isolated(BLOCK.format(names='"ujson"') + """
import json, zantu_cjson
print(zantu_cjson.json is json)
""")
        assert out == "True"

    def test_without_the_cffi_backend(self):
        out = run_isolated(BLOCK.format(names='"ijson.backends.yajl2_cffi"') + """
import ijson, zantu_cjson
print(zantu_cjson.ijson is ijson)
""")
        assert out == "True"

    def test_preferences_when_present(self):
        out = run_isolated("""
import importlib, zantu_cjson
try:
    importlib.import_module("ijson.backends.yajl2_cffi")
    cffi = True
except ImportError:
    cffi = False
print(zantu_cjson.json.__name__, zantu_cjson.ijson.__name__ == ("ijson.backends.yajl2_cffi" if cffi else "ijson"))
""")
        assert out == "ujson True"

    def test_other_errors_abort_and_leave_nothing(self):
        out = run_isolated("""
import sys
class Broken:
    def find_spec(self, name, path=None, target=None):
        if name == "ujson": raise RuntimeError("broken ujson")
sys.meta_path.insert(0, Broken())
try:
    import zantu_cjson
except RuntimeError as e:
    print(e, "zantu_cjson" in sys.modules)
""")
        assert out == "broken ujson False"

    @pytest.mark.skipif(sys.version_info < (3, 12), reason="dict watchers came with 3.12")
    def test_no_dict_watcher_left(self):
        # Another extension took every watcher slot: the lookups are made
        # afresh, reported off, and the import goes on.
        _testcapi = pytest.importorskip("_testcapi")
        out = run_isolated("""
import _testcapi
try:
    while True:
        _testcapi.add_dict_watcher(0)
except RuntimeError:
    pass
import io, zantu_cjson
from zantu import MarkovChain
chain = MarkovChain.from_tokens(["a", "b", "a"])
out = io.StringIO()
zantu_cjson.dump_json_big(chain, out)
print(zantu_cjson.__fast_paths__()["cached_lookups"], len(out.getvalue()) > 0)
""")
        assert out == "False True"

    def test_sub_interpreters_have_their_own_module(self):
        # Each sub-interpreter's codec fills chains with that interpreter's
        # own bag type and keeps its own switches; ending one leaves the
        # main interpreter's module as it was.
        out = run_isolated('''
import io, tempfile, zantu, zantu_cjson
from zantu.bag import ProbabilityBag
try:
    import _interpreters as interpreters
    def create(): return interpreters.create(interpreters.new_config("legacy"))
    def run(i, code): assert interpreters.run_string(i, code) is None
except ImportError:
    import _xxsubinterpreters as interpreters
    def create(): return interpreters.create(isolated=False)
    run = interpreters.run_string
out = tempfile.NamedTemporaryFile("r")
code = f"""
import io, zantu, zantu_cjson
from zantu.bag import ProbabilityBag
chain = zantu.MarkovChain.from_tokens("a b a c a b".split(), 1)
found = [id(ProbabilityBag) != {id(ProbabilityBag)}]
for dump, load in [(zantu_cjson.dump_json_small, zantu_cjson.load_json_small),
                   (zantu_cjson.dump_json_big, zantu_cjson.load_json_big)]:
    for native in (False, True):
        zantu_cjson.__fast_paths__(native_chain=native)
        text = io.StringIO()
        dump(chain, text)
        loaded = zantu.MarkovChain()
        load(loaded, io.StringIO(text.getvalue()))
        found.append(loaded == chain and all(type(bag) is ProbabilityBag for _, bag in loaded.items()))
zantu_cjson.__fast_paths__(native_chain=False)
open({out.name!r}, "a").write(str(all(found)) + " ")
"""
for _ in range(2):
    interpreter = create()
    run(interpreter, code)
    interpreters.destroy(interpreter)
chain = zantu.MarkovChain.from_tokens("x y x".split())
text = io.StringIO()
zantu_cjson.dump_json_big(chain, text)
loaded = zantu.MarkovChain()
zantu_cjson.load_json_small(loaded, io.StringIO(text.getvalue()))
print(out.read(), zantu_cjson.__fast_paths__()["native_chain"], loaded == chain)
''')
        assert out == "True True  True True"

    def test_missing_ijson_fails(self):
        out = run_isolated(BLOCK.format(names='"ijson"') + """
try:
    import zantu_cjson
except ImportError as e:
    print("ImportError")
""")
        assert out == "ImportError"

    def test_second_import_is_the_same_module(self):
        out = run_isolated("""
import importlib, zantu_cjson
print(importlib.import_module("zantu_cjson") is zantu_cjson)
""")
        assert out == "True"


class TestRebinding:
    def test_encoder_is_looked_up_at_call_time(self, rebind, example_chain):
        rebind("json", std_json)
        out = SpyFile()
        zantu_cjson.dump_json_small(example_chain, out)
        assert out.getvalue().startswith('{"codes": [0,')

    def test_spy_encoder(self, rebind, example_chain):
        calls = []

        class Encoder:
            @staticmethod
            def dumps(v):
                calls.append(("dumps", v))
                return std_json.dumps(v)

            @staticmethod
            def dump(doc, file):
                calls.append(("dump", type(doc).__name__, list(doc), file))

        out = SpyFile()
        rebind("json", Encoder)
        zantu_cjson.dump_json_small(example_chain, out)
        assert calls == [("dumps", "a"), ("dumps", "b"), ("dumps", "c"), ("dump", "OrderedDict",
                                                                           ["codes", "chain"], out)]

    def test_spy_math_and_ordered_dict(self, rebind):
        logs, seen = [], []

        class Math:
            @staticmethod
            def log10(x):
                logs.append(x)
                return math.log10(x)

        def ordered(pairs):
            seen.append(pairs)
            return OrderedDict(pairs)

        rebind("math", Math)
        rebind("OrderedDict", ordered)
        out = SpyFile()
        zantu_cjson.dump_json_small(SpyChain([], [(str(i), 1) for i in range(12)]), out)
        assert logs == [10, 11]
        assert seen == [(("codes", [0, "0", 1, "1", 2, "2", 3, "3", 4, "4", 5, "5", 6, "6", 7, "7", 8, "8",
                                    9, "9", 10, "10", 11, "11"]), ("chain", ()))]

    def test_log10_changed_while_the_table_is_made(self, rebind, monkeypatch):
        # math.log10 replaced on the math module itself from inside dumps:
        # the positions after it are measured by the new one.
        logs = []

        def dumps(value):
            if value == "12":
                monkeypatch.setattr(math, "log10", lambda x: logs.append(x) or 9.0)
            return std_json.dumps(value)

        rebind("json", type("Encoder", (), {"dumps": staticmethod(dumps)}))
        out = SpyFile()
        zantu_cjson.dump_json_big(SpyChain([], [(str(i), 1) for i in range(14)]), out)
        assert logs == [12, 13]
        assert out.pieces[11:15] == ['10,"10",', '11,"11",', '"12","12",', '"13","13"']

    @pytest.mark.parametrize("name", ["json", "math", "OrderedDict"])
    def test_name_in_neither_place(self, rebind, name):
        rebind(name, SENTINEL_MISSING)
        with pytest.raises(NameError) as err:
            zantu_cjson.dump_json_small(SpyChain([], [(str(i), 1) for i in range(11)]), SpyFile())
        assert str(err.value) == f"name '{name}' is not defined"

    def test_builtins_second(self, rebind):
        import builtins
        rebind("json", SENTINEL_MISSING)
        builtins.json = std_json
        try:
            out = SpyFile()
            zantu_cjson.dump_json_small(SpyChain([], []), out)
            assert out.getvalue() == '{"codes": [], "chain": []}'
        finally:
            del builtins.json


from conftest import _MISSING as SENTINEL_MISSING  # noqa: E402


USER_SCRIPT = """
import io
import zantu_cjson
from zantu import MarkovChain

chain = MarkovChain.from_tokens("the cat sat on the mat".split())
out = io.StringIO()
zantu_cjson.dump_json_big(chain, out)
loaded = MarkovChain()
zantu_cjson.load_json_small(loaded, io.StringIO(out.getvalue()), merge=False)
with open("chain.json", "rb") as f:
    zantu_cjson.load_json_big(loaded, f)
starts: int = len(loaded)
"""


@pytest.mark.skipif(SHORTCUTS_OFF or bool(os.environ.get("ZANTU_SANITIZED")),
                    reason="the same fresh install as the suite's plain run (where it is checked), the "
                           "package built again from source: the shortcuts switch and the sanitizer are not in it")
def test_types_in_a_fresh_environment(tmp_path):
    # The package installed as a user installs it, and a user's script type
    # checked outside the checkout: the stub package is found, and it types
    # the arguments (a wrong one is an error, not Any).
    from pathlib import Path
    checkout = Path(__file__).resolve().parent.parent
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    python = str(venv / "bin" / "python")
    installed = subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(checkout),
                                "mypy"], capture_output=True, text=True, timeout=900)
    assert installed.returncode == 0, installed.stderr[-2000:]
    good, bad = tmp_path / "good.py", tmp_path / "bad.py"
    good.write_text(USER_SCRIPT)
    bad.write_text(USER_SCRIPT + "zantu_cjson.dump_json_small(42, out)\nzantu_cjson.load_json_big(loaded, 3.5)\n")
    for script, errors in ((good, 0), (bad, 2)):
        checked = subprocess.run([python, "-m", "mypy", "--strict", "--no-incremental", script.name],
                                 cwd=tmp_path, capture_output=True, text=True, timeout=600)
        assert checked.stdout.count("error:") == errors, checked.stdout
