# The two commands that do all set-up on a fresh machine:
#   make demo   runs the main job: reflectance and transmittance of a
#               dielectric slab against the Airy formula, an error table and
#               a plot (slab_spectra.png)
#   make test   runs the test suite (physics runs included), then the CPU
#               tests and a minute of the fuzzer under AddressSanitizer and
#               UndefinedBehaviorSanitizer (tools/sanitize.sh), then the
#               install without a CUDA compiler (tools/install_check.sh)
# and more:
#   make pulse  the pulse-absorption run (a Gaussian pulse in a box of layers)
#   make fuzz SECONDS=600   the fuzzer alone under the sanitizers, longer
# All work for any interpreter: make test PYTHON=.venv/bin/python. Without
# one, tools/interpreter.sh picks python3, or, where python3 is a system
# interpreter that refuses pip installs (Debian's, Ubuntu's), a virtual
# environment of its own outside the clone, made on first use.
ifeq ($(origin PYTHON), undefined)
PYTHON := $(shell bash tools/interpreter.sh)
ifeq ($(PYTHON),)
$(error no interpreter to use: see the message above)
endif
endif

.PHONY: setup demo pulse test fuzz
SECONDS ?= 600

setup:
	PYTHON=$(PYTHON) bash tools/setup.sh

demo: setup
	$(PYTHON) -m orvane_sim

pulse: setup
	$(PYTHON) -m orvane_sim pulse

test: setup
	$(PYTHON) -m pytest -q
	PYTHON=$(PYTHON) bash tools/sanitize.sh
	PYTHON=$(PYTHON) bash tools/install_check.sh

fuzz: setup
	PYTHON=$(PYTHON) bash tools/sanitize.sh fuzz $(SECONDS)
