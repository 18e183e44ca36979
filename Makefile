# Two entry points on a fresh machine:
#   make demo   build into .venv and run the example
#   make test   build into .venv and run every test
# PYTHON=python3.11 (a name or a path; CPython 3.11 or newer) picks the
# interpreter. One that is not a 3.13 gets a venv of its own, .venv-3.11 here,
# so .venv stays the 3.13 one.
ifneq ($(strip $(PYTHON)),)
INTERP := $(shell PYTHON='$(PYTHON)' tools/find-python.sh)
ifeq ($(INTERP),)
$(error no interpreter for PYTHON=$(PYTHON))
endif
PYVER  := $(shell '$(INTERP)' -c 'import sys; print("%d.%d" % sys.version_info[:2])')
else
PYVER  := $(or $(CORVID_PY_VERSION),3.13)
endif
VENV   := $(if $(filter 3.13,$(PYVER)),.venv,.venv-$(PYVER))
PY     := $(VENV)/bin/python
PIP    := $(PY) -m pip
# pyproject.toml's build requirements (version bounds included), and the tools.
BUILD_DEPS := $$($(PY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])') ninja cmake

.PHONY: demo test test-torch coverage install venv bench clean

$(PY):
	@interp=$$(tools/find-python.sh) || exit 1; \
	echo "creating $(VENV) with $$interp"; \
	"$$interp" -m venv $(VENV)
	$(PIP) install -q --upgrade pip

venv: $(PY)

# Build dependencies live in the venv so rebuilds need no isolated env.
install: $(PY)
	$(PIP) install -q $(BUILD_DEPS)
	$(PIP) install -q --no-build-isolation ".[test,demo]"

demo: install
	@echo "== overflow: a numpy script whose heavy calls run in worker processes"
	$(PY) examples/overflow_demo.py
	@echo "== serve: a worker turn loop driven through its input file"
	$(PY) examples/serve_demo.py

test: install
	@$(PY) -m pytest -q tests; rc=$$?; \
	if [ $$rc -eq 5 ]; then echo "no tests collected"; rc=0; fi; exit $$rc

# The tests marked torch, against real torch. Its CPU build is pinned exactly:
# an unpinned torch resolves to a CUDA build of several GB. That build is a
# Python 3.11 wheel, so the lane has a 3.11 venv of its own, .venv-torch, and
# builds into build/torch-<wheel tag>, apart from `make test PYTHON=python3.11`.
TORCH_PIN    := torch==2.13.0+cpu
TORCH_PYTHON ?= python3.11
TORCH_VENV   := .venv-torch
TORCH_PY     := $(TORCH_VENV)/bin/python
# Build requirements and the pytest plugins of the test extra, from pyproject.toml.
TORCH_DEPS   := $$($(TORCH_PY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb")); print(*p["build-system"]["requires"], *(r for r in p["project"]["optional-dependencies"]["test"] if r.startswith("pytest")))') ninja cmake

$(TORCH_PY):
	@interp=$$(PYTHON='$(TORCH_PYTHON)' tools/find-python.sh) || exit 1; \
	echo "creating $(TORCH_VENV) with $$interp"; \
	"$$interp" -m venv $(TORCH_VENV)
	$(TORCH_PY) -m pip install -q --upgrade pip

test-torch: $(TORCH_PY)
	$(TORCH_PY) -m pip install -q '$(TORCH_PIN)' $(TORCH_DEPS)
	$(TORCH_PY) -m pip install -q --no-build-isolation -C build-dir='build/torch-{wheel_tag}' ".[demo]"
	@$(TORCH_PY) -c 'import torch, numpy; print("torch", torch.__version__, "numpy", numpy.__version__)'
	@$(TORCH_PY) -m pytest -q -m torch tests

# The test suite under coverage (the monitor's trace hook forwards every event
# to coverage's tracer, so the run records the same lines as without it).
coverage: install
	@$(PY) -m coverage run -m pytest -q tests; rc=$$?; \
	if [ $$rc -eq 5 ]; then rc=0; fi; \
	$(PY) -m coverage report -i --omit='/tmp/*' | tail -n 1; exit $$rc

bench: install
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

clean:
	rm -rf build dist *.egg-info
