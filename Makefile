# Thin wrapper around CMake. `make demo` and `make test` are the two
# commands a newcomer needs; see README.md.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ON makes compiler warnings errors (CMake's QUELLIX_WERROR); the test
# command sets it for every build it makes. Unset, a build keeps what it
# was configured with (off in a new build).
QUELLIX_WERROR ?=
werror_flag = $(if $(QUELLIX_WERROR),-DQUELLIX_WERROR=$(QUELLIX_WERROR))

.PHONY: all deps build demo test clean

all: build

# Checks the Debian packages the build needs, installing them when run as
# root (names them otherwise).
deps:
	@scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(werror_flag) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	scripts/demo.sh $(BUILD)/bin

# An interactive bash in a private platform, quellix on PATH with its
# completion; leaving it stops the platform.
.PHONY: shell install package
shell: build
	scripts/shell.sh $(BUILD)/bin

# Installs under PREFIX (staged below DESTDIR when that is set).
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# The Debian packages (debian/, built by dpkg-buildpackage in a copy of
# the tree, their build dependencies installed first as root, checked by
# lintian), in $(BUILD)/package.
package:
	scripts/package.sh $(BUILD)/package

# The packages as the suite's package test wants them: built again only
# when a file that goes into them changed since (not for the tests, the
# benchmarks or the fuzzers, which they do not hold).
package_inputs := $(wildcard $(shell git ls-files --cached --others --exclude-standard -- . ':!tests' ':!bench' ':!fuzz' 2>/dev/null))
$(BUILD)/package/lintian.log: $(package_inputs)
	scripts/package.sh $(BUILD)/package

# The packages on a booted system, as root (scripts/boot-test.sh): a clean
# bookworm root, systemd as its PID 1, the packages installed with apt, an
# operator's session, then an upgrade to a rebuild of a later version and
# a purge. Not part of `make test`. The root's tarball is kept in
# $(BOOT_WORK) for the next run.
BOOT_WORK ?= $(BUILD)/boot-test
.PHONY: boot-test
boot-test: package
	@scripts/install-deps.sh --boot-test
	scripts/package.sh --version "$$(dpkg-parsechangelog -SVersion)+rebuild1" $(BOOT_WORK)/upgrade
	scripts/boot-test.sh $(BUILD)/package $(BOOT_WORK)/upgrade $(BOOT_WORK)

# The packages, the suite, then a short fuzzing run, then the suite again
# under the sanitizers (so that CTest's summary line comes last); warnings
# are errors in all three builds.
test: QUELLIX_WERROR = ON
test: build $(BUILD)/package/lintian.log
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory fuzz-smoke QUELLIX_WERROR=$(QUELLIX_WERROR)
	@$(MAKE) --no-print-directory test-asan QUELLIX_WERROR=$(QUELLIX_WERROR)

# Sanitizers and fuzzing: see fuzz/ and QUELLIX_SANITIZE in CMakeLists.txt.
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
.PHONY: test-asan fuzz-build fuzz fuzz-smoke

# The whole suite built with AddressSanitizer, UndefinedBehaviorSanitizer
# and LeakSanitizer; the programs the tests start run with them too.
# Its package test checks the packages of $(BUILD).
test-asan: deps $(BUILD)/package/lintian.log
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DQUELLIX_SANITIZE=ON -DQUELLIX_BENCH=OFF -DQUELLIX_PACKAGE_DIR=$(abspath $(BUILD))/package $(werror_flag)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DQUELLIX_FUZZ=ON -DQUELLIX_TESTS=OFF $(werror_flag)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

# Each fuzz target for FUZZ_SECONDS; the corpus grows in $(FUZZ_BUILD)/corpus.
fuzz: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_BUILD)/corpus

# 20 seconds of each fuzz target from its seed corpus; leaves nothing behind.
fuzz-smoke: fuzz-build
	fuzz/run.sh $(FUZZ_BUILD) 20

# The benchmarks: one run on this machine, its report printed and kept in
# docs/performance.md (bench/run.sh). A Release build of its own; as root
# the peers' packages are installed first when missing (never required).
BENCH_BUILD ?= build-bench
.PHONY: bench

bench: deps
	@scripts/install-deps.sh --peers
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUELLIX_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	bench/run.sh --bin $(BENCH_BUILD)/bin --out docs/performance.md

# Faults, load and bad command lines at full size (tests/reliability); the
# report of the run is kept in docs/reliability.md.
.PHONY: reliability
reliability: build
	scripts/reliability.sh $(BUILD)

# The threats a local user poses and their defences (tests/security and the
# transport's tests); the report of the run is kept in docs/security.md.
.PHONY: security
security: build
	scripts/security.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-*
