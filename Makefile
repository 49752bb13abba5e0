# Two commands do everything:
#   make run    install zarn into .venv and run the main job
#   make test   build and run every test (C++ suites, then Python suites)
# On a machine without Python 3.14 the commands run inside the project's
# development root (../shared/devroot/run), so the words are the same everywhere.

PYTHON ?= python3.14
DEVROOT := ../shared/devroot/run
IN := $(if $(shell command -v $(PYTHON) 2>/dev/null),,$(if $(wildcard $(DEVROOT)),$(DEVROOT),))
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2

.PHONY: run test install venv cpp-test py-test servers clean

run: install
	$(IN) $(VPY) examples/quickstart.py
	$(IN) $(VPY) examples/host.py

test: cpp-test py-test

venv: $(VPY)
$(VPY):
	$(IN) $(PYTHON) -m venv --system-site-packages $(VENV)

install: venv
	$(IN) $(VPY) -m pip install --no-build-isolation --no-deps --quiet .

cpp-test:
	$(IN) cmake --preset dev
	$(IN) cmake --build build/dev -j $(JOBS)
	$(IN) ctest --test-dir build/dev -j $(JOBS) --output-on-failure

py-test: install servers
	$(IN) env ZARN_JSON_ECHO=build/dev/zarn_json_echo ZARN_REQUIRE_SERVERS=$(ZARN_REQUIRE_SERVERS) $(VPY) -m pytest -q -p no:cacheprovider tests/python

# The public tool servers that the gateway's tests run, installed by this
# machine's own npm (outside the development root, whose certificates do not
# match the registry's proxy) when npm is here and the install is missing or
# older than the lock file. Without them those tests skip, unless
# ZARN_REQUIRE_SERVERS=1 (CI) makes them fail instead.
SERVERS := tests/servers
servers: $(if $(shell command -v npm 2>/dev/null),$(SERVERS)/node_modules/.package-lock.json)
$(SERVERS)/node_modules/.package-lock.json: $(SERVERS)/package.json $(SERVERS)/package-lock.json
	cd $(SERVERS) && npm ci --no-audit --no-fund --loglevel=error
	touch $@

clean:
	rm -rf build $(VENV)
