# fluxkern: make test | make demo | make bench | make test-asan
#
# Everything runs inside .venv, created with CPython 3.10 (the module's host).
# A plain machine has python3.10 on PATH; pyenv machines answer only with
# PYENV_VERSION=3.10.  Without any 3.10 we fall back to python3 and say so.

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2" "cmake>=3.18" ninja

HOST_PY := $(shell \
  if python3.10 -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1; then echo python3.10; \
  elif PYENV_VERSION=3.10 python3.10 -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1; then echo "env PYENV_VERSION=3.10 python3.10"; \
  fi)

.PHONY: test demo bench test-asan install clean

$(VENV)/.deps: pyproject.toml
	@if [ -z '$(HOST_PY)' ]; then \
	  echo "*** No CPython 3.10 found (neither python3.10 nor PYENV_VERSION=3.10 python3.10)."; \
	  echo "*** Falling back to python3 ($$(python3 -V 2>&1)); the module's host version is 3.10."; \
	  python3 -m venv $(VENV); \
	else \
	  $(HOST_PY) -m venv $(VENV); \
	fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q --no-build-isolation ".[test]"
	touch $@

# Rebuilds incrementally (the CMake tree lives in build/) and reinstalls.
install: $(VENV)/.deps
	$(PY) -m pip install -q --no-build-isolation --no-deps .

test: install
	$(PY) -m pytest -q

demo: install
	$(PY) -m fluxkern_tools demo

bench: install
	$(PY) -m fluxkern_tools bench

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer; the
# interpreter is not instrumented, so the ASan runtime is preloaded.
ASAN_VENV := build/asan-venv
test-asan: $(VENV)/.deps
	rm -rf $(ASAN_VENV)
	$(PY) -m venv --system-site-packages $(ASAN_VENV)
	FLUXKERN_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=build/asan .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  $(ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

clean:
	rm -rf build $(VENV)
