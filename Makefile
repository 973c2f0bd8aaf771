# The two commands that do all set-up on a fresh machine:
#   make demo   runs the main job (a Gaussian pulse absorbed by the layers)
#   make test   runs the test suite, then the CPU field tests again under
#               AddressSanitizer (tools/asan_check.sh), then the install
#               without a CUDA compiler (tools/install_check.sh)
# Both work for any interpreter: make test PYTHON=.venv/bin/python
PYTHON ?= python3

.PHONY: setup demo test

setup:
	PYTHON=$(PYTHON) bash tools/setup.sh

demo: setup
	$(PYTHON) -m orvane_sim

test: setup
	$(PYTHON) -m pytest -q
	PYTHON=$(PYTHON) bash tools/asan_check.sh
	PYTHON=$(PYTHON) bash tools/install_check.sh
