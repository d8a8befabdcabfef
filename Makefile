# Front door: `make run` starts a development daemon, `make test` runs everything CI checks.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
LOCKS_BUILD ?= build-locks
DEV_ROOT ?= $(CURDIR)/var
DEV_PORT ?= 9199
FUZZ_SECONDS ?= 60

.PHONY: all deps deps-run build build-asan build-tsan package test test-unit test-realhost test-asan test-tsan check-locks fuzz bench run deb format lint clean

all: build

# Everything CI needs; `make run` installs only what building and running need.
deps:
	@bash scripts/install-deps.sh --test --package

deps-run:
	@bash scripts/install-deps.sh

# Optimised without debug information: CI builds the tree three times on two cores. The
# compilation database is for `make lint`, which needs the configured tree only.
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

build: deps
	@$(CONFIGURE)
	@cmake --build $(BUILD) -j$(JOBS) -- --no-print-directory

build-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" \
	  -DNOX_SANITIZE=ON -DNOX_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS) -- --no-print-directory

# Only the tests labelled "locks" (the stores and services that share reader/writer locks).
build-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" \
	  -DNOX_TSAN=ON -DNOX_BENCH=OFF >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target lock_tests -- --no-print-directory

# Clang's lock analysis, compile only: the libraries with -Wthread-safety -Werror, unoptimised and
# without tests, so that a lock annotation broken anywhere fails the run in seconds.
check-locks: deps
	@CC=clang CXX=clang++ cmake -S . -B $(LOCKS_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS_DEBUG="-O0" -DNOX_THREAD_SAFETY=ON -DNOX_BENCH=OFF >/dev/null
	@cmake --build $(LOCKS_BUILD) -j$(JOBS) --target libraries -- --no-print-directory

# The package, built once per make run for the tests that install it from $(BUILD)/deb.
package: build
	@bash scripts/make-deb $(BUILD) >/dev/null

test-unit: package
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS) | tee ctest.log; exit $${PIPESTATUS[0]}

# The package under a real systemd booted in a container (root; the first run caches a Debian root
# under /var/cache/noxtokend-test). Fails the run, never skips, when no container can boot.
test-realhost: package
	@bash tests/realhost/run.sh $(BUILD)

# Leak checking needs ptrace-free LeakSanitizer; PAM's own modules keep caches we do not own.
test-asan: build-asan
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  ctest --output-on-failure -j$(JOBS) | tee ctest.log; exit $${PIPESTATUS[0]}

test-tsan: build-tsan
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest -L locks --output-on-failure -j$(JOBS) | tee ctest.log; exit $${PIPESTATUS[0]}

# The closing line counts the CTest cases of the three builds; the fuzz runs fail the target on a
# find.
test: test-unit lint check-locks test-realhost test-asan test-tsan
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_SECONDS)
	@bash scripts/test-summary.sh $(BUILD)/ctest.log $(ASAN_BUILD)/ctest.log $(TSAN_BUILD)/ctest.log

# Library assertions off as in the product: Boost 1.74's chunked-body parser asserts on a final
# chunk that arrives in pieces of a few bytes, which it then parses correctly (fixed upstream in
# Beast's pull request 2861); the sanitizers and the targets' own checks stay.
fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g1 -DNDEBUG" -DNOX_FUZZ=ON -DNOX_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers -- --no-print-directory
	@bash scripts/run-fuzzers.sh $(FUZZ_BUILD)/bin $(FUZZ_SECONDS)

bench: build
	@bash bench/run.sh $(BUILD)

run: deps-run
	@bash scripts/dev-run $(DEV_ROOT) $(DEV_PORT) $(BUILD) $(RESET)

# noxtokend_<version>_<arch>.deb in $(BUILD)/deb, from the binaries of $(BUILD).
deb:
	@bash scripts/install-deps.sh --package
	@$(CONFIGURE)
	@bash scripts/make-deb $(BUILD)

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

# The format check and clang-tidy (.clang-tidy) over the tracked sources, on the units of $(BUILD).
lint: deps
	@$(CONFIGURE)
	@LINT_JOBS=$(JOBS) bash scripts/lint.sh $(BUILD)

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(LOCKS_BUILD)
