# Pelorin: build, test and demo.  Everything runs on Debian's /usr/bin/python3
# through a venv that sees the system's NumPy, pytest and hypothesis.
PY        := /usr/bin/python3
VENV      := .venv
VPY       := $(VENV)/bin/python
SOURCES   := $(shell find src -name '*.cpp' -o -name '*.hpp' -o -name '*.pyi' -o -name '*.py' -o -name py.typed -o -name VERSION) meson.build meson_options.txt pyproject.toml
NATIVE    := build-native
SANDIR    := build-sanitize
PYTEST    := -q -p no:cacheprovider

.PHONY: all deps test demo bench validate sanitize dev clean fuzz

all: $(VENV)/.installed

$(VENV)/.deps: .ci/deps.sh
	./.ci/deps.sh
	@mkdir -p $(VENV) && touch $@

$(VPY): $(VENV)/.deps
	$(PY) -m venv --system-site-packages $(VENV)
	@touch $@

# Rebuilds and reinstalls the module only when a source changed.
$(VENV)/.installed: $(VPY) $(SOURCES)
	$(VPY) -m pip install --no-build-isolation --no-deps --no-index -q .
	@touch $@

$(NATIVE)/build.ninja: $(VENV)/.deps meson.build meson_options.txt
	if [ -d $(NATIVE)/meson-private ]; then meson setup --reconfigure $(NATIVE) >/dev/null; \
	else meson setup $(NATIVE) -Dnative=true -Dbuildtype=release >/dev/null; fi

native: $(NATIVE)/build.ninja
	ninja -C $(NATIVE) >/dev/null

test: $(VENV)/.installed native
	$(NATIVE)/core_tests --gtest_brief=1
	cd tests && ../$(VPY) -m pytest $(PYTEST) .

# The main job: a staged embankment on layered clay from its case file.
DEMO_OUT  := demo-results
demo: $(VENV)/.installed
	$(VENV)/bin/pelorin run examples/embankment.toml --out $(DEMO_OUT)

bench: $(VENV)/.installed native
	$(VPY) bench/bench_compute.py --native --native-dir $(NATIVE) $(ARGS)

# The engine against closed-form solutions: the table of README.md's Validation.
validate: $(VENV)/.installed
	$(VPY) validation/validate.py $(ARGS)

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (leak detection off: the interpreter keeps
# memory to the end by design).
SANENV = PELORIN_BUILD_DIR=../$(SANDIR) \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

sanitize: $(VENV)/.deps $(VPY)
	[ -f $(SANDIR)/build.ninja ] || meson setup $(SANDIR) -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
	ninja -C $(SANDIR) >/dev/null
	cd tests && $(SANENV) ../$(VPY) -c \
	  "import conftest, Pelorin; assert '$(SANDIR)' in Pelorin.__file__, Pelorin.__file__"
	cd tests && $(SANENV) ../$(VPY) -m pytest $(PYTEST) -x .

# Random hostile calls of every function for a bounded time, on the
# sanitizer build: a crash or a sanitizer report fails it.
FUZZ_SECONDS ?= 120
fuzz: $(VENV)/.deps $(VPY)
	[ -f $(SANDIR)/build.ninja ] || meson setup $(SANDIR) -Dbuildtype=debugoptimized \
	  -Db_sanitize=address,undefined -Db_lundef=false >/dev/null
	ninja -C $(SANDIR) >/dev/null
	cd tests && $(SANENV) ../$(VPY) exact/fuzz_module.py --seconds $(FUZZ_SECONDS)

# Fast incremental build for development: tests import from build-dev.
dev: $(VENV)/.deps $(VPY)
	[ -f build-dev/build.ninja ] || meson setup build-dev -Dbuildtype=release >/dev/null
	ninja -C build-dev >/dev/null
	cd tests && PELORIN_BUILD_DIR=../build-dev ../$(VPY) -m pytest $(PYTEST) $(ARGS) .

clean:
	rm -rf $(VENV) $(NATIVE) $(SANDIR) build-dev build $(DEMO_OUT)
