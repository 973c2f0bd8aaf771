# The two commands that do all set-up on a fresh machine:
#   make demo   runs the main job (a Gaussian pulse absorbed by the layers)
#   make test   runs the test suite, then the CPU tests and a minute of the
#               fuzzer under AddressSanitizer and UndefinedBehaviorSanitizer
#               (tools/sanitize.sh)
#   make fuzz SECONDS=600   the fuzzer alone under the sanitizers, longer
PYTHON ?= python3

.PHONY: setup demo test fuzz
SECONDS ?= 600

setup:
	PYTHON=$(PYTHON) bash tools/setup.sh

demo: setup
	$(PYTHON) -m orvane_sim

test: setup
	$(PYTHON) -m pytest -q
	PYTHON=$(PYTHON) bash tools/sanitize.sh

fuzz: setup
	PYTHON=$(PYTHON) bash tools/sanitize.sh fuzz $(SECONDS)
