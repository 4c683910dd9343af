# Set-up, build and checks on Debian 12.  Every target installs what it needs,
# so `make test` works on a fresh machine; running it again changes nothing.

PYTHON      := /usr/bin/python3.11
VENV        := .venv
VENV_PYTHON := $(VENV)/bin/python
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

DEBIAN_PACKAGES := g++ make python3.11 python3.11-dev python3.11-venv \
                   python3-pip python3-setuptools python3-wheel \
                   python3-pytest python3-keyring python3-cryptography

SOURCES := setup.py pyproject.toml $(wildcard frame/*.cpp frame/*.hpp frame/compat/*.cpp frame/compat/*.hpp) \
           $(shell find tarnix -name '*.cpp' -o -name '*.py' 2>/dev/null)
STUBS   := $(shell find tarnix -name '*.pyi' 2>/dev/null)
# The second wheel: the stand-ins for the tool's own modules, from the same files.
STAND_INS := stand-ins/pyproject.toml stand-ins/README.md

# What the suites need beyond the build: a real secret store (a private D-Bus
# session with gnome-keyring-daemon), the type checker, property-based tests,
# a headless browser for Playwright to drive, and the debug interpreter.
TEST_PACKAGES := dbus-daemon gnome-keyring python3-secretstorage python3-mypy \
                 python3-hypothesis python3.11-dbg
NATIVE_MODULES := tarnix.auth.storage.login_vault tarnix.seller_sprite.scraping.feed_catcher

.PHONY: build test typecheck wheel demo bench test-asan test-leaks check \
        debian-packages test-packages clean

build: $(VENV)/.built

# The wheel comes first: a test installs it into a fresh environment.
test: test-packages build wheel typecheck
	$(VENV_PYTHON) -m pytest -q

# The stubs against the built modules, and the examples under --strict.
typecheck: test-packages build
	$(VENV_PYTHON) -m mypy.stubtest $(NATIVE_MODULES)
	$(VENV_PYTHON) -m mypy --strict examples

# Two wheels in dist/, built offline from the Debian toolchain: the native
# modules (tarnix-native), which is all that goes beside the installed tool,
# and the stand-ins for the tool's own modules (tarnix-tool-stand-ins), for
# environments without it.  The native build tree is reused, so only changed
# sources are compiled again; the stand-ins' is made afresh each time.
wheel: dist/.wheel

dist/.wheel: $(SOURCES) $(STUBS) $(STAND_INS) README.md LICENSE | $(VENV)/bin/python
	$(MAKE) --no-print-directory debian-packages
	rm -f dist/*.whl
	$(VENV_PYTHON) -m pip wheel --no-build-isolation --no-index --no-deps -q -w dist .
	rm -rf stand-ins/build
	$(VENV_PYTHON) -m pip wheel --no-build-isolation --no-index --no-deps -q -w dist ./stand-ins
	touch $@

demo: build
	$(VENV_PYTHON) examples/demo.py

bench: build
	$(VENV_PYTHON) bench/run.py

# The whole suite against the checked builds (tools/checked.sh), each in a
# virtual environment of its own: AddressSanitizer and UBSan in .venv-asan;
# the debug interpreter, with the reference-leak test, in .venv-debug.
test-asan: test-packages .venv-asan/.built
	tools/checked.sh asan test

test-leaks: test-packages .venv-debug/.built
	tools/checked.sh debug test

check: test test-asan test-leaks

.venv-asan/.built: $(SOURCES) | debian-packages
	tools/checked.sh asan build
	touch $@

.venv-debug/.built: $(SOURCES) | test-packages
	tools/checked.sh debug build
	touch $@

# apt-get runs only when a package is missing, and updates its lists once.
# An optional second argument goes to `apt-get install` as options.
define install_missing
	@missing=""; for pkg in $(1); do \
	  dpkg-query -W -f='$${Status}' $$pkg 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $(2) $$missing; \
	fi
endef

debian-packages:
	$(call install_missing,$(DEBIAN_PACKAGES))

# The browser without recommends: they would bring a desktop's worth.
test-packages: debian-packages
	$(call install_missing,$(TEST_PACKAGES))
	$(call install_missing,chromium,--no-install-recommends)

$(VENV)/bin/python: | debian-packages
	$(PYTHON) -m venv --system-site-packages $(VENV)

# Editable install: the extension modules are built in place beside their
# sources and rebuilt whenever a source changes.  The compat mode puts the
# tree on sys.path through a .pth file instead of an import hook, so type
# checkers and editors run outside the tree find the stubs too.
$(VENV)/.built: $(SOURCES) | $(VENV)/bin/python
	$(MAKE) --no-print-directory debian-packages
	$(VENV_PYTHON) -m pip install --no-build-isolation --no-index --no-deps -q -e . \
	    --config-settings editable_mode=compat
	touch $@

clean:
	rm -rf $(VENV) .venv-asan .venv-debug build dist .mypy_cache *.egg-info tarnix/*.egg-info \
	    stand-ins/build stand-ins/*.egg-info
	find tarnix -name '*.so' -delete
