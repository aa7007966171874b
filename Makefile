# fluxkern: make test | make demo | make bench | make lint | make test-asan | make mpi-env | make test-mpi
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

.PHONY: test demo bench lint test-asan install clean mpi-env test-mpi

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

# Errors only (see [tool.ruff] in pyproject.toml).
lint: $(VENV)/.deps
	$(PY) -m ruff check fluxkern_tools tests benchmarks examples

demo: install
	$(PY) -m fluxkern_tools demo

bench: install
	$(PY) -m fluxkern_tools bench

# The module built with AddressSanitizer and UndefinedBehaviorSanitizer, into
# its own directory that shadows the regular build on PYTHONPATH (the test
# dependencies come from .venv).  The interpreter is not instrumented, so the
# ASan runtime is preloaded; PYTHONMALLOC=malloc puts every host object under
# ASan too, so a reference released once too often shows as a use after free.
# LeakSanitizer stays off: the interpreter keeps its memory at exit.
# FLUXKERN_ASAN tells the tests, which skip what ASan cannot run (address-
# space limits: ASan reserves terabytes of shadow memory).
ASAN_SITE := build/asan-site
# The CI subset: the tests that reach the module with odd and with valid
# input, and those of the compiled summation; the companion's own tests
# (meshes, materials, solvers, demo) add time but no new paths through the module.
ASAN_TESTS ?= $(addprefix tests/module/,test_fuzz.py test_module_frame.py test_rejections.py \
  test_leaks.py test_threads.py test_scalar_potential.py test_vector_potential.py \
  test_biot_savart.py test_output_buffers.py) tests/fem/test_summation.py
ASAN_ENV := FLUXKERN_ASAN=1 PYTHONPATH=$(abspath $(ASAN_SITE)) PYTHONMALLOC=malloc \
  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
test-asan: $(VENV)/.deps
	rm -rf $(ASAN_SITE)
	FLUXKERN_SANITIZE=ON $(PY) -m pip install -q --no-build-isolation --no-deps \
	  --config-settings=build-dir=build/asan --target $(ASAN_SITE) .
	$(ASAN_ENV) $(PY) -c 'import fluxkern_mod; print("sanitized module:", fluxkern_mod.__file__)'
	$(ASAN_ENV) $(PY) -m pytest -q -p no:cacheprovider $(ASAN_TESTS)

# The distributed backend (optional): Debian's PETSc 3.18 (with hypre and MUMPS) and
# Open MPI, then mpi4py and petsc4py built for .venv's Python against them (petsc4py
# compiles for about two minutes). Nothing else needs them.
PETSC_DIR ?= /usr/lib/petscdir/petsc3.18/x86_64-linux-gnu-real
MPI_DEBS := petsc-dev libopenmpi-dev openmpi-bin
mpi-env: $(VENV)/.mpi
$(VENV)/.mpi: $(VENV)/.deps
	@if ! dpkg -s $(MPI_DEBS) >/dev/null 2>&1 || [ ! -d "$(PETSC_DIR)" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $(MPI_DEBS); \
	  elif command -v sudo >/dev/null; then \
	    sudo apt-get update && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y $(MPI_DEBS); \
	  else echo "*** install the Debian packages $(MPI_DEBS) first"; exit 1; fi; \
	fi
	$(PY) -m pip install -q "cython<3.1" setuptools wheel "mpi4py>=3.1"
	PETSC_DIR=$(PETSC_DIR) $(PY) -m pip install -q --no-build-isolation petsc4py==3.18.5
	$(PY) -c 'import petsc4py; petsc4py.init(); from petsc4py import PETSc; \
	  print("petsc4py", petsc4py.__version__, "on PETSc", PETSc.Sys.getVersion())'
	touch $@

# The distributed tests: each runs its cases under mpiexec with 1, 2 and 3 processes
# (Open MPI refuses root without the two variables; --oversubscribe is in the tests).
test-mpi: install mpi-env
	OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 FLUXKERN_REQUIRE_MPI=1 \
	  $(PY) -m pytest -q -p no:cacheprovider tests/solvers/test_distributed.py \
	  tests/solvers/test_partition.py tests/solvers/test_plex.py

clean:
	rm -rf build $(VENV)
