# Torvane Server: set-up, build and tests on a Debian machine (run as root).
#   make test   install missing packages, build, run every test (plain and sanitized)
#   make build  plain build only (the server, the tests and the benchmarks)
#   make run    install what the server needs, build the server alone, initialise
#               ./var/home/ when it has no env.xml, run the server on port 32000
#   make fuzz   install clang when missing, run every fuzz target for FUZZ_SECONDS (default 300)
#   make fuzz-ci  every fuzz target for a few seconds from its seeds (part of .ci/run)
# JOBS (default: the number of cores) is the parallelism of the compiler and of
# CTest alike, e.g. `make test JOBS=3`; make's own -j does not reach either.

# What the server needs to build and run: the compiler, the build tools and the
# development packages of the libraries it links.
SERVER_PACKAGES := g++ cmake make libexpat1-dev libcrypt-dev libldap-dev libboost-context-dev
# What the tests need besides: GoogleTest, and slapd, ldap-utils and openssl for
# the session tests' own directory server (the package's own service may run;
# it is not used).
TEST_PACKAGES   := libgtest-dev slapd ldap-utils openssl
JOBS      ?= $(shell nproc 2>/dev/null || echo 4)
BUILD     := build
SANBUILD  := build-san
RUNHOME   := ./var/home/
RUNPORT   := 32000

.PHONY: all deps deps-server install-missing build build-san test test-plain test-san run clean fuzz-deps fuzz fuzz-ci

all: build

# The packages of the fuzz targets: clang and its libFuzzer runtime.
FUZZ_PACKAGES := clang libclang-rt-14-dev

deps:
	@$(MAKE) --no-print-directory install-missing WANT="$(SERVER_PACKAGES) $(TEST_PACKAGES)"

deps-server:
	@$(MAKE) --no-print-directory install-missing WANT="$(SERVER_PACKAGES)"

# Installs whichever of $(WANT) are missing, non-interactively.
install-missing:
	@missing=""; for p in $(WANT); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  echo 'slapd slapd/no_configuration boolean true' | debconf-set-selections 2>/dev/null || true; \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(SANBUILD) -DCMAKE_BUILD_TYPE=Debug -DTORVANE_SANITIZE=ON -DTORVANE_TESTS=ON
	cmake --build $(SANBUILD) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SANBUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-plain test-san

# The server alone: no GoogleTest, no slapd, no test or benchmark compiled.
run: deps-server
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_TESTS=OFF
	cmake --build $(BUILD) -j $(JOBS) --target TorvaneServer
	@if [ ! -f $(RUNHOME)env.xml ]; then $(BUILD)/TorvaneServer -debug -i $(RUNPORT) $(RUNHOME) || exit 1; fi
	$(BUILD)/TorvaneServer -debug $(RUNPORT) $(RUNHOME)

FUZZ_SECONDS ?= 300
FUZZ_CI_SECONDS ?= 4

fuzz-deps: deps
	@$(MAKE) --no-print-directory install-missing WANT="$(FUZZ_PACKAGES)"

# Each target's log is in build-fuzz/logs/, any crash in build-fuzz/artifacts/<target>/.
fuzz: fuzz-deps
	JOBS=4 fuzz/run_fuzzers.sh $(FUZZ_SECONDS)
	@! ls build-fuzz/artifacts/*/* >/dev/null 2>&1 || { echo "fuzz: crash files in build-fuzz/artifacts/"; exit 1; }

fuzz-ci: fuzz-deps
	rm -rf build-fuzz/artifacts
	JOBS=4 fuzz/run_fuzzers.sh $(FUZZ_CI_SECONDS)
	@! ls build-fuzz/artifacts/*/* >/dev/null 2>&1 || { echo "fuzz: crash files in build-fuzz/artifacts/"; exit 1; }

clean:
	rm -rf $(BUILD) $(SANBUILD) build-fuzz
