# Set-up and everyday commands; each target builds what it needs in .venv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# Warnings are errors in development and CI; debug information for
# valgrind's and gdb's reports (release wheels have none).
BUILD_FLAGS ?= -Ccmake.define.ZANTU_WERROR=ON -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false
# The development build keeps its folder in build/ for quick rebuilds (the
# package's own default builds outside the source tree).
DEV_BUILD_DIR ?= -Cbuild-dir=build/{wheel_tag}
SOURCES := pyproject.toml CMakeLists.txt zantu_cjson-stubs/__init__.pyi $(wildcard src/*/*)

.PHONY: install test demo clean asan-install test-asan memcheck fuzz-install fuzz typecheck bench bench-check \
	bench-instructions

install: $(VENV)/.installed

$(VENV)/.installed: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) $(DEV_BUILD_DIR) '.[test,cli,dask]'
	touch $@ $(VENV)/.installed-demo

# The demo needs the package and its progress bars only.
$(VENV)/.installed-demo: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) $(DEV_BUILD_DIR) '.[cli]'
	touch $@

test: install
	$(PY) -m pytest -q -p no:cacheprovider tests

# The package's annotations and the extension's stub, against the built module.
typecheck: install
	$(PY) -m mypy
	$(PY) -m mypy.stubtest zantu_cjson zantu._native

# Benchmarks: ratios against the irreducible work, measured in one run
# (results in bench-results/). bench-check exits 1 when a goal is missed.
BENCH_FLAGS ?=
# The chain against its baselines; --build-mb 80 times `zantu build` on 80 MB.
CHAIN_BENCH_FLAGS ?= --build-mb 80
bench: install
	$(PY) -m pip install -q --disable-pip-version-check matplotlib markovify pysbd
	$(PY) benchmarks/bench.py $(BENCH_FLAGS)
	$(PY) benchmarks/chain_bench.py $(CHAIN_BENCH_FLAGS)
	$(PY) benchmarks/shortcuts.py
	$(PY) benchmarks/shortcuts.py --corpus mixed
	$(PY) benchmarks/text_bench.py
	$(PY) benchmarks/splitter_bench.py
	$(PY) benchmarks/throughput.py

# What each of the codec's own tricks saves, in instructions (valgrind).
bench-instructions: install
	$(PY) benchmarks/instructions.py

bench-check: install
	$(PY) benchmarks/bench.py --check $(BENCH_FLAGS)

demo: $(VENV)/.installed-demo
	$(PY) -m zantu demo

# The whole suite once more on an AddressSanitizer + UBSan build, in its own
# environment. Python's allocator is switched to malloc so that the sanitizer
# sees every object; its leak report is off (the interpreter keeps objects
# alive at exit on purpose), and the leak loops run 1 000 times instead of
# 10 000, checking reference counts only (every other run of the suite also
# bounds memory over 10 000 calls; here every path runs for what the
# sanitizers see).
ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_ENV = ZANTU_SANITIZED=1 ZANTU_LEAK_RUNS=1000 PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)"

asan-install: $(ASAN_VENV)/.installed

$(ASAN_VENV)/.installed: $(SOURCES)
	test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_PY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) \
		-Ccmake.define.ZANTU_SANITIZE=ON -Cbuild-dir=build/asan '.[test]'
	touch $@

test-asan: asan-install
	$(SANITIZER_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider tests

# The suite under valgrind's memcheck, Python's allocator switched to malloc.
# The hostile-input batches run in child processes of their own and are left
# out; the leak loops run 200 times instead of 10 000.
memcheck: install
	PYTHONMALLOC=malloc ZANTU_MEMCHECK=1 ZANTU_LEAK_RUNS=200 valgrind --tool=memcheck --error-exitcode=99 \
		--suppressions=tools/valgrind-python.supp --leak-check=no --num-callers=40 \
		$(PY) -m pytest -q -p no:cacheprovider tests --deselect tests/test_hostile.py

# Coverage-guided fuzzing of both readers with atheris, on a clang build with
# coverage, ASan and UBSan: make fuzz FUZZ_SECONDS=600. Needs Debian's clang.
FUZZ_VENV ?= .venv-fuzz
FUZZ_PY := $(FUZZ_VENV)/bin/python
FUZZ_SECONDS ?= 60
FUZZ_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LD_PRELOAD="$$($(FUZZ_PY) -c 'import atheris, os; print(os.path.join(atheris.path(), "asan_with_fuzzer.so"))')"

fuzz-install: $(FUZZ_VENV)/.installed

$(FUZZ_VENV)/.installed: $(SOURCES)
	test -x $(FUZZ_PY) || $(PYTHON) -m venv $(FUZZ_VENV)
	$(FUZZ_PY) -m pip install -q --disable-pip-version-check atheris
	CC=clang CXX=clang++ $(FUZZ_PY) -m pip install -q --disable-pip-version-check \
		-Ccmake.define.ZANTU_FUZZ=ON -Cinstall.strip=false -Cbuild-dir=build/fuzz .
	touch $@

fuzz: fuzz-install install
	$(PY) fuzz/make_corpus.py build/fuzz-corpus/small
	$(PY) fuzz/make_corpus.py build/fuzz-corpus/big
	$(FUZZ_ENV) $(FUZZ_PY) fuzz/fuzz_load.py small build/fuzz-corpus/small -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096
	$(FUZZ_ENV) $(FUZZ_PY) fuzz/fuzz_load.py big build/fuzz-corpus/big -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=4096

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(FUZZ_VENV)
