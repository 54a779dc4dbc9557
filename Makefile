# Set-up and everyday commands; each target builds what it needs in .venv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# Warnings are errors in development and CI.
BUILD_FLAGS ?= -Ccmake.define.ZANTU_WERROR=ON
SOURCES := pyproject.toml CMakeLists.txt zantu_cjson.pyi $(wildcard zantu/*.cpp zantu/*.h zantu/*.py)

.PHONY: install test demo clean asan-install test-asan

install: $(VENV)/.installed

$(VENV)/.installed: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) '.[test]'
	touch $@

test: install
	$(PY) -m pytest -q -p no:cacheprovider tests

demo: install
	$(PY) -m zantu demo

# The whole suite once more on an AddressSanitizer + UBSan build, in its own
# environment. Python's allocator is switched to malloc so that the sanitizer
# sees every object; its leak report is off (the interpreter keeps objects
# alive at exit on purpose).
ASAN_VENV ?= .venv-asan
ASAN_PY := $(ASAN_VENV)/bin/python
SANITIZER_ENV = ZANTU_SANITIZED=1 PYTHONMALLOC=malloc \
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

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
