# Set-up, build and checks on Debian 12.  Every target installs what it needs,
# so `make test` works on a fresh machine; running it again changes nothing.

PYTHON      := /usr/bin/python3.11
VENV        := .venv
VENV_PYTHON := $(VENV)/bin/python
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

DEBIAN_PACKAGES := g++ make python3.11 python3.11-dev python3.11-venv \
                   python3-pip python3-setuptools python3-wheel \
                   python3-pytest python3-keyring python3-cryptography
# The property-based tests of `make test`.
DEBIAN_PACKAGES += python3-hypothesis

SOURCES := setup.py pyproject.toml $(wildcard frame/*.cpp frame/*.hpp) \
           $(shell find tarnix -name '*.cpp' -o -name '*.py' 2>/dev/null)

.PHONY: build test demo bench test-asan test-leaks check debian-packages clean

build: $(VENV)/.built

test: build
	$(VENV_PYTHON) -m pytest -q

demo: build
	$(VENV_PYTHON) examples/demo.py

bench: build
	$(VENV_PYTHON) bench/run.py

# The whole suite against the checked builds (tools/checked.sh), each in a
# virtual environment of its own: AddressSanitizer and UBSan in .venv-asan;
# the debug interpreter, with the reference-leak test, in .venv-debug.
test-asan: .venv-asan/.built
	tools/checked.sh asan test

test-leaks: .venv-debug/.built
	tools/checked.sh debug test

check: test test-asan test-leaks

.venv-asan/.built: $(SOURCES) | debian-packages
	tools/checked.sh asan build
	touch $@

.venv-debug/.built: $(SOURCES) | debian-packages
	$(call install_missing,python3.11-dbg)
	tools/checked.sh debug build
	touch $@

# apt-get runs only when a package is missing, and updates its lists once.
define install_missing
	@missing=""; for pkg in $(1); do \
	  dpkg-query -W -f='$${Status}' $$pkg 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $$missing; \
	fi
endef

debian-packages:
	$(call install_missing,$(DEBIAN_PACKAGES))

$(VENV)/bin/python: | debian-packages
	$(PYTHON) -m venv --system-site-packages $(VENV)

# Editable install: the extension modules are built in place beside their
# sources and rebuilt whenever a source changes.
$(VENV)/.built: $(SOURCES) | $(VENV)/bin/python
	$(MAKE) --no-print-directory debian-packages
	$(VENV_PYTHON) -m pip install --no-build-isolation --no-index --no-deps -q -e .
	touch $@

clean:
	rm -rf $(VENV) .venv-asan .venv-debug build *.egg-info tarnix/*.egg-info
	find tarnix -name '*.so' -delete
