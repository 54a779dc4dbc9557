# Set-up and everyday commands; each target builds what it needs in .venv.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
# Warnings are errors in development and CI.
BUILD_FLAGS ?= -Ccmake.define.ZANTU_WERROR=ON
SOURCES := pyproject.toml CMakeLists.txt zantu_cjson.pyi $(wildcard zantu/*.cpp zantu/*.h zantu/*.py)

.PHONY: install test demo clean

install: $(VENV)/.installed

$(VENV)/.installed: $(SOURCES)
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --disable-pip-version-check $(BUILD_FLAGS) '.[test]'
	touch $@

test: install
	$(PY) -m pytest -q -p no:cacheprovider tests

demo: install
	$(PY) -m zantu demo

clean:
	rm -rf build $(VENV)
