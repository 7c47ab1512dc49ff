# Thin wrapper around CMake. See README.md.

BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TEST_SECONDS ?= 30
JOBS ?= 2
CMAKE_FLAGS ?=

# Debian packages the build and the tests need; the benchmarks also compare with perl
# and php-cgi (with SQLite).
PACKAGES = g++ cmake libgtest-dev libbenchmark-dev pkg-config libgd-dev lighttpd curl python3-dbfread sqlite3 \
           python3-aiosmtpd dovecot-core dovecot-pop3d libssl-dev openssl lighttpd-mod-openssl clang vim \
           chromium chromium-driver python3-selenium clang-format nginx-light apache2 apache2-utils \
           libsqlite3-dev libpq-dev postgresql
BENCH_PACKAGES = perl php-cli php-cgi php-fpm php-sqlite3 php-pgsql apache2-utils linux-perf
# What the demo alone needs.
DEMO_PACKAGES = g++ cmake pkg-config libgd-dev libssl-dev libsqlite3-dev libpq-dev lighttpd curl
DEMO_BUILD ?= build-demo
CHECK_BUILD ?= build-check
PORT ?= 8080

.PHONY: all configure test check sanitized-test deps demo bench asan fuzz golden format format-check clean

all: deps configure
	cmake --build $(BUILD) -j$(JOBS)

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

# Every target that builds first checks the Debian packages: as root the missing ones
# are installed, otherwise the build stops with one line that says what to install.
# The web servers the tests start themselves (nginx, Apache, php-fpm) are installed
# without being started as services: with no policy of the machine's own, one that
# refuses service starts stands while apt-get runs.
# Installs what is missing (only when run as root), builds, runs every test.
# Then the same tests once more in a build made with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer (any report fails a test; the long randomized index
# model runs only in the regular build), and each fuzz harness for
# FUZZ_TEST_SECONDS seconds on its corpus.
# Every stage runs even when one before it failed; the last line sums them up.
test: deps all
	@BUILD=$(BUILD) FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) FUZZ_TEST_SECONDS=$(FUZZ_TEST_SECONDS) bash tests/run_all.sh

# The quick loop while developing: the unit, page and docs tests (not the slow ones)
# in a build without optimisation, the profile step and the benchmarks, in
# $(CHECK_BUILD)/. `make test` is what CI runs.
check: deps
	@test -f $(CHECK_BUILD)/CMakeCache.txt || cmake -S . -B $(CHECK_BUILD) -DCMAKE_BUILD_TYPE=Debug \
	    -DKELP_PROFILE=OFF -DKELP_LTO=OFF -DKELP_BENCH=OFF > /dev/null
	@cmake --build $(CHECK_BUILD) -j$(JOBS) > $(CHECK_BUILD)/build.log 2>&1 || \
	    { grep -E -A3 "error|Error" $(CHECK_BUILD)/build.log | head -n 40; exit 1; }
	@cd $(CHECK_BUILD) && ctest -L 'unit|page|docs' -LE slow -j$(JOBS) --output-on-failure > ctest.log 2>&1; \
	    status=$$?; grep -E "\*\*\*|tests passed|^FAIL" ctest.log; \
	    [ $$status = 0 ] || echo "What the failing tests printed: $(CHECK_BUILD)/ctest.log"; exit $$status

sanitized-test: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) \
	    -DKELP_FUZZ=ON -DKELP_BENCH=OFF -DWERROR=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	cd $(FUZZ_BUILD) && ctest --output-on-failure -j$(JOBS) -E "RandomInsertsAndDeletesMatchAModel|e2e/soak"
	JOBS=$(JOBS) sh tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_TEST_SECONDS)

deps:
	@missing=""; \
	for p in $(PACKAGES) $(EXTRA_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    policy=""; \
	    if [ ! -e /usr/sbin/policy-rc.d ]; then \
	      printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d && policy=1; \
	    fi; \
	    DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	    status=$$?; [ -z "$$policy" ] || rm -f /usr/sbin/policy-rc.d; [ $$status = 0 ] || exit $$status; \
	  else \
	    echo "Missing Debian packages; install them first: sudo apt-get install$$missing"; \
	    exit 1; \
	  fi; \
	fi

bench: EXTRA_PACKAGES = $(BENCH_PACKAGES)
bench: deps all
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	@echo "== interpreter against perl and PHP"
	@sh bench/interpreter_bench.sh $(BUILD)
	@echo "== a request's start-up against a minimal CGI program and php-cgi"
	@sh bench/cgi_bench.sh $(BUILD)
	@echo "== nph-tally against a fixed GIF"
	@sh bench/tally_bench.sh $(BUILD)
	@echo "== tables and indexes against sqlite3"
	@bash bench/table_bench.sh $(BUILD)
	@echo "== a page's work on a table against sqlite3 and php-cgi with SQLite"
	@bash bench/database_bench.sh $(BUILD)
	@echo "== the record page on sqlite and postgresql against php-cgi through PDO"
	@bash bench/sql_bench.sh $(BUILD)
	@echo "== request bodies: linear in their size"
	@sh bench/body_bench.sh $(BUILD)
	@echo "== the report: five pages against the C floor, php-cgi and perl, bare and behind lighttpd"
	@bash bench/report.sh $(BUILD)

asan: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || cmake -S . -B $(ASAN_BUILD) -DKELP_SANITIZE=ON -DKELP_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Builds the fuzz harnesses with clang (libFuzzer and the sanitizers) and runs each
# for FUZZ_SECONDS seconds.
fuzz: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) \
	    -DKELP_FUZZ=ON -DKELP_BENCH=OFF -DWERROR=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzzers
	sh tests/fuzz/run_fuzzers.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Serves examples/site through lighttpd on 127.0.0.1:$(PORT). Builds only the demo's
# programs, without the profile step, link-time optimisation and the tests, into
# $(DEMO_BUILD)/; the build's output goes to $(DEMO_BUILD)/build.log.
demo: PACKAGES = $(DEMO_PACKAGES)
demo: deps
	@if [ -x $(DEMO_BUILD)/kelp ]; then echo "Building the demo (only what changed) ..."; \
	 else echo "Building the demo's programs into $(DEMO_BUILD)/: under a minute on 2 cores the first time ..."; fi
	@mkdir -p $(DEMO_BUILD)
	@test -f $(DEMO_BUILD)/CMakeCache.txt || cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release \
	    -DKELP_PROFILE=OFF -DKELP_LTO=OFF -DKELP_TESTS=OFF -DKELP_BENCH=OFF -DWERROR=OFF > $(DEMO_BUILD)/build.log 2>&1 || \
	    { cat $(DEMO_BUILD)/build.log; exit 1; }
	@cmake --build $(DEMO_BUILD) -j$(JOBS) --target kelp nph-tally-demo tally-digits >> $(DEMO_BUILD)/build.log 2>&1 || \
	    { tail -n 40 $(DEMO_BUILD)/build.log; echo "The build failed; all of its output is in $(DEMO_BUILD)/build.log"; exit 1; }
	@sh examples/demo.sh $(DEMO_BUILD) $(PORT)

# Rewrites the expected output of every page test; review the diff like code.
golden: all
	cd $(BUILD) && KELP_GOLDEN=1 ctest -R '^page/' -j$(JOBS) >/dev/null

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

# Fails, naming the places, when a source is not as `make format` leaves it.
format-check: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(DEMO_BUILD) $(CHECK_BUILD)
